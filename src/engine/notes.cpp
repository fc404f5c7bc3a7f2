// Notes that say where and why a run failed: the facts the core has at the
// failure, handed to kestu._notes, which words them and adds them with
// add_note. Nothing here may change the exception itself or replace it: a
// failure while writing notes leaves the exception without them.
#include "notes.hpp"

#include <algorithm>
#include <utility>

#include "../audit/policy.hpp"
#include "../guards/guard.hpp"
#include "../registry/registry.hpp"
#include "../structures/container_common.hpp"
#include "../structures/frozen.hpp"
#include "../structures/tracked.hpp"
#include "../support/compat.hpp"
#include "../support/names.hpp"
#include "../support/text.hpp"
#include "engine.hpp"

namespace kestu::notes {
namespace {

// The failure in flight as a run_failure, with `add` applied: the same one
// thrown on, or a new one for a plain py_error. Only inside a catch block.
template <typename Add>
[[noreturn]] void rethrow_adding(Add&& add) {
    try {
        throw;
    } catch (run_failure& failure) {
        add(failure);
        throw;
    } catch (const py_error&) {
        run_failure failure;
        add(failure);
        throw failure;
    }
}

// An error met while writing notes: a Ctrl-C is re-armed so it is not lost,
// anything else (a fault of the notes themselves) goes to the unraisable hook.
void report(PyObject* where) {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        PyErr_Clear();
        PyErr_SetInterrupt();
        return;
    }
    PyErr_WriteUnraisable(where);
}

// kestu._notes.<function>, or an empty Ref (error cleared) when the package
// cannot be imported: the core works without it, only without notes.
Ref notes_function(const char* function) {
    Ref module = Ref::steal(PyImport_ImportModule("kestu._notes"));
    Ref fn = module ? Ref::steal(PyObject_GetAttrString(module.get(), function)) : Ref();
    if (!fn) {
        if (PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
        else report(nullptr);
    }
    return fn;
}

void set_item(PyObject* info, const char* key, Ref value) {
    if (value) check_status(PyDict_SetItemString(info, key, value.get()));
}

void set_item(PyObject* info, const char* key, PyObject* value) {
    if (value) check_status(PyDict_SetItemString(info, key, value));
}

// The argument of the method's one declared parameter, by position or keyword.
PyObject* argument(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 0) return args[0];
    for (Py_ssize_t i = 0, n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0; i < n; ++i)
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, i), name) == 0) return args[nargs + i];
    return nullptr;
}

// The keyword names a run hands on to its processes.
Ref passed_keywords(const char* declared, PyObject* kwnames) {
    Ref names = check(PyList_New(0));
    for (Py_ssize_t i = 0, n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(name, declared) != 0) check_status(PyList_Append(names.get(), name));
    }
    return names;
}

// The process `name` (or what is registered instead) for the notes.
void describe_process(PyObject* info, std::string_view name) {
    set_item(info, "process", new_str(name));
    if (Ref func = get_process(name)) {
        set_item(info, "func", std::move(func));
        return;
    }
    std::vector<std::string> names = registered_names();
    std::sort(names.begin(), names.end());
    Ref list = check(PyList_New(0));
    for (const std::string& n : names) check_status(PyList_Append(list.get(), new_str(n).get()));
    set_item(info, "registered", std::move(list));
}

const char* part_name(run_failure::Part part) {
    switch (part) {
        case run_failure::Part::Process: return "process";
        case run_failure::Part::Condition: return "condition";
        case run_failure::Part::Loop: return "loop";
        case run_failure::Part::Step: break;
    }
    return "step";
}

const char* call_name(Call call) {
    switch (call) {
        case Call::ExecuteProcess: return "execute_process";
        case Call::ExecuteWorkflow: return "execute_workflow";
        case Call::ExecuteFluxStep: return "execute_flux_step";
        case Call::EvaluateCondition: break;
    }
    return "evaluate_condition";
}

