#include "testsupport.h"

#include "braskrepair.h"
#include "fileops/fileops.h"

#include <QAbstractButton>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScopedValueRollback>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <vector>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#endif

#ifdef Q_OS_LINUX
#include <dlfcn.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#endif

TestSandbox::TestSandbox()
{
#ifdef SIGXFSZ
    // A copy cut short by a file-size limit must fail, not kill the test.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    const QString base = m_dir.path();
    QDir(base).mkpath(QStringLiteral("work"));
    QDir(base).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(base + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(base + QStringLiteral("/runtime")));
    qputenv("LOCALAPPDATA", QFile::encodeName(base + QStringLiteral("/local")));
    qputenv("APPDATA", QFile::encodeName(base + QStringLiteral("/roaming")));
    m_oldCurrent = QDir::currentPath();
    QDir::setCurrent(base + QStringLiteral("/work"));
}

TestSandbox::~TestSandbox()
{
    // Windows cannot remove a process's current folder.
    QDir::setCurrent(m_oldCurrent);
}

CurrentFolder::CurrentFolder(const QString &folder)
    : m_old(QDir::currentPath())
{
    QDir::setCurrent(folder);
}

CurrentFolder::~CurrentFolder()
{
    QDir::setCurrent(m_old);
}

ModalWatcher::ModalWatcher(std::function<void(QWidget *)> handler)
    : m_handler(std::move(handler))
{
    connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::poll);
    m_timer.start(10);
}

void ModalWatcher::poll()
{
    // A handler that waits lets the timer fire again for the same box.
    if (m_handling)
        return;
    QWidget *box = QApplication::activeModalWidget();
    if (!box || !box->isVisible())
        return;
    SeenBox seenBox;
    seenBox.className = QString::fromLatin1(box->metaObject()->className());
    seenBox.title = box->windowTitle();
    seenBox.parent = box->parentWidget();
    seenBox.modal = box->isModal();
    auto *messageBox = qobject_cast<QMessageBox *>(box);
    if (messageBox) {
        seenBox.text = messageBox->text();
        seenBox.buttonCount = int(messageBox->buttons().size());
    }
    seen << seenBox;
    const QScopedValueRollback<bool> handling(m_handling, true);
    if (m_handler)
        m_handler(box);
    else if (messageBox && !messageBox->buttons().isEmpty())
        QTest::mouseClick(messageBox->buttons().first(), Qt::LeftButton);
    else
        box->close();
}

OtherProgram::OtherProgram()
{
#ifdef Q_OS_WIN
    // Holds the files of an empty folder, none, until its input closes.
    m_process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/hold_open.exe"),
                    {QDir::toNativeSeparators(m_folder.path())});
    QVERIFY(m_process.waitForReadyRead(30000));
#else
    m_process.start(QStringLiteral("/bin/sleep"), {QStringLiteral("600")});
    QVERIFY(m_process.waitForStarted(30000));
#endif
}

OtherProgram::~OtherProgram()
{
#ifdef Q_OS_WIN
    m_process.closeWriteChannel();
#else
    m_process.kill();
#endif
    m_process.waitForFinished(30000);
}

FolderLock::FolderLock(const QString &folder)
    : FolderLock(folder, NoDelete)
{
}

FolderLock::FolderLock(const QString &folder, Sharing sharing)
    : m_folder(folder)
{
#ifdef Q_OS_WIN
    QStringList arguments{QDir::toNativeSeparators(folder)};
    if (sharing == ShareDelete)
        arguments << QStringLiteral("share-delete");
    else if (sharing == LockRange)
        arguments << QStringLiteral("lock-range");
    m_holder.start(QCoreApplication::applicationDirPath() + QStringLiteral("/hold_open.exe"), arguments);
    m_locked = m_holder.waitForReadyRead(30000) && m_holder.readAll().startsWith("ready");
#else
    Q_UNUSED(sharing);
#ifdef Q_OS_LINUX
    if (geteuid() == 0)
        m_immutable = setImmutable(true);
    else
#endif
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);

    // Prove the lock holds before a test relies on it.
    const QString probe = folder + QStringLiteral("/.lock-probe");
    QFile file(probe);
    m_locked = !file.open(QIODevice::WriteOnly);
    if (!m_locked)
        file.remove();
