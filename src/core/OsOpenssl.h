#pragma once
// The certificate handle kept by certificate objects, and the assembly and
// verification of PKCS#7 (RSA) and GM/T 0010 (SM2) signed data around a
// signature the token made.

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
