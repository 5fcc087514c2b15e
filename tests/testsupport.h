#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QApplication>
#include <QDateTime>
#include <QList>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

// Every test process runs inside a fresh temporary folder: the window puts
// the working folder into the Brask path field, and the login cache lives
// under LOCALAPPDATA and APPDATA, so none of these may be the user's own.
class TestSandbox
{
public:
    TestSandbox();
    ~TestSandbox();
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QString m_oldCurrent;
};

// Makes a folder the process's current folder while it lives, and gives the
// old one back however the test ends, skipped and failed cases included.
class CurrentFolder
{
public:
    explicit CurrentFolder(const QString &folder);
    ~CurrentFolder();

private:
    QString m_old;
};

// What a modal box showed before the watcher closed it.
struct SeenBox
{
    QString className;
    QString title;
    QString text;
    QWidget *parent = nullptr;
    bool modal = false;
    int buttonCount = 0;
};

// Answers each modal box that opens while it lives. By default a message
// box is closed with its own button; a handler may act instead, and then
// must close the box itself.
class ModalWatcher : public QObject
{
public:
    explicit ModalWatcher(std::function<void(QWidget *)> handler = {});
    QList<SeenBox> seen;

private:
    void poll();
    std::function<void(QWidget *)> m_handler;
    bool m_handling = false;
    QTimer m_timer;
};

// Another program, running while this lives.
class OtherProgram
{
public:
    OtherProgram();
    ~OtherProgram();
    qint64 pid() const { return m_process.processId(); }

private:
    QTemporaryDir m_folder;
    QProcess m_process;
};

// Makes a folder's files impossible to remove, for real. On Windows another
// process holds them open without sharing deletion, as a running launcher
// does. Elsewhere no new entry can be created in the folder either: an
// unprivileged user loses write permission on it, root (whom permissions do
// not stop) gets the immutable flag. locked() tells whether it worked here.
class FolderLock
{
public:
    explicit FolderLock(const QString &folder);
    // Windows only: holds the files with deletion shared, which lets them be
    // deleted but, without POSIX semantics, keeps their names until released.
    // LockRange: as NoDelete, with each file's first bytes locked too.
    enum Sharing { NoDelete, ShareDelete, LockRange };
    FolderLock(const QString &folder, Sharing sharing);
    ~FolderLock();
    bool locked() const { return m_locked; }

private:
    bool setImmutable(bool on);
    QString m_folder;
    bool m_locked = false;
    bool m_immutable = false;
    QProcess m_holder;
};

// Takes one of its owner's permissions ('r', 'w' or 'x') from a file or
// folder, and gives it back when it goes: with chmod on Linux, and under Wine
// with the Unix chmod behind drive Z:. Root passes every permission check and
// Windows has no such modes, so real() says whether this process is refused.
class Unpermitted
{
public:
    Unpermitted(const QString &path, char permission);
    ~Unpermitted();
    bool real() const { return m_real; }

private:
    bool change(char sign);
    QString m_path;
    char m_permission;
    bool m_changed = false;
    bool m_real = false;
};

// A second drive letter for a folder, as SUBST or a mapped network drive
// gives on Windows: the same folder under another name that is not a link.
// Under Wine it is a link in the prefix's dosdevices folder. Other systems
// have no drive letters, and root() is empty there.
class DriveAlias
{
public:
    explicit DriveAlias(const QString &folder);
    ~DriveAlias();
    QString root() const { return m_root; }

private:
    QString m_root;
    QString m_link;
};

// A file system mounted at a folder while it lives, and taken away however
// the test ends: a second view of another folder, as mount --bind gives, or
// an empty tmpfs of the given size. Only root may mount, on Linux, and not
// in every container; mounted() says whether it worked. Under Wine, only
// the tmpfs.
class Mount
{
public:
    Mount(const QString &folder, const QString &bindFrom);
    Mount(const QString &folder, int kibibytes);
    // An empty drive of that size on a loop device, owned by this user:
    // exFAT through FUSE, as game drives and SD cards shared with Windows
    // are, or ext4 that holds few files and folders (64), as a disk made
    // for large files does.
    enum Drive { exFat, fewFiles };
    Mount(const QString &folder, int kibibytes, Drive drive);
    ~Mount();
    bool mounted() const { return m_mounted; }

private:
    QByteArray m_folder;
    QString m_loopDevice;
    bool m_mounted = false;
};

