#include "store.h"

#include <json/json.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace softskf {
namespace {

using Code = StoreError::Code;

const char kStateFile[] = "token.json";
const char kLockFile[] = "lock";
constexpr int kFormatVersion = 1;

[[noreturn]] void IoFail(const std::string& what) {
    throw StoreError(Code::Io, what + ": " + std::strerror(errno));
}

// File descriptor owner.
class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// Holds flock on the store's lock file for its lifetime.
class DirLock {
public:
    DirLock(const std::string& dir, bool exclusive)
        : m_fd(::open((dir + "/" + kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (m_fd.get() < 0) {
            IoFail("cannot open lock file in " + dir);
        }
        while (::flock(m_fd.get(), exclusive ? LOCK_EX : LOCK_SH) != 0) {
            if (errno != EINTR) {
                IoFail("flock");
            }
        }
    }

private:
    Fd m_fd;  // closing the descriptor releases the lock
};

void MakeDirs(const std::string& dir) {
    // Parents with the usual mode, the store itself private.
    std::string path;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        path = dir.substr(0, pos);
        if (path.empty()) {
            continue;
        }
        const bool last = pos == std::string::npos;
        if (::mkdir(path.c_str(), last ? 0700 : 0755) != 0 && errno != EEXIST) {
            IoFail("cannot create " + path);
        }
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        IoFail("not a directory: " + dir);
    }
}

std::string Hex(const Bytes& b) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(b.size() * 2);
    for (const std::uint8_t v : b) {
        out.push_back(kDigits[v >> 4]);
        out.push_back(kDigits[v & 15]);
    }
    return out;
}

Bytes Unhex(const std::string& s) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw StoreError(Code::Io, "token file: bad hexadecimal");
    };
    if (s.size() % 2 != 0) {
        throw StoreError(Code::Io, "token file: odd hexadecimal length");
    }
    Bytes out(s.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(nibble(s[2 * i]) << 4 | nibble(s[2 * i + 1]));
    }
    return out;
}

// --- JSON mapping -----------------------------------------------------------

std::string Str(const Json::Value& v, const char* key) {
    const Json::Value& m = v[key];
    if (!m.isString()) {
        throw StoreError(Code::Io, std::string("token file: ") + key + " is not a string");
    }
    return m.asString();
}

std::uint32_t U32(const Json::Value& v, const char* key) {
    const Json::Value& m = v[key];
    if (!m.isUInt()) {
        throw StoreError(Code::Io, std::string("token file: ") + key + " is not a count");
    }
    return m.asUInt();
}

// A string member that token files written before it existed lack.
std::string OptionalStr(const Json::Value& v, const char* key) {
    return v.isMember(key) ? Str(v, key) : std::string();
}

bool Flag(const Json::Value& v, const char* key) {
    const Json::Value& m = v[key];
    if (!m.isBool()) {
        throw StoreError(Code::Io, std::string("token file: ") + key + " is not a boolean");
    }
    return m.asBool();
}

const Json::Value& Arr(const Json::Value& v, const char* key) {
    const Json::Value& m = v[key];
    if (!m.isArray()) {
        throw StoreError(Code::Io, std::string("token file: ") + key + " is not a list");
    }
    return m;
}

Json::Value ToJson(const State& s) {
    Json::Value root(Json::objectValue);
    root["format"] = kFormatVersion;
    root["devices"] = Json::Value(Json::arrayValue);
    for (const Device& d : s.devices) {
        Json::Value jd(Json::objectValue);
        jd["name"] = d.name;
        jd["label"] = d.label;
        jd["serial"] = d.serial;
        jd["applications"] = Json::Value(Json::arrayValue);
        for (const Application& a : d.applications) {
            Json::Value ja(Json::objectValue);
            ja["name"] = a.name;
            ja["user_pin"] = a.userPin;
            ja["user_max_retries"] = a.userMaxRetries;
            ja["user_retries_left"] = a.userRetriesLeft;
            ja["user_pin_default"] = a.userPinDefault;
            ja["so_pin"] = a.soPin;
            ja["so_max_retries"] = a.soMaxRetries;
            ja["so_retries_left"] = a.soRetriesLeft;
            ja["so_pin_default"] = a.soPinDefault;
            ja["dialog_pin"] = a.dialogPin;
            ja["containers"] = Json::Value(Json::arrayValue);
            for (const Container& c : a.containers) {
                Json::Value jc(Json::objectValue);
                jc["name"] = c.name;
                jc["sign_key"] = c.signKeyPem;
                jc["enc_key"] = c.encKeyPem;
                jc["sign_cert"] = Hex(c.signCert);
                jc["enc_cert"] = Hex(c.encCert);
                ja["containers"].append(jc);
            }
            jd["applications"].append(ja);
        }
        root["devices"].append(jd);
    }
    return root;
}

