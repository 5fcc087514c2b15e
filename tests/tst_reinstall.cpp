#include "braskrepair.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QRegularExpression>
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

enum Setup { Normal, NoSourceSfx, LockedTargetDat, BlankSource, OstrelIsBraskOtherCase };

void tst_Reinstall::reinstall_data()
{
    QTest::addColumn<QString>("ostrel");   // as typed, relative to the case's folder
    QTest::addColumn<QString>("brask");
    QTest::addColumn<int>("setup");
    QTest::addColumn<QString>("message");  // "" for the Re-install failed! box
    QTest::addColumn<QStringList>("failedLines");

    const QString done = QStringLiteral("Done!\nYou can now start the launcher to patch and play.");
    const QString unset = QStringLiteral("You have to set the Brask and Ostrel paths!");
    QTest::newRow("both set") << "Ostrel" << "Brask" << int(Normal) << done << QStringList();
    QTest::newRow("Ostrel empty") << "" << "Brask" << int(Normal) << unset << QStringList();
    QTest::newRow("Brask empty") << "Ostrel" << "" << int(Normal) << unset << QStringList();
    QTest::newRow("both empty") << "" << "" << int(Normal) << unset << QStringList();
    QTest::newRow("blank Ostrel counts as set") << " " << "Brask" << int(BlankSource) << done << QStringList();
    QTest::newRow("Ostrel lacks sfx") << "Ostrel" << "Brask" << int(NoSourceSfx) << ""
                                      << QStringList{"Brask/sfx: the source folder Ostrel/sfx does not exist"};
    // Typed or chosen whole, the paths in the box are the system's own:
    // with a drive letter and backslashes on Windows.
    QTest::newRow("full paths in the box")
        << "{root}/Ostrel" << "{root}/Brask" << int(NoSourceSfx) << ""
        << QStringList{"{root}/Brask/sfx: the source folder {root}/Ostrel/sfx does not exist"};
#ifdef Q_OS_WIN
    // Windows' file names ignore letter case: "brask" is the Brask folder,
    // and re-installing it from itself would empty it.
    QTest::newRow("Ostrel is Brask in other letter case")
        << "brask" << "Brask" << int(OstrelIsBraskOtherCase) << ""
        << QStringList{"Brask/dat: the source folder brask/dat is this folder",
                       "Brask/sfx: the source folder brask/sfx is this folder"};
#endif
    // On Windows a running launcher holds the file open, which the box says,
    // with the system's words and what to do about it.
    QTest::newRow("Brask dat cannot be emptied")
        << "Ostrel" << "Brask" << int(LockedTargetDat) << ""
        << QStringList{
#ifdef Q_OS_WIN
               "Brask/dat: could not remove Brask/dat/stale/old.pak (" + qt_error_string(ERROR_SHARING_VIOLATION) + ")",
               IN_USE_HINT
#else
               "Brask/dat: could not remove Brask/dat/stale/old.pak ("
#endif
           };
}

void tst_Reinstall::reinstall()
{
    QFETCH(QString, ostrel);
    QFETCH(QString, brask);
    QFETCH(int, setup);
    QFETCH(QString, message);
    QFETCH(QStringList, failedLines);

    const QString root = m_dir->path();
    ostrel.replace(QLatin1String("{root}"), root);
    brask.replace(QLatin1String("{root}"), root);
    failedLines.replaceInStrings(QLatin1String("{root}"), root);
    const QString source = root + QLatin1Char('/')
                           + (setup == BlankSource              ? QStringLiteral(" ")
                              : setup == OstrelIsBraskOtherCase ? QStringLiteral("brask")
                                                                : QStringLiteral("Ostrel"));
    const QString target = root + QStringLiteral("/Brask");
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
    QScopedPointer<FolderLock> lock(setup == LockedTargetDat ? new FolderLock(target + QStringLiteral("/dat/stale"))
                                                             : nullptr);
    if (lock && !lock->locked())
        QSKIP("this file system cannot make a file impossible to remove");

    const bool runs = !ostrel.isEmpty() && !brask.isEmpty();
    if (runs && setup != OstrelIsBraskOtherCase) {
        if (setup != LockedTargetDat)
            QTest::ignoreMessage(QtDebugMsg,
                                 qPrintable(QStringLiteral("Unhandled folder \"%1/dat/Maps\" in cpDir").arg(ostrel)));
        if (setup != NoSourceSfx)
            QTest::ignoreMessage(QtDebugMsg,
                                 qPrintable(QStringLiteral("Unhandled folder \"%1/sfx/Voices\" in cpDir").arg(ostrel)));
    }

    const QString old = QDir::currentPath();
    QDir::setCurrent(root);
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
    QTest::mouseClick(window.findChild<QAbstractButton *>(QStringLiteral("btnReinstall")), Qt::LeftButton);
    QDir::setCurrent(old);

    QCOMPARE(watcher.seen.size(), 1);
    const SeenBox box = watcher.seen.first();
    QVERIFY(!box.parent);
    QCOMPARE(box.buttonCount, 1);
    if (message.isEmpty()) {
        QStringList lines = box.text.split(QLatin1Char('\n'));
        QCOMPARE(lines.takeFirst(), QStringLiteral("Re-install failed!"));
        QCOMPARE(lines.size(), failedLines.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(lines[i].startsWith(QDir::toNativeSeparators(failedLines[i])), qPrintable(lines[i]));
#ifdef Q_OS_WIN
        if (brask.startsWith(root))
            QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z]:\\\\[^/]*$")).match(lines[0]).hasMatch(),
                     qPrintable(lines[0]));
#endif
    } else {
        QCOMPARE(box.text, message);
    }
    QVERIFY(!bar->isVisible());

    auto contents = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
    };
    if (!runs) {
        QVERIFY(status->currentMessage().isEmpty());
        QVERIFY(during.isEmpty());
        QCOMPARE(contents(target + QStringLiteral("/dat/data.pak")), QByteArray("broken"));
        QCOMPARE(contents(target + QStringLiteral("/dat/stale/old.pak")), QByteArray("stale"));
        return;
    }
    QCOMPARE(status->currentMessage(), QStringLiteral("Ready"));
    // A refused copy touches nothing, the progress bar included.
    QCOMPARE(during.isEmpty(), setup == OstrelIsBraskOtherCase);
    if (!during.isEmpty()) {
        QCOMPARE(during.first(), QStringLiteral("Working... 1"));
        QCOMPARE(during.last(), QStringLiteral("Working... 1"));
    }
    QCOMPARE(contents(target + QStringLiteral("/TOS.txt")), QByteArray("data"));

    // A folder that failed keeps what the walk had not reached yet.
    struct Folder { const char *name; const char *file; QByteArray fresh; bool failed; const char *left; QByteArray old; };
    const Folder folders[] = {
        {"/dat", "data.pak", "new data", setup == LockedTargetDat || setup == OstrelIsBraskOtherCase,
         "stale/old.pak", "stale"},
        {"/sfx", "music.ogg", "new music", setup == NoSourceSfx || setup == OstrelIsBraskOtherCase, "music.ogg",
         "broken"}};
    for (const Folder &folder : folders) {
        const QString path = target + QLatin1String(folder.name);
        if (folder.failed) {
            QCOMPARE(contents(path + QLatin1Char('/') + QLatin1String(folder.left)), folder.old);
            continue;
        }
        QCOMPARE(QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{folder.file});
        QCOMPARE(contents(path + QLatin1Char('/') + QLatin1String(folder.file)), folder.fresh);
    }
}

BRASK_TEST_MAIN(tst_Reinstall)
#include "tst_reinstall.moc"
