#pragma once
// A list of declared paths compiled once for the permission check.
//
// A declared path D covers a checked path P when P == D, when D begins with
// P + "." (P is an ancestor of D), or when P begins with D + "." or D + "["
// (P lies inside D). The compiled form answers that in time proportional to
// P's length, whatever the number of declared paths: one hash table holds
// every declared path and every proper prefix of one that ends before a
// ".", and P's own prefixes that end before a "." or "[" are looked up
// while P is hashed, byte by byte. Tiny lists keep the plain scan, which
// is faster there.
//
// Immutable once built and shared (Shared<PathSet>) by every guard of every
// run that uses the same list.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../support/shared.hpp"

namespace kestu {

class PathSet {
public:
    // Throws py_error only when a non-ASCII path's upper-casing fails.
    explicit PathSet(std::vector<std::string> paths);

    const std::vector<std::string>& paths() const noexcept { return paths_; }
    bool contains(std::string_view name) const noexcept;  // an exact member
    bool covers(std::string_view path) const noexcept;
    // The root (text before the first ".") of the first path whose
    // upper-cased root is META, SIG or CMD; the strict guard refuses it.
    const std::optional<std::string>& control_plane_root() const noexcept { return control_plane_root_; }

private:
    struct Slot {
        uint64_t hash;
        uint32_t offset;  // into keys_
        uint32_t size;
        uint8_t flags;  // 0: empty slot
    };
    uint8_t find(uint64_t hash, std::string_view key) const noexcept;
    void insert(std::string_view key, uint8_t flags);

    std::vector<std::string> paths_;
    std::string keys_;  // the indexed texts, back to back
    std::vector<Slot> slots_;  // empty: small list, scanned
    uint64_t mask_ = 0;
    std::optional<std::string> control_plane_root_;
};

using Paths = Shared<PathSet>;

// The compiled form of an empty list (one per process, never freed).
const Paths& no_paths();

}  // namespace kestu
