#include "SM/fp7.h"

#include <openssl/asn1t.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>

namespace sm {

namespace {

int signerInfoCb(int operation, ASN1_VALUE** pval, const ASN1_ITEM*, void*)
{
    if (operation == ASN1_OP_FREE_POST) {
        auto* si = reinterpret_cast<SM2_SIGNER_INFO*>(*pval);
        EVP_PKEY_free(si->pkey);
    }
    return 1;
}

int recipInfoCb(int operation, ASN1_VALUE** pval, const ASN1_ITEM*, void*)
{
    if (operation == ASN1_OP_FREE_POST) {
        auto* ri = reinterpret_cast<SM2_RECIP_INFO*>(*pval);
        X509_free(ri->cert);
    }
    return 1;
}

int contentInfoCb(int operation, ASN1_VALUE** pval, const ASN1_ITEM*, void*)
{
    switch (operation) {
    case ASN1_OP_NEW_PRE:
    case ASN1_OP_D2I_PRE:
        // The body selector below needs the identifiers' library numbers.
        initsm2internalnid();
        break;
    case ASN1_OP_FREE_POST:
        OPENSSL_free(reinterpret_cast<SM2_P7*>(*pval)->asn1);
        break;
    default:
        break;
    }
    return 1;
}

// The library hands the body selector the library number of `type`; the
// table below is keyed by internal numbers, so translate. Types outside
// 961-966 become -1 and fall to the ANY default.
int bodySelector(long* selector)
{
    *selector = translateinternalnid(static_cast<int>(*selector));
    return 1;
}

bool hasEmptyType(const SM2_P7* p7)
{
    return p7 != nullptr && (p7->type == nullptr || OBJ_length(p7->type) == 0);
}

// The inner content info of signed and digested data. A content info without
// a type is what detached signed data carries; it is written as an empty
// SEQUENCE (30 00), which OpenSSL 3.0's template encoder refuses to produce
// ("illegal zero content" for the empty OBJECT IDENTIFIER). It is read back
// the same way, as a content info without type or body, so that a detached
// message this system made can be verified; everything else is handed to the
// SM2_P7 item unchanged.
int innerNew(ASN1_VALUE** pval, const ASN1_ITEM*)
{
    *pval = reinterpret_cast<ASN1_VALUE*>(SM2_P7_new());
    return *pval != nullptr;
}

void innerFree(ASN1_VALUE** pval, const ASN1_ITEM*)
{
    SM2_P7_free(reinterpret_cast<SM2_P7*>(*pval));
    *pval = nullptr;
}

int innerD2i(ASN1_VALUE** pval, const unsigned char** in, long len, const ASN1_ITEM* it, int tag, int aclass,
             char opt, ASN1_TLC* ctx)
{
    // An empty SEQUENCE (or the expected tag with length 0): no type, no body.
    const int wantTag = tag == -1 ? V_ASN1_SEQUENCE : tag;
    const int wantClass = tag == -1 ? V_ASN1_UNIVERSAL : (aclass & ASN1_TFLG_TAG_CLASS);
    if (in != nullptr && *in != nullptr && len >= 2) {
        const unsigned char* p = *in;
        long plen = 0;
        int ptag = 0;
        int pclass = 0;
        const int ret = ASN1_get_object(&p, &plen, &ptag, &pclass, len);
        if (!(ret & 0x80) && !(ret & 0x01) && (ret & V_ASN1_CONSTRUCTED) && plen == 0 && ptag == wantTag && pclass == wantClass) {
            if (*pval == nullptr && !innerNew(pval, it)) {
                return 0;
            }
            *in = p;
            return 1;
        }
    }
    return ASN1_item_ex_d2i(pval, in, len, ASN1_ITEM_rptr(SM2_P7), tag, aclass, opt, ctx);
}

int innerI2d(const ASN1_VALUE** pval, unsigned char** out, const ASN1_ITEM*, int tag, int aclass)
{
    if (hasEmptyType(reinterpret_cast<const SM2_P7*>(*pval))) {
        if (out != nullptr && *out != nullptr) {
            if (tag == -1) {
                ASN1_put_object(out, 1, 0, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
            } else {
                ASN1_put_object(out, 1, 0, tag, aclass & ASN1_TFLG_TAG_CLASS);
            }
        }
        return ASN1_object_size(1, 0, tag == -1 ? V_ASN1_SEQUENCE : tag);
    }
    return ASN1_item_ex_i2d(pval, out, ASN1_ITEM_rptr(SM2_P7), tag, aclass);
}

int innerPrint(BIO* out, const ASN1_VALUE** pval, int indent, const char*, const ASN1_PCTX* pctx)
{
    if (hasEmptyType(reinterpret_cast<const SM2_P7*>(*pval))) {
        return BIO_printf(out, "<NO CONTENT>\n") > 0;
    }
    return ASN1_item_print(out, *pval, indent, ASN1_ITEM_rptr(SM2_P7), pctx);
}

const ASN1_EXTERN_FUNCS kInnerFuncs = {nullptr, innerNew, innerFree, nullptr, innerD2i, innerI2d, innerPrint,
                                       nullptr, nullptr};

}  // namespace

IMPLEMENT_EXTERN_ASN1(SM2_P7_INNER, V_ASN1_SEQUENCE, kInnerFuncs)

// ContentInfo (RFC 2315, 7; GM/T 0010-2012, 7).
ASN1_ADB_TEMPLATE(sm2p7default) = ASN1_EXP_OPT(SM2_P7, d.other, ASN1_ANY, 0);

ASN1_ADB(SM2_P7) = {
    ADB_ENTRY(NID_internal_sm2p7data, ASN1_NDEF_EXP_OPT(SM2_P7, d.data, ASN1_OCTET_STRING_NDEF, 0)),
    ADB_ENTRY(NID_internal_sm2p7signed, ASN1_NDEF_EXP_OPT(SM2_P7, d.sign, SM2_SIGNED, 0)),
    ADB_ENTRY(NID_internal_sm2p7envdata, ASN1_NDEF_EXP_OPT(SM2_P7, d.enveloped, SM2_ENVELOPE, 0)),
    ADB_ENTRY(NID_internal_sm2p7signenvdata,
              ASN1_NDEF_EXP_OPT(SM2_P7, d.signed_and_enveloped, SM2_SIGN_ENVELOPE, 0)),
    ADB_ENTRY(NID_internal_sm2p7digest, ASN1_NDEF_EXP_OPT(SM2_P7, d.digest, SM2_DIGEST, 0)),
    ADB_ENTRY(NID_internal_sm2p7encrypted, ASN1_NDEF_EXP_OPT(SM2_P7, d.encrypted, SM2_ENCRYPT, 0)),
} ASN1_ADB_END(SM2_P7, 0, type, bodySelector, &sm2p7default_tt, nullptr);

ASN1_NDEF_SEQUENCE_cb(SM2_P7, contentInfoCb) = {
    ASN1_SIMPLE(SM2_P7, type, ASN1_OBJECT),
    ASN1_ADB_OBJECT(SM2_P7),
} ASN1_NDEF_SEQUENCE_END_cb(SM2_P7, SM2_P7)

IMPLEMENT_ASN1_ALLOC_FUNCTIONS(SM2_P7)
IMPLEMENT_ASN1_NDEF_FUNCTION(SM2_P7)
IMPLEMENT_ASN1_PRINT_FUNCTION(SM2_P7)

SM2_P7* d2i_SM2_P7(SM2_P7** a, const unsigned char** in, long len)
{
    return reinterpret_cast<SM2_P7*>(
        ASN1_item_d2i(reinterpret_cast<ASN1_VALUE**>(a), in, len, ASN1_ITEM_rptr(SM2_P7)));
}

// A content info without a type encodes as 30 00 here too, as it does
// inside signed data.
int i2d_SM2_P7(const SM2_P7* a, unsigned char** out)
{
    if (!hasEmptyType(a)) {
        return ASN1_item_i2d(reinterpret_cast<const ASN1_VALUE*>(a), out, ASN1_ITEM_rptr(SM2_P7));
    }
    static const unsigned char kEmpty[2] = {0x30, 0x00};
    if (out == nullptr) {
        return 2;
    }
    if (*out == nullptr) {
        *out = static_cast<unsigned char*>(OPENSSL_malloc(2));
        if (*out == nullptr) {
            return -1;
        }
        memcpy(*out, kEmpty, 2);
        return 2;
    }
    memcpy(*out, kEmpty, 2);
    *out += 2;
    return 2;
}

SM2_P7* SM2_P7_dup(const SM2_P7* p7)
{
    return static_cast<SM2_P7*>(ASN1_item_dup(ASN1_ITEM_rptr(SM2_P7), p7));
}

ASN1_SEQUENCE(SM2_ISSUER_AND_SERIAL) = {
    ASN1_SIMPLE(SM2_ISSUER_AND_SERIAL, issuer, X509_NAME),
    ASN1_SIMPLE(SM2_ISSUER_AND_SERIAL, serial, ASN1_INTEGER),
} ASN1_SEQUENCE_END(SM2_ISSUER_AND_SERIAL)

IMPLEMENT_ASN1_FUNCTIONS(SM2_ISSUER_AND_SERIAL)

// SignerInfo (RFC 2315, 9.2).
ASN1_SEQUENCE_cb(SM2_SIGNER_INFO, signerInfoCb) = {
    ASN1_SIMPLE(SM2_SIGNER_INFO, version, ASN1_INTEGER),
    ASN1_SIMPLE(SM2_SIGNER_INFO, issuer_and_serial, SM2_ISSUER_AND_SERIAL),
    ASN1_SIMPLE(SM2_SIGNER_INFO, digest_alg, X509_ALGOR),
    ASN1_IMP_SEQUENCE_OF_OPT(SM2_SIGNER_INFO, auth_attr, X509_ATTRIBUTE, 0),
    ASN1_SIMPLE(SM2_SIGNER_INFO, digest_enc_alg, X509_ALGOR),
    ASN1_SIMPLE(SM2_SIGNER_INFO, enc_digest, ASN1_OCTET_STRING),
    ASN1_IMP_SET_OF_OPT(SM2_SIGNER_INFO, unauth_attr, X509_ATTRIBUTE, 1),
} ASN1_SEQUENCE_END_cb(SM2_SIGNER_INFO, SM2_SIGNER_INFO)

IMPLEMENT_ASN1_FUNCTIONS(SM2_SIGNER_INFO)

// RecipientInfo (RFC 2315, 10.2).
ASN1_SEQUENCE_cb(SM2_RECIP_INFO, recipInfoCb) = {
    ASN1_SIMPLE(SM2_RECIP_INFO, version, ASN1_INTEGER),
    ASN1_SIMPLE(SM2_RECIP_INFO, issuer_and_serial, SM2_ISSUER_AND_SERIAL),
    ASN1_SIMPLE(SM2_RECIP_INFO, key_enc_algor, X509_ALGOR),
    ASN1_SIMPLE(SM2_RECIP_INFO, enc_key, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END_cb(SM2_RECIP_INFO, SM2_RECIP_INFO)

IMPLEMENT_ASN1_FUNCTIONS(SM2_RECIP_INFO)

// SignedData (RFC 2315, 9.1).
ASN1_NDEF_SEQUENCE(SM2_SIGNED) = {
    ASN1_SIMPLE(SM2_SIGNED, version, ASN1_INTEGER),
    ASN1_SET_OF(SM2_SIGNED, md_algs, X509_ALGOR),
    ASN1_SIMPLE(SM2_SIGNED, contents, SM2_P7_INNER),
    ASN1_IMP_SEQUENCE_OF_OPT(SM2_SIGNED, cert, X509, 0),
    ASN1_IMP_SET_OF_OPT(SM2_SIGNED, crl, X509_CRL, 1),
    ASN1_SET_OF(SM2_SIGNED, signer_info, SM2_SIGNER_INFO),
} ASN1_NDEF_SEQUENCE_END(SM2_SIGNED)

IMPLEMENT_ASN1_FUNCTIONS(SM2_SIGNED)

// EncryptedContentInfo (RFC 2315, 10.1).
ASN1_NDEF_SEQUENCE(SM2_ENC_CONTENT) = {
    ASN1_SIMPLE(SM2_ENC_CONTENT, content_type, ASN1_OBJECT),
    ASN1_SIMPLE(SM2_ENC_CONTENT, algorithm, X509_ALGOR),
    ASN1_IMP_OPT(SM2_ENC_CONTENT, enc_data, ASN1_OCTET_STRING_NDEF, 0),
} ASN1_NDEF_SEQUENCE_END(SM2_ENC_CONTENT)

IMPLEMENT_ASN1_FUNCTIONS(SM2_ENC_CONTENT)

// EnvelopedData (RFC 2315, 10.1).
ASN1_NDEF_SEQUENCE(SM2_ENVELOPE) = {
    ASN1_SIMPLE(SM2_ENVELOPE, version, ASN1_INTEGER),
    ASN1_SET_OF(SM2_ENVELOPE, recipientinfo, SM2_RECIP_INFO),
    ASN1_SIMPLE(SM2_ENVELOPE, enc_data, SM2_ENC_CONTENT),
} ASN1_NDEF_SEQUENCE_END(SM2_ENVELOPE)

IMPLEMENT_ASN1_FUNCTIONS(SM2_ENVELOPE)

// SignedAndEnvelopedData (RFC 2315, 11.1).
ASN1_NDEF_SEQUENCE(SM2_SIGN_ENVELOPE) = {
    ASN1_SIMPLE(SM2_SIGN_ENVELOPE, version, ASN1_INTEGER),
    ASN1_SET_OF(SM2_SIGN_ENVELOPE, recipientinfo, SM2_RECIP_INFO),
    ASN1_SET_OF(SM2_SIGN_ENVELOPE, md_algs, X509_ALGOR),
    ASN1_SIMPLE(SM2_SIGN_ENVELOPE, enc_data, SM2_ENC_CONTENT),
    ASN1_IMP_SET_OF_OPT(SM2_SIGN_ENVELOPE, cert, X509, 0),
    ASN1_IMP_SET_OF_OPT(SM2_SIGN_ENVELOPE, crl, X509_CRL, 1),
    ASN1_SET_OF(SM2_SIGN_ENVELOPE, signer_info, SM2_SIGNER_INFO),
} ASN1_NDEF_SEQUENCE_END(SM2_SIGN_ENVELOPE)

IMPLEMENT_ASN1_FUNCTIONS(SM2_SIGN_ENVELOPE)

// EncryptedData (RFC 2315, 13).
ASN1_NDEF_SEQUENCE(SM2_ENCRYPT) = {
    ASN1_SIMPLE(SM2_ENCRYPT, version, ASN1_INTEGER),
    ASN1_SIMPLE(SM2_ENCRYPT, enc_data, SM2_ENC_CONTENT),
} ASN1_NDEF_SEQUENCE_END(SM2_ENCRYPT)

IMPLEMENT_ASN1_FUNCTIONS(SM2_ENCRYPT)

// DigestedData (RFC 2315, 12).
ASN1_NDEF_SEQUENCE(SM2_DIGEST) = {
    ASN1_SIMPLE(SM2_DIGEST, version, ASN1_INTEGER),
    ASN1_SIMPLE(SM2_DIGEST, md, X509_ALGOR),
    ASN1_SIMPLE(SM2_DIGEST, contents, SM2_P7_INNER),
    ASN1_SIMPLE(SM2_DIGEST, digest, ASN1_OCTET_STRING),
} ASN1_NDEF_SEQUENCE_END(SM2_DIGEST)

IMPLEMENT_ASN1_FUNCTIONS(SM2_DIGEST)

// Authenticated attributes are signed as a DER SET OF (sorted), but checked
// in the order they were received.
ASN1_ITEM_TEMPLATE(SM2_ATTR_SIGN) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SET_ORDER, 0, SM2_ATTRIBUTES, X509_ATTRIBUTE)
ASN1_ITEM_TEMPLATE_END(SM2_ATTR_SIGN)

ASN1_ITEM_TEMPLATE(SM2_ATTR_VERIFY) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SEQUENCE_OF | ASN1_TFLG_IMPTAG | ASN1_TFLG_UNIVERSAL, V_ASN1_SET,
                          SM2_ATTRIBUTES, X509_ATTRIBUTE)
ASN1_ITEM_TEMPLATE_END(SM2_ATTR_VERIFY)

IMPLEMENT_ASN1_FUNCTIONS_name(SM2_ATTRIBUTES, SM2_ATTR_SIGN)
IMPLEMENT_ASN1_FUNCTIONS_name(SM2_ATTRIBUTES, SM2_ATTR_VERIFY)

// ---- Building signed data -------------------------------------------------

namespace {

// The internal content type of a content info, -1 when it is none of 961-966.
int contentType(const SM2_P7* p7)
{
    return (p7 == nullptr || p7->type == nullptr) ? -1 : translateinternalnid(OBJ_obj2nid(p7->type));
}

bool isSigned(const SM2_P7* p7)
{
    return contentType(p7) == NID_internal_sm2p7signed && p7->d.sign != nullptr;
}

// Frees the body according to the current type; the type must not change
// while a body of another kind is attached, or the wrong free would run.
void freeBody(SM2_P7* p7)
{
    if (p7->d.ptr == nullptr) {
        return;
    }
    switch (contentType(p7)) {
    case NID_internal_sm2p7data:
        ASN1_OCTET_STRING_free(p7->d.data);
        break;
    case NID_internal_sm2p7signed:
        SM2_SIGNED_free(p7->d.sign);
        break;
    case NID_internal_sm2p7envdata:
        SM2_ENVELOPE_free(p7->d.enveloped);
        break;
    case NID_internal_sm2p7signenvdata:
        SM2_SIGN_ENVELOPE_free(p7->d.signed_and_enveloped);
        break;
    case NID_internal_sm2p7digest:
        SM2_DIGEST_free(p7->d.digest);
        break;
    case NID_internal_sm2p7encrypted:
        SM2_ENCRYPT_free(p7->d.encrypted);
        break;
    default:
        ASN1_TYPE_free(p7->d.other);
        break;
    }
    p7->d.ptr = nullptr;
}

void setType(SM2_P7* p7, ASN1_OBJECT* obj)
{
    ASN1_OBJECT_free(p7->type);
    p7->type = obj;
}

}  // namespace

int SM2_P7_set_type(SM2_P7* p7, int type)
{
    if (p7 == nullptr) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    if (type != NID_internal_sm2p7data && type != NID_internal_sm2p7signed && type != NID_internal_sm2p7envdata) {
        ERR_raise(ERR_LIB_ASN1, ASN1_R_UNSUPPORTED_TYPE);
        return 0;
    }
    ASN1_OBJECT* obj = SM2_OBJ_nid2obj(type);
    if (obj == nullptr) {
        return 0;
    }
    freeBody(p7);
    setType(p7, obj);
    switch (type) {
    case NID_internal_sm2p7data:
        p7->d.data = ASN1_OCTET_STRING_new();
        break;
    case NID_internal_sm2p7signed:
        p7->d.sign = SM2_SIGNED_new();
        if (p7->d.sign != nullptr && !ASN1_INTEGER_set(p7->d.sign->version, 1)) {
            SM2_SIGNED_free(p7->d.sign);
            p7->d.sign = nullptr;
        }
        break;
    default:
        p7->d.enveloped = SM2_ENVELOPE_new();
        break;
    }
    return p7->d.ptr != nullptr;
}

int SM2_P7_set0_type_other(SM2_P7* p7, int type, ASN1_TYPE* other)
{
    if (p7 == nullptr) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    ASN1_OBJECT* obj = SM2_OBJ_nid2obj(type);
    if (obj == nullptr) {
        return 0;
    }
    freeBody(p7);
    setType(p7, obj);
    p7->d.other = other;
    return 1;
}

int SM2_P7_set_content(SM2_P7* p7, SM2_P7* p7_data)
{
    if (!isSigned(p7)) {
        ERR_raise(ERR_LIB_ASN1, ASN1_R_UNSUPPORTED_TYPE);
        return 0;
    }
    if (p7->d.sign->contents != p7_data) {
        SM2_P7_free(p7->d.sign->contents);
        p7->d.sign->contents = p7_data;
    }
    return 1;
}

int SM2_P7_content_new(SM2_P7* p7, int type)
{
    SM2_P7* inner = SM2_P7_new();
    if (inner == nullptr || !SM2_P7_set_type(inner, type) || !SM2_P7_set_content(p7, inner)) {
        SM2_P7_free(inner);
        return 0;
    }
    return 1;
}

long SM2_P7_ctrl(SM2_P7* p7, int cmd, long larg, char*)
{
    if (contentType(p7) != NID_internal_sm2p7signed) {
        ERR_raise(ERR_LIB_ASN1, ASN1_R_UNSUPPORTED_TYPE);
        return 0;
    }
    switch (cmd) {
    case SM2_P7_CTRL_SET_DETACHED:
        p7->detached = static_cast<int>(larg != 0);
        if (larg != 0 && p7->d.sign != nullptr) {
            SM2_P7* inner = p7->d.sign->contents;
            if (contentType(inner) == NID_internal_sm2p7data) {
                ASN1_OCTET_STRING_free(inner->d.data);
                inner->d.data = nullptr;
            }
        }
        return larg;
    case SM2_P7_CTRL_GET_DETACHED: {
        const SM2_P7* inner = p7->d.sign != nullptr ? p7->d.sign->contents : nullptr;
        p7->detached = static_cast<int>(inner == nullptr || inner->d.ptr == nullptr);
        return p7->detached;
    }
    default:
        ERR_raise(ERR_LIB_ASN1, ERR_R_PASSED_INVALID_ARGUMENT);
        return 0;
    }
}

int SM2_P7_add_signer(SM2_P7* p7, SM2_SIGNER_INFO* psi)
{
    if (!isSigned(p7) || psi == nullptr || psi->digest_alg == nullptr || psi->digest_alg->algorithm == nullptr) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_PASSED_INVALID_ARGUMENT);
        return 0;
    }
    SM2_SIGNED* s = p7->d.sign;
    const ASN1_OBJECT* alg = psi->digest_alg->algorithm;
    const int nid = OBJ_obj2nid(alg);
    bool listed = false;
    for (int i = 0; i < sk_X509_ALGOR_num(s->md_algs) && !listed; ++i) {
        const ASN1_OBJECT* have = sk_X509_ALGOR_value(s->md_algs, i)->algorithm;
        // Unregistered identifiers have no number; compare those by value.
        listed = nid != NID_undef ? OBJ_obj2nid(have) == nid : OBJ_cmp(have, alg) == 0;
    }
    if (!listed) {
        X509_ALGOR* entry = X509_ALGOR_new();
        ASN1_OBJECT* obj = OBJ_dup(alg);
        if (entry == nullptr || obj == nullptr || !X509_ALGOR_set0(entry, obj, V_ASN1_NULL, nullptr)) {
            ASN1_OBJECT_free(obj);
            X509_ALGOR_free(entry);
            return 0;
        }
        if (!sk_X509_ALGOR_push(s->md_algs, entry)) {
            X509_ALGOR_free(entry);
            return 0;
        }
    }
    if (!sk_SM2_SIGNER_INFO_push(s->signer_info, psi)) {
        // Leave the structure as it was: the caller still owns psi.
        if (!listed) {
            X509_ALGOR_free(sk_X509_ALGOR_pop(s->md_algs));
        }
        return 0;
    }
    return 1;
}

