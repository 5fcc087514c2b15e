#include "braskrepair.h"
#include "fileops/fileops.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

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

// A failure box: the heading, a line for each failure, and when a file was
// held by another program, what the player can do about it.
void reportFailures(const QString &heading, const QStringList &failures, bool inUse)
{
    QString text = heading + QLatin1Char('\n') + failures.join(QLatin1Char('\n'));
    if (inUse)
        text += QStringLiteral("\nA file is in use by another program: close the launcher and the game, then try again.");
    report(text);
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

void BraskRepair::on_btnReinstall_clicked()
{
    const QString brask = FileOps::cleanPath(ledPathBrask->text());
    const QString ostrel = FileOps::cleanPath(ledPathOstrel->text());
    if (brask.isEmpty() || ostrel.isEmpty()) {
        report(QStringLiteral("You have to set the Brask and Ostrel paths!"));
        return;
    }

    Ui::mWindow::statusBar->showMessage(tr("Working..."));
    pgbProgress->show();
    // Both folders pass every check before either is touched: half a repair
    // that stops at the second folder would leave the installation mixed.
    // Neither removal may reach what either copy reads.
    QStringList failures;
    FileOps::CopyPlan plans[2];
    const QString folders[2] = {QStringLiteral("/dat"), QStringLiteral("/sfx")};
    for (int i = 0; i < 2; ++i) {
        QString why;
        if (!FileOps::planCopy(ostrel + folders[i], brask + folders[i], &plans[i], &why))
            failures << FileOps::native(FileOps::cleanPath(brask + folders[i])) + QStringLiteral(": ") + why;
    }
    for (int i = 0; i < 2 && failures.isEmpty(); ++i) {
        QString why;
        if (!FileOps::checkApart(plans[1 - i], plans[i], &why))
            failures << FileOps::native(plans[i].dst) + QStringLiteral(": ") + why;
    }
    bool inUse = false;
    if (failures.isEmpty()) {
        for (const FileOps::CopyPlan &plan : plans) {
            QString why;
            bool held = false;
            if (!copyPlanned(plan, &why, &held))
                failures << FileOps::native(plan.dst) + QStringLiteral(": ") + why;
            inUse = inUse || held;
        }
    }
    pgbProgress->hide();
    Ui::mWindow::statusBar->showMessage(tr("Ready"));

    if (failures.isEmpty())
        report(QStringLiteral("Done!\nYou can now start the launcher to patch and play."));
    else
        reportFailures(QStringLiteral("Re-install failed!"), failures, inUse);
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
    if (FileOps::checkFolder(brask, QStringLiteral("the Brask folder"), &failure)
        && FileOps::removeFileIfPresent(FileOps::joined(FileOps::toNative(brask), FileOps::nameOf(QStringLiteral("TOS.txt"))),
                                        tos, true, &failure, &inUse))
        report(QStringLiteral("Done!\nYou can now start the launcher to validate your files."));
    else
        reportFailures(QStringLiteral("Reset failed!"), {failure}, inUse);
}

void BraskRepair::on_btnLoginDat_clicked()
{
    QStringList failures;
    bool inUse = false;
    bool lookedFor = false;
    for (const char *variable : {"LOCALAPPDATA", "APPDATA"}) {
        // An unset, blank or relative variable names no cache; joining it to
        // the suffix would aim at the root of the drive or the current folder.
        FileOps::NativePath base;
        if (!FileOps::environmentFolder(variable, &base))
            continue;
        lookedFor = true;
        FileOps::NativePath path = base;
        for (const char *part : {"Nimvale", "Init", "login.dat"})
            path = FileOps::joined(path, FileOps::nameOf(QLatin1String(part)));
        QString failure;
        bool held = false;
        if (!FileOps::removeFileIfPresent(path, FileOps::shownName(path), false, &failure, &held))
            failures << failure;
        inUse = inUse || held;
    }
    if (!lookedFor)
        failures << QStringLiteral("Neither LOCALAPPDATA nor APPDATA names a folder, so no login cache could be looked for.");
    if (failures.isEmpty())
        report(QStringLiteral("Your login cache should be cleared now..."));
    else
        reportFailures(QStringLiteral("Could not clear the login cache!"), failures, inUse);
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
