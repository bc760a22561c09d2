#pragma once
// The SM object identifiers. The system names each by a fixed internal number
// (958-969); the crypto library has its own numbers for them (it already
// knows SM2, SM3 and SM2-with-SM3, and hands out numbers for the others when
// they are created). Wherever an internal number meets the library, translate.

#include <openssl/asn1.h>
#include <openssl/objects.h>

namespace sm {

enum : int {
    NID_internal_sm2 = 958,              // 1.2.156.10197.1.301
    NID_internal_sm3 = 959,              // 1.2.156.10197.1.401
    NID_internal_sm4 = 960,              // 1.2.156.10197.1.104
    NID_internal_sm2p7data = 961,        // 1.2.156.10197.6.1.4.2.1
    NID_internal_sm2p7signed = 962,      // 1.2.156.10197.6.1.4.2.2
    NID_internal_sm2p7envdata = 963,     // 1.2.156.10197.6.1.4.2.3
    NID_internal_sm2p7signenvdata = 964, // 1.2.156.10197.6.1.4.2.4
    NID_internal_sm2p7digest = 965,      // 1.2.156.10197.6.1.4.2.5
    NID_internal_sm2p7encrypted = 966,   // 1.2.156.10197.6.1.4.2.6
    NID_internal_sm2_1 = 967,            // 1.2.156.10197.1.301.1
    NID_internal_sm2sm3 = 968,           // 1.2.156.10197.1.301.3
    NID_internal_sm2sm3sign = 969,       // 1.2.156.10197.1.501
};

// Library numbers of the twelve objects, -1 until registered.
extern int internalsm2oid;
extern int internalsm3oid;
extern int internalsm4oid;
extern int internalsm2dataoid;
extern int internalsm2signedoid;
extern int internalsm2envoid;
extern int internalsm2signenvoid;
extern int internalsm2digestoid;
extern int internalsm2encoid;
extern int internalsm2_1oid;
extern int internalsm2sm3;
extern int internalsm2sm3sign;

// Registers the twelve objects once (later calls do nothing). Where the
// library already knows an identifier, its existing number and names are
// taken: on OpenSSL 3.0 958, 959 and 969 are its "SM2", "SM3" and "SM2-SM3"
// (so 969's short name is "SM2-SM3", not "SM2SM3SIGN"). Where only a name is
// taken by another identifier, ours is created without names.
void initsm2internalnid();
// Library number -> internal number for the first ten rows (958-967); -1 otherwise.
int translateinternalnid(int libraryNid);
// Internal number (958-969) -> library number, registering first; -1 for other input.
int sm_library_nid(int internalNid);
// 958-969 are internal numbers (registered on demand); any other n is a
// library number. Null when there is no such object.
ASN1_OBJECT* SM2_OBJ_nid2obj(int n);

}  // namespace sm
