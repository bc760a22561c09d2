// The "sm2" engine: the only unit that uses the ENGINE interface, which
// OpenSSL 4 removes; a provider can take its place behind the same functions.

#include "SM/sm2_lib.h"

#include "SM/sm_oid.h"
#include "SM/sm2_util.h"

#include <openssl/err.h>

#include <memory>
#include <new>

namespace sm {

using detail::LibFree;

namespace {

void engine_free(ENGINE* e)
{
    ENGINE_free(e);
}

using EnginePtr = std::unique_ptr<ENGINE, LibFree<ENGINE, engine_free>>;
using PmethPtr = std::unique_ptr<EVP_PKEY_METHOD, LibFree<EVP_PKEY_METHOD, EVP_PKEY_meth_free>>;

const char kEngineId[] = "sm2";
const char kEngineName[] = "sm2 support";

// The methods one engine hands out, one per key type it serves. The library
// frees every method an engine's table gives out when the engine itself is
// freed (it asks the table once more for each number, then calls
// EVP_PKEY_meth_free), so once the table is installed the methods belong to
// the library and the destroy function frees only this record.
constexpr int kMethodCount = 2;

struct EngineMethods {
    int nids[kMethodCount];
    EVP_PKEY_METHOD* meths[kMethodCount];
    bool ownedByLibrary;
};

int methods_index()
{
    static const int index = ENGINE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

EngineMethods* methods_of(ENGINE* e)
{
    const int index = methods_index();
    return index >= 0 ? static_cast<EngineMethods*>(ENGINE_get_ex_data(e, index)) : nullptr;
}

void free_methods(EngineMethods* m)
{
    if (m == nullptr) {
        return;
    }
    if (!m->ownedByLibrary) {
        for (EVP_PKEY_METHOD* pm : m->meths) {
            EVP_PKEY_meth_free(pm);
        }
    }
    delete m;
}

int sm2_engine_destroy(ENGINE* e)
{
    free_methods(methods_of(e));
    ENGINE_set_ex_data(e, methods_index(), nullptr);
    return 1;
}

int sm2_engine_init(ENGINE*)
{
    return 1;
}

int sm2_engine_finish(ENGINE*)
{
    return 1;
}

// ENGINE key-method table: with pmeth null the list of numbers and its
// length, otherwise the method for nid (1) or nothing (0).
int pkey_meths(ENGINE* e, EVP_PKEY_METHOD** pmeth, const int** nids, int nid)
{
    EngineMethods* m = methods_of(e);
    if (pmeth == nullptr) {
        if (nids == nullptr || m == nullptr) {
            return 0;
        }
        *nids = m->nids;
        return kMethodCount;
    }
    *pmeth = nullptr;
    if (m == nullptr) {
        return 0;
    }
    for (int i = 0; i < kMethodCount; ++i) {
        if (m->nids[i] == nid) {
            *pmeth = m->meths[i];
            return 1;
        }
    }
    return 0;
}

}  // namespace

int bind_sm2(ENGINE* e)
{
    if (e == nullptr || methods_index() < 0) {
        return 0;
    }
    if (methods_of(e) != nullptr) {
        return 1;  // already bound; its methods may be in use by contexts
    }
    // An EC_KEY on the SM2 group assigned to an EVP_PKEY takes the library's
    // SM2 key type; an engine without that number is refused by
    // EVP_PKEY_set1_engine and the library then signs with its own SM2.
    // EVP_PKEY_EC is the type of any other EC key given to EVP_PKEY_SM2_init.
    const int sm2Nid = sm_library_nid(NID_internal_sm2);
    if (sm2Nid <= 0 || sm2Nid == EVP_PKEY_EC) {
        return 0;
    }
    PmethPtr forSm2(sm2_pmeth_new(sm2Nid));
    PmethPtr forEc(sm2_pmeth_new(EVP_PKEY_EC));
    std::unique_ptr<EngineMethods> methods(new (std::nothrow) EngineMethods{});
    if (!forSm2 || !forEc || !methods) {
        return 0;
    }
    methods->nids[0] = sm2Nid;
    methods->nids[1] = EVP_PKEY_EC;
    methods->meths[0] = forSm2.release();
    methods->meths[1] = forEc.release();
    methods->ownedByLibrary = false;

    // The destroy function is in place before the record is attached, so a
    // failure after attaching still frees it.
    if (ENGINE_set_id(e, kEngineId) != 1 || ENGINE_set_name(e, kEngineName) != 1 ||
        ENGINE_set_destroy_function(e, sm2_engine_destroy) != 1 ||
        ENGINE_set_init_function(e, sm2_engine_init) != 1 ||
        ENGINE_set_finish_function(e, sm2_engine_finish) != 1 ||
        // Listed engines are made the default for everything they offer
        // whenever the library runs ENGINE_register_all_complete (ENGINE_by_id
        // and the built-in engine loading do): this one would then take over
        // every EC key of the process, P-256 included. It is reached only
        // through the keys bound to it.
        ENGINE_set_flags(e, ENGINE_FLAGS_NO_REGISTER_ALL) != 1) {
        free_methods(methods.release());
        return 0;
    }
    if (ENGINE_set_ex_data(e, methods_index(), methods.get()) != 1) {
        free_methods(methods.release());
        return 0;
    }
    EngineMethods* attached = methods.release();
    if (ENGINE_set_pkey_meths(e, pkey_meths) != 1) {
        return 0;  // freed by the destroy function
    }
    attached->ownedByLibrary = true;
    return 1;
}

ENGINE* engine_sm2()
{
    EnginePtr e(ENGINE_new());
    if (!e || bind_sm2(e.get()) != 1) {
        return nullptr;
    }
    return e.release();
}

void ENGINE_load_sm2()
{
    EnginePtr e(engine_sm2());
    if (e) {
        ENGINE_add(e.get());  // takes its own reference
    }
    ERR_clear_error();
}

int sm2_engine_attach(EVP_PKEY* pkey)
{
    if (pkey == nullptr) {
        return 0;
    }
    EnginePtr e(engine_sm2());
    // set1 takes a functional reference that lives as long as the key.
    return e && EVP_PKEY_set1_engine(pkey, e.get()) == 1 ? 1 : 0;
}

}  // namespace sm
