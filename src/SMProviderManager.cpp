#include "SMProviderManager.h"

#include "SMProvider.h"
#include "SM/sm_oid.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <memory>

SMProviderManager* SMProviderManager::s_instance = nullptr;

namespace {

bool Refuse(std::string* why, const std::string& text) {
    if (why != nullptr) *why = text;
    return false;
}

// Owned by root and not writable by anyone else; a sticky directory may be
// writable by others since they cannot replace entries they do not own.
bool SafeOwnerAndMode(const struct stat& st, bool sticky_allowed) {
    if (st.st_uid != 0) return false;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
    return sticky_allowed && (st.st_mode & S_ISVTX) != 0;
}

}  // namespace

bool IsTrustedLibraryPath(const std::string& path, std::string* why, std::string* realOut) {
    if (path.empty()) return Refuse(why, "empty path");
    std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
    if (!resolved) return Refuse(why, "cannot resolve " + path);
    const std::string real(resolved.get());

    struct stat st;
    if (stat(real.c_str(), &st) != 0) return Refuse(why, "cannot stat " + real);
    if (!S_ISREG(st.st_mode)) return Refuse(why, real + " is not a regular file");
    if (!SafeOwnerAndMode(st, false))
        return Refuse(why, real + " is not owned by root or is writable by group or others");

    // realpath gives an absolute path without links, "." or "..": each
    // prefix ending before a "/" is one directory on the way down.
    for (size_t pos = 0; pos != std::string::npos && pos < real.size(); pos = real.find('/', pos + 1)) {
        const std::string dir = pos == 0 ? std::string("/") : real.substr(0, pos);
        if (stat(dir.c_str(), &st) != 0) return Refuse(why, "cannot stat " + dir);
        if (!S_ISDIR(st.st_mode)) return Refuse(why, dir + " is not a directory");
        if (!SafeOwnerAndMode(st, true))
            return Refuse(why, dir + " is not owned by root or is writable by group or others");
    }
    if (realOut != nullptr) *realOut = real;
    return true;
}

SMProviderManager::SMProviderManager() { sm::initsm2internalnid(); }

SMProviderManager* SMProviderManager::shareInstance() {
    if (s_instance == nullptr) s_instance = new SMProviderManager();
    return s_instance;
}

int SMProviderManager::obtainProvider(std::string& strname, int itype, SMProvider** psmp) {
    const auto found = m_smps.find(strname);
    if (found != m_smps.end()) {
        if (psmp != nullptr) *psmp = found->second;
        return 6;
    }
    std::unique_ptr<SMProvider> p(new SMProvider(strname, itype));
    // A refused name leaves no entry: the page chooses the names, and an entry
    // per refused name would let it grow the registry without bound.
    if (!p->isValid()) return 2;
    SMProvider* made = p.release();
    m_smps.emplace(strname, made);
    if (psmp != nullptr) *psmp = made;
    return 0;
}

int SMProviderManager::clearProviders() {
    for (auto& e : m_smps) {
        delete e.second;
        e.second = nullptr;
    }
    m_smps.clear();
    return 0;
}
