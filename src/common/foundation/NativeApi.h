#pragma once

// Native system calls that the MinGW headers do not declare. Signatures follow the platform's
// public documentation of these functions.

#include <windows.h>
#include <winternl.h>

extern "C" {

NTSTATUS NTAPI NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS NTAPI NtCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSTATUS NTAPI NtDeleteKey(HANDLE KeyHandle);
NTSTATUS NTAPI NtQueryKey(HANDLE KeyHandle, int KeyInformationClass, PVOID KeyInformation, ULONG Length,
                          PULONG ResultLength);
}

namespace Tessaro::Native {

constexpr int KeyNameInformation = 3;
constexpr NTSTATUS StatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
constexpr ULONG ObjectCaseInsensitive = 0x40;
// OBJ_OPENLINK: a registry link named by the last component is opened (or created) as itself.
constexpr ULONG ObjectOpenLink = 0x100;

}  // namespace Tessaro::Native
