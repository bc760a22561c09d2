#pragma once
// One opened token library, SKF (type 3) or PKCS#11 (type 4), with the
// certificates its last enumeration found.

#include "struct.h"

#include <string>
#include <vector>

class CSKFProvider;
class SMCertificate;
namespace korvane {
namespace crypto {
namespace pkcs11 {
class Pkcs11Dll;
class Slot;
class Session;
}  // namespace pkcs11
}  // namespace crypto
}  // namespace korvane

typedef std::vector<SMCertificate*> certverctor;

// A bare library name is looked up in the service's install directory.
std::string ResolveLibraryPath(const std::string& strname);

class SMProvider {
public:
    using Pkcs11Dll = korvane::crypto::pkcs11::Pkcs11Dll;
    using Slot = korvane::crypto::pkcs11::Slot;
    using Session = korvane::crypto::pkcs11::Session;

    // Opens the library; never throws. A library whose path is not trusted
    // (IsTrustedLibraryPath) is not loaded and the provider stays invalid.
    SMProvider(std::string& strname, int itype);
    ~SMProvider();
    SMProvider(const SMProvider&) = delete;
    SMProvider& operator=(const SMProvider&) = delete;

    bool isValid() { return m_bisvalid; }
    std::string name() { return m_name; }
    // SKF: back to the first device, application and container.
    void reset();

    // Rebuilds the list from the token, keeping certificates matching ci;
    // cl gets the display names. SKF: status of the last export (0 also for
    // none); PKCS#11: 0 when something was listed, else -2.
    int enumerateCerts(certificate_info_t& ci, certlist& cl);
    // SKF: index counted from 1; PKCS#11: from 0. 0 or -2 (no such entry).
    int selectCert(int itype, int index, SMCertificate** sc);

    // SKF: PEM request (status of the binding); PKCS#11: DER request, 0 or -2.
    int genCSR(csr_t& csrinfo, std::string& result);
    // response: Base64 certificate, or "cert wrappedKey encryptedPair" for an
    // encryption certificate (SKF). -2 when nothing was imported.
    int importCert(std::string& response, int type);
    // PKCS#11: Base64 of listed certificate index; SKF -1; else -2.
    int exportCert(int index, std::string& result, std::string strpass);
    // Never deletes: -1 for SKF and PKCS#11, -2 otherwise.
    int deleteCert(int index);

    // Grows with every enumeration: a selection taken from an earlier list
    // refers to destroyed certificates once this has moved on.
    unsigned long generation() const { return m_generation; }

    Pkcs11Dll* pp11 = nullptr;
    Slot* pslot = nullptr;
    Session* psession = nullptr;
    std::string m_name;
    int m_itype;
    certverctor m_certvec;
    certlist m_certlist;
    bool m_bisvalid = false;
    CSKFProvider* m_skfProv = nullptr;
    unsigned long m_generation = 0;

private:
    void openSkf(const std::string& path);
    void openPkcs11(const std::string& path);
    void clearCerts();
    int enumerateSkf(certificate_info_t& ci);
    int enumeratePkcs11(certificate_info_t& ci);
};
