// The request envelope {"interfacetype","id","data"} and the command
// dispatcher behind it, one input = up to eight envelopes, one per line, run
// in order (so a later command sees what an earlier one opened or selected).
//
// Built twice:
//   fuzz_envelope          no token library is opened beforehand;
//   fuzz_envelope_softskf  (FUZZ_WITH_SOFTSKF) a demo software token is made
//                          in a scratch store and opened once as provider 0
//                          of session "fuzz"; each input starts with that
//                          session's list re-read and a certificate selected,
//                          and the store file is put back after any input
//                          that changed it, so every input meets the same token.
//
// Every reply the envelope hands out must be one JSON object.
#include "CSKFProvider.h"
#include "KVSMLib.h"
#include "SMProvider.h"
#include "SMProviderManager.h"
#include "Scheduling.h"
#include "Utils.h"
#include "core/CodePage.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz_envelope: %s\n", what.c_str());
    std::abort();
}

std::string g_reply;
int g_notified = 0;

int Capture(const std::string& result)
{
    g_reply = result;
    ++g_notified;
    return 0;
}

int Run(const std::string& envelope)
{
    g_reply.clear();
    g_notified = 0;
    const int code = VaultlineEntry(envelope, &Capture, nullptr);
    if (g_notified > 1) {
        Fail("more than one reply for one envelope");
    }
    if (g_notified == 0 && code != -1) {
        Fail("no reply, yet no failure code");
    }
    if (std::getenv("FUZZ_PRINT_REPLIES") != nullptr) {
        // For reading what a saved input does: FUZZ_PRINT_REPLIES=1 target FILE
        std::fprintf(stderr, "> %s\n< %d %s\n", envelope.c_str(), code, g_reply.c_str());
    }
    if (!g_reply.empty()) {
        Json::Value v;
        if (!JsonParseStrict(g_reply, v) || !v.isObject()) {
            Fail("reply is not a JSON object: " + g_reply);
        }
    }
    return code;
}

const int kDefaultCodePage = CodePage::Get();

#ifdef FUZZ_WITH_SOFTSKF
std::string g_store;      // token.json
std::string g_snapshot;   // its pristine text
struct stat g_stored {};  // what token.json looked like after the last restore

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

void RestoreStoreIfChanged()
{
    struct stat now {};
    if (stat(g_store.c_str(), &now) == 0 && SameFile(now, g_stored)) {
        return;
    }
    const std::string tmp = g_store + ".fuzz";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << g_snapshot;
    }
    if (std::rename(tmp.c_str(), g_store.c_str()) != 0 || stat(g_store.c_str(), &g_stored) != 0) {
        Fail("cannot put the token store back");
    }
}

int OpenToken()
{
    return Run(std::string("{\"interfacetype\":0,\"id\":\"fuzz\",\"data\":{\"pcode\":0,\"type\":3,\"name\":\"") +
               SOFTSKF_LIB + "\"}}");
}

// What the prelude left: the session's selection and its provider's list
// generation. While both are unchanged the prelude need not run again.
SMCertificate* g_selected = nullptr;
unsigned long g_generation = 0;

bool SessionAsLeft()
{
    KVSMLib* session = FindSession("fuzz");
    SMProvider* provider = session ? session->getProviderByID(0) : nullptr;
    return g_selected != nullptr && provider != nullptr && session->m_selsmcert == g_selected &&
           provider->generation() == g_generation;
}

void Prelude()
{
    if (SessionAsLeft()) {
        return;
    }
    // The session may have been dropped from the table to make room for
    // others; open the token in it again then.
    KVSMLib* existing = FindSession("fuzz");
    if ((existing == nullptr || existing->getProviderByID(0) == nullptr) && OpenToken() != 0) {
        Fail("cannot open the software token again: " + g_reply);
    }
    // Re-read the list (another input may have listed with a query that
    // matched nothing) and select the first certificate listed.
    if (Run("{\"interfacetype\":0,\"id\":\"fuzz\",\"data\":{\"pcode\":5,\"pid\":0,\"query\":{}}}") != 0 ||
        Run("{\"interfacetype\":0,\"id\":\"fuzz\",\"data\":{\"pcode\":6,\"pid\":0,\"type\":1,\"certid\":1}}") != 0) {
        Fail("the demo token no longer lists and selects: " + g_reply);
    }
    KVSMLib* session = FindSession("fuzz");
    g_selected = session->m_selsmcert;
    g_generation = session->getProviderByID(0)->generation();
}
#endif

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    // The summary log of the SKF layer would otherwise go to /tmp.
    CSKFProvider::SetLogPath("/dev/null");
#ifdef FUZZ_WITH_SOFTSKF
    char tmpl[] = "/tmp/vaultline-fuzz-softskf-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        Fail("mkdtemp");
    }
    const std::string dir = tmpl;
    static std::string s_dir = dir;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(s_dir, ec);
    });
    setenv("SOFTSKF_DIR", dir.c_str(), 1);
    unsetenv("SOFTSKF_DIALOG_PIN");
    unsetenv("SOFTSKF_FAIL");
    // The tool is a sanitizer build too; its exit status is what counts here.
    const std::string cmd = std::string("ASAN_OPTIONS=detect_leaks=0 '") + SOFTSKF_TOOL + "' demo >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) {
        Fail("softskf demo failed");
    }
    g_store = dir + "/token.json";
    g_snapshot = ReadFile(g_store);
    if (g_snapshot.empty() || stat(g_store.c_str(), &g_stored) != 0) {
        Fail("no token store");
    }
    if (OpenToken() != 0) {
        Fail("cannot open the software token: " + g_reply);
    }
    std::fprintf(stderr, "fuzz_envelope_softskf: demo token in %s\n", dir.c_str());
#endif
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CodePage::Set(kDefaultCodePage);
#ifdef FUZZ_WITH_SOFTSKF
    Prelude();
#endif
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t pos = 0;
    for (int line = 0; line < 8 && pos <= text.size(); ++line) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        Run(text.substr(pos, end - pos));
        pos = end + 1;
    }
    if (SessionCount() > 1024) {
        Fail("the session table grew past its bound");
    }
    // The registry holds only libraries that opened: a refused name must not
    // leave an entry behind, or any page could grow it without bound.
    for (const auto& entry : SMProviderManager::shareInstance()->m_smps) {
        if (entry.second == nullptr) {
            Fail("the provider registry kept an entry for a library that did not open");
        }
    }
#ifdef FUZZ_WITH_SOFTSKF
    RestoreStoreIfChanged();
#endif
    return 0;
}
