#include "CSKFProvider.h"

#include "SM/sm2_asn1.h"
#include "SM/sm2_lib.h"
#include "SM/sm_oid.h"
#include "core/hexcode.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

// ---- RAII for the crypto library's objects --------------------------------
struct Free {
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EC_KEY* p) const { EC_KEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_REQ* p) const { X509_REQ_free(p); }
    void operator()(X509_ALGOR* p) const { X509_ALGOR_free(p); }
    void operator()(X509_NAME* p) const { X509_NAME_free(p); }
    void operator()(ASN1_OCTET_STRING* p) const { ASN1_OCTET_STRING_free(p); }
    void operator()(sm::EC_SM2_SIG* p) const { sm::EC_SM2_SIG_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// Takes an i2d-style encoding into a string; the temporary is wiped because
// it may hold request contents the caller wants kept private.
template <typename T, typename F>
bool EncodeDer(F i2d, T* obj, std::string& out) {
    unsigned char* der = nullptr;
    int len = i2d(obj, &der);
    if (len <= 0 || der == nullptr) return false;
    out.assign(reinterpret_cast<char*>(der), static_cast<size_t>(len));
    OPENSSL_cleanse(der, static_cast<size_t>(len));
    OPENSSL_free(der);
    return true;
}

// DER tag + definite length + content.
std::string DerWrap(unsigned char tag, const std::string& content) {
    std::string out(1, static_cast<char>(tag));
    size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<char>(n));
    } else {
        std::string len;
        while (n) {
            len.insert(len.begin(), static_cast<char>(n & 0xFF));
            n >>= 8;
        }
        out.push_back(static_cast<char>(0x80 | len.size()));
        out += len;
    }
    return out + content;
}

// ---- Diagnostic log -------------------------------------------------------
std::string& LogPathStore() {
    static std::string path = CSKFProvider::kDefaultLogPath;
    return path;
}

