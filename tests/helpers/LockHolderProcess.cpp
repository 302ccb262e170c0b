// lockholder.exe PATH
// Opens (creating) PATH and holds the exclusive lock on its first byte, the turn that agents take
// around each log line, until it is ended: a stand-in for a suspended agent or for anybody who
// locks the file in a shared folder.

#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fputs("usage: lockholder PATH\n", stderr);
        return 2;
    }
    const HANDLE file =
        CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED region{};
    if (file == INVALID_HANDLE_VALUE || !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &region)) {
        return 1;
    }
    Sleep(INFINITE);
    return 0;
}
