// The file routines on Windows. Every path goes to Win32 in the extended
// \\?\ form, made absolute once, with names exactly as a listing gave them:
// Win32 then neither trims trailing dots and blanks nor opens devices for
// names such as "aux.dat", and no 260-character limit applies.
#include "fileops/fileops.h"

#include <QDir>

#include <qt_windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace FileOps {

namespace {

bool fail(SystemError *error, DWORD code = GetLastError())
{
    if (error) {
        error->text = qt_error_string(int(code));
        error->notFound = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        error->inUse = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
        error->full = code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL;
        error->badName = code == ERROR_INVALID_NAME;
    }
    // Callers go on to ask GetLastError, which looking up the text may change.
    SetLastError(code);
    return false;
}

bool changed(SystemError *error)
{
    if (error)
        *error = SystemError{QStringLiteral("it changed after it was checked, by another program: close the launcher, "
                                            "the game and any program that syncs these folders, then run "
                                            "Re-install data again"),
                             false, false};
    return false;
}

std::wstring wide(const QByteArray &native)
{
    return std::wstring(reinterpret_cast<const wchar_t *>(native.constData()), size_t(native.size()) / sizeof(wchar_t));
}

QByteArray bytes(const std::wstring &text)
{
    return QByteArray(reinterpret_cast<const char *>(text.data()), int(text.size() * sizeof(wchar_t)));
}

const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A handle that reads nothing and lets every other program go on with the
// file or folder; on the entry itself when links are not to be followed.
HANDLE openToIdentify(const std::wstring &path, bool followLinks)
{
    return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

// Only reparse points that stand for another name are links: symbolic links,
// junctions and volume mount points. Others (cloud placeholders, deduplicated
// files) are the folder or file they seem.
// Windows never gives a reparse point the tag 0; Wine gives it to every
// Unix symbolic link, and deletes what such a link leads to, however the
// delete is asked for. It is a link, and one this program cannot remove.
bool foreignLink(DWORD attributes, DWORD tag)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && tag == 0;
}

Kind entryKind(DWORD attributes, DWORD tag)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (IsReparseTagNameSurrogate(tag) || tag == 0) ? Kind::Link
           : (attributes & FILE_ATTRIBUTE_DIRECTORY)                                                   ? Kind::Folder
                                                                                                       : Kind::File;
}

// The kind of the entry a handle opened without following links is on.
bool kindOf(HANDLE handle, Kind *kind, DWORD *attributes, bool *foreign = nullptr)
{
    FILE_ATTRIBUTE_TAG_INFO info;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info))
        return false;
    *kind = entryKind(info.FileAttributes, info.ReparseTag);
    if (attributes)
        *attributes = info.FileAttributes;
    if (foreign)
        *foreign = foreignLink(info.FileAttributes, info.ReparseTag);
    return true;
}

// One form for every file system: the volume's 32-bit serial number, then
// the 128-bit file id. File systems without 128-bit ids answer that they do
// not support the question; their 64-bit index is the low half of the same
// id on NTFS, so one folder never counts as two.
bool identityOf(HANDLE handle, QByteArray *id, Kind *kind, bool followLinks, SystemError *error,
                BY_HANDLE_FILE_INFORMATION *file = nullptr)
{
    // Each question is a round trip to the server under Wine: a link's own
    // identity, when nothing more is wanted, takes two.
    if (!followLinks && !kindOf(handle, kind, nullptr))
        return fail(error);
    FILE_ID_INFO full;
    const bool wide = GetFileInformationByHandleEx(handle, FileIdInfo, &full, sizeof full);
    const DWORD code = wide ? DWORD(ERROR_SUCCESS) : GetLastError();
    if (!wide && code != ERROR_INVALID_PARAMETER && code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION)
        return fail(error, code);
    BY_HANDLE_FILE_INFORMATION info;
    if ((file || followLinks || !wide) && !GetFileInformationByHandle(handle, &info))
        return fail(error);
    if (file)
        *file = info;
    if (followLinks)
        *kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::Folder : Kind::File;
    quint32 serial = 0;
    unsigned char fileId[16] = {};
    if (wide) {
        serial = quint32(full.VolumeSerialNumber);
        std::memcpy(fileId, full.FileId.Identifier, sizeof fileId);
    } else {
        serial = info.dwVolumeSerialNumber;
        const quint64 index = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        for (int i = 0; i < 8; ++i)
            fileId[i] = (unsigned char)(index >> (8 * i));
    }
    *id = QByteArray(reinterpret_cast<const char *>(&serial), sizeof serial)
          + QByteArray(reinterpret_cast<const char *>(fileId), sizeof fileId);
    return true;
}

// Wine says it is Wine through an export of its own.
bool underWine()
{
    static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

bool finalPath(HANDLE handle, std::wstring *path, SystemError *error);

// With name, also the entry's path as finalPath gives it, under Wine only.
bool identifyPath(const std::wstring &path, bool followLinks, QByteArray *id, Kind *kind, SystemError *error,
                  BY_HANDLE_FILE_INFORMATION *file = nullptr, std::wstring *name = nullptr)
{
    const HANDLE handle = openToIdentify(path, followLinks);
    if (handle == INVALID_HANDLE_VALUE)
        return fail(error);
    const bool known = identityOf(handle, id, kind, followLinks, error, file)
                       && (!name || !underWine() || finalPath(handle, name, error));
    CloseHandle(handle);
    return known;
}

qint64 sizeOf(const BY_HANDLE_FILE_INFORMATION &info)
{
    return qint64((quint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
}

// Wine's GetFinalPathNameByHandleW asks with room for MAX_PATH characters
// and answers ERROR_MORE_DATA past it, whatever the caller's buffer; the
// name of the open object, which Wine gives as \??\C:\..., has no limit.
bool wineFinalPath(HANDLE handle, std::wstring *path)
{
    std::vector<char> buffer(4096);
    for (;;) {
        ULONG needed = 0;
        const NTSTATUS status = NtQueryObject(handle, ObjectNameInformation, buffer.data(), ULONG(buffer.size()),
                                              &needed);
        const bool more = status == NTSTATUS(0x80000005) /* STATUS_BUFFER_OVERFLOW */
                          || status == NTSTATUS(0xC0000004) /* STATUS_INFO_LENGTH_MISMATCH */
                          || status == NTSTATUS(0xC0000023) /* STATUS_BUFFER_TOO_SMALL */;
        if (more && buffer.size() < (1u << 20)) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed));
            continue;
        }
        if (status < 0)
            return false;
        const auto *name = reinterpret_cast<const UNICODE_STRING *>(buffer.data());
        const std::wstring object(name->Buffer, name->Length / sizeof(wchar_t));
        if (object.rfind(L"\\??\\", 0) != 0)
            return false;
        *path = L"\\\\?\\" + object.substr(4);
        return true;
    }
}

