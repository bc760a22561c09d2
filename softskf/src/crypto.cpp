#include "crypto.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstring>

namespace softskf::crypto {
namespace {

// OPENSSL_free is a macro; this calls it for memory OpenSSL allocated for us.
struct OpenSslFree {
    void operator()(unsigned char* p) const noexcept { OPENSSL_free(p); }
};

[[noreturn]] void Fail(const char* what) {
    ERR_clear_error();
    throw CryptoError(what);
}

void Check(bool ok, const char* what) {
    if (!ok) {
        Fail(what);
    }
}

Bytes BnToBytes(const BIGNUM* bn) {
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    return out;
}

ossl::Bn BytesToBn(const std::uint8_t* p, std::size_t n) {
    ossl::Bn bn(BN_bin2bn(p, static_cast<int>(n), nullptr));
    Check(bn != nullptr, "BN_bin2bn");
    return bn;
}

ossl::Bn GetBn(EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    Check(EVP_PKEY_get_bn_param(key, name, &raw) == 1, name);
    return ossl::Bn(raw);
}

ossl::Group Sm2Group() {
    ossl::Group g(EC_GROUP_new_by_curve_name(NID_sm2));
    Check(g != nullptr, "SM2 group");
    return g;
}

ossl::Pkey FromData(const char* type, int selection, OSSL_PARAM_BLD* bld) {
    ossl::Params params(OSSL_PARAM_BLD_to_param(bld));
    Check(params != nullptr, "OSSL_PARAM_BLD_to_param");
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    Check(ctx != nullptr && EVP_PKEY_fromdata_init(ctx.get()) == 1, "fromdata init");
    EVP_PKEY* raw = nullptr;
    Check(EVP_PKEY_fromdata(ctx.get(), &raw, selection, params.get()) == 1, "fromdata");
    return ossl::Pkey(raw);
}

Bytes PointOctets(const EC_GROUP* group, const EC_POINT* point) {
    Bytes out(65);
    Check(EC_POINT_point2oct(group, point, POINT_CONVERSION_UNCOMPRESSED, out.data(), out.size(),
                             nullptr) == 65,
          "point2oct");
    return out;
}

// DER of a non-negative INTEGER given as a 32-byte big-endian value.
void DerInteger(Bytes& out, const std::uint8_t v[32]) {
    std::size_t i = 0;
    while (i < 31 && v[i] == 0) {
        ++i;
    }
    const bool pad = (v[i] & 0x80) != 0;
    out.push_back(0x02);
    out.push_back(static_cast<std::uint8_t>(32 - i + (pad ? 1 : 0)));
    if (pad) {
        out.push_back(0);
    }
    out.insert(out.end(), v + i, v + 32);
}

void DerLength(Bytes& out, std::size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n <= 0xFFFF) {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(n >> 8));
        out.push_back(static_cast<std::uint8_t>(n));
    } else {
        Fail("DER length too large");
    }
}

}  // namespace

ossl::Pkey GenerateSm2() {
    ossl::Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    Check(key != nullptr, "SM2 key generation");
    return key;
}

ossl::Pkey GenerateRsa(unsigned bits) {
    ossl::Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
    Check(key != nullptr, "RSA key generation");
    return key;
}

std::string PrivateKeyToPem(EVP_PKEY* key) {
    ossl::Bio bio(BIO_new(BIO_s_mem()));
    Check(bio != nullptr, "BIO_new");
    Check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM_write_bio_PrivateKey");
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(n));
}

ossl::Pkey PrivateKeyFromBytes(const Bytes& pemOrDer) {
    if (pemOrDer.empty()) {
        Fail("empty private key");
    }
    static const char kPem[] = "-----BEGIN";
    const bool pem = pemOrDer.size() > sizeof kPem - 1 &&
                     std::memcmp(pemOrDer.data(), kPem, sizeof kPem - 1) == 0;
    EVP_PKEY* raw = nullptr;
    if (pem) {
        ossl::Bio bio(BIO_new_mem_buf(pemOrDer.data(), static_cast<int>(pemOrDer.size())));
        Check(bio != nullptr, "BIO_new_mem_buf");
        // An empty passphrase callback result: encrypted keys are refused, not prompted for.
        raw = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(""));
    } else {
        const unsigned char* p = pemOrDer.data();
        raw = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(pemOrDer.size()));
    }
    Check(raw != nullptr, "private key does not decode");
    ossl::Pkey key(raw);
    AlgOf(key.get());  // refuses anything but SM2 and RSA
    return key;
}

