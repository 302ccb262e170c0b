#pragma once

#include <cstdint>
#include <string>
#include <tuple>

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

// The call every message is handed to: TraceMessage, or a stand-in with its signature, which then
// receives exactly what TraceMessage would (the logger, the flags, the GUID, the number, and the
// arguments as pairs of address and length ended by a null address). Null puts TraceMessage back.
using MessageSender = ULONG(WINAPI*)(TRACEHANDLE logger, ULONG flags, LPCGUID messageGuid, USHORT number, ...);
void SetMessageSender(MessageSender sender);

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

// The most arguments one message carries: the message call takes them as a fixed list.
constexpr std::size_t MaximumArguments = 4;

void EmitEncoded(std::uint8_t siteLevel, const GUID& messageGuid, std::uint16_t number, const Argument* arguments,
                 std::size_t count);

// Sends a message while block 4 is enabled at the site's level. A site with more arguments than
// a message carries does not compile: no argument is ever dropped.
template <typename... Arguments>
void Emit(std::uint8_t siteLevel, const GUID& messageGuid, std::uint16_t number, const Arguments&... arguments)
{
    static_assert(sizeof...(Arguments) >= 2 && sizeof...(Arguments) <= MaximumArguments,
                  "a trace message carries two to four arguments, as the sites' shapes do");
    const Argument encoded[] = {Encode(arguments)...};
    EmitEncoded(siteLevel, messageGuid, number, encoded, sizeof...(Arguments));
}

extern const GUID RegistryMessageGuid;
extern const GUID FileMessageGuid;

}  // namespace TraceChannel

// The registry messages and what each carries after its GUID, as a trace consumer decodes it:
//
//   shape                  arguments                                           sites
//   HandlePathCode         64-bit value, wide string, unsigned 32-bit          10, 11, 12, 13, 15, 17, 19-21, 23,
//                                                                              26-30, 32, 34-40
//   HandlePathNameCode     64-bit value, wide string, wide string, 32-bit      16, 18, 24, 33
//   HandlePathName         64-bit value, wide string, wide string              22, 31
//   HandlePathTwoNames     64-bit value and three wide strings                 25
//   RootHandlePathCode     64-bit value, 64-bit value, wide string, 32-bit     14
//
// The 64-bit value is a key handle (or the root for the sites that have no handle), the first wide
// string the key path, the others value or subkey names. A site is written TraceRegistryEvent<N>
// with the arguments of its shape; a number without a shape, or other arguments, does not compile.
namespace RegistryTraceShape {

using Handle = const void*;

void Send(int site, std::uint64_t handle, const std::wstring& path, std::uint32_t code) noexcept;
void Send(int site, std::uint64_t handle, const std::wstring& path, const std::wstring& name,
          std::uint32_t code) noexcept;
void Send(int site, std::uint64_t handle, const std::wstring& path, const std::wstring& name) noexcept;
void Send(int site, std::uint64_t handle, const std::wstring& path, const std::wstring& oldName,
          const std::wstring& newName) noexcept;
void Send(int site, std::uint64_t root, std::uint64_t handle, const std::wstring& path, std::uint32_t code) noexcept;

inline std::uint64_t Value(Handle handle)
{
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

struct HandlePathCode {
    static void Trace(int site, Handle handle, const std::wstring& path, std::uint32_t code) noexcept
    {
        Send(site, Value(handle), path, code);
    }
};
struct HandlePathNameCode {
    static void Trace(int site, Handle handle, const std::wstring& path, const std::wstring& name,
                      std::uint32_t code) noexcept
    {
        Send(site, Value(handle), path, name, code);
    }
};
struct HandlePathName {
    static void Trace(int site, Handle handle, const std::wstring& path, const std::wstring& name) noexcept
    {
        Send(site, Value(handle), path, name);
    }
};
struct HandlePathTwoNames {
    static void Trace(int site, Handle handle, const std::wstring& path, const std::wstring& oldName,
                      const std::wstring& newName) noexcept
    {
        Send(site, Value(handle), path, oldName, newName);
    }
};
struct RootHandlePathCode {
    static void Trace(int site, Handle root, Handle handle, const std::wstring& path, std::uint32_t code) noexcept
    {
        Send(site, Value(root), Value(handle), path, code);
    }
};

// Each site's shape, by the table above; a site the table does not name has none, and its trace
// does not compile.
constexpr std::size_t ShapeOf(int site)
{
    if (site == 16 || site == 18 || site == 24 || site == 33) {
        return 1;
    }
    if (site == 22 || site == 31) {
        return 2;
    }
    if (site == 25) {
        return 3;
    }
    if (site == 14) {
        return 4;
    }
    const bool handlePathCode = site == 10 || site == 11 || site == 12 || site == 13 || site == 15 || site == 17 ||
                                (site >= 19 && site <= 21) || site == 23 || (site >= 26 && site <= 30) || site == 32 ||
                                (site >= 34 && site <= 40);
    return handlePathCode ? 0 : static_cast<std::size_t>(-1);
}

template <int Site>
using Of = std::tuple_element_t<ShapeOf(Site), std::tuple<HandlePathCode, HandlePathNameCode, HandlePathName,
                                                          HandlePathTwoNames, RootHandlePathCode>>;

}  // namespace RegistryTraceShape

// A registry-key trace site, with the arguments of its shape (table above).
template <int Site, typename... Args>
void TraceRegistryEvent(const Args&... arguments) noexcept
{
    RegistryTraceShape::Of<Site>::Trace(Site, arguments...);
}

// A file-utility trace site: the path and the error code.
void TraceFileEvent(int messageNumber, const std::wstring& path, std::uint32_t errorCode) noexcept;

}  // namespace Tessaro::Vantrel::Common
