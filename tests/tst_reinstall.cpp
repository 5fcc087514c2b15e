#include "braskrepair.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QRegularExpression>
#include <QStatusBar>

#include <algorithm>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

class tst_Reinstall : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void reinstall_data();
    void reinstall();
    void keysPressedWhileWorking_data();
    void keysPressedWhileWorking();

private:
    QTemporaryDir *m_dir = nullptr;
};

void tst_Reinstall::init()
{
    failOnAnyWarning();
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
}

void tst_Reinstall::cleanup()
{
    removeCaseFolder(m_dir);
}

namespace {

// Names that are not UTF-8, as a Linux file system keeps them.
const QByteArray oddSourceName("a\xff.pak");
const QByteArray oddTargetName("b\xfe.pak");

// The Ostrel and Brask installations of a case, as its set-up leaves them,
// with what keeps them in that state until the case ends.
struct Installations
{
    explicit Installations(const QString &folder);
    ~Installations();

    QString root;   // the case's folder
    QString source; // the Ostrel folder
    QString target; // the Brask folder
    const char *cannotBeMade = nullptr; // the reason, where this system cannot make the case
    QScopedPointer<Mount> mount;
    QScopedPointer<Mount> secondMount;  // taken away before the first
    QScopedPointer<FolderLock> lock;
    QScopedPointer<DriveAlias> drive; // a second drive, while the case lives
    // Loses its read permission only once the trees are noted: a folder
    // that may not be read cannot be listed either.
    QString unreadable;
    bool flushesFail = false;   // while Re-install runs
    bool oddSourceFile = false; // the Ostrel dat holds a file named oddSourceName
    QList<QByteArray> exactNames;   // and these, each holding its name, which Win32 would rewrite
    QStringList unixLeftovers;  // under Wine, Unix files and links that Windows cannot remove
    QStringList gone;           // what must not be there once the repair is done
    QStringList kept;           // what must still be there, as it was
    QScopedPointer<QFile> held; // a Brask file that another program holds open
    QScopedPointer<OtherProgram> other;
    // The refusal comes from trying the copy on the Brask drive, which makes
    // and removes a folder in the Brask folder.
    bool triedOnDrive = false;
    // What changes while the question is open, before it is answered, and
    // the file it makes, which must stay.
    void (*whileAsked)(Installations &) = nullptr;
    QString madeWhileAsked;
};

Installations::Installations(const QString &folder)
    : root(folder), source(folder + QStringLiteral("/Ostrel")), target(folder + QStringLiteral("/Brask"))
{
}

Installations::~Installations()
{
    // Qt cannot remove these names, and the case's folder would stay.
    for (const QString &dat : {source + QStringLiteral("/dat"), target + QStringLiteral("/dat")})
        for (const QByteArray &name : {oddSourceName, oddTargetName})
            removeRaw(dat.toUtf8() + '/' + name);
    for (const QString &leftover : std::as_const(unixLeftovers))
        unixCommand({QStringLiteral("/bin/rm"), QStringLiteral("-f"), leftover});
}

// Lays out a case's installations.
using Setup = void (*)(Installations &);

// An Ostrel installation, and a Brask one whose dat and sfx are broken.
void usual(Installations &installations)
{
    writeFile(installations.source + QStringLiteral("/dat/data.pak"), "new data");
    writeFile(installations.source + QStringLiteral("/dat/Maps/map.pak"), "map");
    writeFile(installations.source + QStringLiteral("/sfx/music.ogg"), "new music");
    writeFile(installations.source + QStringLiteral("/sfx/Voices/v.ogg"), "voice");
    writeFile(installations.target + QStringLiteral("/dat/data.pak"), "broken");
    writeFile(installations.target + QStringLiteral("/sfx/music.ogg"), "broken");
    writeFile(installations.target + QStringLiteral("/TOS.txt"));
}

// The Brask dat also holds a folder of files that Ostrel does not have.
void withStale(Installations &installations)
{
    usual(installations);
    writeFile(installations.target + QStringLiteral("/dat/stale/old.pak"), "stale");
}

// While the question is open, the Brask dat is moved aside and another
// takes its place.
void braskDatSwappedWhileAsked(Installations &installations)
{
    withStale(installations);
    installations.madeWhileAsked = installations.target + QStringLiteral("/dat/keep.sav");
    installations.whileAsked = [](Installations &asked) {
        QVERIFY(QDir().rename(asked.target + QStringLiteral("/dat"), asked.target + QStringLiteral("/dat.old")));
        writeFile(asked.target + QStringLiteral("/dat/keep.sav"));
    };
}

// The Brask folder has no dat when it is checked; one is made while the
// question (about a file only the Brask sfx holds) is open.
void braskDatMadeWhileAsked(Installations &installations)
{
    usual(installations);
    QVERIFY(QDir(installations.target + QStringLiteral("/dat")).removeRecursively());
    writeFile(installations.target + QStringLiteral("/sfx/extra.ogg"));
    installations.madeWhileAsked = installations.target + QStringLiteral("/dat/keep.sav");
    installations.whileAsked = [](Installations &asked) {
        writeFile(asked.target + QStringLiteral("/dat/keep.sav"));
    };
}

// The Ostrel dat and sfx are there, but hold no files.
void ostrelSkeleton(Installations &installations)
{
    usual(installations);
    for (const char *folder : {"/dat", "/sfx"}) {
        QVERIFY(QDir(installations.source + QLatin1String(folder)).removeRecursively());
        QVERIFY(QDir().mkpath(installations.source + QLatin1String(folder)));
    }
}

// The folder the program was started from, as a double-click gives on
// Windows, is the Brask path.
void programFolder(Installations &installations)
{
    usual(installations);
    installations.target = installations.root + QStringLiteral("/Program");
    writeFile(installations.target + QStringLiteral("/brask-repair.exe"), "program");
}

void noOstrelSfx(Installations &installations)
{
    usual(installations);
    QVERIFY(QDir(installations.source + QStringLiteral("/sfx")).removeRecursively());
}

// The Ostrel folder is named by a blank.
void blankOstrel(Installations &installations)
{
    installations.source = installations.root + QStringLiteral("/ ");
    usual(installations);
}

// The Ostrel folder is the Brask folder.
void ostrelIsBrask(Installations &installations)
{
    installations.source = installations.target;
    usual(installations);
}

void braskInsideOstrelDat(Installations &installations)
{
    installations.target = installations.source + QStringLiteral("/dat/Brask");
    usual(installations);
}

// The player may enter the Ostrel dat but not list it.
void ostrelDatUnlistable(Installations &installations)
{
    usual(installations);
    installations.unreadable = installations.source + QStringLiteral("/dat");
}

// The player may enter a folder inside the Brask dat but not list it.
void braskStaleUnlistable(Installations &installations)
{
    withStale(installations);
    installations.unreadable = installations.target + QStringLiteral("/dat/stale");
}

// The file in the Brask dat's stale folder cannot be removed.
void braskStaleLocked(Installations &installations)
{
    withStale(installations);
    installations.lock.reset(new FolderLock(installations.target + QStringLiteral("/dat/stale")));
}

// The Brask data.pak is a second name of the Ostrel one, as `cp -al` or a
// tool that saves room leaves it: its removal leaves Ostrel's name.
void braskPakNamesOstrelFile(Installations &installations)
{
    usual(installations);
    const QString pak = QStringLiteral("/dat/data.pak");
    QVERIFY(QFile::remove(installations.target + pak));
    QVERIFY(makeHardLink(installations.source + pak, installations.target + pak));
}

// A run that was ended before it finished left the folder it tries copies
// in, with the empty file it made there, and a file it had moved aside to
// delete.
void killedRunLeftovers(Installations &installations)
{
    usual(installations);
    installations.gone = QStringList{installations.target + QStringLiteral("/.brask-repair-probe-99999-1"),
                                     installations.target + QStringLiteral("/.brask-repair-deleted-99999-1")};
    writeFile(installations.gone[0] + QStringLiteral("/data.pak"), QByteArray());
    writeFile(installations.gone[1]);
    // Names like them that the program does not make are the player's.
    installations.kept = QStringList{installations.target + QStringLiteral("/.brask-repair-probe-notes/mine.txt"),
                                     installations.target + QStringLiteral("/.brask-repair-probe-1-1/mine.txt"),
                                     installations.target + QStringLiteral("/.brask-repair-deleted-1-2/mine.txt")};
    for (const QString &path : std::as_const(installations.kept))
        writeFile(path);
    // Process numbers come back: one of this process's own, which Wine gives
    // the first program of each session, is a killed run's when this process
    // did not make it; one of a program still running is that program's.
    installations.gone << installations.target
                              + QStringLiteral("/.brask-repair-probe-%1-99999").arg(QCoreApplication::applicationPid());
    writeFile(installations.gone.last() + QStringLiteral("/data.pak"), QByteArray());
    installations.other.reset(new OtherProgram);
    installations.kept << installations.target
                              + QStringLiteral("/.brask-repair-probe-%1-1/data.pak").arg(installations.other->pid());
    writeFile(installations.kept.last(), QByteArray());
}

// Another disk is mounted in the Brask dat, holding a file of its own.
void diskMountedInBraskDat(Installations &installations)
{
    usual(installations);
    const QString mountPoint = installations.target + QStringLiteral("/dat/mnt");
    QVERIFY(QDir().mkpath(mountPoint));
    installations.mount.reset(new Mount(mountPoint, 1024));
    if (installations.mount->mounted()) {
        writeFile(mountPoint + QStringLiteral("/save.dat"));
        installations.kept << mountPoint + QStringLiteral("/save.dat");
    }
}

// The Brask dat is a disk of its own.
void braskDatADisk(Installations &installations)
{
    const QString dat = installations.target + QStringLiteral("/dat");
    QVERIFY(QDir().mkpath(dat));
    installations.mount.reset(new Mount(dat, 1024));
    usual(installations);
}

#ifdef Q_OS_WIN
// The Ostrel dat holds two names that differ in case only, held open.
void ostrelNameClashHeld(Installations &installations)
{
    usual(installations);
    // Only a Unix folder under Wine, or a case-sensitive folder on Windows,
    // holds both names.
    const QString pak = unixPath(installations.source + QStringLiteral("/dat/data.pak"));
    if (pak.isEmpty()
        || unixCommand({QStringLiteral("/bin/cp"), pak, QFileInfo(pak).path() + QStringLiteral("/DATA.PAK")}) != 0) {
        installations.cannotBeMade =
            "a folder that holds two names differing in case only needs a case-sensitive folder";
        return;
    }
    installations.lock.reset(new FolderLock(installations.source + QStringLiteral("/dat")));
}

// Under Wine a Unix file name may hold a backslash: Wine lists it, but no
// Windows program can open it by that name.
void ostrelNameWithBackslash(Installations &installations)
{
    usual(installations);
    const QString dat = unixPath(installations.source + QStringLiteral("/dat"));
    installations.unixLeftovers << dat + QStringLiteral("/a\\b.pak");
    if (dat.isEmpty() || unixCommand({QStringLiteral("/usr/bin/touch"), installations.unixLeftovers.last()}) != 0)
        installations.cannotBeMade = "a file name that holds a backslash needs a Unix folder under Wine";
}

// A Unix symbolic link at the Brask path (below its folder) to target, made
// on the Linux side, as a player under Wine makes one; Wine shows it to
// Windows programs as a reparse point with a tag Windows never gives.
void unixLink(Installations &installations, const QString &path, const QString &target)
{
    const QString link = unixPath(installations.target) + path;
    installations.unixLeftovers << link;
    if (unixPath(installations.target).isEmpty()
        || unixCommand({QStringLiteral("/bin/ln"), QStringLiteral("-s"), target, link}) != 0)
        installations.cannotBeMade = "a Unix symbolic link needs a Unix folder under Wine";
}

// The Ostrel data.pak is a Unix link to the Brask one, which has a second
// name in the Brask dat: Wine shows the link as that file.
void ostrelPakUnixLinkToBraskPakOfTwoNames(Installations &installations)
{
    usual(installations);
    const QString pak = QStringLiteral("/dat/data.pak");
    QVERIFY(makeHardLink(installations.target + pak, installations.target + QStringLiteral("/dat/copy.pak")));
    QVERIFY(QFile::remove(installations.source + pak));
    const QString link = unixPath(installations.source) + pak;
    installations.unixLeftovers << link;
    if (unixPath(installations.source).isEmpty()
        || unixCommand({QStringLiteral("/bin/ln"), QStringLiteral("-s"), unixPath(installations.target) + pak, link})
               != 0)
        installations.cannotBeMade = "a Unix symbolic link needs a Unix folder under Wine";
}

// The Brask dat holds a link to a folder of the player's own.
void braskDatUnixLinkToMods(Installations &installations)
{
    usual(installations);
    writeFile(installations.root + QStringLiteral("/Mods/mine.pak"), "mine");
    installations.kept << installations.root + QStringLiteral("/Mods/mine.pak");
    unixLink(installations, QStringLiteral("/dat/mods"), QStringLiteral("../../Mods"));
}

// The Brask dat holds a link to a file of the player's own.
void braskDatUnixLinkToFile(Installations &installations)
{
    usual(installations);
    writeFile(installations.root + QStringLiteral("/notes.txt"), "notes");
    installations.kept << installations.root + QStringLiteral("/notes.txt");
    unixLink(installations, QStringLiteral("/dat/notes.txt"), QStringLiteral("../../notes.txt"));
}

// The Brask data.pak links to the same path on another drive: a mirror of
// the game's folders on a second disk, or a second game library.
void braskDatUnixLinkToOtherDrive(Installations &installations)
{
    usual(installations);
    const QString mirror = installations.root + QStringLiteral("/mirror");
    QDir().mkpath(mirror);
    installations.drive.reset(new DriveAlias(mirror));
    // Wine looks at its drive letters again only once a second has passed.
    QTest::qSleep(1100);
    const QString below = QDir::fromNativeSeparators(installations.target).mid(2);
    const QString same = mirror + below + QStringLiteral("/dat/data.pak");
    writeFile(same, "broken");
    installations.kept << same;
    if (installations.drive->root().isEmpty())
        installations.cannotBeMade = "a second drive needs a drive letter under Wine";
    else if (QFile::remove(installations.target + QStringLiteral("/dat/data.pak")))
        unixLink(installations, QStringLiteral("/dat/data.pak"), unixPath(same));
}

// The Brask dat holds a folder whose name ends in a blank, made on the
// Linux side; Wine gives paths through it with the blank and without.
void braskDatFolderEndingInBlank(Installations &installations)
{
    usual(installations);
    const QString folder = unixPath(installations.target) + QStringLiteral("/dat/old ");
    if (unixPath(installations.target).isEmpty() || unixCommand({QStringLiteral("/bin/mkdir"), folder}) != 0
        || unixCommand({QStringLiteral("/usr/bin/touch"), folder + QStringLiteral("/x.pak")}) != 0)
        installations.cannotBeMade = "a folder name that ends in a blank needs a Unix folder under Wine";
}

// The Brask dat is named Dat on the Linux side, which Wine finds for dat.
void braskDatInOtherLetterCase(Installations &installations)
{
    usual(installations);
    const QString brask = unixPath(installations.target);
    if (brask.isEmpty()
        || unixCommand({QStringLiteral("/bin/mv"), brask + QStringLiteral("/dat"), brask + QStringLiteral("/Dat")}) != 0)
        installations.cannotBeMade = "a folder named in other letter case needs a Unix folder under Wine";
}

// The Brask dat itself is a link to a folder elsewhere.
void braskDatUnixLink(Installations &installations)
{
    usual(installations);
    QVERIFY(QDir(installations.target + QStringLiteral("/dat")).removeRecursively());
    writeFile(installations.root + QStringLiteral("/Elsewhere/data.pak"), "broken");
    installations.kept << installations.root + QStringLiteral("/Elsewhere/data.pak");
    unixLink(installations, QStringLiteral("/dat"), QStringLiteral("../Elsewhere"));
}

// The Brask dat holds a link that leads nowhere, which Wine does not list.
void braskDatUnixLinkToNothing(Installations &installations)
{
    usual(installations);
    unixLink(installations, QStringLiteral("/dat/gone"), QStringLiteral("nowhere"));
}

// A Brask folder whose path is longer than Windows' 260 characters.
const QString deepBrask = QStringLiteral("a folder name of forty characters, long/").repeated(7) + QStringLiteral("Brask");

void braskDeep(Installations &installations)
{
    installations.target = installations.root + QLatin1Char('/') + deepBrask;
    usual(installations);
}

// A Brask file whose Unix name holds a character no Windows name may hold.
void braskNameWindowsCannotHold(Installations &installations)
{
    usual(installations);
    const QString dat = unixPath(installations.target + QStringLiteral("/dat"));
    installations.unixLeftovers << dat + QStringLiteral("/a*b.pak");
    if (dat.isEmpty() || unixCommand({QStringLiteral("/usr/bin/touch"), installations.unixLeftovers.last()}) != 0)
        installations.cannotBeMade = "a file name that holds an asterisk needs a Unix folder under Wine";
}

// Another program holds the Brask dat's files with deletion shared.
void braskDatHeldDeleteShared(Installations &installations)
{
    usual(installations);
    installations.lock.reset(new FolderLock(installations.target + QStringLiteral("/dat"), FolderLock::ShareDelete));
}

// Another program has locked the first bytes of each Ostrel sfx file.
void ostrelSfxRangesLocked(Installations &installations)
{
    usual(installations);
    installations.lock.reset(new FolderLock(installations.source + QStringLiteral("/sfx"), FolderLock::LockRange));
}

// Names that Win32 trims, each beside the twin that the trimmed name would
// hit, in both installations.
void namesWin32Trims(Installations &installations)
{
    usual(installations);
    installations.exactNames = {"a", "a.", "notes."};
    for (const QByteArray &name : std::as_const(installations.exactNames))
        writeRawFile(installations.source.toUtf8() + "/dat/" + name, name);
    writeRawFile(installations.target.toUtf8() + "/dat/a", "old");
    writeRawFile(installations.target.toUtf8() + "/dat/a.", "old");
}

// The Brask folder lies on a second Linux disk, which Wine gives no serial
// number.
void braskOnLinuxDisk(Installations &installations)
{
    const QString disk = installations.root + QStringLiteral("/disk");
    QVERIFY(QDir().mkpath(disk));
    installations.mount.reset(new Mount(disk, 4096));
    if (!installations.mount->mounted())
        installations.cannotBeMade = "a second Linux disk needs Wine run as root";
    installations.target = disk + QStringLiteral("/Brask");
    usual(installations);
}

// And too small for the Ostrel sfx, once the dat copy is tried there.
void braskOnLinuxDiskTooSmallForSfx(Installations &installations)
{
    braskOnLinuxDisk(installations);
    installations.triedOnDrive = true;
    writeFile(installations.source + QStringLiteral("/sfx/big.ogg"), QByteArray(8 << 20, 's'));
}
#endif

#ifdef Q_OS_LINUX
// The Ostrel dat holds an empty folder that may be listed but not searched.
void ostrelEmptyFolderNotSearchable(Installations &installations)
{
    usual(installations);
    const QString folder = installations.source + QStringLiteral("/dat/Empty");
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
}

// The Brask dat holds an empty folder that the player may not change,
// which its removal does not need.
void braskEmptyFolderUnwritable(Installations &installations)
{
    usual(installations);
    const QString folder = installations.target + QStringLiteral("/dat/Empty");
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
}

// The Ostrel path goes through a link in the Brask sfx.
void ostrelThroughBraskSfx(Installations &installations)
{
    usual(installations);
    QVERIFY(QFile::link(QStringLiteral("../../Ostrel"), installations.target + QStringLiteral("/sfx/lnk")));
}

void ostrelPakLinksToBrask(Installations &installations)
{
    usual(installations);
    const QString pak = QStringLiteral("/dat/data.pak");
    QVERIFY(QFile::remove(installations.source + pak));
    QVERIFY(QFile::link(installations.target + pak, installations.source + pak));
}

// The Brask data.pak is mounted as the Ostrel one: not a name of its own,
// but a way to the Brask file that keeps its room.
void braskPakMountedAsOstrelPak(Installations &installations)
{
    usual(installations);
    const QString pak = QStringLiteral("/dat/data.pak");
    installations.mount.reset(new Mount(installations.source + pak, installations.target + pak));
}

// The Ostrel dat is mounted a second time inside the Brask dat.
void ostrelDatMountedInBraskDat(Installations &installations)
{
    usual(installations);
    const QString mountPoint = installations.target + QStringLiteral("/dat/mnt");
    QVERIFY(QDir().mkpath(mountPoint));
    installations.mount.reset(new Mount(mountPoint, installations.source + QStringLiteral("/dat")));
}

// The Ostrel dat is a disk of its own, and the Brask path is a second name
// (a bind mount) for a folder on that disk.
void braskInsideDiskMountedAsOstrelDat(Installations &installations)
{
    const QString dat = installations.source + QStringLiteral("/dat");
    QVERIFY(QDir().mkpath(dat));
    installations.mount.reset(new Mount(dat, 1024));
    if (!installations.mount->mounted())
        return;
    installations.target = dat + QStringLiteral("/Brask");
    usual(installations);
    writeFile(installations.target + QStringLiteral("/dat/precious.pak"), "precious");
    const QString alias = installations.root + QStringLiteral("/alias");
    QVERIFY(QDir().mkpath(alias));
    installations.secondMount.reset(new Mount(alias, installations.target));
    installations.target = alias;
}

// The Brask folder takes no new entry and loses none; its dat and sfx do.
void braskFolderLocked(Installations &installations)
{
    usual(installations);
    installations.lock.reset(new FolderLock(installations.target));
}

void braskDatDangling(Installations &installations)
{
    usual(installations);
    const QString dat = installations.target + QStringLiteral("/dat");
    QVERIFY(QDir(dat).removeRecursively());
    QVERIFY(QFile::link(QStringLiteral("nowhere"), dat));
}

// The Brask dat holds a hidden file that Ostrel's holds too, and a link.
void braskLinkAndHidden(Installations &installations)
{
    usual(installations);
    writeFile(installations.source + QStringLiteral("/dat/.hidden"));
    writeFile(installations.target + QStringLiteral("/dat/.hidden"));
    QVERIFY(QFile::link(QStringLiteral("data.pak"), installations.target + QStringLiteral("/dat/lnk")));
}

// A Brask file whose name holds line breaks, as if to write into the question.
void braskNameWithLineBreaks(Installations &installations)
{
    usual(installations);
    writeFile(installations.target + QStringLiteral("/dat/a\nSafe to answer Yes.\n"));
}

void oddOstrelName(Installations &installations)
{
    usual(installations);
    writeRawFile(installations.source.toUtf8() + "/dat/" + oddSourceName, "odd data");
    installations.oddSourceFile = true;
}

void oddBraskName(Installations &installations)
{
    usual(installations);
    writeRawFile(installations.target.toUtf8() + "/dat/" + oddTargetName, "odd");
}


// The disk fails to write the copies' data.
void flushesFail(Installations &installations)
{
    usual(installations);
    installations.flushesFail = true;
}

// An Ostrel sfx file may not be read.
void ostrelFileUnreadable(Installations &installations)
{
    usual(installations);
    installations.unreadable = installations.source + QStringLiteral("/sfx/music.ogg");
}

// The Brask folder is named U+FFFD, as a name in bytes that are not text
// comes out: the name its row types.
void braskNamedReplacement(Installations &installations)
{
    installations.target = installations.root + QString::fromUtf8("/B\xef\xbf\xbd");
    usual(installations);
}

// The Brask folder lies on a drive of its own, and the Ostrel one on
// Linux's own; false when the drive could not be mounted.
bool braskOnDrive(Installations &installations, int kibibytes, Mount::Drive kind)
{
    const QString drive = installations.root + QStringLiteral("/drive");
    QDir().mkpath(drive);
    installations.mount.reset(new Mount(drive, kibibytes, kind));
    if (!installations.mount->mounted())
        return false;
    installations.target = drive + QStringLiteral("/Brask");
    usual(installations);
    return true;
}

// The Brask folder lies on an exFAT drive, as a game drive or SD card
// shared with Windows does.
void braskOnExFat(Installations &installations)
{
    braskOnDrive(installations, 16 * 1024, Mount::exFat);
}

// The Brask folder lies on a drive that holds few files and folders; the
// Ostrel dat has more than it has room for.
void braskOnDriveOfFewFiles(Installations &installations)
{
    if (!braskOnDrive(installations, 4 * 1024, Mount::fewFiles))
        return;
    for (int i = 0; i < 80; ++i)
        writeFile(installations.source + QStringLiteral("/dat/%1.pak").arg(i));
    installations.triedOnDrive = true;
}

// Ostrel's files have modes that exFAT refuses: set-user-id and sticky.
void braskOnExFatModes(Installations &installations)
{
    braskOnExFat(installations);
    if (!installations.mount->mounted())
        return;
    QCOMPARE(::chmod(QFile::encodeName(installations.source + QStringLiteral("/dat/data.pak")).constData(), 04755), 0);
    QCOMPARE(::chmod(QFile::encodeName(installations.source + QStringLiteral("/sfx/music.ogg")).constData(), 01644), 0);
}

// Ostrel holds two names that exFAT, which ignores letter case, takes as one.
void braskOnExFatCaseTwins(Installations &installations)
{
    braskOnExFat(installations);
    if (!installations.mount->mounted())
        return;
    writeFile(installations.source + QStringLiteral("/dat/Foo.pak"));
    writeFile(installations.source + QStringLiteral("/dat/foo.pak"));
    installations.triedOnDrive = true;
}

// Ostrel holds a name that no exFAT name may be.
void braskOnExFatColon(Installations &installations)
{
    braskOnExFat(installations);
    if (!installations.mount->mounted())
        return;
    writeFile(installations.source + QStringLiteral("/sfx/a:b.ogg"));
    installations.triedOnDrive = true;
}

// The game holds a Brask file open; FUSE keeps it under a hidden name.
void braskOnExFatHeld(Installations &installations)
{
    braskOnExFat(installations);
    if (!installations.mount->mounted())
        return;
    installations.held.reset(new QFile(installations.target + QStringLiteral("/dat/data.pak")));
    QVERIFY(installations.held->open(QIODevice::ReadOnly));
}

// While the question is open, an Ostrel file is swapped for a named pipe,
// which an open for reading would wait on for good.
void ostrelPipeSwappedWhileAsked(Installations &installations)
{
    withStale(installations);
    installations.triedOnDrive = true;
    installations.whileAsked = [](Installations &asked) {
        const QString pak = asked.source + QStringLiteral("/dat/data.pak");
        QVERIFY(QFile::remove(pak));
        QCOMPARE(::mkfifo(QFile::encodeName(pak).constData(), 0600), 0);
    };
}

// The usual installations, the Brask one on a disk of that many KiB.
void usualOnSmallDisk(Installations &installations, int kibibytes)
{
    const QString disk = installations.root + QStringLiteral("/disk");
    QVERIFY(QDir().mkpath(disk));
    installations.mount.reset(new Mount(disk, kibibytes));
    installations.target = disk + QStringLiteral("/Brask");
    usual(installations);
}

// The Brask dat's big.pak is held open on a drive that has room for the
// copy only once it is gone: the system gives its room back only when it is
// closed.
void braskOnSmallDiskHeld(Installations &installations)
{
    usualOnSmallDisk(installations, 4096);
    writeFile(installations.target + QStringLiteral("/dat/big.pak"), QByteArray(1536 * 1024, 'o'));
    writeFile(installations.source + QStringLiteral("/dat/big.pak"), QByteArray(2900 * 1024, 'n'));
    installations.held.reset(new QFile(installations.target + QStringLiteral("/dat/big.pak")));
    QVERIFY(installations.held->open(QIODevice::ReadOnly));
}

// An Ostrel file with holes, larger than the small disk the Brask folder
// lies on, that holds little data: its copy keeps the holes.
void braskOnSmallDiskOstrelSparse(Installations &installations)
{
    usualOnSmallDisk(installations, 2048);
    QFile big(installations.source + QStringLiteral("/dat/big.pak"));
    QVERIFY(big.open(QIODevice::WriteOnly));
    QCOMPARE(big.write(QByteArray(4096, 'd')), qint64(4096));
    QVERIFY(big.resize(64 << 20));
    struct stat info {};
    if (::stat(QFile::encodeName(big.fileName()).constData(), &info) != 0 || info.st_blocks * 512 >= info.st_size)
        installations.cannotBeMade = "the test's folder keeps no holes";
}

// While the question is open, the holes of an Ostrel file are filled in,
// in place: it would now need more room than was counted.
void ostrelSparseFilledWhileAsked(Installations &installations)
{
    braskOnSmallDiskOstrelSparse(installations);
    installations.triedOnDrive = true;
    writeFile(installations.target + QStringLiteral("/dat/stale/old.pak"), "stale");
    installations.whileAsked = [](Installations &asked) {
        QFile big(asked.source + QStringLiteral("/dat/big.pak"));
        QVERIFY(big.open(QIODevice::ReadWrite));
        QVERIFY(big.seek(32 << 20));
        QCOMPARE(big.write(QByteArray(4096, 'f')), qint64(4096));
    };
}

// The Brask folder lies on a disk too small for the Ostrel dat; its sfx
// gives back more than the Ostrel one takes.
void braskOnSmallDisk(Installations &installations)
{
    installations.triedOnDrive = true;
    usualOnSmallDisk(installations, 64);
    writeFile(installations.source + QStringLiteral("/dat/big.pak"), QByteArray(256 * 1024, 'x'));
    writeFile(installations.source + QStringLiteral("/sfx/big.ogg"), "x");
    writeFile(installations.target + QStringLiteral("/sfx/big.ogg"), QByteArray(16 * 1024, 'o'));
}

// And for the Ostrel sfx.
void braskOnSmallDiskForBoth(Installations &installations)
{
    braskOnSmallDisk(installations);
    writeFile(installations.source + QStringLiteral("/sfx/big.ogg"), QByteArray(512 * 1024, 'x'));
}
#endif

// Notes each message the status bar was painted with.
class PaintedMessages : public QObject
{
public:
    explicit PaintedMessages(QStatusBar *bar)
        : m_bar(bar)
    {
        bar->installEventFilter(this);
    }
    QStringList messages;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            messages << m_bar->currentMessage();
        return false;
    }

private:
    QStatusBar *m_bar;
};

} // namespace

