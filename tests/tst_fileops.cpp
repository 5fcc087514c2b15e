#include "braskrepair.h"
#include "fileops/dir.h"
#include "fileops/fileops.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif
#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A symbolic link at path to target. Windows' own links, not the shell
// shortcuts that QFile::link makes there; Wine 8 only pretends to make them.
bool makeLink(const QString &target, const QString &path)
{
#ifdef Q_OS_WIN
    const DWORD flags = (QFileInfo(target).isDir() ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0)
                        | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    CreateSymbolicLinkW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                        reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(target).utf16()), flags);
    return QFileInfo(path).isSymLink();
#else
    return QFile::link(target, path);
#endif
}

// A symbolic link the system itself follows: under Wine a Unix one, as
// Linux players' installations hold them, since Wine 8 only pretends to make
// Windows links.
bool makeSystemLink(const QString &target, const QString &path)
{
    if (underWine())
        return unixCommand({QStringLiteral("/bin/ln"), QStringLiteral("-s"), unixPath(target), unixPath(path)}) == 0;
    return makeLink(target, path);
}

// Writes a file under exactly the name given, which Win32 might rewrite.
void writeExact(const QString &path, const QByteArray &contents)
{
    writeRawFile(path.toUtf8(), contents);
}

QByteArray readExact(const QString &path)
{
    return readRawFile(path.toUtf8());
}

// Builds entries below root from a list: "a/b.txt" is a file, "a/" a
// folder, "link@target" a symbolic link to target, "name#target" a second
// name (a hard link) for the file target (both relative to root), "name%"
// a file of 16 MiB that is its name at the start and at 8 MiB, with holes
// between and after where the file system keeps them.
// False when a link could not be made.
bool build(const QString &root, const QStringList &entries)
{
    QDir().mkpath(root);
    for (const QString &entry : entries) {
        const QString path = root + QLatin1Char('/') + entry.section(QLatin1Char('@'), 0, 0).section(QLatin1Char('#'), 0, 0);
        if (entry.contains(QLatin1Char('#'))) {
            if (!makeHardLink(root + QLatin1Char('/') + entry.section(QLatin1Char('#'), 1), path))
                return false;
        } else if (entry.contains(QLatin1Char('@'))) {
            QDir().mkpath(QFileInfo(path).path());
            if (!makeLink(root + QLatin1Char('/') + entry.section(QLatin1Char('@'), 1), path))
                return false;
        } else if (entry.endsWith(QLatin1Char('/'))) {
            QDir().mkpath(path);
        } else if (entry.endsWith(QLatin1Char('%'))) {
            const QString name = path.chopped(1);
            QDir().mkpath(QFileInfo(name).path());
            QFile file(name);
            const QByteArray data = QFileInfo(name).fileName().toUtf8();
            if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.seek(8 << 20)
                || file.write(data) != data.size() || !file.resize(16 << 20))
                return false;
        } else {
            writeExact(path, entry.toUtf8());
        }
    }
    return true;
}

#define BUILD_OR_SKIP(root, entries)                                                                   \
    if (!build(root, entries))                                                                         \
        QSKIP(underWine() ? "Wine 8 cannot make symbolic links or junctions; this case needs Windows" \
                          : "this system refuses to make symbolic links")

// Every (maximum, value) the progress bar shows, in order.
class ProgressLog : public QObject
{
public:
    explicit ProgressLog(QProgressBar *bar)
    {
        connect(bar, &QProgressBar::valueChanged, this, [this, bar](int value) {
            steps << QPoint(bar->maximum(), value);
        });
    }
    QList<QPoint> steps;
};

using Steps = QList<QPoint>;

} // namespace

class tst_FileOps : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rmDir_data();
    void rmDir();
    void rmDirStopsAtFirstFailure();
    void cpDir_data();
    void cpDir();
    void cpDirRefusesOverlap_data();
    void cpDirRefusesOverlap();
    void cpDirCutShort_data();
    void cpDirCutShort();
    void cpDirReadOnlyTwice();
    void cpDirWithHolesUnderFileSizeLimit();
    void cpDirPermissionBitsOnly_data();
    void cpDirPermissionBitsOnly();
    void cpDirWithoutKernelCopy();
    void cpDirSkipsOtherEntries();
    void replaceStopsAtEntrySwappedAfterPlan_data();
    void replaceStopsAtEntrySwappedAfterPlan();
    void replaceInFolderLinuxForbidsChanging();
    void replaceAfterTry_data();
    void replaceAfterTry();
    void rehearsalStaysInItsFolder();
    void rehearsalFolderTakenAway();
    void surveyStopsAtDepthLimit();
    void pathsAsGivenToTheSystem_data();
    void pathsAsGivenToTheSystem();
    void removeFileIfPresent_data();
    void removeFileIfPresent();

private:
    QProgressBar *bar() { return child<QProgressBar>(*m_window, "pgbProgress"); }
    QTemporaryDir *m_dir = nullptr;
    BraskRepair *m_window = nullptr;
};

void tst_FileOps::init()
{
    failOnAnyWarning();
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_window = new BraskRepair;
}

void tst_FileOps::cleanup()
{
    delete m_window;
    m_window = nullptr;
    // The routine under test, tested on its own above, removes every case.
    QString why;
    QVERIFY2(removeCaseFolder(m_dir, &why), qPrintable(why));
}

