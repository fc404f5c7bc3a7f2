#pragma once
// Tracked containers: list and dict views that log every write into a
// Transaction and shadow nested lists and dicts on read.
#include <Python.h>

#include "../support/classdef.hpp"
#include "../support/ref.hpp"

namespace kestu {

extern PyTypeObject* TrackedList_Type;
extern PyTypeObject* TrackedDict_Type;
extern const ClassDef TrackedList_class;
extern const ClassDef TrackedDict_class;

// New wrappers (new reference). `data` must already be a list / dict (or a
// subclass), `tx` a Transaction and `path` a str; the caller checked them.
Ref make_tracked_list(PyObject* data, PyObject* tx, Ref path);
Ref make_tracked_dict(PyObject* data, PyObject* tx, Ref path);

}  // namespace kestu
