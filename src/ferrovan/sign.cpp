// sign and verify: classic RSA PKCS#1 v1.5 signatures with the RSA key inside a hybrid key.
#include "../frame/lookup.h"
#include "../frame/raising.h"
#include "functions.h"
#include "names.h"

namespace ferrovan {
namespace {

using frame::Def;
using frame::Ref;

// def sign(message, priv_key, hash_method):
//     inner_key = _get_inner_private_key(priv_key)                                 (82)
//     hash_str = (hash_method if type(hash_method) is str else str(hash_method))   (83)
//                .upper().replace("-", "")
//     hash_obj = getattr(hashes, hash_str)()                                       (84)
//     return inner_key.sign(message, padding.PKCS1v15(), hash_obj)                 (85, padding 87)
PyObject* sign_body(const Def& fn, PyObject* const* a) noexcept {
    Ref inner_key = frame::call_global(n::get_inner_private_key, a[1]);
    if (!inner_key) return fn.fail(82);
    Ref text = PyUnicode_CheckExact(a[2]) ? Ref::share(a[2]) : Ref::steal(PyObject_Str(a[2]));
    Ref hash_str = text ? normalised_hash_name(text) : Ref();
    if (!hash_str) return fn.fail(83);
    Ref hash_obj = hash_object(hash_str);
    if (!hash_obj) return fn.fail(84);
    // The method is looked up before its arguments are evaluated, as in a Python call: a key
    // without it fails at 85 even when the padding would fail too.
    Ref method = frame::getattr(inner_key, n::sign);
    if (!method) return fn.fail(85);
    Ref padding = pkcs1v15();
    if (!padding) return fn.fail(87);
    Ref signature = frame::call(method, a[0], padding.get(), hash_obj.get());
    return signature ? signature.release() : fn.fail(85);
}

// def verify(message, signature, pub_key):
//     inner_key = _get_inner_public_key(pub_key)                                   (93)
//     for hash_name in ("SHA256", "SHA512", "SHA384", "SHA224", "SHA1", "MD5"):
//         hash_obj = getattr(hashes, hash_name)()                                  (95)
//         try:
//             inner_key.verify(signature, message, padding.PKCS1v15(), hash_obj)   (97, padding 100)
//             return <the rsa-style name of hash_name>
//         except Exception:
//             pass
//     raise VerificationError("Verification failed")                               (116)
PyObject* verify_body(const Def& fn, PyObject* const* a) noexcept {
    Ref inner_key = frame::call_global(n::get_inner_public_key, a[2]);
    if (!inner_key) return fn.fail(93);
    PyObject* candidates = n::verify_candidates;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(candidates); ++i) {
        Ref hash_obj = hash_object(PyTuple_GET_ITEM(candidates, i));
        if (!hash_obj) return fn.fail(95);
        // The method before its arguments, as in sign.
        Ref method = frame::getattr(inner_key, n::verify);
        Ref padding = method ? pkcs1v15() : Ref();
        Ref verified = padding ? frame::call(method, a[1], a[0], padding.get(), hash_obj.get()) : Ref();
        if (verified) return Py_NewRef(n::verify_results[i]->object());
        fn.fail(method && !padding ? 100 : 97);
        // Every Exception is dropped, the invalid signature and any other failure alike.
        if (!frame::catch_exception()) return nullptr;
    }
    frame::raise_new(frame::global(n::VerificationError), n::verification_failed);
    return fn.fail(116);
}

}  // namespace

Ref pkcs1v15() noexcept {
    Ref padding = frame::global(n::padding);
    return padding ? frame::call_method(padding, n::PKCS1v15) : Ref();
}

Def sign({
    .name = &n::sign,
    .qualname = &n::sign,
    .line = 80,
    .params = {&n::message, &n::priv_key, &n::hash_method},
    .locals = {&n::inner_key, &n::hash_str, &n::hash_obj},
    .doc = &n::doc_sign,
    .body = sign_body,
});
Def verify({
    .name = &n::verify,
    .qualname = &n::verify,
    .line = 91,
    .params = {&n::message, &n::signature, &n::pub_key},
    .locals = {&n::inner_key, &n::hash_name, &n::hash_obj},
    .doc = &n::doc_verify,
    .body = verify_body,
});

}  // namespace ferrovan
