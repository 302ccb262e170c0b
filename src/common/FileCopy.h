#pragma once

#include "common/FileInfo.h"
#include "common/foundation/WinHandle.h"
#include "diagnostics/Log.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Tessaro::Vantrel::Common::Utilities {

// Deletes the file when the system next starts.
std::uint32_t RemoveAtNextReboot(const FileInfo& file);

// Logs which processes keep the file open (a sharing violation's report).
void LogProcessesUsingFile(const FileInfo& file, LogLevel level);
// The text of that report.
std::string ProcessesUsingFileReport(const FileInfo& file, const std::vector<RestartManagerProcessInfo>& processes);

// Opens through NtCreateFile with the native form of the path.
std::shared_ptr<WinHandle> CreateFileNative(const FileInfo& file, std::uint32_t access, std::uint32_t shareMode,
                                            std::uint32_t disposition, std::uint32_t createOptions, long& status);

}  // namespace Tessaro::Vantrel::Common::Utilities
