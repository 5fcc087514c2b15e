#include "fileops/fileops.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileOps {

namespace {

bool fail(SystemError *error, int code)
{
    if (error) {
        error->text = qt_error_string(code);
        error->notFound = code == ENOENT || code == ENOTDIR;
        error->inUse = false;
    }
    return false;
}

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

bool statIdentity(const QByteArray &path, QByteArray *id, bool *isFolder, SystemError *error)
{
    struct stat info {};
    if (::stat(path.constData(), &info) != 0)
        return fail(error, errno);
    *id = QByteArray(reinterpret_cast<const char *>(&info.st_dev), sizeof info.st_dev)
          + QByteArray(reinterpret_cast<const char *>(&info.st_ino), sizeof info.st_ino);
    *isFolder = S_ISDIR(info.st_mode);
    return true;
}

} // namespace

QString cleanPath(const QString &path)
{
    return QDir::cleanPath(path);
}

bool removeFile(const QString &path, SystemError *error)
{
    // Unix asks the folder, not the file, whether an entry may go, so a
    // read-only file needs no second try.
    return ::unlink(encoded(path).constData()) == 0 || fail(error, errno);
}

bool removeFolder(const QString &path, SystemError *error)
{
    return ::rmdir(encoded(path).constData()) == 0 || fail(error, errno);
}

bool makeFolder(const QString &path, SystemError *error)
{
    return ::mkdir(encoded(path).constData(), 0777) == 0 || fail(error, errno);
}

bool listNames(const QString &folder, QStringList *names, SystemError *error)
{
    DIR *dir = ::opendir(encoded(folder).constData());
    if (!dir)
        return fail(error, errno);
    names->clear();
    int code = 0;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            code = errno;
            break;
        }
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names->append(QFile::decodeName(name));
    }
    ::closedir(dir);
    return code == 0 || fail(error, code);
}

bool copyFile(const QString &from, const QString &to, SystemError *error)
{
    // Qt writes the copy under a temporary name, flushes its data to disk,
    // and only then gives it its name.
    QFile file(from);
    if (file.copy(to))
        return true;
    if (error) {
        *error = SystemError();
        error->text = file.errorString();
    }
    return false;
}

bool identify(const QString &path, QByteArray *id, bool *isFolder, SystemError *error)
{
    return statIdentity(encoded(path), id, isFolder, error);
}

bool ancestry(const QString &folder, QList<QByteArray> *chain, SystemError *error)
{
    // The system resolves every ".." from where the folder really lies, after
    // any link on the way; the root is its own parent.
    QByteArray path = encoded(folder);
    QByteArray previous;
    for (;;) {
        QByteArray id;
        bool isFolder = false;
        if (!statIdentity(path, &id, &isFolder, error))
            return false;
        if (id == previous)
            return true;
        chain->append(id);
        previous = id;
        path += "/..";
    }
}

bool syncToDisk(const QString &folder, QString *error)
{
    // Each copy's data went to disk before it got its name; what is left are
    // the names: the copies' in the folder and the folder's in its parent.
    for (const QString &path : {folder, QFileInfo(folder).path()}) {
        const int fd = ::open(encoded(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool synced = fd >= 0 && ::fsync(fd) == 0;
        const int code = errno;
        if (fd >= 0)
            ::close(fd);
        if (!synced) {
            setText(error, QStringLiteral("could not write %1 to disk (%2)").arg(native(path), qt_error_string(code)));
            return false;
        }
    }
    return true;
}

} // namespace FileOps
