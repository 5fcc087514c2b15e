#include "braskrepair.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QScopeGuard>

#include <algorithm>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

const QString loginSuffix = QStringLiteral("/Nimvale/Init/login.dat");

void click(BraskRepair &window, const QString &button)
{
    QTest::mouseClick(child<QAbstractButton>(window, button), Qt::LeftButton);
}

} // namespace

class tst_Actions : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void helpBoxes_data();
    void helpBoxes();
    void helpBoxBlocksWindow();
    void chooseFolder_data();
    void chooseFolder();
    void resetPatcher_data();
    void resetPatcher();
    void resetPatcherOnStartFolder();
    void clearLoginCache_data();
    void clearLoginCache();

private:
    QTemporaryDir *m_dir = nullptr;
    QByteArray m_local;
    QByteArray m_roaming;
};

void tst_Actions::init()
{
    failOnAnyWarning();
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_local = qgetenv("LOCALAPPDATA");
    m_roaming = qgetenv("APPDATA");
}

void tst_Actions::cleanup()
{
    qputenv("LOCALAPPDATA", m_local);
    qputenv("APPDATA", m_roaming);
    delete m_dir;
    m_dir = nullptr;
}

void tst_Actions::helpBoxes_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");

    QTest::newRow("FAQ") << "actionFAQ" << "FAQ"
                         << "How do I use this tool?\n\nIf you have broken files or the patcher complains about "
                            "missing ones, you should select \"Re-install data\".\nIf you prefer the patcher to "
                            "validate and reload the Brask mods and additions, select \"Reset patcher\".\nIn case "
                            "you have problems with your login, you should try to clear your login cache.";
    QTest::newRow("About") << "actionAbout" << "About" << "Brask Repair v1.0.2 (Build 4)\n";
}

void tst_Actions::helpBoxes()
{
    QFETCH(QString, action);
    QFETCH(QString, title);
    QFETCH(QString, text);

    BraskRepair window;
    QVERIFY(showWindow(window));
    ModalWatcher watcher;
    child<QAction>(window, action)->trigger();

    QCOMPARE(watcher.seen.size(), 1);
    const SeenBox box = watcher.seen.first();
    QCOMPARE(box.className, QStringLiteral("QMessageBox"));
    QCOMPARE(box.title, title);
    QCOMPARE(box.parent, &window);
    QVERIFY(box.modal);
    QCOMPARE(box.buttonCount, 1);
    if (action == QLatin1String("actionAbout")) {
        QVERIFY(box.text.startsWith(text));
        QCOMPARE(box.text.count(QLatin1Char('\n')), 2);
    } else {
        QCOMPARE(box.text, text);
    }
}

void tst_Actions::helpBoxBlocksWindow()
{
    // The Brask path starts as a game folder, which Reset patcher resets.
    CurrentFolder current(m_dir->path());
    writeFile(m_dir->path() + QStringLiteral("/TOS.txt"));
    BraskRepair window;
    QVERIFY(showWindow(window));
    QWidget *repatch = child<QWidget>(window, "btnRepatch");
    const QPoint onRepatch = repatch->mapTo(&window, repatch->rect().center());
    int boxes = 0;
    bool modal = false;
    ModalWatcher watcher([&](QWidget *box) {
        // While the box is open, a click on a repair button goes through the
        // window system like a user's and must not reach the button.
        if (++boxes == 1) {
            modal = box->windowModality() != Qt::NonModal;
            QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, onRepatch);
            QCoreApplication::processEvents();
        }
        static_cast<QMessageBox *>(box)->buttons().first()->click();
    });
    child<QAction>(window, "actionAbout")->trigger();
    QVERIFY(modal);
    QCOMPARE(watcher.seen.size(), 1);

    // The same click with no box open does reach the button.
    QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, onRepatch);
    QTRY_COMPARE(watcher.seen.size(), 2);
    QCOMPARE(watcher.seen.last().text.left(5), QStringLiteral("Done!"));
}

