#include "fileops/fileops.h"

#include <QDir>

#include <qt_windows.h>

#include <string>

namespace FileOps {

namespace {

bool fail(SystemError *error, DWORD code = GetLastError())
{
    if (error) {
        error->text = qt_error_string(int(code));
        error->notFound = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        error->inUse = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
    }
    return false;
}

std::wstring wide(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// A handle on what path names, links followed, that reads nothing and lets
// every other program go on with the file or folder.
HANDLE openToIdentify(const std::wstring &path)
{
    return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool identityOf(HANDLE handle, QByteArray *id, bool *isFolder, SystemError *error)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return fail(error);
    *isFolder = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    // ReFS needs the 128-bit file id; file systems that have none answer
    // that they do not support the question, and the 64-bit index is all
    // there is. Either way one object always gives the same identity.
    FILE_ID_INFO full;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &full, sizeof full)) {
        *id = QByteArray(reinterpret_cast<const char *>(&full), sizeof full);
        return true;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_INVALID_PARAMETER && code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION)
        return fail(error, code);
    *id = QByteArray(reinterpret_cast<const char *>(&info.dwVolumeSerialNumber), sizeof info.dwVolumeSerialNumber)
          + QByteArray(reinterpret_cast<const char *>(&info.nFileIndexHigh), sizeof info.nFileIndexHigh)
          + QByteArray(reinterpret_cast<const char *>(&info.nFileIndexLow), sizeof info.nFileIndexLow);
    return true;
}

bool identifyPath(const std::wstring &path, QByteArray *id, bool *isFolder, SystemError *error)
{
    const HANDLE handle = openToIdentify(path);
    if (handle == INVALID_HANDLE_VALUE)
        return fail(error);
    const bool known = identityOf(handle, id, isFolder, error);
    CloseHandle(handle);
    return known;
}

// The path the system itself gives an open file or folder: every link,
// junction, drive alias and short name resolved, as \\?\C:\..., \\?\UNC\...
// or \\?\Volume{...}\... when the volume has no drive letter.
bool finalPath(HANDLE handle, std::wstring *path, SystemError *error)
{
    for (const DWORD volume : {DWORD(VOLUME_NAME_DOS), DWORD(VOLUME_NAME_GUID)}) {
        std::wstring buffer(MAX_PATH, L'\0');
        DWORD size = GetFinalPathNameByHandleW(handle, buffer.data(), DWORD(buffer.size()), volume);
        if (size >= buffer.size()) {
            buffer.resize(size);
            size = GetFinalPathNameByHandleW(handle, buffer.data(), DWORD(buffer.size()), volume);
        }
        if (size > 0 && size < buffer.size()) {
            buffer.resize(size);
            *path = buffer;
            return true;
        }
    }
    return fail(error);
}

// How much of a final path is the volume's root, separator included.
std::size_t rootLength(const std::wstring &path)
{
    const std::size_t start = 4; // after \\?\ .
    int separators = path.compare(start, 4, L"UNC\\") == 0 ? 3 : 1;
    std::size_t at = start - 1;
    while (separators-- > 0) {
        at = path.find(L'\\', at + 1);
        if (at == std::wstring::npos)
            return path.size();
    }
    return at + 1;
}

} // namespace

QString cleanPath(const QString &path)
{
    // Explorer's "Copy as path" puts the path in double quotes, which no
    // Windows name may hold.
    const bool quoted = path.size() >= 2 && path.startsWith(QLatin1Char('"')) && path.endsWith(QLatin1Char('"'));
    return QDir::cleanPath(quoted ? path.mid(1, path.size() - 2) : path);
}

bool removeFile(const QString &path, SystemError *error)
{
    const std::wstring name = wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    // A link to a folder (directory symbolic link or junction) is a folder
    // entry that only RemoveDirectory takes; it never follows it.
    const bool folderLink = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                            && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    auto attempt = [&] { return folderLink ? RemoveDirectoryW(name.c_str()) : DeleteFileW(name.c_str()); };
    if (attempt())
        return true;
    DWORD code = GetLastError();
    // Windows refuses to delete read-only files, and the copies keep the
    // source's read-only flag, so every later repair would stop here.
    const DWORD writable = attributes & ~DWORD(FILE_ATTRIBUTE_READONLY);
    if (code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)
        && SetFileAttributesW(name.c_str(), writable ? writable : FILE_ATTRIBUTE_NORMAL)) {
        if (attempt())
            return true;
        code = GetLastError();
        SetFileAttributesW(name.c_str(), attributes);
    }
    return fail(error, code);
}

bool removeFolder(const QString &path, SystemError *error)
{
    return RemoveDirectoryW(wide(path).c_str()) || fail(error);
}

bool makeFolder(const QString &path, SystemError *error)
{
    return CreateDirectoryW(wide(path).c_str(), nullptr) || fail(error);
}

bool listNames(const QString &folder, QStringList *names, SystemError *error)
{
    std::wstring pattern = wide(folder);
    if (pattern.empty() || pattern.back() != L'\\')
        pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE)
        return fail(error);
    names->clear();
    do {
        const QString name = QString::fromWCharArray(found.cFileName);
        if (name != QLatin1String(".") && name != QLatin1String(".."))
            names->append(name);
    } while (FindNextFileW(search, &found));
    const DWORD code = GetLastError();
    FindClose(search);
    return code == ERROR_NO_MORE_FILES || fail(error, code);
}

bool copyFile(const QString &from, const QString &to, SystemError *error)
{
    const std::wstring target = wide(to);
    if (!CopyFileW(wide(from).c_str(), target.c_str(), TRUE))
        return fail(error);
    // Each copy goes to disk as soon as it is made, while its data is still
    // at hand. FlushFileBuffers needs write access, which a read-only copy
    // denies until the flag is off for the moment.
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    if (readOnly)
        SetFileAttributesW(target.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    const HANDLE handle = CreateFileW(target.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      0, nullptr);
    const bool flushed = handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
    const DWORD code = GetLastError();
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    if (readOnly)
        SetFileAttributesW(target.c_str(), attributes);
    return flushed || fail(error, code);
}

bool identify(const QString &path, QByteArray *id, bool *isFolder, SystemError *error)
{
    return identifyPath(wide(path), id, isFolder, error);
}

bool ancestry(const QString &folder, QList<QByteArray> *chain, SystemError *error)
{
    const HANDLE handle = openToIdentify(wide(folder));
    if (handle == INVALID_HANDLE_VALUE)
        return fail(error);
    QByteArray id;
    bool isFolder = false;
    std::wstring path;
    const bool known = identityOf(handle, &id, &isFolder, error) && finalPath(handle, &path, error);
    CloseHandle(handle);
    if (!known)
        return false;
    chain->append(id);
    // With nothing left to resolve, the folders that hold this one are the
    // parents of its final path, up to the root of the volume.
    const std::size_t root = rootLength(path);
    while (path.size() > root) {
        const std::size_t cut = path.rfind(L'\\', path.size() - 2);
        path.resize(cut + 1 <= root ? root : cut);
        if (!identifyPath(path, &id, &isFolder, error))
            return false;
        chain->append(id);
    }
    return true;
}

bool syncToDisk(const QString &folder, QString *error)
{
    // Each copy went to disk as it was made (copyFile), and with each such
    // flush NTFS writes its journal, which holds the folder's entries.
    Q_UNUSED(folder);
    Q_UNUSED(error);
    return true;
}

} // namespace FileOps