// Appends to the log for the duration of one operation. The path is fixed
// and in a shared directory, and the lines hold the data being signed: a
// link planted there by another user must not redirect the writes, so links
// are refused and the operation goes on without logging.
class LogFile {
public:
    LogFile() {
        int fd = ::open(LogPathStore().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return;
        m_f = ::fdopen(fd, "a");
        if (!m_f) ::close(fd);
    }
    ~LogFile() {
        if (m_f) std::fclose(m_f);
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    __attribute__((format(printf, 2, 3))) void Write(const char* fmt, ...) {
        if (!m_f) return;
        va_list ap;
        va_start(ap, fmt);
        std::vfprintf(m_f, fmt, ap);
        va_end(ap);
    }

private:
    FILE* m_f = nullptr;
};

// A status printed with %d shows as a signed 32-bit value.
int S(ULONG v) { return static_cast<int>(v); }

// Text of a message up to its first zero byte.
std::string AsText(const std::string& msg) { return std::string(msg.c_str()); }

BYTE* Bytes(std::string& s) { return reinterpret_cast<BYTE*>(&s[0]); }
BYTE* Bytes(const std::string& s) { return reinterpret_cast<BYTE*>(const_cast<char*>(s.data())); }

const BYTE* Aligned(const BYTE* field64) { return IsZeroBuf32(field64) ? field64 + 32 : field64; }

// A buffer of the size a library reported; false when memory runs out (a
// library may report any length).
template <typename T>
bool Allocate(std::vector<T>& v, size_t n) {
    try {
        v.assign(n, T());
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Zero-terminated names lying one after another in the first `size` bytes of
// buf. An empty name ends the list; a last name without terminator is taken
// up to the size, never past it.
void SplitNames(const char* buf, size_t size, std::vector<std::string>& out) {
    size_t pos = 0;
    while (pos < size && buf[pos] != '\0') {
        const char* start = buf + pos;
        const void* zero = std::memchr(start, 0, size - pos);
        size_t len = zero ? static_cast<size_t>(static_cast<const char*>(zero) - start) : size - pos;
        out.emplace_back(start, len);
        pos += len + 1;
    }
}

// Size query, then the list itself.
template <typename Call>
ULONG ReadNames(Call call, std::vector<std::string>& out) {
    ULONG size = 0;
    ULONG rv = call(nullptr, &size);
    if (rv != SAR_OK) return rv;
    if (size == 0) return SAR_OK;
    std::vector<char> buf;
    if (!Allocate(buf, size)) return SAR_FAIL;
    ULONG used = size;
    rv = call(buf.data(), &used);
    if (rv != SAR_OK) return rv;
    SplitNames(buf.data(), std::min<size_t>(size, used), out);
    return SAR_OK;
}

// The two forms of an SM2 signature blob: raw takes the last 32 bytes of r and
// of s as they are; DER finds each value by the alignment rule.
bool EccSignatureOut(const ECCSIGNATUREBLOB& blob, bool bDer, std::string& out) {
    if (!bDer) {
        out.assign(reinterpret_cast<const char*>(blob.r + 32), 32);
        out.append(reinterpret_cast<const char*>(blob.s + 32), 32);
        return true;
    }
    Owned<sm::EC_SM2_SIG> sig(sm::EC_SM2_SIG_new());
    if (!sig) return false;
    if (!sig->r) sig->r = BN_new();
    if (!sig->s) sig->s = BN_new();
    if (!sig->r || !sig->s) return false;
    if (!BN_bin2bn(Aligned(blob.r), 32, sig->r) || !BN_bin2bn(Aligned(blob.s), 32, sig->s)) return false;
    return EncodeDer(sm::i2d_EC_SM2_SIG, sig.get(), out);
}

}  // namespace

// ---- Free functions -------------------------------------------------------

bool IsZeroBuf32(const BYTE* p) {
    for (int i = 0; i < 32; ++i)
        if (p[i] != 0) return false;
    return true;
}

bool GenRand16(BYTE* buf) {
    if (RAND_bytes(buf, 16) == 1) return true;
    std::memset(buf, 0, 16);
    return false;
}

PENVELOPEDKEYBLOB GetEnvelopedKeyblob(std::string key, std::string prikey, std::string cert) {
    std::string x, y, hash, cipher;
    if (key.size() > 100) {
        x = key.substr(0, 32);
        y = key.substr(32, 32);
        hash = key.substr(64, 32);
        cipher = key.substr(100);
    }
    std::string certX, certY;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(cert.data());
    Owned<X509> x509(d2i_X509(nullptr, &p, static_cast<long>(cert.size())));
    if (x509) {
        const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(x509.get());
        if (bits && ASN1_STRING_length(bits) >= 65) {
            const char* d = reinterpret_cast<const char*>(ASN1_STRING_get0_data(bits));
            certX.assign(d + 1, 32);
            certY.assign(d + 33, 32);
        }
    }

    const size_t total = sizeof(ENVELOPEDKEYBLOB) + cipher.size();
    BYTE* raw = static_cast<BYTE*>(std::malloc(total));
    if (!raw) return nullptr;
    std::memset(raw, 0, total);
    PENVELOPEDKEYBLOB blob = reinterpret_cast<PENVELOPEDKEYBLOB>(raw);
    blob->Version = 1;
    blob->ulSymmAlgID = SGD_SM4_ECB;
    blob->ulBits = 256;
    std::memcpy(blob->cbEncryptedPriKey, prikey.data(), std::min<size_t>(prikey.size(), 64));
    blob->PubKey.BitLen = 256;
    std::memcpy(blob->PubKey.XCoordinate, certX.data(), certX.size());
    std::memcpy(blob->PubKey.YCoordinate, certY.data(), certY.size());
    std::memcpy(blob->ECCCipherBlob.XCoordinate, x.data(), x.size());
    std::memcpy(blob->ECCCipherBlob.YCoordinate, y.data(), y.size());
    std::memcpy(blob->ECCCipherBlob.HASH, hash.data(), hash.size());
    blob->ECCCipherBlob.CipherLen = static_cast<ULONG>(cipher.size());
    // The cipher text runs past the declared one-byte array into the room
    // allocated for it.
    std::memcpy(raw + offsetof(ENVELOPEDKEYBLOB, ECCCipherBlob) + offsetof(ECCCIPHERBLOB, Cipher), cipher.data(),
                cipher.size());
    return blob;
}

// ---- Object ---------------------------------------------------------------

void CSKFProvider::SetLogPath(const std::string& path) { LogPathStore() = path; }
const std::string& CSKFProvider::LogPath() { return LogPathStore(); }

CSKFProvider::CSKFProvider(const std::string& libPath) : m_path(libPath) {
    std::memset(&m_blobCipherParam, 0, sizeof(m_blobCipherParam));
    m_blobCipherParam.PaddingType = 1;
}

CSKFProvider::~CSKFProvider() { UnInit(); }

ULONG CSKFProvider::LoadLib(const std::string& providerName) {
    m_hDll = dlopen(providerName.c_str(), RTLD_LAZY);
    if (!m_hDll) {
        const char* err = dlerror();
        std::fprintf(stderr, "%s\n", err ? err : "");
        return 0xFFFFFFFF;
    }
#define SKF_BIND(name) m_fn.name = reinterpret_cast<PFN_##name>(dlsym(m_hDll, #name));
    SKF_FUNCTION_LIST(SKF_BIND)
#undef SKF_BIND
    return SAR_OK;
}

ULONG CSKFProvider::GetDevNameList(std::vector<std::string>& devNameList) {
    if (!m_fn.SKF_EnumDev) return SAR_FAIL;
    return ReadNames([this](LPSTR b, ULONG* s) { return m_fn.SKF_EnumDev(1, b, s); }, devNameList);
}

ULONG CSKFProvider::GetAppNameList(DEVHANDLE hDev, std::vector<std::string>& appNameList) {
    if (!hDev || !m_fn.SKF_EnumApplication) return SAR_FAIL;
    return ReadNames([this, hDev](LPSTR b, ULONG* s) { return m_fn.SKF_EnumApplication(hDev, b, s); }, appNameList);
}

ULONG CSKFProvider::GetContainerNameList(HAPPLICATION hApp, std::vector<std::string>& containerNameList) {
    if (!hApp || !m_fn.SKF_EnumContainer) return SAR_FAIL;
    return ReadNames([this, hApp](LPSTR b, ULONG* s) { return m_fn.SKF_EnumContainer(hApp, b, s); },
                     containerNameList);
}

ULONG CSKFProvider::OpenBoundContainer(LPSTR name) {
    ++m_bindingGeneration;
    return m_fn.SKF_OpenContainer(m_hApp, name, &m_hContainer);
}

ULONG CSKFProvider::UnInit() {
    ++m_bindingGeneration;
    ULONG rv = SAR_OK;
    if (m_hContainer && m_fn.SKF_CloseContainer) {
        rv = m_fn.SKF_CloseContainer(m_hContainer);
        m_hContainer = nullptr;
    }
    if (m_hApp && m_fn.SKF_CloseApplication) {
        rv = m_fn.SKF_CloseApplication(m_hApp);
        m_hApp = nullptr;
    }
    if (m_hDev && m_fn.SKF_DisConnectDev) {
        rv = m_fn.SKF_DisConnectDev(m_hDev);
        m_hDev = nullptr;
    }
    if (m_hKey && m_fn.SKF_CloseHandle) {
        rv = m_fn.SKF_CloseHandle(m_hKey);
        m_hKey = nullptr;
    }
    if (m_hAgreementHandle && m_fn.SKF_CloseHandle) {
        rv = m_fn.SKF_CloseHandle(m_hAgreementHandle);
        m_hAgreementHandle = nullptr;
    }
    return rv;
}

ULONG CSKFProvider::Init(std::string devName, std::string appName, std::string containerName, std::string) {
    LogFile log;
    log.Write("\n=====================Init============================\n");
    log.Write("\nInit containerName: %s\n", containerName.c_str());
    if (!m_hDll) {
        ULONG rv = LoadLib(m_path);
        if (rv != SAR_OK) return rv;
    }
    if (!m_fn.SKF_ConnectDev || !m_fn.SKF_OpenApplication || !m_fn.SKF_OpenContainer) return SAR_FAIL;
    UnInit();

    ULONG rv = SAR_OK;
    if (devName.empty()) {
        std::vector<std::string> names;
        rv = GetDevNameList(names);
        if (!names.empty()) devName = names[0];
    }
    log.Write("\nInit 000 dev anme: %s\n  ret = %d\n", devName.c_str(), S(rv));
    rv = m_fn.SKF_ConnectDev(&devName[0], &m_hDev);
    if (rv != SAR_OK) return rv;

    rv = SAR_OK;
    if (appName.empty()) {
        std::vector<std::string> names;
        rv = GetAppNameList(m_hDev, names);
        if (!names.empty()) appName = names[0];
    }
    log.Write("\nInit 000 app name: %s\n  ret = %d\n", appName.c_str(), S(rv));
    rv = m_fn.SKF_OpenApplication(m_hDev, &appName[0], &m_hApp);
    log.Write("\nInit SKF_OpenApplication: ret = %d\n", S(rv));
    if (rv != SAR_OK) return rv;

    size_t count = 0;
    if (containerName.empty()) {
        std::vector<std::string> names;
        if (GetContainerNameList(m_hApp, names) == SAR_OK && !names.empty()) containerName = names[0];
        count = names.size();
    }
    log.Write("\nInit containerNameList: = %d\n", static_cast<int>(count));

    m_containerName = containerName;
    rv = OpenBoundContainer(&containerName[0]);
    ULONG type = 0;
    ULONG typeRv = m_fn.SKF_GetContainerType ? m_fn.SKF_GetContainerType(m_hContainer, &type) : SAR_FAIL;
    log.Write("\ncontainer_type_ok == %d, container_type == %d\n", S(typeRv), S(type));

    // Callers of Init want an RSA key: when the first container picked is
    // ECC and others exist, look for the first RSA one.
    if (type == SKF_CONTAINER_ECC && count > 1) {
        std::vector<std::string> names;
        GetContainerNameList(m_hApp, names);
        for (std::string& name : names) {
            if (m_hContainer && m_fn.SKF_CloseContainer) m_fn.SKF_CloseContainer(m_hContainer);
            m_hContainer = nullptr;
            rv = OpenBoundContainer(&name[0]);
            type = 0;
            if (m_fn.SKF_GetContainerType) m_fn.SKF_GetContainerType(m_hContainer, &type);
            if (type == SKF_CONTAINER_RSA) break;
        }
    }
    return rv;
}

ULONG CSKFProvider::Init_SM3(std::string devName, std::string appName, std::string containerName, std::string) {
    LogFile log;
    log.Write("\n=====================Init_SM3============================\n");
    log.Write("\nInit_SM3 containerName: %s\n", containerName.c_str());
    if (!m_hDll) {
        ULONG rv = LoadLib(m_path);
        if (rv != SAR_OK) return rv;
    }
    if (!m_fn.SKF_ConnectDev || !m_fn.SKF_OpenApplication || !m_fn.SKF_OpenContainer) return SAR_FAIL;
    UnInit();

    if (devName.empty()) {
        std::vector<std::string> names;
        GetDevNameList(names);
        if (!names.empty()) devName = names[0];
    }
    log.Write("\n Init_SM3 devName: %s\n", devName.c_str());
    ULONG rv = m_fn.SKF_ConnectDev(&devName[0], &m_hDev);
    if (rv != SAR_OK) return rv;

    if (appName.empty()) {
        std::vector<std::string> names;
        GetAppNameList(m_hDev, names);
        if (!names.empty()) appName = names[0];
    }
    log.Write("\n Init_SM3 appName: %s\n", appName.c_str());
    rv = m_fn.SKF_OpenApplication(m_hDev, &appName[0], &m_hApp);
    log.Write("\n Init_SM3 SKF_OpenApplication ret: %d\n", S(rv));
    if (rv != SAR_OK) return rv;

    if (containerName.empty()) {
        std::vector<std::string> names;
        if (GetContainerNameList(m_hApp, names) == SAR_OK && !names.empty()) containerName = names[0];
    }
    m_containerName = containerName;
    rv = OpenBoundContainer(&containerName[0]);
    ULONG type = 0;
    if (m_fn.SKF_GetContainerType) m_fn.SKF_GetContainerType(m_hContainer, &type);
    log.Write("\n Init_SM3 SKF_GetContainerType == : %d\n", S(type));

    // Callers of Init_SM3 want an SM2 key, even when they named an RSA
    // container: look for the first ECC one.
    if (type == SKF_CONTAINER_RSA) {
        std::vector<std::string> names;
        GetContainerNameList(m_hApp, names);
        for (std::string& name : names) {
            if (m_hContainer && m_fn.SKF_CloseContainer) m_fn.SKF_CloseContainer(m_hContainer);
            m_hContainer = nullptr;
            rv = OpenBoundContainer(&name[0]);
            type = 0;
            if (m_fn.SKF_GetContainerType) m_fn.SKF_GetContainerType(m_hContainer, &type);
            log.Write("\n Init_SM3 \xE9\x87\x8D\xE6\x96\xB0\xE6\x89\x93\xE5\xBC\x80 SKF_GetContainerType == : %d\n",
                      S(type));
            if (type == SKF_CONTAINER_ECC) break;
        }
    }
    log.Write("\n Init_SM3  ret == : %d\n", S(rv));
    return rv;
}

int CSKFProvider::getConnectType(std::string containerName) {
    // The library is loaded before the entries are looked at: on an object
    // that never loaded it every entry is null, and the caller must be able
    // to tell "cannot load" (-2) from "loaded but incomplete".
    if (!m_hDll && LoadLib(m_path) != SAR_OK) return -2;
    if (!m_fn.SKF_ConnectDev || !m_fn.SKF_OpenApplication || !m_fn.SKF_OpenContainer)
        return static_cast<int>(SAR_FAIL);
    UnInit();

    std::vector<std::string> devs;
    GetDevNameList(devs);
    std::string devName = devs.empty() ? std::string() : devs[0];
    m_fn.SKF_ConnectDev(&devName[0], &m_hDev);
    std::vector<std::string> apps;
    GetAppNameList(m_hDev, apps);
    std::string appName = apps.empty() ? std::string() : apps[0];
    m_fn.SKF_OpenApplication(m_hDev, &appName[0], &m_hApp);

    if (OpenBoundContainer(&containerName[0]) != SAR_OK) {
        m_hContainer = nullptr;
        return -1;
    }
    // A failing type query is the token's status, not an empty container:
    // a listing must be able to tell the page so.
    ULONG type = 0;
    if (m_fn.SKF_GetContainerType) {
        const ULONG rv = m_fn.SKF_GetContainerType(m_hContainer, &type);
        if (rv != SAR_OK) return static_cast<int>(rv);
    }
    return static_cast<int>(type);
}

ULONG CSKFProvider::ExportCert(std::string& cert, bool sigFlag) {
    if (!m_hContainer || !m_fn.SKF_ExportCertificate) return SAR_FAIL;
    ULONG len = 0;
    ULONG rv = m_fn.SKF_ExportCertificate(m_hContainer, sigFlag, nullptr, &len);
    if (rv != SAR_OK) return rv;
    std::vector<BYTE> buf;
    if (!Allocate(buf, std::max<ULONG>(len, 1))) return SAR_FAIL;
    ULONG used = len;
    rv = m_fn.SKF_ExportCertificate(m_hContainer, sigFlag, buf.data(), &used);
    if (rv != SAR_OK) return rv;
    cert.assign(reinterpret_cast<const char*>(buf.data()), std::min(len, used));
    return SAR_OK;
}

ULONG CSKFProvider::GetCertList(std::vector<CertContext>& certList, bool signFlag) {
    if (!m_fn.SKF_EnumDev || !m_fn.SKF_ConnectDev || !m_fn.SKF_EnumApplication || !m_fn.SKF_OpenApplication ||
        !m_fn.SKF_EnumContainer || !m_fn.SKF_OpenContainer || !m_fn.SKF_ExportCertificate ||
        !m_fn.SKF_CloseContainer || !m_fn.SKF_CloseApplication || !m_fn.SKF_DisConnectDev)
        return SAR_FAIL;
    certList.clear();
    std::vector<std::string> devs;
    ULONG rv = GetDevNameList(devs);
    for (std::string& dev : devs) {
        DEVHANDLE hDev = nullptr;
        rv = m_fn.SKF_ConnectDev(&dev[0], &hDev);
        if (rv != SAR_OK) continue;
        std::vector<std::string> apps;
        rv = GetAppNameList(hDev, apps);
        for (std::string& app : apps) {
            HAPPLICATION hApp = nullptr;
            rv = m_fn.SKF_OpenApplication(hDev, &app[0], &hApp);
            if (rv != SAR_OK) continue;
            std::vector<std::string> conts;
            rv = GetContainerNameList(hApp, conts);
            for (std::string& cont : conts) {
                HCONTAINER hCont = nullptr;
                rv = m_fn.SKF_OpenContainer(hApp, &cont[0], &hCont);
                if (rv != SAR_OK) continue;
                ULONG len = 0;
                rv = m_fn.SKF_ExportCertificate(hCont, signFlag, nullptr, &len);
                std::vector<BYTE> buf;
                if (rv == SAR_OK && !Allocate(buf, std::max<ULONG>(len, 1))) rv = SAR_FAIL;
                if (rv == SAR_OK) {
                    ULONG used = len;
                    rv = m_fn.SKF_ExportCertificate(hCont, signFlag, buf.data(), &used);
                    if (rv == SAR_OK) {
                        CertContext c;
                        c.devName = dev;
                        c.appName = app;
                        c.containerName = cont;
                        c.cert.assign(reinterpret_cast<const char*>(buf.data()), std::min(len, used));
                        c.path = m_path;
                        certList.push_back(std::move(c));
                    }
                }
                m_fn.SKF_CloseContainer(hCont);
            }
            m_fn.SKF_CloseApplication(hApp);
        }
        m_fn.SKF_DisConnectDev(hDev);
    }
    return rv;
}

// ---- Signing --------------------------------------------------------------

bool CSKFProvider::HasEccSignEntries() const {
    return m_hDev && m_hContainer && m_fn.SKF_ExportPublicKey && m_fn.SKF_DigestInit && m_fn.SKF_Digest &&
           m_fn.SKF_ECCSignData && m_fn.SKF_CloseHandle;
}

ULONG CSKFProvider::Sign(std::string& sign, const std::string& msg, bool bDer) {
    if (!HasEccSignEntries()) return SAR_FAIL;
    LogFile log;
    log.Write("\n=====================Sign============================\n");
    log.Write("\n Sign msg: %s\n", AsText(msg).c_str());

    ECCPUBLICKEYBLOB eccPub;
    std::memset(&eccPub, 0, sizeof(eccPub));
    ULONG ulEccpubLen = sizeof(eccPub);
    ULONG rv = m_fn.SKF_ExportPublicKey(m_hContainer, 1, reinterpret_cast<BYTE*>(&eccPub), &ulEccpubLen);
    if (rv == SAR_OK) {
        log.Write("\n Sign SKF_ExportPublicKey: %d\n", S(rv));
        ECCSIGNATUREBLOB eccSign;
        std::memset(&eccSign, 0, sizeof(eccSign));
        rv = m_fn.SKF_ECCSignData(m_hContainer, Bytes(msg), static_cast<ULONG>(msg.size()), &eccSign);
        if (rv == SAR_OK) {
            log.Write("\n Sign SKF_ECCSignData: %d\n", S(rv));
            std::string out;
            if (EccSignatureOut(eccSign, bDer, out))
                sign = out;
            else
                rv = SAR_FAIL;
        }
    }
    log.Write("\n Sign SKF_ECCSignData  end: %d\n", S(rv));
    return rv;
}

ULONG CSKFProvider::Signex(std::string& sign, const std::string& msg, bool bDer) {
    if (!HasEccSignEntries()) return SAR_FAIL;
    ECCSIGNATUREBLOB eccSign;
    std::memset(&eccSign, 0, sizeof(eccSign));
    ULONG rv = m_fn.SKF_ECCSignData(m_hContainer, Bytes(msg), static_cast<ULONG>(msg.size()), &eccSign);
    if (rv != SAR_OK) return rv;
    std::string out;
    if (!EccSignatureOut(eccSign, bDer, out)) return SAR_FAIL;
    sign = out;
    return SAR_OK;
}

ULONG CSKFProvider::SignWDC1(std::string& sign, const std::string& msg, bool bDer, bool bSign) {
    if (!HasEccSignEntries() || !m_fn.SKF_ECCSignHash) return SAR_FAIL;
    ECCPUBLICKEYBLOB eccPub;
    std::memset(&eccPub, 0, sizeof(eccPub));
    ULONG ulEccpubLen = sizeof(eccPub);
    ULONG rv = m_fn.SKF_ExportPublicKey(m_hContainer, bSign, reinterpret_cast<BYTE*>(&eccPub), &ulEccpubLen);
    if (rv != SAR_OK) return rv;
    HANDLE hHash = nullptr;
    std::string id(kSm2Id);
    rv = m_fn.SKF_DigestInit(m_hDev, SGD_SM3, &eccPub, Bytes(id), static_cast<ULONG>(id.size()), &hHash);
    if (rv != SAR_OK) return rv;
    BYTE pHashData[256] = {0};
    ULONG ulHashDataLen = sizeof(pHashData);
    rv = m_fn.SKF_Digest(hHash, Bytes(msg), static_cast<ULONG>(msg.size()), pHashData, &ulHashDataLen);
    if (rv == SAR_OK) {
        ECCSIGNATUREBLOB eccSign;
        std::memset(&eccSign, 0, sizeof(eccSign));
        rv = m_fn.SKF_ECCSignHash(m_hContainer, bSign, hHash, &eccSign);
        if (rv == SAR_OK) {
            std::string out;
            if (EccSignatureOut(eccSign, bDer, out))
                sign = out;
            else
                rv = SAR_FAIL;
        }
    }
    m_fn.SKF_CloseHandle(hHash);
    return rv;
}

ULONG CSKFProvider::SignRsa(std::string& sign, const std::string& msg, bool, ULONG) {
    if (!m_hDev || !m_hContainer || !m_fn.SKF_ExportPublicKey || !m_fn.SKF_DigestInit || !m_fn.SKF_Digest ||
        !m_fn.SKF_RSASignData || !m_fn.SKF_CloseHandle)
        return SAR_FAIL;
    LogFile log;
    log.Write("\n====================SignRsa=============================\n");
    log.Write("\n SignRsa msg: %s, msg.length = %d\n", AsText(msg).c_str(), static_cast<int>(msg.size()));
    // The token signs the data as given; from now on this object never hashes
    // on the token before an RSA signature.
    m_bHash = false;
    ULONG ulSignLen = 0;
    ULONG rv = m_fn.SKF_RSASignData(m_hContainer, Bytes(msg), static_cast<ULONG>(msg.size()), nullptr, &ulSignLen);
    log.Write("\n Sign SKF_RSASignData 1: %d\n", S(rv));
    std::vector<BYTE> buf;
    if (rv == SAR_OK && !Allocate(buf, static_cast<size_t>(ulSignLen) + 1)) rv = SAR_FAIL;
    if (rv == SAR_OK) {
        ULONG used = ulSignLen;
        rv = m_fn.SKF_RSASignData(m_hContainer, Bytes(msg), static_cast<ULONG>(msg.size()), buf.data(), &used);
        log.Write("\n Sign SKF_RSASignData 2: %d\n", S(rv));
        if (rv == SAR_OK) sign.assign(reinterpret_cast<const char*>(buf.data()), std::min(used, ulSignLen));
    }
    log.Write("\n SignRSA SKF_RSASignData  end: %d\n", S(rv));
    return rv;
}

ULONG CSKFProvider::SignRsaWDC1(std::string& sign, const std::string& msg, bool, ULONG ulAlgID, bool bSign) {
    if (!m_hDev || !m_hContainer || !m_fn.SKF_ExportPublicKey || !m_fn.SKF_DigestInit || !m_fn.SKF_Digest ||
        !m_fn.SKF_RSASignData || !m_fn.SKF_CloseHandle || !m_fn.SKF_RSASignHash)
        return SAR_FAIL;
    HANDLE hHash = nullptr;
    ULONG rv = SAR_OK;
    if (m_bHash) {
        RSAPUBLICKEYBLOB pubkey;
        std::memset(&pubkey, 0, sizeof(pubkey));
        ULONG ulPubkeyLen = sizeof(pubkey);
        rv = m_fn.SKF_ExportPublicKey(m_hContainer, 1, reinterpret_cast<BYTE*>(&pubkey), &ulPubkeyLen);
        if (rv == SAR_OK) rv = m_fn.SKF_DigestInit(m_hDev, ulAlgID, nullptr, nullptr, 0, &hHash);
        if (rv == SAR_OK) {
            BYTE pHashData[256] = {0};
            ULONG ulHashDataLen = sizeof(pHashData);
            rv = m_fn.SKF_Digest(hHash, Bytes(msg), static_cast<ULONG>(msg.size()), pHashData, &ulHashDataLen);
        }
    }
    if (rv == SAR_OK) {
        DWORD ulSignLen = 0;
        rv = m_fn.SKF_RSASignHash(m_hContainer, bSign, hHash, nullptr, &ulSignLen);
        if (rv == SAR_OK) {
            std::vector<BYTE> buf;
            DWORD used = ulSignLen;
            if (Allocate(buf, std::max<DWORD>(ulSignLen, 1)))
                rv = m_fn.SKF_RSASignHash(m_hContainer, bSign, hHash, buf.data(), &used);
            else
                rv = SAR_FAIL;
            if (rv == SAR_OK) sign.assign(reinterpret_cast<const char*>(buf.data()), std::min(used, ulSignLen));
        }
    }
    if (hHash) m_fn.SKF_CloseHandle(hHash);
    return rv;
}

// ---- Keys, requests, import -----------------------------------------------

EVP_PKEY* CSKFProvider::ECCPUBLICKEYBLOB2EVP_PKEY(PECCPUBLICKEYBLOB blob) {
    if (!blob) return nullptr;
    Owned<BIGNUM> x(BN_bin2bn(Aligned(blob->XCoordinate), 32, nullptr));
    Owned<BIGNUM> y(BN_bin2bn(Aligned(blob->YCoordinate), 32, nullptr));
    if (!x || !y) return nullptr;
    Owned<EC_KEY> ec(sm::EC_KEY_from_BN(x.get(), y.get(), nullptr));
    if (!ec) return nullptr;
    EVP_PKEY* pkey = sm::EVP_PKEY_SM2_init(ec.get());
    if (pkey) ec.release();  // the key took over the reference
    return pkey;
}

EVP_PKEY* CSKFProvider::RSAPUBLICKEYBLOB2EVP_PKEY(PRSAPUBLICKEYBLOB blob) {
    if (!blob) return nullptr;
    Owned<BIGNUM> n(BN_bin2bn(blob->Modulus, sizeof(blob->Modulus), nullptr));
    Owned<BIGNUM> e(BN_bin2bn(blob->PublicExponent, sizeof(blob->PublicExponent), nullptr));
    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!n || !e || !bld) return nullptr;
    if (!OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()))
        return nullptr;
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) return nullptr;
    EVP_PKEY* pkey = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &pkey, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) return nullptr;
    return pkey;
}

