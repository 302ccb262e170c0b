#pragma once

#include "common/foundation/WinHandle.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace Tessaro::Vantrel::Common {

// Appends lines to one log file and rotates it when it has reached its maximum size: the file is
// renamed to the stem followed by "_N.log" with the lowest free N and a new file is started.
//
// Several agent processes write the same log. Each line goes out in one write to an append-only
// handle that others may read, write and rename through, and the size check, the rotation and
// the write take turns across processes through a byte-range lock on a companion lock file
// (the stem followed by ".lock"): without it, agents rotating at the same moment, or a platform
// that finds the end of the file before writing, lose lines. The wait for a turn is bounded, and
// neither file is ever written through a planted link.
class LogFileWriter {
public:
    static constexpr std::uint32_t DefaultMaximumSize = 0x500000;
    // How long a line waits for its turn before it goes out without one.
    static constexpr std::chrono::milliseconds TurnWait{2000};

    // Whether a file with this owner (a SID) may hold the agent's log: SYSTEM, the Administrators
    // group, TrustedInstaller, or this process's own user or default owner (whom the files it
    // creates belong to). A
    // log or lock file that somebody else owns is not written: an ordinary user who planted it
    // where users may create files would keep their lines above the agent's and read what follows.
    static bool IsOwnFileOwner(void* ownerSid);

    // Opens (creating) the file and runs the rotation check. A file that cannot be opened leaves
    // the writer active without a file: lines are dropped. File-system errors of the check raise
    // std::filesystem::filesystem_error.
    LogFileWriter(std::filesystem::path path, std::uint32_t maximumSize = DefaultMaximumSize);

    LogFileWriter(const LogFileWriter&) = delete;
    LogFileWriter& operator=(const LogFileWriter&) = delete;

    // Not synchronised within the process: the caller serialises writes.
    void Write(const std::string& line);

    const std::filesystem::path& Path() const noexcept { return path_; }
    // Why the lock companion, or else the log at its last open, could not be opened: the Windows
    // error, 0 when both are open (or when there is no path).
    std::uint32_t OpenError() const noexcept;
    // Whether lines reach the log in their turn: the log and its companion are open, neither refused.
    bool IsUsable() const noexcept { return file_ != nullptr && lockFile_ != nullptr; }

    // The name the file would be rotated to now.
    std::filesystem::path NextRotationTarget() const;

private:
    void Open();
    // Rotates a full log and follows a rotation done by another process; holds the lock.
    void PrepareFileForWrite();
    std::optional<std::uintmax_t> SizeAtPath() const;

    bool active_ = false;
    // The lock companion is a planted link: nothing is written at all.
    bool refused_ = false;
    // Once a wait for the turn has run out, this writer takes the turn only when it is free.
    bool turnWaitRanOut_ = false;
    std::uint32_t lockOpenError_ = 0;
    std::uint32_t fileOpenError_ = 0;
    std::unique_ptr<WinHandle> file_;
    std::unique_ptr<WinHandle> lockFile_;
    std::uint32_t maximumSize_;
    std::filesystem::path path_;
};

}  // namespace Tessaro::Vantrel::Common
