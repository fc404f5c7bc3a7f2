#pragma once
// Tracked containers: list and dict views that log every write into a
// Transaction and shadow nested lists and dicts on read.
#include <Python.h>

#include <string_view>

#include "../support/classdef.hpp"
#include "../support/ref.hpp"

namespace kestu {

extern PyTypeObject* TrackedList_Type;
extern PyTypeObject* TrackedDict_Type;
extern const ClassDef TrackedList_class;
extern const ClassDef TrackedDict_class;

// New wrappers (new reference). `data` must already be a list / dict (or a
// subclass) and `tx` a Transaction; the caller checked both.
Ref make_tracked_list(PyObject* data, PyObject* tx, std::string_view path);
Ref make_tracked_dict(PyObject* data, PyObject* tx, std::string_view path);

}  // namespace kestu
