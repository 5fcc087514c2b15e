// The window's folder routines, which step its progress bar: the removal
// and the checked copy.
#include "braskrepair.h"
#include "fileops/fileops.h"

FileOps::Progress BraskRepair::barProgress()
{
    QProgressBar *bar = pgbProgress;
    return {[bar](int maximum) { bar->setMaximum(maximum); }, [bar](int value) { bar->setValue(value); }};
}

bool BraskRepair::rmDir(const QString &path, QString *failedPath, FileOps::SystemError *error)
{
    const QString folder = FileOps::cleanPath(path);
    const FileOps::NativePath target = FileOps::toNative(folder);
    FileOps::SystemError failure;
    FileOps::Node tree;
    FileOps::NativePath where;
    bool removed = FileOps::survey(target, &tree, &where, failure);
    if (!removed)
        FileOps::setText(failedPath, folder);
    // A file is no folder, and not this routine's to remove; a link is
    // removed as a link, whatever it points to.
    else if (tree.kind == FileOps::Kind::Folder || tree.kind == FileOps::Kind::Link)
        removed = FileOps::removeSurveyed(target, folder, tree, barProgress(), failedPath, failure);
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
           && FileOps::replace(plan, barProgress(), why, inUse) == FileOps::Reached::Done;
}
