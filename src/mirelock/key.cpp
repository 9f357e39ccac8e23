// PyCryptodomeKey, RSA.generate and RSA.import_key. Key material is the core's business:
// it is stored and handed back by reference, never read or copied here.
#include "../core/contract.h"
#include "../frame/binding.h"
#include "../frame/lookup.h"
#include "../frame/values.h"
#include "declared.h"

namespace mirelock {
namespace {

using frame::Def;
using frame::Ref;

// def __init__(self, pub_bytes, priv_bytes=None):
//     self.pub_bytes = pub_bytes
//     self.priv_bytes = priv_bytes
PyObject* init_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::PyCryptodomeKey::init;
    if (!frame::setattr(a[0], n::pub_bytes, a[1])) return fn.fail(at::self_pub_bytes);
    if (!frame::setattr(a[0], n::priv_bytes, a[2])) return fn.fail(at::self_priv_bytes);
    Py_RETURN_NONE;
}

// def publickey(self):
//     return PyCryptodomeKey(self.pub_bytes)
// The module global, not type(self): a subclass's key still yields a plain public key.
PyObject* publickey_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::PyCryptodomeKey::publickey;
    Ref key_class = frame::global(n::PyCryptodomeKey);
    Ref pub_bytes = key_class ? frame::getattr(a[0], n::pub_bytes) : Ref();
    Ref key = pub_bytes ? frame::call(key_class.get(), pub_bytes.get()) : Ref();
    return key ? key.release() : fn.fail(at::return_PyCryptodomeKey);
}

// The truth of self.priv_bytes, read afresh: 1, 0, or -1 with the exception set.
int has_private_part(PyObject* self) noexcept {
    Ref priv_bytes = frame::getattr(self, n::priv_bytes);
    return priv_bytes ? PyObject_IsTrue(priv_bytes.get()) : -1;
}

// def export_key(self, *args, **kwargs):
//     if (passphrase := <keyword passphrase, or args[1]>) is None or not self.priv_bytes:
//         return self.priv_bytes if self.priv_bytes else self.pub_bytes
//     from halcyra_pqc import protect_private_key; return protect_private_key(self.priv_bytes, passphrase)
// The pass phrase sits where the imitated interface puts it, second after the format, or comes
// by keyword; given both ways it is refused, as binding refuses a parameter given twice.
// Private material never leaves unprotected when the caller gave one.
PyObject* export_key_body(const Def& fn, PyObject* const* a, const frame::Extras& extras) noexcept {
    using at = declared::PyCryptodomeKey::export_key;
    PyObject* keyword = extras.keyword(n::passphrase);
    PyObject* positional = extras.positional_count() > 1 ? extras.positional(1) : nullptr;
    if (keyword != nullptr && positional != nullptr) {
        frame::raise_given_twice(fn, n::passphrase);
        return fn.fail(at::if_passphrase);
    }
    PyObject* passphrase = keyword != nullptr ? keyword : positional != nullptr ? positional : Py_None;
    if (passphrase != Py_None) {
        const int to_protect = has_private_part(a[0]);
        if (to_protect < 0) return fn.fail(at::if_passphrase);
        if (to_protect) {
            Ref protect = core::import_function(n::protect_private_key);
            Ref priv_bytes = protect ? frame::getattr(a[0], n::priv_bytes) : Ref();
            Ref protected_bytes = priv_bytes ? frame::call(protect.get(), priv_bytes.get(), passphrase) : Ref();
            return protected_bytes ? protected_bytes.release() : fn.fail(at::return_protect_private_key);
        }
    }
    const int has_private = has_private_part(a[0]);
    if (has_private < 0) return fn.fail(at::return_priv_bytes);
    // Read afresh, as the expression does: the truth test may have rebound the attribute.
    Ref exported = frame::getattr(a[0], has_private ? n::priv_bytes : n::pub_bytes);
    return exported ? exported.release() : fn.fail(at::return_priv_bytes);
}

// def pycryptodome_generate(bits, randfunc=None):
//     pub, priv = generate_pqc_kem_keypair()
//     return PyCryptodomeKey(pub, priv)
// The key size is the core's; bits and randfunc are kept only for the call shape.
PyObject* generate_body(const Def& fn, PyObject* const*) noexcept {
    using at = declared::pycryptodome_generate;
    Ref pair[2];
    if (!core::generate_key_pair(pair)) return fn.fail(at::pub_priv);
    Ref key = frame::call_global(n::PyCryptodomeKey, pair[0].get(), pair[1].get());
    return key ? key.release() : fn.fail(at::return_PyCryptodomeKey);
}

// def pycryptodome_import_key(extern_key, passphrase=None):
//     from halcyra_pqc import _import_key_pair; return PyCryptodomeKey(*_import_key_pair(extern_key, passphrase))
// The core tells public from private material, unprotects what a pass phrase protects and
// derives the public half, so a key made from private material never exports it as public.
PyObject* import_key_body(const Def& fn, PyObject* const* a) noexcept {
    using at = declared::pycryptodome_import_key;
    Ref import_key_pair = core::import_function(n::import_key_pair);
    Ref key_class = import_key_pair ? frame::global(n::PyCryptodomeKey) : Ref();
    Ref pair = key_class ? frame::call(import_key_pair.get(), a[0], a[1]) : Ref();
    Ref key = pair ? frame::call_unpacked(key_class.get(), pair.get()) : Ref();
    return key ? key.release() : fn.fail(at::return_PyCryptodomeKey);
}

}  // namespace

Def PyCryptodomeKey_init(declared::PyCryptodomeKey::init::spec, init_body);
Def PyCryptodomeKey_publickey(declared::PyCryptodomeKey::publickey::spec, publickey_body);
Def PyCryptodomeKey_export_key(declared::PyCryptodomeKey::export_key::spec, export_key_body);
Def pycryptodome_generate(declared::pycryptodome_generate::spec, generate_body);
Def pycryptodome_import_key(declared::pycryptodome_import_key::spec, import_key_body);

}  // namespace mirelock
