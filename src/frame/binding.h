// Argument binding with the modules' one set of rules and messages.
#pragma once

#include <Python.h>

#include "definition.h"

namespace frame {


// Binds a vectorcall's arguments to fn's parameters. Returns the array of one borrowed
// value per parameter: args itself when the call already has that shape, otherwise out
// (kMaxParams slots) filled in. Returns nullptr with TypeError set when binding or an
// exact-type check fails.
PyObject* const* bind(const Def& fn, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                      PyObject** out) noexcept;

// TypeError "<qualified name>() got multiple values for argument '<parameter>'", the
// interpreter's message for a Python function's parameter given both by position and by
// keyword: for a body that reads a parameter of the imitated interface from its *args and
// **kwargs.
void raise_given_twice(const Def& fn, const Name& parameter) noexcept;

}  // namespace frame
