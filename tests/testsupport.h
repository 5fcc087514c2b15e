#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QApplication>
#include <QList>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

class BraskRepair;

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
    QTimer m_timer;
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
    ~FolderLock();
    bool locked() const { return m_locked; }

private:
    bool setImmutable(bool on);
    QString m_folder;
    bool m_locked = false;
    bool m_immutable = false;
    QProcess m_holder;
};

// The last line of a failure box when another program held a file open,
// which only Windows makes happen.
#define IN_USE_HINT "A file is in use by another program: close the launcher and the game, then try again."

// True when the program runs under Wine rather than on Windows itself.
bool underWine();

// Turns every warning into a test failure, but for the offscreen platform's
// note that it cannot pass size hints on to a window system it does not have.
void failOnAnyWarning();

QWidget *childWidget(BraskRepair &window, const char *name);

// Writes a file, creating the folders on the way.
void writeFile(const QString &path, const QByteArray &contents = QByteArray("data"));

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
