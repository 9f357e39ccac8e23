// PyCryptodomeKey, RSA.generate and RSA.import_key. Key material is the core's business:
// it is stored and handed back by reference, never read or copied here.
#include "../core/contract.h"
#include "../frame/lookup.h"
#include "../frame/values.h"
#include "functions.h"
#include "names.h"

namespace mirelock {
namespace {

using frame::Def;
using frame::Ref;

// def __init__(self, pub_bytes, priv_bytes=None):
//     self.pub_bytes = pub_bytes                                            (13)
//     self.priv_bytes = priv_bytes                                          (14)
PyObject* init_body(const Def& fn, PyObject* const* a) noexcept {
    if (!frame::setattr(a[0], n::pub_bytes, a[1])) return fn.fail(13);
    if (!frame::setattr(a[0], n::priv_bytes, a[2])) return fn.fail(14);
    Py_RETURN_NONE;
}

// def publickey(self):
//     return PyCryptodomeKey(self.pub_bytes)                                (16)
// The module global, not type(self): a subclass's key still yields a plain public key.
PyObject* publickey_body(const Def& fn, PyObject* const* a) noexcept {
    Ref key_class = frame::global(n::PyCryptodomeKey);
    Ref pub_bytes = key_class ? frame::getattr(a[0], n::pub_bytes) : Ref();
    Ref key = pub_bytes ? frame::call(key_class, pub_bytes.get()) : Ref();
    return key ? key.release() : fn.fail(16);
}

// The truth of self.priv_bytes, read afresh: 1, 0, or -1 with the exception set.
int has_private_part(PyObject* self) noexcept {
    Ref priv_bytes = frame::getattr(self, n::priv_bytes);
    return priv_bytes ? PyObject_IsTrue(priv_bytes) : -1;
}

// def export_key(self, *args, **kwargs):
//     if (passphrase := kwargs.get("passphrase", args[1] if len(args) > 1 else None)) is None
//             or not self.priv_bytes: return self.priv_bytes if self.priv_bytes else self.pub_bytes    (18)
//     from halcyra_pqc import protect_private_key; return protect_private_key(self.priv_bytes, passphrase)  (19)
// The pass phrase sits where the imitated interface puts it, second after the format, or comes
// by keyword. Private material never leaves unprotected when the caller gave one.
PyObject* export_key_body(const Def& fn, PyObject* const* a, const frame::Extras& extras) noexcept {
    PyObject* passphrase = extras.keyword(n::passphrase);
    if (passphrase == nullptr) passphrase = extras.positional_count() > 1 ? extras.positional(1) : Py_None;
    if (passphrase != Py_None) {
        const int to_protect = has_private_part(a[0]);
        if (to_protect < 0) return fn.fail(18);
        if (to_protect) {
            Ref protect = core::import_function(n::protect_private_key);
            Ref priv_bytes = protect ? frame::getattr(a[0], n::priv_bytes) : Ref();
            Ref protected_bytes = priv_bytes ? frame::call(protect, priv_bytes.get(), passphrase) : Ref();
            return protected_bytes ? protected_bytes.release() : fn.fail(19);
        }
    }
    const int has_private = has_private_part(a[0]);
    if (has_private < 0) return fn.fail(18);
    // Read afresh, as the expression does: the truth test may have rebound the attribute.
    Ref exported = frame::getattr(a[0], has_private ? n::priv_bytes : n::pub_bytes);
    return exported ? exported.release() : fn.fail(18);
}

// def pycryptodome_generate(bits, randfunc=None):
//     pub, priv = generate_pqc_kem_keypair()                                (35)
//     return PyCryptodomeKey(pub, priv)                                     (36)
// The key size is the core's; bits and randfunc are kept only for the call shape.
PyObject* generate_body(const Def& fn, PyObject* const*) noexcept {
    Ref pair[2];
    if (!core::generate_key_pair(pair)) return fn.fail(35);
    Ref key = frame::call_global(n::PyCryptodomeKey, pair[0].get(), pair[1].get());
    return key ? key.release() : fn.fail(36);
}

// def pycryptodome_import_key(extern_key, passphrase=None):
//     from halcyra_pqc import _import_key_pair; return PyCryptodomeKey(*_import_key_pair(extern_key, passphrase))   (39)
// The core tells public from private material, unprotects what a pass phrase protects and
// derives the public half, so a key made from private material never exports it as public.
PyObject* import_key_body(const Def& fn, PyObject* const* a) noexcept {
    Ref import_key_pair = core::import_function(n::import_key_pair);
    Ref key_class = import_key_pair ? frame::global(n::PyCryptodomeKey) : Ref();
    Ref pair = key_class ? frame::call(import_key_pair, a[0], a[1]) : Ref();
    Ref key = pair ? frame::call_unpacked(key_class, pair) : Ref();
    return key ? key.release() : fn.fail(39);
}

}  // namespace

// class PyCryptodomeKey:  (line 11)
Def key_init({
    .name = &n::dunder_init,
    .qualname = &n::PyCryptodomeKey_init,
    .line = 12,
    .params = {&n::self, &n::pub_bytes, &n::priv_bytes},
    .n_defaults = 1,
    .defaults = {nullptr},
    .body = init_body,
});
Def key_publickey({
    .name = &n::publickey,
    .qualname = &n::PyCryptodomeKey_publickey,
    .line = 15,
    .params = {&n::self},
    .body = publickey_body,
});
Def key_export_key({
    .name = &n::export_key,
    .qualname = &n::PyCryptodomeKey_export_key,
    .line = 17,
    .params = {&n::self},
    .varargs = &n::args,
    .varkw = &n::kwargs,
    .locals = {&n::passphrase, &n::protect_private_key},
    .body = export_key_body,
});

Def pycryptodome_generate({
    .name = &n::pycryptodome_generate,
    .qualname = &n::pycryptodome_generate,
    .line = 34,
    .params = {&n::bits, &n::randfunc},
    .locals = {&n::pub, &n::priv},
    .n_defaults = 1,
    .defaults = {nullptr},
    .body = generate_body,
});
Def pycryptodome_import_key({
    .name = &n::pycryptodome_import_key,
    .qualname = &n::pycryptodome_import_key,
    .line = 38,
    .params = {&n::extern_key, &n::passphrase},
    .locals = {&n::import_key_pair},
    .n_defaults = 1,
    .defaults = {nullptr},
    .body = import_key_body,
});

}  // namespace mirelock
