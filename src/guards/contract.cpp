// Declared paths compiled into a tree of tokens in one hash table.
#include "contract.hpp"

#include <cstring>

#include "../support/error.hpp"
#include "../support/names.hpp"
#include "../support/ref.hpp"
#include "../support/text.hpp"

namespace kestu {
namespace {

// Up to this many paths a scan beats hashing the checked path.
constexpr size_t kScanLimit = 8;

// FNV-1a over a token, seeded by its parent node.
constexpr uint64_t kSeed = 0xcbf29ce484222325ull;
inline uint64_t token_hash(uint32_t parent, std::string_view token) noexcept {
    uint64_t h = kSeed ^ (static_cast<uint64_t>(parent) * 0x9e3779b97f4a7c15ull);
    for (char c : token) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return h;
}

// FNV's low bits mix poorly: spread the state before picking a slot.
inline uint64_t spread(uint64_t h) noexcept { return (h ^ (h >> 29)) * 0x9e3779b97f4a7c15ull; }

constexpr uint8_t kDeclared = 1;
constexpr uint8_t kAncestor = 2;  // a declared path goes on with "." after this node
constexpr uint8_t kNode = 4;      // every used slot

inline bool separator(char c) noexcept { return c == '.' || c == '['; }

// The end of the token that starts at `start`; every token but the first
// begins with its separator (so the first of ".a" is empty).
inline size_t token_end(std::string_view path, size_t start, bool first) noexcept {
    size_t i = first ? start : start + 1;
    while (i < path.size() && !separator(path[i])) ++i;
    return i;
}

bool covers_one(std::string_view declared, std::string_view path) noexcept {
    if (declared.size() == path.size()) return declared == path;
    if (declared.size() > path.size()) return declared[path.size()] == '.' && declared.starts_with(path);
    char next = path[declared.size()];
    return (next == '.' || next == '[') && path.starts_with(declared);
}

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

PathSet::PathSet(std::vector<std::string> paths, size_t max_text_bytes) : paths_(std::move(paths)) {
    for (const std::string& p : paths_) {
        std::string_view root = std::string_view(p).substr(0, p.find('.'));
        std::string up = upper(root);
        if (up == "META" || up == "SIG" || up == "CMD") {
            control_plane_root_.emplace(root);
            break;
        }
    }
    if (paths_.size() <= kScanLimit) return;
    size_t tokens = 0;
    for (const std::string& p : paths_) {
        tokens += 1;
        for (char c : p) tokens += separator(c);
    }
    size_t capacity = 16;
    while (capacity < 2 * tokens) capacity *= 2;
    slots_.assign(capacity, Slot{0, 0, 0, 0, 0});
    mask_ = capacity - 1;
    for (const std::string& p : paths_) {
        std::string_view d = p;
        uint32_t node = 0;
        for (size_t start = 0, first = 1;; first = 0) {
            size_t end = token_end(d, start, first);
            std::string_view token = d.substr(start, end - start);
            if (text_.size() + token.size() > max_text_bytes)
                throw_error(PyExc_ValueError, "declared paths too long: one list may hold at most " +
                                                  std::to_string(max_text_bytes) + " bytes of path text");
            node = add_child(node, token);
            if (end == d.size()) {
                slots_[node - 1].flags |= kDeclared;
                break;
            }
            if (d[end] == '.') slots_[node - 1].flags |= kAncestor;
            start = end;
        }
    }
}

uint32_t PathSet::child(uint32_t parent, std::string_view token) const noexcept {
    const uint64_t hash = token_hash(parent, token);
    for (uint64_t i = spread(hash) & mask_;; i = (i + 1) & mask_) {
        const Slot& s = slots_[i];
        if (s.flags == 0) return kNone;
        if (s.hash == hash && s.parent == parent && s.size == token.size() &&
            std::memcmp(text_.data() + s.offset, token.data(), token.size()) == 0)
            return static_cast<uint32_t>(i + 1);
    }
}

uint32_t PathSet::add_child(uint32_t parent, std::string_view token) {
    const uint64_t hash = token_hash(parent, token);
    for (uint64_t i = spread(hash) & mask_;; i = (i + 1) & mask_) {
        Slot& s = slots_[i];
        if (s.flags == 0) {
            s = Slot{hash, parent, static_cast<uint32_t>(text_.size()), static_cast<uint32_t>(token.size()), kNode};
            text_.append(token);
            return static_cast<uint32_t>(i + 1);
        }
        if (s.hash == hash && s.parent == parent && s.size == token.size() &&
            text_.compare(s.offset, s.size, token) == 0)
            return static_cast<uint32_t>(i + 1);
    }
}

uint32_t PathSet::walk(std::string_view path, bool* inside) const noexcept {
    uint32_t node = 0;
    for (size_t start = 0, first = 1;; first = 0) {
        size_t end = token_end(path, start, first);
        node = child(node, path.substr(start, end - start));
        if (node == kNone || end == path.size()) return node;
        // `path` goes on with "." or "[" here: it lies inside a declared one.
        if (inside && (slots_[node - 1].flags & kDeclared)) {
            *inside = true;
            return node;
        }
        start = end;
    }
}

bool PathSet::contains(std::string_view name) const noexcept {
    if (slots_.empty()) {
        for (const std::string& p : paths_)
            if (p == name) return true;
        return false;
    }
    uint32_t node = walk(name, nullptr);
    return node != kNone && (flags(node) & kDeclared);
}

bool PathSet::covers(std::string_view path) const noexcept {
    if (slots_.empty()) {
        for (const std::string& d : paths_)
            if (covers_one(d, path)) return true;
        return false;
    }
    bool inside = false;
    uint32_t node = walk(path, &inside);
    // Else equal to a declared path, or an ancestor of one at a ".".
    return inside || (node != kNone && (flags(node) & (kDeclared | kAncestor)));
}

size_t PathSet::memory_bytes() const noexcept {
    size_t bytes = sizeof(PathSet) + paths_.capacity() * sizeof(std::string) + text_.capacity() +
                   slots_.capacity() * sizeof(Slot);
    for (const std::string& p : paths_)
        if (p.capacity() > 15) bytes += p.capacity() + 1;  // beyond the inline buffer
    return bytes;
}

const Paths& no_paths() {
    static const Paths* const empty = new Paths(Paths::make(std::vector<std::string>{}));
    return *empty;
}

}  // namespace kestu
