#include "commands.h"

#include "demo.h"
#include "provision.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

namespace softskf_tool {

using softskf::KeyUsage;
using softskf::Store;

namespace {

const OptionDef kDeviceOption{"device", "NAME", "device to work on (default: the first one)"};
const OptionDef kEncryptionOption{"encryption", "",
                                   "the encryption (exchange) key pair instead of the signing one"};

Store OpenStore() { return Store(Store::DefaultDir()); }

unsigned ParseCount(const std::string& text, const char* option, unsigned min, unsigned max) {
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v < min || v > max) {
    throw ToolError(std::string("--") + option + " must be a number from " + std::to_string(min) +
                    " to " + std::to_string(max) + ", got \"" + text + "\"");
  }
  return static_cast<unsigned>(v);
}

// The device named by --device, or the first one of the store.
std::string DeviceFor(const Store& store, const Invocation& inv) {
  if (inv.Has("device")) {
    return inv.Get("device");
  }
  const std::vector<std::string> devices = store.ListDevices();
  if (devices.empty()) {
    throw ToolError("no device in the store at " + store.Dir() +
                    " (run: softskf init, or softskf demo)");
  }
  return devices.front();
}

KeyUsage UsageOf(const Invocation& inv) {
  return inv.Has("encryption") ? KeyUsage::Encrypt : KeyUsage::Sign;
}

// A certificate file in DER, or in PEM for convenience; the store receives DER.
std::string ReadCertificateFile(const std::string& path) {
  const std::string data = ReadFile(path);
  if (data.compare(0, 11, "-----BEGIN ") != 0) {
    CertFromDer(data, path);
    return data;
  }
  Bio bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
  Cert cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert) {
    ERR_clear_error();
    throw ToolError(path + " is not a certificate (DER or PEM)");
  }
  unsigned char* der = nullptr;
  const int len = i2d_X509(cert.get(), &der);
  if (len <= 0) {
    ThrowOpenSSL("encoding " + path);
  }
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(len));
  OPENSSL_free(der);
  return out;
}

void CmdInit(const Invocation& inv, std::ostream& out) {
  Store store = OpenStore();
  const std::string name = inv.Get("name", demo::kDevice);
  const std::string serial = inv.Has("serial") ? inv.Get("serial") : RandomDeviceSerial();
  store.CreateDevice(name, inv.Get("label", "Vaultline Soft Token"), serial);
  out << "created device " << name << " (serial " << serial << ") in " << store.Dir() << "\n";
}

// A dialog PIN that is not the user PIN answers the dialog wrongly each time:
// allowed (it is how a mistyped PIN is tried out), but said.
void NoteDialogPin(const std::string& dialogPin, const std::string& userPin, std::ostream& out) {
  if (dialogPin != userPin) {
    out << "note: the dialog PIN is not the user PIN; every operation it answers costs a user PIN"
           " retry until the PIN locks\n";
  }
}

void CmdAppCreate(const Invocation& inv, std::ostream& out) {
  Store store = OpenStore();
  const std::string dev = DeviceFor(store, inv);
  const unsigned retries = inv.Has("retries") ? ParseCount(inv.Get("retries"), "retries", 1, 255) : 10;
  const unsigned adminRetries =
      inv.Has("admin-retries") ? ParseCount(inv.Get("admin-retries"), "admin-retries", 1, 255) : 10;
  const std::string dialogPin = inv.Get("dialog-pin");
  if (inv.Has("dialog-pin")) {
    Store::CheckPin(dialogPin, "dialog PIN");  // empty would mean "no dialog" to the store
  }
  store.CreateApplication(dev, inv.args[0], inv.Get("pin"), retries,
                          inv.Get("admin-pin", demo::kAdminPin), adminRetries, dialogPin);
  out << "created application " << inv.args[0] << " on " << dev << " (user PIN retries " << retries
      << (dialogPin.empty() ? "" : ", with a dialog PIN") << ")\n";
  if (!dialogPin.empty()) {
    NoteDialogPin(dialogPin, inv.Get("pin"), out);
  }
}

