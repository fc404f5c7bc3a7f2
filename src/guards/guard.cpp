// ContextGuard: reads and writes of the context checked against the
// process's declared paths, writes logged into the run's transaction, and
// every value read handed out wrapped (apply_guard).
#include "guard.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "../delta/transaction.hpp"
#include "../structures/frozen.hpp"
#include "../structures/tracked.hpp"
#include "../support/args.hpp"
#include "../support/compat.hpp"
#include "../support/error.hpp"
#include "../support/freelist.hpp"
#include "../support/names.hpp"
#include "../support/probe.hpp"
#include "../support/shared.hpp"
#include "../support/text.hpp"
#include "../support/use.hpp"
#include "../zones/zone.hpp"

namespace kestu {

PyTypeObject* ContextGuard_Type = nullptr;

namespace {

struct GuardObject {
    PyObject_HEAD
    Paths inputs;   // compiled, shared with nested guards and other runs
    Paths outputs;
    Ref prefix;     // exact str, the path of `target`; empty at the root
    std::string_view prefix_text;  // its UTF-8, owned by `prefix`
    Ref target;
    Ref tx;  // empty: no logging, no shadowing
    // The last names found readable / writable (exact str): the answer for a
    // name never changes, since the lists and the prefix never do.
    Ref readable;
    Ref writable;
    // The nested guard handed out last, kept for the next read of the same
    // place: while nothing else holds it, handing it out again is the same as
    // handing out a new one over the same shadow.
    Ref child;
    bool writable_heavy;  // whether `writable` is a heavy-zone name
    bool is_admin;
    bool strict_mode;
};

FreeList<16> guard_memory;  // a nested read and a process run make one guard each

GuardObject* as_guard(PyObject* o) { return reinterpret_cast<GuardObject*>(o); }
bool is_guard(PyObject* o) { return Py_TYPE(o) == ContextGuard_Type; }

// -- paths and permissions ---------------------------------------------------

inline bool permitted(const GuardObject* g, std::string_view path, bool is_write) {
    if (g->is_admin) return true;
    if (!is_write && g->inputs->covers(path)) return true;
    return g->outputs->covers(path);
}

// A refusal is an ordinary outcome for a guard, so it is reported the C API
// way (error set, error value returned) rather than by throwing: unwinding
// would cost several times what building the exception does.
[[gnu::cold]] void set_refusal(std::string_view path, bool is_write) noexcept {
    static constexpr std::string_view kRead = "Illegal Read: '", kWrite = "Illegal Write: '";
    const std::string_view head = is_write ? kWrite : kRead;
    PyObject* msg = PyUnicode_New(static_cast<Py_ssize_t>(head.size() + path.size() + 1), 127);
    bool ascii = true;
    for (char c : path) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (msg && ascii) {
        char* at = static_cast<char*>(PyUnicode_DATA(msg));
        at = std::copy(head.begin(), head.end(), at);
        at = std::copy(path.begin(), path.end(), at);
        *at = '\'';
    } else {
        Py_XDECREF(msg);
        std::string text(head);
        text.append(path);
        text += '\'';
        msg = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    if (!msg) return;  // MemoryError is set instead
    PyErr_SetObject(PyExc_PermissionError, msg);
    Py_DECREF(msg);
}

// A path's text, on the stack unless it is long.
class PathText {
public:
    PathText() = default;
    PathText(const PathText&) = delete;
    PathText& operator=(const PathText&) = delete;
    void append(std::string_view s) {
        if (heap_ || size_ + s.size() > sizeof(small_)) {
            if (!heap_) heap_.emplace(small_, size_);
            heap_->append(s);
        } else {
            s.copy(small_ + size_, s.size());
        }
        size_ += s.size();
    }
    void append(char c) { append(std::string_view(&c, 1)); }
    std::string_view view() const noexcept { return heap_ ? std::string_view(*heap_) : std::string_view(small_, size_); }

private:
    char small_[160];
    size_t size_ = 0;
    std::optional<std::string> heap_;
};

// The full path of attribute `name`; `buffer` keeps the text when one is built.
inline std::string_view full_path(const GuardObject* g, std::string_view name, PathText& buffer) {
    if (g->prefix_text.empty()) return name;
    buffer.append(g->prefix_text);
    buffer.append('.');
    buffer.append(name);
    return buffer.view();
}

// "[i]" when the key is a 64-bit integer (then true), else nothing.
bool integer_key_path(const GuardObject* g, PyObject* key, std::string& out) {
    if (PyUnicode_CheckExact(key)) return false;  // never an integer; subclasses may define __index__
    long i = PyLong_AsLong(key);
    if (i == -1 && PyErr_Occurred()) {
        discard_ordinary_error();
        return false;
    }
    out = g->prefix_text;
    out += '[';
    out += std::to_string(i);
    out += ']';
    return true;
}

// `prefix` is an exact str, or null at the root.
Ref make_guard(PyTypeObject* type, const Paths& inputs, const Paths& outputs, Ref prefix, PyObject* target,
               PyObject* tx, bool is_admin, bool strict_mode) {
    std::string_view prefix_text;
    if (prefix) prefix_text = to_utf8(prefix.get(), nullptr);
    Ref self = check(guard_memory.alloc(type));
    GuardObject* g = as_guard(self.get());
    new (&g->inputs) Paths(inputs);
    new (&g->outputs) Paths(outputs);
    new (&g->prefix) Ref(std::move(prefix));
    new (&g->prefix_text) std::string_view(prefix_text);
    new (&g->target) Ref(Ref::borrow(target));
    new (&g->tx) Ref(Ref::borrow(tx));
    new (&g->readable) Ref();
    new (&g->writable) Ref();
    new (&g->child) Ref();
    g->writable_heavy = false;
    g->is_admin = is_admin;
    g->strict_mode = strict_mode;
    return self;
}

// -- value wrapping ----------------------------------------------------------

inline bool plain_scalar(PyObject* v) {
    return PyLong_CheckExact(v) || PyUnicode_CheckExact(v) || PyBool_Check(v) || PyFloat_CheckExact(v) ||
           v == Py_None;
}

enum class ValueKind { Raw, List, Dict, Other };

// What the exact text of type(v).__name__ says about v. Ordinary heap
// types are read from their name object without a Python-level call.
ValueKind value_kind(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyList_Type) return ValueKind::List;
    if (t == &PyDict_Type) return ValueKind::Dict;
    auto by_name = [](std::string_view name) {
        if (name == "int" || name == "str" || name == "bool" || name == "float" || name == "NoneType")
            return ValueKind::Raw;
        if (name == "list") return ValueKind::List;
        if (name == "dict") return ValueKind::Dict;
        return ValueKind::Other;
    };
    if (Py_TYPE(reinterpret_cast<PyObject*>(t)) == &PyType_Type && (t->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        // type.__name__ of a heap type, without a Python-level call.
        Ref name = Ref::steal(PyType_GetName(t));
        if (name && PyUnicode_Check(name.get()) && PyUnicode_IS_COMPACT_ASCII(name.get()))
            return by_name(std::string_view(static_cast<const char*>(PyUnicode_DATA(name.get())),
                                            static_cast<size_t>(PyUnicode_GET_LENGTH(name.get()))));
        if (!name) PyErr_Clear();  // the generic path below reports it
    }
    std::string storage;
    return by_name(type_name_view(v, storage));
}

Ref shadow_of(GuardObject* g, PyObject* value, std::string_view path) {
    PyObject* tx = g->tx.get();
    // A shadow already in the cache is found without running Python code,
    // so the transaction only has to be free; making one may run a copy hook.
    if (transaction_use(tx).busy()) throw_internal_error("Already borrowed");
    if (const ShadowPair* hit = as_transaction(tx)->shadow_cache.find(reinterpret_cast<uintptr_t>(value)))
        return hit->shadow.dup();
    NativeExclusiveUse use(tx, transaction_use(tx));
    return get_shadow(tx, value, path);
}

// What a permitted read of `value` at `path` hands out. `path_str` is the
// path as an exact str when the caller has one, else null.
PyObject* apply_guard(GuardObject* g, Ref value, std::string_view path, PyObject* path_str) {
    PyObject* v = value.get();
    if (plain_scalar(v)) return value.release();
    ValueKind kind = value_kind(v);
    if (kind == ValueKind::Raw || Py_TYPE(v)->tp_call || !g->tx) return value.release();  // callable(v)
    bool is_list = kind == ValueKind::List;
    if (is_list || kind == ValueKind::Dict) {
        Ref shadow = shadow_of(g, v, path);
        bool writable = permitted(g, path, true);
        auto path_object = [&] { return path_str ? Ref::borrow(path_str) : new_str(path); };
        if (is_list) {
            require_list(shadow.get(), nullptr);
            return (writable ? make_tracked_list(shadow.get(), g->tx.get(), path_object())
                             : make_frozen_list(shadow.get()))
                .release();
        }
        require_dict(shadow.get(), nullptr);
        return (writable ? make_tracked_dict(shadow.get(), g->tx.get(), path_object()) : make_frozen_dict(shadow.get()))
            .release();
    }
    Ref shadow = shadow_of(g, v, path);
    // The lists, the transaction and the flags of a child are the parent's:
    // the same shadow at the same path makes the same guard.
    if (PyObject* last = g->child.get(); last && Py_REFCNT(last) == 1) {
        const GuardObject* c = as_guard(last);
        if (c->target.get() == shadow.get() && c->tx.get() == g->tx.get() && c->prefix_text == path)
            return g->child.dup().release();
    }
    Ref prefix = path_str ? Ref::borrow(path_str) : new_str(path);
    Ref child = make_guard(ContextGuard_Type, g->inputs, g->outputs, std::move(prefix), shadow.get(), g->tx.get(),
                           g->is_admin, g->strict_mode);
    g->child = child.dup();
    return child.release();
}

// -- the read and write rules ------------------------------------------------

// Remembers `name` as permitted, when it can be told again by identity.
// Whether it is remembered now.
bool remember(Ref& slot, PyObject* name) {
    if (!PyUnicode_CheckExact(name)) return false;
    if (slot.get() != name) slot = Ref::borrow(name);
    return true;
}

// getattr(target, name) for an exact str name: what PyObject_GetAttr does
// with it, without its checks (new reference, or null with the error set).
inline PyObject* target_attribute(PyObject* target, PyObject* name) {
    getattrofunc get = Py_TYPE(target)->tp_getattro;
    return get ? get(target, name) : PyObject_GetAttr(target, name);
}

// The value read for a name read before (so checked, and not private), as
// the process sees it.
PyObject* remembered_value(GuardObject* g, PyObject* name, Ref value) {
    if (plain_scalar(value.get())) return value.release();
    PathText buffer;
    return apply_guard(g, std::move(value), full_path(g, to_utf8(name, nullptr), buffer),
                       g->prefix_text.empty() ? name : nullptr);
}

PyObject* read_attribute(GuardObject* g, PyObject* name) {
    if (name == g->readable.get())
        return remembered_value(g, name, check(target_attribute(g->target.get(), name)));
    std::string_view n = to_utf8(name, nullptr);
    if (!n.empty() && n[0] == '_') {
        if (g->strict_mode) {
            std::string msg = "Access to private attribute '" + std::string(n) + "' denied in Strict Mode";
            if (Ref text = Ref::steal(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size()))))
                PyErr_SetObject(PyExc_PermissionError, text.get());
            return nullptr;
        }
        return check(PyObject_GetAttr(g->target.get(), name)).release();
    }
    PathText buffer;
    std::string_view path = full_path(g, n, buffer);
    if (!permitted(g, path, false)) {
        set_refusal(path, false);
        return nullptr;
    }
    remember(g->readable, name);
    Ref value = check(PyObject_GetAttr(g->target.get(), name));
    if (plain_scalar(value.get())) return value.release();
    // At the root the path is the name itself.
    PyObject* path_str = g->prefix_text.empty() && PyUnicode_CheckExact(name) ? name : nullptr;
    return apply_guard(g, std::move(value), path, path_str);
}

// Which (type, attribute name) pairs had a value at their last guarded
// write: a hint that saves a probe where the optional lookup takes two.
// Only identities are kept, never dereferenced; a stale or colliding slot
// costs time, never a different result.
class PresentHint {
public:
    // The slot of (type of target, name): whether it says present, and where
    // to record the answer.
    struct Slot {
        uintptr_t type = 0;
        uintptr_t name = 0;
    };
    Slot& slot(PyObject* target, PyObject* name) noexcept {
        return slots_[((id(Py_TYPE(target)) >> 4) ^ (id(name) >> 4) * 31) % kSlots];
    }
    static bool likely(const Slot& s, PyObject* target, PyObject* name) noexcept {
        return s.type == id(Py_TYPE(target)) && s.name == id(name);
    }
    static void record(Slot& s, PyObject* target, PyObject* name, bool present) noexcept {
        if (present) s = Slot{id(Py_TYPE(target)), id(name)};
        else if (s.name == id(name)) s = Slot{};
    }

private:
    static uintptr_t id(const void* p) noexcept { return reinterpret_cast<uintptr_t>(p); }
    static constexpr size_t kSlots = 64;
    Slot slots_[kSlots];
};

PresentHint present_hint;  // process-wide, under the interpreter lock

// setattr(target, name, value). A name already interned, as attribute names
// from code are, goes straight to the type's slot: that is all
// PyObject_SetAttr does with it.
int set_attribute(PyObject* target, PyObject* name, PyObject* value) {
    setattrofunc set = Py_TYPE(target)->tp_setattro;
    if (set && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name)) return set(target, name, value);
    return PyObject_SetAttr(target, name, value);
}

