// compute_hash, sign_hash and find_signature_hash, and the hash-name normalisation that
// sign shares with them.
#include <string_view>

#include "../frame/lookup.h"
#include "../frame/raising.h"
#include "../frame/values.h"
#include "shared.h"

namespace ferrovan {
namespace {

using frame::Def;
using frame::Ref;
using namespace std::string_view_literals;

// def compute_hash(message: "bytes", method_name: "str") -> "bytes":
//     hash_str = method_name.upper().replace("-", "")
//     hash_obj = getattr(hashes, hash_str)()
//     digest = hashes.Hash(hash_obj)
//     digest.update(message)
//     return digest.finalize()      (an exact bytes, or None)
PyObject* compute_hash_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::compute_hash;
    Ref hash_str = normalised_hash_name(a[1]);
    if (!hash_str) return fn.fail(at::hash_str);
    Ref hash_obj = hash_object(hash_str.get());
    if (!hash_obj) return fn.fail(at::hash_obj);
    Ref hashes = frame::global(n::hashes);
    Ref digest = hashes ? frame::call_method(hashes.get(), n::Hash, hash_obj.get()) : Ref();
    if (!digest) return fn.fail(at::digest);
    if (!frame::call_method(digest.get(), n::update, a[0])) return fn.fail(at::digest_update);
    Ref result = frame::expect_exact_or_none(frame::call_method(digest.get(), n::finalize), &PyBytes_Type);
    return result ? result.release() : fn.fail(at::return_finalize);
}

// def sign_hash(hash_value: "bytes", priv_key: "PrivateKey", hash_method: "str") -> "bytes":
//     inner_key = _get_inner_private_key(priv_key)
//     hash_str = hash_method.upper().replace("-", "")
//     hash_obj = getattr(hashes, hash_str)()
//     return inner_key.sign(hash_value, padding.PKCS1v15(), Prehashed(hash_obj))   (exact bytes, or None)
PyObject* sign_hash_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::sign_hash;
    Signing signing;
    if (!signing.prepare(fn, a[1], a[2], signing_lines<at>())) return nullptr;
    Ref prehashed = frame::call_global(n::Prehashed, signing.hash_obj.get());
    if (!prehashed) return fn.fail(at::Prehashed);
    Ref signature = frame::expect_exact_or_none(
        frame::call(signing.method.get(), a[0], signing.padding.get(), prehashed.get()), &PyBytes_Type);
    return signature ? signature.release() : fn.fail(at::return_sign);
}

// The DER DigestInfo prefix of each hash a PKCS#1 v1.5 signature block can name, with
// the digest length that must follow it to the end of the block.
struct DigestInfo {
    const frame::Text& name;
    std::string_view prefix;
    size_t digest_length;
};

const DigestInfo digest_infos[] = {
    {n::MD5, "\x30\x20\x30\x0c\x06\x08\x2a\x86\x48\x86\xf7\x0d\x02\x05\x05\x00\x04\x10"sv, 16},
    {n::SHA_1, "\x30\x21\x30\x09\x06\x05\x2b\x0e\x03\x02\x1a\x05\x00\x04\x14"sv, 20},
    {n::SHA_224, "\x30\x2d\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x04\x05\x00\x04\x1c"sv, 28},
    {n::SHA_256, "\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20"sv, 32},
    {n::SHA_384, "\x30\x41\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x02\x05\x00\x04\x30"sv, 48},
    {n::SHA_512, "\x30\x51\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x03\x05\x00\x04\x40"sv, 64},
};

// def find_signature_hash(decrypted_signature: "bytes") -> "str":
//     for name, prefix, size in DIGEST_INFOS:
//         if decrypted_signature.endswith(prefix + <size bytes>): return name
//     raise VerificationError("Verification failed")
//
// The block is read, not assumed to be SHA-256: a block made with any other hash would
// otherwise be reported under the wrong name.
PyObject* find_signature_hash_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::find_signature_hash;
    const std::string_view block(PyBytes_AS_STRING(a[0]), static_cast<size_t>(PyBytes_GET_SIZE(a[0])));
    for (const DigestInfo& info : digest_infos) {
        const size_t tail = info.prefix.size() + info.digest_length;
        if (block.size() >= tail && block.substr(block.size() - tail, info.prefix.size()) == info.prefix) {
            return Py_NewRef(info.name.object());
        }
    }
    frame::raise_new(frame::global(n::VerificationError).get(), n::verification_failed.object());
    return fn.fail(at::raise_VerificationError);
}

}  // namespace

Ref normalised_hash_name(PyObject* text) noexcept {
    Ref upper = frame::call_method(text, n::upper);
    if (!upper) return {};
    // An exact str's upper() is an exact str, whose replace is PyUnicode_Replace itself.
    if (PyUnicode_CheckExact(text)) {
        return Ref::steal(PyUnicode_Replace(upper.get(), n::hyphen_minus.object(), n::empty.object(), -1));
    }
    return frame::call_method(upper.get(), n::replace, n::hyphen_minus.object(), n::empty.object());
}

Ref hash_object(PyObject* hash_str) noexcept {
    Ref hashes = frame::global(n::hashes);
    Ref hash_class = hashes ? frame::getattr(hashes.get(), hash_str) : Ref();
    return hash_class ? frame::call(hash_class.get()) : Ref();
}

Def compute_hash(declared::compute_hash::spec, compute_hash_body);
Def sign_hash(declared::sign_hash::spec, sign_hash_body);
Def find_signature_hash(declared::find_signature_hash::spec, find_signature_hash_body);

}  // namespace ferrovan