#endif
}

FolderLock::~FolderLock()
{
    if (m_holder.state() != QProcess::NotRunning) {
        m_holder.closeWriteChannel();
        if (!m_holder.waitForFinished(30000))
            m_holder.kill();
        return;
    }
    if (m_immutable)
        setImmutable(false);
    else
        QFile::setPermissions(m_folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool FolderLock::setImmutable(bool on)
{
#ifndef Q_OS_LINUX
    Q_UNUSED(on);
    return false;
#else
    const int fd = ::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
#endif
}

#ifdef Q_OS_WIN
QString unixPath(const QString &path)
{
    using UnixName = char *(__cdecl *)(const wchar_t *);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName)
        return QString();
    char *name = unixName(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()));
    if (!name)
        return QString();
    const QString result = QString::fromUtf8(name);
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

namespace {

bool unixRoot()
{
    return unixCommand({QStringLiteral("/bin/sh"), QStringLiteral("-c"), QStringLiteral("test \"$(id -u)\" -eq 0")}) == 0;
}

} // namespace

int unixCommand(const QStringList &arguments)
{
    using Spawn = long(__cdecl *)(char *const *, int);
    const auto spawn = reinterpret_cast<Spawn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
    if (!spawn)
        return -1;
    QList<QByteArray> bytes;
    std::vector<char *> argv;
    for (const QString &argument : arguments)
        bytes << argument.toUtf8();
    for (QByteArray &argument : bytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return int(spawn(argv.data(), 1));
}

bool Unpermitted::change(char sign)
{
    const QString mode = QStringLiteral("u") + QLatin1Char(sign) + QLatin1Char(m_permission);
    const QString path = unixPath(m_path);
    return !path.isEmpty() && unixCommand({QStringLiteral("/bin/chmod"), mode, path}) == 0;
}

Unpermitted::Unpermitted(const QString &path, char permission)
    : m_path(path), m_permission(permission)
{
    m_changed = change('-');
    m_real = m_changed && !unixRoot();
}

DriveAlias::DriveAlias(const QString &folder)
{
    const DWORD used = GetLogicalDrives();
    char letter = 'Y';
    while (letter > 'D' && (used & (1u << (letter - 'A'))))
        --letter;
    const QString drive = QStringLiteral("%1:").arg(QLatin1Char(letter));
    if (underWine()) {
        // Wine keeps its drive letters as links to Unix folders.
        const QString driveC = unixPath(QStringLiteral("C:\\"));
        const QString dosdevices = QFileInfo(QDir::cleanPath(driveC)).path();
        const QString link = dosdevices + QLatin1Char('/') + drive.toLower();
        if (driveC.isEmpty() || unixCommand({QStringLiteral("/bin/ln"), QStringLiteral("-s"), unixPath(folder), link}) != 0)
            return;
        m_link = link;
    } else if (!DefineDosDeviceW(0, reinterpret_cast<const wchar_t *>(drive.utf16()),
                                 reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(folder).utf16()))) {
        return;
    }
    m_root = drive;
}

DriveAlias::~DriveAlias()
{
    if (m_root.isEmpty())
        return;
    if (!m_link.isEmpty())
        unixCommand({QStringLiteral("/bin/rm"), QStringLiteral("-f"), m_link});
    else
        DefineDosDeviceW(DDD_REMOVE_DEFINITION, reinterpret_cast<const wchar_t *>(m_root.utf16()), nullptr);
}
#else
QString unixPath(const QString &)
{
    return QString();
}

int unixCommand(const QStringList &)
{
    return -1;
}

bool Unpermitted::change(char sign)
{
    const QFileDevice::Permissions bits = m_permission == 'r'   ? QFileDevice::ReadOwner | QFileDevice::ReadUser
                                          : m_permission == 'w' ? QFileDevice::WriteOwner | QFileDevice::WriteUser
                                                                : QFileDevice::ExeOwner | QFileDevice::ExeUser;
    const QFileDevice::Permissions now = QFile::permissions(m_path);
    return QFile::setPermissions(m_path, sign == '-' ? now & ~bits : now | bits);
}

Unpermitted::Unpermitted(const QString &path, char permission)
    : m_path(path), m_permission(permission)
{
    m_changed = change('-');
    m_real = m_changed && geteuid() != 0;
}

DriveAlias::DriveAlias(const QString &)
{
}

DriveAlias::~DriveAlias() = default;
#endif

#ifdef Q_OS_LINUX
Mount::Mount(const QString &folder, const QString &bindFrom)
    : m_folder(QFile::encodeName(folder))
{
    m_mounted = ::mount(QFile::encodeName(bindFrom).constData(), m_folder.constData(), nullptr, MS_BIND, nullptr) == 0;
}

Mount::Mount(const QString &folder, int kibibytes)
    : m_folder(QFile::encodeName(folder))
{
    const QByteArray options = "size=" + QByteArray::number(kibibytes) + "k";
    m_mounted = ::mount("tmpfs", m_folder.constData(), "tmpfs", 0, options.constData()) == 0;
}

Mount::Mount(const QString &folder, int kibibytes, Drive drive)
    : m_folder(QFile::encodeName(folder))
{
    if (::geteuid() != 0)
        return;
    const QString image = folder + QStringLiteral(".img");
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(kibibytes) * 1024))
        return;
    file.close();
    auto run = [](const QString &program, const QStringList &arguments, QString *output = nullptr) {
        QProcess process;
        process.start(program, arguments);
        const bool ran = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
                         && process.exitCode() == 0;
        if (output)
            *output = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
        return ran;
    };
    const bool made = drive == exFat
                          ? run(QStringLiteral("mkfs.exfat"), {image})
                          : run(QStringLiteral("mkfs.ext4"), {QStringLiteral("-q"), QStringLiteral("-F"),
                                                              QStringLiteral("-N"), QStringLiteral("64"),
                                                              QStringLiteral("-O"), QStringLiteral("^has_journal"), image});
    if (!made
        || !run(QStringLiteral("losetup"), {QStringLiteral("--find"), QStringLiteral("--show"), image}, &m_loopDevice))
        return;
    // Owned by the user the tests run as, as a desktop mounts a player's drive.
    const QString owner = QStringLiteral("uid=%1,gid=%2").arg(::getuid()).arg(::getgid());
    m_mounted = drive == exFat
                    ? run(QStringLiteral("mount.exfat-fuse"), {QStringLiteral("-o"), owner, m_loopDevice, folder})
                    : ::mount(m_loopDevice.toLocal8Bit().constData(), m_folder.constData(), "ext4", 0, nullptr) == 0
                          && ::chown(m_folder.constData(), ::getuid(), ::getgid()) == 0;
    if (!m_mounted) {
        run(QStringLiteral("losetup"), {QStringLiteral("--detach"), m_loopDevice});
        m_loopDevice.clear();
    }
}

