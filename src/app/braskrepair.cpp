#include "braskrepair.h"
#include "fileops/fileops.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QMessageBox>

#include <algorithm>

namespace {

// Qt 6's QAction has no activated() signal. The menu slots keep their
// names, so a child named after each action offers that signal to
// connect-by-name and passes every triggered() on to it.
class ActivatedRelay : public QObject
{
    Q_OBJECT

public:
    ActivatedRelay(const char *actionName, QObject *parent)
        : QObject(parent)
    {
        setObjectName(QString::fromLatin1(actionName));
    }

signals:
    void activated();
};

void report(const QString &text)
{
    QMessageBox box;
    box.setText(text);
    box.exec();
}

// A failure box: the heading, a line for each failure, what the player can
// do about it, and when a file was held by another program, that too.
void reportFailures(const QString &heading, const QStringList &failures, const QStringList &advice, bool inUse)
{
    QStringList lines{heading};
    lines << failures << advice;
    if (inUse)
        lines << QStringLiteral("A file is in use by another program: close the launcher and the game, then try again.");
    report(lines.join(QLatin1Char('\n')));
}

const char nothingChanged[] = "Nothing was changed.";

// The path field a refusal asks the player to look at again.
QString checkField(FileOps::Field field)
{
    switch (field) {
    case FileOps::Field::Source:
        return QStringLiteral("Check the Ostrel Path.");
    case FileOps::Field::Target:
        return QStringLiteral("Check the Brask Path.");
    case FileOps::Field::Both:
        return QStringLiteral("Check the Brask Path and the Ostrel Path.");
    case FileOps::Field::None:
        break;
    }
    return QString();
}

// Whether folder holds an entry of that name, links not followed. Only the
// system's own "not there" counts as absent: a folder it may not look into
// is not called empty, and the repair's own step meets the real reason.
bool holds(const QString &folder, const char *name)
{
    QByteArray id;
    FileOps::Kind kind = FileOps::Kind::Missing;
    FileOps::SystemError error;
    const FileOps::NativePath entry = FileOps::joined(FileOps::toNative(folder), FileOps::nameOf(QLatin1String(name)));
    return FileOps::identify(entry, FileOps::Links::NotFollowed, &id, &kind, error) || !error.absent();
}

// A Brask installation holds its dat, its sfx or the patcher's TOS.txt.
bool looksLikeGame(const QString &folder)
{
    return holds(folder, "dat") || holds(folder, "sfx") || holds(folder, "TOS.txt");
}

// The system's identity of the folder at path, links followed; empty when
// it is no folder or cannot be asked.
QByteArray folderId(const QString &path)
{
    QByteArray id;
    FileOps::Kind kind = FileOps::Kind::Missing;
    FileOps::SystemError error;
    const bool known = FileOps::identify(FileOps::toNative(path), FileOps::Links::Followed, &id, &kind, error);
    return known && kind == FileOps::Kind::Folder ? id : QByteArray();
}

// The game folder that folder is the dat or sfx of, however the path names
// it: the folder the system reaches through ".." holds it under that name,
// and holds the patcher's TOS.txt or the other of the two as well. The
// name of the one it is goes to part.
QString gameAbove(const QString &folder, QString *part)
{
    const QByteArray self = folderId(folder);
    if (self.isEmpty())
        return QString();
    const QString parent = FileOps::cleanPath(folder + QStringLiteral("/.."));
    for (const char *name : {"dat", "sfx"}) {
        if (folderId(parent + QLatin1Char('/') + QLatin1String(name)) != self)
            continue;
        if (!holds(parent, "TOS.txt") && !holds(parent, qstrcmp(name, "dat") == 0 ? "sfx" : "dat"))
            continue;
        *part = QLatin1String(name);
        // Named as typed where the typed path ends in that name.
        const QFileInfo typed(folder);
        return typed.fileName().compare(*part, Qt::CaseInsensitive) == 0 ? typed.path() : parent;
    }
    return QString();
}

// "Brask does not look like ...", or an empty string when it does.
QString notAGame(const QString &folder)
{
    // A game's own dat may hold a file named TOS.txt, or a folder named sfx.
    QString part;
    const QString above = gameAbove(folder, &part);
    if (!above.isEmpty()) {
        return QStringLiteral("%1 does not look like a Brask installation but like the %2 folder inside one: did you "
                              "mean %3?")
            .arg(FileOps::native(folder), part, FileOps::native(above));
    }
    if (looksLikeGame(folder))
        return QString();
    return QStringLiteral("%1 does not look like a Brask installation: it holds no dat, sfx or TOS.txt.")
        .arg(FileOps::native(folder));
}

QString counted(int count, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? one : many));
}

