// Class statements of a module body.
#pragma once

#include <Python.h>

#include "definition.h"
#include "ref.h"
#include "text.h"

namespace frame {

inline constexpr int kMaxMembers = 4;

// How a class statement of the twin looks: its name, its one base (a built-in exception class,
// or none for object), its docstring and its methods in source order. scripts/declare.py
// writes each module's descriptions into its declared.h.
struct ClassSpec {
    struct Member {
        const Def* def;
        bool is_static;  // wrapped by the built-in staticmethod
    };
    const Name* name;
    PyObject* const* base = nullptr;
    const Text* doc = nullptr;
    Member members[kMaxMembers] = {};
};

// Builds a top-level class the way a class statement does: bases resolved through
// __mro_entries__, the most derived metaclass, a namespace from its __prepare__ holding
// __module__, __qualname__ and the docstring, then the members in source order, and
// finally the metaclass called with name, bases and namespace. Empty with the exception set
// when a step fails.
Ref class_statement(const ClassSpec& spec) noexcept;

}  // namespace frame
