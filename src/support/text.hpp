#pragma once
// Type names, object text and the fd-2 line writer.
#include <Python.h>

#include <string>
#include <string_view>

#include "ref.hpp"

namespace kestu {

// UTF-8 bytes of a str without a call for the common compact-ASCII case;
// null for other strings (the caller falls back to the C API).
inline const char* ascii_data(PyObject* str, Py_ssize_t* len) noexcept {
    if (!PyUnicode_IS_COMPACT_ASCII(str)) return nullptr;
    *len = PyUnicode_GET_LENGTH(str);
    return static_cast<const char*>(PyUnicode_DATA(str));
}

// A new str of UTF-8 text; throws py_error.
Ref new_str(std::string_view text);

// type(o).__name__ as text; throws py_error when it cannot be read.
std::string type_name(PyObject* o);
// type(o).__name__ as a view: into the type itself for ordinary types,
// else into `storage`. Throws py_error when the name cannot be read.
std::string_view type_name_view(PyObject* o, std::string& storage);
// Exact comparison of type(o).__name__ with `name`, with fast paths for
// the built-in types; throws py_error when the name cannot be read.
bool type_name_is(PyObject* o, std::string_view name);
// type(o).__name__, or `fallback` when it cannot be read (error cleared).
std::string type_name_or(PyObject* o, std::string_view fallback);
// type(o).__qualname__ for messages; falls back to the name. Never throws.
std::string type_qualname(PyObject* o);

// UTF-8 of a str object with lone surrogates replaced by U+FFFD.
std::string utf8_lossy(PyObject* str);
// str(o) as UTF-8 (lossy). When str() raises, the exception goes to the
// unraisable hook and "<unprintable {type} object>" stands in.
std::string object_text(PyObject* o);
// "Qualname: text" of an exception instance ("<exception str() failed>"
// stands in for a failing str()). Never throws py_error.
std::string exception_text(PyObject* exc);

// Writes `line` plus a newline to fd 2 in a single write.
void write_stderr_line(std::string_view line) noexcept;

}  // namespace kestu