// "a", "a and b", "a, b and c"
QString listed(const QStringList &items)
{
    if (items.size() < 2)
        return items.join(QString());
    return items.mid(0, items.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ") + items.last();
}

// A name as a question may show it: a line break or other control
// character in it would read as the program's own text.
QString printable(QString name)
{
    for (QChar &c : name) {
        if (c.category() == QChar::Other_Control)
            c = QChar::ReplacementCharacter;
    }
    return name;
}

// "a, b, c, d, e and 4 more"
QString firstNames(const QStringList &names)
{
    const int shown = 5;
    QStringList first;
    for (const QString &name : names.mid(0, shown))
        first << printable(name);
    if (names.size() > shown)
        return first.join(QStringLiteral(", ")) + QStringLiteral(" and %1 more").arg(names.size() - shown);
    return listed(first);
}

const char faqText[] =
    "How do I use this tool?\n"
    "\n"
    "If you have broken files or the patcher complains about missing ones, "
    "you should select \"Re-install data\".\n"
    "If you prefer the patcher to validate and reload the Brask mods and additions, "
    "select \"Reset patcher\".\n"
    "In case you have problems with your login, you should try to clear your login cache.";

const char aboutText[] =
    "Brask Repair v1.0.2 (Build 4)\n"
    "Written by the Brask Repair developers.\n"
    "Contact: report problems on the project's issue tracker.";

} // namespace

BraskRepair::BraskRepair(QWidget *parent)
    : QMainWindow(parent)
{
    auto *faqRelay = new ActivatedRelay("actionFAQ", this);
    auto *aboutRelay = new ActivatedRelay("actionAbout", this);
    setupUi(this);
    connect(actionFAQ, &QAction::triggered, faqRelay, &ActivatedRelay::activated);
    connect(actionAbout, &QAction::triggered, aboutRelay, &ActivatedRelay::activated);

    // With some fonts a caption's text is wider than its place in the form:
    // the caption grows to the right, up to the window's edge, to show it all.
    for (QLabel *caption : {lblPathOstrel, lblPathBrask}) {
        const int needed = caption->sizeHint().width();
        if (needed > caption->width())
            caption->resize(qMin(needed, width() - caption->x()), caption->height());
    }

    setFixedSize(width(), height());
    ledPathBrask->setText(QDir::currentPath());
    pgbProgress->hide();
}

BraskRepair::~BraskRepair() = default;

void BraskRepair::chooseFolder(QLineEdit *field)
{
    QFileDialog dialog(this, QString(), QString(), QString());
    dialog.setFileMode(QFileDialog::Directory);
    if (!dialog.exec())
        return;
    const QStringList chosen = dialog.selectedFiles();
    if (!chosen.isEmpty())
        field->setText(chosen.first());
}

void BraskRepair::on_btnPathOstrel_clicked()
{
    chooseFolder(ledPathOstrel);
}

void BraskRepair::on_btnPathBrask_clicked()
{
    chooseFolder(ledPathBrask);
}

