#ifndef FILEOPS_DIR_H
#define FILEOPS_DIR_H

// What each system's half of the file routines (fileops_posix.cpp,
// fileops_win.cpp) gives the code that both share: the walks (walks.cpp) on
// a folder held open, with every entry reached relative to it and links
// never followed, so that a folder swapped for a link or a junction after it
// was opened redirects nothing; and the answers about paths, drives and
// copies that the plan and the act (fileops.cpp) ask.
#include "fileops/fileops.h"

#include <QtGlobal>

#include <memory>

#ifdef Q_OS_WIN
#include <string>
#endif

namespace FileOps {

// A failure as SystemError holds it: below zero, one of the program's.
using Code = int;
enum : Code {
    Changed = -1,     // the entry is no longer the one surveyed
    TooDeep = -2,     // folders nested deeper than the walk goes
    Unlisted = -3,    // a folder holds entries that its listing never gave
    HeldOpen = -4,    // another program still has the file open (a FUSE drive keeps it so)
    LinuxKept = -5,   // Wine said the file was deleted, but Linux kept it
    Mounted = -6,     // another file system is mounted on the folder
    UnixLink = -7,    // a link that the system would not remove as a link
    Replaced = -8,    // a source file replaced or rewritten since it was listed
    Rewritten = -9,   // a source file that changed while it was copied
    FolderGone = -10, // the folder that holds a file was found, and is no longer there
};

// Whether code says that the entry asked for is not there, in a folder that
// is: the one answer after which a removal counts as done.
bool isGone(Code code);

// How deep the walks go, as far as this system lets them.
int deepest();

// What a folder that would not go still holds: the entry to name (none when
// the folder itself is to be named) and how many of the entries counted as
// removed are still there after all.
struct Stayed
{
    Name name;
    int counted = 0;
};

// A folder held open.
class Dir
{
public:
    Dir() = default;
    ~Dir();
    Dir(const Dir &) = delete;
    Dir &operator=(const Dir &) = delete;

    // Opens the folder at path, links on the way followed, its own too.
    Code open(const NativePath &path);
    // Opens the folder that holds the entry at path, as open() does; name
    // receives the entry's name in it, and parent (when given) the
    // folder's path.
    Code openHolder(const NativePath &path, Name *name, NativePath *parent = nullptr);
    // The entry name of this folder, as a survey sees it: its kind and
    // identity, and what removing it would meet.
    Code look(const Name &name, Node *node) const;
    // Every entry of this folder, each as look() sees it, or (foldersOnly)
    // at least every folder; where one cannot be looked at, at receives its
    // name.
    Code list(QList<Node> *entries, Name *at, bool foldersOnly = false) const;
    // Opens the folder node names, to list it or to remove what it holds: a
    // link, or any folder but the one surveyed, is refused (Changed).
    Code openFolder(const Node &node, bool toRemove, Dir *folder) const;
    // Removes the file or link node names, when it is still the one surveyed.
    Code remove(const Node &node) const;
    // Removes the file or link name, whatever it is.
    Code removeFile(const Name &name) const;
    // Removes the folder node names, emptied through folder. One that still
    // holds something fills stayed.
    Code removeEmptied(const Node &node, Dir &folder, Stayed *stayed) const;

private:
    void close();
#ifdef Q_OS_WIN
    void *m_handle = reinterpret_cast<void *>(-1);
    std::wstring m_path;         // as opened, for what Windows asks of a path only
    std::wstring m_final;        // the system's own path of it, under Wine only
    QByteArray m_serial;         // its volume's serial number, as its identity begins
    std::wstring m_aside;        // the folder held files are moved aside into
    bool m_lettingGo = false;    // whether it lets its entries be deleted
    bool m_writable = false;     // opened to change its attributes
#else
    // Holds fd from now on; id (when given) receives its identity.
    Code take(int fd, QByteArray *id = nullptr);
    int m_fd = -1;
    unsigned m_mode = 0;
    unsigned m_owner = 0;
    quint64 m_device = 0;
#endif
};

// False when path cannot go to the system exactly as the user's system named
// it: on POSIX, a name of bytes that are not text, which Qt's strings only
// hold as replacement characters.
bool exactPath(const QString &path);

// The identities of the folder at path and of every folder that holds it, up
// to the root of its volume, as the system resolves the path.
bool ancestry(const NativePath &folder, QList<QByteArray> *chain, SystemError &error);

// The identities of everything the system goes through to reach path: each
// folder on the way, each link met (on POSIX every link of a chain) and what
// it leads to. A chain that ends nowhere ends the list there.
bool reachedThrough(const NativePath &path, QList<QByteArray> *ids, SystemError &error);

// The path and every path that leads to it, shortest first, as written.
QList<NativePath> prefixes(const NativePath &path);

// The entries of a folder, links followed, hidden ones included; each file
// is opened for reading to learn whether the copy could read it.
bool listSource(const NativePath &folder, QList<SourceEntry> *entries, SystemError &error);

// The identities of the folder at path and of every folder below it, links
// not followed: where a folder lies, whatever name it is reached by.
bool folderTree(const NativePath &path, QList<QByteArray> *ids, SystemError &error);

// True when a Windows folder could not hold both names: they differ in
// letter case only. Never on POSIX.
bool namesClash(const Name &a, const Name &b);

// What a drive has room for, as its system answers.
struct Room
{
    QByteArray drive;           // the drive's identity
    qint64 free = 0;            // the bytes this user may still write there
    qint64 unit = 1;            // what the space a file takes is rounded up to
    // A file larger than this may not fit on the drive (a FAT drive holds at
    // most 4 GiB less a byte); the rehearsal asks the drive about each one.
    qint64 largest = 0;
    qint64 limit = 0;           // the largest file this process may write
    // How many more files and folders this user may make there, as file
    // systems with a fixed number of them (ext4, XFS) count.
    qint64 names = 0;
};

// A folder of the program's own, in which a copy is tried on the drive it
// will be written to before anything is removed: every file it will make,
// made once, empty and exclusive, with the permissions it will get.
class Rehearsal
{
public:
    Rehearsal();
    ~Rehearsal();
    Rehearsal(const Rehearsal &) = delete;
    Rehearsal &operator=(const Rehearsal &) = delete;

