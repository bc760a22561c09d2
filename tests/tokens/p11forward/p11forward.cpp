// Test-only PKCS#11 module that forwards every call to another module
// (SoftHSM2 by default) and stands in for a vendor module's own PIN dialog:
// each session it opens is logged in as the user.
//
//   P11FORWARD_MODULE  module to forward to (default: SoftHSM2)
//   P11FORWARD_PIN     user PIN presented after C_OpenSession (none if unset)
//   P11FORWARD_LIE=1   fault injection: the filling (second) call of
//                      C_GetSlotList, C_GetAttributeValue, C_Sign, C_Encrypt
//                      and C_Decrypt reports more than the caller allocated,
//                      while writing nothing beyond it.
//   P11FORWARD_FAIL=C_Name[=RV][,C_Name[=RV]...]
//                      fault injection: the named functions return RV
//                      (default CKR_DEVICE_ERROR) without calling the module.
//   P11FORWARD_FAIL_FILE=PATH
//                      the same list, read from PATH at every call (no file
//                      or an empty one: no fault), so a test can set and
//                      clear faults while the process that loaded it runs.
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace {

CK_FUNCTION_LIST g_list;
CK_FUNCTION_LIST_PTR g_next = nullptr;

// The status the fault list in `spec` gives `function`, if any; malformed
// entries are skipped.
std::optional<CK_RV> FaultIn(const std::string& spec, const char* function) {
    std::istringstream items(spec);
    std::string item;
    while (std::getline(items, item, ',')) {
        while (!item.empty() && (item.back() == '\n' || item.back() == '\r' || item.back() == ' ')) item.pop_back();
        const std::size_t eq = item.find('=');
        if (item.compare(0, eq, function) != 0 || (eq == std::string::npos ? item.size() : eq) != std::strlen(function))
            continue;
        if (eq == std::string::npos) return CKR_DEVICE_ERROR;
        const std::string value = item.substr(eq + 1);
        char* stop = nullptr;
        const unsigned long long rv = std::strtoull(value.c_str(), &stop, 0);
        if (!value.empty() && stop != nullptr && *stop == '\0') return static_cast<CK_RV>(rv);
    }
    return std::nullopt;
}

std::optional<CK_RV> Injected(const char* function) {
    if (const char* spec = std::getenv("P11FORWARD_FAIL")) {
        if (auto rv = FaultIn(spec, function)) return rv;
    }
    if (const char* path = std::getenv("P11FORWARD_FAIL_FILE")) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        if (auto rv = FaultIn(text.str(), function)) return rv;
    }
    return std::nullopt;
}

// A forwarder for any entry of the list that consults the fault list first.
template <typename F>
struct Failable;
template <typename... A>
struct Failable<CK_RV (*)(A...)> {
    template <CK_RV (*CK_FUNCTION_LIST::*Member)(A...), const char* Name>
    static CK_RV Call(A... a) {
        if (const auto rv = Injected(Name)) return *rv;
        return (g_next->*Member)(a...);
    }
};

#define P11_NAME(fn) constexpr char k##fn[] = #fn;
#define P11_FAILABLE(X) \
    X(C_Initialize) X(C_Finalize) X(C_GetInfo) X(C_GetSlotInfo) X(C_GetTokenInfo) X(C_CloseSession) \
    X(C_Login) X(C_Logout) X(C_FindObjectsInit) X(C_FindObjects) X(C_FindObjectsFinal) X(C_SignInit) \
    X(C_EncryptInit) X(C_DecryptInit) X(C_GenerateKeyPair) X(C_CreateObject) X(C_DestroyObject)
P11_FAILABLE(P11_NAME)
constexpr char kC_OpenSession[] = "C_OpenSession";
constexpr char kC_GetSlotList[] = "C_GetSlotList";
constexpr char kC_GetAttributeValue[] = "C_GetAttributeValue";
constexpr char kC_Sign[] = "C_Sign";
constexpr char kC_Encrypt[] = "C_Encrypt";
constexpr char kC_Decrypt[] = "C_Decrypt";

