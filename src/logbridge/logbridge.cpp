// kestu._logbridge: the core's log records, delivered to Python's logging.
//
// The core publishes its logging channel as a capsule in the interpreter's
// state dict (support/log_capsule.hpp). connect() installs two functions on it,
// both called by the core with the GIL held, inside the operation that emits:
//
//  * the filter, before a record is formatted. It drops a record that the
//    target's logger would drop by reading the logger's level cache (logging
//    fills it in isEnabledFor and clears it in place whenever a level changes),
//    and calls isEnabledFor only when the cache has no answer. A transition at
//    INFO therefore costs one dict lookup while INFO is off.
//  * the receiver, which calls emit(logger, levelno, text) in Python.
//
// Neither may disturb the operation that emitted: a pending exception is
// saved and restored around every call into Python (the cache look-up is one:
// a key planted in the cache runs its __eq__). An Exception that escapes
// (emit already reports handler errors the way logging does) goes to the
// unraisable hook; a BaseException that is not an Exception (Ctrl-C,
// SystemExit) is handed back to the core, which raises it in this thread
// once the operation has completed, as logging lets it through the call that
// logged. After any call into Python the bridge may have been disconnected or
// replaced, so nothing read before the call is used after it.
//
// This module links nothing of the core: it reaches the channel only through
// the capsule, so both modules share the core's one channel.
#include <Python.h>

#include <cstdint>
#include <new>
#include <string_view>

#include "support/compat.hpp"
#include "support/log_capsule.hpp"
#include "support/ref.hpp"

