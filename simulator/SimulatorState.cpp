#include "SimulatorState.h"

#include "common/foundation/WinHandle.h"
#include "common/foundation/FileSystem.h"

#include <objbase.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <stdexcept>

namespace Tessaro::Simulator {

namespace {

constexpr const wchar_t* DefenderGuid = L"{D68DDC3A-831F-4FAE-9E44-DA132C1ACF46}";

// One process at a time changes the state: a mutex every process of the prefix can name.
class StateLock {
public:
    StateLock() : mutex_(WinHandle::Create(CreateMutexW(nullptr, FALSE, L"Global\\RavelinSimulatorState")))
    {
        if (mutex_->IsValid()) {
            // An owner that died while holding it (WAIT_ABANDONED) hands it over as well.
            WaitForSingleObject(mutex_->Get(), INFINITE);
        }
    }
    ~StateLock()
    {
        if (mutex_->IsValid()) {
            ReleaseMutex(mutex_->Get());
        }
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    std::shared_ptr<WinHandle> mutex_;
};

// Everything but the journal: small, read and rewritten whole by each call.
struct Document {
    std::uint64_t nextOrder = 1;
    std::vector<Product> products;                                           // in the order they registered
    std::map<std::wstring, std::pair<std::uint32_t, std::uint32_t>> faults;  // call -> (count, HRESULT)
    std::map<std::wstring, std::wstring> values;
};

class Writer {
public:
    void Number(std::uint64_t value) { Append(&value, sizeof(value)); }
    void Text(const std::wstring& text)
    {
        Number(text.size());
        Append(text.data(), text.size() * sizeof(wchar_t));
    }
    const std::vector<char>& Bytes() const { return bytes_; }

private:
    void Append(const void* data, std::size_t size)
    {
        const auto* first = static_cast<const char*>(data);
        bytes_.insert(bytes_.end(), first, first + size);
    }
    std::vector<char> bytes_;
};

// Reads what a Writer wrote; a record cut short reads as empty instead of past its end.
class Reader {
public:
    Reader(const char* data, std::size_t size) : data_(data), size_(size) {}
    bool AtEnd() const { return position_ >= size_; }
    std::uint64_t Number()
    {
        std::uint64_t value = 0;
        Take(&value, sizeof(value));
        return value;
    }
    std::wstring Text()
    {
        const std::uint64_t length = Number();
        if (length > (size_ - position_) / sizeof(wchar_t)) {
            position_ = size_;
            return {};
        }
        std::wstring text(static_cast<std::size_t>(length), L'\0');
        Take(text.data(), text.size() * sizeof(wchar_t));
        return text;
    }

private:
    void Take(void* target, std::size_t size)
    {
        if (size > size_ - position_) {
            position_ = size_;
            return;
        }
        std::memcpy(target, data_ + position_, size);
        position_ += size;
    }
    const char* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// The state lives in one file of the prefix that every process maps: the agent (through the
// status object and the WMI view), the service host, the control tool and the tests all see the
// same memory, and it outlasts them all without a registry round trip per value. The file holds a
// header, the document (rewritten whole by each change) and the journal (appended to).
class StateFile {
public:
    static StateFile& Instance()
    {
        static StateFile file;
        return file;
    }

    Document Load() const
    {
        Document document;
        Reader reader(view_ + DocumentOffset, std::min<std::uint64_t>(Header().documentBytes, DocumentCapacity));
        if (reader.AtEnd()) {
            return document;
        }
        document.nextOrder = reader.Number();
        for (std::uint64_t count = reader.Number(); count > 0 && !reader.AtEnd(); --count) {
            Product product;
            product.instanceGuid = reader.Text();
            product.displayName = reader.Text();
            product.path = reader.Text();
            product.productPath = reader.Text();
            product.owner = reader.Text();
            product.state = static_cast<std::uint32_t>(reader.Number());
            product.upToDate = reader.Number() != 0;
            product.currentThreats = static_cast<std::uint32_t>(reader.Number());
            product.protectionSettings = static_cast<std::uint32_t>(reader.Number());
            product.protectionUpdates = static_cast<std::uint32_t>(reader.Number());
            product.timestamp = reader.Text();
            product.lastNotification = reader.Text();
            product.builtIn = reader.Number() != 0;
            document.products.push_back(std::move(product));
        }
        for (std::uint64_t count = reader.Number(); count > 0 && !reader.AtEnd(); --count) {
            std::wstring call = reader.Text();
            const auto remaining = static_cast<std::uint32_t>(reader.Number());
            const auto hresult = static_cast<std::uint32_t>(reader.Number());
            document.faults[std::move(call)] = {remaining, hresult};
        }
        for (std::uint64_t count = reader.Number(); count > 0 && !reader.AtEnd(); --count) {
            std::wstring name = reader.Text();
            document.values[std::move(name)] = reader.Text();
        }
        return document;
    }

