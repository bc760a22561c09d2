#include "core/OsFunctions.h"

#include "SM/sm_oid.h"
#include "core/openssl++.h"

#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr decodeCertificate(const std::string& der)
{
    if (der.empty()) {
        return X509Ptr();
    }
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// Raw bytes of the first entry with this number, cut at the first zero byte
// and at 2047 bytes, as a summary has always shown them. False when the
// attribute is missing or empty, so the caller leaves its field alone.
bool firstEntryText(X509_NAME* name, int nid, std::string& out)
{
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) {
        return false;
    }
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    if (data == nullptr || ASN1_STRING_length(data) <= 0) {
        return false;
    }
    const auto* bytes = reinterpret_cast<const char*>(ASN1_STRING_get0_data(data));
    const size_t len = std::min<size_t>(static_cast<size_t>(ASN1_STRING_length(data)), 2047);
    out.assign(bytes, strnlen(bytes, len));
    return true;
}

bool sameObject(const ASN1_OBJECT* a, const ASN1_OBJECT* b)
{
    if (a == nullptr || b == nullptr) {
        return false;
    }
    const size_t len = OBJ_length(a);
    return len > 0 && len == OBJ_length(b) && std::memcmp(OBJ_get0_data(a), OBJ_get0_data(b), len) == 0;
}

std::string lowerAscii(std::string s)
{
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

}  // namespace

bool GetInfoEx(certificate_info_t* p, std::string& strder)
{
    if (p == nullptr) {
        return true;
    }
    X509Ptr cert = decodeCertificate(strder);
    if (!cert) {
        return true;
    }
    const std::string sn = Openssl::CInteger(X509_get_serialNumber(cert.get())).toString(true);
    if (!sn.empty()) {
        p->sn = sn;
    }
    X509_NAME* subject = X509_get_subject_name(cert.get());
    if (subject == nullptr) {
        return true;
    }
    const struct {
        int nid;
        std::string certificate_info_t::*field;
    } attributes[] = {
        {NID_commonName, &certificate_info_t::CN},
        {NID_countryName, &certificate_info_t::C},
        {NID_pkcs9_emailAddress, &certificate_info_t::E},
        {NID_organizationName, &certificate_info_t::O},
        {NID_organizationalUnitName, &certificate_info_t::OU},
    };
    for (const auto& a : attributes) {
        std::string text;
        if (firstEntryText(subject, a.nid, text)) {
            p->*a.field = text;
        }
    }
    return true;
}

bool isgmcert(std::string& strcert0)
{
    X509Ptr cert = decodeCertificate(strcert0);
    if (!cert) {
        return false;
    }
    // Read the algorithm from the encoded key info, not from a key object: on
    // this library an SM2 certificate's key is a provider key that no longer
    // says which curve it came from.
    X509_PUBKEY* pubkey = X509_get_X509_PUBKEY(cert.get());
    ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR* algor = nullptr;
    if (pubkey == nullptr || X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, &algor, pubkey) != 1) {
        return false;
    }
    if (!sameObject(algorithm, OBJ_nid2obj(NID_X9_62_id_ecPublicKey))) {
        return false;
    }
    int paramType = V_ASN1_UNDEF;
    const void* param = nullptr;
    X509_ALGOR_get0(nullptr, &paramType, &param, algor);
    if (paramType != V_ASN1_OBJECT) {
        return false;  // NULL, explicit curve parameters, or none at all
    }
    return sameObject(static_cast<const ASN1_OBJECT*>(param), sm::SM2_OBJ_nid2obj(sm::NID_internal_sm2));
}

std::string GetPubkey(std::string cert)
{
    X509Ptr x = decodeCertificate(cert);
    if (!x) {
        return std::string();
    }
    // Encode the certificate's own key info: a provider key (SM2) may not
    // encode back through the key object, the key info always does.
    X509_PUBKEY* pubkey = X509_get_X509_PUBKEY(x.get());
    if (pubkey == nullptr || X509_get0_pubkey(x.get()) == nullptr) {
        return std::string();
    }
    const int len = i2d_X509_PUBKEY(pubkey, nullptr);
    if (len <= 0) {
        return std::string();
    }
    std::string der(static_cast<size_t>(len), '\0');
    auto* out = reinterpret_cast<unsigned char*>(&der[0]);
    if (i2d_X509_PUBKEY(pubkey, &out) != len) {
        return std::string();
    }
    return der;
}

bool caseinsensecompare(std::string strsrc, std::string strdes)
{
    return lowerAscii(std::move(strsrc)) == lowerAscii(std::move(strdes));
}

bool caseinsensecomparea(std::string strsrc, std::string strdes)
{
    return caseinsensecompare(std::move(strsrc), std::move(strdes));
}

void reversebyte(unsigned char* src, int istart, int ilen)
{
    if (src == nullptr || istart < 0 || ilen <= 0 || istart >= ilen) {
        return;
    }
    std::reverse(src + istart, src + istart + ilen);
}
