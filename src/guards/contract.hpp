#pragma once
// A list of declared paths compiled once for the permission check.
//
// A declared path D covers a checked path P when P == D, when D begins with
// P + "." (P is an ancestor of D), or when P begins with D + "." or D + "["
// (P lies inside D). Each of those can only hold right before a "." or "["
// of the longer path, so the compiled form cuts paths there into tokens
// ("order", ".lines", "[2]", ".qty") and keeps the declared paths as a tree
// of tokens in one hash table keyed by (parent node, token text). Compiling
// a path and checking one are linear in its length, and a check does not
// depend on how many paths are declared. Tiny lists keep the plain scan,
// which is faster there.
//
// Immutable once built and shared (Shared<PathSet>) by every guard of every
// run that uses the same list.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../support/shared.hpp"

namespace kestu {

class PathSet {
public:
    // Token texts are indexed with 32-bit offsets: a list whose distinct
    // token text would pass `max_text_bytes` raises ValueError instead of
    // wrapping. Throws py_error for that, and when a non-ASCII path's
    // upper-casing fails.
    static constexpr size_t kMaxTextBytes = UINT32_MAX;
    explicit PathSet(std::vector<std::string> paths, size_t max_text_bytes = kMaxTextBytes);

    const std::vector<std::string>& paths() const noexcept { return paths_; }
    bool contains(std::string_view name) const noexcept;  // an exact member
    bool covers(std::string_view path) const noexcept;
    // The root (text before the first ".") of the first path whose
    // upper-cased root is META, SIG or CMD; the strict guard refuses it.
    const std::optional<std::string>& control_plane_root() const noexcept { return control_plane_root_; }
    // What keeping this list compiled costs, in bytes (approximately).
    size_t memory_bytes() const noexcept;

private:
    struct Slot {
        uint64_t hash;    // of (parent, token)
        uint32_t parent;  // node id; 0 is the root, before the first token
        uint32_t offset;  // of the token's text in text_
        uint32_t size;
        uint8_t flags;  // 0: empty slot
    };
    // Node ids are slot indices + 1: the table is sized once, never rehashed.
    static constexpr uint32_t kNone = UINT32_MAX;
    uint32_t child(uint32_t parent, std::string_view token) const noexcept;
    uint32_t add_child(uint32_t parent, std::string_view token);
    uint8_t flags(uint32_t node) const noexcept { return node == 0 ? 0 : slots_[node - 1].flags; }
    // The node of the whole path, or kNone; for covers(), the walk stops
    // early with `inside` set when a declared path ends before a separator.
    uint32_t walk(std::string_view path, bool* inside) const noexcept;

    std::vector<std::string> paths_;
    std::string text_;         // token texts, each distinct (parent, token) once
    std::vector<Slot> slots_;  // empty: a small list, scanned
    uint64_t mask_ = 0;
    std::optional<std::string> control_plane_root_;
};

using Paths = Shared<PathSet>;

// The compiled form of an empty list (one per process, never freed).
const Paths& no_paths();

}  // namespace kestu
