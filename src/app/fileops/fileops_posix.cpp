// The file routines on Linux, the one POSIX system they are written for
// (statx, copy_file_range, O_PATH). Names are bytes, as the kernel gives
// them, and every entry is reached relative to a folder held open, without
// following links, so that nothing swapped in between two calls redirects a
// removal.
#include "fileops/dir.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <limits>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace FileOps {

namespace {

bool fail(SystemError &error, int code)
{
    error = SystemError{code};
    return false;
}

bool changed(SystemError &error)
{
    error = SystemError{Changed};
    return false;
}

// A descriptor that is closed however the routine that holds it ends.
class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    // Closes it and says whether the close went well: for a file just
    // written, a late write error can show up here.
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

// Opens a folder for the *at calls alone: no permission to list it is needed.
const int searchOnly = O_PATH | O_DIRECTORY | O_CLOEXEC;

QByteArray identity(const struct stat &info)
{
    return QByteArray(reinterpret_cast<const char *>(&info.st_dev), sizeof info.st_dev)
           + QByteArray(reinterpret_cast<const char *>(&info.st_ino), sizeof info.st_ino);
}

Kind kindOf(mode_t mode)
{
    return S_ISDIR(mode) ? Kind::Folder : S_ISREG(mode) ? Kind::File : S_ISLNK(mode) ? Kind::Link : Kind::Other;
}

void split(const NativePath &path, NativePath *parent, Name *name)
{
    const int slash = path.lastIndexOf('/');
    *parent = slash < 0 ? NativePath(".") : slash == 0 ? NativePath("/") : path.left(slash);
    *name = path.mid(slash + 1);
}

// Looks at one entry of the folder dir, links not followed, and notes what
// removing it would meet: a file system mounted there (a bind mount of the
// same file system counts too), an entry marked immutable or append-only, a
// sticky folder's entry of another user's, a folder whose entries this user
// may not remove. The answers are the system's, asked before anything goes.
int look(int dir, const Name &name, dev_t device, mode_t mode, uid_t owner, Node *node)
{
    struct statx info {};
    if (::statx(dir, name.constData(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                STATX_TYPE | STATX_MODE | STATX_INO | STATX_UID | STATX_NLINK | STATX_BLOCKS, &info) != 0)
        return errno;
    auto has = [&](quint64 attribute) {
        return (info.stx_attributes_mask & attribute) && (info.stx_attributes & attribute);
    };
    struct stat same {};
    same.st_dev = makedev(info.stx_dev_major, info.stx_dev_minor);
    same.st_ino = info.stx_ino;
    node->name = name;
    node->kind = kindOf(info.stx_mode);
    node->id = identity(same);
    node->mountPoint = same.st_dev != device || has(STATX_ATTR_MOUNT_ROOT);
    if (node->kind == Kind::File && (info.stx_mask & STATX_BLOCKS)) {
        node->freed = qint64(info.stx_blocks) * 512;
        node->names = info.stx_nlink;
    }
    const uid_t user = ::geteuid();
    if (has(STATX_ATTR_IMMUTABLE) || has(STATX_ATTR_APPEND)
        || ((mode & S_ISVTX) && user != 0 && info.stx_uid != user && owner != user))
        node->blocked = EPERM;
    else if (node->kind == Kind::Folder && !node->mountPoint
             && ::faccessat(dir, name.constData(), W_OK | X_OK, AT_EACCESS) != 0)
        node->keepsEntries = errno;
    return 0;
}

// Calls each with the name and type of every entry of dir but "." and "..",
// until it answers an error code; gives that code, readdir's own, or 0.
template<typename Each>
int eachEntry(DIR *dir, Each each)
{
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry)
            return errno;
        const Name name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        if (const int code = each(name))
            return code;
    }
}

