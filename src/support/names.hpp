#pragma once
// Interned attribute names for hot paths: created once, lazily, never freed.
#include <Python.h>

namespace kestu {

// Interns `text` for the life of the process; throws py_error on failure
// (the next use tries again).
PyObject* make_interned(const char* text);

}  // namespace kestu

// KNAME("copy") is a borrowed, immortal-for-us interned str.
#define KNAME(text)                                                  \
    ([]() -> PyObject* {                                             \
        static PyObject* const interned = ::kestu::make_interned(text); \
        return interned;                                             \
    }())
