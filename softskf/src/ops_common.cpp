#include "ops.h"

#include "env_options.h"
#include "skf_error.h"

#include <cstring>
#include <optional>

namespace softskf::ops {

Store OpenStore() {
    try {
        return Store(Store::DefaultDir());
    } catch (const StoreError&) {
        throw SkfError(SAR_FILEERR);
    }
}

std::string NameArg(const char* name) {
    Require(name != nullptr, SAR_INVALIDPARAMERR);
    const std::size_t n = ::strnlen(name, kMaxNameLen + 1);
    Require(n >= 1 && n <= kMaxNameLen, SAR_NAMELENERR);
    return std::string(name, n);
}

std::string PinArg(const char* pin) {
    Require(pin != nullptr, SAR_INVALIDPARAMERR);
    const std::size_t n = ::strnlen(pin, kMaxPinLen + 1);
    Require(n >= 1 && n <= kMaxPinLen, SAR_PIN_LEN_RANGE);
    return std::string(pin, n);
}

Application& ResolveApp(State& s, const std::string& dev, const std::string& app) {
    Device* d = s.FindDevice(dev);
    Require(d != nullptr, SAR_DEVICE_REMOVED);
    Application* a = d->FindApplication(app);
    Require(a != nullptr, SAR_APPLICATION_NOT_EXISTS);
    return *a;
}

Container& ResolveContainer(State& s, const ContainerObj& c) {
    Container* found = ResolveApp(s, c.dev, c.app).FindContainer(c.cont);
    Require(found != nullptr, SAR_FILE_NOT_EXIST);
    return *found;
}

void RequireUser(const ContainerObj& c, const Application& app) {
    Require(app.userRetriesLeft > 0, SAR_PIN_LOCKED);
    const ApplicationObj& a = HandleTable::Instance().Application(
        reinterpret_cast<HANDLE>(c.application));
    Require(a.userVerified, SAR_USER_NOT_LOGGED_IN);
}

void AnswerPinDialog(ApplicationObj& obj) {
    if (obj.userVerified) {
        return;
    }
    std::optional<std::string> answer = env::DialogPin();
    if (!answer) {
        State s = OpenStore().Read();
        answer = ResolveApp(s, obj.dev, obj.app).dialogPin;
    }
    if (answer->empty()) {
        return;  // no dialog: the operation's own check refuses it
    }
    // The same checks and counting as SKF_VerifyPIN, so a dialog answered
    // wrongly costs a retry and locks the PIN like a wrong PIN typed in.
    const std::string pin = PinArg(answer->c_str());
    ULONG retry = 0;
    const ULONG status = TryPinOn(obj, USER_TYPE, pin, &retry);
    Require(status == SAR_OK, status);
}

void AnswerPinDialog(const ContainerObj& c) {
    AnswerPinDialog(HandleTable::Instance().Application(reinterpret_cast<HANDLE>(c.application)));
}

KeyUsage UsageOf(BOOL signFlag) { return signFlag ? KeyUsage::Sign : KeyUsage::Encrypt; }

ossl::Pkey LoadKey(const Container& c, KeyUsage usage) {
    const std::string& pem = c.KeyPem(usage);
    Require(!pem.empty(), SAR_KEYNOTFOUNTERR);
    return crypto::PrivateKeyFromBytes(crypto::Bytes(pem.begin(), pem.end()));
}

}  // namespace softskf::ops
