#pragma once
// Transaction: the delta log and the shadow cache of one process run.
//
// Native callers (guard, containers, engine) must hold the transaction in
// exclusive use through `NativeExclusiveUse(tx, transaction_use(tx))` around
// `log_internal` and `get_shadow`; `commit` and `rollback` take it
// themselves. A conflict there is the internal-error exception.
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "../module/classdef.hpp"
#include "../support/ref.hpp"
#include "../support/use.hpp"

namespace kestu {

extern PyTypeObject* Transaction_Type;
extern const ClassDef Transaction_class;

inline bool is_transaction(PyObject* o) { return PyObject_TypeCheck(o, Transaction_Type); }

// The use flag of a Transaction object.
UseFlag& transaction_use(PyObject* tx);

// A new, empty Transaction object.
Ref new_transaction();

// Appends one DeltaEntry. Empty Refs / nullopt stand for absent fields.
// Caller holds exclusive use.
void log_internal(PyObject* tx, std::string path, std::string op, Ref value, Ref old_value, Ref target,
                  std::optional<std::string> key);

// The shadow to use in place of `original` (new reference): a cached one,
// the original itself (heavy zone, failed copy) or a fresh shallow copy.
// `path` may be absent. Caller holds exclusive use.
Ref get_shadow(PyObject* tx, PyObject* original, std::optional<std::string_view> path);

// Copy every shadow back into its original / undo logged attribute writes.
// Each takes native exclusive use of the transaction.
void commit(PyObject* tx);
void rollback(PyObject* tx);

}  // namespace kestu
