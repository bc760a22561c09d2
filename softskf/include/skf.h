/*
 * GM/T 0016 smart-key cryptographic application interface: the types, packed
 * structures, status codes, algorithm identifiers and function prototypes that
 * the software token implements. Written from the standard's published
 * definitions.
 *
 * Behaviour of the software token where implementations differ (see also
 * softskf/README.md):
 *  - Name lists are zero-terminated names followed by one more zero; the size
 *    includes it. A null buffer is a size query (SAR_OK, size written); a
 *    short buffer gives SAR_BUFFER_TOO_SMALL with the needed size written.
 *    The same holds for every variable-length output.
 *  - 256-bit values (SM2 coordinates, r and s) are right-aligned in their
 *    64-byte fields: the first 32 bytes are zero. Blobs handed in may use
 *    either alignment: if the first 32 bytes are all zero the value is the last
 *    32, otherwise the first 32.
 *  - RSA moduli and private-key parts are right-aligned (leading zero bytes) in
 *    their fixed fields.
 *  - SKF_ECCSignData: exactly 32 bytes are signed as a digest; any other input
 *    is hashed as SM3(Z || data), Z from the identity "1234567812345678" and
 *    the container's signing public key.
 *  - SKF_RSASignData: a DER DigestInfo of SHA-1, SHA-256, MD5 or SM3 is signed
 *    as it is (PKCS#1 v1.5); any other input is hashed with SHA-256 and its
 *    DigestInfo signed.
 *  - SKF_DigestInit: SGD_SM3 with a public key computes Z first (with the
 *    identity given, or "1234567812345678" when none is); SGD_SHA1,
 *    SGD_SHA256 and 3 (MD5) hash plainly.
 *  - SKF_ECCSignHash / SKF_RSASignHash sign the finished digest of a hash
 *    handle (SKF_RSASignHash signs its DigestInfo) with the signing (bSign
 *    true) or encryption key pair. A null or invalid hash handle:
 *    SAR_INVALIDHANDLEERR.
 *  - Signing, key generation, key import and SKF_DeleteContainer need the
 *    user PIN verified on the application handle the container was opened
 *    from (SAR_USER_NOT_LOGGED_IN otherwise).
 *  - The PIN dialog: a vendor's library asks the user for the PIN itself when
 *    such an operation arrives on a handle that is not logged in. This token
 *    has no window and answers with the application's dialog PIN (set with
 *    the softskf tool; none by default), or with $SOFTSKF_DIALOG_PIN when that
 *    is set (empty: no dialog). The answer is verified exactly as
 *    SKF_VerifyPIN(USER_TYPE) would: a wrong one costs a retry and can lock
 *    the PIN, a correct one logs that handle in. If it fails, the operation
 *    returns that status and does nothing else; without a dialog PIN it is
 *    SAR_USER_NOT_LOGGED_IN.
 *  - SKF_ImportECCKeyPair: cbEncryptedPriKey is SM4-ECB (key from the
 *    ECCCipherBlob, decrypted with the container's signing private key) over
 *    either the 32-byte private key (first 32 bytes of the field) or a 64-byte
 *    field whose last 32 bytes are the key; whichever matches PubKey is taken.
 *  - SKF_ImportRSAKeyPair: SGD_SM4_ECB only; the RSAPRIVATEKEYBLOB (1164 bytes)
 *    encrypted as 1168 bytes, the last 4 either PKCS#7 padding or zeros.
 */
#ifndef SOFTSKF_SKF_H
#define SOFTSKF_SKF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DEVAPI

typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef char CHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t FLAGS;
typedef CHAR* LPSTR;
typedef void* HANDLE;
typedef HANDLE DEVHANDLE;
typedef HANDLE HAPPLICATION;
typedef HANDLE HCONTAINER;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAX_RSA_MODULUS_LEN 256
#define MAX_RSA_EXPONENT_LEN 4
#define ECC_MAX_XCOORDINATE_BITS_LEN 512
#define ECC_MAX_YCOORDINATE_BITS_LEN 512
#define ECC_MAX_MODULUS_BITS_LEN 512
#define MAX_IV_LEN 32

/* Algorithm identifiers (GM/T 0006). */
#define SGD_SM1_ECB 0x00000101
#define SGD_SM1_CBC 0x00000102
#define SGD_SSF33_ECB 0x00000201
#define SGD_SSF33_CBC 0x00000202
#define SGD_SM4_ECB 0x00000401
#define SGD_SM4_CBC 0x00000402
#define SGD_SM4_CFB 0x00000404
#define SGD_SM4_OFB 0x00000408
#define SGD_RSA 0x00010000
#define SGD_SM2_1 0x00020100
#define SGD_SM2_2 0x00020200
#define SGD_SM2_3 0x00020400
#define SGD_SM3 0x00000001
#define SGD_SHA1 0x00000002
#define SGD_SHA256 0x00000004
/* MD5 has no GM/T identifier; the value the service uses for it. */
#define SOFTSKF_MD5 0x00000003

