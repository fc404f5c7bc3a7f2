// TrackedDict: a dict view that logs every item write and
// delete into its Transaction and shadows nested lists and dicts on read.
#include <optional>
#include <string>

#include "../delta/transaction.hpp"
#include "../support/args.hpp"
#include "../support/error.hpp"
#include "container_common.hpp"
#include "tracked.hpp"

namespace kestu {

PyTypeObject* TrackedDict_Type = nullptr;

Ref make_tracked_dict(PyObject* data, PyObject* tx, Ref path) {
    return containers::tracked_make(TrackedDict_Type, data, tx, std::move(path));
}

namespace {

using containers::Kind;
using containers::TrackedObject;

TrackedObject* self_of(PyObject* self) { return containers::fields_of<TrackedObject>(self); }

// Reading algorithm, steps 1 to 8 (new reference). Caller holds shared use.
Ref read_item(TrackedObject* o, PyObject* key) {
    Ref data = o->data.dup();
    Ref value = Ref::borrow(PyDict_GetItemWithError(data.get(), key));
    if (!value) {
        if (PyErr_Occurred()) throw py_error{};
        containers::throw_key_error(key);
    }
    const Kind kind = containers::kind_of(value.get());
    if (kind == Kind::Other) return value;  // scalars never touch the transaction

    Ref tx = o->tx.dup();
    Ref path = o->path.dup();
    NativeExclusiveUse tx_use(tx.get(), transaction_use(tx.get()));  // steps 3 to 8
    Ref shadow = get_shadow(tx.get(), value.get(), std::nullopt);
    if (shadow.get() != value.get()) check_status(PyDict_SetItem(data.get(), key, shadow.get()));
    Ref child = dict_child_path_str(path.get(), key);
    if (kind == Kind::List) {
        require_list(shadow.get(), nullptr);
        return make_tracked_list(shadow.get(), tx.get(), std::move(child));
    }
    require_dict(shadow.get(), nullptr);
    return make_tracked_dict(shadow.get(), tx.get(), std::move(child));
}

// Writing algorithm. Caller holds shared use and strong references to key
// and value.
void write_item(TrackedObject* o, PyObject* key, PyObject* value) {
    Ref data = o->data.dup();
    Ref old = Ref::borrow(PyDict_GetItemWithError(data.get(), key));
    if (!old && PyErr_Occurred()) throw py_error{};
    check_status(PyDict_SetItem(data.get(), key, value));
    DeltaEntry entry = containers::dict_child_entry(DeltaOp::Set, o->path.get(), key);
    entry.value = Ref::borrow(value);
    entry.old_value = std::move(old);
    Ref tx = o->tx.dup();
    NativeExclusiveUse tx_use(tx.get(), transaction_use(tx.get()));
    log_internal(tx.get(), std::move(entry));
}

void delete_item(TrackedObject* o, PyObject* key) {
    Ref data = o->data.dup();
    Ref old = Ref::borrow(PyDict_GetItemWithError(data.get(), key));
    if (!old) {
        if (PyErr_Occurred()) throw py_error{};
        containers::throw_key_error(key);
    }
    check_status(PyDict_DelItem(data.get(), key));
    DeltaEntry entry = containers::dict_child_entry(DeltaOp::Remove, o->path.get(), key);
    entry.old_value = std::move(old);
    Ref tx = o->tx.dup();
    NativeExclusiveUse tx_use(tx.get(), transaction_use(tx.get()));
    log_internal(tx.get(), std::move(entry));
}

// --- slots -----------------------------------------------------------------

PyObject* TrackedDict_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"TrackedDict", {{"data", true}, {"tx", true}, {"path", true}}};
    PyObject* a[3];
    parse_args(sig, args, kwargs, a);
    return containers::tracked_new(type, a[0], a[1], a[2], false);
}

PyObject* TrackedDict_subscript(PyObject* self, PyObject* key) {
    TrackedObject* o = self_of(self);
    SharedUse use(self, o->use);
    return read_item(o, key).release();
}

int TrackedDict_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    TrackedObject* o = self_of(self);
    SharedUse use(self, o->use);
    if (value) write_item(o, key, value);
    else delete_item(o, key);
    return 0;
}

// --- methods ---------------------------------------------------------------

PyObject* TrackedDict_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"TrackedDict.get", {{"key", true}, {"default", false}}};
    PyObject* a[2];
    parse_args(sig, args, nargs, kwnames, a);
    TrackedObject* o = self_of(self);
    SharedUse use(self, o->use);
    Ref data = o->data.dup();
    if (check_status(PyDict_Contains(data.get(), a[0]))) return read_item(o, a[0]).release();
    return Ref::borrow(a[1] ? a[1] : Py_None).release();
}