const char* parameter_name(Call call) {
    switch (call) {
        case Call::ExecuteProcess: return "process_name";
        case Call::ExecuteWorkflow: return "steps";
        case Call::ExecuteFluxStep: return "step";
        case Call::EvaluateCondition: break;
    }
    return "condition";
}

// What the failure in flight carries, added to `info`.
void describe_failure(PyObject* info, Call call, const run_failure& f) {
    set_item(info, "part", new_str(part_name(f.part)));
    if (!f.process.empty()) describe_process(info, f.process);
    set_item(info, "original", f.original.get());
    set_item(info, "condition", f.condition.get());
    set_item(info, "step", f.step.get());
    if (call == Call::ExecuteWorkflow || call == Call::ExecuteFluxStep) {
        std::string where = call == Call::ExecuteWorkflow ? "steps" : "step";
        for (auto segment = f.where.rbegin(); segment != f.where.rend(); ++segment) where += *segment;
        set_item(info, "where", new_str(where));
    }
}

// kestu._notes.<function>(exc, info).
void add_notes(PyObject* exc, PyObject* info, const char* function) {
    Ref fn = notes_function(function);
    if (!fn) return;
    PyObject* args[] = {exc, info};
    Ref done = Ref::steal(PyObject_Vectorcall(fn.get(), args, 2, nullptr));
    if (!done) report(fn.get());
}

// Runs `fill` on a fresh info dict and adds the notes, with the failure's
// exception held aside meanwhile. Never throws: the exception goes on as it
// came, with or without notes.
template <typename Fill>
void with_notes(const char* function, Fill&& fill) noexcept {
    Ref exc = Ref::steal(compat::fetch_exception());
    if (!exc) return;
    try {
        Ref info = check(PyDict_New());
        fill(info.get());
        add_notes(exc.get(), info.get(), function);
    } catch (const py_error&) {
        report(exc.get());
    } catch (...) {  // out of memory: no notes
    }
    compat::restore_exception(exc.release());
}

Ref rule_value(const RuleValue& v) {
    switch (v.kind) {
        case RuleValue::Kind::Null: break;
        case RuleValue::Kind::Bool: return Ref::borrow(v.b ? Py_True : Py_False);
        case RuleValue::Kind::UInt: return check(PyLong_FromUnsignedLongLong(v.u));
        case RuleValue::Kind::Int: return check(PyLong_FromLongLong(v.i));
        case RuleValue::Kind::Double: return check(PyFloat_FromDouble(v.d));
        case RuleValue::Kind::String: return new_str(v.s);
    }
    return Ref::borrow(Py_None);
}

// What a rule read, without the core's views: a view over the run's copies
// is bound to a transaction that is over, so the object it shows stands in.
Ref shown_value(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == ContextGuard_Type) return check(PyObject_GetAttrString(v, "_target"));
    if (t == TrackedList_Type || t == TrackedDict_Type) {
        PyObject* data = reinterpret_cast<containers::TrackedObject*>(v)->data.get();
        return Ref::borrow(data ? data : v);
    }
    if (t == FrozenList_Type || t == FrozenDict_Type) {
        PyObject* data = reinterpret_cast<containers::FrozenObject*>(v)->data.get();
        return Ref::borrow(data ? data : v);
    }
    return Ref::borrow(v);
}

}  // namespace

void rethrow_at_index(PyObject* step, Py_ssize_t index) {
    rethrow_adding([&](run_failure& f) {
        if (!f.step) f.step = Ref::borrow(step);
        f.where.push_back("[" + std::to_string(index) + "]");
    });
}

void rethrow_in_branch(PyObject* key) {
    rethrow_adding([&](run_failure& f) { f.where.push_back("." + utf8_lossy(key)); });
}

void rethrow_in_process(std::string_view name) {
    rethrow_adding([&](run_failure& f) {
        f.part = run_failure::Part::Process;
        f.process.assign(name);
    });
}

void rethrow_in_condition(PyObject* condition) {
    rethrow_adding([&](run_failure& f) {
        f.part = run_failure::Part::Condition;
        f.condition = Ref::borrow(condition);
    });
}

