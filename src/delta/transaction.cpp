// Transaction: the delta log of one process run and its shadow cache, with
// commit (shadows copied back by type name) and rollback (attribute writes
// undone newest first).
#include "transaction.hpp"

#include <new>
#include <utility>

#include "../support/args.hpp"
#include "../support/error.hpp"
#include "../support/freelist.hpp"
#include "../support/names.hpp"
#include "../support/probe.hpp"
#include "../support/text.hpp"
#include "../support/child_path.hpp"

namespace kestu {

PyTypeObject* Transaction_Type = nullptr;

namespace {

// -- the operations, run while the caller holds exclusive use ----------------

void commit_pair(const ShadowPair& pair) {
    PyObject* original = pair.original.get();
    PyObject* shadow = pair.shadow.get();
    std::string name = type_name(original);
    if (name == "list") {
        // The full slice comes from builtins.slice(None), as Python code would make it.
        Ref builtins = check(PyImport_Import(KNAME("builtins")));
        Ref slice_type = check(PyObject_GetAttr(builtins.get(), KNAME("slice")));
        Ref all = check(PyObject_CallOneArg(slice_type.get(), Py_None));
        check_status(PyObject_SetItem(original, all.get(), shadow));
    } else if (name == "dict") {
        check(PyObject_CallMethodNoArgs(original, KNAME("clear")));
        Ref update = check(PyObject_GetAttr(original, KNAME("update")));
        check(PyObject_CallOneArg(update.get(), shadow));
    } else {
        // Instance attributes only; objects without a __dict__ are skipped.
        Ref mine = Ref::steal(PyObject_GetAttr(original, KNAME("__dict__")));
        if (!mine) return discard_ordinary_error();
        Ref theirs = Ref::steal(PyObject_GetAttr(shadow, KNAME("__dict__")));
        if (!theirs) return discard_ordinary_error();
        Ref update = check(PyObject_GetAttr(mine.get(), KNAME("update")));
        check(PyObject_CallOneArg(update.get(), theirs.get()));
    }
}

void commit_locked(TransactionObject* t) {
    // Stable while we run: nothing else may use the transaction meanwhile.
    t->shadow_cache.for_each([](const ShadowPair& pair) {
        if (pair.original.get() != pair.shadow.get()) commit_pair(pair);
    });
}

void rollback_locked(TransactionObject* t) {
    // Nothing can log while we hold the transaction, so the log stays put.
    t->delta_log.for_each_newest_first([](const DeltaEntry& e) {
        if (e.op != DeltaOp::Set || !e.target || !e.has_key() || !e.old_value) return;
        Ref target = e.target.dup(), key = e.key.dup(), old_value = e.old_value.dup();
        check_status(PyObject_SetAttr(target.get(), key.get(), old_value.get()));
    });
    // Moved out first, so finalisers run on a transaction already empty.
    DeltaLog log = std::move(t->delta_log);
    t->delta_log.clear();
    ShadowCache cache = std::move(t->shadow_cache);
    t->shadow_cache.clear();
    log.clear();
    cache.clear();
}

// -- Python surface ----------------------------------------------------------

FreeList<8> transaction_memory;  // a strict run makes one

Ref construct(PyTypeObject* type) {
    Ref self = check(transaction_memory.alloc(type));
    TransactionObject* t = as_transaction(self.get());
    new (&t->use) UseFlag();
    new (&t->delta_log) DeltaLog();
    new (&t->shadow_cache) ShadowCache();
    return self;
}

PyObject* Transaction_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"Transaction", {}};
    PyObject* none[1] = {nullptr};
    parse_args(sig, args, kwargs, none);
    return construct(type).release();
}

int Transaction_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    TransactionObject* t = as_transaction(self);
    int status = 0;
    auto each = [&](PyObject* o) {
        if (o && status == 0) status = visit(o, arg);
    };
    t->delta_log.for_each([&](const DeltaEntry& e) {
        each(e.value.get());
        each(e.old_value.get());
        each(e.target.get());
        each(e.key.get());
        each(e.base.get());  // a str subclass path can sit in a cycle
    });
    if (status != 0) return status;
    t->shadow_cache.for_each([&](const ShadowPair& pair) {
        each(pair.original.get());
        each(pair.shadow.get());
    });
    return status;
}

int Transaction_clear(PyObject* self) {
    TransactionObject* t = as_transaction(self);
    DeltaLog log = std::move(t->delta_log);
    t->delta_log.clear();
    ShadowCache cache = std::move(t->shadow_cache);
    t->shadow_cache.clear();
    return 0;  // the moved-out references are released here
}

