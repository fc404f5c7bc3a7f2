#pragma once
// Frozen containers: read-only views over a list or dict.
#include <Python.h>

#include "../support/classdef.hpp"
#include "../support/ref.hpp"

namespace kestu {

extern PyTypeObject* FrozenList_Type;
extern PyTypeObject* FrozenDict_Type;
extern const ClassDef FrozenList_class;
extern const ClassDef FrozenDict_class;

// New views (new reference); `data` must already be a list / dict (or a
// subclass).
Ref make_frozen_list(PyObject* data);
Ref make_frozen_dict(PyObject* data);

}  // namespace kestu
