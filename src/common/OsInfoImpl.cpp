#include "common/OsInfoImpl.h"
#include "common/RegistryKey.h"
#include "common/OnDemandApi.h"

#include "common/foundation/Format.h"
#include "common/foundation/GrowingBuffer.h"
#include "common/foundation/StringConversion.h"

#include <shlobj.h>
#include <winver.h>

#include <stdexcept>
#include <system_error>
#include <vector>

namespace Tessaro {

namespace {

using Vantrel::Common::Utilities::BufferNeed;
using Vantrel::Common::Utilities::FillGrowingBuffer;
using Vantrel::Common::Utilities::KeyHandle;

constexpr DWORD VersionInfoSize = 284;
constexpr USHORT MachineI386 = 332;
constexpr USHORT MachineAmd64 = 34404;
constexpr USHORT MachineArm64 = 43620;

[[noreturn]] void ThrowLastError(const char* message)
{
    const DWORD error = GetLastError();
    throw std::system_error(static_cast<int>(error), std::system_category(), message);
}

OSVERSIONINFOEXW EmptyVersionRecord()
{
    OSVERSIONINFOEXW record{};
    record.dwOSVersionInfoSize = VersionInfoSize;
    return record;
}

Architecture FromProcessorArchitecture(WORD architecture, const char* what)
{
    switch (architecture) {
        case PROCESSOR_ARCHITECTURE_INTEL:
            return Architecture::X86;
        case PROCESSOR_ARCHITECTURE_AMD64:
            return Architecture::X64;
        case PROCESSOR_ARCHITECTURE_ARM64:
            return Architecture::Arm64;
        default:
            break;
    }
    throw std::runtime_error(Format("Unsupported {} architecture: {}", what, architecture));
}

template <typename Query>
std::wstring SystemFolder(Query query, const char* sizeMessage, const char* folderMessage)
{
    const UINT size = query(nullptr, 0);
    if (size == 0) {
        ThrowLastError(sizeMessage);
    }
    std::wstring folder(size, L'\0');
    const UINT length = query(folder.data(), size);
    if (length == 0) {
        ThrowLastError(folderMessage);
    }
    folder.resize(length);
    return folder;
}

}  // namespace

void OsInfoImpl::GetVersionInfo(OSVERSIONINFOEXW& versionInfo)
{
    versionInfo = EmptyVersionRecord();
    using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    // RtlGetVersion tells the truth whatever the manifest says; GetVersionExW may not.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    // NOLINTBEGIN(bugprone-casting-through-void): the platform's address of a function of this type, as
    // its documentation casts it; through void, which GCC's cast-function-type warning asks for
    const auto rtlGetVersion =
        ntdll != nullptr
            ? reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
            : nullptr;
    // NOLINTEND(bugprone-casting-through-void)
    if (rtlGetVersion != nullptr) {
        rtlGetVersion(&versionInfo);
    } else {
        GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&versionInfo));
    }
}

void OsInfoImpl::GetFileVersion(const std::string& path, std::uint32_t& major, std::uint32_t& minor,
                                std::uint32_t& build, std::uint32_t& revision)
{
    const std::wstring widePath = Utf8ToUtf16(path);
    const DWORD size = OnDemand::GetFileVersionInfoSizeW(widePath.c_str(), nullptr);
    std::vector<std::uint8_t> buffer(size, 0);
    if (size == 0 || !OnDemand::GetFileVersionInfoW(widePath.c_str(), 0, size, buffer.data())) {
        ThrowLastError("GetFileVersionInfo failed");
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!OnDemand::VerQueryValueW(buffer.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) ||
        fixed == nullptr) {
        ThrowLastError("VerQueryValueW failed");
    }
    major = HIWORD(fixed->dwFileVersionMS);
    minor = LOWORD(fixed->dwFileVersionMS);
    build = HIWORD(fixed->dwFileVersionLS);
    revision = LOWORD(fixed->dwFileVersionLS);
}

std::string OsInfoImpl::GetVersionString()
{
    OSVERSIONINFOEXW record{};
    GetVersionInfo(record);
    return Format("{}.{}.{}", record.dwMajorVersion, record.dwMinorVersion, record.dwBuildNumber);
}

