#include "registry.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace kestu {
namespace {

// FNV-1a: process names are short, and for them it is cheaper than the
// library's general-purpose string hash.
struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
        uint64_t h = 0xcbf29ce484222325ull;
        for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
        return static_cast<size_t>(h ^ (h >> 32));
    }
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<std::string, Ref, Hash, std::equal_to<>> map;
    std::atomic<uint64_t> version{0};  // changed by every registration, under the mutex
};

// PROCESS_REGISTRY: created once, never freed (it must outlive every
// interpreter finaliser that might still look a process up).
Registry& process_registry() {
    static Registry* const registry = new Registry();
    return *registry;
}

}  // namespace

void register_process(std::string name, Ref func) {
    Registry& r = process_registry();
    Ref replaced;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        Ref& slot = r.map[std::move(name)];
        replaced = std::move(slot);
        slot = std::move(func);
        r.version.fetch_add(1);
    }
    // Released here, outside the lock: its finaliser may register again.
    replaced.reset();
}

Ref get_process(std::string_view name) {
    Registry& r = process_registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.map.find(name);
    return it == r.map.end() ? Ref() : it->second.dup();
}

std::vector<std::string> registered_names() {
    Registry& r = process_registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<std::string> names;
    names.reserve(r.map.size());
    for (const auto& entry : r.map) names.push_back(entry.first);
    return names;
}

uint64_t registry_version() noexcept { return process_registry().version.load(); }

}  // namespace kestu
