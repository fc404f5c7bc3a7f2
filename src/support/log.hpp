#pragma once
// The logging channel: records of (target, level, text).
//
// The maximum level starts at Off and the receiver is a no-op; the module
// itself never changes either. An embedding host sets both from C++. A
// record's text is formatted only when its level is admitted.
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

bool enabled(Level level) noexcept;
void deliver(Level level, std::string_view target, std::string_view text) noexcept;

// `format` is called (returning std::string) only when the level is admitted.
template <typename Format>
void emit(Level level, std::string_view target, Format&& format) {
    if (enabled(level)) deliver(level, target, std::forward<Format>(format)());
}

}  // namespace kestu::log
