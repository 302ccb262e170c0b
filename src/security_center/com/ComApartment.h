#pragma once

namespace Tessaro::Ravelin {

// The calling thread's membership of COM's multithreaded apartment, for as long as the owner
// lives. Only an entry that succeeded (S_FALSE, "already a member", included) is left again, so
// that the thread's count of entries stays balanced.
class ComApartment {
public:
    ComApartment();
    ~ComApartment();

    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    // The entry's HRESULT.
    long Result() const noexcept { return result_; }
    bool Entered() const noexcept { return result_ >= 0; }

private:
    long result_;
};

}  // namespace Tessaro::Ravelin
