#include "args.hpp"

#include <string>

#include "compat.hpp"
#include "error.hpp"
#include "names.hpp"
#include "text.hpp"

namespace kestu {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    // CPython's wording: 'a', 'a' and 'b', 'a', 'b', and 'c'
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
    size_t total = sig.params.size(), required = 0;
    for (const Param& p : sig.params) required += p.required ? 1 : 0;
    std::string msg = std::string(sig.fname) + "() takes ";
    if (required != total)
        msg += "from " + std::to_string(required) + " to " + std::to_string(total) + " positional arguments";
    else
        msg += std::to_string(total) + (total == 1 ? " positional argument" : " positional arguments");
    msg += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    throw_type_error(msg);
}

// Places one keyword argument; returns false when no parameter has that name.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    size_t i = 0;
    for (const Param& p : sig.params) {
        int eq = PyUnicode_CompareWithASCIIString(key, p.name);
        if (eq == 0) {
            if (out[i]) throw_type_error(std::string(sig.fname) + "() got multiple values for argument '" + p.name + "'");
            out[i] = value;
            return true;
        }
        ++i;
    }
    return false;
}

void unknown_keyword(const Signature& sig, PyObject* key, PyObject* value, Ref* extra) {
    if (sig.var_kwargs && extra) {
        if (!*extra) *extra = check(PyDict_New());
        check_status(PyDict_SetItem(extra->get(), key, value));
        return;
    }
    throw_type_error(std::string(sig.fname) + "() got an unexpected keyword argument '" + utf8_lossy(key) + "'");
}

void check_required(const Signature& sig, PyObject** out) {
    std::vector<const char*> missing;
    size_t i = 0;
    for (const Param& p : sig.params) {
        if (p.required && !out[i]) missing.push_back(p.name);
        ++i;
    }
    if (missing.empty()) return;
    std::string msg = std::string(sig.fname) + "() missing " + std::to_string(missing.size()) + " required positional argument" +
                      (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing);
    throw_type_error(msg);
}

void place_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject** out) {
    if (static_cast<size_t>(nargs) > sig.params.size()) too_many_positional(sig, nargs);
    for (size_t i = 0; i < sig.params.size(); ++i) out[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;
}

}  // namespace

void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                Ref* extra) {
    place_positional(sig, args, nargs, out);
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            if (!place_keyword(sig, key, value, out)) unknown_keyword(sig, key, value, extra);
        }
    }
    check_required(sig, out);
}

void parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out, Ref* extra) {
    place_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) throw_type_error("keywords must be strings");
            if (!place_keyword(sig, key, value, out)) unknown_keyword(sig, key, value, extra);
        }
    }
    check_required(sig, out);
}

void parse_no_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 0)
        throw_type_error(std::string(fname) + "() takes 0 positional arguments but " + std::to_string(nargs) +
                         (nargs == 1 ? " was given" : " were given"));
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0)
        throw_type_error(std::string(fname) + "() got an unexpected keyword argument '" +
                         utf8_lossy(PyTuple_GET_ITEM(kwnames, 0)) + "'");
}

void throw_conversion_error(PyObject* obj, std::string_view target, const char* arg) {
    std::string msg;
    if (arg) msg = std::string("argument '") + arg + "': ";
    msg += "'" + type_qualname(obj) + "' object cannot be converted to '";
    msg.append(target);
    msg += "'";
    throw_type_error(msg);
}

void rethrow_with_arg(const char* arg) {
    if (arg && PyErr_ExceptionMatches(PyExc_TypeError)) {
        Ref v = Ref::steal(compat::fetch_exception());
        std::string msg = std::string("argument '") + arg + "': " + (v ? object_text(v.get()) : std::string());
        throw_type_error(msg);
    }
    throw py_error{};
}

std::string_view to_utf8(PyObject* o, const char* arg) {
    if (!PyUnicode_Check(o)) throw_conversion_error(o, "PyString", arg);
    Py_ssize_t len = 0;
    if (const char* a = ascii_data(o, &len)) return std::string_view(a, static_cast<size_t>(len));
    const char* s = PyUnicode_AsUTF8AndSize(o, &len);
    if (!s) throw py_error{};  // lone surrogates: UnicodeEncodeError passes unchanged
    return std::string_view(s, static_cast<size_t>(len));
}

bool is_bool_like(PyObject* o) {
    if (PyBool_Check(o)) return true;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    std::string name;
    try {
        name = type_name(o);
    } catch (const py_error&) {
        PyErr_Clear();
        return false;
    }
    if (name != "bool_" && name != "bool") return false;
    PyObject* module = PyObject_GetAttr(type, KNAME("__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    bool numpy = PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
    Py_DECREF(module);
    return numpy;
}

bool to_bool(PyObject* o, const char* arg) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    if (!is_bool_like(o)) throw_conversion_error(o, "PyBool", arg);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_bool) {
        std::string msg = arg ? std::string("argument '") + arg + "': " : std::string();
        msg += "object of type '" + type_name(o) + "' does not define a '__bool__' conversion";
        throw_type_error(msg);
    }
    int r = nb->nb_bool(o);
    if (r < 0) rethrow_with_arg(arg);
    return r != 0;
}

int64_t to_i64(PyObject* o, const char* arg) {
    long v = PyLong_AsLong(o);
    static_assert(sizeof(long) == sizeof(int64_t), "64-bit long expected");
    if (v == -1 && PyErr_Occurred()) rethrow_with_arg(arg);
    return static_cast<int64_t>(v);
}

std::vector<std::string> to_str_vec(PyObject* o, const char* arg) {
    if (PyUnicode_Check(o)) {
        std::string msg = arg ? std::string("argument '") + arg + "': " : std::string();
        throw_type_error(msg + "Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(o)) throw_conversion_error(o, "Sequence", arg);
    Py_ssize_t n = PySequence_Size(o);
    if (n < 0) rethrow_with_arg(arg);
    std::vector<std::string> out;
    out.reserve(static_cast<size_t>(n));
    // Items come from the iterator, so a sequence that changes length while
    // its items' __str__ hooks run cannot make us read past its end.
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) rethrow_with_arg(arg);
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) out.push_back(to_string(item.get(), arg));
    if (PyErr_Occurred()) rethrow_with_arg(arg);
    return out;
}

void require_dict(PyObject* o, const char* arg) {
    if (!PyDict_Check(o)) throw_conversion_error(o, "PyDict", arg);
}
void require_list(PyObject* o, const char* arg) {
    if (!PyList_Check(o)) throw_conversion_error(o, "PyList", arg);
}
void require_tuple(PyObject* o, const char* arg) {
    if (!PyTuple_Check(o)) throw_conversion_error(o, "PyTuple", arg);
}
void require_type(PyObject* o, PyTypeObject* type, std::string_view target, const char* arg) {
    if (!PyObject_TypeCheck(o, type)) throw_conversion_error(o, target, arg);
}

}  // namespace kestu
