#include "braskrepair.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStatusBar>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

class tst_Reinstall : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void reinstall_data();
    void reinstall();

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
    delete m_dir;
    m_dir = nullptr;
}

enum Setup {
    Normal,
    NoSourceSfx,
    LockedTargetDat,
    BlankSource,
    SameFolder,            // the Ostrel folder is the Brask folder
    BraskInsideOstrel,     // the Brask folder lies in the Ostrel folder's dat
    UnlistableSourceDat,   // the player may enter the Ostrel dat but not list it
    HeldSourceNameClash,   // the Ostrel dat holds two names that differ in case only, held open
    LinkInTargetSfx,       // the Ostrel path goes through a link in the Brask sfx
    SourceLinksToTarget,   // the Ostrel data.pak is a link to the Brask one
    SourceMountedInTarget, // the Ostrel dat is mounted a second time inside the Brask dat
    LockedTarget,          // the Brask folder takes no new entry and loses none; its dat and sfx do
    DanglingTargetDat,     // the Brask dat is a link to nothing
    OddSourceName,         // an Ostrel dat file's name is bytes that are not UTF-8
    OddTargetName,         // a Brask dat file's name is bytes that are not UTF-8
    FlushFails,            // the disk fails to write the copies' data
    FullDisk,              // the Brask folder lies on a disk too small for the Ostrel dat
    UnreadableSourceFile,  // an Ostrel sfx file may not be read
    ReplacedBraskPath,     // the Brask path holds U+FFFD, as a name in bytes that are not text comes out
    HeldDeleteSharedDat,   // another program holds the Brask dat's files with deletion shared
};

namespace {

// Names that are not UTF-8, as a Linux file system keeps them.
const QByteArray oddSourceName("a\xff.pak");
const QByteArray oddTargetName("b\xfe.pak");

} // namespace

