// Checks and conversions on values the bodies receive from the code they call.
#pragma once

#include <Python.h>

#include "ref.h"

namespace frame {

// `a, b, ... = value` into count names; false with ValueError (or the iterator's error)
// set when value does not hold exactly count items.
bool unpack(PyObject* value, Ref* out, Py_ssize_t count) noexcept;

// A result that must be exactly of the built-in type expected, or None; otherwise
// TypeError "Expected <type>, got <type>". Passes the value (or the failure) through.
Ref expect_exact_or_none(Ref value, PyTypeObject* expected) noexcept;

// func(*iterable): a tuple goes as it is, any other iterable is made one first; anything else
// is refused with the interpreter's own TypeError.
Ref call_unpacked(PyObject* func, PyObject* iterable) noexcept;

}  // namespace frame