void tst_FileOps::rmDir_data()
{
    QTest::addColumn<QStringList>("before");    // below the temporary folder
    QTest::addColumn<QString>("path");          // what rmDir is given
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<Steps>("steps");           // (maximum, value) as shown

    QTest::newRow("nothing there") << QStringList() << "t/dat" << true << QStringList() << Steps();
    QTest::newRow("names a file") << QStringList{"t/dat"} << "t/dat" << true << QStringList{"t/", "t/dat"}
                                  << Steps();
    QTest::newRow("empty folder") << QStringList{"t/dat/"} << "t/dat" << true << QStringList{"t/"} << Steps();
    // The nested folder sets its own maximum; back outside, the outer
    // counter goes on against it, so values above it are not shown.
    QTest::newRow("nested, progress")
        << QStringList{"t/dat/a.pak", "t/dat/B/x1", "t/dat/B/x2", "t/dat/c.pak", "t/dat/d.pak"}
        << "t/dat" << true << QStringList{"t/"}
        << Steps{{4, 1}, {4, 2}, {2, 1}, {2, 2}};
    QTest::newRow("name order ignores case")
        << QStringList{"t/dat/b", "t/dat/A", "t/dat/C/"} << "t/dat" << true << QStringList{"t/"}
        << Steps{{3, 1}, {3, 2}, {3, 3}};
    QTest::newRow("hidden entries go too")
        << QStringList{"t/dat/.hidden", "t/dat/.cache/x", "t/dat/z"} << "t/dat" << true << QStringList{"t/"}
        << Steps{{3, 1}};
    QTest::newRow("relative path with doubled slash")
        << QStringList{"t/dat/a"} << "t//dat" << true << QStringList{"t/"} << Steps{{1, 1}};
    QTest::newRow("trailing separator")
        << QStringList{"t/dat/a"} << "t/dat/" << true << QStringList{"t/"} << Steps{{1, 1}};
    QTest::newRow("link inside is not followed")
        << QStringList{"keep/precious", "t/dat/a", "t/dat/lnk@keep", "t/dat/file@keep/precious"}
        << "t/dat" << true << QStringList{"keep/", "keep/precious", "t/"}
        << Steps{{3, 1}, {3, 2}, {3, 3}};
    QTest::newRow("dangling link inside")
        << QStringList{"t/dat/gone@nowhere"} << "t/dat" << true << QStringList{"t/"} << Steps{{1, 1}};
    QTest::newRow("folder itself a link")
        << QStringList{"keep/precious", "t/dat@keep"} << "t/dat" << true
        << QStringList{"keep/", "keep/precious", "t/"} << Steps();
    QTest::newRow("read-only file")
        << QStringList{"t/dat/ro"} << "t/dat" << true << QStringList{"t/"} << Steps{{1, 1}};
#ifdef Q_OS_WIN
    // Names that Win32 trims or takes for devices unless given in the
    // extended form, beside the twin that the trimmed name would hit.
    QTest::newRow("names Win32 would rewrite")
        << QStringList{"t/dat/a.dat", "t/dat/a.dat.", "t/dat/aux.dat", "t/dat/b.dat ", "t/dat/com1.bin", "t/dat/nul"}
        << "t/dat" << true << QStringList{"t/"} << Steps{{6, 1}, {6, 2}, {6, 3}, {6, 4}, {6, 5}, {6, 6}};
    // Explorer marks customised folders read-only, which RemoveDirectory refuses.
    QTest::newRow("read-only folder")
        << QStringList{"t/dat/custom/x"} << "t/dat" << true << QStringList{"t/"} << Steps{{1, 1}};
    // The file's other name, outside the folder, keeps its read-only flag:
    // the flag belongs to the file, not to the name.
    QTest::newRow("read-only file with a second name outside")
        << QStringList{"keep/ro", "t/dat/ro#keep/ro"} << "t/dat" << true << QStringList{"keep/", "keep/ro", "t/"}
        << Steps{{1, 1}};
#endif
}

void tst_FileOps::rmDir()
{
    QFETCH(QStringList, before);
    QFETCH(QString, path);
    QFETCH(bool, result);
    QFETCH(QStringList, after);
    QFETCH(Steps, steps);

    const QString root = m_dir->path();
    BUILD_OR_SKIP(root, before);
    if (QFile::exists(root + QStringLiteral("/t/dat/ro")))
        QFile::setPermissions(root + QStringLiteral("/t/dat/ro"), QFileDevice::ReadOwner);
#ifdef Q_OS_WIN
    const QString custom = QDir::toNativeSeparators(root + QStringLiteral("/t/dat/custom"));
    if (QFileInfo::exists(custom))
        QVERIFY(SetFileAttributesW(reinterpret_cast<const wchar_t *>(custom.utf16()), FILE_ATTRIBUTE_READONLY));
#endif
    bar()->setRange(0, 77);
    bar()->setValue(5);
    ProgressLog log(bar());

    QString failed;
    bool removed = false;
    {
        CurrentFolder current(root);
        removed = m_window->rmDir(path, &failed);
    }

    QCOMPARE(removed, result);
    QCOMPARE(tree(root), after);
    if (QFile::exists(root + QStringLiteral("/keep/ro")))
        QCOMPARE(QFile::permissions(root + QStringLiteral("/keep/ro")) & QFileDevice::WriteOwner, QFileDevice::Permissions());
    QCOMPARE(log.steps, steps);
    if (steps.isEmpty() && !before.contains(QStringLiteral("t/dat/"))) {
        QCOMPARE(bar()->maximum(), 77);
        QCOMPARE(bar()->value(), 5);
    }
    if (before == QStringList{"t/dat/"})
        QCOMPARE(bar()->maximum(), 0);
}

void tst_FileOps::rmDirStopsAtFirstFailure()
{
    // The second of three subfolders holds a folder whose file cannot go.
    const QString root = m_dir->path() + QStringLiteral("/dat");
    build(root, {"a/1", "b/0", "b/m/stuck", "b/z", "c/1", "d"});
    FolderLock lock(root + QStringLiteral("/b/m"));
    if (!lock.locked())
        QSKIP("this file system cannot make a file impossible to remove");

    QString failed;
    QVERIFY(!m_window->rmDir(root, &failed));
    QCOMPARE(tree(root), QStringList({"b/", "b/m/", "b/m/stuck", "b/z", "c/", "c/1", "d"}));
    QCOMPARE(failed, root + QStringLiteral("/b/m/stuck"));
}