// A listing of the folder fd holds, from its start, through a descriptor
// of its own. A folder opened only to be searched (O_PATH) is opened again
// to be read: that needs permission to search it, which one opened to be
// read may lack (an empty folder of mode 0444 lists, but cannot be opened
// again from within).
DIR *listing(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    const int own = flags < 0                ? -1
                    : (flags & O_PATH) != 0 ? ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                             : ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR *dir = own < 0 ? nullptr : ::fdopendir(own);
    if (!dir) {
        const int code = errno;
        if (own >= 0)
            ::close(own);
        errno = code;
        return nullptr;
    }
    // A duplicate shares its position with the descriptor it came from.
    ::rewinddir(dir);
    return dir;
}

// The answers of copy_file_range and sendfile that say the call cannot be
// used here, not that the data cannot be read or written.
bool kernelCopyUnavailable(int code)
{
    return code == EXDEV || code == ENOSYS || code == EINVAL || code == EOPNOTSUPP || code == EPERM || code == EBADF
           || code == ETXTBSY;
}

// Copies what in holds to out, as fast as the kernel can: within the file
// system where it may, else through the page cache, else by hand.
bool transfer(int in, int out, qint64 *copied, int *code)
{
    const size_t chunk = size_t(1) << 30;
    bool first = true;
    for (;;) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, chunk, 0);
        if (n > 0) {
            first = false;
            *copied += n;
            continue;
        }
        if (n == 0 && !first)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        // Nothing was copied: some file systems answer an empty result or
        // one of these errors where they cannot do it, and sandboxes (seccomp
        // filters in Flatpak or containers) answer EPERM; try the next way.
        if (first && (n == 0 || kernelCopyUnavailable(errno)))
            break;
        *code = errno;
        return false;
    }
    first = true;
    for (;;) {
        const ssize_t n = ::sendfile(out, in, nullptr, chunk);
        if (n > 0) {
            first = false;
            *copied += n;
            continue;
        }
        if (n == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (first && kernelCopyUnavailable(errno))
            break;
        *code = errno;
        return false;
    }
    char buffer[128 * 1024];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *code = errno;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t written = ::write(out, buffer + done, size_t(n - done));
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                *code = errno;
                return false;
            }
            done += written;
        }
        *copied += n;
    }
}

// The runs of data of the file in, of size bytes, as the copy below finds
// them: stored receives their bytes and runs their number, or stays -1 when
// the system finds no hole. Only the system's own answer counts: a file
// system that stores files compressed takes fewer blocks than their size
// without a hole, and its copy is written whole.
void dataRuns(int in, qint64 size, qint64 *stored, qint64 *runs)
{
    const off_t firstHole = ::lseek(in, 0, SEEK_HOLE);
    if (firstHole < 0 || firstHole >= size)
        return;
    qint64 bytes = 0;
    qint64 count = 0;
    for (off_t at = 0; at < size;) {
        const off_t data = ::lseek(in, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break;
        const off_t hole = data < 0 ? -1 : ::lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            return;
        bytes += hole - data;
        ++count;
        at = hole;
    }
    *stored = bytes;
    *runs = count;
}

// Copies in, of size bytes, to out with its holes kept: a file without one
// goes as transfer copies it, and one with holes has each run of data
// written where it lies, then is given its length. copied receives the
// length reached, so that a file that shrinks meanwhile is known.
bool transferKeepingHoles(int in, int out, qint64 size, qint64 *copied, int *code)
{
    const off_t firstHole = ::lseek(in, 0, SEEK_HOLE);
    if (firstHole < 0 || firstHole >= size) {
        // No hole, or a file system that cannot say: it is all data.
        if (firstHole >= 0 && ::lseek(in, 0, SEEK_SET) != 0) {
            *code = errno;
            return false;
        }
        return transfer(in, out, copied, code);
    }
    auto failed = [code] {
        *code = errno;
        return false;
    };
    char buffer[128 * 1024];
    off_t at = 0; // everything before is copied, or a hole
    for (bool shrank = false; !shrank;) {
        const off_t data = ::lseek(in, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO) {
            // Nothing but a hole up to the end.
            const off_t end = ::lseek(in, 0, SEEK_END);
            if (end < 0)
                return failed();
            at = std::max(at, end);
            break;
        }
        const off_t hole = data < 0 ? -1 : ::lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            return failed();
        at = data;
        while (at < hole) {
            const ssize_t n = ::pread(in, buffer, size_t(std::min<off_t>(sizeof buffer, hole - at)), at);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return failed();
            if (n == 0) {
                shrank = true;
                break;
            }
            for (ssize_t done = 0; done < n;) {
                const ssize_t written = ::pwrite(out, buffer + done, size_t(n - done), at + done);
                if (written < 0 && errno == EINTR)
                    continue;
                if (written <= 0) {
                    // Nothing written without an error: the drive took no more.
                    *code = written < 0 ? errno : ENOSPC;
                    return false;
                }
                done += written;
            }
            at += n;
        }
    }
    if (::ftruncate(out, at) != 0)
        return failed();
    *copied += at;
    return true;
}

} // namespace

