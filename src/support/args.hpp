#pragma once
// Argument parsing and conversion with the core's fixed error texts.
//
// A declared parameter that fails to convert raises
//   TypeError("argument '{name}': {reason}")
// and a conversion made inside a method body (arg == nullptr) raises the
// bare reason. Non-TypeError failures (OverflowError, ...) pass unchanged.
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "ref.hpp"

namespace kestu {

struct Param {
    const char* name;
    bool required;
};

struct Signature {
    const char* fname;  // "Transaction.log": used in arity errors
    std::initializer_list<Param> params;
    bool var_kwargs = false;  // collect unknown keywords into a dict
};

// Parses a METH_FASTCALL|METH_KEYWORDS call. out[i] receives the borrowed
// argument for params[i], or nullptr when it was not passed. With
// var_kwargs, *extra receives a new dict of the other keywords.
void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out, Ref* extra = nullptr);
// The same for a (tuple, dict) call such as tp_new.
void parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out,
                Ref* extra = nullptr);
// Refuses any argument (for zero-parameter methods called with keywords).
void parse_no_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames);

// "'{type}' object cannot be converted to '{target}'", prefixed when arg.
[[noreturn]] void throw_conversion_error(PyObject* obj, std::string_view target, const char* arg);
// Re-raises the current error with the "argument '{arg}': " prefix when it
// is a TypeError and arg is given; otherwise leaves it as it is. Throws.
[[noreturn]] void rethrow_with_arg(const char* arg);

// str → UTF-8 view, valid while `o` lives. Target 'PyString'.
std::string_view to_utf8_general(PyObject* o, const char* arg);
inline std::string_view to_utf8(PyObject* o, const char* arg) {
    if (PyUnicode_Check(o) && PyUnicode_IS_COMPACT_ASCII(o))  // the common case, without a call
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(o)), static_cast<size_t>(PyUnicode_GET_LENGTH(o)));
    return to_utf8_general(o, arg);
}
inline std::string to_string(PyObject* o, const char* arg) { return std::string(to_utf8(o, arg)); }
// bool, or a NumPy boolean scalar through its truth slot. Target 'PyBool'.
bool to_bool(PyObject* o, const char* arg);
// True for a Python bool or a NumPy boolean scalar type.
bool is_bool_like(PyObject* o);
// Signed 64-bit integer through __index__.
int64_t to_i64(PyObject* o, const char* arg);
// A sequence of str that is not itself a str.
std::vector<std::string> to_str_vec(PyObject* o, const char* arg);

// Type checks (subclasses accepted) with the conversion error on failure.
void require_dict(PyObject* o, const char* arg);
void require_list(PyObject* o, const char* arg);
void require_tuple(PyObject* o, const char* arg);
void require_type(PyObject* o, PyTypeObject* type, std::string_view target, const char* arg);

}  // namespace kestu
