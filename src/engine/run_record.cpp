#include "run_record.hpp"

#include <cstdio>
#include <string>
#include <unordered_set>

#include "../delta/transaction.hpp"

namespace kestu {
namespace {

constexpr size_t kMaxPaths = 20;

std::string elapsed_since(std::chrono::steady_clock::time_point start) {
    std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - start;
    char text[48];
    std::snprintf(text, sizeof text, " (%.3f ms)", ms.count());
    return text;
}

// The distinct paths of the log, in the order first written.
std::string written_paths(PyObject* tx) {
    std::string out;
    std::unordered_set<std::string> seen;
    size_t more = 0;
    as_transaction(tx)->delta_log.for_each([&](const DeltaEntry& e) {
        std::string path = delta_path(e);
        if (!seen.insert(path).second) return;
        if (seen.size() > kMaxPaths) {
            ++more;
            return;
        }
        if (!out.empty()) out += ", ";
        out += path;
    });
    if (out.empty()) return "wrote nothing";
    if (more) out += ", and " + std::to_string(more) + " more";
    return "wrote " + out;
}

// type(exc).__name__ of the error being raised.
std::string raised_type() {
    PyObject* type = PyErr_Occurred();
    if (!type || !PyType_Check(type)) return "an error";
    std::string_view name = reinterpret_cast<PyTypeObject*>(type)->tp_name;
    if (size_t dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
    return std::string(name);
}

}  // namespace

void RunRecord::emit_success(PyObject* tx) noexcept {
    try {
        std::string text = "process '" + std::string(process_) + "': ";
        if (tx) text += "committed" + elapsed_since(start_) + "; " + written_paths(tx);
        else text += "returned" + elapsed_since(start_) + "; not strict, writes not recorded";
        log::deliver(log::Level::Debug, kEngineTarget, text);
    } catch (...) {  // out of memory, or a path that could not be spelled: no record
        PyErr_Clear();
    }
}

void RunRecord::failed() noexcept {
    try {
        std::string type = raised_type();
        bool refused = type == "AuditBlockError" || type == "AuditInterlockError";
        std::string text = "process '" + std::string(process_) + "': " + (refused ? "refused by " : "raised ") + type;
        if (strict_) text += ", rolled back" + elapsed_since(start_);
        else text += elapsed_since(start_) + "; not strict, writes stay";
        log::deliver(log::Level::Debug, kEngineTarget, text);
    } catch (...) {  // out of memory: no record
    }
}

}  // namespace kestu
