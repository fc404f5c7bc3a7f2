// StateMachine: follows the current state's event table in a dict
// definition that the caller owns and may keep changing; every trigger reads
// the definition afresh.
#include "state_machine.hpp"

#include <new>
#include <string>

#include "../engine/notes.hpp"
#include "../support/args.hpp"
#include "../support/error.hpp"
#include "../support/log.hpp"
#include "../support/log_capsule.hpp"
#include "../support/names.hpp"
#include "../support/text.hpp"
#include "../support/use.hpp"

namespace kestu {

PyTypeObject* StateMachine_Type = nullptr;

namespace {

constexpr std::string_view kFsmTarget = "kestu_core::fsm";
// Whether anyone wants the machine's records, kept until logging's levels change.
log::CachedAnswer g_transition_wanted;
log::CachedAnswer g_warning_wanted;

struct StateMachineObject {
    PyObject_HEAD
    Ref definition;
    std::string current_state;
    Ref state_key;  // current_state as an exact str, for the definition look-ups
    UseFlag use;
};

StateMachineObject* as_machine(PyObject* self) { return reinterpret_cast<StateMachineObject*>(self); }

const Signature kNewSignature{"StateMachine", {{"definition", true}, {"start_state", false}}};
const Signature kTriggerSignature{"StateMachine.trigger", {{"event", true}}};

// The value under `key` as a strong reference, or null when absent. The
// lookup can run the __eq__ of keys stored in the dict, so the result is
// owned before anything else happens.
Ref dict_get(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) throw py_error{};
    return Ref::borrow(value);
}

PyObject* empty_list() { return PyList_New(0); }

// The names listed under the new state's "entry" (or "process"), as a new list.
PyObject* entry_names(PyObject* entry) {
    Ref out = check(PyList_New(0));
    if (PyUnicode_Check(entry)) {
        check_status(PyList_Append(out.get(), entry));
    } else if (PyList_Check(entry)) {
        // Nothing below runs Python code, but the size is re-read anyway.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entry); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(entry, i));
            if (!PyUnicode_Check(item.get())) throw_conversion_error(item.get(), "PyString", nullptr);
            check_status(PyList_Append(out.get(), item.get()));
        }
    }
    return out.release();
}

PyObject* StateMachine_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* in[2];
    parse_args(kNewSignature, args, kwargs, in);
    std::string start = in[1] ? to_string(in[1], "start_state") : std::string("IDLE");
    Ref key = new_str(start);
    Ref self = check(type->tp_alloc(type, 0));
    // Nothing between the allocation and the constructions below can fail.
    StateMachineObject* machine = as_machine(self.get());
    new (&machine->definition) Ref(Ref::borrow(in[0]));
    new (&machine->current_state) std::string(std::move(start));
    new (&machine->state_key) Ref(std::move(key));
    new (&machine->use) UseFlag();
    return self.release();
}

int StateMachine_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_machine(self)->definition.get());
    return 0;
}

int StateMachine_clear(PyObject* self) {
    as_machine(self)->definition.reset();
    return 0;
}

void StateMachine_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Long chains of releases unwind iteratively, not on the C stack.
    Py_TRASHCAN_BEGIN(self, StateMachine_dealloc)
    StateMachine_clear(self);
    StateMachineObject* machine = as_machine(self);
    machine->current_state.~basic_string();
    machine->state_key.~Ref();
    machine->definition.~Ref();
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

PyObject* current_state_of(PyObject* self) {
    StateMachineObject* machine = as_machine(self);
    SharedUse use(self, machine->use);
    return new_str(machine->current_state).release();
}

PyObject* StateMachine_get_current_state_impl(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    parse_no_args("StateMachine.get_current_state", nargs, kwnames);
    return current_state_of(self);
}

PyObject* StateMachine_current_state_get_impl(PyObject* self, void*) { return current_state_of(self); }

PyObject* trigger(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyObject* StateMachine_trigger_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref result;
    try {
        result = check(trigger(self, args, nargs, kwnames));
    } catch (const py_error&) {
        log::raise_deferred();
        throw;
    }
    // What a logging handler raised that is not an Exception leaves now that
    // the transition is complete.
    log::raise_deferred();
    return result.release();
}

