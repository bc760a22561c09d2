#include "SM/sm4.h"
#include "SM/sm_oid.h"
#include "hash_test_util.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <optional>

namespace {

using hashtest::Bytes;
using hashtest::fromHex;
using hashtest::randomBytes;
using hashtest::toHex;

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// GB/T 32907-2016 Appendix A, example 1.
const char* const kExampleKey = "0123456789abcdeffedcba9876543210";
const char* const kExamplePlain = "0123456789abcdeffedcba9876543210";
const char* const kExampleCipher = "681edf34d206965e86b3e94f536e4246";
const sm::UINT32 kExampleRoundKeys[32] = {
    0xf12186f9, 0x41662b61, 0x5a6ab19a, 0x7ba92077, 0x367360f4, 0x776a0c61, 0xb6bb89b3, 0x24763151,
    0xa520307c, 0xb7584dbd, 0xc30753ed, 0x7ee55b57, 0x6988608c, 0x30d895b7, 0x44ba14af, 0x104495a1,
    0xd120b428, 0x73b55fa3, 0xcc874966, 0x92244439, 0xe89e641f, 0x98ca015a, 0xc7159060, 0x99e1fd2e,
    0xb79bd80c, 0x1d2115b0, 0x0e228aeb, 0xf1780c81, 0x428d3654, 0x62293496, 0x01cf72e5, 0x9124a012,
};

sm::SM4_KEY schedule(const Bytes& key)
{
    sm::SM4_KEY k{};
    sm::SM4InitKey(key.data(), &k);
    return k;
}

sm::SM4_KEY scheduleRef(const Bytes& key)
{
    sm::UINT32 mk[4];
    for (int i = 0; i < 4; ++i) {
        mk[i] = (sm::UINT32{key[4 * i]} << 24) | (sm::UINT32{key[4 * i + 1]} << 16) |
                (sm::UINT32{key[4 * i + 2]} << 8) | key[4 * i + 3];
    }
    sm::SM4_KEY k{};
    sm::ref::SMS4ExternKey(mk, &k);
    return k;
}

const char* pathName(sm::sm4impl::Path p)
{
    switch (p) {
    case sm::sm4impl::Path::Table:
        return "table";
    case sm::sm4impl::Path::Avx2Gfni:
        return "avx2+gfni";
    case sm::sm4impl::Path::Avx512Gfni:
        return "avx512+gfni";
    }
    return "?";
}

const sm::sm4impl::Path kPaths[] = {sm::sm4impl::Path::Table, sm::sm4impl::Path::Avx2Gfni,
                                    sm::sm4impl::Path::Avx512Gfni};

TEST(Sm4, StandardExample)
{
    const Bytes key = fromHex(kExampleKey);
    const Bytes plain = fromHex(kExamplePlain);
    for (const auto& k : {schedule(key), scheduleRef(key)}) {
        for (int i = 0; i < 32; ++i) {
            EXPECT_EQ(k.RK_ADDR[i], kExampleRoundKeys[i]) << "rk" << i;
        }
    }
    const sm::SM4_KEY k = schedule(key);
    Bytes out(16);
    sm::ref::SM4EncryptBlock(plain.data(), out.data(), &k);
    EXPECT_EQ(toHex(out), kExampleCipher) << "reference";
    sm::SM4EncryptBlock(plain.data(), out.data(), &k);
    EXPECT_EQ(toHex(out), kExampleCipher) << "table";
    for (const auto p : kPaths) {
        if (sm::sm4impl::available(p)) {
            std::fill(out.begin(), out.end(), 0);
            sm::sm4impl::crypt_blocks(p, k.RK_ADDR, plain.data(), out.data(), 1);
            EXPECT_EQ(toHex(out), kExampleCipher) << pathName(p);
        }
    }
    Bytes back(16);
    sm::ref::SM4DecryptBlock(fromHex(kExampleCipher).data(), back.data(), &k);
    EXPECT_EQ(back, plain) << "reference";
    sm::SM4DecryptBlock(fromHex(kExampleCipher).data(), back.data(), &k);
    EXPECT_EQ(back, plain) << "table";
}

// GB/T 32907-2016 Appendix A, example 2: the example plaintext encrypted
// 1,000,000 times under the example key.
TEST(Sm4Long, MillionFoldReencryption)
{
    const sm::SM4_KEY k = schedule(fromHex(kExampleKey));
    Bytes block = fromHex(kExamplePlain);
    for (int i = 0; i < 1000000; ++i) {
        sm::SM4EncryptBlock(block.data(), block.data(), &k);
    }
    EXPECT_EQ(toHex(block), "595298c7c6fd271f0402f804c33d3f66");
}

// Every multi-block path against the reference, both directions, block
// counts around the SIMD widths (8 and 16), out-of-place and in place.
TEST(Sm4, EveryPathMatchesTheReference)
{
    std::mt19937 rng(32907);
    for (const auto p : kPaths) {
        if (!sm::sm4impl::available(p)) {
            std::printf("SM4 path %s not available on this CPU\n", pathName(p));
            continue;
        }
        for (std::size_t blocks = 0; blocks <= 50; ++blocks) {
            const sm::SM4_KEY k = scheduleRef(randomBytes(rng, 16));
            sm::SM4_KEY reversed;
            for (int i = 0; i < 32; ++i) {
                reversed.RK_ADDR[i] = k.RK_ADDR[31 - i];
            }
            const Bytes in = randomBytes(rng, 16 * blocks);
            Bytes expectEnc(in.size()), expectDec(in.size());
            for (std::size_t b = 0; b < blocks; ++b) {
                sm::ref::SM4EncryptBlock(in.data() + 16 * b, expectEnc.data() + 16 * b, &k);
                sm::ref::SM4DecryptBlock(in.data() + 16 * b, expectDec.data() + 16 * b, &k);
            }
            Bytes out(in.size() + 16, 0xa5);  // one guard block behind
            sm::sm4impl::crypt_blocks(p, k.RK_ADDR, in.data(), out.data(), blocks);
            EXPECT_EQ(toHex(Bytes(out.begin(), out.begin() + in.size())), toHex(expectEnc)) << pathName(p) << ", " << blocks;
            EXPECT_EQ(Bytes(out.end() - 16, out.end()), Bytes(16, 0xa5)) << pathName(p) << " wrote past the end";
            Bytes inPlace = in;
            sm::sm4impl::crypt_blocks(p, reversed.RK_ADDR, inPlace.data(), inPlace.data(), blocks);
            EXPECT_EQ(toHex(inPlace), toHex(expectDec)) << pathName(p) << ", in place, " << blocks;
        }
    }
}

TEST(Sm4, MultiBlockAndCbcHelpersMatchTheReference)
{
    std::mt19937 rng(7);
    for (const std::size_t blocks : {0u, 1u, 3u, 4u, 17u, 33u, 64u, 65u, 100u}) {
        const sm::SM4_KEY k = schedule(randomBytes(rng, 16));
        const Bytes in = randomBytes(rng, 16 * blocks);
        const Bytes iv = randomBytes(rng, 16);
        Bytes ecbDec(in.size()), cbcDec(in.size());
        Bytes chain = iv;
        for (std::size_t b = 0; b < blocks; ++b) {
            sm::ref::SM4DecryptBlock(in.data() + 16 * b, ecbDec.data() + 16 * b, &k);
            for (int i = 0; i < 16; ++i) {
                cbcDec[16 * b + i] = ecbDec[16 * b + i] ^ chain[i];
            }
            chain.assign(in.begin() + 16 * b, in.begin() + 16 * b + 16);
        }
        Bytes out = in;
        sm::SM4DecryptBlocks(out.data(), out.data(), blocks, &k);
        EXPECT_EQ(out, ecbDec) << blocks;
        sm::SM4EncryptBlocks(out.data(), out.data(), blocks, &k);
        EXPECT_EQ(out, in) << blocks;
        // In place, as the generic layer may call it.
        Bytes ivOut = iv;
        sm::SM4CbcDecryptBlocks(out.data(), out.data(), blocks, &k, ivOut.data());
        EXPECT_EQ(out, cbcDec) << blocks;
        EXPECT_EQ(ivOut, chain) << blocks;
    }
}

TEST(Sm4, ByteHelpers)
{
    Bytes a = fromHex("00112233445566778899aabbccddeeff");
    sm::SM4Xor(a.data(), fromHex("ffffffff00000000f0f0f0f00f0f0f0f").data());
    EXPECT_EQ(toHex(a), "ffeeddcc4455667778695a4bc3d2e1f0");

    const struct {
        sm::UINT8 len;
        std::size_t changed;  // bytes rearranged from the start
    } cases[] = {{0, 0}, {3, 0}, {4, 4}, {7, 4}, {16, 16}, {255, 252}};
    for (const auto& c : cases) {
        Bytes buf(256);
        for (std::size_t i = 0; i < buf.size(); ++i) {
            buf[i] = static_cast<unsigned char>(i);
        }
        sm::ChangeEndian(buf.data(), c.len);
        for (std::size_t i = 0; i < buf.size(); ++i) {
            const std::size_t expect = i < c.changed ? (i & ~std::size_t{3}) + 3 - (i & 3) : i;
            ASSERT_EQ(buf[i], expect) << "nLen " << int(c.len) << ", byte " << i;
        }
    }
}

struct Mode {
    const char* name;
    const EVP_CIPHER* (*ours)();
    const EVP_CIPHER* (*theirs)();
    int mode;
    int ivLength;
    int (*fn)(EVP_CIPHER_CTX*, unsigned char*, const unsigned char*, std::size_t);
};

const Mode kModes[] = {
    {"ECB", sm::EVP_sm4_ecb, ::EVP_sm4_ecb, EVP_CIPH_ECB_MODE, 0, sm::sm4_ecb_cipher},
    {"CBC", sm::EVP_sm4_cbc, ::EVP_sm4_cbc, EVP_CIPH_CBC_MODE, 16, sm::sm4_cbc_cipher},
    {"CFB", sm::EVP_sm4_cfb, ::EVP_sm4_cfb128, EVP_CIPH_CFB_MODE, 16, sm::sm4_cfb_cipher},
    {"OFB", sm::EVP_sm4_ofb, ::EVP_sm4_ofb, EVP_CIPH_OFB_MODE, 16, sm::sm4_ofb_cipher},
};

// One pass through the generic layer; the input goes in two updates split
// at `split` so that chaining state has to survive between calls.
std::optional<Bytes> run(const EVP_CIPHER* c, bool enc, const Bytes& key, const Bytes& iv, const Bytes& in,
                         bool padding, std::size_t split, bool inPlace = false)
{
    CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx || EVP_CipherInit_ex(ctx.get(), c, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), enc) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), padding ? 1 : 0) != 1) {
        return std::nullopt;
    }
    Bytes out(in.size() + 32);
    if (inPlace) {
        std::copy(in.begin(), in.end(), out.begin());
    }
    const unsigned char* src = inPlace ? out.data() : in.data();
    int n1 = 0, n2 = 0, n3 = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &n1, src, static_cast<int>(split)) != 1 ||
        EVP_CipherUpdate(ctx.get(), out.data() + n1, &n2, src + split, static_cast<int>(in.size() - split)) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + n1 + n2, &n3) != 1) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(n1 + n2 + n3));
    return out;
}

