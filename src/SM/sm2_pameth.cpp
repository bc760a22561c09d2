// The SM2 ASN.1 method: SubjectPublicKeyInfo, PKCS#8, parameters and printing
// of SM2 keys. SM2-flagged keys name their curve by the SM2 identifier
// 1.2.156.10197.1.301 (GM/T 0006); other EC keys write explicit parameters.

#include "SM/sm2_lib.h"

#include "SM/sm_oid.h"
#include "SM/sm2_util.h"

#include <openssl/asn1.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <memory>

namespace sm {

using detail::BnCtxPtr;
using detail::BnPtr;
using detail::GroupPtr;
using detail::LibFree;
using detail::PointPtr;

namespace {

using EcKeyPtr = std::unique_ptr<EC_KEY, LibFree<EC_KEY, EC_KEY_free>>;

// Failures go onto the library's queue in its EC family, under this unit.
void ec_error(int reason, const char* func)
{
    ERR_new();
    ERR_set_debug("./SM/sm2_pameth", 0, func);
    ERR_set_error(ERR_LIB_EC, reason, nullptr);
}

// The EC key of pkey; null (and nothing on the error queue) for an empty or
// non-EC key object.
const EC_KEY* ec_of(const EVP_PKEY* pkey)
{
    return pkey != nullptr && EVP_PKEY_get_base_id(pkey) == EVP_PKEY_EC ? EVP_PKEY_get0_EC_KEY(pkey) : nullptr;
}

// An AlgorithmIdentifier parameter until it is handed over.
struct AlgParam {
    int type = V_ASN1_UNDEF;
    void* value = nullptr;

