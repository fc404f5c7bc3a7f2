#pragma once
// The logging channel: records of (target, level, text).
//
// The maximum level starts at Off, the receiver is a no-op and there is no
// filter; the module itself never changes any of them. A host sets them from
// C++ (an embedding program directly, the kestu package's bridge to Python
// logging through the table in log_capsule.hpp). A record's text is formatted
// only when its level is admitted and the filter, if any, wants it.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace kestu::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

using Receiver = void (*)(void* context, Level level, std::string_view target, std::string_view text);

void set_max_level(Level level) noexcept;
Level max_level() noexcept;
// A null receiver restores the no-op.
void set_receiver(Receiver receiver, void* context) noexcept;

// Asked after the level check and before formatting, so that a host whose own
// threshold drops a record spends no formatting on it. Null: every admitted
// record is wanted.
using Filter = bool (*)(void* context, Level level, std::string_view target);
void set_filter(Filter filter, void* context) noexcept;

bool enabled(Level level) noexcept;
bool wanted(Level level, std::string_view target) noexcept;
void deliver(Level level, std::string_view target, std::string_view text) noexcept;

// Changes whenever an answer of enabled() or wanted() may have changed: a
// new maximum level, receiver or filter, or the host's word that its own
// levels changed (levels_changed). A filter whose answer must not be kept
// (it depends on more than the host's levels) calls levels_changed() while
// it answers.
uint64_t epoch() noexcept;
void levels_changed() noexcept;

// enabled() && wanted(), asked again only when the epoch moved: for a record
// asked about on a hot path. One per call site, with the GIL held.
struct CachedAnswer {
    uint64_t epoch = ~uint64_t{0};
    bool wanted = false;
};
bool ask(Level level, std::string_view target, CachedAnswer& cached) noexcept;
inline bool wanted_cached(Level level, std::string_view target, CachedAnswer& cached) noexcept {
    return cached.epoch == epoch() ? cached.wanted : ask(level, target, cached);
}

// `format` is called (returning std::string) only when the level is admitted
// and the record wanted.
template <typename Format>
void emit(Level level, std::string_view target, Format&& format) {
    if (enabled(level) && wanted(level, target)) deliver(level, target, std::forward<Format>(format)());
}

// The same for a record emitted on a hot path, with the answer kept at its
// call site (one CachedAnswer per level and target).
template <typename Format>
void emit(Level level, std::string_view target, CachedAnswer& cached, Format&& format) {
    if (wanted_cached(level, target, cached)) deliver(level, target, std::forward<Format>(format)());
}

}  // namespace kestu::log
