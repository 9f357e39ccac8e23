// Class statements of a module body.
#pragma once

#include <Python.h>

#include "function.h"
#include "names.h"
#include "ref.h"

namespace frame {

// Builds a top-level class the way a class statement does: bases resolved through
// __mro_entries__, the most derived metaclass, a namespace from its __prepare__ holding
// __module__, __qualname__ and the docstring, then the members in source order, and
// finally the metaclass called with name, bases and namespace.
//
//     Ref cls = ClassStatement(n::PublicKey).function(init).static_function(load).build();
//
// A failing step leaves the exception set; the later steps do nothing and build() returns
// an empty Ref.
class ClassStatement {
public:
    explicit ClassStatement(const Name& name, PyObject* base = nullptr) noexcept;
    ClassStatement& doc(const Text& text) noexcept;
    ClassStatement& function(const Def& def) noexcept;
    // A member wrapped by the built-in staticmethod.
    ClassStatement& static_function(const Def& def) noexcept;
    Ref build() noexcept;

private:
    bool set(PyObject* key, const Ref& value) noexcept;

    const Name& name_;
    Ref bases_;
    Ref metaclass_;
    Ref namespace_;
    bool ok_ = false;
};

}  // namespace frame