void CmdAppDialog(const Invocation& inv, std::ostream& out) {
  const bool off = inv.Has("off");
  if (off == (inv.args.size() == 2)) {
    throw ToolError(off ? "give either a PIN or --off, not both" : "missing PIN (or --off to remove the dialog)");
  }
  const std::string pin = off ? std::string() : inv.args[1];
  if (!off) {
    Store::CheckPin(pin, "dialog PIN");
  }
  Store store = OpenStore();
  const std::string dev = DeviceFor(store, inv);
  store.SetDialogPin(dev, inv.args[0], pin);
  if (off) {
    out << "application " << inv.args[0] << " has no PIN dialog: operations that need the user PIN"
                                            " need SKF_VerifyPIN first\n";
    return;
  }
  out << "application " << inv.args[0] << " answers the PIN dialog with the PIN given\n";
  NoteDialogPin(pin, store.Read().GetApplication(dev, inv.args[0]).userPin, out);
}

void CmdAppDelete(const Invocation& inv, std::ostream& out) {
  Store store = OpenStore();
  const std::string dev = DeviceFor(store, inv);
  store.DeleteApplication(dev, inv.args[0]);
  out << "deleted application " << inv.args[0] << "\n";
}

void CmdContainerCreate(const Invocation& inv, std::ostream& out) {
  Store store = OpenStore();
  store.CreateContainer(DeviceFor(store, inv), inv.args[0], inv.args[1]);
  out << "created container " << inv.args[1] << " in " << inv.args[0] << "\n";
}

void CmdContainerDelete(const Invocation& inv, std::ostream& out) {
  Store store = OpenStore();
  store.DeleteContainer(DeviceFor(store, inv), inv.args[0], inv.args[1]);
  out << "deleted container " << inv.args[1] << " from " << inv.args[0] << "\n";
}

void CmdKeygen(const Invocation& inv, std::ostream& out) {
  const std::string& alg = inv.args[2];
  if (alg != "sm2" && alg != "rsa") {
    throw ToolError("key type must be sm2 or rsa, got \"" + alg + "\"");
  }
  const KeyKind kind = alg == "sm2" ? KeyKind::Sm2 : KeyKind::Rsa;
  if (kind == KeyKind::Sm2 && inv.Has("bits")) {
    throw ToolError("--bits applies to rsa keys only");
  }
  const unsigned bits = inv.Has("bits") ? ParseCount(inv.Get("bits"), "bits", 1, UINT_MAX) : 2048;
  Store store = OpenStore();
  const KeyUsage usage = UsageOf(inv);
  GenerateIntoContainer(store, DeviceFor(store, inv), inv.args[0], inv.args[1], usage, kind, bits,
                        inv.Has("force"));
  out << "generated " << alg << (kind == KeyKind::Rsa ? " " + std::to_string(bits) : std::string())
      << " " << UsageName(usage) << " key pair in " << inv.args[1] << "\n";
}

void CmdCaInit(const Invocation& inv, std::ostream& out) {
  Store store = OpenStore();
  EnsureDemoCas(store, inv.Has("force"), out);
  out << "demo CAs in " << DemoCa::DirIn(store.Dir()) << "\n";
}

void CmdIssue(const Invocation& inv, std::ostream& out) {
  Subject subject;
  subject.cn = inv.Get("cn");
  subject.o = inv.Get("o");
  subject.ou = inv.Get("ou");
  subject.c = inv.Get("c");
  subject.email = inv.Get("email");
  Store store = OpenStore();
  const KeyUsage usage = UsageOf(inv);
  const std::string der =
      IssueIntoContainer(store, DeviceFor(store, inv), inv.args[0], inv.args[1], usage, subject);
  const Cert cert = CertFromDer(der, "the issued certificate");
  out << "issued " << UsageName(usage) << " certificate for " << inv.args[1] << ": subject \""
      << NameText(X509_get_subject_name(cert.get())) << "\" serial " << SerialHex(cert.get()) << "\n";
}

