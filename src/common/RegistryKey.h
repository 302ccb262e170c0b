#pragma once

#include "diagnostics/Result.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The platform's own name for what a registry key handle points to; declared, not defined, so that
// this header does not need <windows.h>.
struct HKEY__;  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the platform's name

namespace Tessaro::Vantrel::Common::Utilities {

struct RegistryValue {
    std::wstring name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

// Closes a key handle that a function opens for itself.
struct KeyHandleCloser {
    void operator()(HKEY__* handle) const noexcept;
};
using KeyHandle = std::unique_ptr<HKEY__, KeyHandleCloser>;

// The system's one gateway to the registry. Names a key by a root and a path, opens it lazily with
// the access an operation needs (widening the held handle when a later operation needs more) and
// reads, writes, enumerates, copies and deletes. A key without a root is named by a native path
// (\REGISTRY\MACHINE\...) and is opened, created and deleted through the native key calls.
// Errors are returned as Windows error codes, never thrown.
class RegistryKey {
public:
    using Root = HKEY__*;

    static constexpr std::uint32_t ReadAccess = 0x20019;
    static constexpr std::uint32_t ReadWriteAccess = 0x2001F;
    static constexpr std::uint32_t ReadWriteDeleteAccess = 0x3001F;

    // The most a string value read with GetString may hold: 32,767 characters and the terminator
    // (the longest path the system takes). A longer one is refused with ERROR_MORE_DATA unread.
    static constexpr std::size_t MaximumStringValueSize = 32768 * sizeof(wchar_t);

    // ERROR_STOPPED_ON_SYMLINK: the answer of a key that counts as missing because a key on its own
    // path is a registry link.
    static constexpr std::uint32_t StoppedOnLink = 681;

    RegistryKey(Root root, std::wstring path);
    // A key whose path below `systemPath` is the product's own: from there down, this key and every
    // key named below it are opened and created as themselves, one path component at a time, each
    // relative to its parent's handle, so that no registry link there is followed. A link met is
    // logged once (Warn) and the key counts as missing (StoppedOnLink); nothing is created through
    // one. The system's own links in `systemPath` (CurrentControlSet is one) are followed as usual;
    // `systemPath` names at least one key below the root.
    RegistryKey(Root root, const std::wstring& systemPath, const std::wstring& ownPath);
    // A key named relative to an open key handle, which it keeps open while it lives.
    RegistryKey(std::shared_ptr<HKEY__> heldRoot, std::wstring path);
    ~RegistryKey();

    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool Exists();
    bool CanRead();
    bool CanWrite();
    Result<std::wstring> GetFullName();
    std::uint32_t Create();
    std::uint32_t CreateRecursively();
    std::uint32_t Delete();
    std::uint32_t DeleteTree();
    std::uint32_t CreateSubKey(const std::wstring& name);
    std::uint32_t DeleteSubKey(const std::wstring& name);
    std::shared_ptr<RegistryKey> GetSubKey(const std::wstring& name);
    // The subkey `name` opened as itself with `access`, relative to this key's handle. A registry
    // link is opened as the link, never followed, and logged (Warn): all it is good for is its
    // deletion (DeleteTree removes the link itself). The keys named below the answer are opened as
    // themselves relative to the subkey's handle, never looked up again by path.
    Result<std::shared_ptr<RegistryKey>> OpenSubKeyAsItself(const std::wstring& name, std::uint32_t access);
    Result<std::vector<std::wstring>> GetSubKeyNames();
    std::uint32_t GetValue(const std::wstring& name, std::uint32_t& type, std::vector<std::uint8_t>& data);
    std::uint32_t SetValue(const std::wstring& name, std::uint32_t type, const std::vector<std::uint8_t>& data);
    std::uint32_t RenameValue(const std::wstring& oldName, const std::wstring& newName);
    std::uint32_t DeleteValue(const std::wstring& name);
    Result<std::vector<RegistryValue>> GetValues();
    Result<std::wstring> GetString(const std::wstring& name, const std::wstring& defaultValue);
    Result<std::uint32_t> GetDword(const std::wstring& name, std::uint32_t defaultValue);
    Result<std::uint64_t> GetQword(const std::wstring& name, std::uint64_t defaultValue);
    Result<std::vector<std::wstring>> GetMultiString(const std::wstring& name,
                                                     const std::vector<std::wstring>& defaultValue);
    std::uint32_t SetMultiString(const std::wstring& name, const std::vector<std::wstring>& value);
    // The key's owner (a SID, as bytes), read through the handle its values are read through.
    Result<std::vector<std::uint8_t>> GetOwner();
    Result<std::vector<std::uint8_t>> GetBinary(const std::wstring& name,
                                                const std::vector<std::uint8_t>& defaultValue);
    std::uint32_t SetString(const std::wstring& name, const std::wstring& value);
    std::uint32_t SetDword(const std::wstring& name, std::uint32_t value, bool bigEndian = false);
    std::uint32_t SetQword(const std::wstring& name, std::uint64_t value);
    std::uint32_t SetBinary(const std::wstring& name, const std::vector<std::uint8_t>& value);
    std::uint32_t SetExpandString(const std::wstring& name, const std::wstring& value);
    std::uint32_t CopyTo(Root destinationRoot, const std::wstring& destinationPath, bool createMissing, bool recursive,
                         const std::vector<std::wstring>& excludedNames);
    const std::wstring& GetPath() const;
    std::uint32_t Flush();
    std::uint32_t Open(std::uint32_t access);
    void Close();

