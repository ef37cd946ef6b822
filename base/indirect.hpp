#pragma once
#include <memory>
#include <string>

#include "base/text.hpp"

namespace vesk {

// A value in its own allocation, copied deeply and compared by value: it keeps
// a large member from widening every alternative of a variant. A moved-from
// Indirect is valueless and may only be assigned or destroyed.
template <class T>
class Indirect {
public:
    Indirect() : p_(std::make_unique<T>()) {}
    // Implicit, so an aggregate holding one is built straight from a T.
    Indirect(T value) : p_(std::make_unique<T>(std::move(value))) {}
    Indirect(const Indirect& o) : p_(o.p_ ? std::make_unique<T>(*o.p_) : nullptr) {}
    Indirect(Indirect&&) noexcept = default;
    Indirect& operator=(const Indirect& o) {
        if (this != &o) p_ = o.p_ ? std::make_unique<T>(*o.p_) : nullptr;
        return *this;
    }
    Indirect& operator=(Indirect&&) noexcept = default;
    ~Indirect() = default;

    const T& operator*() const { return *p_; }
    T& operator*() { return *p_; }
    const T* operator->() const { return p_.get(); }
    T* operator->() { return p_.get(); }
    bool valueless_after_move() const { return p_ == nullptr; }

    friend bool operator==(const Indirect& a, const Indirect& b) {
        return a.p_ && b.p_ ? *a.p_ == *b.p_ : a.p_ == b.p_;
    }

private:
    std::unique_ptr<T> p_;
};

// Prints as the value it holds.
template <class T>
void debug(std::string& out, const Indirect<T>& v) {
    debug(out, *v);
}

}  // namespace vesk
