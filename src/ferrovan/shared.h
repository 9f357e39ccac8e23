// What the concern files of halcyra_pqc.ferrovan share besides the functions that declared.h
// declares.
#pragma once

#include <Python.h>

#include "../frame/ref.h"
#include "declared.h"

namespace ferrovan {

// keys.cpp: the key-argument rule, the key bytes of an instance of the class bound to the
// module global class_name, or the argument itself.
frame::Ref key_bytes_of(PyObject* key, const frame::Name& class_name) noexcept;

// sign.cpp: padding.PKCS1v15(), the padding of every signature.
frame::Ref pkcs1v15() noexcept;

// sign.cpp: what sign and sign_hash do alike before the signing call,
//     inner_key = _get_inner_private_key(priv_key)
//     hash_str = hash_method.upper().replace("-", "")    (a hash_method that is no exact str as str())
//     hash_obj = getattr(hashes, hash_str)()
// and, of `return inner_key.sign(<data>, padding.PKCS1v15(), ...)`, the method and the padding,
// in that order. On failure the statement's line is recorded and prepare returns false.
struct SigningLines {
    int inner_key, hash_str, hash_obj, method, padding;
};
template <class At>
constexpr SigningLines signing_lines() noexcept {
    return {At::inner_key, At::hash_str, At::hash_obj, At::return_sign, At::PKCS1v15};
}
struct Signing {
    frame::Ref hash_obj, method, padding;
    bool prepare(const frame::Def& fn, PyObject* priv_key, PyObject* hash_method, const SigningLines& at) noexcept;
};

// hashing.cpp: hash-name normalisation, text.upper() with every "-" deleted, and
// getattr(hashes, hash_str)(), the cryptography hash object of a normalised name.
frame::Ref normalised_hash_name(PyObject* text) noexcept;
frame::Ref hash_object(PyObject* hash_str) noexcept;

}  // namespace ferrovan
