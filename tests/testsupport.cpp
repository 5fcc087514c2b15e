#include "testsupport.h"

#include "braskrepair.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>

#include <csignal>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
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

void writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        qFatal("cannot write test file %s", qPrintable(path));
}