// Storing a guard stores the object it wraps; anything else is stored as is.
PyObject* unwrap(PyObject* value) { return is_guard(value) ? as_guard(value)->target.get() : value; }

// 0, or -1 with the refusal set.
int write_attribute(GuardObject* g, PyObject* name, PyObject* value) {
    bool heavy;
    if (name == g->writable.get()) {  // checked before
        heavy = g->writable_heavy;
    } else {
        std::string_view n = to_utf8(name, nullptr);
        PathText buffer;
        std::string_view path = full_path(g, n, buffer);
        if (!permitted(g, path, true)) {
            set_refusal(path, true);
            return -1;
        }
        heavy = resolve_zone(n) == ContextZone::Heavy;
        if (remember(g->writable, name)) g->writable_heavy = heavy;
    }
    Ref target = g->target.dup();
    // The old value, without an exception when there is none. The hint's
    // slot is an element of a fixed table, not of anything that grows.
    PyObject* old = nullptr;
    PresentHint::Slot& hint = present_hint.slot(target.get(), name);
    int found = compat::get_optional_attr(target.get(), name, &old, PresentHint::likely(hint, target.get(), name));
    if (found < 0) discard_ordinary_error();
    PresentHint::record(present_hint.slot(target.get(), name), target.get(), name, found > 0);
    Ref old_value = Ref::steal(old);
    Ref stored = Ref::borrow(unwrap(value));
    if (g->tx && !heavy) {
        PyObject* tx = g->tx.get();
        Ref key = PyUnicode_CheckExact(name) ? Ref::borrow(name) : new_str(to_utf8(name, nullptr));
        // Filling the new entry runs no Python code, so the transaction only
        // has to be free now: nothing can take it meanwhile.
        if (transaction_use(tx).busy()) throw_internal_error("Already borrowed");
        // The path stays (prefix, name) and is spelled only on demand.
        DeltaEntry& entry = append_entry(tx);
        entry.op = DeltaOp::Set;
        entry.form = DeltaEntry::Form::Attribute;
        entry.base = g->prefix.dup();
        entry.key = std::move(key);
        entry.value = stored.dup();
        entry.old_value = std::move(old_value);
        entry.target = target.dup();
    }
    return check_status(set_attribute(target.get(), name, stored.get()));
}