// The path the system itself gives an open file or folder: every link,
// junction, drive alias and short name resolved, as \\?\C:\..., \\?\UNC\...
// or \\?\Volume{...}\... when the volume has no drive letter.
bool finalPath(HANDLE handle, std::wstring *path, SystemError *error)
{
    if (underWine() && wineFinalPath(handle, path))
        return true;
    for (const DWORD volume : {DWORD(VOLUME_NAME_DOS), DWORD(VOLUME_NAME_GUID)}) {
        // Past MAX_PATH some systems answer the size needed, others (Wine)
        // only ERROR_MORE_DATA: grow the buffer until the path fits.
        for (std::wstring buffer(MAX_PATH, L'\0'); buffer.size() <= 65536;) {
            const DWORD size = GetFinalPathNameByHandleW(handle, buffer.data(), DWORD(buffer.size()), volume);
            if (size > 0 && size < buffer.size()) {
                buffer.resize(size);
                *path = buffer;
                return true;
            }
            if (size == 0 && GetLastError() != ERROR_MORE_DATA && GetLastError() != ERROR_NOT_ENOUGH_MEMORY)
                break;
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, size + 1));
        }
    }
    return fail(error);
}

// How much of an extended path is the volume's root, separator included.
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

std::wstring child(const std::wstring &folder, const std::wstring &name)
{
    return !folder.empty() && folder.back() == L'\\' ? folder + name : folder + L'\\' + name;
}

// The names in a folder with the attributes the listing gave them.
template<typename Each>
bool eachEntry(const std::wstring &folder, Each each, SystemError *error)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileExW(child(folder, L"*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE)
        return fail(error);
    DWORD code = ERROR_NO_MORE_FILES;
    do {
        const std::wstring name(found.cFileName);
        // The listing gives a reparse point's tag in dwReserved0.
        if (name != L"." && name != L".." && !each(name, found.dwFileAttributes, found.dwReserved0)) {
            code = ERROR_SUCCESS;
            break;
        }
    } while (FindNextFileW(search, &found));
    if (code == ERROR_NO_MORE_FILES)
        code = GetLastError();
    FindClose(search);
    return code == ERROR_NO_MORE_FILES || (code != ERROR_SUCCESS && fail(error, code));
}

// Wine shows a Unix link to a file as that file, and a link to a folder as
// a folder once opened; deleting either deletes what it leads to. The path
// the system gives what was opened tells: through a link it is the path of
// what the link leads to, not the folder's own and the entry's name. Wine
// gives paths without trailing dots and blanks, in some parts and not in
// others, so both are compared without them.
std::wstring withoutTrailingDots(const std::wstring &path)
{
    std::wstring trimmed;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(path.find(L'\\', start), path.size());
        const std::wstring part = path.substr(start, end - start);
        const std::size_t kept = part.find_last_not_of(L". ");
        trimmed += kept == std::wstring::npos ? part : part.substr(0, kept + 1);
        if (end == path.size())
            return trimmed;
        trimmed += L'\\';
        start = end + 1;
    }
}

bool throughUnixLink(const std::wstring &folderPath, const std::wstring &entry, const std::wstring &entryPath)
{
    return underWine()
           && withoutTrailingDots(entryPath) != withoutTrailingDots(child(folderPath, entry));
}

// The path finalPath gives a folder, under Wine only.
bool folderPath(const std::wstring &path, std::wstring *name, SystemError *error)
{
    if (!underWine())
        return true;
    const HANDLE handle = openToIdentify(path, false);
    if (handle == INVALID_HANDLE_VALUE)
        return fail(error);
    const bool known = finalPath(handle, name, error);
    CloseHandle(handle);
    return known;
}

