#ifndef FILEOPS_H
#define FILEOPS_H

#include <QByteArray>
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QStringList>

// The file routines of the repairs. Every decision to delete is taken from
// what the system answers, never from a name or a second look: a file counts
// as absent only when its removal's own error says so, a folder as empty
// only when it was listed without error, and two folders as one only when
// the system gives them the same identity.
namespace FileOps {

// What the system said when one of its calls failed.
struct SystemError
{
    QString text;           // the system's own words
    bool notFound = false;  // the entry, or a folder on its way, is not there
    bool inUse = false;     // another program holds the file (only Windows locks files so)
};

// A copy that has passed every check and may now replace its destination.
struct CopyPlan
{
    QString src;
    QString dst;
    QFileInfoList entries;  // the source's listing, taken before anything is removed
};

// Each system's half lives in fileops_posix.cpp or fileops_win.cpp.

// A path as the player typed or pasted it, made fit to use: on Windows, where
// no name may hold a double quote, without the pair that Explorer's "Copy as
// path" puts around it; then without doubled separators, "." and "..".
QString cleanPath(const QString &path);

// Removes one file, or a link of any kind without following it. On Windows a
// read-only file is made writable and tried once more; if that fails too, it
// is made read-only again and the second attempt's error is the one given.
bool removeFile(const QString &path, SystemError *error);

// Removes an empty folder.
bool removeFolder(const QString &path, SystemError *error);

// Makes one folder, in a parent that must exist.
bool makeFolder(const QString &path, SystemError *error);

// The names in a folder, hidden ones included, without "." and "..".
bool listNames(const QString &folder, QStringList *names, SystemError *error);

// Copies a file to a new name, which must not exist yet, and puts the
// copy's data on disk before returning.
bool copyFile(const QString &from, const QString &to, SystemError *error);

// The identity the system gives the file or folder at path, following links:
// the same through every name that reaches it (links, junctions, drive
// aliases, short names, shares), different for any other.
bool identify(const QString &path, QByteArray *id, bool *isFolder, SystemError *error);

// The identities of the folder at path and of every folder that holds it, up
// to the root of its volume, as the system resolves the path.
bool ancestry(const QString &folder, QList<QByteArray> *chain, SystemError *error);

// Puts the names of the files copied into folder, and the folder's own, on
// disk before returning.
bool syncToDisk(const QString &folder, QString *error);

// The rest is shared by both systems (fileops.cpp).

// The path as the user's system writes it, for messages.
QString native(const QString &path);

// Stores text where out points, when it points anywhere.
void setText(QString *out, const QString &text);

// A failure line: the path and the system's reason.
QString failureLine(const QString &path, const SystemError &error);

// Removes a file; one that the system says is not there counts as removed.
// On failure, failure receives a line naming the file and the reason, and
// inUse whether another program holds it.
bool removeFileIfPresent(const QString &path, QString *failure, bool *inUse);

// Checks that path names an existing folder; on failure, failure receives a
// line that says what is wrong, naming the folder as what.
bool checkFolder(const QString &path, const QString &what, QString *failure);

// The entries of a folder in name order, letter case ignored. For a copy,
// hidden entries and entries that are neither file nor folder are left out;
// for a removal nothing is.
bool listEntries(const QString &folder, bool forRemoval, QFileInfoList *entries, SystemError *error);

// Checks everything that could make replacing dst by the files of src lose
// data or write into src, before anything is touched: src is a folder that
// can be listed, the two do not overlap, and dst can be made. On success,
// plan holds what the copy needs; otherwise why says what is wrong.
bool planCopy(const QString &src, const QString &dst, CopyPlan *plan, QString *why);

} // namespace FileOps

#endif