// While a repair works the window takes no input, and what the player typed
// or clicked meanwhile is dropped before any box is shown: the system keeps
// such input queued, and a key pressed in impatience would otherwise close
// the box that reports the repair before it is read.
void BraskRepair::beginWork()
{
    // Only this window's own focus comes back; a box's button does not.
    QWidget *focus = QApplication::focusWidget();
    if (!focus || focus->window() == this)
        m_focusBeforeWork = focus;
    centralwidget->setEnabled(false);
    Ui::mWindow::menuBar->setEnabled(false);
    Ui::mWindow::statusBar->showMessage(tr("Working..."));
    // Shown now: the checks alone may take seconds on a large installation.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void BraskRepair::endWork()
{
    QCoreApplication::processEvents();
    centralwidget->setEnabled(true);
    Ui::mWindow::menuBar->setEnabled(true);
    if (m_focusBeforeWork)
        m_focusBeforeWork->setFocus();
}

// Asks before a removal that deletes what its copy does not bring back, or
// that works on a folder which does not look like a Brask installation.
bool BraskRepair::confirmLoss(const FileOps::CopyPlan (&plans)[2], const QString &brask)
{
    QStringList lines;
    for (const FileOps::CopyPlan &plan : plans) {
        const FileOps::Loss loss = FileOps::unrebuilt(plan);
        if (loss.isEmpty())
            continue;
        if (loss.replacesLink) {
            lines << QStringLiteral("%1 is a link. Re-install would remove the link, not what it leads to, and make a "
                                    "folder in its place.")
                         .arg(FileOps::native(plan.dst));
            continue;
        }
        QStringList counts;
        if (loss.files)
            counts << counted(loss.files, "file", "files");
        if (loss.folders)
            counts << counted(loss.folders, "folder", "folders");
        if (loss.links)
            counts << counted(loss.links, "link", "links");
        // Files Ostrel lacks, and what is never copied (subfolders, hidden
        // files, links), whatever Ostrel holds of the same name.
        lines << QStringLiteral("%1 holds %2 that Re-install would delete and not bring back from %3 (%4).")
                     .arg(FileOps::native(plan.dst), listed(counts), FileOps::native(plan.src),
                          firstNames(loss.names));
    }
    const QString stranger = notAGame(brask);
    if (!stranger.isEmpty()) {
        lines << stranger
              << QStringLiteral("Yes makes dat and sfx folders in %1; No changes nothing, and you can check the Brask "
                                "Path.")
                     .arg(FileOps::native(brask));
    }
    if (lines.isEmpty())
        return true;
    lines << QString() << QStringLiteral("Re-install data anyway?");

    endWork();
    QMessageBox box(QMessageBox::Question, QString(), lines.join(QLatin1Char('\n')),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    const bool yes = box.exec() == QMessageBox::Yes;
    beginWork();
    return yes;
}

void BraskRepair::on_btnReinstall_clicked()
{
    const QString brask = FileOps::cleanPath(ledPathBrask->text());
    const QString ostrel = FileOps::cleanPath(ledPathOstrel->text());
    if (brask.isEmpty() || ostrel.isEmpty()) {
        report(QStringLiteral("You have to set the Brask and Ostrel paths!"));
        return;
    }

    beginWork();
    // Both folders pass every check before either is touched: half a repair
    // that stops at the second folder would leave the installation mixed.
    // Neither removal may reach what either copy reads.
    QStringList failures;
    QStringList advice;
    auto refused = [&](const QString &folder, const QString &why, FileOps::Field field) {
        failures << FileOps::native(folder) + QStringLiteral(": ") + why;
        const QString check = checkField(field);
        if (!check.isEmpty() && !advice.contains(check))
            advice << check;
    };
    FileOps::CopyPlan plans[2];
    const QString folders[2] = {QStringLiteral("/dat"), QStringLiteral("/sfx")};
    for (int i = 0; i < 2; ++i) {
        QString why;
        FileOps::Field field = FileOps::Field::None;
        if (!FileOps::planCopy(ostrel + folders[i], brask + folders[i], &plans[i], &why, &field))
            refused(FileOps::cleanPath(brask + folders[i]), why, field);
    }
    for (int i = 0; i < 2 && failures.isEmpty(); ++i) {
        QString why;
        FileOps::Field field = FileOps::Field::None;
        if (!FileOps::checkApart(plans[1 - i], plans[i], &why, &field))
            refused(plans[i].dst, why, field);
    }
    const bool cancelled = failures.isEmpty() && !confirmLoss(plans, brask);
    // The copies are tried on the Brask drive, once the player agreed: the
    // only writes before the removal. Both folders share the drive's room.
    // Where the first lacks room, the second is tried as if the first were
    // made: of the two figures, the larger is what both need.
    FileOps::Spent spent;
    int lackingAt = -1;
    qint64 lacking = 0;
    for (int i = 0; i < 2 && !cancelled && failures.size() == (lackingAt >= 0 ? 1 : 0); ++i) {
        QString why;
        if (FileOps::probeTarget(plans[i], &why, &spent))
            continue;
        if (lackingAt >= 0 && spent.lacking > 0) {
            if (spent.lacking > lacking)
                failures[lackingAt] = FileOps::native(plans[i].dst) + QStringLiteral(": ") + why;
            lacking = std::max(lacking, spent.lacking);
            continue;
        }
        refused(plans[i].dst, why, FileOps::Field::None);
        if (spent.lacking > 0) {
            lackingAt = int(failures.size()) - 1;
            lacking = spent.lacking;
        }
    }
    // Nothing is replaced: no folder of the program's stays behind the box.
    if (!failures.isEmpty()) {
        for (FileOps::CopyPlan &plan : plans)
            FileOps::dropTry(plan);
    }

    bool inUse = false;
    using FileOps::Reached;
    Reached reached[2] = {Reached::Untouched, Reached::Untouched};
    if (failures.isEmpty() && !cancelled) {
        pgbProgress->show();
        const FileOps::Progress progress = barProgress();
        for (int i = 0; i < 2; ++i) {
            QString why;
            bool held = false;
            reached[i] = FileOps::replace(plans[i], progress, &why, &held);
            if (reached[i] != Reached::Done)
                failures << FileOps::native(plans[i].dst) + QStringLiteral(": ") + why;
            inUse = inUse || held;
        }
    }
    pgbProgress->hide();
    Ui::mWindow::statusBar->showMessage(tr("Ready"));
    endWork();

    if (cancelled) {
        report(QStringLiteral("Re-install cancelled.\n") + QLatin1String(nothingChanged));
        return;
    }
    if (failures.isEmpty()) {
        report(QStringLiteral("Done!\nYou can now start the launcher to patch and play."));
        return;
    }
    // What became of the player's folders, and how to finish the repair.
    QStringList became;
    bool changed = false;
    for (int i = 0; i < 2; ++i) {
        const QString folder = FileOps::native(plans[i].dst);
        changed = changed || reached[i] != Reached::Untouched;
        if (reached[i] == Reached::Untouched)
            became << QStringLiteral("%1 was not changed.").arg(folder);
        else if (reached[i] == Reached::Done)
            became << QStringLiteral("%1 was rebuilt.").arg(folder);
        else if (reached[i] == Reached::Removing)
            became << QStringLiteral("%1 was emptied up to what stopped it, and not rebuilt.").arg(folder);
        else if (reached[i] == Reached::Making)
            became << QStringLiteral("%1 was removed and not made again.").arg(folder);
        else if (reached[i] == Reached::Copying)
            became << QStringLiteral("%1 was not completely rebuilt.").arg(folder);
    }
    if (!changed) {
        advice << QLatin1String(nothingChanged);
    } else {
        advice << became.join(QLatin1Char(' '))
                      + QStringLiteral(" Run Re-install data again once the cause is gone to finish the repair.");
    }
    reportFailures(QStringLiteral("Re-install failed!"), failures, advice, inUse);
}

void BraskRepair::on_btnRepatch_clicked()
{
    const QString brask = FileOps::cleanPath(ledPathBrask->text());
    if (brask.isEmpty()) {
        report(QStringLiteral("You have to set the Brask path!"));
        return;
    }
    // A mistyped folder has no TOS.txt either, yet nothing was reset.
    QString failure;
    bool inUse = false;
    const QString tos = brask + QStringLiteral("/TOS.txt");
    if (!FileOps::checkFolder(brask, QStringLiteral("the Brask folder"), &failure)) {
        reportFailures(QStringLiteral("Reset failed!"), {failure},
                       {checkField(FileOps::Field::Target), QLatin1String(nothingChanged)}, false);
        return;
    }
    const QString stranger = notAGame(brask);
    if (!stranger.isEmpty()) {
        reportFailures(QStringLiteral("Reset failed!"), {stranger},
                       {QStringLiteral("Choose the folder that holds the game's dat and sfx folders as the Brask "
                                       "Path."),
                        QLatin1String(nothingChanged)},
                       false);
        return;
    }
    if (FileOps::removeFileIfPresent(FileOps::joined(FileOps::toNative(brask), FileOps::nameOf(QStringLiteral("TOS.txt"))),
                                     tos, true, &failure, &inUse))
        report(QStringLiteral("Done!\nYou can now start the launcher to validate your files."));
    else
        reportFailures(QStringLiteral("Reset failed!"), {failure}, {QLatin1String(nothingChanged)}, inUse);
}

void BraskRepair::on_btnLoginDat_clicked()
{
    QStringList failures;
    QStringList skipped;
    QStringList removed;
    bool inUse = false;
    bool lookedFor = false;
    for (const char *variable : {"LOCALAPPDATA", "APPDATA"}) {
        // An unset, blank or relative variable names no cache; joining it to
        // the suffix would aim at the root of the drive or the current folder.
        const QString value = qEnvironmentVariable(variable);
        FileOps::NativePath base;
        if (!FileOps::environmentFolder(variable, &base)) {
            if (qEnvironmentVariableIsSet(variable)) {
                skipped << QStringLiteral("%1 is \"%2\", which is not a full path to a folder, so it was skipped.")
                               .arg(QLatin1String(variable), value);
            }
            continue;
        }
        lookedFor = true;
        // A profile folder that is not there is a wrong variable, not an
        // empty cache.
        QByteArray id;
        FileOps::Kind kind = FileOps::Kind::Missing;
        FileOps::SystemError error;
        const QString shownBase = FileOps::native(FileOps::shownName(base));
        if (!FileOps::identify(base, FileOps::Links::Followed, &id, &kind, error) || kind != FileOps::Kind::Folder) {
            failures << (kind != FileOps::Kind::Missing ? QStringLiteral("%1 names %2, which is not a folder")
                                                              .arg(QLatin1String(variable), shownBase)
                         : error.absent() ? QStringLiteral("%1 names %2, which does not exist")
                                                .arg(QLatin1String(variable), shownBase)
                                          : QStringLiteral("%1 names %2, which cannot be read (%3)")
                                                .arg(QLatin1String(variable), shownBase, error.text()));
            continue;
        }
        FileOps::NativePath path = base;
        for (const char *part : {"Nimvale", "Init", "login.dat"})
            path = FileOps::joined(path, FileOps::nameOf(QLatin1String(part)));
        QString failure;
        bool held = false;
        if (FileOps::removeFileIfPresent(path, FileOps::shownName(path), false, &failure, &held))
            removed << QStringLiteral("%1 is gone.").arg(FileOps::native(FileOps::shownName(path)));
        else
            failures << failure;
        inUse = inUse || held;
    }
    if (!lookedFor)
        failures << QStringLiteral("Neither LOCALAPPDATA nor APPDATA names a folder, so no login cache could be looked "
                                   "for. Windows sets both for every user. On Linux the launcher keeps its cache in "
                                   "the game's Wine prefix: run the Windows program in that prefix, or set them to its "
                                   "drive_c/users/<you>/AppData/Local and AppData/Roaming folders.");
    if (failures.isEmpty()) {
        QStringList lines{QStringLiteral("Your login cache should be cleared now...")};
        report((lines << skipped).join(QLatin1Char('\n')));
    } else {
        // What did go is said too: the player need not look for it.
        reportFailures(QStringLiteral("Could not clear the login cache!"), failures, skipped + removed, inUse);
    }
}

void BraskRepair::on_actionFAQ_activated()
{
    QMessageBox::about(this, QStringLiteral("FAQ"), QString::fromLatin1(faqText));
}

void BraskRepair::on_actionAbout_activated()
{
    QMessageBox::about(this, QStringLiteral("About"), QString::fromLatin1(aboutText));
}

#include "braskrepair.moc"