State FromJson(const Json::Value& root) {
    if (!root.isObject() || !root["format"].isInt() || root["format"].asInt() != kFormatVersion) {
        throw StoreError(Code::Io, "token file: unknown format");
    }
    State s;
    for (const Json::Value& jd : Arr(root, "devices")) {
        Device d;
        d.name = Str(jd, "name");
        d.label = Str(jd, "label");
        d.serial = Str(jd, "serial");
        for (const Json::Value& ja : Arr(jd, "applications")) {
            Application a;
            a.name = Str(ja, "name");
            a.userPin = Str(ja, "user_pin");
            a.userMaxRetries = U32(ja, "user_max_retries");
            a.userRetriesLeft = U32(ja, "user_retries_left");
            a.userPinDefault = Flag(ja, "user_pin_default");
            a.soPin = Str(ja, "so_pin");
            a.soMaxRetries = U32(ja, "so_max_retries");
            a.soRetriesLeft = U32(ja, "so_retries_left");
            a.soPinDefault = Flag(ja, "so_pin_default");
            a.dialogPin = OptionalStr(ja, "dialog_pin");
            for (const Json::Value& jc : Arr(ja, "containers")) {
                Container c;
                c.name = Str(jc, "name");
                c.signKeyPem = Str(jc, "sign_key");
                c.encKeyPem = Str(jc, "enc_key");
                c.signCert = Unhex(Str(jc, "sign_cert"));
                c.encCert = Unhex(Str(jc, "enc_cert"));
                a.containers.push_back(std::move(c));
            }
            d.applications.push_back(std::move(a));
        }
        s.devices.push_back(std::move(d));
    }
    return s;
}

State ReadUnlocked(const std::string& dir) {
    const std::string path = dir + "/" + kStateFile;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) {
            return State{};
        }
        IoFail("cannot open " + path);
    }
    std::string text;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            IoFail("cannot read " + path);
        }
        if (n == 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
        throw StoreError(Code::Io, "token file does not parse: " + errors);
    }
    return FromJson(root);
}

void WriteAll(int fd, const std::string& text, const std::string& path) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            IoFail("cannot write " + path);
        }
        done += static_cast<std::size_t>(n);
    }
}

void WriteUnlocked(const std::string& dir, const State& s) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = " ";
    builder["emitUTF8"] = true;  // names may be GB2312 bytes: pass them through unchanged
    const std::string text = Json::writeString(builder, ToJson(s)) + "\n";

    const std::string path = dir + "/" + kStateFile;
    const std::string tmp = path + ".tmp." + std::to_string(::getpid());
    {
        Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fd.get() < 0) {
            IoFail("cannot create " + tmp);
        }
        try {
            WriteAll(fd.get(), text, tmp);
            if (::fsync(fd.get()) != 0) {
                IoFail("fsync " + tmp);
            }
            if (::close(fd.release()) != 0) {
                IoFail("close " + tmp);
            }
        } catch (...) {
            ::unlink(tmp.c_str());
            throw;
        }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        IoFail("cannot rename " + tmp);
    }
    Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.get() >= 0) {
        ::fsync(dfd.get());  // the rename itself made durable; best effort
    }
}

template <typename T>
std::vector<std::string> Names(const std::vector<T>& items) {
    std::vector<std::string> out;
    out.reserve(items.size());
    for (const T& i : items) {
        out.push_back(i.name);
    }
    return out;
}

