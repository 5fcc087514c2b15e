// The file routines on Windows. Every path goes to Win32 in the extended
// \\?\ form, made absolute once, with names exactly as a listing gave them:
// Win32 then neither trims trailing dots and blanks nor opens devices for
// names such as "aux.dat", and no 260-character limit applies.
#include "fileops/dir.h"

#include <QDir>
#include <QHash>

#include <qt_windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace FileOps {

namespace {

bool fail(SystemError &error, DWORD code = GetLastError())
{
    error = SystemError{Code(code)};
    // Callers go on to ask GetLastError, which looking up the text may change.
    SetLastError(code);
    return false;
}

bool changed(SystemError &error)
{
    error = SystemError{Changed};
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

// What a file's handle answers besides its identity, each in a question of
// its own: GetFileInformationByHandle, which answers them all at once, also
// asks for the volume's serial number, and under Wine every such question
// is a round trip to its mount manager.
struct Facts
{
    DWORD attributes = 0;
    qint64 size = 0;
    DWORD links = 1;
    LARGE_INTEGER lastWrite{};
};

bool factsOf(HANDLE handle, Facts *facts)
{
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)
        || !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard))
        return false;
    facts->attributes = basic.FileAttributes;
    facts->lastWrite = basic.LastWriteTime;
    facts->size = standard.EndOfFile.QuadPart;
    facts->links = standard.NumberOfLinks;
    return true;
}

