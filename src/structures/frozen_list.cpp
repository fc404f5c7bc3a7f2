// FrozenList: a read-only view over a list; nested lists and
// dicts are handed out as new frozen views over the same objects.
#include <cstdint>

#include "../support/args.hpp"
#include "../support/error.hpp"
#include "container_common.hpp"
#include "frozen.hpp"

namespace kestu {

PyTypeObject* FrozenList_Type = nullptr;

namespace {

using containers::FrozenObject;
using containers::Kind;

// The wrapped list (new reference); it never changes after construction.
Ref data_of(PyObject* self) { return containers::fields_of<FrozenObject>(self)->data.dup(); }

PyObject* FrozenList_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"FrozenList", {{"data", true}}};
    PyObject* a[1];
    parse_args(sig, args, kwargs, a);
    require_list(a[0], "data");
    auto* o = containers::alloc_object<FrozenObject>(type);
    o->data = Ref::borrow(a[0]);
    return reinterpret_cast<PyObject*>(o);
}

// A negative index counts from the end, as in TrackedList: clamping it to 0
// would quietly hand out the first item for view[-1].
PyObject* FrozenList_subscript(PyObject* self, PyObject* index) {
    Ref data = data_of(self);
    int64_t i = to_i64(index, "index");
    const Py_ssize_t len = PyList_GET_SIZE(data.get());  // after __index__ ran
    if (i < 0) i += len;
    if (i < 0 || i >= len) containers::throw_list_index();
    Ref item = Ref::borrow(PyList_GET_ITEM(data.get(), static_cast<Py_ssize_t>(i)));
    switch (containers::kind_of(item.get())) {
        case Kind::List:
            require_list(item.get(), nullptr);
            return make_frozen_list(item.get()).release();
        case Kind::Dict:
            require_dict(item.get(), nullptr);
            return make_frozen_dict(item.get()).release();
        case Kind::Other:
            break;
    }
    return item.release();
}

int FrozenList_ass_subscript(PyObject* self, PyObject* index, PyObject* value) {
    data_of(self);
    if (!value) containers::throw_cannot_delete();
    to_i64(index, "_index");
    throw_type_error("'FrozenList' object does not support item assignment");
}

PyObject* FrozenList_str(PyObject* self) {
    Ref data = data_of(self);
    Ref text = check(PyObject_Str(data.get()));
    return check(PyUnicode_FromFormat("FrozenList(%U)", text.get())).release();
}

PyObject* FrozenList_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"FrozenList.append", {{"_value", true}}};
    PyObject* a[1];
    parse_args(sig, args, nargs, kwnames, a);
    data_of(self);
    throw_type_error("'FrozenList' object is immutable");
}

PyMethodDef FrozenList_methods[] = {
    {"append", as_cfunction(wrap<FrozenList_append>), METH_FASTCALL | METH_KEYWORDS,
     "append($self, _value)\n--\n\n"
     "Always raises TypeError: the view is read-only."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FrozenList_slots[] = {
    {Py_tp_doc, const_cast<char*>("FrozenList(data)\n--\n\n"
                                      "A read-only view over a list; a nested list or dict is read as a frozen view.")},
    {Py_tp_new, reinterpret_cast<void*>(wrap<FrozenList_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(containers::Frozen_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(containers::Frozen_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(containers::Frozen_clear)},
    {Py_tp_str, reinterpret_cast<void*>(wrap<FrozenList_str>)},
    {Py_tp_iter, reinterpret_cast<void*>(wrap<containers::data_iter<FrozenObject>>)},
    {Py_mp_subscript, reinterpret_cast<void*>(wrap<FrozenList_subscript>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(wrap<FrozenList_ass_subscript>)},
    {Py_mp_length, reinterpret_cast<void*>(wrap<containers::data_length<FrozenObject>>)},
    {Py_sq_contains, reinterpret_cast<void*>(wrap<containers::list_contains<FrozenObject>>)},
    {Py_tp_methods, FrozenList_methods},
    {0, nullptr},
};

PyType_Spec FrozenList_spec = {"kestu_core.FrozenList", sizeof(FrozenObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, FrozenList_slots};

}  // namespace

Ref make_frozen_list(PyObject* data) {
    auto* o = containers::alloc_object<FrozenObject>(FrozenList_Type);
    o->data = Ref::borrow(data);
    return Ref::steal(reinterpret_cast<PyObject*>(o));
}

const ClassDef FrozenList_class = {"FrozenList", &FrozenList_spec, &FrozenList_Type, nullptr};

}  // namespace kestu
