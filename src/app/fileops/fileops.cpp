#include "braskrepair.h"
#include "fileops/fileops.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace FileOps {

namespace {

bool isLink(const QFileInfo &info)
{
    return info.isSymLink() || info.isJunction();
}

} // namespace

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

void setText(QString *out, const QString &text)
{
    if (out)
        *out = text;
}

bool removeFile(const QString &path, QString *error)
{
    QFile file(path);
    if (file.remove())
        return true;
    const QString firstError = file.errorString();
    const QFileInfo info(path);
    if (isLink(info)) {
        // A link to a folder on Windows (directory symlink or junction) is a
        // directory entry that only RemoveDirectory takes; it never follows it.
        if (QDir().rmdir(path))
            return true;
    } else if (info.exists() && !(file.permissions() & QFileDevice::WriteUser)) {
        // Windows refuses to delete read-only files, and the copies keep the
        // source's read-only flag, so every later repair would stop here.
        if (file.setPermissions(file.permissions() | QFileDevice::WriteUser) && file.remove())
            return true;
    }
    setText(error, firstError);
    return false;
}

bool removeFileIfPresent(const QString &path, QString *failure)
{
    QString error;
    if (removeFile(path, &error))
        return true;
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    setText(failure, QStringLiteral("%1 (%2)").arg(native(path), error));
    return false;
}

bool isInUse(const QString &path)
{
#ifdef Q_OS_WIN
    // Asking for delete access while allowing every kind of sharing fails
    // only on a handle that does not share deletion with others.
    const std::wstring name = native(QFileInfo(path).absoluteFilePath()).toStdWString();
    const HANDLE handle = CreateFileW(name.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
#else
    Q_UNUSED(path);
    return false;
#endif
}

bool syncToDisk(const QString &folder, const QStringList &files, QString *error)
{
#ifdef Q_OS_WIN
    Q_UNUSED(folder);
    for (const QString &file : files) {
        const std::wstring name = native(QFileInfo(file).absoluteFilePath()).toStdWString();
        // FlushFileBuffers needs write access, which a read-only file denies.
        const DWORD attributes = GetFileAttributesW(name.c_str());
        const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
        if (readOnly)
            SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        const HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr);
        const bool flushed = handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        if (readOnly)
            SetFileAttributesW(name.c_str(), attributes);
        if (!flushed) {
            setText(error, QStringLiteral("could not write %1 to disk").arg(native(file)));
            return false;
        }
    }
    return true;
#else
    if (files.isEmpty())
        return true;
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        setText(error, QStringLiteral("could not write the copies to disk"));
        return false;
    }
#if defined(Q_OS_LINUX)
    // One file-system flush is far cheaper than an fsync per file when a
    // folder holds thousands of small files.
    const bool synced = ::syncfs(fd) == 0;
#else
    ::sync();
    const bool synced = true;
#endif
    ::close(fd);
    if (!synced)
        setText(error, QStringLiteral("could not write the copies to disk"));
    return synced;
#endif
}

QString comparablePath(const QString &path)
{
    QFileInfo info(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    QString tail;
    while (!info.exists() && !info.isRoot()) {
        tail.prepend(QLatin1Char('/') + info.fileName());
        info.setFile(info.path());
    }
    const QString head = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    return QDir::cleanPath(head + tail);
}

bool isSameOrInside(const QString &inner, const QString &outer)
{
#if defined(Q_OS_WIN) || defined(Q_OS_DARWIN)
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    if (inner.compare(outer, cs) == 0)
        return true;
    const QString prefix = outer.endsWith(QLatin1Char('/')) ? outer : outer + QLatin1Char('/');
    return inner.startsWith(prefix, cs);
}

} // namespace FileOps

namespace {

const QDir::Filters listedForCopy = QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot;

// Hidden and system entries are listed for removal too: an entry the walk
// does not see would keep the folder from going, every time.
const QDir::Filters listedForRemoval = listedForCopy | QDir::Hidden | QDir::System;

bool isFolderLink(const QFileInfo &info)
{
    return (info.isSymLink() || info.isJunction()) && info.isDir();
}

QString describeCreateFailure(const QString &dst)
{
    const QFileInfo target(dst);
    if (target.exists() || target.isSymLink())
        return QStringLiteral("could not be created: something that is not a folder is in the way");
    if (!QFileInfo(target.path()).isDir())
        return QStringLiteral("could not be created: %1 does not exist")
            .arg(QDir::toNativeSeparators(target.path()));
    return QStringLiteral("could not be created");
}

} // namespace

