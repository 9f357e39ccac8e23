// PyCryptodomeCipher and PKCS1_OAEP_Mock.new: encryption and decryption go to the
// post-quantum core with the key material read from the key at every call.
#include "../core/contract.h"
#include "../frame/lookup.h"
#include "../frame/raising.h"
#include "declared.h"

namespace mirelock {
namespace {

using frame::Def;
using frame::Ref;

// self.key.<attribute>, read afresh so that rebinding the key's material takes effect.
Ref key_material(PyObject* self, const frame::Name& attribute) noexcept {
    Ref key = frame::getattr(self, n::key);
    return key ? frame::getattr(key.get(), attribute) : Ref();
}

// def __init__(self, key):
//     self.key = key
PyObject* init_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::PyCryptodomeCipher::init;
    if (!frame::setattr(a[0], n::key, a[1])) return fn.fail(at::self_key);
    Py_RETURN_NONE;
}

// def encrypt(self, plaintext):
//     res = pqc_encrypt_payload(plaintext, self.key.pub_bytes)
//     if len(res) == 4:
//         return pack_ciphertext(res[0], res[1], res[2], res[3])
//     return pack_ciphertext(res[0], None, res[1], res[2])
PyObject* encrypt_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::PyCryptodomeCipher::encrypt;
    // The function is looked up before its arguments are evaluated, as in a Python call.
    Ref encrypt_payload = frame::global(n::pqc_encrypt_payload);
    Ref pub_bytes = encrypt_payload ? key_material(a[0], n::pub_bytes) : Ref();
    Ref res = pub_bytes ? frame::call(encrypt_payload.get(), a[1], pub_bytes.get()) : Ref();
    if (!res) return fn.fail(at::res);
    return core::pack(fn, res.get(),
                      {.length = at::if_len, .hybrid = at::return_pack_ciphertext, .pure = at::return_pack_ciphertext_2});
}

// def decrypt(self, ciphertext):
//     if not self.key.priv_bytes:
//         raise ValueError("Private key required for decryption")
//     return pqc_decrypt_payload(ciphertext, self.key.priv_bytes)
PyObject* decrypt_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::PyCryptodomeCipher::decrypt;
    Ref priv_bytes = key_material(a[0], n::priv_bytes);
    const int has_private = priv_bytes ? PyObject_IsTrue(priv_bytes.get()) : -1;
    if (has_private < 0) return fn.fail(at::if_priv_bytes);
    if (!has_private) {
        // Refused here, so a public key never reaches the core's decryption.
        frame::raise_new(PyExc_ValueError, n::private_key_required_for_decryption.object());
        return fn.fail(at::raise_ValueError);
    }
    Ref decrypt_payload = frame::global(n::pqc_decrypt_payload);
    priv_bytes = decrypt_payload ? key_material(a[0], n::priv_bytes) : Ref();
    Ref message = priv_bytes ? frame::call(decrypt_payload.get(), a[1], priv_bytes.get()) : Ref();
    return message ? message.release() : fn.fail(at::return_pqc_decrypt_payload);
}

// @staticmethod
// def new(key, *args, **kwargs):
//     return PyCryptodomeCipher(key)
// The OAEP parameters of the imitated interface mean nothing to the core and are dropped.
PyObject* new_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::PKCS1_OAEP_Mock::new_;
    Ref cipher = frame::call_global(n::PyCryptodomeCipher, a[0]);
    return cipher ? cipher.release() : fn.fail(at::return_PyCryptodomeCipher);
}

}  // namespace

Def PyCryptodomeCipher_init(declared::PyCryptodomeCipher::init::spec, init_body);
Def PyCryptodomeCipher_encrypt(declared::PyCryptodomeCipher::encrypt::spec, encrypt_body);
Def PyCryptodomeCipher_decrypt(declared::PyCryptodomeCipher::decrypt::spec, decrypt_body);
Def PKCS1_OAEP_Mock_new(declared::PKCS1_OAEP_Mock::new_::spec, new_body);

}  // namespace mirelock
