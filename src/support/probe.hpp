#pragma once
// Reads that expect absence, and the one rule for discarding an error.
#include <Python.h>

#include "error.hpp"
#include "ref.hpp"

namespace kestu {

// getattr(obj, name) with a missing attribute reported as an empty Ref
// instead of a raised-and-cleared AttributeError; __getattr__ and
// properties behave exactly as under getattr. Other errors throw.
inline Ref get_optional_attr(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    int rc = PyObject_GetOptionalAttr(obj, name, &value);
#else
    // The 3.11/3.12 spelling of the same call; stable, exported, and what
    // the interpreter itself uses for hasattr().
    int rc = _PyObject_LookupAttr(obj, name, &value);
#endif
    if (rc < 0) throw py_error{};
    return Ref::steal(value);
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
