// Encryption key pairs imported wrapped under the signing key, built here with
// OpenSSL the way a certification authority would, then used to sign.
#include "skf_fixture.h"

#include <openssl/rand.h>

namespace softskf::testing {
namespace {

using ImportTest = SkfTest;

Bytes Sm4Ecb(const Bytes& key, const Bytes& data, bool pad) {
    ossl::CipherCtx ctx(EVP_CIPHER_CTX_new());
    Bytes out(data.size() + 16);
    int n = 0, fin = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, key.data(), nullptr), 1);
    EVP_CIPHER_CTX_set_padding(ctx.get(), pad ? 1 : 0);
    EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size())), 1);
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &fin), 1);
    out.resize(static_cast<std::size_t>(n + fin));
    return out;
}

Bytes RandomKey() {
    Bytes k(16);
    EXPECT_EQ(RAND_bytes(k.data(), 16), 1);
    return k;
}

Bytes BnParam(EVP_PKEY* key, const char* name, std::size_t width) {
    BIGNUM* bn = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &bn), 1);
    Bytes out(width);
    EXPECT_EQ(BN_bn2binpad(bn, out.data(), static_cast<int>(width)), static_cast<int>(width));
    BN_free(bn);
    return out;
}

// SM2 cipher text of `plain` under pub, split into C1 (x, y), C3 and C2.
struct Sm2Cipher {
    Bytes x, y, hash, cipher;
};

Sm2Cipher Sm2Encrypt(EVP_PKEY* pub, const Bytes& plain) {
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr));
    size_t len = 0;
    EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
    EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), nullptr, &len, plain.data(), plain.size()), 1);
    Bytes der(len);
    EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), der.data(), &len, plain.data(), plain.size()), 1);
    const unsigned char* p = der.data();
    STACK_OF(ASN1_TYPE)* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(len));
    Sm2Cipher out;
    if (seq == nullptr || sk_ASN1_TYPE_num(seq) != 4) {
        ADD_FAILURE() << "unexpected SM2 cipher text";
        sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
        return out;
    }
    for (int i = 0; i < 2; ++i) {
        BIGNUM* bn = ASN1_INTEGER_to_BN(sk_ASN1_TYPE_value(seq, i)->value.integer, nullptr);
        Bytes v(32);
        BN_bn2binpad(bn, v.data(), 32);
        BN_free(bn);
        (i == 0 ? out.x : out.y) = v;
    }
    const ASN1_OCTET_STRING* h = sk_ASN1_TYPE_value(seq, 2)->value.octet_string;
    const ASN1_OCTET_STRING* c = sk_ASN1_TYPE_value(seq, 3)->value.octet_string;
    out.hash.assign(h->data, h->data + h->length);
    out.cipher.assign(c->data, c->data + c->length);
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    return out;
}

// The envelope as the service lays it out: 32-byte values in the first half
// of their fields. `field64` encrypts a 64-byte field holding the key in its
// last 32 bytes instead of the bare 32-byte key.
std::vector<std::uint8_t> Envelope(EVP_PKEY* signPub, EVP_PKEY* encKey, bool field64) {
    const Bytes sm4 = RandomKey();
    const Sm2Cipher wrapped = Sm2Encrypt(signPub, sm4);
    Bytes d = BnParam(encKey, OSSL_PKEY_PARAM_PRIV_KEY, 32);
    if (field64) {
        d.insert(d.begin(), 32, 0);
    }
    const Bytes encrypted = Sm4Ecb(sm4, d, false);
    const Bytes point = PointOf(encKey);

    std::vector<std::uint8_t> buf(sizeof(ENVELOPEDKEYBLOB) + wrapped.cipher.size());
    auto* blob = reinterpret_cast<ENVELOPEDKEYBLOB*>(buf.data());
    blob->Version = 1;
    blob->ulSymmAlgID = SGD_SM4_ECB;
    blob->ulBits = 256;
    std::memcpy(blob->cbEncryptedPriKey, encrypted.data(), encrypted.size());
    blob->PubKey.BitLen = 256;
    std::memcpy(blob->PubKey.XCoordinate, point.data() + 1, 32);
    std::memcpy(blob->PubKey.YCoordinate, point.data() + 33, 32);
    std::memcpy(blob->ECCCipherBlob.XCoordinate, wrapped.x.data(), 32);
    std::memcpy(blob->ECCCipherBlob.YCoordinate, wrapped.y.data(), 32);
    std::memcpy(blob->ECCCipherBlob.HASH, wrapped.hash.data(), 32);
    blob->ECCCipherBlob.CipherLen = static_cast<ULONG>(wrapped.cipher.size());
    std::memcpy(blob->ECCCipherBlob.Cipher, wrapped.cipher.data(), wrapped.cipher.size());
    return buf;
}

