// encrypt and decrypt: the message goes to the post-quantum core, the result back unchanged.
#include "../core/contract.h"
#include "../frame/lookup.h"
#include "../frame/raising.h"
#include "shared.h"

namespace ferrovan {
namespace {

using frame::Def;
using frame::Ref;

// def encrypt(message, pub_key):
//     pub_bytes = pub_key.key_bytes if isinstance(pub_key, PublicKey) else pub_key
//     res = pqc_encrypt_payload(message, pub_bytes)
//     if len(res) == 4:
//         return pack_ciphertext(res[0], res[1], res[2], res[3])
//     return pack_ciphertext(res[0], None, res[1], res[2])
PyObject* encrypt_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::encrypt;
    Ref pub_bytes = key_bytes_of(a[1], n::PublicKey);
    if (!pub_bytes) return fn.fail(at::pub_bytes);
    Ref res = frame::call_global(n::pqc_encrypt_payload, a[0], pub_bytes.get());
    if (!res) return fn.fail(at::res);
    return core::pack(fn, res.get(),
                      {.length = at::if_len, .hybrid = at::return_pack_ciphertext, .pure = at::return_pack_ciphertext_2});
}

// def decrypt(crypto, priv_key):
//     priv_bytes = priv_key.key_bytes if isinstance(priv_key, PrivateKey) else priv_key
//     try:
//         return pqc_decrypt_payload(crypto, priv_bytes)
//     except Exception as exc:
//         raise DecryptionError("Decryption failed") from exc
PyObject* decrypt_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::decrypt;
    Ref priv_bytes = key_bytes_of(a[1], n::PrivateKey);
    if (!priv_bytes) return fn.fail(at::priv_bytes);
    Ref message = frame::call_global(n::pqc_decrypt_payload, a[0], priv_bytes.get());
    if (message) return message.release();
    fn.fail(at::return_pqc_decrypt_payload);
    Ref exc = frame::catch_exception();
    if (!exc) return nullptr;
    frame::Handling handling(exc.get());
    frame::raise_new(frame::global(n::DecryptionError).get(), n::decryption_failed.object(), exc.get());
    return fn.fail(at::raise_DecryptionError);
}

}  // namespace

Def encrypt(declared::encrypt::spec, encrypt_body);
Def decrypt(declared::decrypt::spec, decrypt_body);

}  // namespace ferrovan
