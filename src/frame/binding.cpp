#include "binding.h"

#include <charconv>
#include <string_view>
#include <utility>

#include "compiler.h"
#include "extras.h"
#include "python_names.h"
#include "ref.h"

namespace frame {
namespace {

enum class Count { too_few, too_many };

// A binding error's message, written straight into a str: PyErr_Format's printf machinery
// would cost more than the rest of a failing call together. The names of a function and its
// parameters were checked against their precision when the function was prepared, so the
// only text cut here is the type name of an argument.
class Message {
public:
    Message() noexcept : writer_(PyUnicodeWriter_Create(0)) {}
    ~Message() {
        if (writer_ != nullptr) PyUnicodeWriter_Discard(writer_);
    }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    Message& text(std::string_view utf8) noexcept {
        ok_ = ok_ && PyUnicodeWriter_WriteUTF8(writer_, utf8.data(), static_cast<Py_ssize_t>(utf8.size())) == 0;
        return *this;
    }
    Message& number(Py_ssize_t value) noexcept {
        char digits[24];
        const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        return text(std::string_view(digits, static_cast<size_t>(end - digits)));
    }
    // A str, whole or cut to its first `limit` code points (as %.<limit>U cuts it); its code
    // points are copied, so a keyword that is no valid UTF-8 comes out as given.
    Message& string(PyObject* value, Py_ssize_t limit = PY_SSIZE_T_MAX) noexcept {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
        ok_ = ok_ && PyUnicodeWriter_WriteSubstring(writer_, value, 0, length < limit ? length : limit) == 0;
        return *this;
    }
    // Raises TypeError with the message, or leaves the error that stopped it.
    void raise() noexcept {
        if (!ok_) return;
        PyObject* message = PyUnicodeWriter_Finish(std::exchange(writer_, nullptr));
        if (message == nullptr) return;
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
    }

private:
    PyUnicodeWriter* writer_;
    bool ok_ = writer_ != nullptr;
};

// "exactly" only when neither defaults nor *args loosen the count; the expected figure is
// the minimum for "at least" and the maximum for "at most".
HALCYRA_COLD void raise_count(const Def& fn, Count which, Py_ssize_t given) noexcept {
    const bool fixed = fn.spec.n_defaults == 0 && fn.spec.varargs == nullptr;
    const char* bound = fixed ? "exactly" : which == Count::too_few ? "at least" : "at most";
    const Py_ssize_t expected = (which == Count::too_few && !fixed) ? fn.n_required : fn.n_params;
    Message()
        .text(fn.spec.name->text())
        .text("() takes ")
        .text(bound)
        .text(" ")
        .number(expected)
        .text(expected == 1 ? " positional argument (" : " positional arguments (")
        .number(given)
        .text(" given)")
        .raise();
}

// "<name>() got <problem> '<keyword>'": the two keyword errors.
HALCYRA_COLD void raise_keyword(const Def& fn, const char* problem, PyObject* keyword) noexcept {
    Message().text(fn.spec.name->text()).text("() got ").text(problem).text(" '").string(keyword).text("'").raise();
}

HALCYRA_COLD void raise_keyword_not_string(const Def& fn) noexcept {
    Message().text(fn.spec.name->text()).text("() keywords must be strings").raise();
}

HALCYRA_COLD void raise_exact_type(const Def& fn, int index, PyObject* value) noexcept {
    PyTypeObject* expected = fn.spec.exact[index];
    Ref got = Ref::steal(PyType_GetName(Py_TYPE(value)));
    if (!got) return;
    Message()
        .text("Argument '")
        .text(fn.spec.params[index]->text())
        .text("' has incorrect type (expected ")
        .text(expected->tp_name)
        .text(", got ")
        .string(got.get(), kMaxNameInMessage)
        .text(")")
        .raise();
    if (!PyType_IsSubtype(Py_TYPE(value), expected)) return;
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "Subclasses of the built-in type %s are rejected here: only an exact %s object is accepted.",
        expected->tp_name, expected->tp_name));
    Ref added = note ? Ref::steal(PyObject_CallMethodOneArg(error.get(), n::add_note.object(), note.get())) : Ref();
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
        if (same_name(fn.spec.params[i]->object(), keyword)) return i;
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
            raise_keyword_not_string(fn);
            return nullptr;
        }
        const int index = parameter_index(fn, keyword);
        if (index < 0) {
            if (fn.spec.varkw != nullptr) continue;
            raise_keyword(fn, "an unexpected keyword argument", keyword);
            return nullptr;
        }
        if (out[index] != nullptr) {
            raise_keyword(fn, "multiple values for keyword argument", keyword);
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

HALCYRA_COLD void raise_given_twice(const Def& fn, const Name& parameter) noexcept {
    Message()
        .text(fn.spec.qualname->text())
        .text("() got multiple values for argument '")
        .text(parameter.text())
        .text("'")
        .raise();
}

}  // namespace frame