void Transaction_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Long chains of releases unwind iteratively, not on the C stack.
    Py_TRASHCAN_BEGIN(self, Transaction_dealloc)
    Transaction_clear(self);
    TransactionObject* t = as_transaction(self);
    t->delta_log.~DeltaLog();
    t->shadow_cache.~ShadowCache();
    transaction_memory.release(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

Ref optional_ref(PyObject* o) { return (o && o != Py_None) ? Ref::borrow(o) : Ref(); }

// An exact str with the text of `o`, already checked by to_utf8 (a str
// subclass is not kept: its methods could answer differently later).
Ref exact_str(PyObject* o, std::string_view text) {
    if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
    return new_str(text);
}

DeltaOp op_code(std::string_view op) {
    if (op == "SET") return DeltaOp::Set;
    if (op == "SET_ITEM") return DeltaOp::SetItem;
    if (op == "REMOVE") return DeltaOp::Remove;
    if (op == "APPEND") return DeltaOp::Append;
    if (op == "POP") return DeltaOp::Pop;
    return DeltaOp::Other;
}

PyObject* Transaction_log_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Transaction.log",
                               {{"path", true}, {"op", true}, {"value", false}, {"old_value", false}, {"target", false},
                                {"key", false}}};
    PyObject* a[6];
    parse_args(sig, args, nargs, kwnames, a);
    std::string_view path = to_utf8(a[0], "path");
    std::string_view op = to_utf8(a[1], "op");
    std::string_view key;
    bool has_key = a[5] && a[5] != Py_None;
    if (has_key) key = to_utf8(a[5], "key");
    DeltaEntry e;
    e.op = op_code(op);
    e.base = exact_str(a[0], path);
    if (e.op == DeltaOp::Other) {
        Ref op_text = exact_str(a[1], op);
        e.base = check(PyTuple_Pack(2, e.base.get(), op_text.get()));
        e.form = DeltaEntry::Form::TextOp;
    }
    if (has_key) e.key = exact_str(a[5], key);
    e.value = optional_ref(a[2]);
    e.old_value = optional_ref(a[3]);
    e.target = optional_ref(a[4]);
    ExclusiveUse use(self, transaction_use(self));
    log_internal(self, std::move(e));
    Py_RETURN_NONE;
}

PyObject* Transaction_get_shadow_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Transaction.get_shadow", {{"original", true}, {"path", false}}};
    PyObject* a[2];
    parse_args(sig, args, nargs, kwnames, a);
    std::optional<std::string_view> path;
    if (a[1] && a[1] != Py_None) path = to_utf8(a[1], "path");
    Ref keep_path = Ref::borrow(a[1]);  // the view borrows from it
    ExclusiveUse use(self, transaction_use(self));
    return get_shadow(self, a[0], path).release();
}

PyObject* Transaction_commit_impl(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    parse_no_args("Transaction.commit", nargs, kwnames);
    ExclusiveUse use(self, transaction_use(self));
    commit_locked(as_transaction(self));
    Py_RETURN_NONE;
}

