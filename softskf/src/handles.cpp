#include "handles.h"

#include "skf_error.h"

#include <vector>

namespace softskf {

HandleTable& HandleTable::Instance() {
    static HandleTable table;
    return table;
}

HANDLE HandleTable::Add(Entry e) {
    const std::uintptr_t id = m_next++;
    m_entries.emplace(id, std::move(e));
    return reinterpret_cast<HANDLE>(id);
}

HANDLE HandleTable::AddDevice(DeviceObj obj) {
    Entry e{HandleKind::Device, std::move(obj), {}, {}, nullptr};
    return Add(std::move(e));
}

HANDLE HandleTable::AddApplication(ApplicationObj obj) {
    Entry e{HandleKind::Application, {}, std::move(obj), {}, nullptr};
    return Add(std::move(e));
}

HANDLE HandleTable::AddContainer(ContainerObj obj) {
    Entry e{HandleKind::Container, {}, {}, std::move(obj), nullptr};
    return Add(std::move(e));
}

HANDLE HandleTable::AddHash(std::unique_ptr<HashObj> obj) {
    Entry e{HandleKind::Hash, {}, {}, {}, std::move(obj)};
    return Add(std::move(e));
}

HandleTable::Entry& HandleTable::Get(HANDLE h, HandleKind kind) {
    const auto it = m_entries.find(Id(h));
    Require(h != nullptr && it != m_entries.end() && it->second.kind == kind, SAR_INVALIDHANDLEERR);
    return it->second;
}

DeviceObj& HandleTable::Device(HANDLE h) { return Get(h, HandleKind::Device).device; }
ApplicationObj& HandleTable::Application(HANDLE h) {
    return Get(h, HandleKind::Application).application;
}
ContainerObj& HandleTable::Container(HANDLE h) { return Get(h, HandleKind::Container).container; }
HashObj& HandleTable::Hash(HANDLE h) { return *Get(h, HandleKind::Hash).hash; }

void HandleTable::CloseContainer(HANDLE h) {
    Get(h, HandleKind::Container);
    m_entries.erase(Id(h));
}

void HandleTable::CloseHash(HANDLE h) {
    Get(h, HandleKind::Hash);
    m_entries.erase(Id(h));
}

void HandleTable::CloseApplication(HANDLE h) {
    Get(h, HandleKind::Application);
    const std::uintptr_t id = Id(h);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->second.kind == HandleKind::Container && it->second.container.application == id) {
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
    m_entries.erase(id);
}

void HandleTable::CloseDevice(HANDLE h) {
    Get(h, HandleKind::Device);
    const std::uintptr_t id = Id(h);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        const Entry& e = it->second;
        const bool child = (e.kind == HandleKind::Application && e.application.device == id) ||
                           (e.kind == HandleKind::Container && e.container.device == id) ||
                           (e.kind == HandleKind::Hash && e.hash->device == id);
        if (child) {
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
    m_entries.erase(id);
}

}  // namespace softskf