void tst_Reinstall::reinstall_data()
{
    QTest::addColumn<QString>("ostrel");   // as typed, relative to the case's folder
    QTest::addColumn<QString>("brask");
    QTest::addColumn<int>("setup");
    // The whole box; for the Re-install failed! box, what it must also say.
    QTest::addColumn<QString>("message");
    // How each line of the Re-install failed! box starts; a line marked "?"
    // may be left out, but the box names at least one failure.
    QTest::addColumn<QStringList>("failedLines");
    // What becomes of the Brask dat and sfx: "new" rebuilt from Ostrel, "old"
    // untouched, "stuck" emptied as far as the removal went, "-" not looked at.
    QTest::addColumn<QStringList>("after");

    const QString done = QStringLiteral("Done!\nYou can now start the launcher to patch and play.");
    const QString unset = QStringLiteral("You have to set the Brask and Ostrel paths!");
    const QStringList rebuilt{"new", "new"};
    const QStringList untouched{"old", "old"};
    QTest::newRow("both set") << "Ostrel" << "Brask" << int(Normal) << done << QStringList() << rebuilt;
    QTest::newRow("Ostrel empty") << "" << "Brask" << int(Normal) << unset << QStringList() << untouched;
    QTest::newRow("Brask empty") << "Ostrel" << "" << int(Normal) << unset << QStringList() << untouched;
    QTest::newRow("both empty") << "" << "" << int(Normal) << unset << QStringList() << untouched;
#ifdef Q_OS_WIN
    // No Windows name begins or ends with a blank, so a blank field names no
    // folder at all: trimmed, it is as good as empty.
    QTest::newRow("blank Ostrel names nothing")
        << " " << "Brask" << int(BlankSource) << unset << QStringList() << untouched;
#else
    QTest::newRow("blank Ostrel counts as set")
        << " " << "Brask" << int(BlankSource) << done << QStringList() << rebuilt;
#endif
    // Both folders are checked before either is touched.
    QTest::newRow("Ostrel lacks sfx")
        << "Ostrel" << "Brask" << int(NoSourceSfx) << ""
        << QStringList{"Brask/sfx: the source folder Ostrel/sfx does not exist"} << untouched;
    QTest::newRow("trailing separator")
        << "Ostrel/" << "Brask/" << int(NoSourceSfx) << ""
        << QStringList{"Brask/sfx: the source folder Ostrel/sfx does not exist"} << untouched;
    // Typed or chosen whole, the paths in the box are the system's own:
    // with a drive letter and backslashes on Windows.
    QTest::newRow("full paths in the box")
        << "{root}/Ostrel" << "{root}/Brask" << int(NoSourceSfx) << ""
        << QStringList{"{root}/Brask/sfx: the source folder {root}/Ostrel/sfx does not exist"} << untouched;
    // The Brask dat is refused as lying inside the Ostrel dat; its sfx must
    // then not be made inside the Ostrel installation either.
    QTest::newRow("Brask is the Ostrel dat")
        << "Ostrel" << "Ostrel/dat" << int(Normal) << ""
        << QStringList{"Ostrel/dat/dat: the source folder Ostrel/dat is this folder, or one lies inside the other"}
        << untouched;
    QTest::newRow("Ostrel dat cannot be listed")
        << "Ostrel" << "Brask" << int(UnlistableSourceDat) << ""
        << QStringList{"Brask/dat: the source folder Ostrel/dat cannot be read ("} << untouched;
    // A second drive letter names the same folder, as SUBST, a mapped drive
    // or a junction does on Windows.
    QTest::newRow("Ostrel is Brask through a second drive letter")
        << "{alias}/Brask" << "Brask" << int(SameFolder) << ""
        << QStringList{"Brask/dat: the source folder {alias}/Brask/dat is this folder",
                       "Brask/sfx: the source folder {alias}/Brask/sfx is this folder"}
        << untouched;
    QTest::newRow("Brask through a second drive letter lies inside Ostrel")
        << "Ostrel" << "{alias}/Ostrel/dat/Brask" << int(BraskInsideOstrel) << ""
        << QStringList{"{alias}/Ostrel/dat/Brask/dat: the source folder Ostrel/dat is this folder, or one lies "
                       "inside the other"}
        << untouched;
#ifdef Q_OS_WIN
    // Windows' file names ignore letter case: "brask" is the Brask folder,
    // and re-installing it from itself would empty it.
    QTest::newRow("Ostrel is Brask in other letter case")
        << "brask" << "Brask" << int(SameFolder) << ""
        << QStringList{"Brask/dat: the source folder brask/dat is this folder",
                       "Brask/sfx: the source folder brask/sfx is this folder"}
        << untouched;
    // Explorer's "Copy as path" puts the path in double quotes, which no
    // Windows file name can hold.
    QTest::newRow("quoted paths") << "\"{root}/Ostrel\"" << "\"{root}/Brask\"" << int(Normal) << done
                                  << QStringList() << rebuilt;
    // A copy that fails for a reason of its own is not blamed on the
    // running Ostrel game that holds its files.
    QTest::newRow("copy fails, Ostrel files held")
        << "Ostrel" << "Brask" << int(HeldSourceNameClash) << ""
        << QStringList{"Brask/dat: could not copy "} << QStringList{"-", "new"};
#endif
#ifdef Q_OS_WIN
    // On Windows a running launcher holds the file open, which the box says,
    // with the system's words and what to do about it.
    QTest::newRow("Brask dat cannot be emptied")
        << "Ostrel" << "Brask" << int(LockedTargetDat) << ""
        << QStringList{"Brask/dat: could not remove Brask/dat/stale/old.pak (" + qt_error_string(ERROR_SHARING_VIOLATION)
                           + ")",
                       IN_USE_HINT}
        << QStringList{"stuck", "new"};
    // A scanner or indexer holds them with deletion shared: they go, names
    // and all, and the folder with them.
    QTest::newRow("Brask dat held with deletion shared")
        << "Ostrel" << "Brask" << int(HeldDeleteSharedDat) << done << QStringList() << rebuilt;
#else
    // Elsewhere the system tells beforehand that a folder's entries cannot
    // go (no write permission, or marked immutable), and nothing is touched.
    QTest::newRow("Brask dat cannot be emptied")
        << "Ostrel" << "Brask" << int(LockedTargetDat) << ""
        << QStringList{"Brask/dat: Brask/dat/stale cannot be removed ("} << untouched;
#endif
#ifdef Q_OS_LINUX
    // The two installations share files, or the Brask folder's own entries
    // cannot change: either folder's check may be the first to find it, and
    // nothing is touched.
    const QStringList eitherFolder{"?Brask/dat: ", "?Brask/sfx: "};
    QTest::newRow("Ostrel reached through a link in the Brask sfx")
        << "Brask/sfx/lnk" << "Brask" << int(LinkInTargetSfx) << "" << eitherFolder << untouched;
    QTest::newRow("Ostrel data.pak links to the Brask one")
        << "Ostrel" << "Brask" << int(SourceLinksToTarget) << "" << eitherFolder << untouched;
    QTest::newRow("Ostrel dat mounted inside the Brask dat")
        << "Ostrel" << "Brask" << int(SourceMountedInTarget) << "" << eitherFolder << untouched;
    QTest::newRow("Brask folder not writable, its dat and sfx writable")
        << "Ostrel" << "Brask" << int(LockedTarget) << "" << eitherFolder << untouched;
    QTest::newRow("Brask dat is a dangling link")
        << "Ostrel" << "Brask" << int(DanglingTargetDat) << done << QStringList() << rebuilt;
    QTest::newRow("Ostrel file named in bytes that are not UTF-8")
        << "Ostrel" << "Brask" << int(OddSourceName) << done << QStringList() << rebuilt;
    QTest::newRow("Brask file named in bytes that are not UTF-8")
        << "Ostrel" << "Brask" << int(OddTargetName) << done << QStringList() << rebuilt;
    // Copies whose data never reached the disk are no repair.
    QTest::newRow("data never reaches the disk")
        << "Ostrel" << "Brask" << int(FlushFails) << qt_error_string(EIO) << eitherFolder << QStringList{"-", "-"};
    // Found before the Brask dat is removed, not after.
    QTest::newRow("Ostrel file cannot be read")
        << "Ostrel" << "Brask" << int(UnreadableSourceFile) << ""
        << QStringList{"Brask/sfx: the source file Ostrel/sfx/music.ogg cannot be read ("} << untouched;
    // A folder named in bytes that are not text reaches the field as U+FFFD,
    // which is also the real name of another folder: neither is touched.
    QTest::newRow("Brask path not the folder's exact name")
        << "Ostrel" << QString::fromUtf8("B\xef\xbf\xbd") << int(ReplacedBraskPath) << ""
        << QStringList{QString::fromUtf8("B\xef\xbf\xbd/dat: B\xef\xbf\xbd/dat cannot be given to the system"),
                       QString::fromUtf8("B\xef\xbf\xbd/sfx: B\xef\xbf\xbd/sfx cannot be given to the system")}
        << untouched;
    QTest::newRow("disk full")
        << "Ostrel" << "disk/Brask" << int(FullDisk) << qt_error_string(ENOSPC)
        << QStringList{"?disk/Brask/dat: ", "?disk/Brask/sfx: "} << QStringList{"-", "-"};
#endif
}

