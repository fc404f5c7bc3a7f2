#include "text.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "error.hpp"
#include "names.hpp"

namespace kestu {
namespace {

// The __name__ of an ordinary type without a Python-level call: the static
// type's own text, or a heap type's name copied into `storage`. False when
// the type has a metaclass that might answer differently, or a name we
// cannot read here.
bool plain_type_name(PyTypeObject* t, std::string_view& out, std::string& storage) {
    if (Py_TYPE(reinterpret_cast<PyObject*>(t)) != &PyType_Type) return false;
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        const char* s = std::strrchr(t->tp_name, '.');
        out = s ? s + 1 : t->tp_name;
        return true;
    }
    Ref name = Ref::steal(PyType_GetName(t));
    Py_ssize_t len = 0;
    const char* s = name && PyUnicode_Check(name.get()) ? ascii_data(name.get(), &len) : nullptr;
    if (!s && name && PyUnicode_Check(name.get())) s = PyUnicode_AsUTF8AndSize(name.get(), &len);
    if (!s) {
        PyErr_Clear();  // the generic path reports what is wrong
        return false;
    }
    storage.assign(s, static_cast<size_t>(len));
    out = storage;
    return true;
}

Ref generic_type_name(PyObject* o) {
    Ref name = check(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(o)), KNAME("__name__")));
    return check(PyObject_Str(name.get()));
}

void append_utf8(std::string& out, Py_UCS4 c) {
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace

Ref new_str(std::string_view text) {
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string type_name(PyObject* o) {
    std::string storage;
    std::string_view name;
    if (plain_type_name(Py_TYPE(o), name, storage)) return std::string(name);
    return utf8_lossy(generic_type_name(o).get());
}

std::string_view type_name_view(PyObject* o, std::string& storage) {
    std::string_view name;
    if (plain_type_name(Py_TYPE(o), name, storage)) return name;
    storage = utf8_lossy(generic_type_name(o).get());
    return storage;
}

bool type_name_is(PyObject* o, std::string_view name) {
    std::string storage;
    return type_name_view(o, storage) == name;
}

std::string type_name_or(PyObject* o, std::string_view fallback) {
    try {
        return type_name(o);
    } catch (const py_error&) {
        PyErr_Clear();
        return std::string(fallback);
    }
}

std::string type_qualname(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    if (Py_TYPE(reinterpret_cast<PyObject*>(t)) == &PyType_Type && (t->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        Ref q = Ref::steal(PyType_GetQualName(t));
        if (q && PyUnicode_Check(q.get())) return utf8_lossy(q.get());
        PyErr_Clear();
    }
    if (Py_TYPE(reinterpret_cast<PyObject*>(t)) != &PyType_Type) {
        PyObject* q = PyObject_GetAttr(reinterpret_cast<PyObject*>(t), KNAME("__qualname__"));
        if (q && PyUnicode_Check(q)) {
            std::string s = utf8_lossy(q);
            Py_DECREF(q);
            return s;
        }
        Py_XDECREF(q);
        PyErr_Clear();
    }
    return type_name_or(o, "<failed to extract type name>");
}

std::string utf8_lossy(PyObject* str) {
    Py_ssize_t len = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(str, &len)) return std::string(s, static_cast<size_t>(len));
    PyErr_Clear();  // lone surrogates: encode by hand
    std::string out;
    Py_ssize_t n = PyUnicode_GetLength(str);
    if (n < 0) {
        PyErr_Clear();
        return out;
    }
    int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) append_utf8(out, PyUnicode_READ(kind, data, i));
    return out;
}

std::string object_text(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return utf8_lossy(o);
    if (PyObject* s = PyObject_Str(o)) {
        std::string out = utf8_lossy(s);
        Py_DECREF(s);
        return out;
    }
    PyErr_WriteUnraisable(o);
    try {
        return "<unprintable " + type_name(o) + " object>";
    } catch (const py_error&) {
        PyErr_Clear();
        return "<unprintable object>";
    }
}

std::string exception_text(PyObject* exc) {
    std::string out = type_qualname(exc);
    out += ": ";
    if (PyObject* s = PyObject_Str(exc)) {
        out += utf8_lossy(s);
        Py_DECREF(s);
    } else {
        PyErr_Clear();
        out += "<exception str() failed>";
    }
    return out;
}

void write_stderr_line(std::string_view line) noexcept {
    std::string buf;
    try {
        buf.reserve(line.size() + 1);
        buf.append(line);
        buf.push_back('\n');
    } catch (...) {
        return;
    }
    const char* p = buf.data();
    size_t left = buf.size();
    while (left > 0) {
        ssize_t n = ::write(2, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace kestu