void tst_Actions::chooseFolder_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("accept");

    QTest::newRow("Ostrel chosen") << "btnPathOstrel" << "ledPathOstrel" << true;
    QTest::newRow("Ostrel cancelled") << "btnPathOstrel" << "ledPathOstrel" << false;
    QTest::newRow("Brask chosen") << "btnPathBrask" << "ledPathBrask" << true;
    QTest::newRow("Brask cancelled") << "btnPathBrask" << "ledPathBrask" << false;
}

void tst_Actions::chooseFolder()
{
    QFETCH(QString, button);
    QFETCH(QString, field);
    QFETCH(bool, accept);

    // The windows platform shows the native folder dialog, which has no Qt
    // widgets to drive; there the cases drive Qt's own dialog instead.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);

    const QString chosen = m_dir->path() + QStringLiteral("/Ostrel Online");
    QVERIFY(QDir().mkpath(chosen));
    BraskRepair window;
    QVERIFY(showWindow(window));
    auto *edit = child<QLineEdit>(window, field);
    const QString before = edit->text();

    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    ModalWatcher watcher([&](QWidget *box) {
        auto *dialog = qobject_cast<QFileDialog *>(box);
        if (!dialog) {
            box->close();
            return;
        }
        mode = dialog->fileMode();
        dialog->setDirectory(chosen);
        auto *buttons = dialog->findChild<QDialogButtonBox *>();
        QTest::mouseClick(buttons->button(accept ? QDialogButtonBox::Open : QDialogButtonBox::Cancel),
                          Qt::LeftButton);
    });
    click(window, button);

    QCOMPARE(watcher.seen.size(), 1);
    QCOMPARE(watcher.seen.first().className, QStringLiteral("QFileDialog"));
    QCOMPARE(watcher.seen.first().parent, &window);
    QCOMPARE(mode, QFileDialog::Directory);
    QCOMPARE(edit->text(), accept ? chosen : before);
}

// Absent: the folder is there, the file is not. NoFolder: neither is.
// DatHoldsTos: present, and the folder's dat holds a TOS.txt too.
enum FileState { Absent, Present, ReadOnly, Locked, ReadOnlyLocked, Unsearchable, HeldDeleteShared, NoFolder, DatHoldsTos };

