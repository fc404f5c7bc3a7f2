#pragma once
// Pieces shared by the four container classes: the object layouts, the
// exact-type-name dispatch, the delta entries they log and the GC slots.
//
// Invariants:
//  * A tracked wrapper's fields change only inside __setstate__ (exclusive
//    use of the wrapper) or tp_clear; every other method holds shared use,
//    and still takes its own strong references to the fields it uses,
//    because user code (hashes, comparisons, copy hooks, finalisers) runs in
//    the middle of almost every operation.
//  * A frozen view's field never changes after construction (except by
//    tp_clear), so its methods only take a strong reference to it.
//  * Fields are null only before construction finished or after tp_clear;
//    `fields_of` refuses such an object instead of dereferencing null.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "../delta/transaction.hpp"
#include "../support/args.hpp"
#include "../support/child_path.hpp"
#include "../support/error.hpp"
#include "../support/freelist.hpp"
#include "../support/ref.hpp"
#include "../support/text.hpp"
#include "../support/use.hpp"

namespace kestu::containers {

struct TrackedObject {
    PyObject_HEAD
    Ref data;  // list / dict (or subclass)
    Ref tx;    // Transaction
    Ref path;  // str (or subclass): the object given, kept for __getstate__
    UseFlag use;
};

struct FrozenObject {
    PyObject_HEAD
    Ref data;  // list / dict (or subclass)
};

// How a nested value is handed out: by the exact text of type(v).__name__,
// never by a subclass test, so an OrderedDict passes raw.
enum class Kind { Other, List, Dict };

inline Kind kind_of(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    // Exact built-in types cannot be renamed: answer without reading names.
    if (t == &PyDict_Type) return Kind::Dict;
    if (t == &PyList_Type) return Kind::List;
    if (t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyBool_Type ||
        t == &PyTuple_Type || v == Py_None || t == &PyBytes_Type)
        return Kind::Other;
    const std::string name = type_name(v);  // may run a metaclass's __name__
    if (name == "list") return Kind::List;
    if (name == "dict") return Kind::Dict;
    return Kind::Other;
}

// The delta entry of a write or delete of `key` in a dict at `path`. When
// str(key) is fixed by the key's value (an exact str, an exact int of one
// machine word) the child path is built only if someone asks for it;
// otherwise it is built now, since str(key) may run user code.
inline DeltaEntry dict_child_entry(DeltaOp op, PyObject* path, PyObject* key) {
    DeltaEntry e;
    e.op = op;
    bool fixed_text = PyUnicode_CheckExact(key);
    if (!fixed_text && PyLong_CheckExact(key)) {
        int overflow = 0;
        (void)PyLong_AsLongAndOverflow(key, &overflow);
        fixed_text = overflow == 0;
    }
    if (fixed_text) {
        e.form = DeltaEntry::Form::DictChild;
        e.key = Ref::borrow(key);
        e.base = Ref::borrow(path);
    } else {
        e.form = DeltaEntry::Form::Text;
        e.base = new_str(dict_child_path(path, key));
    }
    return e;
}

// The delta entry of position `pos` of a list at `path`.
inline DeltaEntry list_child_entry(DeltaOp op, PyObject* path, Py_ssize_t pos) {
    DeltaEntry e;
    e.op = op;
    if (static_cast<size_t>(pos) <= UINT32_MAX) {
        e.form = DeltaEntry::Form::ListChild;
        e.base = Ref::borrow(path);
        e.index = static_cast<uint32_t>(pos);
    } else {
        e.form = DeltaEntry::Form::Text;
        e.base = new_str(list_child_path(path, pos));
    }
    return e;
}

// The delta entry of an operation on a whole list at `path`.
inline DeltaEntry whole_entry(DeltaOp op, PyObject* path, Ref value) {
    DeltaEntry e;
    e.op = op;
    e.form = DeltaEntry::Form::Whole;
    e.base = Ref::borrow(path);
    e.value = std::move(value);
    return e;
}

// KeyError whose argument is the key's text, not the key.
[[noreturn]] inline void throw_key_error(PyObject* key) { throw_error(PyExc_KeyError, object_text(key)); }

[[noreturn]] inline void throw_cannot_delete() { throw_error(PyExc_NotImplementedError, "can't delete item"); }

[[noreturn]] inline void throw_list_index() { throw_error(PyExc_IndexError, "list index out of range"); }

// --- allocation and GC -----------------------------------------------------

// Every nested read makes a wrapper: their memory is reused.
inline FreeList<16>& wrapper_memory() {
    static FreeList<16> memory;
    return memory;
}

// A new, GC-tracked object of `type` with its C++ members constructed.
template <typename T>
inline T* alloc_object(PyTypeObject* type) {
    PyObject* raw = wrapper_memory().alloc(type);
    if (!raw) throw py_error{};
    T* o = reinterpret_cast<T*>(raw);
    new (&o->data) Ref();
    if constexpr (std::is_same_v<T, TrackedObject>) {
        new (&o->tx) Ref();
        new (&o->path) Ref();
        new (&o->use) UseFlag();
    }
    return o;
}

template <typename T>
inline T* fields_of(PyObject* self) {
    T* o = reinterpret_cast<T*>(self);
    bool live = static_cast<bool>(o->data);
    if constexpr (std::is_same_v<T, TrackedObject>) live = live && o->tx && o->path;
    if (!live) throw_internal_error("container used after its references were cleared");
    return o;
}

// A strong reference to a container's data for one call; a tracked
// wrapper is held in shared use meanwhile, since only __setstate__ (under
// exclusive use) may swap its fields.
template <typename T>
class DataAccess {
public:
    explicit DataAccess(PyObject* self) {
        T* o = fields_of<T>(self);
        if constexpr (std::is_same_v<T, TrackedObject>) use_.emplace(self, o->use);
        data_ = o->data.dup();
    }
    PyObject* get() const noexcept { return data_.get(); }

private:
    std::optional<SharedUse> use_;
    Ref data_;
};

// Slots that only forward to the data, shared by the four classes.
// The real size, as indexing uses: a subclass's __len__ may say otherwise.
template <typename T>
Py_ssize_t data_length(PyObject* self) {
    DataAccess<T> data(self);
    return PyList_Check(data.get()) ? PyList_GET_SIZE(data.get()) : PyDict_GET_SIZE(data.get());
}

template <typename T>
PyObject* data_iter(PyObject* self) {
    DataAccess<T> data(self);
    return check(PyObject_GetIter(data.get())).release();
}

template <typename T>
int dict_contains(PyObject* self, PyObject* key) {
    DataAccess<T> data(self);
    return check_status(PyDict_Contains(data.get(), key));
}

template <typename T>
int list_contains(PyObject* self, PyObject* item) {
    DataAccess<T> data(self);
    return check_status(PySequence_Contains(data.get(), item));
}

// str(data), with no class name around it.
template <typename T>
PyObject* data_str(PyObject* self) {
    DataAccess<T> data(self);
    return check(PyObject_Str(data.get())).release();
}

// keys()/items()/values(): new lists of the raw stored objects.
template <typename T, PyObject* (*Listing)(PyObject*)>
PyObject* dict_listing(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 0 || (kwnames && PyTuple_GET_SIZE(kwnames) > 0)) {
        const char* method = Listing == &PyDict_Keys ? "keys" : Listing == &PyDict_Items ? "items" : "values";
        parse_no_args((std::string(Py_TYPE(self)->tp_name) + "." + method).c_str(), nargs, kwnames);
    }
    DataAccess<T> data(self);
    return check(Listing(data.get())).release();
}


