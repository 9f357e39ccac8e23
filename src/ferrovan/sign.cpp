// sign and verify: classic RSA PKCS#1 v1.5 signatures with the RSA key inside a hybrid key.
#include "../frame/constants.h"
#include "../frame/lookup.h"
#include "../frame/raising.h"
#include "shared.h"

namespace ferrovan {
namespace {

using frame::Def;
using frame::Ref;

// The hashes verify tries, in order, and the names it reports for them.
frame::NameTuple verify_candidates{n::SHA256, n::SHA512, n::SHA384, n::SHA224, n::SHA1, n::MD5};
const frame::Text* const verify_results[] = {&n::SHA_256, &n::SHA_512, &n::SHA_384, &n::SHA_224, &n::SHA_1, &n::MD5};

// def sign(message, priv_key, hash_method):
//     inner_key = _get_inner_private_key(priv_key)
//     hash_str = (hash_method if type(hash_method) is str else str(hash_method)).upper().replace("-", "")
//     hash_obj = getattr(hashes, hash_str)()
//     return inner_key.sign(message, padding.PKCS1v15(), hash_obj)
PyObject* sign_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::sign;
    Signing signing;
    if (!signing.prepare(fn, a[1], a[2], signing_lines<at>())) return nullptr;
    Ref signature = frame::call(signing.method.get(), a[0], signing.padding.get(), signing.hash_obj.get());
    return signature ? signature.release() : fn.fail(at::return_sign);
}

// def verify(message, signature, pub_key):
//     inner_key = _get_inner_public_key(pub_key)
//     for hash_name in ("SHA256", "SHA512", "SHA384", "SHA224", "SHA1", "MD5"):
//         hash_obj = getattr(hashes, hash_name)()
//         try:
//             inner_key.verify(signature, message, padding.PKCS1v15(), hash_obj)
//             return <the rsa-style name of hash_name>
//         except Exception:
//             pass
//     raise VerificationError("Verification failed")
PyObject* verify_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::verify;
    Ref inner_key = frame::call_global(n::get_inner_public_key, a[2]);
    if (!inner_key) return fn.fail(at::inner_key);
    PyObject* candidates = verify_candidates.object();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(candidates); ++i) {
        Ref hash_obj = hash_object(PyTuple_GET_ITEM(candidates, i));
        if (!hash_obj) return fn.fail(at::hash_obj);
        // The method before its arguments, as in sign.
        Ref method = frame::getattr(inner_key.get(), n::verify);
        Ref padding = method ? pkcs1v15() : Ref();
        Ref verified = padding ? frame::call(method.get(), a[1], a[0], padding.get(), hash_obj.get()) : Ref();
        if (verified) return Py_NewRef(verify_results[i]->object());
        fn.fail(method && !padding ? at::PKCS1v15 : at::inner_key_verify);
        // Every Exception is dropped, the invalid signature and any other failure alike.
        if (!frame::catch_exception()) return nullptr;
    }
    frame::raise_new(frame::global(n::VerificationError).get(), n::verification_failed.object());
    return fn.fail(at::raise_VerificationError);
}

}  // namespace

bool Signing::prepare(const Def& fn, PyObject* priv_key, PyObject* hash_method, const SigningLines& at) noexcept {
    Ref inner_key = frame::call_global(n::get_inner_private_key, priv_key);
    if (!inner_key) return fn.failed(at.inner_key);
    Ref text = PyUnicode_CheckExact(hash_method) ? Ref::share(hash_method) : Ref::steal(PyObject_Str(hash_method));
    Ref hash_str = text ? normalised_hash_name(text.get()) : Ref();
    if (!hash_str) return fn.failed(at.hash_str);
    hash_obj = hash_object(hash_str.get());
    if (!hash_obj) return fn.failed(at.hash_obj);
    // The method is looked up before its arguments are evaluated, as in a Python call: a key
    // without it fails at the statement's line even when the padding would fail too.
    method = frame::getattr(inner_key.get(), n::sign);
    if (!method) return fn.failed(at.method);
    padding = pkcs1v15();
    return padding || fn.failed(at.padding);
}

Ref pkcs1v15() noexcept {
    Ref padding = frame::global(n::padding);
    return padding ? frame::call_method(padding.get(), n::PKCS1v15) : Ref();
}

Def sign(declared::sign::spec, sign_body);
Def verify(declared::verify::spec, verify_body);

}  // namespace ferrovan
