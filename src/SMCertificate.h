#pragma once
// A listed certificate as the certificate commands see it: CCertificate's
// work with the result codes the command handlers put into "code".

#include "core/Certificate.h"

#include <string>

class SMCertificate {
public:
    using Cert = CCertificate::Cert;

    explicit SMCertificate(bool bsign);
    SMCertificate(const SMCertificate&) = delete;
    SMCertificate& operator=(const SMCertificate&) = delete;

    // Binds to container con of the provider's SKF binding (not owned); 0.
    int InitialzeSKF(CSKFProvider* skf, const std::string& con);
    // Binds to a PKCS#11 certificate and takes ownership; -2 for null, else 0.
    int initFromCertObj(Cert* pcert);

    // 1 when the summary was made (ci gets subject, sn, CN, C, E, O, OU and
    // PUB, the Base64 certificate), 0 when not (ci unchanged).
    int getCertInfo(certificate_info_t& ci);
    // 0 when a signature was made into sign, -2 otherwise. msg is translated
    // to the process code page before it is signed.
    int sign(std::string& msg, int iflags, std::string& sign);
    // 0 when sign verifies over msg, 3 otherwise.
    int verify(std::string& sign, int iflags, std::string msg);
    // 0 on success, 4 otherwise (SKF certificates never encrypt).
    int encrypt(std::string& msg, std::string& result, int itype);
    // 0 on success, 5 otherwise (SKF certificates never decrypt).
    int decrypt(std::string& msg, std::string& result, int itype);

    // The certificate's DER and Base64 text.
    std::string GetDER() { return m_cc.toDer(); }
    std::string toString() { return m_cc.toString(); }
    bool isgmcert() { return m_cc.isgmcert(); }

    CCertificate m_cc;
    CSKFProvider* m_skf = nullptr;
    std::string m_skfCon;
    bool m_bsign;
};
