#pragma once
// Transaction: the delta log and the shadow cache of one process run.
//
// Native callers (guard, containers, engine) must hold the transaction in
// exclusive use through `NativeExclusiveUse(tx, transaction_use(tx))` around
// `log_internal` and `get_shadow`; `commit` and `rollback` take it
// themselves. A conflict there is the internal-error exception.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../support/classdef.hpp"
#include "../support/ref.hpp"
#include "../support/use.hpp"

namespace kestu {

// One logged mutation. Empty Refs and nullopt are absent fields.
struct DeltaEntry {
    std::string path;
    std::string op;
    Ref value;
    Ref old_value;
    Ref target;  // the real object written directly (guard writes only)
    std::optional<std::string> key;
};

// Both references are strong, so an identity in the cache stays unique.
struct ShadowPair {
    Ref original;
    Ref shadow;
};

struct TransactionObject {
    PyObject_HEAD
    UseFlag use;
    std::vector<DeltaEntry> delta_log;
    std::unordered_map<uintptr_t, ShadowPair> shadow_cache;  // keyed by id()
};

inline TransactionObject* as_transaction(PyObject* tx) { return reinterpret_cast<TransactionObject*>(tx); }

extern PyTypeObject* Transaction_Type;
extern const ClassDef Transaction_class;

inline bool is_transaction(PyObject* o) { return PyObject_TypeCheck(o, Transaction_Type); }

// The use flag of a Transaction object.
inline UseFlag& transaction_use(PyObject* tx) { return as_transaction(tx)->use; }

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
