#include "common/RegistryKey.h"

#include "common/foundation/Format.h"
#include "common/foundation/NativeApi.h"
#include "common/foundation/Scoped.h"
#include "common/foundation/StringConversion.h"
#include "diagnostics/Log.h"
#include "diagnostics/TraceChannel.h"

#include <windows.h>

#include <aclapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

namespace Tessaro::Vantrel::Common::Utilities {

void KeyHandleCloser::operator()(HKEY__* handle) const noexcept
{
    RegCloseKey(handle);
}

namespace {

// RRF_RT_ANY with RRF_NOEXPAND: every type, REG_EXPAND_SZ unexpanded.
constexpr DWORD AnyTypeUnexpanded = 0x1000FFFF;
// The longest name a value may have, 16383 characters, and the terminator the enumeration writes
// after it: a buffer of just the name's length refuses the longest names (ERROR_MORE_DATA), and one
// such value would end the whole listing.
constexpr DWORD ValueNameBufferLength = 16383 + 1;
// The bound of the typed reads that the agent makes of nobody's values (lists and binary values are
// read by the tools only).
constexpr std::size_t AnySize = static_cast<std::size_t>(-1);

std::uint32_t ToCode(LSTATUS status)
{
    return static_cast<std::uint32_t>(status);
}

std::uint32_t NativeToCode(NTSTATUS status)
{
    return status >= 0 ? ERROR_SUCCESS : static_cast<std::uint32_t>(RtlNtStatusToDosError(status));
}

std::string HandleText(const void* handle)
{
    return Format("{:016X}", reinterpret_cast<std::uintptr_t>(handle));
}

// What each key below the top of a tree being deleted is opened with: its deletion, the listing of
// its subkeys and the query that tells a link.
constexpr DWORD SubtreeDeletionAccess = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
// The longest key name the registry allows, in characters.
constexpr DWORD MaximumKeyNameLength = 255;

// Opens (with `create`, creates) the key `name` below the open key `parent`; `attributes` add
// OBJ_OPENLINK or not. The name is counted, not NUL-ended, so an enumerated name is opened exactly as
// the registry holds it.
std::uint32_t OpenNativeKey(HKEY parent, const std::wstring& name, DWORD access, bool create, ULONG attributes,
                            HKEY& opened)
{
    if (name.size() > MAXSHORT / sizeof(wchar_t)) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    UNICODE_STRING text;
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    text.Buffer = const_cast<PWSTR>(name.data());
    OBJECT_ATTRIBUTES objectAttributes{};
    objectAttributes.Length = sizeof(OBJECT_ATTRIBUTES);
    objectAttributes.RootDirectory = parent;
    objectAttributes.ObjectName = &text;
    objectAttributes.Attributes = Native::ObjectCaseInsensitive | attributes;
    HANDLE handle = nullptr;
    const NTSTATUS status = create ? NtCreateKey(&handle, access, &objectAttributes, 0, nullptr, 0, nullptr)
                                   : NtOpenKey(&handle, access, &objectAttributes);
    if (status < 0) {
        return NativeToCode(status);
    }
    opened = static_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

// Opens (with `create`, creates) the key `name` below the open key `parent`, as itself: a registry
// link there is opened as the link and never followed, also when its target is missing (a create
// through it would make the target, wherever it names).
std::uint32_t OpenKeyAsItself(HKEY parent, const std::wstring& name, DWORD access, bool create, HKEY& opened)
{
    return OpenNativeKey(parent, name, access, create, Native::ObjectOpenLink, opened);
}

// The key's native name (\REGISTRY\MACHINE\...).
Result<std::wstring> QueryKeyName(HKEY key)
{
    std::vector<std::uint8_t> buffer;
    ULONG length = 0;
    NTSTATUS status = Native::StatusBufferTooSmall;
    for (int call = 0; call < 2 && status == Native::StatusBufferTooSmall; ++call) {
        buffer.resize(length);
        status = NtQueryKey(key, Native::KeyNameInformation, buffer.empty() ? nullptr : buffer.data(),
                            static_cast<ULONG>(buffer.size()), &length);
    }
    if (status < 0) {
        return Result<std::wstring>(NativeToCode(status));
    }
    if (length < 8 || buffer.size() < 8) {
        return Result<std::wstring>(ERROR_NO_DATA);
    }
    ULONG nameBytes = 0;
    std::memcpy(&nameBytes, buffer.data(), sizeof(nameBytes));
    nameBytes = std::min<ULONG>(nameBytes, static_cast<ULONG>(buffer.size() - sizeof(ULONG)));
    std::wstring name(nameBytes / sizeof(wchar_t), L'\0');
    std::memcpy(name.data(), buffer.data() + sizeof(ULONG), name.size() * sizeof(wchar_t));
    return Result<std::wstring>(std::move(name));
}

// Whether the key opened as itself (REG_OPTION_OPEN_LINK) into `opened` is a registry link;
// `openFollowingLinks` opens the same name the ordinary way. A link holds the value that names its
// target, but a plain key may hold a value of that name and type too (whoever may set its values can
// write one): the key is a link only when the ordinary open reaches another key, or none. That open
// only names where the link points; nothing is read or written there.
template <typename OpenFollowingLinks>
bool IsLink(HKEY opened, OpenFollowingLinks openFollowingLinks)
{
    DWORD type = 0;
    if (RegQueryValueExW(opened, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS ||
        type != REG_LINK) {
        return false;
    }
    HKEY followed = nullptr;
    if (openFollowingLinks(followed) != ERROR_SUCCESS) {
        return true;  // a link whose target is missing, or one that cannot be told apart: not followed
    }
    const KeyHandle target(followed);
    const auto openedName = QueryKeyName(opened);
    const auto targetName = QueryKeyName(followed);
    return !openedName.Succeeded() || !targetName.Succeeded() ||
           CompareStringOrdinal(openedName.Value().c_str(), static_cast<int>(openedName.Value().size()),
                                targetName.Value().c_str(), static_cast<int>(targetName.Value().size()),
                                TRUE) != CSTR_EQUAL;
}

// Whether the key `name`, opened as itself below `parent` into `opened`, is a registry link.
bool IsLinkBelow(HKEY parent, const std::wstring& name, HKEY opened)
{
    return IsLink(opened,
                  [&](HKEY& followed) { return OpenNativeKey(parent, name, KEY_QUERY_VALUE, false, 0, followed); });
}

// Deletes the open key and everything below it through handles alone: each subkey is opened
// relative to its parent's handle and as itself. A registry link opened as itself shows none of
// its target's subkeys, so it goes as the link, its target untouched. Nothing is looked up by a
// path that another process could redirect meanwhile.
std::uint32_t DeleteOpenedTree(HKEY key)
{
    // A subkey that is gone by the time it is opened is stepped over; the key's own deletion then
    // says whether anything is left.
    for (DWORD index = 0;;) {
        std::wstring name(MaximumKeyNameLength + 1, L'\0');
        DWORD length = static_cast<DWORD>(name.size());
        auto code = ToCode(RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr));
        if (code == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (code != ERROR_SUCCESS) {
            return code;
        }
        name.resize(length);
        HKEY child = nullptr;
        code = OpenKeyAsItself(key, name, SubtreeDeletionAccess, false, child);
        if (code == ERROR_FILE_NOT_FOUND) {
            ++index;
            continue;
        }
        if (code != ERROR_SUCCESS) {
            return code;
        }
        const KeyHandle owner(child);
        if (code = DeleteOpenedTree(child); code != ERROR_SUCCESS) {
            return code;
        }
    }
    return NativeToCode(NtDeleteKey(key));
}

std::wstring ChildPath(const std::wstring& path, const std::wstring& name, bool slashEndsPathToo)
{
    // A key named by its handle alone has no path: its children are named relative to it.
    if (path.empty()) {
        return name;
    }
    const bool endsInSeparator = path.back() == L'\\' || (slashEndsPathToo && path.back() == L'/');
    return endsInSeparator ? path + name : path + L"\\" + name;
}

std::wstring LowerCase(const std::wstring& text)
{
    if (text.empty()) {
        return text;
    }
    std::wstring lower(text.size(), L'\0');
    const int size = static_cast<int>(text.size());
    if (LCMapStringEx(LOCALE_NAME_USER_DEFAULT, LCMAP_LOWERCASE, text.c_str(), size, lower.data(), size, nullptr,
                      nullptr, 0) != size) {
        return text;
    }
    return lower;
}

bool IsExcluded(const std::wstring& name, const std::vector<std::wstring>& excludedNames)
{
    const std::wstring lowerName = LowerCase(name);
    return std::any_of(excludedNames.begin(), excludedNames.end(), [&](const std::wstring& excluded) {
        return lowerName.find(LowerCase(excluded)) != std::wstring::npos;
    });
}

std::vector<std::uint8_t> StringBytes(const std::wstring& value)
{
    const auto* first = reinterpret_cast<const std::uint8_t*>(value.c_str());
    // The characters and their terminating NUL.
    return std::vector<std::uint8_t>(first, first + (value.size() + 1) * sizeof(wchar_t));
}

template <typename Number>
std::vector<std::uint8_t> LittleEndianBytes(Number value)
{
    std::vector<std::uint8_t> bytes(sizeof(Number));
    for (std::size_t index = 0; index < sizeof(Number); ++index) {
        bytes[index] = static_cast<std::uint8_t>(value >> (8 * index));
    }
    return bytes;
}

template <typename Number>
Number FromLittleEndian(const std::vector<std::uint8_t>& bytes)
{
    Number value = 0;
    for (std::size_t index = 0; index < sizeof(Number); ++index) {
        value |= static_cast<Number>(bytes[index]) << (8 * index);
    }
    return value;
}

// Which call of a value read failed: the size query or the read of the data.
enum class ReadStep { Size, Data };

// What a read takes: any type and size, or only the listed types up to a size. A value outside is
// refused after the size query, before anything is allocated for it: whoever can write the value
// does not decide how much the reader allocates.
struct ValueShape {
    const std::initializer_list<std::uint32_t>* types = nullptr;
    std::size_t maximumSize = static_cast<std::size_t>(-1);

    std::uint32_t Check(DWORD type, DWORD size) const
    {
        if (types != nullptr && std::find(types->begin(), types->end(), type) == types->end()) {
            return ERROR_BAD_FILE_TYPE;
        }
        return size > maximumSize ? ERROR_MORE_DATA : ERROR_SUCCESS;
    }
};

std::uint32_t QueryValueBytes(HKEY handle, const std::wstring& name, std::uint32_t& type,
                              std::vector<std::uint8_t>& data, ReadStep& failedStep, const ValueShape& shape)
{
    DWORD valueType = 0;
    DWORD size = 0;
    failedStep = ReadStep::Size;
    auto code = ToCode(RegQueryValueExW(handle, name.c_str(), nullptr, &valueType, nullptr, &size));
    if (code == ERROR_SUCCESS) {
        code = shape.Check(valueType, size);
    }
    if (code == ERROR_SUCCESS) {
        failedStep = ReadStep::Data;
        data.assign(size, 0);
        code = ToCode(
            RegQueryValueExW(handle, name.c_str(), nullptr, &valueType, data.empty() ? nullptr : data.data(), &size));
    }
    if (code == ERROR_SUCCESS) {
        data.resize(size);
        type = valueType;
        code = shape.Check(valueType, size);
    }
    return code;
}

// The value's type and bytes for a typed read: strings unexpanded and, as the platform's typed read
// promises, ending in their terminator.
std::uint32_t ReadValue(HKEY handle, const std::wstring& name, std::uint32_t& type, std::vector<std::uint8_t>& data,
                        ReadStep& failedStep, const ValueShape& shape = {})
{
    DWORD valueType = 0;
    DWORD size = 0;
    failedStep = ReadStep::Size;
    auto code = ToCode(RegGetValueW(handle, nullptr, name.c_str(), AnyTypeUnexpanded, &valueType, nullptr, &size));
    if (code == ERROR_UNSUPPORTED_TYPE) {
        // Some platforms refuse types such as REG_DWORD_BIG_ENDIAN despite "any type"; the raw
        // query returns the same bytes for every type that is not a string.
        return QueryValueBytes(handle, name, type, data, failedStep, shape);
    }
    if (code == ERROR_SUCCESS) {
        code = shape.Check(valueType, size);
    }
    if (code != ERROR_SUCCESS) {
        return code;
    }
    failedStep = ReadStep::Data;
    // Room for the terminators the typed read adds to a string that lacks them: a platform may leave
    // them out of the size it answers first (Wine 10 does) and ask for them when it reads. A value
    // that grew beyond that since the size query does not fit and is refused (ERROR_MORE_DATA).
    constexpr DWORD TerminatorRoom = 2 * sizeof(wchar_t);
    data.assign(static_cast<std::size_t>(size) + TerminatorRoom, 0);
    size = static_cast<DWORD>(data.size());
    code = ToCode(RegGetValueW(handle, nullptr, name.c_str(), AnyTypeUnexpanded, &valueType, data.data(), &size));
    if (code == ERROR_SUCCESS) {
        data.resize(size);
        type = valueType;
        code = shape.Check(valueType, size);
    }
    return code;
}

// Writes the value's bytes as they are. For a string type the platform looks one character past the
// counted bytes (and one before them when only one byte is counted) and, where the string has no
// terminator of its own and that character is NUL, adds one. The bytes are therefore written from a
// copy with a character that is not NUL on either side: nothing outside the copy is read and
// nothing is added, so a value written back (a rename, a copy) keeps its bytes.
std::uint32_t WriteValue(HKEY handle, const std::wstring& name, std::uint32_t type,
                         const std::vector<std::uint8_t>& data)
{
    const bool isString = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ || type == REG_LINK;
    if (!isString || data.empty()) {
        return ToCode(RegSetValueExW(handle, name.c_str(), 0, type, data.empty() ? nullptr : data.data(),
                                     static_cast<DWORD>(data.size())));
    }
    constexpr std::size_t Guard = sizeof(wchar_t);
    std::vector<std::uint8_t> guarded(Guard + data.size() + Guard, 0xFF);
    std::copy(data.begin(), data.end(), guarded.begin() + Guard);
    return ToCode(
        RegSetValueExW(handle, name.c_str(), 0, type, guarded.data() + Guard, static_cast<DWORD>(data.size())));
}

class NativeName {
public:
    explicit NativeName(const std::wstring& path)
    {
        RtlInitUnicodeString(&name_, path.c_str());
        attributes_.Length = sizeof(OBJECT_ATTRIBUTES);
        attributes_.RootDirectory = nullptr;
        attributes_.ObjectName = &name_;
        attributes_.Attributes = Native::ObjectCaseInsensitive;
        attributes_.SecurityDescriptor = nullptr;
        attributes_.SecurityQualityOfService = nullptr;
    }
    POBJECT_ATTRIBUTES Attributes() { return &attributes_; }

private:
    UNICODE_STRING name_{};
    OBJECT_ATTRIBUTES attributes_{};
};

}  // namespace

RegistryKey::RegistryKey(Root root, std::wstring path)
    : root_(root), path_(std::move(path)), ownedFrom_(std::wstring::npos), namedRoot_(root_), namedPath_(path_)
{
}

RegistryKey::RegistryKey(Root root, const std::wstring& systemPath, const std::wstring& ownPath)
    : root_(root),
      path_(systemPath + L"\\" + ownPath),
      ownedFrom_(systemPath.size() + 1),
      namedRoot_(root_),
      namedPath_(path_)
{
}

RegistryKey::RegistryKey(std::shared_ptr<HKEY__> heldRoot, std::wstring path)
    : heldRoot_(std::move(heldRoot)),
      root_(heldRoot_.get()),
      path_(std::move(path)),
      ownedFrom_(0),
      namedRoot_(root_),
      namedPath_(path_)
{
}

RegistryKey::~RegistryKey()
{
    Close();
}

std::uint32_t RegistryKey::Open(std::uint32_t access)
{
    if (handle_ != nullptr && (access_ & access) == access) {
        return ERROR_SUCCESS;
    }
    // The wider handle replaces the held one only once it is open: a refused widening (a key the
    // caller may read but not write) leaves the reads that already work working.
    const std::uint32_t wanted = access_ | access;
    Root opened = nullptr;
    std::uint32_t code = ERROR_SUCCESS;
    if (root_ == nullptr) {
        code = OpenNative(wanted, opened);
    } else if (ownedFrom_ != std::wstring::npos) {
        code = OpenAsItself(wanted, false, LinkAtEnd::Refused, opened);
    } else {
        code = ToCode(RegOpenKeyExW(root_, path_.c_str(), 0, wanted, &opened));
    }
    if (code != ERROR_SUCCESS) {
        return code;
    }
    Close();
    handle_ = opened;
    access_ = wanted;
    return ERROR_SUCCESS;
}

std::uint32_t RegistryKey::OpenAsItself(std::uint32_t access, bool create, LinkAtEnd linkAtEnd, Root& opened)
{
    // The query that tells a link is made on the key itself.
    const DWORD endAccess = access | KEY_QUERY_VALUE;
    if (path_.empty() && heldRoot_ != nullptr) {
        return DuplicateHeld(endAccess, linkAtEnd, opened);
    }
    if (ownedFrom_ == std::wstring::npos) {
        HKEY handle = nullptr;
        if (const auto code = ToCode(RegOpenKeyExW(root_, path_.c_str(), REG_OPTION_OPEN_LINK, endAccess, &handle));
            code != ERROR_SUCCESS) {
            return code;
        }
        KeyHandle key(handle);
        if (linkAtEnd == LinkAtEnd::Refused && IsLink(handle, [this](HKEY& followed) {
                return ToCode(RegOpenKeyExW(root_, path_.c_str(), 0, KEY_QUERY_VALUE, &followed));
            })) {
            ReportLink(handle);
            return StoppedOnLink;
        }
        opened = key.release();
        return ERROR_SUCCESS;
    }
    // Each key on the way is opened with what its step needs and no more: the system's keys above the
    // product's own with none (they only name where the next key is looked up), each of the product's
    // own with the query that tells a link, and a parent with the right to create below it only when
    // the key below it is missing and is to be made. An access list on a key that exists and stays
    // as it is asks nothing of this run beyond that query.
    constexpr DWORD PassingAccess = KEY_QUERY_VALUE;
    constexpr DWORD CreatingAccess = KEY_QUERY_VALUE | KEY_CREATE_SUB_KEY;
    KeyHandle grandparent;
    KeyHandle current;
    HKEY parent = root_;
    std::wstring parentName;
    // Whether the key that holds the current component was opened with the right to create below
    // it. Below a held key the walk starts with no parent name and creates through the held key's
    // own handle, with whatever access its holder chose.
    bool parentMayCreate = false;
    // Opens the key that holds the current component again, now with the right to create below it.
    auto reopenParentToCreate = [&]() -> std::uint32_t {
        HKEY reopened = nullptr;
        std::uint32_t code = ERROR_SUCCESS;
        if (grandparent == nullptr) {
            code = ToCode(RegOpenKeyExW(root_, parentName.c_str(), 0, CreatingAccess, &reopened));
        } else {
            code = OpenKeyAsItself(grandparent.get(), parentName, CreatingAccess, false, reopened);
        }
        if (code != ERROR_SUCCESS) {
            return code;
        }
        KeyHandle parentAgain(reopened);
        if (grandparent != nullptr && IsLinkBelow(grandparent.get(), parentName, reopened)) {
            ReportLink(reopened);
            return StoppedOnLink;
        }
        current = std::move(parentAgain);
        parent = current.get();
        parentMayCreate = true;
        return ERROR_SUCCESS;
    };
    if (ownedFrom_ > 0) {
        parentName = path_.substr(0, ownedFrom_ - 1);
        HKEY system = nullptr;
        if (const auto code = ToCode(RegOpenKeyExW(root_, parentName.c_str(), 0, 0, &system)); code != ERROR_SUCCESS) {
            return code;
        }
        current.reset(system);
        parent = system;
    }
    for (std::size_t start = ownedFrom_;;) {
        const auto end = path_.find(L'\\', start);
        const bool last = end == std::wstring::npos;
        const std::wstring name = path_.substr(start, last ? end : end - start);
        const DWORD stepAccess = last ? endAccess : PassingAccess;
        HKEY next = nullptr;
        auto code = OpenKeyAsItself(parent, name, stepAccess, false, next);
        bool created = false;
        if (code == ERROR_FILE_NOT_FOUND && create) {
            code = parentMayCreate || parentName.empty() ? ERROR_SUCCESS : reopenParentToCreate();
            if (code == ERROR_SUCCESS) {
                code = OpenKeyAsItself(parent, name, last ? stepAccess : CreatingAccess, true, next);
                created = true;
            }
        }
        if (code != ERROR_SUCCESS) {
            return code;
        }
        KeyHandle component(next);
        if (IsLinkBelow(parent, name, next) && !(last && linkAtEnd == LinkAtEnd::Opened)) {
            ReportLink(next);
            return StoppedOnLink;
        }
        grandparent = std::move(current);
        current = std::move(component);
        parent = current.get();
        parentName = name;
        parentMayCreate = created;
        if (last) {
            break;
        }
        start = end + 1;
    }
    opened = current.release();
    return ERROR_SUCCESS;
}

std::uint32_t RegistryKey::DuplicateHeld(std::uint32_t access, LinkAtEnd linkAtEnd, Root& opened)
{
    // A key held open is used through its own handle: it is never looked up again, not even by an
    // empty name relative to itself. Its handle has the access it was opened with, and no more.
    if ((heldAccess_ & access) != access) {
        return ERROR_ACCESS_DENIED;
    }
    if (linkAtEnd == LinkAtEnd::Refused && heldIsLink_) {
        ReportLink(heldRoot_.get());
        return StoppedOnLink;
    }
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), heldRoot_.get(), GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return GetLastError();
    }
    opened = static_cast<HKEY>(duplicate);
    return ERROR_SUCCESS;
}

void RegistryKey::ReportLink(Root link)
{
    if (std::exchange(linkReported_, true)) {
        return;
    }
    const auto name = QueryKeyName(link);
    LogFormat(LogComponent::Setup, LogLevel::Warn, "The registry key \"{}\" is a registry link and is not followed",
              ReadableUtf8(name.Succeeded() ? name.Value() : namedPath_));
}

std::uint32_t RegistryKey::OpenNative(std::uint32_t access, Root& opened)
{
    NativeName name(path_);
    HANDLE handle = nullptr;
    const auto code = NativeToCode(NtOpenKey(&handle, access, name.Attributes()));
    if (code == ERROR_SUCCESS) {
        opened = static_cast<HKEY>(handle);
    }
    return code;
}

void RegistryKey::Close()
{
    if (handle_ != nullptr) {
        KeyHandleCloser{}(std::exchange(handle_, nullptr));
        access_ = 0;
    }
}

template <int Site, typename... Arguments>
std::uint32_t RegistryKey::TraceFailure(std::uint32_t code, Missing missing, const Arguments&... arguments)
{
    if (code != ERROR_SUCCESS && (code != ERROR_FILE_NOT_FOUND || missing == Missing::Traced)) {
        TraceRegistryEvent<Site>(arguments..., code);
    }
    return code;
}

template <typename OpenFailureTrace, typename Call>
auto RegistryKey::OnOpenKeyTracedBy(std::uint32_t access, OpenFailureTrace trace, Call call)
{
    using Answer = decltype(call());
    std::lock_guard guard(mutex_);
    if (const auto code = Open(access); code != ERROR_SUCCESS) {
        trace(code);
        return Answer(code);
    }
    return call();
}

template <int DeniedSite, int FailedSite, typename... Names>
auto RegistryKey::ValueOpenTrace(Missing missing, const Names&... names)
{
    return [this, missing, &names...](std::uint32_t code) {
        if (code == ERROR_ACCESS_DENIED) {
            TraceRegistryEvent<DeniedSite>(handle_, path_, names...);
        } else {
            TraceFailure<FailedSite>(code, missing, handle_, path_);
        }
    };
}

template <int OpenSite, typename Call>
auto RegistryKey::OnOpenKey(std::uint32_t access, Missing missing, Call call)
{
    return OnOpenKeyTracedBy(
        access, [this, missing](std::uint32_t code) { TraceFailure<OpenSite>(code, missing, handle_, path_); }, call);
}

bool RegistryKey::Exists()
{
    std::lock_guard guard(mutex_);
    const auto code = Open(ReadAccess);
    if (code == ERROR_SUCCESS || code == ERROR_ACCESS_DENIED) {
        return true;
    }
    if (code != ERROR_FILE_NOT_FOUND) {
        TraceRegistryEvent<10>(handle_, path_, code);
    }
    return false;
}

bool RegistryKey::CanRead()
{
    std::lock_guard guard(mutex_);
    return Open(ReadAccess) != ERROR_ACCESS_DENIED;
}

bool RegistryKey::CanWrite()
{
    std::lock_guard guard(mutex_);
    return Open(ReadWriteAccess) != ERROR_ACCESS_DENIED;
}

Result<std::wstring> RegistryKey::GetFullName()
{
    return OnOpenKey<11>(ReadAccess, Missing::Traced, [this] { return QueryKeyName(handle_); });
}

std::uint32_t RegistryKey::Create()
{
    std::lock_guard guard(mutex_);
    Close();
    std::uint32_t code = ERROR_SUCCESS;
    if (root_ == nullptr) {
        code = CreateNative();
    } else if (ownedFrom_ != std::wstring::npos) {
        HKEY created = nullptr;
        code = OpenAsItself(ReadWriteAccess, true, LinkAtEnd::Refused, created);
        if (code == ERROR_SUCCESS) {
            handle_ = created;
        }
    } else {
        HKEY created = nullptr;
        code =
            ToCode(RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, ReadWriteAccess, nullptr, &created, nullptr));
        if (code == ERROR_SUCCESS) {
            handle_ = created;
        }
    }
    if (code == ERROR_SUCCESS) {
        access_ = ReadWriteAccess;
    } else {
        TraceRegistryEvent<12>(root_, path_, code);
    }
    return code;
}

