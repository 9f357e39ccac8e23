// encrypt and decrypt: the message goes to the post-quantum core, the result back unchanged.
#include "../core/contract.h"
#include "../frame/lookup.h"
#include "../frame/raising.h"
#include "functions.h"
#include "names.h"

namespace ferrovan {
namespace {

using frame::Def;
using frame::Ref;

// def encrypt(message, pub_key):
//     pub_bytes = pub_key.key_bytes if isinstance(pub_key, PublicKey) else pub_key     (65)
//     res = pqc_encrypt_payload(message, pub_bytes)                                    (66)
//     if len(res) == 4:                                                                (67)
//         return pack_ciphertext(res[0], res[1], res[2], res[3])                       (68)
//     return pack_ciphertext(res[0], None, res[1], res[2])                             (70)
PyObject* encrypt_body(const Def& fn, PyObject* const* a) noexcept {
    Ref pub_bytes = key_bytes_of(a[1], n::PublicKey);
    if (!pub_bytes) return fn.fail(65);
    Ref res = frame::call_global(n::pqc_encrypt_payload, a[0], pub_bytes.get());
    if (!res) return fn.fail(66);
    return core::pack(fn, res, {.length = 67, .hybrid = 68, .pure = 70});
}

// def decrypt(crypto, priv_key):
//     priv_bytes = priv_key.key_bytes if isinstance(priv_key, PrivateKey) else priv_key  (74)
//     try:
//         return pqc_decrypt_payload(crypto, priv_bytes)                                 (76)
//     except Exception as exc:
//         raise DecryptionError("Decryption failed") from exc                            (78)
PyObject* decrypt_body(const Def& fn, PyObject* const* a) noexcept {
    Ref priv_bytes = key_bytes_of(a[1], n::PrivateKey);
    if (!priv_bytes) return fn.fail(74);
    Ref message = frame::call_global(n::pqc_decrypt_payload, a[0], priv_bytes.get());
    if (message) return message.release();
    fn.fail(76);
    Ref exc = frame::catch_exception();
    if (!exc) return nullptr;
    frame::Handling handling(exc);
    frame::raise_new(frame::global(n::DecryptionError), n::decryption_failed, exc);
    return fn.fail(78);
}

}  // namespace

Def encrypt({
    .name = &n::encrypt,
    .qualname = &n::encrypt,
    .line = 63,
    .params = {&n::message, &n::pub_key},
    .locals = {&n::pub_bytes, &n::res},
    .doc = &n::doc_encrypt,
    .body = encrypt_body,
});
Def decrypt({
    .name = &n::decrypt,
    .qualname = &n::decrypt,
    .line = 72,
    .params = {&n::crypto, &n::priv_key},
    .locals = {&n::priv_bytes, &n::exc},
    .doc = &n::doc_decrypt,
    .body = decrypt_body,
});

}  // namespace ferrovan
