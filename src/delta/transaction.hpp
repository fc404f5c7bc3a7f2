#pragma once
// Transaction: the delta log and the shadow cache of one process run.
//
// Native callers (guard, containers, engine) must hold the transaction in
// exclusive use through `NativeExclusiveUse(tx, transaction_use(tx))` around
// `log_internal` and `get_shadow`; `commit` and `rollback` take it
// themselves. A conflict there is the internal-error exception.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../support/classdef.hpp"
#include "../support/ref.hpp"
#include "../support/use.hpp"

namespace kestu {

// One logged mutation, kept small: the op is a code, and the path text is
// not built when the entry is logged but from what the entry holds, on
// demand (nothing in the core reads it; rollback needs op, target, key and
// old value only). Empty Refs are absent fields.
enum class DeltaOp : uint8_t { Set, SetItem, Remove, Append, Pop, Other };

struct DeltaEntry {
    // How the path (and the key field) are kept.
    enum class Form : uint8_t {
        Text,       // base: the path str; key: the key field, or absent
        TextOp,     // the same, with base a (path, op) tuple for an op outside DeltaOp
        Attribute,  // base: the guard's prefix str, or empty at the root; key: the name; path "{prefix}.{name}"
        DictChild,  // base: the container's path str; key: the dict key (exact str or small exact int),
                    // not a key field; path by the dict child rule
        ListChild,  // base: the container's path str; path "{base}[{index}]"
        Whole,      // base: the container's path str, which is the path
    };

    Ref value;
    Ref old_value;
    Ref target;  // the real object written directly (guard writes only)
    Ref key;
    Ref base;
    uint32_t index = 0;
    DeltaOp op = DeltaOp::Other;
    Form form = Form::Text;