std::uint32_t RegistryKey::CreateNative()
{
    NativeName name(path_);
    HANDLE created = nullptr;
    const auto code = NativeToCode(NtCreateKey(&created, ReadWriteAccess, name.Attributes(), 0, nullptr, 0, nullptr));
    if (code == ERROR_SUCCESS) {
        handle_ = static_cast<HKEY>(created);
    }
    return code;
}

std::uint32_t RegistryKey::CreateRecursively()
{
    std::lock_guard guard(mutex_);
    if (ownedFrom_ != std::wstring::npos) {
        return Create();  // which makes each missing component of the product's own part
    }
    for (auto position = path_.find(L'\\'); position != std::wstring::npos;
         position = path_.find(L'\\', position + 1)) {
        // A native path starts with a backslash: there is no key to make for the empty prefix.
        if (position == 0) {
            continue;
        }
        RegistryKey ancestor(root_, path_.substr(0, position));
        if (!ancestor.Exists()) {
            if (const auto code = ancestor.Create(); code != ERROR_SUCCESS) {
                return code;
            }
        }
    }
    return Create();
}

std::uint32_t RegistryKey::Delete()
{
    // Through the key's own handle, opened as itself: a link goes as the link, never its target.
    std::lock_guard guard(mutex_);
    HKEY opened = nullptr;
    auto code = root_ == nullptr ? Open(ReadWriteDeleteAccess)
                                 : OpenAsItself(ReadWriteDeleteAccess, false, LinkAtEnd::Opened, opened);
    if (code != ERROR_SUCCESS) {
        return TraceFailure<13>(code, Missing::Answer, root_, path_);
    }
    const KeyHandle key(opened);
    code = NativeToCode(NtDeleteKey(root_ == nullptr ? handle_ : key.get()));
    return TraceFailure<14>(code, Missing::Answer, root_, handle_, path_);
}

