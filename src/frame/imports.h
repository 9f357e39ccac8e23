// The import statements of a module body, always absolute.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "text.h"
#include "ref.h"

namespace frame {

// `import name`: the module from sys.modules, or else from the import machinery.
Ref import_module(const Name& name) noexcept;

// `from module import a, b, ...`: binds each name as a module global, in order.
bool import_names(const Name& module, std::initializer_list<const Name*> names) noexcept;

// `from module import name` inside a function: the same rules, but the value goes back to the
// statement instead of becoming a global.
Ref import_from(const Name& module, const Name& name) noexcept;

}  // namespace frame