Bytes PublicKeyDer(EVP_PKEY* key) {
    unsigned char* raw = nullptr;
    const int n = i2d_PUBKEY(key, &raw);
    const std::unique_ptr<unsigned char, OpenSslFree> der(raw);
    Check(n > 0, "i2d_PUBKEY");
    return Bytes(der.get(), der.get() + n);
}

ossl::Pkey PublicKeyFromDer(const Bytes& der) {
    const unsigned char* p = der.data();
    ossl::Pkey key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
    Check(key != nullptr, "d2i_PUBKEY");
    return key;
}

KeyAlg AlgOf(EVP_PKEY* key) {
    if (EVP_PKEY_is_a(key, "SM2")) {
        return KeyAlg::SM2;
    }
    if (EVP_PKEY_is_a(key, "RSA")) {
        return KeyAlg::RSA;
    }
    if (EVP_PKEY_is_a(key, "EC")) {
        char group[64] = {};
        size_t len = 0;
        if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                           &len) == 1 &&
            std::string(group) == "SM2") {
            return KeyAlg::SM2;
        }
    }
    Fail("key is neither SM2 nor RSA");
}

unsigned RsaBits(EVP_PKEY* key) { return static_cast<unsigned>(EVP_PKEY_get_bits(key)); }

bool SamePublicKey(EVP_PKEY* a, EVP_PKEY* b) {
    if (AlgOf(a) != AlgOf(b)) {
        return false;
    }
    return PublicKeyDer(a) == PublicKeyDer(b);
}

Sm2Point Sm2PublicPoint(EVP_PKEY* key) {
    std::uint8_t buf[133] = {};
    size_t len = 0;
    Check(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, buf, sizeof buf, &len) == 1,
          "SM2 public key");
    ossl::Group group = Sm2Group();
    ossl::Point point(EC_POINT_new(group.get()));
    Check(point != nullptr && EC_POINT_oct2point(group.get(), point.get(), buf, len, nullptr) == 1,
          "SM2 point");
    const Bytes oct = PointOctets(group.get(), point.get());
    Sm2Point out{};
    std::memcpy(out.x, oct.data() + 1, 32);
    std::memcpy(out.y, oct.data() + 33, 32);
    return out;
}

ossl::Pkey Sm2FromPublic(const Sm2Point& point) {
    std::uint8_t oct[65];
    oct[0] = 0x04;
    std::memcpy(oct + 1, point.x, 32);
    std::memcpy(oct + 33, point.y, 32);
    ossl::Group group = Sm2Group();
    ossl::Point p(EC_POINT_new(group.get()));
    Check(p != nullptr && EC_POINT_oct2point(group.get(), p.get(), oct, sizeof oct, nullptr) == 1,
          "SM2 point is not on the curve");
    ossl::ParamBld bld(OSSL_PARAM_BLD_new());
    Check(bld != nullptr, "OSSL_PARAM_BLD_new");
    Check(OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) == 1 &&
              OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, oct, sizeof oct) ==
                  1,
          "SM2 public params");
    return FromData("SM2", EVP_PKEY_PUBLIC_KEY, bld.get());
}

ossl::Pkey Sm2FromPrivate(const std::uint8_t d[32]) {
    ossl::Group group = Sm2Group();
    ossl::Bn priv = BytesToBn(d, 32);
    const BIGNUM* order = EC_GROUP_get0_order(group.get());
    Check(!BN_is_zero(priv.get()) && BN_cmp(priv.get(), order) < 0, "SM2 private key out of range");
    ossl::Point pub(EC_POINT_new(group.get()));
    ossl::BnCtx bnctx(BN_CTX_new());
    Check(pub != nullptr && bnctx != nullptr &&
              EC_POINT_mul(group.get(), pub.get(), priv.get(), nullptr, nullptr, bnctx.get()) == 1,
          "SM2 public point");
    const Bytes oct = PointOctets(group.get(), pub.get());
    ossl::ParamBld bld(OSSL_PARAM_BLD_new());
    Check(bld != nullptr, "OSSL_PARAM_BLD_new");
    Check(OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) == 1 &&
              OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, oct.data(),
                                               oct.size()) == 1 &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get()) == 1,
          "SM2 key params");
    return FromData("SM2", EVP_PKEY_KEYPAIR, bld.get());
}

