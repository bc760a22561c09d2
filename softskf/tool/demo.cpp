#include "demo.h"

#include "provision.h"

#include <openssl/rand.h>

namespace softskf_tool {

using softskf::KeyUsage;

namespace {

struct DemoKey {
  KeyUsage usage;
  Subject subject;
};

struct DemoContainer {
  const char* name;
  KeyKind kind;
  std::vector<DemoKey> keys;
};

std::vector<DemoContainer> DemoContainers() {
  // A UTF-8 Chinese common name on the SM2 certificates exercises the
  // service's code page handling; the e-mail on the RSA one its e-mail field.
  const std::string sm2Holder = "\xE6\xB5\x8B\xE8\xAF\x95\xE7\x94\xA8\xE6\x88\xB7";  // 测试用户
  return {
      {demo::kSm2Container,
       KeyKind::Sm2,
       {{KeyUsage::Sign, {sm2Holder, "Vaultline Demo", "SM2 Signing", "CN", ""}},
        {KeyUsage::Encrypt, {sm2Holder, "Vaultline Demo", "SM2 Encryption", "CN", ""}}}},
      {demo::kRsaContainer,
       KeyKind::Rsa,
       {{KeyUsage::Sign,
         {"Vaultline Demo User", "Vaultline Demo", "RSA Signing", "CN", "demo@vaultline.example"}}}},
  };
}

// Creates the demo application unless a usable one is present; returns
// whether it changed anything.
bool EnsureApplication(softskf::Store& store, bool force, std::ostream& out) {
  softskf::State state = store.Read();
  softskf::Device* dev = state.FindDevice(demo::kDevice);
  bool changed = false;
  if (dev == nullptr) {
    store.CreateDevice(demo::kDevice, demo::kLabel, RandomDeviceSerial());
    out << "created device " << demo::kDevice << "\n";
    changed = true;
  }
  const softskf::Application* app = dev ? dev->FindApplication(demo::kApplication) : nullptr;
  if (app != nullptr && force) {
    store.DeleteApplication(demo::kDevice, demo::kApplication);
    out << "deleted application " << demo::kApplication << "\n";
    app = nullptr;
  }
  if (app != nullptr) {
    if (app->userPin != demo::kUserPin) {
      throw ToolError(std::string("application ") + demo::kApplication +
                      " exists with another user PIN than the one the service presents;"
                      " rebuild it with: softskf demo --force");
    }
    if (app->userRetriesLeft == 0) {
      throw ToolError(std::string("the user PIN of application ") + demo::kApplication +
                      " is locked; rebuild it with: softskf demo --force");
    }
    // Made before applications had a dialog, or changed since: the service
    // enrols without presenting the PIN, so the demo needs its dialog.
    if (app->dialogPin != demo::kUserPin) {
      store.SetDialogPin(demo::kDevice, demo::kApplication, demo::kUserPin);
      out << "set the dialog PIN of application " << demo::kApplication << " to its user PIN\n";
      changed = true;
    }
    return changed;
  }
  store.CreateApplication(demo::kDevice, demo::kApplication, demo::kUserPin, demo::kRetries,
                          demo::kAdminPin, demo::kRetries, demo::kUserPin);
  out << "created application " << demo::kApplication << " (user PIN " << demo::kUserPin
      << ", also its dialog PIN)\n";
  return true;
}

bool EnsureContainer(softskf::Store& store, const DemoContainer& want, std::ostream& out) {
  const std::string dev = demo::kDevice;
  const std::string app = demo::kApplication;
  bool changed = false;
  softskf::State state = store.Read();
  if (state.GetApplication(dev, app).FindContainer(want.name) == nullptr) {
    store.CreateContainer(dev, app, want.name);
    out << "created container " << want.name << "\n";
    changed = true;
    state = store.Read();
  }
  const std::uint32_t wanted = want.kind == KeyKind::Rsa ? 1 : 2;
  const std::uint32_t type = state.GetContainer(dev, app, want.name).Type();
  if (type != 0 && type != wanted) {
    throw ToolError(std::string("container ") + want.name + " holds keys of another kind than " +
                    KeyKindName(want.kind) + "; rebuild the demo with: softskf demo --force");
  }
  for (const DemoKey& k : want.keys) {
    state = store.Read();
    const softskf::Container& c = state.GetContainer(dev, app, want.name);
    if (c.KeyPem(k.usage).empty()) {
      GenerateIntoContainer(store, dev, app, want.name, k.usage, want.kind, 2048, false);
      out << "generated " << KeyKindName(want.kind) << " " << UsageName(k.usage) << " key pair in "
          << want.name << "\n";
      changed = true;
    }
    state = store.Read();
    if (state.GetContainer(dev, app, want.name).Cert(k.usage).empty()) {
      IssueIntoContainer(store, dev, app, want.name, k.usage, k.subject);
      out << "issued " << UsageName(k.usage) << " certificate for " << want.name << "\n";
      changed = true;
    }
  }
  return changed;
}

}  // namespace

std::string RandomDeviceSerial() {
  unsigned char bytes[8];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    ThrowOpenSSL("RAND_bytes");
  }
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

void BuildDemo(softskf::Store& store, bool force, std::ostream& out) {
  EnsureDemoCas(store, false, out);
  bool changed = EnsureApplication(store, force, out);
  for (const DemoContainer& want : DemoContainers()) {
    changed = EnsureContainer(store, want, out) || changed;
  }
  out << (changed ? "demo token ready in " : "demo token already complete in ") << store.Dir()
      << ": device " << demo::kDevice << ", application " << demo::kApplication << " (user PIN "
      << demo::kUserPin << "), containers " << demo::kSm2Container << " (sm2, signing and encryption) and "
      << demo::kRsaContainer << " (rsa 2048, signing)\n";
}

}  // namespace softskf_tool