void tst_FileOps::cpDir_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("src");
    QTest::addColumn<QString>("dst");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("why");           // start of the reason given
    QTest::addColumn<QStringList>("after");     // below the temporary folder
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<QStringList>("debug");     // names of skipped entries

    QTest::newRow("no destination yet")
        << QStringList{"s/dat/a", "s/dat/b", "t/"} << "s/dat" << "t/dat" << true << ""
        << QStringList{"s/", "s/dat/", "s/dat/a", "s/dat/b", "t/", "t/dat/", "t/dat/a", "t/dat/b"}
        << Steps{{2, 1}, {2, 2}} << QStringList();
    QTest::newRow("replaces, skips subfolder")
        << QStringList{"s/dat/a", "s/dat/sub/x", "s/dat/z", "t/dat/old", "t/dat/.hidden", "t/dat/olddir/y"}
        << "s/dat" << "t/dat" << true << ""
        << QStringList{"s/", "s/dat/", "s/dat/a", "s/dat/sub/", "s/dat/sub/x", "s/dat/z",
                       "t/", "t/dat/", "t/dat/a", "t/dat/z"}
        << Steps{{3, 1}, {3, 2}, {3, 3}, {1, 1}, {3, 2}, {3, 3}} << QStringList{"sub"};
    // A file with holes takes no more room as a copy than it did.
    QTest::newRow("sparse source")
        << QStringList{"s/dat/a%", "t/"} << "s/dat" << "t/dat" << true << ""
        << QStringList{"s/", "s/dat/", "s/dat/a", "t/", "t/dat/", "t/dat/a"} << Steps{{1, 1}} << QStringList();
    QTest::newRow("hidden source file not copied")
        << QStringList{"s/dat/.h", "s/dat/a", "t/"} << "s/dat" << "t/dat" << true << ""
        << QStringList{"s/", "s/dat/", "s/dat/.h", "s/dat/a", "t/", "t/dat/", "t/dat/a"}
        << Steps{{1, 1}} << QStringList();
    QTest::newRow("empty source")
        << QStringList{"s/dat/", "t/dat/x"} << "s/dat" << "t/dat" << true << ""
        << QStringList{"s/", "s/dat/", "t/", "t/dat/"} << Steps{{1, 1}} << QStringList();
    QTest::newRow("source missing keeps destination")
        << QStringList{"s/", "t/dat/x"} << "s/dat" << "t/dat" << false << "the source folder"
        << QStringList{"s/", "t/", "t/dat/", "t/dat/x"} << Steps() << QStringList();
    QTest::newRow("source is a file keeps destination")
        << QStringList{"s/dat", "t/dat/x"} << "s/dat" << "t/dat" << false << "the source"
        << QStringList{"s/", "s/dat", "t/", "t/dat/", "t/dat/x"} << Steps() << QStringList();
    QTest::newRow("destination parent missing")
        << QStringList{"s/dat/a"} << "s/dat" << "t/dat" << false << "could not be created"
        << QStringList{"s/", "s/dat/", "s/dat/a"} << Steps() << QStringList();
    QTest::newRow("destination is a file")
        << QStringList{"s/dat/a", "t/dat"} << "s/dat" << "t/dat" << false << "could not be created"
        << QStringList{"s/", "s/dat/", "s/dat/a", "t/", "t/dat"} << Steps() << QStringList();
    QTest::newRow("destination is a link: link replaced")
        << QStringList{"s/dat/a", "keep/precious", "t/dat@keep"} << "s/dat" << "t/dat" << true << ""
        << QStringList{"keep/", "keep/precious", "s/", "s/dat/", "s/dat/a", "t/", "t/dat/", "t/dat/a"}
        << Steps{{1, 1}} << QStringList();
    QTest::newRow("link to a file in source is copied as a file")
        << QStringList{"s/dat/a", "s/dat/l@s/dat/a", "t/"} << "s/dat" << "t/dat" << true << ""
        << QStringList{"s/", "s/dat/", "s/dat/a", "s/dat/l@", "t/", "t/dat/", "t/dat/a", "t/dat/l"}
        << Steps{{2, 1}, {2, 2}} << QStringList();
    // The source is reached through a chain of links, one of which lies in
    // the destination: removing it would cut the source off.
    QTest::newRow("source through a link chain in the destination")
        << QStringList{"real/dat/a", "t/dat/hop@real", "s@t/dat/hop"} << "s/dat" << "t/dat" << false
        << "the source"
        << QStringList{"real/", "real/dat/", "real/dat/a", "s@", "t/", "t/dat/", "t/dat/hop@"} << Steps()
        << QStringList();
#ifndef Q_OS_WIN
    // On POSIX ".." leads back from where a link really goes, not from the
    // link's name: the destination here is inst/dat, and home/dat is kept.
    QTest::newRow("\"..\" after a link")
        << QStringList{"o/dat/a", "home/dat/notes", "inst/dat/old", "inst/Data/", "home/brdata@inst/Data"}
        << "o/dat" << "home/brdata/../dat" << true << ""
        << QStringList{"home/", "home/brdata@", "home/dat/", "home/dat/notes", "inst/", "inst/Data/", "inst/dat/",
                       "inst/dat/a", "o/", "o/dat/", "o/dat/a"}
        << Steps{{1, 1}} << QStringList();
#endif
    // Deeper than Windows' 260 characters without the extended form.
    const QString deep = QString(120, QLatin1Char('d')) + QLatin1Char('/') + QString(120, QLatin1Char('e'));
    QTest::newRow("long paths")
        << QStringList{"s/" + deep + "/dat/a", "t/" + deep + "/dat/old"} << "s/" + deep + "/dat"
        << "t/" + deep + "/dat" << true << ""
        << QStringList{"s/", "s/" + deep.left(120) + "/", "s/" + deep + "/", "s/" + deep + "/dat/",
                       "s/" + deep + "/dat/a", "t/", "t/" + deep.left(120) + "/", "t/" + deep + "/",
                       "t/" + deep + "/dat/", "t/" + deep + "/dat/a"}
        << Steps{{1, 1}} << QStringList();
#ifdef Q_OS_WIN
    QTest::newRow("names Win32 would rewrite")
        << QStringList{"s/dat/a.dat.", "s/dat/aux.dat", "s/dat/b.dat ", "s/dat/nul", "t/"} << "s/dat" << "t/dat"
        << true << ""
        << QStringList{"s/", "s/dat/", "s/dat/a.dat.", "s/dat/aux.dat", "s/dat/b.dat ", "s/dat/nul",
                       "t/", "t/dat/", "t/dat/a.dat.", "t/dat/aux.dat", "t/dat/b.dat ", "t/dat/nul"}
        << Steps{{4, 1}, {4, 2}, {4, 3}, {4, 4}} << QStringList();
#endif
}

