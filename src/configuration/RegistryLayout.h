#pragma once

#include <string>

namespace Tessaro::Ravelin::RegistryLayout {

// Keys of the product's service settings. Only the Security Center key (and its "Instance"
// subkeys) is opened by the agent; the others name where the product keeps the rest.
// Constants, not strings built at start-up: nothing runs before the agent's own code, and nothing
// there can throw where no barrier catches it.
inline constexpr const wchar_t* ServiceSettingsRoot = L"SYSTEM\\CurrentControlSet\\Services\\torq1\\Settings";
inline constexpr const wchar_t* ConfigurationKey = L"SYSTEM\\CurrentControlSet\\Services\\torq1\\Settings\\config";
inline constexpr const wchar_t* IntegrationKey = L"SYSTEM\\CurrentControlSet\\Services\\torq1\\Settings\\integration";
inline constexpr const wchar_t* SecurityCenterKey =
    L"SYSTEM\\CurrentControlSet\\Services\\torq1\\Settings\\integration\\security_center";
// The settings key's path in two parts: the system's (where its own links, CurrentControlSet among
// them, are followed) and the product's, below it, where every key is opened as itself and a
// registry link is never followed.
inline constexpr const wchar_t* SystemServicesKey = L"SYSTEM\\CurrentControlSet\\Services";
inline constexpr const wchar_t* SecurityCenterKeyBelowServices = L"torq1\\Settings\\integration\\security_center";
inline constexpr const wchar_t* SoftwareConfigurationKey = L"SYSTEM\\Software\\Zantor Realtime Protection\\config";

inline constexpr const wchar_t* InstanceSubKey = L"Instance";

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