bool Lying() {
    const char* v = std::getenv("P11FORWARD_LIE");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void* app, CK_NOTIFY notify, CK_SESSION_HANDLE_PTR ph) {
    if (const auto fault = Injected(kC_OpenSession)) return *fault;
    CK_RV rv = g_next->C_OpenSession(slot, flags, app, notify, ph);
    const char* pin = std::getenv("P11FORWARD_PIN");
    if (rv != CKR_OK || pin == nullptr || ph == nullptr) return rv;
    CK_RV login = g_next->C_Login(*ph, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)),
                                  static_cast<CK_ULONG>(std::strlen(pin)));
    if (login == CKR_OK || login == CKR_USER_ALREADY_LOGGED_IN) return CKR_OK;
    g_next->C_CloseSession(*ph);
    return login;
}

CK_RV GetSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    if (const auto fault = Injected(kC_GetSlotList)) return *fault;
    CK_RV rv = g_next->C_GetSlotList(present, list, count);
    if (rv == CKR_OK && list != nullptr && Lying()) *count += 3;
    return rv;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR tmpl, CK_ULONG n) {
    if (const auto fault = Injected(kC_GetAttributeValue)) return *fault;
    CK_RV rv = g_next->C_GetAttributeValue(s, o, tmpl, n);
    if (rv != CKR_OK || !Lying()) return rv;
    for (CK_ULONG i = 0; i < n; ++i)
        if (tmpl[i].pValue != nullptr) tmpl[i].ulValueLen += 16;
    return rv;
}

// Inflates the reported output length of a one-shot operation.
CK_RV Inflate(CK_RV rv, CK_BYTE_PTR out, CK_ULONG_PTR len) {
    if (rv == CKR_OK && out != nullptr && len != nullptr && Lying()) *len += 8192;
    return rv;
}

CK_RV Sign(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) {
    if (const auto fault = Injected(kC_Sign)) return *fault;
    return Inflate(g_next->C_Sign(s, in, n, out, len), out, len);
}
CK_RV Encrypt(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) {
    if (const auto fault = Injected(kC_Encrypt)) return *fault;
    return Inflate(g_next->C_Encrypt(s, in, n, out, len), out, len);
}
CK_RV Decrypt(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) {
    if (const auto fault = Injected(kC_Decrypt)) return *fault;
    return Inflate(g_next->C_Decrypt(s, in, n, out, len), out, len);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR pp) {
    if (pp == nullptr) return CKR_ARGUMENTS_BAD;
    if (g_next == nullptr) {
        const char* path = std::getenv("P11FORWARD_MODULE");
        void* h = dlopen(path != nullptr ? path : "/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) return CKR_GENERAL_ERROR;
        auto entry = reinterpret_cast<CK_C_GetFunctionList>(dlsym(h, "C_GetFunctionList"));
        CK_FUNCTION_LIST_PTR next = nullptr;
        if (entry == nullptr || entry(&next) != CKR_OK || next == nullptr) {
            dlclose(h);
            return CKR_GENERAL_ERROR;
        }
        g_next = next;
        g_list = *next;  // every function forwarded as is, except:
        g_list.C_GetFunctionList = C_GetFunctionList;
        g_list.C_OpenSession = OpenSession;
        g_list.C_GetSlotList = GetSlotList;
        g_list.C_GetAttributeValue = GetAttributeValue;
        g_list.C_Sign = Sign;
        g_list.C_Encrypt = Encrypt;
        g_list.C_Decrypt = Decrypt;
#define P11_HOOK(fn) g_list.fn = &Failable<decltype(g_list.fn)>::Call<&CK_FUNCTION_LIST::fn, k##fn>;
        P11_FAILABLE(P11_HOOK)
#undef P11_HOOK
    }
    *pp = &g_list;
    return CKR_OK;
}