void tst_FileOps::cpDir()
{
    QFETCH(QStringList, before);
    QFETCH(QString, src);
    QFETCH(QString, dst);
    QFETCH(bool, result);
    QFETCH(QString, why);
    QFETCH(QStringList, after);
    QFETCH(Steps, steps);
    QFETCH(QStringList, debug);

    const QString root = m_dir->path();
    BUILD_OR_SKIP(root, before);
    for (const QString &name : debug) {
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("Unhandled folder \"%1/%2/%3\" in cpDir")
                                                        .arg(root, src, name)));
    }
    ProgressLog log(bar());

    QString reason;
    QVERIFY2(m_window->cpDir(root + QLatin1Char('/') + src, root + QLatin1Char('/') + dst, &reason) == result,
             qPrintable(reason));
    QVERIFY2(why.isEmpty() || reason.startsWith(why), qPrintable(reason));
    QCOMPARE(reason.isEmpty(), result);
    QCOMPARE(tree(root), after);
    QCOMPARE(log.steps, steps);
    if (result) {
        for (const QString &name : QDir(root + QLatin1Char('/') + dst).entryList(QDir::Files | QDir::System)) {
            const QByteArray copy = readExact(root + QLatin1Char('/') + dst + QLatin1Char('/') + name);
            QCOMPARE(copy, readExact(root + QLatin1Char('/') + src + QLatin1Char('/') + name));
            QVERIFY2(copy != "(missing)", qPrintable(name));
#ifdef Q_OS_UNIX
            struct stat from {};
            struct stat to {};
            QCOMPARE(::stat(QFile::encodeName(root + QLatin1Char('/') + src + QLatin1Char('/') + name), &from), 0);
            QCOMPARE(::stat(QFile::encodeName(root + QLatin1Char('/') + dst + QLatin1Char('/') + name), &to), 0);
            QCOMPARE(to.st_size, from.st_size);
            if (qint64(from.st_blocks) * 512 < from.st_size)
                QVERIFY2(qint64(to.st_blocks) * 512 < to.st_size, qPrintable(name + QStringLiteral(" lost its holes")));
#endif
        }
    }
}

void tst_FileOps::cpDirRefusesOverlap_data()
{
    QTest::addColumn<QString>("src");
    QTest::addColumn<QString>("dst");

    QTest::newRow("same folder") << "inst/dat" << "inst/dat";
    QTest::newRow("same folder, other spelling") << "inst/dat" << "inst/./dat/sub/../";
    QTest::newRow("source inside destination") << "inst/dat/sub" << "inst/dat";
    QTest::newRow("destination inside source") << "inst/dat" << "inst/dat/sub";
    QTest::newRow("destination links to source") << "inst/dat" << "alias";
    QTest::newRow("source through a linked parent") << "via/dat" << "inst/dat";

#ifdef Q_OS_WIN
    // Windows' file names ignore letter case: a path typed differently is the
    // same folder.
    QTest::newRow("same folder, other letter case") << "inst/dat" << "INST/Dat";
    QTest::newRow("source inside, other letter case") << "Inst/DAT/sub" << "inst/dat";
#endif
    // A folder inside the source under a name of its own: a second drive
    // letter on Windows, a bind mount on Linux. Its parents by that name are
    // not the source's folders. Last: under Wine a drive letter once made
    // stays known to the process, with answers of its own.
    QTest::newRow("destination inside the source by another name") << "inst/dat" << "{other}/dat";
}

void tst_FileOps::cpDirRefusesOverlap()
{
    QFETCH(QString, src);
    QFETCH(QString, dst);

    const QString root = m_dir->path();
    build(root, {"inst/dat/a", "inst/dat/sub/b"});
    if (src.startsWith(QLatin1String("via")) || dst.startsWith(QLatin1String("alias")))
        BUILD_OR_SKIP(root, (QStringList{"alias@inst/dat", "via@inst"}));
    QString target = root + QLatin1Char('/') + dst;
    const QString other = root + QStringLiteral("/inst/dat/sub");
    QScopedPointer<DriveAlias> alias;
    QScopedPointer<Mount> mount;
    if (dst.startsWith(QLatin1String("{other}"))) {
        // The destination is there, with files of the source's own in it.
        build(root, {"inst/dat/sub/dat/p"});
        alias.reset(new DriveAlias(other));
        if (!alias->root().isEmpty()) {
            target = alias->root() + dst.mid(7);
        } else {
            QVERIFY(QDir().mkpath(root + QStringLiteral("/other")));
            mount.reset(new Mount(root + QStringLiteral("/other"), other));
            if (!mount->mounted())
                QSKIP("a second name for a folder needs a drive letter (Windows, Wine) or, on Linux, root to mount");
            target = root + QStringLiteral("/other") + dst.mid(7);
        }
    }
    const QStringList before = tree(root);
    ProgressLog log(bar());

    QString reason;
    QVERIFY(!m_window->cpDir(root + QLatin1Char('/') + src, target, &reason));
    QVERIFY2(reason.contains(QStringLiteral("inside")), qPrintable(reason));
    QCOMPARE(tree(root), before);
    QVERIFY(log.steps.isEmpty());
}

void tst_FileOps::cpDirCutShort_data()
{
    QTest::addColumn<int>("trouble");       // a CopyTrouble, or -1 for a file-size limit of 64 KiB
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QStringList>("after"); // the destination's files

    // Known before anything is written, as a FAT drive's 4 GiB is.
    QTest::newRow("file-size limit")
        << -1 << "the Ostrel file b.big is 256.0 KiB, larger than this program may write (its file-size limit is "
                 "64.0 KiB)"
        << QStringList();
    QTest::newRow("read error") << int(CopyTrouble::ReadError) << "could not copy b.big ({EIO})" << QStringList{"a"};
    QTest::newRow("file rewritten while copied")
        << int(CopyTrouble::Rewritten) << "could not copy b.big (it changed while it was copied)" << QStringList{"a"};
}

