// halcyra_pqc.mirelock: the module with the shape of an RSA key module and an OAEP cipher
// module. Its body, statement by statement, with the line each statement's failure is
// recorded at.
#include "../core/contract.h"
#include "../frame/imports.h"
#include "../frame/lookup.h"
#include "../frame/module.h"
#include "declared.h"

namespace mirelock {
namespace {

using frame::Ref;
using frame::assign;
using frame::define;
using frame::global;
using at = declared::body;

// RSA.<attribute> = <function>: the value is evaluated before the target, as in Python.
bool set_on_rsa(const frame::Name& attribute, const frame::Name& function_name) noexcept {
    Ref function = global(function_name);
    Ref rsa = function ? global(n::RSA) : Ref();
    return rsa && PyObject_SetAttr(rsa.get(), attribute.object(), function.get()) == 0;
}

// sys.modules["halcyra_pqc.mirelock.RSA"] = RSA, so the object imports as a submodule. The
// key is fixed, whatever name the module itself was loaded under.
bool register_rsa() noexcept {
    Ref rsa = global(n::RSA);
    Ref sys = rsa ? global(n::sys) : Ref();
    Ref modules = sys ? frame::getattr(sys.get(), n::modules) : Ref();
    return modules && PyObject_SetItem(modules.get(), n::halcyra_pqc_mirelock_RSA.object(), rsa.get()) == 0;
}

bool body(const frame::Site& site) noexcept {
    return site.line(at::sys, assign(n::sys, frame::import_module(n::sys)))
        && site.line(at::ModuleType, frame::import_names(n::types, {&n::ModuleType}))
        && site.line(at::generate_pqc_kem_keypair, core::import_functions())
        && site.line(at::PyCryptodomeKey, define(declared::PyCryptodomeKey::spec))
        && site.line(at::PyCryptodomeCipher, define(declared::PyCryptodomeCipher::spec))
        && site.line(at::pycryptodome_generate, define(pycryptodome_generate))
        && site.line(at::pycryptodome_import_key, define(pycryptodome_import_key))
        && site.line(at::PKCS1_OAEP_Mock, define(declared::PKCS1_OAEP_Mock::spec))
        && site.line(at::RSA, assign(n::RSA, frame::call_global(n::ModuleType, n::halcyra_pqc_mirelock_RSA.object())))
        && site.line(at::RSA_generate, set_on_rsa(n::generate, n::pycryptodome_generate))
        && site.line(at::RSA_import_key, set_on_rsa(n::import_key, n::pycryptodome_import_key))
        && site.line(at::sys_modules, register_rsa())
        && site.line(at::PKCS1_OAEP, assign(n::PKCS1_OAEP, global(n::PKCS1_OAEP_Mock)))
        && site.line(frame::kPreparationLine, assign(n::dunder_test, Ref::steal(PyDict_New())));
}

const frame::ModuleInfo info = {"mirelock", "halcyra_pqc.mirelock", "halcyra_pqc/mirelock", body};

}  // namespace
}  // namespace mirelock

PyMODINIT_FUNC PyInit_mirelock(void) { return frame::initialise(mirelock::info); }
