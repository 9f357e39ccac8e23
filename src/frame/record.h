// Traceback records: the entry a Python frame would add for a failing statement.
#pragma once

#include <Python.h>

namespace frame {

// A place that failures are recorded under: a function, or a module body.
class Site {
public:
    Site() noexcept = default;
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;

    // The record's function name, the three parts joined, e.g. "halcyra_pqc.ferrovan" "."
    // "PublicKey.__init__", or "init" " " "halcyra_pqc.ferrovan" for a module body.
    void set_name(const char* first, const char* separator, const char* second) noexcept;
    const char* name() const noexcept { return name_; }

    // Adds the record (this site, line) to the exception in flight and returns nullptr,
    // so a failing statement reads `return fn.fail(at::res);`.
    PyObject* fail(int line) const noexcept;
    // The same, for statements whose result is a truth value.
    bool failed(int line) const noexcept {
        fail(line);
        return false;
    }
    // A statement of a module body: passes ok through, recording line when it is false.
    bool line(int number, bool ok) const noexcept { return ok || failed(number); }

private:
    char name_[128] = {};
};

}  // namespace frame
