// SM3 as a crypto-library digest method (EVP_MD). A method built with
// EVP_MD_meth_new has no provider behind it, so EVP_DigestInit_ex takes the
// library's legacy path and calls these functions on a data area of
// sizeof(SM3_CTX) bytes that the library allocates per digest context.

#include "SM/sm3.h"
#include "SM/sm_oid.h"

#include <openssl/evp.h>

#include <memory>

namespace sm {

namespace {

SM3_CTX* data_of(EVP_MD_CTX* ctx)
{
    return static_cast<SM3_CTX*>(EVP_MD_CTX_md_data(ctx));
}

int init(EVP_MD_CTX* ctx)
{
    return SM3_Init(data_of(ctx));
}

int update(EVP_MD_CTX* ctx, const void* data, size_t count)
{
    return SM3_Update(data_of(ctx), data, count);
}

int final(EVP_MD_CTX* ctx, unsigned char* md)
{
    return SM3_Final(data_of(ctx), md);
}

using MdPtr = std::unique_ptr<EVP_MD, decltype(&EVP_MD_meth_free)>;

MdPtr build()
{
    // The system calls SM3 959; the library knows 1.2.156.10197.1.401 under
    // its own number.
    MdPtr md(EVP_MD_meth_new(sm_library_nid(NID_internal_sm3), NID_undef), &EVP_MD_meth_free);
    if (!md || EVP_MD_meth_set_result_size(md.get(), SM3_DIGEST_LENGTH) != 1 ||
        EVP_MD_meth_set_input_blocksize(md.get(), SM3_BLOCK_SIZE) != 1 ||
        EVP_MD_meth_set_app_datasize(md.get(), sizeof(SM3_CTX)) != 1 || EVP_MD_meth_set_flags(md.get(), 0) != 1 ||
        EVP_MD_meth_set_init(md.get(), init) != 1 || EVP_MD_meth_set_update(md.get(), update) != 1 ||
        EVP_MD_meth_set_final(md.get(), final) != 1) {
        return MdPtr(nullptr, &EVP_MD_meth_free);
    }
    return md;
}

}  // namespace

const EVP_MD* EVP_sm3()
{
    // Built on first use (thread-safe static initialisation) and kept for the
    // life of the process, as the library's own method tables are.
    static const MdPtr md = build();
    return md.get();
}

}  // namespace sm