// -- Python surface ----------------------------------------------------------

PyObject* ContextGuard_getattro_impl(PyObject* self, PyObject* name) {
    GuardObject* g = as_guard(self);
    // A name read before: a str, no member of the class, not private.
    if (name == g->readable.get()) {
        PyObject* value = target_attribute(g->target.get(), name);
        if (!value || plain_scalar(value)) return value;
        // Not read_attribute: the target's getattr may have read another name
        // through this guard since, and the value must not be read twice.
        return remembered_value(g, name, Ref::steal(value));
    }
    if (!PyUnicode_Check(name)) return PyObject_GenericGetAttr(self, name);  // raises the usual TypeError
    // The class's own members first. Its dict is fixed and holds only
    // names beginning with "_", as does object's, so any other name goes
    // straight to the guard's rule without a failed lookup.
    bool underscore = PyUnicode_IS_COMPACT_ASCII(name)
                          ? PyUnicode_GET_LENGTH(name) > 0 && static_cast<const char*>(PyUnicode_DATA(name))[0] == '_'
                          : PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == '_';
    if (underscore) {
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
    return write_attribute(as_guard(self), name, value);
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
        if (g->prefix_text.empty()) {
            path = std::move(text);
        } else {
            path = g->prefix_text;
            path += '.';
            path += text;
        }
    }
    if (!permitted(g, path, false)) {
        set_refusal(path, false);
        return nullptr;
    }
    return apply_guard(g, std::move(value), path, nullptr);
}

