// Signed messages as a page hands them in for verification: PKCS#7 signed
// data (RSA) and GM/T 0010 signed data (SM2), decoded and checked against a
// detached message or their own content; bare SM2 signatures; and messages
// built around a signature from the input, which must decode again.
//
// The first input byte picks the form (low two bits), the second the split
// between signature and message for the detached forms.
#include "SM/fp7.h"
#include "core/OsOpenssl.h"

#include <openssl/bio.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_signed_data: %s\n", what);
        std::abort();
    }
}

std::string ReadFixture(const char* name)
{
    std::ifstream in(std::string(FIXTURE_DIR) + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    Check(!s.str().empty(), "fixture missing");
    return s.str();
}

std::string g_sm2Cert;  // DER
std::string g_rsaCert;
X509* g_sm2X509 = nullptr;

struct P7Free {
    void operator()(sm::SM2_P7* p) const { sm::SM2_P7_free(p); }
};
using Sm2P7Ptr = std::unique_ptr<sm::SM2_P7, P7Free>;

Sm2P7Ptr DecodeSm2(const std::string& der)
{
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    return Sm2P7Ptr(der.empty() ? nullptr : sm::d2i_SM2_P7(nullptr, &p, static_cast<long>(der.size())));
}

void Sm2Message(const std::string& der, std::string msg, bool detached)
{
    Sm2P7Ptr p7 = DecodeSm2(der);
    if (!p7) {
        return;
    }
    // Encoding back and printing must hold up on whatever decoded.
    unsigned char* out = nullptr;
    const int len = sm::i2d_SM2_P7(p7.get(), &out);
    if (len > 0) {
        OPENSSL_free(out);
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> sink(BIO_new(BIO_s_null()), &BIO_free);
    sm::SM2_P7_print_ctx(sink.get(), p7.get(), 0, nullptr);
    if (detached) {
        (void)SM2P7Verify(p7.get(), msg.empty() ? nullptr : &msg[0], static_cast<int>(msg.size()));
    } else {
        (void)SM2P7Verify(p7.get(), nullptr, 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    g_sm2Cert = ReadFixture("sm2.der");
    g_rsaCert = ReadFixture("rsa-email.der");
    const auto* p = reinterpret_cast<const unsigned char*>(g_sm2Cert.data());
    g_sm2X509 = d2i_X509(nullptr, &p, static_cast<long>(g_sm2Cert.size()));
    Check(g_sm2X509 != nullptr, "SM2 fixture does not decode");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const std::string body(reinterpret_cast<const char*>(data + 2), size - 2);
    const size_t split = body.empty() ? 0 : data[1] % (body.size() + 1);
    const std::string head = body.substr(0, split);
    const std::string tail = body.substr(split);

    switch (data[0] & 3) {
    case 0:
        // PKCS#7: attached, or detached over the tail.
        (void)PKCS7Verify(body, std::string());
        (void)PKCS7Verify(head, tail);
        break;
    case 1:
        Sm2Message(body, std::string(), false);
        Sm2Message(head, tail, true);
        break;
    case 2: {
        // A bare r || s over the tail with the SM2 fixture's key; the call may
        // reverse the halves in place, so it works on copies.
        std::string sig = head;
        std::string msg = tail;
        (void)sm::SM2Verify(g_sm2X509, sig.empty() ? nullptr : reinterpret_cast<unsigned char*>(&sig[0]),
                            static_cast<int>(sig.size()),
                            msg.empty() ? nullptr : reinterpret_cast<unsigned char*>(&msg[0]),
                            static_cast<int>(msg.size()));
        break;
    }
    case 3: {
        // Built around the input's "signature" (head) and content (tail):
        // the result must decode, carry the certificate, and not verify.
        const bool attach = (data[0] & 4) != 0;
        const std::string content = attach ? tail : std::string();
        const std::string sm2 = MakeSM2P7Signed(content, g_sm2Cert, head, NID_sm3);
        if (!sm2.empty()) {
            Sm2P7Ptr p7 = DecodeSm2(sm2);
            Check(p7 != nullptr, "built SM2 signed data does not decode");
            Check(sm::sk_SM2_SIGNER_INFO_num(sm::SM2_P7_get_signer_info(p7.get())) == 1, "built SM2 signer count");
            std::string msg = tail;
            if (head.size() != 64) {
                // Only exactly 64 bytes can be r || s.
                Check(!SM2P7Verify(p7.get(), msg.empty() ? nullptr : &msg[0], static_cast<int>(msg.size())),
                      "SM2 signed data verified with a signature that is not 64 bytes");
            }
        }
        const std::string rsa = MakePKCS7Signed(content, g_rsaCert, head, NID_sha256);
        if (!rsa.empty()) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(rsa.data());
            PKCS7* pk = d2i_PKCS7(nullptr, &p, static_cast<long>(rsa.size()));
            Check(pk != nullptr, "built PKCS#7 does not decode");
            Check(PKCS7_type_is_signed(pk), "built PKCS#7 is not signed data");
            PKCS7_free(pk);
            (void)PKCS7Verify(rsa, tail);
        }
        break;
    }
    }
    return 0;
}
