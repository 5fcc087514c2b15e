#include "fileops/dir.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>

#include <algorithm>
#include <limits>

namespace FileOps {

QString SystemError::text() const
{
    switch (code) {
    case Changed:
        return QStringLiteral("it changed after it was checked, by another program: close the launcher, the game "
                              "and any program that syncs these folders, then run Re-install data again");
    case TooDeep:
        return QStringLiteral("folders are nested more than %1 deep").arg(deepest());
    case Unlisted:
        return QStringLiteral("it holds entries that its listing never gave");
    case HeldOpen:
        return QStringLiteral("another program still has it open");
    case LinuxKept:
        return QStringLiteral("Wine said it was deleted, but Linux kept it: most likely Linux does not let you "
                              "change the folder that holds it. From Linux, give yourself write permission on that "
                              "folder, or remove the file yourself, then run Re-install data again");
    case Mounted:
        return QStringLiteral("another file system is mounted there");
    case UnixLink:
        return QStringLiteral("it is a link; remove it yourself");
    case Replaced:
        return QStringLiteral("it was replaced or rewritten");
    case Rewritten:
        return QStringLiteral("it changed while it was copied");
    case FolderGone:
        return QStringLiteral("the folder that holds it is no longer there");
    default:
        // errno on POSIX, a Win32 error code on Windows.
        return qt_error_string(code);
    }
}

namespace {

QString shownChild(const QString &folder, const Name &name)
{
    return folder + QLatin1Char('/') + shownName(name);
}

// What a removal would meet that stops it, found before anything goes.
struct Obstacle
{
    QString mountPoint;
    QString foreignLink;
    QString blocked;
    int code = 0;
};

// Every entry that a removal reaches, by identity, with the path to name it by.
void collect(const Node &node, const QString &shown, QHash<QByteArray, QString> *reached, Obstacle *obstacle)
{
    reached->insert(node.id, shown);
    if (node.mountPoint && obstacle->mountPoint.isEmpty())
        obstacle->mountPoint = shown;
    if (node.foreignLink && obstacle->foreignLink.isEmpty())
        obstacle->foreignLink = shown;
    if (node.blocked && obstacle->blocked.isEmpty()) {
        obstacle->blocked = shown;
        obstacle->code = node.blocked;
    }
    // An empty folder goes whatever its own permissions say.
    if (node.keepsEntries && !node.children.isEmpty() && obstacle->blocked.isEmpty()) {
        obstacle->blocked = shown;
        obstacle->code = node.keepsEntries;
    }
    for (const Node &child : node.children)
        collect(child, shownChild(shown, child.name), reached, obstacle);
}

qint64 roundedUp(qint64 size, qint64 unit)
{
    return unit > 0 ? (size + unit - 1) / unit * unit : size;
}

// What a file with holes takes on a drive that keeps them: its data, and
// for each run of it a unit of the drive's at either end, yet never more
// than the whole file would.
qint64 storedWithHoles(const SourceEntry &entry, qint64 unit)
{
    return std::min(roundedUp(entry.size, unit), roundedUp(entry.stored, unit) + 2 * entry.runs * unit);
}

// The files below node, by identity: how many of their names it holds.
void countNames(const Node &node, QHash<QByteArray, QPair<const Node *, quint32>> *files)
{
    if (node.kind == Kind::File) {
        auto &file = (*files)[node.id];
        file.first = &node;
        ++file.second;
    }
    for (const Node &child : node.children)
        countNames(child, files);
}

// What removing node gives back to its drive: the files whose every name
// it takes.
qint64 freedBy(const Node &node, qint64 unit)
{
    QHash<QByteArray, QPair<const Node *, quint32>> files;
    countNames(node, &files);
    qint64 freed = 0;
    for (const auto &file : std::as_const(files)) {
        if (file.second >= file.first->names)
            freed += roundedUp(file.first->freed, unit);
    }
    return freed;
}

qint64 foldersAndLinks(const Node &node)
{
    qint64 count = node.kind == Kind::File ? 0 : 1;
    for (const Node &child : node.children)
        count += foldersAndLinks(child);
    return count;
}

// How many files and folders removing node gives back to its drive: its
// folders and links, and the files whose every name it takes.
qint64 namesFreedBy(const Node &node)
{
    QHash<QByteArray, QPair<const Node *, quint32>> files;
    countNames(node, &files);
    qint64 freed = 0;
    for (const auto &file : std::as_const(files))
        freed += file.second >= file.first->names ? 1 : 0;
    return freed + foldersAndLinks(node);
}

// The name made earlier in a rehearsal that the drive took name for: by
// the identity it gives both when only one has it (names made as links
// share one), else (FUSE gives each spelling an identity of its own) the
// one that differs only in letter case or in how its accents are written.
Name madeAs(Rehearsal &rehearsal, const QList<Name> &made, const Name &name)
{
    QByteArray id;
    QByteArray other;
    SystemError error;
    if (rehearsal.identify(name, &id, error)) {
        QList<Name> same;
        for (const Name &earlier : made) {
            if (rehearsal.identify(earlier, &other, error) && other == id)
                same.append(earlier);
        }
        if (same.size() == 1)
            return same.first();
    }
    const auto folded = [](const Name &made) {
        return shownName(made).normalized(QString::NormalizationForm_C).toCaseFolded();
    };
    for (const Name &earlier : made) {
        if (folded(earlier) == folded(name))
            return earlier;
    }
    return name;
}

// The copy is tried beside the old files, so it needs room for a second
// set of names: a drive that has none is refused, though the repair might
// have fitted.
QString noRoomToTry(const SystemError &error)
{
    return QStringLiteral("the Brask drive has no room left to try the copy on it (%1): make room there, then try "
                          "again")
        .arg(error.text());
}

// Why the Brask drive cannot take the copy of entry, as the rehearsal found.
QString refusedFile(Rehearsal &rehearsal, const QList<Name> &made, const SourceEntry &entry, Rehearsal::Made result,
                    const SystemError &error)
{
    const QString name = shownName(entry.name);
    switch (result) {
    case Rehearsal::Made::Exists: {
        const QString earlier = shownName(madeAs(rehearsal, made, entry.name));
        const QString why = earlier.compare(name, Qt::CaseInsensitive) == 0
                                ? QStringLiteral("differ only in letter case, and the Brask drive takes them for one file")
                                : QStringLiteral("are one name to the Brask drive");
        return QStringLiteral("the Ostrel files %1 and %2 %3: keep only the one the game uses in the Ostrel folder, "
                              "or put the Brask installation on a drive that tells them apart, then run Re-install "
                              "data again")
            .arg(earlier == name ? QStringLiteral("made before it") : earlier, name, why);
    }
    case Rehearsal::Made::TooLarge:
        return QStringLiteral("the Ostrel file %1 is %2, larger than the Brask drive takes (%3): put the Brask "
                              "installation on a drive that takes larger files (NTFS, exFAT or ext4, say), then run "
                              "Re-install data again")
            .arg(name, QLocale::system().formattedDataSize(entry.size, 1), error.text());
    case Rehearsal::Made::BadName:
        return QStringLiteral("the Brask drive cannot hold a file named %1, as the Ostrel file is named: put the "
                              "Brask installation on a drive that takes such names (NTFS or ext4, say), then run "
                              "Re-install data again")
            .arg(name);
    default:
        if (error.full())
            return noRoomToTry(error);
        // The folder it was made in is gone: another program took it.
        if (error.absent()) {
            return QStringLiteral("the folder the copy was being tried in was removed by another program while it "
                                  "was tried (%1): if another copy of Brask Repair is running, let it finish, then "
                                  "run Re-install data again")
                .arg(error.text());
        }
        return QStringLiteral("the Brask drive refused a file named %1 (%2)").arg(name, error.text());
    }
}

bool refuse(QString *why, const QString &text)
{
    setText(why, text);
    return false;
}

// The folders this process tried copies in: on Windows they are copied
// into later.
QSet<QString> &triedHere()
{
    static QSet<QString> names;
    return names;
}

const QRegularExpression &triedName()
{
    static const QRegularExpression probe(QStringLiteral("^\\.brask-repair-probe-(\\d+)-\\d+$"));
    return probe;
}

const QRegularExpression &deletedName()
{
    static const QRegularExpression deleted(QStringLiteral("^\\.brask-repair-deleted-\\d+-\\d+$"));
    return deleted;
}

// Whether a name is one the program gives what it leaves behind, and no
// longer in use: a folder a copy is tried in is in use while the run that
// made it runs. Process numbers come back (Wine gives the first program of
// each session the same one), so one of this process's number is a
// leftover unless this process made it.
bool leftoverName(const QString &shown)
{
    if (deletedName().match(shown).hasMatch())
        return true;
    const QRegularExpressionMatch tried = triedName().match(shown);
    if (!tried.hasMatch())
        return false;
    const qint64 pid = tried.captured(1).toLongLong();
    return pid == QCoreApplication::applicationPid() ? !triedHere().contains(shown) : !processRunning(pid);
}

// Whether a leftover holds only what the program makes: a folder a copy was
// tried in nothing but the empty files made there, and what was moved aside
// to be deleted is a file.
bool ownLeftover(const QString &shown, const Node &node)
{
    if (deletedName().match(shown).hasMatch())
        return node.kind == Kind::File;
    return node.kind == Kind::Folder
           && std::all_of(node.children.cbegin(), node.children.cend(),
                          [](const Node &child) { return child.kind == Kind::File && child.freed == 0; });
}

// What runs of the program that were ended before they finished left in
// folder: the folders made to try a copy, and on Windows the files moved
// aside to be deleted; those names only, and only what the program makes
// there. One that cannot be removed now stays for a later run.
void removeLeftovers(const NativePath &folder)
{
    QList<Name> names;
    SystemError error;
    if (!listNames(folder, &names, error))
        return;
    for (const Name &name : std::as_const(names)) {
        // Asked before the survey: a live try folder holds the whole copy's
        // names.
        if (!leftoverName(shownName(name)))
            continue;
        const NativePath path = joined(folder, name);
        Node node;
        NativePath where;
        if (survey(path, &node, &where, error) && ownLeftover(shownName(name), node))
            removeSurveyed(path, shownName(path), node, Progress{[](int) {}, [](int) {}}, nullptr, error);
    }
}

} // namespace

QString native(const QString &path)
{
    // A line break or other control character in a name would read as the
    // program's own text.
    QString shown = QDir::toNativeSeparators(path);
    for (QChar &c : shown) {
        if (c.category() == QChar::Other_Control)
            c = QChar::ReplacementCharacter;
    }
    return shown;
}

void setText(QString *out, const QString &text)
{
    if (out)
        *out = text;
}

bool removeFileIfPresent(const NativePath &path, const QString &shown, bool folderChecked, QString *failure,
                         bool *inUse)
{
    Dir holder;
    Name name;
    SystemError error{holder.openHolder(path, &name)};
    if (error.absent() && !folderChecked)
        return true;
    if (error.absent())
        error.code = FolderGone;
    else if (error.code == 0)
        error.code = holder.removeFile(name);
    if (error.code == 0 || isGone(error.code))
        return true;
    setText(failure, QStringLiteral("%1 (%2)").arg(native(shown), error.text()));
    if (inUse)
        *inUse = error.inUse();
    return false;
}

bool checkFolder(const QString &path, const QString &what, QString *failure)
{
    if (!exactPath(path)) {
        setText(failure, QStringLiteral("%1 %2 cannot be given to the system exactly as named: it holds bytes that "
                                        "are not text")
                             .arg(what, native(path)));
        return false;
    }
    QByteArray id;
    Kind kind = Kind::Missing;
    SystemError error;
    if (!identify(toNative(path), Links::Followed, &id, &kind, error)) {
        setText(failure, error.absent() ? QStringLiteral("%1 %2 does not exist").arg(what, native(path))
                                        : QStringLiteral("%1 %2 cannot be read (%3)").arg(what, native(path), error.text()));
        return false;
    }
    if (kind != Kind::Folder) {
        setText(failure, QStringLiteral("%1 %2 is not a folder").arg(what, native(path)));
        return false;
    }
    return true;
}

namespace {

// The two folders of a plan, each as cleaned and as the system takes it,
// and the folder the new destination is made in.
struct PlanPaths
{
    PlanPaths(const QString &src, const QString &dst)
        : from(cleanPath(src)), to(cleanPath(dst)), parent(QFileInfo(to).path()), nativeFrom(toNative(from)),
          nativeTo(toNative(to)), nativeParent(toNative(parent))
    {
    }
    QString from;
    QString to;
    QString parent;
    NativePath nativeFrom;
    NativePath nativeTo;
    NativePath nativeParent;
};

// Why a plan is refused, and which path the player should look at again.
struct Refusal
{
    QString why;
    Field field = Field::None;
};

bool refused(Refusal *refusal, const QString &why, Field field = Field::None)
{
    refusal->why = why;
    refusal->field = field;
    return false;
}

bool checkExact(const PlanPaths &paths, Refusal *refusal)
{
    for (const QString &path : {paths.from, paths.to}) {
        if (!exactPath(path)) {
            return refused(refusal,
                           QStringLiteral("%1 cannot be given to the system exactly as named: it holds bytes that "
                                          "are not text")
                               .arg(native(path)),
                           path == paths.from ? Field::Source : Field::Target);
        }
    }
    return true;
}

// The source: a folder whose listing, taken now, is what gets copied, in
// name order, hidden files left out; no two of its names one name on
// Windows.
bool checkSource(const PlanPaths &paths, QByteArray *id, QList<SourceEntry> *entries, Refusal *refusal)
{
    const QString from = native(paths.from);
    SystemError error;
    Kind kind = Kind::Missing;
    if (!identify(paths.nativeFrom, Links::Followed, id, &kind, error)) {
        return refused(refusal,
                       error.absent() ? QStringLiteral("the source folder %1 does not exist").arg(from)
                                      : QStringLiteral("the source folder %1 cannot be read (%2)").arg(from, error.text()),
                       Field::Source);
    }
    if (kind != Kind::Folder)
        return refused(refusal, QStringLiteral("the source %1 is not a folder").arg(from), Field::Source);
    QList<SourceEntry> listed;
    if (!listSource(paths.nativeFrom, &listed, error))
        return refused(refusal, QStringLiteral("the source folder %1 cannot be read (%2)").arg(from, error.text()),
                       Field::Source);
    for (const SourceEntry &entry : std::as_const(listed)) {
        if (!entry.hidden)
            entries->append(entry);
    }
    std::stable_sort(entries->begin(), entries->end(), [](const SourceEntry &a, const SourceEntry &b) {
        return shownName(a.name).compare(shownName(b.name), Qt::CaseInsensitive) < 0;
    });
    for (int i = 1; i < entries->size(); ++i) {
        if (namesClash(entries->at(i - 1).name, entries->at(i).name)) {
            return refused(refusal,
                           QStringLiteral("the Ostrel files %1 and %2 differ only in letter case, and a Windows "
                                          "folder cannot hold both: keep only the one the game uses in the Ostrel "
                                          "folder, then run Re-install data again")
                               .arg(shownName(entries->at(i - 1).name), shownName(entries->at(i).name)));
        }
    }
    return true;
}

// The destination: everything its removal reaches, and a parent folder that
// takes the new one.
bool checkTarget(const PlanPaths &paths, Node *target, QByteArray *parentId, Refusal *refusal)
{
    SystemError error;
    NativePath where;
    if (!survey(paths.nativeTo, target, &where, error)) {
        // Named as the player typed the folder it lies in.
        const QString shown = where.startsWith(paths.nativeTo) ? paths.to + shownName(where.mid(paths.nativeTo.size()))
                                                               : shownName(where);
        if (error.badName())
            return refused(refusal, QStringLiteral("%1 has a name that Windows cannot use (it holds one of \\ : * ? "
                                                   "\" < > |): rename or remove it from Linux, then run Re-install "
                                                   "data again")
                                        .arg(native(shown)));
        return refused(refusal, QStringLiteral("%1 cannot be read (%2)").arg(native(shown), error.text()));
    }
    if (target->kind == Kind::File || target->kind == Kind::Other)
        return refused(refusal, QStringLiteral("could not be created: something that is not a folder is in the way"),
                       Field::Target);
    const QString parent = native(paths.parent);
    Kind kind = Kind::Missing;
    if (!identify(paths.nativeParent, Links::Followed, parentId, &kind, error)) {
        return refused(refusal,
                       error.absent() ? QStringLiteral("could not be created: %1 does not exist").arg(parent)
                                      : QStringLiteral("could not be created: %1 cannot be read (%2)")
                                            .arg(parent, error.text()),
                       Field::Target);
    }
    if (kind != Kind::Folder)
        return refused(refusal, QStringLiteral("could not be created: %1 is not a folder").arg(parent), Field::Target);
    return true;
}

// The copy removes and writes the destination and makes its entry in the
// parent: none of these, nor any folder holding them, may be the source,
// and the destination may not hold the source.
bool checkNesting(const PlanPaths &paths, const QByteArray &sourceId, const QByteArray &parentId, const Node &target,
                  Refusal *refusal)
{
    SystemError error;
    auto cannotCompare = [&] {
        return refused(refusal, QStringLiteral("could not tell whether the source folder %1 lies inside this folder "
                                               "(%2)")
                                    .arg(native(paths.from), error.text()));
    };
    QList<QByteArray> written;
    QByteArray targetId;
    if (target.kind == Kind::Folder || target.kind == Kind::Link) {
        Kind kind = Kind::Missing;
        if (identify(paths.nativeTo, Links::Followed, &targetId, &kind, error)) {
            if (!ancestry(paths.nativeTo, &written, error))
                return cannotCompare();
        } else if (!error.absent()) {
            return cannotCompare();
        }
    }
    QList<QByteArray> holdingSource;
    // Folders reached by a name of their own (a second drive letter, a
    // share, a bind mount) have parents of their own too: where the
    // destination or its parent lies inside the source is learnt from the
    // source's side.
    QList<QByteArray> insideSource;
    if (!ancestry(paths.nativeParent, &written, error) || !ancestry(paths.nativeFrom, &holdingSource, error)
        || !folderTree(paths.nativeFrom, &insideSource, error))
        return cannotCompare();
    if (written.contains(sourceId) || (!targetId.isEmpty() && holdingSource.contains(targetId))
        || insideSource.contains(parentId) || (!targetId.isEmpty() && insideSource.contains(targetId))) {
        return refused(refusal, QStringLiteral("the source folder %1 is this folder, or one lies inside the other")
                                    .arg(native(paths.from)),
                       Field::Both);
    }
    return true;
}

// What the plan's removal must not reach: the way to the new folder's
// parent, which must still lead there once the old folder is gone (with
// ".." after it, it would not); everything the system goes through to reach
// the source; and each file copied, hop by hop where it is a link. A file
// that cannot be read would stop the copy with the old folder already gone.
bool checkReads(const PlanPaths &paths, CopyPlan *plan, Refusal *refusal)
{
    SystemError error;
    if (!reachedThrough(paths.nativeParent, &plan->way, error))
        return refused(refusal, QStringLiteral("could not tell what the way to %1 goes through (%2)")
                                    .arg(native(paths.parent), error.text()));
    auto cannotFollow = [&](const QString &shown) {
        return refused(refusal, QStringLiteral("could not tell what the source %1 is reached through (%2)")
                                    .arg(native(shown), error.text()));
    };
    QList<QByteArray> ids;
    if (!reachedThrough(plan->nativeSrc, &ids, error))
        return cannotFollow(plan->src);
    for (const QByteArray &id : std::as_const(ids))
        plan->reads.append({id, plan->src});
    for (const SourceEntry &entry : std::as_const(plan->entries)) {
        if (entry.kind != Kind::File)
            continue;
        const QString shown = shownChild(plan->src, entry.name);
        if (!entry.readError.isEmpty())
            return refused(refusal, QStringLiteral("the source file %1 cannot be read (%2)")
                                        .arg(native(shown), entry.readError));
        if (!entry.ownName)
            plan->reads.append({entry.id, shown});
        ids.clear();
        if (entry.link && !reachedThrough(joined(plan->nativeSrc, entry.name), &ids, error))
            return cannotFollow(shown);
        for (const QByteArray &id : std::as_const(ids))
            plan->reads.append({id, shown});
    }
    return true;
}

} // namespace

bool planCopy(const QString &src, const QString &dst, CopyPlan *plan, QString *why, Field *field)
{
    const PlanPaths paths(src, dst);
    CopyPlan checked;
    checked.src = paths.from;
    checked.dst = paths.to;
    checked.nativeSrc = paths.nativeFrom;
    checked.nativeDst = paths.nativeTo;
    QByteArray sourceId;
    QByteArray parentId;
    Refusal refusal;
    const bool sound = checkExact(paths, &refusal) && checkSource(paths, &sourceId, &checked.entries, &refusal)
                       && checkTarget(paths, &checked.target, &parentId, &refusal)
                       && checkNesting(paths, sourceId, parentId, checked.target, &refusal)
                       && checkReads(paths, &checked, &refusal)
                       && checkApart(checked, checked, &refusal.why, &refusal.field);
    if (!sound) {
        setText(why, refusal.why);
        if (field)
            *field = refusal.field;
        return false;
    }
    *plan = std::move(checked);
    return true;
}

namespace {

void spend(Spent *spent, const QByteArray &drive, qint64 needed, qint64 freed, qint64 names)
{
    if (spent->drive != drive)
        *spent = Spent{drive};
    spent->needed += needed;
    spent->freed += freed;
    spent->names += names;
}

} // namespace

bool probeTarget(CopyPlan &plan, QString *why, Spent *spent)
{
    const QString parent = QFileInfo(plan.dst).path();
    const NativePath nativeParent = toNative(parent);
    if (spent)
        spent->lacking = 0;
    removeLeftovers(nativeParent);

    // Asked of the drive, not guessed: can the new folder be made where the
    // old one is removed, and will it take every file of the copy?
    SystemError error;
    const auto rehearsal = std::make_shared<Rehearsal>();
    NativePath folder;
    if (!rehearsal->open(nativeParent, &folder, error)) {
        if (error.full())
            return refuse(why, noRoomToTry(error));
        return refuse(why, QStringLiteral("the system refused a new folder in %1 (%2), so nothing was removed")
                               .arg(native(parent), error.text()));
    }
    triedHere().insert(QFileInfo(QDir::fromNativeSeparators(shownName(folder))).fileName());
    Room room;
    if (!rehearsal->room(&room, error)) {
        return refuse(why, QStringLiteral("the system did not say how much room %1 has (%2), so nothing was removed")
                               .arg(native(parent), error.text()));
    }
    auto withHoles = [](const SourceEntry &entry) { return entry.kind == Kind::File && entry.stored >= 0; };
    const bool holes = std::any_of(plan.entries.cbegin(), plan.entries.cend(), withHoles) && rehearsal->keepsHoles();
    Source source;
    if (!source.open(plan.nativeSrc, error)) {
        return refuse(why, QStringLiteral("the Ostrel folder %1 could not be opened to check its files once more (%2), "
                                          "so nothing was removed")
                               .arg(native(plan.src), error.text()));
    }
    qint64 needed = 0;
    qint64 names = 1; // the folder itself
    QList<Name> made;
    for (const SourceEntry &entry : plan.entries) {
        if (entry.kind != Kind::File)
            continue;
        needed += holes && entry.stored >= 0 ? storedWithHoles(entry, room.unit) : roundedUp(entry.size, room.unit);
        ++names;
        // The file the copy will read is still the one checked, here where
        // the old folder is still there.
        if (!source.asListed(entry, error)) {
            return refuse(why, QStringLiteral("the Ostrel file %1 changed after it was checked (%2): run Re-install "
                                              "data again")
                                   .arg(shownName(entry.name), error.text()));
        }
        if (entry.size > room.limit) {
            const QLocale locale = QLocale::system();
            return refuse(why, QStringLiteral("the Ostrel file %1 is %2, larger than this program may write (its "
                                              "file-size limit is %3)")
                                   .arg(shownName(entry.name), locale.formattedDataSize(entry.size, 1),
                                        locale.formattedDataSize(room.limit, 1)));
        }
        const Rehearsal::Made result = rehearsal->make(entry, entry.size > room.largest, error);
        if (result != Rehearsal::Made::Yes)
            return refuse(why, refusedFile(*rehearsal, made, entry, result, error));
        made.append(entry.name);
    }
    // The folder's own entries take room too (exFAT's are large).
    const qint64 folderSize = rehearsal->size();
    if (folderSize < 0) {
        return refuse(why, QStringLiteral("the system did not say how much room %1 takes, so nothing was removed")
                               .arg(native(shownName(folder))));
    }
    needed += roundedUp(folderSize, room.unit);
#ifndef Q_OS_WIN
    if (!rehearsal->close(error)) {
        return refuse(why, QStringLiteral("the folder %1, made to try the copy, could not be removed again (%2), so "
                                          "nothing was removed")
                               .arg(native(shownName(folder)), error.text()));
    }
#endif

    // Room: the drive's free space, what the removal gives back, less what
    // the copies before took there, with a margin for the folder itself.
    qint64 freed = 0;
    qint64 namesFreed = 0;
    if (plan.target.kind == Kind::Folder) {
        freed = freedBy(plan.target, room.unit);
        namesFreed = namesFreedBy(plan.target);
    } else if (plan.target.kind != Kind::Missing) {
        namesFreed = 1;
    }
    const bool after = spent && spent->drive == room.drive
                       && (spent->needed != 0 || spent->freed != 0 || spent->names != 0);
    const qint64 namesLeft = room.names == std::numeric_limits<qint64>::max()
                                 ? room.names
                                 : room.names + namesFreed - (after ? spent->names : 0);
    if (names > namesLeft) {
        return refuse(why, QStringLiteral("the Brask drive can hold only %1 more files and folders once the old ones "
                                          "are gone%2, however much free space it has, and the copy makes %3 (its "
                                          "files and the folder): delete at least %4 files or folders there that you "
                                          "do not need (small ones count as much as large ones), then run Re-install "
                                          "data again")
                               .arg(std::max<qint64>(namesLeft, 0))
                               .arg(after ? QStringLiteral(" and the copies before this one are made") : QString())
                               .arg(names)
                               .arg(names - std::max<qint64>(namesLeft, 0)));
    }
    // Counted with the copies before it: what they all have there once the
    // old files are gone, and what they all need.
    const qint64 has = room.free + freed + (after ? spent->freed : 0);
    const qint64 wanted = needed + (after ? spent->needed : 0);
    const qint64 margin = qint64(1) << 20;
    if (wanted + margin > has) {
        if (spent) {
            spend(spent, room.drive, needed, freed, names - namesFreed);
            spent->lacking = wanted + margin - has;
        }
        const QLocale locale = QLocale::system();
        return refuse(why, QStringLiteral("the Brask drive has room for %1 once the old files are gone, but %2 %3 "
                                          "there (%4 for the files, as that drive stores them, and %5 kept spare): "
                                          "free %6 more there, then run Re-install data again")
                               .arg(locale.formattedDataSize(has, 1),
                                    after ? QStringLiteral("this copy and the ones before it need")
                                          : QStringLiteral("the copy needs"),
                                    locale.formattedDataSize(wanted + margin, 1),
                                    locale.formattedDataSize(wanted, 1), locale.formattedDataSize(margin, 0),
                                    locale.formattedDataSize(wanted + margin - has, 1)));
    }
    if (spent)
        spend(spent, room.drive, needed, freed, names - namesFreed);
#ifdef Q_OS_WIN
    // Each name the try made is a file of its own there, and Windows
    // drives (Wine's above all) make new names slowly in large folders:
    // the copy writes into these instead. A plan that is dropped removes
    // them with the folder.
    plan.tried = rehearsal;
#endif
    return true;
}

void dropTry(CopyPlan &plan)
{
#ifdef Q_OS_WIN
    // What cannot be removed now a later run removes.
    plan.tried.reset();
#else
    Q_UNUSED(plan);
#endif
}

bool checkApart(const CopyPlan &reader, const CopyPlan &remover, QString *why, Field *field)
{
    if (field)
        *field = Field::None;
    QHash<QByteArray, QString> reached;
    Obstacle obstacle;
    if (remover.target.kind != Kind::Missing)
        collect(remover.target, remover.dst, &reached, &obstacle);
    // The removal would go on into another file system, whatever lies there.
    if (!obstacle.mountPoint.isEmpty()) {
        setText(why, QStringLiteral("%1 is a mount point: another file system is mounted there, and it is not "
                                    "removed. Unmount it, then run Re-install data again")
                         .arg(native(obstacle.mountPoint)));
        return false;
    }
    if (!obstacle.foreignLink.isEmpty()) {
        setText(why, QStringLiteral("%1 is a link; remove it yourself, then run Re-install again. Remove it from "
                                    "Linux, not through Wine: Wine would delete what it leads to. What it leads to "
                                    "stays, and Re-install brings back what Ostrel has.")
                         .arg(native(obstacle.foreignLink)));
        return false;
    }
    // Half a removal that no later run could finish either.
    if (!obstacle.blocked.isEmpty()) {
        setText(why, QStringLiteral("%1 cannot be removed (%2), so nothing was removed. Give yourself permission to "
                                    "remove it, then run Re-install data again")
                         .arg(native(obstacle.blocked), qt_error_string(obstacle.code)));
        return false;
    }
    for (const QByteArray &id : reader.way) {
        const auto found = reached.constFind(id);
        if (found != reached.cend()) {
            setText(why, QStringLiteral("%1 is reached through %2, which the repair would remove first")
                             .arg(native(reader.dst), native(*found)));
            if (field)
                *field = Field::Target;
            return false;
        }
    }
    for (const auto &read : reader.reads) {
        const auto found = reached.constFind(read.first);
        if (found != reached.cend()) {
            setText(why, QStringLiteral("the source %1 is reached through %2, which the repair would remove")
                             .arg(native(read.second), native(*found)));
            if (field)
                *field = Field::Both;
            return false;
        }
    }
    return true;
}

Loss unrebuilt(const CopyPlan &plan)
{
    Loss loss;
    loss.replacesLink = plan.target.kind == Kind::Link;
    if (plan.target.kind != Kind::Folder)
        return loss;
    QList<Name> made;
    QSet<Name> madeExactly;
    for (const SourceEntry &entry : plan.entries) {
        if (entry.kind == Kind::File) {
            made.append(entry.name);
            madeExactly.insert(entry.name);
        }
    }
    // Most names come back as they were: only the others are compared with
    // every name made.
    auto isMade = [&](const Name &name) {
        return madeExactly.contains(name)
               || std::any_of(made.cbegin(), made.cend(), [&](const Name &file) { return namesClash(file, name); });
    };
    std::function<void(const Node &)> count = [&](const Node &node) {
        if (node.kind == Kind::Folder)
            ++loss.folders;
        else if (node.kind == Kind::Link)
            ++loss.links;
        else
            ++loss.files;
        for (const Node &child : node.children)
            count(child);
    };
    for (const Node &child : plan.target.children) {
        if (child.kind == Kind::File && isMade(child.name))
            continue;
        count(child);
        loss.names.append(shownName(child.name));
    }
    return loss;
}

// The room was counted before the removal, with what it gives back; the
// system gives a removed file's room back only once no program has it open.
const QString roomGone = QStringLiteral(". The room was there when the repair checked it, but a program that still has "
                                        "one of the old files open (the game or the launcher) keeps that file's room "
                                        "until it closes it, and other programs may have taken room since: close the "
                                        "game and the launcher, or free room on the Brask drive");

namespace {

// Makes the new folder: on Windows the one the copy was tried in, under the
// old one's name.
bool makeAgain(const CopyPlan &plan, SystemError &error)
{
#ifdef Q_OS_WIN
    if (plan.tried && plan.tried->adopt(plan.nativeDst, error))
        return true;
    // Where it cannot take that name, the folder is made as it would be
    // without it, and the copy makes every name again.
    SystemError ignored;
    if (plan.tried)
        plan.tried->close(ignored);
#endif
    return makeFolder(plan.nativeDst, error);
}

bool openCopy(const CopyPlan &plan, Copier *copier, SystemError &error)
{
#ifdef Q_OS_WIN
    if (plan.tried && plan.tried->adopted())
        return copier->open(plan.nativeSrc, *plan.tried, error);
#endif
    return copier->open(plan.nativeSrc, plan.nativeDst, error);
}

// A copy that stops leaves no empty file behind that looks like one of the
// game's; what cannot be removed is said.
QString leftEmpty(const CopyPlan &plan)
{
#ifdef Q_OS_WIN
    SystemError error;
    if (plan.tried && !plan.tried->close(error)) {
        return QStringLiteral(". Some of the empty files made for the files not copied are still there (%1); "
                              "Re-install data replaces them when it runs again")
            .arg(error.text());
    }
#else
    Q_UNUSED(plan);
#endif
    return QString();
}

} // namespace

Reached replace(const CopyPlan &plan, const Progress &progress, QString *why, bool *inUse)
{
#ifdef Q_OS_WIN
    // While the try's folder is held open, Wine lists the new folder as
    // empty to every program: it is let go of before the player is told.
    const auto letGo = qScopeGuard([&plan] {
        SystemError ignored;
        if (plan.tried)
            plan.tried->close(ignored);
    });
#endif
    SystemError error;
    Reached reached = Reached::Untouched;
    auto fail = [&](const QString &text) {
        setText(why, text);
        if (inUse)
            *inUse = error.inUse();
        return reached;
    };

    // Only what the system said it removed counts as changed.
    QString failedPath;
    int removed = 0;
    const bool gone = removeSurveyed(plan.nativeDst, plan.dst, plan.target, progress, &failedPath, error, &removed);
    if (removed > 0)
        reached = Reached::Removing;
    if (!gone)
        return fail(QStringLiteral("could not remove %1 (%2)").arg(native(failedPath), error.text()));
    if (plan.target.kind != Kind::Missing)
        reached = Reached::Making;
    if (!makeAgain(plan, error))
        return fail(QStringLiteral("could not be created (%1)").arg(error.text()));
    reached = Reached::Copying;

    Copier copier;
    if (!openCopy(plan, &copier, error))
        return fail(QStringLiteral("could not be opened for the copy (%1)%2").arg(error.text(), leftEmpty(plan)));
    progress.setMaximum(int(plan.entries.size()));
    int count = 0;
    for (const SourceEntry &entry : plan.entries) {
        progress.setValue(++count);
        const QString name = shownName(entry.name);
        if (entry.kind == Kind::Folder)
            qDebug() << "Unhandled folder" << plan.src + QLatin1Char('/') + name << "in cpDir";
        else if (entry.kind != Kind::File)
            qDebug() << "Unhandled item" << plan.src + QLatin1Char('/') + name << "in cpDir";
        else if (!copier.copy(entry.name, entry.id, entry.size, error))
            return fail(QStringLiteral("could not copy %1 (%2)%3%4")
                            .arg(name, error.text(), error.full() ? roomGone : QString(), leftEmpty(plan)));
    }
    if (!copier.finish(error))
        return fail(QStringLiteral("could not write the copies to disk (%1)").arg(error.text()));
    return Reached::Done;
}

} // namespace FileOps
