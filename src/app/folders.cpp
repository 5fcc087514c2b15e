// The window's folder routines, which step its progress bar: the removal, the
// copy, and the act of a checked copy.
#include "braskrepair.h"
#include "fileops/fileops.h"

#include <QDebug>
#include <QDir>

namespace {

FileOps::Progress progressOf(QProgressBar *bar)
{
    return {[bar](int maximum) { bar->setMaximum(maximum); }, [bar](int value) { bar->setValue(value); }};
}

} // namespace

bool BraskRepair::rmDir(const QString &path, QString *failedPath, FileOps::SystemError *error)
{
    const QString folder = FileOps::cleanPath(path);
    const FileOps::NativePath target = FileOps::toNative(folder);
    FileOps::SystemError failure;
    FileOps::Node tree;
    FileOps::NativePath where;
    bool removed = FileOps::survey(target, &tree, &where, &failure);
    if (!removed)
        FileOps::setText(failedPath, folder);
    // A file is no folder, and not this routine's to remove; a link is
    // removed as a link, whatever it points to.
    else if (tree.kind == FileOps::Kind::Folder || tree.kind == FileOps::Kind::Link)
        removed = FileOps::removeSurveyed(target, folder, tree, progressOf(pgbProgress), failedPath, &failure);
    if (!removed && error)
        *error = failure;
    return removed;
}

bool BraskRepair::cpDir(const QString &src, const QString &dst, QString *why, bool *inUse)
{
    if (inUse)
        *inUse = false;
    FileOps::CopyPlan plan;
    return FileOps::planCopy(src, dst, &plan, why) && FileOps::probeTarget(plan, why)
           && copyPlanned(plan, why, inUse) == Reached::Done;
}

BraskRepair::Reached BraskRepair::copyPlanned(const FileOps::CopyPlan &plan, QString *why, bool *inUse)
{
    FileOps::SystemError error;
    Reached reached = Reached::Untouched;
    auto fail = [&](const QString &text) {
        FileOps::setText(why, text);
        if (inUse)
            *inUse = error.inUse;
        return reached;
    };

    // Only what the system said it removed counts as changed.
    QString failedPath;
    int removed = 0;
    const bool gone = FileOps::removeSurveyed(plan.nativeDst, plan.dst, plan.target, progressOf(pgbProgress),
                                              &failedPath, &error, &removed);
    if (removed > 0)
        reached = Reached::Removing;
    if (!gone)
        return fail(QStringLiteral("could not remove %1 (%2)").arg(FileOps::native(failedPath), error.text));
    if (plan.target.kind != FileOps::Kind::Missing)
        reached = Reached::Making;
    if (!FileOps::makeFolder(plan.nativeDst, &error))
        return fail(QStringLiteral("could not be created (%1)").arg(error.text));
    reached = Reached::Copying;

    FileOps::Copier copier;
    if (!copier.open(plan.nativeSrc, plan.nativeDst, &error))
        return fail(QStringLiteral("could not be opened for the copy (%1)").arg(error.text));
    pgbProgress->setMaximum(int(plan.entries.size()));
    int count = 0;
    for (const FileOps::SourceEntry &entry : plan.entries) {
        pgbProgress->setValue(++count);
        const QString name = FileOps::shownName(entry.name);
        if (entry.kind == FileOps::Kind::Folder)
            qDebug() << "Unhandled folder" << plan.src + QLatin1Char('/') + name << "in cpDir";
        else if (entry.kind != FileOps::Kind::File)
            qDebug() << "Unhandled item" << plan.src + QLatin1Char('/') + name << "in cpDir";
        else if (!copier.copy(entry.name, entry.id, entry.size, &error))
            return fail(QStringLiteral("could not copy %1 (%2)").arg(name, error.text));
    }
    if (!copier.finish(&error))
        return fail(QStringLiteral("could not write the copies to disk (%1)").arg(error.text));
    return Reached::Done;
}
