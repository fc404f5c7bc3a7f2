// FrozenDict: a read-only view over a dict; nested lists and
// dicts are handed out as new frozen views over the same objects.
#include "../support/args.hpp"
#include "../support/error.hpp"
#include "container_common.hpp"
#include "frozen.hpp"

namespace kestu {

PyTypeObject* FrozenDict_Type = nullptr;

namespace {

using containers::FrozenObject;
using containers::Kind;

// The wrapped dict (new reference); it never changes after construction.
Ref data_of(PyObject* self) { return containers::fields_of<FrozenObject>(self)->data.dup(); }

// The value itself, or a new frozen view over it (new reference).
Ref wrap_value(Ref value) {
    switch (containers::kind_of(value.get())) {
        case Kind::List:
            require_list(value.get(), nullptr);
            return make_frozen_list(value.get());
        case Kind::Dict:
            require_dict(value.get(), nullptr);
            return make_frozen_dict(value.get());
        case Kind::Other:
            break;
    }
    return value;
}

Ref read_item(PyObject* data, PyObject* key) {
    Ref value = Ref::borrow(PyDict_GetItemWithError(data, key));
    if (!value) {
        if (PyErr_Occurred()) throw py_error{};
        containers::throw_key_error(key);
    }
    return wrap_value(std::move(value));
}

PyObject* FrozenDict_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"FrozenDict", {{"data", true}}};
    PyObject* a[1];
    parse_args(sig, args, kwargs, a);
    require_dict(a[0], "data");
    auto* o = containers::alloc_object<FrozenObject>(type);
    o->data = Ref::borrow(a[0]);
    return reinterpret_cast<PyObject*>(o);
}

PyObject* FrozenDict_subscript(PyObject* self, PyObject* key) {
    Ref data = data_of(self);
    return read_item(data.get(), key).release();
}

int FrozenDict_ass_subscript(PyObject* self, PyObject*, PyObject* value) {
    data_of(self);
    if (!value) containers::throw_cannot_delete();
    throw_type_error("'FrozenDict' object does not support item assignment");
}

PyObject* FrozenDict_str(PyObject* self) {
    Ref data = data_of(self);
    Ref text = check(PyObject_Str(data.get()));
    return check(PyUnicode_FromFormat("FrozenDict(%U)", text.get())).release();
}

PyObject* FrozenDict_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"FrozenDict.get", {{"key", true}, {"default", false}}};
    PyObject* a[2];
    parse_args(sig, args, nargs, kwnames, a);
    Ref data = data_of(self);
    if (check_status(PyDict_Contains(data.get(), a[0]))) return read_item(data.get(), a[0]).release();
    return Ref::borrow(a[1] ? a[1] : Py_None).release();
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef FrozenDict_methods[] = {
    {"get", as_cfunction(wrap<FrozenDict_get>), kFast, "get($self, key, default=None)\n--\n\n"
     "self[key] when key is present, else default."},
    {"keys", as_cfunction(wrap<containers::dict_listing<FrozenObject, &PyDict_Keys>>), kFast, "keys($self)\n--\n\n"
     "A new list of the keys."},
    {"items", as_cfunction(wrap<containers::dict_listing<FrozenObject, &PyDict_Items>>), kFast, "items($self)\n--\n\n"
     "A new list of the (key, value) pairs, values as stored."},
    {"values", as_cfunction(wrap<containers::dict_listing<FrozenObject, &PyDict_Values>>), kFast, "values($self)\n--\n\n"
     "A new list of the values, as stored."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FrozenDict_slots[] = {
    {Py_tp_doc, const_cast<char*>("FrozenDict(data)\n--\n\n"
                                      "A read-only view over a dict; a nested list or dict is read as a frozen view.")},
    {Py_tp_new, reinterpret_cast<void*>(wrap<FrozenDict_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(containers::Frozen_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(containers::Frozen_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(containers::Frozen_clear)},
    {Py_tp_str, reinterpret_cast<void*>(wrap<FrozenDict_str>)},
    {Py_tp_iter, reinterpret_cast<void*>(wrap<containers::data_iter<FrozenObject>>)},
    {Py_mp_subscript, reinterpret_cast<void*>(wrap<FrozenDict_subscript>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(wrap<FrozenDict_ass_subscript>)},
    {Py_mp_length, reinterpret_cast<void*>(wrap<containers::data_length<FrozenObject>>)},
    {Py_sq_contains, reinterpret_cast<void*>(wrap<containers::dict_contains<FrozenObject>>)},
    {Py_tp_methods, FrozenDict_methods},
    {0, nullptr},
};

PyType_Spec FrozenDict_spec = {"kestu_core.FrozenDict", sizeof(FrozenObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, FrozenDict_slots};

}  // namespace

Ref make_frozen_dict(PyObject* data) {
    auto* o = containers::alloc_object<FrozenObject>(FrozenDict_Type);
    o->data = Ref::borrow(data);
    return Ref::steal(reinterpret_cast<PyObject*>(o));
}

const ClassDef FrozenDict_class = {"FrozenDict", &FrozenDict_spec, &FrozenDict_Type, nullptr};

}  // namespace kestu
