// Read by clang-tidy only (make lint): tells the static analyser that these calls hand out a handle
// the caller must close, and which calls close one, so that a handle left open on some path (an
// early return, an exception) is reported as a leak. The analyser models them as allocations
// ("malloc" is the family its ownership attributes know); a handle passed to an owner whose body
// it cannot see counts as handed over. Only calls that answer a failure with a null handle are
// listed: CreateFileW answers INVALID_HANDLE_VALUE, which the model would take for an open handle.
#pragma once
#include <windows.h>

#define RAVELIN_OPENS __attribute__((ownership_returns(malloc)))
#define RAVELIN_CLOSES(argument) __attribute__((ownership_takes(malloc, argument)))

RAVELIN_OPENS HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR);
RAVELIN_OPENS HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR);
RAVELIN_OPENS HANDLE WINAPI OpenProcess(DWORD, BOOL, DWORD);
RAVELIN_OPENS HANDLE WINAPI OpenThread(DWORD, BOOL, DWORD);
RAVELIN_OPENS HANDLE WINAPI CreateFileMappingW(HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD, LPCWSTR);
RAVELIN_OPENS HMODULE WINAPI LoadLibraryExW(LPCWSTR, HANDLE, DWORD);
RAVELIN_OPENS HMODULE WINAPI LoadLibraryW(LPCWSTR);
RAVELIN_CLOSES(1) BOOL WINAPI CloseHandle(HANDLE);
RAVELIN_CLOSES(1) BOOL WINAPI FreeLibrary(HMODULE);
// The service control manager's handles: null on failure, closed with CloseServiceHandle.
RAVELIN_OPENS SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD);
RAVELIN_OPENS SC_HANDLE WINAPI OpenServiceW(SC_HANDLE, LPCWSTR, DWORD);
RAVELIN_OPENS SC_HANDLE WINAPI CreateServiceW(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR,
                                              LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR);
RAVELIN_CLOSES(1) BOOL WINAPI CloseServiceHandle(SC_HANDLE);
