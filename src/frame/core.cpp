#include "core.h"

#include "lookup.h"

namespace frame {
namespace {

// res[index], with subscription semantics; exact tuples and lists skip the int key.
Ref item(PyObject* res, Py_ssize_t index) noexcept {
    if ((PyTuple_CheckExact(res) || PyList_CheckExact(res)) && index < Py_SIZE(res)) {
        return Ref::share(PySequence_Fast_ITEMS(res)[index]);
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return key ? getitem(res, key) : Ref();
}

}  // namespace

Ref pack_core_result(PyObject* res, Py_ssize_t length, PyObject* pack_name) noexcept {
    Ref pack = global(pack_name);
    if (!pack) return {};
    Ref mlkem_ct = item(res, 0);
    if (!mlkem_ct) return {};
    if (length == 4) {
        Ref rsa_ct = item(res, 1);
        Ref nonce = rsa_ct ? item(res, 2) : Ref();
        Ref sealed = nonce ? item(res, 3) : Ref();
        return sealed ? call(pack, mlkem_ct.get(), rsa_ct.get(), nonce.get(), sealed.get()) : Ref();
    }
    Ref nonce = item(res, 1);
    Ref sealed = nonce ? item(res, 2) : Ref();
    return sealed ? call(pack, mlkem_ct.get(), Py_None, nonce.get(), sealed.get()) : Ref();
}

}  // namespace frame
