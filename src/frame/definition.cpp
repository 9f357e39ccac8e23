#include "definition.h"

#include <cstring>

#include "python_names.h"
#include "ops.h"
#include "ref.h"
#include "state.h"

namespace frame {
namespace {

int count(const Name* const* names, int limit) noexcept {
    int n = 0;
    while (n < limit && names[n] != nullptr) ++n;
    return n;
}

bool any_type(PyTypeObject* const* types) noexcept {
    for (int i = 0; i < kMaxParams; ++i) {
        if (types[i] != nullptr) return true;
    }
    return false;
}

// The binding messages show the names of a function, of its parameters and of the types it
// requires whole; a longer name is a fault of the library's own tables.
bool names_fit_messages(const FunctionSpec& spec, int n_params) noexcept {
    const auto fits = [](const char* text) { return std::strlen(text) <= kMaxNameInMessage; };
    bool fit = fits(spec.name->text());
    for (int i = 0; i < n_params; ++i) {
        fit = fit && fits(spec.params[i]->text()) && (spec.exact[i] == nullptr || fits(spec.exact[i]->tp_name));
    }
    if (!fit) {
        PyErr_Format(PyExc_SystemError, "%s: a name in its binding messages is longer than %d bytes",
                     spec.qualname->text(), kMaxNameInMessage);
    }
    return fit;
}

}  // namespace

Def::Def(const FunctionSpec& spec_, Body body_) noexcept
    : spec(spec_),
      body(body_),
      n_params(count(spec_.params, kMaxParams)),
      n_required(n_params - spec_.n_defaults),
      checks_types(any_type(spec_.exact)),
      next_(head_) {
    head_ = this;
}

bool Def::prepare_all() noexcept {
    for (Def* def = head_; def != nullptr; def = def->next_) {
        if (def->code_ == nullptr && !def->prepare()) return false;
    }
    return true;
}

bool Def::prepare() noexcept {
    set_name(module_info().dotted_name, ".", spec.qualname->text());
    if (!names_fit_messages(spec, n_params)) return false;

    if (spec.n_defaults > 0 && defaults_ == nullptr) {
        Ref defaults = Ref::steal(PyTuple_New(spec.n_defaults));
        if (!defaults) return false;
        for (int i = 0; i < spec.n_defaults; ++i) {
            PyObject* value = spec.defaults[i] != nullptr ? spec.defaults[i]->object() : Py_None;
            PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(value));
        }
        defaults_ = defaults.release();
    }

    // The code object is never run: it carries the name, file, first line and parameters
    // that introspection and inspect.signature read.
    const int n_locals = count(spec.locals, kMaxLocals);
    const int n_star = (spec.varargs != nullptr) + (spec.varkw != nullptr);
    Ref varnames = Ref::steal(PyTuple_New(n_params + n_star + n_locals));
    if (!varnames) return false;
    int at = 0;
    auto put = [&](const Name* name) { PyTuple_SET_ITEM(varnames.get(), at++, Py_NewRef(name->object())); };
    for (int i = 0; i < n_params; ++i) put(spec.params[i]);
    if (spec.varargs != nullptr) put(spec.varargs);
    if (spec.varkw != nullptr) put(spec.varkw);
    for (int i = 0; i < n_locals; ++i) put(spec.locals[i]);

    const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.varargs != nullptr ? CO_VARARGS : 0) |
                      (spec.varkw != nullptr ? CO_VARKEYWORDS : 0);
    Ref empty = Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(module_info().source_path, spec.name->text(), spec.line)));
    Ref argcount = Ref::steal(PyLong_FromLong(n_params));
    Ref nlocals = Ref::steal(PyLong_FromLong(at));
    Ref co_flags = Ref::steal(PyLong_FromLong(flags));
    Ref kwnames = Ref::steal(PyTuple_Pack(4, n::co_varnames.object(), n::co_argcount.object(),
                                          n::co_nlocals.object(), n::co_flags.object()));
    if (!empty || !argcount || !nlocals || !co_flags || !kwnames) return false;
    Ref code = call_method_with_keywords(empty.get(), n::replace, kwnames.get(), varnames.get(), argcount.get(),
                                         nlocals.get(), co_flags.get());
    if (!code) return false;
    code_ = code.release();
    return true;
}

}  // namespace frame
