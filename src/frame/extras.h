// What a call passes beyond a function's named parameters.
#pragma once

#include <Python.h>

#include "text.h"

namespace frame {

// Whether a keyword of a call spells the interned name. Identity is the caller's first test;
// this is the second, by hash and content, for keywords built at run time. A str subclass is
// compared by content alone, since its __hash__ could run Python code.
bool same_name(PyObject* interned, PyObject* keyword) noexcept;

// The values a function's *args and **kwargs would hold, read in place from the call's own
// arguments, so that a body that wants them costs no tuple or dict.
class Extras {
public:
    // args, nargs and kwnames as the call passed them; the first n_params positional
    // arguments went to the named parameters.
    Extras(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t n_params) noexcept;

    Py_ssize_t positional_count() const noexcept { return n_positional_; }
    // The index-th extra positional argument (borrowed), index below positional_count().
    PyObject* positional(Py_ssize_t index) const noexcept { return positional_[index]; }
    // The value the call gave the keyword `name`, which names no parameter: borrowed, or
    // nullptr when the call gave none.
    PyObject* keyword(const Name& name) const noexcept;

private:
    PyObject* const* positional_;
    Py_ssize_t n_positional_;
    PyObject* const* keyword_values_;
    PyObject* kwnames_;
};

}  // namespace frame