// One form for every file system: the volume's 32-bit serial number, then
// the 128-bit file id. File systems without 128-bit ids answer that they do
// not support the question; their 64-bit index is the low half of the same
// id on NTFS, so one folder never counts as two.
bool identityOf(HANDLE handle, QByteArray *id, Kind *kind, bool followLinks, SystemError &error,
                Facts *file = nullptr)
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
    Facts facts;
    if ((file || followLinks) && !factsOf(handle, &facts))
        return fail(error);
    if (file)
        *file = facts;
    if (followLinks)
        *kind = (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::Folder : Kind::File;
    quint32 serial = 0;
    unsigned char fileId[16] = {};
    if (wide) {
        serial = quint32(full.VolumeSerialNumber);
        std::memcpy(fileId, full.FileId.Identifier, sizeof fileId);
    } else {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(handle, &info))
            return fail(error);
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

bool finalPath(HANDLE handle, std::wstring *path, SystemError &error);

bool identifyPath(const std::wstring &path, bool followLinks, QByteArray *id, Kind *kind, SystemError &error)
{
    const HANDLE handle = openToIdentify(path, followLinks);
    if (handle == INVALID_HANDLE_VALUE)
        return fail(error);
    const bool known = identityOf(handle, id, kind, followLinks, error);
    CloseHandle(handle);
    return known;
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
bool finalPath(HANDLE handle, std::wstring *path, SystemError &error)
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
bool eachEntry(const std::wstring &folder, Each each, SystemError &error)
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

// An entry's identity as a survey or a listing took it, with what Wine's
// identities of a folder's entries share: the volume's serial number, and
// the system's path of the folder (under Wine only).
struct Surveyed
{
    QByteArray id;
    QByteArray serial;
    std::wstring folder;
};

// The serial number with which the identities of entries on the volume of
// a folder, of identity id, begin.
QByteArray serialOf(const QByteArray &id)
{
    return id.left(sizeof(quint32));
}

// Under Wine, the identity of a file that lies on the volume of its folder,
// whose identity begins with serial: Wine's own answer is that serial, the
// Unix inode number and eight zero bytes, and only the serial costs a round
// trip to its mount manager.
bool onVolumeOf(HANDLE handle, const QByteArray &serial, QByteArray *id)
{
    // FileInternalInformation, which MinGW's headers do not name.
    const auto internal = FILE_INFORMATION_CLASS(6);
    IO_STATUS_BLOCK status;
    LARGE_INTEGER inode;
    if (serial.isEmpty() || NtQueryInformationFile(handle, &status, &inode, sizeof inode, internal) < 0)
        return false;
    *id = serial + QByteArray(reinterpret_cast<const char *>(&inode), sizeof inode) + QByteArray(8, '\0');
    return true;
}

// Whether the entry that handle holds, opened as name in its folder, is
// still the one surveyed. Under Wine an identity is the volume's serial
// number and the Unix inode number, and the serial costs a round trip to
// Wine's mount manager. The system's path of the entry tells whether a Unix
// link leads elsewhere: where links are not to be followed, such a link is
// never the entry surveyed, even when it leads to another name of the same
// file (Wine would delete that name). Where the path is the folder's and
// the entry's name, the entry lies on its folder's volume (unless a file
// system is mounted on the file itself, which only root can do and Wine
// does not see), and the inode number alone is asked. Anything else is
// asked in full.
bool isStill(HANDLE handle, const std::wstring &name, const Surveyed &surveyed, bool followLinks, SystemError &error)
{
    std::wstring reached;
    SystemError ignored;
    if (underWine() && !surveyed.folder.empty() && finalPath(handle, &reached, ignored)) {
        const bool direct = !throughUnixLink(surveyed.folder, name, reached);
        if (!direct && !followLinks)
            return changed(error);
        QByteArray now;
        if (direct && surveyed.id.startsWith(surveyed.serial) && onVolumeOf(handle, surveyed.serial, &now)
            && now == surveyed.id)
            return true;
    }
    QByteArray now;
    Kind kind = Kind::Missing;
    if (!identityOf(handle, &now, &kind, followLinks, error))
        return false;
    return now == surveyed.id || changed(error);
}

// The serial number and the system's path of the folder that handle holds,
// for isStill to check its entries against.
bool heldAt(HANDLE handle, QByteArray *serial, std::wstring *final, SystemError &error)
{
    QByteArray id;
    Kind kind = Kind::Missing;
    if (!identityOf(handle, &id, &kind, true, error) || !finalPath(handle, final, error))
        return false;
    *serial = serialOf(id);
    return true;
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
    HANDLE release()
    {
        const HANDLE handle = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        return handle;
    }
    void reset(HANDLE handle)
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
        m_handle = handle;
    }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// Opens or makes (as disposition says) the entry name of the folder that
// folder holds open. Only that one name is looked up, inside a folder
// already open: a folder on the way that is swapped for a junction once it
// was opened redirects nothing. Gives the system's error code, or 0.
DWORD createAt(HANDLE folder, const std::wstring &name, ACCESS_MASK access, ULONG share, ULONG disposition,
               ULONG options, Handle *opened)
{
    UNICODE_STRING object;
    object.Buffer = const_cast<PWSTR>(name.c_str());
    object.Length = object.MaximumLength = USHORT(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &object, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK status;
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS result = NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status, nullptr,
                                         FILE_ATTRIBUTE_NORMAL, share, disposition,
                                         options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (result < 0)
        return RtlNtStatusToDosError(result);
    opened->reset(handle);
    return ERROR_SUCCESS;
}

// Opens the entry itself, file, folder or link.
DWORD openAt(HANDLE folder, const std::wstring &name, ACCESS_MASK access, ULONG share, ULONG options, Handle *opened)
{
    return createAt(folder, name, access, share, FILE_OPEN,
                    options | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, opened);
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
    const ULONG size = ULONG(buffer.size() * sizeof(wchar_t));
    if (!folder)
        return SetFileInformationByHandle(handle, FileRenameInfo, rename, size);
    // A name relative to a folder goes to the system as it is: Wine's
    // SetFileInformationByHandle would first make it a full path from the
    // current folder. FILE_RENAME_INFORMATION is laid out as FILE_RENAME_INFO.
    const auto renameInformation = FILE_INFORMATION_CLASS(10);
    IO_STATUS_BLOCK status;
    const NTSTATUS result = NtSetInformationFile(handle, &status, rename, size, renameInformation);
    if (result < 0)
        SetLastError(RtlNtStatusToDosError(result));
    return result >= 0;
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
// stays. An entry that is not the one surveyed (when its identity is given)
// is left alone (changedCode), and a folder refused, as DeleteFile refuses
// it. Given attributes to keep, the file gets them back once its name is
// gone, for the names it has elsewhere. Gives the system's error code, or 0.
DWORD deleteNow(HANDLE folder, const std::wstring &name, const Surveyed &surveyed, const std::wstring &aside,
                DWORD keep)
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
    SystemError failure;
    Kind kind = Kind::Missing;
    if (!surveyed.id.isEmpty() && !isStill(handle.get(), name, surveyed, false, failure))
        return failure.code == Changed ? changedCode : DWORD(failure.code);
    if (surveyed.id.isEmpty() && !kindOf(handle.get(), &kind, nullptr))
        return GetLastError();
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

// Deletes the file or emptied folder that handle holds, with POSIX
// semantics where the system has them: its name goes when this handle does,
// although other programs (Explorer, indexers, scanners) may still look at
// it.
DWORD deleteHeld(HANDLE handle)
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
DWORD removeFileAt(HANDLE folder, const std::wstring &name, const Surveyed &surveyed, const std::wstring &aside)
{
    const DWORD code = soon([&] { return deleteNow(folder, name, surveyed, aside, 0); });
    if (code != ERROR_ACCESS_DENIED)
        return code;
    Facts info;
    {
        Handle handle;
        if (openForAttributes(folder, name, &handle) != ERROR_SUCCESS || !factsOf(handle.get(), &info)
            || !(info.attributes & FILE_ATTRIBUTE_READONLY)
            || !setAttributes(handle.get(), info.attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))
            return code;
    }
    const DWORD keep = info.links > 1 ? info.attributes : 0;
    const DWORD second = soon([&] { return deleteNow(folder, name, surveyed, aside, keep); });
    if (second != ERROR_SUCCESS) {
        Handle handle;
        if (openForAttributes(folder, name, &handle) == ERROR_SUCCESS)
            setAttributes(handle.get(), info.attributes);
    }
    return second;
}

// The same for an emptied folder, which its own handle deletes.
DWORD removeFolderAt(HANDLE handle, bool writable)
{
    const DWORD code = soon([&] { return deleteHeld(handle); });
    FILE_BASIC_INFO basic;
    if (code != ERROR_ACCESS_DENIED || !writable
        || !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)
        || !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY)
        || !setAttributes(handle, basic.FileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))
        return code;
    const DWORD second = soon([&] { return deleteHeld(handle); });
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
    SystemError ignored;
    return openAt(folder, name, FILE_READ_ATTRIBUTES, shareAll, 0, &handle) == ERROR_SUCCESS
           && (id.isEmpty() || (identityOf(handle.get(), &now, &kind, false, ignored) && now == id));
}

// Whether the system lets the entry name of folder be opened for access:
// only its own "access denied" says no, anything else is for the removal to
// meet.
bool grantsAt(HANDLE folder, const std::wstring &name, ACCESS_MASK access)
{
    Handle handle;
    return openAt(folder, name, access, shareAll, 0, &handle) != ERROR_ACCESS_DENIED;
}

// The entries of the folder that handle holds, each with the attributes and
// the reparse tag its listing gives; until each answers false.
template<typename Each>
DWORD eachListed(HANDLE folder, Each each)
{
    std::vector<char> buffer(64 * 1024);
    for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;; kind = FileIdBothDirectoryInfo) {
        if (!GetFileInformationByHandleEx(folder, kind, buffer.data(), DWORD(buffer.size()))) {
            const DWORD code = GetLastError();
            return code == ERROR_NO_MORE_FILES ? DWORD(ERROR_SUCCESS) : code;
        }
        for (std::size_t at = 0;;) {
            const auto *entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(buffer.data() + at);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            // A reparse point's listing gives its tag where other entries
            // give the size of their extended attributes.
            if (name != L"." && name != L".." && !each(name, entry->FileAttributes, DWORD(entry->EaSize)))
                return ERROR_SUCCESS;
            if (entry->NextEntryOffset == 0)
                break;
            at += entry->NextEntryOffset;
        }
    }
}

// What a survey notes of the entry name of folder, whose own path the
// system gives as final and whose identity begins with serial (both under
// Wine only), with the attributes and tag its listing gave it.
DWORD lookAt(HANDLE folder, const std::wstring &final, const QByteArray &serial, bool lettingGo,
             const std::wstring &name, DWORD attributes, DWORD tag, Node *node)
{
    node->name = bytes(name);
    node->kind = entryKind(attributes, tag);
    node->foreignLink = foreignLink(attributes, tag);
    Handle handle;
    DWORD code = openAt(folder, name, FILE_READ_ATTRIBUTES, shareAll, 0, &handle);
    if (code != ERROR_SUCCESS)
        return code;
    Kind kind = Kind::Missing;
    Facts info;
    std::wstring reached;
    SystemError failure;
    if (underWine() && !finalPath(handle.get(), &reached, failure))
        return DWORD(failure.code);
    const bool direct = !underWine() || !throughUnixLink(final, name, reached);
    if (node->kind != Kind::Link && !direct) {
        node->kind = Kind::Link;
        node->foreignLink = true;
    }
    // Wine lists a folder that another Linux file system is mounted on as it
    // lists a Unix link, a reparse point of tag 0; only a link leads
    // elsewhere.
    if (underWine() && node->foreignLink && direct && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        node->kind = Kind::Folder;
        node->foreignLink = false;
        node->mountPoint = true;
    }
    // A file reached by its own name lies on its folder's volume; a folder
    // may have another file system mounted on it, and is asked in full.
    const bool onFolderVolume = underWine() && node->kind == Kind::File && !node->foreignLink;
    const bool known = onFolderVolume && factsOf(handle.get(), &info) && onVolumeOf(handle.get(), serial, &node->id);
    if (!known && !identityOf(handle.get(), &node->id, &kind, false, failure, &info))
        return DWORD(failure.code);
    // Windows lets an entry go when it grants DELETE, or when its folder
    // grants FILE_DELETE_CHILD: the folder is asked once, and each of its
    // entries only where it says no.
    handle.reset(INVALID_HANDLE_VALUE);
    if (!lettingGo && !grantsAt(folder, name, DELETE))
        node->blocked = int(ERROR_ACCESS_DENIED);
    if (node->kind == Kind::File) {
        node->freed = info.size;
        node->names = info.links;
    }
    return ERROR_SUCCESS;
}

// What a folder that would not go still holds, once every entry surveyed
// in it was said to be removed. Wine says yes to a delete that Linux then
// refuses (in a folder the user may not change): such a file is named, and
// no longer counted as removed. Anything else there was never listed
// (under Wine, a Unix link that leads nowhere).
Code leftBehind(HANDLE folder, const Node &node, Stayed *stayed)
{
    // Only an entry of the identity surveyed was counted: another of its
    // name, made since, was not.
    Handle own;
    if (openAt(folder, wide(node.name), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, shareAll,
               FILE_DIRECTORY_FILE, &own)
        == ERROR_SUCCESS) {
        for (const Node &entry : node.children) {
            if (!stillThere(own.get(), wide(entry.name), entry.id))
                continue;
            if (stayed->counted++ == 0)
                stayed->name = entry.name;
        }
    }
    return stayed->counted > 0 ? LinuxKept : Unlisted;
}

} // namespace

