#pragma once
// The certificate handle kept by certificate objects, and the assembly and
// verification of PKCS#7 (RSA) and GM/T 0010 (SM2) signed data around a
// signature the token made.

#include "SM/fp7.h"
#include "core/openssl++.h"

#include <string>

class COpensslCertificate : public Openssl::CX509 {
public:
    // Replaces the held certificate with the one decoded from der (nothing
    // held when it does not decode).
    void FromDER(const std::string& der);
};

// PKCS#7 signed data (DER) around an RSA signature; raw_text empty: detached.
std::string MakePKCS7Signed(const std::string& raw_text, const std::string& certificate, const std::string& raw_sign,
                            int hash_nid);
// GM/T 0010 SM2 signed data (DER) around a 64-byte r || s; hash_nid is not used.
std::string MakeSM2P7Signed(const std::string& raw_text, const std::string& certificate, const std::string& raw_sign,
                            int hash_nid);
// Whether the DER PKCS#7 signed data verifies; msg is the content when detached.
bool PKCS7Verify(const std::string& p7sig, const std::string& msg);
// Whether at least one signer of the SM2 signed data verifies. Each signer's
// certificate is found in the message by issuer and serial number. msg is
// the content of a detached message; when it is absent (null, or msglen not
// positive) or starts with a zero byte, a non-empty attached content is used
// instead. The caller keeps sm2p7; a signer's check may leave the halves of
// its signature byte-reversed.
bool SM2P7Verify(sm::SM2_P7* sm2p7, char* msg, int msglen);
