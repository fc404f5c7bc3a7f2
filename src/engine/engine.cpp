// Engine: process execution under contract, guard, transaction and audit.
//
// The engine is built completely in __new__, so a Python subclass that
// overrides __init__ (with or without calling ours) still gets a working
// engine. Engine.__init__ accepts and ignores the constructor's arguments,
// as the immutable built-ins do: the fields never change after __new__.
#include "engine.hpp"

#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "../delta/transaction.hpp"
#include "../guards/guard.hpp"
#include "../registry/registry.hpp"
#include "../support/args.hpp"
#include "../support/compat.hpp"
#include "../support/log_capsule.hpp"
#include "../support/error.hpp"
#include "../support/names.hpp"
#include "../support/probe.hpp"
#include "../support/shared.hpp"
#include "../support/text.hpp"
#include "notes.hpp"
#include "process_cache.hpp"
#include "run_record.hpp"

namespace kestu {

PyTypeObject* Engine_Type = nullptr;

namespace {

// Raises `inst` as `raise inst` would; a class that returned something else
// than an exception gets raise's own complaint.
[[noreturn]] void raise_instance(Ref inst) {
    if (!PyExceptionInstance_Check(inst.get())) throw_type_error("exceptions must derive from BaseException");
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(inst.get())), inst.get());
    throw py_error{};
}

// Imports `module` (through the import machinery every time: the companion
// package may be reloaded) and returns `cls(message)`.
Ref companion_error(const char* module, PyObject* cls_name, std::string_view message) {
    Ref mod = check(PyImport_ImportModule(module));
    Ref cls = check(PyObject_GetAttr(mod.get(), cls_name));
    return check(PyObject_CallOneArg(cls.get(), new_str(message).get()));
}

