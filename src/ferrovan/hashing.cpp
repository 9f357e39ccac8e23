// compute_hash, sign_hash and find_signature_hash, and the hash-name normalisation that
// sign shares with them.
#include <string_view>

#include "../frame/lookup.h"
#include "../frame/raising.h"
#include "../frame/values.h"
#include "functions.h"
#include "names.h"

namespace ferrovan {
namespace {

using frame::Def;
using frame::Ref;
using namespace std::string_view_literals;

// def compute_hash(message: "bytes", method_name: "str") -> "bytes":
//     hash_str = method_name.upper().replace("-", "")                (120)
//     hash_obj = getattr(hashes, hash_str)()                         (121)
//     digest = hashes.Hash(hash_obj)                                 (122)
//     digest.update(message)                                         (123)
//     return digest.finalize()                                       (124, and the result check)
PyObject* compute_hash_body(const Def& fn, PyObject* const* a) noexcept {
    Ref hash_str = normalised_hash_name(a[1]);
    if (!hash_str) return fn.fail(120);
    Ref hash_obj = hash_object(hash_str);
    if (!hash_obj) return fn.fail(121);
    Ref hashes = frame::global(n::hashes);
    Ref digest = hashes ? frame::call_method(hashes, n::Hash, hash_obj.get()) : Ref();
    if (!digest) return fn.fail(122);
    if (!frame::call_method(digest, n::update, a[0])) return fn.fail(123);
    Ref result = frame::expect_exact_or_none(frame::call_method(digest, n::finalize), &PyBytes_Type);
    return result ? result.release() : fn.fail(124);
}

// def sign_hash(hash_value: "bytes", priv_key: "PrivateKey", hash_method: "str") -> "bytes":
//     inner_key = _get_inner_private_key(priv_key)                   (128)
//     hash_str = hash_method.upper().replace("-", "")                (129)
//     hash_obj = getattr(hashes, hash_str)()                         (130)
//     return inner_key.sign(hash_value, padding.PKCS1v15(),          (131, and the result check)
//                           Prehashed(hash_obj))                     (133, 134)
PyObject* sign_hash_body(const Def& fn, PyObject* const* a) noexcept {
    Ref inner_key = frame::call_global(n::get_inner_private_key, a[1]);
    if (!inner_key) return fn.fail(128);
    Ref hash_str = normalised_hash_name(a[2]);
    if (!hash_str) return fn.fail(129);
    Ref hash_obj = hash_object(hash_str);
    if (!hash_obj) return fn.fail(130);
    // The method before its arguments, as in a Python call (and in sign).
    Ref method = frame::getattr(inner_key, n::sign);
    if (!method) return fn.fail(131);
    Ref padding = pkcs1v15();
    if (!padding) return fn.fail(133);
    Ref prehashed = frame::call_global(n::Prehashed, hash_obj.get());
    if (!prehashed) return fn.fail(134);
    Ref signature =
        frame::expect_exact_or_none(frame::call(method, a[0], padding.get(), prehashed.get()), &PyBytes_Type);
    return signature ? signature.release() : fn.fail(131);
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
//     raise VerificationError("Verification failed")                 (139)
//
// The block is read, not assumed to be SHA-256: a block made with any other hash would
// otherwise be reported under the wrong name.
PyObject* find_signature_hash_body(const Def& fn, PyObject* const* a) noexcept {
    const std::string_view block(PyBytes_AS_STRING(a[0]), static_cast<size_t>(PyBytes_GET_SIZE(a[0])));
    for (const DigestInfo& info : digest_infos) {
        const size_t tail = info.prefix.size() + info.digest_length;
        if (block.size() >= tail && block.substr(block.size() - tail, info.prefix.size()) == info.prefix) {
            return Py_NewRef(info.name.object());
        }
    }
    frame::raise_new(frame::global(n::VerificationError), n::verification_failed);
    return fn.fail(139);
}

}  // namespace

Ref normalised_hash_name(PyObject* text) noexcept {
    Ref upper = frame::call_method(text, n::upper);
    if (!upper) return {};
    // An exact str's upper() is an exact str, whose replace is PyUnicode_Replace itself.
    if (PyUnicode_CheckExact(text)) return Ref::steal(PyUnicode_Replace(upper, n::dash, n::empty, -1));
    return frame::call_method(upper, n::replace, n::dash.object(), n::empty.object());
}

Ref hash_object(PyObject* hash_str) noexcept {
    Ref hashes = frame::global(n::hashes);
    Ref hash_class = hashes ? frame::getattr(hashes, hash_str) : Ref();
    return hash_class ? frame::call(hash_class) : Ref();
}

Def compute_hash({
    .name = &n::compute_hash,
    .qualname = &n::compute_hash,
    .line = 118,
    .params = {&n::message, &n::method_name},
    .locals = {&n::hash_str, &n::hash_obj, &n::digest},
    .exact = {&PyBytes_Type, &PyUnicode_Type},
    .doc = &n::doc_compute_hash,
    .annotations = {{&n::message, &n::bytes}, {&n::method_name, &n::str}, {&n::return_, &n::bytes}},
    .body = compute_hash_body,
});
Def sign_hash({
    .name = &n::sign_hash,
    .qualname = &n::sign_hash,
    .line = 126,
    .params = {&n::hash_value, &n::priv_key, &n::hash_method},
    .locals = {&n::inner_key, &n::hash_str, &n::hash_obj},
    .exact = {&PyBytes_Type, nullptr, &PyUnicode_Type},
    .doc = &n::doc_sign_hash,
    .annotations = {{&n::hash_value, &n::bytes},
                    {&n::priv_key, &n::PrivateKey},
                    {&n::hash_method, &n::str},
                    {&n::return_, &n::bytes}},
    .body = sign_hash_body,
});
Def find_signature_hash({
    .name = &n::find_signature_hash,
    .qualname = &n::find_signature_hash,
    .line = 137,
    .params = {&n::decrypted_signature},
    .exact = {&PyBytes_Type},
    .doc = &n::doc_find_signature_hash,
    .annotations = {{&n::decrypted_signature, &n::bytes}, {&n::return_, &n::str}},
    .body = find_signature_hash_body,
});

}  // namespace ferrovan
