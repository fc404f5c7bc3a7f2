// ContextGuard: reads and writes of the context checked against the
// process's declared paths, writes logged into the run's transaction, and
// every value read handed out wrapped (apply_guard).
#include "guard.hpp"

#include <new>
#include <string>
#include <string_view>

#include "../delta/transaction.hpp"
#include "../structures/frozen.hpp"
#include "../structures/tracked.hpp"
#include "../support/args.hpp"
#include "../support/error.hpp"
#include "../support/names.hpp"
#include "../support/probe.hpp"
#include "../support/shared.hpp"
#include "../support/text.hpp"
#include "../support/use.hpp"
#include "../zones/zone.hpp"

namespace kestu {

PyTypeObject* ContextGuard_Type = nullptr;

namespace {

// Immutable after construction; nested guards share their parent's.
struct Contract {
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
};
using ContractRef = Shared<Contract>;

struct GuardObject {
    PyObject_HEAD
    ContractRef contract;
    std::string path_prefix;
    Ref target;
    Ref tx;  // empty: no logging, no shadowing
    bool is_admin;
    bool strict_mode;
};

GuardObject* as_guard(PyObject* o) { return reinterpret_cast<GuardObject*>(o); }
bool is_guard(PyObject* o) { return Py_TYPE(o) == ContextGuard_Type; }

// -- paths and permissions ---------------------------------------------------

// D covers P: equal, P an ancestor of D, or P inside / an element of D.
bool covers(std::string_view declared, std::string_view path) {
    if (declared.size() == path.size()) return declared == path;
    if (declared.size() > path.size())
        return declared[path.size()] == '.' && declared.starts_with(path);
    char next = path[declared.size()];
    return (next == '.' || next == '[') && path.starts_with(declared);
}

bool any_covers(const std::vector<std::string>& declared, std::string_view path) {
    for (const std::string& d : declared)
        if (covers(d, path)) return true;
    return false;
}

bool permitted(const GuardObject* g, std::string_view path, bool is_write) {
    if (g->is_admin) return true;
    if (!is_write && any_covers(g->contract->inputs, path)) return true;
    return any_covers(g->contract->outputs, path);
}

void check_permissions(const GuardObject* g, std::string_view path, bool is_write) {
    if (permitted(g, path, is_write)) return;
    std::string msg = is_write ? "Illegal Write: '" : "Illegal Read: '";
    msg.append(path);
    msg += "'";
    throw_error(PyExc_PermissionError, msg);
}

// The full path of attribute `name`; `buffer` keeps the text when one is built.
std::string_view full_path(const GuardObject* g, std::string_view name, std::string& buffer) {
    if (g->path_prefix.empty()) return name;
    buffer.reserve(g->path_prefix.size() + 1 + name.size());
    buffer.assign(g->path_prefix);
    buffer += '.';
    buffer.append(name);
    return buffer;
}

// "[i]" when the key is a 64-bit integer (then true), else nothing.
bool integer_key_path(const GuardObject* g, PyObject* key, std::string& out) {
    if (PyUnicode_CheckExact(key)) return false;  // never an integer; subclasses may define __index__
    long i = PyLong_AsLong(key);
    if (i == -1 && PyErr_Occurred()) {
        discard_ordinary_error();
        return false;
    }
    out = g->path_prefix;
    out += '[';
    out += std::to_string(i);
    out += ']';
    return true;
}

Ref make_guard(PyTypeObject* type, const ContractRef& contract, std::string prefix, PyObject* target,
               PyObject* tx, bool is_admin, bool strict_mode) {
    Ref self = check(type->tp_alloc(type, 0));
    GuardObject* g = as_guard(self.get());
    new (&g->contract) ContractRef(contract);
    new (&g->path_prefix) std::string(std::move(prefix));
    new (&g->target) Ref(Ref::borrow(target));
    new (&g->tx) Ref(Ref::borrow(tx));
    g->is_admin = is_admin;
    g->strict_mode = strict_mode;
    return self;
}

// -- value wrapping ----------------------------------------------------------

bool plain_scalar(PyObject* v) {
    return PyLong_CheckExact(v) || PyUnicode_CheckExact(v) || PyBool_Check(v) || PyFloat_CheckExact(v) ||
           v == Py_None;
}

Ref shadow_of(GuardObject* g, PyObject* value, std::string_view path) {
    NativeExclusiveUse use(g->tx.get(), transaction_use(g->tx.get()));
    return get_shadow(g->tx.get(), value, path);
}

// What a permitted read of `value` at `path` hands out.
PyObject* apply_guard(GuardObject* g, Ref value, std::string_view path) {
    PyObject* v = value.get();
    if (plain_scalar(v)) return value.release();
    std::string storage;
    std::string_view name = type_name_view(v, storage);
    if (name == "int" || name == "str" || name == "bool" || name == "float" || name == "NoneType")
        return value.release();
    if (PyCallable_Check(v) || !g->tx) return value.release();
    bool is_list = name == "list";
    if (is_list || name == "dict") {
        Ref shadow = shadow_of(g, v, path);
        bool writable = permitted(g, path, true);
        if (is_list) {
            require_list(shadow.get(), nullptr);
            return (writable ? make_tracked_list(shadow.get(), g->tx.get(), path) : make_frozen_list(shadow.get()))
                .release();
        }
        require_dict(shadow.get(), nullptr);
        return (writable ? make_tracked_dict(shadow.get(), g->tx.get(), path) : make_frozen_dict(shadow.get()))
            .release();
    }
    Ref shadow = shadow_of(g, v, path);
    return make_guard(ContextGuard_Type, g->contract, std::string(path), shadow.get(), g->tx.get(), g->is_admin,
                      g->strict_mode)
        .release();
}

// -- the read and write rules ------------------------------------------------

PyObject* read_attribute(GuardObject* g, PyObject* name) {
    std::string_view n = to_utf8(name, nullptr);
    if (!n.empty() && n[0] == '_') {
        if (g->strict_mode)
            throw_error(PyExc_PermissionError,
                        "Access to private attribute '" + std::string(n) + "' denied in Strict Mode");
        return check(PyObject_GetAttr(g->target.get(), name)).release();
    }
    std::string buffer;
    std::string_view path = full_path(g, n, buffer);
    check_permissions(g, path, false);
    Ref value = check(PyObject_GetAttr(g->target.get(), name));
    return apply_guard(g, std::move(value), path);
}

// Storing a guard stores the object it wraps; anything else is stored as is.
PyObject* unwrap(PyObject* value) { return is_guard(value) ? as_guard(value)->target.get() : value; }

void write_attribute(GuardObject* g, PyObject* name, PyObject* value) {
    std::string_view n = to_utf8(name, nullptr);
    std::string buffer;
    std::string_view path = full_path(g, n, buffer);
    check_permissions(g, path, true);
    PyObject* target = g->target.get();
    Ref keep_target = g->target.dup();
    Ref old = Ref::steal(PyObject_GetAttr(target, name));
    if (!old) discard_ordinary_error();
    Ref stored = Ref::borrow(unwrap(value));
    if (g->tx && resolve_zone(n) != ContextZone::Heavy) {
        PyObject* tx = g->tx.get();
        NativeExclusiveUse use(tx, transaction_use(tx));
        log_internal(tx, std::string(path), "SET", stored.dup(), std::move(old), keep_target.dup(), std::string(n));
    }
    check_status(PyObject_SetAttr(target, name, stored.get()));
}

// -- Python surface ----------------------------------------------------------

PyObject* ContextGuard_getattro_impl(PyObject* self, PyObject* name) {
    if (!PyUnicode_Check(name)) return PyObject_GenericGetAttr(self, name);  // raises the usual TypeError
    // The class's own members first. Its dict is fixed and holds only
    // names beginning with "_", as does object's, so any other name goes
    // straight to the guard's rule without a failed lookup.
    if (PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == '_') {
        if (type_defines(Py_TYPE(self), name)) {
            if (PyObject* r = PyObject_GenericGetAttr(self, name)) return r;
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py_error{};
            PyErr_Clear();
        }
    }
    return read_attribute(as_guard(self), name);
}

int ContextGuard_setattro_impl(PyObject* self, PyObject* name, PyObject* value) {
    if (!value) throw_error(PyExc_AttributeError, "can't delete attribute");
    if (!PyUnicode_Check(name)) return PyObject_GenericSetAttr(self, name, value);
    write_attribute(as_guard(self), name, value);
    return 0;
}

PyObject* ContextGuard_getitem_impl(PyObject* self, PyObject* key) {
    GuardObject* g = as_guard(self);
    Ref target = g->target.dup();
    Ref value = Ref::steal(PyObject_GetItem(target.get(), key));
    if (!value) {
        if (PyUnicode_Check(key)) {
            discard_ordinary_error();
            return read_attribute(g, key);
        }
        discard_ordinary_error();
        return PyObject_GetItem(target.get(), key);  // its outcome, unchecked and unwrapped
    }
    std::string path;
    if (!integer_key_path(g, key, path)) {
        std::string text = object_text(key);
        if (g->path_prefix.empty()) {
            path = std::move(text);
        } else {
            path = g->path_prefix;
            path += '.';
            path += text;
        }
    }
    check_permissions(g, path, false);
    return apply_guard(g, std::move(value), path);
}

int ContextGuard_setitem_impl(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) throw_error(PyExc_NotImplementedError, "can't delete item");
    GuardObject* g = as_guard(self);
    if (PyUnicode_Check(key)) {
        write_attribute(g, key, value);
        return 0;
    }
    std::string path;
    std::string key_text;
    if (!integer_key_path(g, key, path)) {
        key_text = object_text(key);
        path = g->path_prefix;
        path += '.';
        path += key_text;
    }
    check_permissions(g, path, true);
    Ref target = g->target.dup();
    Ref stored = Ref::borrow(unwrap(value));
    Ref old = Ref::steal(PyObject_GetItem(target.get(), key));
    if (!old) discard_ordinary_error();
    if (g->tx) {
        if (key_text.empty() && !PyUnicode_Check(key)) key_text = object_text(key);
        PyObject* tx = g->tx.get();
        NativeExclusiveUse use(tx, transaction_use(tx));
        log_internal(tx, path, "SET_ITEM", stored.dup(), std::move(old), target.dup(), std::move(key_text));
    }
    return check_status(PyObject_SetItem(target.get(), key, stored.get()));
}

PyObject* ContextGuard_iter_impl(PyObject* self) {
    Ref target = as_guard(self)->target.dup();
    return PyObject_CallMethodNoArgs(target.get(), KNAME("__iter__"));
}

int ContextGuard_contains_impl(PyObject* self, PyObject* key) {
    Ref target = as_guard(self)->target.dup();
    return PySequence_Contains(target.get(), key);
}

PyObject* ContextGuard_get_target(PyObject* self, void*) { return as_guard(self)->target.dup().release(); }

PyObject* ContextGuard_new_impl(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"ContextGuard",
                               {{"target", true}, {"inputs", true}, {"outputs", true}, {"tx", true},
                                {"is_admin", false}, {"strict_mode", false}}};
    PyObject* a[6];
    parse_args(sig, args, kwargs, a);
    std::vector<std::string> inputs = to_str_vec(a[1], "inputs");
    std::vector<std::string> outputs = to_str_vec(a[2], "outputs");
    PyObject* tx = a[3] == Py_None ? nullptr : a[3];
    if (tx) require_type(tx, Transaction_Type, "Transaction", "tx");
    bool is_admin = a[4] ? to_bool(a[4], "is_admin") : false;
    bool strict_mode = a[5] ? to_bool(a[5], "strict_mode") : false;
    return ContextGuard::new_internal(a[0], std::move(inputs), std::move(outputs), tx, is_admin, strict_mode)
        .release();
}