// process(guard, **kwargs), by vectorcall.
Ref call_process(PyObject* process, PyObject* guard, const CallKwargs& kwargs) {
    constexpr size_t kInline = 8;
    const size_t n = 2 + kwargs.values.size();
    PyObject* inline_stack[kInline];
    std::vector<PyObject*> heap_stack;
    PyObject** stack = inline_stack;
    if (n > kInline) {
        heap_stack.resize(n);
        stack = heap_stack.data();
    }
    stack[0] = nullptr;  // scratch slot the callee may use (ARGUMENTS_OFFSET)
    stack[1] = guard;
    for (size_t i = 0; i < kwargs.values.size(); ++i) stack[2 + i] = kwargs.values[i];
    PyObject* names = kwargs.values.empty() ? nullptr : kwargs.names.get();
    return Ref::steal(PyObject_Vectorcall(process, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

bool declared(const PathSet& errors, std::string_view name) {
    return name == "PermissionError" || name == "ContractViolationError" || errors.contains(name);
}

// The process raised (the error is set). Rolls back, then lets the error
// through or replaces it by ContractViolationError. Always throws.
[[noreturn]] void handle_process_error(PyObject* tx, const PathSet& errors) {
    Ref exc = Ref::steal(compat::fetch_exception());
    if (tx) rollback(tx);  // its own failure replaces the process's error
    // KeyboardInterrupt, SystemExit and broken invariants are not the
    // process's errors to declare: they leave as they came.
    bool ordinary = PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception);
    std::string name;
    if (ordinary) name = type_name(exc.get());
    if (!ordinary || declared(errors, name)) {
        compat::restore_exception(exc.release());
        throw py_error{};
    }
    std::string message = "Undeclared Error Violation: Caught " + name + ": " + exception_text(exc.get());
    // The process's exception is deliberately not chained to the new one;
    // it travels beside it, for the notes that say where it was raised.
    try {
        raise_instance(companion_error("kestu.contracts", KNAME("ContractViolationError"), message));
    } catch (const py_error&) {
        notes::rethrow_replacing(std::move(exc));
    }
}

// Ends the run when an audit evaluation says so: first the warnings about
// rules whose path could not be read (a warnings filter may make an error of
// one), then the audit's own error. `tx` is rolled back before either leaves.
void settle_audit(std::string_view process, std::string_view phase, const AuditOutcome& outcome, PyObject* tx) {
    Ref warned = notes::warn_unread(process, phase, outcome);
    if (!warned && outcome.kind == AuditOutcome::Kind::Pass) return;
    if (tx) rollback(tx);
    if (warned) {
        compat::restore_exception(warned.release());
        throw py_error{};
    }
    Engine::raise_audit_error(outcome);
}

}  // namespace

// -- the internal operations --------------------------------------------------

size_t paths_cache_bytes_for_testing() noexcept { return ProcessCache::shared_bytes_for_testing(); }

void Engine::raise_audit_error(const AuditOutcome& outcome) {
    PyObject* cls = outcome.kind == AuditOutcome::Kind::Block ? KNAME("AuditBlockError") : KNAME("AuditInterlockError");
    Ref error = companion_error("kestu.audit", cls, outcome.message);
    notes::set_audit_attributes(error.get(), outcome);
    raise_instance(std::move(error));
}

Ref Engine::execute_process(EngineObject* self, std::string_view name, const CallKwargs& kwargs) {
    Ref result;
    try {
        result = run_process(self, name, kwargs);
    } catch (const py_error&) {
        log::raise_deferred();  // a handler's Ctrl-C wins, with the run's error as its context
        throw;
    }
    // What a logging handler raised that is not an Exception leaves now that
    // the run has committed or rolled back.
    log::raise_deferred();
    return result;
}

Ref Engine::run_process(EngineObject* self, std::string_view name, const CallKwargs& kwargs) {
    // Emitted when the run ends, inside the window a deferred exception waits for.
    RunRecord record(name, self->strict_mode);
    if (!self->processes) self->processes = std::make_unique<ProcessCache>();
    ProcessCache& processes = *self->processes;  // kept until the engine is cleared, which a run prevents
    Ref process = processes.process(name);
    Ref ctx = self->ctx.dup();

    // Input rules see the raw context: nothing has run yet.
    const RuleList* input_rules = self->policy ? processes.audit_rules(*self->policy, name, true) : nullptr;
    if (input_rules) {
        AuditOutcome outcome = self->policy->evaluate(*input_rules, name, "input", ctx.get());
        if (outcome.kind != AuditOutcome::Kind::Pass || !outcome.unread.empty())
            settle_audit(name, "input", outcome, nullptr);
    }

    Ref tx;
    if (self->strict_mode) tx = transaction_for_run(self->spare_tx);

    ContractPaths contract = processes.contract(name, process.get());
    const Paths& inputs = contract.inputs;
    const Paths& outputs = contract.outputs;
    const Paths& errors = contract.errors;

    Ref guard = ContextGuard::for_run(self->spare_guard, ctx.get(), inputs, outputs, tx.get(), false, self->strict_mode);
    Ref result = call_process(process.get(), guard.get(), kwargs);
    ContextGuard::retire(self->spare_guard, std::move(guard));
    if (!result) handle_process_error(tx.get(), *errors);

    // Output rules read through an administrator guard on the same
    // transaction, so they see what the process wrote before it is committed.
    const RuleList* output_rules = self->policy ? processes.audit_rules(*self->policy, name, false) : nullptr;
    if (output_rules) {
        Ref audit_guard =
            ContextGuard::for_run(self->spare_audit_guard, ctx.get(), no_paths(), no_paths(), tx.get(), true, self->strict_mode);
        AuditOutcome outcome = self->policy->evaluate(*output_rules, name, "output", audit_guard.get());
        ContextGuard::retire(self->spare_audit_guard, std::move(audit_guard));
        if (outcome.kind != AuditOutcome::Kind::Pass || !outcome.unread.empty())
            settle_audit(name, "output", outcome, tx.get());
    }
    if (tx) commit(tx.get());
    record.succeeded(tx.get());
    retire_transaction(self->spare_tx, std::move(tx));
    return result;
}

namespace {

// -- argument handling ----------------------------------------------------------

// Parses the declared parameters of `sig` and gathers every other keyword
// into `kwargs`. When no keyword names a declared parameter (the usual
// case) the caller's own kwnames tuple and argument array are reused.
void parse_with_kwargs(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject** out, CallKwargs& kwargs) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    bool plain = true;
    for (Py_ssize_t k = 0; k < nkw && plain; ++k)
        for (const Param& p : sig.params)
            if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), p.name) == 0) plain = false;
    if (plain) {
        parse_args(sig, args, nargs, nullptr, out);
        if (nkw > 0) {
            kwargs.names = Ref::borrow(kwnames);
            kwargs.values.assign(args + nargs, args + nargs + nkw);
        }
        return;
    }
    Ref extra;
    parse_args(sig, args, nargs, kwnames, out, &extra);
    if (!extra) return;
    Py_ssize_t n = PyDict_GET_SIZE(extra.get());
    kwargs.names = check(PyTuple_New(n));
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    // `extra` is our own dict of str keys: no user code runs while we walk it.
    while (PyDict_Next(extra.get(), &pos, &key, &value) && i < n) {
        PyTuple_SET_ITEM(kwargs.names.get(), i, Ref::borrow(key).release());
        kwargs.owned.push_back(Ref::borrow(value));
        kwargs.values.push_back(value);
        ++i;
    }
}

