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
    const QString brask = ledPathBrask->text();
    const QString ostrel = ledPathOstrel->text();
    if (brask.isEmpty() || ostrel.isEmpty()) {
        report(QStringLiteral("You have to set the Brask and Ostrel paths!"));
        return;
    }

    Ui::mWindow::statusBar->showMessage(tr("Working..."));
    pgbProgress->show();
    QStringList failures;
    for (const QString &folder : {QStringLiteral("/dat"), QStringLiteral("/sfx")}) {
        QString why;
        if (!cpDir(ostrel + folder, brask + folder, &why))
            failures << FileOps::native(brask + folder) + QStringLiteral(": ") + why;
    }
    pgbProgress->hide();
    Ui::mWindow::statusBar->showMessage(tr("Ready"));

    if (failures.isEmpty())
        report(QStringLiteral("Done!\nYou can now start the launcher to patch and play."));
    else
        report(QStringLiteral("Re-install failed!\n") + failures.join(QLatin1Char('\n')));
}

void BraskRepair::on_btnRepatch_clicked()
{
    const QString brask = ledPathBrask->text();
    if (brask.isEmpty()) {
        report(QStringLiteral("You have to set the Brask path!"));
        return;
    }
    QString failure;
    if (FileOps::removeFileIfPresent(brask + QStringLiteral("/TOS.txt"), &failure))
        report(QStringLiteral("Done!\nYou can now start the launcher to validate your files."));
    else
        report(QStringLiteral("Reset failed!\n") + failure);
}

void BraskRepair::on_btnLoginDat_clicked()
{
    QStringList failures;
    for (const char *variable : {"LOCALAPPDATA", "APPDATA"}) {
        // An unset variable names no cache; joining the empty value to the
        // suffix would aim at the root of the drive instead.
        const QString base = qEnvironmentVariable(variable);
        if (base.isEmpty())
            continue;
        QString failure;
        if (!FileOps::removeFileIfPresent(base + QStringLiteral("/Nimvale/Init/login.dat"), &failure))
            failures << failure;
    }
    if (failures.isEmpty())
        report(QStringLiteral("Your login cache should be cleared now..."));
    else
        report(QStringLiteral("Could not clear the login cache!\n") + failures.join(QLatin1Char('\n')));
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