void CmdImportCert(const Invocation& inv, std::ostream& out) {
  const std::string der = ReadCertificateFile(inv.args[2]);
  Store store = OpenStore();
  const KeyUsage usage = UsageOf(inv);
  store.ImportCertificate(DeviceFor(store, inv), inv.args[0], inv.args[1], usage,
                          softskf::Bytes(der.begin(), der.end()));
  out << "imported " << UsageName(usage) << " certificate into " << inv.args[1] << "\n";
}

void CmdList(const Invocation&, std::ostream& out) {
  const std::string dir = Store::DefaultDir();
  // Reading would create an empty store; a missing one is reported instead,
  // so that scripts can tell "no token yet" from an empty listing.
  if (!std::filesystem::is_directory(dir)) {
    throw ToolError("no token store at " + dir + " (run: softskf demo)");
  }
  const Store store(dir);
  const softskf::State state = store.Read();
  if (state.devices.empty()) {
    throw ToolError("no device in the store at " + dir + " (run: softskf demo)");
  }
  PrintToken(state, store.Dir(), out);
}

void CmdExportCa(const Invocation& inv, std::ostream& out) {
  Store store = OpenStore();
  const std::string caDir = DemoCa::DirIn(store.Dir());
  // Both read before anything is written: no half export.
  const DemoCa cas[] = {DemoCa::Load(caDir, KeyKind::Sm2), DemoCa::Load(caDir, KeyKind::Rsa)};
  const std::string& target = inv.args[0];
  std::error_code ec;
  std::filesystem::create_directories(target, ec);
  if (ec) {
    throw ToolError("cannot create " + target + ": " + ec.message());
  }
  for (const DemoCa& ca : cas) {
    const std::string path = target + "/" + KeyKindName(ca.kind()) + "-ca.pem";
    WriteFileAtomic(path, CertToPem(ca.cert()), 0644);
    out << path << "\n";
  }
}

void CmdDemo(const Invocation& inv, std::ostream& out) {
  Store store = OpenStore();
  BuildDemo(store, inv.Has("force"), out);
}

void CmdWhere(const Invocation&, std::ostream& out) { out << Store::DefaultDir() << "\n"; }

struct Handler {
  const char* words;
  void (*run)(const Invocation&, std::ostream&);
};

const Handler kHandlers[] = {
    {"init", CmdInit},
    {"app create", CmdAppCreate},
    {"app dialog", CmdAppDialog},
    {"app delete", CmdAppDelete},
    {"container create", CmdContainerCreate},
    {"container delete", CmdContainerDelete},
    {"keygen", CmdKeygen},
    {"ca init", CmdCaInit},
    {"issue", CmdIssue},
    {"import-cert", CmdImportCert},
    {"list", CmdList},
    {"export-ca", CmdExportCa},
    {"demo", CmdDemo},
    {"where", CmdWhere},
};

}  // namespace

