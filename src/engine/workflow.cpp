// Workflows: process steps and the "if", "while" and "run" control steps,
// with conditions given as Python expressions over the context.
#include <cstring>
#include <string>
#include <unordered_map>

#include "../support/args.hpp"
#include "../support/compat.hpp"
#include "../support/error.hpp"
#include "../support/names.hpp"
#include "../support/probe.hpp"
#include "../support/text_hash.hpp"
#include "engine.hpp"
#include "notes.hpp"

namespace kestu {
namespace {

constexpr unsigned kLoopLimit = 10000;

// Compiled conditions by text. Compiling is pure, so the code object of a
// text can be reused; evaluation never is. Process-wide and never freed,
// like the other lazily created state of the core.
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

// The last conditions evaluated, by the identity of their text: a loop's
// condition is found without hashing its text again (an exact str cannot
// change, and each entry holds its str).
struct RecentCondition {
    Ref text;
    Ref code;
};
constexpr size_t kRecentConditions = 16;

RecentCondition& recent_condition(PyObject* text) {
    static RecentCondition* const recent = new RecentCondition[kRecentConditions];
    uintptr_t id = reinterpret_cast<uintptr_t>(text);
    return recent[((id >> 4) ^ (id >> 12)) % kRecentConditions];
}

// The value under `key` of a dict (no __missing__), or an empty Ref.
Ref dict_item(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) throw py_error{};
    return Ref::borrow(value);
}

// ctx.<attr> stored under `name` in the condition's locals when the read
// succeeds, for the two optional names. Probing for an attribute that is
// usually absent first asks whether the class defines it, so that a miss
// need not raise; for a context whose class has the generic getattr and
// defines neither name (learnt once per class, confirmed on every use by a
// stamp of the class) that answer is known, and the instance is asked
// directly. Process-wide, under the interpreter lock.
class OptionalNames {
public:
    void bind(PyObject* locals, PyObject* ctx, PyObject* attr, PyObject* name) {
        Ref value;
        PyObject* found = nullptr;
        // Where a miss raises nothing anyway, there is nothing to learn.
        int status = !compat::kNativeOptionalAttr && plain(Py_TYPE(ctx)) ? compat::get_instance_attr(ctx, attr, &found)
                                                                        : compat::get_optional_attr(ctx, attr, &found);
        value = Ref::steal(found);
        if (status < 0) discard_ordinary_error();
        if (value) check_status(PyDict_SetItem(locals, name, value.get()));
    }

private:
    bool plain(PyTypeObject* type) {
        if (reinterpret_cast<PyObject*>(type) == type_.get() && compat::type_stamp_valid(type, stamp_)) return plain_;
        type_.reset();
        if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || type->tp_getattro != PyObject_GenericGetAttr) return false;
        Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(type));
        compat::TypeStamp stamp;
        if (!compat::take_type_stamp(type, &stamp)) return false;
        // The look-ups can run Python code (a non-str key's __eq__).
        bool defines = defined(type, KNAME("domain_ctx")) || defined(type, KNAME("global_ctx"));
        if (!compat::type_stamp_valid(type, stamp) || type->tp_getattro != PyObject_GenericGetAttr) return false;
        type_ = std::move(keep);
        stamp_ = stamp;
        plain_ = !defines;
        return plain_;
    }
    static bool defined(PyTypeObject* type, PyObject* name) {
        int found = compat::type_defines(type, name);
        if (found < 0) discard_ordinary_error();
        return found != 0;
    }

    Ref type_;
    compat::TypeStamp stamp_;
    bool plain_ = false;
};

OptionalNames& optional_names() {
    static OptionalNames* const names = new OptionalNames();
    return *names;
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
    optional_names().bind(locals.get(), ctx.get(), KNAME("domain_ctx"), KNAME("domain"));
    optional_names().bind(locals.get(), ctx.get(), KNAME("global_ctx"), KNAME("global"));

    Ref code;
    if (RecentCondition& recent = recent_condition(condition); recent.text.get() == condition) {
        code = recent.code.dup();  // its text was checked when it was compiled
    } else {
        std::string_view text = to_utf8(condition, nullptr);
        if (const void* nul = std::memchr(text.data(), 0, text.size())) {
            size_t pos = static_cast<size_t>(static_cast<const char*>(nul) - text.data());
            throw_error(PyExc_ValueError,
                        "Invalid CString: nul byte found in provided data at position: " + std::to_string(pos));
        }
        code = compiled_condition(text);
        if (PyUnicode_CheckExact(condition)) {
            // The entry is whole before what it held is released: a weakref
            // callback on a dropped code object may evaluate a condition too.
            RecentCondition& slot = recent_condition(condition);
            RecentCondition old = std::move(slot);
            slot = RecentCondition{Ref::borrow(condition), code.dup()};
        }
    }
    Ref globals = main_globals();
    Ref result = check(PyEval_EvalCode(code.get(), globals.get(), locals.get()));
    // Truthiness is not enough: the expression must give a bool.
    return to_bool(result.get(), nullptr);
}

}  // namespace kestu
