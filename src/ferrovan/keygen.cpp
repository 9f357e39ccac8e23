// newkeys, and the classic RSA key inside a hybrid key.
#include "../core/contract.h"
#include "../frame/constants.h"
#include "../frame/lookup.h"
#include "../frame/raising.h"
#include "shared.h"

namespace ferrovan {
namespace {

using frame::Def;
using frame::Ref;

frame::NameTuple password_keyword{n::password};

// def newkeys(keysize, *args, **kwargs):
//     pub, priv = generate_pqc_kem_keypair()
//     return PublicKey(pub), PrivateKey(priv)
PyObject* newkeys_body(const Def& fn, PyObject* const*) noexcept {
    using at = declared::newkeys;
    Ref pair[2];
    if (!core::generate_key_pair(pair)) return fn.fail(at::pub_priv);
    Ref public_key = frame::call_global(n::PublicKey, pair[0].get());
    if (!public_key) return fn.fail(at::return_PublicKey);
    Ref private_key = frame::call_global(n::PrivateKey, pair[1].get());
    if (!private_key) return fn.fail(at::return_PublicKey);
    PyObject* keys = PyTuple_Pack(2, public_key.get(), private_key.get());
    return keys != nullptr ? keys : fn.fail(at::return_PublicKey);
}

// def _get_inner_<kind>_key(<kind>_key):
//     <kind>_bytes = <kind>_key.key_bytes if isinstance(<kind>_key, <Class>) else <kind>_key   (key)
//     try:
//         <kind>_dict = json.loads(<kind>_bytes.decode("utf-8"))                                (decode)
//         rsa_<kind>_bytes = base64.b64decode(<kind>_dict["rsa"])                               (member)
//     except Exception:
//         rsa_<kind>_bytes = <kind>_bytes
//     return serialization.load_der_<kind>_key(rsa_<kind>_bytes[, password=None])              (load)
struct InnerKey {
    const frame::Name& key_class;
    int key, decode, member, load;
    bool is_private;
};

using private_at = declared::get_inner_private_key;
using public_at = declared::get_inner_public_key;
constexpr InnerKey private_key{n::PrivateKey,       private_at::priv_bytes,    private_at::priv_dict,
                               private_at::rsa_priv_bytes, private_at::return_load_der_private_key, true};
constexpr InnerKey public_key{n::PublicKey,       public_at::pub_bytes,    public_at::pub_dict,
                              public_at::rsa_pub_bytes, public_at::return_load_der_public_key, false};

// The DER of the inner RSA key: the "rsa" member of hybrid key bytes, or the key bytes
// themselves when they are not hybrid. Empty only when an exception that is not an Exception
// propagates.
Ref inner_der(const Def& fn, PyObject* key_bytes, const InnerKey& k) noexcept {
    int line = k.decode;
    Ref der;
    // As in a Python call, the function is looked up before its argument is evaluated.
    Ref json = frame::global(n::json);
    Ref loads = json ? frame::getattr(json.get(), n::loads) : Ref();
    // Exact bytes decode exactly as bytes.decode("utf-8") would, without the method lookup
    // and the codec-name normalisation.
    Ref text = !loads ? Ref()
               : PyBytes_CheckExact(key_bytes)
                   ? Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key_bytes), PyBytes_GET_SIZE(key_bytes), nullptr))
                   : frame::call_method(key_bytes, n::decode, n::utf_8.object());
    Ref key_dict = text ? frame::call(loads.get(), text.get()) : Ref();
    if (key_dict) {
        line = k.member;
        Ref base64 = frame::global(n::base64);
        Ref b64decode = base64 ? frame::getattr(base64.get(), n::b64decode) : Ref();
        Ref member = b64decode ? frame::getitem(key_dict.get(), n::rsa.object()) : Ref();
        der = member ? frame::call(b64decode.get(), member.get()) : Ref();
    }
    if (der) return der;
    fn.fail(line);
    if (!frame::catch_exception()) return {};
    return Ref::share(key_bytes);
}

template <const InnerKey& K>
PyObject* inner_key_body(const Def& fn, PyObject* const* a) noexcept {
    Ref key_bytes = key_bytes_of(a[0], K.key_class);
    if (!key_bytes) return fn.fail(K.key);
    Ref der = inner_der(fn, key_bytes.get(), K);
    if (!der) return nullptr;
    Ref serialization = frame::global(n::serialization);
    if (!serialization) return fn.fail(K.load);
    Ref key = K.is_private ? frame::call_method_with_keywords(serialization.get(), n::load_der_private_key,
                                                             password_keyword.object(), der.get(), Py_None)
                           : frame::call_method(serialization.get(), n::load_der_public_key, der.get());
    return key ? key.release() : fn.fail(K.load);
}

}  // namespace

Def newkeys(declared::newkeys::spec, newkeys_body);
Def get_inner_private_key(declared::get_inner_private_key::spec, inner_key_body<private_key>);
Def get_inner_public_key(declared::get_inner_public_key::spec, inner_key_body<public_key>);

}  // namespace ferrovan