std::wstring OsInfoImpl::GetSystemDirectoryPath()
{
    return SystemFolder([](LPWSTR buffer, UINT size) { return GetSystemDirectoryW(buffer, size); },
                        "Can't get system directory size.", "Can't get system directory.");
}

std::wstring OsInfoImpl::GetSystemWow64DirectoryPath()
{
    return SystemFolder([](LPWSTR buffer, UINT size) { return GetSystemWow64DirectoryW(buffer, size); },
                        "Can't get systemwow64 directory size.", "Can't get systemwow64 directory.");
}

std::string OsInfoImpl::GetCommonAppDataPath()
{
    wchar_t path[MAX_PATH] = {};
    if (!OnDemand::SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, FALSE)) {
        return {};
    }
    try {
        return Utf16ToUtf8(path);
    } catch (const std::exception&) {
        return {};
    }
}

bool OsInfoImpl::Is64BitOperatingSystem()
{
    const Architecture architecture = GetOperatingSystemArchitecture();
    return architecture == Architecture::X64 || architecture == Architecture::Arm64;
}

bool OsInfoImpl::IsVersionOrGreater(std::uint16_t major, std::uint16_t minor, std::uint16_t servicePackMajor)
{
    OSVERSIONINFOEXW record = EmptyVersionRecord();
    record.dwMajorVersion = major;
    record.dwMinorVersion = minor;
    record.wServicePackMajor = servicePackMajor;
    ULONGLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&record, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, condition) != FALSE;
}

bool OsInfoImpl::HasWorkstationProductType()
{
    OSVERSIONINFOEXW record = EmptyVersionRecord();
    record.wProductType = VER_NT_WORKSTATION;
    const ULONGLONG condition = VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL);
    return VerifyVersionInfoW(&record, VER_PRODUCT_TYPE, condition) != FALSE;
}

bool OsInfoImpl::IsServer()
{
    if (HasWorkstationProductType()) {
        return false;
    }
    // A multi-session Windows reports a server product type but is a workstation for its users.
    return !IsServerRdsh();
}

bool OsInfoImpl::IsServerRdsh()
{
    HKEY opened = nullptr;
    if (const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                                             KEY_READ | KEY_WOW64_64KEY, &opened);
        status != ERROR_SUCCESS) {
        throw std::system_error(static_cast<int>(status), std::system_category(), "Failed to open registry key");
    }
    const KeyHandle key(opened);
    std::wstring edition;
    const auto status = FillGrowingBuffer(edition, 64, 32768, [&key](wchar_t* buffer, std::size_t size) {
        DWORD bytes = static_cast<DWORD>(size * sizeof(wchar_t));
        const LSTATUS read = RegGetValueW(key.get(), nullptr, L"EditionID", RRF_RT_REG_SZ, nullptr, buffer, &bytes);
        if (read == ERROR_MORE_DATA) {
            return BufferNeed{0, bytes / sizeof(wchar_t) + 1};
        }
        return read != ERROR_SUCCESS ? BufferNeed{static_cast<std::uint32_t>(read), 0}
                                     : BufferNeed{0, bytes / sizeof(wchar_t)};
    });
    if (status != ERROR_SUCCESS) {
        throw std::system_error(static_cast<int>(status), std::system_category(), "Failed to read registry value");
    }
    edition.resize(wcsnlen(edition.c_str(), edition.size()));
    return Utf16ToUtf8(edition) == "ServerRdsh";
}

bool OsInfoImpl::IsWorkstation()
{
    return !IsServer();
}

bool OsInfoImpl::Is32BitOperatingSystem()
{
    return !Is64BitOperatingSystem();
}

bool OsInfoImpl::IsWindows7OrGreater()
{
    return IsVersionOrGreater(6, 1, 0);
}

bool OsInfoImpl::IsWindows8OrGreater()
{
    return IsVersionOrGreater(6, 2, 0);
}

bool OsInfoImpl::IsWindows8Point1OrGreater()
{
    return IsVersionOrGreater(6, 3, 0);
}

bool OsInfoImpl::IsWindows10OrGreater()
{
    return IsVersionOrGreater(10, 0, 0);
}

bool OsInfoImpl::IsWindows10BuildOrGreater(std::uint32_t build)
{
    if (!IsWindows10OrGreater()) {
        return false;
    }
    OSVERSIONINFOEXW record{};
    GetVersionInfo(record);
    return record.dwMajorVersion != 10 || record.dwBuildNumber >= build;
}