void tst_Reinstall::reinstall_data()
{
    QTest::addColumn<QString>("ostrel");   // as typed, relative to the case's folder
    QTest::addColumn<QString>("brask");
    QTest::addColumn<Setup>("setup");
    // The whole box; for the Re-install failed! box, what it must also say.
    QTest::addColumn<QString>("message");
    // How each line of the Re-install failed! box starts; a line marked "?"
    // may be left out, but the box names at least one failure.
    QTest::addColumn<QStringList>("failedLines");
    // What becomes of the Brask dat and sfx: "new" rebuilt from Ostrel, "old"
    // untouched, "stuck" emptied as far as the removal went, "-" not looked at.
    QTest::addColumn<QStringList>("after");
    // The question asked before anything is removed: the answer given
    // ("escape" or "yes"), then what the question must say. Empty when the
    // repair must not ask.
    QTest::addColumn<QStringList>("question");

    const QString done = QStringLiteral("Done!\nYou can now start the launcher to patch and play.");
    const QString unset = QStringLiteral("You have to set the Brask and Ostrel paths!");
    const QString cancelled = QStringLiteral("Re-install cancelled.\nNothing was changed.");
    const QString unchanged = QStringLiteral("Nothing was changed.");
    const QString checkOstrel = QStringLiteral("Check the Ostrel Path.");
    const QString checkBoth = QStringLiteral("Check the Brask Path and the Ostrel Path.");
    const QString again = QStringLiteral(" Run Re-install data again once the cause is gone to finish the repair.");
    const QStringList rebuilt{"new", "new"};
    const QStringList untouched{"old", "old"};
    const QStringList none;
    QTest::newRow("both set") << "Ostrel" << "Brask" << &usual << done << none << rebuilt << none;
    QTest::newRow("Ostrel empty") << "" << "Brask" << &usual << unset << none << untouched << none;
    QTest::newRow("Brask empty") << "Ostrel" << "" << &usual << unset << none << untouched << none;
    QTest::newRow("both empty") << "" << "" << &usual << unset << none << untouched << none;
    // Under Wine, as root: Wine lists a Linux mount point as it lists a link.
    QTest::newRow("disk mounted in the Brask dat")
        << "Ostrel" << "Brask" << &diskMountedInBraskDat << ""
        << QStringList{"Brask/dat: Brask/dat/mnt is a mount point: another file system is mounted there, and it is "
                       "not removed. Unmount it, then run Re-install data again",
                       unchanged}
        << untouched << none;
    QTest::newRow("Brask dat a disk of its own")
        << "Ostrel" << "Brask" << &braskDatADisk << ""
        << QStringList{"Brask/dat: Brask/dat is a mount point: another file system is mounted there, and it is not "
                       "removed. Unmount it, then run Re-install data again",
                       unchanged}
        << untouched << none;
    QTest::newRow("leftovers of a run that was ended")
        << "Ostrel" << "Brask" << &killedRunLeftovers << done << none << rebuilt << none;
    QTest::newRow("Brask data.pak a second name of the Ostrel one")
        << "Ostrel" << "Brask" << &braskPakNamesOstrelFile << done << none << rebuilt << none;
#ifdef Q_OS_WIN
    // No Windows name begins or ends with a blank, so a blank field names no
    // folder at all: trimmed, it is as good as empty.
    QTest::newRow("blank Ostrel names nothing")
        << " " << "Brask" << &blankOstrel << unset << none << untouched << none;
#else
    QTest::newRow("blank Ostrel counts as set")
        << " " << "Brask" << &blankOstrel << done << none << rebuilt << none;
#endif
    // What the copy would not bring back goes only once the player says so;
    // Escape, like No, changes nothing.
    QTest::newRow("Brask dat holds a folder Ostrel lacks, Escape")
        << "Ostrel" << "Brask" << &withStale << cancelled << none << untouched
        << QStringList{"escape",
                       "Brask/dat holds 1 file and 1 folder that Re-install would delete and not bring back from "
                       "Ostrel/dat (stale)."};
    QTest::newRow("Brask dat holds a folder Ostrel lacks, yes")
        << "Ostrel" << "Brask" << &withStale << done << none << rebuilt
        << QStringList{"yes", "Brask/dat holds 1 file and 1 folder that Re-install would delete"};
    // The player's ordinary mistakes ask before they cost anything.
    QTest::newRow("fields swapped")
        << "Brask" << "Ostrel" << &usual << cancelled << none << untouched
        << QStringList{"escape", "Ostrel/dat holds 1 file and 1 folder that Re-install would delete and not bring "
                                 "back from Brask/dat (Maps).",
                       "Ostrel/sfx holds 1 file and 1 folder that Re-install would delete and not bring back from "
                       "Brask/sfx (Voices)."};
    QTest::newRow("Brask is the game's dat folder")
        << "Ostrel" << "Brask/dat" << &usual << cancelled << none << untouched
        << QStringList{"escape", "Brask/dat does not look like a Brask installation but like the dat folder inside "
                                 "one: did you mean Brask?"};
    // What changes while the question is open is not removed, and the box
    // says which folder stayed as it was.
    QTest::newRow("Brask dat swapped while asked")
        << "Ostrel" << "Brask" << &braskDatSwappedWhileAsked << ""
        << QStringList{"Brask/dat: could not remove Brask/dat (it changed after it was checked, by another program",
                       "Brask/dat was not changed. Brask/sfx was rebuilt." + again}
        << QStringList{"-", "new"} << QStringList{"yes", "(stale)"};
    QTest::newRow("Brask dat made while asked")
        << "Ostrel" << "Brask" << &braskDatMadeWhileAsked << ""
        << QStringList{"Brask/dat: could not be created (", "Brask/dat was not changed. Brask/sfx was rebuilt." + again}
        << QStringList{"-", "new"} << QStringList{"yes", "(extra.ogg)"};
    QTest::newRow("Brask is the program's own folder")
        << "Ostrel" << "Program" << &programFolder << cancelled << none << QStringList{"-", "-"}
        << QStringList{"escape", "Program does not look like a Brask installation: it holds no dat, sfx or TOS.txt."};
    QTest::newRow("Ostrel dat and sfx hold no files")
        << "Ostrel" << "Brask" << &ostrelSkeleton << cancelled << none << untouched
        << QStringList{"escape", "Brask/dat holds 1 file that Re-install would delete and not bring back from "
                                 "Ostrel/dat (data.pak).",
                       "Brask/sfx holds 1 file that Re-install would delete and not bring back from Ostrel/sfx "
                       "(music.ogg)."};
    // Both folders are checked before either is touched.
    QTest::newRow("Ostrel lacks sfx")
        << "Ostrel" << "Brask" << &noOstrelSfx << ""
        << QStringList{"Brask/sfx: the source folder Ostrel/sfx does not exist", checkOstrel, unchanged}
        << untouched << none;
    QTest::newRow("trailing separator")
        << "Ostrel/" << "Brask/" << &noOstrelSfx << ""
        << QStringList{"Brask/sfx: the source folder Ostrel/sfx does not exist", checkOstrel, unchanged}
        << untouched << none;
    // Typed or chosen whole, the paths in the box are the system's own:
    // with a drive letter and backslashes on Windows.
    QTest::newRow("full paths in the box")
        << "{root}/Ostrel" << "{root}/Brask" << &noOstrelSfx << ""
        << QStringList{"{root}/Brask/sfx: the source folder {root}/Ostrel/sfx does not exist", checkOstrel, unchanged}
        << untouched << none;
    // The Brask dat is refused as lying inside the Ostrel dat; its sfx must
    // then not be made inside the Ostrel installation either.
    QTest::newRow("Brask is the Ostrel dat")
        << "Ostrel" << "Ostrel/dat" << &usual << ""
        << QStringList{"Ostrel/dat/dat: the source folder Ostrel/dat is this folder, or one lies inside the other",
                       checkBoth, unchanged}
        << untouched << none;
    QTest::newRow("Ostrel dat cannot be listed")
        << "Ostrel" << "Brask" << &ostrelDatUnlistable << ""
        << QStringList{"Brask/dat: the source folder Ostrel/dat cannot be read (", checkOstrel, unchanged} << untouched
        << none;
    // What the removal would reach cannot all be seen: nothing goes, and
    // the box names the folder.
    QTest::newRow("Brask dat holds a folder that cannot be listed")
        << "Ostrel" << "Brask" << &braskStaleUnlistable << ""
        << QStringList{"Brask/dat: Brask/dat/stale cannot be read (", unchanged} << untouched << none;
    // A second drive letter names the same folder, as SUBST, a mapped drive
    // or a junction does on Windows.
    QTest::newRow("Ostrel is Brask through a second drive letter")
        << "{alias}/Brask" << "Brask" << &ostrelIsBrask << ""
        << QStringList{"Brask/dat: the source folder {alias}/Brask/dat is this folder",
                       "Brask/sfx: the source folder {alias}/Brask/sfx is this folder", checkBoth, unchanged}
        << untouched << none;
    QTest::newRow("Brask through a second drive letter lies inside Ostrel")
        << "Ostrel" << "{alias}/Ostrel/dat/Brask" << &braskInsideOstrelDat << ""
        << QStringList{"{alias}/Ostrel/dat/Brask/dat: the source folder Ostrel/dat is this folder, or one lies "
                       "inside the other",
                       checkBoth, unchanged}
        << untouched << none;
#ifdef Q_OS_WIN
    // Windows' file names ignore letter case: "brask" is the Brask folder,
    // and re-installing it from itself would empty it.
    QTest::newRow("Ostrel is Brask in other letter case")
        << "brask" << "Brask" << &ostrelIsBrask << ""
        << QStringList{"Brask/dat: the source folder brask/dat is this folder",
                       "Brask/sfx: the source folder brask/sfx is this folder", checkBoth, unchanged}
        << untouched << none;
    QTest::newRow("Brask path longer than 260 characters")
        << "Ostrel" << deepBrask << &braskDeep << done << none << rebuilt << none;
    // Explorer's "Copy as path" puts the path in double quotes, which no
    // Windows file name can hold.
    QTest::newRow("quoted paths") << "\"{root}/Ostrel\"" << "\"{root}/Brask\"" << &usual << done << none << rebuilt
                                  << none;
    // Win32 reads the \\.\ form as it reads a plain path, trimming names.
    QTest::newRow("Brask on a second Linux disk")
        << "Ostrel" << "disk/Brask" << &braskOnLinuxDisk << done << none << rebuilt << none;
    QTest::newRow("Brask on a second Linux disk too small for sfx")
        << "Ostrel" << "disk/Brask" << &braskOnLinuxDiskTooSmallForSfx << ""
        << QStringList{"disk/Brask/sfx: the Brask drive has room for ", unchanged} << untouched << none;
    QTest::newRow("paths typed in the device form")
        << "\\\\.\\{root}/Ostrel" << "\\\\.\\{root}/Brask" << &namesWin32Trims << done << none << rebuilt << none;
    // Two Ostrel names that differ in letter case only cannot both go into
    // one Windows folder: refused before anything goes, and not blamed on
    // the running Ostrel game that holds the files.
    QTest::newRow("Ostrel names differ in case only, files held")
        << "Ostrel" << "Brask" << &ostrelNameClashHeld << "" << QStringList{"Brask/dat: the Ostrel files ", unchanged}
        << untouched << none;
    // A file the copy cannot open is found before anything is removed, not
    // left out under "Done!".
    QTest::newRow("Ostrel file named with a backslash")
        << "Ostrel" << "Brask" << &ostrelNameWithBackslash << ""
        << QStringList{"Brask/dat: the source file Ostrel/dat/", unchanged} << untouched << none;
    QTest::newRow("Brask file named with an asterisk")
        << "Ostrel" << "Brask" << &braskNameWindowsCannotHold << ""
        << QStringList{"Brask/dat: Brask/dat/a*b.pak has a name that Windows cannot use (it holds one of \\ : * ? "
                       "\" < > |): rename or remove it from Linux",
                       unchanged}
        << untouched << none;
    // On Windows a running launcher holds the file open, which the box says,
    // with the system's words, what became of the folders and what to do.
    QTest::newRow("Brask dat cannot be emptied")
        << "Ostrel" << "Brask" << &braskStaleLocked << ""
        << QStringList{"Brask/dat: could not remove Brask/dat/stale/old.pak (" + qt_error_string(ERROR_SHARING_VIOLATION)
                           + ")",
                       "Brask/dat was emptied up to what stopped it, and not rebuilt. Brask/sfx was rebuilt." + again,
                       IN_USE_HINT}
        << QStringList{"stuck", "new"} << QStringList{"yes", "(stale)"};
    // Under Wine a Unix link is no link that Windows can remove: Wine would
    // delete what it leads to. Refused, named, before anything goes.
    const QString linkAdvice = QStringLiteral(" is a link; remove it yourself, then run Re-install again");
    QTest::newRow("Ostrel data.pak a Unix link to a Brask file of two names")
        << "Ostrel" << "Brask" << &ostrelPakUnixLinkToBraskPakOfTwoNames << ""
        << QStringList{"Brask/dat: the source Ostrel/dat/data.pak is reached through Brask/dat/", checkBoth, unchanged}
        << untouched << none;
    QTest::newRow("Brask dat holds a Unix link to a folder")
        << "Ostrel" << "Brask" << &braskDatUnixLinkToMods << ""
        << QStringList{"Brask/dat: Brask/dat/mods" + linkAdvice, unchanged} << untouched << none;
    QTest::newRow("Brask dat holds a Unix link to a file")
        << "Ostrel" << "Brask" << &braskDatUnixLinkToFile << ""
        << QStringList{"Brask/dat: Brask/dat/notes.txt" + linkAdvice, unchanged} << untouched << none;
    QTest::newRow("Brask dat holds a Unix link to the same path on another drive")
        << "Ostrel" << "Brask" << &braskDatUnixLinkToOtherDrive << ""
        << QStringList{"Brask/dat: Brask/dat/data.pak" + linkAdvice, unchanged} << untouched << none;
    QTest::newRow("Brask dat named in other letter case on the Linux side")
        << "Ostrel" << "Brask" << &braskDatInOtherLetterCase << done << none << rebuilt << none;
    QTest::newRow("Brask dat holds a folder whose name ends in a blank")
        << "Ostrel" << "Brask" << &braskDatFolderEndingInBlank << done << none << rebuilt
        << QStringList{"yes", "Brask/dat holds 1 file and 1 folder that Re-install would delete"};
    QTest::newRow("Brask dat is a Unix link")
        << "Ostrel" << "Brask" << &braskDatUnixLink << ""
        << QStringList{"Brask/dat: Brask/dat" + linkAdvice, unchanged} << untouched << none;
    // What Wine does not list is found only when the folder will not go.
    QTest::newRow("Brask dat holds a Unix link that leads nowhere")
        << "Ostrel" << "Brask" << &braskDatUnixLinkToNothing << ""
        << QStringList{"Brask/dat: could not remove Brask/dat (it holds entries that its listing never gave)",
                       "Brask/dat was emptied up to what stopped it, and not rebuilt. Brask/sfx was rebuilt." + again}
        << QStringList{"-", "new"} << none;
    // A scanner or indexer holds them with deletion shared: they go, names
    // and all, and the folder with them.
    QTest::newRow("Brask dat held with deletion shared")
        << "Ostrel" << "Brask" << &braskDatHeldDeleteShared << done << none << rebuilt << none;
    // Known before anything is removed: the copy could not read it.
    QTest::newRow("Ostrel file partly locked by another program")
        << "Ostrel" << "Brask" << &ostrelSfxRangesLocked << ""
        << QStringList{"Brask/sfx: the source file Ostrel/sfx/music.ogg cannot be read (another program has locked "
                       "part of it",
                       unchanged}
        << untouched << none;
#else
    // Elsewhere the system tells beforehand that a folder's entries cannot
    // go (no write permission, or marked immutable), and nothing is touched.
    QTest::newRow("Brask dat cannot be emptied")
        << "Ostrel" << "Brask" << &braskStaleLocked << ""
        << QStringList{"Brask/dat: Brask/dat/stale cannot be removed (", unchanged} << untouched << none;
#endif
#ifdef Q_OS_LINUX
    // The two installations share files, or the Brask folder's own entries
    // cannot change: either folder's check may be the first to find it, and
    // nothing is touched.
    // Looking for folders inside it needs no permission to search it.
    QTest::newRow("Ostrel dat holds an empty folder that cannot be searched")
        << "Ostrel" << "Brask" << &ostrelEmptyFolderNotSearchable << done << none << rebuilt << none;
    QTest::newRow("Brask dat holds an empty folder that cannot be changed")
        << "Ostrel" << "Brask" << &braskEmptyFolderUnwritable << done << none << rebuilt
        << QStringList{"yes", "(Empty)"};
    const QStringList eitherFolder{"?Brask/dat: ", "?Brask/sfx: ", "?" + checkBoth, unchanged};
    QTest::newRow("Ostrel reached through a link in the Brask sfx")
        << "Brask/sfx/lnk" << "Brask" << &ostrelThroughBraskSfx << "" << eitherFolder << untouched << none;
    QTest::newRow("Ostrel data.pak links to the Brask one")
        << "Ostrel" << "Brask" << &ostrelPakLinksToBrask << "" << eitherFolder << untouched << none;
    QTest::newRow("Brask data.pak mounted as the Ostrel one")
        << "Ostrel" << "Brask" << &braskPakMountedAsOstrelPak << "" << eitherFolder << untouched << none;
    QTest::newRow("Ostrel dat mounted inside the Brask dat")
        << "Ostrel" << "Brask" << &ostrelDatMountedInBraskDat << "" << eitherFolder << untouched << none;
    QTest::newRow("Brask by another name inside a disk mounted as the Ostrel dat")
        << "Ostrel" << "alias" << &braskInsideDiskMountedAsOstrelDat << ""
        << QStringList{"alias/dat: the source folder Ostrel/dat is this folder, or one lies inside the other",
                       "?alias/sfx: ", checkBoth, unchanged}
        << untouched << none;
    QTest::newRow("Brask folder not writable, its dat and sfx writable")
        << "Ostrel" << "Brask" << &braskFolderLocked << "" << eitherFolder << untouched << none;
    // The link goes, and a folder takes its place; what it leads to stays.
    QTest::newRow("Brask dat is a dangling link")
        << "Ostrel" << "Brask" << &braskDatDangling << done << none << rebuilt
        << QStringList{"yes", "Brask/dat is a link. Re-install would remove the link, not what it leads to"};
    // Hidden files and links are never copied, whatever Ostrel holds.
    QTest::newRow("Brask dat holds a link and a hidden file")
        << "Ostrel" << "Brask" << &braskLinkAndHidden << cancelled << none << untouched
        << QStringList{"escape", "Brask/dat holds 1 file and 1 link that Re-install would delete and not bring back "
                                 "from Ostrel/dat (.hidden and lnk)."};
    QTest::newRow("Brask file named with line breaks")
        << "Ostrel" << "Brask" << &braskNameWithLineBreaks << cancelled << none << untouched
        << QStringList{"escape", "(a\xef\xbf\xbdSafe to answer Yes.\xef\xbf\xbd)."};
    // Once Brask/dat is gone, Brask/dat/.. leads nowhere: the new dat could
    // not be made.
    QTest::newRow("Brask path through its own dat")
        << "Ostrel" << "Brask/dat/.." << &usual << ""
        << QStringList{"?Brask/dat/../dat: ", "?Brask/dat/../sfx: ", "Check the Brask Path.", unchanged}
        << untouched << none;
    QTest::newRow("Ostrel file named in bytes that are not UTF-8")
        << "Ostrel" << "Brask" << &oddOstrelName << done << none << rebuilt << none;
    QTest::newRow("Brask file named in bytes that are not UTF-8")
        << "Ostrel" << "Brask" << &oddBraskName << done << none << rebuilt
        << QStringList{"yes", "Brask/dat holds 1 file that Re-install would delete and not bring back from "
                              "Ostrel/dat (b\xef\xbf\xbd.pak)."};
    // Copies whose data never reached the disk are no repair, and the box
    // says that the folders are not rebuilt.
    QTest::newRow("data never reaches the disk")
        << "Ostrel" << "Brask" << &flushesFail << qt_error_string(EIO)
        << QStringList{"?Brask/dat: ", "?Brask/sfx: ", "Brask/dat was "} << QStringList{"-", "-"} << none;
    // Found before the Brask dat is removed, not after.
    QTest::newRow("Ostrel file cannot be read")
        << "Ostrel" << "Brask" << &ostrelFileUnreadable << ""
        << QStringList{"Brask/sfx: the source file Ostrel/sfx/music.ogg cannot be read (", unchanged} << untouched
        << none;
    // A folder named in bytes that are not text reaches the field as U+FFFD,
    // which is also the real name of another folder: neither is touched.
    QTest::newRow("Brask path not the folder's exact name")
        << "Ostrel" << QString::fromUtf8("B\xef\xbf\xbd") << &braskNamedReplacement << ""
        << QStringList{QString::fromUtf8("B\xef\xbf\xbd/dat: B\xef\xbf\xbd/dat cannot be given to the system"),
                       QString::fromUtf8("B\xef\xbf\xbd/sfx: B\xef\xbf\xbd/sfx cannot be given to the system"),
                       "Check the Brask Path.", unchanged}
        << untouched << none;
    // Known before anything is removed, with both figures; sfx, which gives
    // back more than it takes, needs no more.
    QTest::newRow("disk full")
        << "Ostrel" << "disk/Brask" << &braskOnSmallDisk << ""
        << QStringList{"disk/Brask/dat: the Brask drive has room for 40.0 KiB once the old files are gone, but the "
                       "copy needs 1.3 MiB there (264.0 KiB for the files, as that drive stores them, and 1 MiB kept "
                       "spare): free 1.2 MiB more there, then run Re-install data again",
                       unchanged}
        << untouched << none;
    // One figure for both, sfx's counted with dat's.
    QTest::newRow("disk full for both")
        << "Ostrel" << "disk/Brask" << &braskOnSmallDiskForBoth << ""
        << QStringList{"disk/Brask/sfx: the Brask drive has room for 60.0 KiB once the old files are gone, but this "
                       "copy and the ones before it need 1.8 MiB there (784.0 KiB for the files, as that drive stores "
                       "them, and 1 MiB kept spare): free 1.7 MiB more there, then run Re-install data again",
                       unchanged}
        << untouched << none;
    QTest::newRow("disk full once a held Brask file is removed")
        << "Ostrel" << "disk/Brask" << &braskOnSmallDiskHeld << ""
        << QStringList{"disk/Brask/dat: could not copy big.pak (" + qt_error_string(ENOSPC)
                           + "). The room was there when the repair checked it, but a program that still has one of "
                             "the old files open (the game or the launcher) keeps that file's room until it closes "
                             "it, and other programs may have taken room since: close the game and the launcher, or "
                             "free room on the Brask drive",
                       "disk/Brask/dat was "}
        << QStringList{"-", "new"} << none;
    QTest::newRow("Ostrel file with holes larger than the Brask disk")
        << "Ostrel" << "disk/Brask" << &braskOnSmallDiskOstrelSparse << done << none
        << QStringList{"-", "new"} << none;
    QTest::newRow("Ostrel file's holes filled in while asked")
        << "Ostrel" << "disk/Brask" << &ostrelSparseFilledWhileAsked << ""
        << QStringList{"disk/Brask/dat: the Ostrel file big.pak changed after it was checked (it was replaced or "
                       "rewritten): run Re-install data again",
                       unchanged}
        << untouched << QStringList{"yes", "(stale)"};
    QTest::newRow("drive out of room for files")
        << "Ostrel" << "drive/Brask" << &braskOnDriveOfFewFiles << ""
        << QStringList{"drive/Brask/dat: the Brask drive can hold only ", "?drive/Brask/sfx: ", unchanged}
        << untouched << none;
    QTest::newRow("Brask on exFAT") << "Ostrel" << "drive/Brask" << &braskOnExFat << done << none << rebuilt << none;
    QTest::newRow("Brask on exFAT, Ostrel file modes")
        << "Ostrel" << "drive/Brask" << &braskOnExFatModes << done << none << rebuilt << none;
    QTest::newRow("Brask on exFAT, Ostrel names differ in case only")
        << "Ostrel" << "drive/Brask" << &braskOnExFatCaseTwins << ""
        << QStringList{"?drive/Brask/dat: the Ostrel files Foo.pak and foo.pak differ only in letter case, and the "
                       "Brask drive takes them for one file",
                       "?drive/Brask/dat: the Ostrel files foo.pak and Foo.pak differ only in letter case, and the "
                       "Brask drive takes them for one file",
                       unchanged} << untouched << none;
    QTest::newRow("Brask on exFAT, Ostrel name with a colon")
        << "Ostrel" << "drive/Brask" << &braskOnExFatColon << ""
        << QStringList{"drive/Brask/sfx: the Brask drive cannot hold a file named a:b.ogg, as the Ostrel file is named",
                       unchanged} << untouched
        << none;
    QTest::newRow("Brask on exFAT, a Brask file held open")
        << "Ostrel" << "drive/Brask" << &braskOnExFatHeld << ""
        << QStringList{"drive/Brask/dat: could not remove drive/Brask/dat/data.pak (another program still has it "
                       "open)",
                       "drive/Brask/dat was emptied up to what stopped it, and not rebuilt. drive/Brask/sfx was "
                       "rebuilt."
                           + again,
                       IN_USE_HINT}
        << QStringList{"-", "new"} << none;
    // Found while the old folder is still there, and without waiting on the pipe.
    QTest::newRow("Ostrel file swapped for a named pipe while asked")
        << "Ostrel" << "Brask" << &ostrelPipeSwappedWhileAsked << ""
        << QStringList{"Brask/dat: the Ostrel file data.pak changed after it was checked (it was replaced or "
                       "rewritten): run Re-install data again",
                       unchanged}
        << untouched << QStringList{"yes", "(stale)"};
#endif
}

