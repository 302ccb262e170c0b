#pragma once

#include "common/FileInfo.h"
#include "common/foundation/TrustedWriters.h"
#include "common/foundation/WinHandle.h"
#include "diagnostics/Result.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Tessaro::Vantrel::Common::Utilities {

// A program file to be started, opened once as itself and held with sharing that refuses writers
// and deleters while its holder lives, together with the folders above it. What is checked of it
// is read from those handles, so it is what the system starts while they are held:
// - the file and each folder are themselves, not a link (symbolic link, junction, mount point);
// - the file's final path is the path asked for (no link in a folder on the way, no stream);
// - the volume the file lies on is a local fixed disk;
// - the file and each folder are owned by a writer the run trusts (an administrative account or
//   the run's own) and let nobody else change what the path leads to: the file's content, name or
//   access list; in its folder, adding or removing entries; in the folders above, removing or
//   renaming entries or changing their access lists.
// Whatever cannot be read is refused.
class HeldProgramFile {
public:
    enum class Refusal {
        None,
        // The file or a folder could not be opened: `error` is the system's answer.
        NotOpened,
        // A link, a folder where the file should be, a final path other than the path asked for.
        NotItself,
        NotOnLocalFixedDisk,
        WritableByOthers,
        // Something the checks need could not be read: `error` says why.
        Unreadable,
    };

    struct Outcome {
        std::unique_ptr<HeldProgramFile> held;
        Refusal refusal = Refusal::None;
        std::uint32_t error = 0;
        // What was refused or could not be read, for the log: the object and what of it.
        std::string what;
    };

    // `program` is a full path in drive-letter form (\\?\X:\...).
    static Outcome Open(const FileInfo& program, const RunAccount& account);
    // The folder's own checks, as Open makes them of each folder on the path: a folder, no link,
    // owned by a trusted writer, and none of `rights` for anybody else. Nothing is held.
    static Outcome CheckFolder(const std::wstring& folder, std::uint32_t rights, const RunAccount& account);

    const FileIdentity& Identity() const noexcept { return identity_; }

private:
    HeldProgramFile() = default;

    std::vector<std::unique_ptr<WinHandle>> folders_;
    std::unique_ptr<WinHandle> file_;
    FileIdentity identity_;
};

// The rights that an untrusted account may not hold over each object on a program's path (see
// HeldProgramFile): the program file, the folder that holds it, and every folder above.
namespace ProgramPathRights {
constexpr std::uint32_t File = FileRights::WriteContent | FileRights::ReplaceObject;
constexpr std::uint32_t OwnFolder = FileRights::AddEntries | FileRights::RemoveEntries | FileRights::ReplaceObject;
constexpr std::uint32_t FolderAbove = FileRights::RemoveEntries | FileRights::ReplaceObject;
}  // namespace ProgramPathRights

}  // namespace Tessaro::Vantrel::Common::Utilities
