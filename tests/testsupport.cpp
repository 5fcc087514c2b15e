#include "testsupport.h"

#include "braskrepair.h"

#include <QAbstractButton>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>

#include <csignal>
#include <vector>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
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
    if (m_handler)
        m_handler(box);
    else if (messageBox && !messageBox->buttons().isEmpty())
        QTest::mouseClick(messageBox->buttons().first(), Qt::LeftButton);
    else
        box->close();
}

FolderLock::FolderLock(const QString &folder)
    : m_folder(folder)
{
#ifdef Q_OS_WIN
    m_holder.start(QCoreApplication::applicationDirPath() + QStringLiteral("/hold_open.exe"),
                   {QDir::toNativeSeparators(folder)});
    m_locked = m_holder.waitForReadyRead(30000) && m_holder.readAll().startsWith("ready");
#else
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

QWidget *childWidget(BraskRepair &window, const char *name)
{
    return window.findChild<QWidget *>(QString::fromLatin1(name));
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

void writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        qFatal("cannot write test file %s", qPrintable(path));
}