PyObject* trigger(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* in[1];
    parse_args(kTriggerSignature, args, nargs, kwnames, in);
    const std::string event = to_string(in[0], "event");
    StateMachineObject* machine = as_machine(self);
    ExclusiveUse use(self, machine->use);

    // Only a collected cycle can have cleared the field; it then reads as None.
    Ref definition = machine->definition ? machine->definition.dup() : Ref::borrow(Py_None);
    require_dict(definition.get(), nullptr);
    Ref state_key = machine->state_key.dup();
    Ref description = dict_get(definition.get(), state_key.get());
    if (!description) return empty_list();
    require_dict(description.get(), nullptr);

    Ref table = dict_get(description.get(), KNAME("events"));
    if (!table) {
        if (Ref on = dict_get(description.get(), KNAME("on"))) {
            // A boolean here is almost surely a YAML reading of on/off/yes;
            // say so rather than have no events in silence.
            if (is_bool_like(on.get())) {
                log::emit(log::Level::Warn, kFsmTarget, g_warning_wanted, [] {
                    return std::string("\u26a0\ufe0f FSM Warning: 'on' key parsed as Boolean. Use 'events' instead.");
                });
                return empty_list();
            }
            table = std::move(on);
        } else {
            table = dict_get(description.get(), KNAME("transitions"));
            if (!table) return empty_list();
        }
    }
    require_dict(table.get(), nullptr);

    Ref event_key = PyUnicode_CheckExact(in[0]) ? Ref::borrow(in[0]) : new_str(event);
    Ref next = dict_get(table.get(), event_key.get());
    if (!next) return empty_list();
    std::string next_state = to_string(next.get(), nullptr);

    log::emit(log::Level::Info, kFsmTarget, g_transition_wanted, [&] {
        return "\U0001F504 FSM Transition: " + machine->current_state + " --[" + event + "]--> " + next_state;
    });
    // The name object itself when it is an exact str: it is most likely the
    // very key the definition stores, and its hash is already known.
    Ref next_key = PyUnicode_CheckExact(next.get()) ? next.dup() : new_str(next_state);
    machine->current_state = next_state;
    machine->state_key = next_key.dup();

    Ref entered = dict_get(definition.get(), next_key.get());
    if (!entered) return empty_list();
    require_dict(entered.get(), nullptr);
    Ref entry = dict_get(entered.get(), KNAME("entry"));
    if (!entry) entry = dict_get(entered.get(), KNAME("process"));
    if (!entry) return empty_list();
    return entry_names(entry.get());
}

// trigger, with notes on its failures. The state it started from is kept for
// them: a failure after the transition leaves the machine in another one.
PyObject* StateMachine_trigger_noted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref state = as_machine(self)->state_key.dup();
    try {
        return StateMachine_trigger_impl(self, args, nargs, kwnames);
    } catch (const py_error&) {
        StateMachineObject* machine = as_machine(self);
        notes::rethrow_from_trigger(self, args, nargs, kwnames, machine->definition.get(), state.get(),
                                    machine->state_key.get());
    }
}

PyGetSetDef StateMachine_getset[] = {
    {"current_state", wrap<StateMachine_current_state_get_impl>, nullptr, "The name of the current state.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef StateMachine_methods[] = {
    {"get_current_state", as_cfunction(wrap<StateMachine_get_current_state_impl>), METH_FASTCALL | METH_KEYWORDS,
     "get_current_state($self)\n--\n\n"
     "The name of the current state."},
    {"trigger", as_cfunction(wrap<StateMachine_trigger_noted>), METH_FASTCALL | METH_KEYWORDS,
     "trigger($self, event)\n--\n\n"
     "Follow event from the current state and return the entry names of the state\n"
     "reached; [] and no move when the state has no such event."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot StateMachine_slots[] = {
    {Py_tp_doc, const_cast<char*>("StateMachine(definition, start_state=...)\n--\n\n"
                                      "A state machine read from a dict of states, each with its events and entry names.")},
    {Py_tp_new, reinterpret_cast<void*>(wrap<StateMachine_new_impl>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(StateMachine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(StateMachine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(StateMachine_clear)},
    {Py_tp_methods, StateMachine_methods},
    {Py_tp_getset, StateMachine_getset},
    {0, nullptr},
};

PyType_Spec StateMachine_spec = {"kestu_core.StateMachine", sizeof(StateMachineObject), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, StateMachine_slots};

}  // namespace

const ClassDef StateMachine_class = {"StateMachine", &StateMachine_spec, &StateMachine_Type, nullptr};

}  // namespace kestu
