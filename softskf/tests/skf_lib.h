// The SKF library loaded with dlopen, as the service loads a vendor's, and its
// functions bound by name.
#pragma once

#include "skf.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace softskf::testing {

#define SOFTSKF_FUNCTIONS(X)                                                                     \
    X(SKF_EnumDev) X(SKF_ConnectDev) X(SKF_DisConnectDev) X(SKF_GetDevInfo) X(SKF_GenRandom)     \
    X(SKF_ChangePIN) X(SKF_GetPINInfo) X(SKF_VerifyPIN) X(SKF_CreateApplication)                 \
    X(SKF_EnumApplication) X(SKF_DeleteApplication) X(SKF_OpenApplication)                       \
    X(SKF_CloseApplication) X(SKF_CreateContainer) X(SKF_DeleteContainer) X(SKF_OpenContainer)   \
    X(SKF_CloseContainer) X(SKF_EnumContainer) X(SKF_GetContainerType) X(SKF_ImportCertificate)  \
    X(SKF_ExportCertificate) X(SKF_GenRSAKeyPair) X(SKF_ImportRSAKeyPair) X(SKF_RSASignData)     \
    X(SKF_GenECCKeyPair) X(SKF_ImportECCKeyPair) X(SKF_ECCSignData) X(SKF_ExportPublicKey)       \
    X(SKF_ECCSignHash) X(SKF_RSASignHash) X(SKF_DigestInit) X(SKF_Digest) X(SKF_DigestUpdate)   \
    X(SKF_DigestFinal) X(SKF_CloseHandle)

// The library's functions, bound by name; a missing name stays null.
struct SkfLib {
    void* handle = nullptr;
#define SOFTSKF_MEMBER(name) decltype(&::name) name = nullptr;
    SOFTSKF_FUNCTIONS(SOFTSKF_MEMBER)
#undef SOFTSKF_MEMBER

    explicit SkfLib(const char* path) {
        handle = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
        }
#define SOFTSKF_BIND(name) name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name));
        SOFTSKF_FUNCTIONS(SOFTSKF_BIND)
#undef SOFTSKF_BIND
    }
#ifdef SOFTSKF_LIB_PATH
    // Kept loaded for the life of the process, like the service does.
    static SkfLib& Full() {
        static SkfLib lib(SOFTSKF_LIB_PATH);
        return lib;
    }
#endif
};

}  // namespace softskf::testing