PyObject* TrackedDict_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"TrackedDict.update", {{"other", true}}};
    PyObject* a[1];
    parse_args(sig, args, nargs, kwnames, a);
    TrackedObject* o = self_of(self);
    SharedUse use(self, o->use);
    PyObject* other = a[0];
    require_dict(other, nullptr);
    Ref keep = Ref::borrow(other);
    // Visited as dict iteration does: the size is checked before every
    // step, and more entries than at the start means keys were replaced.
    const Py_ssize_t start = PyDict_GET_SIZE(other);
    Py_ssize_t pos = 0, seen = 0;
    for (;;) {
        if (PyDict_GET_SIZE(other) != start) throw_internal_error("dictionary changed size during iteration");
        PyObject *k, *v;
        if (!PyDict_Next(other, &pos, &k, &v)) break;
        if (++seen > start) throw_internal_error("dictionary keys changed during iteration");
        // User __hash__/__eq__/__str__ may mutate `other`: own the pair.
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        write_item(o, key.get(), value.get());
    }
    Py_RETURN_NONE;
}

PyObject* TrackedDict_getstate(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    parse_no_args("TrackedDict.__getstate__", nargs, kwnames);
    return containers::tracked_state(self);
}

PyObject* TrackedDict_getnewargs(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    parse_no_args("TrackedDict.__getnewargs__", nargs, kwnames);
    return containers::tracked_state(self);
}

PyObject* TrackedDict_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"TrackedDict.__setstate__", {{"state", true}}};
    PyObject* a[1];
    parse_args(sig, args, nargs, kwnames, a);
    containers::tracked_setstate(self, a[0], false);
    Py_RETURN_NONE;
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef TrackedDict_methods[] = {
    {"get", as_cfunction(wrap<TrackedDict_get>), kFast, "get($self, key, default=None)\n--\n\n"
     "self[key] when key is present, else default."},
    {"update", as_cfunction(wrap<TrackedDict_update>), kFast, "update($self, other)\n--\n\n"
     "Write every item of the dict other, each recorded."},
    {"keys", as_cfunction(wrap<containers::dict_listing<TrackedObject, &PyDict_Keys>>), kFast, "keys($self)\n--\n\n"
     "A new list of the keys."},
    {"items", as_cfunction(wrap<containers::dict_listing<TrackedObject, &PyDict_Items>>), kFast, "items($self)\n--\n\n"
     "A new list of the (key, value) pairs, values as stored."},
    {"values", as_cfunction(wrap<containers::dict_listing<TrackedObject, &PyDict_Values>>), kFast, "values($self)\n--\n\n"
     "A new list of the values, as stored."},
    {"__getstate__", as_cfunction(wrap<TrackedDict_getstate>), kFast, "__getstate__($self)\n--\n\n"
     "The view's fields (data, tx, path), for copy and pickle."},
    {"__getnewargs__", as_cfunction(wrap<TrackedDict_getnewargs>), kFast, "__getnewargs__($self)\n--\n\n"
     "The constructor arguments (data, tx, path), for copy and pickle."},
    {"__setstate__", as_cfunction(wrap<TrackedDict_setstate>), kFast, "__setstate__($self, state)\n--\n\n"
     "Set the view's fields from a (data, tx, path) tuple."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot TrackedDict_slots[] = {
    {Py_tp_doc, const_cast<char*>("TrackedDict(data, tx, path)\n--\n\n"
                                      "A dict view that records item writes and deletes in the transaction tx;\n"
                                      "a nested list or dict is read as a tracked view over its shadow.")},
    {Py_tp_new, reinterpret_cast<void*>(wrap<TrackedDict_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(containers::Tracked_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(containers::Tracked_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(containers::Tracked_clear)},
    {Py_tp_str, reinterpret_cast<void*>(wrap<containers::data_str<TrackedObject>>)},
    {Py_tp_iter, reinterpret_cast<void*>(wrap<containers::data_iter<TrackedObject>>)},
    {Py_mp_subscript, reinterpret_cast<void*>(wrap<TrackedDict_subscript>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(wrap<TrackedDict_ass_subscript>)},
    {Py_mp_length, reinterpret_cast<void*>(wrap<containers::data_length<TrackedObject>>)},
    {Py_sq_contains, reinterpret_cast<void*>(wrap<containers::dict_contains<TrackedObject>>)},
    {Py_tp_methods, TrackedDict_methods},
    {0, nullptr},
};

PyType_Spec TrackedDict_spec = {"kestu_core.TrackedDict", sizeof(TrackedObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, TrackedDict_slots};

}  // namespace

const ClassDef TrackedDict_class = {"TrackedDict", &TrackedDict_spec, &TrackedDict_Type, nullptr};

}  // namespace kestu