template <typename T>
void EraseNamed(std::vector<T>& items, const std::string& name, const char* what) {
    for (auto it = items.begin(); it != items.end(); ++it) {
        if (it->name == name) {
            items.erase(it);
            return;
        }
    }
    throw StoreError(Code::NotFound, std::string(what) + " not found: " + name);
}

crypto::KeyAlg AlgOfPem(const std::string& pem) {
    const Bytes b(pem.begin(), pem.end());
    return crypto::AlgOf(crypto::PrivateKeyFromBytes(b).get());
}

}  // namespace

// --- model ---------------------------------------------------------------------

std::uint32_t Container::Type() const {
    const std::string& pem = !signKeyPem.empty() ? signKeyPem : encKeyPem;
    if (pem.empty()) {
        return 0;
    }
    return AlgOfPem(pem) == crypto::KeyAlg::RSA ? 1 : 2;
}

Container* Application::FindContainer(const std::string& n) {
    for (Container& c : containers) {
        if (c.name == n) return &c;
    }
    return nullptr;
}

Application* Device::FindApplication(const std::string& n) {
    for (Application& a : applications) {
        if (a.name == n) return &a;
    }
    return nullptr;
}

Device* State::FindDevice(const std::string& n) {
    for (Device& d : devices) {
        if (d.name == n) return &d;
    }
    return nullptr;
}

Device& State::GetDevice(const std::string& dev) {
    Device* d = FindDevice(dev);
    if (d == nullptr) {
        throw StoreError(Code::NotFound, "device not found: " + dev);
    }
    return *d;
}

Application& State::GetApplication(const std::string& dev, const std::string& app) {
    Application* a = GetDevice(dev).FindApplication(app);
    if (a == nullptr) {
        throw StoreError(Code::NotFound, "application not found: " + app);
    }
    return *a;
}

Container& State::GetContainer(const std::string& dev, const std::string& app,
                               const std::string& cont) {
    Container* c = GetApplication(dev, app).FindContainer(cont);
    if (c == nullptr) {
        throw StoreError(Code::NotFound, "container not found: " + cont);
    }
    return *c;
}

// --- store -----------------------------------------------------------------------

Store::Store(std::string dir) : m_dir(std::move(dir)) {
    if (m_dir.empty()) {
        throw StoreError(Code::Invalid, "empty store directory");
    }
    while (m_dir.size() > 1 && m_dir.back() == '/') {
        m_dir.pop_back();
    }
}

std::string Store::DefaultDir() {
    if (const char* d = std::getenv("SOFTSKF_DIR"); d != nullptr && *d != '\0') {
        return d;
    }
    if (const char* x = std::getenv("XDG_DATA_HOME"); x != nullptr && *x == '/') {
        return std::string(x) + "/softskf";
    }
    if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0') {
        return std::string(h) + "/.local/share/softskf";
    }
    throw StoreError(Code::Io, "no store directory: set SOFTSKF_DIR or HOME");
}

State Store::Read() const {
    MakeDirs(m_dir);
    DirLock lock(m_dir, false);
    return ReadUnlocked(m_dir);
}

void Store::Update(const std::function<void(State&)>& fn) {
    MakeDirs(m_dir);
    DirLock lock(m_dir, true);
    State s = ReadUnlocked(m_dir);
    fn(s);
    WriteUnlocked(m_dir, s);
}

void Store::CheckName(const std::string& name, std::size_t max, const char* what) {
    if (name.empty() || name.size() > max || name.find('\0') != std::string::npos) {
        throw StoreError(Code::Invalid, std::string("invalid ") + what + " name");
    }
}

void Store::CreateDevice(const std::string& name, const std::string& label,
                         const std::string& serial) {
    CheckName(name, kMaxNameLen, "device");
    if (label.size() > kMaxLabelLen || serial.size() > kMaxSerialLen) {
        throw StoreError(Code::Invalid, "device label or serial too long");
    }
    Update([&](State& s) {
        if (s.FindDevice(name) != nullptr) {
            throw StoreError(Code::Exists, "device exists: " + name);
        }
        s.devices.push_back(Device{name, label, serial, {}});
    });
}

