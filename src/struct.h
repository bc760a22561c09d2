#pragma once
// Records shared by the provider and token layers: request parameters, the
// hash selector and the signature form. Data only.

#include "core/CertificateInfo.h"

#include <list>
#include <string>
#include <vector>

// Fixed underlying type: the value comes from a page and may be any int.
enum hash_algo_t : int {
    HASH_NULL = 0,
    HASH_MD2 = 1,
    HASH_MD4 = 2,
    HASH_MD5 = 3,
    HASH_SHA1 = 4,
    HASH_SHA1RSA = 5,
    HASH_SM3 = 6,
    HASH_SHA256 = 7,
};

enum sig_type_t {
    SIG_ATTACH = 0,  // PKCS#7 signed data carrying the content
    SIG_DETACH = 1,  // PKCS#7 signed data without the content
    SIG_RAW = 2,     // the bare signature
};

// Certificate request parameters. Only the strings are initialised by the
// constructor; the request handler fills the numbers it uses.
struct csr_t {
    std::string keyLabel;
    bool bExportable;
    int keySize;
    int keySerial;
    int notAfter;
    std::string CN;
    std::string O;
    std::string OU;
    std::string C;
    std::string E;
    std::string ST;
    std::string L;
    hash_algo_t hash;
};

// Display names of a provider's listed certificates.
typedef std::list<std::string> certlist;

// Base64 DER of each certificate of the most recent enumeration of any
// provider, in list order; shared by the whole process.
extern std::vector<std::string> my_publist;

// Splits s at every character of delim; empty pieces are kept and the rest
// after the last delimiter is always appended (n delimiters: n + 1 pieces).
void split(const std::string& s, const std::string& delim, std::vector<std::string>& ret);
void split(const std::string& s, const std::string& delim, certlist& ret);