int ContextGuard_setitem_impl(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) throw_error(PyExc_NotImplementedError, "can't delete item");
    GuardObject* g = as_guard(self);
    if (PyUnicode_Check(key)) return write_attribute(g, key, value);
    std::string path;
    std::string key_text;
    if (!integer_key_path(g, key, path)) {
        key_text = object_text(key);
        path = g->prefix_text;
        path += '.';
        path += key_text;
    }
    if (!permitted(g, path, true)) {
        set_refusal(path, true);
        return -1;
    }
    Ref target = g->target.dup();
    Ref stored = Ref::borrow(unwrap(value));
    Ref old = Ref::steal(PyObject_GetItem(target.get(), key));
    if (!old) discard_ordinary_error();
    if (g->tx) {
        if (key_text.empty() && !PyUnicode_Check(key)) key_text = object_text(key);
        DeltaEntry entry;
        entry.op = DeltaOp::SetItem;
        entry.form = DeltaEntry::Form::Text;
        entry.base = new_str(path);
        entry.key = new_str(key_text);
        entry.value = stored.dup();
        entry.old_value = std::move(old);
        entry.target = target.dup();
        PyObject* tx = g->tx.get();
        NativeExclusiveUse use(tx, transaction_use(tx));
        log_internal(tx, std::move(entry));
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
    Paths inputs = Paths::make(to_str_vec(a[1], "inputs"));
    Paths outputs = Paths::make(to_str_vec(a[2], "outputs"));
    PyObject* tx = a[3] == Py_None ? nullptr : a[3];
    if (tx) require_type(tx, Transaction_Type, "Transaction", "tx");
    bool is_admin = a[4] ? to_bool(a[4], "is_admin") : false;
    bool strict_mode = a[5] ? to_bool(a[5], "strict_mode") : false;
    return ContextGuard::new_internal(a[0], inputs, outputs, tx, is_admin, strict_mode).release();
}

