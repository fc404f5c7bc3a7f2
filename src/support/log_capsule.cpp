#include "log_capsule.hpp"

#include <utility>

#include "compat.hpp"
#include "error.hpp"

namespace kestu::log {
namespace {

PyObject* internal_error_class() noexcept {
    try {
        return Ref::borrow(internal_error_type()).release();
    } catch (const py_error&) {
    } catch (...) {
        PyErr_NoMemory();
    }
    return nullptr;
}

// Static, so the pointer in the capsule stays valid for the whole process.
const ChannelApi kChannelApi = {kChannelApiVersion, &set_max_level, &set_receiver, &set_filter,
                                &defer_exception,   &levels_changed, &internal_error_class};

}  // namespace

namespace detail {

int deferred_threads = 0;  // changed under the interpreter lock only

namespace {
thread_local PyObject* deferred = nullptr;
}

void raise_deferred_now() {
    PyObject* exc = std::exchange(deferred, nullptr);
    if (!exc) return;  // another thread's
    --deferred_threads;
    if (PyObject* current = compat::fetch_exception()) {
        if (current != exc) PyException_SetContext(exc, current);  // steals
        else Py_DECREF(current);
    }
    compat::restore_exception(exc);
    throw py_error{};
}

}  // namespace detail

void defer_exception(PyObject* exc) noexcept {
    if (!exc) return;
    if (detail::deferred) {
        Py_DECREF(exc);
        return;
    }
    detail::deferred = exc;
    ++detail::deferred_threads;
}

void publish_channel() {
    // Borrowed; null without an exception means the interpreter keeps no dict.
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!dict) return;
    Ref capsule = check(PyCapsule_New(const_cast<ChannelApi*>(&kChannelApi), kChannelCapsule, nullptr));
    check_status(PyDict_SetItemString(dict, kChannelCapsule, capsule.get()));
}

}  // namespace kestu::log
