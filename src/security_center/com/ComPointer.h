#pragma once

#include "common/OnDemandApi.h"

#include "diagnostics/HResultException.h"

#include <windows.h>
// oleauto.h needs the declarations of windows.h first.
#include <oleauto.h>

#include <string>
#include <utility>

namespace Tessaro::Ravelin {

// Owns one interface pointer and releases it when it ends.
template <typename Interface>
class ComPointer {
public:
    ComPointer() = default;
    explicit ComPointer(Interface* pointer) : pointer_(pointer) {}
    ComPointer(ComPointer&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComPointer& operator=(ComPointer&& other) noexcept
    {
        if (this != &other) {
            Reset();
            pointer_ = std::exchange(other.pointer_, nullptr);
        }
        return *this;
    }
    ComPointer(const ComPointer&) = delete;
    ComPointer& operator=(const ComPointer&) = delete;
    ~ComPointer() { Reset(); }

    Interface* Get() const { return pointer_; }
    Interface* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }
    // The address to fill in, after releasing what is held.
    Interface** Out()
    {
        Reset();
        return &pointer_;
    }
    void** OutVoid() { return reinterpret_cast<void**>(Out()); }
    void Reset()
    {
        if (pointer_ != nullptr) {
            std::exchange(pointer_, nullptr)->Release();
        }
    }

private:
    Interface* pointer_ = nullptr;
};

// Owns one BSTR. An allocation that fails raises the out-of-memory HRESULT.
class Bstr {
public:
    explicit Bstr(const std::wstring& text)
        : text_(OnDemand::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())))
    {
        if (text_ == nullptr) {
            throw Vantrel::Common::Exceptions::HResultException(0x8007000E, "Out of memory allocating a BSTR");
        }
    }
    ~Bstr() { OnDemand::SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    BSTR Get() const { return text_; }

private:
    BSTR text_;
};

// Owns one VARIANT: initialised empty, cleared when the owner ends.
class Variant {
public:
    Variant() { OnDemand::VariantInit(&value_); }
    ~Variant() { OnDemand::VariantClear(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    // For reading, and as the out-parameter of a call that fills it in.
    VARIANT* Get() { return &value_; }
    const VARIANT& operator*() const { return value_; }
    const VARIANT* operator->() const { return &value_; }

private:
    VARIANT value_;
};

}  // namespace Tessaro::Ravelin