void tst_Actions::resetPatcher_data()
{
    QTest::addColumn<QString>("brask");     // as typed, relative to the case's folder
    QTest::addColumn<QString>("folder");    // the Brask folder on disk, "" for none
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("message");   // the whole text, or the first line of a failure
    QTest::addColumn<QString>("failedLine"); // how the failure's line starts

    const QString done = QStringLiteral("Done!\nYou can now start the launcher to validate your files.");
    const QString failed = QStringLiteral("Reset failed!");
    QTest::newRow("present") << "Brask" << "Brask" << int(Present) << done << "";
    QTest::newRow("absent") << "Brask" << "Brask" << int(Absent) << done << "";
    QTest::newRow("read-only") << "Brask" << "Brask" << int(ReadOnly) << done << "";
#ifndef Q_OS_WIN
    // Windows drops the blanks at the end of a name, so no folder there has
    // a name made of blanks only.
    QTest::newRow("blank path counts as set") << "  " << "  " << int(Present) << done << "";
#else
    // Explorer's "Copy as path" puts the path in double quotes, which no
    // Windows file name can hold.
    QTest::newRow("quoted path") << "\"{root}/Brask\"" << "Brask" << int(Present) << done << "";
    // Nor does any name Explorer makes end in a blank: the path is the folder.
    QTest::newRow("trailing blank") << "Brask " << "Brask" << int(Present) << done << "";
    // A drive letter alone is that drive's current folder, here the case's
    // own, not the root of the drive.
    QTest::newRow("drive letter alone") << "{drive}" << "" << int(Present) << done << "";
    // A scanner or indexer holds the file with deletion shared: it goes, and
    // its name with it.
    QTest::newRow("held, deletion shared") << "Brask" << "Brask" << int(HeldDeleteShared) << done << "";
#endif
    QTest::newRow("not removable") << "Brask" << "Brask" << int(Locked) << failed << "Brask/TOS.txt (";
    QTest::newRow("trailing separator") << "Brask/" << "Brask" << int(Locked) << failed << "Brask/TOS.txt (";
    // The reason is the last attempt's, and the file stays read-only.
    QTest::newRow("read-only, not removable")
        << "Brask" << "Brask" << int(ReadOnlyLocked) << failed << "Brask/TOS.txt (";
    // The folder may be listed but not entered: the file is there, yet
    // the system says neither that it is nor that it is not.
    QTest::newRow("folder not searchable")
        << "Brask" << "Brask" << int(Unsearchable) << failed << "Brask/TOS.txt (";
    QTest::newRow("no such folder") << "Brask" << "" << int(Absent) << failed << "the Brask folder Brask does not exist";
    // A folder that holds neither dat, sfx nor TOS.txt is no installation:
    // nothing there was reset, and TOS.txt stays where it is.
    QTest::newRow("the program's own folder")
        << "Program" << "Brask" << int(Present) << failed
        << "Program does not look like a Brask installation: it holds no dat, sfx or TOS.txt.";
    QTest::newRow("the game's dat folder")
        << "Brask/dat" << "Brask" << int(Present) << failed
        << "Brask/dat does not look like a Brask installation but like the dat folder inside one: did you mean Brask?";
    // Nor is a file of that name in it the patcher's, however the path
    // reaches the folder.
    QTest::newRow("the game's dat folder, holding a TOS.txt")
        << "Brask/dat" << "Brask" << int(DatHoldsTos) << failed
        << "Brask/dat does not look like a Brask installation but like the dat folder inside one: did you mean Brask?";
#ifndef Q_OS_WIN
    // Windows takes ".." from the name as written; elsewhere the system
    // takes it from where the path really leads.
    QTest::newRow("the game's dat folder by another path")
        << "Brask/dat/sub/.." << "Brask" << int(DatHoldsTos) << failed
        << "Brask/dat/sub/.. does not look like a Brask installation but like the dat folder inside one: did you mean "
           "Brask/dat/sub/../..?";
#endif
    QTest::newRow("empty path") << "" << "Brask" << int(Present) << "You have to set the Brask path!" << "";
}