bool SystemError::absent() const
{
    return DWORD(code) == ERROR_FILE_NOT_FOUND || DWORD(code) == ERROR_PATH_NOT_FOUND;
}

bool SystemError::inUse() const
{
    return code == HeldOpen || DWORD(code) == ERROR_SHARING_VIOLATION || DWORD(code) == ERROR_LOCK_VIOLATION;
}

bool SystemError::full() const
{
    return DWORD(code) == ERROR_DISK_FULL || DWORD(code) == ERROR_HANDLE_DISK_FULL;
}

bool SystemError::badName() const
{
    return DWORD(code) == ERROR_INVALID_NAME;
}

bool isGone(Code code)
{
    return DWORD(code) == ERROR_FILE_NOT_FOUND;
}

// Deeper than this, the walks stop rather than run out of stack.
int deepest()
{
    return 1024;
}

Dir::~Dir()
{
    close();
}

void Dir::close()
{
    if (m_handle != INVALID_HANDLE_VALUE)
        CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
}

Code Dir::open(const NativePath &path)
{
    close();
    m_path = wide(path);
    m_aside = m_path;
    Handle handle;
    if (const DWORD code = FileOps::openFolder(m_path, &handle))
        return Code(code);
    m_final.clear();
    m_serial.clear();
    SystemError failure;
    if (underWine() && !heldAt(handle.get(), &m_serial, &m_final, failure))
        return failure.code;
    const HANDLE deleting = CreateFileW(m_path.c_str(), FILE_DELETE_CHILD, shareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    m_lettingGo = deleting != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED;
    if (deleting != INVALID_HANDLE_VALUE)
        CloseHandle(deleting);
    m_handle = handle.release();
    return 0;
}

Code Dir::openHolder(const NativePath &path, Name *name, NativePath *parent)
{
    const std::wstring full = wide(path);
    // A drive's root lies in no folder, and is never removed.
    if (full.size() <= rootLength(full)) {
        if (parent)
            *parent = path;
        return Code(ERROR_ACCESS_DENIED);
    }
    std::wstring entry;
    const std::wstring folder = folderOf(full, &entry);
    *name = bytes(entry);
    if (parent)
        *parent = bytes(folder);
    const Code code = open(bytes(folder));
    // The folder's own absence is no entry's.
    return DWORD(code) == ERROR_FILE_NOT_FOUND ? Code(ERROR_PATH_NOT_FOUND) : code;
}

Code Dir::look(const Name &name, Node *node) const
{
    const std::wstring entry = wide(name);
    Handle handle;
    DWORD code = openAt(m_handle, entry, FILE_READ_ATTRIBUTES, shareAll, 0, &handle);
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (code == ERROR_SUCCESS && !GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &tag, sizeof tag))
        code = GetLastError();
    if (code != ERROR_SUCCESS)
        return Code(code);
    // Under Wine a Unix link to a folder opens as that folder: only the
    // folder's listing shows it as a link. The name opened may differ in
    // letter case from the one listed, which the system's path then has.
    std::wstring listedAs = entry;
    if (underWine()) {
        bool exact = false;
        eachListed(m_handle, [&](const std::wstring &listed, DWORD attributes, DWORD reparse) {
            exact = listed == entry;
            if (!exact && !namesClash(bytes(listed), name))
                return true;
            listedAs = listed;
            tag.FileAttributes = attributes;
            tag.ReparseTag = reparse;
            return !exact;
        });
    }
    const DWORD looked = lookAt(m_handle, m_final, m_serial, m_lettingGo, listedAs, tag.FileAttributes,
                                tag.ReparseTag, node);
    node->name = name;
    return Code(looked);
}

