// The module entry point and the one table of its classes.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "../delta/transaction.hpp"
#include "../engine/engine.hpp"
#include "../fsm/state_machine.hpp"
#include "../guards/guard.hpp"
#include "../structures/frozen.hpp"
#include "../structures/tracked.hpp"
#include "../support/classdef.hpp"
#include "../support/error.hpp"
#include "../support/log_capsule.hpp"
#include "../zones/zone.hpp"

namespace kestu {
namespace {

// Registration order is the module's public order (and that of __all__).
const ClassDef* const kClasses[] = {
    &Engine_class,
    &Transaction_class,
    &ContextGuard_class,
    &ContextZone_class,
    &TrackedList_class,
    &TrackedDict_class,
    &FrozenList_class,
    &FrozenDict_class,
    &StateMachine_class,
};

PyModuleDef kestu_module = {
    PyModuleDef_HEAD_INIT,
    "kestu_core",
    "Native execution core of the kestu framework.",
    0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;  // one module object per process, never freed

void register_class(PyObject* module, const ClassDef& def) {
    if (!*def.type) {
        Ref type = check(PyType_FromSpec(def.spec));
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type.get());
        // The PyType_Spec's dotted name gives the class its __module__; assigning
        // __name__ then makes the type name itself bare ("Engine").
        Ref bare = check(PyUnicode_FromString(def.name));
        check_status(PyObject_SetAttrString(type.get(), "__name__", bare.get()));
        if (def.ready) def.ready(t);
        // Like the built-in types, ours cannot be patched from Python: the
        // core dispatches on type names, and the guard's lookup fast path
        // relies on its class dict being fixed.
        t->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
        PyType_Modified(t);
        *def.type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
    }
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");
    Ref all_ref;
    if (!all) {
        all_ref = check(PyList_New(0));
        check_status(PyModule_AddObjectRef(module, "__all__", all_ref.get()));
        all = all_ref.get();
    }
    Ref name = check(PyUnicode_FromString(def.name));
    check_status(PyList_Append(all, name.get()));
    check_status(PyModule_AddObjectRef(module, def.name, reinterpret_cast<PyObject*>(*def.type)));
}

PyObject* init_module() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1 && PyErr_Occurred()) throw py_error{};
    int64_t expected = -1;
    if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id)
        throw_error(PyExc_ImportError, "kestu_core does not support sub-interpreters: it is already loaded in another interpreter");
    if (g_module) return Ref::borrow(g_module).release();
    Ref module = check(PyModule_Create(&kestu_module));
    for (const ClassDef* def : kClasses) register_class(module.get(), *def);
    log::publish_channel();  // for the kestu package's logging bridge
    g_module = module.dup().release();
    return module.release();
}

}  // namespace
}  // namespace kestu

PyMODINIT_FUNC PyInit_kestu_core() {
    return kestu::wrap<kestu::init_module>();
}
