#pragma once

#include <cstdint>
#include <string>

#include <windows.h>

namespace Tessaro {

enum class Architecture : std::uint32_t { X64 = 0, X86 = 1, Arm64 = 2 };

// The running Windows as the utility layer sees it. Many answers are derived from others through
// virtual calls, so that a test double can replace a single answer. Failures raise exceptions.
class IOsInfo {
public:
    virtual ~IOsInfo() = default;
    virtual void GetVersionInfo(OSVERSIONINFOEXW& versionInfo) = 0;
    virtual void GetFileVersion(const std::string& path, std::uint32_t& major, std::uint32_t& minor,
                                std::uint32_t& build, std::uint32_t& revision) = 0;
    virtual std::string GetVersionString() = 0;
    virtual std::wstring GetSystemDirectoryPath() = 0;
    virtual std::wstring GetSystemWow64DirectoryPath() = 0;
    virtual std::string GetCommonAppDataPath() = 0;
    virtual bool Is64BitOperatingSystem() = 0;
    virtual bool IsVersionOrGreater(std::uint16_t major, std::uint16_t minor, std::uint16_t servicePackMajor) = 0;
    virtual bool IsServer() = 0;
    virtual bool IsServerRdsh() = 0;
    virtual bool IsWorkstation() = 0;
    virtual bool Is32BitOperatingSystem() = 0;
    virtual bool IsWindows7OrGreater() = 0;
    virtual bool IsWindows8OrGreater() = 0;
    virtual bool IsWindows8Point1OrGreater() = 0;
    virtual bool IsWindows10OrGreater() = 0;
    virtual bool IsWindows10BuildOrGreater(std::uint32_t build) = 0;
    virtual bool IsBuild16241OrGreater() = 0;
    virtual bool IsBuild16353OrGreater() = 0;
    virtual bool IsBuild18317OrGreater() = 0;
    virtual bool IsBuild26100OrGreater() = 0;
    virtual bool IsWindows7() = 0;
    virtual bool IsWindows8() = 0;
    virtual bool IsWindows8Point1() = 0;
    virtual bool IsWindows10() = 0;
    virtual bool IsServerOnWindows10OrGreater() = 0;
    virtual bool IsServerOnWindows8Point1() = 0;
    virtual bool IsServerOnWindows8() = 0;
    virtual bool IsServerOnWindows7() = 0;
    virtual Architecture GetOperatingSystemArchitecture() = 0;
    virtual Architecture GetProcessArchitecture() = 0;
};

}  // namespace Tessaro
