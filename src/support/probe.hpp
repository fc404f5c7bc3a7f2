#pragma once
// Reads that expect absence, and the one rule for discarding an error.
#include <Python.h>

#include "compat.hpp"
#include "error.hpp"
#include "ref.hpp"

namespace kestu {

// getattr(obj, name) with a missing attribute reported as an empty Ref
// instead of a raised-and-cleared AttributeError; __getattr__ and
// properties behave exactly as under getattr. Other errors throw.
inline Ref get_optional_attr(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    if (compat::get_optional_attr(obj, name, &value) < 0) throw py_error{};
    return Ref::steal(value);
}

// Whether `type` or one of its bases defines `name` (what the ordinary
// lookup finds before the instance), without raising for a miss.
inline bool type_defines(PyTypeObject* type, PyObject* name) {
    int found = compat::type_defines(type, name);
    if (found < 0) throw py_error{};
    return found != 0;
}

// Clears the pending error where a caller chose to discard it, unless it is
// not an ordinary Exception: KeyboardInterrupt, SystemExit and the
// internal-error exception are never swallowed, so this re-throws them.
inline void discard_ordinary_error() {
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return;
    }
    throw py_error{};
}

}  // namespace kestu