void tst_Actions::resetPatcher()
{
    QFETCH(QString, brask);
    QFETCH(QString, folder);
    QFETCH(int, state);
    QFETCH(QString, message);
    QFETCH(QString, failedLine);

    // The path field is used as typed, relative to the working folder: point
    // the working folder into this case's own temporary folder.
    CurrentFolder current(m_dir->path());
    brask.replace(QLatin1String("{root}"), m_dir->path());
    brask.replace(QLatin1String("{drive}"), m_dir->path().left(2));
    const QString tos = m_dir->path() + QLatin1Char('/') + folder + QStringLiteral("/TOS.txt");
    // Each case's Brask folder is a game folder with its dat; a program's
    // folder beside it is none.
    if (!folder.isEmpty())
        QDir().mkpath(m_dir->path() + QLatin1Char('/') + folder + QStringLiteral("/dat"));
    writeFile(m_dir->path() + QStringLiteral("/Program/brask-repair.exe"));
    if (state != Absent)
        writeFile(tos);
    const QString datTos = QFileInfo(tos).path() + QStringLiteral("/dat/TOS.txt");
    if (state == DatHoldsTos) {
        writeFile(datTos);
        QVERIFY(QDir().mkpath(QFileInfo(datTos).path() + QStringLiteral("/sub")));
    }
    if (state == ReadOnly || state == ReadOnlyLocked)
        QFile::setPermissions(tos, QFileDevice::ReadOwner);
    QScopedPointer<FolderLock> lock(
        state == Locked || state == ReadOnlyLocked ? new FolderLock(QFileInfo(tos).path())
        : state == HeldDeleteShared ? new FolderLock(QFileInfo(tos).path(), FolderLock::ShareDelete)
                                    : nullptr);
    if (lock && !lock->locked())
        QSKIP("this file system cannot make a file impossible to remove");
    QScopedPointer<Unpermitted> unsearchable(state == Unsearchable ? new Unpermitted(QFileInfo(tos).path(), 'x')
                                                                   : nullptr);
    if (unsearchable && !unsearchable->real())
        QSKIP("root enters every folder, and Windows has no Unix permissions to take away");

    BraskRepair window;
    window.show();
    child<QLineEdit>(window, "ledPathBrask")->setText(brask);
    ModalWatcher watcher;
    click(window, "btnRepatch");
    unsearchable.reset();

    QCOMPARE(watcher.seen.size(), 1);
    const SeenBox box = watcher.seen.first();
    QCOMPARE(box.className, QStringLiteral("QMessageBox"));
    QVERIFY(!box.parent);
    QVERIFY(box.title.isEmpty() || box.title == QApplication::applicationName());
    if (failedLine.isEmpty()) {
        QCOMPARE(box.text, message);
        QCOMPARE(QFile::exists(tos), brask.isEmpty());
        return;
    }
    QStringList lines = box.text.split(QLatin1Char('\n'));
    QCOMPARE(lines.takeFirst(), message);
#ifdef Q_OS_WIN
    if (lock) {
        QCOMPARE(lines.takeLast(), QStringLiteral(IN_USE_HINT));
        QVERIFY2(lines[0].endsWith(QStringLiteral(" (%1)").arg(qt_error_string(ERROR_SHARING_VIOLATION))),
                 qPrintable(lines[0]));
    }
#endif
    // What to do, when the path is the cause, and what became of the file.
    QCOMPARE(lines.takeLast(), QStringLiteral("Nothing was changed."));
    QVERIFY2(lines.size() == 1 || lines.size() == 2, qPrintable(box.text));
    QVERIFY2(lines[0].startsWith(QDir::toNativeSeparators(failedLine)), qPrintable(lines[0]));
    QCOMPARE(QFile::exists(tos), state != Absent);
    QCOMPARE(QFile::exists(datTos), state == DatHoldsTos);
    if (state == ReadOnlyLocked)
        QCOMPARE(QFile::permissions(tos) & QFileDevice::WriteOwner, QFileDevice::Permissions());
}

void tst_Actions::resetPatcherOnStartFolder()
{
    // Started from the installation folder, the repair needs no typing.
    CurrentFolder current(m_dir->path());
    writeFile(m_dir->path() + QStringLiteral("/TOS.txt"));
    BraskRepair window;
    window.show();
    ModalWatcher watcher;
    click(window, "btnRepatch");
    QCOMPARE(watcher.seen.size(), 1);
    QVERIFY(!QFile::exists(m_dir->path() + QStringLiteral("/TOS.txt")));
}

