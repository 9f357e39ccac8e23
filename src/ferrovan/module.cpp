// halcyra_pqc.ferrovan: the rsa-shaped module. Its body, statement by statement, with the
// line each statement's failure is recorded at.
#include "../core/contract.h"
#include "../frame/imports.h"
#include "../frame/lookup.h"
#include "../frame/module.h"
#include "declared.h"

namespace ferrovan {
namespace {

using frame::assign;
using frame::define;
using frame::import_module;
using frame::import_names;
using at = declared::body;

bool body(const frame::Site& site) noexcept {
    return site.line(at::json, assign(n::json, import_module(n::json)))
        && site.line(at::base64, assign(n::base64, import_module(n::base64)))
        && site.line(at::serialization, import_names(n::cryptography_hazmat_primitives, {&n::serialization}))
        && site.line(at::padding, import_names(n::cryptography_hazmat_primitives_asymmetric, {&n::padding}))
        && site.line(at::hashes, import_names(n::cryptography_hazmat_primitives, {&n::hashes}))
        && site.line(at::Prehashed, import_names(n::cryptography_hazmat_primitives_asymmetric_utils, {&n::Prehashed}))
        && site.line(at::generate_pqc_kem_keypair, core::import_functions())
        && site.line(at::DecryptionError, define(declared::DecryptionError::spec))
        && site.line(at::VerificationError, define(declared::VerificationError::spec))
        && site.line(at::PublicKey, define(declared::PublicKey::spec))
        && site.line(at::PrivateKey, define(declared::PrivateKey::spec))
        && site.line(at::newkeys, define(newkeys))
        && site.line(at::get_inner_private_key, define(get_inner_private_key))
        && site.line(at::get_inner_public_key, define(get_inner_public_key))
        && site.line(at::encrypt, define(encrypt))
        && site.line(at::decrypt, define(decrypt))
        && site.line(at::sign, define(sign))
        && site.line(at::verify, define(verify))
        && site.line(at::compute_hash, define(compute_hash))
        && site.line(at::sign_hash, define(sign_hash))
        && site.line(at::find_signature_hash, define(find_signature_hash))
        && site.line(frame::kPreparationLine, assign(n::dunder_test, frame::Ref::steal(PyDict_New())));
}

const frame::ModuleInfo info = {"ferrovan", "halcyra_pqc.ferrovan", "halcyra_pqc/ferrovan", body};

}  // namespace
}  // namespace ferrovan

PyMODINIT_FUNC PyInit_ferrovan(void) { return frame::initialise(ferrovan::info); }