const std::vector<CommandDef>& CommandTable() {
  static const std::vector<CommandDef> table = {
      {{"init"},
       {},
       {{"name", "NAME", std::string("device name (default ") + demo::kDevice + ")"},
        {"label", "LABEL", "device label, at most 32 bytes"},
        {"serial", "SERIAL", "serial number, at most 32 bytes (default: random)"}},
       {},
       "Create a device in the token store."},
      {{"app", "create"},
       {"NAME"},
       {{"pin", "PIN", "user PIN"},
        {"retries", "N", "user PIN attempts before it locks, 1-255 (default 10)"},
        {"admin-pin", "PIN", std::string("administrator PIN (default ") + demo::kAdminPin + ")"},
        {"admin-retries", "N", "administrator PIN attempts, 1-255 (default 10)"},
        {"dialog-pin", "PIN", "answer the SKF library's PIN dialog with PIN (see: app dialog)"},
        kDeviceOption},
       {"pin"},
       "Create an application with its user and administrator PINs."},
      {{"app", "dialog"},
       {"APP", "[PIN]"},
       {{"off", "", "remove the dialog instead"}, kDeviceOption},
       {},
       "Set or remove the PIN that answers the SKF library's PIN dialog.\n"
       "A vendor's SKF library asks the user for the PIN by itself when signing,\n"
       "key generation, key import or container deletion arrives on an application\n"
       "handle that is not logged in. The software token has no window: it verifies\n"
       "this PIN instead, exactly as SKF_VerifyPIN would (a wrong one costs a retry).\n"
       "SOFTSKF_DIALOG_PIN=PIN in the environment answers for every application;\n"
       "set but empty, it switches the dialog off."},
      {{"app", "delete"}, {"NAME"}, {kDeviceOption}, {}, "Delete an application and all its containers."},
      {{"container", "create"}, {"APP", "NAME"}, {kDeviceOption}, {}, "Create an empty container."},
      {{"container", "delete"},
       {"APP", "NAME"},
       {kDeviceOption},
       {},
       "Delete a container with its keys and certificates."},
      {{"keygen"},
       {"APP", "CONTAINER", "sm2|rsa"},
       {{"bits", "N", "RSA modulus length: 1024 or 2048 (default 2048)"},
        kEncryptionOption,
        {"force", "", "replace an existing key pair (its certificate is removed)"},
        kDeviceOption},
       {},
       "Generate a key pair in a container (one key kind per container)."},
      {{"ca", "init"},
       {},
       {{"force", "", "make new CAs even if present (certificates issued before no longer chain)"}},
       {},
       "Create the demo SM2 and RSA certificate authorities in the store directory."},
      {{"issue"},
       {"APP", "CONTAINER"},
       {{"cn", "NAME", "common name (UTF-8)"},
        {"o", "ORG", "organization"},
        {"ou", "UNIT", "organizational unit"},
        {"c", "CC", "two-letter country"},
        {"email", "E", "e-mail address (also put in subjectAltName)"},
        kEncryptionOption,
        kDeviceOption},
       {"cn"},
       "Issue a demo CA certificate for a container's key and import it.\n"
       "The CA of the key's type (SM2 or RSA) signs an X.509 v3 certificate,\n"
       "valid 10 years, with a random 16-byte serial number."},
      {{"import-cert"},
       {"APP", "CONTAINER", "FILE"},
       {kEncryptionOption, kDeviceOption},
       {},
       "Import a DER (or PEM) certificate; it must match the container's key."},
      {{"list"}, {}, {}, {}, "Show devices, applications, containers, key types and certificates."},
      {{"export-ca"}, {"DIR"}, {}, {}, "Write the demo CA certificates as DIR/sm2-ca.pem and DIR/rsa-ca.pem."},
      {{"demo"},
       {},
       {{"force", "", "delete the demo application and build it anew (new keys, same CAs)"}},
       {},
       std::string("Build the demo token (only what is missing).\nApplication ") + demo::kApplication +
           " (user PIN " + demo::kUserPin + ", which also answers its PIN dialog), container " +
           demo::kSm2Container +
           " (SM2 signing and encryption) and " + demo::kRsaContainer + " (RSA 2048 signing)."},
      {{"where"}, {}, {}, {}, "Print the token store directory."},
  };
  return table;
}

void RunCommand(const Invocation& inv, std::ostream& out) {
  std::string words;
  for (const std::string& w : inv.command->words) {
    words += (words.empty() ? "" : " ") + w;
  }
  for (const Handler& h : kHandlers) {
    if (words == h.words) {
      h.run(inv, out);
      return;
    }
  }
  throw ToolError("no handler for '" + words + "'");
}

}  // namespace softskf_tool
