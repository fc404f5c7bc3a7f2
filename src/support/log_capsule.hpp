#pragma once
// The logging channel's switches, reachable from another extension module.
//
// The core's module surface is fixed (nine classes, one exported symbol), so
// the channel is not a module attribute: at initialisation the core leaves a
// capsule holding a `ChannelApi` in the interpreter's state dict, under the
// capsule's own name. The kestu package's bridge to Python logging reads it
// from there. Both sides are built from this header by the same project; the
// version guards against mixing builds.
#include "log.hpp"

namespace kestu::log {

inline constexpr const char* kChannelCapsule = "kestu_core._log_channel";
inline constexpr int kChannelApiVersion = 1;

struct ChannelApi {
    int version;  // kChannelApiVersion of the core that published it
    void (*set_max_level)(Level level) noexcept;
    void (*set_receiver)(Receiver receiver, void* context) noexcept;
    void (*set_filter)(Filter filter, void* context) noexcept;
};

// Leaves the capsule in the current interpreter's state dict (a no-op when
// the interpreter has none); throws py_error on failure.
void publish_channel();

}  // namespace kestu::log
