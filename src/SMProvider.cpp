#include "SMProvider.h"

#include "CSKFProvider.h"
#include "Csr.h"
#include "Pkcs11.h"
#include "SMCertificate.h"
#include "SMProviderManager.h"
#include "core/CodePage.h"
#include "core/OsFunctions.h"
#include "core/base64.h"
#include "core/codec.h"
#include "core/openssl++.h"

#include <openssl/x509.h>

#include <cstdio>
#include <memory>
#include <map>

namespace p11 = korvane::crypto::pkcs11;

namespace {

constexpr int kSkf = 3;
constexpr int kPkcs11 = 4;

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};

bool IsCertificate(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<X509, X509Free> x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    return x != nullptr;
}

// sn, CN, C, E, O, OU of an SKF container's certificate, read through the
// UTF-8 name map; false when the bytes are no certificate with a subject.
bool SummaryFromName(const std::string& der, certificate_info_t& info) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<X509, X509Free> x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!x || X509_get_subject_name(x.get()) == nullptr) return false;
    info.sn = Openssl::CInteger(X509_get_serialNumber(x.get())).toString(true);
    Openssl::CX509Name name(X509_get_subject_name(x.get()), false);
    std::map<std::string, std::string> m = name.toMap();
    auto get = [&m](const char* key) {
        auto it = m.find(key);
        return it == m.end() ? std::string() : it->second;
    };
    info.CN = get("CN");
    info.C = get("C");
    info.E = get("emailAddress");
    info.O = get("O");
    info.OU = get("OU");
    return true;
}

}  // namespace

std::string ResolveLibraryPath(const std::string& strname) {
    if (strname.find('/') != std::string::npos) return strname;
    char buf[1024];
    snprintf(buf, sizeof buf, "/opt/vaultlineservice.kq/%s", strname.c_str());
    return buf;
}

SMProvider::SMProvider(std::string& strname, int itype) : m_name(ResolveLibraryPath(strname)), m_itype(itype) {
    if (m_itype != kSkf && m_itype != kPkcs11) return;
    // Loading runs the library's code in the service: only files that no
    // ordinary user (or a browser download) could have placed there.
    std::string real;
    if (!IsTrustedLibraryPath(m_name, nullptr, &real)) return;
    if (m_itype == kSkf)
        openSkf(real);
    else
        openPkcs11(real);
}

void SMProvider::openSkf(const std::string& path) {
    m_skfProv = new CSKFProvider(path);
    m_bisvalid = m_skfProv->Init("", "", "", "") == 0;
}

void SMProvider::openPkcs11(const std::string& path) {
    pp11 = new p11::Pkcs11Dll();
    if (!pp11->Load(path)) return;
    if (pp11->Initialize() != CKR_OK) return;
    std::vector<p11::Slot*> slots;
    if (pp11->GetSlotList(slots) != CKR_OK) {
        for (p11::Slot* s : slots) delete s;
        return;
    }
    // A module may list a present but uninitialised token (SoftHSM2 always
    // offers a free slot); the first initialised token is the usable one.
    for (p11::Slot* s : slots) {
        CK_TOKEN_INFO info;
        if (pslot == nullptr && pp11->m_p11Funcs->C_GetTokenInfo(s->m_slotID, &info) == CKR_OK &&
            (info.flags & CKF_TOKEN_INITIALIZED) != 0)
            pslot = s;
        else
            delete s;
    }
    m_bisvalid = pslot != nullptr;
}

SMProvider::~SMProvider() {
    if (pp11 != nullptr) {
        if (pp11->m_bLoaded) pp11->Finalize();
        delete pp11;
        pp11 = nullptr;
    }
    if (m_skfProv != nullptr) {
        delete m_skfProv;
        m_skfProv = nullptr;
    }
    m_bisvalid = false;
    clearCerts();
    // The slot object is ours (the session is left open by design, but its
    // handle object would otherwise leak as well).
    delete pslot;
    delete psession;
}

void SMProvider::reset() {
    if (m_itype == kSkf && m_skfProv != nullptr) {
        m_skfProv->UnInit();
        m_skfProv->Init("", "", "", "");
    }
}

void SMProvider::clearCerts() {
    for (SMCertificate* c : m_certvec) delete c;
    m_certvec.clear();
    m_certlist.clear();
}

int SMProvider::enumerateCerts(certificate_info_t& ci, certlist& cl) {
    if (m_itype != kSkf && m_itype != kPkcs11) return -2;
    clearCerts();
    ++m_generation;
    int rv = m_itype == kSkf ? enumerateSkf(ci) : enumeratePkcs11(ci);
    cl = m_certlist;
    return rv;
}

int SMProvider::enumerateSkf(certificate_info_t& ci) {
    my_publist.clear();
    if (m_skfProv == nullptr) return -2;
    std::vector<std::string> names;
    ULONG rv = m_skfProv->GetContainerNameList(m_skfProv->GetAppHandle(), names);
    if (rv != 0) return static_cast<int>(rv);
    int status = 0;
    for (const std::string& con : names) {
        int type = m_skfProv->getConnectType(con);
        if (type != 1 && type != 2) {
            // Values past the container types are the token's status.
            if (type > 2) status = type;
            continue;
        }
        m_skfProv->UnInit();
        if (type == 1)
            m_skfProv->Init("", "", con, "");
        else
            m_skfProv->Init_SM3("", "", con, "");
        std::string der;
        const ULONG exported = m_skfProv->ExportCert(der, true);
        // A key pair whose certificate is not imported yet (between a request
        // and its import) has nothing to list; that is no failure of the
        // listing, or every listing would fail until the import.
        if (exported != SAR_CERTNOTFOUNTERR) status = static_cast<int>(exported);
        if (der.empty()) continue;
        certificate_info_t info;
        if (!SummaryFromName(der, info)) continue;
        if (!info.match(&ci)) continue;
        my_publist.push_back(Base64::encode64(der));
        std::unique_ptr<SMCertificate> cert(new SMCertificate(true));
        cert->InitialzeSKF(m_skfProv, con);
        m_certvec.push_back(cert.release());
        m_certlist.push_back(CodePage::GetTranslate(info.CN));
    }
    return status;
}