// Whether the system lets the entry at path be opened for access: only its
// own "access denied" says no, anything else is for the removal to meet.
bool grants(const std::wstring &path, ACCESS_MASK access)
{
    const HANDLE handle = CreateFileW(path.c_str(), access, shareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() != ERROR_ACCESS_DENIED;
    CloseHandle(handle);
    return true;
}

// Windows lets an entry go when it grants DELETE, or when the folder that
// holds it grants FILE_DELETE_CHILD: the folder is asked once, and each of
// its entries only where it says no.
int deletionBlocked(bool folderLetsGo, const std::wstring &path)
{
    return folderLetsGo || grants(path, DELETE) ? 0 : int(ERROR_ACCESS_DENIED);
}

// Deeper than this, the survey stops rather than run out of stack.
const int deepest = 1024;

bool surveyFolder(const std::wstring &path, int depth, Node *node, NativePath *where, SystemError *error)
{
    if (depth > deepest) {
        *where = bytes(path);
        if (error)
            *error = SystemError{QStringLiteral("folders are nested more than %1 deep").arg(deepest), false, false};
        return false;
    }
    std::wstring own;
    if (!folderPath(path, &own, error)) {
        *where = bytes(path);
        return false;
    }
    bool ok = true;
    const bool lettingGo = grants(path, FILE_DELETE_CHILD);
    const bool listed = eachEntry(
        path,
        [&](const std::wstring &name, DWORD attributes, DWORD tag) {
            Node entry;
            entry.name = bytes(name);
            entry.kind = entryKind(attributes, tag);
            entry.foreignLink = foreignLink(attributes, tag);
            const std::wstring full = child(path, name);
            entry.blocked = deletionBlocked(lettingGo, full);
            Kind kind = Kind::Missing;
            BY_HANDLE_FILE_INFORMATION info;
            std::wstring reached;
            ok = identifyPath(full, false, &entry.id, &kind, error, &info, &reached);
            if (ok && entry.kind != Kind::Link && throughUnixLink(own, name, reached)) {
                entry.kind = Kind::Link;
                entry.foreignLink = true;
            }
            ok = ok && (entry.kind != Kind::Folder || surveyFolder(full, depth + 1, &entry, where, error));
            if (ok && entry.kind == Kind::File) {
                entry.freed = sizeOf(info);
                entry.names = info.nNumberOfLinks;
            }
            if (!ok && where->isEmpty())
                *where = bytes(full);
            node->children.append(entry);
            return ok;
        },
        error);
    if (!listed && ok)
        *where = bytes(path);
    std::stable_sort(node->children.begin(), node->children.end(), [](const Node &a, const Node &b) {
        return shownName(a.name).compare(shownName(b.name), Qt::CaseInsensitive) < 0;
    });
    return listed && ok;
}

// A handle closed when it goes.
class Handle
{
public:
    Handle() = default;
    ~Handle() { reset(INVALID_HANDLE_VALUE); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HANDLE get() const { return m_handle; }
    void reset(HANDLE handle)
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
        m_handle = handle;
    }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// Opens the entry name of the folder that folder holds open, the entry
// itself when it is a link. Only that one name is looked up, inside a folder
// already open: a folder on the way that is swapped for a junction once it
// was opened redirects nothing. Gives the system's error code, or 0.
DWORD openAt(HANDLE folder, const std::wstring &name, ACCESS_MASK access, ULONG share, ULONG options, Handle *opened)
{
    UNICODE_STRING object;
    object.Buffer = const_cast<PWSTR>(name.c_str());
    object.Length = object.MaximumLength = USHORT(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &object, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK status;
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS result = NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status, nullptr, 0, share,
                                         FILE_OPEN,
                                         options | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT
                                             | FILE_SYNCHRONOUS_IO_NONALERT,
                                         nullptr, 0);
    if (result < 0)
        return RtlNtStatusToDosError(result);
    opened->reset(handle);
    return ERROR_SUCCESS;
}

// The folder at path, open for entries to be opened relative to it.
DWORD openFolder(const std::wstring &path, Handle *opened)
{
    const HANDLE handle = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                      shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError();
    opened->reset(handle);
    return ERROR_SUCCESS;
}

// The folder that holds the entry at path, and the entry's name in it.
std::wstring folderOf(const std::wstring &path, std::wstring *name)
{
    const std::size_t cut = path.rfind(L'\\');
    *name = path.substr(cut + 1);
    return path.substr(0, cut + 1 == rootLength(path) ? cut + 1 : cut);
}

// Windows 10's delete with POSIX semantics (FILE_DISPOSITION_INFO_EX), spelt
// out: MinGW's headers offer it only to builds for later versions of Windows,
// and older systems answer that they do not support it.
struct DispositionEx
{
    DWORD flags;
};
const auto fileDispositionInfoEx = FILE_INFO_BY_HANDLE_CLASS(21);
const DWORD dispositionDelete = 0x1;
const DWORD dispositionPosix = 0x2;

bool unsupported(DWORD code)
{
    return code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION;
}

// Gives the entry held by handle the name target: a full path, or a name
// inside the folder that folder holds open. The name must be free.
bool renameTo(HANDLE handle, HANDLE folder, const std::wstring &target)
{
    const std::size_t bytes = target.size() * sizeof(wchar_t);
    std::wstring buffer((sizeof(FILE_RENAME_INFO) + bytes) / sizeof(wchar_t) + 1, L'\0');
    auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = folder;
    rename->FileNameLength = DWORD(bytes);
    std::memcpy(rename->FileName, target.c_str(), bytes);
    return SetFileInformationByHandle(handle, FileRenameInfo, rename, DWORD(buffer.size() * sizeof(wchar_t)));
}

// A name of the program's own in the folder aside, which the removal does
// not take.
std::wstring asideName(const std::wstring &aside)
{
    static int counter = 0;
    return child(aside, L".brask-repair-deleted-" + std::to_wstring(GetCurrentProcessId()) + L"-"
                            + std::to_wstring(++counter));
}

// Sets the attributes of the entry a handle is on.
bool setAttributes(HANDLE handle, DWORD attributes)
{
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return false;
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
}

// The program's own code for an entry that is no longer the one surveyed.
const DWORD changedCode = 0x20000000 | 1;

// Deletes the file or link name in folder through a handle on the entry
// itself, the classic way when no other program has it open. When one does,
// with deletion shared, as scanners, indexers and some launchers do, the
// classic way would keep the name until that program lets go: then the
// delete has POSIX semantics, and the name goes at once; where the file
// system lacks them, the file is first moved aside, into a folder that
// stays. An entry that is not the one of identity id (when given) is left
// alone (changedCode), and a folder refused, as DeleteFile refuses it. Given attributes to
// keep, the file gets them back once its name is gone, for the names it has
// elsewhere. Gives the system's error code, or 0.
DWORD deleteNow(HANDLE folder, const std::wstring &name, const QByteArray &id, const std::wstring &aside, DWORD keep)
{
    const ACCESS_MASK access = DELETE | FILE_READ_ATTRIBUTES | (keep ? FILE_WRITE_ATTRIBUTES : 0);
    Handle handle;
    DWORD code = openAt(folder, name, access, 0, 0, &handle);
    const bool alone = code == ERROR_SUCCESS;
    if (code == ERROR_SHARING_VIOLATION)
        code = openAt(folder, name, access, shareAll, 0, &handle);
    if (code != ERROR_SUCCESS)
        return code;
    // Only the entry surveyed goes: under Wine a Unix link swapped in since
    // opens as what it leads to, which would go instead.
    QByteArray now;
    Kind kind = Kind::Missing;
    if (!identityOf(handle.get(), &now, &kind, false, nullptr))
        return GetLastError();
    if (!id.isEmpty() && now != id)
        return changedCode;
    if (kind == Kind::Folder)
        return ERROR_ACCESS_DENIED;
    auto kept = [&]() -> DWORD { return !keep || setAttributes(handle.get(), keep) ? ERROR_SUCCESS : GetLastError(); };
    if (!alone) {
        DispositionEx posix{dispositionDelete | dispositionPosix};
        if (SetFileInformationByHandle(handle.get(), fileDispositionInfoEx, &posix, sizeof posix))
            return kept();
        code = GetLastError();
        if (!unsupported(code))
            return code;
    }
    // A held file that cannot be moved aside would keep its name after a
    // classic delete, and count as gone while it is still there.
    const bool moved = !alone;
    if (moved && !renameTo(handle.get(), nullptr, asideName(aside)))
        return GetLastError();
    FILE_DISPOSITION_INFO classic{TRUE};
    if (SetFileInformationByHandle(handle.get(), FileDispositionInfo, &classic, sizeof classic))
        return kept();
    code = GetLastError();
    // Not deleted after all: the file gets its name back.
    if (moved)
        renameTo(handle.get(), folder, name);
    return code;
}

// Deletes the emptied folder that handle holds, with POSIX semantics where
// the system has them: its name goes when this handle does, although other
// programs (Explorer, indexers) may still look at it.
DWORD deleteFolderNow(HANDLE handle)
{
    DispositionEx posix{dispositionDelete | dispositionPosix};
    if (SetFileInformationByHandle(handle, fileDispositionInfoEx, &posix, sizeof posix))
        return ERROR_SUCCESS;
    const DWORD code = GetLastError();
    if (!unsupported(code))
        return code;
    FILE_DISPOSITION_INFO classic{TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &classic, sizeof classic) ? ERROR_SUCCESS
                                                                                            : GetLastError();
}

// A file held for a moment by another program, or a folder whose last entry
// is still going, is tried again for about a second, as robocopy does.
template<typename Delete>
DWORD soon(Delete attempt)
{
    for (int tries = 1;; ++tries) {
        const DWORD code = attempt();
        if (code == ERROR_SUCCESS || tries == 10 || (code != ERROR_SHARING_VIOLATION && code != ERROR_DIR_NOT_EMPTY))
            return code;
        Sleep(100);
    }
}

// A handle to change the attributes of name in folder through. Wine, like
// Linux, refuses write access to a read-only file to all but root, yet lets
// its attributes be set through a handle that only reads them, as its own
// SetFileAttributesW does.
DWORD openForAttributes(HANDLE folder, const std::wstring &name, Handle *opened)
{
    const DWORD code = openAt(folder, name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, shareAll, 0, opened);
    return code == ERROR_ACCESS_DENIED ? openAt(folder, name, FILE_READ_ATTRIBUTES, shareAll, 0, opened) : code;
}

// Windows refuses to delete read-only files and folders (Explorer marks
// customised folders so), and copies keep the source's read-only flag, so
// every later repair would stop there: the flag is cleared for a second
// try, and put back if that fails too. The flag belongs to the file, not to
// a name: a file with other names (hard links) gets it back once this name
// is gone.
DWORD removeFileAt(HANDLE folder, const std::wstring &name, const QByteArray &id, const std::wstring &aside)
{
    const DWORD code = soon([&] { return deleteNow(folder, name, id, aside, 0); });
    if (code != ERROR_ACCESS_DENIED)
        return code;
    BY_HANDLE_FILE_INFORMATION info;
    {
        Handle handle;
        if (openForAttributes(folder, name, &handle) != ERROR_SUCCESS
            || !GetFileInformationByHandle(handle.get(), &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
            || !setAttributes(handle.get(), info.dwFileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))
            return code;
    }
    const DWORD keep = info.nNumberOfLinks > 1 ? info.dwFileAttributes : 0;
    const DWORD second = soon([&] { return deleteNow(folder, name, id, aside, keep); });
    if (second != ERROR_SUCCESS) {
        Handle handle;
        if (openForAttributes(folder, name, &handle) == ERROR_SUCCESS)
            setAttributes(handle.get(), info.dwFileAttributes);
    }
    return second;
}

// The same for an emptied folder, which its own handle deletes.
DWORD removeFolderAt(HANDLE handle, bool writable)
{
    const DWORD code = soon([&] { return deleteFolderNow(handle); });
    FILE_BASIC_INFO basic;
    if (code != ERROR_ACCESS_DENIED || !writable
        || !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)
        || !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY)
        || !setAttributes(handle, basic.FileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))
        return code;
    const DWORD second = soon([&] { return deleteFolderNow(handle); });
    if (second != ERROR_SUCCESS)
        setAttributes(handle, basic.FileAttributes);
    return second;
}

// Whether the entry name in folder is still the one of identity id (or any,
// when none is given), once
// its handle went with its deletion asked for. One that is still going
// (another program holds it) cannot be opened again, and counts as gone.
bool stillThere(HANDLE folder, const std::wstring &name, const QByteArray &id)
{
    Handle handle;
    QByteArray now;
    Kind kind = Kind::Missing;
    return openAt(folder, name, FILE_READ_ATTRIBUTES, shareAll, 0, &handle) == ERROR_SUCCESS
           && (id.isEmpty() || (identityOf(handle.get(), &now, &kind, false, nullptr) && now == id));
}

// What one removal walk shares down the folders.
struct Removal
{
    std::wstring aside;     // the folder held files are moved aside into
    const Progress &progress;
    QString *failed;
    SystemError *error;
    int *removed;
};

// What a folder that would not go still holds, once every entry surveyed
// in it was said to be removed. Wine says yes to a delete that Linux then
// refuses (in a folder the user may not change): such a file is named, and
// no longer counted as removed. Anything else there was never listed
// (under Wine, a Unix link that leads nowhere).
bool leftBehind(HANDLE folder, const Node &node, const QString &shown, const Removal &removal)
{
    // Only an entry of the identity surveyed was counted: another of its
    // name, made since, was not.
    Handle own;
    const Node *kept = nullptr;
    if (openAt(folder, wide(node.name), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, shareAll,
               FILE_DIRECTORY_FILE, &own)
        == ERROR_SUCCESS) {
        for (const Node &entry : node.children) {
            if (!stillThere(own.get(), wide(entry.name), entry.id))
                continue;
            --*removal.removed;
            if (!kept)
                kept = &entry;
        }
    }
    if (removal.error) {
        *removal.error = SystemError{
            kept ? QStringLiteral("Wine said it was deleted, but Linux kept it: most likely Linux does not let you "
                                  "change the folder that holds it. From Linux, give yourself write permission on "
                                  "that folder, or remove the file yourself, then run Re-install data again")
                 : QStringLiteral("it holds entries that its listing never gave"),
            false, false};
    }
    setText(removal.failed, kept ? shown + QLatin1Char('/') + shownName(kept->name) : shown);
    return false;
}

// Removes node, the entry of that name in the folder that folder holds
// open, and everything the survey found below it. Each folder is opened
// relative to the one that holds it, and checked to be the one surveyed
// before anything in it goes.
bool removeNode(HANDLE folder, const Node &node, const QString &shown, const Removal &removal)
{
    // Where the removal stopped, once error says why.
    auto stopped = [&] {
        setText(removal.failed, shown);
        return false;
    };
    auto failAt = [&](DWORD code) {
        fail(removal.error, code);
        return stopped();
    };
    auto refuse = [&](const QString &why) {
        if (removal.error)
            *removal.error = SystemError{why, false, false};
        return stopped();
    };
    if (node.foreignLink)
        return refuse(QStringLiteral("it is a link; remove it yourself"));
    const std::wstring name = wide(node.name);
    // A link goes as a link (symbolic link, junction, mount point). The
    // folder was just walked, so only the entry's own absence means it is
    // gone.
    if (node.kind != Kind::Folder) {
        const DWORD code = removeFileAt(folder, name, node.id, removal.aside);
        if (code == changedCode)
            return changed(removal.error) || stopped();
        if (code == ERROR_SUCCESS)
            ++*removal.removed;
        return code == ERROR_SUCCESS || code == ERROR_FILE_NOT_FOUND || failAt(code);
    }
    const ACCESS_MASK access = DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
    Handle own;
    bool writable = true;
    DWORD code = openAt(folder, name, access | FILE_WRITE_ATTRIBUTES, shareAll, FILE_DIRECTORY_FILE, &own);
    if (code == ERROR_ACCESS_DENIED) {
        writable = false;
        code = openAt(folder, name, access, shareAll, FILE_DIRECTORY_FILE, &own);
    }
    if (code == ERROR_FILE_NOT_FOUND)
        return true;
    if (code == ERROR_DIRECTORY)
        return changed(removal.error) || stopped();
    if (code != ERROR_SUCCESS)
        return failAt(code);
    QByteArray id;
    Kind kind = Kind::Missing;
    if (!identityOf(own.get(), &id, &kind, false, removal.error))
        return stopped();
    if (id != node.id || kind != Kind::Folder)
        return changed(removal.error) || stopped();
    removal.progress.setMaximum(int(node.children.size()));
    int count = 0;
    for (const Node &entry : node.children) {
        removal.progress.setValue(++count);
        if (!removeNode(own.get(), entry, shown + QLatin1Char('/') + shownName(entry.name), removal))
            return false;
    }
    code = removeFolderAt(own.get(), writable);
    own.reset(INVALID_HANDLE_VALUE);
    // Windows refuses to mark a folder that is not empty; Wine marks it, and
    // its removal then fails unseen when the handle goes.
    if (code == ERROR_SUCCESS && stillThere(folder, name, node.id))
        code = ERROR_DIR_NOT_EMPTY;
    if (code == ERROR_SUCCESS) {
        ++*removal.removed;
        return true;
    }
    if (code == ERROR_DIR_NOT_EMPTY)
        return leftBehind(folder, node, shown, removal);
    return failAt(code);
}

} // namespace