Mount::~Mount()
{
    // Detached, the mount goes even while something still holds it.
    if (m_mounted)
        ::umount2(m_folder.constData(), MNT_DETACH);
    if (!m_loopDevice.isEmpty())
        QProcess::execute(QStringLiteral("losetup"), {QStringLiteral("--detach"), m_loopDevice});
}
#else
Mount::Mount(const QString &, const QString &)
{
}

// Under Wine run as root: a Linux file system that Wine's mount manager
// knows nothing of, as a second disk under Z: is.
Mount::Mount(const QString &folder, int kibibytes)
    : m_folder(unixPath(folder).toUtf8())
{
    const QString options = QStringLiteral("size=%1k").arg(kibibytes);
    m_mounted = !m_folder.isEmpty()
                && unixCommand({QStringLiteral("/bin/mount"), QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                QStringLiteral("-o"), options, QStringLiteral("tmpfs"),
                                QString::fromUtf8(m_folder)}) == 0;
}

Mount::Mount(const QString &, int, Drive)
{
}

Mount::~Mount()
{
    if (m_mounted)
        unixCommand({QStringLiteral("/bin/umount"), QStringLiteral("--lazy"), QString::fromUtf8(m_folder)});
}
#endif

Unpermitted::~Unpermitted()
{
    if (m_changed)
        change('+');
}

bool underWine()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

void failOnAnyWarning()
{
    QTest::failOnWarning(QRegularExpression(
        QStringLiteral("^(?!This plugin does not support propagateSizeHints\\(\\)$)")));
}

