#include "registry.hpp"

#include <mutex>
#include <unordered_map>

namespace kestu {
namespace {

struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<std::string, Ref, Hash, std::equal_to<>> map;
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

}  // namespace kestu
