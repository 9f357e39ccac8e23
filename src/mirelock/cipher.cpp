// PyCryptodomeCipher and PKCS1_OAEP_Mock.new: encryption and decryption go to the
// post-quantum core with the key material read from the key at every call.
#include "../core/contract.h"
#include "../frame/lookup.h"
#include "../frame/raising.h"
#include "functions.h"
#include "names.h"

namespace mirelock {
namespace {

using frame::Def;
using frame::Ref;

// self.key.<attribute>, read afresh so that rebinding the key's material takes effect.
Ref key_material(PyObject* self, PyObject* attribute) noexcept {
    Ref key = frame::getattr(self, n::key);
    return key ? frame::getattr(key, attribute) : Ref();
}

// def __init__(self, key):
//     self.key = key                                                        (22)
PyObject* init_body(const Def& fn, PyObject* const* a) noexcept {
    if (!frame::setattr(a[0], n::key, a[1])) return fn.fail(22);
    Py_RETURN_NONE;
}

// def encrypt(self, plaintext):
//     res = pqc_encrypt_payload(plaintext, self.key.pub_bytes)              (24)
//     if len(res) == 4:                                                     (25)
//         return pack_ciphertext(res[0], res[1], res[2], res[3])            (26)
//     return pack_ciphertext(res[0], None, res[1], res[2])                  (28)
PyObject* encrypt_body(const Def& fn, PyObject* const* a) noexcept {
    // The function is looked up before its arguments are evaluated, as in a Python call.
    Ref encrypt_payload = frame::global(n::pqc_encrypt_payload);
    Ref pub_bytes = encrypt_payload ? key_material(a[0], n::pub_bytes) : Ref();
    Ref res = pub_bytes ? frame::call(encrypt_payload, a[1], pub_bytes.get()) : Ref();
    if (!res) return fn.fail(24);
    return core::pack(fn, res, {.length = 25, .hybrid = 26, .pure = 28});
}

// def decrypt(self, ciphertext):
//     if not self.key.priv_bytes:                                           (30)
//         raise ValueError("Private key required for decryption")           (31)
//     return pqc_decrypt_payload(ciphertext, self.key.priv_bytes)           (32)
PyObject* decrypt_body(const Def& fn, PyObject* const* a) noexcept {
    Ref priv_bytes = key_material(a[0], n::priv_bytes);
    const int has_private = priv_bytes ? PyObject_IsTrue(priv_bytes) : -1;
    if (has_private < 0) return fn.fail(30);
    if (!has_private) {
        // Refused here, so a public key never reaches the core's decryption.
        frame::raise_new(PyExc_ValueError, n::private_key_required);
        return fn.fail(31);
    }
    Ref decrypt_payload = frame::global(n::pqc_decrypt_payload);
    priv_bytes = decrypt_payload ? key_material(a[0], n::priv_bytes) : Ref();
    Ref message = priv_bytes ? frame::call(decrypt_payload, a[1], priv_bytes.get()) : Ref();
    return message ? message.release() : fn.fail(32);
}

// @staticmethod
// def new(key, *args, **kwargs):
//     return PyCryptodomeCipher(key)                                        (44)
// The OAEP parameters of the imitated interface mean nothing to the core and are dropped.
PyObject* new_body(const Def& fn, PyObject* const* a) noexcept {
    Ref cipher = frame::call_global(n::PyCryptodomeCipher, a[0]);
    return cipher ? cipher.release() : fn.fail(44);
}

}  // namespace

// class PyCryptodomeCipher:  (line 20)
Def cipher_init({
    .name = &n::dunder_init,
    .qualname = &n::PyCryptodomeCipher_init,
    .line = 21,
    .params = {&n::self, &n::key},
    .body = init_body,
});
Def cipher_encrypt({
    .name = &n::encrypt,
    .qualname = &n::PyCryptodomeCipher_encrypt,
    .line = 23,
    .params = {&n::self, &n::plaintext},
    .locals = {&n::res},
    .body = encrypt_body,
});
Def cipher_decrypt({
    .name = &n::decrypt,
    .qualname = &n::PyCryptodomeCipher_decrypt,
    .line = 29,
    .params = {&n::self, &n::ciphertext},
    .body = decrypt_body,
});

// class PKCS1_OAEP_Mock:  (line 41)
Def oaep_new({
    .name = &n::new_,
    .qualname = &n::PKCS1_OAEP_Mock_new,
    .line = 42,
    .params = {&n::key},
    .varargs = &n::args,
    .varkw = &n::kwargs,
    .body = new_body,
});

}  // namespace mirelock
