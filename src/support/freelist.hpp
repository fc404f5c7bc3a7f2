#pragma once
// The memory of a few freed objects of GC-aware classes, kept for reuse.
//
// Nested reads and process runs each create and drop a wrapper object; the
// allocator's round trip (GC link, malloc, zeroing, free) is a large part of
// their cost. A class's dealloc hands the memory of a dead object here
// (untracked, its members destroyed, holding no references) instead of to
// tp_free, and the next allocation initialises it again as tp_alloc would:
// zeroed, typed, one reference, tracked. Used only under the interpreter
// lock; the few kept blocks live as long as the process.
#include <Python.h>

#include <cstddef>
#include <cstring>

namespace kestu {

template <size_t N>
class FreeList {
public:
    // A new object of `type` (new reference), as type->tp_alloc(type, 0) gives.
    PyObject* alloc(PyTypeObject* type) {
        if (count_ == 0 || size_[count_ - 1] != type->tp_basicsize) return type->tp_alloc(type, 0);
        PyObject* o = items_[--count_];
        std::memset(static_cast<void*>(o), 0, static_cast<size_t>(type->tp_basicsize));
        PyObject_Init(o, type);
        PyObject_GC_Track(o);
        return o;
    }
    // In place of tp_free at the end of a dealloc.
    void release(PyObject* o) {
        PyTypeObject* type = Py_TYPE(o);
        if (count_ == N) return type->tp_free(o);
        size_[count_] = type->tp_basicsize;
        items_[count_++] = o;
    }

private:
    PyObject* items_[N];
    Py_ssize_t size_[N];
    size_t count_ = 0;
};

}  // namespace kestu