QString cleanPath(const QString &typed)
{
    // Explorer's "Copy as path" puts the path in double quotes, which no
    // Windows name may hold, and no name Explorer makes begins or ends with
    // a blank.
    QString path = typed.trimmed();
    if (path.size() >= 2 && path.startsWith(QLatin1Char('"')) && path.endsWith(QLatin1Char('"')))
        path = path.mid(1, path.size() - 2).trimmed();
    // "C:" alone is the current folder of drive C:, and "\dat" the root of
    // the current drive; "C:" + "/dat" would be C:'s root instead. Such a
    // path is made whole at once, so every name joined to it means what the
    // player meant.
    auto separator = [](QChar c) { return c == QLatin1Char('/') || c == QLatin1Char('\\'); };
    const bool onDrive = path.size() >= 2 && path[0].isLetter() && path[1] == QLatin1Char(':')
                         && (path.size() == 2 || !separator(path[2]));
    const bool onCurrentDrive = !path.isEmpty() && separator(path[0]) && (path.size() == 1 || !separator(path[1]));
    if (onDrive || onCurrentDrive) {
        const std::wstring partial = QDir::toNativeSeparators(path).toStdWString();
        std::wstring full(GetFullPathNameW(partial.c_str(), 0, nullptr, nullptr), L'\0');
        const DWORD size = GetFullPathNameW(partial.c_str(), DWORD(full.size()), full.data(), nullptr);
        if (size > 0 && size < full.size())
            path = QString::fromWCharArray(full.data(), int(size));
    }
    // The extended form is the path exactly as the system is to take it.
    // Qt's cleaning, and even its fromNativeSeparators, would drop the
    // prefix, and Win32 then trim the names.
    if (QDir::toNativeSeparators(path).startsWith(QLatin1String("\\\\?\\"))) {
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        // A separator at the end names nothing, but after a drive's root.
        while (path.endsWith(QLatin1Char('/')) && !path.endsWith(QLatin1String(":/")))
            path.chop(1);
        return path;
    }
    return QDir::cleanPath(path);
}

