#include "diagnostics/TraceChannel.h"

#include <array>
#include <atomic>

namespace Tessaro::Vantrel::Common {

namespace TraceChannel {

// {34B64E7B-B57E-31A9-0DC4-9B40F03BA051}
const GUID RegistryMessageGuid = {0x34b64e7b, 0xb57e, 0x31a9, {0x0d, 0xc4, 0x9b, 0x40, 0xf0, 0x3b, 0xa0, 0x51}};
// {93626BF9-5394-3020-D1C4-806F243424BE}
const GUID FileMessageGuid = {0x93626bf9, 0x5394, 0x3020, {0xd1, 0xc4, 0x80, 0x6f, 0x24, 0x34, 0x24, 0xbe}};

namespace {

const std::array<GUID, BlockCount> ControlGuids = {{
    {0x32033a95, 0x3a5f, 0x496f, {0x44, 0x79, 0xb6, 0x0b, 0x6e, 0x6e, 0x6d, 0x2e}},
    {0xf7d90c3e, 0xf649, 0x4667, {0xac, 0x2a, 0x7a, 0x47, 0x53, 0x65, 0x0a, 0xf3}},
    {0x207b98b9, 0x7fa6, 0x4722, {0xbd, 0xa6, 0x7d, 0x28, 0x82, 0x86, 0xa6, 0x1c}},
    {0x113dc65c, 0x0c58, 0x4dee, {0xb8, 0xe7, 0x5f, 0x88, 0x83, 0x15, 0x04, 0x1c}},
    {0x8e4e57e8, 0xb15a, 0x496f, {0xad, 0xa7, 0xd3, 0x9f, 0x0b, 0x66, 0x61, 0x0d}},
}};

ControlBlock blocks[BlockCount] = {};

// Not initialised while it points at itself.
ControlBlock* listHead = reinterpret_cast<ControlBlock*>(&listHead);

ControlBlock* NotInitialized()
{
    return reinterpret_cast<ControlBlock*>(&listHead);
}

EnableQueries& Queries()
{
    static EnableQueries queries = PlatformEnableQueries();
    return queries;
}

std::atomic<MessageSender>& Sender()
{
    static std::atomic<MessageSender> sender{&TraceMessage};
    return sender;
}

constexpr wchar_t NullWideText[] = L"NULL";
constexpr char NullNarrowText[] = "NULL";
constexpr ULONG MessageFlags =
    TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO;

}  // namespace

ControlBlock& Block(std::size_t index)
{
    return blocks[index];
}

bool IsInitialized()
{
    return listHead != NotInitialized() && listHead != nullptr;
}

EnableQueries PlatformEnableQueries()
{
    return {[](void* buffer) { return GetTraceLoggerHandle(buffer); },
            [](TRACEHANDLE logger) { return static_cast<std::uint8_t>(GetTraceEnableLevel(logger)); },
            [](TRACEHANDLE logger) { return static_cast<std::uint32_t>(GetTraceEnableFlags(logger)); }};
}

void SetEnableQueries(const EnableQueries& queries)
{
    Queries() = queries;
}

void SetMessageSender(MessageSender sender)
{
    Sender() = sender != nullptr ? sender : &TraceMessage;
}

void RegisterProviders()
{
    for (std::size_t index = 0; index < BlockCount; ++index) {
        blocks[index] = ControlBlock{index + 1 < BlockCount ? &blocks[index + 1] : nullptr, 0, 0, 1, 0, 0, 0, nullptr};
    }
    listHead = &blocks[0];
    for (std::size_t index = 0; index < BlockCount; ++index) {
        auto& block = blocks[index];
        block.controlGuid = &ControlGuids[index];
        TRACE_GUID_REGISTRATION registration{&ControlGuids[index], nullptr};
        // A failed registration leaves the handle 0 and the block off.
        RegisterTraceGuidsW(&ControlCallback, &block, &ControlGuids[index], 1, &registration, nullptr, nullptr,
                            &block.registration);
    }
}

void UnregisterProviders()
{
    if (listHead == NotInitialized()) {
        return;
    }
    for (ControlBlock* block = listHead; block != nullptr; block = block->next) {
        if (block->registration != 0) {
            UnregisterTraceGuids(block->registration);
            block->registration = 0;
        }
    }
    listHead = NotInitialized();
}

ULONG WINAPI ControlCallback(WMIDPREQUESTCODE requestCode, void* context, ULONG* bufferSize, void* buffer)
{
    if (bufferSize != nullptr) {
        *bufferSize = 0;
    }
    TRACEHANDLE logger = 0;
    std::uint8_t level = 0;
    std::uint32_t flags = 0;
    if (requestCode == WMI_ENABLE_EVENTS) {
        logger = Queries().loggerHandle(buffer);
        level = Queries().level(logger);
        flags = Queries().flags(logger);
    } else if (requestCode != WMI_DISABLE_EVENTS) {
        return ERROR_INVALID_PARAMETER;
    }
    auto* target = static_cast<ControlBlock*>(context);
    if (target == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((target->options & ForwardOption) != 0 && target->logger != 0) {
        // The block to forward to is kept as its address in the logger field, an integer by the
        // platform's definition.
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the platform's integer holds our pointer
        target = reinterpret_cast<ControlBlock*>(static_cast<std::uintptr_t>(target->logger));
    }
    target->level = level;
    target->flags = flags;
    target->logger = logger;
    return ERROR_SUCCESS;
}

Argument Encode(const std::wstring& text)
{
    return {text.c_str(), (text.size() + 1) * sizeof(wchar_t)};
}

Argument Encode(const wchar_t* text)
{
    return text != nullptr ? Argument{text, (wcslen(text) + 1) * sizeof(wchar_t)}
                           : Argument{NullWideText, sizeof(NullWideText)};
}

Argument Encode(const std::string& text)
{
    return {text.c_str(), text.size() + 1};
}

Argument Encode(const char* text)
{
    return text != nullptr ? Argument{text, strlen(text) + 1} : Argument{NullNarrowText, sizeof(NullNarrowText)};
}

Argument Encode(const std::uint32_t& value)
{
    return {&value, sizeof(value)};
}

Argument Encode(const std::uint64_t& value)
{
    return {&value, sizeof(value)};
}

void EmitEncoded(std::uint8_t siteLevel, const GUID& messageGuid, std::uint16_t number, const Argument* arguments,
                 std::size_t count)
{
    const auto& block = blocks[SiteBlock];
    if (!IsInitialized() || (block.flags & UtilitySitesFlag) == 0 || block.level < siteLevel) {
        return;
    }
    // The message call takes (address, length) pairs as a fixed list, one call per count, ended by
    // the pair (null, 0).
    const auto at = [&](std::size_t index) { return arguments[index]; };
    const MessageSender send = Sender();
    switch (count) {
        case 2:
            send(block.logger, MessageFlags, &messageGuid, number, at(0).data, at(0).size, at(1).data, at(1).size,
                 nullptr, std::size_t{0});
            break;
        case 3:
            send(block.logger, MessageFlags, &messageGuid, number, at(0).data, at(0).size, at(1).data, at(1).size,
                 at(2).data, at(2).size, nullptr, std::size_t{0});
            break;
        case 4:
            send(block.logger, MessageFlags, &messageGuid, number, at(0).data, at(0).size, at(1).data, at(1).size,
                 at(2).data, at(2).size, at(3).data, at(3).size, nullptr, std::size_t{0});
            break;
        default:
            break;
    }
}

}  // namespace TraceChannel

namespace RegistryTraceShape {

namespace {

template <typename... Arguments>
void SendRegistry(int site, const Arguments&... arguments) noexcept
{
    try {
        TraceChannel::Emit(TraceChannel::RegistrySiteLevel, TraceChannel::RegistryMessageGuid,
                           static_cast<std::uint16_t>(site), arguments...);
    } catch (...) {
        // Tracing never changes the outcome of an operation: it must not throw.
    }
}

}  // namespace

void Send(int site, std::uint64_t handle, const std::wstring& path, std::uint32_t code) noexcept
{
    SendRegistry(site, handle, path, code);
}

void Send(int site, std::uint64_t handle, const std::wstring& path, const std::wstring& name,
          std::uint32_t code) noexcept
{
    SendRegistry(site, handle, path, name, code);
}

void Send(int site, std::uint64_t handle, const std::wstring& path, const std::wstring& name) noexcept
{
    SendRegistry(site, handle, path, name);
}

void Send(int site, std::uint64_t handle, const std::wstring& path, const std::wstring& oldName,
          const std::wstring& newName) noexcept
{
    SendRegistry(site, handle, path, oldName, newName);
}

void Send(int site, std::uint64_t root, std::uint64_t handle, const std::wstring& path, std::uint32_t code) noexcept
{
    SendRegistry(site, root, handle, path, code);
}

}  // namespace RegistryTraceShape

void TraceFileEvent(int messageNumber, const std::wstring& path, std::uint32_t errorCode) noexcept
{
    try {
        TraceChannel::Emit(TraceChannel::FileSiteLevel, TraceChannel::FileMessageGuid,
                           static_cast<std::uint16_t>(messageNumber), path, errorCode);
    } catch (...) {
        // Tracing never changes the outcome of an operation: it must not throw.
    }
}

}  // namespace Tessaro::Vantrel::Common
