#pragma once
// StateMachine: a finite state machine driven by a dict definition.
#include <Python.h>

#include "../support/classdef.hpp"

namespace kestu {

extern PyTypeObject* StateMachine_Type;
extern const ClassDef StateMachine_class;

}  // namespace kestu