NativePath toNative(const QString &path)
{
    const std::wstring typed = QDir::toNativeSeparators(path).toStdWString();
    if (typed.rfind(L"\\\\?\\", 0) == 0)
        return bytes(typed);
    DWORD size = GetFullPathNameW(typed.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    size = GetFullPathNameW(typed.c_str(), DWORD(full.size()), full.data(), nullptr);
    if (size == 0 || size >= full.size())
        return bytes(typed);
    full.resize(size);
    // The \\.\ form means what \\?\ does once Win32 has read it, yet every
    // name later joined to it would be trimmed and rewritten again.
    if (full.rfind(L"\\\\.\\", 0) == 0)
        return bytes(L"\\\\?\\" + full.substr(4));
    if (full.rfind(L"\\\\", 0) == 0)
        return bytes(L"\\\\?\\UNC\\" + full.substr(2));
    return bytes(L"\\\\?\\" + full);
}

bool exactPath(const QString &path)
{
    // Windows names are UTF-16, as Qt's strings are.
    Q_UNUSED(path);
    return true;
}

QString shownName(const Name &name)
{
    std::wstring text = wide(name);
    if (text.rfind(L"\\\\?\\UNC\\", 0) == 0)
        text = L"\\\\" + text.substr(8);
    else if (text.rfind(L"\\\\?\\", 0) == 0)
        text = text.substr(4);
    return QString::fromStdWString(text);
}

Name nameOf(const QString &name)
{
    return bytes(name.toStdWString());
}

NativePath joined(const NativePath &folder, const Name &name)
{
    return bytes(child(wide(folder), wide(name)));
}

bool environmentFolder(const char *variable, NativePath *folder)
{
    // Windows sets these to absolute paths: a drive and its root, or a share.
    const QString value = qEnvironmentVariable(variable);
    const bool onDrive = value.size() >= 3 && value[0].isLetter() && value[1] == QLatin1Char(':')
                         && (value[2] == QLatin1Char('\\') || value[2] == QLatin1Char('/'));
    const bool onShare = value.startsWith(QLatin1String("\\\\")) || value.startsWith(QLatin1String("//"));
    if (!onDrive && !onShare)
        return false;
    *folder = toNative(value);
    return true;
}

bool removeFile(const NativePath &path, bool folderChecked, SystemError *error)
{
    // A file held with deletion shared is moved aside within its own folder.
    std::wstring name;
    const std::wstring folder = folderOf(wide(path), &name);
    Handle handle;
    DWORD code = openFolder(folder, &handle);
    // The folder's own absence is no file's.
    if (code == ERROR_FILE_NOT_FOUND)
        code = ERROR_PATH_NOT_FOUND;
    if (code == ERROR_SUCCESS)
        code = removeFileAt(handle.get(), name, QByteArray(), folder);
    // Wine says yes to a delete that Linux then refuses.
    if (code == ERROR_SUCCESS && underWine() && stillThere(handle.get(), name, QByteArray()))
        code = ERROR_ACCESS_DENIED;
    if (code == ERROR_SUCCESS)
        return true;
    fail(error, code);
    // In a folder just found to exist, a missing path means the folder
    // vanished, not that the file was never there.
    if (error && folderChecked)
        error->notFound = code == ERROR_FILE_NOT_FOUND;
    return false;
}

bool identify(const NativePath &path, bool followLinks, QByteArray *id, Kind *kind, SystemError *error)
{
    return identifyPath(wide(path), followLinks, id, kind, error);
}

bool ancestry(const NativePath &folder, QList<QByteArray> *chain, SystemError *error)
{
    const HANDLE handle = openToIdentify(wide(folder), true);
    if (handle == INVALID_HANDLE_VALUE)
        return fail(error);
    QByteArray id;
    Kind kind = Kind::Missing;
    std::wstring path;
    const bool known = identityOf(handle, &id, &kind, true, error) && finalPath(handle, &path, error);
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
        if (!identifyPath(path, true, &id, &kind, error))
            return false;
        chain->append(id);
    }
    return true;
}