std::uint32_t RegistryKey::DeleteTree()
{
    if (root_ == nullptr) {
        return ERROR_NOT_SUPPORTED;
    }
    std::lock_guard guard(mutex_);
    // The key is opened as itself once, and the whole tree goes through that handle and the handles
    // opened from it: what was decided about this key is what gets deleted, nothing is looked up by
    // path again, and a registry link in the tree, or the key itself being one, goes as the link.
    HKEY opened = nullptr;
    if (const auto code = OpenAsItself(ReadWriteDeleteAccess, false, LinkAtEnd::Opened, opened);
        code != ERROR_SUCCESS) {
        if (code == ERROR_FILE_NOT_FOUND) {
            return ERROR_SUCCESS;
        }
        LogFormat(LogComponent::Setup, LogLevel::Warn,
                  "Failed to delete the registry key tree. Open key failed [0x{};{}] (Error: {})", HandleText(handle_),
                  ReadableUtf8(namedPath_), code);
        return code;
    }
    const KeyHandle key(opened);
    // A handle held for other operations may be a link's target, or the key about to go.
    Close();
    auto code = DeleteOpenedTree(key.get());
    if (code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND) {
        LogFormat(
            LogComponent::Setup, LogLevel::Warn,
            "Failed to delete the registry key tree. Delete failed try to execute the fallback [0x{};{}] (Error: {})",
            HandleText(key.get()), ReadableUtf8(namedPath_), code);
        code = DeleteTreeRenamedAway(key.get(), code);
    }
    if (code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND) {
        LogFormat(LogComponent::Setup, LogLevel::Warn,
                  "Failed to delete the registry key tree [0x{};0x{};{}] (Error: {})", HandleText(namedRoot_),
                  HandleText(key.get()), ReadableUtf8(namedPath_), code);
    }
    return code;
}