Bytes Sm2Z(const Sm2Point& point, const Bytes& id) {
    if (id.size() > 0x1FFF) {
        Fail("SM2 identity too long");
    }
    ossl::Group group = Sm2Group();
    ossl::Bn p(BN_new()), a(BN_new()), b(BN_new()), gx(BN_new()), gy(BN_new());
    ossl::BnCtx bnctx(BN_CTX_new());
    Check(p && a && b && gx && gy && bnctx, "BN_new");
    Check(EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), bnctx.get()) == 1 &&
              EC_POINT_get_affine_coordinates(group.get(), EC_GROUP_get0_generator(group.get()),
                                              gx.get(), gy.get(), bnctx.get()) == 1,
          "SM2 curve parameters");
    Bytes msg;
    const std::size_t entl = id.size() * 8;
    msg.push_back(static_cast<std::uint8_t>(entl >> 8));
    msg.push_back(static_cast<std::uint8_t>(entl));
    msg.insert(msg.end(), id.begin(), id.end());
    for (const BIGNUM* v : {a.get(), b.get(), gx.get(), gy.get()}) {
        std::uint8_t buf[32];
        Check(BN_bn2binpad(v, buf, 32) == 32, "BN_bn2binpad");
        msg.insert(msg.end(), buf, buf + 32);
    }
    msg.insert(msg.end(), point.x, point.x + 32);
    msg.insert(msg.end(), point.y, point.y + 32);
    return Digest(EVP_sm3(), msg.data(), msg.size());
}

Bytes Sm2SignDigest(EVP_PKEY* key, const Bytes& digest) {
    if (digest.size() != 32) {
        Fail("SM2 digest must be 32 bytes");
    }
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    Check(ctx != nullptr && EVP_PKEY_sign_init(ctx.get()) == 1, "SM2 sign init");
    size_t len = 0;
    Check(EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()) == 1, "SM2 sign");
    Bytes der(len);
    Check(EVP_PKEY_sign(ctx.get(), der.data(), &len, digest.data(), digest.size()) == 1, "SM2 sign");
    const unsigned char* p = der.data();
    ossl::Ecdsa sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len)));
    Check(sig != nullptr, "SM2 signature decode");
    Bytes out(64);
    Check(BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out.data(), 32) == 32 &&
              BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out.data() + 32, 32) == 32,
          "SM2 signature values");
    return out;
}

Bytes Sm2Decrypt(EVP_PKEY* key, const std::uint8_t x[32], const std::uint8_t y[32],
                 const std::uint8_t hash[32], const Bytes& cipher) {
    // OpenSSL takes SEQUENCE { INTEGER x, INTEGER y, OCTET STRING hash, OCTET STRING cipher }.
    Bytes body;
    DerInteger(body, x);
    DerInteger(body, y);
    body.push_back(0x04);
    DerLength(body, 32);
    body.insert(body.end(), hash, hash + 32);
    body.push_back(0x04);
    DerLength(body, cipher.size());
    body.insert(body.end(), cipher.begin(), cipher.end());
    Bytes der{0x30};
    DerLength(der, body.size());
    der.insert(der.end(), body.begin(), body.end());

    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    Check(ctx != nullptr && EVP_PKEY_decrypt_init(ctx.get()) == 1, "SM2 decrypt init");
    size_t len = 0;
    Check(EVP_PKEY_decrypt(ctx.get(), nullptr, &len, der.data(), der.size()) == 1, "SM2 decrypt");
    Bytes out(len);
    Check(EVP_PKEY_decrypt(ctx.get(), out.data(), &len, der.data(), der.size()) == 1, "SM2 decrypt");
    out.resize(len);
    return out;
}

RsaParts RsaComponents(EVP_PKEY* key, bool withPrivate) {
    RsaParts parts;
    parts.n = BnToBytes(GetBn(key, OSSL_PKEY_PARAM_RSA_N).get());
    parts.e = BnToBytes(GetBn(key, OSSL_PKEY_PARAM_RSA_E).get());
    if (withPrivate) {
        parts.d = BnToBytes(GetBn(key, OSSL_PKEY_PARAM_RSA_D).get());
        parts.p = BnToBytes(GetBn(key, OSSL_PKEY_PARAM_RSA_FACTOR1).get());
        parts.q = BnToBytes(GetBn(key, OSSL_PKEY_PARAM_RSA_FACTOR2).get());
        parts.dp = BnToBytes(GetBn(key, OSSL_PKEY_PARAM_RSA_EXPONENT1).get());
        parts.dq = BnToBytes(GetBn(key, OSSL_PKEY_PARAM_RSA_EXPONENT2).get());
        parts.qinv = BnToBytes(GetBn(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1).get());
    }
    return parts;
}