void tst_Reinstall::reinstall()
{
    QFETCH(QString, ostrel);
    QFETCH(QString, brask);
    QFETCH(Setup, setup);
    QFETCH(QString, message);
    QFETCH(QStringList, failedLines);
    QFETCH(QStringList, after);
    QFETCH(QStringList, question);

    const QString root = m_dir->path();
    // Only the cases that need a second drive letter get one: under Wine the
    // files below a drive alias may answer with another volume's serial.
    QScopedPointer<DriveAlias> alias;
    if ((ostrel + brask).contains(QLatin1String("{alias}"))) {
        alias.reset(new DriveAlias(root));
        if (alias->root().isEmpty())
            QSKIP("a second name for a folder that is not a link needs a drive letter: Windows or Wine");
    }
    const QString aliasRoot = alias ? alias->root() : QString();
    for (QString *text : {&ostrel, &brask}) {
        text->replace(QLatin1String("{root}"), root);
        text->replace(QLatin1String("{alias}"), aliasRoot);
    }
    failedLines.replaceInStrings(QLatin1String("{root}"), root);
    failedLines.replaceInStrings(QLatin1String("{alias}"), aliasRoot);

    Installations installations(root);
    setup(installations);
    // A failed check in the set-up has only left the set-up.
    if (QTest::currentTestFailed())
        return;
    if (installations.cannotBeMade)
        QSKIP(installations.cannotBeMade);
    if ((installations.mount && !installations.mount->mounted())
        || (installations.secondMount && !installations.secondMount->mounted()))
        QSKIP("mounting a folder needs root on Linux, where the system lets root mount");
    if (installations.lock && !installations.lock->locked())
        QSKIP("this file system cannot make a file impossible to remove");
    if (installations.flushesFail && !FlushFailure::works())
        QSKIP("only Linux lets the test stand in for the system's flushes");
    const QString &source = installations.source;
    const QString &target = installations.target;
    const QStringList sourceBefore = tree(source);
    const QStringList targetBefore = tree(target);
    const QDateTime targetWritten = QDateTime::fromSecsSinceEpoch(1000000000, Qt::UTC);
    const bool timed = QFileInfo::exists(target) && setWrittenAt(target, targetWritten);
    QScopedPointer<Unpermitted> unreadable(
        installations.unreadable.isEmpty() ? nullptr : new Unpermitted(installations.unreadable, 'r'));
    if (unreadable && !unreadable->real())
        QSKIP("root reads every file and folder, and Windows has no Unix permissions to take away");

    // The box and the debug lines show the paths as the program uses them.
    QString shownOstrel = ostrel;
#ifdef Q_OS_WIN
    if (shownOstrel.startsWith(QLatin1Char('"')))
        shownOstrel = shownOstrel.mid(1, shownOstrel.size() - 2);
#endif
    shownOstrel = QDir::cleanPath(shownOstrel);
    if (after[0] == QLatin1String("new"))
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(QStringLiteral("Unhandled folder \"%1/dat/Maps\" in cpDir").arg(shownOstrel)));
    if (after[1] == QLatin1String("new"))
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(QStringLiteral("Unhandled folder \"%1/sfx/Voices\" in cpDir").arg(shownOstrel)));

    CurrentFolder current(root);
    BraskRepair window;
    QVERIFY(showWindow(window));
    child<QLineEdit>(window, "ledPathOstrel")->setText(ostrel);
    child<QLineEdit>(window, "ledPathBrask")->setText(brask);
    auto *bar = child<QProgressBar>(window, "pgbProgress");
    auto *status = child<QStatusBar>(window, "statusBar");
    auto *button = child<QAbstractButton>(window, "btnReinstall");
    PaintedMessages painted(status);

    // What the window shows while the copies run.
    QStringList during;
    connect(bar, &QProgressBar::valueChanged, this, [&] {
        during << QStringLiteral("%1 %2 %3").arg(status->currentMessage()).arg(bar->isVisible()).arg(button->isEnabled());
    });
    const QString answer = question.value(0);
    QString defaultButton;
    // Whatever the end, the folders the copies were tried in are gone by
    // the time the box says what became of the player's files.
    const QString tried = QStringLiteral(".brask-repair-probe-%1-*").arg(QCoreApplication::applicationPid());
    QStringList tries;
    ModalWatcher watcher([&](QWidget *widget) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        QVERIFY(box);
        if (box->buttons().size() == 1) {
            tries = QDir(target).entryList({tried}, QDir::Dirs | QDir::Hidden);
            box->buttons().first()->click();
            return;
        }
        defaultButton = box->defaultButton() == box->button(QMessageBox::No) ? "No" : "other";
        if (installations.whileAsked)
            installations.whileAsked(installations);
        if (answer == QLatin1String("yes"))
            box->button(QMessageBox::Yes)->click();
        else
            QTest::keyClick(box, Qt::Key_Escape);
        if (box->isVisible())
            box->done(QMessageBox::Cancel);
    });
    QScopedPointer<FlushFailure> flushFailure(installations.flushesFail ? new FlushFailure : nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
    flushFailure.reset();

    QCOMPARE(watcher.seen.size(), question.isEmpty() ? 1 : 2);
    if (!question.isEmpty()) {
        const SeenBox asked = watcher.seen.first();
        QCOMPARE(asked.buttonCount, 2);
        QCOMPARE(defaultButton, QStringLiteral("No"));
        for (const QString &part : question.mid(1))
            QVERIFY2(asked.text.contains(QDir::toNativeSeparators(part)), qPrintable(asked.text));
    }
    const SeenBox box = watcher.seen.last();
    QVERIFY(!box.parent);
    QCOMPARE(box.buttonCount, 1);
    if (!failedLines.isEmpty()) {
        QStringList lines = box.text.split(QLatin1Char('\n'));
        QCOMPARE(lines.takeFirst(), QStringLiteral("Re-install failed!"));
        QVERIFY2(box.text.contains(message), qPrintable(box.text));
        int matched = 0;
        for (const QString &line : failedLines) {
            const bool optional = line.startsWith(QLatin1Char('?'));
            const QString start = QDir::toNativeSeparators(optional ? line.mid(1) : line);
            if (matched < lines.size() && lines[matched].startsWith(start))
                ++matched;
            else
                QVERIFY2(optional, qPrintable(box.text));
        }
        QVERIFY2(matched > 0 && matched == lines.size(), qPrintable(box.text));
#ifdef Q_OS_WIN
        if (brask.startsWith(root))
            QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z]:\\\\[^/]*$")).match(lines[0]).hasMatch(),
                     qPrintable(lines[0]));
