#pragma once

#include "configuration/RunMode.h"
#include "common/FileInfo.h"
#include "common/RegistryKey.h"
#include "common/foundation/Time.h"
#include "common/foundation/TrustedWriters.h"
#include "diagnostics/Result.h"
#include "configuration/ProductState.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>

namespace Tessaro::Ravelin {

class WindowsSecurityCenterService;

// What the command line selected and the agent's settings in the registry, for the whole run.
// Reads take the lock shared; writes and the stale-instance clean-up take it exclusively.
class Configuration {
public:
    // The process-wide configuration, created on first use.
    static std::shared_ptr<Configuration> Instance();

    Configuration();

    // Turns the word after "/UPDATE_WSC=" into the state to report (0, or the error of the word);
    // set before the command line is read. The words are the state commands' own, and the
    // time words need Security Center, so both are given from above. This is the one place where
    // a lower layer calls upwards: reading the state word is part of parsing the command line,
    // which happens here, but the word's meaning belongs to the layers above.
    using StateWordReader =
        std::function<std::uint32_t(const std::string& word, ProductState& state, const Configuration& configuration)>;
    void SetStateWordReader(StateWordReader reader);

    // The clock every decision reads; replaceable so that time bounds can be tested to the tick.
    TimePoint CurrentTime() const;
    void SetClock(std::function<TimePoint()> clock);

    // Reads the command line once, at start: stores it with the settings key and the Security
    // Center service, removes stale instance keys and chooses the command. 0, or 87 when no
    // command is recognised, or the state command's error.
    std::uint32_t ParseCommandLine(const std::string& commandLine,
                                   std::shared_ptr<Vantrel::Common::Utilities::RegistryKey> settingsKey,
                                   std::shared_ptr<WindowsSecurityCenterService> service);

    RunMode GetRunMode() const;
    std::string GetIdentifier() const;
    // The raw command line as received (GetCommandLine is a macro of the Windows headers).
    std::string GetRawCommandLine() const;
    std::string GetInstance() const;
    Vantrel::Common::Utilities::FileInfo GetReportingExecutable() const;
    ProductState GetProductState() const;
    std::shared_ptr<WindowsSecurityCenterService> GetService() const;

    Vantrel::Common::Result<std::string> ReadString(const std::string& valueName) const;
    Vantrel::Common::Result<std::uint64_t> ReadNumber(const std::string& valueName) const;
    // A stored time: the value's seconds since 1970 read as a signed number (before 1970 is
    // negative, never the far future).
    Vantrel::Common::Result<std::int64_t> ReadSeconds(const std::string& valueName) const;
    std::uint32_t WriteString(const std::string& valueName, const std::string& value);
    std::uint32_t WriteNumber(const std::string& valueName, std::uint64_t value);

    std::string GetDisplayName();
    std::string GetRemediationPath();
    TimePoint GetExpirationTime() const;
    TimePoint GetTimeNotifyAboutNearExpiration() const;
    Vantrel::Common::Result<TimePoint> GetProductInstallationTime() const;
    TimePoint GetRegisterTime() const;
    bool HasLastNearExpirationNotificationTime() const;
    TimePoint GetLastNearExpirationNotificationTime() const;
    std::uint32_t SetLastNearExpirationNotificationTime(TimePoint time);
    Vantrel::Common::Result<std::uint32_t> GetRegisterStoredState() const;

    // Up to date, with the grace periods after installation and registration. Quiet leaves out
    // only the final line. (Decided in state/UpToDateEvaluation.cpp.)
    bool IsUpToDate(bool quiet) const;
    // Expired once the expiration time lies strictly before now. (state/Expiration.cpp)
    bool IsExpired(bool quiet) const;
    // Whole days until expiration, a started day counting as one; 0 once expired.
    std::uint32_t GetRemainingDaysToExpiration() const;

    // A number from the current instance key: 1168 when the settings key, "Instance" or the
    // instance key is missing, 87 when no instance is known, else the registry's answer. A run
    // above ordinary users (SYSTEM, elevated) takes an instance key that somebody else owns for
    // missing, and says so once (Warn).
    //
    // The run's own process id names its default instance key. A key of that name that exists
    // when the run starts was made by whoever started the agent (between a suspended start and
    // its resumption) or left by an earlier process with the same id; either way it is read as the
    // run's instance key under the owner rule above, and the clean-up never deletes it.
    Vantrel::Common::Result<std::uint64_t> ReadInstanceNumber(const std::string& valueName) const;

    // Deletes the instance keys of processes that have ended. Each process is judged once, and at
    // most MaximumCleanupWarnings warnings are logged, then one line that counts the rest.
    void RemoveStaleInstanceKeys();
    static constexpr std::size_t MaximumCleanupWarnings = 10;

    // Whose writing the run trusts; the process token's account unless a test gives another.
    void SetRunAccount(const RunAccount& account);
    // Whether the process of an id has ended (true), runs (false), or cannot be told (its error);
    // the clean-up asks it once per process. Opens the process unless a test gives another answer.
    using ProcessJudge = std::function<Vantrel::Common::Result<bool>(std::uint32_t processId)>;
    void SetProcessJudge(ProcessJudge judge);

private:
    // Called under the exclusive lock: 87 without a key, else creates a missing key.
    std::uint32_t EnsureSettingsKey();
    std::string GetDefaultedString(const char* valueName, const char* warning);
    // Whether the run may take decisions from the instance key: see ReadInstanceNumber.
    bool IsTrustedInstanceKey(Vantrel::Common::Utilities::RegistryKey& instanceKey) const;
    // A settings key that is missing, and a value that is there but cannot be read as the type it
    // must have, are the product's mistakes that the defaults would otherwise hide: each is named
    // once per run (Warn), with what was found and what is used instead. Called with the lock held.
    void WarnMissingSettingsKey() const;
    void WarnUnreadableValue(Vantrel::Common::Utilities::RegistryKey& key, const std::string& valueName,
                             const std::string& instance, std::uint32_t expectedType, std::uint32_t code) const;

    RunMode runMode_ = RunMode::UpdateState;
    std::string identifier_;
    std::string commandLine_;
    std::string instance_;
    ProductState productState_ = ProductState::None;
    mutable std::shared_mutex lock_;
    Vantrel::Common::Utilities::FileInfo reportingExecutable_;
    std::shared_ptr<Vantrel::Common::Utilities::RegistryKey> settingsKey_;
    // "Instance" and this run's instance key below the settings key, each one object for the run,
    // so that a registry link there is logged once.
    std::shared_ptr<Vantrel::Common::Utilities::RegistryKey> instancesKey_;
    std::shared_ptr<Vantrel::Common::Utilities::RegistryKey> instanceKey_;
    std::shared_ptr<WindowsSecurityCenterService> service_;
    RunAccount runAccount_ = RunAccount::Current();
    ProcessJudge processJudge_;
    mutable std::atomic<bool> untrustedInstanceKeyLogged_ = false;
    mutable std::atomic<bool> missingSettingsKeyLogged_ = false;
    mutable std::mutex unreadableValuesLock_;
    mutable std::set<std::string> unreadableValuesLogged_;
    StateWordReader stateWordReader_;
    std::function<TimePoint()> clock_;
};

}  // namespace Tessaro::Ravelin
