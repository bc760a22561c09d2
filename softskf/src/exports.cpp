// The C boundary: each exported function only takes the lock, applies an
// injected failure if one is set, and turns every exception into a status.
// Nothing thrown, and no crash of the C++ side, crosses into the caller.
#include "env_options.h"
#include "handles.h"
#include "ops.h"
#include "skf_error.h"

#include <new>

#define SOFTSKF_EXPORT extern "C" __attribute__((visibility("default")))

namespace softskf {
namespace {

template <typename F>
ULONG Guard(const char* name, F&& body) noexcept {
    try {
        if (const auto injected = env::InjectedFailure(name)) {
            return *injected;
        }
        std::lock_guard<std::recursive_mutex> lock(HandleTable::Instance().Mutex());
        return body();
    } catch (const SkfError& e) {
        return e.status();
    } catch (const StoreError& e) {
        return e.code() == StoreError::Code::Io ? SAR_FILEERR : SAR_FAIL;
    } catch (const std::bad_alloc&) {
        return SAR_MEMORYERR;
    } catch (...) {
        return SAR_FAIL;
    }
}

}  // namespace
}  // namespace softskf

using softskf::Guard;
namespace ops = softskf::ops;

SOFTSKF_EXPORT ULONG SKF_EnumDev(BOOL bPresent, LPSTR szNameList, ULONG* pulSize) {
    return Guard(__func__, [&] { return ops::EnumDev(bPresent, szNameList, pulSize); });
}
SOFTSKF_EXPORT ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev) {
    return Guard(__func__, [&] { return ops::ConnectDev(szName, phDev); });
}
SOFTSKF_EXPORT ULONG SKF_DisConnectDev(DEVHANDLE hDev) {
    return Guard(__func__, [&] { return ops::DisConnectDev(hDev); });
}
SOFTSKF_EXPORT ULONG SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo) {
    return Guard(__func__, [&] { return ops::GetDevInfo(hDev, pDevInfo); });
}
SOFTSKF_EXPORT ULONG SKF_GenRandom(DEVHANDLE hDev, BYTE* pbRandom, ULONG ulRandomLen) {
    return Guard(__func__, [&] { return ops::GenRandom(hDev, pbRandom, ulRandomLen); });
}
SOFTSKF_EXPORT ULONG SKF_ChangePIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin,
                                   LPSTR szNewPin, ULONG* pulRetryCount) {
    return Guard(__func__, [&] {
        return ops::ChangePIN(hApplication, ulPINType, szOldPin, szNewPin, pulRetryCount);
    });
}
SOFTSKF_EXPORT ULONG SKF_GetPINInfo(HAPPLICATION hApplication, ULONG ulPINType,
                                    ULONG* pulMaxRetryCount, ULONG* pulRemainRetryCount,
                                    BOOL* pbDefaultPin) {
    return Guard(__func__, [&] {
        return ops::GetPINInfo(hApplication, ulPINType, pulMaxRetryCount, pulRemainRetryCount,
                               pbDefaultPin);
    });
}
SOFTSKF_EXPORT ULONG SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN,
                                   ULONG* pulRetryCount) {
    return Guard(__func__,
                 [&] { return ops::VerifyPIN(hApplication, ulPINType, szPIN, pulRetryCount); });
}
SOFTSKF_EXPORT ULONG SKF_CreateApplication(DEVHANDLE hDev, LPSTR szAppName, LPSTR szAdminPin,
                                           DWORD dwAdminPinRetryCount, LPSTR szUserPin,
                                           DWORD dwUserPinRetryCount, DWORD dwCreateFileRights,
                                           HAPPLICATION* phApplication) {
    return Guard(__func__, [&] {
        return ops::CreateApplication(hDev, szAppName, szAdminPin, dwAdminPinRetryCount, szUserPin,
                                      dwUserPinRetryCount, dwCreateFileRights, phApplication);
    });
}
SOFTSKF_EXPORT ULONG SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize) {
    return Guard(__func__, [&] { return ops::EnumApplication(hDev, szAppName, pulSize); });
}
SOFTSKF_EXPORT ULONG SKF_DeleteApplication(DEVHANDLE hDev, LPSTR szAppName) {
    return Guard(__func__, [&] { return ops::DeleteApplication(hDev, szAppName); });
}
SOFTSKF_EXPORT ULONG SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName,
                                         HAPPLICATION* phApplication) {
    return Guard(__func__, [&] { return ops::OpenApplication(hDev, szAppName, phApplication); });
}
SOFTSKF_EXPORT ULONG SKF_CloseApplication(HAPPLICATION hApplication) {
    return Guard(__func__, [&] { return ops::CloseApplication(hApplication); });
}
SOFTSKF_EXPORT ULONG SKF_CreateContainer(HAPPLICATION hApplication, LPSTR szContainerName,
                                         HCONTAINER* phContainer) {
    return Guard(__func__,
                 [&] { return ops::CreateContainer(hApplication, szContainerName, phContainer); });
}
SOFTSKF_EXPORT ULONG SKF_DeleteContainer(HAPPLICATION hApplication, LPSTR szContainerName) {
    return Guard(__func__, [&] { return ops::DeleteContainer(hApplication, szContainerName); });
}
SOFTSKF_EXPORT ULONG SKF_OpenContainer(HAPPLICATION hApplication, LPSTR szContainerName,
                                       HCONTAINER* phContainer) {
    return Guard(__func__,
                 [&] { return ops::OpenContainer(hApplication, szContainerName, phContainer); });
}
SOFTSKF_EXPORT ULONG SKF_CloseContainer(HCONTAINER hContainer) {
    return Guard(__func__, [&] { return ops::CloseContainer(hContainer); });
}
SOFTSKF_EXPORT ULONG SKF_EnumContainer(HAPPLICATION hApplication, LPSTR szContainerName,
                                       ULONG* pulSize) {
    return Guard(__func__,
                 [&] { return ops::EnumContainer(hApplication, szContainerName, pulSize); });
}
SOFTSKF_EXPORT ULONG SKF_GetContainerType(HCONTAINER hContainer, ULONG* pulContainerType) {
    return Guard(__func__, [&] { return ops::GetContainerType(hContainer, pulContainerType); });
}
SOFTSKF_EXPORT ULONG SKF_ImportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert,
                                           ULONG ulCertLen) {
    return Guard(__func__,
                 [&] { return ops::ImportCertificate(hContainer, bSignFlag, pbCert, ulCertLen); });
}
SOFTSKF_EXPORT ULONG SKF_ExportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert,
                                           ULONG* pulCertLen) {
    return Guard(__func__,
                 [&] { return ops::ExportCertificate(hContainer, bSignFlag, pbCert, pulCertLen); });
}
SOFTSKF_EXPORT ULONG SKF_GenRSAKeyPair(HCONTAINER hContainer, ULONG ulBitsLen,
                                       RSAPUBLICKEYBLOB* pBlob) {
    return Guard(__func__, [&] { return ops::GenRSAKeyPair(hContainer, ulBitsLen, pBlob); });
}
SOFTSKF_EXPORT ULONG SKF_ImportRSAKeyPair(HCONTAINER hContainer, ULONG ulSymAlgId,
                                          BYTE* pbWrappedKey, ULONG ulWrappedKeyLen,
                                          BYTE* pbEncryptedData, ULONG ulEncryptedDataLen) {
    return Guard(__func__, [&] {
        return ops::ImportRSAKeyPair(hContainer, ulSymAlgId, pbWrappedKey, ulWrappedKeyLen,
                                     pbEncryptedData, ulEncryptedDataLen);
    });
}
SOFTSKF_EXPORT ULONG SKF_RSASignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen,
                                     BYTE* pbSignature, ULONG* pulSignLen) {
    return Guard(__func__, [&] {
        return ops::RSASignData(hContainer, pbData, ulDataLen, pbSignature, pulSignLen);
    });
}
SOFTSKF_EXPORT ULONG SKF_GenECCKeyPair(HCONTAINER hContainer, ULONG ulAlgId,
                                       ECCPUBLICKEYBLOB* pBlob) {
    return Guard(__func__, [&] { return ops::GenECCKeyPair(hContainer, ulAlgId, pBlob); });
}
SOFTSKF_EXPORT ULONG SKF_ImportECCKeyPair(HCONTAINER hContainer,
                                          PENVELOPEDKEYBLOB pEnvelopedKeyBlob) {
    return Guard(__func__, [&] { return ops::ImportECCKeyPair(hContainer, pEnvelopedKeyBlob); });
}
SOFTSKF_EXPORT ULONG SKF_ECCSignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen,
                                     PECCSIGNATUREBLOB pSignature) {
    return Guard(__func__,
                 [&] { return ops::ECCSignData(hContainer, pbData, ulDataLen, pSignature); });
}
SOFTSKF_EXPORT ULONG SKF_ExportPublicKey(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbBlob,
                                         ULONG* pulBlobLen) {
    return Guard(__func__,
                 [&] { return ops::ExportPublicKey(hContainer, bSignFlag, pbBlob, pulBlobLen); });
}
SOFTSKF_EXPORT ULONG SKF_ECCSignHash(HCONTAINER hContainer, BOOL bSignFlag, HANDLE hHash,
                                     PECCSIGNATUREBLOB pSignature) {
    return Guard(__func__,
                 [&] { return ops::ECCSignHash(hContainer, bSignFlag, hHash, pSignature); });
}
SOFTSKF_EXPORT ULONG SKF_RSASignHash(HCONTAINER hContainer, BOOL bSignFlag, HANDLE hHash,
                                     BYTE* pbSignature, DWORD* pulSignLen) {
    return Guard(__func__, [&] {
        return ops::RSASignHash(hContainer, bSignFlag, hHash, pbSignature, pulSignLen);
    });
}
SOFTSKF_EXPORT ULONG SKF_DigestInit(DEVHANDLE hDev, ULONG ulAlgID, ECCPUBLICKEYBLOB* pPubKey,
                                    unsigned char* pucID, ULONG ulIDLen, HANDLE* phHash) {
    return Guard(__func__,
                 [&] { return ops::DigestInit(hDev, ulAlgID, pPubKey, pucID, ulIDLen, phHash); });
}
SOFTSKF_EXPORT ULONG SKF_Digest(HANDLE hHash, BYTE* pbData, ULONG ulDataLen, BYTE* pbHashData,
                                ULONG* pulHashLen) {
    return Guard(__func__,
                 [&] { return ops::Digest(hHash, pbData, ulDataLen, pbHashData, pulHashLen); });
}
SOFTSKF_EXPORT ULONG SKF_DigestUpdate(HANDLE hHash, BYTE* pbData, ULONG ulDataLen) {
    return Guard(__func__, [&] { return ops::DigestUpdate(hHash, pbData, ulDataLen); });
}
SOFTSKF_EXPORT ULONG SKF_DigestFinal(HANDLE hHash, BYTE* pHashData, ULONG* pulHashLen) {
    return Guard(__func__, [&] { return ops::DigestFinal(hHash, pHashData, pulHashLen); });
}
SOFTSKF_EXPORT ULONG SKF_CloseHandle(HANDLE hHandle) {
    return Guard(__func__, [&] { return ops::CloseHandle(hHandle); });
}
