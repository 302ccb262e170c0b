#pragma once

#include "common/foundation/Time.h"

#include <cstdint>
#include <optional>
#include <string>

namespace Tessaro::Ravelin {

// "Cid_" and the lower-case hexadecimal sum of the milliseconds since 2000-01-06 13:14:15 UTC,
// one, and the process id when known. Wraps as an unsigned 64-bit number for earlier clocks.
std::string MakeGeneratedIdentifier(TimePoint now, std::optional<std::uint32_t> processId);
std::string MakeGeneratedIdentifier();

// An instance key's name read as a process id, with the rules of the standard string-to-long
// conversion: leading blanks and a sign accepted, digits up to the first other character.
// Raises std::invalid_argument("invalid stol argument") without digits and
// std::out_of_range("stol argument out of range") beyond the signed 32-bit range.
std::int32_t ParseInstanceProcessId(const std::wstring& name);

}  // namespace Tessaro::Ravelin
