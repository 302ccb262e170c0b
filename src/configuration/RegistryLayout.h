#pragma once

#include <string>

namespace Tessaro::Ravelin::RegistryLayout {

// Keys of the product's service settings. Only the Security Center key (and its "Instance"
// subkeys) is opened by the agent; the others name where the product keeps the rest.
inline const std::wstring ServiceSettingsRoot =
    std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\torq1") + L"\\Settings";
inline const std::wstring ConfigurationKey = ServiceSettingsRoot + L"\\config";
inline const std::wstring IntegrationKey = ServiceSettingsRoot + L"\\integration";
inline const std::wstring SecurityCenterKey = IntegrationKey + L"\\security_center";
inline const std::wstring SoftwareConfigurationKey =
    std::wstring(L"SYSTEM\\Software\\Zantor Realtime Protection") + L"\\config";

inline const std::wstring InstanceSubKey = L"Instance";

// Values of the Security Center key. Times are REG_QWORD seconds since 1970 (UTC).
inline constexpr const char* DisplayName = "DisplayName";
inline constexpr const char* RemediationPath = "RemediationPath";
inline constexpr const char* ExpirationTime = "ExpirationTime";
inline constexpr const char* TimeNotifyAboutNearExpiration = "TimeNotifyAboutNearExpiration";
inline constexpr const char* LastNearExpirationNotificationTime = "LastNearExpirationNotificationTime";
inline constexpr const char* ProductInstallationTime = "ProductInstallationTime";
inline constexpr const char* RegisterTime = "RegisterTime";
inline constexpr const char* OutOfDateTime = "OutOfDateTime";
inline constexpr const char* DefinitionsUpdateTime = "DefinitionsUpdateTime";

// Values of an instance key.
inline constexpr const char* StoredState = "StoredState";
inline constexpr const char* RegisterStoredState = "RegisterStoredState";

}  // namespace Tessaro::Ravelin::RegistryLayout