inline int Tracked_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* o = reinterpret_cast<TrackedObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(o->data.get());
    Py_VISIT(o->tx.get());
    Py_VISIT(o->path.get());  // a str subclass instance can sit in a cycle
    return 0;
}

inline int Tracked_clear(PyObject* self) {
    auto* o = reinterpret_cast<TrackedObject*>(self);
    o->data.reset();
    o->tx.reset();
    o->path.reset();
    return 0;
}

inline void destroy_tracked(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Tracked_clear(self);
    auto* o = reinterpret_cast<TrackedObject*>(self);
    o->data.~Ref();
    o->tx.~Ref();
    o->path.~Ref();
    o->use.~UseFlag();
    wrapper_memory().release(self);
    Py_DECREF(type);
}

inline void Tracked_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    auto* o = reinterpret_cast<TrackedObject*>(self);
    if (release_is_shallow(o->data.get()) && release_is_shallow(o->tx.get()) && release_is_shallow(o->path.get()))
        return destroy_tracked(self);
    // Long chains of releases unwind iteratively, not on the C stack.
    Py_TRASHCAN_BEGIN(self, Tracked_dealloc)
    destroy_tracked(self);
    Py_TRASHCAN_END
}

inline int Frozen_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<FrozenObject*>(self)->data.get());
    return 0;
}