// The RSAPRIVATEKEYBLOB of key, parts right-aligned in their fields.
Bytes RsaPrivateBlob(EVP_PKEY* key) {
    RSAPRIVATEKEYBLOB blob{};
    blob.AlgID = SGD_RSA;
    blob.BitLen = static_cast<ULONG>(EVP_PKEY_get_bits(key));
    const std::size_t n = blob.BitLen / 8;
    const std::size_t half = n / 2;
    auto put = [&](BYTE* field, std::size_t width, const char* name, std::size_t len) {
        const Bytes v = BnParam(key, name, len);
        std::memcpy(field + width - len, v.data(), len);
    };
    put(blob.Modulus, 256, OSSL_PKEY_PARAM_RSA_N, n);
    put(blob.PublicExponent, 4, OSSL_PKEY_PARAM_RSA_E, 4);
    put(blob.PrivateExponent, 256, OSSL_PKEY_PARAM_RSA_D, n);
    put(blob.Prime1, 128, OSSL_PKEY_PARAM_RSA_FACTOR1, half);
    put(blob.Prime2, 128, OSSL_PKEY_PARAM_RSA_FACTOR2, half);
    put(blob.Prime1Exponent, 128, OSSL_PKEY_PARAM_RSA_EXPONENT1, half);
    put(blob.Prime2Exponent, 128, OSSL_PKEY_PARAM_RSA_EXPONENT2, half);
    put(blob.Coefficient, 128, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, half);
    const auto* p = reinterpret_cast<const std::uint8_t*>(&blob);
    return Bytes(p, p + sizeof blob);
}

Bytes RsaWrap(EVP_PKEY* pub, const Bytes& key) {
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr));
    size_t len = 0;
    EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), 1);
    EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), nullptr, &len, key.data(), key.size()), 1);
    Bytes out(len);
    EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), out.data(), &len, key.data(), key.size()), 1);
    out.resize(len);
    return out;
}

// Signs through the encryption key pair (bSign false) and checks it with its public key.
void ExpectEncryptionKeySignsSm2(SkfLib& skf, DEVHANDLE dev, HCONTAINER cont, EVP_PKEY* encPub) {
    ECCPUBLICKEYBLOB pub{};
    ULONG len = sizeof pub;
    ASSERT_EQ(skf.SKF_ExportPublicKey(cont, FALSE, reinterpret_cast<BYTE*>(&pub), &len), SAR_OK);
    HANDLE hash = nullptr;
    unsigned char id[] = "1234567812345678";
    ASSERT_EQ(skf.SKF_DigestInit(dev, SGD_SM3, &pub, id, 16, &hash), SAR_OK);
    const Bytes msg = FromText("signed with the encryption key pair");
    BYTE e[32];
    ULONG el = sizeof e;
    ASSERT_EQ(skf.SKF_Digest(hash, const_cast<BYTE*>(msg.data()), static_cast<ULONG>(msg.size()), e, &el), SAR_OK);
    ECCSIGNATUREBLOB sig{};
    ASSERT_EQ(skf.SKF_ECCSignHash(cont, FALSE, hash, &sig), SAR_OK);
    EXPECT_TRUE(VerifySm2Data(encPub, sig, msg));
    skf.SKF_CloseHandle(hash);
}