    AlgParam() = default;
    AlgParam(const AlgParam&) = delete;
    AlgParam& operator=(const AlgParam&) = delete;
    ~AlgParam()
    {
        if (type == V_ASN1_OBJECT) {
            ASN1_OBJECT_free(static_cast<ASN1_OBJECT*>(value));
        } else {
            ASN1_STRING_free(static_cast<ASN1_STRING*>(value));
        }
    }
    void* release()
    {
        void* v = value;
        value = nullptr;
        return v;
    }
};

// Decoded keys on the SM2 group are SM2 keys.
EC_KEY* mark_if_sm2(EC_KEY* ec)
{
    const EC_GROUP* group = ec != nullptr ? EC_KEY_get0_group(ec) : nullptr;
    if (group != nullptr && EC_GROUP_get_curve_name(group) == NID_sm2) {
        EC_KEY_set_flags(ec, EC_FLAG_SM2);
    }
    return ec;
}

int assign(EVP_PKEY* pkey, EcKeyPtr ec)
{
    if (pkey == nullptr || !ec || EVP_PKEY_assign_EC_KEY(pkey, ec.get()) != 1) {
        return 0;
    }
    ec.release();
    return 1;
}

// An EC key decoded from DER (parameters or ECPrivateKey) into pkey.
int decode_into(EC_KEY* (*d2i)(EC_KEY**, const unsigned char**, long), EVP_PKEY* pkey, const unsigned char** pder,
                int derlen, const char* func)
{
    EcKeyPtr ec(pder != nullptr ? d2i(nullptr, pder, derlen) : nullptr);
    if (!ec) {
        ec_error(EC_R_DECODE_ERROR, func);
        return 0;
    }
    mark_if_sm2(ec.get());
    return assign(pkey, std::move(ec));
}

int do_EC_SM2_KEY_print(BIO* bp, const EC_KEY* x, int off, int ktype)
{
    const EC_GROUP* group = x != nullptr ? EC_KEY_get0_group(x) : nullptr;
    if (bp == nullptr || group == nullptr) {
        ec_error(ERR_R_PASSED_NULL_PARAMETER, __func__);
        return 0;
    }
    const char* ecstr = ktype == 2 ? "Private-Key" : ktype == 1 ? "Public-Key" : "ECDSA-Parameters";
    const BIGNUM* priv = ktype == 2 ? EC_KEY_get0_private_key(x) : nullptr;
    const EC_POINT* pubPoint = ktype > 0 ? EC_KEY_get0_public_key(x) : nullptr;
    BnCtxPtr ctx(BN_CTX_new());
    BnPtr pub;
    if (pubPoint != nullptr) {
        pub.reset(ctx ? EC_POINT_point2bn(group, pubPoint, EC_KEY_get_conv_form(x), nullptr, ctx.get()) : nullptr);
        if (!pub) {
            ec_error(ERR_R_EC_LIB, __func__);
            return 0;
        }
    }
    if (BIO_indent(bp, off, 128) != 1 || BIO_printf(bp, "%s: (%d bit)\n", ecstr, EC_GROUP_order_bits(group)) <= 0 ||
        (priv != nullptr && ASN1_bn_print(bp, "priv:", priv, nullptr, off) != 1) ||
        (pub && ASN1_bn_print(bp, "pub: ", pub.get(), nullptr, off) != 1) || ECPKParameters_print(bp, group, off) != 1) {
        ec_error(ERR_R_BIO_LIB, __func__);
        return 0;
    }
    return 1;
}

// The signer's signature algorithm: the library's identifier for the digest
// algorithm already in the signer info and this key's type.
int set_signature_alg(const EVP_PKEY* pkey, X509_ALGOR* digestAlg, X509_ALGOR* sigAlg)
{
    if (digestAlg == nullptr || sigAlg == nullptr) {
        return -1;
    }
    const ASN1_OBJECT* digestObj = nullptr;
    X509_ALGOR_get0(&digestObj, nullptr, nullptr, digestAlg);
    const int hnid = digestObj != nullptr ? OBJ_obj2nid(digestObj) : NID_undef;
    int snid = NID_undef;
    if (hnid == NID_undef || OBJ_find_sigid_by_algs(&snid, hnid, EVP_PKEY_get_id(pkey)) != 1) {
        return -1;
    }
    return X509_ALGOR_set0(sigAlg, OBJ_nid2obj(snid), V_ASN1_UNDEF, nullptr) == 1 ? 1 : -1;
}

}  // namespace

int eckey_sm2_param2type(int* pptype, void** ppval, const EC_KEY* ec_key)
{
    const EC_GROUP* group = ec_key != nullptr ? EC_KEY_get0_group(ec_key) : nullptr;
    if (pptype == nullptr || ppval == nullptr || group == nullptr) {
        ec_error(EC_R_MISSING_PARAMETERS, __func__);
        return 0;
    }
    if (EC_KEY_is_sm2(ec_key)) {
        // OBJ_dup: a copy the caller may free, whether the library's object
        // is built in or was created at run time.
        const ASN1_OBJECT* known = SM2_OBJ_nid2obj(NID_internal_sm2);
        ASN1_OBJECT* obj = known != nullptr ? OBJ_dup(known) : nullptr;
        if (obj == nullptr) {
            ec_error(EC_R_MISSING_OID, __func__);
            return 0;
        }
        *ppval = obj;
        *pptype = V_ASN1_OBJECT;
        return 1;
    }
    unsigned char* der = nullptr;
    const int len = i2d_ECParameters(ec_key, &der);
    ASN1_STRING* str = len > 0 ? ASN1_STRING_new() : nullptr;
    if (str == nullptr) {
        OPENSSL_free(der);
        ec_error(ERR_R_EC_LIB, __func__);
        return 0;
    }
    ASN1_STRING_set0(str, der, len);
    *ppval = str;
    *pptype = V_ASN1_SEQUENCE;
    return 1;
}

EC_KEY* eckey_sm2_type2param(int ptype, const void* pval)
{
    if (ptype == V_ASN1_SEQUENCE && pval != nullptr) {
        const auto* str = static_cast<const ASN1_STRING*>(pval);
        const unsigned char* p = ASN1_STRING_get0_data(str);
        EC_KEY* ec = d2i_ECParameters(nullptr, &p, ASN1_STRING_length(str));
        if (ec == nullptr) {
            ec_error(EC_R_DECODE_ERROR, __func__);
        }
        return mark_if_sm2(ec);
    }
    if (ptype == V_ASN1_OBJECT && pval != nullptr) {
        const int nid = OBJ_obj2nid(static_cast<const ASN1_OBJECT*>(pval));
        if (nid == NID_sm2) {
            EC_KEY* ec = EC_KEY_SM2_init(nullptr);
            if (ec == nullptr) {
                ec_error(ERR_R_EC_LIB, __func__);
            }
            return ec;
        }
        GroupPtr group(EC_GROUP_new_by_curve_name(nid));
        EcKeyPtr ec(group ? EC_KEY_new() : nullptr);
        if (!ec || EC_KEY_set_group(ec.get(), group.get()) != 1) {
            ec_error(EC_R_UNKNOWN_GROUP, __func__);
            return nullptr;
        }
        return ec.release();
    }
    ec_error(EC_R_DECODE_ERROR, __func__);
    return nullptr;
}

int eckey_sm2_pub_encode(X509_PUBKEY* pk, const EVP_PKEY* pkey)
{
    const EC_KEY* ec = ec_of(pkey);
    AlgParam param;
    if (pk == nullptr || ec == nullptr || eckey_sm2_param2type(&param.type, &param.value, ec) != 1) {
        return 0;
    }
    unsigned char* penc = nullptr;
    const int penclen = i2o_ECPublicKey(ec, &penc);
    if (penclen <= 0) {
        ec_error(ERR_R_EC_LIB, __func__);
        return 0;
    }
    if (X509_PUBKEY_set0_param(pk, OBJ_nid2obj(NID_X9_62_id_ecPublicKey), param.type, param.value, penc,
                               penclen) != 1) {
        OPENSSL_free(penc);
        ec_error(ERR_R_X509_LIB, __func__);
        return 0;
    }
    param.release();
    return 1;
}

int eckey_sm2_pub_decode(EVP_PKEY* pkey, const X509_PUBKEY* pubkey)
{
    const unsigned char* p = nullptr;
    int pklen = 0;
    X509_ALGOR* palg = nullptr;
    if (pkey == nullptr || pubkey == nullptr || X509_PUBKEY_get0_param(nullptr, &p, &pklen, &palg, pubkey) != 1) {
        ec_error(EC_R_DECODE_ERROR, __func__);
        return 0;
    }
    int ptype = V_ASN1_UNDEF;
    const void* pval = nullptr;
    X509_ALGOR_get0(nullptr, &ptype, &pval, palg);
    EcKeyPtr ec(eckey_sm2_type2param(ptype, pval));
    EC_KEY* raw = ec.get();
    if (!ec || o2i_ECPublicKey(&raw, &p, pklen) == nullptr) {
        ec_error(EC_R_DECODE_ERROR, __func__);
        return 0;
    }
    return assign(pkey, std::move(ec));
}

int eckey_sm2_pub_cmp(const EVP_PKEY* a, const EVP_PKEY* b)
{
    const EC_KEY* ea = ec_of(a);
    const EC_KEY* eb = ec_of(b);
    const EC_GROUP* group = eb != nullptr ? EC_KEY_get0_group(eb) : nullptr;
    const EC_POINT* pa = ea != nullptr ? EC_KEY_get0_public_key(ea) : nullptr;
    const EC_POINT* pb = eb != nullptr ? EC_KEY_get0_public_key(eb) : nullptr;
    if (group == nullptr || pa == nullptr || pb == nullptr) {
        return -2;
    }
    const int r = EC_POINT_cmp(group, pa, pb, nullptr);
    return r == 0 ? 1 : r == 1 ? 0 : -2;
}

int eckey_sm2_priv_decode(EVP_PKEY* pkey, const PKCS8_PRIV_KEY_INFO* p8)
{
    const unsigned char* p = nullptr;
    int pklen = 0;
    const X509_ALGOR* palg = nullptr;
    if (pkey == nullptr || p8 == nullptr || PKCS8_pkey_get0(nullptr, &p, &pklen, &palg, p8) != 1) {
        ec_error(EC_R_DECODE_ERROR, __func__);
        return 0;
    }
    int ptype = V_ASN1_UNDEF;
    const void* pval = nullptr;
    X509_ALGOR_get0(nullptr, &ptype, &pval, palg);
    EcKeyPtr ec(eckey_sm2_type2param(ptype, pval));
    EC_KEY* raw = ec.get();
    if (!ec || d2i_ECPrivateKey(&raw, &p, pklen) == nullptr) {
        ec_error(EC_R_DECODE_ERROR, __func__);
        return 0;
    }
    mark_if_sm2(ec.get());
    // The public point is optional in ECPrivateKey (RFC 5915): derive it.
    if (EC_KEY_get0_public_key(ec.get()) == nullptr) {
        const EC_GROUP* group = EC_KEY_get0_group(ec.get());
        BnCtxPtr ctx(BN_CTX_new());
        PointPtr pub(EC_POINT_new(group));
        if (!ctx || !pub ||
            EC_POINT_mul(group, pub.get(), EC_KEY_get0_private_key(ec.get()), nullptr, nullptr, ctx.get()) != 1 ||
            EC_KEY_set_public_key(ec.get(), pub.get()) != 1) {
            ec_error(ERR_R_EC_LIB, __func__);
            return 0;
        }
    }
    return assign(pkey, std::move(ec));
}

int eckey_sm2_priv_encode(PKCS8_PRIV_KEY_INFO* p8, const EVP_PKEY* pkey)
{
    const EC_KEY* ec = ec_of(pkey);
    AlgParam param;
    if (p8 == nullptr || ec == nullptr || eckey_sm2_param2type(&param.type, &param.value, ec) != 1) {
        return 0;
    }
    // The parameters go into the AlgorithmIdentifier, not into ECPrivateKey;
    // a copy carries that encoding flag so the caller's key is not touched.
    EcKeyPtr copy(EC_KEY_dup(ec));
    if (!copy) {
        ec_error(ERR_R_EC_LIB, __func__);
        return 0;
    }
    EC_KEY_set_enc_flags(copy.get(), EC_KEY_get_enc_flags(copy.get()) | EC_PKEY_NO_PARAMETERS);
    unsigned char* ep = nullptr;
    const int eplen = i2d_ECPrivateKey(copy.get(), &ep);
    if (eplen <= 0) {
        ec_error(ERR_R_EC_LIB, __func__);
        return 0;
    }
    if (PKCS8_pkey_set0(p8, OBJ_nid2obj(NID_X9_62_id_ecPublicKey), 0, param.type, param.value, ep, eplen) != 1) {
        OPENSSL_clear_free(ep, static_cast<size_t>(eplen));
        ec_error(ERR_R_ASN1_LIB, __func__);
        return 0;
    }
    param.release();
    return 1;
}

int int_ec_sm2_size(const EVP_PKEY* pkey)
{
    const EC_KEY* ec = ec_of(pkey);
    return ec != nullptr ? ECDSA_size(ec) : 0;
}

int ec_bits(const EVP_PKEY* pkey)
{
    const EC_KEY* ec = ec_of(pkey);
    const EC_GROUP* group = ec != nullptr ? EC_KEY_get0_group(ec) : nullptr;
    return group != nullptr ? EC_GROUP_order_bits(group) : 0;
}

int ec_sm2_missing_parameters(const EVP_PKEY* pkey)
{
    const EC_KEY* ec = ec_of(pkey);
    return ec == nullptr || EC_KEY_get0_group(ec) == nullptr ? 1 : 0;
}

int ec_sm2_copy_parameters(EVP_PKEY* to, const EVP_PKEY* from)
{
    const EC_KEY* source = ec_of(from);
    const EC_GROUP* group = source != nullptr ? EC_KEY_get0_group(source) : nullptr;
    if (to == nullptr || group == nullptr) {
        ec_error(EC_R_MISSING_PARAMETERS, __func__);
        return 0;
    }
    EcKeyPtr target(ec_of(to) != nullptr ? EVP_PKEY_get1_EC_KEY(to) : nullptr);
    if (!target) {
        EcKeyPtr fresh(EC_KEY_new());
        if (!fresh || EVP_PKEY_set1_EC_KEY(to, fresh.get()) != 1) {
            ec_error(ERR_R_EC_LIB, __func__);
            return 0;
        }
        target = std::move(fresh);
    }
    if (EC_KEY_set_group(target.get(), group) != 1) {
        ec_error(ERR_R_EC_LIB, __func__);
        return 0;
    }
    if (EC_KEY_is_sm2(source)) {
        EC_KEY_set_flags(target.get(), EC_FLAG_SM2);
    }
    return 1;
}

int ec_sm2_cmp_parameters(const EVP_PKEY* a, const EVP_PKEY* b)
{
    const EC_KEY* ea = ec_of(a);
    const EC_KEY* eb = ec_of(b);
    const EC_GROUP* ga = ea != nullptr ? EC_KEY_get0_group(ea) : nullptr;
    const EC_GROUP* gb = eb != nullptr ? EC_KEY_get0_group(eb) : nullptr;
    if (ga == nullptr || gb == nullptr) {
        return -2;
    }
    const int r = EC_GROUP_cmp(ga, gb, nullptr);
    return r == 0 ? 1 : r == 1 ? 0 : -2;
}

int eckey_sm2_param_decode(EVP_PKEY* pkey, const unsigned char** pder, int derlen)
{
    return decode_into(d2i_ECParameters, pkey, pder, derlen, __func__);
}

int eckey_sm2_param_encode(const EVP_PKEY* pkey, unsigned char** pder)
{
    const EC_KEY* ec = ec_of(pkey);
    return ec != nullptr ? i2d_ECParameters(ec, pder) : 0;
}

int eckey_sm2_param_print(BIO* bp, const EVP_PKEY* pkey, int indent, ASN1_PCTX*)
{
    return do_EC_SM2_KEY_print(bp, ec_of(pkey), indent, 0);
}

int eckey_sm2_pub_print(BIO* bp, const EVP_PKEY* pkey, int indent, ASN1_PCTX*)
{
    return do_EC_SM2_KEY_print(bp, ec_of(pkey), indent, 1);
}

int eckey_sm2_priv_print(BIO* bp, const EVP_PKEY* pkey, int indent, ASN1_PCTX*)
{
    return do_EC_SM2_KEY_print(bp, ec_of(pkey), indent, 2);
}

void int_ec_sm2_free(EVP_PKEY* pkey)
{
    // The slot frees the key object's EC_KEY when the library releases it.
    EC_KEY_free(const_cast<EC_KEY*>(ec_of(pkey)));
}

int ec_sm2_pkey_ctrl(EVP_PKEY* pkey, int op, long arg1, void* arg2)
{
    X509_ALGOR* digestAlg = nullptr;
    X509_ALGOR* sigAlg = nullptr;
    switch (op) {
    case ASN1_PKEY_CTRL_PKCS7_SIGN:
        if (arg1 != 0) {
            return 1;
        }
        if (arg2 == nullptr) {
            return -1;
        }
        PKCS7_SIGNER_INFO_get0_algs(static_cast<PKCS7_SIGNER_INFO*>(arg2), nullptr, &digestAlg, &sigAlg);
        return set_signature_alg(pkey, digestAlg, sigAlg);
    case ASN1_PKEY_CTRL_CMS_SIGN:
        if (arg1 != 0) {
            return 1;
        }
        if (arg2 == nullptr) {
            return -1;
        }
        CMS_SignerInfo_get0_algs(static_cast<CMS_SignerInfo*>(arg2), nullptr, nullptr, &digestAlg, &sigAlg);
        return set_signature_alg(pkey, digestAlg, sigAlg);
    case ASN1_PKEY_CTRL_DEFAULT_MD_NID:
        if (arg2 == nullptr) {
            return -1;
        }
        *static_cast<int*>(arg2) = NID_sha1;
        return 2;
    default:
        return -2;
    }
}

int old_ec_sm2_priv_decode(EVP_PKEY* pkey, const unsigned char** pder, int derlen)
{
    return decode_into(d2i_ECPrivateKey, pkey, pder, derlen, __func__);
}

int old_ec_sm2_priv_encode(const EVP_PKEY* pkey, unsigned char** pder)
{
    const EC_KEY* ec = ec_of(pkey);
    return ec != nullptr ? i2d_ECPrivateKey(ec, pder) : 0;
}

EVP_PKEY_ASN1_METHOD* sm2_pameth_new()
{
    const int id = sm_library_nid(NID_internal_sm2);
    if (id <= 0) {
        return nullptr;
    }
    EVP_PKEY_ASN1_METHOD* ameth = EVP_PKEY_asn1_new(id, 0, "SM2", "SM2 algorithm");
    if (ameth == nullptr) {
        return nullptr;
    }
    EVP_PKEY_asn1_set_public(ameth, eckey_sm2_pub_decode, eckey_sm2_pub_encode, eckey_sm2_pub_cmp,
                             eckey_sm2_pub_print, int_ec_sm2_size, ec_bits);
    EVP_PKEY_asn1_set_private(ameth, eckey_sm2_priv_decode, eckey_sm2_priv_encode, eckey_sm2_priv_print);
    EVP_PKEY_asn1_set_param(ameth, eckey_sm2_param_decode, eckey_sm2_param_encode, ec_sm2_missing_parameters,
                            ec_sm2_copy_parameters, ec_sm2_cmp_parameters, eckey_sm2_param_print);
    EVP_PKEY_asn1_set_free(ameth, int_ec_sm2_free);
    EVP_PKEY_asn1_set_ctrl(ameth, ec_sm2_pkey_ctrl);
    // The legacy raw-DER private-key slots have no setter in 3.0; the two
    // functions are there for direct callers.
    return ameth;
}

}  // namespace sm