int SM2_P7_add_certificate(SM2_P7* p7, X509* x509)
{
    if (!isSigned(p7) || x509 == nullptr) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_PASSED_INVALID_ARGUMENT);
        return 0;
    }
    STACK_OF(X509)*& certs = p7->d.sign->cert;
    if (certs == nullptr && (certs = sk_X509_new_null()) == nullptr) {
        return 0;
    }
    if (!X509_up_ref(x509)) {
        return 0;
    }
    if (!sk_X509_push(certs, x509)) {
        X509_free(x509);
        return 0;
    }
    return 1;
}

int SM2_P7_add_crl(SM2_P7* p7, X509_CRL* crl)
{
    if (!isSigned(p7) || crl == nullptr) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_PASSED_INVALID_ARGUMENT);
        return 0;
    }
    STACK_OF(X509_CRL)*& crls = p7->d.sign->crl;
    if (crls == nullptr && (crls = sk_X509_CRL_new_null()) == nullptr) {
        return 0;
    }
    if (!X509_CRL_up_ref(crl)) {
        return 0;
    }
    if (!sk_X509_CRL_push(crls, crl)) {
        X509_CRL_free(crl);
        return 0;
    }
    return 1;
}

STACK_OF(SM2_SIGNER_INFO)* SM2_P7_get_signer_info(SM2_P7* p7)
{
    if (p7 == nullptr || p7->d.ptr == nullptr) {
        return nullptr;
    }
    switch (contentType(p7)) {
    case NID_internal_sm2p7signed:
        return p7->d.sign->signer_info;
    case NID_internal_sm2p7signenvdata:
        return p7->d.signed_and_enveloped->signer_info;
    default:
        return nullptr;
    }
}

ASN1_TYPE* get_attribute(const STACK_OF(X509_ATTRIBUTE)* sk, int nid)
{
    if (sk == nullptr) {
        return nullptr;
    }
    const ASN1_OBJECT* want = SM2_OBJ_nid2obj(nid);
    if (want == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(sk); ++i) {
        X509_ATTRIBUTE* attr = sk_X509_ATTRIBUTE_value(sk, i);
        if (OBJ_cmp(X509_ATTRIBUTE_get0_object(attr), want) == 0) {
            return X509_ATTRIBUTE_count(attr) > 0 ? X509_ATTRIBUTE_get0_type(attr, 0) : nullptr;
        }
    }
    return nullptr;
}

ASN1_OCTET_STRING* SM2_P7_digest_from_attributes(const STACK_OF(X509_ATTRIBUTE)* sk)
{
    ASN1_TYPE* t = get_attribute(sk, NID_pkcs9_messageDigest);
    return (t != nullptr && t->type == V_ASN1_OCTET_STRING) ? t->value.octet_string : nullptr;
}

}  // namespace sm
