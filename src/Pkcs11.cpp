#include "Pkcs11.h"

#include "core/OsFunctions.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>

namespace korvane {
namespace crypto {
namespace pkcs11 {

namespace {

// Output buffers of the token operations.
constexpr CK_ULONG kSignBuffer = 4096;
constexpr CK_ULONG kEncryptBuffer = 4096;
constexpr CK_ULONG kDecryptBuffer = 2048;

CK_BBOOL g_true = CK_TRUE;

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

CK_FUNCTION_LIST_PTR Funcs(const Pkcs11Dll* dll) {
    return dll != nullptr && dll->m_bLoaded ? dll->m_p11Funcs : nullptr;
}

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, void* value, CK_ULONG len) {
    CK_ATTRIBUTE a;
    a.type = type;
    a.pValue = value;
    a.ulValueLen = len;
    return a;
}

// Two-call read of several attributes of one object. The first call's
// lengths size the buffers; a second answer that claims more than was
// allocated is a module fault and reported, never copied. Outputs are
// written only when everything succeeded.
CK_RV ReadAttributes(const Pkcs11Dll* dll, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                     const std::vector<CK_ATTRIBUTE_TYPE>& types, std::vector<std::string>& values) {
    CK_FUNCTION_LIST_PTR f = Funcs(dll);
    if (f == nullptr || f->C_GetAttributeValue == nullptr) return CKR_FUNCTION_FAILED;
    std::vector<CK_ATTRIBUTE> tmpl;
    for (CK_ATTRIBUTE_TYPE t : types) tmpl.push_back(Attr(t, nullptr, 0));
    CK_RV rv = f->C_GetAttributeValue(session, object, tmpl.data(), static_cast<CK_ULONG>(tmpl.size()));
    if (rv != CKR_OK) return rv;

    std::vector<std::string> buffers(tmpl.size());
    try {
        for (size_t i = 0; i < tmpl.size(); ++i) {
            if (tmpl[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) return CKR_GENERAL_ERROR;
            buffers[i].assign(tmpl[i].ulValueLen, '\0');
        }
    } catch (const std::exception&) {
        return CKR_HOST_MEMORY;
    }
    for (size_t i = 0; i < tmpl.size(); ++i) {
        tmpl[i].pValue = buffers[i].empty() ? nullptr : &buffers[i][0];
        tmpl[i].ulValueLen = static_cast<CK_ULONG>(buffers[i].size());
    }
    rv = f->C_GetAttributeValue(session, object, tmpl.data(), static_cast<CK_ULONG>(tmpl.size()));
    if (rv != CKR_OK) return rv;
    for (size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i].ulValueLen > buffers[i].size()) return CKR_GENERAL_ERROR;
        buffers[i].resize(tmpl[i].ulValueLen);
    }
    values.swap(buffers);
    return CKR_OK;
}

// Walks the objects matching tmpl one at a time until visit returns true.
// The status is that of C_FindObjectsInit when it fails, else of
// C_FindObjectsFinal.
CK_RV FindEach(const Pkcs11Dll* dll, CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> tmpl,
               const std::function<bool(CK_OBJECT_HANDLE)>& visit) {
    CK_FUNCTION_LIST_PTR f = Funcs(dll);
    if (f == nullptr || f->C_FindObjectsInit == nullptr || f->C_FindObjects == nullptr ||
        f->C_FindObjectsFinal == nullptr)
        return CKR_FUNCTION_FAILED;
    CK_RV rv = f->C_FindObjectsInit(session, tmpl.data(), static_cast<CK_ULONG>(tmpl.size()));
    if (rv != CKR_OK) return rv;
    for (;;) {
        CK_OBJECT_HANDLE h = 0;
        CK_ULONG found = 0;
        // Asked for one object: any larger count is ignored, only h is ours.
        if (f->C_FindObjects(session, &h, 1, &found) != CKR_OK || found == 0) break;
        if (visit(h)) break;
    }
    return f->C_FindObjectsFinal(session);
}

std::vector<CK_ATTRIBUTE> ClassSearch(CK_OBJECT_CLASS& cls) {
    return {Attr(CKA_CLASS, &cls, sizeof cls), Attr(CKA_TOKEN, &g_true, sizeof g_true)};
}

std::string SpkiDer(EVP_PKEY* key) {
    if (key == nullptr) return std::string();
    unsigned char* buf = nullptr;
    int n = i2d_PUBKEY(key, &buf);
    std::string out;
    if (n > 0 && buf != nullptr) out.assign(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    OPENSSL_free(buf);
    return out;
}

// Runs a one-shot token operation into a fixed buffer: Init, then the
// operation; the output is taken only on CKR_OK and only if the module's
// length fits the buffer.
template <typename InitFn, typename OpFn>
CK_RV OneShot(CK_SESSION_HANDLE s, InitFn init, OpFn op, CK_MECHANISM_TYPE mech, CK_OBJECT_HANDLE key,
              const std::string& in, std::string& out, CK_ULONG size) {
    CK_MECHANISM m = {mech, nullptr, 0};
    CK_RV rv = init(s, &m, key);
    if (rv != CKR_OK) return rv;
    std::vector<CK_BYTE> buf(size, 0);
    CK_ULONG len = size;
    rv = op(s, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(in.data())), static_cast<CK_ULONG>(in.size()),
            buf.data(), &len);
    if (rv != CKR_OK) return rv;
    if (len > size) return CKR_GENERAL_ERROR;
    out.assign(reinterpret_cast<const char*>(buf.data()), len);
    return CKR_OK;
}

}  // namespace

// ---- Pkcs11Dll ----

bool Pkcs11Dll::Load(const std::string& path) {
    if (m_bLoaded) return true;
    void* handle = dlopen(path.c_str(), RTLD_LAZY);
    if (handle == nullptr) return false;
    auto entry = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (entry == nullptr || entry(&list) != CKR_OK || list == nullptr) {
        dlclose(handle);
        return false;
    }
    m_handle = handle;
    m_GetFuncList = entry;
    m_p11Funcs = list;
    m_bLoaded = true;
    return true;
}

CK_RV Pkcs11Dll::Initialize() {
    CK_FUNCTION_LIST_PTR f = Funcs(this);
    if (f == nullptr || f->C_Initialize == nullptr) return CKR_FUNCTION_FAILED;
    return f->C_Initialize(nullptr);
}

CK_RV Pkcs11Dll::Finalize() {
    CK_FUNCTION_LIST_PTR f = Funcs(this);
    if (f == nullptr || f->C_Finalize == nullptr) return CKR_FUNCTION_FAILED;
    return f->C_Finalize(nullptr);
}

CK_RV Pkcs11Dll::GetSlotList(std::vector<Slot*>& slots) {
    CK_FUNCTION_LIST_PTR f = Funcs(this);
    if (f == nullptr || f->C_GetSlotList == nullptr) return CKR_FUNCTION_FAILED;
    CK_ULONG count = 0;
    CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) return rv;
    std::vector<CK_SLOT_ID> ids;
    try {
        ids.assign(count, 0);
    } catch (const std::exception&) {
        return CKR_HOST_MEMORY;
    }
    CK_ULONG filled = count;
    rv = f->C_GetSlotList(CK_TRUE, ids.empty() ? nullptr : ids.data(), &filled);
    if (rv != CKR_OK) return rv;
    // The list may have changed between the calls; only what was allocated
    // can hold slot IDs.
    filled = std::min(filled, count);
    for (CK_ULONG i = 0; i < filled; ++i) slots.push_back(new Slot(ids[i], this));
    return rv;
}