ULONG CSKFProvider::GenCSR(const csr_t* csr_info, std::string& signedEncodedCertReq, bool bCreate,
                           std::string strContainerName) {
    if (!csr_info) return SAR_FAIL;
    const bool sm2 = csr_info->hash == HASH_SM3;
    // Every entry the enrolment will need is checked before anything is
    // created, so an incomplete library leaves the token as it was.
    if (!m_hApp || !m_fn.SKF_OpenContainer || !m_fn.SKF_ExportPublicKey || !m_fn.SKF_CloseHandle ||
        !m_fn.SKF_DigestInit || !m_fn.SKF_Digest || (bCreate && !m_fn.SKF_CreateContainer))
        return SAR_FAIL;
    if (sm2 && (!m_fn.SKF_ECCSignData || (bCreate && !m_fn.SKF_GenECCKeyPair))) return SAR_FAIL;
    if (!sm2 && (!m_fn.SKF_RSASignData || (bCreate && !m_fn.SKF_GenRSAKeyPair))) return SAR_FAIL;

    if (strContainerName.empty()) {
        BYTE rnd[16];
        if (!GenRand16(rnd)) return SAR_FAIL;
        strContainerName = HexCode::encode(std::string(reinterpret_cast<char*>(rnd), sizeof(rnd)), true);
    }
    char containerName[33] = {0};
    std::memcpy(containerName, strContainerName.data(), std::min<size_t>(strContainerName.size(), 32));

    HCONTAINER hContainer = nullptr;
    ULONG rv = m_fn.SKF_OpenContainer(m_hApp, containerName, &hContainer);
    if (rv != SAR_OK && bCreate) rv = m_fn.SKF_CreateContainer(m_hApp, containerName, &hContainer);
    if (rv != SAR_OK) return rv;
    if (m_hContainer && m_fn.SKF_CloseContainer) m_fn.SKF_CloseContainer(m_hContainer);
    m_hContainer = hContainer;
    ++m_bindingGeneration;

    ECCPUBLICKEYBLOB eccSignPublicKeyBlob;
    std::memset(&eccSignPublicKeyBlob, 0, sizeof(eccSignPublicKeyBlob));
    RSAPUBLICKEYBLOB rsaPublicKeyBlob;
    std::memset(&rsaPublicKeyBlob, 0, sizeof(rsaPublicKeyBlob));
    Owned<EVP_PKEY> pkey;
    if (sm2) {
        ULONG len = sizeof(eccSignPublicKeyBlob);
        rv = m_fn.SKF_ExportPublicKey(m_hContainer, 1, reinterpret_cast<BYTE*>(&eccSignPublicKeyBlob), &len);
        if (rv != SAR_OK && bCreate) rv = m_fn.SKF_GenECCKeyPair(m_hContainer, SGD_SM2_1, &eccSignPublicKeyBlob);
        if (rv != SAR_OK) return rv;
        pkey.reset(ECCPUBLICKEYBLOB2EVP_PKEY(&eccSignPublicKeyBlob));
    } else {
        ULONG len = sizeof(rsaPublicKeyBlob);
        rv = m_fn.SKF_ExportPublicKey(m_hContainer, 1, reinterpret_cast<BYTE*>(&rsaPublicKeyBlob), &len);
        if (rv != SAR_OK && bCreate)
            rv = m_fn.SKF_GenRSAKeyPair(m_hContainer, static_cast<ULONG>(csr_info->keySize), &rsaPublicKeyBlob);
        if (rv != SAR_OK) return rv;
        pkey.reset(RSAPUBLICKEYBLOB2EVP_PKEY(&rsaPublicKeyBlob));
    }

    sm::initsm2internalnid();

    // The request information is version, subject and public key only: no
    // [0] attributes element, not even an empty one. It is assembled from its
    // encoded parts because the library always writes the attributes.
    Owned<X509_REQ> req(X509_REQ_new());
    if (!req || !X509_REQ_set_version(req.get(), 0)) return SAR_FAIL;
    if (pkey) X509_REQ_set_pubkey(req.get(), pkey.get());
    X509_NAME* subject = X509_REQ_get_subject_name(req.get());
    const std::pair<const char*, const std::string*> fields[] = {
        {"CN", &csr_info->CN}, {"C", &csr_info->C},   {"O", &csr_info->O}, {"OU", &csr_info->OU},
        {"emailAddress", &csr_info->E}, {"ST", &csr_info->ST}, {"L", &csr_info->L},
    };
    for (const auto& f : fields) {
        if (f.second->empty()) continue;
        if (!X509_NAME_add_entry_by_txt(subject, f.first, MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char*>(f.second->data()),
                                        static_cast<int>(f.second->size()), -1, 0))
            return SAR_FAIL;
    }

    int sigNid;
    ULONG algID;
    switch (csr_info->hash) {
    case HASH_MD5: sigNid = NID_md5WithRSAEncryption; algID = SKF_HASH_MD5; break;
    case HASH_SHA1: sigNid = NID_sha1WithRSAEncryption; algID = SGD_SHA1; break;
    case HASH_SM3: sigNid = 0; algID = SGD_SM3; break;
    default: sigNid = NID_sha256WithRSAEncryption; algID = SGD_SHA256; break;
    }
    ASN1_OBJECT* sigObj = sm2 ? sm::SM2_OBJ_nid2obj(sm::NID_internal_sm2sm3sign) : OBJ_nid2obj(sigNid);
    Owned<X509_ALGOR> alg(X509_ALGOR_new());
    if (!sigObj || !alg || !X509_ALGOR_set0(alg.get(), OBJ_dup(sigObj), V_ASN1_NULL, nullptr)) return SAR_FAIL;

    std::string nameDer, pubDer, algDer, tbs;
    bool encoded = EncodeDer(i2d_X509_NAME, subject, nameDer) &&
                   EncodeDer(i2d_X509_PUBKEY, X509_REQ_get_X509_PUBKEY(req.get()), pubDer) &&
                   EncodeDer(i2d_X509_ALGOR, alg.get(), algDer);
    if (!encoded) return SAR_OK;  // no request; the caller sees an empty result
    tbs = DerWrap(V_ASN1_SEQUENCE | V_ASN1_CONSTRUCTED, std::string("\x02\x01\x00", 3) + nameDer + pubDer);

    std::string signature;
    if (sm2) {
        HANDLE hHash = nullptr;
        std::string id(kSm2Id);
        rv = m_fn.SKF_DigestInit(m_hDev, SGD_SM3, &eccSignPublicKeyBlob, Bytes(id), static_cast<ULONG>(id.size()),
                                 &hHash);
        if (rv == SAR_OK) {
            BYTE pHashData[256] = {0};
            ULONG ulHashDataLen = sizeof(pHashData);
            rv = m_fn.SKF_Digest(hHash, Bytes(tbs), static_cast<ULONG>(tbs.size()), pHashData, &ulHashDataLen);
            if (rv == SAR_OK) {
                ECCSIGNATUREBLOB eccSign;
                std::memset(&eccSign, 0, sizeof(eccSign));
                rv = m_fn.SKF_ECCSignData(m_hContainer, pHashData, std::min<ULONG>(ulHashDataLen, 256), &eccSign);
                if (rv == SAR_OK && !EccSignatureOut(eccSign, true, signature)) rv = SAR_FAIL;
            }
            m_fn.SKF_CloseHandle(hHash);
        }
    } else {
        rv = SignRsa(signature, tbs, true, algID);
    }
    if (rv != SAR_OK || signature.empty()) return rv;

    std::string der = DerWrap(V_ASN1_SEQUENCE | V_ASN1_CONSTRUCTED,
                              tbs + algDer + DerWrap(V_ASN1_BIT_STRING, std::string(1, '\0') + signature));

    // Verify with the request's own key before letting it out. OpenSSL checks
    // an SM2 request only with the identity set; without it every SM2 request
    // would look forged and be withheld.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    Owned<X509_REQ> check(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
    if (!check) return rv;
    if (sm2) {
        Owned<ASN1_OCTET_STRING> distid(ASN1_OCTET_STRING_new());
        if (!distid || !ASN1_OCTET_STRING_set(distid.get(), reinterpret_cast<const unsigned char*>(kSm2Id),
                                              static_cast<int>(std::strlen(kSm2Id))))
            return SAR_FAIL;
        X509_REQ_set0_distinguishing_id(check.get(), distid.release());
    }
    EVP_PKEY* reqKey = X509_REQ_get0_pubkey(check.get());
    int verified = reqKey ? X509_REQ_verify(check.get(), reqKey) : -1;
    if (verified != 0) signedEncodedCertReq = der;
    return rv;
}