TEST_F(ImportTest, EccEnvelopeLadderThenUsable) {
    Session s = Sm2Session();
    ossl::Pkey signPub = StoredPublicKey("sm2", KeyUsage::Sign);
    ossl::Pkey enc(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    auto good = Envelope(signPub.get(), enc.get(), false);
    auto* blob = reinterpret_cast<ENVELOPEDKEYBLOB*>(good.data());

    // Each way the envelope can be wrong, applied to a copy of a good one.
    ossl::Pkey stranger(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    const struct {
        const char* what;
        void (*spoil)(ENVELOPEDKEYBLOB&);
        ULONG status;
    } spoiled[] = {
        {"SM1 named", [](ENVELOPEDKEYBLOB& b) { b.ulSymmAlgID = SGD_SM1_ECB; }, SAR_NOTSUPPORTYETERR},
        {"bits", [](ENVELOPEDKEYBLOB& b) { b.ulBits = 512; }, SAR_INVALIDPARAMERR},
        {"cipher length", [](ENVELOPEDKEYBLOB& b) { b.ECCCipherBlob.CipherLen = 0; }, SAR_INDATALENERR},
        {"C3 tampered", [](ENVELOPEDKEYBLOB& b) { b.ECCCipherBlob.HASH[0] ^= 1; }, SAR_INDATAERR},
        {"key tampered", [](ENVELOPEDKEYBLOB& b) { b.cbEncryptedPriKey[3] ^= 1; }, SAR_INDATAERR},
        {"other public key", [](ENVELOPEDKEYBLOB& b) { b.PubKey.XCoordinate[5] ^= 1; }, SAR_INDATAERR},
    };
    for (const auto& c : spoiled) {
        SCOPED_TRACE(c.what);
        auto copy = good;
        c.spoil(*reinterpret_cast<ENVELOPEDKEYBLOB*>(copy.data()));
        EXPECT_EQ(skf.SKF_ImportECCKeyPair(s.cont, reinterpret_cast<PENVELOPEDKEYBLOB>(copy.data())), c.status);
    }
    EXPECT_EQ(skf.SKF_ImportECCKeyPair(s.cont, nullptr), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_ImportECCKeyPair(s.app, blob), static_cast<ULONG>(SAR_INVALIDHANDLEERR));
    // Wrapped for another container's signing key: cannot be unwrapped here.
    auto forStranger = Envelope(stranger.get(), enc.get(), false);
    EXPECT_EQ(skf.SKF_ImportECCKeyPair(s.cont, reinterpret_cast<PENVELOPEDKEYBLOB>(forStranger.data())),
              static_cast<ULONG>(SAR_INDATAERR));
    // Not logged in on the handle the container came from.
    HAPPLICATION app2 = OpenApp(s.dev);
    HCONTAINER cont2 = nullptr;
    ASSERT_EQ(skf.SKF_OpenContainer(app2, Str("sm2"), &cont2), SAR_OK);
    EXPECT_EQ(skf.SKF_ImportECCKeyPair(cont2, blob), static_cast<ULONG>(SAR_USER_NOT_LOGGED_IN));
    // No signing key to unwrap with.
    HCONTAINER empty = NewContainer(s.app, "empty");
    EXPECT_EQ(skf.SKF_ImportECCKeyPair(empty, blob), static_cast<ULONG>(SAR_KEYNOTFOUNTERR));
    ULONG len = 0;
    EXPECT_EQ(skf.SKF_ExportPublicKey(s.cont, FALSE, nullptr, &len), static_cast<ULONG>(SAR_KEYNOTFOUNTERR))
        << "no refused import left a key behind";

    ASSERT_EQ(skf.SKF_ImportECCKeyPair(s.cont, blob), SAR_OK);
    ossl::Pkey encPub = StoredPublicKey("sm2", KeyUsage::Encrypt);
    EXPECT_EQ(PointOf(encPub.get()), PointOf(enc.get()));
    ExpectEncryptionKeySignsSm2(skf, s.dev, s.cont, enc.get());

    // Then the encryption certificate, as the service imports it afterwards.
    const Bytes cert = MakeCertificate(enc.get(), stranger.get());
    EXPECT_EQ(skf.SKF_ImportCertificate(s.cont, FALSE, const_cast<BYTE*>(cert.data()), static_cast<ULONG>(cert.size())),
              SAR_OK);
    skf.SKF_DisConnectDev(s.dev);
}

TEST_F(ImportTest, EccEnvelopeWith64ByteKeyFieldAndRightAlignedValues) {
    Session s = Sm2Session();
    ossl::Pkey signPub = StoredPublicKey("sm2", KeyUsage::Sign);
    ossl::Pkey enc(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    auto buf = Envelope(signPub.get(), enc.get(), true);
    auto* blob = reinterpret_cast<ENVELOPEDKEYBLOB*>(buf.data());
    // Move every 32-byte value to the second half of its field.
    for (BYTE* field : {blob->PubKey.XCoordinate, blob->PubKey.YCoordinate, blob->ECCCipherBlob.XCoordinate,
                        blob->ECCCipherBlob.YCoordinate}) {
        std::memmove(field + 32, field, 32);
        std::memset(field, 0, 32);
    }
    ASSERT_EQ(skf.SKF_ImportECCKeyPair(s.cont, blob), SAR_OK);
    ExpectEncryptionKeySignsSm2(skf, s.dev, s.cont, enc.get());
    skf.SKF_DisConnectDev(s.dev);
}

TEST_F(ImportTest, RsaKeyPairLadderThenUsable) {
    Session s = RsaSession();
    ossl::Pkey signPub = StoredPublicKey("rsa", KeyUsage::Sign);
    ossl::Pkey enc(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024)));
    const Bytes sm4 = RandomKey();
    Bytes wrapped = RsaWrap(signPub.get(), sm4);
    const Bytes plain = RsaPrivateBlob(enc.get());
    Bytes padded = Sm4Ecb(sm4, plain, true);
    ASSERT_EQ(padded.size(), 1168u);
    const ULONG wl = static_cast<ULONG>(wrapped.size());

    EXPECT_EQ(skf.SKF_ImportRSAKeyPair(s.cont, SGD_SM4_ECB, nullptr, wl, padded.data(), 1168),
              static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_ImportRSAKeyPair(s.dev, SGD_SM4_ECB, wrapped.data(), wl, padded.data(), 1168),
              static_cast<ULONG>(SAR_INVALIDHANDLEERR));
    EXPECT_EQ(skf.SKF_ImportRSAKeyPair(s.cont, SGD_SM4_CBC, wrapped.data(), wl, padded.data(), 1168),
              static_cast<ULONG>(SAR_NOTSUPPORTYETERR));
    EXPECT_EQ(skf.SKF_ImportRSAKeyPair(s.cont, SGD_SM4_ECB, wrapped.data(), wl, padded.data(), 1164),
              static_cast<ULONG>(SAR_INDATALENERR));
    Bytes otherWrap = RsaWrap(signPub.get(), RandomKey());
    EXPECT_EQ(skf.SKF_ImportRSAKeyPair(s.cont, SGD_SM4_ECB, otherWrap.data(), wl, padded.data(), 1168),
              static_cast<ULONG>(SAR_DECRYPTPADERR));
    Bytes badWrap = wrapped;
    badWrap[10] ^= 1;
    EXPECT_EQ(skf.SKF_ImportRSAKeyPair(s.cont, SGD_SM4_ECB, badWrap.data(), wl, padded.data(), 1168),
              static_cast<ULONG>(SAR_INDATAERR));
    Bytes broken = plain;
    broken[8 + 200] ^= 1;  // a modulus byte: the parts no longer belong together
    Bytes brokenCipher = Sm4Ecb(sm4, broken, true);
    EXPECT_EQ(skf.SKF_ImportRSAKeyPair(s.cont, SGD_SM4_ECB, wrapped.data(), wl, brokenCipher.data(), 1168),
              static_cast<ULONG>(SAR_INDATAERR));
    ULONG len = 0;
    EXPECT_EQ(skf.SKF_ExportPublicKey(s.cont, FALSE, nullptr, &len), static_cast<ULONG>(SAR_KEYNOTFOUNTERR));

    // Zero-filled to whole blocks is accepted as well as PKCS#7.
    Bytes zeroFilled = plain;
    zeroFilled.resize(1168, 0);
    Bytes zeroCipher = Sm4Ecb(sm4, zeroFilled, false);
    ASSERT_EQ(skf.SKF_ImportRSAKeyPair(s.cont, SGD_SM4_ECB, wrapped.data(), wl, zeroCipher.data(), 1168), SAR_OK);
    ASSERT_EQ(skf.SKF_ImportRSAKeyPair(s.cont, SGD_SM4_ECB, wrapped.data(), wl, padded.data(), 1168), SAR_OK);

    ossl::Pkey encPub = StoredPublicKey("rsa", KeyUsage::Encrypt);
    EXPECT_EQ(EVP_PKEY_eq(encPub.get(), enc.get()), 1);
    HANDLE hash = nullptr;
    ASSERT_EQ(skf.SKF_DigestInit(s.dev, SGD_SHA256, nullptr, nullptr, 0, &hash), SAR_OK);
    const Bytes msg = FromText("encryption key pair");
    BYTE d[32];
    ULONG dl = sizeof d;
    ASSERT_EQ(skf.SKF_Digest(hash, const_cast<BYTE*>(msg.data()), static_cast<ULONG>(msg.size()), d, &dl), SAR_OK);
    DWORD sl = 128;
    Bytes sig(sl);
    ASSERT_EQ(skf.SKF_RSASignHash(s.cont, FALSE, hash, sig.data(), &sl), SAR_OK);
    EXPECT_TRUE(VerifyRsa(enc.get(), sig, EVP_sha256(), msg));
    EXPECT_FALSE(VerifyRsa(signPub.get(), sig, EVP_sha256(), msg));
    skf.SKF_CloseHandle(hash);
    skf.SKF_DisConnectDev(s.dev);
}

}  // namespace
}  // namespace softskf::testing
