// Owning handles for the OpenSSL objects the tool creates, and the error type
// every failure of the tool travels in.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace softskf_tool {

// A failure the user can act on: main prints the message and exits non-zero.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws a ToolError naming what failed, followed by the newest OpenSSL error
// text when there is one (the queue is cleared either way).
[[noreturn]] void ThrowOpenSSL(const std::string& what);

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};

using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Name = std::unique_ptr<X509_NAME, Deleter<X509_NAME, X509_NAME_free>>;
using Ext = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Bn = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using Asn1Int = std::unique_ptr<ASN1_INTEGER, Deleter<ASN1_INTEGER, ASN1_INTEGER_free>>;

}  // namespace softskf_tool
