// PyCryptodomeKey, RSA.generate and RSA.import_key. Key material is the core's business:
// it is stored and handed back by reference, never read or copied here.
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

// def export_key(self, *args, **kwargs):
//     return self.priv_bytes if self.priv_bytes else self.pub_bytes         (18)
PyObject* export_key_body(const Def& fn, PyObject* const* a) noexcept {
    Ref priv_bytes = frame::getattr(a[0], n::priv_bytes);
    const int has_private = priv_bytes ? PyObject_IsTrue(priv_bytes) : -1;
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
    Ref generated = frame::call_global(n::generate_pqc_kem_keypair);
    if (!generated || !frame::unpack(generated, pair, 2)) return fn.fail(35);
    Ref key = frame::call_global(n::PyCryptodomeKey, pair[0].get(), pair[1].get());
    return key ? key.release() : fn.fail(36);
}

// def pycryptodome_import_key(extern_key, passphrase=None):
//     return PyCryptodomeKey(extern_key, extern_key)                        (39)
// Whether the material is public or private is for the core to find out when it is used.
PyObject* import_key_body(const Def& fn, PyObject* const* a) noexcept {
    Ref key = frame::call_global(n::PyCryptodomeKey, a[0], a[0]);
    return key ? key.release() : fn.fail(39);
}

}  // namespace

// class PyCryptodomeKey:  (line 11)
Def key_init({
    .name = &n::init,
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
    .n_defaults = 1,
    .defaults = {nullptr},
    .body = import_key_body,
});

}  // namespace mirelock
