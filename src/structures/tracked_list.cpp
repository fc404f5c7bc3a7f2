// TrackedList: a list view that logs item assignment,
// append and pop into its Transaction and shadows nested lists and dicts on
// read.
#include <cstdint>
#include <optional>
#include <string>

#include "../delta/transaction.hpp"
#include "../support/args.hpp"
#include "../support/error.hpp"
#include "../support/names.hpp"
#include "container_common.hpp"
#include "tracked.hpp"

namespace kestu {

PyTypeObject* TrackedList_Type = nullptr;

Ref make_tracked_list(PyObject* data, PyObject* tx, Ref path) {
    return containers::tracked_make(TrackedList_Type, data, tx, std::move(path));
}

namespace {

using containers::Kind;
using containers::TrackedObject;

TrackedObject* self_of(PyObject* self) { return containers::fields_of<TrackedObject>(self); }

// Index normalisation against the current length. The length is read after
// the conversion, which may run __index__.
Py_ssize_t normalize(PyObject* data, PyObject* index) {
    int64_t i = to_i64(index, "index");
    const Py_ssize_t len = PyList_GET_SIZE(data);
    if (i < 0) i += len;
    if (i < 0 || i >= len) containers::throw_list_index();
    return static_cast<Py_ssize_t>(i);
}

// Reading algorithm, steps 1 to 9 (new reference). Caller holds shared use.
Ref read_item(TrackedObject* o, PyObject* index) {
    Ref data = o->data.dup();
    const Py_ssize_t pos = normalize(data.get(), index);
    Ref item = Ref::borrow(PyList_GET_ITEM(data.get(), pos));
    const Kind kind = containers::kind_of(item.get());
    if (kind == Kind::Other) return item;  // scalars never touch the transaction

    Ref tx = o->tx.dup();
    Ref path = o->path.dup();
    NativeExclusiveUse tx_use(tx.get(), transaction_use(tx.get()));  // steps 4 to 9
    Ref shadow = get_shadow(tx.get(), item.get(), std::nullopt);
    if (shadow.get() != item.get()) {
        // The copy may have run user code that shrank the list.
        if (pos >= PyList_GET_SIZE(data.get())) containers::throw_list_index();
        check_status(PyList_SetItem(data.get(), pos, shadow.dup().release()));  // steals
    }
    Ref child = list_child_path_str(path.get(), pos);
    if (kind == Kind::List) {
        require_list(shadow.get(), nullptr);
        return make_tracked_list(shadow.get(), tx.get(), std::move(child));
    }
    require_dict(shadow.get(), nullptr);
    return make_tracked_dict(shadow.get(), tx.get(), std::move(child));
}

void write_item(TrackedObject* o, PyObject* index, PyObject* value) {
    Ref data = o->data.dup();
    const Py_ssize_t pos = normalize(data.get(), index);
    // No Python code runs between the bounds check and the store.
    Ref old = Ref::borrow(PyList_GET_ITEM(data.get(), pos));
    check_status(PyList_SetItem(data.get(), pos, Ref::borrow(value).release()));  // steals
    DeltaEntry entry = containers::list_child_entry(DeltaOp::Set, o->path.get(), pos);
    entry.value = Ref::borrow(value);
    entry.old_value = std::move(old);
    Ref tx = o->tx.dup();
    NativeExclusiveUse tx_use(tx.get(), transaction_use(tx.get()));
    log_internal(tx.get(), std::move(entry));
}

// --- slots -----------------------------------------------------------------

PyObject* TrackedList_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"TrackedList", {{"data", true}, {"tx", true}, {"path", true}}};
    PyObject* a[3];
    parse_args(sig, args, kwargs, a);
    return containers::tracked_new(type, a[0], a[1], a[2], true);
}

PyObject* TrackedList_subscript(PyObject* self, PyObject* index) {
    TrackedObject* o = self_of(self);
    SharedUse use(self, o->use);
    return read_item(o, index).release();
}

int TrackedList_ass_subscript(PyObject* self, PyObject* index, PyObject* value) {
    TrackedObject* o = self_of(self);
    SharedUse use(self, o->use);
    if (!value) containers::throw_cannot_delete();
    write_item(o, index, value);
    return 0;
}

// --- methods ---------------------------------------------------------------

PyObject* TrackedList_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"TrackedList.append", {{"value", true}}};
    PyObject* a[1];
    parse_args(sig, args, nargs, kwnames, a);
    TrackedObject* o = self_of(self);
    SharedUse use(self, o->use);
    Ref data = o->data.dup();
    Ref value = Ref::borrow(a[0]);
    check_status(PyList_Append(data.get(), value.get()));  // the list's own append, not a subclass's
    DeltaEntry entry = containers::whole_entry(DeltaOp::Append, o->path.get(), std::move(value));
    Ref tx = o->tx.dup();
    NativeExclusiveUse tx_use(tx.get(), transaction_use(tx.get()));
    log_internal(tx.get(), std::move(entry));
    Py_RETURN_NONE;
}

