// PublicKey and PrivateKey: thin holders of key bytes, saved and loaded unchanged.
#include "../frame/lookup.h"
#include "functions.h"
#include "names.h"

namespace ferrovan {
namespace {

using frame::Def;
using frame::Ref;

// def __init__(self, key_bytes):
//     self.key_bytes = key_bytes
template <int Line>
PyObject* init(const Def& fn, PyObject* const* a) noexcept {
    if (!frame::setattr(a[0], n::key_bytes, a[1])) return fn.fail(Line);
    Py_RETURN_NONE;
}

// @staticmethod
// def load_pkcs1(keyfile, format="PEM"):
//     return <Class>(keyfile)
template <const frame::Name& Class, int Line>
PyObject* load_pkcs1(const Def& fn, PyObject* const* a) noexcept {
    Ref key = frame::call_global(Class, a[0]);
    return key ? key.release() : fn.fail(Line);
}

// def save_pkcs1(self, format="PEM"):
//     return self.key_bytes
template <int Line>
PyObject* save_pkcs1(const Def& fn, PyObject* const* a) noexcept {
    Ref key_bytes = frame::getattr(a[0], n::key_bytes);
    return key_bytes ? key_bytes.release() : fn.fail(Line);
}

}  // namespace

Ref key_bytes_of(PyObject* key, PyObject* class_name) noexcept {
    Ref key_class = frame::global(class_name);
    if (!key_class) return {};
    const int is_key = frame::isinstance(key, key_class);
    if (is_key < 0) return {};
    return is_key ? frame::getattr(key, n::key_bytes) : Ref::share(key);
}

// class PublicKey:  (line 23)
Def public_key_init({
    .name = &n::dunder_init,
    .qualname = &n::PublicKey_init,
    .line = 24,
    .params = {&n::self, &n::key_bytes},
    .body = init<25>,
});
Def public_key_load_pkcs1({
    .name = &n::load_pkcs1,
    .qualname = &n::PublicKey_load_pkcs1,
    .line = 26,
    .params = {&n::keyfile, &n::format},
    .n_defaults = 1,
    .defaults = {&n::PEM},
    .body = load_pkcs1<n::PublicKey, 28>,
});
Def public_key_save_pkcs1({
    .name = &n::save_pkcs1,
    .qualname = &n::PublicKey_save_pkcs1,
    .line = 29,
    .params = {&n::self, &n::format},
    .n_defaults = 1,
    .defaults = {&n::PEM},
    .body = save_pkcs1<30>,
});

// class PrivateKey:  (line 32)
Def private_key_init({
    .name = &n::dunder_init,
    .qualname = &n::PrivateKey_init,
    .line = 33,
    .params = {&n::self, &n::key_bytes},
    .body = init<34>,
});
Def private_key_load_pkcs1({
    .name = &n::load_pkcs1,
    .qualname = &n::PrivateKey_load_pkcs1,
    .line = 35,
    .params = {&n::keyfile, &n::format},
    .n_defaults = 1,
    .defaults = {&n::PEM},
    .body = load_pkcs1<n::PrivateKey, 37>,
});
Def private_key_save_pkcs1({
    .name = &n::save_pkcs1,
    .qualname = &n::PrivateKey_save_pkcs1,
    .line = 38,
    .params = {&n::self, &n::format},
    .n_defaults = 1,
    .defaults = {&n::PEM},
    .body = save_pkcs1<39>,
});

}  // namespace ferrovan