void rethrow_replacing(Ref original) {
    rethrow_adding([&](run_failure& f) { f.original = std::move(original); });
}

void throw_loop_trip(PyObject* condition) {
    run_failure f;
    f.part = run_failure::Part::Loop;
    f.condition = Ref::borrow(condition);
    throw f;
}

void rethrow_noted(Call call, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const run_failure* failure = nullptr;
    try {
        throw;
    } catch (const run_failure& f) {
        failure = &f;
    } catch (const py_error&) {
    }
    // The run's own use is over: a busy engine is running something else.
    const bool busy = as_engine(self)->use.busy();
    with_notes("annotate", [&](PyObject* info) {
        const char* declared = parameter_name(call);
        PyObject* subject = argument(declared, args, nargs, kwnames);
        set_item(info, "call", new_str(call_name(call)));
        set_item(info, "subject", subject);
        set_item(info, "kwargs", passed_keywords(declared, kwnames));
        set_item(info, "busy", Ref::borrow(busy ? Py_True : Py_False));
        if (failure) describe_failure(info, call, *failure);
        if (call == Call::ExecuteProcess && subject && PyUnicode_Check(subject))
            describe_process(info, utf8_lossy(subject));
    });
    throw;
}

void rethrow_from_trigger(PyObject* machine, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject* definition, PyObject* state, PyObject* now) {
    with_notes("annotate_trigger", [&](PyObject* info) {
        set_item(info, "machine", machine);
        set_item(info, "event", argument("event", args, nargs, kwnames));
        set_item(info, "definition", definition);
        set_item(info, "state", state);
        set_item(info, "now", now);
    });
    throw;
}

void set_audit_attributes(PyObject* error, const AuditOutcome& outcome) {
    const AuditTrip* trip = outcome.trip.get();
    if (!trip) return;
    try {
        const std::pair<const char*, Ref> attributes[] = {
            {"process", new_str(trip->process)},
            {"phase", new_str(trip->phase)},
            {"target_field", new_str(trip->rule.target_field)},
            {"condition", new_str(trip->rule.condition)},
            {"operand", rule_value(trip->rule.value)},
            {"level", new_str(trip->rule.level)},
            {"value", trip->value ? shown_value(trip->value.get()) : Ref::borrow(Py_None)},
            {"count", check(PyLong_FromUnsignedLong(trip->count))},
        };
        for (const auto& [name, value] : attributes) check_status(PyObject_SetAttrString(error, name, value.get()));
    } catch (const py_error&) {
        // The error is raised as it is, without the attributes it refused.
        report(error);
    }
}

Ref warn_unread(std::string_view process, std::string_view phase, const AuditOutcome& outcome) {
    if (outcome.unread.empty()) return Ref();
    Ref fn = notes_function("warn_unread_rule");
    if (!fn) return Ref();
    for (const UnreadRule& unread : outcome.unread) {
        try {
            const RuleSpec& rule = unread.rule;
            Ref args[] = {new_str(process),
                          new_str(phase),
                          new_str(rule.target_field),
                          new_str(rule.condition),
                          rule_value(rule.value),
                          new_str(rule.level),
                          check(PyLong_FromSize_t(unread.segment)),
                          unread.parent ? unread.parent.dup() : Ref::borrow(Py_None)};
            PyObject* raw[std::size(args)];
            for (size_t i = 0; i < std::size(args); ++i) raw[i] = args[i].get();
            if (Ref done = Ref::steal(PyObject_Vectorcall(fn.get(), raw, std::size(args), nullptr))) continue;
        } catch (const py_error&) {
        }
        // A warnings filter that made an error of the warning, or a Ctrl-C,
        // ends the run like any other error; a fault of the notes does not.
        if (PyErr_ExceptionMatches(PyExc_Warning) || !PyErr_ExceptionMatches(PyExc_Exception))
            return Ref::steal(compat::fetch_exception());
        PyErr_WriteUnraisable(fn.get());
    }
    return Ref();
}

}  // namespace kestu::notes
