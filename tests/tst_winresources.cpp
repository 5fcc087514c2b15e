// Reads back the Windows resources compiled from brask.rc, so that the
// icon group, the icon and the manifest are checked without a Windows machine,
// and on Windows those of the built program too, as Windows loads them.
#include <QFile>
#include <QList>
#include <QTest>
#include <QtEndian>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

struct Resource
{
    int type = 0;        // numeric type, or 0 when named
    QString typeName;
    int id = 0;          // numeric name, or 0 when named
    QString name;
    int language = 0;
    QByteArray data;
};

// One type or name field of a .res entry header: 0xFFFF and a number, or a
// zero-terminated UTF-16 string.
int readNameOrId(const QByteArray &res, int &pos, QString &name)
{
    auto word = [&](int at) { return qFromLittleEndian<quint16>(res.constData() + at); };
    if (word(pos) == 0xFFFF) {
        const int id = word(pos + 2);
        pos += 4;
        return id;
    }
    while (word(pos) != 0) {
        name += QChar(word(pos));
        pos += 2;
    }
    pos += 2;
    return 0;
}

QList<Resource> parseRes(const QByteArray &res)
{
    QList<Resource> list;
    int pos = 0;
    while (pos + 8 <= res.size()) {
        const int start = pos;
        const auto dataSize = qFromLittleEndian<quint32>(res.constData() + pos);
        const auto headerSize = qFromLittleEndian<quint32>(res.constData() + pos + 4);
        pos += 8;
        Resource r;
        r.type = readNameOrId(res, pos, r.typeName);
        r.id = readNameOrId(res, pos, r.name);
        pos = (pos + 3) & ~3;
        r.language = qFromLittleEndian<quint16>(res.constData() + pos + 6);
        r.data = res.mid(int(start + headerSize), int(dataSize));
        if (dataSize > 0)
            list << r;
        pos = (int(start + headerSize + dataSize) + 3) & ~3;
    }
    return list;
}

QByteArray readAll(const char *path)
{
    QFile file(QString::fromLocal8Bit(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

#ifdef BRASK_EXE_FILE
BOOL CALLBACK onLanguage(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR list)
{
    Resource r;
    r.type = int(reinterpret_cast<quintptr>(type));
    if (IS_INTRESOURCE(name))
        r.id = int(reinterpret_cast<quintptr>(name));
    else
        r.name = QString::fromWCharArray(name);
    r.language = language;
    const HRSRC found = FindResourceExW(module, type, name, language);
    r.data = QByteArray(static_cast<const char *>(LockResource(LoadResource(module, found))),
                        int(SizeofResource(module, found)));
    reinterpret_cast<QList<Resource> *>(list)->append(r);
    return TRUE;
}

BOOL CALLBACK onName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR list)
{
    return EnumResourceLanguagesW(module, type, name, onLanguage, list);
}

// Every icon, icon group and manifest of the program, in the order of the
// .res file, as Windows' own loader finds them.
QList<Resource> loadExe(const char *path)
{
    QList<Resource> list;
    const HMODULE module = LoadLibraryExW(reinterpret_cast<const wchar_t *>(QString::fromLocal8Bit(path).utf16()),
                                          nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module)
        return list;
    for (const LPCWSTR type : {RT_ICON, RT_GROUP_ICON, RT_MANIFEST})
        EnumResourceNamesW(module, type, onName, reinterpret_cast<LONG_PTR>(&list));
    FreeLibrary(module);
    return list;
}
#endif

} // namespace

class tst_WinResources : public QObject
{
    Q_OBJECT

private slots:
    void resources_data();
    void resources();
    void manifest();
};

void tst_WinResources::resources_data()
{
    QTest::addColumn<QList<Resource>>("list");
    QTest::addColumn<QByteArray>("program"); // the executable's bytes, if any
    QTest::newRow("compiled script") << parseRes(readAll(BRASK_RES_FILE)) << QByteArray();
#ifdef BRASK_EXE_FILE
    QTest::newRow("built program") << loadExe(BRASK_EXE_FILE) << readAll(BRASK_EXE_FILE);
#endif
}

void tst_WinResources::resources()
{
    QFETCH(QList<Resource>, list);
    QFETCH(QByteArray, program);
    if (!program.isEmpty()) {
        // A GUI program: Windows opens no console window for it.
        const auto peHeader = qFromLittleEndian<quint32>(program.constData() + 0x3c);
        QCOMPARE(program.mid(int(peHeader), 4), QByteArray("PE\0\0", 4));
        const int optionalHeader = int(peHeader) + 4 + 20;
        QCOMPARE(qFromLittleEndian<quint16>(program.constData() + optionalHeader + 68), quint16(2));
    }
    QCOMPARE(list.size(), 3);
    const QByteArray ico = readAll(BRASK_ICON_FILE);
    QCOMPARE(ico.size(), 3262);

    const Resource &icon = list[0];
    QCOMPARE(icon.type, 3);
    QCOMPARE(icon.id, 1);
    QCOMPARE(icon.language, 1033);
    QCOMPARE(icon.data.size(), 3240);
    QCOMPARE(icon.data, ico.mid(22));

    const Resource &group = list[1];
    QCOMPARE(group.type, 14);
    QCOMPARE(group.name, QStringLiteral("IDI_ICON1"));
    QCOMPARE(group.language, 1033);
    const QByteArray expectedGroup("\0\0\1\0\1\0"           // reserved, type 1, one entry
                                   "\x20\x20\0\0\1\0\x18\0" // 32 x 32, no palette, 1 plane, 24 bits
                                   "\xa8\x0c\0\0\1\0",      // 3,240 bytes, icon number 1
                                   20);
    QCOMPARE(group.data, expectedGroup);

    const Resource &manifest = list[2];
    QCOMPARE(manifest.type, 24);
    QCOMPARE(manifest.id, 1);
    QCOMPARE(manifest.language, 1033);
    QCOMPARE(manifest.data.size(), 346);
    QCOMPARE(manifest.data, readAll(BRASK_MANIFEST_FILE));
}

void tst_WinResources::manifest()
{
    const QByteArray xml = readAll(BRASK_MANIFEST_FILE);
    QCOMPARE(xml.size(), 346);
    QVERIFY(!xml.startsWith("<?xml"));
    QVERIFY(xml.startsWith("<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"));
    QCOMPARE(xml.count('\n'), xml.count("\r\n"));
    QVERIFY(xml.contains("<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">"));
    QVERIFY(xml.contains("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\">"
                         "</requestedExecutionLevel>"));
    QVERIFY(!xml.contains("dependency"));
    QVERIFY(!xml.contains("compatibility"));
    QVERIFY(!xml.contains("dpiAware"));
    QVERIFY(xml.endsWith("</assembly>"));
}

QTEST_APPLESS_MAIN(tst_WinResources)
#include "tst_winresources.moc"
