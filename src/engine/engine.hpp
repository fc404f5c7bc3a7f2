#pragma once
// Engine: runs registered processes against one context under their
// contracts, and workflows of process and control steps.
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../audit/policy.hpp"
#include "process_cache.hpp"
#include "../support/classdef.hpp"
#include "../support/ref.hpp"
#include "../support/use.hpp"

namespace kestu {

extern PyTypeObject* Engine_Type;
extern const ClassDef Engine_class;

// Fields are fixed when __new__ returns; only the policy's counters move.
struct EngineObject {
    PyObject_HEAD
    UseFlag use;
    Ref ctx;  // never empty: tp_clear puts None in its place
    std::optional<AuditPolicy> policy;
    bool strict_mode;
    // What runs learnt of the processes; made by the first run.
    std::unique_ptr<ProcessCache> processes;
    // The guards of the last run, kept for the next when nothing else holds them.
    Ref spare_guard;
    Ref spare_audit_guard;
    Ref spare_tx;
};

inline EngineObject* as_engine(PyObject* o) { return reinterpret_cast<EngineObject*>(o); }

// Keyword arguments in vectorcall form, handed to every process a call
// runs: `names` is a tuple of str (or empty), `values` the matching objects,
// borrowed from `owned` or from the Python call's argument array.
struct CallKwargs {
    Ref names;
    std::vector<PyObject*> values;
    std::vector<Ref> owned;

    Py_ssize_t size() const noexcept { return static_cast<Py_ssize_t>(values.size()); }
};

// The internal operations. The caller holds the engine's use; nothing here
// takes it again, so workflows can run many processes under one use.
struct Engine {
    // Returns the process's result (new reference).
    static Ref execute_process(EngineObject* self, std::string_view name, const CallKwargs& kwargs);
    // The run itself, without raising what a log handler deferred.
    static Ref run_process(EngineObject* self, std::string_view name, const CallKwargs& kwargs);
    [[noreturn]] static void raise_audit_error(const AuditOutcome& outcome);
    static void execute_flux_step(EngineObject* self, PyObject* step, const CallKwargs& kwargs);
    // Runs each item of `steps`, a list, as a step.
    static void run_steps(EngineObject* self, PyObject* steps, const CallKwargs& kwargs);
    // `condition` is a str.
    static bool evaluate_condition(EngineObject* self, PyObject* condition);
};

// For tests only: the bytes of compiled contract lists the process-wide
// cache holds.
size_t paths_cache_bytes_for_testing() noexcept;

}  // namespace kestu
