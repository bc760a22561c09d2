// The text codecs: Base64 (ours and the block form of the encrypted
// parameter), hexadecimal, PEM, UTF-8 reading and the code page translation.
// Arbitrary text must decode without fault, and whatever is encoded must come
// back unchanged.
#include "OpenSSLHelper.h"
#include "core/CodePage.h"
#include "core/base64.h"
#include "core/codec.h"
#include "core/hexcode.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz_codecs: %s\n", what);
    std::abort();
}

void Check(bool ok, const char* what)
{
    if (!ok) {
        Fail(what);
    }
}

// The PEM text must read back, through the crypto library's own reader, as
// the same tag and bytes.
void CheckPem(const std::string& bytes, const std::string& tag)
{
    const std::string pem = ICodec::pemencode(bytes, tag);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    Check(bio != nullptr, "BIO");
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long len = 0;
    const int ok = PEM_read_bio(bio.get(), &name, &header, &data, &len);
    // The reader wants some bytes and a line-sized tag of plain characters.
    if (ok == 1) {
        Check(tag == name, "PEM tag changed");
        Check(std::string(reinterpret_cast<char*>(data), static_cast<size_t>(len)) == bytes, "PEM bytes changed");
    } else {
        Check(bytes.empty(), "PEM of non-empty bytes with a plain tag does not read back");
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
}

bool PlainTag(const std::string& tag)
{
    if (tag.empty() || tag.size() > 40) {
        return false;
    }
    for (unsigned char c : tag) {
        if (!((c >= 'A' && c <= 'Z') || c == ' ')) {
            return false;
        }
    }
    return tag.front() != ' ' && tag.back() != ' ';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string in(reinterpret_cast<const char*>(data), size);

    // Decoding arbitrary text.
    const std::string d64 = Base64::decode64(in);
    Check(d64.size() <= in.size() / 4 * 3 + 2, "decode64 gave more bytes than the text can hold");
    const std::string dBlock = OpensslHelper::Base64Decode(in);
    Check(dBlock.size() <= in.size() / 4 * 3, "Base64Decode gave more bytes than the text can hold");
    const std::string dHex = HexCode::decode(in);
    Check(dHex.size() == in.size() / 2, "hex decode length");
    for (char c : in) {
        const int v = HexCode::hex2val(c);
        Check(v >= 0 && v <= 255, "hex2val out of range");
    }

    // Round trips.
    const std::string e64 = Base64::encode64(in);
    Check(e64.size() == (in.size() + 2) / 3 * 4, "encode64 length");
    Check(Base64::decode64(e64) == in, "decode64(encode64(x)) != x");
    Check(ICodec::encode(in) == e64, "ICodec::encode differs from encode64");
    Check(OpensslHelper::Base64Encode(in) == e64, "the two Base64 encoders differ");
    Check(OpensslHelper::Base64Decode(e64) == in, "Base64Decode(Base64Encode(x)) != x");
    Check(HexCode::decode(HexCode::encode(in, true)) == in, "hex round trip (upper)");
    Check(HexCode::decode(HexCode::encode(in, false)) == in, "hex round trip (lower)");

    // PEM: the first line of the input (if plain) is the tag, the rest the bytes.
    const size_t nl = in.find('\n');
    if (nl != std::string::npos && PlainTag(in.substr(0, nl))) {
        CheckPem(in.substr(nl + 1), in.substr(0, nl));
    } else {
        CheckPem(in, "CERTIFICATE");
    }

    // UTF-8 and the code page.
    std::wstring wide;
    const bool utf8 = ICodec::utf82unicode(in, wide);
    Check(utf8 || wide.empty(), "failed UTF-8 reading left output");
    Check(wide.size() <= in.size(), "more characters than bytes");
    const int saved = CodePage::Get();
    CodePage::Set(0);
    const std::string utf16 = CodePage::GetTranslate(in);
    Check(utf16.size() == wide.size() * 2, "UTF-16 length");
    CodePage::Set(963);
    (void)CodePage::GetTranslate(in);
    CodePage::Set(saved);
    Check(CodePage::GetTranslate(in) == in, "default code page changed the text");
    return 0;
}
