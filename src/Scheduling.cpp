#include "Scheduling.h"

#include "KVSMLib.h"
#include "Utils.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <stdexcept>
#include <memory>

#include <openssl/evp.h>

namespace {

constexpr const char kVersion[] = "1.0.0.2";
constexpr size_t kCmdBufferSize = 1024;

// A page keeps its providers and selection across requests under one id.
// Any page may send any id, so the table is bounded: at most 1,024 sessions,
// and when it is full the session unused for longest makes room (its page,
// if still there, opens, lists and selects again, as after any -2). Keys are
// bounded too: an id longer than 256 bytes is kept as its first 225 bytes and
// its SHA-256, 257 bytes that no shorter id can equal, so a page may use any
// id while a full table stays small.
constexpr size_t kMaxSessions = 1024;
constexpr size_t kMaxPlainKeyLength = 256;
constexpr size_t kDigestLength = 32;

std::string SessionKey(const std::string& id)
{
    if (id.size() <= kMaxPlainKeyLength) {
        return id;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(id.data(), id.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
        length != kDigestLength) {
        throw std::runtime_error("session id digest failed");
    }
    return id.substr(0, kMaxPlainKeyLength + 1 - kDigestLength) +
           std::string(reinterpret_cast<const char*>(digest), kDigestLength);
}

struct SessionSlot {
    std::unique_ptr<KVSMLib> session;
    unsigned long long lastUse = 0;
};

std::map<std::string, SessionSlot>& Sessions()
{
    static std::map<std::string, SessionSlot> m_sm;
    return m_sm;
}

KVSMLib& SessionFor(const std::string& name)
{
    const std::string id = SessionKey(name);
    static unsigned long long clock = 0;
    auto& sessions = Sessions();
    auto it = sessions.find(id);
    if (it == sessions.end()) {
        if (sessions.size() >= kMaxSessions) {
            auto oldest = sessions.begin();
            for (auto s = sessions.begin(); s != sessions.end(); ++s) {
                if (s->second.lastUse < oldest->second.lastUse) {
                    oldest = s;
                }
            }
            sessions.erase(oldest);
        }
        it = sessions.emplace(id, SessionSlot{std::make_unique<KVSMLib>(), 0}).first;
    }
    it->second.lastUse = ++clock;
    return *it->second.session;
}

}  // namespace

std::string ClassifyDistribution(const std::string& distributor)
{
    std::string text = distributor;
    if (text.empty()) {
        return std::string();
    }
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (text.find("uos") != std::string::npos) {
        return " 1";
    }
    if (text.find("neokylin") != std::string::npos) {
        return " 3";
    }
    if (text.find("kylin") != std::string::npos) {
        return " 2";
    }
    return std::string();
}

namespace {

std::string DetectOsName()
{
    char buf[kCmdBufferSize];
    std::memset(buf, 0, sizeof buf);
    executeCMD("lsb_release -a 2>/dev/null | grep Distributor", buf);
    return ClassifyDistribution(buf);
}

}  // namespace

KVSMLib* FindSession(const std::string& id)
{
    const auto it = Sessions().find(SessionKey(id));
    return it == Sessions().end() ? nullptr : it->second.session.get();
}

size_t SessionCount()
{
    return Sessions().size();
}

void executeCMD(const char* command, char* result)
{
    FILE* pipe = popen(command, "re");
    if (!pipe) {
        return;
    }
    char line[kCmdBufferSize];
    size_t used = std::strlen(result);
    while (std::fgets(line, sizeof line, pipe)) {
        const size_t n = std::strlen(line);
        if (used + n + 1 > kCmdBufferSize) {
            break;
        }
        std::memcpy(result + used, line, n + 1);
        used += n;
    }
    pclose(pipe);
}

std::string getosname()
{
    // The distribution does not change while the service runs; asking once
    // keeps the version query from starting a shell on every request.
    static const std::string name = DetectOsName();
    return name;
}

int VaultlineEntry(const std::string& text, VaultlineNotifyCallback notify, CHttpRequest* /*request*/)
{
    try {
        Json::Value envelope;
        if (!JsonParseStrict(text, envelope)) {
            return -1;
        }
        const int interfacetype = envelope["interfacetype"].asInt();
        const std::string id = envelope["id"].asString();
        const std::string input = JsonWriteCompact(envelope["data"]);

        std::string result;
        int code = 0;
        if (interfacetype == 0) {
            code = SessionFor(id).invoke(input, result);
        } else if (interfacetype == 1) {
            std::string ignored;
            SessionFor(id).invoke(input, ignored);
            Json::Value version(Json::objectValue);
            version["code"] = 0;
            version["data"] = std::string(kVersion) + " " + getosname();
            result = JsonWriteCompact(version);
        }
        if (!result.empty()) {
            result.pop_back();
        }
        notify(result);
        return code;
    } catch (const std::exception& e) {
        std::printf("VaultlineEntry: %s\n", e.what());
        return -1;
    } catch (...) {
        std::printf("VaultlineEntry: unknown error\n");
        return -1;
    }
}
