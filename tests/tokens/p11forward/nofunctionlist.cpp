// Shared libraries that are not working PKCS#11 modules: without
// P11_FAILING_LIST there is no C_GetFunctionList at all; with it, the entry
// point exists and refuses to give a list.
#include <p11-kit/pkcs11.h>

extern "C" __attribute__((visibility("default"))) int p11_not_a_module() { return 0; }

#ifdef P11_FAILING_LIST
extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR pp) {
    if (pp != nullptr) *pp = nullptr;
    return CKR_GENERAL_ERROR;
}
#endif
