#include "contract.h"

#include "../frame/imports.h"
#include "../frame/lookup.h"
#include "../frame/ops.h"
#include "../frame/values.h"
#include "names.h"

namespace core {
namespace {

using frame::Ref;

// res[index], with subscription semantics; exact tuples and lists skip the int key.
Ref item(PyObject* res, Py_ssize_t index) noexcept {
    if ((PyTuple_CheckExact(res) || PyList_CheckExact(res)) && index < Py_SIZE(res)) {
        return Ref::share(PySequence_Fast_ITEMS(res)[index]);
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return key ? frame::getitem(res, key.get()) : Ref();
}

Ref pack_items(PyObject* res, Py_ssize_t length) noexcept {
    Ref pack_ciphertext = frame::global(n::pack_ciphertext);
    if (!pack_ciphertext) return {};
    Ref mlkem_ct = item(res, 0);
    if (!mlkem_ct) return {};
    if (length == 4) {
        Ref rsa_ct = item(res, 1);
        Ref nonce = rsa_ct ? item(res, 2) : Ref();
        Ref sealed = nonce ? item(res, 3) : Ref();
        return sealed ? frame::call(pack_ciphertext.get(), mlkem_ct.get(), rsa_ct.get(), nonce.get(), sealed.get()) : Ref();
    }
    Ref nonce = item(res, 1);
    Ref sealed = nonce ? item(res, 2) : Ref();
    return sealed ? frame::call(pack_ciphertext.get(), mlkem_ct.get(), Py_None, nonce.get(), sealed.get()) : Ref();
}

}  // namespace

bool import_functions() noexcept {
    return frame::import_names(n::halcyra_pqc, {&n::generate_pqc_kem_keypair, &n::pqc_encrypt_payload,
                                                &n::pqc_decrypt_payload, &n::pack_ciphertext});
}

Ref import_function(const frame::Name& name) noexcept { return frame::import_from(n::halcyra_pqc, name); }

bool generate_key_pair(Ref (&pair)[2]) noexcept {
    Ref generated = frame::call_global(n::generate_pqc_kem_keypair);
    return generated && frame::unpack(generated.get(), pair, 2);
}

PyObject* pack(const frame::Site& fn, PyObject* res, PackLines lines) noexcept {
    const Py_ssize_t length = PyObject_Length(res);
    if (length < 0) return fn.fail(lines.length);
    Ref packed = pack_items(res, length);
    return packed ? packed.release() : fn.fail(length == 4 ? lines.hybrid : lines.pure);
}

}  // namespace core
