#pragma once
// The GM/T 0016 (SKF) interface as seen from the service: scalar types, the
// packed structures that cross the vendor library boundary, status codes and
// identifiers the binding uses, and one typed function pointer per bound
// entry. The service binds any vendor's library by name at run time, so it
// carries its own declarations instead of a vendor header.

#include <cstddef>
#include <cstdint>

typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef char CHAR;
typedef CHAR* LPSTR;
typedef void* HANDLE;
typedef HANDLE DEVHANDLE;
typedef HANDLE HAPPLICATION;
typedef HANDLE HCONTAINER;

constexpr ULONG SAR_OK = 0;
constexpr ULONG SAR_FAIL = 0x0A000001;
constexpr ULONG SAR_CERTNOTFOUNTERR = 0x0A00001C;  // the standard's spelling

constexpr ULONG SGD_SM3 = 0x00000001;
constexpr ULONG SGD_SHA1 = 0x00000002;
constexpr ULONG SKF_HASH_MD5 = 0x00000003;  // the system's own value; GM/T has none
constexpr ULONG SGD_SHA256 = 0x00000004;
constexpr ULONG SGD_SM2_1 = 0x00020100;
constexpr ULONG SGD_SM4_ECB = 0x00000401;
constexpr ULONG USER_TYPE = 1;

constexpr ULONG SKF_CONTAINER_NONE = 0;
constexpr ULONG SKF_CONTAINER_RSA = 1;
constexpr ULONG SKF_CONTAINER_ECC = 2;

constexpr ULONG MAX_RSA_MODULUS_LEN = 256;
constexpr ULONG MAX_RSA_EXPONENT_LEN = 4;
constexpr ULONG ECC_MAX_XCOORDINATE_BITS_LEN = 512;
constexpr ULONG ECC_MAX_YCOORDINATE_BITS_LEN = 512;
constexpr ULONG ECC_MAX_MODULUS_BITS_LEN = 512;
constexpr ULONG MAX_IV_LEN = 32;

#pragma pack(push, 1)

typedef struct Struct_Version {
    BYTE major;
    BYTE minor;
} VERSION;

typedef struct Struct_DEVINFO {
    VERSION Version;
    CHAR Manufacturer[64];
    CHAR Issuer[64];
    CHAR Label[32];
    CHAR SerialNumber[32];
    VERSION HWVersion;
    VERSION FirmwareVersion;
    ULONG AlgSymCap;
    ULONG AlgAsymCap;
    ULONG AlgHashCap;
    ULONG DevAuthAlgId;
    ULONG TotalSpace;
    ULONG FreeSpace;
    ULONG MaxEccSize;
    ULONG MaxBufSize;
    BYTE Reserved[64];
} DEVINFO, *PDEVINFO;

typedef struct Struct_RSAPUBLICKEYBLOB {
    ULONG AlgID;
    ULONG BitLen;
    BYTE Modulus[MAX_RSA_MODULUS_LEN];
    BYTE PublicExponent[MAX_RSA_EXPONENT_LEN];
} RSAPUBLICKEYBLOB, *PRSAPUBLICKEYBLOB;

typedef struct Struct_RSAPRIVATEKEYBLOB {
    ULONG AlgID;
    ULONG BitLen;
    BYTE Modulus[MAX_RSA_MODULUS_LEN];
    BYTE PublicExponent[MAX_RSA_EXPONENT_LEN];
    BYTE PrivateExponent[MAX_RSA_MODULUS_LEN];
    BYTE Prime1[MAX_RSA_MODULUS_LEN / 2];
    BYTE Prime2[MAX_RSA_MODULUS_LEN / 2];
    BYTE Prime1Exponent[MAX_RSA_MODULUS_LEN / 2];
    BYTE Prime2Exponent[MAX_RSA_MODULUS_LEN / 2];
    BYTE Coefficient[MAX_RSA_MODULUS_LEN / 2];
} RSAPRIVATEKEYBLOB, *PRSAPRIVATEKEYBLOB;