bool reachedThrough(const NativePath &path, QList<QByteArray> *ids, SystemError *error)
{
    // Each folder on the way as written, and where it leads; the links of a
    // chain between are not read one by one here.
    for (const NativePath &step : prefixes(path)) {
        for (const bool follow : {false, true}) {
            QByteArray id;
            Kind kind = Kind::Missing;
            SystemError failure;
            if (!identifyPath(wide(step), follow, &id, &kind, &failure)) {
                if (failure.notFound)
                    return true;
                if (error)
                    *error = failure;
                return false;
            }
            ids->append(id);
        }
    }
    return true;
}

QList<NativePath> prefixes(const NativePath &path)
{
    const std::wstring full = wide(path);
    if (full.rfind(L"\\\\?\\", 0) != 0)
        return {path};
    const std::size_t root = rootLength(full);
    QList<NativePath> result{bytes(full.substr(0, root))};
    for (std::size_t at = full.find(L'\\', root); at != std::wstring::npos; at = full.find(L'\\', at + 1))
        result.append(bytes(full.substr(0, at)));
    if (full.size() > root && full.back() != L'\\')
        result.append(path);
    return result;
}

// A cloud file that is not on this device, or a file moved to slower
// storage: reading it needs a download or a recall that may fail, and the
// copy would meet that only after the removal.
const DWORD onlineOnly = FILE_ATTRIBUTE_OFFLINE | 0x00040000 /* RECALL_ON_OPEN */
                         | 0x00400000 /* RECALL_ON_DATA_ACCESS */;

bool listSource(const NativePath &folder, QList<SourceEntry> *entries, SystemError *error)
{
    const std::wstring path = wide(folder);
    entries->clear();
    bool ok = true;
    const bool listed = eachEntry(
        path,
        [&](const std::wstring &name, DWORD attributes, DWORD tag) {
            SourceEntry entry;
            entry.name = bytes(name);
            entry.hidden = attributes & FILE_ATTRIBUTE_HIDDEN;
            entry.link = entryKind(attributes, tag) == Kind::Link;
            Kind kind = Kind::Missing;
            SystemError failure;
            const std::wstring full = child(path, name);
            // A file is opened for reading, as the copy will open it: one
            // handle answers both its identity and whether it can be read.
            HANDLE file = INVALID_HANDLE_VALUE;
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                file = CreateFileW(full.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
                if (file == INVALID_HANDLE_VALUE) {
                    fail(&failure);
                    entry.readError = failure.text;
                }
            }
            bool known = false;
            DWORD fileAttributes = 0;
            if (file != INVALID_HANDLE_VALUE) {
                BY_HANDLE_FILE_INFORMATION info;
                known = identityOf(file, &entry.id, &kind, true, &failure, &info);
                entry.size = sizeOf(info);
                fileAttributes = info.dwFileAttributes;
                CloseHandle(file);
            } else if (!failure.notFound) {
                known = identifyPath(full, true, &entry.id, &kind, &failure);
            }
            if (known) {
                entry.kind = kind;
                if (kind != Kind::File)
                    entry.readError.clear();
                else if ((attributes | fileAttributes) & onlineOnly)
                    entry.readError = QStringLiteral("it is not stored on this device: a cloud file, such as "
                                                     "OneDrive's \"Free up space\" leaves, or one moved to offline "
                                                     "storage. Choose \"Always keep on this device\" for the Ostrel "
                                                     "folder in Explorer, wait for the download, then run "
                                                     "Re-install data again");
            } else if (!entry.link && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                // Listed, yet not there when opened by that name (under Wine a
                // Unix name holding a backslash): a file the copy cannot read.
                entry.kind = Kind::File;
            } else if (!failure.notFound) {
                // A link to nothing is neither file nor folder; anything else
                // the system could not answer stops the plan.
                if (error)
                    *error = failure;
                ok = false;
            }
            entries->append(entry);
            return ok;
        },
        error);
    return listed && ok;
}