// ---- Session ----

CK_RV Session::GetAllCert(std::vector<Cert*>& certs) {
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    return FindEach(m_dll, m_hSession, ClassSearch(cls), [&](CK_OBJECT_HANDLE h) {
        certs.push_back(new Cert(h, this, m_dll));
        return false;
    });
}

CK_RV Session::Login(CK_USER_TYPE type, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    CK_FUNCTION_LIST_PTR f = Funcs(m_dll);
    if (f == nullptr || f->C_Login == nullptr) return CKR_FUNCTION_FAILED;
    return f->C_Login(m_hSession, type, pPin, ulPinLen);
}

// ---- Slot ----

CK_RV Slot::GetSlotInfo(CK_SLOT_INFO& info) {
    CK_FUNCTION_LIST_PTR f = Funcs(m_dll);
    if (f == nullptr || f->C_GetSlotInfo == nullptr) return ~static_cast<CK_RV>(0);
    return f->C_GetSlotInfo(m_slotID, &info);
}

CK_RV Slot::OpenSession(Session** session) {
    CK_FUNCTION_LIST_PTR f = Funcs(m_dll);
    if (session == nullptr) return CKR_ARGUMENTS_BAD;
    if (f == nullptr || f->C_OpenSession == nullptr) return CKR_FUNCTION_FAILED;
    static CK_ULONG application = 17;
    CK_SESSION_HANDLE h = 0;
    CK_RV rv = f->C_OpenSession(m_slotID, CKF_SERIAL_SESSION | CKF_RW_SESSION, &application, nullptr, &h);
    if (rv == CKR_OK) *session = new Session(h, m_dll);
    return rv;
}

