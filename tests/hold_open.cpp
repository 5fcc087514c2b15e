// Holds every file of a folder open the way a running launcher holds its
// files: shared for reading and writing, never for deletion; or, given
// "share-delete", the way scanners and indexers do, deletion shared too.
// Says "ready" once they are all open and keeps them until its input closes.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t *argv[])
{
    if (argc != 2 && !(argc == 3 && std::wstring(argv[2]) == L"share-delete"))
        return 2;
    const std::wstring folder = argv[1];
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (argc == 3 ? FILE_SHARE_DELETE : 0);
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
