#pragma once
// The logging channel's switches, reachable from another extension module,
// and the other piece of the core the kestu package needs by reference: its
// internal-error class.
//
// The core's module surface is fixed (nine classes, one exported symbol), so
// neither is a module attribute: at initialisation the core leaves a capsule
// holding a `ChannelApi` in the interpreter's state dict, under the capsule's
// own name. The kestu package's native module (kestu._logbridge) reads it
// from there. Both sides are built from this header by the same project; the
// version guards against mixing builds.
#include <Python.h>

#include "log.hpp"

namespace kestu::log {

inline constexpr const char* kChannelCapsule = "kestu_core._log_channel";
inline constexpr int kChannelApiVersion = 2;

struct ChannelApi {
    int version;  // kChannelApiVersion of the core that published it
    void (*set_max_level)(Level level) noexcept;
    void (*set_receiver)(Receiver receiver, void* context) noexcept;
    void (*set_filter)(Filter filter, void* context) noexcept;
    void (*defer_exception)(PyObject* exc) noexcept;
    // The host's levels changed: answers kept by the core are asked again.
    void (*levels_changed)() noexcept;
    // The internal-error class (new reference), or null with the error set.
    PyObject* (*internal_error)() noexcept;
};

// Leaves the capsule in the current interpreter's state dict (a no-op when
// the interpreter has none); throws py_error on failure.
void publish_channel();

// A KeyboardInterrupt, SystemExit or other BaseException that is not an
// Exception, raised by a host's filter or receiver while a record was
// delivered (a logging handler, say). As Python's logging lets it through
// the call that logged, it must leave the operation that emitted the
// record, in the thread that emitted it, but not before that operation has
// completed: the host hands it over here (the reference is stolen) and
// the operation raises it at its end. The first one of an operation wins.
void defer_exception(PyObject* exc) noexcept;

namespace detail {
// How many threads hold a deferred exception: the common answer, none, is
// known without a look at thread-local storage.
extern int deferred_threads;
void raise_deferred_now();
}  // namespace detail

// At the end of an operation that emits records: raises the deferred
// exception of this thread, if any (throws py_error), with an exception
// already set as its __context__.
inline void raise_deferred() {
    if (detail::deferred_threads != 0) detail::raise_deferred_now();
}

}  // namespace kestu::log