int ContextGuard_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_guard(self)->target.get());
    Py_VISIT(as_guard(self)->tx.get());
    Py_VISIT(as_guard(self)->child.get());
    return 0;
}

int ContextGuard_clear(PyObject* self) {
    as_guard(self)->target.reset();
    as_guard(self)->tx.reset();
    as_guard(self)->child.reset();
    return 0;
}

void destroy_guard(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    ContextGuard_clear(self);
    GuardObject* g = as_guard(self);
    g->inputs.~Paths();
    g->outputs.~Paths();
    g->prefix.~Ref();
    g->target.~Ref();
    g->tx.~Ref();
    g->readable.~Ref();
    g->writable.~Ref();
    g->child.~Ref();
    guard_memory.release(self);
    Py_DECREF(type);
}

void ContextGuard_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    GuardObject* g = as_guard(self);
    if (release_is_shallow(g->target.get()) && release_is_shallow(g->tx.get()) && release_is_shallow(g->child.get()))
        return destroy_guard(self);
    // Long chains of releases unwind iteratively, not on the C stack.
    Py_TRASHCAN_BEGIN(self, ContextGuard_dealloc)
    destroy_guard(self);
    Py_TRASHCAN_END
}

PyGetSetDef ContextGuard_getset[] = {
    {"_target", ContextGuard_get_target, nullptr, "The guarded object itself, unchecked.", nullptr},
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
    {Py_tp_doc, const_cast<char*>("ContextGuard(target, inputs, outputs, tx, is_admin=False, strict_mode=False)\n--\n\n"
                                      "The view of target a process gets: reading a path outside inputs and outputs,\n"
                                      "or writing one outside outputs, raises PermissionError. A guard-rail, not a sandbox.")},
    {0, nullptr},
};

