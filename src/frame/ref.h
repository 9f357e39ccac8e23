// Ownership of Python references.
#pragma once

#include <Python.h>

#include <utility>

namespace frame {

// Owns one strong reference, or none. Moves, never copies, so every reference the
// runtime takes is released exactly once on every path. The pointer is only ever handed out
// by name, get() to lend it and release() to give it away, so an owned reference never
// reaches a call that steals it unnoticed.
class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        p_ = std::exchange(other.p_, nullptr);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a reference the caller owns (the result of a "new reference" API).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed object.
    static Ref share(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (to return it to the interpreter).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace frame
