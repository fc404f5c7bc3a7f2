#pragma once
// Exclusive and shared use of one module object.
//
// Nothing ever waits: a conflicting use (only possible re-entrantly, from
// user code called while the object is busy) fails at once. Python-level
// calls fail with RuntimeError; the transaction's native callers fail with
// the internal-error exception instead, because there the conflict means an
// invariant of the core was broken further up the stack.
#include <Python.h>

#include "error.hpp"

namespace kestu {

struct UseFlag {
    Py_ssize_t state = 0;  // 0 free, >0 shared users, -1 exclusive
    bool busy() const noexcept { return state != 0; }
};

[[noreturn]] void throw_already_borrowed();
[[noreturn]] void throw_already_mutably_borrowed();

// Each scope keeps the owner alive, since user code run inside it may drop
// the last outside reference to the object whose flag it holds.
class ExclusiveUse {
public:
    ExclusiveUse(PyObject* owner, UseFlag& flag) : owner_(Ref::borrow(owner)), flag_(flag) {
        if (flag.state != 0) throw_already_borrowed();
        flag.state = -1;
    }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;
    ~ExclusiveUse() { flag_.state = 0; }

protected:
    struct native_tag {};
    ExclusiveUse(PyObject* owner, UseFlag& flag, native_tag) : owner_(Ref::borrow(owner)), flag_(flag) {
        if (flag.state != 0) throw_internal_error("Already borrowed");
        flag.state = -1;
    }

private:
    Ref owner_;
    UseFlag& flag_;
};

// Exclusive use taken by native code of the core (guard, containers, engine).
class NativeExclusiveUse : public ExclusiveUse {
public:
    NativeExclusiveUse(PyObject* owner, UseFlag& flag) : ExclusiveUse(owner, flag, native_tag{}) {}
};

class SharedUse {
public:
    SharedUse(PyObject* owner, UseFlag& flag) : owner_(Ref::borrow(owner)), flag_(flag) {
        if (flag.state < 0) throw_already_mutably_borrowed();
        ++flag.state;
    }
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;
    ~SharedUse() { --flag_.state; }

private:
    Ref owner_;
    UseFlag& flag_;
};

}  // namespace kestu