    bool has_key() const noexcept { return key && form != Form::DictChild; }
};

// Memory of log chunks. Small chunks come from the interpreter's
// small-object allocator, which serves a short log much faster than malloc;
// full-size chunks are kept for the next log once freed (up to a bound), so
// a long log does not fault in fresh pages for every chunk it grows by.
// Every use of a log holds the interpreter lock.
void* log_chunk_alloc(size_t bytes);
void log_chunk_free(void* p, size_t bytes) noexcept;

template <typename T>
struct LogAllocator {
    using value_type = T;
    LogAllocator() noexcept = default;
    template <typename U>
    LogAllocator(const LogAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        if (n > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(log_chunk_alloc(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { log_chunk_free(p, n * sizeof(T)); }
    template <typename U>
    bool operator==(const LogAllocator<U>&) const noexcept { return true; }
};

// The delta log: entries in chunks that never move once written, so the
// log grows without copying or re-touching what it holds, and a short log
// allocates little. Chunks double up to a size the allocator serves from
// its heap, where freed chunks are reused.
class DeltaLog {
    using Chunk = std::vector<DeltaEntry, LogAllocator<DeltaEntry>>;

public:
    DeltaEntry& emplace_back() {
        Chunk& last = more_.empty() ? first_ : more_.back();
        if (last.size() < last.capacity()) return last.emplace_back();
        if (last.capacity() == 0) {
            last.reserve(kFirstChunk);
            return last.emplace_back();
        }
        // Sized before more_ grows: growing it moves the chunk `last` names.
        const size_t size = std::min(2 * last.capacity(), kMaxChunk);
        Chunk chunk;
        chunk.reserve(size);
        more_.push_back(std::move(chunk));
        return more_.back().emplace_back();
    }
    bool empty() const noexcept { return first_.empty(); }
    void clear() noexcept {
        first_ = Chunk();
        more_.clear();
    }
    template <typename F>
    void for_each(F&& f) const {
        for (const DeltaEntry& e : first_) f(e);
        for (const auto& chunk : more_)
            for (const DeltaEntry& e : chunk) f(e);
    }
    template <typename F>
    void for_each_newest_first(F&& f) const {
        for (auto chunk = more_.rbegin(); chunk != more_.rend(); ++chunk)
            for (auto e = chunk->rbegin(); e != chunk->rend(); ++e) f(*e);
        for (auto e = first_.rbegin(); e != first_.rend(); ++e) f(*e);
    }

    static constexpr size_t kFirstChunk = 8;
    static constexpr size_t kMaxChunk = 1024;

private:
    Chunk first_;  // a short log needs no list of chunks
    std::vector<Chunk> more_;
};

// The text of the entry's op and path, and its key field (a str, borrowed;
// null when absent).
std::string_view delta_op_text(const DeltaEntry& e);
std::string delta_path(const DeltaEntry& e);
inline PyObject* delta_key(const DeltaEntry& e) noexcept { return e.has_key() ? e.key.get() : nullptr; }

// Both references are strong, so an identity in the cache stays unique.
struct ShadowPair {
    Ref original;
    Ref shadow;
};

// The shadow cache: pairs by object identity, in an open-addressing table
// (a look-up is a multiply and a probe, not a division by a prime). Entries
// are only added or replaced, and all dropped at once. The iteration order
// is the table's own.
class ShadowCache {
public:
    const ShadowPair* find(uintptr_t id) const noexcept {
        if (slots_.empty()) return nullptr;
        for (size_t i = index(id);; i = (i + 1) & (slots_.size() - 1)) {
            const Slot& s = slots_[i];
            if (s.id == id) return &s.pair;
            if (s.id == 0) return nullptr;
        }
    }
    // Puts `pair` under `id`, replacing an earlier pair.
    void assign(uintptr_t id, ShadowPair pair) {
        if (2 * (used_ + 1) > slots_.size()) grow();
        for (size_t i = index(id);; i = (i + 1) & (slots_.size() - 1)) {
            Slot& s = slots_[i];
            if (s.id == 0) {
                s.id = id;
                ++used_;
            } else if (s.id != id) {
                continue;
            }
            s.pair = std::move(pair);  // the one replaced is released after the new one is in place
            return;
        }
    }
    bool empty() const noexcept { return used_ == 0; }
    template <typename F>
    void for_each(F&& f) const {
        for (const Slot& s : slots_)
            if (s.id != 0) f(s.pair);
    }
    ShadowCache() = default;
    ShadowCache(ShadowCache&& o) noexcept : slots_(std::move(o.slots_)), used_(std::exchange(o.used_, 0)) {}
    ShadowCache& operator=(ShadowCache&& o) noexcept {
        slots_ = std::move(o.slots_);
        used_ = std::exchange(o.used_, 0);
        return *this;
    }
    void clear() noexcept {
        slots_ = std::vector<Slot>();
        used_ = 0;
    }

private:
    struct Slot {
        uintptr_t id = 0;  // no object lives at address 0
        ShadowPair pair;
    };
    size_t index(uintptr_t id) const noexcept {
        return static_cast<size_t>((id * 0x9e3779b97f4a7c15ull) >> 32) & (slots_.size() - 1);
    }
    void grow() {
        std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.empty() ? 8 : 2 * slots_.size()));
        used_ = 0;
        for (Slot& s : old)
            if (s.id != 0) assign(s.id, std::move(s.pair));
    }
    std::vector<Slot> slots_;  // a power of two in size, at most half full
    size_t used_ = 0;
};

struct TransactionObject {
    PyObject_HEAD
    UseFlag use;
    DeltaLog delta_log;
    ShadowCache shadow_cache;  // keyed by id()
};

inline TransactionObject* as_transaction(PyObject* tx) { return reinterpret_cast<TransactionObject*>(tx); }

extern PyTypeObject* Transaction_Type;
extern const ClassDef Transaction_class;

inline bool is_transaction(PyObject* o) { return PyObject_TypeCheck(o, Transaction_Type); }

// The use flag of a Transaction object.
inline UseFlag& transaction_use(PyObject* tx) { return as_transaction(tx)->use; }

// A new, empty Transaction object.
Ref new_transaction();
// The same for one run of an engine, made from `spare` when the transaction
// of an earlier run is free again (nobody else holds it).
Ref transaction_for_run(Ref& spare);
// Hands a run's transaction back: emptied (what it held is released now, as
// it would have been with it) and kept in `spare` when the run was its only
// holder.
void retire_transaction(Ref& spare, Ref tx) noexcept;

// Appends one DeltaEntry. Caller holds exclusive use. Cannot fail but for
// memory.
void log_internal(PyObject* tx, DeltaEntry entry);
// The same, filled in place: a new empty entry at the end of the log.
inline DeltaEntry& append_entry(PyObject* tx) { return as_transaction(tx)->delta_log.emplace_back(); }

// The shadow to use in place of `original` (new reference): a cached one,
// the original itself (heavy zone, failed copy) or a fresh shallow copy.
// `path` may be absent. Caller holds exclusive use.
Ref get_shadow(PyObject* tx, PyObject* original, std::optional<std::string_view> path);

// Copy every shadow back into its original / undo logged attribute writes.
// Each takes native exclusive use of the transaction.
void commit(PyObject* tx);
void rollback(PyObject* tx);

}  // namespace kestu
