// The module definition and its create and exec steps.
#pragma once

#include <Python.h>

#include "classes.h"
#include "definition.h"
#include "state.h"

namespace frame {

// The line of the body's records for a failure of the preparation, before the first statement;
// the closing `__test__ = {}` of each body is recorded there too.
inline constexpr int kPreparationLine = 1;

// The entry point's work: returns the initialised definition for multi-phase loading.
PyObject* initialise(const ModuleInfo& info) noexcept;

// `def name(...)` of a module body: the function made and bound under its name.
bool define(const Def& def) noexcept;

// `class Name: ...` of a module body: the class built and bound under its name.
bool define(const ClassSpec& spec) noexcept;

}  // namespace frame