bool showWindow(QWidget &window)
{
    window.show();
    return QTest::qWaitForWindowExposed(&window);
}

QStringList tree(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        QString entry = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink())
            entry += QStringLiteral("@");
        else if (info.isDir())
            entry += QLatin1Char('/');
        entries << entry;
    }
    entries.sort();
    return entries;
}

bool setWrittenAt(const QString &path, const QDateTime &when)
{
#ifdef Q_OS_WIN
    HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                                FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    // 100-nanosecond steps since 1601.
    const quint64 ticks = quint64(when.toMSecsSinceEpoch() + 11644473600000LL) * 10000;
    const FILETIME time{DWORD(ticks), DWORD(ticks >> 32)};
    const bool set = SetFileTime(handle, nullptr, nullptr, &time);
    CloseHandle(handle);
    return set;
#else
    const timespec times[2] = {{when.toSecsSinceEpoch(), 0}, {when.toSecsSinceEpoch(), 0}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
#endif
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        qFatal("cannot write test file %s", qPrintable(path));
}

bool makeHardLink(const QString &target, const QString &path)
{
    QDir().mkpath(QFileInfo(path).path());
#ifdef Q_OS_WIN
    return CreateHardLinkW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                           reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(target).utf16()), nullptr);
#else
    return ::link(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()) == 0;
#endif
}

#ifdef Q_OS_UNIX
void writeRawFile(const QByteArray &path, const QByteArray &contents)
{
    for (qsizetype slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1))
        ::mkdir(path.left(slash).constData(), 0777);
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const bool written = fd >= 0 && ::write(fd, contents.constData(), size_t(contents.size())) == contents.size();
    if (fd >= 0)
        ::close(fd);
    if (!written)
        qFatal("cannot write test file %s", path.constData());
}

QByteArray readRawFile(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QByteArray("(missing)");
    QByteArray contents;
    char block[4096];
    ssize_t got;
    while ((got = ::read(fd, block, sizeof block)) > 0)
        contents.append(block, got);
    ::close(fd);
    return got < 0 ? QByteArray("(missing)") : contents;
}

bool rawExists(const QByteArray &path)
{
    struct stat info {};
    return ::lstat(path.constData(), &info) == 0;
}

QList<QByteArray> rawNames(const QString &folder)
{
    QList<QByteArray> names;
    DIR *dir = ::opendir(folder.toUtf8().constData());
    if (!dir)
        return {QByteArray("(cannot be listed)")};
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void removeRaw(const QByteArray &path)
{
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0)
        return;
    if (!S_ISDIR(info.st_mode)) {
        ::unlink(path.constData());
        return;
    }
    if (DIR *dir = ::opendir(path.constData())) {
        QList<QByteArray> names;
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                names << name;
        }
        ::closedir(dir);
        for (const QByteArray &name : names)
            removeRaw(path + '/' + name);
    }
    ::rmdir(path.constData());
}
#else
namespace {

// The extended form, which Win32 neither trims nor takes for a device, as
// Explorer cannot name files but other programs can.
std::wstring exactPath(const QByteArray &path)
{
    const QFileInfo info(QString::fromUtf8(path));
    return (QStringLiteral("\\\\?\\") + QDir::toNativeSeparators(info.absoluteFilePath())).toStdWString();
}

} // namespace

void writeRawFile(const QByteArray &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(QString::fromUtf8(path)).path());
    const HANDLE file = CreateFileW(exactPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, contents.constData(), DWORD(contents.size()), &written, nullptr)
        || !CloseHandle(file))
        qFatal("cannot write test file %s", path.constData());
}

QByteArray readRawFile(const QByteArray &path)
{
    const HANDLE file = CreateFileW(exactPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "(missing)";
    QByteArray contents;
    char buffer[65536];
    DWORD read = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr)) && read > 0)
        contents.append(buffer, qsizetype(read));
    CloseHandle(file);
    return ok ? contents : QByteArray("(unreadable)");
}

bool rawExists(const QByteArray &path)
{
    const QFileInfo info(QString::fromUtf8(path));
    return info.exists() || info.isSymLink();
}