int SMProvider::enumeratePkcs11(certificate_info_t& ci) {
    my_publist.clear();
    if (pslot == nullptr) return -2;
    CK_SLOT_INFO slotInfo;
    if (pslot->GetSlotInfo(slotInfo) != CKR_OK || (slotInfo.flags & CKF_TOKEN_PRESENT) == 0) return -2;
    p11::Session* session = nullptr;
    if (pslot->OpenSession(&session) != CKR_OK || session == nullptr) return -2;
    // The earlier session stays open on the token (certificates listed from
    // it are gone now), only its handle object is released.
    delete psession;
    psession = session;
    std::vector<p11::Cert*> certs;
    psession->GetAllCert(certs);
    for (p11::Cert* c : certs) {
        std::unique_ptr<p11::Cert> owned(c);
        std::string der = owned->toDer();
        // An object whose value the module does not give (a failing call, or
        // no X.509 certificate in it) cannot be selected or signed with:
        // listing it would show the page a certificate without a value.
        if (!IsCertificate(der)) continue;
        certificate_info_t info;
        GetInfoEx(&info, der);
        if (!info.match(&ci)) continue;
        std::unique_ptr<SMCertificate> cert(new SMCertificate(true));
        if (cert->initFromCertObj(owned.release()) != 0) continue;
        my_publist.push_back(Base64::encode64(der));
        m_certvec.push_back(cert.release());
        m_certlist.push_back(CodePage::GetTranslate(info.CN));
    }
    return m_certvec.empty() ? -2 : 0;
}

int SMProvider::selectCert(int /*itype*/, int index, SMCertificate** sc) {
    if (m_itype == kSkf) {
        if (m_certvec.empty()) return -2;
        if (index < 1 || index > 2) printf("ERROR 选择证书类型错误\n");
        // Positions count from 1 here; anything outside the list is a plain
        // failure of this command rather than an exception.
        if (index < 1 || static_cast<size_t>(index) > m_certvec.size()) return -2;
        if (sc != nullptr) *sc = m_certvec[index - 1];
        return 0;
    }
    if (m_itype == kPkcs11) {
        if (index < 0 || static_cast<size_t>(index) >= m_certvec.size()) return -2;
        if (sc != nullptr) *sc = m_certvec[index];
        return 0;
    }
    return -2;
}

int SMProvider::genCSR(csr_t& csrinfo, std::string& result) {
    if (m_itype == kSkf) {
        if (m_skfProv == nullptr) return -2;
        std::string der;
        ULONG rv = m_skfProv->GenCSR(&csrinfo, der, true, "");
        if (rv == 0) result = der.empty() ? std::string() : ICodec::pemencode(der, "CERTIFICATE REQUEST");
        return static_cast<int>(rv);
    }
    if (m_itype == kPkcs11) {
        hash_algo_t hash = csrinfo.hash >= 1 && csrinfo.hash <= 7 ? csrinfo.hash : HASH_SHA1;
        korvane::crypto::Csr csr(csrinfo.CN, csrinfo.O, csrinfo.OU, csrinfo.C, csrinfo.E, "", "", hash);
        if (pslot == nullptr || psession == nullptr) return -2;
        std::string out;
        CK_RV rv = pslot->GenCsr(csr, *psession, out, 2048);
        if (rv != CKR_OK) return -2;
        result = out;
        return 0;
    }
    return -2;
}

int SMProvider::importCert(std::string& response, int /*type*/) {
    if (m_itype == kSkf) {
        if (m_skfProv == nullptr) return -2;
        std::vector<std::string> pieces;
        split(response, " ", pieces);
        // Two pieces are neither a certificate alone nor one with its key.
        if (pieces.size() == 2) return -2;
        std::string cert = Base64::decode64(pieces[0]);
        if (cert.empty()) return -2;
        if (pieces.size() == 1) return static_cast<int>(m_skfProv->ImportCert(cert, true));
        return static_cast<int>(m_skfProv->ImportCert(cert, false, Base64::decode64(pieces[1]),
                                                      Base64::decode64(pieces[2]), SGD_SM4_ECB));
    }
    if (m_itype == kPkcs11) {
        if (response.empty() || pslot == nullptr || psession == nullptr) return -2;
        std::string der = Base64::decode64(response);
        return pslot->InstallCert(*psession, der) == CKR_OK ? 0 : -2;
    }
    return -2;
}

int SMProvider::exportCert(int index, std::string& result, std::string /*strpass*/) {
    if (m_itype == kSkf) return -1;
    if (m_itype != kPkcs11) return -2;
    if (index < 0 || static_cast<size_t>(index) >= m_certvec.size()) return -2;
    certificate_info_t info;
    if (m_certvec[index]->getCertInfo(info) != 1) return -2;
    result = info.PUB;
    return 0;
}

int SMProvider::deleteCert(int /*index*/) { return m_itype == kSkf || m_itype == kPkcs11 ? -1 : -2; }