// -- Python surface ---------------------------------------------------------------

PyObject* Engine_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"Engine", {{"ctx", true}, {"strict_mode", false}, {"audit_recipe", false}}};
    PyObject* a[3];
    parse_args(sig, args, kwargs, a);
    bool strict = a[1] && a[1] != Py_None ? to_bool(a[1], "strict_mode") : false;
    std::optional<AuditPolicy> policy;
    if (a[2] && a[2] != Py_None) {
        try {
            policy.emplace(AuditPolicy::from_python(a[2]));
        } catch (const py_error&) {
            discard_ordinary_error();
            write_stderr_line("WARNING: Failed to parse Audit Policy");
        }
    }
    // Everything that can run Python code is done; build the object.
    Ref self = check(type->tp_alloc(type, 0));
    EngineObject* e = as_engine(self.get());
    new (&e->use) UseFlag();
    new (&e->ctx) Ref(Ref::borrow(a[0]));
    new (&e->policy) std::optional<AuditPolicy>(std::move(policy));
    e->strict_mode = strict;
    new (&e->processes) std::unique_ptr<ProcessCache>();
    new (&e->spare_guard) Ref();
    new (&e->spare_audit_guard) Ref();
    new (&e->spare_tx) Ref();
    return self.release();
}

int Engine_init(PyObject*, PyObject*, PyObject*) { return 0; }

int Engine_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_engine(self)->ctx.get());
    Py_VISIT(as_engine(self)->spare_guard.get());
    Py_VISIT(as_engine(self)->spare_audit_guard.get());
    Py_VISIT(as_engine(self)->spare_tx.get());
    const std::unique_ptr<ProcessCache>& processes = as_engine(self)->processes;
    return processes ? processes->traverse(visit, arg) : 0;
}

int Engine_clear(PyObject* self) {
    // None rather than null keeps "ctx is always an object" true for any
    // finaliser that still reaches the engine.
    as_engine(self)->ctx = Ref::borrow(Py_None);
    as_engine(self)->spare_guard.reset();
    as_engine(self)->spare_audit_guard.reset();
    as_engine(self)->spare_tx.reset();
    // Moved out first: what it releases cannot find it half-cleared.
    std::unique_ptr<ProcessCache> processes = std::move(as_engine(self)->processes);
    return 0;
}

void Engine_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Long chains of releases unwind iteratively, not on the C stack.
    Py_TRASHCAN_BEGIN(self, Engine_dealloc)
    Engine_clear(self);
    EngineObject* e = as_engine(self);
    e->ctx.~Ref();
    e->policy.~optional();
    e->processes.~unique_ptr();
    e->spare_guard.~Ref();
    e->spare_audit_guard.~Ref();
    e->spare_tx.~Ref();
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

PyObject* Engine_register_process_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Engine.register_process", {{"name", true}, {"func", true}}};
    PyObject* a[2];
    parse_args(sig, args, nargs, kwnames, a);
    std::string name = to_string(a[0], "name");
    ExclusiveUse use(self, as_engine(self)->use);
    register_process(std::move(name), Ref::borrow(a[1]));
    Py_RETURN_NONE;
}