void Slot::GetPubkeyInfo(Session& session, std::string pubkey, std::string& subject, std::string& id) {
    CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
    FindEach(m_dll, session.GetHandle(), ClassSearch(cls), [&](CK_OBJECT_HANDLE h) {
        Key key(m_dll, &session, h, 0);
        Owned<EVP_PKEY> evp(key.GetEvpKey());
        std::string der = SpkiDer(evp.get());
        if (!der.empty() && der == pubkey) {
            std::string i, s;
            if (key.GetSubjectAndId(i, s) == CKR_OK) {
                subject = s;
                id = i;
            }
        }
        return false;  // the last match wins
    });
}

CK_RV Slot::CreateCert(Session& session, std::string cert, std::string subject, std::string id) {
    CK_FUNCTION_LIST_PTR f = Funcs(m_dll);
    if (f == nullptr || f->C_CreateObject == nullptr) return CKR_FUNCTION_FAILED;
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    static const char kLabel[] = "A certificate object";
    std::string label(kLabel, sizeof kLabel - 1);
    CK_ATTRIBUTE tmpl[] = {
        Attr(CKA_CLASS, &cls, sizeof cls),
        Attr(CKA_CERTIFICATE_TYPE, &type, sizeof type),
        Attr(CKA_ID, &id[0], static_cast<CK_ULONG>(id.size())),
        Attr(CKA_TOKEN, &g_true, sizeof g_true),
        Attr(CKA_LABEL, &label[0], static_cast<CK_ULONG>(label.size())),
        Attr(CKA_SUBJECT, &subject[0], static_cast<CK_ULONG>(subject.size())),
        Attr(CKA_VALUE, &cert[0], static_cast<CK_ULONG>(cert.size())),
    };
    CK_OBJECT_HANDLE h = 0;
    return f->C_CreateObject(session.GetHandle(), tmpl, sizeof tmpl / sizeof tmpl[0], &h);
}

CK_RV Slot::InstallCert(Session& session, std::string cert) {
    std::string pubkey = GetPubkey(cert);
    std::string subject, id;
    if (!pubkey.empty()) GetPubkeyInfo(session, pubkey, subject, id);
    if (pubkey.empty() || id.empty()) return CKR_FUNCTION_FAILED;
    return CreateCert(session, cert, subject, id);
}

CK_RV Slot::GenCsr(Csr& csr, Session& session, std::string& csrout, size_t bit) {
    Key key(m_dll, &session, 0, 0);
    CK_RV rv = key.GenKeyPair(bit);
    if (rv != CKR_OK) return rv;
    csr.SetDelegate(&key);
    csrout = csr.GenCsr();
    csr.SetDelegate(nullptr);  // the key ends here; leave no dangling delegate
    return CKR_OK;
}