TEST(Sm4Method, DescribesEachMode)
{
    const int nid = EVP_CIPHER_get_nid(sm::EVP_sm4_ecb());
    EXPECT_EQ(sm::translateinternalnid(nid), sm::NID_internal_sm4);
    for (const auto& m : kModes) {
        const EVP_CIPHER* c = m.ours();
        ASSERT_NE(c, nullptr) << m.name;
        EXPECT_EQ(c, m.ours()) << m.name;
        EXPECT_NE(static_cast<const void*>(c), static_cast<const void*>(m.theirs())) << m.name;
        EXPECT_EQ(EVP_CIPHER_get_nid(c), nid) << m.name;
        EXPECT_EQ(EVP_CIPHER_get_block_size(c), 16) << m.name;
        EXPECT_EQ(EVP_CIPHER_get_key_length(c), 16) << m.name;
        EXPECT_EQ(EVP_CIPHER_get_iv_length(c), m.ivLength) << m.name;
        EXPECT_EQ(EVP_CIPHER_get_mode(c), m.mode) << m.name;
    }
}

TEST(Sm4Method, WholeBlocksMatchOpenSsl)
{
    std::mt19937 rng(104);
    for (const auto& m : kModes) {
        for (int trial = 0; trial < 60; ++trial) {
            const Bytes key = randomBytes(rng, 16);
            const Bytes iv = m.ivLength ? randomBytes(rng, 16) : Bytes();
            const std::size_t blocks = trial < 40 ? static_cast<std::size_t>(trial) : rng() % 300;
            const Bytes plain = randomBytes(rng, 16 * blocks);
            const std::size_t split = 16 * (blocks ? rng() % (blocks + 1) : 0);
            const auto expect = run(m.theirs(), true, key, iv, plain, false, plain.size());
            const auto ours = run(m.ours(), true, key, iv, plain, false, split);
            ASSERT_TRUE(expect && ours) << m.name;
            ASSERT_EQ(*ours, *expect) << m.name << ", " << blocks << " blocks split at " << split;
            const auto back = run(m.ours(), false, key, iv, *ours, false, split);
            ASSERT_TRUE(back) << m.name;
            ASSERT_EQ(*back, plain) << m.name << ", " << blocks << " blocks";
            const auto backInPlace = run(m.ours(), false, key, iv, *ours, false, plain.size(), true);
            ASSERT_TRUE(backInPlace) << m.name;
            ASSERT_EQ(*backInPlace, plain) << m.name << " in place, " << blocks << " blocks";
        }
    }
}

