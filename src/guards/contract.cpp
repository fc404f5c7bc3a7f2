// Declared paths compiled into a hash table of paths and dot-ancestors.
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

constexpr uint8_t kDeclared = 1;
constexpr uint8_t kAncestor = 2;  // a proper prefix of a declared path, ending before a "."

// FNV-1a, one byte at a time: the state after i bytes is the hash of the
// first i bytes, so every prefix of a path is hashed in one pass.
constexpr uint64_t kSeed = 0xcbf29ce484222325ull;
inline uint64_t step(uint64_t h, char c) noexcept { return (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull; }

inline uint64_t hash_of(std::string_view s) noexcept {
    uint64_t h = kSeed;
    for (char c : s) h = step(h, c);
    return h;
}

// FNV's low bits mix poorly: spread the state before picking a slot.
inline uint64_t spread(uint64_t h) noexcept { return (h ^ (h >> 29)) * 0x9e3779b97f4a7c15ull; }

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

PathSet::PathSet(std::vector<std::string> paths) : paths_(std::move(paths)) {
    for (const std::string& p : paths_) {
        std::string_view root = std::string_view(p).substr(0, p.find('.'));
        std::string up = upper(root);
        if (up == "META" || up == "SIG" || up == "CMD") {
            control_plane_root_.emplace(root);
            break;
        }
    }
    if (paths_.size() <= kScanLimit) return;
    size_t keys = 0;
    for (const std::string& p : paths_) {
        keys += 1;
        for (char c : p) keys += c == '.';
    }
    size_t capacity = 16;
    while (capacity < 2 * keys) capacity *= 2;
    slots_.assign(capacity, Slot{0, 0, 0, 0});
    mask_ = capacity - 1;
    for (const std::string& p : paths_) {
        std::string_view d = p;
        insert(d, kDeclared);
        for (size_t i = 0; i < d.size(); ++i)
            if (d[i] == '.') insert(d.substr(0, i), kAncestor);
    }
}

uint8_t PathSet::find(uint64_t hash, std::string_view key) const noexcept {
    for (uint64_t i = spread(hash) & mask_;; i = (i + 1) & mask_) {
        const Slot& s = slots_[i];
        if (s.flags == 0) return 0;
        if (s.hash == hash && s.size == key.size() && std::memcmp(keys_.data() + s.offset, key.data(), key.size()) == 0)
            return s.flags;
    }
}

void PathSet::insert(std::string_view key, uint8_t flags) {
    uint64_t hash = hash_of(key);
    for (uint64_t i = spread(hash) & mask_;; i = (i + 1) & mask_) {
        Slot& s = slots_[i];
        if (s.flags == 0) {
            s = Slot{hash, static_cast<uint32_t>(keys_.size()), static_cast<uint32_t>(key.size()), flags};
            keys_.append(key);
            return;
        }
        if (s.hash == hash && s.size == key.size() && keys_.compare(s.offset, s.size, key) == 0) {
            s.flags |= flags;
            return;
        }
    }
}

bool PathSet::contains(std::string_view name) const noexcept {
    if (slots_.empty()) {
        for (const std::string& p : paths_)
            if (p == name) return true;
        return false;
    }
    return find(hash_of(name), name) & kDeclared;
}

bool PathSet::covers(std::string_view path) const noexcept {
    if (slots_.empty()) {
        for (const std::string& d : paths_)
            if (covers_one(d, path)) return true;
        return false;
    }
    // A declared path that `path` lies inside ends right before one of
    // its "." or "[".
    uint64_t h = kSeed;
    for (size_t i = 0; i < path.size(); ++i) {
        char c = path[i];
        if ((c == '.' || c == '[') && (find(h, path.substr(0, i)) & kDeclared)) return true;
        h = step(h, c);
    }
    return find(h, path) != 0;  // equal to a declared path or an ancestor of one
}

const Paths& no_paths() {
    static const Paths* const empty = new Paths(Paths::make(std::vector<std::string>{}));
    return *empty;
}

}  // namespace kestu