std::uint32_t RegistryKey::DeleteTreeRenamedAway(Root key, std::uint32_t inPlaceError)
{
    // A tree that cannot be deleted in place (a subkey in use) may still go once renamed away. The
    // key is renamed through its own handle beside itself, deleted through the same handle, and
    // given its name back when that fails too.
    const auto fullName = QueryKeyName(key);
    if (!fullName.Succeeded()) {
        return inPlaceError;
    }
    const std::wstring name = fullName.Value().substr(fullName.Value().find_last_of(L'\\') + 1);
    const std::wstring obsoleteName = name + L"_obsolete";
    if (RegRenameKey(key, nullptr, obsoleteName.c_str()) != ERROR_SUCCESS) {
        return inPlaceError;
    }
    const auto code = DeleteOpenedTree(key);
    if (code != ERROR_SUCCESS) {
        // NOLINTNEXTLINE(bugprone-unused-return-value): best effort; the caller learns the deletion's error either way
        RegRenameKey(key, nullptr, name.c_str());
    }
    return code;
}

std::uint32_t RegistryKey::CreateSubKey(const std::wstring& name)
{
    return OnOpenKey<15>(ReadWriteAccess, Missing::Traced, [this, &name] {
        HKEY created = nullptr;
        const auto code =
            ToCode(RegCreateKeyExW(handle_, name.c_str(), 0, nullptr, 0, ReadWriteAccess, nullptr, &created, nullptr));
        const KeyHandle owner(created);
        return TraceFailure<16>(code, Missing::Traced, handle_, path_, name);
    });
}