void tst_Actions::clearLoginCache_data()
{
    // A folder in the case's folder; "-" leaves the variable unset, and "="
    // sets it to the rest as it stands, a path from the current folder.
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("roaming");
    QTest::addColumn<int>("localState");
    QTest::addColumn<int>("roamingState");
    QTest::addColumn<bool>("cleared");  // the box says so, or that it could not
    QTest::addColumn<int>("lines");     // how many lines follow that first one

    QTest::newRow("both present") << "Local" << "Roaming" << int(Present) << int(Present) << true << 0;
    // A profile folder without the launcher's folders holds no cache.
    QTest::newRow("both absent") << "Local" << "Roaming" << int(Absent) << int(Absent) << true << 0;
    QTest::newRow("local only") << "Local" << "Roaming" << int(Present) << int(Absent) << true << 0;
    QTest::newRow("read-only") << "Local" << "Roaming" << int(ReadOnly) << int(ReadOnly) << true << 0;
    QTest::newRow("non-ASCII profile") << "Użytkownik/Łódź" << "Ärger/ユーザー" << int(Present) << int(Present) << true
                                       << 0;
    QTest::newRow("local unset") << "-" << "Roaming" << int(Absent) << int(Present) << true << 0;
#ifdef Q_OS_WIN
    // Windows keeps no variable set to nothing: it is unset.
    QTest::newRow("roaming empty") << "Local" << "" << int(Present) << int(Absent) << true << 0;
#else
    // Set, but to nothing: skipped, and named.
    QTest::newRow("roaming empty") << "Local" << "" << int(Present) << int(Absent) << true << 1;
#endif
    // With neither variable there is no place to look: that is no success.
    QTest::newRow("both unset") << "-" << "-" << int(Absent) << int(Absent) << false << 1;
    // A variable that names no folder is wrong, not an empty cache.
    // What did go is named as well.
    QTest::newRow("local folder missing") << "Local" << "Roaming" << int(NoFolder) << int(Present) << false << 2;
    QTest::newRow("both folders missing") << "Local" << "Roaming" << int(NoFolder) << int(NoFolder) << false << 2;
    // One left unexpanded is skipped, and the box says so.
    QTest::newRow("local unexpanded")
        << "=%USERPROFILE%/AppData/Local" << "Roaming" << int(Present) << int(Present) << true << 1;
    QTest::newRow("local not removable") << "Local" << "Roaming" << int(Locked) << int(Present) << false << 2;
    QTest::newRow("local not searchable") << "Local" << "Roaming" << int(Unsearchable) << int(Present) << false << 2;
    QTest::newRow("both not removable") << "Local" << "Roaming" << int(Locked) << int(Locked) << false << 2;
#ifndef Q_OS_WIN
    // A profile folder's name is the bytes it was made with, which need not
    // be UTF-8; a row writes such a byte as \xff.
    QTest::newRow("local named in bytes that are not UTF-8")
        << "Local\\xff" << "Roaming" << int(Present) << int(Present) << true << 0;
    // Blanks, or a relative path, name no folder: the login.dat they lead
    // to from the current folder is none of the player's, and stays.
    QTest::newRow("both blank") << "=   " << "=   " << int(Present) << int(Present) << false << 3;
    QTest::newRow("both relative") << "=rel/cache" << "=rel/cache" << int(Present) << int(Present) << false << 3;
#endif
}

void tst_Actions::clearLoginCache()
{
    QFETCH(QString, local);
    QFETCH(QString, roaming);
    QFETCH(int, localState);
    QFETCH(int, roamingState);
    QFETCH(bool, cleared);
    QFETCH(int, lines);

    CurrentFolder current(m_dir->path());
    QList<QByteArray> files;  // as the system names them, "" where there is none
    bool lookedFor[2] = {false, false};
    // Qt cannot name what lies below a folder whose name is not UTF-8.
    const auto removeOddFolders = qScopeGuard([&] {
        for (const QByteArray &file : files)
            if (!file.isEmpty() && QString::fromUtf8(file).toUtf8() != file)
                removeRaw(file.left(file.size() - loginSuffix.size()));
    });
    QList<QSharedPointer<FolderLock>> locks;
    QList<QSharedPointer<Unpermitted>> unsearchable;
    const QList<QPair<QString, int>> places = {{local, localState}, {roaming, roamingState}};
    const char *const variables[] = {"LOCALAPPDATA", "APPDATA"};
    for (int i = 0; i < 2; ++i) {
        const QString &name = places[i].first;
        const int state = places[i].second;
        if (name == QLatin1String("-")) {
            qunsetenv(variables[i]);
            files << QByteArray();
            continue;
        }
        const bool asItStands = name.startsWith(QLatin1Char('='));
        const QString base = asItStands      ? name.mid(1)
                             : name.isEmpty() ? QString()
                                              : m_dir->path() + QLatin1Char('/') + name;
        lookedFor[i] = !asItStands && !base.isEmpty();
#ifdef Q_OS_WIN
        // The 8-bit environment of Windows holds only the ANSI code page; a
        // player's profile folder may be named in any script.
        _wputenv_s(reinterpret_cast<const wchar_t *>(QString::fromLatin1(variables[i]).utf16()),
                   reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(base).utf16()));
        const QByteArray bytes = base.toUtf8();
#else
        const QByteArray bytes = base.toUtf8().replace("\\xff", "\xff");
        qputenv(variables[i], bytes);
#endif
        const QByteArray rawFile = bytes + loginSuffix.toUtf8();
        const QString file = QString::fromUtf8(rawFile);
        files << (base.isEmpty() ? QByteArray() : rawFile);
        if (state == Absent && !base.isEmpty())
            writeRawFile(bytes + "/other.dat");
        else if (state != Absent && state != NoFolder)
            writeRawFile(rawFile);
        if (state == ReadOnly)
            QFile::setPermissions(file, QFileDevice::ReadOwner);
        if (state == Locked) {
            locks << QSharedPointer<FolderLock>::create(QFileInfo(file).path());
            if (!locks.last()->locked())
                QSKIP("this file system cannot make a file impossible to remove");
        }
        if (state == Unsearchable) {
            unsearchable << QSharedPointer<Unpermitted>::create(QFileInfo(file).path(), 'x');
            if (!unsearchable.last()->real())
                QSKIP("root enters every folder, and Windows has no Unix permissions to take away");
        }
    }

    BraskRepair window;
    window.show();
    auto *ostrel = child<QLineEdit>(window, "ledPathOstrel");
    ostrel->setText(QStringLiteral("ostrel as typed"));
    auto *brask = child<QLineEdit>(window, "ledPathBrask");
    const QString braskBefore = brask->text();
    ModalWatcher watcher;
    click(window, "btnLoginDat");
    unsearchable.clear();

    QCOMPARE(watcher.seen.size(), 1);
    const SeenBox box = watcher.seen.first();
    QVERIFY(!box.parent);
    QStringList shown = box.text.split(QLatin1Char('\n'));
