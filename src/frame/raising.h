// raise statements and except clauses of the bodies.
#pragma once

#include <Python.h>

#include <utility>

#include "python_internals.h"
#include "ref.h"

namespace frame {

// `raise value` or, with a cause, `raise value from cause`, with the interpreter's rules:
// a class is called with no arguments, the exception being handled becomes the context.
// Always returns nullptr.
PyObject* raise(PyObject* value, PyObject* cause = nullptr) noexcept;

// `raise cls(message)`, or with a cause `raise cls(message) from cause`. A null cls is a
// lookup that failed, whose exception stands. Always returns nullptr.
PyObject* raise_new(PyObject* cls, PyObject* message, PyObject* cause = nullptr) noexcept;

// `except Exception:` after a failed statement: takes the exception in flight if it is an
// instance of Exception and returns it; anything else (KeyboardInterrupt, SystemExit) is
// left in flight and an empty Ref is returned.
Ref catch_exception() noexcept;

// The body of `except ... as exc:`. While it lives, exc is the exception being handled, so
// an exception raised in the handler takes exc as its context. Like the interpreter's own
// except clause, it swaps the topmost handled exception and puts back exactly what was there.
class Handling {
public:
    explicit Handling(PyObject* exc) noexcept
        : slot_(internals::handled_exception_slot()), previous_(std::exchange(*slot_, Py_NewRef(exc))) {}
    ~Handling() { Py_XSETREF(*slot_, previous_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject** slot_;
    PyObject* previous_;
};

}  // namespace frame
