// Devices, applications and PINs.
#include "blobs.h"
#include "ops.h"
#include "skf_error.h"

#include <cstring>

namespace softskf::ops {
namespace {

HandleTable& Table() { return HandleTable::Instance(); }

void CopyField(CHAR* field, std::size_t width, const std::string& text) {
    std::memset(field, 0, width);
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

// One PIN try against the stored PIN: a wrong PIN costs a retry (persistently),
// a correct one restores them all; a locked PIN refuses even the correct one.
// Returns the status and the retries left.
struct PinTry {
    ULONG status = SAR_OK;
    ULONG left = 0;
};

PinTry TryPin(Application& a, ULONG type, const std::string& pin) {
    std::string& stored = type == USER_TYPE ? a.userPin : a.soPin;
    std::uint32_t& left = type == USER_TYPE ? a.userRetriesLeft : a.soRetriesLeft;
    const std::uint32_t max = type == USER_TYPE ? a.userMaxRetries : a.soMaxRetries;
    if (left == 0) {
        return {SAR_PIN_LOCKED, 0};
    }
    // Constant-time comparison: the length is not secret here, the bytes are.
    bool same = stored.size() == pin.size();
    unsigned char diff = 0;
    for (std::size_t i = 0; i < pin.size() && same; ++i) {
        diff |= static_cast<unsigned char>(stored[i] ^ pin[i]);
    }
    same = same && diff == 0;
    if (same) {
        left = max;
        return {SAR_OK, left};
    }
    --left;
    return {static_cast<ULONG>(left == 0 ? SAR_PIN_LOCKED : SAR_PIN_INCORRECT), left};
}

void SetVerified(ApplicationObj& obj, ULONG type, bool value) {
    (type == USER_TYPE ? obj.userVerified : obj.soVerified) = value;
}

}  // namespace

ULONG EnumDev(BOOL /*present: every stored device is present*/, LPSTR list, ULONG* size) {
    Require(size != nullptr, SAR_INVALIDPARAMERR);
    std::vector<std::string> names;
    for (const Device& d : OpenStore().Read().devices) {
        names.push_back(d.name);
    }
    return blobs::OutputNameList(names, list, size);
}

ULONG ConnectDev(LPSTR name, DEVHANDLE* dev) {
    Require(name != nullptr && dev != nullptr, SAR_INVALIDPARAMERR);
    const std::string n = NameArg(name);
    State s = OpenStore().Read();
    Require(s.FindDevice(n) != nullptr, SAR_DEVICE_REMOVED);
    *dev = Table().AddDevice(DeviceObj{n});
    return SAR_OK;
}

ULONG DisConnectDev(DEVHANDLE dev) {
    Table().CloseDevice(dev);
    return SAR_OK;
}

ULONG GetDevInfo(DEVHANDLE dev, DEVINFO* info) {
    Require(info != nullptr, SAR_INVALIDPARAMERR);
    const std::string name = Table().Device(dev).dev;
    State s = OpenStore().Read();
    const Device* d = s.FindDevice(name);
    Require(d != nullptr, SAR_DEVICE_REMOVED);
    std::memset(info, 0, sizeof *info);
    info->Version = {1, 0};
    CopyField(info->Manufacturer, sizeof info->Manufacturer, "Vaultline software token");
    CopyField(info->Issuer, sizeof info->Issuer, "Vaultline");
    CopyField(info->Label, sizeof info->Label, d->label);
    CopyField(info->SerialNumber, sizeof info->SerialNumber, d->serial);
    info->HWVersion = {1, 0};
    info->FirmwareVersion = {1, 0};
    info->AlgSymCap = SGD_SM4_ECB;
    info->AlgAsymCap = SGD_RSA | SGD_SM2_1;
    info->AlgHashCap = SGD_SM3 | SGD_SHA1 | SGD_SHA256;
    info->DevAuthAlgId = SGD_SM4_ECB;
    info->TotalSpace = 1u << 20;
    info->FreeSpace = 1u << 20;
    info->MaxEccSize = 256;
    info->MaxBufSize = 1u << 16;
    return SAR_OK;
}

ULONG GenRandom(DEVHANDLE dev, BYTE* out, ULONG len) {
    Require(out != nullptr, SAR_INVALIDPARAMERR);
    Table().Device(dev);
    Require(len <= (1u << 16), SAR_INDATALENERR);
    const crypto::Bytes r = crypto::RandomBytes(len);
    if (len != 0) {
        std::memcpy(out, r.data(), len);
    }
    return SAR_OK;
}

ULONG EnumApplication(DEVHANDLE dev, LPSTR list, ULONG* size) {
    Require(size != nullptr, SAR_INVALIDPARAMERR);
    const std::string name = Table().Device(dev).dev;
    State s = OpenStore().Read();
    Device* d = s.FindDevice(name);
    Require(d != nullptr, SAR_DEVICE_REMOVED);
    std::vector<std::string> names;
    for (const Application& a : d->applications) {
        names.push_back(a.name);
    }
    return blobs::OutputNameList(names, list, size);
}

ULONG CreateApplication(DEVHANDLE dev, LPSTR name, LPSTR adminPin, DWORD adminRetries,
                        LPSTR userPin, DWORD userRetries, DWORD /*rights*/, HAPPLICATION* app) {
    Require(name != nullptr && adminPin != nullptr && userPin != nullptr && app != nullptr,
            SAR_INVALIDPARAMERR);
    const std::string devName = Table().Device(dev).dev;
    std::string appName;
    try {
        appName = NameArg(name);
    } catch (const SkfError&) {
        throw SkfError(SAR_APPLICATION_NAME_INVALID);
    }
    const std::string so = PinArg(adminPin);
    const std::string user = PinArg(userPin);
    Require(adminRetries >= 1 && adminRetries <= 255 && userRetries >= 1 && userRetries <= 255,
            SAR_INVALIDPARAMERR);
    OpenStore().Update([&](State& s) {
        Device* d = s.FindDevice(devName);
        Require(d != nullptr, SAR_DEVICE_REMOVED);
        Require(d->FindApplication(appName) == nullptr, SAR_APPLICATION_EXISTS);
        Application a;
        a.name = appName;
        a.userPin = user;
        a.userMaxRetries = a.userRetriesLeft = userRetries;
        a.soPin = so;
        a.soMaxRetries = a.soRetriesLeft = adminRetries;
        d->applications.push_back(std::move(a));
    });
    *app = Table().AddApplication(ApplicationObj{HandleTable::Id(dev), devName, appName});
    return SAR_OK;
}

ULONG DeleteApplication(DEVHANDLE dev, LPSTR name) {
    Require(name != nullptr, SAR_INVALIDPARAMERR);
    const std::string devName = Table().Device(dev).dev;
    const std::string appName = NameArg(name);
    OpenStore().Update([&](State& s) {
        Device* d = s.FindDevice(devName);
        Require(d != nullptr, SAR_DEVICE_REMOVED);
        for (auto it = d->applications.begin(); it != d->applications.end(); ++it) {
            if (it->name == appName) {
                d->applications.erase(it);
                return;
            }
        }
        throw SkfError(SAR_APPLICATION_NOT_EXISTS);
    });
    return SAR_OK;
}

ULONG OpenApplication(DEVHANDLE dev, LPSTR name, HAPPLICATION* app) {
    Require(name != nullptr && app != nullptr, SAR_INVALIDPARAMERR);
    const std::string devName = Table().Device(dev).dev;
    const std::string appName = NameArg(name);
    State s = OpenStore().Read();
    ResolveApp(s, devName, appName);
    *app = Table().AddApplication(ApplicationObj{HandleTable::Id(dev), devName, appName});
    return SAR_OK;
}

ULONG CloseApplication(HAPPLICATION app) {
    Table().CloseApplication(app);
    return SAR_OK;
}

ULONG TryPinOn(ApplicationObj& obj, ULONG type, const std::string& pin, ULONG* retry) {
    PinTry result;
    OpenStore().Update([&](State& s) { result = TryPin(ResolveApp(s, obj.dev, obj.app), type, pin); });
    SetVerified(obj, type, result.status == SAR_OK);
    *retry = result.left;
    return result.status;
}

ULONG VerifyPIN(HAPPLICATION app, ULONG type, LPSTR pin, ULONG* retry) {
    Require(pin != nullptr && retry != nullptr, SAR_INVALIDPARAMERR);
    ApplicationObj& obj = Table().Application(app);
    Require(type == USER_TYPE || type == ADMIN_TYPE, SAR_USER_TYPE_INVALID);
    return TryPinOn(obj, type, PinArg(pin), retry);
}

ULONG ChangePIN(HAPPLICATION app, ULONG type, LPSTR oldPin, LPSTR newPin, ULONG* retry) {
    Require(oldPin != nullptr && newPin != nullptr && retry != nullptr, SAR_INVALIDPARAMERR);
    ApplicationObj& obj = Table().Application(app);
    Require(type == USER_TYPE || type == ADMIN_TYPE, SAR_USER_TYPE_INVALID);
    const std::string given = PinArg(oldPin);
    const std::string next = PinArg(newPin);
    PinTry result;
    OpenStore().Update([&](State& s) {
        Application& a = ResolveApp(s, obj.dev, obj.app);
        result = TryPin(a, type, given);
        if (result.status == SAR_OK) {
            // A dialog answered with the old user PIN stands for a user who
            // knows the PIN: after the change that user types the new one.
            if (type == USER_TYPE && !a.dialogPin.empty() && a.dialogPin == a.userPin) {
                a.dialogPin = next;
            }
            (type == USER_TYPE ? a.userPin : a.soPin) = next;
            (type == USER_TYPE ? a.userPinDefault : a.soPinDefault) = false;
        }
    });
    SetVerified(obj, type, result.status == SAR_OK);
    *retry = result.left;
    return result.status;
}

ULONG GetPINInfo(HAPPLICATION app, ULONG type, ULONG* maxRetry, ULONG* remain, BOOL* isDefault) {
    Require(maxRetry != nullptr && remain != nullptr && isDefault != nullptr, SAR_INVALIDPARAMERR);
    const ApplicationObj& obj = Table().Application(app);
    Require(type == USER_TYPE || type == ADMIN_TYPE, SAR_USER_TYPE_INVALID);
    State s = OpenStore().Read();
    const Application& a = ResolveApp(s, obj.dev, obj.app);
    const bool user = type == USER_TYPE;
    *maxRetry = user ? a.userMaxRetries : a.soMaxRetries;
    *remain = user ? a.userRetriesLeft : a.soRetriesLeft;
    *isDefault = (user ? a.userPinDefault : a.soPinDefault) ? TRUE : FALSE;
    return SAR_OK;
}

}  // namespace softskf::ops