PyObject* Engine_execute_process_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Engine.execute_process", {{"process_name", true}}, true};
    PyObject* a[1];
    CallKwargs kwargs;
    parse_with_kwargs(sig, args, nargs, kwnames, a, kwargs);
    std::string_view name = to_utf8(a[0], "process_name");
    ExclusiveUse use(self, as_engine(self)->use);
    return Engine::execute_process(as_engine(self), name, kwargs).release();
}

PyObject* Engine_execute_workflow_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Engine.execute_workflow", {{"steps", true}}, true};
    PyObject* a[1];
    CallKwargs kwargs;
    parse_with_kwargs(sig, args, nargs, kwnames, a, kwargs);
    ExclusiveUse use(self, as_engine(self)->use);
    // Checked in the body, so the text carries no argument prefix.
    require_list(a[0], nullptr);
    Engine::run_steps(as_engine(self), a[0], kwargs);
    return as_engine(self)->ctx.dup().release();
}

PyObject* Engine_execute_flux_step_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Engine.execute_flux_step", {{"step", true}}, true};
    PyObject* a[1];
    CallKwargs kwargs;
    parse_with_kwargs(sig, args, nargs, kwnames, a, kwargs);
    ExclusiveUse use(self, as_engine(self)->use);
    Engine::execute_flux_step(as_engine(self), a[0], kwargs);
    Py_RETURN_NONE;
}

PyObject* Engine_evaluate_condition_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Engine.evaluate_condition", {{"condition", true}}};
    PyObject* a[1];
    parse_args(sig, args, nargs, kwnames, a);
    if (!PyUnicode_Check(a[0])) throw_conversion_error(a[0], "PyString", "condition");
    SharedUse use(self, as_engine(self)->use);
    return PyBool_FromLong(Engine::evaluate_condition(as_engine(self), a[0]));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef Engine_methods[] = {
    {"execute_process", as_cfunction(wrap<notes::noted<Engine_execute_process_impl, notes::Call::ExecuteProcess>>),
     kFast,
     "execute_process($self, process_name, **kwargs)\n--\n\n"
     "Run the registered process under its contract and return its result. Keyword\n"
     "arguments reach the process; a strict engine commits its writes or rolls them back."},
    {"execute_workflow", as_cfunction(wrap<notes::noted<Engine_execute_workflow_impl, notes::Call::ExecuteWorkflow>>),
     kFast,
     "execute_workflow($self, steps, **kwargs)\n--\n\n"
     "Run a list of steps (process names and control steps) in order and return the\n"
     "context. Every process gets the keyword arguments; the first failure stops the run."},
    {"execute_flux_step", as_cfunction(wrap<notes::noted<Engine_execute_flux_step_impl, notes::Call::ExecuteFluxStep>>),
     kFast,
     "execute_flux_step($self, step, **kwargs)\n--\n\n"
     "Run one step of a workflow: a process name or an 'if', 'while' or 'run' step."},
    {"evaluate_condition",
     as_cfunction(wrap<notes::noted<Engine_evaluate_condition_impl, notes::Call::EvaluateCondition>>), kFast,
     "evaluate_condition($self, condition)\n--\n\n"
     "Evaluate a condition, a Python expression over the raw context (ctx); it must give a bool."},
    {"register_process", as_cfunction(wrap<Engine_register_process_impl>), kFast,
     "register_process($self, name, func)\n--\n\n"
     "Register func, decorated with @process, under name for every engine of this process;\n"
     "a name registered again is replaced."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(wrap<Engine_new_impl>)},
    {Py_tp_init, reinterpret_cast<void*>(Engine_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Engine_clear)},
    {Py_tp_methods, Engine_methods},
    {Py_tp_doc, const_cast<char*>("Engine(ctx, strict_mode=None, audit_recipe=None)\n--\n\n"
                                      "Runs registered processes and workflows against one context object, each\n"
                                      "process through a guard that holds it to its contract. In strict mode each\n"
                                      "run gets a transaction; audit_recipe adds rules checked around each run.")},
    {0, nullptr},
};

PyType_Spec Engine_spec = {"kestu_core.Engine", sizeof(EngineObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, Engine_slots};

}  // namespace

const ClassDef Engine_class = {"Engine", &Engine_spec, &Engine_Type, nullptr};

}  // namespace kestu
