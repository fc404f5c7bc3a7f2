#pragma once
// A tiny test harness for what Python cannot see. Each TEST registers
// itself; CHECK records a failure and carries on.
#include <Python.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace harness {

struct Case {
    const char* name;
    void (*fn)();
};

std::vector<Case>& cases();
void fail(const char* file, int line, const std::string& what);
bool current_failed();

struct Register {
    Register(const char* name, void (*fn)()) { cases().push_back({name, fn}); }
};

// Runs Python source in __main__ and returns the value of the expression
// `result` afterwards (new reference), or null with the error printed.
PyObject* run_python(const char* source, const char* result);

}  // namespace harness

#define TEST(name)                                              \
    static void test_##name();                                  \
    static harness::Register register_##name(#name, test_##name); \
    static void test_##name()

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) harness::fail(__FILE__, __LINE__, "CHECK(" #cond ")"); \
    } while (0)

#define CHECK_EQ(a, b)                                                                        \
    do {                                                                                      \
        auto&& check_a_ = (a);                                                                \
        auto&& check_b_ = (b);                                                                \
        if (!(check_a_ == check_b_)) harness::fail(__FILE__, __LINE__, "CHECK_EQ(" #a ", " #b ")"); \
    } while (0)