// ---- Key ----

EVP_PKEY* Key::GetRsaEvpKey(std::string n, std::string e) {
    if (n.empty() || e.empty()) return nullptr;
    Owned<BIGNUM> bn(BN_bin2bn(reinterpret_cast<const unsigned char*>(n.data()), static_cast<int>(n.size()), nullptr));
    Owned<BIGNUM> be(BN_bin2bn(reinterpret_cast<const unsigned char*>(e.data()), static_cast<int>(e.size()), nullptr));
    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!bn || !be || !bld || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, bn.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, be.get()) != 1)
        return nullptr;
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return key;
}

EVP_PKEY* Key::GetEvpKey() {
    std::vector<std::string> v;
    if (m_session == nullptr ||
        ReadAttributes(m_dll, m_session->GetHandle(), m_hPublicKey, {CKA_MODULUS, CKA_PUBLIC_EXPONENT}, v) != CKR_OK)
        return nullptr;
    return GetRsaEvpKey(v[0], v[1]);
}

EVP_PKEY* Key::GetEvpKeyFT() {
    std::vector<std::string> v;
    if (m_session != nullptr) ReadAttributes(m_dll, m_session->GetHandle(), m_hPublicKey, {CKA_MODULUS}, v);
    return nullptr;
}

std::string Key::GetPubKeyFromePriv() {
    std::vector<std::string> v;
    if (m_session == nullptr ||
        ReadAttributes(m_dll, m_session->GetHandle(), m_hPrivateKey, {CKA_MODULUS, CKA_PUBLIC_EXPONENT}, v) != CKR_OK)
        return std::string();
    Owned<EVP_PKEY> key(GetRsaEvpKey(v[0], v[1]));
    return SpkiDer(key.get());
}

std::string Key::GetPubKeyFromePrivFT() {
    std::vector<std::string> v;
    if (m_session == nullptr || ReadAttributes(m_dll, m_session->GetHandle(), m_hPrivateKey, {CKA_MODULUS}, v) != CKR_OK)
        return std::string();
    return v[0].size() == 65 ? "64" : std::string();
}

std::string Key::Sign(const std::string& csr) {
    std::string sig;
    return Sign(csr, sig, static_cast<int>(CKM_SHA_1)) == CKR_OK ? sig : std::string();
}

CK_RV Key::Sign(const std::string& msg, std::string& sign, int hashAlg) {
    CK_FUNCTION_LIST_PTR f = Funcs(m_dll);
    if (f == nullptr || m_session == nullptr || f->C_SignInit == nullptr || f->C_Sign == nullptr)
        return CKR_FUNCTION_FAILED;
    CK_MECHANISM_TYPE mech;
    switch (static_cast<CK_ULONG>(hashAlg)) {
        case CKM_SHA256: mech = CKM_SHA256_RSA_PKCS; break;
        case CKM_SHA_1: mech = CKM_SHA1_RSA_PKCS; break;
        case CKM_MD5: mech = CKM_MD5_RSA_PKCS; break;
        case CKM_MD2: mech = CKM_MD2_RSA_PKCS; break;
        case 0: mech = CKM_VENDOR_SM2_SM3; break;  // the SM3 selector
        default: mech = CKM_SHA1_RSA_PKCS; break;
    }
    return OneShot(m_session->GetHandle(), f->C_SignInit, f->C_Sign, mech, m_hPrivateKey, msg, sign, kSignBuffer);
}

CK_RV Key::Encrypt(const std::string& plain, std::string& cipher) {
    CK_FUNCTION_LIST_PTR f = Funcs(m_dll);
    if (f == nullptr || m_session == nullptr || f->C_EncryptInit == nullptr || f->C_Encrypt == nullptr)
        return CKR_FUNCTION_FAILED;
    return OneShot(m_session->GetHandle(), f->C_EncryptInit, f->C_Encrypt, CKM_RSA_PKCS, m_hPublicKey, plain,
                   cipher, kEncryptBuffer);
}

