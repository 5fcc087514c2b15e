// Holds every file of a folder open the way a running launcher holds its
// files: shared for reading and writing, never for deletion; given
// "share-delete", the way scanners and indexers do, deletion shared too; or
// given "lock-range", with its first bytes locked against every other
// program, as programs that update a file in place lock what they write.
// Says "ready" once they are all open and keeps them until its input closes.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t *argv[])
{
    const std::wstring mode = argc == 3 ? argv[2] : L"";
    if (argc != 2 && mode != L"share-delete" && mode != L"lock-range")
        return 2;
    const std::wstring folder = argv[1];
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (mode == L"share-delete" ? FILE_SHARE_DELETE : 0);
    std::vector<HANDLE> handles;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return 1;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        const HANDLE file = CreateFileW((folder + L"\\" + found.cFileName).c_str(), GENERIC_READ,
                                        share, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return 1;
        OVERLAPPED at{};
        const DWORD exclusive = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
        if (mode == L"lock-range" && !LockFileEx(file, exclusive, 0, 16, 0, &at))
            return 1;
        handles.push_back(file);
    } while (FindNextFileW(search, &found));
    FindClose(search);

    std::printf("ready\n");
    std::fflush(stdout);
    char buffer[64];
    while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
    }
    for (HANDLE file : handles)
        CloseHandle(file);
    return 0;
}