void Store::DeleteDevice(const std::string& name) {
    Update([&](State& s) { EraseNamed(s.devices, name, "device"); });
}

std::vector<std::string> Store::ListDevices() const { return Names(Read().devices); }

void Store::CheckPin(const std::string& pin, const char* what) {
    if (pin.empty() || pin.size() > kMaxPinLen || pin.find('\0') != std::string::npos) {
        throw StoreError(Code::Invalid, std::string("invalid ") + what + ": 1 to " +
                                            std::to_string(kMaxPinLen) + " bytes");
    }
}

void Store::CreateApplication(const std::string& dev, const std::string& app,
                              const std::string& userPin, std::uint32_t userMaxRetries,
                              const std::string& soPin, std::uint32_t soMaxRetries,
                              const std::string& dialogPin) {
    CheckName(app, kMaxNameLen, "application");
    CheckPin(userPin, "user PIN");
    CheckPin(soPin, "administrator PIN");
    if (!dialogPin.empty()) {
        CheckPin(dialogPin, "dialog PIN");
    }
    if (userMaxRetries == 0 || soMaxRetries == 0 || userMaxRetries > 255 || soMaxRetries > 255) {
        throw StoreError(Code::Invalid, "retry counts must be 1 to 255");
    }
    Update([&](State& s) {
        Device& d = s.GetDevice(dev);
        if (d.FindApplication(app) != nullptr) {
            throw StoreError(Code::Exists, "application exists: " + app);
        }
        Application a;
        a.name = app;
        a.userPin = userPin;
        a.userMaxRetries = a.userRetriesLeft = userMaxRetries;
        a.soPin = soPin;
        a.soMaxRetries = a.soRetriesLeft = soMaxRetries;
        a.dialogPin = dialogPin;
        d.applications.push_back(std::move(a));
    });
}

void Store::SetDialogPin(const std::string& dev, const std::string& app, const std::string& pin) {
    if (!pin.empty()) {
        CheckPin(pin, "dialog PIN");
    }
    Update([&](State& s) { s.GetApplication(dev, app).dialogPin = pin; });
}

void Store::DeleteApplication(const std::string& dev, const std::string& app) {
    Update([&](State& s) { EraseNamed(s.GetDevice(dev).applications, app, "application"); });
}

std::vector<std::string> Store::ListApplications(const std::string& dev) const {
    State s = Read();
    return Names(s.GetDevice(dev).applications);
}

void Store::CreateContainer(const std::string& dev, const std::string& app,
                            const std::string& cont) {
    CheckName(cont, kMaxNameLen, "container");
    Update([&](State& s) {
        Application& a = s.GetApplication(dev, app);
        if (a.FindContainer(cont) != nullptr) {
            throw StoreError(Code::Exists, "container exists: " + cont);
        }
        if (a.containers.size() >= kMaxContainers) {
            throw StoreError(Code::Invalid, "too many containers");
        }
        Container c;
        c.name = cont;
        a.containers.push_back(std::move(c));
    });
}

void Store::DeleteContainer(const std::string& dev, const std::string& app,
                            const std::string& cont) {
    Update([&](State& s) { EraseNamed(s.GetApplication(dev, app).containers, cont, "container"); });
}

std::vector<std::string> Store::ListContainers(const std::string& dev,
                                               const std::string& app) const {
    State s = Read();
    return Names(s.GetApplication(dev, app).containers);
}

void Store::PutKey(Container& c, KeyUsage usage, EVP_PKEY* key) {
    const crypto::KeyAlg alg = crypto::AlgOf(key);
    const std::string& other = usage == KeyUsage::Sign ? c.encKeyPem : c.signKeyPem;
    if (!other.empty() && AlgOfPem(other) != alg) {
        throw StoreError(Code::Invalid, "a container holds key pairs of one algorithm only");
    }
    (usage == KeyUsage::Sign ? c.signKeyPem : c.encKeyPem) = crypto::PrivateKeyToPem(key);
    // A certificate for the replaced key pair no longer belongs in the slot.
    Bytes& cert = usage == KeyUsage::Sign ? c.signCert : c.encCert;
    if (!cert.empty()) {
        const unsigned char* p = cert.data();
        ossl::X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(cert.size())));
        EVP_PKEY* certKey = x ? X509_get0_pubkey(x.get()) : nullptr;
        bool same = false;
        try {
            same = certKey != nullptr && crypto::SamePublicKey(certKey, key);
        } catch (const crypto::CryptoError&) {
            same = false;
        }
        if (!same) {
            cert.clear();
        }
    }
}