Code Dir::list(QList<Node> *entries, Name *at, bool foldersOnly) const
{
    DWORD failed = ERROR_SUCCESS;
    const DWORD code = eachListed(m_handle, [&](const std::wstring &name, DWORD attributes, DWORD tag) {
        if (foldersOnly && entryKind(attributes, tag) != Kind::Folder)
            return true;
        Node entry;
        failed = lookAt(m_handle, m_final, m_serial, m_lettingGo, name, attributes, tag, &entry);
        if (failed != ERROR_SUCCESS)
            *at = bytes(name);
        else
            entries->append(entry);
        return failed == ERROR_SUCCESS;
    });
    return Code(failed != ERROR_SUCCESS ? failed : code);
}

Code Dir::openFolder(const Node &node, bool toRemove, Dir *folder) const
{
    const std::wstring name = wide(node.name);
    const ACCESS_MASK access = (toRemove ? DELETE : 0) | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
    Handle own;
    folder->close();
    folder->m_writable = toRemove;
    DWORD code = openAt(m_handle, name, access | (toRemove ? FILE_WRITE_ATTRIBUTES : 0), shareAll,
                        FILE_DIRECTORY_FILE, &own);
    if (code == ERROR_ACCESS_DENIED && toRemove) {
        folder->m_writable = false;
        code = openAt(m_handle, name, access, shareAll, FILE_DIRECTORY_FILE, &own);
    }
    if (code == ERROR_DIRECTORY)
        return Changed;
    if (code != ERROR_SUCCESS)
        return Code(code);
    QByteArray id;
    Kind kind = Kind::Missing;
    SystemError failure;
    if (!identityOf(own.get(), &id, &kind, false, failure))
        return failure.code;
    if (id != node.id || kind != Kind::Folder)
        return Changed;
    folder->m_path = child(m_path, name);
    folder->m_aside = m_aside;
    folder->m_final.clear();
    folder->m_serial = serialOf(id);
    if (underWine() && !finalPath(own.get(), &folder->m_final, failure))
        return failure.code;
    if (!toRemove)
        folder->m_lettingGo = grantsAt(m_handle, name, FILE_DELETE_CHILD);
    folder->m_handle = own.release();
    return 0;
}

Code Dir::removeFile(const Name &name) const
{
    // A file held with deletion shared is moved aside within its own folder.
    const std::wstring entry = wide(name);
    const DWORD code = removeFileAt(m_handle, entry, Surveyed(), m_aside);
    // Wine says yes to a delete that Linux then refuses.
    if (code == ERROR_SUCCESS && underWine() && stillThere(m_handle, entry, QByteArray()))
        return Code(ERROR_ACCESS_DENIED);
    return Code(code);
}

Code Dir::remove(const Node &node) const
{
    const DWORD code = removeFileAt(m_handle, wide(node.name), Surveyed{node.id, m_serial, m_final}, m_aside);
    return code == changedCode ? Changed : Code(code);
}

Code Dir::removeEmptied(const Node &node, Dir &folder, Stayed *stayed) const
{
    DWORD code = removeFolderAt(folder.m_handle, folder.m_writable);
    folder.close();
    // Windows refuses to mark a folder that is not empty; Wine marks it, and
    // its removal then fails unseen when the handle goes.
    if (code == ERROR_SUCCESS && stillThere(m_handle, wide(node.name), node.id))
        code = ERROR_DIR_NOT_EMPTY;
    if (code == ERROR_DIR_NOT_EMPTY)
        return leftBehind(m_handle, node, stayed);
    return Code(code);
}

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

bool identify(const NativePath &path, Links links, QByteArray *id, Kind *kind, SystemError &error)
{
    return identifyPath(wide(path), links == Links::Followed, id, kind, error);
}

bool ancestry(const NativePath &folder, QList<QByteArray> *chain, SystemError &error)
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

