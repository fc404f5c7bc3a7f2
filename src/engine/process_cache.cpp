// The engine's memory of processes and of their compiled contracts.
#include "process_cache.hpp"

#include <algorithm>
#include <utility>

#include "../registry/registry.hpp"
#include "../support/args.hpp"
#include "../support/compat.hpp"
#include "../support/error.hpp"
#include "../support/names.hpp"
#include "../support/probe.hpp"
#include "../support/slot_reader.hpp"

namespace kestu {
namespace {

// Contract lists compiled once per tuple, for every engine: a tuple of exact
// str can never change, so while we hold it its compiled form stays valid.
// Direct-mapped by the tuple's identity: a collision only means compiling
// again. Process-wide and never freed, like the registry, but bounded: at
// most kSlots lists and kMaxBytes of compiled paths (a larger list is
// compiled on every run). Dropping a tuple of exact str runs no Python code.
class PathsCache {
public:
    const Paths* find(PyObject* tuple) const noexcept {
        const Slot& s = slots_[index(tuple)];
        return s.tuple.get() == tuple ? &s.paths : nullptr;
    }
    void insert(Ref tuple, const Paths& paths) {
        const size_t bytes = paths->memory_bytes();
        if (bytes > kMaxBytes) return;
        Slot& s = slots_[index(tuple.get())];
        bytes_ -= s.bytes;
        s.paths = paths;
        s.tuple = std::move(tuple);
        s.bytes = bytes;
        bytes_ += bytes;
        if (bytes_ > kSweepBytes) shrink(s);
    }
    size_t bytes() const noexcept { return bytes_; }

private:
    struct Slot {
        Ref tuple;
        Paths paths;
        size_t bytes = 0;
    };
    static constexpr size_t kSlots = 1024;
    static constexpr size_t kMaxBytes = 32u << 20;
    // Past this, lists of dropped contracts are let go: a tuple that only
    // the caches hold can never be presented again.
    static constexpr size_t kSweepBytes = 4u << 20;
    static size_t index(PyObject* tuple) noexcept {
        uintptr_t id = reinterpret_cast<uintptr_t>(tuple);
        return ((id >> 4) ^ (id >> 14)) % kSlots;
    }
    void drop(Slot& s) noexcept {
        bytes_ -= s.bytes;
        s.bytes = 0;
        s.tuple.reset();
        s.paths = Paths();
    }
    void shrink(const Slot& keep) noexcept {
        for (Slot& s : slots_)
            if (s.tuple && Py_REFCNT(s.tuple.get()) == 1) drop(s);
        for (Slot& s : slots_) {
            if (bytes_ <= kMaxBytes) return;
            if (&s != &keep && s.tuple) drop(s);
        }
    }
    Slot slots_[kSlots];
    size_t bytes_ = 0;
};

PathsCache& paths_cache() {
    static PathsCache* const cache = new PathsCache();
    return *cache;
}

// inputs, outputs and errors, read at the slots for a contract class whose
// three lists are plain slots (the companion's Contract is one).
SlotReader& slot_reader() {
    static SlotReader* const reader = new SlotReader({"inputs", "outputs", "errors"});
    return *reader;
}

// process._pop_contract (new reference), or empty with an error set. For a
// plain function that is its __dict__ entry: the function type defines no
// such name and cannot be changed, so getattr finds nothing else.
Ref read_contract_object(PyObject* process, PyObject* dict) {
    if (!dict) return Ref::steal(PyObject_GetAttr(process, KNAME("_pop_contract")));
    Ref contract = Ref::borrow(PyDict_GetItemWithError(dict, KNAME("_pop_contract")));
    if (!contract && !PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, KNAME("_pop_contract"));
    return contract;
}

bool all_exact_str(PyObject* tuple) {
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(tuple); i < n; ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(tuple, i))) return false;
    return true;
}

// Whether the exact list holds exactly the items of `snapshot`, in order.
bool same_items(PyObject* list, PyObject* snapshot) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (!snapshot || PyTuple_GET_SIZE(snapshot) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(list, i) != PyTuple_GET_ITEM(snapshot, i)) return false;
    return true;
}

}  // namespace

size_t ProcessCache::shared_bytes_for_testing() noexcept { return paths_cache().bytes(); }

ProcessCache::Slot& ProcessCache::slot_for(std::string_view name) noexcept {
    uint64_t h = 0xcbf29ce484222325ull;
    for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return slots_[(h ^ (h >> 29)) % kSlots];
}