// While it lives, every request to put a file's data on disk (fsync,
// fdatasync, syncfs) fails with EIO, as on a disk whose writeback failed;
// a folder's own fsync still succeeds. Linux only: works() says whether
// the requests are caught here.
class FlushFailure
{
public:
    FlushFailure();
    ~FlushFailure();
    static bool works();
};

// While it lives, the kernel's copy of a file's data goes wrong as asked:
// copy_file_range and sendfile refused with EPERM, as a seccomp sandbox
// does (Flatpak, containers); copy_file_range failing with EIO on a file
// larger than 64 KiB, as a disk with a bad sector under it does; or such a
// file emptied as its copy begins, as a patcher rewriting it in place does.
// Linux only: works() says whether the calls are caught here.
class CopyTrouble
{
public:
    enum What { Refused, ReadError, Rewritten };
    explicit CopyTrouble(What what);
    ~CopyTrouble();
    static bool works();
};

// Runs a Unix command from a Windows program under Wine and gives its exit
// code, or -1 where there is no Wine underneath.
int unixCommand(const QStringList &arguments);

// The Unix path behind a path of a Windows program under Wine; empty elsewhere.
QString unixPath(const QString &path);

// The last line of a failure box when another program held a file open,
// which only Windows makes happen.
#define IN_USE_HINT "A file is in use by another program: close the launcher and the game, then try again."

// True when the program runs under Wine rather than on Windows itself.
bool underWine();

// Turns every warning into a test failure, but for the offscreen platform's
// note that it cannot pass size hints on to a window system it does not have.
void failOnAnyWarning();

// Shows a window and waits until the window system has it on screen; false
// when it never comes.
[[nodiscard]] bool showWindow(QWidget &window);

// The object of that type and name below parent. None stops the whole run,
// naming what is missing, so that a renamed object in the form fails loudly
// rather than as a null pointer.
template <typename T>
T *child(QObject &parent, const QString &name)
{
    T *found = parent.findChild<T *>(name);
    if (!found)
        qFatal("%s has no %s named \"%s\"", parent.metaObject()->className(), T::staticMetaObject.className(),
               qPrintable(name));
    return found;
}

// The tree below a folder as sorted relative paths, folders marked with a
// trailing slash, hidden entries and links included but not followed.
QStringList tree(const QString &root);

// Sets when a file or folder was last written, so that a later write shows
// whatever the file system's clock granularity. False where the system
// refuses (an immutable folder, say).
bool setWrittenAt(const QString &path, const QDateTime &when);

// Writes a file, creating the folders on the way.
void writeFile(const QString &path, const QByteArray &contents = QByteArray("data"));
// A second name at path for the file target.
bool makeHardLink(const QString &target, const QString &path);

// Files named by the bytes the system keeps, for names that are not UTF-8
// and so have no QString that stands for them; any other name is its UTF-8,
// on Windows too.
void writeRawFile(const QByteArray &path, const QByteArray &contents = QByteArray("data"));
QByteArray readRawFile(const QByteArray &path);  // "(missing)" when it cannot be read
bool rawExists(const QByteArray &path);          // links are not followed
QList<QByteArray> rawNames(const QString &folder); // sorted, without "." and ".."
// Removes a file, a link or a whole folder, following no link; Qt's own
// removal cannot name what lies below such a name.
void removeRaw(const QByteArray &path);
// Removes a case's temporary folder with the program's own removal, as Qt
// cannot remove names that Win32 would rewrite ("notes."), then with Qt's
// what the program refused; false, with why, where the program refused.
bool removeCaseFolder(QTemporaryDir *&dir, QString *why = nullptr);

#define BRASK_TEST_MAIN(TestClass)                 \
    int main(int argc, char *argv[])               \
    {                                              \
        TestSandbox sandbox;                       \
        QApplication app(argc, argv);              \
        TestClass test;                            \
        QTEST_SET_MAIN_SOURCE_PATH                 \
        return QTest::qExec(&test, argc, argv);    \
    }

#endif