bool reachedThrough(const NativePath &path, QList<QByteArray> *ids, SystemError &error)
{
    // Each folder on the way as written, and where it leads; the links of a
    // chain between are not read one by one here.
    for (const NativePath &step : prefixes(path)) {
        for (const bool follow : {false, true}) {
            QByteArray id;
            Kind kind = Kind::Missing;
            SystemError failure;
            if (!identifyPath(wide(step), follow, &id, &kind, failure)) {
                if (failure.absent())
                    return true;
                error = failure;
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

// Whether another program holds part of the file locked so that no other
// may read it, which the copy would meet only after the removal. A shared
// lock of the whole file is refused while any part is locked so; it goes
// with the handle.
bool lockedAgainstReading(HANDLE file)
{
    OVERLAPPED whole{};
    return !LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)
           && GetLastError() == ERROR_LOCK_VIOLATION;
}

bool listSource(const NativePath &folder, QList<SourceEntry> *entries, SystemError &error)
{
    entries->clear();
    // Listed from the folder's handle, and every entry opened relative to
    // it: a folder on the way swapped for a junction meanwhile redirects
    // nothing.
    Handle dir;
    DWORD code = openFolder(wide(folder), &dir);
    if (code != ERROR_SUCCESS)
        return fail(error, code);
    // Under Wine a Unix link to a file is listed as that file, and only the
    // path of what it opens tells. A file reached by its own name lies on
    // the folder's volume, and its identity needs only its inode number.
    QByteArray serial;
    std::wstring final;
    SystemError ignored;
    if (underWine() && !heldAt(dir.get(), &serial, &final, ignored))
        final.clear();
    auto direct = [&](HANDLE file, const std::wstring &name) {
        std::wstring reached;
        return !final.empty() && finalPath(file, &reached, ignored) && !throughUnixLink(final, name, reached);
    };
    bool ok = true;
    code = eachListed(
        dir.get(),
        [&](const std::wstring &name, DWORD attributes, DWORD tag) {
            SourceEntry entry;
            entry.name = bytes(name);
            entry.hidden = attributes & FILE_ATTRIBUTE_HIDDEN;
            entry.link = entryKind(attributes, tag) == Kind::Link;
            Kind kind = Kind::Missing;
            SystemError failure;
            // A file is opened for reading, as the copy will open it: one
            // handle answers both its identity and whether it can be read.
            // Links are followed, as the copy follows them.
            Handle file;
            DWORD opened = ERROR_FILE_NOT_FOUND;
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                opened = createAt(dir.get(), name, GENERIC_READ, shareAll, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT,
                                  &file);
                if (opened != ERROR_SUCCESS) {
                    fail(failure, opened);
                    entry.readError = failure.text();
                }
            }
            bool known = false;
            DWORD fileAttributes = 0;
            if (opened == ERROR_SUCCESS) {
                Facts info;
                const bool own = underWine() && direct(file.get(), name);
                known = own && factsOf(file.get(), &info) && !(info.attributes & FILE_ATTRIBUTE_DIRECTORY)
                        && onVolumeOf(file.get(), serial, &entry.id);
                if (known)
                    kind = Kind::File;
                else
                    known = identityOf(file.get(), &entry.id, &kind, true, failure, &info);
                entry.size = info.size;
                fileAttributes = info.attributes;
                // A Brask name could be a name only of a file with more than one.
                entry.ownName = known && !entry.link && (!underWine() || (info.links > 1 && own));
            } else if (!failure.absent()) {
                Handle any;
                const DWORD looked = createAt(dir.get(), name, FILE_READ_ATTRIBUTES, shareAll, FILE_OPEN,
                                              FILE_OPEN_FOR_BACKUP_INTENT, &any);
                known = looked == ERROR_SUCCESS ? identityOf(any.get(), &entry.id, &kind, true, failure)
                                                : fail(failure, looked);
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
                else if (opened == ERROR_SUCCESS && lockedAgainstReading(file.get()))
                    entry.readError = QStringLiteral("another program has locked part of it, most likely the "
                                                     "launcher or the game: close them, then run Re-install data "
                                                     "again");
            } else if (!entry.link && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                // Listed, yet not there when opened by that name (under Wine a
                // Unix name holding a backslash): a file the copy cannot read.
                entry.kind = Kind::File;
            } else if (!failure.absent()) {
                // A link to nothing is neither file nor folder; anything else
                // the system could not answer stops the plan.
                error = failure;
                ok = false;
            }
            entries->append(entry);
            return ok;
        });
    return ok && (code == ERROR_SUCCESS || fail(error, code));
}

bool namesClash(const Name &a, const Name &b)
{
    return CompareStringOrdinal(reinterpret_cast<const wchar_t *>(a.constData()), int(a.size() / 2),
                                reinterpret_cast<const wchar_t *>(b.constData()), int(b.size() / 2), TRUE)
           == CSTR_EQUAL;
}

// The folder is made relative to its parent's handle and held open from
// then on: every name is made, looked at and removed relative to it, so
// that a junction put in its place redirects nothing.
struct Rehearsal::Folder
{
    Handle handle;
    Handle parent;                  // the folder it was made in, which it may take a name in
    std::wstring path;
    QByteArray serial;              // what isStill checks the files made against, under Wine only
    std::wstring final;
    QList<std::wstring> made;
    QHash<Name, QByteArray> empty;  // each file made that no copy was written into, with its identity
    bool adopted = false;

    Surveyed asMade(const std::wstring &name) const { return Surveyed{empty.value(bytes(name)), serial, final}; }
    bool reopen(const std::wstring &name, Handle *file, SystemError &error) const;
    bool removeMade(const std::wstring &name, SystemError &error) const;
};

Rehearsal::Rehearsal() = default;

Rehearsal::~Rehearsal()
{
    SystemError ignored;
    close(ignored);
}

bool Rehearsal::open(const NativePath &parent, NativePath *where, SystemError &error)
{
    Handle holder;
    DWORD code = openFolder(wide(parent), &holder);
    if (code != ERROR_SUCCESS)
        return fail(error, code);
    static int counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring name = L".brask-repair-probe-" + std::to_wstring(GetCurrentProcessId()) + L"-"
                                  + std::to_wstring(++counter);
        std::unique_ptr<Folder> folder(new Folder);
        code = createAt(holder.get(), name,
                        DELETE | FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, shareAll,
                        FILE_CREATE, FILE_DIRECTORY_FILE, &folder->handle);
        if (code == ERROR_SUCCESS) {
            folder->path = child(wide(parent), name);
            *where = bytes(folder->path);
            folder->parent.reset(holder.release());
            m_folder = std::move(folder);
            return !underWine() || heldAt(m_folder->handle.get(), &m_folder->serial, &m_folder->final, error);
        }
        if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS)
            return fail(error, code);
    }
    return fail(error, ERROR_ALREADY_EXISTS);
}