/* PIN types and access rights. */
#define ADMIN_TYPE 0
#define USER_TYPE 1
#define SECURE_NEVER_ACCOUNT 0x00000000
#define SECURE_ADM_ACCOUNT 0x00000001
#define SECURE_USER_ACCOUNT 0x00000010
#define SECURE_ANYONE_ACCOUNT 0x000000FF

/* Device states. */
#define DEV_ABSENT_STATE 0x00000000
#define DEV_PRESENT_STATE 0x00000001
#define DEV_UNKNOW_STATE 0x00000002

/* Status codes. */
#define SAR_OK 0x00000000
#define SAR_FAIL 0x0A000001
#define SAR_UNKNOWNERR 0x0A000002
#define SAR_NOTSUPPORTYETERR 0x0A000003
#define SAR_FILEERR 0x0A000004
#define SAR_INVALIDHANDLEERR 0x0A000005
#define SAR_INVALIDPARAMERR 0x0A000006
#define SAR_READFILEERR 0x0A000007
#define SAR_WRITEFILEERR 0x0A000008
#define SAR_NAMELENERR 0x0A000009
#define SAR_KEYUSAGEERR 0x0A00000A
#define SAR_MODULUSLENERR 0x0A00000B
#define SAR_NOTINITIALIZEERR 0x0A00000C
#define SAR_OBJERR 0x0A00000D
#define SAR_MEMORYERR 0x0A00000E
#define SAR_TIMEOUTERR 0x0A00000F
#define SAR_INDATALENERR 0x0A000010
#define SAR_INDATAERR 0x0A000011
#define SAR_GENRANDERR 0x0A000012
#define SAR_HASHOBJERR 0x0A000013
#define SAR_HASHERR 0x0A000014
#define SAR_GENRSAKEYERR 0x0A000015
#define SAR_RSAMODULUSLENERR 0x0A000016
#define SAR_CSPIMPRTPUBKEYERR 0x0A000017
#define SAR_RSAENCERR 0x0A000018
#define SAR_RSADECERR 0x0A000019
#define SAR_HASHNOTEQUALERR 0x0A00001A
#define SAR_KEYNOTFOUNTERR 0x0A00001B
#define SAR_CERTNOTFOUNTERR 0x0A00001C
#define SAR_NOTEXPORTERR 0x0A00001D
#define SAR_DECRYPTPADERR 0x0A00001E
#define SAR_MACLENERR 0x0A00001F
#define SAR_BUFFER_TOO_SMALL 0x0A000020
#define SAR_KEYINFOTYPEERR 0x0A000021
#define SAR_NOT_EVENTERR 0x0A000022
#define SAR_DEVICE_REMOVED 0x0A000023
#define SAR_PIN_INCORRECT 0x0A000024
#define SAR_PIN_LOCKED 0x0A000025
#define SAR_PIN_INVALID 0x0A000026
#define SAR_PIN_LEN_RANGE 0x0A000027
#define SAR_USER_ALREADY_LOGGED_IN 0x0A000028
#define SAR_USER_PIN_NOT_INITIALIZED 0x0A000029
#define SAR_USER_TYPE_INVALID 0x0A00002A
#define SAR_APPLICATION_NAME_INVALID 0x0A00002B
#define SAR_APPLICATION_EXISTS 0x0A00002C
#define SAR_USER_NOT_LOGGED_IN 0x0A00002D
#define SAR_APPLICATION_NOT_EXISTS 0x0A00002E
#define SAR_FILE_ALREADY_EXIST 0x0A00002F
#define SAR_NO_ROOM 0x0A000030
#define SAR_FILE_NOT_EXIST 0x0A000031
#define SAR_REACH_MAX_CONTAINER_COUNT 0x0A000032

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

typedef struct Struct_ECCCIPHERBLOB {
    BYTE XCoordinate[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
    BYTE YCoordinate[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
    BYTE HASH[32];
    ULONG CipherLen;
    BYTE Cipher[1]; /* CipherLen bytes in use */
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
    ECCCIPHERBLOB ECCCipherBlob; /* variable length: keep last */
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

#ifdef __cplusplus
static_assert(sizeof(VERSION) == 2, "VERSION layout");
static_assert(sizeof(DEVINFO) == 294, "DEVINFO layout");
static_assert(sizeof(RSAPUBLICKEYBLOB) == 268, "RSAPUBLICKEYBLOB layout");
static_assert(sizeof(RSAPRIVATEKEYBLOB) == 1164, "RSAPRIVATEKEYBLOB layout");
static_assert(sizeof(ECCPUBLICKEYBLOB) == 132, "ECCPUBLICKEYBLOB layout");
static_assert(sizeof(ECCPRIVATEKEYBLOB) == 68, "ECCPRIVATEKEYBLOB layout");
static_assert(sizeof(ECCCIPHERBLOB) == 165, "ECCCIPHERBLOB layout");
static_assert(sizeof(ECCSIGNATUREBLOB) == 128, "ECCSIGNATUREBLOB layout");
static_assert(sizeof(ENVELOPEDKEYBLOB) == 373, "ENVELOPEDKEYBLOB layout");
static_assert(sizeof(BLOCKCIPHERPARAM) == 44, "BLOCKCIPHERPARAM layout");
static_assert(sizeof(FILEATTRIBUTE) == 44, "FILEATTRIBUTE layout");
#endif

/* Devices. */
ULONG DEVAPI SKF_EnumDev(BOOL bPresent, LPSTR szNameList, ULONG* pulSize);
ULONG DEVAPI SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev);
ULONG DEVAPI SKF_DisConnectDev(DEVHANDLE hDev);
ULONG DEVAPI SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo);
ULONG DEVAPI SKF_GenRandom(DEVHANDLE hDev, BYTE* pbRandom, ULONG ulRandomLen);

/* PINs. */
ULONG DEVAPI SKF_ChangePIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin,
                           LPSTR szNewPin, ULONG* pulRetryCount);
