#include "state/StateCommand.h"

#include "configuration/Configuration.h"
#include "configuration/RegistryLayout.h"
#include "diagnostics/Log.h"
#include "state/IProductStateQuery.h"

#include <windows.h>

#include <array>
#include <string_view>

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;

constexpr std::array<std::string_view, 4> TimeWords = {
    "SET_EXPIRATION_TIME",
    "REMOVE_EXPIRATION_TIME",
    "SET_OUT_OF_DATE_TIME",
    "REMOVE_OUT_OF_DATE_TIME",
};

// The state the product last reported for this instance, else what Security Center shows.
ProductState CurrentState(const Configuration& configuration, IProductStateQuery* productStateQuery)
{
    const auto stored = configuration.ReadInstanceNumber(RegistryLayout::StoredState);
    if (stored.Succeeded()) {
        return static_cast<ProductState>(static_cast<std::uint32_t>(stored.Value()));
    }
    const auto shown = productStateQuery != nullptr
                           ? productStateQuery->GetOwnProductState()
                           : Vantrel::Common::Result<ProductState>(ProductState::Off, ERROR_CALL_NOT_IMPLEMENTED);
    if (!shown.Succeeded()) {
        LogFormat(LogComponent::SecurityCenter, LogLevel::Error, "Failed to get the current product state (Error: {})",
                  shown.ErrorCode());
    }
    return shown.Value();
}

}  // namespace

std::uint32_t ParseStateCommand(const std::string& word, ProductState& state, const Configuration& configuration,
                                IProductStateQuery* productStateQuery)
{
    if (word == "SNOOZE") {
        state = ProductState::Snoozed;
        return ERROR_SUCCESS;
    }
    if (word == "ENABLE") {
        state = ProductState::On;
        return ERROR_SUCCESS;
    }
    for (const auto timeWord : TimeWords) {
        if (word == timeWord) {
            state = CurrentState(configuration, productStateQuery);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_INVALID_PARAMETER;
}

void InstallStateCommands(Configuration& configuration, std::shared_ptr<IProductStateQuery> productStateQuery)
{
    configuration.SetStateWordReader([query = std::move(productStateQuery)](
                                         const std::string& word, ProductState& state, const Configuration& current) {
        return ParseStateCommand(word, state, current, query.get());
    });
}

}  // namespace Tessaro::Ravelin
