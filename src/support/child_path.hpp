#pragma once
// How a container spells the path of a child: "{path}.{key}" for a dict key
// that is a path word, "{path}[{key}]" for any other, "{path}[{index}]" for a
// list position. The containers build these paths, and the delta log spells
// its entries' paths from the same pieces on demand.
#include <Python.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

#include "alnum.hpp"
#include "error.hpp"
#include "ref.hpp"
#include "text.hpp"

namespace kestu {

// The path str as UTF-8 (lone surrogates become U+FFFD).
inline std::string path_text(PyObject* path) { return utf8_lossy(path); }

// "{path}.{key_text}" when key_text is a path word, else "{path}[{key_text}]".
// str(key) may run user code.
inline std::string dict_child_path(PyObject* path, PyObject* key) {
    const std::string key_text = object_text(key);
    std::string out = path_text(path);
    out.reserve(out.size() + key_text.size() + 2);
    if (is_path_word(key_text)) {
        out += '.';
        out += key_text;
    } else {
        out += '[';
        out += key_text;
        out += ']';
    }
    return out;
}

// ASCII text of a str without a call, or nothing.
inline bool ascii_view(PyObject* str, std::string_view& out) noexcept {
    if (!PyUnicode_IS_COMPACT_ASCII(str)) return false;
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)), static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
    return true;
}

// A str of the pieces, built in place (all ASCII).
inline Ref ascii_str(std::initializer_list<std::string_view> pieces) {
    size_t n = 0;
    for (std::string_view p : pieces) n += p.size();
    Ref out = check(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
    char* at = static_cast<char*>(PyUnicode_DATA(out.get()));
    for (std::string_view p : pieces) at = std::copy(p.begin(), p.end(), at);
    return out;
}

// dict_child_path as a str. An exact str key under an ASCII path is joined
// without the UTF-8 round trip.
inline Ref dict_child_path_str(PyObject* path, PyObject* key) {
    std::string_view p, k;
    if (PyUnicode_CheckExact(key) && ascii_view(path, p) && ascii_view(key, k)) {
        if (is_path_word(k)) return ascii_str({p, ".", k});
        return ascii_str({p, "[", k, "]"});
    }
    return new_str(dict_child_path(path, key));
}

// "{path}[{pos}]".
inline std::string list_child_path(PyObject* path, Py_ssize_t pos) {
    std::string out = path_text(path);
    out += '[';
    out += std::to_string(pos);
    out += ']';
    return out;
}

// list_child_path as a str.
inline Ref list_child_path_str(PyObject* path, Py_ssize_t pos) {
    std::string_view p;
    if (ascii_view(path, p)) {
        char digits[24];
        int n = std::snprintf(digits, sizeof digits, "%zd", pos);
        return ascii_str({p, "[", std::string_view(digits, static_cast<size_t>(n)), "]"});
    }
    return new_str(list_child_path(path, pos));
}

}  // namespace kestu