#ifdef Q_OS_WIN
    if (!locks.isEmpty())
        QCOMPARE(shown.takeLast(), QStringLiteral(IN_USE_HINT));
#endif
    QCOMPARE(shown.first(), cleared ? QStringLiteral("Your login cache should be cleared now...")
                                    : QStringLiteral("Could not clear the login cache!"));
    QVERIFY2(shown.size() == 1 + lines, qPrintable(box.text));
    if (!lookedFor[0] && !lookedFor[1]) {
        QVERIFY2(shown[1].startsWith(QStringLiteral("Neither LOCALAPPDATA nor APPDATA names a folder, so no login "
                                                    "cache could be looked for.")),
                 qPrintable(shown[1]));
    }
    auto hasLine = [&](const QString &start) {
        return std::any_of(shown.cbegin() + 1, shown.cend(), [&](const QString &text) { return text.startsWith(start); });
    };
    for (int i = 0; i < 2; ++i) {
        if (files[i].isEmpty())
            continue;
        const int state = places[i].second;
        const bool stays = state == Locked || state == Unsearchable;
        QCOMPARE(rawExists(files[i]), lookedFor[i] ? stays : state != Absent && state != NoFolder);
        const QString base = QDir::toNativeSeparators(QString::fromUtf8(files[i].left(files[i].size() - loginSuffix.size())));
        const QString variable = QLatin1String(variables[i]);
        if (lookedFor[i] && stays)
            QVERIFY2(hasLine(QDir::toNativeSeparators(QString::fromUtf8(files[i]))), qPrintable(box.text));
        else if (state == NoFolder)
            QVERIFY2(hasLine(QStringLiteral("%1 names %2, which does not exist").arg(variable, base)), qPrintable(box.text));
        else if (!lookedFor[i])
            QVERIFY2(hasLine(variable + QStringLiteral(" is \"")), qPrintable(box.text));
        else if (!cleared && state == Present)
            QVERIFY2(hasLine(QDir::toNativeSeparators(QString::fromUtf8(files[i])) + QStringLiteral(" is gone.")),
                     qPrintable(box.text));
    }
    QCOMPARE(ostrel->text(), QStringLiteral("ostrel as typed"));
    QCOMPARE(brask->text(), braskBefore);
}

BRASK_TEST_MAIN(tst_Actions)
#include "tst_actions.moc"
