#include "diagnostics/HResultException.h"

#include <utility>

namespace Tessaro::Vantrel::Common::Exceptions {

HResultException::HResultException(std::uint32_t hresult, std::string message)
    : hresult_(hresult), message_(std::move(message))
{
}

}  // namespace Tessaro::Vantrel::Common::Exceptions