    // What the key holds right now: diagnostics for the handle reuse.
    Root HeldHandle() const noexcept { return handle_; }
    std::uint32_t HeldAccess() const noexcept { return access_; }

private:
    // What a missing key or value is to an operation: a failure that it traces, or an answer.
    enum class Missing { Traced, Answer };

    // The frame of the operations on the held key: under the key's lock, opens the key with the
    // access the operation needs, then makes the operation's call. A failed open is traced at the
    // operation's open site with (handle, path, code), or by `trace` when the operation traces it
    // otherwise, and its code is returned (as the call's result type).
    template <int OpenSite, typename Call>
    auto OnOpenKey(std::uint32_t access, Missing missing, Call call);
    template <typename OpenFailureTrace, typename Call>
    auto OnOpenKeyTracedBy(std::uint32_t access, OpenFailureTrace trace, Call call);
    // The open-failure trace of the value operations: a refused open names the value(s) at one
    // site, any other failure carries its code at another.
    template <int DeniedSite, int FailedSite, typename... Names>
    auto ValueOpenTrace(Missing missing, const Names&... names);
    // Sends the site's trace, with the code last, for a failed call; returns the code.
    template <int Site, typename... Arguments>
    static std::uint32_t TraceFailure(std::uint32_t code, Missing missing, const Arguments&... arguments);

    // A value of one of the accepted types and of at most `maximumSize` bytes: 222 for another
    // type and 234 (ERROR_MORE_DATA) for more bytes, both known before the data is read, and 232
    // for fewer bytes than needed.
    std::uint32_t ReadTyped(const std::wstring& name, std::initializer_list<std::uint32_t> acceptedTypes,
                            std::size_t minimumSize, std::size_t maximumSize, std::vector<std::uint8_t>& data);
    std::uint32_t CreateNative();
    // What a key that ends in a registry link is opened as: refused (StoppedOnLink), or the link
    // itself, for its deletion.
    enum class LinkAtEnd { Refused, Opened };
    // Opens (with `create`, creates) the key as itself with `access`: the product's own components
    // one at a time (see the constructor), or, for a key named by a plain path, its last component.
    std::uint32_t OpenAsItself(std::uint32_t access, bool create, LinkAtEnd linkAtEnd, Root& opened);
    // DeleteTree's fall-back for the opened key: renamed beside itself, then deleted again.
    std::uint32_t DeleteTreeRenamedAway(Root key, std::uint32_t inPlaceError);
    // The held key's own handle, duplicated, when it has `access` (ERROR_ACCESS_DENIED otherwise).
    std::uint32_t DuplicateHeld(std::uint32_t access, LinkAtEnd linkAtEnd, Root& opened);
    // Logs, once for this key, that the key `link` is a registry link and is not followed.
    void ReportLink(Root link);
    std::uint32_t OpenNative(std::uint32_t access, Root& opened);

    Root handle_ = nullptr;
    std::shared_ptr<HKEY__> heldRoot_;  // the root handle, when this key is named relative to one
    Root root_;
    std::wstring path_;
    // Where the product's own part of the path begins (npos: the whole path is opened as named).
    std::size_t ownedFrom_;
    bool linkReported_ = false;
    // For a key held open (named by an empty path below `heldRoot_`): the access of its handle and
    // whether it is a registry link, both known when it was opened.
    std::uint32_t heldAccess_ = 0;
    bool heldIsLink_ = false;
    // How log lines name the key: the root and the path it was reached by, also for a held key.
    Root namedRoot_;
    std::wstring namedPath_;
    std::uint32_t access_ = 0;
    std::recursive_mutex mutex_;
};

}  // namespace Tessaro::Vantrel::Common::Utilities
