#include "extras.h"

namespace frame {

bool same_name(PyObject* interned, PyObject* keyword) noexcept {
    // Both hashes are cached: the interned name's since it was made, an exact str keyword's
    // since the caller's dict or the first comparison.
    if (PyUnicode_CheckExact(keyword) && PyObject_Hash(interned) != PyObject_Hash(keyword)) return false;
    return PyUnicode_Compare(interned, keyword) == 0;
}

Extras::Extras(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t n_params) noexcept
    : positional_(args + (nargs > n_params ? n_params : nargs)),
      n_positional_(nargs > n_params ? nargs - n_params : 0),
      keyword_values_(args + nargs),
      kwnames_(kwnames) {}

PyObject* Extras::keyword(const Name& name) const noexcept {
    if (kwnames_ == nullptr) return nullptr;
    // From the end: of a name given twice, which only the C API can do, the last value is the
    // one a **kwargs dict would keep.
    for (Py_ssize_t k = PyTuple_GET_SIZE(kwnames_) - 1; k >= 0; --k) {
        if (PyTuple_GET_ITEM(kwnames_, k) == name.object()) return keyword_values_[k];
    }
    for (Py_ssize_t k = PyTuple_GET_SIZE(kwnames_) - 1; k >= 0; --k) {
        if (same_name(name.object(), PyTuple_GET_ITEM(kwnames_, k))) return keyword_values_[k];
    }
    return nullptr;
}

}  // namespace frame
