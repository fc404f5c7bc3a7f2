#pragma once
// ContextGuard: the permission-checked view of the context a process gets.
#include <Python.h>

#include "../support/classdef.hpp"
#include "../support/ref.hpp"
#include "contract.hpp"

namespace kestu {

extern PyTypeObject* ContextGuard_Type;
extern const ClassDef ContextGuard_class;

struct ContextGuard {
    // A guard over `target` with an empty path prefix (new reference).
    // `tx` may be null (no logging, no shadowing). In strict mode an input
    // rooted at a control-plane name raises PermissionError. The guard and
    // every guard nested under it share the compiled path lists.
    static Ref new_internal(PyObject* target, const Paths& inputs, const Paths& outputs, PyObject* tx,
                            bool is_admin, bool strict_mode);
    // The same for one run of an engine, made from `spare` when the guard of
    // an earlier run is free again (nobody else holds it): aiming it anew
    // costs far less than releasing one guard and allocating another.
    static Ref for_run(Ref& spare, PyObject* target, const Paths& inputs, const Paths& outputs, PyObject* tx,
                       bool is_admin, bool strict_mode);
    // Hands a run's guard back: kept in `spare`, without its transaction,
    // when the run was its only holder.
    static void retire(Ref& spare, Ref guard) noexcept;
};

}  // namespace kestu