ULONG DEVAPI SKF_GetPINInfo(HAPPLICATION hApplication, ULONG ulPINType, ULONG* pulMaxRetryCount,
                            ULONG* pulRemainRetryCount, BOOL* pbDefaultPin);
ULONG DEVAPI SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN,
                           ULONG* pulRetryCount);

/* Applications. */
ULONG DEVAPI SKF_CreateApplication(DEVHANDLE hDev, LPSTR szAppName, LPSTR szAdminPin,
                                   DWORD dwAdminPinRetryCount, LPSTR szUserPin,
                                   DWORD dwUserPinRetryCount, DWORD dwCreateFileRights,
                                   HAPPLICATION* phApplication);
ULONG DEVAPI SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize);
ULONG DEVAPI SKF_DeleteApplication(DEVHANDLE hDev, LPSTR szAppName);
ULONG DEVAPI SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION* phApplication);
ULONG DEVAPI SKF_CloseApplication(HAPPLICATION hApplication);

/* Containers. */
ULONG DEVAPI SKF_CreateContainer(HAPPLICATION hApplication, LPSTR szContainerName,
                                 HCONTAINER* phContainer);
ULONG DEVAPI SKF_DeleteContainer(HAPPLICATION hApplication, LPSTR szContainerName);
ULONG DEVAPI SKF_OpenContainer(HAPPLICATION hApplication, LPSTR szContainerName,
                               HCONTAINER* phContainer);
ULONG DEVAPI SKF_CloseContainer(HCONTAINER hContainer);
ULONG DEVAPI SKF_EnumContainer(HAPPLICATION hApplication, LPSTR szContainerName, ULONG* pulSize);
ULONG DEVAPI SKF_GetContainerType(HCONTAINER hContainer, ULONG* pulContainerType);
ULONG DEVAPI SKF_ImportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert,
                                   ULONG ulCertLen);
ULONG DEVAPI SKF_ExportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert,
                                   ULONG* pulCertLen);

/* Key pairs and signatures. */
ULONG DEVAPI SKF_GenRSAKeyPair(HCONTAINER hContainer, ULONG ulBitsLen, RSAPUBLICKEYBLOB* pBlob);
ULONG DEVAPI SKF_ImportRSAKeyPair(HCONTAINER hContainer, ULONG ulSymAlgId, BYTE* pbWrappedKey,
                                  ULONG ulWrappedKeyLen, BYTE* pbEncryptedData,
                                  ULONG ulEncryptedDataLen);
ULONG DEVAPI SKF_RSASignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen,
                             BYTE* pbSignature, ULONG* pulSignLen);
ULONG DEVAPI SKF_GenECCKeyPair(HCONTAINER hContainer, ULONG ulAlgId, ECCPUBLICKEYBLOB* pBlob);
ULONG DEVAPI SKF_ImportECCKeyPair(HCONTAINER hContainer, PENVELOPEDKEYBLOB pEnvelopedKeyBlob);
ULONG DEVAPI SKF_ECCSignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen,
                             PECCSIGNATUREBLOB pSignature);
ULONG DEVAPI SKF_ExportPublicKey(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbBlob,
                                 ULONG* pulBlobLen);
ULONG DEVAPI SKF_ECCSignHash(HCONTAINER hContainer, BOOL bSignFlag, HANDLE hHash,
                             PECCSIGNATUREBLOB pSignature);
ULONG DEVAPI SKF_RSASignHash(HCONTAINER hContainer, BOOL bSignFlag, HANDLE hHash,
                             BYTE* pbSignature, DWORD* pulSignLen);

/* Digests and handles. */
ULONG DEVAPI SKF_DigestInit(DEVHANDLE hDev, ULONG ulAlgID, ECCPUBLICKEYBLOB* pPubKey,
                            unsigned char* pucID, ULONG ulIDLen, HANDLE* phHash);
ULONG DEVAPI SKF_Digest(HANDLE hHash, BYTE* pbData, ULONG ulDataLen, BYTE* pbHashData,
                        ULONG* pulHashLen);
ULONG DEVAPI SKF_DigestUpdate(HANDLE hHash, BYTE* pbData, ULONG ulDataLen);
ULONG DEVAPI SKF_DigestFinal(HANDLE hHash, BYTE* pHashData, ULONG* pulHashLen);
ULONG DEVAPI SKF_CloseHandle(HANDLE hHandle);

#ifdef __cplusplus
}
#endif

#endif /* SOFTSKF_SKF_H */