bool OsInfoImpl::IsBuild16241OrGreater()
{
    return IsWindows10BuildOrGreater(16241);
}

bool OsInfoImpl::IsBuild16353OrGreater()
{
    return IsWindows10BuildOrGreater(16353);
}

bool OsInfoImpl::IsBuild18317OrGreater()
{
    return IsWindows10BuildOrGreater(18317);
}

bool OsInfoImpl::IsBuild26100OrGreater()
{
    OSVERSIONINFOEXW record{};
    GetVersionInfo(record);
    return record.dwMajorVersion >= 10 && record.dwBuildNumber >= 26100;
}

bool OsInfoImpl::IsWindows7()
{
    return IsWindows7OrGreater() && !IsWindows8OrGreater();
}

bool OsInfoImpl::IsWindows8()
{
    return IsWindows8OrGreater() && !IsWindows8Point1OrGreater();
}

bool OsInfoImpl::IsWindows8Point1()
{
    return IsWindows8Point1OrGreater() && !IsWindows10OrGreater();
}

bool OsInfoImpl::IsWindows10()
{
    return IsWindows10OrGreater();
}

bool OsInfoImpl::IsServerOnWindows10OrGreater()
{
    return IsWindows10OrGreater() && IsServer();
}

bool OsInfoImpl::IsServerOnWindows8Point1()
{
    return IsWindows8Point1OrGreater() && !IsWindows10OrGreater() && IsServer();
}

bool OsInfoImpl::IsServerOnWindows8()
{
    return IsWindows8OrGreater() && !IsWindows8Point1OrGreater() && IsServer();
}

bool OsInfoImpl::IsServerOnWindows7()
{
    return IsWindows7OrGreater() && !IsWindows8OrGreater() && IsServer();
}

Architecture OsInfoImpl::GetOperatingSystemArchitecture()
{
    if (IsBuild16241OrGreater()) {
        const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
        if (kernel32 == nullptr) {
            ThrowLastError("Failed to load kernel32.dll.");
        }
        using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
        // NOLINTBEGIN(bugprone-casting-through-void): as for RtlGetVersion above
        const auto isWow64Process2 = reinterpret_cast<IsWow64Process2Function>(
            reinterpret_cast<void*>(GetProcAddress(kernel32, "IsWow64Process2")));
        // NOLINTEND(bugprone-casting-through-void)
        if (isWow64Process2 == nullptr) {
            ThrowLastError("Failed to get function pointer to IsWow64Process2");
        }
        USHORT processMachine = 0;
        USHORT nativeMachine = 0;
        if (!isWow64Process2(GetCurrentProcess(), &processMachine, &nativeMachine)) {
            ThrowLastError("Failed to get native machine.");
        }
        switch (nativeMachine) {
            case MachineI386:
                return Architecture::X86;
            case MachineAmd64:
                return Architecture::X64;
            case MachineArm64:
                return Architecture::Arm64;
            default:
                break;
        }
        throw std::runtime_error(Format("Unsupported operating system architecture: {}", nativeMachine));
    }
    SYSTEM_INFO information{};
    GetNativeSystemInfo(&information);
    return FromProcessorArchitecture(information.wProcessorArchitecture, "operating system");
}

Architecture OsInfoImpl::GetProcessArchitecture()
{
    SYSTEM_INFO information{};
    GetSystemInfo(&information);
    return FromProcessorArchitecture(information.wProcessorArchitecture, "process");
}

std::string DescribeOperatingSystem(IOsInfo& osInfo)
{
    OSVERSIONINFOEXW record{};
    osInfo.GetVersionInfo(record);
    std::string description =
        Format("Operating system: {}.{}.{}", record.dwMajorVersion, record.dwMinorVersion, record.dwBuildNumber);
    description += osInfo.IsWorkstation() ? " - Workstation" : " - Server";
    description += osInfo.Is32BitOperatingSystem() ? " - 32bit" : " - 64bit";
    const auto first = description.find_first_not_of(" \t\r\n");
    const auto last = description.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string{} : description.substr(first, last - first + 1);
}

std::string GetOperatingSystemDescription()
{
    static const std::string description = [] {
        OsInfoImpl osInfo;
        return DescribeOperatingSystem(osInfo);
    }();
    return description;
}

}  // namespace Tessaro
