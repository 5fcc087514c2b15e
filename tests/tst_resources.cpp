#include "braskrepair.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QResource>

class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void iconResource();
    void windowIcon();
};

void tst_Resources::init()
{
    failOnAnyWarning();
}

void tst_Resources::iconResource()
{
    QCOMPARE(QDir(QStringLiteral(":/icon")).entryList(QDir::AllEntries | QDir::Hidden | QDir::System),
             QStringList{"brask.ico"});
    QVERIFY(QDir(QStringLiteral(":/")).entryList().contains(QStringLiteral("icon")));

    const QResource resource(QStringLiteral(":/icon/brask.ico"));
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);

    QFile embedded(QStringLiteral(":/icon/brask.ico"));
    QVERIFY(embedded.open(QIODevice::ReadOnly));
    const QByteArray bytes = embedded.readAll();
    QCOMPARE(bytes.size(), 3262);
    QCOMPARE(bytes.left(6), QByteArray("\0\0\1\0\1\0", 6));

    QFile source(QStringLiteral(BRASK_ICON_FILE));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QCOMPARE(bytes, source.readAll());

    QImageReader reader(QStringLiteral(":/icon/brask.ico"));
    QCOMPARE(reader.imageCount(), 1);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), QSize(32, 32));
    // A blue tile with a white letter, fully opaque.
    QCOMPARE(image.pixel(0, 0), qRgb(24, 103, 206));
    QCOMPARE(image.pixel(8, 6), qRgb(255, 255, 255));
}

void tst_Resources::windowIcon()
{
    BraskRepair window;
    QVERIFY(showWindow(window));
    const QIcon icon = window.windowIcon();
    QVERIFY(!icon.isNull());
    QVERIFY(icon.availableSizes().contains(QSize(32, 32)));
    QCOMPARE(icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32),
             QImage(QStringLiteral(":/icon/brask.ico")).convertToFormat(QImage::Format_ARGB32));
}

BRASK_TEST_MAIN(tst_Resources)
#include "tst_resources.moc"