// Whether the folder or file at full, whose last separator is at cut, is a
// Unix link under Wine: its listing in its folder says so for a folder, and
// the system's name for it does for a file.
bool unixLinkAsRoot(const std::wstring &full, std::size_t cut, const std::wstring &reached, Node *root,
                    SystemError *error)
{
    if (!underWine())
        return true;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileExW(full.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return fail(error);
    FindClose(search);
    const std::wstring parent = full.substr(0, cut + 1 == rootLength(full) ? cut + 1 : cut);
    std::wstring own;
    if (!folderPath(parent, &own, error))
        return false;
    if (entryKind(found.dwFileAttributes, found.dwReserved0) == Kind::Link
        || throughUnixLink(own, found.cFileName, reached)) {
        root->kind = Kind::Link;
        root->foreignLink = true;
    }
    return true;
}

bool survey(const NativePath &path, Node *root, NativePath *where, SystemError *error)
{
    const std::wstring full = wide(path);
    std::size_t cut = full.size() > rootLength(full) ? full.rfind(L'\\') : std::wstring::npos;
    root->name = bytes(cut == std::wstring::npos ? full : full.substr(cut + 1));
    root->kind = Kind::Missing;
    root->children.clear();
    Kind kind = Kind::Missing;
    SystemError failure;
    std::wstring reached;
    if (!identifyPath(full, false, &root->id, &kind, &failure, nullptr, &reached)) {
        if (failure.notFound)
            return true;
        *where = path;
        if (error)
            *error = failure;
        return false;
    }
    root->kind = kind;
    if (cut != std::wstring::npos) {
        std::wstring name;
        root->blocked = deletionBlocked(grants(folderOf(full, &name), FILE_DELETE_CHILD), full);
    }
    if (kind != Kind::Link && cut != std::wstring::npos && !unixLinkAsRoot(full, cut, reached, root, &failure)) {
        *where = path;
        if (error)
            *error = failure;
        return false;
    }
    if (kind == Kind::Link) {
        const HANDLE handle = openToIdentify(full, false);
        const bool known = handle != INVALID_HANDLE_VALUE && kindOf(handle, &kind, nullptr, &root->foreignLink);
        const DWORD code = GetLastError();
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        if (!known) {
            *where = path;
            return fail(error, code);
        }
    }
    return root->kind != Kind::Folder || surveyFolder(full, 1, root, where, error);
}

bool folderTree(const NativePath &path, QList<QByteArray> *ids, SystemError *error)
{
    // The folder itself as reached through any links on its path, then
    // every folder below it without following any.
    QByteArray id;
    Kind kind = Kind::Missing;
    if (!identifyPath(wide(path), true, &id, &kind, error))
        return false;
    ids->append(id);
    QList<std::wstring> pending{wide(path)};
    while (!pending.isEmpty()) {
        const std::wstring folder = pending.takeLast();
        bool ok = true;
        const bool listed = eachEntry(
            folder,
            [&](const std::wstring &name, DWORD attributes, DWORD tag) {
                if (entryKind(attributes, tag) != Kind::Folder)
                    return true;
                const std::wstring full = child(folder, name);
                ok = identifyPath(full, false, &id, &kind, error);
                if (ok) {
                    ids->append(id);
                    pending.append(full);
                }
                return ok;
            },
            error);
        if (!listed || !ok)
            return false;
    }
    return true;
}

bool namesClash(const Name &a, const Name &b)
{
    return CompareStringOrdinal(reinterpret_cast<const wchar_t *>(a.constData()), int(a.size() / 2),
                                reinterpret_cast<const wchar_t *>(b.constData()), int(b.size() / 2), TRUE)
           == CSTR_EQUAL;
}

struct Rehearsal::Folder
{
    std::wstring path;
    QList<std::wstring> made;
};

Rehearsal::Rehearsal() = default;

Rehearsal::~Rehearsal()
{
    close(nullptr);
}

bool Rehearsal::open(const NativePath &parent, NativePath *where, SystemError *error)
{
    static int counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring probe = child(wide(parent), L".brask-repair-probe-" + std::to_wstring(GetCurrentProcessId())
                                                           + L"-" + std::to_wstring(++counter));
        if (CreateDirectoryW(probe.c_str(), nullptr)) {
            m_folder.reset(new Folder{probe, {}});
            *where = bytes(probe);
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return fail(error);
    }
    return fail(error, ERROR_ALREADY_EXISTS);
}

bool Rehearsal::room(Room *room, SystemError *error)
{
    const HANDLE handle = openToIdentify(m_folder->path, false);
    if (handle == INVALID_HANDLE_VALUE)
        return fail(error);
    // The room this user may still take, in the drive's clusters, and what
    // the file system is: FAT drives hold no file of 4 GiB or more, others
    // hold files larger than any drive.
    IO_STATUS_BLOCK status;
    FILE_FS_FULL_SIZE_INFORMATION size;
    const NTSTATUS asked = NtQueryVolumeInformationFile(handle, &status, &size, sizeof size, FileFsFullSizeInformation);
    wchar_t system[MAX_PATH + 1] = {};
    DWORD serial = 0;
    const bool named = GetVolumeInformationByHandleW(handle, nullptr, 0, &serial, nullptr, nullptr, system,
                                                     MAX_PATH + 1);
    const DWORD code = asked < 0 ? RtlNtStatusToDosError(asked) : GetLastError();
    CloseHandle(handle);
    if (asked < 0 || !named)
        return fail(error, code);
    room->unit = qint64(size.SectorsPerAllocationUnit) * size.BytesPerSector;
    room->free = size.CallerAvailableAllocationUnits.QuadPart * room->unit;
    room->drive = QByteArray::number(serial);
    const bool fat = std::wstring(system).rfind(L"FAT", 0) == 0;
    room->largest = fat ? qint64(0xFFFFFFFF) : std::numeric_limits<qint64>::max();
    room->limit = std::numeric_limits<qint64>::max();
    room->names = std::numeric_limits<qint64>::max();
    return true;
}

Rehearsal::Made Rehearsal::make(const SourceEntry &entry, bool grow, SystemError *error)
{
    const std::wstring path = child(m_folder->path, wide(entry.name));
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        fail(error, code);
        return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS              ? Made::Exists
               : code == ERROR_INVALID_NAME || code == ERROR_FILENAME_EXCED_RANGE ? Made::BadName
                                                                                 : Made::Refused;
    }
    m_folder->made.append(path);
    if (!CloseHandle(file)) {
        fail(error);
        return Made::Refused;
    }
    // Only a FAT drive's limit is asked for, and it is its file system's own.
    if (grow) {
        fail(error, ERROR_FILE_TOO_LARGE);
        return Made::TooLarge;
    }
    return Made::Yes;
}