    void Store(const Document& document)
    {
        Writer writer;
        writer.Number(document.nextOrder);
        writer.Number(document.products.size());
        for (const auto& product : document.products) {
            writer.Text(product.instanceGuid);
            writer.Text(product.displayName);
            writer.Text(product.path);
            writer.Text(product.productPath);
            writer.Text(product.owner);
            writer.Number(product.state);
            writer.Number(product.upToDate ? 1 : 0);
            writer.Number(product.currentThreats);
            writer.Number(product.protectionSettings);
            writer.Number(product.protectionUpdates);
            writer.Text(product.timestamp);
            writer.Text(product.lastNotification);
            writer.Number(product.builtIn ? 1 : 0);
        }
        writer.Number(document.faults.size());
        for (const auto& [call, fault] : document.faults) {
            writer.Text(call);
            writer.Number(fault.first);
            writer.Number(fault.second);
        }
        writer.Number(document.values.size());
        for (const auto& [name, value] : document.values) {
            writer.Text(name);
            writer.Text(value);
        }
        if (writer.Bytes().size() > DocumentCapacity) {
            throw std::length_error("the simulator's state outgrew its file");
        }
        std::memcpy(view_ + DocumentOffset, writer.Bytes().data(), writer.Bytes().size());
        MutableHeader().documentBytes = writer.Bytes().size();
    }

    void Append(const JournalEntry& entry)
    {
        Writer writer;
        writer.Text(entry.time);
        writer.Text(entry.caller);
        writer.Text(entry.call);
        writer.Text(entry.arguments);
        writer.Number(entry.answer);
        const std::uint64_t used = Header().journalBytes;
        if (used + writer.Bytes().size() > JournalCapacity) {
            return;  // a full journal keeps its oldest entries
        }
        std::memcpy(view_ + JournalOffset + used, writer.Bytes().data(), writer.Bytes().size());
        MutableHeader().journalBytes = used + writer.Bytes().size();
    }

    std::vector<JournalEntry> Journal() const
    {
        std::vector<JournalEntry> entries;
        Reader reader(view_ + JournalOffset, std::min<std::uint64_t>(Header().journalBytes, JournalCapacity));
        while (!reader.AtEnd()) {
            JournalEntry entry;
            entry.time = reader.Text();
            entry.caller = reader.Text();
            entry.call = reader.Text();
            entry.arguments = reader.Text();
            entry.answer = static_cast<std::uint32_t>(reader.Number());
            entries.push_back(std::move(entry));
        }
        return entries;
    }

    void Clear() { MutableHeader() = FileHeader{}; }

    // Named by the Windows folder, which is the same for a service and for a user's process (the
    // environment is not: a service's ProgramData differs under Wine).
    static std::wstring Path()
    {
        wchar_t windows[MAX_PATH] = {};
        const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
        return std::wstring(windows, length > 0 && length < MAX_PATH ? length : 0) + L"\\Temp\\RavelinSimulator.state";
    }

private:
    struct FileHeader {
        std::uint64_t documentBytes = 0;
        std::uint64_t journalBytes = 0;
    };
    static constexpr std::uint64_t DocumentOffset = 4096;
    static constexpr std::uint64_t DocumentCapacity = 32ull << 20;
    static constexpr std::uint64_t JournalOffset = DocumentOffset + DocumentCapacity;
    static constexpr std::uint64_t JournalCapacity = 32ull << 20;
    static constexpr std::uint64_t FileSize = JournalOffset + JournalCapacity;

