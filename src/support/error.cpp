#include "error.hpp"

#include <string>

#include "text.hpp"
#include "use.hpp"

namespace kestu {

void throw_error(PyObject* type, std::string_view text) {
    PyObject* msg = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (msg) {
        PyErr_SetObject(type, msg);
        Py_DECREF(msg);
    }
    throw py_error{};
}

PyObject* internal_error_type() {
    // Created once and kept for the life of the process.
    static PyObject* const type = [] {
        PyObject* t = PyErr_NewExceptionWithDoc("kestu_core.InternalError",
                                                "A broken invariant of the kestu core.",
                                                PyExc_BaseException, nullptr);
        if (!t) throw py_error{};
        return t;
    }();
    return type;
}

void throw_internal_error(std::string_view text) {
    PyObject* type = internal_error_type();
    std::string report = "kestu_core: internal error: ";
    report.append(text);
    write_stderr_line(report);
    throw_error(type, text);
}

void set_unexpected_cpp_error() noexcept {
    PyErr_SetString(PyExc_SystemError, "kestu_core: unexpected C++ exception");
}

void throw_already_borrowed() { throw_error(PyExc_RuntimeError, "Already borrowed"); }
void throw_already_mutably_borrowed() { throw_error(PyExc_RuntimeError, "Already mutably borrowed"); }

}  // namespace kestu