ULONG CSKFProvider::ImportCert(const std::string& cert, bool signFlag) {
    if (!m_hContainer || !m_fn.SKF_ImportCertificate || !m_fn.SKF_ImportECCKeyPair) return SAR_FAIL;
    return m_fn.SKF_ImportCertificate(m_hContainer, signFlag, Bytes(cert), static_cast<ULONG>(cert.size()));
}

ULONG CSKFProvider::ImportCert(const std::string& cert, bool signFlag, const std::string& key,
                               const std::string& prikey, ULONG ulSymAlgId) {
    if (!m_hContainer || !m_fn.SKF_ImportCertificate || !m_fn.SKF_ImportECCKeyPair) return SAR_FAIL;
    if (signFlag) return ImportCert(cert, true);
    ULONG rv = ImportKey(key, prikey, cert, ulSymAlgId);
    if (rv != SAR_OK) return rv;
    return m_fn.SKF_ImportCertificate(m_hContainer, 0, Bytes(cert), static_cast<ULONG>(cert.size()));
}

ULONG CSKFProvider::ImportKey(std::string keypairCipherKey, std::string keypairCipher, std::string cert,
                              ULONG ulSymAlgId) {
    if (!m_hContainer || !m_fn.SKF_GetContainerType) return SAR_FAIL;
    ULONG type = 0;
    ULONG rv = m_fn.SKF_GetContainerType(m_hContainer, &type);
    if (rv != SAR_OK) return rv;
    if (type == SKF_CONTAINER_RSA) {
        if (!m_fn.SKF_ImportRSAKeyPair) return SAR_FAIL;
        return m_fn.SKF_ImportRSAKeyPair(m_hContainer, ulSymAlgId, Bytes(keypairCipherKey),
                                         static_cast<ULONG>(keypairCipherKey.size()), Bytes(keypairCipher),
                                         static_cast<ULONG>(keypairCipher.size()));
    }
    if (type == SKF_CONTAINER_ECC) {
        if (!m_fn.SKF_ImportECCKeyPair) return SAR_FAIL;
        std::unique_ptr<ENVELOPEDKEYBLOB, void (*)(void*)> blob(
            GetEnvelopedKeyblob(keypairCipherKey, keypairCipher, cert), std::free);
        if (!blob) return SAR_FAIL;
        return m_fn.SKF_ImportECCKeyPair(m_hContainer, blob.get());
    }
    return SAR_FAIL;
}

// ---- PIN ------------------------------------------------------------------

ULONG CSKFProvider::VerifyPin(ULONG ulPINType, const std::string&, ULONG& retryCount) {
    // The token's outcome is not reported: a refusal shows as the status of
    // the signature that follows.
    if (m_hApp && m_fn.SKF_VerifyPIN) {
        std::string pin(kFixedPin);
        m_fn.SKF_VerifyPIN(m_hApp, ulPINType, &pin[0], &retryCount);
    }
    return SAR_OK;
}
