#include "SM/sm_oid.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>

namespace sm {

int internalsm2oid = -1;
int internalsm3oid = -1;
int internalsm4oid = -1;
int internalsm2dataoid = -1;
int internalsm2signedoid = -1;
int internalsm2envoid = -1;
int internalsm2signenvoid = -1;
int internalsm2digestoid = -1;
int internalsm2encoid = -1;
int internalsm2_1oid = -1;
int internalsm2sm3 = -1;
int internalsm2sm3sign = -1;

namespace {

struct OidRow {
    int internalNid;
    int* libraryNid;
    const char* oid;
    const char* sn;
    const char* ln;
};

// Registration order. The identifiers are those of GM/T 0006 (algorithms) and
// GM/T 0010 (message content types).
const OidRow kRows[] = {
    {NID_internal_sm2, &internalsm2oid, "1.2.156.10197.1.301", "SM2", "sm2"},
    {NID_internal_sm3, &internalsm3oid, "1.2.156.10197.1.401", "SM3", "sm3"},
    {NID_internal_sm4, &internalsm4oid, "1.2.156.10197.1.104", "SM4", "sm4"},
    {NID_internal_sm2p7data, &internalsm2dataoid, "1.2.156.10197.6.1.4.2.1", "SM2P7DATA", "sm2p7data"},
    {NID_internal_sm2p7signed, &internalsm2signedoid, "1.2.156.10197.6.1.4.2.2", "SM2P7SIGNED", "sm2p7signed"},
    {NID_internal_sm2p7envdata, &internalsm2envoid, "1.2.156.10197.6.1.4.2.3", "SM2P7ENVDATA", "sm2p7envdata"},
    {NID_internal_sm2p7signenvdata, &internalsm2signenvoid, "1.2.156.10197.6.1.4.2.4", "SM2P7SIGNENVDATA",
     "sm2p7signenvdata"},
    {NID_internal_sm2p7digest, &internalsm2digestoid, "1.2.156.10197.6.1.4.2.5", "SM2P7DIGEST", "sm2p7digest"},
    {NID_internal_sm2p7encrypted, &internalsm2encoid, "1.2.156.10197.6.1.4.2.6", "SM2P7ENCRYPTED",
     "sm2p7encrypted"},
    {NID_internal_sm2_1, &internalsm2_1oid, "1.2.156.10197.1.301.1", "SM2-1", "sm2-1"},
    {NID_internal_sm2sm3, &internalsm2sm3, "1.2.156.10197.1.301.3", "SM2SM3", "sm2sm3"},
    {NID_internal_sm2sm3sign, &internalsm2sm3sign, "1.2.156.10197.1.501", "SM2SM3SIGN", "sm2sm3sign"},
};

// Only the first ten rows take part in translating library numbers back.
constexpr int kTranslatedRows = 10;

const OidRow* rowOf(int internalNid)
{
    for (const OidRow& r : kRows) {
        if (r.internalNid == internalNid) {
            return &r;
        }
    }
    return nullptr;
}

// Gives the row's object a library number, once. The library may already know
// the identifier (OpenSSL 3.0 has 1.2.156.10197.1.301, .401 and .501 under its
// own names) or one of the names: OBJ_create then refuses with "oid exists".
//  - identifier known: its existing number is taken, whatever its names are;
//  - identifier unknown but a name taken by another object: the identifier is
//    created without names, so it still encodes, decodes and compares by
//    number; it prints in dotted form.
// Only errors this function caused are removed from the queue.
int registerRow(const OidRow& r)
{
    if (*r.libraryNid != -1) {
        return *r.libraryNid;
    }
    ERR_set_mark();
    int nid = OBJ_create(r.oid, r.sn, r.ln);
    if (nid == NID_undef) {
        nid = OBJ_txt2nid(r.oid);
    }
    if (nid == NID_undef) {
        nid = OBJ_create(r.oid, nullptr, nullptr);
    }
    if (nid == NID_undef) {
        ERR_clear_last_mark();
        return -1;
    }
    ERR_pop_to_mark();
    *r.libraryNid = nid;
    return nid;
}

bool g_registered = false;

}  // namespace

void initsm2internalnid()
{
    if (g_registered) {
        return;
    }
    for (const OidRow& r : kRows) {
        registerRow(r);
    }
    // 1.0.2 needed OpenSSL_add_all_algorithms here; 3.0 loads its name tables
    // on demand, but asking for them keeps later name lookups predictable.
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    g_registered = true;
}

int translateinternalnid(int libraryNid)
{
    if (libraryNid <= NID_undef) {
        return -1;
    }
    for (int i = 0; i < kTranslatedRows; ++i) {
        if (*kRows[i].libraryNid == libraryNid) {
            return kRows[i].internalNid;
        }
    }
    return -1;
}

int sm_library_nid(int internalNid)
{
    const OidRow* r = rowOf(internalNid);
    return r ? registerRow(*r) : -1;
}

ASN1_OBJECT* SM2_OBJ_nid2obj(int n)
{
    if (rowOf(n) == nullptr) {
        // A library number; OBJ_nid2obj queues "unknown nid" itself.
        return OBJ_nid2obj(n);
    }
    const int nid = sm_library_nid(n);
    if (nid == -1) {
        ERR_raise(ERR_LIB_OBJ, OBJ_R_UNKNOWN_NID);
        return nullptr;
    }
    return OBJ_nid2obj(nid);
}

}  // namespace sm
