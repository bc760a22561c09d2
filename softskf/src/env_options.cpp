#include "env_options.h"

#include <cstdlib>
#include <cstring>

namespace softskf::env {
namespace {

bool FlagSet(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && std::strcmp(v, "1") == 0;
}

}  // namespace

std::optional<ULONG> InjectedFailure(const char* function) {
    const char* v = std::getenv("SOFTSKF_FAIL");
    if (v == nullptr) {
        return std::nullopt;
    }
    const std::string all(v);
    std::size_t pos = 0;
    while (pos <= all.size()) {
        std::size_t end = all.find(',', pos);
        if (end == std::string::npos) {
            end = all.size();
        }
        const std::string item = all.substr(pos, end - pos);
        const std::size_t eq = item.find('=');
        if (eq != std::string::npos && item.compare(0, eq, function) == 0 &&
            eq == std::strlen(function)) {
            const std::string value = item.substr(eq + 1);
            char* stop = nullptr;
            const unsigned long long status = std::strtoull(value.c_str(), &stop, 0);
            if (!value.empty() && stop != nullptr && *stop == '\0' && status <= 0xFFFFFFFFull) {
                return static_cast<ULONG>(status);
            }
        }
        pos = end + 1;
    }
    return std::nullopt;
}

bool LeftAlign() { return FlagSet("SOFTSKF_LEFT_ALIGN"); }
bool UnterminatedLists() { return FlagSet("SOFTSKF_UNTERMINATED_LISTS"); }

std::optional<std::string> DialogPin() {
    const char* v = std::getenv("SOFTSKF_DIALOG_PIN");
    if (v == nullptr) {
        return std::nullopt;
    }
    return std::string(v);
}

}  // namespace softskf::env