void tst_FileOps::cpDirCutShort()
{
#ifndef Q_OS_UNIX
    QSKIP("a file-size limit and an interposed copy are Unix means");
#else
    QFETCH(int, trouble);
    QFETCH(QString, reason);
    QFETCH(QStringList, after);
    if (trouble >= 0 && !CopyTrouble::works())
        QSKIP("only Linux lets the test stand in for copy_file_range");

    const QString root = m_dir->path();
    build(root, {"s/dat/a", "s/dat/c"});
    writeFile(root + QStringLiteral("/s/dat/b.big"), QByteArray(256 * 1024, 'x'));
    rlimit old{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    if (trouble < 0)
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    QString why;
    bool copied = false;
    {
        QScopedPointer<CopyTrouble> troubled(trouble >= 0 ? new CopyTrouble(CopyTrouble::What(trouble)) : nullptr);
        copied = m_window->cpDir(root + QStringLiteral("/s/dat"), root + QStringLiteral("/t"), &why);
    }
    setrlimit(RLIMIT_FSIZE, &old);

    QVERIFY(!copied);
    // The system's own words, not a library's paraphrase.
    reason.replace(QLatin1String("{EFBIG}"), qt_error_string(EFBIG)).replace(QLatin1String("{EIO}"), qt_error_string(EIO));
    QCOMPARE(why, reason);
    // What came before stays; what comes after is not taken.
    QCOMPARE(QDir(root + QStringLiteral("/t")).entryList(QDir::Files | QDir::Hidden), after);
    QCOMPARE(QFileInfo::exists(root + QStringLiteral("/t")), trouble >= 0);
#endif
}

void tst_FileOps::cpDirWithHolesUnderFileSizeLimit()
{
#ifndef Q_OS_UNIX
    QSKIP("a file-size limit is a Unix means");
#else
    // Asking the drive whether it keeps holes grows a file past a small
    // limit: that must be a refusal of the system's, not the end of the
    // program.
    const QString root = m_dir->path();
    build(root, {"s/dat/a"});
    QFile sparse(root + QStringLiteral("/s/dat/b.pak"));
    QVERIFY(sparse.open(QIODevice::WriteOnly));
    QCOMPARE(sparse.write("data"), qint64(4));
    QVERIFY(sparse.resize(48 * 1024));
    sparse.close();
    rlimit old{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    // As the program starts: the test's sandbox ignores the signal.
    std::signal(SIGXFSZ, SIG_DFL);
    QString reason;
    const bool copied = m_window->cpDir(root + QStringLiteral("/s/dat"), root + QStringLiteral("/t"), &reason);
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &old);
    QVERIFY2(copied, qPrintable(reason));
    QCOMPARE(QFileInfo(root + QStringLiteral("/t/b.pak")).size(), qint64(48 * 1024));
#endif
}

void tst_FileOps::cpDirReadOnlyTwice()
{
    // Copies keep the source's read-only flag; the next repair must still
    // be able to replace them.
    const QString root = m_dir->path();
    build(root, {"s/dat/ro"});
    QFile::setPermissions(root + QStringLiteral("/s/dat/ro"), QFileDevice::ReadOwner);
    for (int round = 0; round < 2; ++round) {
        QString reason;
        QVERIFY2(m_window->cpDir(root + QStringLiteral("/s/dat"), root + QStringLiteral("/t"), &reason),
                 qPrintable(reason));
    }
    // Root's copies come out writable, so only an ordinary user's second
    // round really meets a read-only file; on Windows every user's does.
#ifdef Q_OS_UNIX
    if (geteuid() != 0)
#endif
        QCOMPARE(QFile::permissions(root + QStringLiteral("/t/ro")) & QFileDevice::WriteOwner,
                 QFileDevice::Permissions());
}

void tst_FileOps::cpDirPermissionBitsOnly_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("copied");
    QTest::addColumn<bool>("otherOwner");   // the file belongs to another user

    QTest::newRow("set-user-id") << 04755 << 0755 << false;
    QTest::newRow("set-group-id") << 02755 << 0755 << false;
    QTest::newRow("sticky") << 01644 << 0644 << false;
    QTest::newRow("another user's set-user-id program") << 04755 << 0755 << true;
}

void tst_FileOps::cpDirPermissionBitsOnly()
{
#ifndef Q_OS_UNIX
    QSKIP("set-id and sticky bits are Unix modes");
#else
    QFETCH(int, mode);
    QFETCH(int, copied);
    QFETCH(bool, otherOwner);

    // A repair run with sudo must not hand anyone who can write into the
    // Ostrel folder a program that runs as root.
    const QString root = m_dir->path();
    build(root, {"s/dat/prog", "t/"});
    const QByteArray prog = QFile::encodeName(root + QStringLiteral("/s/dat/prog"));
    if (otherOwner && (geteuid() != 0 || ::chown(prog.constData(), 65534, 65534) != 0))
        QSKIP("only root can give a file to another user");
    QCOMPARE(::chmod(prog.constData(), mode_t(mode)), 0);
    QString reason;
    QVERIFY2(m_window->cpDir(root + QStringLiteral("/s/dat"), root + QStringLiteral("/t/dat"), &reason),
             qPrintable(reason));
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(root + QStringLiteral("/t/dat/prog")).constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), copied);
#endif
}

void tst_FileOps::cpDirWithoutKernelCopy()
{
    // Sandboxes (Flatpak, containers) refuse copy_file_range and sendfile
    // with EPERM: the copy goes on by reading and writing.
    if (!CopyTrouble::works())
        QSKIP("only Linux lets the test stand in for copy_file_range and sendfile");
    const QString root = m_dir->path();
    build(root, {"s/dat/a", "t/"});
    writeFile(root + QStringLiteral("/s/dat/big"), QByteArray(300 * 1024, 'b'));
    QString reason;
    bool copied = false;
    {
        CopyTrouble refused(CopyTrouble::Refused);
        copied = m_window->cpDir(root + QStringLiteral("/s/dat"), root + QStringLiteral("/t/dat"), &reason);
    }
    QVERIFY2(copied, qPrintable(reason));
    for (const char *name : {"/a", "/big"})
        QCOMPARE(readExact(root + QStringLiteral("/t/dat") + QLatin1String(name)),
                 readExact(root + QStringLiteral("/s/dat") + QLatin1String(name)));
}

void tst_FileOps::cpDirSkipsOtherEntries()
{
#ifndef Q_OS_UNIX
    QSKIP("a named pipe in a folder is a Unix entry");
#else
    // An entry that is neither file nor folder is not copied, and says so.
    const QString root = m_dir->path();
    build(root, {"s/dat/a", "t/"});
    QCOMPARE(::mkfifo(QFile::encodeName(root + QStringLiteral("/s/dat/pipe")).constData(), 0600), 0);
    QTest::ignoreMessage(QtDebugMsg,
                         qPrintable(QStringLiteral("Unhandled item \"%1/s/dat/pipe\" in cpDir").arg(root)));
    ProgressLog log(bar());
    QString reason;
    QVERIFY2(m_window->cpDir(root + QStringLiteral("/s/dat"), root + QStringLiteral("/t/dat"), &reason),
             qPrintable(reason));
    QCOMPARE(tree(root + QStringLiteral("/t")), QStringList({"dat/", "dat/a"}));
    QCOMPARE(log.steps, Steps({{2, 1}, {2, 2}}));
#endif
}

void tst_FileOps::replaceStopsAtEntrySwappedAfterPlan_data()
{
    QTest::addColumn<QString>("entry");     // of the Brask dat, swapped after the plan
    QTest::addColumn<QString>("link");      // what the link put in its place leads to; empty: another entry

    QTest::newRow("folder swapped for a link to a folder outside") << "sub" << "outside";
    QTest::newRow("folder swapped for another folder") << "sub" << "";
    // Under Wine the handle on such a link reaches what it leads to.
    QTest::newRow("file swapped for a link to a file outside") << "b" << "outside/keep";
    // Wine would delete the name outside that the link leads to.
    QTest::newRow("file swapped for a link to a second name of it outside") << "b" << "outside/second";
    QTest::newRow("file saved again after the plan") << "b" << "";
}

