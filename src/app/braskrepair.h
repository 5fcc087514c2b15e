#ifndef BRASKREPAIR_H
#define BRASKREPAIR_H

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include "ui_mwindow.h"

namespace FileOps {
struct CopyPlan;
struct Progress;
struct SystemError;
}

class BraskRepair : public QMainWindow, private Ui::mWindow
{
    Q_OBJECT

public:
    explicit BraskRepair(QWidget *parent = nullptr);
    ~BraskRepair() override;

    // Removes the folder at path with everything below it. On failure,
    // failedPath and error (when given) receive the entry that could not be
    // removed and what the system said.
    bool rmDir(const QString &path, QString *failedPath = nullptr, FileOps::SystemError *error = nullptr);

    // Replaces the folder dst by a new folder holding copies of the files at
    // the top level of src, once nothing speaks against it (FileOps::planCopy),
    // and puts them on disk.
    // On failure, why (when given) says what went wrong and inUse whether
    // another program holds the file that stopped it.
    bool cpDir(const QString &src, const QString &dst, QString *why = nullptr, bool *inUse = nullptr);

private slots:
    void on_btnPathOstrel_clicked();
    void on_btnPathBrask_clicked();
    void on_btnReinstall_clicked();
    void on_btnRepatch_clicked();
    void on_btnLoginDat_clicked();
    void on_actionFAQ_activated();
    void on_actionAbout_activated();

private:
    void chooseFolder(QLineEdit *field);
    FileOps::Progress barProgress();  // drives pgbProgress
    void beginWork();
    void endWork();
    bool confirmLoss(const FileOps::CopyPlan (&plans)[2], const QString &brask);

    QPointer<QWidget> m_focusBeforeWork;  // gone with its widget
};

#endif