// With padding on, the generic layer pads every mode as a block cipher,
// CFB and OFB included (OpenSSL's own CFB and OFB are stream modes and do
// not pad, so only ECB and CBC can be compared with it).
TEST(Sm4Method, PaddedRoundTrip)
{
    std::mt19937 rng(1);
    for (const auto& m : kModes) {
        const bool comparable = m.mode == EVP_CIPH_ECB_MODE || m.mode == EVP_CIPH_CBC_MODE;
        for (std::size_t len = 0; len <= 40; ++len) {
            const Bytes key = randomBytes(rng, 16);
            const Bytes iv = m.ivLength ? randomBytes(rng, 16) : Bytes();
            const Bytes plain = randomBytes(rng, len);
            const auto enc = run(m.ours(), true, key, iv, plain, true, len / 2);
            ASSERT_TRUE(enc) << m.name;
            EXPECT_EQ(enc->size(), (len / 16 + 1) * 16) << m.name << ", " << len;
            if (comparable) {
                const auto theirs = run(m.theirs(), true, key, iv, plain, true, len);
                ASSERT_TRUE(theirs) << m.name;
                EXPECT_EQ(toHex(*enc), toHex(*theirs)) << m.name << ", " << len;
            }
            const auto back = run(m.ours(), false, key, iv, *enc, true, enc->size() / 2);
            ASSERT_TRUE(back) << m.name;
            EXPECT_EQ(*back, plain) << m.name << ", " << len;
        }
    }
}

