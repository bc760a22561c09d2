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
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace {

CK_FUNCTION_LIST g_list;
CK_FUNCTION_LIST_PTR g_next = nullptr;

bool Lying() {
    const char* v = std::getenv("P11FORWARD_LIE");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void* app, CK_NOTIFY notify, CK_SESSION_HANDLE_PTR ph) {
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
    CK_RV rv = g_next->C_GetSlotList(present, list, count);
    if (rv == CKR_OK && list != nullptr && Lying()) *count += 3;
    return rv;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR tmpl, CK_ULONG n) {
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
    return Inflate(g_next->C_Sign(s, in, n, out, len), out, len);
}
CK_RV Encrypt(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) {
    return Inflate(g_next->C_Encrypt(s, in, n, out, len), out, len);
}
CK_RV Decrypt(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) {
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
    }
    *pp = &g_list;
    return CKR_OK;
}