std::uint32_t RegistryKey::DeleteSubKey(const std::wstring& name)
{
    return OnOpenKey<17>(ReadWriteDeleteAccess, Missing::Answer, [this, &name] {
        // Opened as itself and deleted through its handle: a link goes as the link.
        HKEY opened = nullptr;
        auto code = OpenKeyAsItself(handle_, name, DELETE, false, opened);
        const KeyHandle subKey(opened);
        if (code == ERROR_SUCCESS) {
            code = NativeToCode(NtDeleteKey(subKey.get()));
        }
        return TraceFailure<18>(code, Missing::Answer, handle_, path_, name);
    });
}

std::shared_ptr<RegistryKey> RegistryKey::GetSubKey(const std::wstring& name)
{
    auto subKey = heldRoot_ != nullptr ? std::make_shared<RegistryKey>(heldRoot_, ChildPath(path_, name, false))
                                       : std::make_shared<RegistryKey>(root_, ChildPath(path_, name, false));
    // Below a key opened as itself, every key is too.
    subKey->ownedFrom_ = ownedFrom_;
    subKey->heldAccess_ = heldAccess_;
    subKey->namedRoot_ = namedRoot_;
    subKey->namedPath_ = ChildPath(namedPath_, name, false);
    return subKey;
}

Result<std::shared_ptr<RegistryKey>> RegistryKey::OpenSubKeyAsItself(const std::wstring& name, std::uint32_t access)
{
    using Answer = Result<std::shared_ptr<RegistryKey>>;
    // This key is opened to reach its subkeys, as for their enumeration: its failure shares that site.
    return OnOpenKey<19>(ReadAccess, Missing::Answer, [&]() -> Answer {
        HKEY opened = nullptr;
        const DWORD heldAccess = access | KEY_QUERY_VALUE;
        if (const auto code = OpenKeyAsItself(handle_, name, heldAccess, false, opened); code != ERROR_SUCCESS) {
            return Answer(code);
        }
        auto subKey = std::make_shared<RegistryKey>(std::shared_ptr<HKEY__>(opened, KeyHandleCloser{}), std::wstring());
        subKey->heldAccess_ = heldAccess;
        subKey->namedRoot_ = namedRoot_;
        subKey->namedPath_ = ChildPath(namedPath_, name, false);
        subKey->heldIsLink_ = IsLinkBelow(handle_, name, opened);
        if (subKey->heldIsLink_) {
            subKey->ReportLink(opened);
        }
        return Answer(std::move(subKey));
    });
}

