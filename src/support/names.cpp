#include "names.hpp"

#include "error.hpp"

namespace kestu {

PyObject* make_interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw py_error{};
    return s;  // the one reference is kept for the life of the process
}

}  // namespace kestu
