#include "braskrepair.h"
#include "testsupport.h"

#include <QAction>
#include <QCommandLinkButton>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QProgressBar>
#include <QStatusBar>
#include <QToolButton>

class tst_Form : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void controls_data();
    void controls();
    void windowSettings();
    void menu();
    void startState();
    void slotTable();
    void tabOrder();
};

void tst_Form::init()
{
    failOnAnyWarning();
}

void tst_Form::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");

    QTest::newRow("pgbProgress") << "pgbProgress" << "QProgressBar" << QRect(10, 260, 251, 23) << "" << "";
    QTest::newRow("lblPathOstrel") << "lblPathOstrel" << "QLabel" << QRect(10, 10, 71, 16) << "Ostrel Path:" << "";
    QTest::newRow("ledPathOstrel") << "ledPathOstrel" << "QLineEdit" << QRect(10, 30, 221, 20) << "" << "";
    QTest::newRow("lblPathBrask") << "lblPathBrask" << "QLabel" << QRect(10, 60, 61, 16) << "Brask Path:" << "";
    QTest::newRow("ledPathBrask") << "ledPathBrask" << "QLineEdit" << QRect(10, 80, 221, 20) << "*cwd*" << "";
    QTest::newRow("btnPathOstrel") << "btnPathOstrel" << "QToolButton" << QRect(240, 30, 25, 19) << "..." << "";
    QTest::newRow("btnPathBrask") << "btnPathBrask" << "QToolButton" << QRect(240, 80, 25, 19) << "..." << "";
    QTest::newRow("btnReinstall") << "btnReinstall" << "QCommandLinkButton" << QRect(10, 110, 251, 41)
                                  << "Re-install data"
                                  << "This will re-install your dat and sfx files from Ostrel to Brask.";
    QTest::newRow("btnRepatch") << "btnRepatch" << "QCommandLinkButton" << QRect(10, 160, 251, 41)
                                << "Reset patcher"
                                << "This will force your patcher to validate your files the next time you launch it.";
    QTest::newRow("btnLoginDat") << "btnLoginDat" << "QCommandLinkButton" << QRect(10, 210, 251, 41)
                                 << "Clear login cache" << "This will delete your login information cache.";
}

void tst_Form::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);

    BraskRepair window;
    QVERIFY(showWindow(window));

    QWidget *widget = child<QWidget>(window, name);
    QCOMPARE(widget->metaObject()->className(), className.toLatin1());
    QCOMPARE(widget->parentWidget()->objectName(), QStringLiteral("centralwidget"));
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        // A caption keeps its place and may only grow to the right, inside
        // the window, as far as its text needs in this font.
        const QRect grown = label->geometry();
        QCOMPARE(grown.topLeft(), geometry.topLeft());
        QCOMPARE(grown.height(), geometry.height());
        QVERIFY(grown.width() >= geometry.width());
        QVERIFY(grown.right() < window.width());
        QVERIFY2(label->fontMetrics().horizontalAdvance(text) <= label->contentsRect().width()
                     || grown.right() == window.width() - 1,
                 qPrintable(QStringLiteral("%1 px of text in %2 px").arg(label->fontMetrics().horizontalAdvance(text))
                                .arg(grown.width())));
    } else {
        QCOMPARE(widget->geometry(), geometry);
    }
    QCOMPARE(widget->toolTip(), toolTip);
    QCOMPARE(widget->locale(), QLocale(QLocale::English, QLocale::UnitedStates));

    if (text == QLatin1String("*cwd*"))
        text = QDir::currentPath();
    if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), text);
    else if (auto *button = qobject_cast<QAbstractButton *>(widget))
        QCOMPARE(button->text(), text);
    else if (auto *edit = qobject_cast<QLineEdit *>(widget))
        QCOMPARE(edit->text(), text);

    if (auto *button = qobject_cast<QCommandLinkButton *>(widget))
        QVERIFY(button->description().isEmpty());
}

