// The HTTP front end as the connection loop drives it: the completeness scan
// over the bytes received so far, then the parser with URL decoding and the
// encrypted "str" parameter of a GET.
//
// The first input byte picks the form:
//   even: the rest is the raw request bytes;
//   odd:  the rest is a command that is wrapped the way a page wraps it
//         (rankey, datab, datac) into a GET, which must come back out of the
//         parser unchanged. This reaches the decryption path that random bytes
//         never do, since they cannot guess the check block.
#include "OpenSSLHelper.h"
#include "httpurl.h"

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz_http_request: %s\n", what);
    std::abort();
}

// The page's side, written against EVP directly so that the check does not
// share code with what it checks.
std::string Ecb(const std::string& in, const unsigned char* key, bool encrypt)
{
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1) {
        Fail("cipher setup");
    }
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::string out(in.size(), '\0');
    int n = 0;
    if (!in.empty() &&
        EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&out[0]), &n,
                         reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size())) != 1) {
        Fail("cipher");
    }
    return out;
}

std::string B64(const std::string& bytes)
{
    std::string out(bytes.size() / 3 * 4 + 8, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// Percent-encodes every byte, so the URL decoder gives back exactly the text.
std::string PercentAll(const std::string& s)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

void ParseRaw(const char* data, size_t size)
{
    // The scan must settle on a whole request once the buffer is full.
    (void)CHttpRequest::ScanRequest(data, size, size);
    (void)CHttpRequest::ScanRequest(data, size, 65536);

    CHttpRequest request;
    const int rc = request.Attach(data, size);
    if (rc < CHttpRequest::kParsed || rc > CHttpRequest::kBadMethod) {
        Fail("Attach result out of range");
    }
    const std::string post = request.GetPostContent();
    if (post.size() > size) {
        Fail("POST body longer than the request");
    }
    (void)request.GetRequestMethod();
    (void)request.QueryRequestPara("str");
    (void)request.QueryRequestPara("callback");
    (void)request.GetHeaderField("Origin");
    (void)request.GetHeaderField("Content-Length");
    request.Dettach();
    if (!request.GetPostContent().empty() || !request.GetRequestMethod().empty()) {
        Fail("Dettach left state behind");
    }

    CHttpUrl url;
    const std::string text(data, size);
    const std::string decoded = url.DecodeUrl(text);
    if (decoded.size() > text.size()) {
        Fail("DecodeUrl grew the text");
    }
    (void)url.EncodeUrl(text);
}

void WrappedCommand(const std::string& body)
{
    // 32 characters of rankey from the input, kept to 1..127 so that each is
    // one byte of the JSON text; the rest is the command.
    std::string r = body.substr(0, 32);
    r.resize(32, 'a');
    for (char& c : r) {
        c = static_cast<char>(1 + static_cast<unsigned char>(c) % 127);
    }
    const std::string command = body.size() > 32 ? body.substr(32) : std::string("{}");
    const std::string keyB = Ecb(r, reinterpret_cast<const unsigned char*>(CHttpRequestAuthenticaor::kKeyK), false);
    const std::string keyBText = B64(keyB);
    unsigned char keyC[32];
    for (size_t i = 0; i < 32; ++i) {
        keyC[i] = static_cast<unsigned char>(r[i]) ^ CHttpRequestAuthenticaor::kMaskM[i];
    }
    std::string padded = command;
    padded.resize((padded.size() + 15) / 16 * 16, '\0');
    const std::string datab = B64(Ecb(r, reinterpret_cast<const unsigned char*>(keyBText.data()), true));
    const std::string datac = B64(Ecb(padded, keyC, true));

    // rankey goes in as a JSON string: escape every byte.
    std::string rankey;
    static const char kHex[] = "0123456789abcdef";
    for (unsigned char c : r) {
        rankey += "\\u00";
        rankey += kHex[c >> 4];
        rankey += kHex[c & 15];
    }
    const std::string form = "{\"rankey\":\"" + rankey + "\",\"datab\":\"" + datab + "\",\"datac\":\"" + datac + "\"}";
    const std::string request = "GET /?callback=cb&str=" + PercentAll(form) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

    if (CHttpRequest::ScanRequest(request.data(), request.size(), request.size()) != CHttpRequest::Scan::kComplete) {
        Fail("whole GET not seen as complete");
    }
    CHttpRequest parser;
    if (parser.Attach(request.data(), request.size()) != CHttpRequest::kParsed) {
        Fail("well-formed GET not parsed");
    }
    if (parser.QueryRequestPara("str") != padded) {
        Fail("encrypted command did not round-trip");
    }
    parser.Dettach();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const char* text = reinterpret_cast<const char*>(data + 1);
    if ((data[0] & 1) == 0) {
        ParseRaw(text, size - 1);
    } else {
        WrappedCommand(std::string(text, size - 1));
    }
    return 0;
}