    // Makes the folder inside parent; where receives its path.
    bool open(const NativePath &parent, NativePath *where, SystemError &error);
    bool room(Room *room, SystemError &error);
    // Exists: the drive takes the name for one made before; BadName: the
    // drive holds no file of that name.
    enum class Made { Yes, Exists, TooLarge, BadName, Refused };
    // A drive that is full answers Refused, with error.full().
    // Makes an empty file for entry; with grow, it is then given the
    // entry's size, which the drive may refuse.
    Made make(const SourceEntry &entry, bool grow, SystemError &error);
    // Whether the drive keeps a file's holes, as the copy of a file with
    // holes does where it can; asked before any entry is made.
    bool keepsHoles();
    // The identity of an entry in the folder, links not followed.
    bool identify(const Name &name, QByteArray *id, SystemError &error);
    // What the folder itself takes on the drive, with every name made; -1
    // when the system does not say.
    qint64 size();
#ifdef Q_OS_WIN
    // Gives the folder, with every file made in it, the name of the one at
    // path, which must be gone, in the folder it was made in. A copier
    // opened on it then writes into those files.
    bool adopt(const NativePath &path, SystemError &error);
    bool adopted() const;
#endif
    // Removes every file made, then the folder; once adopted, only the
    // files that no copy was written into.
    bool close(SystemError &error);

private:
    friend class Copier;
    struct Folder;
    std::unique_ptr<Folder> m_folder;
};

// The Ostrel folder held open while its files are checked once more, just
// before the removal.
class Source
{
public:
    Source();
    ~Source();
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;

    bool open(const NativePath &folder, SystemError &error);
    // Whether the file entry names is still the one listed: the same
    // identity and size, and where it has holes, no more data.
    bool asListed(const SourceEntry &entry, SystemError &error);

private:
    struct Folder;
    std::unique_ptr<Folder> m_folder;
};

// The names in a folder, as the system lists them.
bool listNames(const NativePath &folder, QList<Name> *names, SystemError &error);

// Whether the system runs a process of that number (one this user may not
// look at counts).
bool processRunning(qint64 pid);

// Makes one folder, in a parent that must exist.
bool makeFolder(const NativePath &path, SystemError &error);

// Copies files from one folder into another, new one, and puts them on disk.
class Copier
{
public:
    Copier();
    ~Copier();
    Copier(const Copier &) = delete;
    Copier &operator=(const Copier &) = delete;

    // Opens both folders before the first copy is written.
    bool open(const NativePath &from, const NativePath &to, SystemError &error);
#ifdef Q_OS_WIN
    // The same, to write into the files that into made, each still the
    // empty file it made.
    bool open(const NativePath &from, Rehearsal &into, SystemError &error);
#endif
    // Copies one file, which must still be the one with the identity id and
    // the size planned, to the same name, which must not exist yet (or be
    // the empty file made for it). What a failed copy wrote is removed
    // again.
    bool copy(const Name &name, const QByteArray &id, qint64 size, SystemError &error);
    // Puts every copy's data and the folder's names on disk. Only when every
    // call says so is the copy done.
    bool finish(SystemError &error);

private:
    struct Folders;
    std::unique_ptr<Folders> m_folders;
};

} // namespace FileOps

#endif