CK_RV Key::Decrypt(const std::string& cipher, std::string& plain) {
    CK_FUNCTION_LIST_PTR f = Funcs(m_dll);
    if (f == nullptr || m_session == nullptr || f->C_DecryptInit == nullptr || f->C_Decrypt == nullptr)
        return CKR_FUNCTION_FAILED;
    return OneShot(m_session->GetHandle(), f->C_DecryptInit, f->C_Decrypt, CKM_RSA_PKCS, m_hPrivateKey, cipher,
                   plain, kDecryptBuffer);
}

void Key::GenRand(CK_BYTE* buf, size_t len) {
    if (buf == nullptr) return;
    for (size_t i = 0; i < len; ++i) buf[i] = static_cast<CK_BYTE>('A' + std::rand() % 26);
}

CK_RV Key::GenKeyPair(size_t bit) {
    CK_FUNCTION_LIST_PTR f = Funcs(m_dll);
    if (f == nullptr || m_session == nullptr || f->C_GenerateKeyPair == nullptr) return CKR_GENERAL_ERROR;
    CK_BYTE id[32], subject[32];
    GenRand(id, sizeof id);
    GenRand(subject, sizeof subject);
    CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY, privClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE type = CKK_RSA;
    CK_ULONG bits = static_cast<CK_ULONG>(bit);
    CK_ATTRIBUTE pub[] = {
        Attr(CKA_CLASS, &pubClass, sizeof pubClass),  Attr(CKA_KEY_TYPE, &type, sizeof type),
        Attr(CKA_ID, id, sizeof id),                  Attr(CKA_SUBJECT, subject, sizeof subject),
        Attr(CKA_ENCRYPT, &g_true, sizeof g_true),    Attr(CKA_VERIFY, &g_true, sizeof g_true),
        Attr(CKA_VERIFY_RECOVER, &g_true, sizeof g_true), Attr(CKA_WRAP, &g_true, sizeof g_true),
        Attr(CKA_MODULUS_BITS, &bits, sizeof bits),   Attr(CKA_TOKEN, &g_true, sizeof g_true),
    };
    CK_ATTRIBUTE priv[] = {
        Attr(CKA_CLASS, &privClass, sizeof privClass), Attr(CKA_KEY_TYPE, &type, sizeof type),
        Attr(CKA_ID, id, sizeof id),                   Attr(CKA_SUBJECT, subject, sizeof subject),
        Attr(CKA_DECRYPT, &g_true, sizeof g_true),     Attr(CKA_SIGN, &g_true, sizeof g_true),
        Attr(CKA_SIGN_RECOVER, &g_true, sizeof g_true), Attr(CKA_UNWRAP, &g_true, sizeof g_true),
        Attr(CKA_TOKEN, &g_true, sizeof g_true),
    };
    CK_MECHANISM mech = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    return f->C_GenerateKeyPair(m_session->GetHandle(), &mech, pub, sizeof pub / sizeof pub[0], priv,
                                sizeof priv / sizeof priv[0], &m_hPublicKey, &m_hPrivateKey);
}

CK_RV Key::GetSubjectAndId(std::string& id, std::string& subject) {
    if (m_session == nullptr) return CKR_FUNCTION_FAILED;
    std::vector<std::string> v;
    CK_RV rv = ReadAttributes(m_dll, m_session->GetHandle(), m_hPublicKey, {CKA_SUBJECT, CKA_ID}, v);
    if (rv != CKR_OK) return rv;
    subject = v[0];
    id = v[1];
    return CKR_OK;
}

// ---- Cert ----

