#include "SimulatorState.h"

#include "common/RegistryKey.h"
#include "common/WinHandle.h"

#include <objbase.h>
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <memory>

namespace Tessaro::Simulator {

namespace {

using Vantrel::Common::Utilities::RegistryKey;

const std::wstring ProductsKey = std::wstring(SimulatorState::RootKey) + L"\\Products";
const std::wstring JournalKey = std::wstring(SimulatorState::RootKey) + L"\\Journal";
const std::wstring FaultsKey = std::wstring(SimulatorState::RootKey) + L"\\Faults";
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

RegistryKey Key(const std::wstring& path)
{
    return RegistryKey(HKEY_LOCAL_MACHINE, path);
}

std::uint64_t NextSequence()
{
    auto root = Key(SimulatorState::RootKey);
    const std::uint64_t next = root.GetQword(L"NextSequence", 1).Value();
    root.SetQword(L"NextSequence", next + 1);
    return next;
}

Product ReadProduct(RegistryKey& key, const std::wstring& guid)
{
    Product product;
    product.instanceGuid = guid;
    product.displayName = key.GetString(L"DisplayName", L"").Value();
    product.path = key.GetString(L"Path", L"").Value();
    product.owner = key.GetString(L"Owner", L"").Value();
    product.state = key.GetDword(L"State", 1).Value();
    product.upToDate = key.GetDword(L"UpToDate", 1).Value() != 0;
    product.currentThreats = key.GetDword(L"CurrentThreats", 0).Value();
    product.protectionSettings = key.GetDword(L"ProtectionSettings", 0).Value();
    product.protectionUpdates = key.GetDword(L"ProtectionUpdates", 0).Value();
    product.timestamp = key.GetString(L"Timestamp", L"").Value();
    product.lastNotification = key.GetString(L"LastNotification", L"").Value();
    product.builtIn = key.GetDword(L"BuiltIn", 0).Value() != 0;
    return product;
}

void WriteProduct(const Product& product)
{
    auto key = Key(ProductsKey + L"\\" + product.instanceGuid);
    if (!key.Exists()) {
        key.CreateRecursively();
        key.SetQword(L"Order", NextSequence());
    }
    key.SetString(L"DisplayName", product.displayName);
    key.SetString(L"Path", product.path);
    key.SetString(L"Owner", product.owner);
    key.SetDword(L"State", product.state);
    key.SetDword(L"UpToDate", product.upToDate ? 1 : 0);
    key.SetDword(L"CurrentThreats", product.currentThreats);
    key.SetDword(L"ProtectionSettings", product.protectionSettings);
    key.SetDword(L"ProtectionUpdates", product.protectionUpdates);
    key.SetString(L"Timestamp", product.timestamp);
    key.SetString(L"LastNotification", product.lastNotification);
    key.SetDword(L"BuiltIn", product.builtIn ? 1 : 0);
}

std::wstring FormatSequence(std::uint64_t sequence)
{
    std::wstring text = std::to_wstring(sequence);
    return std::wstring(text.size() < 10 ? 10 - text.size() : 0, L'0') + text;
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator)
{
    std::vector<std::wstring> parts;
    std::size_t start = 0;
    for (auto end = text.find(separator); end != std::wstring::npos; end = text.find(separator, start)) {
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
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
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return NormalizeOwner(path);
}

std::wstring CurrentTimeText()
{
    SYSTEMTIME now{};
    GetSystemTime(&now);
    static const wchar_t* const days[] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
    static const wchar_t* const months[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                            L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    wchar_t text[64] = {};
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
    Key(RootKey).DeleteTree();
    Key(RootKey).CreateRecursively();
    Key(ProductsKey).CreateRecursively();
    Key(JournalKey).CreateRecursively();
    Key(FaultsKey).CreateRecursively();
    Product defender;
    defender.instanceGuid = DefenderGuid;
    defender.displayName = L"Windows Defender";
    defender.path = L"windowsdefender://";
    defender.state = 0;
    defender.timestamp = CurrentTimeText();
    defender.builtIn = true;
    WriteProduct(defender);
    Key(RootKey).SetString(L"ServiceMode", L"running");
}

std::vector<Product> SimulatorState::Products()
{
    const StateLock lock;
    auto products = Key(ProductsKey);
    std::vector<std::pair<std::uint64_t, Product>> ordered;
    for (const auto& guid : products.GetSubKeyNames().Value()) {
        auto key = Key(ProductsKey + L"\\" + guid);
        ordered.emplace_back(key.GetQword(L"Order", 0).Value(), ReadProduct(key, guid));
    }
    std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Product> result;
    for (auto& entry : ordered) {
        result.push_back(std::move(entry.second));
    }
    const bool thirdPartyOn = std::any_of(
        result.begin(), result.end(), [](const Product& product) { return !product.builtIn && product.state == 0; });
    for (auto& product : result) {
        if (product.builtIn) {
            product.state = thirdPartyOn ? 1 : 0;
        }
    }
    return result;
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
    const StateLock lock;
    WriteProduct(product);
}

void SimulatorState::Remove(const std::wstring& instanceGuid)
{
    const StateLock lock;
    Key(ProductsKey + L"\\" + instanceGuid).DeleteTree();
}

void SimulatorState::Record(const std::wstring& call, const std::wstring& arguments, std::uint32_t answer)
{
    const StateLock lock;
    std::wstring caller = CallerIdentity();
    caller = caller.substr(caller.find_last_of(L'\\') + 1);
    const std::wstring entry =
        CurrentTimeText() + L"\t" + caller + L"\t" + call + L"\t" + arguments + L"\t" + std::to_wstring(answer);
    Key(JournalKey).SetString(FormatSequence(NextSequence()), entry);
}

std::vector<JournalEntry> SimulatorState::Journal()
{
    const StateLock lock;
    auto values = Key(JournalKey).GetValues();
    std::vector<std::pair<std::wstring, JournalEntry>> ordered;
    for (const auto& value : values.Value()) {
        std::wstring text(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / sizeof(wchar_t));
        text.resize(wcsnlen(text.c_str(), text.size()));
        const auto parts = Split(text, L'\t');
        if (parts.size() != 5) {
            continue;
        }
        ordered.emplace_back(value.name,
                             JournalEntry{parts[0], parts[1], parts[2], parts[3],
                                          static_cast<std::uint32_t>(std::wcstoul(parts[4].c_str(), nullptr, 10))});
    }
    std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<JournalEntry> entries;
    for (auto& entry : ordered) {
        entries.push_back(std::move(entry.second));
    }
    return entries;
}

void SimulatorState::ScriptFault(const std::wstring& call, std::uint32_t count, std::uint32_t hresult)
{
    const StateLock lock;
    auto key = Key(FaultsKey + L"\\" + call);
    key.CreateRecursively();
    key.SetDword(L"Count", count);
    key.SetDword(L"HResult", hresult);
}

std::optional<std::uint32_t> SimulatorState::TakeFault(const std::wstring& call)
{
    const StateLock lock;
    auto key = Key(FaultsKey + L"\\" + call);
    const auto count = key.GetDword(L"Count", 0).Value();
    if (count == 0) {
        return std::nullopt;
    }
    key.SetDword(L"Count", count - 1);
    return key.GetDword(L"HResult", 0).Value();
}

ServiceMode SimulatorState::GetServiceMode()
{
    const std::wstring mode = GetValue(L"ServiceMode");
    if (mode == L"start-pending") {
        return ServiceMode::StartPending;
    }
    return mode == L"paused" ? ServiceMode::Paused : ServiceMode::Running;
}

void SimulatorState::SetServiceMode(ServiceMode mode)
{
    SetValue(L"ServiceMode", mode == ServiceMode::StartPending ? L"start-pending"
                             : mode == ServiceMode::Paused     ? L"paused"
                                                               : L"running");
}

void SimulatorState::SetValue(const std::wstring& name, const std::wstring& value)
{
    const StateLock lock;
    auto root = Key(RootKey);
    root.CreateRecursively();
    root.SetString(name, value);
}

std::wstring SimulatorState::GetValue(const std::wstring& name)
{
    const StateLock lock;
    return Key(RootKey).GetString(name, L"").Value();
}

}  // namespace Tessaro::Simulator
