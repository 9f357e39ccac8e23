// halcyra_pqc.ferrovan: the rsa-shaped module. Its body, statement by statement, with the
// line each statement's failure is recorded at.
#include "../core/contract.h"
#include "../frame/classes.h"
#include "../frame/function.h"
#include "../frame/imports.h"
#include "../frame/lookup.h"
#include "../frame/module.h"
#include "functions.h"
#include "names.h"

namespace ferrovan {
namespace {

using frame::ClassStatement;
using frame::make_function;
using frame::assign;
using frame::import_module;
using frame::import_names;

bool body(const frame::Site& at) noexcept {
    return at.line(1, assign(n::json, import_module(n::json)))
        && at.line(2, assign(n::base64, import_module(n::base64)))
        && at.line(3, import_names(n::cryptography_primitives, {&n::serialization}))
        && at.line(4, import_names(n::cryptography_asymmetric, {&n::padding}))
        && at.line(5, import_names(n::cryptography_primitives, {&n::hashes}))
        && at.line(6, import_names(n::cryptography_asymmetric_utils, {&n::Prehashed}))
        && at.line(8, core::import_functions())
        && at.line(15, assign(n::DecryptionError, ClassStatement(n::DecryptionError, PyExc_Exception)
                                                      .doc(n::doc_decryption_error)
                                                      .build()))
        && at.line(19, assign(n::VerificationError, ClassStatement(n::VerificationError, PyExc_Exception)
                                                        .doc(n::doc_verification_error)
                                                        .build()))
        && at.line(23, assign(n::PublicKey, ClassStatement(n::PublicKey)
                                                .function(public_key_init)
                                                .static_function(public_key_load_pkcs1)
                                                .function(public_key_save_pkcs1)
                                                .build()))
        && at.line(32, assign(n::PrivateKey, ClassStatement(n::PrivateKey)
                                                 .function(private_key_init)
                                                 .static_function(private_key_load_pkcs1)
                                                 .function(private_key_save_pkcs1)
                                                 .build()))
        && at.line(41, assign(n::newkeys, make_function(newkeys)))
        && at.line(45, assign(n::get_inner_private_key, make_function(get_inner_private_key)))
        && at.line(54, assign(n::get_inner_public_key, make_function(get_inner_public_key)))
        && at.line(63, assign(n::encrypt, make_function(encrypt)))
        && at.line(72, assign(n::decrypt, make_function(decrypt)))
        && at.line(80, assign(n::sign, make_function(sign)))
        && at.line(91, assign(n::verify, make_function(verify)))
        && at.line(118, assign(n::compute_hash, make_function(compute_hash)))
        && at.line(126, assign(n::sign_hash, make_function(sign_hash)))
        && at.line(137, assign(n::find_signature_hash, make_function(find_signature_hash)))
        && at.line(1, assign(n::dunder_test, frame::Ref::steal(PyDict_New())));
}

const frame::ModuleInfo info = {
    .short_name = "ferrovan",
    .dotted_name = "halcyra_pqc.ferrovan",
    .source_path = "halcyra_pqc/ferrovan",
    .body = body,
};

}  // namespace
}  // namespace ferrovan

PyMODINIT_FUNC PyInit_ferrovan(void) { return frame::initialise(ferrovan::info); }