bool Rehearsal::room(Room *room, SystemError &error)
{
    const HANDLE handle = m_folder->handle.get();
    // The room this user may still take, in the drive's clusters, and what
    // the file system is: FAT drives hold no file of 4 GiB or more, others
    // hold files larger than any drive.
    IO_STATUS_BLOCK status;
    FILE_FS_FULL_SIZE_INFORMATION size;
    NTSTATUS asked = NtQueryVolumeInformationFile(handle, &status, &size, sizeof size, FileFsFullSizeInformation);
    if (asked < 0)
        return fail(error, RtlNtStatusToDosError(asked));
    alignas(FILE_FS_ATTRIBUTE_INFORMATION) char attributes[sizeof(FILE_FS_ATTRIBUTE_INFORMATION) + MAX_PATH * 2];
    asked = NtQueryVolumeInformationFile(handle, &status, attributes, sizeof attributes, FileFsAttributeInformation);
    if (asked < 0)
        return fail(error, RtlNtStatusToDosError(asked));
    const auto *system = reinterpret_cast<const FILE_FS_ATTRIBUTE_INFORMATION *>(attributes);
    const std::wstring name(system->FileSystemName, system->FileSystemNameLength / sizeof(wchar_t));
    // The drive's serial number tells whether both folders take their room
    // from one drive. Wine has none for a Linux file system mounted where
    // its mount manager does not look (a second disk under Z:): such a
    // drive is counted as one with every other that has none.
    alignas(FILE_FS_VOLUME_INFORMATION) char label[sizeof(FILE_FS_VOLUME_INFORMATION) + MAX_PATH * 2];
    asked = NtQueryVolumeInformationFile(handle, &status, label, sizeof label, FileFsVolumeInformation);
    const bool serialKnown = asked != NTSTATUS(0xC0000002) /* STATUS_NOT_IMPLEMENTED */ || !underWine();
    if (asked < 0 && serialKnown)
        return fail(error, RtlNtStatusToDosError(asked));
    const auto *volume = reinterpret_cast<const FILE_FS_VOLUME_INFORMATION *>(label);
    room->drive = serialKnown ? QByteArray::number(quint32(volume->VolumeSerialNumber)) : QByteArray();
    room->unit = qint64(size.SectorsPerAllocationUnit) * size.BytesPerSector;
    room->free = size.CallerAvailableAllocationUnits.QuadPart * room->unit;
    room->largest = name.rfind(L"FAT", 0) == 0 ? qint64(0xFFFFFFFF) : std::numeric_limits<qint64>::max();
    room->limit = std::numeric_limits<qint64>::max();
    room->names = std::numeric_limits<qint64>::max();
    return true;
}

Rehearsal::Made Rehearsal::make(const SourceEntry &entry, bool grow, SystemError &error)
{
    const std::wstring name = wide(entry.name);
    Handle file;
    const DWORD code = createAt(m_folder->handle.get(), name, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, FILE_CREATE,
                                FILE_NON_DIRECTORY_FILE, &file);
    if (code != ERROR_SUCCESS) {
        fail(error, code);
        return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS              ? Made::Exists
               : code == ERROR_INVALID_NAME || code == ERROR_FILENAME_EXCED_RANGE ? Made::BadName
                                                                                 : Made::Refused;
    }
    m_folder->made.append(name);
    // The copy writes into this file only while it is still the one made.
    QByteArray id;
    Kind kind = Kind::Missing;
    const bool known = underWine()
                           ? onVolumeOf(file.get(), m_folder->serial, &id) || fail(error, ERROR_INVALID_FUNCTION)
                           : identityOf(file.get(), &id, &kind, false, error);
    if (!known || !CloseHandle(file.release())) {
        if (known)
            fail(error);
        return Made::Refused;
    }
    m_folder->empty.insert(entry.name, id);
    // Only a FAT drive's limit is asked for, and it is its file system's own.
    if (grow) {
        fail(error, ERROR_FILE_TOO_LARGE);
        return Made::TooLarge;
    }
    return Made::Yes;
}

bool Rehearsal::keepsHoles()
{
    // The copy writes every byte of a file here.
    return false;
}

bool Rehearsal::identify(const Name &name, QByteArray *id, SystemError &error)
{
    Handle handle;
    const DWORD code = openAt(m_folder->handle.get(), wide(name), FILE_READ_ATTRIBUTES, shareAll, 0, &handle);
    Kind kind = Kind::Missing;
    return code == ERROR_SUCCESS ? identityOf(handle.get(), id, &kind, false, error) : fail(error, code);
}

