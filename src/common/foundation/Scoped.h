#pragma once

#include <functional>
#include <utility>

namespace Tessaro {

// Owns a value together with the function that releases it; the release runs exactly once, when
// the owner ends, on every path out of the scope. The value can be filled in later through Get,
// as the out-parameter of the acquiring call, so each release function must accept the value a
// failed acquisition leaves behind (zero, or a failure code).
template <typename T>
class Scoped {
public:
    using ReleaseFunction = std::function<void(T&)>;

    Scoped(T value, ReleaseFunction&& release) : value_(std::move(value)), release_(std::move(release)) {}

    explicit Scoped(ReleaseFunction&& release) : value_{}, release_(std::move(release)) {}

    Scoped(Scoped&& other) noexcept : value_(std::move(other.value_)), release_(std::exchange(other.release_, {})) {}

    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    Scoped& operator=(Scoped&&) = delete;

    T& Get() { return value_; }

    ~Scoped()
    {
        if (release_) {
            release_(value_);
        }
    }

private:
    T value_;
    ReleaseFunction release_;
};

}  // namespace Tessaro
