// halcyra_pqc.mirelock: the module with the shape of an RSA key module and an OAEP cipher
// module. Its body, statement by statement, with the line each statement's failure is
// recorded at.
#include "../core/contract.h"
#include "../frame/classes.h"
#include "../frame/function.h"
#include "../frame/imports.h"
#include "../frame/lookup.h"
#include "../frame/module.h"
#include "functions.h"
#include "names.h"

namespace mirelock {
namespace {

using frame::ClassStatement;
using frame::make_function;
using frame::Ref;
using frame::assign;
using frame::global;

// RSA.<attribute> = <function>: the value is evaluated before the target, as in Python.
bool set_on_rsa(PyObject* attribute, PyObject* function_name) noexcept {
    Ref function = global(function_name);
    Ref rsa = function ? global(n::RSA) : Ref();
    return rsa && PyObject_SetAttr(rsa, attribute, function) == 0;
}

// sys.modules["halcyra_pqc.mirelock.RSA"] = RSA, so the object imports as a submodule. The
// key is fixed, whatever name the module itself was loaded under.
bool register_rsa() noexcept {
    Ref rsa = global(n::RSA);
    Ref sys = rsa ? global(n::sys) : Ref();
    Ref modules = sys ? frame::getattr(sys, n::modules) : Ref();
    return modules && PyObject_SetItem(modules, n::RSA_module_name, rsa) == 0;
}

bool body(const frame::Site& at) noexcept {
    return at.line(1, assign(n::sys, frame::import_module(n::sys)))
        && at.line(2, frame::import_names(n::types, {&n::ModuleType}))
        && at.line(4, core::import_functions())
        && at.line(11, assign(n::PyCryptodomeKey, ClassStatement(n::PyCryptodomeKey)
                                                      .function(key_init)
                                                      .function(key_publickey)
                                                      .function(key_export_key)
                                                      .build()))
        && at.line(20, assign(n::PyCryptodomeCipher, ClassStatement(n::PyCryptodomeCipher)
                                                         .function(cipher_init)
                                                         .function(cipher_encrypt)
                                                         .function(cipher_decrypt)
                                                         .build()))
        && at.line(34, assign(n::pycryptodome_generate, make_function(pycryptodome_generate)))
        && at.line(38, assign(n::pycryptodome_import_key, make_function(pycryptodome_import_key)))
        && at.line(41, assign(n::PKCS1_OAEP_Mock, ClassStatement(n::PKCS1_OAEP_Mock).static_function(oaep_new).build()))
        && at.line(46, assign(n::RSA, frame::call_global(n::ModuleType, n::RSA_module_name.object())))
        && at.line(47, set_on_rsa(n::generate, n::pycryptodome_generate))
        && at.line(48, set_on_rsa(n::import_key, n::pycryptodome_import_key))
        && at.line(49, register_rsa())
        && at.line(51, assign(n::PKCS1_OAEP, global(n::PKCS1_OAEP_Mock)))
        && at.line(1, assign(n::dunder_test, Ref::steal(PyDict_New())));
}

const frame::ModuleInfo info = {
    .short_name = "mirelock",
    .dotted_name = "halcyra_pqc.mirelock",
    .source_path = "halcyra_pqc/mirelock",
    .body = body,
};

}  // namespace
}  // namespace mirelock

PyMODINIT_FUNC PyInit_mirelock(void) { return frame::initialise(mirelock::info); }
