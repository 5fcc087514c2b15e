#include "braskrepair.h"
#include "fileops/fileops.h"

#include <QDebug>
#include <QDir>

#include <algorithm>

namespace FileOps {

namespace {

QString joined(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
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

QString failureLine(const QString &path, const SystemError &error)
{
    return QStringLiteral("%1 (%2)").arg(native(path), error.text);
}

bool removeFileIfPresent(const QString &path, QString *failure, bool *inUse)
{
    SystemError error;
    if (removeFile(path, &error) || error.notFound)
        return true;
    setText(failure, failureLine(path, error));
    if (inUse)
        *inUse = error.inUse;
    return false;
}

bool checkFolder(const QString &path, const QString &what, QString *failure)
{
    QByteArray id;
    bool isFolder = false;
    SystemError error;
    if (!identify(path, &id, &isFolder, &error)) {
        setText(failure, error.notFound ? QStringLiteral("%1 %2 does not exist").arg(what, native(path))
                                        : QStringLiteral("%1 %2 cannot be read (%3)").arg(what, native(path), error.text));
        return false;
    }
    if (!isFolder) {
        setText(failure, QStringLiteral("%1 %2 is not a folder").arg(what, native(path)));
        return false;
    }
    return true;
}

bool listEntries(const QString &folder, bool forRemoval, QFileInfoList *entries, SystemError *error)
{
    QStringList names;
    if (!listNames(folder, &names, error))
        return false;
    entries->clear();
    for (const QString &name : names) {
        const QFileInfo entry(joined(folder, name));
        if (forRemoval || (!entry.isHidden() && (entry.isFile() || entry.isDir())))
            entries->append(entry);
    }
    std::stable_sort(entries->begin(), entries->end(), [](const QFileInfo &a, const QFileInfo &b) {
        return a.fileName().compare(b.fileName(), Qt::CaseInsensitive) < 0;
    });
    return true;
}

bool planCopy(const QString &src, const QString &dst, CopyPlan *plan, QString *why)
{
    const QString from = QDir::cleanPath(src);
    const QString to = QDir::cleanPath(dst);
    const QString parent = QFileInfo(to).path();
    SystemError error;
    auto refuse = [&](const QString &text) {
        setText(why, text);
        return false;
    };
    auto cannotCompare = [&] {
        return refuse(QStringLiteral("could not tell whether the source folder %1 lies inside this folder (%2)")
                          .arg(native(from), error.text));
    };

    QByteArray sourceId;
    bool isFolder = false;
    if (!identify(from, &sourceId, &isFolder, &error)) {
        return refuse(error.notFound ? QStringLiteral("the source folder %1 does not exist").arg(native(from))
                                     : QStringLiteral("the source folder %1 cannot be read (%2)")
                                           .arg(native(from), error.text));
    }
    if (!isFolder)
        return refuse(QStringLiteral("the source %1 is not a folder").arg(native(from)));
    QFileInfoList entries;
    if (!listEntries(from, false, &entries, &error))
        return refuse(QStringLiteral("the source folder %1 cannot be read (%2)").arg(native(from), error.text));

    // The copy removes and writes the destination and makes its entry in the
    // parent: none of these, nor any folder holding them, may be the source.
    QList<QByteArray> written;
    QByteArray targetId;
    if (identify(to, &targetId, &isFolder, &error)) {
        if (!isFolder)
            return refuse(QStringLiteral("could not be created: something that is not a folder is in the way"));
        if (!ancestry(to, &written, &error))
            return cannotCompare();
    } else if (!error.notFound) {
        return refuse(QStringLiteral("cannot be read (%1)").arg(error.text));
    }
    QByteArray parentId;
    if (!identify(parent, &parentId, &isFolder, &error)) {
        return refuse(error.notFound ? QStringLiteral("could not be created: %1 does not exist").arg(native(parent))
                                     : QStringLiteral("could not be created: %1 cannot be read (%2)")
                                           .arg(native(parent), error.text));
    }
    if (!isFolder)
        return refuse(QStringLiteral("could not be created: %1 is not a folder").arg(native(parent)));
    if (!ancestry(parent, &written, &error))
        return cannotCompare();
    // And the destination, when it is there, may not hold the source.
    QList<QByteArray> holdingSource;
    if (!ancestry(from, &holdingSource, &error))
        return cannotCompare();
    if (written.contains(sourceId) || (!targetId.isEmpty() && holdingSource.contains(targetId))) {
        return refuse(QStringLiteral("the source folder %1 is this folder, or one lies inside the other")
                          .arg(native(from)));
    }

    plan->src = from;
    plan->dst = to;
    plan->entries = entries;
    return true;
}

} // namespace FileOps

namespace {

bool isFolderLink(const QFileInfo &info)
{
    return (info.isSymLink() || info.isJunction()) && info.isDir();
}

} // namespace

bool BraskRepair::rmDir(const QString &path, QString *failedPath, FileOps::SystemError *error)
{
    const QString folder = QDir::cleanPath(path);
    const QFileInfo self(folder);
    FileOps::SystemError failure;
    auto fail = [&](const QString &where) {
        FileOps::setText(failedPath, where);
        if (error)
            *error = failure;
        return false;
    };

    // A link is removed as a link: what it points to lies outside the
    // folder the user asked to replace. This also covers links met inside
    // the walk, which come back here as subfolders.
    if (isFolderLink(self))
        return FileOps::removeFile(folder, &failure) || failure.notFound || fail(folder);
    // A file is no folder, and not this routine's to remove.
    if (self.exists() && !self.isDir())
        return true;

    QFileInfoList entries;
    if (!FileOps::listEntries(folder, true, &entries, &failure))
        return failure.notFound || fail(folder);
    pgbProgress->setMaximum(int(entries.size()));
    int count = 0;
    for (const QFileInfo &entry : entries) {
        pgbProgress->setValue(++count);
        if (entry.isDir()) {
            if (!rmDir(entry.filePath(), failedPath, error))
                return false;
        } else if (!FileOps::removeFile(entry.filePath(), &failure) && !failure.notFound) {
            return fail(entry.filePath());
        }
    }
    return FileOps::removeFolder(folder, &failure) || failure.notFound || fail(folder);
}

bool BraskRepair::cpDir(const QString &src, const QString &dst, QString *why, bool *inUse)
{
    if (inUse)
        *inUse = false;
    FileOps::CopyPlan plan;
    return FileOps::planCopy(src, dst, &plan, why) && copyPlanned(plan, why, inUse);
}

bool BraskRepair::copyPlanned(const FileOps::CopyPlan &plan, QString *why, bool *inUse)
{
    FileOps::SystemError error;
    auto fail = [&](const QString &text) {
        FileOps::setText(why, text);
        if (inUse)
            *inUse = error.inUse;
        return false;
    };

    QString failedPath;
    if (!rmDir(plan.dst, &failedPath, &error))
        return fail(QStringLiteral("could not remove %1 (%2)").arg(FileOps::native(failedPath), error.text));
    if (!FileOps::makeFolder(plan.dst, &error))
        return fail(QStringLiteral("could not be created (%1)").arg(error.text));

    pgbProgress->setMaximum(int(plan.entries.size()));
    int count = 0;
    for (const QFileInfo &entry : plan.entries) {
        pgbProgress->setValue(++count);
        if (entry.isDir()) {
            qDebug() << "Unhandled folder" << entry.filePath() << "in cpDir";
        } else if (entry.isFile()) {
            if (!FileOps::copyFile(plan.src + QLatin1Char('/') + entry.fileName(),
                                   plan.dst + QLatin1Char('/') + entry.fileName(), &error))
                return fail(QStringLiteral("could not copy %1 (%2)").arg(entry.fileName(), error.text));
        } else {
            qDebug() << "Unhandled item" << entry.filePath() << "in cpDir";
        }
    }
    return FileOps::syncToDisk(plan.dst, why);
}