bool BraskRepair::rmDir(const QString &path, QString *failedPath, QString *reason)
{
    const QDir dir(path);
    if (!dir.exists())
        return true;

    const QFileInfo self(path);
    // A link is removed as a link: what it points to lies outside the
    // folder the user asked to replace. This also covers links met inside
    // the walk, which come back here as subfolders.
    if (isFolderLink(self)) {
        QString error;
        if (FileOps::removeFile(path, &error))
            return true;
        FileOps::setText(failedPath, path);
        FileOps::setText(reason, error);
        return false;
    }

    const QFileInfoList entries = dir.entryInfoList(listedForRemoval);
    pgbProgress->setMaximum(int(entries.size()));
    int count = 0;
    for (const QFileInfo &entry : entries) {
        pgbProgress->setValue(++count);
        QString error;
        if (entry.isDir()) {
            if (!rmDir(entry.filePath(), failedPath, reason))
                return false;
        } else if (!FileOps::removeFile(entry.filePath(), &error)) {
            FileOps::setText(failedPath, entry.filePath());
            FileOps::setText(reason, error);
            return false;
        }
    }

    if (QDir(self.path()).rmdir(self.fileName()))
        return true;
    // Read at once, before another call can overwrite the system's error.
    const QString error = qt_error_string();
    FileOps::setText(failedPath, path);
    FileOps::setText(reason, error);
    return false;
}

bool BraskRepair::cpDir(const QString &src, const QString &dst, QString *why, bool *inUse)
{
    if (inUse)
        *inUse = false;
    // Everything that could make the copy pointless is checked before the
    // destination is touched: a repair must never leave less than it found.
    const QFileInfo source(src);
    if (!source.exists()) {
        FileOps::setText(why, QStringLiteral("the source folder %1 does not exist").arg(FileOps::native(src)));
        return false;
    }
    if (!source.isDir()) {
        FileOps::setText(why, QStringLiteral("the source %1 is not a folder").arg(FileOps::native(src)));
        return false;
    }
    const QString from = FileOps::comparablePath(src);
    const QString to = FileOps::comparablePath(dst);
    if (FileOps::isSameOrInside(from, to) || FileOps::isSameOrInside(to, from)) {
        FileOps::setText(why, QStringLiteral("the source folder %1 is this folder, or one lies inside the other")
                                   .arg(FileOps::native(src)));
        return false;
    }

    QString failedPath;
    QString reason;
    if (!rmDir(dst, &failedPath, &reason)) {
        FileOps::setText(why, QStringLiteral("could not remove %1 (%2)").arg(FileOps::native(failedPath), reason));
        if (inUse)
            *inUse = FileOps::isInUse(failedPath);
        return false;
    }
    const QFileInfo target(dst);
    if (!QDir(target.path()).mkdir(target.fileName())) {
        FileOps::setText(why, describeCreateFailure(dst));
        return false;
    }

    const QFileInfoList entries = QDir(src).entryInfoList(listedForCopy);
    pgbProgress->setMaximum(int(entries.size()));
    int count = 0;
    QStringList copies;
    for (const QFileInfo &entry : entries) {
        pgbProgress->setValue(++count);
        if (entry.isDir()) {
            qDebug() << "Unhandled folder" << entry.filePath() << "in cpDir";
        } else if (entry.isFile()) {
            QFile file(src + QLatin1Char('/') + entry.fileName());
            const QString copy = dst + QLatin1Char('/') + entry.fileName();
            if (!file.copy(copy)) {
                FileOps::setText(why, QStringLiteral("could not copy %1 (%2)").arg(entry.fileName(), file.errorString()));
                if (inUse)
                    *inUse = FileOps::isInUse(file.fileName()) || FileOps::isInUse(copy);
                return false;
            }
            copies << copy;
        } else {
            qDebug() << "Unhandled item" << entry.filePath() << "in cpDir";
        }
    }
    return FileOps::syncToDisk(dst, copies, why);
}
