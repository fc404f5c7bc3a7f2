#pragma once
// Shared<T>: an immutable value with several owners, counted without atomics.
//
// Every owner lives and dies under the interpreter lock, so a plain count is
// enough; std::shared_ptr's atomic count would also tie the module to a newer
// C library than it otherwise needs.
#include <utility>

namespace kestu {

template <typename T>
class Shared {
public:
    Shared() noexcept = default;
    template <typename... A>
    static Shared make(A&&... args) {
        return Shared(new Box{T(std::forward<A>(args)...), 1});
    }
    Shared(const Shared& o) noexcept : box_(o.box_) {
        if (box_) ++box_->refs;
    }
    Shared(Shared&& o) noexcept : box_(std::exchange(o.box_, nullptr)) {}
    Shared& operator=(Shared o) noexcept {
        std::swap(box_, o.box_);
        return *this;
    }
    ~Shared() {
        if (box_ && --box_->refs == 0) delete box_;
    }

    const T& operator*() const noexcept { return box_->value; }
    const T* operator->() const noexcept { return &box_->value; }
    explicit operator bool() const noexcept { return box_ != nullptr; }
    // Whether both share one value (not merely equal ones).
    bool same(const Shared& o) const noexcept { return box_ == o.box_; }

private:
    struct Box {
        T value;
        long refs;
    };
    explicit Shared(Box* box) noexcept : box_(box) {}
    Box* box_ = nullptr;
};

}  // namespace kestu