CK_RV Cert::GetAttribute(std::string& strId, std::string& strSubject, std::string& strValue) {
    if (m_session == nullptr) return CKR_FUNCTION_FAILED;
    std::vector<std::string> v;
    CK_RV rv = ReadAttributes(m_dll, m_session->GetHandle(), m_handle, {CKA_CLASS, CKA_ID, CKA_SUBJECT, CKA_VALUE}, v);
    if (rv != CKR_OK) return rv;
    strId = v[1];
    strSubject = v[2];
    strValue = v[3];
    return CKR_OK;
}

std::string Cert::toDer() {
    std::string id, subject, value;
    return GetAttribute(id, subject, value) == CKR_OK ? value : std::string();
}

bool Cert::bisgm() {
    std::string id, subject, value;
    return GetAttribute(id, subject, value) == CKR_OK && isgmcert(value);
}

CK_RV Cert::GetKey() {
    if (m_session == nullptr) return CKR_FUNCTION_FAILED;
    std::string id, subject, value;
    CK_RV rv = GetAttribute(id, subject, value);
    if (rv != CKR_OK) return rv;
    const bool gm = isgmcert(value);
    const std::string target = gm ? std::string("64") : GetPubkey(value);
    CK_SESSION_HANDLE s = m_session->GetHandle();

    // An empty candidate (no readable key) never matches, and a search that
    // matches nothing reports that no key exists rather than handing back
    // whatever object it looked at last.
    CK_OBJECT_HANDLE hPriv = 0, hPub = 0;
    bool privFound = false, pubFound = false;
    CK_OBJECT_CLASS privClass = CKO_PRIVATE_KEY;
    rv = FindEach(m_dll, s, ClassSearch(privClass), [&](CK_OBJECT_HANDLE h) {
        Key probe(m_dll, m_session, 0, h);
        std::string cand = gm ? probe.GetPubKeyFromePrivFT() : probe.GetPubKeyFromePriv();
        if (cand.empty() || cand != target) return false;
        hPriv = h;
        privFound = true;
        return true;
    });
    if (rv != CKR_OK) return rv;
    if (!privFound) return CKR_KEY_HANDLE_INVALID;

    CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY;
    rv = FindEach(m_dll, s, ClassSearch(pubClass), [&](CK_OBJECT_HANDLE h) {
        Key probe(m_dll, m_session, h, 0);
        std::string cand;
        if (gm) {
            Owned<EVP_PKEY> none(probe.GetEvpKeyFT());
            if (!none) cand = "64";
        } else {
            Owned<EVP_PKEY> evp(probe.GetEvpKey());
            cand = SpkiDer(evp.get());
        }
        if (cand.empty() || cand != target) return false;
        hPub = h;
        pubFound = true;
        return true;
    });
    if (rv != CKR_OK) return rv;
    if (!pubFound) return CKR_KEY_HANDLE_INVALID;

    delete m_key;
    m_key = new Key(m_dll, m_session, hPub, hPriv);
    return CKR_OK;
}

CK_RV Cert::Sign(const std::string& msg, std::string& sign, int hashAlg) {
    if (m_key == nullptr) {
        CK_RV rv = GetKey();
        if (rv != CKR_OK) return rv;
    }
    return m_key != nullptr ? m_key->Sign(msg, sign, hashAlg) : CKR_FUNCTION_FAILED;
}

CK_RV Cert::Encrypt(const std::string& plain, std::string& cipher) {
    if (bisgm()) return CKR_FUNCTION_FAILED;
    if (m_key == nullptr) {
        CK_RV rv = GetKey();
        if (rv != CKR_OK) return rv;
    }
    return m_key != nullptr ? m_key->Encrypt(plain, cipher) : CKR_FUNCTION_FAILED;
}

CK_RV Cert::Decrypt(const std::string& cipher, std::string& plain) {
    if (bisgm()) return CKR_FUNCTION_FAILED;
    if (m_key == nullptr) {
        CK_RV rv = GetKey();
        if (rv != CKR_OK) return rv;
    }
    return m_key != nullptr ? m_key->Decrypt(cipher, plain) : CKR_FUNCTION_FAILED;
}

}  // namespace pkcs11
}  // namespace crypto
}  // namespace korvane
