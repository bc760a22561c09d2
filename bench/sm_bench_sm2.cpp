// SM2 signing and verification: the full operation on a 32-byte message with
// the identity "1234567812345678" (Z, e = SM3(Z || M), the signature
// arithmetic), ours against OpenSSL's and Botan's.

#include "SM/sm2.h"
#include "SM/sm2_internal.h"
#include "SM/sm3.h"

#include <benchmark/benchmark.h>
#include <botan/auto_rng.h>
#include <botan/ec_group.h>
#include <botan/pubkey.h>
#include <botan/sm2.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr char kId[] = "1234567812345678";
const Bytes kMsg(32, 0x5a);

struct EcKeyFree {
    void operator()(EC_KEY* k) const { EC_KEY_free(k); }
};
using EcKeyPtr = std::unique_ptr<EC_KEY, EcKeyFree>;

struct Sig {
    sm::EC_SM2_SIG s{BN_new(), BN_new()};
    ~Sig()
    {
        BN_free(s.r);
        BN_free(s.s);
    }
};

EcKeyPtr ourKey()
{
    EcKeyPtr key(EC_KEY_new_by_curve_name(NID_sm2));
    if (key && sm::EC_SM2_generate_key(key.get()) != 1) {
        key.reset();
    }
    return key;
}

// ---- vaultline ---------------------------------------------------------------

template <int (*Sign)(EC_KEY*, const char*, const unsigned char*, size_t, sm::EC_SM2_SIG*, const EVP_MD*)>
void signOurs(benchmark::State& state)
{
    EcKeyPtr key = ourKey();
    Sig sig;
    if (!key) {
        state.SkipWithError("no key");
        return;
    }
    for (auto _ : state) {
        if (Sign(key.get(), kId, kMsg.data(), kMsg.size(), &sig.s, sm::EVP_sm3()) != 1) {
            state.SkipWithError("sign failed");
            break;
        }
        benchmark::DoNotOptimize(sig.s.r);
    }
    state.SetItemsProcessed(state.iterations());
}

template <int (*Verify)(EC_KEY*, const char*, const unsigned char*, size_t, const sm::EC_SM2_SIG*, const EVP_MD*)>
void verifyOurs(benchmark::State& state)
{
    EcKeyPtr key = ourKey();
    Sig sig;
    if (!key || sm::EC_SM2_sign(key.get(), kId, kMsg.data(), kMsg.size(), &sig.s, sm::EVP_sm3()) != 1) {
        state.SkipWithError("no key or signature");
        return;
    }
    for (auto _ : state) {
        if (Verify(key.get(), kId, kMsg.data(), kMsg.size(), &sig.s, sm::EVP_sm3()) != 1) {
            state.SkipWithError("verify failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// ---- OpenSSL -----------------------------------------------------------------

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct MdFree {
    void operator()(EVP_MD* m) const { EVP_MD_free(m); }
};

const EVP_MD* opensslSm3()
{
    static const std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(nullptr, "SM3", nullptr));
    return md.get();
}

// A fresh EVP_MD_CTX per operation, the identity set on its key context.
std::unique_ptr<EVP_MD_CTX, MdCtxFree> opensslCtx(EVP_PKEY* key, bool sign)
{
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> m(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pc = nullptr;
    const int init = sign ? EVP_DigestSignInit(m.get(), &pc, opensslSm3(), nullptr, key)
                          : EVP_DigestVerifyInit(m.get(), &pc, opensslSm3(), nullptr, key);
    if (!m || init != 1 || EVP_PKEY_CTX_set1_id(pc, kId, sizeof kId - 1) != 1) {
        m.reset();
    }
    return m;
}

void signOpenssl(benchmark::State& state)
{
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    unsigned char der[80];
    for (auto _ : state) {
        auto m = opensslCtx(key.get(), true);
        size_t len = sizeof der;
        if (!m || EVP_DigestSign(m.get(), der, &len, kMsg.data(), kMsg.size()) != 1) {
            state.SkipWithError("sign failed");
            break;
        }
        benchmark::DoNotOptimize(der);
    }
    state.SetItemsProcessed(state.iterations());
}

void verifyOpenssl(benchmark::State& state)
{
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    unsigned char der[80];
    size_t len = sizeof der;
    auto s = opensslCtx(key.get(), true);
    if (!s || EVP_DigestSign(s.get(), der, &len, kMsg.data(), kMsg.size()) != 1) {
        state.SkipWithError("no signature");
        return;
    }
    for (auto _ : state) {
        auto m = opensslCtx(key.get(), false);
        if (!m || EVP_DigestVerify(m.get(), der, len, kMsg.data(), kMsg.size()) != 1) {
            state.SkipWithError("verify failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// ---- Botan -------------------------------------------------------------------

const char kBotanPadding[] = "1234567812345678,SM3";

void signBotan(benchmark::State& state)
{
    Botan::AutoSeeded_RNG rng;
    const Botan::SM2_PrivateKey key(rng, Botan::EC_Group("sm2p256v1"));
    Botan::PK_Signer signer(key, rng, kBotanPadding);
    for (auto _ : state) {
        const auto sig = signer.sign_message(kMsg.data(), kMsg.size(), rng);
        benchmark::DoNotOptimize(sig.data());
    }
    state.SetItemsProcessed(state.iterations());
}

void verifyBotan(benchmark::State& state)
{
    Botan::AutoSeeded_RNG rng;
    const Botan::SM2_PrivateKey key(rng, Botan::EC_Group("sm2p256v1"));
    Botan::PK_Signer signer(key, rng, kBotanPadding);
    const auto sig = signer.sign_message(kMsg.data(), kMsg.size(), rng);
    Botan::PK_Verifier verifier(key, kBotanPadding);
    for (auto _ : state) {
        if (!verifier.verify_message(kMsg.data(), kMsg.size(), sig.data(), sig.size())) {
            state.SkipWithError("verify failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(signOurs<sm::EC_SM2_sign>)->Name("SM2_sign/vaultline");
BENCHMARK(signOpenssl)->Name("SM2_sign/openssl");
BENCHMARK(signBotan)->Name("SM2_sign/botan");
BENCHMARK(signOurs<sm::ref::EC_SM2_sign>)->Name("SM2_sign/vaultline_reference");
BENCHMARK(verifyOurs<sm::EC_SM2_verify>)->Name("SM2_verify/vaultline");
BENCHMARK(verifyOpenssl)->Name("SM2_verify/openssl");
BENCHMARK(verifyBotan)->Name("SM2_verify/botan");
BENCHMARK(verifyOurs<sm::ref::EC_SM2_verify>)->Name("SM2_verify/vaultline_reference");

}  // namespace
