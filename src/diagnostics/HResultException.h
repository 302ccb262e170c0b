#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace Tessaro::Vantrel::Common::Exceptions {

// A COM failure carried as an exception: the HRESULT and a message.
class HResultException : public std::exception {
public:
    HResultException(std::uint32_t hresult, std::string message);

    std::uint32_t Code() const noexcept { return hresult_; }
    const char* Message() const noexcept { return message_.c_str(); }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::uint32_t hresult_;
    std::string message_;
};

}  // namespace Tessaro::Vantrel::Common::Exceptions
