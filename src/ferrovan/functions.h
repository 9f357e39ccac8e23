// The Python-level functions of halcyra_pqc.ferrovan, each defined in the file of its concern.
#pragma once

#include <Python.h>

#include "../frame/definition.h"
#include "../frame/ref.h"

namespace ferrovan {

// keys.cpp
extern frame::Def public_key_init, public_key_load_pkcs1, public_key_save_pkcs1;
extern frame::Def private_key_init, private_key_load_pkcs1, private_key_save_pkcs1;
// The key-argument rule: the key bytes of an instance of the class bound to the module
// global class_name, or the argument itself.
frame::Ref key_bytes_of(PyObject* key, PyObject* class_name) noexcept;

// keygen.cpp
extern frame::Def newkeys, get_inner_private_key, get_inner_public_key;

// crypt.cpp
extern frame::Def encrypt, decrypt;

// sign.cpp
extern frame::Def sign, verify;
// padding.PKCS1v15(): the padding of every signature.
frame::Ref pkcs1v15() noexcept;

// hashing.cpp
extern frame::Def compute_hash, sign_hash, find_signature_hash;
// Hash-name normalisation: text.upper() with every "-" deleted.
frame::Ref normalised_hash_name(PyObject* text) noexcept;
// getattr(hashes, hash_str)(): the cryptography hash object of a normalised name.
frame::Ref hash_object(PyObject* hash_str) noexcept;

}  // namespace ferrovan
