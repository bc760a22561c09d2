#pragma once
// Object layer over a PKCS#11 module's function list: the module, its slots
// and sessions, certificate objects and the key pairs that belong to them.
// Every call goes through the list from C_GetFunctionList; the service never
// logs in and never closes a session (the module authenticates the user).

#include "Csr.h"

#include <p11-kit/pkcs11.h>

#include <openssl/evp.h>

#include <string>
#include <vector>

namespace korvane {
namespace crypto {
namespace pkcs11 {

// Vendor mechanism for SM2 signing with SM3; passed to the module unchanged.
constexpr CK_MECHANISM_TYPE CKM_VENDOR_SM2_SM3 = 0x00010002UL;

class Slot;
class Session;
class Cert;

class Pkcs11Dll {
public:
    Pkcs11Dll() : m_handle(nullptr), m_GetFuncList(nullptr), m_bLoaded(false), m_p11Funcs(nullptr) {}
    Pkcs11Dll(const Pkcs11Dll&) = delete;
    Pkcs11Dll& operator=(const Pkcs11Dll&) = delete;

    // Loads the module (never unloaded) and obtains its function list.
    bool Load(const std::string& path);
    CK_RV Initialize();
    CK_RV Finalize();
    // Appends a new Slot (owned by the caller) per slot with a token.
    CK_RV GetSlotList(std::vector<Slot*>& slots);

    void* m_handle;
    CK_C_GetFunctionList m_GetFuncList;
    bool m_bLoaded;
    CK_FUNCTION_LIST_PTR m_p11Funcs;
};

class Session {
public:
    Session(CK_SESSION_HANDLE h, Pkcs11Dll* dll) : m_hSession(h), m_dll(dll) {}

    CK_SESSION_HANDLE GetHandle() const { return m_hSession; }
    // Appends a new Cert (owned by the caller) per certificate object.
    CK_RV GetAllCert(std::vector<Cert*>& certs);
    CK_RV Login(CK_USER_TYPE type, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen);

    CK_SESSION_HANDLE m_hSession;
    Pkcs11Dll* m_dll;
};

class Slot {
public:
    Slot(CK_SLOT_ID id, Pkcs11Dll* dll) : m_slotID(id), m_dll(dll) {}

    CK_RV GetSlotInfo(CK_SLOT_INFO& info);
    // Read-write session without login; *session is the caller's.
    CK_RV OpenSession(Session** session);
    // Subject and ID of the token public key whose SubjectPublicKeyInfo DER
    // equals pubkey (the last match wins); untouched when none matches.
    void GetPubkeyInfo(Session& session, std::string pubkey, std::string& subject, std::string& id);
    CK_RV CreateCert(Session& session, std::string cert, std::string subject, std::string id);
    // Stores cert next to its key: same CKA_ID and CKA_SUBJECT.
    CK_RV InstallCert(Session& session, std::string cert);
    // New RSA key pair of bit bits, then a request signed by it into csrout.
    CK_RV GenCsr(Csr& csr, Session& session, std::string& csrout, size_t bit);

    CK_SLOT_ID m_slotID;
    Pkcs11Dll* m_dll;
};

// A public/private key handle pair. Final: Cert deletes it through Key*.
class Key final : public CsrDelegate {
public:
    Key(Pkcs11Dll* dll, Session* session, CK_OBJECT_HANDLE hPublicKey, CK_OBJECT_HANDLE hPrivateKey)
        : m_dll(dll), m_session(session), m_hPublicKey(hPublicKey), m_hPrivateKey(hPrivateKey) {}

    static EVP_PKEY* GetRsaEvpKey(std::string n, std::string e);
    EVP_PKEY* GetEvpKey() override;
    // Request signature: always CKM_SHA1_RSA_PKCS.
    std::string Sign(const std::string& csr) override;
    // No key for any object; reads CKA_MODULUS only.
    virtual EVP_PKEY* GetEvpKeyFT();

    std::string GetPubKeyFromePriv();
    // "64" when the private object's CKA_MODULUS is 65 bytes (an SM2 point).
    std::string GetPubKeyFromePrivFT();
    // hashAlg is the digest mechanism; the token hashes msg itself.
    CK_RV Sign(const std::string& msg, std::string& sign, int hashAlg);
    CK_RV Encrypt(const std::string& plain, std::string& cipher);
    CK_RV Decrypt(const std::string& cipher, std::string& plain);
    static void GenRand(CK_BYTE* buf, size_t len);
    CK_RV GenKeyPair(size_t bit);
    CK_RV GetSubjectAndId(std::string& id, std::string& subject);

    Pkcs11Dll* m_dll;
    Session* m_session;
    CK_OBJECT_HANDLE m_hPublicKey;
    CK_OBJECT_HANDLE m_hPrivateKey;
};

class Cert {
public:
    Cert(CK_OBJECT_HANDLE handle, Session* session, Pkcs11Dll* dll)
        : m_dll(dll), m_session(session), m_key(nullptr), m_handle(handle) {}
    ~Cert() { delete m_key; }
    Cert(const Cert&) = delete;
    Cert& operator=(const Cert&) = delete;

    CK_RV GetAttribute(std::string& strId, std::string& strSubject, std::string& strValue);
    std::string toDer();
    bool bisgm();
    // Finds the key pair of this certificate; CKR_KEY_HANDLE_INVALID when
    // the token holds no private or no public key that matches it.
    CK_RV GetKey();
    CK_RV Sign(const std::string& msg, std::string& sign, int hashAlg);
    CK_RV Encrypt(const std::string& plain, std::string& cipher);
    CK_RV Decrypt(const std::string& cipher, std::string& plain);

    Pkcs11Dll* m_dll;
    Session* m_session;
    Key* m_key;
    CK_OBJECT_HANDLE m_handle;
};

}  // namespace pkcs11
}  // namespace crypto
}  // namespace korvane