ossl::Pkey RsaFromParts(const RsaParts& parts) {
    ossl::ParamBld bld(OSSL_PARAM_BLD_new());
    Check(bld != nullptr, "OSSL_PARAM_BLD_new");
    std::vector<ossl::Bn> keep;
    auto push = [&](const char* name, const Bytes& v) {
        keep.push_back(BytesToBn(v.data(), v.size()));
        Check(OSSL_PARAM_BLD_push_BN(bld.get(), name, keep.back().get()) == 1, name);
    };
    push(OSSL_PKEY_PARAM_RSA_N, parts.n);
    push(OSSL_PKEY_PARAM_RSA_E, parts.e);
    const bool priv = !parts.d.empty();
    if (priv) {
        push(OSSL_PKEY_PARAM_RSA_D, parts.d);
        push(OSSL_PKEY_PARAM_RSA_FACTOR1, parts.p);
        push(OSSL_PKEY_PARAM_RSA_FACTOR2, parts.q);
        push(OSSL_PKEY_PARAM_RSA_EXPONENT1, parts.dp);
        push(OSSL_PKEY_PARAM_RSA_EXPONENT2, parts.dq);
        push(OSSL_PKEY_PARAM_RSA_COEFFICIENT1, parts.qinv);
    }
    ossl::Pkey key = FromData("RSA", priv ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, bld.get());
    if (priv) {
        // A blob whose parts do not belong together must not become a key.
        ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
        Check(ctx != nullptr && EVP_PKEY_pairwise_check(ctx.get()) == 1, "RSA key check");
    }
    return key;
}

Bytes RsaSignPkcs1(EVP_PKEY* key, const Bytes& digestInfo) {
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    Check(ctx != nullptr && EVP_PKEY_sign_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1,
          "RSA sign init");
    size_t len = 0;
    Check(EVP_PKEY_sign(ctx.get(), nullptr, &len, digestInfo.data(), digestInfo.size()) == 1,
          "RSA sign");
    Bytes out(len);
    Check(EVP_PKEY_sign(ctx.get(), out.data(), &len, digestInfo.data(), digestInfo.size()) == 1,
          "RSA sign");
    out.resize(len);
    return out;
}

Bytes RsaDecryptPkcs1(EVP_PKEY* key, const Bytes& cipher) {
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    Check(ctx != nullptr && EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1,
          "RSA decrypt init");
    size_t len = 0;
    Check(EVP_PKEY_decrypt(ctx.get(), nullptr, &len, cipher.data(), cipher.size()) == 1,
          "RSA decrypt");
    Bytes out(len);
    Check(EVP_PKEY_decrypt(ctx.get(), out.data(), &len, cipher.data(), cipher.size()) == 1,
          "RSA decrypt");
    out.resize(len);
    return out;
}

Bytes Digest(const EVP_MD* md, const std::uint8_t* data, std::size_t len) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    Check(EVP_Digest(data, len, out.data(), &n, md, nullptr) == 1, "EVP_Digest");
    out.resize(n);
    return out;
}

Bytes Sm4EcbDecryptRaw(const Bytes& key16, const Bytes& data) {
    if (key16.size() != 16 || data.size() % 16 != 0) {
        Fail("SM4 key or data length");
    }
    ossl::CipherCtx ctx(EVP_CIPHER_CTX_new());
    Check(ctx != nullptr &&
              EVP_DecryptInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, key16.data(), nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1,
          "SM4 init");
    Bytes out(data.size() + 16);
    int n = 0;
    int fin = 0;
    Check(EVP_DecryptUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size())) ==
                  1 &&
              EVP_DecryptFinal_ex(ctx.get(), out.data() + n, &fin) == 1,
          "SM4 decrypt");
    out.resize(static_cast<std::size_t>(n + fin));
    return out;
}

Bytes RandomBytes(std::size_t n) {
    Bytes out(n);
    Check(n == 0 || RAND_bytes(out.data(), static_cast<int>(n)) == 1, "RAND_bytes");
    return out;
}

}  // namespace softskf::crypto
