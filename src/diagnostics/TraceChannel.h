#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <windows.h>
// evntrace.h needs the declarations of windows.h first.
#include <evntrace.h>

namespace Tessaro::Vantrel::Common {

// The process's software-trace (WPP) provider: five control blocks registered at start, enabled
// and disabled by trace controllers through the control callback, and the trace sites of the
// registry-key and file utilities, which send their messages only while block 4 is enabled.
namespace TraceChannel {

struct ControlBlock {
    ControlBlock* next;
    TRACEHANDLE registration;
    // The enabling controller's logger handle, or, with ForwardOption, the block that receives the
    // settings instead.
    std::uint64_t logger;
    std::uint8_t flagsLength;
    std::uint8_t level;
    std::uint16_t options;
    std::uint32_t flags;
    const GUID* controlGuid;
};

constexpr std::uint16_t ForwardOption = 2;
constexpr std::uint32_t UtilitySitesFlag = 0x1000;
constexpr std::uint8_t RegistrySiteLevel = 3;  // warning
constexpr std::uint8_t FileSiteLevel = 2;      // error
constexpr std::size_t BlockCount = 5;
constexpr std::size_t SiteBlock = 4;

void RegisterProviders();
void UnregisterProviders();

ULONG WINAPI ControlCallback(WMIDPREQUESTCODE requestCode, void* context, ULONG* bufferSize, void* buffer);

ControlBlock& Block(std::size_t index);
bool IsInitialized();

// How the control callback reads what a controller asks for. The platform's functions are the
// default; a platform without them (Wine answers with fixed values) needs another reader.
struct EnableQueries {
    TRACEHANDLE (*loggerHandle)(void* buffer);
    std::uint8_t (*level)(TRACEHANDLE logger);
    std::uint32_t (*flags)(TRACEHANDLE logger);
};
void SetEnableQueries(const EnableQueries& queries);
EnableQueries PlatformEnableQueries();

// Sees every message exactly as it is handed to TraceMessage (GUID, number, argument bytes).
using MessageObserver = std::function<void(const GUID& messageGuid, std::uint16_t number,
                                           const std::vector<std::vector<std::uint8_t>>& arguments)>;
void SetMessageObserver(MessageObserver observer);

// One argument of a trace message: its bytes as they are sent.
struct Argument {
    const void* data;
    std::size_t size;
};
Argument Encode(const std::wstring& text);
Argument Encode(const wchar_t* text);
Argument Encode(const std::string& text);
Argument Encode(const char* text);
Argument Encode(const std::uint32_t& value);
Argument Encode(const std::uint64_t& value);

void Emit(std::uint8_t siteLevel, const GUID& messageGuid, std::uint16_t number,
          std::initializer_list<Argument> arguments);

extern const GUID RegistryMessageGuid;
extern const GUID FileMessageGuid;

}  // namespace TraceChannel

// A registry-key trace site: a key handle (sent as its 64-bit value), the key path, names and
// the error code, as each site passes them.
template <typename... Args>
void TraceRegistryEvent(int messageNumber, const Args&... arguments) noexcept
{
    using namespace TraceChannel;
    const auto& block = Block(SiteBlock);
    if (!IsInitialized() || (block.flags & UtilitySitesFlag) == 0 || block.level < RegistrySiteLevel) {
        return;
    }
    const auto widen = [](const auto& argument) {
        using Type = std::decay_t<decltype(argument)>;
        if constexpr (std::is_pointer_v<Type> && !std::is_same_v<Type, const wchar_t*> &&
                      !std::is_same_v<Type, const char*>) {
            return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(argument));
        } else {
            return argument;
        }
    };
    try {
        const auto values = std::make_tuple(widen(arguments)...);
        std::apply(
            [&](const auto&... value) {
                Emit(RegistrySiteLevel, RegistryMessageGuid, static_cast<std::uint16_t>(messageNumber),
                     {Encode(value)...});
            },
            values);
    } catch (...) {
        // Tracing never changes the outcome of an operation.
    }
}

// A file-utility trace site: the path and the error code.
void TraceFileEvent(int messageNumber, const std::wstring& path, std::uint32_t errorCode) noexcept;

}  // namespace Tessaro::Vantrel::Common
