// The import statements of a module body, always absolute.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "names.h"
#include "ref.h"

namespace frame {

// `import name`: the module from sys.modules, or else from the import machinery.
Ref import_module(PyObject* name) noexcept;

// `from module import a, b, ...`: binds each name as a module global, in order.
bool import_names(PyObject* module, std::initializer_list<const Name*> names) noexcept;

// `from module import name` inside a function: the same rules, but the value goes back to the
// statement instead of becoming a global.
Ref import_from(PyObject* module, const Name& name) noexcept;

}  // namespace frame