qint64 Rehearsal::size()
{
    // FAT and exFAT folders take clusters of their own; NTFS keeps small
    // ones in its file table and answers 0.
    FILE_STANDARD_INFO info;
    return GetFileInformationByHandleEx(m_folder->handle.get(), FileStandardInfo, &info, sizeof info)
               ? qint64(info.AllocationSize.QuadPart)
               : -1;
}

// Opens the file made as name for a copy to be written into it, when it is
// still the empty file made, with no other name and no other program at it.
bool Rehearsal::Folder::reopen(const std::wstring &name, Handle *file, SystemError &error) const
{
    if (!empty.contains(bytes(name)))
        return fail(error, ERROR_FILE_NOT_FOUND);
    const DWORD code = soon([&] {
        return openAt(handle.get(), name, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0,
                      FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, file);
    });
    if (code == ERROR_FILE_NOT_FOUND)
        return changed(error);
    if (code != ERROR_SUCCESS)
        return fail(error, code);
    Facts facts;
    if (!isStill(file->get(), name, asMade(name), false, error))
        return false;
    if (!factsOf(file->get(), &facts))
        return fail(error);
    const DWORD unlike = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    return (facts.size == 0 && facts.links == 1 && !(facts.attributes & unlike)) || changed(error);
}

// Removes the file made as name, when it is still the one made.
bool Rehearsal::Folder::removeMade(const std::wstring &name, SystemError &error) const
{
    Handle file;
    DWORD code = openAt(handle.get(), name, DELETE | FILE_READ_ATTRIBUTES, shareAll, FILE_NON_DIRECTORY_FILE, &file);
    if (code == ERROR_FILE_NOT_FOUND)
        return true;
    // One whose identity was never learnt was never written into either.
    const Surveyed made = asMade(name);
    if (code == ERROR_SUCCESS && !made.id.isEmpty() && !isStill(file.get(), name, made, false, error))
        return false;
    if (code == ERROR_SUCCESS)
        code = deleteHeld(file.get());
    if (code != ERROR_SUCCESS)
        return fail(error, code);
    // Wine deletes as the handle closes, and says yes to a delete that Linux
    // then refuses.
    file.reset(INVALID_HANDLE_VALUE);
    if (underWine() && stillThere(handle.get(), name, QByteArray())) {
        error = SystemError{LinuxKept};
        return false;
    }
    return true;
}

bool Rehearsal::adopt(const NativePath &path, SystemError &error)
{
    std::wstring name;
    folderOf(wide(path), &name);
    // Windows renames no folder while a file in it is open, and says so as
    // "Access is denied": a scanner may still be looking at one just made.
    DWORD code;
    for (int tries = 1;; ++tries) {
        code = renameTo(m_folder->handle.get(), m_folder->parent.get(), name) ? DWORD(ERROR_SUCCESS) : GetLastError();
        if (code == ERROR_SUCCESS || tries == 10 || (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION))
            break;
        Sleep(100);
    }
    if (code != ERROR_SUCCESS)
        return fail(error, code);
    m_folder->adopted = true;
    // Under Wine the path of each file in it is checked against the
    // folder's, which now has the new name in it; without it, each file is
    // asked its identity in full.
    SystemError unknown;
    if (underWine() && !finalPath(m_folder->handle.get(), &m_folder->final, unknown))
        m_folder->final.clear();
    return true;
}

bool Rehearsal::adopted() const
{
    return m_folder && m_folder->adopted;
}