int ContextGuard_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_guard(self)->target.get());
    Py_VISIT(as_guard(self)->tx.get());
    return 0;
}

int ContextGuard_clear(PyObject* self) {
    as_guard(self)->target.reset();
    as_guard(self)->tx.reset();
    return 0;
}

void ContextGuard_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Long chains of releases unwind iteratively, not on the C stack.
    Py_TRASHCAN_BEGIN(self, ContextGuard_dealloc)
    ContextGuard_clear(self);
    GuardObject* g = as_guard(self);
    g->contract.~ContractRef();
    g->path_prefix.~basic_string();
    g->target.~Ref();
    g->tx.~Ref();
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

PyGetSetDef ContextGuard_getset[] = {
    {"_target", ContextGuard_get_target, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ContextGuard_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(wrap<ContextGuard_new_impl>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ContextGuard_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ContextGuard_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ContextGuard_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(wrap<ContextGuard_getattro_impl>)},
    {Py_tp_setattro, reinterpret_cast<void*>(wrap<ContextGuard_setattro_impl>)},
    {Py_mp_subscript, reinterpret_cast<void*>(wrap<ContextGuard_getitem_impl>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(wrap<ContextGuard_setitem_impl>)},
    {Py_tp_iter, reinterpret_cast<void*>(wrap<ContextGuard_iter_impl>)},
    {Py_sq_contains, reinterpret_cast<void*>(wrap<ContextGuard_contains_impl>)},
    {Py_tp_getset, ContextGuard_getset},
    {Py_tp_doc, const_cast<char*>("ContextGuard(target, inputs, outputs, tx, is_admin=False, strict_mode=False)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec ContextGuard_spec = {"kestu_core.ContextGuard", sizeof(GuardObject), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, ContextGuard_slots};

// Full Unicode upper-case mapping, so "ſig" and "sıg" read as "SIG".
std::string upper(std::string_view text) {
    bool ascii = true;
    for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        std::string out(text);
        for (char& c : out)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        return out;
    }
    Ref s = check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
    Ref up = check(PyObject_CallMethodNoArgs(s.get(), KNAME("upper")));
    return utf8_lossy(up.get());
}

}  // namespace

const ClassDef ContextGuard_class = {"ContextGuard", &ContextGuard_spec, &ContextGuard_Type, nullptr};

Ref ContextGuard::new_internal(PyObject* target, std::vector<std::string> inputs, std::vector<std::string> outputs,
                               PyObject* tx, bool is_admin, bool strict_mode) {
    if (strict_mode) {
        for (const std::string& input : inputs) {
            std::string_view root = std::string_view(input).substr(0, input.find('.'));
            std::string up = upper(root);
            if (up == "META" || up == "SIG" || up == "CMD")
                throw_error(PyExc_PermissionError, "SECURITY VIOLATION: Using Control Plane '" + std::string(root) +
                                                       "' as input is forbidden in Strict Mode.");
        }
    }
    ContractRef contract = ContractRef::make(Contract{std::move(inputs), std::move(outputs)});
    return make_guard(ContextGuard_Type, contract, std::string(), target, tx, is_admin, strict_mode);
}

}  // namespace kestu
