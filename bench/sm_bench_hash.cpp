// SM3 and SM4 throughput: the system's method objects (as the rest of the
// system reaches them, through the crypto library's EVP calls) against
// OpenSSL's own SM3/SM4 through the same calls, and Botan's.

#include "SM/sm3.h"
#include "SM/sm4.h"

#include <benchmark/benchmark.h>
#include <botan/block_cipher.h>
#include <botan/cipher_mode.h>
#include <botan/hash.h>
#include <openssl/evp.h>

#include <memory>
#include <vector>

namespace {

constexpr std::size_t k16KiB = 16 * 1024;

using Bytes = std::vector<unsigned char>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// OpenSSL's algorithms fetched once, as a careful OpenSSL 3 caller would,
// so the baseline does not pay a lookup per call.
const EVP_MD* opensslSm3()
{
    static const std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, "SM3", nullptr),
                                                                     &EVP_MD_free);
    return md.get();
}

const EVP_CIPHER* opensslSm4(bool cbc)
{
    static const std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> ecb(
        EVP_CIPHER_fetch(nullptr, "SM4-ECB", nullptr), &EVP_CIPHER_free);
    static const std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> cbcMode(
        EVP_CIPHER_fetch(nullptr, "SM4-CBC", nullptr), &EVP_CIPHER_free);
    return cbc ? cbcMode.get() : ecb.get();
}

void digestEvp(benchmark::State& state, const EVP_MD* md, std::size_t size)
{
    const Bytes msg(size, 0x5a);
    unsigned char out[32];
    MdCtx ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || md == nullptr) {
        state.SkipWithError("no digest context");
        return;
    }
    for (auto _ : state) {
        if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 || EVP_DigestUpdate(ctx.get(), msg.data(), size) != 1 ||
            EVP_DigestFinal_ex(ctx.get(), out, nullptr) != 1) {
            state.SkipWithError("digest failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void digestBotan(benchmark::State& state, std::size_t size)
{
    const Bytes msg(size, 0x5a);
    unsigned char out[32];
    const auto hash = Botan::HashFunction::create_or_throw("SM3");
    for (auto _ : state) {
        hash->update(msg.data(), size);
        hash->final(out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// Whole blocks through EVP_CipherUpdate with padding off; the chaining value
// simply runs on from one iteration to the next.
void cipherEvp(benchmark::State& state, const EVP_CIPHER* cipher, bool enc)
{
    const Bytes key(16, 0x11), iv(16, 0x22);
    const Bytes in(k16KiB, 0x33);
    Bytes out(k16KiB + 16);
    CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx || cipher == nullptr ||
        EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), enc ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
        state.SkipWithError("cipher set-up failed");
        return;
    }
    for (auto _ : state) {
        int n = 0;
        if (EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())) != 1) {
            state.SkipWithError("cipher failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * k16KiB));
}

void ecbBotan(benchmark::State& state, bool enc)
{
    const Bytes key(16, 0x11);
    const Bytes in(k16KiB, 0x33);
    Bytes out(k16KiB);
    const auto cipher = Botan::BlockCipher::create_or_throw("SM4");
    cipher->set_key(key.data(), key.size());
    for (auto _ : state) {
        if (enc) {
            cipher->encrypt_n(in.data(), out.data(), k16KiB / 16);
        } else {
            cipher->decrypt_n(in.data(), out.data(), k16KiB / 16);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * k16KiB));
}

void cbcBotan(benchmark::State& state, bool enc)
{
    const Bytes key(16, 0x11), iv(16, 0x22);
    Bytes buf(k16KiB, 0x33);
    const auto mode =
        Botan::Cipher_Mode::create_or_throw("SM4/CBC/NoPadding", enc ? Botan::ENCRYPTION : Botan::DECRYPTION);
    mode->set_key(key.data(), key.size());
    mode->start(iv.data(), iv.size());
    for (auto _ : state) {
        mode->process(buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * k16KiB));
}

template <class Fn>
void add(const char* name, Fn fn)
{
    // Medians of a few short runs keep a full program run near a minute and
    // damp the noise of a shared machine.
    benchmark::RegisterBenchmark(name, fn)->MinTime(0.3)->Repetitions(3)->ReportAggregatesOnly(true);
}

const bool registered = [] {
    add("SM3_64B/vaultline", [](benchmark::State& s) { digestEvp(s, sm::EVP_sm3(), 64); });
    add("SM3_64B/openssl", [](benchmark::State& s) { digestEvp(s, opensslSm3(), 64); });
    add("SM3_64B/botan", [](benchmark::State& s) { digestBotan(s, 64); });
    add("SM3_16KiB/vaultline", [](benchmark::State& s) { digestEvp(s, sm::EVP_sm3(), k16KiB); });
    add("SM3_16KiB/openssl", [](benchmark::State& s) { digestEvp(s, opensslSm3(), k16KiB); });
    add("SM3_16KiB/botan", [](benchmark::State& s) { digestBotan(s, k16KiB); });

    add("SM4_ECB_enc_16KiB/vaultline", [](benchmark::State& s) { cipherEvp(s, sm::EVP_sm4_ecb(), true); });
    add("SM4_ECB_enc_16KiB/openssl", [](benchmark::State& s) { cipherEvp(s, opensslSm4(false), true); });
    add("SM4_ECB_enc_16KiB/botan", [](benchmark::State& s) { ecbBotan(s, true); });
    add("SM4_ECB_dec_16KiB/vaultline", [](benchmark::State& s) { cipherEvp(s, sm::EVP_sm4_ecb(), false); });
    add("SM4_ECB_dec_16KiB/openssl", [](benchmark::State& s) { cipherEvp(s, opensslSm4(false), false); });
    add("SM4_ECB_dec_16KiB/botan", [](benchmark::State& s) { ecbBotan(s, false); });
    add("SM4_CBC_enc_16KiB/vaultline", [](benchmark::State& s) { cipherEvp(s, sm::EVP_sm4_cbc(), true); });
    add("SM4_CBC_enc_16KiB/openssl", [](benchmark::State& s) { cipherEvp(s, opensslSm4(true), true); });
    add("SM4_CBC_enc_16KiB/botan", [](benchmark::State& s) { cbcBotan(s, true); });
    add("SM4_CBC_dec_16KiB/vaultline", [](benchmark::State& s) { cipherEvp(s, sm::EVP_sm4_cbc(), false); });
    add("SM4_CBC_dec_16KiB/openssl", [](benchmark::State& s) { cipherEvp(s, opensslSm4(true), false); });
    add("SM4_CBC_dec_16KiB/botan", [](benchmark::State& s) { cbcBotan(s, false); });
    return true;
}();

}  // namespace