bool Rehearsal::identify(const Name &name, QByteArray *id, SystemError *error)
{
    Kind kind = Kind::Missing;
    return identifyPath(child(m_folder->path, wide(name)), false, id, &kind, error);
}

qint64 Rehearsal::size()
{
    // FAT and exFAT folders take clusters of their own; NTFS keeps small
    // ones in its file table and answers 0.
    const HANDLE handle = openToIdentify(m_folder->path, false);
    FILE_STANDARD_INFO info;
    const bool known = handle != INVALID_HANDLE_VALUE
                       && GetFileInformationByHandleEx(handle, FileStandardInfo, &info, sizeof info);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return known ? qint64(info.AllocationSize.QuadPart) : -1;
}

bool Rehearsal::close(SystemError *error)
{
    if (!m_folder)
        return true;
    const std::unique_ptr<Folder> folder = std::move(m_folder);
    for (const std::wstring &path : std::as_const(folder->made)) {
        if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
            return fail(error);
    }
    return RemoveDirectoryW(folder->path.c_str()) || fail(error);
}

bool sourceAsListed(const NativePath &folder, const SourceEntry &entry, SystemError *error)
{
    QByteArray id;
    Kind kind = Kind::Missing;
    BY_HANDLE_FILE_INFORMATION info;
    if (!identifyPath(wide(joined(folder, entry.name)), true, &id, &kind, error, &info))
        return false;
    if (id == entry.id && kind == Kind::File && sizeOf(info) == entry.size)
        return true;
    if (error)
        *error = SystemError{QStringLiteral("it was replaced or rewritten"), false, false};
    return false;
}

bool listNames(const NativePath &folder, QList<Name> *names, SystemError *error)
{
    return eachEntry(
        wide(folder),
        [&](const std::wstring &name, DWORD, DWORD) {
            names->append(bytes(name));
            return true;
        },
        error);
}

bool removeSurveyed(const NativePath &path, const QString &shown, const Node &root, const Progress &progress,
                    QString *failed, SystemError *error, int *removed)
{
    if (root.kind == Kind::Missing)
        return true;
    int ignored = 0;
    const std::wstring full = wide(path);
    std::wstring name;
    const std::wstring folder = folderOf(full, &name);
    Handle handle;
    DWORD code = full.size() > rootLength(full) ? openFolder(folder, &handle) : DWORD(ERROR_ACCESS_DENIED);
    if (code == ERROR_FILE_NOT_FOUND)
        code = ERROR_PATH_NOT_FOUND;
    if (code != ERROR_SUCCESS) {
        setText(failed, shown);
        return fail(error, code);
    }
    // Held files are moved aside into the folder that holds the removed one.
    return removeNode(handle.get(), root, shown, Removal{folder, progress, failed, error, removed ? removed : &ignored});
}

bool makeFolder(const NativePath &path, SystemError *error)
{
    return CreateDirectoryW(wide(path).c_str(), nullptr) || fail(error);
}

struct Copier::Folders
{
    std::wstring from;
    std::wstring to;
};

Copier::Copier() : m_folders(new Folders) {}

Copier::~Copier() = default;

bool Copier::open(const NativePath &from, const NativePath &to, SystemError *error)
{
    Q_UNUSED(error);
    m_folders->from = wide(from);
    m_folders->to = wide(to);
    return true;
}

bool Copier::copy(const Name &name, const QByteArray &id, qint64 size, SystemError *error)
{
    const std::wstring source = child(m_folders->from, wide(name));
    const std::wstring target = child(m_folders->to, wide(name));
    // Only the file that was checked before the removal is copied.
    QByteArray now;
    Kind kind = Kind::Missing;
    if (!identifyPath(source, true, &now, &kind, error))
        return false;
    if (now != id || kind != Kind::File)
        return changed(error);
    if (!CopyFileW(source.c_str(), target.c_str(), TRUE))
        return fail(error);
    // A file rewritten while it is copied (a patcher at work) gives a copy
    // of neither version.
    auto sizeAt = [](const std::wstring &path) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)
                   ? qint64((quint64(data.nFileSizeHigh) << 32) | data.nFileSizeLow)
                   : qint64(-1);
    };
    if (sizeAt(source) != size || sizeAt(target) != size) {
        SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(target.c_str());
        if (error)
            *error = SystemError{QStringLiteral("it changed while it was copied"), false, false};
        return false;
    }
    // Each copy goes to disk as soon as it is made, while its data is still
    // at hand. FlushFileBuffers needs write access, which a read-only copy
    // denies until the flag is off for the moment.
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return fail(error);
    const bool readOnly = attributes & FILE_ATTRIBUTE_READONLY;
    if (readOnly && !SetFileAttributesW(target.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))
        return fail(error);
    const HANDLE handle = CreateFileW(target.c_str(), GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    bool flushed = handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
    DWORD code = GetLastError();
    if (handle != INVALID_HANDLE_VALUE && !CloseHandle(handle) && flushed) {
        flushed = false;
        code = GetLastError();
    }
    if (readOnly && !SetFileAttributesW(target.c_str(), attributes) && flushed) {
        flushed = false;
        code = GetLastError();
    }
    return flushed || fail(error, code);
}

bool Copier::finish(SystemError *error)
{
    // Each copy went to disk as it was made, and with each such flush NTFS
    // writes its journal, which holds the folder's entries.
    Q_UNUSED(error);
    return true;
}

} // namespace FileOps