TEST(Sm4Method, PartialBlockWithoutPaddingFails)
{
    const Bytes key(16, 1), iv(16, 2);
    for (const auto& m : kModes) {
        ERR_clear_error();
        EXPECT_FALSE(run(m.ours(), true, key, m.ivLength ? iv : Bytes(), Bytes(20, 3), false, 20)) << m.name;
        EXPECT_NE(ERR_peek_error(), 0u) << m.name << ": the library says why";
    }
    // Other tests in this program expect a clean error queue.
    ERR_clear_error();
}

// The mode functions process whole blocks only: given 20 bytes they write 16
// and leave the rest of the output alone.
TEST(Sm4Method, TrailingPartialBlockUntouched)
{
    std::mt19937 rng(20);
    const Bytes key = randomBytes(rng, 16);
    const Bytes iv = randomBytes(rng, 16);
    const Bytes in = randomBytes(rng, 20);
    for (const auto& m : kModes) {
        CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
        ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), m.ours(), nullptr, key.data(), m.ivLength ? iv.data() : nullptr), 1);
        Bytes out(20, 0xee);
        EXPECT_EQ(m.fn(ctx.get(), out.data(), in.data(), in.size()), 1) << m.name;
        EXPECT_EQ(Bytes(out.begin() + 16, out.end()), Bytes(4, 0xee)) << m.name;
        const auto first = run(m.theirs(), true, key, m.ivLength ? iv : Bytes(), Bytes(in.begin(), in.begin() + 16),
                               false, 16);
        ASSERT_TRUE(first);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 16), *first) << m.name;
    }
}

}  // namespace