typedef struct Struct_ECCPUBLICKEYBLOB {
    ULONG BitLen;
    BYTE XCoordinate[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
    BYTE YCoordinate[ECC_MAX_YCOORDINATE_BITS_LEN / 8];
} ECCPUBLICKEYBLOB, *PECCPUBLICKEYBLOB;

typedef struct Struct_ECCPRIVATEKEYBLOB {
    ULONG BitLen;
    BYTE PrivateKey[ECC_MAX_MODULUS_BITS_LEN / 8];
} ECCPRIVATEKEYBLOB, *PECCPRIVATEKEYBLOB;

// Cipher is declared as one byte; a blob in use is allocated with room for
// CipherLen bytes there.
typedef struct Struct_ECCCIPHERBLOB {
    BYTE XCoordinate[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
    BYTE YCoordinate[ECC_MAX_YCOORDINATE_BITS_LEN / 8];
    BYTE HASH[32];
    ULONG CipherLen;
    BYTE Cipher[1];
} ECCCIPHERBLOB, *PECCCIPHERBLOB;

typedef struct Struct_ECCSIGNATUREBLOB {
    BYTE r[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
    BYTE s[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
} ECCSIGNATUREBLOB, *PECCSIGNATUREBLOB;

typedef struct SKF_ENVELOPEDKEYBLOB {
    ULONG Version;
    ULONG ulSymmAlgID;
    ULONG ulBits;
    BYTE cbEncryptedPriKey[64];
    ECCPUBLICKEYBLOB PubKey;
    ECCCIPHERBLOB ECCCipherBlob;
} ENVELOPEDKEYBLOB, *PENVELOPEDKEYBLOB;

typedef struct Struct_BLOCKCIPHERPARAM {
    BYTE IV[MAX_IV_LEN];
    ULONG IVLen;
    ULONG PaddingType;
    ULONG FeedBitLen;
} BLOCKCIPHERPARAM, *PBLOCKCIPHERPARAM;

typedef struct Struct_FILEATTRIBUTE {
    CHAR FileName[32];
    ULONG FileSize;
    ULONG ReadRights;
    ULONG WriteRights;
} FILEATTRIBUTE, *PFILEATTRIBUTE;

#pragma pack(pop)

// Vendor libraries are built from the standard's header with these exact
// layouts; a compiler that padded any of them would hand the library garbage.
static_assert(sizeof(VERSION) == 2, "VERSION");
static_assert(sizeof(DEVINFO) == 294, "DEVINFO");
static_assert(offsetof(DEVINFO, HWVersion) == 194, "DEVINFO.HWVersion");
static_assert(offsetof(DEVINFO, Reserved) == 230, "DEVINFO.Reserved");
static_assert(sizeof(RSAPUBLICKEYBLOB) == 268, "RSAPUBLICKEYBLOB");
static_assert(offsetof(RSAPUBLICKEYBLOB, PublicExponent) == 264, "RSAPUBLICKEYBLOB.PublicExponent");
static_assert(sizeof(RSAPRIVATEKEYBLOB) == 1164, "RSAPRIVATEKEYBLOB");
static_assert(offsetof(RSAPRIVATEKEYBLOB, Coefficient) == 1036, "RSAPRIVATEKEYBLOB.Coefficient");
static_assert(sizeof(ECCPUBLICKEYBLOB) == 132, "ECCPUBLICKEYBLOB");
static_assert(offsetof(ECCPUBLICKEYBLOB, YCoordinate) == 68, "ECCPUBLICKEYBLOB.YCoordinate");
static_assert(sizeof(ECCPRIVATEKEYBLOB) == 68, "ECCPRIVATEKEYBLOB");
static_assert(sizeof(ECCCIPHERBLOB) == 165, "ECCCIPHERBLOB");
static_assert(offsetof(ECCCIPHERBLOB, CipherLen) == 160, "ECCCIPHERBLOB.CipherLen");
static_assert(offsetof(ECCCIPHERBLOB, Cipher) == 164, "ECCCIPHERBLOB.Cipher");
static_assert(sizeof(ECCSIGNATUREBLOB) == 128, "ECCSIGNATUREBLOB");
static_assert(sizeof(ENVELOPEDKEYBLOB) == 373, "ENVELOPEDKEYBLOB");
static_assert(offsetof(ENVELOPEDKEYBLOB, PubKey) == 76, "ENVELOPEDKEYBLOB.PubKey");
static_assert(offsetof(ENVELOPEDKEYBLOB, ECCCipherBlob) == 208, "ENVELOPEDKEYBLOB.ECCCipherBlob");
static_assert(sizeof(BLOCKCIPHERPARAM) == 44, "BLOCKCIPHERPARAM");
static_assert(sizeof(FILEATTRIBUTE) == 44, "FILEATTRIBUTE");

// ---- Entry types ----------------------------------------------------------
extern "C" {
typedef ULONG (*PFN_SKF_WaitForDevEvent)(LPSTR, ULONG*, ULONG*);
typedef ULONG (*PFN_SKF_CancelWaitForDevEvent)();
typedef ULONG (*PFN_SKF_EnumDev)(BOOL, LPSTR, ULONG*);
typedef ULONG (*PFN_SKF_ConnectDev)(LPSTR, DEVHANDLE*);
typedef ULONG (*PFN_SKF_DisConnectDev)(DEVHANDLE);
typedef ULONG (*PFN_SKF_GetDevState)(LPSTR, ULONG*);
typedef ULONG (*PFN_SKF_SetLabel)(DEVHANDLE, LPSTR);
typedef ULONG (*PFN_SKF_GetDevInfo)(DEVHANDLE, DEVINFO*);
typedef ULONG (*PFN_SKF_LockDev)(DEVHANDLE, ULONG);
typedef ULONG (*PFN_SKF_UnlockDev)(DEVHANDLE);
typedef ULONG (*PFN_SKF_Transmit)(DEVHANDLE, BYTE*, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_ChangeDevAuthKey)(DEVHANDLE, BYTE*, ULONG);
typedef ULONG (*PFN_SKF_DevAuth)(DEVHANDLE, BYTE*, ULONG);
typedef ULONG (*PFN_SKF_ChangePIN)(HAPPLICATION, ULONG, LPSTR, LPSTR, ULONG*);
typedef ULONG (*PFN_SKF_GetPINInfo)(HAPPLICATION, ULONG, ULONG*, ULONG*, BOOL*);
typedef ULONG (*PFN_SKF_VerifyPIN)(HAPPLICATION, ULONG, LPSTR, ULONG*);
typedef ULONG (*PFN_SKF_UnblockPIN)(HAPPLICATION, LPSTR, LPSTR, ULONG*);
typedef ULONG (*PFN_SKF_ClearSecureState)(HAPPLICATION);
typedef ULONG (*PFN_SKF_CreateApplication)(DEVHANDLE, LPSTR, LPSTR, DWORD, LPSTR, DWORD, DWORD, HAPPLICATION*);
typedef ULONG (*PFN_SKF_EnumApplication)(DEVHANDLE, LPSTR, ULONG*);
typedef ULONG (*PFN_SKF_DeleteApplication)(DEVHANDLE, LPSTR);
typedef ULONG (*PFN_SKF_OpenApplication)(DEVHANDLE, LPSTR, HAPPLICATION*);
typedef ULONG (*PFN_SKF_CloseApplication)(HAPPLICATION);
typedef ULONG (*PFN_SKF_CreateFile)(HAPPLICATION, LPSTR, ULONG, ULONG, ULONG);
typedef ULONG (*PFN_SKF_DeleteFile)(HAPPLICATION, LPSTR);
typedef ULONG (*PFN_SKF_EnumFiles)(HAPPLICATION, LPSTR, ULONG*);
typedef ULONG (*PFN_SKF_GetFileInfo)(HAPPLICATION, LPSTR, FILEATTRIBUTE*);
typedef ULONG (*PFN_SKF_ReadFile)(HAPPLICATION, LPSTR, ULONG, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_WriteFile)(HAPPLICATION, LPSTR, ULONG, BYTE*, ULONG);
typedef ULONG (*PFN_SKF_CreateContainer)(HAPPLICATION, LPSTR, HCONTAINER*);
typedef ULONG (*PFN_SKF_DeleteContainer)(HAPPLICATION, LPSTR);
typedef ULONG (*PFN_SKF_OpenContainer)(HAPPLICATION, LPSTR, HCONTAINER*);
typedef ULONG (*PFN_SKF_CloseContainer)(HCONTAINER);
typedef ULONG (*PFN_SKF_EnumContainer)(HAPPLICATION, LPSTR, ULONG*);
typedef ULONG (*PFN_SKF_GetContainerType)(HCONTAINER, ULONG*);
typedef ULONG (*PFN_SKF_ImportCertificate)(HCONTAINER, BOOL, BYTE*, ULONG);
typedef ULONG (*PFN_SKF_ExportCertificate)(HCONTAINER, BOOL, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_GenRandom)(DEVHANDLE, BYTE*, ULONG);
typedef ULONG (*PFN_SKF_GenRSAKeyPair)(HCONTAINER, ULONG, RSAPUBLICKEYBLOB*);
typedef ULONG (*PFN_SKF_ImportRSAKeyPair)(HCONTAINER, ULONG, BYTE*, ULONG, BYTE*, ULONG);
typedef ULONG (*PFN_SKF_RSASignData)(HCONTAINER, BYTE*, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_RSAVerify)(DEVHANDLE, RSAPUBLICKEYBLOB*, BYTE*, ULONG, BYTE*, ULONG);
typedef ULONG (*PFN_SKF_RSAExportSessionKey)(HCONTAINER, ULONG, RSAPUBLICKEYBLOB*, BYTE*, ULONG*, HANDLE*);
typedef ULONG (*PFN_SKF_GenECCKeyPair)(HCONTAINER, ULONG, ECCPUBLICKEYBLOB*);
typedef ULONG (*PFN_SKF_ImportECCKeyPair)(HCONTAINER, PENVELOPEDKEYBLOB);
typedef ULONG (*PFN_SKF_ECCSignData)(HCONTAINER, BYTE*, ULONG, PECCSIGNATUREBLOB);
typedef ULONG (*PFN_SKF_ECCVerify)(DEVHANDLE, ECCPUBLICKEYBLOB*, BYTE*, ULONG, PECCSIGNATUREBLOB);
typedef ULONG (*PFN_SKF_ECCExportSessionKey)(HCONTAINER, ULONG, ECCPUBLICKEYBLOB*, PECCCIPHERBLOB, HANDLE*);
typedef ULONG (*PFN_SKF_ExtECCEncrypt)(DEVHANDLE, ECCPUBLICKEYBLOB*, BYTE*, ULONG, PECCCIPHERBLOB);
typedef ULONG (*PFN_SKF_GenerateAgreementDataWithECC)(HCONTAINER, ULONG, ECCPUBLICKEYBLOB*, BYTE*, ULONG, HANDLE*);
typedef ULONG (*PFN_SKF_GenerateKeyWithECC)(HANDLE, ECCPUBLICKEYBLOB*, ECCPUBLICKEYBLOB*, BYTE*, ULONG, HANDLE*);
typedef ULONG (*PFN_SKF_GenerateAgreementDataAndKeyWithECC)(HANDLE, ULONG, ECCPUBLICKEYBLOB*, ECCPUBLICKEYBLOB*,
                                                            ECCPUBLICKEYBLOB*, BYTE*, ULONG, BYTE*, ULONG, HANDLE*);
typedef ULONG (*PFN_SKF_ExportPublicKey)(HCONTAINER, BOOL, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_ImportSessionKey)(HCONTAINER, ULONG, BYTE*, ULONG, HANDLE*);
typedef ULONG (*PFN_SKF_EncryptInit)(HANDLE, BLOCKCIPHERPARAM);
typedef ULONG (*PFN_SKF_Encrypt)(HANDLE, BYTE*, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_EncryptUpdate)(HANDLE, BYTE*, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_EncryptFinal)(HANDLE, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_DecryptInit)(HANDLE, BLOCKCIPHERPARAM);
typedef ULONG (*PFN_SKF_Decrypt)(HANDLE, BYTE*, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_DecryptUpdate)(HANDLE, BYTE*, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_DecryptFinal)(HANDLE, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_DigestInit)(DEVHANDLE, ULONG, ECCPUBLICKEYBLOB*, BYTE*, ULONG, HANDLE*);
typedef ULONG (*PFN_SKF_Digest)(HANDLE, BYTE*, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_DigestUpdate)(HANDLE, BYTE*, ULONG);
typedef ULONG (*PFN_SKF_DigestFinal)(HANDLE, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_MacInit)(HANDLE, BLOCKCIPHERPARAM*, HANDLE*);
typedef ULONG (*PFN_SKF_Mac)(HANDLE, BYTE*, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_MacUpdate)(HANDLE, BYTE*, ULONG);
typedef ULONG (*PFN_SKF_MacFinal)(HANDLE, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_CloseHandle)(HANDLE);
typedef ULONG (*PFN_SKF_SetSymmKey)(DEVHANDLE, BYTE*, ULONG, HANDLE*);
typedef DWORD (*PFN_SKF_RSAPubKeyEncrypt)(DEVHANDLE, RSAPUBLICKEYBLOB*, BYTE*, DWORD, BYTE*, DWORD*);
typedef DWORD (*PFN_SKF_RSAPriKeyDecrypt)(HCONTAINER, BYTE*, DWORD, BYTE*, DWORD*);
typedef DWORD (*PFN_SKF_RSAPriKeyEncrypt)(HCONTAINER, BYTE*, DWORD, BYTE*, DWORD*);
typedef DWORD (*PFN_SKF_RSAPubKeyDecrypt)(DEVHANDLE, RSAPUBLICKEYBLOB*, BYTE*, DWORD, BYTE*, DWORD*);
typedef ULONG (*PFN_SKF_RSADecrypt)(HCONTAINER, BYTE*, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_ECCDecrypt)(HCONTAINER, PECCCIPHERBLOB, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_PrvKeyDecrypt)(HCONTAINER, DWORD, PECCCIPHERBLOB, BYTE*, DWORD*);
typedef ULONG (*PFN_SKF_GetConProperty)(HCONTAINER, ULONG*);
typedef ULONG (*PFN_SKF_ImportCACertificate)(HCONTAINER, BYTE*, ULONG);
typedef ULONG (*PFN_SKF_ExportCACertificate)(HCONTAINER, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_GetDevAuthSymmAlgID)(DWORD*);
typedef ULONG (*PFN_SKF_GenExtRSAKey)(DEVHANDLE, ULONG, RSAPRIVATEKEYBLOB*);
typedef ULONG (*PFN_SKF_ExtRSAPubKeyOperation)(DEVHANDLE, RSAPUBLICKEYBLOB*, BYTE*, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_ExtRSAPriKeyOperation)(DEVHANDLE, RSAPRIVATEKEYBLOB*, BYTE*, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_ExtRSAPubKeyOperationEx)(DEVHANDLE, RSAPUBLICKEYBLOB*, BYTE*, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_ExtRSAPriKeyOperationEx)(HCONTAINER, BYTE*, ULONG, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_ExtECCDecrypt)(DEVHANDLE, ECCPRIVATEKEYBLOB*, PECCCIPHERBLOB, BYTE*, ULONG*);
typedef ULONG (*PFN_SKF_ExtECCSign)(DEVHANDLE, ECCPRIVATEKEYBLOB*, BYTE*, ULONG, PECCSIGNATUREBLOB);
typedef ULONG (*PFN_SKF_ExtECCVerify)(DEVHANDLE, ECCPUBLICKEYBLOB*, BYTE*, ULONG, PECCSIGNATUREBLOB);
typedef ULONG (*PFN_SKF_ECCSignHash)(HCONTAINER, BOOL, HANDLE, PECCSIGNATUREBLOB);
typedef ULONG (*PFN_SKF_RSASignHash)(HCONTAINER, BOOL, HANDLE, BYTE*, DWORD*);
}

// The 93 bound entries, in table order.
#define SKF_FUNCTION_LIST(X) \
    X(SKF_WaitForDevEvent) X(SKF_CancelWaitForDevEvent) X(SKF_EnumDev) X(SKF_ConnectDev) \
    X(SKF_DisConnectDev) X(SKF_GetDevState) X(SKF_SetLabel) X(SKF_GetDevInfo) X(SKF_LockDev) \
    X(SKF_UnlockDev) X(SKF_Transmit) X(SKF_ChangeDevAuthKey) X(SKF_DevAuth) X(SKF_ChangePIN) \
    X(SKF_GetPINInfo) X(SKF_VerifyPIN) X(SKF_UnblockPIN) X(SKF_ClearSecureState) \
    X(SKF_CreateApplication) X(SKF_EnumApplication) X(SKF_DeleteApplication) \
    X(SKF_OpenApplication) X(SKF_CloseApplication) X(SKF_CreateFile) X(SKF_DeleteFile) \
    X(SKF_EnumFiles) X(SKF_GetFileInfo) X(SKF_ReadFile) X(SKF_WriteFile) X(SKF_CreateContainer) \
    X(SKF_DeleteContainer) X(SKF_OpenContainer) X(SKF_CloseContainer) X(SKF_EnumContainer) \
    X(SKF_GetContainerType) X(SKF_ImportCertificate) X(SKF_ExportCertificate) X(SKF_GenRandom) \
    X(SKF_GenRSAKeyPair) X(SKF_ImportRSAKeyPair) X(SKF_RSASignData) X(SKF_RSAVerify) \
    X(SKF_RSAExportSessionKey) X(SKF_GenECCKeyPair) X(SKF_ImportECCKeyPair) X(SKF_ECCSignData) \
    X(SKF_ECCVerify) X(SKF_ECCExportSessionKey) X(SKF_ExtECCEncrypt) \
    X(SKF_GenerateAgreementDataWithECC) X(SKF_GenerateKeyWithECC) \
    X(SKF_GenerateAgreementDataAndKeyWithECC) X(SKF_ExportPublicKey) X(SKF_ImportSessionKey) \
    X(SKF_EncryptInit) X(SKF_Encrypt) X(SKF_EncryptUpdate) X(SKF_EncryptFinal) X(SKF_DecryptInit) \
    X(SKF_Decrypt) X(SKF_DecryptUpdate) X(SKF_DecryptFinal) X(SKF_DigestInit) X(SKF_Digest) \
    X(SKF_DigestUpdate) X(SKF_DigestFinal) X(SKF_MacInit) X(SKF_Mac) X(SKF_MacUpdate) \
    X(SKF_MacFinal) X(SKF_CloseHandle) X(SKF_SetSymmKey) X(SKF_RSAPubKeyEncrypt) \
    X(SKF_RSAPriKeyDecrypt) X(SKF_RSAPriKeyEncrypt) X(SKF_RSAPubKeyDecrypt) X(SKF_RSADecrypt) \
    X(SKF_ECCDecrypt) X(SKF_PrvKeyDecrypt) X(SKF_GetConProperty) X(SKF_ImportCACertificate) \
    X(SKF_ExportCACertificate) X(SKF_GetDevAuthSymmAlgID) X(SKF_GenExtRSAKey) \
    X(SKF_ExtRSAPubKeyOperation) X(SKF_ExtRSAPriKeyOperation) X(SKF_ExtRSAPubKeyOperationEx) \
    X(SKF_ExtRSAPriKeyOperationEx) X(SKF_ExtECCDecrypt) X(SKF_ExtECCSign) X(SKF_ExtECCVerify) \
    X(SKF_ECCSignHash) X(SKF_RSASignHash)

// One typed pointer per entry, named as the library symbol; null when the
// library does not export it (or before loading).
struct SkfFunctionTable {
#define SKF_TABLE_MEMBER(name) PFN_##name name = nullptr;
    SKF_FUNCTION_LIST(SKF_TABLE_MEMBER)
#undef SKF_TABLE_MEMBER
};

constexpr std::size_t kSkfFunctionCount = sizeof(SkfFunctionTable) / sizeof(void*);
static_assert(kSkfFunctionCount == 93, "one pointer per bound entry");