QList<QByteArray> rawNames(const QString &folder)
{
    QList<QByteArray> names;
    const QDir dir(folder);
    if (!dir.exists())
        return {QByteArray("(cannot be listed)")};
    for (const QString &name : dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
        names << name.toUtf8();
    std::sort(names.begin(), names.end());
    return names;
}

void removeRaw(const QByteArray &path)
{
    const QFileInfo info(QString::fromUtf8(path));
    if (info.isDir() && !info.isSymLink())
        QDir(info.filePath()).removeRecursively();
    else
        QFile::remove(info.filePath());
}
#endif

bool removeCaseFolder(QTemporaryDir *&dir, QString *why)
{
    QString failed;
    FileOps::SystemError error;
    const bool removed = !dir || BraskRepair().rmDir(dir->path(), &failed, &error);
    if (!removed && why)
        *why = failed + QStringLiteral(": ") + error.text();
    delete dir;
    dir = nullptr;
    return removed;
}

#ifdef Q_OS_LINUX
namespace {

std::atomic<bool> flushesFail{false};
std::atomic<int> copyTrouble{-1};

// Whether this request must fail: only a file's data is lost, so a
// folder's fsync goes through unless every file is asked for at once.
bool failFlush(int fd, bool wholeFileSystem)
{
    if (!flushesFail)
        return false;
    struct stat info {};
    if (!wholeFileSystem && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)))
        return false;
    errno = EIO;
    return true;
}

template <typename Function>
Function systemFunction(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

FlushFailure::FlushFailure()
{
    flushesFail = true;
}

FlushFailure::~FlushFailure()
{
    flushesFail = false;
}

bool FlushFailure::works()
{
    return true;
}

// The system's own functions but for the failures that a FlushFailure asks
// for. The program's code is linked into the test executable and calls
// these; the Qt libraries call them too, for what they take from the C
// library.
extern "C" int fsync(int fd)
{
    static const auto next = systemFunction<int (*)(int)>("fsync");
    return failFlush(fd, false) ? -1 : next(fd);
}

extern "C" int fdatasync(int fd)
{
    static const auto next = systemFunction<int (*)(int)>("fdatasync");
    return failFlush(fd, false) ? -1 : next(fd);
}

extern "C" int syncfs(int fd) noexcept
{
    static const auto next = systemFunction<int (*)(int)>("syncfs");
    return failFlush(fd, true) ? -1 : next(fd);
}

CopyTrouble::CopyTrouble(What what)
{
    copyTrouble = what;
}

CopyTrouble::~CopyTrouble()
{
    copyTrouble = -1;
}

bool CopyTrouble::works()
{
    return true;
}

namespace {

// Whether the data of the file open as fd is large enough to be troubled.
bool large(int fd)
{
    struct stat info {};
    return ::fstat(fd, &info) == 0 && info.st_size > 64 * 1024;
}

} // namespace

extern "C" ssize_t copy_file_range(int in, off64_t *inOffset, int out, off64_t *outOffset, size_t length,
                                   unsigned int flags) noexcept
{
    static const auto next =
        systemFunction<ssize_t (*)(int, off64_t *, int, off64_t *, size_t, unsigned int)>("copy_file_range");
    const int what = copyTrouble;
    if (what == CopyTrouble::Refused || (what == CopyTrouble::ReadError && large(in))) {
        errno = what == CopyTrouble::Refused ? EPERM : EIO;
        return -1;
    }
    // The copy holds the file open for reading only: emptied by its name.
    if (what == CopyTrouble::Rewritten && large(in)
        && ::truncate(("/proc/self/fd/" + QByteArray::number(in)).constData(), 0) != 0)
        return -1;
    return next(in, inOffset, out, outOffset, length, flags);
}

extern "C" ssize_t sendfile(int out, int in, off_t *offset, size_t count) noexcept
{
    static const auto next = systemFunction<ssize_t (*)(int, int, off_t *, size_t)>("sendfile");
    if (copyTrouble != CopyTrouble::Refused)
        return next(out, in, offset, count);
    errno = EPERM;
    return -1;
}
#else
FlushFailure::FlushFailure() = default;
FlushFailure::~FlushFailure() = default;

bool FlushFailure::works()
{
    return false;
}

CopyTrouble::CopyTrouble(What) {}
CopyTrouble::~CopyTrouble() = default;

bool CopyTrouble::works()
{
    return false;
}
#endif