void tst_FileOps::replaceStopsAtEntrySwappedAfterPlan()
{
    // Between the plan and the act, an entry of dat is moved away and
    // something else takes its name: it was never surveyed.
    QFETCH(QString, entry);
    QFETCH(QString, link);
    const QString root = m_dir->path();
    QVERIFY(build(root, {"s/dat/a", "t/dat/a", "t/dat/b", "t/dat/sub/x", "outside/keep"}));
    const bool second = link == QLatin1String("outside/second");
    if (second)
        QVERIFY(makeHardLink(root + QStringLiteral("/t/dat/b"), root + QLatin1Char('/') + link));
    FileOps::CopyPlan plan;
    QString why;
    QVERIFY2(FileOps::planCopy(root + QStringLiteral("/s/dat"), root + QStringLiteral("/t/dat"), &plan, &why),
             qPrintable(why));
    const QString swapped = root + QStringLiteral("/t/dat/") + entry;
    QVERIFY(QDir().rename(swapped, root + QStringLiteral("/moved")));
    const QString kept = entry == QLatin1String("sub") ? QStringLiteral("t/dat/sub/keep") : QStringLiteral("t/dat/b");
    if (!link.isEmpty())
        QVERIFY(makeSystemLink(root + QLatin1Char('/') + link, swapped));
    else
        QVERIFY(build(root, {kept}));

    const FileOps::Progress progress{[](int) {}, [](int) {}};
    const FileOps::Reached reached = FileOps::replace(plan, progress, &why);
    const QStringList outside = second ? QStringList{"keep", "second"} : QStringList{"keep"};
    QCOMPARE(tree(root + QStringLiteral("/outside")), outside);
    QCOMPARE(readExact(root + QStringLiteral("/outside/keep")), QByteArray("outside/keep"));
    QCOMPARE(reached, FileOps::Reached::Removing);
    QCOMPARE(why,
             QStringLiteral("could not remove %1 (it changed after it was checked, by another program: close the "
                            "launcher, the game and any program that syncs these folders, then run Re-install data "
                            "again)")
                 .arg(FileOps::native(swapped)));
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/t/dat/a")));
    if (link.isEmpty())
        QCOMPARE(readExact(root + QLatin1Char('/') + kept), kept.toUtf8());
    // Wine would delete what the link leads to.
    else
        QVERIFY(underWine() ? unixCommand({QStringLiteral("/bin/rm"), unixPath(swapped)}) == 0
                            : QFile::remove(swapped));
}

void tst_FileOps::replaceAfterTry_data()
{
    QTest::addColumn<QString>("change");   // between the try on the drive and the copy
    QTest::addColumn<QString>("why");      // the copy's failure
    QTest::addColumn<QStringList>("left"); // what the folder of dat holds afterwards

    const QString changed = QStringLiteral("it changed after it was checked, by another program: close the launcher, "
                                           "the game and any program that syncs these folders, then run Re-install "
                                           "data again");
    // The files not copied leave no empty file of their name behind.
    QTest::newRow("Ostrel file rewritten") << "s/dat/b" << "could not copy b (it changed while it was copied)"
                                           << QStringList{"dat/", "dat/a"};
    // On Windows the copy writes into the files the try made.
    QTest::newRow("tried file written to") << "tried/b" << "could not copy b (" + changed + ")"
                                           << QStringList{"dat/", "dat/a"};
    // An empty file of the player's, which only its identity tells apart.
    QTest::newRow("tried file swapped for a second name of an empty file outside")
        << "outside/empty"
        << "could not copy b (" + changed + "). Some of the empty files made for the files not copied are still "
                                            "there (" + changed + "); Re-install data replaces them when it runs again"
        << QStringList{"dat/", "dat/a", "dat/b"};
    // Wine says yes to the removal of an empty file that Linux keeps.
    QTest::newRow("tried file kept by Linux")
        << "tried/c immutable"
        << "could not copy b (" + changed + "). Some of the empty files made for the files not copied are still "
                                            "there (" + FileOps::SystemError{FileOps::LinuxKept}.text()
               + "); Re-install data replaces them when it runs again"
        << QStringList{"dat/", "dat/a", "dat/c"};
    // Windows renames no folder while a file in it is open (a virus
    // scanner's), Linux no immutable one: the rename is tried again for a
    // while, then the folder is made anew and the copy makes every name.
    QTest::newRow("tried folder cannot be renamed for a moment") << "tried/ for a moment" << ""
                                                                 << QStringList{"dat/", "dat/a", "dat/b", "dat/c"};
    QTest::newRow("tried folder cannot be renamed")
        << "tried/ for good" << ""
        << QStringList{"dat/", "dat/a", "dat/b", "dat/c", "{tried}/", "{tried}/a", "{tried}/b", "{tried}/c"};
}