void tst_Form::windowSettings()
{
    BraskRepair window;
    QVERIFY(showWindow(window));

    QCOMPARE(window.objectName(), QStringLiteral("mWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Brask Repair"));
    QCOMPARE(window.size(), QSize(270, 325));
    QCOMPARE(window.minimumSize(), QSize(270, 325));
    QCOMPARE(window.maximumSize(), QSize(270, 325));
    QCOMPARE(window.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(window.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(window.locale().language(), QLocale::English);
    QCOMPARE(window.locale().territory(), QLocale::UnitedStates);

    window.resize(400, 500);
    QCOMPARE(window.size(), QSize(270, 325));

    QCOMPARE(window.centralWidget(), child<QWidget>(window, "centralwidget"));
    QCOMPARE(static_cast<QMainWindow &>(window).menuBar()->objectName(), QStringLiteral("menuBar"));
    QCOMPARE(static_cast<QMainWindow &>(window).statusBar()->objectName(), QStringLiteral("statusBar"));
    // A window that cannot be resized draws no grip to resize it by.
    QVERIFY(!static_cast<QMainWindow &>(window).statusBar()->isSizeGripEnabled());

    // Only the three command-link buttons carry tool tips.
    int withToolTip = 0;
    for (QWidget *widget : window.findChildren<QWidget *>())
        withToolTip += widget->toolTip().isEmpty() ? 0 : 1;
    QCOMPARE(withToolTip, 3);
}

void tst_Form::menu()
{
    BraskRepair window;
    const QList<QAction *> bar = static_cast<QMainWindow &>(window).menuBar()->actions();
    QCOMPARE(bar.size(), 1);
    QMenu *help = bar.first()->menu();
    QVERIFY(help);
    QCOMPARE(help->objectName(), QStringLiteral("menuHelp"));
    QCOMPARE(help->title(), QStringLiteral("Help"));

    const QList<QAction *> entries = help->actions();
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries[0]->objectName(), QStringLiteral("actionFAQ"));
    QCOMPARE(entries[0]->text(), QStringLiteral("FAQ"));
    QVERIFY(entries[1]->isSeparator());
    QCOMPARE(entries[2]->objectName(), QStringLiteral("actionAbout"));
    QCOMPARE(entries[2]->text(), QStringLiteral("About"));
    for (QAction *action : {entries[0], entries[2]}) {
        QCOMPARE(action->parent(), &window);
        QVERIFY(action->shortcut().isEmpty());
        QCOMPARE(action->toolTip(), action->text());
    }
}

void tst_Form::startState()
{
    BraskRepair window;
    QVERIFY(showWindow(window));

    auto *progress = child<QProgressBar>(window, "pgbProgress");
    QVERIFY(!progress->isVisible());
    QVERIFY(!progress->isTextVisible());
    QCOMPARE(progress->value(), 0);
    QCOMPARE(progress->maximum(), 100);
    QCOMPARE(child<QLineEdit>(window, "ledPathBrask")->text(), QDir::currentPath());
    QVERIFY(child<QLineEdit>(window, "ledPathOstrel")->text().isEmpty());
    QVERIFY(static_cast<QMainWindow &>(window).statusBar()->currentMessage().isEmpty());
}

void tst_Form::slotTable()
{
    const QMetaObject &meta = BraskRepair::staticMetaObject;
    QCOMPARE(meta.className(), "BraskRepair");
    QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 7);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.classInfoCount(), 0);

    const char *const expected[] = {
        "on_btnPathOstrel_clicked()", "on_btnPathBrask_clicked()",  "on_btnReinstall_clicked()",
        "on_btnRepatch_clicked()",    "on_btnLoginDat_clicked()",   "on_actionFAQ_activated()",
        "on_actionAbout_activated()",
    };
    for (int i = 0; i < 7; ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(expected[i]));
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
    }
}

void tst_Form::tabOrder()
{
    BraskRepair window;
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));

    // The window starts in the Ostrel field, and the keys go on from there
    // in a fixed order, whatever the fonts and the screen's scale.
    QTRY_COMPARE(QApplication::focusWidget(), child<QWidget>(window, "ledPathOstrel"));
    const char *const order[] = {"ledPathBrask", "btnPathOstrel", "btnPathBrask",
                                 "btnReinstall", "btnRepatch",    "btnLoginDat"};
    for (const char *name : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(name));
    }
}

BRASK_TEST_MAIN(tst_Form)
#include "tst_form.moc"
