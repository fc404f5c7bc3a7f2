#pragma once
// ContextGuard: the permission-checked view of the context a process gets.
#include <Python.h>

#include <string>
#include <vector>

#include "../support/classdef.hpp"
#include "../support/ref.hpp"

namespace kestu {

extern PyTypeObject* ContextGuard_Type;
extern const ClassDef ContextGuard_class;

struct ContextGuard {
    // A guard over `target` with an empty path prefix (new reference).
    // `tx` may be null (no logging, no shadowing). In strict mode an input
    // rooted at a control-plane name raises PermissionError.
    static Ref new_internal(PyObject* target, std::vector<std::string> inputs, std::vector<std::string> outputs,
                            PyObject* tx, bool is_admin, bool strict_mode);
};

}  // namespace kestu
