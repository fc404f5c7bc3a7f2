#pragma once
// Notes that say where and why a run failed.
//
// The core's exceptions keep their exact type, args and str(); what a user
// needs to find the cause goes beside them as exception notes, written by
// the kestu package (kestu._notes) from what the core knows at the failure.
// All of it runs only when an exception leaves: the hooks are catch blocks
// (free on the success path) and a C++ exception that carries the failure's
// place out of a workflow.
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../support/error.hpp"
#include "../support/ref.hpp"

namespace kestu {

struct AuditOutcome;

namespace notes {

// A failure on its way out of a workflow or a process run, with what its
// notes need. The Python exception is set, as for any py_error.
struct run_failure : py_error {
    enum class Part : uint8_t { Step, Process, Condition, Loop };
    Part part = Part::Step;
    std::string process;    // the process step that failed
    Ref original;           // the exception a ContractViolationError replaced
    Ref condition;          // the condition of the "if"/"while" step that failed
    Ref step;               // the innermost step that failed
    std::vector<std::string> where;  // location segments, innermost first
};

// Called from a catch block of a py_error: each adds what it knows to the
// failure in flight and throws it on.
[[noreturn, gnu::cold]] void rethrow_at_index(PyObject* step, Py_ssize_t index);
[[noreturn, gnu::cold]] void rethrow_in_branch(PyObject* key);
[[noreturn, gnu::cold]] void rethrow_in_process(std::string_view name);
[[noreturn, gnu::cold]] void rethrow_in_condition(PyObject* condition);
// The process's exception `original` was replaced by the error now set.
[[noreturn, gnu::cold]] void rethrow_replacing(Ref original);
// The loop limit was reached (the RuntimeError is set).
[[noreturn, gnu::cold]] void throw_loop_trip(PyObject* condition);

// The Python methods whose failures get notes.
enum class Call : uint8_t { ExecuteProcess, ExecuteWorkflow, ExecuteFluxStep, EvaluateCondition };

// Adds the notes to the error in flight (called from a catch block) and
// throws it on.
[[noreturn, gnu::cold]] void rethrow_noted(Call call, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames);

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A METH_FASTCALL|METH_KEYWORDS method of Engine whose failures get notes.
template <FastMethod F, Call C>
PyObject* noted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        return F(self, args, nargs, kwnames);
    } catch (const py_error&) {
        rethrow_noted(C, self, args, nargs, kwnames);
    }
}

// StateMachine.trigger failed in `state` (the state before the call); the
// machine is now in `now`.
[[noreturn, gnu::cold]] void rethrow_from_trigger(PyObject* machine, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames, PyObject* definition, PyObject* state,
                                                  PyObject* now);

// The audit error instance for a tripped rule gets the rule as attributes.
void set_audit_attributes(PyObject* error, const AuditOutcome& outcome);

// Warns (kestu.AuditWarning) about the rules whose path could not be read,
// once each. Returns the exception when a warnings filter turned a warning
// into one (taken out of the error indicator), else an empty Ref.
Ref warn_unread(std::string_view process, std::string_view phase, const AuditOutcome& outcome);

}  // namespace notes
}  // namespace kestu