#endif
    } else {
        QCOMPARE(box.text, message);
    }
    QVERIFY(!bar->isVisible());
    // The source is never written.
    unreadable.reset();
    QCOMPARE(tree(source), sourceBefore);

    auto contents = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
    };
    const bool runs = message != QStringLiteral("You have to set the Brask and Ostrel paths!");
    QCOMPARE(status->currentMessage(), runs ? QStringLiteral("Ready") : QString());
    // The player sees that the repair works before its checks begin.
    QCOMPARE(painted.messages.contains(QStringLiteral("Working...")), runs);
    QVERIFY(button->isEnabled());
    // A refused or cancelled repair touches nothing, the progress bar
    // included; while one works, the window takes no input.
    const bool untouched = after == QStringList({QStringLiteral("old"), QStringLiteral("old")});
    QCOMPARE(!during.isEmpty(), !untouched && answer != QLatin1String("escape"));
    if (!during.isEmpty()) {
        QCOMPARE(during.first(), QStringLiteral("Working... 1 0"));
        QCOMPARE(during.last(), QStringLiteral("Working... 1 0"));
    }
    for (const QString &path : std::as_const(installations.gone))
        QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
    for (const QString &path : std::as_const(installations.kept))
        QVERIFY2(QFileInfo::exists(path), qPrintable(path));
    tries << QDir(target).entryList({tried}, QDir::Dirs | QDir::Hidden);
    QVERIFY2(tries.isEmpty(), qPrintable(tries.join(QStringLiteral(", "))));
    // What was made while the question was open stays.
    if (!installations.madeWhileAsked.isEmpty())
        QCOMPARE(contents(installations.madeWhileAsked), QByteArray("data"));
    if (QFileInfo::exists(target + QStringLiteral("/TOS.txt")))
        QCOMPARE(contents(target + QStringLiteral("/TOS.txt")), QByteArray("data"));
    // Nothing was even made and removed again in the Brask folder.
    if (untouched || answer == QLatin1String("escape")) {
        QCOMPARE(tree(target), targetBefore);
        if (timed && !installations.triedOnDrive)
            QCOMPARE(QFileInfo(target).lastModified(), targetWritten);
    }

    struct Folder { const char *name; const char *file; QByteArray fresh; QByteArray old; };
    const Folder folders[] = {{"/dat", "data.pak", "new data", "broken"}, {"/sfx", "music.ogg", "new music", "broken"}};
    for (int i = 0; i < 2; ++i) {
        const QString path = target + QLatin1String(folders[i].name);
        const QString file = path + QLatin1Char('/') + QLatin1String(folders[i].file);
        if (after[i] == QLatin1String("new")) {
            // Every name as the system keeps it, in a folder of its own.
            QList<QByteArray> names{folders[i].file};
            if (i == 0 && installations.oddSourceFile) {
                names.prepend(oddSourceName);
                QCOMPARE(readRawFile(path.toUtf8() + '/' + oddSourceName), QByteArray("odd data"));
            }
            for (const QByteArray &name : i == 0 ? installations.exactNames : QList<QByteArray>()) {
                names.append(name);
                QCOMPARE(readRawFile(path.toUtf8() + '/' + name), name);
            }
            std::sort(names.begin(), names.end());
            QCOMPARE(rawNames(path), names);
            QVERIFY(!QFileInfo(path).isSymLink());
            QCOMPARE(contents(file), folders[i].fresh);
        } else if (after[i] == QLatin1String("old")) {
            QCOMPARE(contents(file), folders[i].old);
        }
        // A folder that failed keeps what the walk had not reached yet.
        if (after[i] == QLatin1String("stuck"))
            QCOMPARE(contents(path + QStringLiteral("/stale/old.pak")), QByteArray("stale"));
    }
}

