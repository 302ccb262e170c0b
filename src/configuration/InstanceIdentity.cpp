#include "configuration/InstanceIdentity.h"

#include "common/foundation/Format.h"
#include "common/Process.h"

#include <cwctype>
#include <limits>
#include <stdexcept>

namespace Tessaro::Ravelin {

namespace {

// 2000-01-06 13:14:15 UTC in ticks since 1970.
constexpr std::int64_t IdentifierEpochTicks = 9'471'644'550'000'000;
constexpr std::int64_t TicksPerMillisecond = 10'000;

}  // namespace

std::string MakeGeneratedIdentifier(TimePoint now, std::optional<std::uint32_t> processId)
{
    const std::int64_t milliseconds = (now.time_since_epoch().count() - IdentifierEpochTicks) / TicksPerMillisecond;
    std::uint64_t sum = static_cast<std::uint64_t>(milliseconds) + 1;
    if (processId.has_value()) {
        sum += *processId;
    }
    return Format("Cid_{:x}", sum);
}

std::string MakeGeneratedIdentifier()
{
    const auto current = Vantrel::Common::Utilities::Process::GetCurrent();
    return MakeGeneratedIdentifier(
        Now(), current.Succeeded() ? std::optional<std::uint32_t>(current.Value()->GetId()) : std::nullopt);
}

std::int32_t ParseInstanceProcessId(const std::wstring& name)
{
    std::size_t position = 0;
    while (position < name.size() && std::iswspace(name[position])) {
        ++position;
    }
    bool negative = false;
    if (position < name.size() && (name[position] == L'+' || name[position] == L'-')) {
        negative = name[position] == L'-';
        ++position;
    }
    if (position >= name.size() || name[position] < L'0' || name[position] > L'9') {
        throw std::invalid_argument("invalid stol argument");
    }
    std::int64_t value = 0;
    bool outOfRange = false;
    for (; position < name.size() && name[position] >= L'0' && name[position] <= L'9'; ++position) {
        value = value * 10 + (name[position] - L'0');
        if (value > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1) {
            outOfRange = true;
            value = 0;  // keep scanning digits without overflowing
        }
    }
    if (negative) {
        value = -value;
    }
    if (outOfRange || value > std::numeric_limits<std::int32_t>::max() ||
        value < std::numeric_limits<std::int32_t>::min()) {
        throw std::out_of_range("stol argument out of range");
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace Tessaro::Ravelin
