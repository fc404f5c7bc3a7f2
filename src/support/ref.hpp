#pragma once
// Owned references.
//
// Rules:
//  * A `Ref` owns exactly one strong reference (or none). Build one with
//    `Ref::steal` (takes over a new reference) or `Ref::borrow` (adds one).
//  * A raw `PyObject*` parameter borrows for the duration of the call only.
//    Never keep a borrowed pointer across a call that can run Python code:
//    take a `Ref` first.
//  * Assignment puts the new value in place before the old one is released,
//    so a finaliser run by the release never sees a dangling field.
//  * There is no implicit conversion to `PyObject*`: use `get()` (borrowed)
//    or `release()` (hand the reference out).
#include <Python.h>

#include <utility>

namespace kestu {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed pointer (may be null).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller; the Ref is empty afterwards.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // Nulls the field, then drops the reference (safe against re-entry).
    void reset() noexcept {
        PyObject* old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }
    // A second strong reference to the same object.
    Ref dup() const noexcept { return borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Whether dropping one reference to `o` cannot free anything that releases
// further objects in turn: it is absent, held elsewhere too, or an exact str
// (whose release releases nothing). A dealloc whose fields all pass needs
// no trashcan: it cannot start a chain of deallocations.
inline bool release_is_shallow(PyObject* o) noexcept { return !o || Py_REFCNT(o) > 1 || PyUnicode_CheckExact(o); }

}  // namespace kestu