void tst_Reinstall::keysPressedWhileWorking_data()
{
    QTest::addColumn<QString>("keys");  // as xdotool names them
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("box");   // how the first box starts

    QTest::newRow("Return before Done!") << "Return" << &usual << "Done!";
    QTest::newRow("space before Done!") << "space" << &usual << "Done!";
    QTest::newRow("Return before Re-install failed!") << "Return" << &noOstrelSfx << "Re-install failed!";
    QTest::newRow("Return before the question") << "Return" << &withStale << "Brask\\dat holds";
}

void tst_Reinstall::keysPressedWhileWorking()
{
    QFETCH(QString, keys);
    QFETCH(Setup, setup);
    QFETCH(QString, box);

    // Keys pressed while the window is busy reach the program only once it
    // looks at its input again: through a real window system's queue.
    if (!underWine())
        QSKIP("keys typed ahead need a window system that queues them for a busy program: Wine's, through xdotool");
    const QString root = m_dir->path();
    Installations installations(root);
    setup(installations);
    if (QTest::currentTestFailed())
        return;

    CurrentFolder current(root);
    BraskRepair window;
    QVERIFY(showWindow(window));
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    child<QLineEdit>(window, "ledPathOstrel")->setText(QStringLiteral("Ostrel"));
    child<QLineEdit>(window, "ledPathBrask")->setText(QStringLiteral("Brask"));
    // Pressed as the work begins, before anything is shown.
    bool pressed = false;
    connect(child<QStatusBar>(window, "statusBar"), &QStatusBar::messageChanged, this, [&](const QString &message) {
        if (pressed || message != QLatin1String("Working..."))
            return;
        pressed = true;
        QCOMPARE(unixCommand({QStringLiteral("/usr/bin/xdotool"), QStringLiteral("key"), keys}), 0);
    });
    // Each box must stay until the player has had the time to read it.
    QStringList stayed;
    ModalWatcher watcher([&](QWidget *widget) {
        QTest::qWait(1500);
        if (widget->isVisible()) {
            stayed << static_cast<QMessageBox *>(widget)->text();
            static_cast<QDialog *>(widget)->done(QMessageBox::No);
        }
    });
    QTest::mouseClick(child<QAbstractButton>(window, "btnReinstall"), Qt::LeftButton);

    QVERIFY(pressed);
    QVERIFY2(!watcher.seen.isEmpty(), "no box was shown");
    QVERIFY2(watcher.seen.first().text.startsWith(box), qPrintable(watcher.seen.first().text));
    QCOMPARE(stayed.size(), watcher.seen.size());
}

BRASK_TEST_MAIN(tst_Reinstall)
#include "tst_reinstall.moc"