void tst_Reinstall::reinstall()
{
    QFETCH(QString, ostrel);
    QFETCH(QString, brask);
    QFETCH(int, setup);
    QFETCH(QString, message);
    QFETCH(QStringList, failedLines);
    QFETCH(QStringList, after);

    const QString root = m_dir->path();
    DriveAlias alias(root);
    if ((ostrel + brask).contains(QLatin1String("{alias}")) && alias.root().isEmpty())
        QSKIP("a second name for a folder that is not a link needs a drive letter: Windows or Wine");
    for (QString *text : {&ostrel, &brask}) {
        text->replace(QLatin1String("{root}"), root);
        text->replace(QLatin1String("{alias}"), alias.root());
    }
    failedLines.replaceInStrings(QLatin1String("{root}"), root);
    failedLines.replaceInStrings(QLatin1String("{alias}"), alias.root());

    const QString target = root + (setup == BraskInsideOstrel ? QStringLiteral("/Ostrel/dat/Brask")
                                   : setup == FullDisk        ? QStringLiteral("/disk/Brask")
                                   : setup == ReplacedBraskPath ? QLatin1Char('/') + brask
                                                              : QStringLiteral("/Brask"));
    QScopedPointer<Mount> mount;
    if (setup == FullDisk) {
        QVERIFY(QDir().mkpath(root + QStringLiteral("/disk")));
        mount.reset(new Mount(root + QStringLiteral("/disk"), 64));
    }
    const QString source = setup == SameFolder    ? target
                           : setup == BlankSource ? root + QStringLiteral("/ ")
                                                  : root + QStringLiteral("/Ostrel");
    writeFile(source + QStringLiteral("/dat/data.pak"), "new data");
    writeFile(source + QStringLiteral("/dat/Maps/map.pak"), "map");
    if (setup != NoSourceSfx) {
        writeFile(source + QStringLiteral("/sfx/music.ogg"), "new music");
        writeFile(source + QStringLiteral("/sfx/Voices/v.ogg"), "voice");
    }
    writeFile(target + QStringLiteral("/dat/data.pak"), "broken");
    writeFile(target + QStringLiteral("/dat/stale/old.pak"), "stale");
    writeFile(target + QStringLiteral("/sfx/music.ogg"), "broken");
    writeFile(target + QStringLiteral("/TOS.txt"));
    if (setup == HeldSourceNameClash) {
        // Only a Unix folder under Wine, or a case-sensitive folder on Windows,
        // holds both names.
        const QString pak = unixPath(source + QStringLiteral("/dat/data.pak"));
        if (pak.isEmpty()
            || unixCommand({QStringLiteral("/bin/cp"), pak, QFileInfo(pak).path() + QStringLiteral("/DATA.PAK")}) != 0)
            QSKIP("a folder that holds two names differing in case only needs a case-sensitive folder");
    }
    const QString sourceDat = source + QStringLiteral("/dat");
    const QString targetDat = target + QStringLiteral("/dat");
    const auto removeOddFiles = qScopeGuard([&] {
        for (const QString &dat : {sourceDat, targetDat})
            for (const QByteArray &name : {oddSourceName, oddTargetName})
                removeRaw(dat.toUtf8() + '/' + name);
    });
    if (setup == LinkInTargetSfx)
        QVERIFY(QFile::link(QStringLiteral("../../Ostrel"), target + QStringLiteral("/sfx/lnk")));
    if (setup == SourceLinksToTarget) {
        QVERIFY(QFile::remove(sourceDat + QStringLiteral("/data.pak")));
        QVERIFY(QFile::link(targetDat + QStringLiteral("/data.pak"), sourceDat + QStringLiteral("/data.pak")));
    }
    if (setup == SourceMountedInTarget) {
        QVERIFY(QDir().mkpath(targetDat + QStringLiteral("/mnt")));
        mount.reset(new Mount(targetDat + QStringLiteral("/mnt"), sourceDat));
    }
    if (mount && !mount->mounted())
        QSKIP("mounting a folder needs root on Linux, where the system lets root mount");
    if (setup == DanglingTargetDat) {
        QVERIFY(QDir(targetDat).removeRecursively());
        QVERIFY(QFile::link(QStringLiteral("nowhere"), targetDat));
    }
    if (setup == FullDisk)
        writeFile(sourceDat + QStringLiteral("/big.pak"), QByteArray(256 * 1024, 'x'));
    if (setup == OddSourceName)
        writeRawFile(sourceDat.toUtf8() + '/' + oddSourceName, "odd data");
    if (setup == OddTargetName)
        writeRawFile(targetDat.toUtf8() + '/' + oddTargetName, "odd");
    const QStringList sourceBefore = tree(source);
    const QStringList targetBefore = tree(target);
    QScopedPointer<FolderLock> lock(
        setup == LockedTargetDat       ? new FolderLock(target + QStringLiteral("/dat/stale"))
        : setup == HeldSourceNameClash ? new FolderLock(source + QStringLiteral("/dat"))
        : setup == LockedTarget        ? new FolderLock(target)
        : setup == HeldDeleteSharedDat ? new FolderLock(target + QStringLiteral("/dat"), FolderLock::ShareDelete)
                                       : nullptr);
    if (lock && !lock->locked())
        QSKIP("this file system cannot make a file impossible to remove");
    QScopedPointer<Unpermitted> unlisted(
        setup == UnlistableSourceDat    ? new Unpermitted(source + QStringLiteral("/dat"), 'r')
        : setup == UnreadableSourceFile ? new Unpermitted(source + QStringLiteral("/sfx/music.ogg"), 'r')
                                        : nullptr);
    if (unlisted && !unlisted->real())
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
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.findChild<QLineEdit *>(QStringLiteral("ledPathOstrel"))->setText(ostrel);
    window.findChild<QLineEdit *>(QStringLiteral("ledPathBrask"))->setText(brask);
    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("pgbProgress"));
    auto *status = window.findChild<QStatusBar *>(QStringLiteral("statusBar"));

    // What the window shows while the copies run.
    QStringList during;
    connect(bar, &QProgressBar::valueChanged, this, [&] {
        during << QStringLiteral("%1 %2").arg(status->currentMessage()).arg(bar->isVisible());
    });
    ModalWatcher watcher;
    QScopedPointer<FlushFailure> flushFailure(setup == FlushFails ? new FlushFailure : nullptr);
    if (flushFailure && !FlushFailure::works())
        QSKIP("only Linux lets the test stand in for the system's flushes");
    QTest::mouseClick(window.findChild<QAbstractButton *>(QStringLiteral("btnReinstall")), Qt::LeftButton);
    flushFailure.reset();

    QCOMPARE(watcher.seen.size(), 1);
    const SeenBox box = watcher.seen.first();
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
    unlisted.reset();
    QCOMPARE(tree(source), sourceBefore);

    auto contents = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
    };
    const bool runs = message != QStringLiteral("You have to set the Brask and Ostrel paths!");
    QCOMPARE(status->currentMessage(), runs ? QStringLiteral("Ready") : QString());
    // A refused repair touches nothing, the progress bar included.
    QCOMPARE(!during.isEmpty(), after != QStringList({QStringLiteral("old"), QStringLiteral("old")}));
    if (!during.isEmpty()) {
        QCOMPARE(during.first(), QStringLiteral("Working... 1"));
        QCOMPARE(during.last(), QStringLiteral("Working... 1"));
    }
    QCOMPARE(contents(target + QStringLiteral("/TOS.txt")), QByteArray("data"));
    if (after == QStringList({QStringLiteral("old"), QStringLiteral("old")}))
        QCOMPARE(tree(target), targetBefore);

    struct Folder { const char *name; const char *file; QByteArray fresh; QByteArray old; };
    const Folder folders[] = {{"/dat", "data.pak", "new data", "broken"}, {"/sfx", "music.ogg", "new music", "broken"}};
    for (int i = 0; i < 2; ++i) {
        const QString path = target + QLatin1String(folders[i].name);
        const QString file = path + QLatin1Char('/') + QLatin1String(folders[i].file);
        if (after[i] == QLatin1String("new")) {
            // Every name as the system keeps it, in a folder of its own.
            QList<QByteArray> names{folders[i].file};
            if (i == 0 && setup == OddSourceName) {
                names.prepend(oddSourceName);
                QCOMPARE(readRawFile(path.toUtf8() + '/' + oddSourceName), QByteArray("odd data"));
            }
            QCOMPARE(rawNames(path), names);
            QVERIFY(!QFileInfo(path).isSymLink());
            QCOMPARE(contents(file), folders[i].fresh);
        } else if (after[i] == QLatin1String("old")) {
            QCOMPARE(contents(file), folders[i].old);
        }
        // A folder that failed keeps what the walk had not reached yet.
        if (after[i] == QLatin1String("old") || after[i] == QLatin1String("stuck"))
            QCOMPARE(contents(path + (i == 0 ? QStringLiteral("/stale/old.pak") : QStringLiteral("/music.ogg"))),
                     i == 0 ? QByteArray("stale") : QByteArray("broken"));
    }
}

BRASK_TEST_MAIN(tst_Reinstall)
#include "tst_reinstall.moc"
