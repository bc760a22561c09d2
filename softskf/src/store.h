// The software token's model and its on-disk store.
//
// State lives in one directory: token.json (the whole token) and a lock file.
// Every reader takes a shared flock, every read-modify-write an exclusive one
// and re-reads the file under it, so the service's two processes and the
// provisioning tool see one token and no write is lost. Files are written to a
// temporary name, fsync'ed and renamed over the old one; mode 0600, directory
// 0700. Nothing is encrypted: the store protects nothing.
#pragma once

#include "crypto.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace softskf {

using Bytes = crypto::Bytes;

class StoreError : public std::runtime_error {
public:
    enum class Code {
        NotFound,  // device, application or container (or key, certificate) absent
        Exists,    // name already taken
        Invalid,   // argument refused: bad name, bad key, mismatching certificate...
        Io,        // the directory or a file cannot be read or written
    };
    StoreError(Code code, const std::string& what) : std::runtime_error(what), m_code(code) {}
    Code code() const { return m_code; }

private:
    Code m_code;
};

// Which of a container's two key pairs (and certificates).
enum class KeyUsage { Sign, Encrypt };

struct Container {
    std::string name;
    std::string signKeyPem;  // PKCS#8 PEM, empty when absent
    std::string encKeyPem;
    Bytes signCert;  // DER, empty when absent
    Bytes encCert;

    // 0 no key yet, 1 RSA, 2 SM2 (the type of whichever key pair exists).
    std::uint32_t Type() const;
    const std::string& KeyPem(KeyUsage u) const { return u == KeyUsage::Sign ? signKeyPem : encKeyPem; }
    const Bytes& Cert(KeyUsage u) const { return u == KeyUsage::Sign ? signCert : encCert; }
};

struct Application {
    std::string name;
    std::string userPin;
    std::uint32_t userMaxRetries = 10;
    std::uint32_t userRetriesLeft = 10;
    bool userPinDefault = true;  // not changed since the application was made
    std::string soPin;
    std::uint32_t soMaxRetries = 10;
    std::uint32_t soRetriesLeft = 10;
    bool soPinDefault = true;
    // What the vendor library's own PIN dialog would be answered with when a
    // private-key operation arrives on a handle that is not logged in; empty
    // when the application has no dialog.
    std::string dialogPin;
    std::vector<Container> containers;

    Container* FindContainer(const std::string& n);
};

struct Device {
    std::string name;
    std::string label;
    std::string serial;
    std::vector<Application> applications;

    Application* FindApplication(const std::string& n);
};

struct State {
    std::vector<Device> devices;

    Device* FindDevice(const std::string& n);
    // Lookups that throw StoreError(NotFound) naming what is missing.
    Device& GetDevice(const std::string& dev);
    Application& GetApplication(const std::string& dev, const std::string& app);
    Container& GetContainer(const std::string& dev, const std::string& app, const std::string& cont);
};

// Limits the store enforces on names (bytes, no zero byte).
constexpr std::size_t kMaxNameLen = 64;
constexpr std::size_t kMaxLabelLen = 32;   // DEVINFO Label width
constexpr std::size_t kMaxSerialLen = 32;  // DEVINFO SerialNumber width
constexpr std::size_t kMaxPinLen = 64;
constexpr std::size_t kMaxContainers = 64;

class Store {
public:
    explicit Store(std::string dir);

    // $SOFTSKF_DIR, else $XDG_DATA_HOME/softskf, else $HOME/.local/share/softskf.
    static std::string DefaultDir();

    const std::string& Dir() const { return m_dir; }

    // A consistent snapshot (shared lock). A missing token file is an empty token.
    State Read() const;
    // Exclusive lock, fresh read, fn, atomic write. If fn throws nothing is written.
    void Update(const std::function<void(State&)>& fn);

    // --- conveniences, each one Read or Update ---------------------------
    void CreateDevice(const std::string& name, const std::string& label, const std::string& serial);
    void DeleteDevice(const std::string& name);
    std::vector<std::string> ListDevices() const;

    void CreateApplication(const std::string& dev, const std::string& app, const std::string& userPin,
                           std::uint32_t userMaxRetries, const std::string& soPin,
                           std::uint32_t soMaxRetries, const std::string& dialogPin = "");
    // Sets the application's dialog PIN; an empty one removes the dialog.
    void SetDialogPin(const std::string& dev, const std::string& app, const std::string& pin);
    void DeleteApplication(const std::string& dev, const std::string& app);
    std::vector<std::string> ListApplications(const std::string& dev) const;

    void CreateContainer(const std::string& dev, const std::string& app, const std::string& cont);
    void DeleteContainer(const std::string& dev, const std::string& app, const std::string& cont);
    std::vector<std::string> ListContainers(const std::string& dev, const std::string& app) const;

    // Generates and stores a key pair; returns its SubjectPublicKeyInfo DER.
    // RSA sizes: 1024 or 2048 bits.
    Bytes GenerateKeyPair(const std::string& dev, const std::string& app, const std::string& cont,
                          KeyUsage usage, crypto::KeyAlg alg, unsigned rsaBits = 2048);
    // A clear private key, PEM or DER (SM2 or RSA).
    void ImportKeyPair(const std::string& dev, const std::string& app, const std::string& cont,
                       KeyUsage usage, const Bytes& pemOrDer);
    // A DER X.509 certificate; when the container holds the key pair of that
    // usage the certificate's public key must be that key's.
    void ImportCertificate(const std::string& dev, const std::string& app, const std::string& cont,
                           KeyUsage usage, const Bytes& der);
    // SubjectPublicKeyInfo DER of the key pair; NotFound when there is none.
    Bytes PublicKey(const std::string& dev, const std::string& app, const std::string& cont,
                    KeyUsage usage) const;
    Bytes Certificate(const std::string& dev, const std::string& app, const std::string& cont,
                      KeyUsage usage) const;

    // Shared checks, also used by the SKF layer before it calls Update.
    static void CheckName(const std::string& name, std::size_t max, const char* what);
    // 1 to kMaxPinLen bytes, no zero byte.
    static void CheckPin(const std::string& pin, const char* what);
    // Stores key in the container slot, enforcing one algorithm per container.
    static void PutKey(Container& c, KeyUsage usage, EVP_PKEY* key);
    // Checks certificate against the container's key of that usage and stores it.
    static void PutCertificate(Container& c, KeyUsage usage, const Bytes& der);

private:
    std::string m_dir;
};

}  // namespace softskf