inline int Frozen_clear(PyObject* self) {
    reinterpret_cast<FrozenObject*>(self)->data.reset();
    return 0;
}

inline void destroy_frozen(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Frozen_clear(self);
    reinterpret_cast<FrozenObject*>(self)->data.~Ref();
    wrapper_memory().release(self);
    Py_DECREF(type);
}

inline void Frozen_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (release_is_shallow(reinterpret_cast<FrozenObject*>(self)->data.get())) return destroy_frozen(self);
    // Long chains of releases unwind iteratively, not on the C stack.
    Py_TRASHCAN_BEGIN(self, Frozen_dealloc)
    destroy_frozen(self);
    Py_TRASHCAN_END
}

// --- copy protocol of the tracked wrappers ---------------------------------

// (data, tx, path): the field objects themselves (new reference).
inline PyObject* tracked_state(PyObject* self) {
    auto* o = fields_of<TrackedObject>(self);
    SharedUse use(self, o->use);
    return check(PyTuple_Pack(3, o->data.get(), o->tx.get(), o->path.get())).release();
}

// __setstate__((data, tx, path)): each step takes effect at once, so a
// failing step leaves the earlier ones in place. Exclusive use of the
// wrapper: a finaliser run by releasing an old field cannot see a wrapper
// halfway through.
inline void tracked_setstate(PyObject* self, PyObject* state, bool list) {
    auto* o = reinterpret_cast<TrackedObject*>(self);
    ExclusiveUse use(self, o->use);
    require_tuple(state, nullptr);
    PyObject* item = PyTuple_GetItem(state, 0);  // borrowed; the tuple's own IndexError
    if (!item) throw py_error{};
    if (list) require_list(item, nullptr);
    else require_dict(item, nullptr);
    o->data = Ref::borrow(item);
    item = PyTuple_GetItem(state, 1);
    if (!item) throw py_error{};
    require_type(item, Transaction_Type, "Transaction", nullptr);
    o->tx = Ref::borrow(item);
    item = PyTuple_GetItem(state, 2);
    if (!item) throw py_error{};
    if (!PyUnicode_Check(item)) throw_conversion_error(item, "PyString", nullptr);
    o->path = Ref::borrow(item);
}

// Constructor arguments checked in parameter order; returns the
// new wrapper (new reference).
inline PyObject* tracked_new(PyTypeObject* type, PyObject* data, PyObject* tx, PyObject* path, bool list) {
    if (list) require_list(data, "data");
    else require_dict(data, "data");
    require_type(tx, Transaction_Type, "Transaction", "tx");
    if (!PyUnicode_Check(path)) throw_conversion_error(path, "PyString", "path");
    auto* o = alloc_object<TrackedObject>(type);
    o->data = Ref::borrow(data);
    o->tx = Ref::borrow(tx);
    o->path = Ref::borrow(path);
    return reinterpret_cast<PyObject*>(o);
}

// The same from native callers.
inline Ref tracked_make(PyTypeObject* type, PyObject* data, PyObject* tx, Ref path) {
    auto* o = alloc_object<TrackedObject>(type);
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(o));
    o->data = Ref::borrow(data);
    o->tx = Ref::borrow(tx);
    o->path = std::move(path);
    return result;
}

}  // namespace kestu::containers