bool Rehearsal::close(SystemError &error)
{
    if (!m_folder)
        return true;
    const std::unique_ptr<Folder> folder = std::move(m_folder);
    // An adopted folder is the new one: only what no copy was written into
    // goes, and only while it is still the file made; one that is not stays,
    // and the rest go all the same.
    if (folder->adopted) {
        bool removed = true;
        for (auto made = folder->empty.cbegin(); made != folder->empty.cend(); ++made) {
            SystemError failure;
            if (!folder->removeMade(wide(made.key()), failure) && removed) {
                removed = false;
                error = failure;
            }
        }
        return removed;
    }
    for (const std::wstring &name : std::as_const(folder->made)) {
        if (!folder->removeMade(name, error))
            return false;
    }
    // The folder goes when its handle does, once its files have gone.
    const DWORD code = soon([&] { return deleteHeld(folder->handle.get()); });
    if (code != ERROR_SUCCESS)
        return fail(error, code);
    folder->handle.reset(INVALID_HANDLE_VALUE);
    // Wine deletes by the name the folder had when it was opened, and says
    // nothing when that name no longer leads to it.
    if (underWine() && GetFileAttributesW(folder->path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        error = SystemError{LinuxKept};
        return false;
    }
    return true;
}

struct Source::Folder
{
    Handle handle;
    QByteArray serial; // under Wine only
    std::wstring final;
};

Source::Source() : m_folder(new Folder) {}

Source::~Source() = default;

bool Source::open(const NativePath &folder, SystemError &error)
{
    const DWORD code = openFolder(wide(folder), &m_folder->handle);
    if (code != ERROR_SUCCESS)
        return fail(error, code);
    return !underWine() || heldAt(m_folder->handle.get(), &m_folder->serial, &m_folder->final, error);
}

bool Source::asListed(const SourceEntry &entry, SystemError &error)
{
    // Links are followed, as the listing and the copy follow them.
    const std::wstring name = wide(entry.name);
    Handle file;
    const DWORD code = createAt(m_folder->handle.get(), name, FILE_READ_ATTRIBUTES, shareAll, FILE_OPEN,
                                FILE_OPEN_FOR_BACKUP_INTENT, &file);
    if (code != ERROR_SUCCESS)
        return fail(error, code);
    Facts info;
    if (!isStill(file.get(), name, Surveyed{entry.id, m_folder->serial, m_folder->final}, true, error)) {
        if (error.code == Changed)
            error = SystemError{Replaced};
        return false;
    }
    if (!factsOf(file.get(), &info))
        return fail(error);
    if (!(info.attributes & FILE_ATTRIBUTE_DIRECTORY) && info.size == entry.size)
        return true;
    error = SystemError{Replaced};
    return false;
}

bool processRunning(qint64 pid)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

bool listNames(const NativePath &folder, QList<Name> *names, SystemError &error)
{
    return eachEntry(
        wide(folder),
        [&](const std::wstring &name, DWORD, DWORD) {
            names->append(bytes(name));
            return true;
        },
        error);
}

bool makeFolder(const NativePath &path, SystemError &error)
{
    return CreateDirectoryW(wide(path).c_str(), nullptr) || fail(error);
}

struct Copier::Folders
{
    Handle from;
    Handle to;
    Rehearsal::Folder *into = nullptr; // the folder the copy was tried in, when it writes into its files
    std::vector<char> buffer;
    QByteArray serial; // the Ostrel folder's, under Wine only
    std::wstring final;

    bool begin(SystemError &error);
};

Copier::Copier() : m_folders(new Folders) {}

Copier::~Copier() = default;

bool Copier::open(const NativePath &from, const NativePath &to, SystemError &error)
{
    DWORD code = openFolder(wide(from), &m_folders->from);
    if (code == ERROR_SUCCESS)
        code = openFolder(wide(to), &m_folders->to);
    if (code != ERROR_SUCCESS)
        return fail(error, code);
    return m_folders->begin(error);
}

bool Copier::open(const NativePath &from, Rehearsal &into, SystemError &error)
{
    const DWORD code = openFolder(wide(from), &m_folders->from);
    if (code != ERROR_SUCCESS)
        return fail(error, code);
    m_folders->into = into.m_folder.get();
    return m_folders->begin(error);
}

bool Copier::Folders::begin(SystemError &error)
{
    if (underWine() && !heldAt(from.get(), &serial, &final, error))
        return false;
    // Reads and writes of 64 KiB, as CopyFileW's own: under Wine, 256 KiB
    // and 1 MiB made the copy slower.
    buffer.resize(1 << 16);
    return true;
}

namespace {

// Every byte of in, from its start, into out; copied counts them.
bool transfer(HANDLE in, HANDLE out, std::vector<char> &buffer, qint64 *copied)
{
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(in, buffer.data(), DWORD(buffer.size()), &read, nullptr))
            return false;
        if (read == 0)
            return true;
        DWORD written = 0;
        if (!WriteFile(out, buffer.data(), read, &written, nullptr))
            return false;
        if (written != read) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        *copied += read;
    }
}

// The copy gets its file's last write time and attributes, read-only among
// them, as CopyFileW gives them.
bool sameTimeAndAttributes(HANDLE out, const Facts &of)
{
    FILE_BASIC_INFO basic{};
    basic.LastWriteTime = of.lastWrite;
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM
                       | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    basic.FileAttributes = (of.attributes & kept) ? of.attributes & kept : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(out, FileBasicInfo, &basic, sizeof basic);
}

// Removes what a failed copy made, through its own handle.
void discard(HANDLE out)
{
    setAttributes(out, FILE_ATTRIBUTE_NORMAL);
    FILE_DISPOSITION_INFO classic{TRUE};
    SetFileInformationByHandle(out, FileDispositionInfo, &classic, sizeof classic);
}

} // namespace

bool Copier::copy(const Name &name, const QByteArray &id, qint64 size, SystemError &error)
{
    const std::wstring file = wide(name);
    // Only the file that was checked before the removal is copied, and it
    // is held from this check until its copy is made: opened without delete
    // sharing, it cannot be renamed, deleted or replaced by another program
    // in the meantime. A link in the Ostrel folder is copied as the file it
    // leads to, as the check saw it.
    Handle in;
    DWORD code = createAt(m_folders->from.get(), file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                          FILE_SEQUENTIAL_ONLY, &in);
    // One gone since the check was taken away by another program.
    if (code == ERROR_FILE_NOT_FOUND)
        return changed(error);
    if (code != ERROR_SUCCESS)
        return fail(error, code);
    Facts info;
    if (!isStill(in.get(), file, Surveyed{id, m_folders->serial, m_folders->final}, true, error))
        return false;
    if (!factsOf(in.get(), &info))
        return fail(error);
    Handle out;
    if (m_folders->into) {
        if (!m_folders->into->reopen(file, &out, error))
            return false;
    } else {
        code = createAt(m_folders->to.get(), file, GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                        FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, &out);
        if (code != ERROR_SUCCESS)
            return fail(error, code);
    }
    qint64 copied = 0;
    LARGE_INTEGER after{};
    bool ok = transfer(in.get(), out.get(), m_folders->buffer, &copied) && GetFileSizeEx(in.get(), &after);
    if (ok && (copied != size || after.QuadPart != size)) {
        // A file rewritten while it is copied (a patcher at work) gives a
        // copy of neither version.
        discard(out.get());
        error = SystemError{Rewritten};
        return false;
    }
    // Each copy goes to disk as soon as it is made, while its data is still
    // at hand, through the handle that wrote it.
    ok = ok && sameTimeAndAttributes(out.get(), info) && FlushFileBuffers(out.get());
    if (ok && !CloseHandle(out.release()))
        return fail(error);
    if (ok && m_folders->into)
        m_folders->into->empty.remove(name);
    if (ok)
        return true;
    fail(error);
    discard(out.get());
    return false;
}

bool Copier::finish(SystemError &error)
{
    // Each copy went to disk as it was made, and with each such flush NTFS
    // writes its journal, which holds the folder's entries.
    Q_UNUSED(error);
    return true;
}

} // namespace FileOps
