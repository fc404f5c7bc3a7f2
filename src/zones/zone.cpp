// ContextZone: the Python face of the zone enumeration. No constructor;
// the four members are class attributes created with the type.
#include "zone.hpp"

#include "../support/error.hpp"
#include "../support/probe.hpp"

namespace kestu {

PyTypeObject* ContextZone_Type = nullptr;

namespace {

struct ZoneObject {
    PyObject_HEAD
    ContextZone zone;
};

constexpr const char* kMemberNames[] = {"Data", "Signal", "Meta", "Heavy"};
constexpr const char* kReprs[] = {"ContextZone.Data", "ContextZone.Signal", "ContextZone.Meta",
                                  "ContextZone.Heavy"};

ContextZone zone_of(PyObject* self) { return reinterpret_cast<ZoneObject*>(self)->zone; }

PyObject* ContextZone_new_impl(PyTypeObject*, PyObject*, PyObject*) {
    throw_type_error("No constructor defined for ContextZone");
}

PyObject* ContextZone_repr_impl(PyObject* self) {
    return PyUnicode_FromString(kReprs[static_cast<int>(zone_of(self))]);
}

PyObject* ContextZone_int_impl(PyObject* self) { return PyLong_FromLongLong(static_cast<long long>(zone_of(self))); }

PyObject* ContextZone_richcompare_impl(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    long long mine = static_cast<long long>(zone_of(self)), theirs;
    if (PyObject_TypeCheck(other, ContextZone_Type)) {
        theirs = static_cast<long long>(zone_of(other));
    } else {
        // Anything that converts to a signed 64-bit integer compares by value;
        // everything else defers to Python's defaults.
        theirs = PyLong_AsLongLong(other);
        if (theirs == -1 && PyErr_Occurred()) {
            discard_ordinary_error();
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
    return PyBool_FromLong((mine == theirs) == (op == Py_EQ));
}

void ContextZone_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

void ContextZone_ready(PyTypeObject* type) {
    for (int i = 0; i < 4; ++i) {
        Ref member = check(type->tp_alloc(type, 0));
        reinterpret_cast<ZoneObject*>(member.get())->zone = static_cast<ContextZone>(i);
        check_status(PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), kMemberNames[i], member.get()));
    }
}

PyType_Slot ContextZone_slots[] = {
    {Py_tp_doc, const_cast<char*>("The zone of a context field, by its name's prefix: Data, Signal (sig_, cmd_),\n"
                                  "Meta (meta_) or Heavy (heavy_). The four members are class attributes.")},
    {Py_tp_new, reinterpret_cast<void*>(wrap<ContextZone_new_impl>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ContextZone_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(wrap<ContextZone_repr_impl>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(wrap<ContextZone_richcompare_impl>)},
    {Py_nb_int, reinterpret_cast<void*>(wrap<ContextZone_int_impl>)},
    // Defining equality without a hash makes the members unhashable.
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {0, nullptr},
};

PyType_Spec ContextZone_spec = {"kestu_core.ContextZone", sizeof(ZoneObject), 0, Py_TPFLAGS_DEFAULT, ContextZone_slots};

}  // namespace

const ClassDef ContextZone_class = {"ContextZone", &ContextZone_spec, &ContextZone_Type, &ContextZone_ready};

}  // namespace kestu
