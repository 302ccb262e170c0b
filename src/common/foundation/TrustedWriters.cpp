#include "common/foundation/TrustedWriters.h"

#include "common/foundation/Scoped.h"
#include "common/foundation/WinHandle.h"

#include <windows.h>
// sddl.h needs the declarations of windows.h first.
#include <sddl.h>

#include <utility>

namespace Tessaro {

namespace {

// NT SERVICE\TrustedInstaller, which owns the system's own files.
constexpr const wchar_t* TrustedInstallerSid = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

constexpr std::uint32_t FileGenericWrite =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;

std::vector<std::uint8_t> SidBytes(const void* sid)
{
    if (sid == nullptr || !IsValidSid(const_cast<void*>(sid))) {
        return {};
    }
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    return {bytes, bytes + GetLengthSid(const_cast<void*>(sid))};
}

bool IsSid(const void* sid, const std::vector<std::uint8_t>& expected)
{
    return !expected.empty() && EqualSid(const_cast<void*>(sid), const_cast<std::uint8_t*>(expected.data()));
}

std::vector<std::uint8_t> TokenSid(HANDLE token, TOKEN_INFORMATION_CLASS kind)
{
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<std::uint8_t> buffer(size);
    if (size == 0 || !GetTokenInformation(token, kind, buffer.data(), size, &size)) {
        return {};
    }
    return SidBytes(kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                      : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner);
}

RunAccount ReadCurrentAccount()
{
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        // Nothing known of the run: it is taken to be above ordinary users, so that nobody else's
        // input decides for it, and nothing is its own.
        return RunAccount({}, {}, true);
    }
    const WinHandle token(rawToken);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated = !GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &size) ||
                          elevation.TokenIsElevated != 0;
    return RunAccount(TokenSid(token.Get(), TokenUser), TokenSid(token.Get(), TokenOwner), elevated);
}

bool IsAllowingEntry(const ACE_HEADER* header)
{
    switch (header->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
            return true;
        default:
            return false;
    }
}

std::uint32_t MappedFileRights(std::uint32_t mask)
{
    if ((mask & GENERIC_ALL) != 0) {
        return 0xFFFFFFFF;
    }
    return (mask & GENERIC_WRITE) != 0 ? mask | FileGenericWrite : mask;
}

}  // namespace

bool IsAdministrativeAccount(const void* sid)
{
    if (sid == nullptr || !IsValidSid(const_cast<void*>(sid))) {
        return false;
    }
    auto* writable = const_cast<void*>(sid);
    if (IsWellKnownSid(writable, WinLocalSystemSid) || IsWellKnownSid(writable, WinBuiltinAdministratorsSid)) {
        return true;
    }
    Scoped<PSID> trustedInstaller([](PSID& value) { LocalFree(value); });
    return ConvertStringSidToSidW(TrustedInstallerSid, &trustedInstaller.Get()) &&
           EqualSid(writable, trustedInstaller.Get());
}

const RunAccount& RunAccount::Current()
{
    static const RunAccount account = ReadCurrentAccount();
    return account;
}

RunAccount::RunAccount(std::vector<std::uint8_t> user, std::vector<std::uint8_t> defaultOwner, bool elevated)
    : user_(std::move(user)), defaultOwner_(std::move(defaultOwner))
{
    std::vector<std::uint8_t> system(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(system.size());
    const bool isSystem =
        CreateWellKnownSid(WinLocalSystemSid, nullptr, system.data(), &size) && IsSid(system.data(), user_);
    aboveOrdinaryUsers_ = elevated || isSystem;
}

bool RunAccount::IsTrustedWriter(const void* sid) const
{
    if (sid == nullptr || !IsValidSid(const_cast<void*>(sid))) {
        return false;
    }
    return IsAdministrativeAccount(sid) || IsSid(sid, user_) || IsSid(sid, defaultOwner_);
}

bool GrantsFileRightsToUntrusted(const _ACL* list, std::uint32_t rights, const RunAccount& account)
{
    if (list == nullptr) {
        return true;
    }
    auto* acl = const_cast<ACL*>(list);
    for (DWORD index = 0; index < acl->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(acl, index, &entry)) {
            return true;
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || !IsAllowingEntry(header)) {
            continue;
        }
        // Every kind of entry has its mask right after the header; only the plain one has its SID
        // right after that.
        const auto* plain = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        if ((MappedFileRights(plain->Mask) & rights) == 0) {
            continue;
        }
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || !account.IsTrustedWriter(&plain->SidStart)) {
            return true;
        }
    }
    return false;
}

std::string SidText(const void* sid)
{
    Scoped<wchar_t*> text([](wchar_t*& value) { LocalFree(value); });
    if (sid == nullptr || !IsValidSid(const_cast<void*>(sid)) ||
        !ConvertSidToStringSidW(const_cast<void*>(sid), &text.Get())) {
        return "<invalid SID>";
    }
    // SID text is ASCII.
    std::string narrow;
    for (const wchar_t* character = text.Get(); *character != L'\0'; ++character) {
        narrow += static_cast<char>(*character);
    }
    return narrow;
}

}  // namespace Tessaro
