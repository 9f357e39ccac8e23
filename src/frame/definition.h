// How each Python-level function looks and binds: its fixed description, and the constants
// made from it when the module is prepared.
#pragma once

#include <Python.h>

#include "extras.h"
#include "text.h"
#include "record.h"

namespace frame {

inline constexpr int kMaxParams = 4;
inline constexpr int kMaxLocals = 4;
// How much of a name the binding messages show, in bytes of the function's own names and in
// code points of an argument's type name, which alone varies at run time.
inline constexpr int kMaxNameInMessage = 200;

class Def;

// A function's statements. args holds one borrowed value per named parameter, already
// bound and checked. Extra positional and keyword arguments are passed on only to a body that
// reads them; most functions accept them just to keep a call shape.
using PlainBody = PyObject* (*)(const Def& fn, PyObject* const* args) noexcept;
using BodyWithExtras = PyObject* (*)(const Def& fn, PyObject* const* args, const Extras& extras) noexcept;

struct Body {
    constexpr Body(PlainBody body) noexcept : plain(body) {}
    constexpr Body(BodyWithExtras body) noexcept : with_extras(body) {}
    PlainBody plain = nullptr;
    BodyWithExtras with_extras = nullptr;
};

struct Annotation {
    const Name* key;
    const Text* value;
};

// How one function looks from Python and how it binds its arguments: what its twin declares
// (scripts/declare.py writes each module's descriptions into its declared.h).
struct FunctionSpec {
    const Name* name;
    const Name* qualname;
    int line;                                 // the line of the definition
    const Name* params[kMaxParams] = {};      // positional-or-keyword parameters, in order
    const Name* varargs = nullptr;            // the *args name, if the function takes them
    const Name* varkw = nullptr;              // the **kwargs name, if the function takes them
    const Name* locals[kMaxLocals] = {};      // its local names, for the code object
    int n_defaults = 0;                       // the last n_defaults parameters have defaults
    const Text* defaults[kMaxParams] = {};    // their values; nullptr stands for None
    PyTypeObject* exact[kMaxParams] = {};     // an exact built-in type required, per parameter
    const Text* doc = nullptr;
    Annotation annotations[kMaxParams + 1] = {};
};

// A function: its description, its body, and the constants made from the description when
// the module is prepared (the defaults tuple, the code object and the name of its traceback
// records). Defs are namespace-scope objects that link themselves into the library's list.
class Def : public Site {
public:
    Def(const FunctionSpec& spec, Body body) noexcept;

    const FunctionSpec& spec;
    const Body body;
    const int n_params;
    const int n_required;
    const bool checks_types;  // some parameter requires an exact built-in type

    PyObject* defaults() const noexcept { return defaults_; }  // borrowed; null for none
    PyObject* code() const noexcept { return code_; }          // borrowed

    // Prepares every Def of the library not prepared yet; false with an exception set.
    static bool prepare_all() noexcept;

private:
    bool prepare() noexcept;

    PyObject* defaults_ = nullptr;
    PyObject* code_ = nullptr;
    Def* next_;
    static inline Def* head_ = nullptr;
};

}  // namespace frame