void tst_FileOps::replaceAfterTry()
{
    QFETCH(QString, change);
    QFETCH(QString, why);
    QFETCH(QStringList, left);
    const QString root = m_dir->path();
    QVERIFY(build(root, {"s/dat/a", "s/dat/b", "s/dat/c", "t/dat/a", "t/dat/old", "outside/keep"}));
    FileOps::CopyPlan plan;
    QString reason;
    QVERIFY2(FileOps::planCopy(root + QStringLiteral("/s/dat"), root + QStringLiteral("/t/dat"), &plan, &reason),
             qPrintable(reason));
    QVERIFY2(FileOps::probeTarget(plan, &reason), qPrintable(reason));
    const QStringList tried = QDir(root + QStringLiteral("/t"))
                                  .entryList({QStringLiteral(".brask-repair-probe-*")}, QDir::Dirs | QDir::Hidden);
    QString held; // the Unix path of the folder made immutable
    if (change.startsWith(QLatin1String("s/"))) {
        writeFile(root + QLatin1Char('/') + change, "rewritten, longer");
    } else {
        if (tried.size() != 1)
            QSKIP("only Windows copies into the files its try made");
        const QString file = root + QStringLiteral("/t/") + tried.first() + QStringLiteral("/b");
        if (change.startsWith(QLatin1String("tried/ ")) || change == QLatin1String("tried/c immutable")) {
            const bool folder = change.startsWith(QLatin1String("tried/ "));
            held = unixPath(root + QStringLiteral("/t/") + tried.first() + (folder ? QString() : QStringLiteral("/c")));
            if (held.isEmpty() || unixCommand({QStringLiteral("/usr/bin/chattr"), QStringLiteral("+i"), held}) != 0)
                QSKIP("needs Wine run as root, on a Linux file system that keeps the immutable flag");
            if (!folder) {
                held = unixPath(root + QStringLiteral("/t/dat/c"));
                QVERIFY(QFile::remove(root + QStringLiteral("/s/dat/b")));
            }
            if (change.endsWith(QLatin1String("moment")))
                unixCommand({QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                             QStringLiteral("(sleep 0.3; /usr/bin/chattr -i '%1') >/dev/null 2>&1 &").arg(held)});
        } else if (change == QLatin1String("tried/b")) {
            writeFile(file, "written");
        } else {
            writeFile(root + QLatin1Char('/') + change, QByteArray());
            QVERIFY(QFile::remove(file));
            QVERIFY(makeHardLink(root + QLatin1Char('/') + change, file));
        }
    }

    const FileOps::Progress progress{[](int) {}, [](int) {}};
    reason.clear();
    const FileOps::Reached reached = FileOps::replace(plan, progress, &reason);
    if (change.endsWith(QLatin1String("for good")) || change.endsWith(QLatin1String("immutable")))
        QCOMPARE(unixCommand({QStringLiteral("/usr/bin/chattr"), QStringLiteral("-i"), held}), 0);
    QCOMPARE(reached, why.isEmpty() ? FileOps::Reached::Done : FileOps::Reached::Copying);
    QCOMPARE(reason, why);
    left.replaceInStrings(QStringLiteral("{tried}"), tried.value(0));
    left.sort();
    QCOMPARE(tree(root + QStringLiteral("/t")), left);
    for (const QString &name : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}) {
        if (name == QLatin1String("a") || why.isEmpty())
            QCOMPARE(readExact(root + QStringLiteral("/t/dat/") + name), ("s/dat/" + name).toUtf8());
    }
    QCOMPARE(readExact(root + QStringLiteral("/outside/keep")), QByteArray("outside/keep"));
    if (change.startsWith(QLatin1String("outside/")))
        QCOMPARE(readExact(root + QLatin1Char('/') + change), QByteArray());
}

void tst_FileOps::replaceInFolderLinuxForbidsChanging()
{
    // Under Wine, as root: an immutable folder, whose entries Linux refuses
    // to remove after Wine said yes.
    const QString root = m_dir->path();
    const QString dat = root + QStringLiteral("/t/dat");
    QVERIFY(build(root, {"s/dat/a", "t/dat/a", "t/dat/b"}));
    FileOps::CopyPlan plan;
    QString why;
    QVERIFY2(FileOps::planCopy(root + QStringLiteral("/s/dat"), dat, &plan, &why), qPrintable(why));
    const QString unixDat = unixPath(dat);
    if (unixDat.isEmpty() || unixCommand({QStringLiteral("/usr/bin/chattr"), QStringLiteral("+i"), unixDat}) != 0)
        QSKIP("needs Wine run as root, on a Linux file system that keeps the immutable flag");
    const FileOps::Progress progress{[](int) {}, [](int) {}};
    const FileOps::Reached reached = FileOps::replace(plan, progress, &why);
    QCOMPARE(unixCommand({QStringLiteral("/usr/bin/chattr"), QStringLiteral("-i"), unixDat}), 0);
    // Nothing went, and the box may say so.
    QCOMPARE(reached, FileOps::Reached::Untouched);
    QVERIFY2(why.startsWith(QStringLiteral("could not remove %1 (Wine said it was deleted, but Linux kept it")
                                .arg(FileOps::native(dat + QStringLiteral("/a")))),
             qPrintable(why));
    QCOMPARE(tree(dat), QStringList({"a", "b"}));
}

void tst_FileOps::rehearsalStaysInItsFolder()
{
    // The folder the copy is tried in, swapped for a link to a folder of the
    // player's once its names are made: removing them again touches nothing
    // of the player's of the same names.
    const QString root = m_dir->path();
    QVERIFY(build(root, {"t/", "mine/data.pak"}));
    FileOps::Rehearsal rehearsal;
    FileOps::NativePath where;
    FileOps::SystemError error;
    QVERIFY2(rehearsal.open(FileOps::toNative(root + QStringLiteral("/t")), &where, error), qPrintable(error.text()));
    FileOps::SourceEntry entry;
    entry.name = FileOps::nameOf(QStringLiteral("data.pak"));
    entry.kind = FileOps::Kind::File;
    QCOMPARE(rehearsal.make(entry, false, error), FileOps::Rehearsal::Made::Yes);
    const QStringList made = QDir(root + QStringLiteral("/t"))
                                 .entryList({QStringLiteral(".brask-repair-probe-*")}, QDir::Dirs | QDir::Hidden);
    QCOMPARE(made.size(), 1);
    const QString probe = root + QStringLiteral("/t/") + made.first();
    QVERIFY(QDir().rename(probe, root + QStringLiteral("/t/aside")));
    if (!makeSystemLink(root + QStringLiteral("/mine"), probe))
        QSKIP("needs a symbolic link that the system follows");
    const bool closed = rehearsal.close(error);
    if (underWine())
        unixCommand({QStringLiteral("/bin/rm"), unixPath(probe)});
    else
        QFile::remove(probe);
    QCOMPARE(tree(root + QStringLiteral("/mine")), QStringList{"data.pak"});
    // Said to be removed only when it is.
    QCOMPARE(closed, !QFileInfo::exists(root + QStringLiteral("/t/aside")));
}

void tst_FileOps::rehearsalFolderTakenAway()
{
    // Another copy of the program, in another Wine session or on Linux,
    // removes the folder while the copy is tried in it: the names that
    // follow are not there to be made, which is not the drive's refusal.
    const QString root = m_dir->path();
    QVERIFY(build(root, {"t/"}));
    FileOps::Rehearsal rehearsal;
    FileOps::NativePath where;
    FileOps::SystemError error;
    QVERIFY2(rehearsal.open(FileOps::toNative(root + QStringLiteral("/t")), &where, error), qPrintable(error.text()));
    const QString probe = root + QStringLiteral("/t/")
                          + QDir(root + QStringLiteral("/t"))
                                .entryList({QStringLiteral(".brask-repair-probe-*")}, QDir::Dirs | QDir::Hidden)
                                .value(0);
    if (underWine())
        QCOMPARE(unixCommand({QStringLiteral("/bin/rmdir"), unixPath(probe)}), 0);
    else
        QVERIFY(QDir().rmdir(probe));
    FileOps::SourceEntry entry;
    entry.name = FileOps::nameOf(QStringLiteral("data.pak"));
    entry.kind = FileOps::Kind::File;
    QCOMPARE(rehearsal.make(entry, false, error), FileOps::Rehearsal::Made::Refused);
    QVERIFY2(error.absent(), qPrintable(error.text()));
}