void Store::PutCertificate(Container& c, KeyUsage usage, const Bytes& der) {
    const unsigned char* p = der.data();
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (cert == nullptr || p != der.data() + der.size()) {
        throw StoreError(Code::Invalid, "not a DER certificate");
    }
    const std::string& pem = c.KeyPem(usage);
    if (!pem.empty()) {
        // A certificate for another key is a caller's mistake that a token
        // accepting it would hide until the first failed verification.
        EVP_PKEY* certKey = X509_get0_pubkey(cert.get());
        const ossl::Pkey own = crypto::PrivateKeyFromBytes(Bytes(pem.begin(), pem.end()));
        bool same = false;
        try {
            same = certKey != nullptr && crypto::SamePublicKey(certKey, own.get());
        } catch (const crypto::CryptoError&) {
            same = false;
        }
        if (!same) {
            throw StoreError(Code::Invalid, "certificate does not match the container's key");
        }
    }
    (usage == KeyUsage::Sign ? c.signCert : c.encCert) = der;
}

Bytes Store::GenerateKeyPair(const std::string& dev, const std::string& app,
                             const std::string& cont, KeyUsage usage, crypto::KeyAlg alg,
                             unsigned rsaBits) {
    if (alg == crypto::KeyAlg::RSA && rsaBits != 1024 && rsaBits != 2048) {
        throw StoreError(Code::Invalid, "RSA keys are 1024 or 2048 bits");
    }
    // Generate outside the lock: RSA generation takes long.
    ossl::Pkey key = alg == crypto::KeyAlg::SM2 ? crypto::GenerateSm2() : crypto::GenerateRsa(rsaBits);
    Update([&](State& s) { PutKey(s.GetContainer(dev, app, cont), usage, key.get()); });
    return crypto::PublicKeyDer(key.get());
}

void Store::ImportKeyPair(const std::string& dev, const std::string& app, const std::string& cont,
                          KeyUsage usage, const Bytes& pemOrDer) {
    ossl::Pkey key;
    try {
        key = crypto::PrivateKeyFromBytes(pemOrDer);
    } catch (const crypto::CryptoError& e) {
        throw StoreError(Code::Invalid, e.what());
    }
    if (crypto::AlgOf(key.get()) == crypto::KeyAlg::RSA) {
        const unsigned bits = crypto::RsaBits(key.get());
        if (bits != 1024 && bits != 2048) {
            throw StoreError(Code::Invalid, "RSA keys are 1024 or 2048 bits");
        }
    }
    Update([&](State& s) { PutKey(s.GetContainer(dev, app, cont), usage, key.get()); });
}

void Store::ImportCertificate(const std::string& dev, const std::string& app,
                              const std::string& cont, KeyUsage usage, const Bytes& der) {
    Update([&](State& s) { PutCertificate(s.GetContainer(dev, app, cont), usage, der); });
}

Bytes Store::PublicKey(const std::string& dev, const std::string& app, const std::string& cont,
                       KeyUsage usage) const {
    State s = Read();
    const std::string& pem = s.GetContainer(dev, app, cont).KeyPem(usage);
    if (pem.empty()) {
        throw StoreError(Code::NotFound, "no key pair in " + cont);
    }
    return crypto::PublicKeyDer(crypto::PrivateKeyFromBytes(Bytes(pem.begin(), pem.end())).get());
}

Bytes Store::Certificate(const std::string& dev, const std::string& app, const std::string& cont,
                         KeyUsage usage) const {
    State s = Read();
    const Bytes& der = s.GetContainer(dev, app, cont).Cert(usage);
    if (der.empty()) {
        throw StoreError(Code::NotFound, "no certificate in " + cont);
    }
    return der;
}

}  // namespace softskf
