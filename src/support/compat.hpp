#pragma once
// The one place that knows which CPython it is compiled against (3.11 to
// 3.13). Everything here is public C API; no other file tests
// PY_VERSION_HEX.
#include <Python.h>

namespace kestu::compat {

// The type's own namespace (new reference). From 3.12 the dict of a static
// built-in type is kept per interpreter and `tp_dict` may be NULL.
inline PyObject* type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
#endif
}

// Whether a class in the MRO of `type` defines `name`: the class-level half of
// attribute lookup, made without raising. 1 found (or no MRO to tell), 0 not,
// -1 error set.
inline int type_defines(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return 1;
    // object's namespace cannot change and holds only names beginning with
    // "_": other names need not be looked up there.
    bool skip_object = PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) != '_';
    // A key's __eq__ in a class dict can assign __bases__ and so free the
    // MRO being walked: hold it, and each dict, across every look-up.
    Py_INCREF(mro);
    int found = 0;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n && found == 0; ++i) {
        PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (skip_object && base == &PyBaseObject_Type) continue;
        // A heap type's own dict is set on every version; no call needed.
        PyObject* dict = (base->tp_flags & Py_TPFLAGS_HEAPTYPE) && base->tp_dict ? Py_NewRef(base->tp_dict)
                                                                                 : type_dict(base);
        if (!dict) continue;
        found = PyDict_Contains(dict, name);
        Py_DECREF(dict);
    }
    Py_DECREF(mro);
    return found;
}

// getattr(obj, name) that reports a missing attribute as 0 with *out NULL
// instead of a raised AttributeError; 1 with a new reference in *out when
// found; -1 with the error set otherwise. `likely_present` is only a hint
// (where the probe is two lookups, a right hint saves one and a wrong one
// costs a raised-and-cleared AttributeError); the result never depends on it.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** out, bool likely_present = false) {
#if PY_VERSION_HEX >= 0x030D0000
    (void)likely_present;
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    *out = nullptr;
    // With the generic lookup and no class attribute of that name, only the
    // instance dict can answer and probing it runs no user code, so a miss
    // costs no exception.
    // With the hint, the one lookup below answers alone.
    if (!likely_present && Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)) {
        int defined = type_defines(Py_TYPE(obj), name);
        if (defined < 0) return -1;
        if (defined == 0 && !PyObject_HasAttr(obj, name)) return 0;
    }
    *out = PyObject_GetAttr(obj, name);
    if (*out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
#endif
}

// Takes the raised exception out of the error indicator, normalised and with
// its traceback attached (new reference; NULL when none is set).
inline PyObject* fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises `exc` again, as it was fetched (steals the reference); NULL leaves
// no error set.
inline void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (!exc) return PyErr_Clear();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

}  // namespace kestu::compat
