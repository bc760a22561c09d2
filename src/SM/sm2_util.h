#pragma once
// Owning handles for the crypto library's objects used by the SM2 units, so
// that no return path leaks.

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>

namespace sm {
namespace detail {

template <class T, void (*Free)(T*)>
struct LibFree {
    void operator()(T* p) const { Free(p); }
};

using BnPtr = std::unique_ptr<BIGNUM, LibFree<BIGNUM, BN_free>>;
// For numbers derived from secrets (k, d and what is computed from them).
using SecretBnPtr = std::unique_ptr<BIGNUM, LibFree<BIGNUM, BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, LibFree<BN_CTX, BN_CTX_free>>;
using PointPtr = std::unique_ptr<EC_POINT, LibFree<EC_POINT, EC_POINT_free>>;
using SecretPointPtr = std::unique_ptr<EC_POINT, LibFree<EC_POINT, EC_POINT_clear_free>>;
using EcKeyPtr = std::unique_ptr<EC_KEY, LibFree<EC_KEY, EC_KEY_free>>;
using GroupPtr = std::unique_ptr<EC_GROUP, LibFree<EC_GROUP, EC_GROUP_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, LibFree<EVP_MD_CTX, EVP_MD_CTX_free>>;

}  // namespace detail
}  // namespace sm