Ref ProcessCache::process(std::string_view name) {
    const uint64_t version = registry_version();
    // The usual run: the process of the run before (a loop, a workflow of one step).
    if (last_ && last_->process && last_->version == version && last_->name == name) return Ref::borrow(last_->process);
    Slot& slot = slot_for(name);
    if (slot.process && slot.version == version && slot.name == name) {
        last_ = &slot;
        return Ref::borrow(slot.process);
    }
    Ref found = get_process(name);
    if (!found) throw_error(PyExc_KeyError, "Process '" + std::string(name) + "' not found");
    if (slot.name != name) {
        slot.name.assign(name);
        for (Field& f : slot.fields) f = Field{};
        slot.audited = false;
        slot.func_dict.reset();
        slot.contract.reset();
    }
    slot.version = version;
    slot.process = found.get();
    last_ = &slot;
    return found;
}

// The compiled form of one list read from the contract (`value`, held by the
// caller), reusing `field` when the list is the one it was compiled from.
Paths ProcessCache::compiled(Field& field, PyObject* value) {
    if (PyTuple_CheckExact(value)) {
        if (field.source.get() == value) return field.paths;
        PathsCache& shared = paths_cache();
        if (const Paths* hit = shared.find(value)) {
            field.paths = *hit;
            field.source = Ref::borrow(value);
            return field.paths;
        }
        Paths paths = Paths::make(to_str_vec(value, nullptr));
        if (all_exact_str(value)) {
            shared.insert(Ref::borrow(value), paths);
            field.paths = paths;
            field.source = Ref::borrow(value);
        }
        return paths;
    }
    if (PyList_CheckExact(value)) {
        // A list can change in place: it is the same list as long as it
        // holds the same exact str objects.
        if (same_items(value, field.source.get())) return field.paths;
        Paths paths = Paths::make(to_str_vec(value, nullptr));
        Ref snapshot = check(PyList_AsTuple(value));  // converting ran no Python code: the items are those
        if (all_exact_str(snapshot.get())) {
            field.paths = paths;
            field.source = std::move(snapshot);
        }
        return paths;
    }
    return Paths::make(to_str_vec(value, nullptr));
}

ContractPaths ProcessCache::contract(std::string_view name, PyObject* process) {
    // A plain function's _pop_contract is its __dict__ entry: the function
    // type defines no such name and cannot be changed. From 3.12 the dict is
    // watched, and the entry found last is answered while it has not changed.
    Ref dict = PyFunction_Check(process) ? check(PyObject_GenericGetDict(process, nullptr)) : Ref();
    Ref contract;
    const unsigned long long changes = compat::dict_changes();
    if (compat::kWatchesDicts && dict && dict.get() == last_->func_dict.get() && changes == last_->dict_changes) {
        contract = last_->contract.dup();
    } else {
        contract = read_contract_object(process, dict.get());
        if (contract && dict && compat::watch_plain_dict(dict.get(), 16)) {
            last_->func_dict = dict.dup();
            last_->contract = contract.dup();
            last_->dict_changes = changes;
        }
    }
    if (!contract) {
        discard_ordinary_error();
        throw_error(PyExc_AttributeError, "Process '" + std::string(name) + "' usually needs @process decorator");
    }
    // Until a list's own conversion, nothing below runs Python code when the
    // slots are read directly; getattr may, so `last_` is read afresh.
    PyObject* direct[3];
    ContractPaths out;
    Paths* lists[3] = {&out.inputs, &out.outputs, &out.errors};
    if (slot_reader().read(contract.get(), direct)) {
        Field* fields = last_->fields;
        // The usual run: the very tuples compiled last time.
        if (direct[0] == fields[0].source.get() && direct[1] == fields[1].source.get() &&
            direct[2] == fields[2].source.get())
            return ContractPaths{fields[0].paths, fields[1].paths, fields[2].paths};
        Ref values[3] = {Ref::borrow(direct[0]), Ref::borrow(direct[1]), Ref::borrow(direct[2])};
        for (int i = 0; i < 3; ++i) *lists[i] = compiled(last_->fields[i], values[i].get());
        return out;
    }
    for (int i = 0; i < 3; ++i) {
        Ref value = check(PyObject_GetAttr(contract.get(), slot_reader().name(static_cast<size_t>(i))));
        *lists[i] = compiled(last_->fields[i], value.get());
    }
    return out;
}

int ProcessCache::traverse(visitproc visit, void* arg) const {
    for (const Slot& slot : slots_) {
        Py_VISIT(slot.func_dict.get());
        Py_VISIT(slot.contract.get());
    }
    return 0;
}

}  // namespace kestu
