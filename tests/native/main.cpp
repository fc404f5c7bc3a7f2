// Embeds the interpreter with kestu_core built in, runs every TEST and
// prints "N passed, N failed".
#include <Python.h>

#include <cstdio>

#include "harness.hpp"

extern "C" PyObject* PyInit_kestu_core();

namespace harness {
namespace {
bool g_failed = false;
}

std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}

void fail(const char* file, int line, const std::string& what) {
    g_failed = true;
    std::fprintf(stderr, "  %s:%d: %s\n", file, line, what.c_str());
}

bool current_failed() { return g_failed; }

PyObject* run_python(const char* source, const char* result) {
    PyObject* main = PyImport_AddModule("__main__");
    if (!main) return nullptr;
    PyObject* globals = PyModule_GetDict(main);
    PyObject* r = PyRun_String(source, Py_file_input, globals, globals);
    if (!r) {
        PyErr_Print();
        return nullptr;
    }
    Py_DECREF(r);
    PyObject* value = PyRun_String(result, Py_eval_input, globals, globals);
    if (!value) PyErr_Print();
    return value;
}

}  // namespace harness

int main() {
    if (PyImport_AppendInittab("kestu_core", PyInit_kestu_core) < 0) return 2;
    Py_Initialize();
    int passed = 0, failed = 0;
    for (const harness::Case& c : harness::cases()) {
        harness::g_failed = false;
        c.fn();
        if (PyErr_Occurred()) {
            harness::fail(__FILE__, __LINE__, "Python error left set");
            PyErr_Print();
        }
        if (harness::g_failed) {
            ++failed;
            std::printf("FAIL %s\n", c.name);
        } else {
            ++passed;
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    if (Py_FinalizeEx() < 0) return 3;
    return failed == 0 ? 0 : 1;
}