Result<std::vector<std::wstring>> RegistryKey::GetSubKeyNames()
{
    using Names = std::vector<std::wstring>;
    return OnOpenKey<19>(ReadAccess, Missing::Traced, [this] {
        DWORD longestName = 0;
        if (const auto code = ToCode(RegQueryInfoKeyW(handle_, nullptr, nullptr, nullptr, nullptr, &longestName,
                                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
            code != ERROR_SUCCESS) {
            TraceRegistryEvent<20>(handle_, path_, code);
            return Result<Names>(code);
        }
        Names names;
        for (DWORD index = 0;; ++index) {
            std::wstring name(longestName + 2, L'\0');
            DWORD length = static_cast<DWORD>(name.size());
            const auto code =
                ToCode(RegEnumKeyExW(handle_, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr));
            if (code == ERROR_SUCCESS) {
                name.resize(length);
                names.push_back(std::move(name));
            } else if (code == ERROR_NO_MORE_ITEMS) {
                return Result<Names>(std::move(names));
            } else if (code != ERROR_ACCESS_DENIED) {
                TraceRegistryEvent<21>(handle_, path_, code);
                return Result<Names>(code);
            }
        }
    });
}

std::uint32_t RegistryKey::GetValue(const std::wstring& name, std::uint32_t& type, std::vector<std::uint8_t>& data)
{
    return OnOpenKeyTracedBy(ReadAccess, ValueOpenTrace<22, 23>(Missing::Answer, name), [&] {
        ReadStep failedStep = ReadStep::Size;
        // The bytes as stored: a caller compares them or writes them back.
        return TraceFailure<24>(QueryValueBytes(handle_, name, type, data, failedStep, {}), Missing::Answer, handle_,
                                path_, name);
    });
}

std::uint32_t RegistryKey::SetValue(const std::wstring& name, std::uint32_t type, const std::vector<std::uint8_t>& data)
{
    return OnOpenKeyTracedBy(ReadWriteAccess, ValueOpenTrace<31, 32>(Missing::Traced, name), [&] {
        return TraceFailure<33>(WriteValue(handle_, name, type, data), Missing::Traced, handle_, path_, name);
    });
}

std::uint32_t RegistryKey::RenameValue(const std::wstring& oldName, const std::wstring& newName)
{
    return OnOpenKeyTracedBy(ReadWriteAccess, ValueOpenTrace<25, 26>(Missing::Traced, oldName, newName), [&] {
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        ReadStep failedStep = ReadStep::Size;
        // The bytes as stored, so that the value under its new name is the same value: the typed
        // read would add a terminator to a string that has none.
        if (const auto code = QueryValueBytes(handle_, oldName, type, data, failedStep, {}); code != ERROR_SUCCESS) {
            return failedStep == ReadStep::Size ? TraceFailure<27>(code, Missing::Traced, handle_, path_)
                                                : TraceFailure<28>(code, Missing::Traced, handle_, path_);
        }
        const auto written = WriteValue(handle_, newName, type, data);
        if (TraceFailure<29>(written, Missing::Traced, handle_, path_) != ERROR_SUCCESS) {
            return written;
        }
        return TraceFailure<30>(ToCode(RegDeleteValueW(handle_, oldName.c_str())), Missing::Traced, handle_, path_);
    });
}

std::uint32_t RegistryKey::DeleteValue(const std::wstring& name)
{
    return OnOpenKey<36>(ReadWriteAccess, Missing::Answer, [this, &name] {
        return TraceFailure<37>(ToCode(RegDeleteValueW(handle_, name.c_str())), Missing::Answer, handle_, path_);
    });
}

Result<std::vector<RegistryValue>> RegistryKey::GetValues()
{
    using Values = std::vector<RegistryValue>;
    return OnOpenKey<38>(ReadAccess, Missing::Traced, [this] {
        Values values;
        for (DWORD index = 0;; ++index) {
            std::wstring name(ValueNameBufferLength, L'\0');
            DWORD nameLength = ValueNameBufferLength;
            DWORD type = 0;
            DWORD size = 0;
            auto code = ToCode(RegEnumValueW(handle_, index, name.data(), &nameLength, nullptr, &type, nullptr, &size));
            if (code == ERROR_NO_MORE_ITEMS) {
                return Result<Values>(std::move(values));
            }
            if (code == ERROR_ACCESS_DENIED) {
                continue;
            }
            if (code != ERROR_SUCCESS) {
                TraceRegistryEvent<40>(handle_, path_, code);
                return Result<Values>(code);
            }
            std::vector<std::uint8_t> data;
            if (size > 0) {
                data.resize(size);
                nameLength = ValueNameBufferLength;
                code =
                    ToCode(RegEnumValueW(handle_, index, name.data(), &nameLength, nullptr, &type, data.data(), &size));
                if (code != ERROR_SUCCESS) {
                    TraceRegistryEvent<39>(handle_, path_, code);
                    return Result<Values>(code);
                }
                data.resize(size);
            }
            name.resize(nameLength);
            values.push_back({std::move(name), type, std::move(data)});
        }
    });
}

std::uint32_t RegistryKey::ReadTyped(const std::wstring& name, std::initializer_list<std::uint32_t> acceptedTypes,
                                     std::size_t minimumSize, std::size_t maximumSize, std::vector<std::uint8_t>& data)
{
    const ValueShape shape{&acceptedTypes, maximumSize};
    const auto code = OnOpenKeyTracedBy(ReadAccess, ValueOpenTrace<22, 23>(Missing::Answer, name), [&] {
        std::uint32_t type = 0;
        ReadStep failedStep = ReadStep::Size;
        return TraceFailure<24>(ReadValue(handle_, name, type, data, failedStep, shape), Missing::Answer, handle_,
                                path_, name);
    });
    if (code != ERROR_SUCCESS) {
        return code;
    }
    return data.size() < minimumSize ? ERROR_NO_DATA : ERROR_SUCCESS;
}

Result<std::vector<std::uint8_t>> RegistryKey::GetOwner()
{
    using Sid = std::vector<std::uint8_t>;
    return OnOpenKeyTracedBy(
        ReadAccess, [](std::uint32_t) {},
        [this] {
            PSID owner = nullptr;
            Scoped<PSECURITY_DESCRIPTOR> descriptor([](PSECURITY_DESCRIPTOR& value) { LocalFree(value); });
            const auto code =
                ToCode(static_cast<LSTATUS>(GetSecurityInfo(handle_, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION,
                                                            &owner, nullptr, nullptr, nullptr, &descriptor.Get())));
            if (code != ERROR_SUCCESS) {
                return Result<Sid>(code);
            }
            if (owner == nullptr || !IsValidSid(owner)) {
                return Result<Sid>(ERROR_INVALID_SID);
            }
            const auto* bytes = static_cast<const std::uint8_t*>(owner);
            return Result<Sid>(Sid(bytes, bytes + GetLengthSid(owner)));
        });
}

Result<std::wstring> RegistryKey::GetString(const std::wstring& name, const std::wstring& defaultValue)
{
    std::vector<std::uint8_t> data;
    if (const auto code = ReadTyped(name, {REG_SZ, REG_EXPAND_SZ}, sizeof(wchar_t), MaximumStringValueSize, data);
        code != ERROR_SUCCESS) {
        return Result<std::wstring>(defaultValue, code);
    }
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
    text.resize(std::wcslen(text.c_str()));
    return Result<std::wstring>(std::move(text));
}

Result<std::uint32_t> RegistryKey::GetDword(const std::wstring& name, std::uint32_t defaultValue)
{
    std::vector<std::uint8_t> data;
    if (const auto code =
            ReadTyped(name, {REG_DWORD, REG_DWORD_BIG_ENDIAN}, sizeof(std::uint32_t), sizeof(std::uint32_t), data);
        code != ERROR_SUCCESS) {
        return Result<std::uint32_t>(defaultValue, code);
    }
    // Also for REG_DWORD_BIG_ENDIAN: the writer stores the same little-endian bytes under either type.
    return Result<std::uint32_t>(FromLittleEndian<std::uint32_t>(data));
}

Result<std::uint64_t> RegistryKey::GetQword(const std::wstring& name, std::uint64_t defaultValue)
{
    std::vector<std::uint8_t> data;
    if (const auto code = ReadTyped(name, {REG_QWORD}, sizeof(std::uint64_t), sizeof(std::uint64_t), data);
        code != ERROR_SUCCESS) {
        return Result<std::uint64_t>(defaultValue, code);
    }
    return Result<std::uint64_t>(FromLittleEndian<std::uint64_t>(data));
}

Result<std::vector<std::wstring>> RegistryKey::GetMultiString(const std::wstring& name,
                                                              const std::vector<std::wstring>& defaultValue)
{
    using Strings = std::vector<std::wstring>;
    std::vector<std::uint8_t> data;
    if (const auto code = ReadTyped(name, {REG_MULTI_SZ}, 0, AnySize, data); code != ERROR_SUCCESS) {
        return Result<Strings>(defaultValue, code);
    }
    if (data.size() < sizeof(wchar_t) || data.size() % sizeof(wchar_t) != 0 || data[data.size() - 1] != 0 ||
        data[data.size() - 2] != 0) {
        return Result<Strings>(defaultValue, ERROR_INVALID_DATA);
    }
    std::wstring characters(data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(characters.data(), data.data(), data.size());
    Strings strings;
    std::size_t start = 0;
    while (start < characters.size()) {
        const auto end = characters.find(L'\0', start);
        if (end == start || end == std::wstring::npos) {
            break;  // two NULs together end the list
        }
        strings.push_back(characters.substr(start, end - start));
        start = end + 1;
    }
    return Result<Strings>(std::move(strings));
}

std::uint32_t RegistryKey::SetMultiString(const std::wstring& name, const std::vector<std::wstring>& value)
{
    std::vector<std::uint8_t> bytes;
    for (const auto& text : value) {
        const auto encoded = StringBytes(text);
        bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    }
    bytes.insert(bytes.end(), sizeof(wchar_t), 0);
    return SetValue(name, REG_MULTI_SZ, bytes);
}

Result<std::vector<std::uint8_t>> RegistryKey::GetBinary(const std::wstring& name,
                                                         const std::vector<std::uint8_t>& defaultValue)
{
    using Bytes = std::vector<std::uint8_t>;
    Bytes data;
    if (const auto code = ReadTyped(name, {REG_BINARY}, 0, AnySize, data); code != ERROR_SUCCESS) {
        return Result<Bytes>(defaultValue, code);
    }
    return Result<Bytes>(std::move(data));
}

std::uint32_t RegistryKey::SetString(const std::wstring& name, const std::wstring& value)
{
    return SetValue(name, REG_SZ, StringBytes(value));
}

std::uint32_t RegistryKey::SetExpandString(const std::wstring& name, const std::wstring& value)
{
    return SetValue(name, REG_EXPAND_SZ, StringBytes(value));
}

std::uint32_t RegistryKey::SetDword(const std::wstring& name, std::uint32_t value, bool bigEndian)
{
    // The type says big-endian, the bytes stay little-endian: readers rely on the same bytes.
    return SetValue(name, bigEndian ? REG_DWORD_BIG_ENDIAN : REG_DWORD, LittleEndianBytes(value));
}

std::uint32_t RegistryKey::SetQword(const std::wstring& name, std::uint64_t value)
{
    return SetValue(name, REG_QWORD, LittleEndianBytes(value));
}

std::uint32_t RegistryKey::SetBinary(const std::wstring& name, const std::vector<std::uint8_t>& value)
{
    return SetValue(name, REG_BINARY, value);
}

std::uint32_t RegistryKey::CopyTo(Root destinationRoot, const std::wstring& destinationPath, bool createMissing,
                                  bool recursive, const std::vector<std::wstring>& excludedNames)
{
    RegistryKey destination(destinationRoot, destinationPath);
    if (!destination.Exists()) {
        if (!createMissing) {
            return ERROR_NOT_FOUND;
        }
        if (const auto code = destination.Create(); code != ERROR_SUCCESS) {
            return code;
        }
    }
    const auto values = GetValues();
    if (!values.Succeeded()) {
        return values.ErrorCode();
    }
    for (const auto& value : values.Value()) {
        if (IsExcluded(value.name, excludedNames)) {
            continue;
        }
        if (const auto code = destination.SetValue(value.name, value.type, value.data); code != ERROR_SUCCESS) {
            return code;
        }
    }
    if (!recursive) {
        return ERROR_SUCCESS;
    }
    const auto names = GetSubKeyNames();
    if (!names.Succeeded()) {
        return names.ErrorCode();
    }
    for (const auto& name : names.Value()) {
        if (IsExcluded(name, excludedNames)) {
            continue;
        }
        RegistryKey child(root_, ChildPath(path_, name, true));
        const auto code =
            child.CopyTo(destinationRoot, ChildPath(destinationPath, name, true), createMissing, true, excludedNames);
        if (code != ERROR_SUCCESS) {
            return code;
        }
    }
    return ERROR_SUCCESS;
}

const std::wstring& RegistryKey::GetPath() const
{
    return path_;
}

std::uint32_t RegistryKey::Flush()
{
    std::lock_guard guard(mutex_);
    if (const auto code = Open(ReadWriteAccess); code != ERROR_SUCCESS) {
        TraceRegistryEvent<34>(handle_, path_, code);
        return code;
    }
    const auto code = ToCode(RegFlushKey(handle_));
    if (code != ERROR_SUCCESS) {
        TraceRegistryEvent<35>(handle_, path_, code);
    }
    return code;
}

}  // namespace Tessaro::Vantrel::Common::Utilities
