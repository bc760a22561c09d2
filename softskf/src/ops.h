// The C++ side of each exported SKF function. Every function checks its
// arguments in one order: null pointers, then handles (valid, of the right
// kind, open), then argument values, then state (login, keys present); it
// throws SkfError for a refusal and returns the status of a buffer output.
// The caller holds the handle table's lock.
#pragma once

#include "handles.h"
#include "skf.h"
#include "store.h"

#include <string>

namespace softskf::ops {

// --- shared helpers ----------------------------------------------------------
Store OpenStore();
// A name argument: SAR_INVALIDPARAMERR when null, SAR_NAMELENERR when empty or too long.
std::string NameArg(const char* name);
// A PIN argument: SAR_INVALIDPARAMERR when null, SAR_PIN_LEN_RANGE when empty or too long.
std::string PinArg(const char* pin);
Application& ResolveApp(State& s, const std::string& dev, const std::string& app);
Container& ResolveContainer(State& s, const ContainerObj& c);
// SAR_PIN_LOCKED when the user PIN is locked, SAR_USER_NOT_LOGGED_IN unless it
// was verified on the application handle the container was opened from.
void RequireUser(const ContainerObj& c, const Application& app);
// SKF_VerifyPIN on an application handle once its arguments are checked: one
// try that counts against the stored retries and sets or ends the handle's
// login. Returns the status and writes the retries left.
ULONG TryPinOn(ApplicationObj& obj, ULONG type, const std::string& pin, ULONG* retry);
// The vendor library's PIN dialog, answered without asking anyone: called
// before an operation that needs the user logged in. On a handle that is not
// logged in, the dialog PIN (SOFTSKF_DIALOG_PIN, else the application's own)
// is verified as SKF_VerifyPIN would; its failure status is thrown. Without a
// dialog PIN nothing happens and the operation's own check refuses it.
void AnswerPinDialog(ApplicationObj& obj);
void AnswerPinDialog(const ContainerObj& c);
KeyUsage UsageOf(BOOL signFlag);
// SAR_KEYNOTFOUNTERR when the container has no such key pair.
ossl::Pkey LoadKey(const Container& c, KeyUsage usage);

// --- devices, applications, PINs ---------------------------------------------
ULONG EnumDev(BOOL present, LPSTR list, ULONG* size);
ULONG ConnectDev(LPSTR name, DEVHANDLE* dev);
ULONG DisConnectDev(DEVHANDLE dev);
ULONG GetDevInfo(DEVHANDLE dev, DEVINFO* info);
ULONG GenRandom(DEVHANDLE dev, BYTE* out, ULONG len);
ULONG EnumApplication(DEVHANDLE dev, LPSTR list, ULONG* size);
ULONG CreateApplication(DEVHANDLE dev, LPSTR name, LPSTR adminPin, DWORD adminRetries,
                        LPSTR userPin, DWORD userRetries, DWORD rights, HAPPLICATION* app);
ULONG DeleteApplication(DEVHANDLE dev, LPSTR name);
ULONG OpenApplication(DEVHANDLE dev, LPSTR name, HAPPLICATION* app);
ULONG CloseApplication(HAPPLICATION app);
ULONG VerifyPIN(HAPPLICATION app, ULONG type, LPSTR pin, ULONG* retry);
ULONG ChangePIN(HAPPLICATION app, ULONG type, LPSTR oldPin, LPSTR newPin, ULONG* retry);
ULONG GetPINInfo(HAPPLICATION app, ULONG type, ULONG* maxRetry, ULONG* remain, BOOL* isDefault);

// --- containers, certificates, keys --------------------------------------------
ULONG CreateContainer(HAPPLICATION app, LPSTR name, HCONTAINER* cont);
ULONG DeleteContainer(HAPPLICATION app, LPSTR name);
ULONG OpenContainer(HAPPLICATION app, LPSTR name, HCONTAINER* cont);
ULONG CloseContainer(HCONTAINER cont);
ULONG EnumContainer(HAPPLICATION app, LPSTR list, ULONG* size);
ULONG GetContainerType(HCONTAINER cont, ULONG* type);
ULONG ImportCertificate(HCONTAINER cont, BOOL sign, BYTE* der, ULONG len);
ULONG ExportCertificate(HCONTAINER cont, BOOL sign, BYTE* der, ULONG* len);
ULONG ExportPublicKey(HCONTAINER cont, BOOL sign, BYTE* blob, ULONG* len);
ULONG GenRSAKeyPair(HCONTAINER cont, ULONG bits, RSAPUBLICKEYBLOB* blob);
ULONG GenECCKeyPair(HCONTAINER cont, ULONG alg, ECCPUBLICKEYBLOB* blob);
ULONG ImportRSAKeyPair(HCONTAINER cont, ULONG symAlg, BYTE* wrapped, ULONG wrappedLen, BYTE* data,
                       ULONG dataLen);
ULONG ImportECCKeyPair(HCONTAINER cont, PENVELOPEDKEYBLOB blob);

// --- digests and signatures ------------------------------------------------------
ULONG DigestInit(DEVHANDLE dev, ULONG alg, ECCPUBLICKEYBLOB* pub, unsigned char* id, ULONG idLen,
                 HANDLE* hash);
ULONG Digest(HANDLE hash, BYTE* data, ULONG len, BYTE* out, ULONG* outLen);
ULONG DigestUpdate(HANDLE hash, BYTE* data, ULONG len);
ULONG DigestFinal(HANDLE hash, BYTE* out, ULONG* outLen);
ULONG CloseHandle(HANDLE h);
ULONG ECCSignData(HCONTAINER cont, BYTE* data, ULONG len, PECCSIGNATUREBLOB sig);
ULONG RSASignData(HCONTAINER cont, BYTE* data, ULONG len, BYTE* sig, ULONG* sigLen);
ULONG ECCSignHash(HCONTAINER cont, BOOL sign, HANDLE hash, PECCSIGNATUREBLOB sig);
ULONG RSASignHash(HCONTAINER cont, BOOL sign, HANDLE hash, BYTE* sig, DWORD* sigLen);

}  // namespace softskf::ops