PyObject* Transaction_rollback_impl(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    parse_no_args("Transaction.rollback", nargs, kwnames);
    ExclusiveUse use(self, transaction_use(self));
    rollback_locked(as_transaction(self));
    Py_RETURN_NONE;
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef Transaction_methods[] = {
    {"log", as_cfunction(wrap<Transaction_log_impl>), kFast,
     "log($self, path, op, value=None, old_value=None, target=None, key=None)\n--\n\n"
     "Append an entry to the delta log. A \"SET\" entry with target, key and old_value\n"
     "is undone by rollback."},
    {"get_shadow", as_cfunction(wrap<Transaction_get_shadow_impl>), kFast,
     "get_shadow($self, original, path=None)\n--\n\n"
     "The transaction's shallow copy of original, made on first use and the same after."},
    {"commit", as_cfunction(wrap<Transaction_commit_impl>), kFast, "commit($self)\n--\n\n"
     "Copy every shadow's contents back into its original."},
    {"rollback", as_cfunction(wrap<Transaction_rollback_impl>), kFast, "rollback($self)\n--\n\n"
     "Undo the logged attribute writes, newest first, and forget the shadows."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Transaction_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(wrap<Transaction_new_impl>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Transaction_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Transaction_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Transaction_clear)},
    {Py_tp_methods, Transaction_methods},
    {Py_tp_doc, const_cast<char*>("Transaction()\n--\n\n"
                                      "The writes of one process run: a delta log and shallow copies (shadows) of\n"
                                      "the nested values read, committed or rolled back together.")},
    {0, nullptr},
};

PyType_Spec Transaction_spec = {"kestu_core.Transaction", sizeof(TransactionObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, Transaction_slots};

}  // namespace

const ClassDef Transaction_class = {"Transaction", &Transaction_spec, &Transaction_Type, nullptr};

// -- native face -------------------------------------------------------------

Ref new_transaction() {
    // What Transaction() builds, without the call machinery: the class
    // takes no arguments and has no __init__ of its own.
    return construct(Transaction_Type);
}

Ref transaction_for_run(Ref& spare) {
    if (spare && Py_REFCNT(spare.get()) == 1) return std::move(spare);
    return construct(Transaction_Type);
}

void retire_transaction(Ref& spare, Ref tx) noexcept {
    if (!tx || Py_REFCNT(tx.get()) != 1 || transaction_use(tx.get()).busy()) return;
    Transaction_clear(tx.get());
    // A finaliser run by the release may have taken it, or used it, after all.
    TransactionObject* t = as_transaction(tx.get());
    if (Py_REFCNT(tx.get()) == 1 && t->delta_log.empty() && t->shadow_cache.empty()) spare = std::move(tx);
}

namespace {

constexpr size_t kFullChunkBytes = DeltaLog::kMaxChunk * sizeof(DeltaEntry);
constexpr size_t kKeptChunks = 4 * 1024 * 1024 / kFullChunkBytes;  // 4 MiB

// Freed full-size chunks, for the next log (process-wide, never freed).
std::vector<void*>& kept_chunks() {
    static std::vector<void*>* const kept = new std::vector<void*>();
    return *kept;
}

}  // namespace

void* log_chunk_alloc(size_t bytes) {
    if (bytes == kFullChunkBytes && !kept_chunks().empty()) {
        void* p = kept_chunks().back();
        kept_chunks().pop_back();
        return p;
    }
    void* p = PyMem_Malloc(bytes);
    if (!p) throw std::bad_alloc();
    return p;
}

void log_chunk_free(void* p, size_t bytes) noexcept {
    std::vector<void*>& kept = kept_chunks();
    if (bytes == kFullChunkBytes && kept.size() < kKeptChunks) {
        if (kept.capacity() == 0) {
            try {
                kept.reserve(kKeptChunks);
            } catch (const std::bad_alloc&) {
                return PyMem_Free(p);
            }
        }
        kept.push_back(p);
        return;
    }
    PyMem_Free(p);
}

void log_internal(PyObject* tx, DeltaEntry entry) { as_transaction(tx)->delta_log.emplace_back() = std::move(entry); }

std::string_view delta_op_text(const DeltaEntry& e) {
    switch (e.op) {
        case DeltaOp::Set: return "SET";
        case DeltaOp::SetItem: return "SET_ITEM";
        case DeltaOp::Remove: return "REMOVE";
        case DeltaOp::Append: return "APPEND";
        case DeltaOp::Pop: return "POP";
        case DeltaOp::Other: break;
    }
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(e.base.get(), 1), &len);
    if (!s) throw py_error{};
    return std::string_view(s, static_cast<size_t>(len));
}

std::string delta_path(const DeltaEntry& e) {
    using Form = DeltaEntry::Form;
    switch (e.form) {
        case Form::Text: return utf8_lossy(e.base.get());
        case Form::TextOp: return utf8_lossy(PyTuple_GET_ITEM(e.base.get(), 0));
        case Form::Attribute: {
            std::string path = e.base ? utf8_lossy(e.base.get()) : std::string();
            if (path.empty()) return utf8_lossy(e.key.get());
            path += '.';
            path += utf8_lossy(e.key.get());
            return path;
        }
        case Form::DictChild: return dict_child_path(e.base.get(), e.key.get());
        case Form::ListChild: return list_child_path(e.base.get(), static_cast<Py_ssize_t>(e.index));
        case Form::Whole: return path_text(e.base.get());
    }
    return std::string();
}

void commit(PyObject* tx) {
    NativeExclusiveUse use(tx, transaction_use(tx));
    commit_locked(as_transaction(tx));
}

void rollback(PyObject* tx) {
    NativeExclusiveUse use(tx, transaction_use(tx));
    rollback_locked(as_transaction(tx));
}

}  // namespace kestu
