#pragma once

namespace Tessaro::Vantrel::Common {

// A numbered trace event of the utility layer's registry sites. The software-trace channel that
// carries these events to a trace controller is attached here; until then the events go nowhere,
// and each call site keeps its fixed message number and arguments.
template <typename... Args>
inline void TraceRegistryEvent(int /*messageNumber*/, const Args&... /*arguments*/) noexcept
{
}

}  // namespace Tessaro::Vantrel::Common
