// Workflows: process steps and the "if", "while" and "run" control steps,
// with conditions given as Python expressions over the context.
#include <cstring>
#include <string>
#include <unordered_map>

#include "../support/args.hpp"
#include "../support/error.hpp"
#include "../support/names.hpp"
#include "../support/probe.hpp"
#include "engine.hpp"
#include "notes.hpp"

namespace kestu {
namespace {

constexpr unsigned kLoopLimit = 10000;

// Compiled conditions by text. Compiling is pure, so the code object of a
// text can be reused; evaluation never is. Process-wide and never freed,
// like the other lazily created state of the core.
struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
using CodeCache = std::unordered_map<std::string, Ref, TextHash, std::equal_to<>>;
constexpr size_t kMaxCachedConditions = 512;

CodeCache& code_cache() {
    static CodeCache* const cache = new CodeCache();
    return *cache;
}

// `text` is NUL-free and NUL-terminated (the UTF-8 buffer of a str).
Ref compiled_condition(std::string_view text) {
    CodeCache& cache = code_cache();
    if (auto it = cache.find(text); it != cache.end()) return it->second.dup();
    Ref code = check(Py_CompileStringExFlags(text.data(), "<string>", Py_eval_input, nullptr, -1));
    if (cache.size() >= kMaxCachedConditions) {
        // Moved out first: a weakref callback on a dropped code object may
        // evaluate a condition and so use the cache again.
        CodeCache old = std::move(cache);
        cache.clear();
        old.clear();
    }
    code_cache().emplace(std::string(text), code.dup());
    return code;
}

// The value under `key` of a dict (no __missing__), or an empty Ref.
Ref dict_item(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) throw py_error{};
    return Ref::borrow(value);
}

// Stores ctx.<attr> under `name` when the read succeeds.
void bind_optional(PyObject* locals, PyObject* ctx, PyObject* attr, PyObject* name) {
    Ref value;
    try {
        value = get_optional_attr(ctx, attr);
    } catch (const py_error&) {
        discard_ordinary_error();
    }
    if (value) check_status(PyDict_SetItem(locals, name, value.get()));
}

PyObject* main_module() {
    // The usual case without building the name each time; anything unusual
    // in sys.modules goes through PyImport_AddModule's own rules.
    PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), KNAME("__main__"));
    if (found && PyModule_CheckExact(found)) return found;
    if (PyErr_Occurred()) throw py_error{};
    PyObject* main = PyImport_AddModule("__main__");
    if (!main) throw py_error{};
    return main;
}

// __main__.__dict__ (new reference), given builtins when it has none.
Ref main_globals() {
    Ref globals = Ref::borrow(PyModule_GetDict(main_module()));
    PyObject* builtins = PyDict_GetItemWithError(globals.get(), KNAME("__builtins__"));
    if (!builtins) {
        if (PyErr_Occurred()) throw py_error{};
        check_status(PyDict_SetItem(globals.get(), KNAME("__builtins__"), PyEval_GetBuiltins()));
    }
    return globals;
}

// The condition of an "if" or "while" step: its text, or "False".
Ref condition_of(PyObject* step) {
    Ref text = dict_item(step, KNAME("condition"));
    if (!text) return Ref::borrow(KNAME("False"));
    if (!PyUnicode_Check(text.get())) {
        try {
            throw_conversion_error(text.get(), "PyString", nullptr);
        } catch (const py_error&) {
            notes::rethrow_in_condition(text.get());
        }
    }
    return text;
}

// The value of a step's condition; a failure names the condition.
bool test_condition(EngineObject* self, PyObject* condition) {
    try {
        return Engine::evaluate_condition(self, condition);
    } catch (const py_error&) {
        notes::rethrow_in_condition(condition);
    }
}

void run_process_step(EngineObject* self, std::string_view name, const CallKwargs& kwargs) {
    try {
        Engine::execute_process(self, name, kwargs);
    } catch (const py_error&) {
        notes::rethrow_in_process(name);
    }
}

