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

}  // namespace

void set_max_level(Level level) noexcept { g_max_level.store(static_cast<int>(level)); }
Level max_level() noexcept { return static_cast<Level>(g_max_level.load()); }

void set_receiver(Receiver receiver, void* context) noexcept {
    g_context.store(context);
    g_receiver.store(receiver ? receiver : &no_op);
}

void set_filter(Filter filter, void* context) noexcept {
    g_filter_context.store(context);
    g_filter.store(filter);
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
