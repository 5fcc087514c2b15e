#ifndef FILEOPS_H
#define FILEOPS_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// The file routines of the repairs. Every decision to delete is taken from
// what the system answers, never from a name or a second look: a file counts
// as absent only when its removal's own error says so, a folder as empty
// only when it was listed without error, and two folders as one only when
// the system gives them the same identity. A removal takes exactly what was
// surveyed before it, and never follows a link.
namespace FileOps {

class Rehearsal;

// A path or a name exactly as the system takes and gives it: bytes on POSIX,
// UTF-16 code units on Windows (there as the extended \\?\ form, which Win32
// passes on without trimming or reinterpreting anything). Names the program
// cannot show are still used as they are; only messages show them lossily.
using NativePath = QByteArray;
using Name = QByteArray;

// What a failed call said, as a code: the system's own (errno on POSIX, a
// Win32 error code on Windows) or, below zero, one of the program's. What a
// code means is decided by these members alone.
struct SystemError
{
    int code = 0;
    QString text() const;   // in words, for messages
    bool absent() const;    // the entry, or a folder on its way, is not there
    bool inUse() const;     // another program holds the file
    bool full() const;      // the drive, or this user's share of it, has no room left
    bool badName() const;   // a listed name that the system cannot open (under Wine, a Unix name Windows cannot hold)
};

enum class Kind { Missing, File, Folder, Link, Other };

// Whether a question about a path is about what a link there leads to, or
// about the link itself.
enum class Links { Followed, NotFollowed };

// One entry that a removal will reach, as the system listed it, links not
// followed: a link (on Windows any reparse point: symbolic link, junction,
// volume mount point) is an entry of its own and never walked into.
struct Node
{
    Name name;
    Kind kind = Kind::Missing;
    QByteArray id;              // the system's identity of the entry itself
    bool mountPoint = false;    // a folder that another file system is mounted on
    int blocked = 0;            // the system's error that removing it would meet, when known beforehand
    int keepsEntries = 0;       // a folder's: the error that removing its entries would meet, if it has any
    // A link that the system would not remove as a link: Wine shows a Unix
    // symbolic link as a reparse point of a tag Windows never gives, and
    // deletes what it leads to, however the delete is asked for.
    bool foreignLink = false;
    qint64 freed = 0;           // what the drive gets back when this file's last name goes, in bytes
    quint32 names = 1;          // how many names the file has
    QList<Node> children;       // a folder's entries, by name, letter case ignored
};

// One entry of a source folder, links followed, as the copy will open it.
struct SourceEntry
{
    Name name;
    Kind kind = Kind::Other;    // File, Folder or Other
    bool hidden = false;
    bool link = false;          // the entry itself is a link
    // The system says the entry is one of the file's own names, not a link
    // to it: a Brask name of the same file (a hard link) is then not the
    // way to it, and its removal leaves this name.
    bool ownName = false;
    QByteArray id;
    QString readError;          // the system's words when a file cannot be opened for reading
    qint64 size = 0;            // a file's size when it was listed
    // A file with holes, as the copy finds them (SEEK_HOLE): the bytes of
    // its runs of data, and how many runs; else -1.
    qint64 stored = -1;
    qint64 runs = 0;
    unsigned mode = 0644;       // the permission bits its copy gets, where the system keeps them
};

// The progress bar of the window, as far as the file routines drive it.
struct Progress
{
    std::function<void(int)> setMaximum;
    std::function<void(int)> setValue;
};

// A path as the player typed or pasted it, made fit to use: on Windows, where
// no name may begin or end with a blank or hold a double quote, without
// surrounding blanks and without the pair of quotes that Explorer's "Copy as
// path" puts around it; then without doubled separators, "." and "..". Empty
// when nothing is left.
QString cleanPath(const QString &typed);

// The path to give the system for a cleaned path; on Windows made absolute
// once, so that the check and the act mean the same folder.
NativePath toNative(const QString &path);

// A name as the system gave it, for messages and the debug stream.
QString shownName(const Name &name);

// A name that the program itself spells, as the system takes it.
Name nameOf(const QString &name);

// The path of name inside folder.
NativePath joined(const NativePath &folder, const Name &name);

// The folder an environment variable names. False when it is unset, blank
// or relative: such a value names no folder of the user's.
bool environmentFolder(const char *variable, NativePath *folder);

// The identity the system gives the entry at path, links followed or not:
// the same through every name that reaches it (links, junctions, drive
// aliases, short names, shares), different for any other.
bool identify(const NativePath &path, Links links, QByteArray *id, Kind *kind, SystemError &error);

// What a removal of path would reach: the entry itself, and below a folder
// everything in it. On failure, where receives the entry that could not be
// looked at.
bool survey(const NativePath &path, Node *root, NativePath *where, SystemError &error);

// Removes what survey() found at path, and nothing else: an entry that is no
// longer the one surveyed, or a folder that holds more than was listed,
// stops the removal. shown names path in messages; on failure, failed
// receives the shown path of the entry that could not be removed. removed
// (when given) counts the entries the system said it removed.
bool removeSurveyed(const NativePath &path, const QString &shown, const Node &root, const Progress &progress,
                    QString *failed, SystemError &error, int *removed = nullptr);

// The path as the user's system writes it, for messages.
QString native(const QString &path);

// Stores text where out points, when it points anywhere.
void setText(QString *out, const QString &text);

// Removes one file or link without following it, in the folder that holds
// it, held open; one that the system says is not there counts as removed,
// and so does a folder that is not there, unless it was just found to exist
// (folderChecked). On Windows a read-only file is made writable and tried
// once more; if that fails too, it is made read-only again and the second
// attempt's error is the one given. On failure, failure receives a line
// naming the file (as shown) and the reason, and inUse whether another
// program holds it.
bool removeFileIfPresent(const NativePath &path, const QString &shown, bool folderChecked, QString *failure,
                         bool *inUse);

// Checks that path names an existing folder; on failure, failure receives a
// line that says what is wrong, naming the folder as what.
bool checkFolder(const QString &path, const QString &what, QString *failure);

// Replacing dst by the files of src, as checked before anything is touched.
struct CopyPlan
{
    QString src;                        // cleaned, for messages
    QString dst;
    NativePath nativeSrc;
    NativePath nativeDst;
    Node target;                        // everything the removal of dst reaches
    QList<SourceEntry> entries;         // what the copy takes, in name order
    // Every identity the copy reads through: the folders on the source's
    // path, links followed and not, and the files it opens.
    QList<QPair<QByteArray, QString>> reads;
    // Every identity the system goes through to reach dst's parent.
    QList<QByteArray> way;
#ifdef Q_OS_WIN
    // The folder the copy was tried in, every file of it made there empty:
    // once dst is removed, it takes dst's name and the copy writes into
    // those files, so that each name is made once.
    std::shared_ptr<Rehearsal> tried;
#endif
};

// Which path the player should look at again when a plan is refused.
enum class Field { None, Source, Target, Both };

// Checks everything that could make replacing dst by the files of src lose
// data or write into src, before anything is touched: src is a folder that
// can be listed, the two do not overlap, nothing the removal reaches is
// read by the copy or on the way to dst, and no file system is mounted
// inside dst. It writes nothing. On success, plan holds what the copy needs;
// otherwise why says what is wrong, and field (when given) which path
// the refusal comes from.
bool planCopy(const QString &src, const QString &dst, CopyPlan *plan, QString *why, Field *field = nullptr);

// What a plan's removal deletes that its copy does not make again: entries
// of dst that are not files of the same name among the files copied
// (subfolders, links, other entries, files the source lacks), each counted
// with everything below it; or dst itself, when it is a link.
struct Loss
{
    int files = 0;      // files and other entries
    int folders = 0;
    int links = 0;
    QStringList names;  // the top-level entries, in name order
    bool replacesLink = false;
    bool isEmpty() const { return files == 0 && folders == 0 && links == 0 && !replacesLink; }
};
Loss unrebuilt(const CopyPlan &plan);

// What the copies tried before need on a drive, what their removals give
// back there, and the files and folders they add; and what the last one
// tried lacked there for room, with those before it (0 unless it was
// refused for room; it is counted as made, so that the next one's figure
// covers both).
struct Spent
{
    QByteArray drive;
    qint64 needed = 0;
    qint64 freed = 0;
    qint64 names = 0;
    qint64 lacking = 0;
};

// Tries a plan's copy on the drive it will write, before anything is
// removed: removes what killed runs of the program left beside the new
// folder, then makes a folder of the program's own there, makes every file
// of the copy in it once, and counts the room the copy needs against what
// the drive has and the removal frees (less what spent takes, when given).
// why says what the drive answered otherwise. On Windows the plan keeps
// that folder for the copy.
bool probeTarget(CopyPlan &plan, QString *why, Spent *spent = nullptr);

// Removes the folder the plan's copy was tried in, where the plan kept it:
// for a plan that will not be carried out.
void dropTry(CopyPlan &plan);

// How far a replacement got before it stopped.
enum class Reached { Untouched, Removing, Making, Copying, Done };

// Replaces a plan's dst by copies of its files, as planCopy and probeTarget
// checked them: removes what the survey found, makes the folder again,
// copies each file and puts the copies on disk. Entries of src that are not
// files are named on the debug stream. On failure, why says what stopped it
// and inUse (when given) whether another program held the file.
Reached replace(const CopyPlan &plan, const Progress &progress, QString *why, bool *inUse = nullptr);

// Checks that the removal of one plan reaches nothing that another reads,
// or goes through to reach its folder.
bool checkApart(const CopyPlan &reader, const CopyPlan &remover, QString *why, Field *field = nullptr);

} // namespace FileOps

#endif
