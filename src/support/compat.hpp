#pragma once
// The one place that knows which CPython it is compiled against (3.11 to
// 3.13). Everything here is public C API; no other file tests
// PY_VERSION_HEX.
#include <Python.h>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

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
// Whether get_optional_attr is CPython's own, a miss raising nothing (3.13).
inline constexpr bool kNativeOptionalAttr = PY_VERSION_HEX >= 0x030D0000;

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
    // The type's own slot, as PyObject_GetAttr would call it for a str name.
    getattrofunc get = Py_TYPE(obj)->tp_getattro;
    *out = get && PyUnicode_CheckExact(name) ? get(obj, name) : PyObject_GetAttr(obj, name);
    if (*out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
#endif
}

// Whether `descr` is the descriptor of a plain object slot of `type` (what
// __slots__ makes: read at a fixed offset, AttributeError when unset, no
// audit hook), and where; then getattr of an instance of `type` that finds
// `descr` first reads just that slot.
inline bool plain_object_slot(PyObject* descr, PyTypeObject* type, Py_ssize_t* offset) {
#if PY_VERSION_HEX >= 0x030C0000
    constexpr int kObjectEx = Py_T_OBJECT_EX, kReadOnly = Py_READONLY;
#else
    constexpr int kObjectEx = T_OBJECT_EX, kReadOnly = READONLY;
#endif
    if (!Py_IS_TYPE(descr, &PyMemberDescr_Type) || PyDescr_TYPE(descr) != type) return false;
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
    if (member->type != kObjectEx || (member->flags & ~kReadOnly) != 0) return false;
    *offset = member->offset;
    return true;
}

// A stamp of a heap type's attributes: while type_stamp_valid() says so, no
// attribute of the type (or of a base) has been set or deleted since the
// stamp was taken, so what a look-up found then it finds now. 3.12 and later
// watch the type (public type watchers); 3.11 has no such API and reads the
// version tag its own attribute cache is keyed by, which every change of
// the type or a base invalidates and which is never handed out twice.
struct TypeStamp {
    unsigned long long value = 0;
};

// Whether a class gets the version a stamp needs only from a look-up
// through the attribute cache (3.11), not from take_type_stamp itself.
inline constexpr bool kStampsNeedLookup = PY_VERSION_HEX < 0x030C0000;

#if PY_VERSION_HEX >= 0x030C0000
namespace detail {
inline unsigned long long type_changes = 0;
inline int type_watcher = -1;
inline int on_type_change(PyTypeObject*) {
    ++type_changes;
    return 0;
}
}  // namespace detail
#endif

// False when the type cannot be stamped (then it must be looked up every time).
inline bool take_type_stamp(PyTypeObject* type, TypeStamp* stamp) {
#if PY_VERSION_HEX >= 0x030C0000
    if (detail::type_watcher < 0) {
        detail::type_watcher = PyType_AddWatcher(&detail::on_type_change);
        if (detail::type_watcher < 0) {
            PyErr_Clear();  // every watcher slot taken: no stamps
            return false;
        }
    }
    // A type without a valid version tag changes without telling watchers.
    if (!PyUnstable_Type_AssignVersionTag(type) || PyType_Watch(detail::type_watcher, reinterpret_cast<PyObject*>(type)) < 0) {
        PyErr_Clear();
        return false;
    }
    stamp->value = detail::type_changes;
    return true;
#else
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) || type->tp_version_tag == 0) return false;
    stamp->value = type->tp_version_tag;
    return true;
#endif
}

inline bool type_stamp_valid(PyTypeObject* type, const TypeStamp& stamp) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    (void)type;
    return stamp.value == detail::type_changes;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == stamp.value;
#endif
}

// get_optional_attr for an object whose class is known to define no
// attribute of that name and to use the generic getattr: only the instance
// can answer, so there is nothing to ask the class first.
inline int get_instance_attr(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    // The generic getattr's miss, asked this way, raises nothing; no class
    // attribute can run twice.
    *out = nullptr;
    if (!PyObject_HasAttr(obj, name)) return 0;
    *out = PyObject_GetAttr(obj, name);
    if (*out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
#endif
}

// Watched dicts: from 3.12, any change of a dict being watched (an item set
// or removed, the dict cleared or freed) moves dict_changes(), so what was
// read from watched dicts holds while it has not moved. 3.11 has no dict
// watchers: watch_dict() says no.
#if PY_VERSION_HEX >= 0x030C0000
namespace detail {
inline unsigned long long dict_changes = 0;
inline int dict_watcher = -1;
inline int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++dict_changes;
    return 0;
}
}  // namespace detail
#endif

inline constexpr bool kWatchesDicts = PY_VERSION_HEX >= 0x030C0000;

inline bool watch_dict(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
    if (detail::dict_watcher < 0) {
        detail::dict_watcher = PyDict_AddWatcher(&detail::on_dict_change);
        if (detail::dict_watcher < 0) {
            PyErr_Clear();  // every watcher slot taken
            return false;
        }
    }
    if (PyDict_Watch(detail::dict_watcher, dict) == 0) return true;
    PyErr_Clear();
    return false;
#else
    (void)dict;
    return false;
#endif
}

// watch_dict() for an exact dict whose keys are all exact str, so that a
// look-up in it runs no Python code, and which holds at most `most` items:
// scanning a large one would cost more than watching it saves.
inline bool watch_plain_dict(PyObject* dict, Py_ssize_t most) {
    if (!kWatchesDicts || !PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) > most) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return watch_dict(dict);
}

inline unsigned long long dict_changes() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return detail::dict_changes;
#else
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
