// The function objects of a module: one type serves every function and method.
#pragma once

#include <Python.h>

#include "definition.h"
#include "ref.h"

namespace frame {

// Makes the function type; part of the module's constants.
bool prepare_function_type() noexcept;

// A new function object for def, as a def statement makes one.
Ref make_function(const Def& def) noexcept;

}  // namespace frame