void tst_FileOps::surveyStopsAtDepthLimit()
{
    // Folders nested deeper than the walk goes are not removed in part.
    if (underWine())
        QSKIP("under Wine each call looks up the whole path again, and 1,000 folders deep this takes minutes");
    const QString dat = m_dir->path() + QStringLiteral("/dat");
    const QString deep = QStringLiteral("/d").repeated(1030);
    QVERIFY(QDir().mkpath(dat + deep));
    QString failed;
    FileOps::SystemError error;
    QVERIFY(!m_window->rmDir(dat, &failed, &error));
    // No deeper than 1,024, nor than the open files the system allows.
    QVERIFY2(error.text().startsWith(QStringLiteral("folders are nested more than ")), qPrintable(error.text()));
    QVERIFY(QFileInfo(dat + deep).isDir());
    // Removed from further down, the rest is within the limit.
    QVERIFY(m_window->rmDir(dat + QStringLiteral("/d").repeated(100)));
#ifdef Q_OS_UNIX
    // Under a small limit of open files the walk stops short of it.
    rlimit files {};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &files), 0);
    const rlimit small{40, files.rlim_max};
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &small), 0);
    const bool stopped = !m_window->rmDir(dat, &failed, &error);
    // In words while the limit holds, as the window shows it.
    const QString why = error.text();
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &files), 0);
    QVERIFY(stopped);
    QCOMPARE(why, QStringLiteral("folders are nested more than 20 deep"));
#endif
}

void tst_FileOps::pathsAsGivenToTheSystem_data()
{
    QTest::addColumn<QString>("typed");     // {drive} is the current folder's drive, {here} the current folder
    QTest::addColumn<QString>("given");

#ifdef Q_OS_WIN
    QTest::newRow("drive alone is its current folder") << "{drive}" << "\\\\?\\{here}";
    QTest::newRow("drive and a name, from its current folder") << "{drive}dat" << "\\\\?\\{here}\\dat";
    QTest::newRow("root of the current drive") << "\\dat" << "\\\\?\\{drive}\\dat";
    QTest::newRow("quoted, as Explorer copies it") << "\"{drive}\\Games\\Brask\"" << "\\\\?\\{drive}\\Games\\Brask";
    QTest::newRow("blanks around") << "  {drive}\\Games\\Brask " << "\\\\?\\{drive}\\Games\\Brask";
    QTest::newRow("\"..\" and forward slashes") << "{drive}/Games/x/../Brask/" << "\\\\?\\{drive}\\Games\\Brask";
    QTest::newRow("share") << "\\\\server\\share\\Brask" << "\\\\?\\UNC\\server\\share\\Brask";
    QTest::newRow("share, forward slashes") << "//server/share/Brask" << "\\\\?\\UNC\\server\\share\\Brask";
    QTest::newRow("device form") << "\\\\.\\{drive}\\Games\\Brask" << "\\\\?\\{drive}\\Games\\Brask";
    QTest::newRow("extended form, without a trailing separator")
        << "\\\\?\\{drive}\\Games\\Brask\\" << "\\\\?\\{drive}\\Games\\Brask";
    QTest::newRow("extended form, drive root") << "\\\\?\\{drive}\\" << "\\\\?\\{drive}\\";
    QTest::newRow("extended form, as typed") << "\\\\?\\{drive}\\Games.\\Brask" << "\\\\?\\{drive}\\Games.\\Brask";
#else
    // ".." is left to the system, which knows where a link on the way leads.
    QTest::newRow("relative") << "dat" << "dat";
    QTest::newRow("doubled separators, \".\" and \"..\"") << "/a//b/./c/../d/" << "/a/b/c/../d";
    QTest::newRow("blanks are part of the name") << " dat " << " dat ";
#endif
}

void tst_FileOps::pathsAsGivenToTheSystem()
{
    QFETCH(QString, typed);
    QFETCH(QString, given);
    CurrentFolder current(m_dir->path());
    const QString here = QDir::toNativeSeparators(QDir::currentPath());
    for (QString *text : {&typed, &given}) {
        text->replace(QLatin1String("{drive}"), here.left(2));
        text->replace(QLatin1String("{here}"), here);
    }
    const FileOps::NativePath path = FileOps::toNative(FileOps::cleanPath(typed));
#ifdef Q_OS_WIN
    QCOMPARE(QString::fromUtf16(reinterpret_cast<const char16_t *>(path.constData()), path.size() / 2), given);
#else
    QCOMPARE(QString::fromUtf8(path), given);
#endif
}

void tst_FileOps::removeFileIfPresent_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("folderChecked");
    QTest::addColumn<QString>("failure");   // empty when it counts as removed

    QTest::newRow("there") << QStringList{"Brask/TOS.txt"} << "Brask/TOS.txt" << true << "";
    QTest::newRow("not there") << QStringList{"Brask/"} << "Brask/TOS.txt" << true << "";
    QTest::newRow("its folder not there") << QStringList() << "cache/login.dat" << false << "";
    // The folder was found before, so its absence now is no file's.
    QTest::newRow("its folder found, then gone")
        << QStringList() << "Brask/TOS.txt" << true
        << "Brask/TOS.txt (the folder that holds it is no longer there)";
    QTest::newRow("a folder of that name") << QStringList{"Brask/TOS.txt/"} << "Brask/TOS.txt" << true
                                           << "Brask/TOS.txt (";
}

void tst_FileOps::removeFileIfPresent()
{
    QFETCH(QStringList, before);
    QFETCH(QString, file);
    QFETCH(bool, folderChecked);
    QFETCH(QString, failure);
    BUILD_OR_SKIP(m_dir->path(), before);
    QString why;
    bool inUse = true;
    const QString path = m_dir->path() + QLatin1Char('/') + file;
    const bool removed = FileOps::removeFileIfPresent(FileOps::toNative(FileOps::cleanPath(path)), path, folderChecked,
                                                      &why, &inUse);
    if (failure.isEmpty()) {
        QVERIFY2(removed, qPrintable(why));
        QVERIFY(!QFileInfo::exists(path));
        return;
    }
    QVERIFY(!removed);
    QVERIFY(!inUse);
    const QString expected = FileOps::native(m_dir->path() + QLatin1Char('/') + failure);
    QVERIFY2(why.startsWith(expected), qPrintable(why));
}

BRASK_TEST_MAIN(tst_FileOps)
#include "tst_fileops.moc"
