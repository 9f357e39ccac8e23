#include "binding.h"

#include <charconv>
#include <cstring>
#include <string_view>

#include "compiler.h"
#include "extras.h"
#include "frame_names.h"
#include "function.h"
#include "ref.h"

namespace frame {
namespace {

enum class Count { too_few, too_many };

// A binding error's message, assembled in a buffer: PyErr_Format's printf machinery costs
// more than the rest of a failing call together. Anything that would not come out exactly
// as PyUnicode_FromFormat makes it (a text over its precision, a string that is not valid
// UTF-8) marks the message unusable, and the caller formats it the ordinary way.
class Message {
public:
    Message& text(std::string_view piece, size_t precision = kNoLimit) noexcept {
        if (piece.size() > precision) usable_ = false;
        return put(piece);
    }
    Message& number(Py_ssize_t value) noexcept {
        char digits[24];
        const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        return put(std::string_view(digits, static_cast<size_t>(end - digits)));
    }
    Message& string(PyObject* value) noexcept {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            usable_ = false;
            return *this;
        }
        return put(std::string_view(utf8, static_cast<size_t>(size)));
    }
    // Raises TypeError with the message; false, with nothing raised, when it is unusable.
    bool raise() const noexcept {
        if (!usable_) return false;
        PyObject* message = PyUnicode_DecodeUTF8(buffer_, static_cast<Py_ssize_t>(size_), nullptr);
        if (message != nullptr) {
            PyErr_SetObject(PyExc_TypeError, message);
            Py_DECREF(message);
        }
        return true;
    }

private:
    static constexpr size_t kNoLimit = static_cast<size_t>(-1);
    Message& put(std::string_view piece) noexcept {
        if (piece.size() > sizeof buffer_ - size_) {
            usable_ = false;
        } else if (usable_) {
            std::memcpy(buffer_ + size_, piece.data(), piece.size());
            size_ += piece.size();
        }
        return *this;
    }
    char buffer_[512];
    size_t size_ = 0;
    bool usable_ = true;
};

// "exactly" only when neither defaults nor *args loosen the count; the expected figure is
// the minimum for "at least" and the maximum for "at most".
HALCYRA_COLD void raise_count(const Def& fn, Count which, Py_ssize_t given) noexcept {
    const bool fixed = fn.spec.n_defaults == 0 && fn.spec.varargs == nullptr;
    const char* bound = fixed ? "exactly" : which == Count::too_few ? "at least" : "at most";
    const Py_ssize_t expected = (which == Count::too_few && !fixed) ? fn.n_required : fn.n_params;
    const bool raised = Message()
                            .text(fn.spec.name->text(), 200)
                            .text("() takes ")
                            .text(bound)
                            .text(" ")
                            .number(expected)
                            .text(expected == 1 ? " positional argument (" : " positional arguments (")
                            .number(given)
                            .text(" given)")
                            .raise();
    if (!raised) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     fn.spec.name->text(), bound, expected, expected == 1 ? "" : "s", given);
    }
}

// "%s() got <problem> '%U'": the two keyword errors.
HALCYRA_COLD void raise_keyword(const Def& fn, const char* problem, const char* format, PyObject* keyword) noexcept {
    if (!Message().text(fn.spec.name->text()).text("() got ").text(problem).text(" '").string(keyword).text("'").raise()) {
        PyErr_Format(PyExc_TypeError, format, fn.spec.name->text(), keyword);
    }
}

HALCYRA_COLD void raise_exact_type(const Def& fn, int index, PyObject* value) noexcept {
    PyTypeObject* expected = fn.spec.exact[index];
    Ref got = Ref::steal(PyType_GetName(Py_TYPE(value)));
    if (!got) return;
    // %.200U counts code points: a longer name takes the ordinary formatting.
    const bool raised = PyUnicode_GET_LENGTH(got.get()) <= 200 && Message()
                                                                      .text("Argument '")
                                                                      .text(fn.spec.params[index]->text(), 200)
                                                                      .text("' has incorrect type (expected ")
                                                                      .text(expected->tp_name, 200)
                                                                      .text(", got ")
                                                                      .string(got)
                                                                      .text(")")
                                                                      .raise();
    if (!raised) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200U)",
                     fn.spec.params[index]->text(), expected->tp_name, got.get());
    }
    if (!PyType_IsSubtype(Py_TYPE(value), expected)) return;
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "Subclasses of the built-in type %s are rejected here: only an exact %s object is accepted.",
        expected->tp_name, expected->tp_name));
    Ref added = note ? Ref::steal(PyObject_CallMethodOneArg(error, n::add_note, note)) : Ref();
    // The TypeError is what the caller must see; a note that cannot be added is left out.
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(error.release());
}

bool check_exact_types(const Def& fn, PyObject* const* values) noexcept {
    if (!fn.checks_types) return true;
    for (int i = 0; i < fn.n_params; ++i) {
        PyTypeObject* expected = fn.spec.exact[i];
        if (expected != nullptr && Py_TYPE(values[i]) != expected) {
            raise_exact_type(fn, i, values[i]);
            return false;
        }
    }
    return true;
}

// The parameter a keyword names, or -1: by identity with the interned names first, then by
// hash and content for keywords built at run time.
int parameter_index(const Def& fn, PyObject* keyword) noexcept {
    for (int i = 0; i < fn.n_params; ++i) {
        if (fn.spec.params[i]->object() == keyword) return i;
    }
    for (int i = 0; i < fn.n_params; ++i) {
        if (same_name(*fn.spec.params[i], keyword)) return i;
    }
    return -1;
}

}  // namespace

PyObject* const* bind(const Def& fn, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                      PyObject** out) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    const int np = fn.n_params;

    if (nkw == 0 && nargs == np) return check_exact_types(fn, args) ? args : nullptr;

    if (nargs > np && fn.spec.varargs == nullptr) {
        raise_count(fn, Count::too_many, nargs);
        return nullptr;
    }
    const Py_ssize_t npos = nargs < np ? nargs : np;
    for (int i = 0; i < np; ++i) out[i] = i < npos ? args[i] : nullptr;

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fn.spec.name->text());
            return nullptr;
        }
        const int index = parameter_index(fn, keyword);
        if (index < 0) {
            if (fn.spec.varkw != nullptr) continue;
            raise_keyword(fn, "an unexpected keyword argument", "%s() got an unexpected keyword argument '%U'",
                          keyword);
            return nullptr;
        }
        if (out[index] != nullptr) {
            raise_keyword(fn, "multiple values for keyword argument",
                          "%s() got multiple values for keyword argument '%U'", keyword);
            return nullptr;
        }
        out[index] = args[nargs + k];
    }

    for (int i = static_cast<int>(npos); i < np; ++i) {
        if (out[i] != nullptr) continue;
        if (i < fn.n_required) {
            raise_count(fn, Count::too_few, i);
            return nullptr;
        }
        out[i] = PyTuple_GET_ITEM(fn.defaults(), i - fn.n_required);
    }
    return check_exact_types(fn, out) ? out : nullptr;
}

}  // namespace frame
