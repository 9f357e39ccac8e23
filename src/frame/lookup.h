// Module globals, looked up at the time of each use.
#pragma once

#include <Python.h>

#include "ops.h"
#include "ref.h"

namespace frame {

// The value of a module-level name: the module dict first, then the builtins, else
// NameError "name '%U' is not defined". Nothing is cached between calls, so rebinding a
// module attribute changes what the next call uses.
Ref global(const Name& name) noexcept;

// global(name)(args...): a call of a module global, the lookup failing like the call.
template <class... Args>
Ref call_global(const Name& name, Args... args) noexcept {
    Ref callable = global(name);
    return callable ? call(callable.get(), args...) : Ref();
}

// NameError "name '<name>' is not defined", for a name found neither in the module nor in
// the builtins.
void raise_undefined(const Name& name) noexcept;

// Binds a module-level name, as an assignment statement of the body does; false with an
// exception set if value is empty (its statement failed) or the store fails.
bool assign(const Name& name, const Ref& value) noexcept;

}  // namespace frame
