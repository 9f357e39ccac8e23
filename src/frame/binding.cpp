#include "binding.h"

#include "compiler.h"
#include "frame_names.h"
#include "function.h"
#include "ref.h"

namespace frame {
namespace {

enum class Count { too_few, too_many };

// "exactly" only when neither defaults nor *args loosen the count; the expected figure is
// the minimum for "at least" and the maximum for "at most".
HALCYRA_COLD void raise_count(const Def& fn, Count which, Py_ssize_t given) noexcept {
    const bool fixed = fn.spec.n_defaults == 0 && fn.spec.varargs == nullptr;
    const char* bound = fixed ? "exactly" : which == Count::too_few ? "at least" : "at most";
    const Py_ssize_t expected = (which == Count::too_few && !fixed) ? fn.n_required : fn.n_params;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 fn.spec.name->text(), bound, expected, expected == 1 ? "" : "s", given);
}

HALCYRA_COLD void raise_exact_type(const Def& fn, int index, PyObject* value) noexcept {
    PyTypeObject* expected = fn.spec.exact[index];
    Ref got = Ref::steal(PyType_GetName(Py_TYPE(value)));
    if (!got) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200U)",
                 fn.spec.params[index]->text(), expected->tp_name, got.get());
    if (!PyType_IsSubtype(Py_TYPE(value), expected)) return;
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "Subclasses of the built-in type %s are rejected here: only an exact %s object is accepted.",
        expected->tp_name, expected->tp_name));
    Ref added = note ? Ref::steal(PyObject_CallMethodOneArg(error, n::add_note, note)) : Ref();
    // The TypeError is what the caller must see; a note that cannot be added is left out.
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(error.release());
}

bool check_exact_types(const Def& fn, PyObject* const* values) noexcept {
    for (int i = 0; i < fn.n_params; ++i) {
        PyTypeObject* expected = fn.spec.exact[i];
        if (expected != nullptr && Py_TYPE(values[i]) != expected) {
            raise_exact_type(fn, i, values[i]);
            return false;
        }
    }
    return true;
}

// The parameter a keyword names, or -1: by identity with the interned names first, then by
// hash and content for keywords built at run time.
int parameter_index(const Def& fn, PyObject* keyword) noexcept {
    for (int i = 0; i < fn.n_params; ++i) {
        if (fn.spec.params[i]->object() == keyword) return i;
    }
    // An exact str has its hash cached; a str subclass is compared by content alone, since
    // its __hash__ could run Python code.
    const bool exact = PyUnicode_CheckExact(keyword);
    const Py_hash_t hash = exact ? PyObject_Hash(keyword) : -1;
    for (int i = 0; i < fn.n_params; ++i) {
        PyObject* param = fn.spec.params[i]->object();
        if (exact && PyObject_Hash(param) != hash) continue;
        if (PyUnicode_Compare(param, keyword) == 0) return i;
    }
    return -1;
}

}  // namespace

PyObject* const* bind(const Def& fn, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                      PyObject** out) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    const int np = fn.n_params;

    if (nkw == 0 && nargs == np) return check_exact_types(fn, args) ? args : nullptr;

    if (nargs > np && fn.spec.varargs == nullptr) {
        raise_count(fn, Count::too_many, nargs);
        return nullptr;
    }
    const Py_ssize_t npos = nargs < np ? nargs : np;
    for (int i = 0; i < np; ++i) out[i] = i < npos ? args[i] : nullptr;

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fn.spec.name->text());
            return nullptr;
        }
        const int index = parameter_index(fn, keyword);
        if (index < 0) {
            if (fn.spec.varkw != nullptr) continue;
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         fn.spec.name->text(), keyword);
            return nullptr;
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         fn.spec.name->text(), keyword);
            return nullptr;
        }
        out[index] = args[nargs + k];
    }

    for (int i = static_cast<int>(npos); i < np; ++i) {
        if (out[i] != nullptr) continue;
        if (i < fn.n_required) {
            raise_count(fn, Count::too_few, i);
            return nullptr;
        }
        out[i] = PyTuple_GET_ITEM(fn.defaults(), i - fn.n_required);
    }
    return check_exact_types(fn, out) ? out : nullptr;
}

}  // namespace frame
