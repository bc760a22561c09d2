#include "SMCertificate.h"

#include "core/CodePage.h"

SMCertificate::SMCertificate(bool bsign) : m_cc(bsign), m_bsign(bsign) {}

int SMCertificate::InitialzeSKF(CSKFProvider* skf, const std::string& con)
{
    m_skf = skf;
    m_skfCon = con;
    m_cc.InitializeWith(skf, con);
    return 0;
}

int SMCertificate::initFromCertObj(Cert* pcert)
{
    if (pcert == nullptr) return -2;
    m_cc.InitializeWith(pcert);
    return 0;
}

int SMCertificate::getCertInfo(certificate_info_t& ci)
{
    certificate_info_t info;
    if (!m_cc.GetInfo(&info)) return 0;
    ci.subject = info.subject;
    ci.sn = info.sn;
    ci.CN = info.CN;
    ci.C = info.C;
    ci.E = info.E;
    ci.O = info.O;
    ci.OU = info.OU;
    ci.PUB = m_cc.toString();
    return 1;
}

int SMCertificate::sign(std::string& msg, int iflags, std::string& sign)
{
    if (msg.empty()) return -2;
    const std::string translated = CodePage::GetTranslate(msg);
    return m_cc.sign(translated, static_cast<unsigned>(iflags), sign) ? 0 : -2;
}

int SMCertificate::verify(std::string& sign, int iflags, std::string msg)
{
    return m_cc.verify(msg, sign, static_cast<unsigned>(iflags)) ? 0 : 3;
}

int SMCertificate::encrypt(std::string& msg, std::string& result, int itype)
{
    return m_cc.encrypt(msg, static_cast<unsigned>(itype), result) ? 0 : 4;
}

int SMCertificate::decrypt(std::string& msg, std::string& result, int itype)
{
    return m_cc.decrypt(msg, static_cast<unsigned>(itype), result) ? 0 : 5;
}
