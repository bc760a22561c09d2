// Handles of one process: values from a counter that only grows, each of one
// kind, checked by kind and open state. A closed or never-issued value, or one
// of the wrong kind, is SAR_INVALIDHANDLEERR.
#pragma once

#include "crypto.h"
#include "skf.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace softskf {

enum class HandleKind { Device, Application, Container, Hash };

struct DeviceObj {
    std::string dev;
};

struct ApplicationObj {
    std::uintptr_t device = 0;  // parent handle
    std::string dev;
    std::string app;
    bool userVerified = false;
    bool soVerified = false;
};

struct ContainerObj {
    std::uintptr_t device = 0;
    std::uintptr_t application = 0;
    std::string dev;
    std::string app;
    std::string cont;
};

struct HashObj {
    std::uintptr_t device = 0;
    ULONG alg = 0;
    ossl::MdCtx ctx;
    bool updated = false;  // DigestUpdate seen: Digest no longer allowed
    bool finished = false;
    crypto::Bytes digest;  // valid once finished
    std::optional<crypto::Sm2Point> zKey;  // the public key Z was computed with
};

class HandleTable {
public:
    HANDLE AddDevice(DeviceObj obj);
    HANDLE AddApplication(ApplicationObj obj);
    HANDLE AddContainer(ContainerObj obj);
    HANDLE AddHash(std::unique_ptr<HashObj> obj);

    // Each throws SkfError(SAR_INVALIDHANDLEERR) unless h is open and of that kind.
    DeviceObj& Device(HANDLE h);
    ApplicationObj& Application(HANDLE h);
    ContainerObj& Container(HANDLE h);
    HashObj& Hash(HANDLE h);

    // Closing a parent closes what was opened through it.
    void CloseDevice(HANDLE h);
    void CloseApplication(HANDLE h);
    void CloseContainer(HANDLE h);
    void CloseHash(HANDLE h);

    static std::uintptr_t Id(HANDLE h) { return reinterpret_cast<std::uintptr_t>(h); }

    // The one table of the process, and the lock every SKF call holds.
    static HandleTable& Instance();
    std::recursive_mutex& Mutex() { return m_mutex; }

private:
    struct Entry {
        HandleKind kind;
        DeviceObj device;
        ApplicationObj application;
        ContainerObj container;
        std::unique_ptr<HashObj> hash;
    };
    HANDLE Add(Entry e);
    Entry& Get(HANDLE h, HandleKind kind);

    std::recursive_mutex m_mutex;
    std::uintptr_t m_next = 1;
    std::map<std::uintptr_t, Entry> m_entries;
};

}  // namespace softskf