namespace {

using kestu::Ref;
namespace klog = kestu::log;

// Built without exceptions and without the C++ runtime: no container, no
// operator new. The core has two targets; a few more leave room to grow.
constexpr int kMaxTargets = 8;

struct Target {
    Ref name;  // str, as the core spells it: "kestu_core::fsm"
    std::string_view utf8;  // of `name`, which keeps it alive
    Ref logger;
    Ref cache;  // the logger's level cache (a dict), or empty: ask every time
};

struct Bridge {
    const klog::ChannelApi* api = nullptr;
    Ref logger_for;      // target name -> (logger, cache dict or None)
    Ref emit;            // (logger, levelno, text) -> None
    Ref is_enabled_for;  // the method name, interned
    Ref levelnos[6];     // by klog::Level; Off is never a record level
    Target targets[kMaxTargets];
    int count = 0;
};

// Touched only with the GIL held. In Python's heap rather than a static, so
// that no static destructor releases Python objects after the interpreter is
// gone.
Bridge* g_bridge = nullptr;
// Changes on every connect and disconnect: a callback compares it across a
// call into Python to learn whether its bridge is still the current one.
uint64_t g_generation = 0;
// The core's table, static in the core: valid for the life of the process,
// also once the bridge is gone.
const klog::ChannelApi* g_api = nullptr;

constexpr long kLevelnos[6] = {0, 40, 30, 20, 10, 5};  // Off, Error, Warn, Info, Debug, Trace

struct SavedError {
    PyObject* exc;
    SavedError() : exc(kestu::compat::fetch_exception()) {}
    ~SavedError() { kestu::compat::restore_exception(exc); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
};

// The error that escaped a call into Python. An Exception goes to the
// unraisable hook and the operation goes on; anything else (Ctrl-C,
// SystemExit) leaves the operation once it has completed.
void report(PyObject* where) {
    if (PyErr_ExceptionMatches(PyExc_Exception) || !g_api) return PyErr_WriteUnraisable(where);
    g_api->defer_exception(kestu::compat::fetch_exception());
}

Target* find(Bridge* bridge, std::string_view name) {
    for (int i = 0; i < bridge->count; ++i)
        if (bridge->targets[i].utf8 == name) return &bridge->targets[i];
    return nullptr;
}

// The target of `name`, asking logger_for the first time. Runs Python; null
// when that failed (reported), the table is full or the bridge changed.
Target* target_for(std::string_view name) {
    Bridge* bridge = g_bridge;
    if (Target* t = find(bridge, name)) return t;
    if (bridge->count == kMaxTargets) return nullptr;
    const uint64_t generation = g_generation;
    Ref logger_for = bridge->logger_for.dup();
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
    Py_ssize_t size = 0;
    const char* bytes = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;  // kept in the str
    Ref pair = bytes ? Ref::steal(PyObject_CallOneArg(logger_for.get(), text.get())) : Ref();
    if (pair && !(PyTuple_Check(pair.get()) && PyTuple_GET_SIZE(pair.get()) == 2)) {
        PyErr_SetString(PyExc_TypeError, "logger_for must return a (logger, cache) pair");
        pair.reset();
    }
    if (!pair) {
        report(logger_for.get());
        return nullptr;
    }
    if (generation != g_generation || bridge->count == kMaxTargets) return nullptr;
    Target& target = bridge->targets[bridge->count++];
    target.name = std::move(text);
    target.utf8 = std::string_view(bytes, static_cast<size_t>(size));
    target.logger = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
    PyObject* cache = PyTuple_GET_ITEM(pair.get(), 1);
    if (PyDict_Check(cache)) target.cache = Ref::borrow(cache);
    return &target;
}

// logger.isEnabledFor(levelno), which also fills the cache. An error counts as
// wanted: emit meets it again and reports it the way logging does.
bool ask_logger(klog::Level level, std::string_view name) {
    SavedError saved;
    const uint64_t generation = g_generation;
    Target* target = target_for(name);
    if (!target || generation != g_generation) return false;
    Ref logger = target->logger.dup();
    Ref levelno = g_bridge->levelnos[static_cast<int>(level)].dup();
    Ref method = g_bridge->is_enabled_for.dup();
    Ref answer = Ref::steal(PyObject_CallMethodOneArg(logger.get(), method.get(), levelno.get()));
    int truth = answer ? PyObject_IsTrue(answer.get()) : -1;
    if (truth >= 0) return truth == 1;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        report(logger.get());
        return false;
    }
    PyErr_Clear();
    return true;
}

// The core keeps a filter's answer until logging's levels change (kestu.logging
// tells it). An answer read from the logger's level cache depends on nothing
// else, since logging clears that cache on every change of a level; any other
// answer (isEnabledFor, which also looks at `disabled`; a failed look-up; a
// bridge replaced meanwhile) is marked as not to be kept.
bool not_kept(bool answer) noexcept {
    if (g_api) g_api->levels_changed();
    return answer;
}

bool filter(void*, klog::Level level, std::string_view name) noexcept {
    Bridge* bridge = g_bridge;
    if (!bridge || level <= klog::Level::Off || level > klog::Level::Trace) return false;
    Target* target = find(bridge, name);
    if (target && target->cache) {
        // logging keys the cache by int only, but anyone may plant a key
        // there whose __eq__ runs in the look-up: it may raise or even
        // disconnect us. The value is only compared with the two singletons.
        // No hit: ask the logger, which fills the cache.
        SavedError saved;
        const uint64_t generation = g_generation;
        Ref cache = target->cache.dup();
        Ref levelno = bridge->levelnos[static_cast<int>(level)].dup();
        PyObject* hit = PyDict_GetItemWithError(cache.get(), levelno.get());
        if (!hit && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                report(cache.get());
                return not_kept(false);
            }
            PyErr_Clear();  // no answer: the logger is asked below
        }
        if (generation != g_generation) return not_kept(false);
        if (hit == Py_False) return false;
        if (hit == Py_True) return true;
    }
    return not_kept(ask_logger(level, name));
}

void receive(void*, klog::Level level, std::string_view name, std::string_view text) noexcept {
    Bridge* bridge = g_bridge;
    Target* target = bridge ? find(bridge, name) : nullptr;
    if (!target) return;  // the filter adds every target it lets through
    Ref emit = bridge->emit.dup();
    Ref logger = target->logger.dup();
    Ref levelno = bridge->levelnos[static_cast<int>(level)].dup();
    SavedError saved;
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) {
        report(emit.get());
        return;
    }
    PyObject* args[] = {logger.get(), levelno.get(), message.get()};
    Ref result = Ref::steal(PyObject_Vectorcall(emit.get(), args, 3, nullptr));
    if (!result) report(emit.get());
}

// The core's table, importing kestu_core if it has not published it yet.
// Borrowed: the table is static in the core. Null with an exception set.
const klog::ChannelApi* channel_api() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
        PyObject* capsule = dict ? PyDict_GetItemString(dict, klog::kChannelCapsule) : nullptr;
        if (capsule) {
            auto* api = static_cast<const klog::ChannelApi*>(PyCapsule_GetPointer(capsule, klog::kChannelCapsule));
            if (!api) return nullptr;
            if (api->version != klog::kChannelApiVersion) {
                PyErr_SetString(PyExc_ImportError, "kestu._logbridge and kestu_core come from different builds");
                return nullptr;
            }
            return api;
        }
        if (attempt == 0) {
            Ref core = Ref::steal(PyImport_ImportModule("kestu_core"));
            if (!core) return nullptr;
        }
    }
    PyErr_SetString(PyExc_ImportError, "kestu_core left no logging channel in this interpreter");
    return nullptr;
}

