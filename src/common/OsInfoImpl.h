#pragma once

#include "common/IOsInfo.h"

namespace Tessaro {

class OsInfoImpl : public IOsInfo {
public:
    void GetVersionInfo(OSVERSIONINFOEXW& versionInfo) override;
    void GetFileVersion(const std::string& path, std::uint32_t& major, std::uint32_t& minor, std::uint32_t& build,
                        std::uint32_t& revision) override;
    std::string GetVersionString() override;
    std::wstring GetSystemDirectoryPath() override;
    std::wstring GetSystemWow64DirectoryPath() override;
    std::string GetCommonAppDataPath() override;
    bool Is64BitOperatingSystem() override;
    bool IsVersionOrGreater(std::uint16_t major, std::uint16_t minor, std::uint16_t servicePackMajor) override;
    bool IsServer() override;
    bool IsServerRdsh() override;
    bool IsWorkstation() override;
    bool Is32BitOperatingSystem() override;
    bool IsWindows7OrGreater() override;
    bool IsWindows8OrGreater() override;
    bool IsWindows8Point1OrGreater() override;
    bool IsWindows10OrGreater() override;
    bool IsWindows10BuildOrGreater(std::uint32_t build) override;
    bool IsBuild16241OrGreater() override;
    bool IsBuild16353OrGreater() override;
    bool IsBuild18317OrGreater() override;
    bool IsBuild26100OrGreater() override;
    bool IsWindows7() override;
    bool IsWindows8() override;
    bool IsWindows8Point1() override;
    bool IsWindows10() override;
    bool IsServerOnWindows10OrGreater() override;
    bool IsServerOnWindows8Point1() override;
    bool IsServerOnWindows8() override;
    bool IsServerOnWindows7() override;
    Architecture GetOperatingSystemArchitecture() override;
    Architecture GetProcessArchitecture() override;

protected:
    // Whether the system's product type is a workstation; the one answer IsServer takes from the
    // version check, kept apart so that a test double can stand in for a server.
    virtual bool HasWorkstationProductType();
};

// "Operating system: <major>.<minor>.<build> - Workstation|Server - 32bit|64bit", built once.
std::string GetOperatingSystemDescription();
std::string DescribeOperatingSystem(IOsInfo& osInfo);

}  // namespace Tessaro