PyObject* TrackedList_pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"TrackedList.pop", {{"index", false}}};
    PyObject* a[1];
    parse_args(sig, args, nargs, kwnames, a);
    TrackedObject* o = self_of(self);
    SharedUse use(self, o->use);
    const int64_t index = (a[0] && a[0] != Py_None) ? to_i64(a[0], "index") : -1;
    Ref data = o->data.dup();
    Ref py_index = check(PyLong_FromLongLong(index));
    // Through the attribute, so a list subclass's own pop is used; its range
    // check and its IndexError are the list's.
    PyObject* call_args[2] = {data.get(), py_index.get()};
    Ref removed = check(PyObject_VectorcallMethod(KNAME("pop"), call_args, 2, nullptr));
    DeltaEntry entry = containers::whole_entry(DeltaOp::Pop, o->path.get(), removed.dup());
    Ref tx = o->tx.dup();
    NativeExclusiveUse tx_use(tx.get(), transaction_use(tx.get()));
    log_internal(tx.get(), std::move(entry));
    return removed.release();
}

PyObject* TrackedList_normalize_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"TrackedList.normalize_index", {{"index", true}}};
    PyObject* a[1];
    parse_args(sig, args, nargs, kwnames, a);
    TrackedObject* o = self_of(self);
    SharedUse use(self, o->use);
    Ref data = o->data.dup();
    return check(PyLong_FromSsize_t(normalize(data.get(), a[0]))).release();
}

PyObject* TrackedList_getstate(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    parse_no_args("TrackedList.__getstate__", nargs, kwnames);
    return containers::tracked_state(self);
}

PyObject* TrackedList_getnewargs(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    parse_no_args("TrackedList.__getnewargs__", nargs, kwnames);
    return containers::tracked_state(self);
}

PyObject* TrackedList_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"TrackedList.__setstate__", {{"state", true}}};
    PyObject* a[1];
    parse_args(sig, args, nargs, kwnames, a);
    containers::tracked_setstate(self, a[0], true);
    Py_RETURN_NONE;
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef TrackedList_methods[] = {
    {"append", as_cfunction(wrap<TrackedList_append>), kFast, "append($self, value)\n--\n\n"
     "Append value to the list and record it."},
    {"pop", as_cfunction(wrap<TrackedList_pop>), kFast, "pop($self, index=None)\n--\n\n"
     "Remove and return the item at index (the last by default) and record it."},
    {"normalize_index", as_cfunction(wrap<TrackedList_normalize_index>), kFast,
     "normalize_index($self, index)\n--\n\n"
     "The position index names, a negative one counted from the end; IndexError outside the list."},
    {"__getstate__", as_cfunction(wrap<TrackedList_getstate>), kFast, "__getstate__($self)\n--\n\n"
     "The view's fields (data, tx, path), for copy and pickle."},
    {"__getnewargs__", as_cfunction(wrap<TrackedList_getnewargs>), kFast, "__getnewargs__($self)\n--\n\n"
     "The constructor arguments (data, tx, path), for copy and pickle."},
    {"__setstate__", as_cfunction(wrap<TrackedList_setstate>), kFast, "__setstate__($self, state)\n--\n\n"
     "Set the view's fields from a (data, tx, path) tuple."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot TrackedList_slots[] = {
    {Py_tp_doc, const_cast<char*>("TrackedList(data, tx, path)\n--\n\n"
                                      "A list view that records item writes, append and pop in the transaction tx;\n"
                                      "a nested list or dict is read as a tracked view over its shadow.")},
    {Py_tp_new, reinterpret_cast<void*>(wrap<TrackedList_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(containers::Tracked_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(containers::Tracked_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(containers::Tracked_clear)},
    {Py_tp_str, reinterpret_cast<void*>(wrap<containers::data_str<TrackedObject>>)},
    {Py_tp_iter, reinterpret_cast<void*>(wrap<containers::data_iter<TrackedObject>>)},
    {Py_mp_subscript, reinterpret_cast<void*>(wrap<TrackedList_subscript>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(wrap<TrackedList_ass_subscript>)},
    {Py_mp_length, reinterpret_cast<void*>(wrap<containers::data_length<TrackedObject>>)},
    {Py_sq_contains, reinterpret_cast<void*>(wrap<containers::list_contains<TrackedObject>>)},
    {Py_tp_methods, TrackedList_methods},
    {0, nullptr},
};

PyType_Spec TrackedList_spec = {"kestu_core.TrackedList", sizeof(TrackedObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, TrackedList_slots};

}  // namespace

const ClassDef TrackedList_class = {"TrackedList", &TrackedList_spec, &TrackedList_Type, nullptr};

}  // namespace kestu