bool SystemError::absent() const
{
    return code == ENOENT || code == ENOTDIR;
}

bool SystemError::inUse() const
{
    return code == HeldOpen;
}

bool SystemError::full() const
{
    return code == ENOSPC || code == EDQUOT;
}

bool SystemError::badName() const
{
    return false;
}

bool isGone(Code code)
{
    return code == ENOENT;
}

// Deeper than this, the walks stop rather than run out of stack. Each
// folder on the way down is held open, so a walk also stops short of this
// process's limit of open files (1,024 on many desktops), with room left for
// the program's own.
int deepest()
{
    rlimit files {};
    const rlim_t limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : 1024;
    return int(std::min<rlim_t>(1024, limit > 128 ? limit - 64 : limit / 2));
}

Dir::~Dir()
{
    close();
}

void Dir::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

// Only what a folder's entries are judged by is kept of it.
Code Dir::take(int fd, QByteArray *id)
{
    close();
    struct stat info {};
    if (fd < 0)
        return errno;
    if (::fstat(fd, &info) != 0) {
        const Code code = errno;
        ::close(fd);
        return code;
    }
    m_fd = fd;
    m_device = info.st_dev;
    m_mode = info.st_mode;
    m_owner = info.st_uid;
    if (id)
        *id = identity(info);
    return 0;
}

Code Dir::open(const NativePath &path)
{
    // Opened for the *at calls alone: no permission to list it is needed.
    return take(::open(path.constData(), searchOnly));
}

Code Dir::openHolder(const NativePath &path, Name *name, NativePath *parent)
{
    NativePath folder;
    split(path, &folder, name);
    if (parent)
        *parent = folder;
    return open(folder);
}

Code Dir::look(const Name &name, Node *node) const
{
    return FileOps::look(m_fd, name, dev_t(m_device), mode_t(m_mode), uid_t(m_owner), node);
}

Code Dir::list(QList<Node> *entries, Name *at, bool foldersOnly) const
{
    // Every entry is looked at: only that tells folders apart here.
    Q_UNUSED(foldersOnly);
    DIR *dir = listing(m_fd);
    if (!dir)
        return errno;
    const Code code = eachEntry(dir, [&](const Name &name) {
        Node entry;
        const Code code = look(name, &entry);
        if (code != 0)
            *at = name;
        else
            entries->append(entry);
        return code;
    });
    ::closedir(dir);
    return code;
}

