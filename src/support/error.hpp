#pragma once
// One error model inside, a hard stop at the boundary.
//
// Inside the core a failed C API call throws `py_error` (the Python
// exception is already set). Every function that CPython calls is wrapped
// by `entry<F>`, which turns `py_error`, `std::bad_alloc` and anything else
// into a set Python exception and the slot's error value. No C++ exception
// ever crosses into CPython.
#include <Python.h>

#include <new>
#include <string_view>

#include "ref.hpp"

namespace kestu {

struct py_error {};

[[noreturn]] inline void throw_py() { throw py_error{}; }

// New reference or throw.
inline Ref check(PyObject* p) {
    if (!p) throw py_error{};
    return Ref::steal(p);
}
// C API status (-1 on failure) or throw.
inline int check_status(int rc) {
    if (rc < 0) throw py_error{};
    return rc;
}

[[noreturn]] void throw_error(PyObject* type, std::string_view text);
[[noreturn]] inline void throw_type_error(std::string_view text) { throw_error(PyExc_TypeError, text); }

// The internal-error exception: a BaseException subclass, so `except
// Exception` does not swallow a broken invariant. Raising it also writes a
// one-line report to fd 2.
PyObject* internal_error_type();
[[noreturn]] void throw_internal_error(std::string_view text);

template <typename R>
constexpr R error_value() noexcept {
    if constexpr (std::is_pointer_v<R>) return nullptr;
    else return static_cast<R>(-1);
}

void set_unexpected_cpp_error() noexcept;

template <auto F>
struct entry;

template <typename R, typename... A, R (*F)(A...)>
struct entry<F> {
    static R call(A... a) noexcept {
        try {
            return F(a...);
        } catch (const py_error&) {
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (...) {
            set_unexpected_cpp_error();
        }
        return error_value<R>();
    }
};

// `wrap<F>` is the CPython-callable form of F.
template <auto F>
inline constexpr auto wrap = &entry<F>::call;

// Cast a FASTCALL method through void(*)(void) for PyMethodDef.
template <typename T>
inline PyCFunction as_cfunction(T fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

}  // namespace kestu
