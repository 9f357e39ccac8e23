// PublicKey and PrivateKey: thin holders of key bytes, saved and loaded unchanged. One
// definition serves both classes; what tells them apart (the class a method names, the
// qualified names and the lines) is their declarations' data.
#include "../frame/lookup.h"
#include "shared.h"

namespace ferrovan {
namespace {

using frame::Def;
using frame::Ref;

// The lines of a key class's statements, and the global its load_pkcs1 calls: the class itself.
struct KeyClass {
    const frame::Name& name;
    int init_line, load_line, save_line;
};

using public_at = declared::PublicKey;
using private_at = declared::PrivateKey;
constexpr KeyClass public_key{n::PublicKey, public_at::init::self_key_bytes, public_at::load_pkcs1::return_PublicKey,
                              public_at::save_pkcs1::return_key_bytes};
constexpr KeyClass private_key{n::PrivateKey, private_at::init::self_key_bytes,
                               private_at::load_pkcs1::return_PrivateKey, private_at::save_pkcs1::return_key_bytes};

// def __init__(self, key_bytes):
//     self.key_bytes = key_bytes
template <const KeyClass& K>
PyObject* init(const Def& fn, PyObject* const* a) noexcept {
    if (!frame::setattr(a[0], n::key_bytes, a[1])) return fn.fail(K.init_line);
    Py_RETURN_NONE;
}

// @staticmethod
// def load_pkcs1(keyfile, format="PEM"):
//     return <Class>(keyfile)
template <const KeyClass& K>
PyObject* load_pkcs1(const Def& fn, PyObject* const* a) noexcept {
    Ref key = frame::call_global(K.name, a[0]);
    return key ? key.release() : fn.fail(K.load_line);
}

// def save_pkcs1(self, format="PEM"):
//     return self.key_bytes
template <const KeyClass& K>
PyObject* save_pkcs1(const Def& fn, PyObject* const* a) noexcept {
    Ref key_bytes = frame::getattr(a[0], n::key_bytes);
    return key_bytes ? key_bytes.release() : fn.fail(K.save_line);
}

}  // namespace

Ref key_bytes_of(PyObject* key, const frame::Name& class_name) noexcept {
    Ref key_class = frame::global(class_name);
    if (!key_class) return {};
    const int is_key = frame::isinstance(key, key_class.get());
    if (is_key < 0) return {};
    return is_key ? frame::getattr(key, n::key_bytes) : Ref::share(key);
}

Def PublicKey_init(declared::PublicKey::init::spec, init<public_key>);
Def PublicKey_load_pkcs1(declared::PublicKey::load_pkcs1::spec, load_pkcs1<public_key>);
Def PublicKey_save_pkcs1(declared::PublicKey::save_pkcs1::spec, save_pkcs1<public_key>);
Def PrivateKey_init(declared::PrivateKey::init::spec, init<private_key>);
Def PrivateKey_load_pkcs1(declared::PrivateKey::load_pkcs1::spec, load_pkcs1<private_key>);
Def PrivateKey_save_pkcs1(declared::PrivateKey::save_pkcs1::spec, save_pkcs1<private_key>);

}  // namespace ferrovan
