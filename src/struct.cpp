#include "struct.h"

#include "core/OsFunctions.h"

std::vector<std::string> my_publist;

namespace {

std::string WithoutLeadingZeros(const std::string& s) {
    size_t i = s.find_first_not_of('0');
    return i == std::string::npos ? std::string() : s.substr(i);
}

template <typename Container>
void SplitInto(const std::string& s, const std::string& delim, Container& ret) {
    size_t start = 0;
    for (;;) {
        size_t pos = s.find_first_of(delim, start);
        if (pos == std::string::npos) break;
        ret.push_back(s.substr(start, pos - start));
        start = pos + 1;
    }
    ret.push_back(s.substr(start));
}

}  // namespace

bool _CERTIFICATE_INFO_::match(const _CERTIFICATE_INFO_* ci) const {
    if (ci == nullptr) return false;
    if (!ci->subject.empty() && !caseinsensecompare(subject, ci->subject)) return false;
    // A page may type the serial with leading zeros or in lower case.
    if (!ci->sn.empty() && ci->sn != sn &&
        !caseinsensecompare(WithoutLeadingZeros(sn), WithoutLeadingZeros(ci->sn)))
        return false;
    const std::string _CERTIFICATE_INFO_::*fields[] = {&_CERTIFICATE_INFO_::CN, &_CERTIFICATE_INFO_::C,
                                                     &_CERTIFICATE_INFO_::E, &_CERTIFICATE_INFO_::O,
                                                     &_CERTIFICATE_INFO_::OU};
    for (auto f : fields)
        if (!(ci->*f).empty() && !caseinsensecompare(this->*f, ci->*f)) return false;
    return true;
}

void split(const std::string& s, const std::string& delim, std::vector<std::string>& ret) {
    SplitInto(s, delim, ret);
}

void split(const std::string& s, const std::string& delim, certlist& ret) { SplitInto(s, delim, ret); }