// Runs the list under `key` of a step, when present.
void run_branch(EngineObject* self, PyObject* step, PyObject* key, const CallKwargs& kwargs) {
    Ref branch = dict_item(step, key);
    if (!branch) return;
    try {
        require_list(branch.get(), nullptr);
        Engine::run_steps(self, branch.get(), kwargs);
    } catch (const py_error&) {
        notes::rethrow_in_branch(key);
    }
}

class RecursionScope {
public:
    explicit RecursionScope(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw py_error{};
    }
    RecursionScope(const RecursionScope&) = delete;
    RecursionScope& operator=(const RecursionScope&) = delete;
    ~RecursionScope() { Py_LeaveRecursiveCall(); }
};

}  // namespace

void Engine::run_steps(EngineObject* self, PyObject* steps, const CallKwargs& kwargs) {
    // Steps may nest (and even contain themselves): bound the depth.
    RecursionScope depth(" while running workflow steps");
    Ref list = Ref::borrow(steps);
    const Py_ssize_t start = PyList_GET_SIZE(steps);
    // Appended items are not visited; a list shortened by a step ends early.
    for (Py_ssize_t i = 0; i < start && i < PyList_GET_SIZE(steps); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(steps, i));
        try {
            execute_flux_step(self, item.get(), kwargs);
        } catch (const py_error&) {
            notes::rethrow_at_index(item.get(), i);
        }
    }
}

void Engine::execute_flux_step(EngineObject* self, PyObject* step, const CallKwargs& kwargs) {
    if (PyUnicode_Check(step)) {
        run_process_step(self, to_utf8(step, nullptr), kwargs);
        return;
    }
    if (!PyDict_Check(step)) return;
    if (Ref name = dict_item(step, KNAME("process"))) {
        run_process_step(self, to_utf8(name.get(), nullptr), kwargs);
        return;
    }
    Ref flux = dict_item(step, KNAME("flux"));
    if (!flux) return;
    std::string_view kind = to_utf8(flux.get(), nullptr);
    if (kind == "if") {
        Ref condition = condition_of(step);
        bool taken = test_condition(self, condition.get());
        run_branch(self, step, taken ? KNAME("then") : KNAME("else"), kwargs);
    } else if (kind == "while") {
        Ref condition = condition_of(step);
        unsigned runs = 0;
        while (test_condition(self, condition.get())) {
            if (runs == kLoopLimit) {
                PyErr_SetString(PyExc_RuntimeError, "Flux Loop Safety Trip");
                notes::throw_loop_trip(condition.get());
            }
            ++runs;
            // Looked up afresh: a process may change the loop's own body.
            run_branch(self, step, KNAME("do"), kwargs);
        }
    } else if (kind == "run") {
        run_branch(self, step, KNAME("steps"), kwargs);
    }
}

bool Engine::evaluate_condition(EngineObject* self, PyObject* condition) {
    Ref ctx = self->ctx.dup();
    Ref locals = check(PyDict_New());
    check_status(PyDict_SetItem(locals.get(), KNAME("ctx"), ctx.get()));
    bind_optional(locals.get(), ctx.get(), KNAME("domain_ctx"), KNAME("domain"));
    bind_optional(locals.get(), ctx.get(), KNAME("global_ctx"), KNAME("global"));

    std::string_view text = to_utf8(condition, nullptr);
    if (const void* nul = std::memchr(text.data(), 0, text.size())) {
        size_t pos = static_cast<size_t>(static_cast<const char*>(nul) - text.data());
        throw_error(PyExc_ValueError,
                    "Invalid CString: nul byte found in provided data at position: " + std::to_string(pos));
    }
    Ref code = compiled_condition(text);
    Ref globals = main_globals();
    Ref result = check(PyEval_EvalCode(code.get(), globals.get(), locals.get()));
    // Truthiness is not enough: the expression must give a bool.
    return to_bool(result.get(), nullptr);
}

}  // namespace kestu
