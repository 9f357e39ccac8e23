// raise statements and except clauses of the bodies.
#pragma once

#include <Python.h>

#include "ref.h"

namespace frame {

// `raise value` or, with a cause, `raise value from cause`, with the interpreter's rules:
// a class is called with no arguments, the exception being handled becomes the context.
// Always returns nullptr.
PyObject* raise(PyObject* value, PyObject* cause = nullptr) noexcept;

// `except Exception:` after a failed statement: takes the exception in flight if it is an
// instance of Exception and returns it; anything else (KeyboardInterrupt, SystemExit) is
// left in flight and an empty Ref is returned.
Ref catch_exception() noexcept;

// The body of `except ... as exc:`. While it lives, exc is the exception being handled, so
// an exception raised in the handler takes exc as its context.
class Handling {
public:
    explicit Handling(PyObject* exc) noexcept : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    ~Handling() { PyErr_SetHandledException(previous_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref previous_;
};

}  // namespace frame
