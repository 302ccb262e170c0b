#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The platform's own name for an access list; declared, not defined, so that this header does not
// need <windows.h>.
struct _ACL;  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the platform's name

namespace Tessaro {

// Who may have written an input decides what the input may reach. The agent trusts the accounts
// that administer the machine and its own account (whatever that account wrote, the run could have
// written itself); everybody else's input is data that decides nothing for a run above them.

// LocalSystem, the Administrators group or TrustedInstaller.
bool IsAdministrativeAccount(const void* sid);

// The account a run works for, as its token says.
class RunAccount {
public:
    // This process's, read once.
    static const RunAccount& Current();

    // The token's user and default owner (SIDs as bytes), and whether it is elevated.
    RunAccount(std::vector<std::uint8_t> user, std::vector<std::uint8_t> defaultOwner, bool elevated);

    // LocalSystem or an elevated administrator: a run that ordinary users must not be able to steer.
    bool IsAboveOrdinaryUsers() const noexcept { return aboveOrdinaryUsers_; }
    // An administrative account, or the run's own user or default owner (what the run creates
    // belongs to one of them).
    bool IsTrustedWriter(const void* sid) const;

private:
    std::vector<std::uint8_t> user_;
    std::vector<std::uint8_t> defaultOwner_;
    bool aboveOrdinaryUsers_;
};

// File rights that change what a path leads to, as the access checks below take them.
namespace FileRights {
// The file's content or streams.
constexpr std::uint32_t WriteContent = 0x0002 | 0x0004;  // FILE_WRITE_DATA, FILE_APPEND_DATA
// In a folder: adding a file (FILE_ADD_FILE) or a folder (FILE_ADD_SUBDIRECTORY).
constexpr std::uint32_t AddEntries = WriteContent;
// In a folder: removing or renaming what it holds (FILE_DELETE_CHILD).
constexpr std::uint32_t RemoveEntries = 0x0040;
// The object's own name, access list and owner (DELETE, WRITE_DAC, WRITE_OWNER).
constexpr std::uint32_t ReplaceObject = 0x00010000 | 0x00040000 | 0x00080000;
}  // namespace FileRights

// Whether the file or folder access list grants any of `rights` (generic rights mapped as for
// files) to somebody the account does not trust, in an entry that applies to the object itself. No
// list at all grants everything to everybody. An allowing entry whose layout is not the plain one
// (object and callback entries) counts as granting to somebody untrusted: it is not read.
bool GrantsFileRightsToUntrusted(const _ACL* list, std::uint32_t rights, const RunAccount& account);

// "S-1-5-..." for a log line; "<invalid SID>" when it is none.
std::string SidText(const void* sid);

}  // namespace Tessaro
