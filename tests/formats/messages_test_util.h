#pragma once
// Helpers of the signed-data tests: fixture files, a scratch directory for
// the openssl command line, signatures made by OpenSSL itself, and a small
// DER reader that insists on definite, minimal lengths.

#include <gtest/gtest.h>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace msgtest {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

inline std::string fixture(const std::string& name)
{
    const std::string data = readFile(std::string(VAULTLINE_FIXTURES) + "/certs/" + name);
    EXPECT_FALSE(data.empty()) << "fixture " << name << " missing; run tests/fixtures/make-certs.sh";
    return data;
}

inline Pkey fixtureKey(const std::string& name)
{
    const std::string pem = fixture(name);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                  BIO_free);
    return Pkey(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

inline X509Ptr decodeCert(const std::string& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// A scratch directory for the command-line tool, removed at the end.
class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "/tmp/vaultline-msg-XXXXXX";
        const char* made = mkdtemp(tmpl);
        if (made == nullptr) {
            throw std::runtime_error("no scratch directory");  // gtest reports it as a failure
        }
        path_ = made;
    }
    ~ScratchDir()
    {
        const std::string cmd = "rm -rf '" + path_ + "'";
        (void)std::system(cmd.c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void put(const std::string& name, const std::string& data) const { writeFile(file(name), data); }
    std::string get(const std::string& name) const { return readFile(file(name)); }

    // Runs `openssl args` inside the directory with output in out.txt and
    // errors in err.txt; the exit status.
    int openssl(const std::string& args) const
    {
        const std::string cmd = "cd '" + path_ + "' && openssl " + args + " >out.txt 2>err.txt";
        const int rc = std::system(cmd.c_str());
        return (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
    }
    std::string errors() const { return get("err.txt"); }
    std::string output() const { return get("out.txt"); }

private:
    std::string path_;
};

// EVP_DigestSign with OpenSSL's own algorithms. For SM2 the identity is set
// first, and the result is DER SEQUENCE { r, s }.
inline std::string opensslSign(EVP_PKEY* key, const EVP_MD* md, const std::string& data, const char* sm2id = nullptr)
{
    MdCtx ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!ctx || EVP_DigestSignInit(ctx.get(), &pctx, md, nullptr, key) != 1) {
        return {};
    }
    if (sm2id != nullptr && EVP_PKEY_CTX_set1_id(pctx, sm2id, std::char_traits<char>::length(sm2id)) != 1) {
        return {};
    }
    size_t len = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(data.data());
    if (EVP_DigestSign(ctx.get(), nullptr, &len, in, data.size()) != 1) {
        return {};
    }
    std::string sig(len, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(&sig[0]), &len, in, data.size()) != 1) {
        return {};
    }
    sig.resize(len);
    return sig;
}

// DER SEQUENCE { r, s } -> 64 bytes r || s (each left-padded to 32).
inline std::string derToRaw(const std::string& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())),
                                                            ECDSA_SIG_free);
    if (!sig) {
        return {};
    }
    std::string raw(64, '\0');
    auto* out = reinterpret_cast<unsigned char*>(&raw[0]);
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out, 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out + 32, 32) != 32) {
        return {};
    }
    return raw;
}

// One DER element: tag byte(s) as read, where its contents start and how long
// they are. Only single-byte tags occur in these messages.
struct Tlv {
    unsigned char tag;
    size_t at;     // offset of the tag
    size_t start;  // offset of the contents in the buffer
    size_t len;
    size_t end() const { return start + len; }
};

// Reads the element at `at` that must end no later than `limit`. Refuses the
// indefinite form and lengths not written in the shortest form.
inline std::optional<Tlv> readTlv(const std::string& der, size_t at, size_t limit)
{
    if (limit > der.size() || at + 2 > limit) {
        return std::nullopt;
    }
    const auto* b = reinterpret_cast<const unsigned char*>(der.data());
    Tlv t{b[at], at, 0, 0};
    size_t p = at + 1;
    const unsigned char first = b[p++];
    if (first < 0x80) {
        t.len = first;
    } else {
        const size_t n = first & 0x7f;
        if (n == 0 || n > 4 || p + n > limit || b[p] == 0) {
            return std::nullopt;  // indefinite, too long, or a leading zero byte
        }
        for (size_t i = 0; i < n; ++i) {
            t.len = (t.len << 8) | b[p++];
        }
        if (t.len < 0x80) {
            return std::nullopt;  // the short form was due
        }
    }
    t.start = p;
    if (t.end() > limit) {
        return std::nullopt;
    }
    return t;
}

// The elements that make up a constructed element's contents, which they
// must fill exactly; nullopt otherwise.
inline std::optional<std::vector<Tlv>> children(const std::string& der, const Tlv& parent)
{
    std::vector<Tlv> out;
    size_t at = parent.start;
    while (at < parent.end()) {
        auto t = readTlv(der, at, parent.end());
        if (!t) {
            return std::nullopt;
        }
        out.push_back(*t);
        at = t->end();
    }
    return out;
}

// The whole element, header included.
inline std::string elementBytes(const std::string& der, const Tlv& t)
{
    return der.substr(t.at, t.end() - t.at);
}

// The outer content info's [0] body of a signed-data message, walked down to
// the signed-data SEQUENCE; its elements. Every enclosing length is checked to
// be minimal DER and to cover exactly what it encloses.
inline std::optional<std::vector<Tlv>> signedDataElements(const std::string& der)
{
    auto top = readTlv(der, 0, der.size());
    if (!top || top->tag != 0x30 || top->end() != der.size()) {
        return std::nullopt;
    }
    auto outer = children(der, *top);  // type, [0]
    if (!outer || outer->size() != 2 || (*outer)[0].tag != 0x06 || (*outer)[1].tag != 0xa0) {
        return std::nullopt;
    }
    auto wrapped = children(der, (*outer)[1]);  // the signed-data SEQUENCE alone
    if (!wrapped || wrapped->size() != 1 || (*wrapped)[0].tag != 0x30) {
        return std::nullopt;
    }
    return children(der, (*wrapped)[0]);
}

}  // namespace msgtest
