#pragma once
// Binding to a GM/T 0016 (SKF) vendor library loaded at run time, and the
// token operations built on it. One object stands for one library and at
// most one open device, application and container.

#include "skf_types.h"
#include "struct.h"

#include <openssl/evp.h>

#include <string>
#include <vector>

// One certificate found on an SKF token.
struct CertContext {
    std::string devName;
    std::string appName;
    std::string containerName;
    std::string cert;  // DER
    std::string path;  // library path
};

// True exactly when the 32 bytes at p are all zero. Tokens put a 256-bit
// value either in the last or the first half of a 64-byte field; a zero first
// half means the value sits in the last half.
bool IsZeroBuf32(const BYTE* p);

// Fills 16 bytes from the crypto library's generator. False (buffer zeroed)
// when the generator cannot deliver.
bool GenRand16(BYTE* buf);

// A new enveloped key blob (malloc'ed, released by the caller with free), or
// null when memory runs out. See ImportKey.
PENVELOPEDKEYBLOB GetEnvelopedKeyblob(std::string key, std::string prikey, std::string cert);

class CSKFProvider {
public:
    // The PIN presented to the token by VerifyPin.
    static constexpr const char* kFixedPin = "brovik_telmaz";
    // The SM2 user identity used for every digest started on the token.
    static constexpr const char* kSm2Id = "1234567812345678";
    static constexpr const char* kDefaultLogPath = "/tmp/\xE8\xBE\x93\xE5\x87\xBA.txt";

    explicit CSKFProvider(const std::string& libPath);
    ~CSKFProvider();
    CSKFProvider(const CSKFProvider&) = delete;
    CSKFProvider& operator=(const CSKFProvider&) = delete;

    ULONG LoadLib(const std::string& providerName);

    ULONG Init(std::string devName, std::string appName, std::string containerName, std::string libPath);
    ULONG Init_SM3(std::string devName, std::string appName, std::string containerName, std::string libPath);
    // The container's type (1 RSA, 2 ECC, 0 no key pair); -1 no such
    // container, -2 the library cannot be loaded, else the token's status.
    int getConnectType(std::string containerName);
    ULONG UnInit();

    ULONG GetDevNameList(std::vector<std::string>& devNameList);
    ULONG GetAppNameList(DEVHANDLE hDev, std::vector<std::string>& appNameList);
    ULONG GetContainerNameList(HAPPLICATION hApp, std::vector<std::string>& containerNameList);
    HANDLE GetAppHandle() { return m_hApp; }

    ULONG ExportCert(std::string& cert, bool sigFlag);
    ULONG GetCertList(std::vector<CertContext>& certList, bool signFlag);

    ULONG Sign(std::string& sign, const std::string& msg, bool bDer);
    ULONG Signex(std::string& sign, const std::string& msg, bool bDer);
    ULONG SignWDC1(std::string& sign, const std::string& msg, bool bDer, bool bSign);
    ULONG SignRsa(std::string& sign, const std::string& msg, bool bDer, ULONG ulAlgID);
    ULONG SignRsaWDC1(std::string& sign, const std::string& msg, bool bDer, ULONG ulAlgID, bool bSign);

    ULONG GenCSR(const csr_t* csr_info, std::string& signedEncodedCertReq, bool bCreate,
                 std::string strContainerName);
    EVP_PKEY* ECCPUBLICKEYBLOB2EVP_PKEY(PECCPUBLICKEYBLOB eccSignPublicKeyBlob);
    EVP_PKEY* RSAPUBLICKEYBLOB2EVP_PKEY(PRSAPUBLICKEYBLOB rsaPublicKeyBlob);
    ULONG ImportCert(const std::string& cert, bool signFlag);
    ULONG ImportCert(const std::string& cert, bool signFlag, const std::string& key, const std::string& prikey,
                     ULONG ulSymAlgId);
    ULONG ImportKey(std::string keypairCipherKey, std::string keypairCipher, std::string cert, ULONG ulSymAlgId);

    ULONG VerifyPin(ULONG ulPINType, const std::string& pin, ULONG& retryCount);

    // Read-only views for callers that inspect the binding's state.
    const SkfFunctionTable& Functions() const { return m_fn; }
    const std::string& ContainerName() const { return m_containerName; }
    HCONTAINER ContainerHandle() const { return m_hContainer; }
    // Counts every move of the binding (closing, opening a container, a
    // request's own container), so a certificate can tell whether the
    // container it opened is still the one bound.
    unsigned long BindingGeneration() const { return m_bindingGeneration; }
    DEVHANDLE DeviceHandle() const { return m_hDev; }
    bool HashOnToken() const { return m_bHash; }

    // Where the diagnostic log goes; the default is kDefaultLogPath. A seam
    // for tests, which must not write into (or plant links at) the shared path.
    static void SetLogPath(const std::string& path);
    static const std::string& LogPath();

private:
    bool HasEccSignEntries() const;
    // Opens a container of the open application as the binding's container;
    // every move of the binding goes through here or UnInit, which count it.
    ULONG OpenBoundContainer(LPSTR name);

    std::string m_containerName;
    std::string m_path;
    void* m_hDll = nullptr;
    DEVHANDLE m_hDev = nullptr;
    HAPPLICATION m_hApp = nullptr;
    HCONTAINER m_hContainer = nullptr;
    HANDLE m_hKey = nullptr;
    HANDLE m_hAgreementHandle = nullptr;
    BLOCKCIPHERPARAM m_blobCipherParam;
    bool m_bHash = true;
    unsigned long m_bindingGeneration = 0;
    SkfFunctionTable m_fn;
};