PyType_Spec ContextGuard_spec = {"kestu_core.ContextGuard", sizeof(GuardObject), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, ContextGuard_slots};

}  // namespace

const ClassDef ContextGuard_class = {"ContextGuard", &ContextGuard_spec, &ContextGuard_Type, nullptr};

namespace {

void refuse_control_plane(const Paths& inputs, bool strict_mode) {
    if (strict_mode && inputs->control_plane_root()) {
        const std::string& root = *inputs->control_plane_root();
        throw_error(PyExc_PermissionError,
                    "SECURITY VIOLATION: Using Control Plane '" + root + "' as input is forbidden in Strict Mode.");
    }
}

}  // namespace

Ref ContextGuard::new_internal(PyObject* target, const Paths& inputs, const Paths& outputs, PyObject* tx,
                               bool is_admin, bool strict_mode) {
    refuse_control_plane(inputs, strict_mode);
    return make_guard(ContextGuard_Type, inputs, outputs, Ref(), target, tx, is_admin, strict_mode);
}

Ref ContextGuard::for_run(Ref& spare, PyObject* target, const Paths& inputs, const Paths& outputs, PyObject* tx,
                          bool is_admin, bool strict_mode) {
    refuse_control_plane(inputs, strict_mode);
    if (!spare || Py_REFCNT(spare.get()) != 1)
        return make_guard(ContextGuard_Type, inputs, outputs, Ref(), target, tx, is_admin, strict_mode);
    Ref self = std::move(spare);
    GuardObject* g = as_guard(self.get());
    // The names it remembers stay right while its lists are the same ones.
    if (!g->inputs.same(inputs) || !g->outputs.same(outputs) || g->is_admin != is_admin) {
        g->inputs = inputs;
        g->outputs = outputs;
        g->readable.reset();
        g->writable.reset();
    }
    if (g->target.get() != target) g->target = Ref::borrow(target);
    g->tx = Ref::borrow(tx);
    g->is_admin = is_admin;
    g->strict_mode = strict_mode;
    return self;
}

void ContextGuard::retire(Ref& spare, Ref guard) noexcept {
    if (!guard || Py_REFCNT(guard.get()) != 1) return;
    // Its transaction (and the child over one of its shadows) goes now, as it
    // would have with the guard.
    as_guard(guard.get())->child.reset();
    as_guard(guard.get())->tx.reset();
    spare = std::move(guard);
}

}  // namespace kestu
