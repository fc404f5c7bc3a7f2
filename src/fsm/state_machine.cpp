// StateMachine: follows the current state's event table in a dict
// definition that the caller owns and may keep changing; every trigger reads
// the definition afresh.
#include "state_machine.hpp"

#include <new>
#include <string>

#include "../engine/notes.hpp"
#include "../support/args.hpp"
#include "../support/compat.hpp"
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

// A transition made before: from a state on an event, the next state's name
// and what the entered state's description lists. It holds while none of
// the dicts it was read from has changed since (they are watched, from
// 3.12) and every key in them is an exact str, whose look-ups run no Python
// code: the same trigger would read the same things again.
struct KnownTransition {
    unsigned long long changes = 0;
    Ref definition;  // the identities it was made for
    Ref from;
    Ref event;       // an exact str
    Ref next;        // the next state's name, an exact str
    Ref entry;       // the entered state's "entry" (or "process") value; empty: []
    bool usable = false;  // while being learnt: the entered state's dict was fit too
};

struct StateMachineObject {
    PyObject_HEAD
    Ref definition;
    std::string current_state;
    Ref state_key;  // current_state as an exact str, for the definition look-ups
    UseFlag use;
    // By the identity of the state they start from: a machine going round a
    // few states finds each of its transitions here.
    static constexpr size_t kKnown = 4;
    KnownTransition known[kKnown];
};

KnownTransition& known_slot(StateMachineObject* machine, PyObject* from) {
    uintptr_t id = reinterpret_cast<uintptr_t>(from);
    return machine->known[((id >> 4) ^ (id >> 9)) % StateMachineObject::kKnown];
}

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
    for (KnownTransition& k : machine->known) new (&k) KnownTransition();
    return self.release();
}

int StateMachine_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_machine(self)->definition.get());
    for (const KnownTransition& k : as_machine(self)->known) {
        Py_VISIT(k.definition.get());
        Py_VISIT(k.entry.get());
    }
    return 0;
}

int StateMachine_clear(PyObject* self) {
    as_machine(self)->definition.reset();
    for (KnownTransition& k : as_machine(self)->known) {
        KnownTransition gone = std::move(k);
        k = KnownTransition{};
    }
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
    for (KnownTransition& k : machine->known) k.~KnownTransition();
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

constexpr Py_ssize_t kMostStates = 128;  // a definition scanned for its keys at most
constexpr Py_ssize_t kMostKeys = 32;     // a description or event table, the same

// Steps from the transition on: logs it, moves the machine to `next` and
// returns what the entered state lists. `entry` is what a known transition
// says the entered state lists, valid while the dicts have not changed since
// `changes`; without it (or once they did) the definition is read.
PyObject* enter(StateMachineObject* machine, PyObject* definition, std::string_view event, Ref next,
                const Ref* entry, unsigned long long changes, KnownTransition* learn) {
    std::string next_state = to_string(next.get(), nullptr);
    log::emit(log::Level::Info, kFsmTarget, g_transition_wanted, [&] {
        return "\U0001F504 FSM Transition: " + machine->current_state + " --[" + std::string(event) + "]--> " +
               next_state;
    });
    // The name object itself when it is an exact str: it is most likely the
    // very key the definition stores, and its hash is already known.
    Ref next_key = PyUnicode_CheckExact(next.get()) ? next.dup() : new_str(next_state);
    machine->current_state = next_state;
    machine->state_key = next_key.dup();

    // A logging handler may have changed the definition meanwhile.
    if (entry && changes == compat::dict_changes()) return *entry ? entry_names(entry->get()) : empty_list();
    Ref found;
    Ref entered = dict_get(definition, next_key.get());
    if (entered) {
        require_dict(entered.get(), nullptr);
        if (learn && !compat::watch_plain_dict(entered.get(), kMostKeys)) learn = nullptr;
        found = dict_get(entered.get(), KNAME("entry"));
        if (!found) found = dict_get(entered.get(), KNAME("process"));
    }
    if (learn) {
        learn->entry = found.dup();
        learn->usable = true;
    }
    return found ? entry_names(found.get()) : empty_list();
}

PyObject* trigger(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* in[1];
    parse_args(kTriggerSignature, args, nargs, kwnames, in);
    const std::string_view event = to_utf8(in[0], "event");  // the caller holds the str
    StateMachineObject* machine = as_machine(self);
    ExclusiveUse use(self, machine->use);

    // Only a collected cycle can have cleared the field; it then reads as None.
    Ref definition = machine->definition ? machine->definition.dup() : Ref::borrow(Py_None);
    require_dict(definition.get(), nullptr);
    Ref state_key = machine->state_key.dup();

    // The machine's slots are a fixed array: a slot stays where it is.
    KnownTransition& known = known_slot(machine, state_key.get());
    const unsigned long long changes = compat::dict_changes();
    if (known.next && known.changes == changes && known.definition.get() == definition.get() &&
        known.from.get() == state_key.get() && known.event.get() == in[0]) {
        Ref entry = known.entry.dup();
        return enter(machine, definition.get(), event, known.next.dup(), &entry, changes, nullptr);
    }

    // Learnt on the way when every dict read can be watched and has only
    // exact str keys, for an exact str event.
    bool plain = PyUnicode_CheckExact(in[0]) && compat::watch_plain_dict(definition.get(), kMostStates);
    Ref description = dict_get(definition.get(), state_key.get());
    if (!description) return empty_list();
    require_dict(description.get(), nullptr);
    plain = plain && compat::watch_plain_dict(description.get(), kMostKeys);

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
    plain = plain && compat::watch_plain_dict(table.get(), kMostKeys);

    Ref event_key = PyUnicode_CheckExact(in[0]) ? Ref::borrow(in[0]) : new_str(event);
    Ref next = dict_get(table.get(), event_key.get());
    if (!next) return empty_list();
    if (!PyUnicode_CheckExact(next.get())) plain = false;

    KnownTransition learnt;
    PyObject* result = enter(machine, definition.get(), event, next.dup(), nullptr, changes, plain ? &learnt : nullptr);
    if (result && plain && learnt.usable) {
        // Whole before what the slot held is released; `changes` was read
        // before any dict was, so a change since shows.
        learnt.changes = changes;
        learnt.definition = std::move(definition);
        learnt.from = std::move(state_key);
        learnt.event = Ref::borrow(in[0]);
        learnt.next = std::move(next);
        KnownTransition& slot = known_slot(machine, learnt.from.get());
        KnownTransition old = std::move(slot);
        slot = std::move(learnt);
    }
    return result;
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
