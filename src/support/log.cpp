#include "log.hpp"

#include <atomic>

namespace kestu::log {
namespace {

void no_op(void*, Level, std::string_view, std::string_view) {}

std::atomic<int> g_max_level{static_cast<int>(Level::Off)};
// Receiver, filter and their contexts change only while the host holds the GIL;
// the atomics keep a reader on another native thread from tearing them.
std::atomic<Receiver> g_receiver{&no_op};
std::atomic<void*> g_context{nullptr};
std::atomic<Filter> g_filter{nullptr};
std::atomic<void*> g_filter_context{nullptr};
std::atomic<uint64_t> g_epoch{0};

}  // namespace

uint64_t epoch() noexcept { return g_epoch.load(std::memory_order_relaxed); }
void levels_changed() noexcept { g_epoch.fetch_add(1); }

bool ask(Level level, std::string_view target, CachedAnswer& cached) noexcept {
    const uint64_t before = epoch();
    bool answer = enabled(level) && wanted(level, target);
    // The filter may run the host's code, which may change its levels: an
    // answer given meanwhile is used once, not kept.
    if (epoch() == before) cached = CachedAnswer{before, answer};
    return answer;
}

void set_max_level(Level level) noexcept {
    g_max_level.store(static_cast<int>(level));
    levels_changed();
}
Level max_level() noexcept { return static_cast<Level>(g_max_level.load()); }

void set_receiver(Receiver receiver, void* context) noexcept {
    g_context.store(context);
    g_receiver.store(receiver ? receiver : &no_op);
    levels_changed();
}

void set_filter(Filter filter, void* context) noexcept {
    g_filter_context.store(context);
    g_filter.store(filter);
    levels_changed();
}

bool enabled(Level level) noexcept {
    int max = g_max_level.load(std::memory_order_relaxed);
    return level != Level::Off && static_cast<int>(level) <= max;
}

bool wanted(Level level, std::string_view target) noexcept {
    Filter filter = g_filter.load();
    return !filter || filter(g_filter_context.load(), level, target);
}

void deliver(Level level, std::string_view target, std::string_view text) noexcept {
    g_receiver.load()(g_context.load(), level, target, text);
}

}  // namespace kestu::log