    StateFile()
    {
        file_ = WinHandle::Create(CreateFileW(Path().c_str(), GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_->IsValid()) {
            throw std::runtime_error("cannot open the simulator's state file");
        }
        mapping_ = WinHandle::Create(CreateFileMappingW(file_->Get(), nullptr, PAGE_READWRITE,
                                                        static_cast<DWORD>(FileSize >> 32),
                                                        static_cast<DWORD>(FileSize), nullptr));
        view_ = mapping_->Get() != nullptr
                    ? static_cast<char*>(MapViewOfFile(mapping_->Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0))
                    : nullptr;
        if (view_ == nullptr) {
            throw std::runtime_error("cannot map the simulator's state file");
        }
    }
    ~StateFile() { UnmapViewOfFile(view_); }

    const FileHeader& Header() const { return *reinterpret_cast<const FileHeader*>(view_); }
    FileHeader& MutableHeader() { return *reinterpret_cast<FileHeader*>(view_); }

    std::shared_ptr<WinHandle> file_;
    std::shared_ptr<WinHandle> mapping_;
    char* view_ = nullptr;
};

// Reads the document, lets the change work on it, and writes it back, all under the lock.
template <typename Change>
void ChangeDocument(Change change)
{
    const StateLock lock;
    auto& file = StateFile::Instance();
    Document document = file.Load();
    change(document);
    file.Store(document);
}

Document ReadDocument()
{
    const StateLock lock;
    return StateFile::Instance().Load();
}

}  // namespace

std::uint32_t EncodeProductState(std::uint32_t state, bool upToDate)
{
    std::uint32_t code = 0;
    switch (state) {
        case 0:
            code = 1;
            break;
        case 1:
            code = 0;
            break;
        default:
            code = state & 0xF;
            break;
    }
    return (code << 12) | (upToDate ? 0u : 0x10u);
}

std::wstring NormalizeOwner(const std::wstring& path)
{
    std::wstring owner = path.rfind(L"\\\\?\\", 0) == 0 ? path.substr(4) : path;
    std::transform(owner.begin(), owner.end(), owner.begin(), [](wchar_t c) { return std::towlower(c); });
    return owner;
}

std::wstring CallerIdentity()
{
    return NormalizeOwner(Tessaro::Vantrel::Common::Utilities::ModulePath());
}

std::wstring CurrentTimeText()
{
    SYSTEMTIME now{};
    GetSystemTime(&now);
    static const wchar_t* const days[] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
    static const wchar_t* const months[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                            L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    wchar_t text[64] = {};
    // NOLINTNEXTLINE(cert-err33-c): the date's 29 characters always fit the buffer of 64
    swprintf(text, 64, L"%ls, %02u %ls %04u %02u:%02u:%02u GMT", days[now.wDayOfWeek % 7], now.wDay,
             months[(now.wMonth + 11) % 12], now.wYear, now.wHour, now.wMinute, now.wSecond);
    return text;
}

void SimulatorState::Transaction(const std::function<void()>& work)
{
    // The mutex counts recursive acquisitions by its owner thread, so the work may lock again.
    const StateLock lock;
    work();
}

void SimulatorState::Reset()
{
    const StateLock lock;
    auto& file = StateFile::Instance();
    file.Clear();
    Document document;
    Product defender;
    defender.instanceGuid = DefenderGuid;
    defender.displayName = L"Windows Defender";
    defender.path = L"windowsdefender://";
    defender.state = 0;
    defender.timestamp = CurrentTimeText();
    defender.builtIn = true;
    document.products.push_back(defender);
    document.values[L"ServiceMode"] = L"running";
    file.Store(document);
}

std::vector<Product> SimulatorState::Products()
{
    std::vector<Product> products = ReadDocument().products;
    const bool thirdPartyOn = std::any_of(products.begin(), products.end(), [](const Product& product) {
        return !product.builtIn && product.state == 0;
    });
    for (auto& product : products) {
        if (product.builtIn) {
            product.state = thirdPartyOn ? 1 : 0;
        }
    }
    return products;
}

std::optional<Product> SimulatorState::FindByOwner(const std::wstring& owner)
{
    for (const auto& product : Products()) {
        if (!product.builtIn && product.owner == owner) {
            return product;
        }
    }
    return std::nullopt;
}

void SimulatorState::Save(const Product& product)
{
    ChangeDocument([&](Document& document) {
        const auto existing =
            std::find_if(document.products.begin(), document.products.end(),
                         [&](const Product& entry) { return entry.instanceGuid == product.instanceGuid; });
        if (existing != document.products.end()) {
            *existing = product;
        } else {
            document.products.push_back(product);
        }
    });
}

void SimulatorState::Remove(const std::wstring& instanceGuid)
{
    ChangeDocument([&](Document& document) {
        std::erase_if(document.products, [&](const Product& entry) { return entry.instanceGuid == instanceGuid; });
    });
}

void SimulatorState::Record(const std::wstring& call, const std::wstring& arguments, std::uint32_t answer)
{
    std::wstring caller = CallerIdentity();
    caller = caller.substr(caller.find_last_of(L'\\') + 1);
    const JournalEntry entry{CurrentTimeText(), caller, call, arguments, answer};
    const StateLock lock;
    StateFile::Instance().Append(entry);
}

std::vector<JournalEntry> SimulatorState::Journal()
{
    const StateLock lock;
    return StateFile::Instance().Journal();
}

void SimulatorState::ScriptFault(const std::wstring& call, std::uint32_t count, std::uint32_t hresult)
{
    ChangeDocument([&](Document& document) { document.faults[call] = {count, hresult}; });
}

std::optional<std::uint32_t> SimulatorState::TakeFault(const std::wstring& call)
{
    std::optional<std::uint32_t> answer;
    ChangeDocument([&](Document& document) {
        const auto fault = document.faults.find(call);
        if (fault != document.faults.end() && fault->second.first > 0) {
            --fault->second.first;
            answer = fault->second.second;
        }
    });
    return answer;
}

ServiceMode SimulatorState::GetServiceMode()
{
    const std::wstring mode = GetValue(L"ServiceMode");
    for (const auto& named : ServiceModeNames) {
        if (mode == named.name) {
            return named.mode;
        }
    }
    return ServiceMode::Running;
}

void SimulatorState::SetServiceMode(ServiceMode mode)
{
    for (const auto& named : ServiceModeNames) {
        if (named.mode == mode) {
            SetValue(L"ServiceMode", named.name);
        }
    }
}

void SimulatorState::SetValue(const std::wstring& name, const std::wstring& value)
{
    ChangeDocument([&](Document& document) { document.values[name] = value; });
}

std::wstring SimulatorState::GetValue(const std::wstring& name)
{
    const Document document = ReadDocument();
    const auto value = document.values.find(name);
    return value != document.values.end() ? value->second : std::wstring{};
}

std::wstring SimulatorState::StateFilePath()
{
    return StateFile::Path();
}

}  // namespace Tessaro::Simulator
