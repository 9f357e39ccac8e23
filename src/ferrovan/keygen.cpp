// newkeys, and the classic RSA key inside a hybrid key.
#include "../core/contract.h"
#include "../frame/lookup.h"
#include "../frame/raising.h"
#include "functions.h"
#include "names.h"

namespace ferrovan {
namespace {

using frame::Def;
using frame::Ref;

// def newkeys(keysize, *args, **kwargs):
//     pub, priv = generate_pqc_kem_keypair()
//     return PublicKey(pub), PrivateKey(priv)
PyObject* newkeys_body(const Def& fn, PyObject* const*) noexcept {
    Ref pair[2];
    if (!core::generate_key_pair(pair)) return fn.fail(42);
    Ref public_key = frame::call_global(n::PublicKey, pair[0].get());
    if (!public_key) return fn.fail(43);
    Ref private_key = frame::call_global(n::PrivateKey, pair[1].get());
    if (!private_key) return fn.fail(43);
    PyObject* keys = PyTuple_Pack(2, public_key.get(), private_key.get());
    return keys != nullptr ? keys : fn.fail(43);
}

// The DER of the inner RSA key: the "rsa" member of hybrid key bytes, or the key bytes
// themselves when they are not hybrid.
//     try:
//         key_dict = json.loads(key_bytes.decode("utf-8"))          (decode_line)
//         rsa_key_bytes = base64.b64decode(key_dict["rsa"])         (member_line)
//     except Exception:
//         rsa_key_bytes = key_bytes
// Empty only when an exception that is not an Exception propagates.
Ref inner_der(const Def& fn, PyObject* key_bytes, int decode_line, int member_line) noexcept {
    int line = decode_line;
    Ref der;
    // As in a Python call, the function is looked up before its argument is evaluated.
    Ref json = frame::global(n::json);
    Ref loads = json ? frame::getattr(json, n::loads) : Ref();
    // Exact bytes decode exactly as bytes.decode("utf-8") would, without the method lookup
    // and the codec-name normalisation.
    Ref text = !loads ? Ref()
               : PyBytes_CheckExact(key_bytes)
                   ? Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key_bytes), PyBytes_GET_SIZE(key_bytes), nullptr))
                   : frame::call_method(key_bytes, n::decode, n::utf_8.object());
    Ref key_dict = text ? frame::call(loads, text.get()) : Ref();
    if (key_dict) {
        line = member_line;
        Ref base64 = frame::global(n::base64);
        Ref b64decode = base64 ? frame::getattr(base64, n::b64decode) : Ref();
        Ref member = b64decode ? frame::getitem(key_dict, n::rsa) : Ref();
        der = member ? frame::call(b64decode, member.get()) : Ref();
    }
    if (der) return der;
    fn.fail(line);
    if (!frame::catch_exception()) return {};
    return Ref::share(key_bytes);
}

// def _get_inner_<kind>_key(<kind>_key):
//     <kind>_bytes = <kind>_key.key_bytes if isinstance(<kind>_key, <Class>) else <kind>_key
//     ... inner_der ...
//     return serialization.load_der_<kind>_key(rsa_<kind>_bytes[, password=None])
struct InnerKey {
    const frame::Name& key_class;
    int key_line, decode_line, member_line, load_line;
    bool is_private;
};

template <const InnerKey& K>
PyObject* inner_key_body(const Def& fn, PyObject* const* a) noexcept {
    Ref key_bytes = key_bytes_of(a[0], K.key_class);
    if (!key_bytes) return fn.fail(K.key_line);
    Ref der = inner_der(fn, key_bytes, K.decode_line, K.member_line);
    if (!der) return nullptr;
    Ref serialization = frame::global(n::serialization);
    if (!serialization) return fn.fail(K.load_line);
    Ref key = K.is_private ? frame::call_method_with_keywords(serialization, n::load_der_private_key,
                                                             n::password_keyword, der.get(), Py_None)
                           : frame::call_method(serialization, n::load_der_public_key, der.get());
    return key ? key.release() : fn.fail(K.load_line);
}

constexpr InnerKey private_key{n::PrivateKey, 46, 48, 49, 52, true};
constexpr InnerKey public_key{n::PublicKey, 55, 57, 58, 61, false};

}  // namespace

Def newkeys({
    .name = &n::newkeys,
    .qualname = &n::newkeys,
    .line = 41,
    .params = {&n::keysize},
    .varargs = &n::args,
    .varkw = &n::kwargs,
    .locals = {&n::pub, &n::priv},
    .body = newkeys_body,
});
Def get_inner_private_key({
    .name = &n::get_inner_private_key,
    .qualname = &n::get_inner_private_key,
    .line = 45,
    .params = {&n::priv_key},
    .locals = {&n::priv_bytes, &n::priv_dict, &n::rsa_priv_bytes},
    .body = inner_key_body<private_key>,
});
Def get_inner_public_key({
    .name = &n::get_inner_public_key,
    .qualname = &n::get_inner_public_key,
    .line = 54,
    .params = {&n::pub_key},
    .locals = {&n::pub_bytes, &n::pub_dict, &n::rsa_pub_bytes},
    .body = inner_key_body<public_key>,
});

}  // namespace ferrovan
