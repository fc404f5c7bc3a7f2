#pragma once
// One row of the module's class registration table.
#include <Python.h>

namespace kestu {

struct ClassDef {
    const char* name;     // bare class name, also the module attribute
    PyType_Spec* spec;    // named "kestu_core.<name>"
    PyTypeObject** type;  // process-wide type object, created once
    // Optional finishing step after the type object exists (class
    // attributes); throws py_error on failure.
    void (*ready)(PyTypeObject* type);
};

}  // namespace kestu
