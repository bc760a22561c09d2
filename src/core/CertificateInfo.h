#pragma once
// Certificate summary and certificate query in one record.

#include <string>

struct _CERTIFICATE_INFO_ {
    std::string subject;
    std::string sn;  // serial number, upper-case hexadecimal
    std::string CN;
    std::string C;
    std::string E;
    std::string O;
    std::string OU;
    std::string PUB;  // the certificate in Base64
    int nKeys = 2;

    // Whether this summary satisfies the query ci: every non-empty query
    // field must equal ours ignoring ASCII case (the serial number also
    // ignoring leading zeros). A null query matches nothing.
    bool match(const _CERTIFICATE_INFO_* ci) const;
};
typedef _CERTIFICATE_INFO_ certificate_info_t;