Code Dir::openFolder(const Node &node, bool toRemove, Dir *folder) const
{
    Q_UNUSED(toRemove);
    const int fd = ::openat(m_fd, node.name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // Something else now stands where the surveyed folder stood: a file or
    // a link, which the open refused, or another folder.
    if (fd < 0)
        return errno == ENOTDIR || errno == ELOOP ? Changed : errno;
    QByteArray id;
    const Code code = folder->take(fd, &id);
    return code != 0 ? code : id == node.id ? 0 : Changed;
}

Code Dir::remove(const Node &node) const
{
    // Only the entry surveyed goes: one that took its name since (a file
    // saved again, a link) is not the program's to remove. POSIX has no
    // removal of an entry by its identity; this looks just before.
    struct stat info {};
    if (::fstatat(m_fd, node.name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    return identity(info) == node.id ? removeFile(node.name) : Changed;
}

Code Dir::removeFile(const Name &name) const
{
    // A link goes as a link: unlinkat never follows one. Unix asks the
    // folder, not the file, whether an entry may go, so a read-only file
    // needs no second try.
    return ::unlinkat(m_fd, name.constData(), 0) == 0 ? 0 : errno;
}

// Says why a folder whose surveyed entries are all gone is still not empty.
// A FUSE drive keeps a file that another program holds open under a
// .fuse_hidden name until it is closed: that file is named as held, found
// by its identity. Anything else was never listed.
static Code whyNotEmpty(int fd, const Node &node, Stayed *stayed)
{
    Code why = Unlisted;
    if (DIR *dir = listing(fd)) {
        eachEntry(dir, [&](const Name &name) {
            struct stat info {};
            if (!name.startsWith(".fuse_hidden")
                || ::fstatat(::dirfd(dir), name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                return 0;
            why = HeldOpen;
            stayed->name = name;
            for (const Node &child : node.children) {
                if (child.id == identity(info))
                    stayed->name = child.name;
            }
            return -1;
        });
        ::closedir(dir);
    }
    return why;
}

Code Dir::removeEmptied(const Node &node, Dir &folder, Stayed *stayed) const
{
    if (::unlinkat(m_fd, node.name.constData(), AT_REMOVEDIR) == 0)
        return 0;
    if (errno == ENOTEMPTY || errno == EEXIST)
        return whyNotEmpty(folder.m_fd, node, stayed);
    return errno;
}

QString cleanPath(const QString &typed)
{
    // ".." stays: the system resolves it from where a link on the way really
    // leads, which the text cannot tell.
    QStringList parts;
    for (const QString &part : typed.split(QLatin1Char('/'))) {
        if (!part.isEmpty() && part != QLatin1String("."))
            parts << part;
    }
    const QString path = parts.join(QLatin1Char('/'));
    if (typed.startsWith(QLatin1Char('/')))
        return QLatin1Char('/') + path;
    return path.isEmpty() && !typed.isEmpty() ? QStringLiteral(".") : path;
}

NativePath toNative(const QString &path)
{
    return QFile::encodeName(path);
}

bool exactPath(const QString &path)
{
    return !path.contains(QChar::ReplacementCharacter) && QFile::decodeName(QFile::encodeName(path)) == path;
}

QString shownName(const Name &name)
{
    return QFile::decodeName(name);
}

Name nameOf(const QString &name)
{
    return QFile::encodeName(name);
}

NativePath joined(const NativePath &folder, const Name &name)
{
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

bool environmentFolder(const char *variable, NativePath *folder)
{
    *folder = qgetenv(variable);
    return folder->startsWith('/');
}

bool identify(const NativePath &path, Links links, QByteArray *id, Kind *kind, SystemError &error)
{
    struct stat info {};
    if ((links == Links::Followed ? ::stat(path.constData(), &info) : ::lstat(path.constData(), &info)) != 0)
        return fail(error, errno);
    *id = identity(info);
    *kind = kindOf(info.st_mode);
    return true;
}

bool ancestry(const NativePath &folder, QList<QByteArray> *chain, SystemError &error)
{
    // The system resolves every ".." from where the folder really lies, after
    // any link on the way; the root is its own parent.
    NativePath path = folder;
    QByteArray previous;
    for (;;) {
        QByteArray id;
        Kind kind = Kind::Missing;
        if (!identify(path, Links::Followed, &id, &kind, error))
            return false;
        if (id == previous)
            return true;
        chain->append(id);
        previous = id;
        path += "/..";
    }
}

bool reachedThrough(const NativePath &path, QList<QByteArray> *ids, SystemError &error)
{
    // Every link met on the way is followed by hand, so that each one it
    // leads through is seen; a chain longer than the kernel's own limit is
    // the kernel's to refuse.
    QList<NativePath> pending{path};
    for (int hops = 0; !pending.isEmpty() && hops < 40; ++hops) {
        const NativePath next = pending.takeFirst();
        for (const NativePath &step : prefixes(next)) {
            struct stat info {};
            if (::lstat(step.constData(), &info) != 0)
                return errno == ENOENT || errno == ENOTDIR || errno == ELOOP || fail(error, errno);
            ids->append(identity(info));
            if (!S_ISLNK(info.st_mode))
                continue;
            QByteArray target(PATH_MAX, '\0');
            const ssize_t size = ::readlink(step.constData(), target.data(), size_t(target.size()));
            if (size < 0)
                return fail(error, errno);
            target.truncate(int(size));
            NativePath parent;
            Name name;
            split(step, &parent, &name);
            pending.append(target.startsWith('/') ? target : joined(parent, target));
            if (::stat(step.constData(), &info) == 0)
                ids->append(identity(info));
        }
    }
    return true;
}

QList<NativePath> prefixes(const NativePath &path)
{
    // A relative path starts from the current folder.
    QList<NativePath> result{path.startsWith('/') ? NativePath("/") : NativePath(".")};
    NativePath prefix = path.startsWith('/') ? NativePath("/") : NativePath();
    for (const QByteArray &part : path.split('/')) {
        if (part.isEmpty())
            continue;
        prefix += prefix.isEmpty() || prefix.endsWith('/') ? part : '/' + part;
        result.append(prefix);
    }
    return result;
}

bool listSource(const NativePath &folder, QList<SourceEntry> *entries, SystemError &error)
{
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return fail(error, errno);
    entries->clear();
    struct stat here {};
    if (::fstat(::dirfd(dir), &here) != 0) {
        const int code = errno;
        ::closedir(dir);
        return fail(error, code);
    }
    const int code = eachEntry(dir, [&](const Name &name) {
        SourceEntry source;
        source.name = name;
        source.hidden = name.startsWith('.');
        struct statx own {};
        if (::statx(::dirfd(dir), name.constData(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &own) != 0)
            return errno;
        source.link = S_ISLNK(own.stx_mode);
        // One of the file's own names: no link, and no file mounted here from
        // elsewhere (a bind mount), which is a way to that file and keeps its
        // room when its other name goes. A system that cannot say whether it
        // is mounted here gives no such answer.
        source.ownName = !source.link && (own.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)
                         && !(own.stx_attributes & STATX_ATTR_MOUNT_ROOT)
                         && makedev(own.stx_dev_major, own.stx_dev_minor) == here.st_dev;
        struct stat info {};
        if (::fstatat(::dirfd(dir), name.constData(), &info, 0) == 0) {
            source.kind = S_ISDIR(info.st_mode) ? Kind::Folder : S_ISREG(info.st_mode) ? Kind::File : Kind::Other;
            source.id = identity(info);
            source.size = info.st_size;
            source.mode = info.st_mode & 0777;
            // Asked now, as the copy will open it, while nothing is removed yet.
            if (source.kind == Kind::File) {
                Fd file(::openat(::dirfd(dir), name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
                if (!file.valid())
                    source.readError = qt_error_string(errno);
                else if (qint64(info.st_blocks) * 512 < info.st_size)
                    dataRuns(file.get(), info.st_size, &source.stored, &source.runs);
            }
        } else if (errno != ENOENT && errno != ELOOP) {
            // A link to nothing, or a loop of links, is neither file nor
            // folder; anything else the system could not answer stops the plan.
            return errno;
        }
        entries->append(source);
        return 0;
    });
    ::closedir(dir);
    return code == 0 || fail(error, code);
}

bool namesClash(const Name &a, const Name &b)
{
    Q_UNUSED(a);
    Q_UNUSED(b);
    return false;
}

struct Rehearsal::Folder
{
    Fd parent;
    Fd dir;
    Name name;
    QList<Name> made;
    // An empty file made here that later names are linked to, while the
    // drive takes links: a name costs no file of its own then.
    Name linkedTo;
    bool links = true;
};

Rehearsal::Rehearsal() = default;

Rehearsal::~Rehearsal()
{
    SystemError ignored;
    close(ignored);
}

bool Rehearsal::open(const NativePath &parent, NativePath *where, SystemError &error)
{
    // A file grown here past the file-size limit is to fail with EFBIG, not
    // to end the program with the folder left behind.
    ::signal(SIGXFSZ, SIG_IGN);
    std::unique_ptr<Folder> folder(new Folder);
    folder->parent.reset(::open(parent.constData(), searchOnly));
    if (!folder->parent.valid())
        return fail(error, errno);
    static int counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        folder->name = ".brask-repair-probe-" + QByteArray::number(::getpid()) + '-' + QByteArray::number(++counter);
        if (::mkdirat(folder->parent.get(), folder->name.constData(), 0700) == 0) {
            folder->dir.reset(::openat(folder->parent.get(), folder->name.constData(),
                                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            const int code = errno;
            m_folder = std::move(folder);
            *where = joined(parent, m_folder->name);
            return m_folder->dir.valid() || fail(error, code);
        }
        if (errno != EEXIST)
            return fail(error, errno);
    }
    return fail(error, EEXIST);
}

bool Rehearsal::room(Room *room, SystemError &error)
{
    struct statvfs drive {};
    struct stat info {};
    if (::fstatvfs(m_folder->dir.get(), &drive) != 0 || ::fstat(m_folder->dir.get(), &info) != 0)
        return fail(error, errno);
    room->drive = QByteArray::number(quint64(info.st_dev));
    room->unit = qint64(drive.f_frsize ? drive.f_frsize : drive.f_bsize);
    room->free = qint64(drive.f_bavail) * room->unit;
    // The folder the copy is tried in goes before the copy.
    room->names = drive.f_files ? qint64(drive.f_favail) + 1 : std::numeric_limits<qint64>::max();
    // The largest size the file system promises: past it, each file is
    // asked about. The C library answers 32 bits for every file system it
    // does not know (tmpfs, FUSE drives) as for FAT, whose limit is 4 GiB
    // less a byte, so files up to that size are not asked about: growing
    // one costs a write of its size on drives that keep no sparse files.
    const long bits = ::fpathconf(m_folder->dir.get(), _PC_FILESIZEBITS);
    room->largest = bits > 0 && bits < 64 ? std::max((qint64(1) << (bits - 1)) - 1, qint64(0xFFFFFFFF))
                                          : std::numeric_limits<qint64>::max();
    rlimit limit {};
    room->limit = ::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                      ? qint64(limit.rlim_cur)
                      : std::numeric_limits<qint64>::max();
    return true;
}

Rehearsal::Made Rehearsal::make(const SourceEntry &entry, bool grow, SystemError &error)
{
    // A link makes the name in the folder as a file would, so the drive's
    // answer about the name is the same. Making a file for every name, then
    // removing them, made each later new file slow on ext4 without a
    // journal, which passes over every file removed in the last minutes.
    // On any answer but that the name is taken, the file is made instead.
    const int dir = m_folder->dir.get();
    if (!grow && m_folder->links && !m_folder->linkedTo.isEmpty()) {
        if (::linkat(dir, m_folder->linkedTo.constData(), dir, entry.name.constData(), 0) == 0) {
            m_folder->made.append(entry.name);
            return Made::Yes;
        }
        if (errno == EEXIST) {
            fail(error, errno);
            return Made::Exists;
        }
        m_folder->links = false;
    }
    Fd file(::openat(dir, entry.name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                     mode_t(entry.mode)));
    if (!file.valid()) {
        // The folder is held open: a name it says is not there, or is not
        // valid, is one the file system cannot hold (exFAT takes no ':').
        const int code = errno;
        fail(error, code);
        // A folder that another program removed takes no name either.
        struct stat folder {};
        if (code == ENOENT && ::fstat(dir, &folder) == 0 && folder.st_nlink == 0)
            return Made::Refused;
        return code == EEXIST                                                             ? Made::Exists
               : code == ENOENT || code == EINVAL || code == EILSEQ || code == ENAMETOOLONG ? Made::BadName
                                                                                          : Made::Refused;
    }
    m_folder->made.append(entry.name);
    // Past the size the drive takes, ftruncate answers EFBIG, which the
    // copy's own write would meet after the removal. A drive that has not
    // the room to grow it beside the old files took the size: the room is
    // counted apart.
    if (grow && ::ftruncate(file.get(), entry.size) != 0 && errno != ENOSPC && errno != EDQUOT) {
        const int code = errno;
        fail(error, code);
        return code == EFBIG ? Made::TooLarge : Made::Refused;
    }
    if (!file.close()) {
        fail(error, errno);
        return Made::Refused;
    }
    if (!grow && m_folder->linkedTo.isEmpty())
        m_folder->linkedTo = entry.name;
    return Made::Yes;
}

bool Rehearsal::keepsHoles()
{
    // A file given a size but no data takes no room where holes are kept.
    // The name starts with a dot: no Ostrel file of such a name is copied.
    const int dir = m_folder->dir.get();
    const char name[] = ".holes";
    Fd file(::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!file.valid())
        return false;
    const qint64 size = 1 << 20;
    struct stat info {};
    const bool kept = ::ftruncate(file.get(), size) == 0 && ::fstat(file.get(), &info) == 0
                      && qint64(info.st_blocks) * 512 < size;
    file.reset();
    // One that stays makes the folder's own removal fail, which refuses
    // the repair.
    ::unlinkat(dir, name, 0);
    return kept;
}

bool Rehearsal::identify(const Name &name, QByteArray *id, SystemError &error)
{
    struct stat info {};
    if (::fstatat(m_folder->dir.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(error, errno);
    *id = identity(info);
    return true;
}

qint64 Rehearsal::size()
{
    struct stat info {};
    if (::fstat(m_folder->dir.get(), &info) != 0)
        return -1;
    return std::max(qint64(info.st_size), qint64(info.st_blocks) * 512);
}

bool Rehearsal::close(SystemError &error)
{
    if (!m_folder)
        return true;
    const std::unique_ptr<Folder> folder = std::move(m_folder);
    for (const Name &name : std::as_const(folder->made)) {
        if (::unlinkat(folder->dir.get(), name.constData(), 0) != 0 && errno != ENOENT)
            return fail(error, errno);
    }
    folder->dir.reset();
    return ::unlinkat(folder->parent.get(), folder->name.constData(), AT_REMOVEDIR) == 0 || fail(error, errno);
}

struct Source::Folder
{
    Fd dir;
};

Source::Source() : m_folder(new Folder) {}

Source::~Source() = default;

bool Source::open(const NativePath &folder, SystemError &error)
{
    m_folder->dir.reset(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return m_folder->dir.valid() || fail(error, errno);
}

bool Source::asListed(const SourceEntry &entry, SystemError &error)
{
    const int dir = m_folder->dir.get();
    struct stat info {};
    if (::fstatat(dir, entry.name.constData(), &info, 0) != 0)
        return fail(error, errno);
    if (identity(info) != entry.id || !S_ISREG(info.st_mode) || info.st_size != entry.size) {
        error = SystemError{Replaced};
        return false;
    }
    // A file with holes that took data in them since would need more room
    // than was counted.
    if (entry.stored < 0)
        return true;
    Fd file(::openat(dir, entry.name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid() || ::fstat(file.get(), &info) != 0)
        return fail(error, errno);
    qint64 stored = -1;
    qint64 runs = 0;
    dataRuns(file.get(), entry.size, &stored, &runs);
    if (identity(info) == entry.id && stored >= 0 && stored <= entry.stored && runs <= entry.runs)
        return true;
    error = SystemError{Replaced};
    return false;
}

bool processRunning(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

bool listNames(const NativePath &folder, QList<Name> *names, SystemError &error)
{
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return fail(error, errno);
    const int code = eachEntry(dir, [&](const Name &name) {
        names->append(name);
        return 0;
    });
    ::closedir(dir);
    return code == 0 || fail(error, code);
}

bool makeFolder(const NativePath &path, SystemError &error)
{
    return ::mkdir(path.constData(), 0777) == 0 || fail(error, errno);
}

struct Copier::Folders
{
    Fd from;
    Fd to;
    Fd toParent;
};

Copier::Copier() : m_folders(new Folders) {}

Copier::~Copier() = default;

bool Copier::open(const NativePath &from, const NativePath &to, SystemError &error)
{
    // A write past the file-size limit is to fail with EFBIG, as any other
    // failed write does, not to end the program with a copy half-written.
    ::signal(SIGXFSZ, SIG_IGN);
    NativePath parent;
    Name name;
    split(to, &parent, &name);
    // Opened before anything is written into it: the file system's flush
    // through this descriptor then reports every write-back error since.
    m_folders->from.reset(::open(from.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_folders->from.valid())
        return fail(error, errno);
    m_folders->to.reset(::open(to.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_folders->to.valid())
        return fail(error, errno);
    m_folders->toParent.reset(::open(parent.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return m_folders->toParent.valid() || fail(error, errno);
}

bool Copier::copy(const Name &name, const QByteArray &id, qint64 size, SystemError &error)
{
    // Opened without waiting: a named pipe swapped in would block the open
    // until a writer came, before its identity could be compared.
    Fd in(::openat(m_folders->from.get(), name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    // One gone since the check was taken away by another program.
    if (!in.valid())
        return errno == ENOENT ? changed(error) : fail(error, errno);
    struct stat info {};
    if (::fstat(in.get(), &info) != 0)
        return fail(error, errno);
    // Only the file that was checked before the removal is copied.
    if (identity(info) != id || !S_ISREG(info.st_mode))
        return changed(error);
    const int flags = ::fcntl(in.get(), F_GETFL);
    if (flags < 0 || ::fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return fail(error, errno);
    // The permission bits only, as cp without -p gives them: never
    // set-user-id, set-group-id or sticky, so that a repair run as root does
    // not make Ostrel's programs run as root. Given at the create, as the
    // rehearsal gave them, a drive that keeps no modes takes them too.
    Fd out(::openat(m_folders->to.get(), name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    info.st_mode & 0777));
    if (!out.valid())
        return fail(error, errno);
    int code = 0;
    qint64 copied = 0;
    if (transferKeepingHoles(in.get(), out.get(), size, &copied, &code)) {
        // A file rewritten while it is copied (a patcher at work) gives a
        // copy of neither version.
        if (::fstat(in.get(), &info) != 0)
            code = errno;
        else if (copied != size || info.st_size != size)
            code = Rewritten;
        else if (!out.close())
            code = errno;
        else
            return true;
    }
    out.reset();
    ::unlinkat(m_folders->to.get(), name.constData(), 0);
    return fail(error, code);
}

bool Copier::finish(SystemError &error)
{
    // One flush of the file system writes every copy's data, and reports any
    // write-back error since the folder was opened; then the folder's names
    // and the folder's own entry in its parent.
    if (::syncfs(m_folders->to.get()) != 0 || ::fsync(m_folders->to.get()) != 0
        || ::fsync(m_folders->toParent.get()) != 0)
        return fail(error, errno);
    return true;
}

} // namespace FileOps
