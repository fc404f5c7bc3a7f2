#pragma once
// Named attributes read straight from an instance's slots.
//
// For a class whose own dict holds a plain slot descriptor for each of the
// names (what __slots__ makes, as the companion's frozen classes have) and
// whose getattr is the generic one, getattr of such a name is exactly a read
// of the slot at its offset: the descriptor, a data descriptor found first
// in the MRO, wins over anything else. What is learnt of a class holds while
// a stamp of the class (compat.hpp) says it has not changed; checking that is
// a comparison, so a read costs a few loads instead of one look-up per name.
//
// One reader per set of names, process-wide and never freed; it remembers
// the last class it learnt. Used under the interpreter lock.
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "compat.hpp"
#include "error.hpp"
#include "names.hpp"
#include "probe.hpp"
#include "ref.hpp"

namespace kestu {

class SlotReader {
public:
    static constexpr size_t kMaxNames = 8;

    explicit SlotReader(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            if (count_ == kMaxNames) break;
            names_[count_++] = name;
        }
    }
    SlotReader(const SlotReader&) = delete;
    SlotReader& operator=(const SlotReader&) = delete;

    size_t size() const noexcept { return count_; }
    // How many times any reader has learnt a class: a walk that saw this
    // change may have run Python code.
    static uint64_t classes_learnt() noexcept { return learnt_; }
    // The name objects, interned (borrowed; kept for the life of the process).
    PyObject* name(size_t i) {
        if (!interned_[i]) interned_[i] = Ref::borrow(make_interned(names_[i]));
        return interned_[i].get();
    }

    // Borrowed references to the slots of `obj`, in the order of the names,
    // valid until Python code runs; false when its class is not of that kind
    // or a slot is unset (then read by getattr, which says why).
    bool read(PyObject* obj, PyObject** out) {
        // Learning may run Python code, which may give obj another class.
        PyTypeObject* type = Py_TYPE(obj);
        if (!plain(type) || Py_TYPE(obj) != type) return false;
        for (size_t i = 0; i < count_; ++i) {
            out[i] = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset_[i]);
            if (!out[i]) return false;
        }
        return true;
    }

    // All the slots of `obj` as one block, in the order they sit in the
    // instance, when its class keeps them side by side (null otherwise); a
    // slot may be unset (null). Valid until Python code runs.
    PyObject* const* block(PyObject* obj) {
        PyTypeObject* type = Py_TYPE(obj);
        if (!plain(type) || Py_TYPE(obj) != type || !side_by_side_) return nullptr;
        return reinterpret_cast<PyObject* const*>(reinterpret_cast<char*>(obj) + first_);
    }

    // The same for an object of the class block() last said yes for,
    // unchanged since (nothing ran in between): no check at all.
    PyObject* const* block_unchecked(PyObject* obj) const noexcept {
        return reinterpret_cast<PyObject* const*>(reinterpret_cast<char*>(obj) + first_);
    }

private:
    // Whether the class is of the kind described above; the answer, yes or
    // no, is remembered for the last class asked while its stamp holds.
    bool plain(PyTypeObject* type) {
        if (reinterpret_cast<PyObject*>(type) == type_.get() && compat::type_stamp_valid(type, stamp_)) return plain_;
        return learn(type);
    }

    // Rare: once per class, and again after the class changed. Only the
    // class is looked at: reading the instance here would run a property of
    // a class of another kind a second time.
    bool learn(PyTypeObject* type) {
        ++learnt_;
        type_.reset();
        plain_ = false;
        if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !type->tp_dict || type->tp_getattro != PyObject_GenericGetAttr)
            return false;
        Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(type));
        // 3.11: a look-up through the attribute cache gives the class the
        // version its stamp needs.
        if (compat::kStampsNeedLookup && !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) &&
            Py_TYPE(type)->tp_getattro == PyType_Type.tp_getattro) {
            if (Ref probe = Ref::steal(PyObject_GetAttr(keep.get(), name(0))); !probe) discard_ordinary_error();
        }
        compat::TypeStamp stamp;
        if (!compat::take_type_stamp(type, &stamp)) return false;
        Py_ssize_t offset[kMaxNames];
        bool plain = true;
        for (size_t i = 0; i < count_ && plain; ++i) {
            // A non-str key in the class dict can run Python code here.
            Ref descr = Ref::borrow(PyDict_GetItemWithError(type->tp_dict, name(i)));
            if (!descr && PyErr_Occurred()) discard_ordinary_error();
            plain = descr && compat::plain_object_slot(descr.get(), type, &offset[i]);
        }
        if (type->tp_getattro != PyObject_GenericGetAttr || !compat::type_stamp_valid(type, stamp)) return false;
        type_ = std::move(keep);
        stamp_ = stamp;
        plain_ = plain;
        if (!plain) return false;
        first_ = offset[0];
        for (size_t i = 0; i < count_; ++i) {
            offset_[i] = offset[i];
            first_ = std::min(first_, offset[i]);
        }
        // Side by side: every slot lies within count_ pointers of the first.
        side_by_side_ = true;
        for (size_t i = 0; i < count_; ++i)
            side_by_side_ = side_by_side_ && static_cast<size_t>(offset[i] - first_) < count_ * sizeof(PyObject*) &&
                            (offset[i] - first_) % static_cast<Py_ssize_t>(sizeof(PyObject*)) == 0;
        for (size_t i = 0; i < count_ && side_by_side_; ++i)
            for (size_t j = 0; j < i; ++j) side_by_side_ = side_by_side_ && offset[i] != offset[j];
        return true;
    }

    const char* names_[kMaxNames] = {};
    Ref interned_[kMaxNames];
    size_t count_ = 0;
    static inline uint64_t learnt_ = 0;
    Ref type_;  // the class learnt, or empty
    bool plain_ = false;  // what was learnt of it
    compat::TypeStamp stamp_;
    Py_ssize_t offset_[kMaxNames] = {};
    Py_ssize_t first_ = 0;
    bool side_by_side_ = false;
};

}  // namespace kestu
