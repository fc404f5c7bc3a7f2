// Shadow copies: one shallow copy per object and transaction, the object
// itself for heavy-zone paths and for objects that refuse to be copied.
#include <mutex>
#include <string>
#include <unordered_set>

#include "../support/compat.hpp"
#include "../support/error.hpp"
#include "../support/names.hpp"
#include "../support/probe.hpp"
#include "../support/text.hpp"
#include "../zones/zone.hpp"
#include "transaction.hpp"

namespace kestu {
namespace {

struct HeavyPaths {
    std::mutex mutex;
    std::unordered_set<std::string> paths;
};

// LOGGED_HEAVY_PATHS: the paths whose heavy-zone notice was printed, for
// the life of the process (never freed).
HeavyPaths& logged_heavy_paths() {
    static HeavyPaths* const set = new HeavyPaths();
    return *set;
}

void heavy_notice_once(std::string_view path) {
    HeavyPaths& heavy = logged_heavy_paths();
    std::lock_guard<std::mutex> lock(heavy.mutex);
    std::string key(path);
    if (heavy.paths.contains(key)) return;
    write_stderr_line("[Kestu] HEAVY zone: skipping shadow copy for '" + key + "' (Logged once)");
    heavy.paths.insert(std::move(key));
}

uintptr_t identity(PyObject* o) { return reinterpret_cast<uintptr_t>(o); }

void cache_by_reference(TransactionObject* t, PyObject* original) {
    t->shadow_cache.assign(identity(original), ShadowPair{Ref::borrow(original), Ref::borrow(original)});
}

}  // namespace

Ref get_shadow(PyObject* tx, PyObject* original_ptr, std::optional<std::string_view> path) {
    TransactionObject* t = as_transaction(tx);
    Ref original = Ref::borrow(original_ptr);
    if (const ShadowPair* hit = t->shadow_cache.find(identity(original.get()))) return hit->shadow.dup();

    if (path) {
        std::string_view segment = *path;
        if (size_t dot = segment.rfind('.'); dot != std::string_view::npos) segment = segment.substr(dot + 1);
        if (resolve_zone(segment) == ContextZone::Heavy) {
            heavy_notice_once(*path);
            cache_by_reference(t, original.get());
            return original;
        }
    }

    Ref module = check(PyImport_Import(KNAME("copy")));  // honours import hooks
    Ref shadow = Ref::steal(PyObject_GetAttr(module.get(), KNAME("copy")));
    if (shadow) shadow = Ref::steal(PyObject_CallOneArg(shadow.get(), original.get()));
    if (!shadow) {
        // Ctrl-C, SystemExit and broken invariants are not copy failures.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py_error{};
        Ref e_value = Ref::steal(compat::fetch_exception());
        std::string error = e_value ? exception_text(e_value.get()) : std::string("<exception str() failed>");
        std::string type_text = type_name_or(original.get(), "unknown");
        std::string path_text = path ? std::string(*path) : std::string("unknown");
        write_stderr_line("[Kestu] WARNING: Cannot copy '" + path_text + "' (type: " + type_text + "): " + error +
                          ". Using reference instead.");
        cache_by_reference(t, original.get());
        return original;
    }
    if (PyObject_SetAttr(shadow.get(), KNAME("_lock_manager"), Py_None) < 0) discard_ordinary_error();
    t->shadow_cache.assign(identity(original.get()), ShadowPair{original.dup(), shadow.dup()});
    t->shadow_cache.assign(identity(shadow.get()), ShadowPair{original.dup(), shadow.dup()});
    return shadow;
}

}  // namespace kestu