void free_bridge(Bridge* bridge) {
    bridge->~Bridge();
    PyMem_Free(bridge);
}

void disconnect_bridge() {
    Bridge* bridge = g_bridge;
    if (!bridge) return;
    // Off first: from here on the core neither asks nor delivers.
    bridge->api->set_max_level(klog::Level::Off);
    bridge->api->set_receiver(nullptr, nullptr);
    bridge->api->set_filter(nullptr, nullptr);
    g_bridge = nullptr;
    ++g_generation;
    free_bridge(bridge);  // releases Python objects; the channel no longer reaches them
}

PyObject* bridge_connect(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "connect() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    if (!PyCallable_Check(args[0]) || !PyCallable_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "connect(logger_for, emit) takes two callables");
        return nullptr;
    }
    const klog::ChannelApi* api = channel_api();
    if (!api) return nullptr;
    void* memory = PyMem_Malloc(sizeof(Bridge));
    if (!memory) return PyErr_NoMemory();
    Bridge* bridge = new (memory) Bridge();
    bridge->api = api;
    bridge->logger_for = Ref::borrow(args[0]);
    bridge->emit = Ref::borrow(args[1]);
    bool ok = bool(bridge->is_enabled_for = Ref::steal(PyUnicode_InternFromString("isEnabledFor")));
    for (int level = 1; ok && level < 6; ++level)
        ok = bool(bridge->levelnos[level] = Ref::steal(PyLong_FromLong(kLevelnos[level])));
    if (!ok) {
        free_bridge(bridge);
        return nullptr;
    }
    disconnect_bridge();
    g_api = api;
    g_bridge = bridge;
    ++g_generation;
    api->set_filter(&filter, nullptr);
    api->set_receiver(&receive, nullptr);
    api->set_max_level(klog::Level::Trace);  // the loggers' own levels decide
    Py_RETURN_NONE;
}

PyObject* bridge_disconnect(PyObject*, PyObject*) {
    disconnect_bridge();
    Py_RETURN_NONE;
}

PyObject* bridge_is_connected(PyObject*, PyObject*) { return PyBool_FromLong(g_bridge != nullptr); }

// logging's levels changed (kestu.logging learns it where logging clears its
// own level caches): the core asks its filter again.
PyObject* bridge_levels_changed(PyObject*, PyObject*) {
    const klog::ChannelApi* api = channel_api();
    if (!api) return nullptr;
    api->levels_changed();
    Py_RETURN_NONE;
}

// The core's internal-error class, which no module of the core carries.
PyObject* bridge_internal_error(PyObject*, PyObject*) {
    const klog::ChannelApi* api = channel_api();
    return api ? api->internal_error() : nullptr;
}

PyMethodDef bridge_methods[] = {
    {"connect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(bridge_connect)), METH_FASTCALL,
     "connect($module, logger_for, emit, /)\n--\n\n"
     "Deliver the core's records: logger_for(target) gives (logger, its level cache or None),\n"
     "emit(logger, levelno, text) logs one. Replaces an earlier connection."},
    {"disconnect", bridge_disconnect, METH_NOARGS, "disconnect($module, /)\n--\n\n"
     "Stop the delivery; records are dropped before their text is built."},
    {"is_connected", bridge_is_connected, METH_NOARGS, "is_connected($module, /)\n--\n\n"
     "Whether records are being delivered."},
    {"levels_changed", bridge_levels_changed, METH_NOARGS, "levels_changed($module, /)\n--\n\n"
     "Tell the core that logging's levels changed, so that it asks again whether records are wanted."},
    {"internal_error", bridge_internal_error, METH_NOARGS, "internal_error($module, /)\n--\n\n"
     "The core's internal-error class, a BaseException subclass (reached as kestu.InternalError)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef bridge_module = {
    PyModuleDef_HEAD_INIT,
    "kestu._logbridge",
    "Delivers kestu_core's log records to Python's logging; used by kestu.logging.",
    -1,
    bridge_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__logbridge() { return PyModule_Create(&bridge_module); }
