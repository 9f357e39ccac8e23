// The module definition and its create and exec steps.
#pragma once

#include <Python.h>

#include "state.h"

namespace frame {

// The entry point's work: returns the initialised definition for multi-phase loading.
PyObject* initialise(const ModuleInfo& info) noexcept;

}  // namespace frame
