#include "helpwindows/sysinfo.h"
#include "helpwindows/tips.h"
#include "platform/fakes/fakeservices.h"

#include "support/testmain.h"
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace korvane;
using platform::RegistryRoot;
using platform::RegistryValue;

namespace {
const QString kMsinfoKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
const QString kLocationKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location");

RegistryValue sz(const QByteArray& text)
{
    return {1, text + '\0'};
}
} // namespace

class TestHelpWindowsLogic : public QObject {
    Q_OBJECT
private slots:
    void splitTips_data();
    void splitTips();
    void tipCursorWraps();
    void decodeRegistryValue_data();
    void decodeRegistryValue();
    void getKeyValue();
    void startSysInfo_data();
    void startSysInfo();
};

void TestHelpWindowsLogic::splitTips_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("tips");
    QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << QStringList{"a", "b"};
    QTest::newRow("last line without break") << QByteArray("a\r\nb") << QStringList{"a", "b"};
    QTest::newRow("lone CR") << QByteArray("a\rb\r") << QStringList{"a", "b"};
    QTest::newRow("lone LF (edited on Linux)") << QByteArray("a\nb\n") << QStringList{"a", "b"};
    QTest::newRow("LF CR is two breaks") << QByteArray("a\n\rb") << QStringList{"a", "", "b"};
    QTest::newRow("empty line is a tip") << QByteArray("a\r\n\r\nb\r\n") << QStringList{"a", "", "b"};
    QTest::newRow("only a break") << QByteArray("\r\n") << QStringList{""};
    QTest::newRow("nothing") << QByteArray() << QStringList();
    QTest::newRow("spaces kept") << QByteArray(" a , b \r\n") << QStringList{" a , b "};
    QTest::newRow("utf-8") << QByteArray("您知道吗\r\n") << QStringList{"您知道吗"};
    QTest::newRow("gbk") << QByteArray("\xc4\xfa\xd6\xaa\xb5\xc0\xc2\xf0\r\nKorvane")
                         << QStringList{"您知道吗", "Korvane"};
}

void TestHelpWindowsLogic::splitTips()
{
    QFETCH(QByteArray, bytes);
    QTEST(helpwindows::splitTips(bytes), "tips");
}

void TestHelpWindowsLogic::tipCursorWraps()
{
    helpwindows::TipCursor empty;
    QCOMPARE(empty.advance(), QString());
    QCOMPARE(empty.advance(), QString());

    helpwindows::TipCursor cursor;
    QCOMPARE(cursor.current(), 0);
    cursor.append({"1", "2", "3"});
    QCOMPARE(cursor.advance(), QStringLiteral("1")); // 0 -> wraps to 1
    QCOMPARE(cursor.advance(), QStringLiteral("2"));
    QCOMPARE(cursor.advance(), QStringLiteral("3"));
    QCOMPARE(cursor.advance(), QStringLiteral("1"));
    QCOMPARE(cursor.current(), 1);
}

void TestHelpWindowsLogic::decodeRegistryValue_data()
{
    QTest::addColumn<quint32>("type");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::newRow("string with terminating zero") << 1u << QByteArray("C:\\msinfo32.exe\0", 16) << "old"
                                                  << "C:\\msinfo32.exe";
    QTest::newRow("string without zero") << 1u << QByteArray("abc") << ""
                                         << "abc";
    QTest::newRow("only one zero dropped") << 1u << QByteArray("ab\0\0", 4) << "" << QString::fromLatin1("ab\0", 3);
    QTest::newRow("empty string") << 1u << QByteArray("\0", 1) << "old"
                                  << "";
    QTest::newRow("dword 258") << 4u << QByteArray("\x02\x01\x00\x00", 4) << ""
                               << "&h012";
    QTest::newRow("dword 0x12345678") << 4u << QByteArray("\x78\x56\x34\x12", 4) << ""
                                      << "&h12345678";
    QTest::newRow("dword 0xAB0C") << 4u << QByteArray("\x0c\xab\x00\x00", 4) << ""
                                  << "&h0ABC";
    QTest::newRow("dword 0") << 4u << QByteArray(4, '\0') << ""
                             << "&h000";
    QTest::newRow("dword appends to the old text") << 4u << QByteArray("\x02\x01\x00\x00", 4) << "x"
                                                   << "&hx012";
    QTest::newRow("binary leaves text") << 3u << QByteArray("\x01\x02", 2) << "kept"
                                        << "kept";
    QTest::newRow("expand string leaves text") << 2u << QByteArray("%x%\0", 4) << "kept"
                                               << "kept";
}

void TestHelpWindowsLogic::decodeRegistryValue()
{
    QFETCH(quint32, type);
    QFETCH(QByteArray, data);
    QFETCH(QString, before);
    QString text = before;
    platform::decodeRegistryValue({type, data}, text);
    QTEST(text, "after");
}

void TestHelpWindowsLogic::getKeyValue()
{
    platform::FakeRegistry registry;
    registry.values.insert(kMsinfoKey + "\\PATH", sz("/opt/msinfo"));
    registry.values.insert(kMsinfoKey + "\\Binary", {3, "\x01"});

    QString text = "old";
    QVERIFY(helpwindows::GetKeyValue(registry, RegistryRoot::LocalMachine, kMsinfoKey, "PATH", text));
    QCOMPARE(text, QStringLiteral("/opt/msinfo"));
    text = "old";
    QVERIFY(!helpwindows::GetKeyValue(registry, RegistryRoot::LocalMachine, kMsinfoKey, "Missing", text));
    QCOMPARE(text, QString());
    text = "old";
    QVERIFY(helpwindows::GetKeyValue(registry, RegistryRoot::LocalMachine, kMsinfoKey, "Binary", text));
    QCOMPARE(text, QStringLiteral("old"));
}

void TestHelpWindowsLogic::startSysInfo_data()
{
    QTest::addColumn<bool>("pathValue");     // "PATH" names /opt/msinfo/bin/msinfo32
    QTest::addColumn<bool>("pathStarts");    // starting that program succeeds
    QTest::addColumn<bool>("locationValue"); // "MSINFO" names the temporary folder
    QTest::addColumn<bool>("exeInFolder");   // the folder holds MSINFO32.EXE
    QTest::addColumn<QString>("started");    // "" none; "@" is the temporary folder
    QTest::addColumn<bool>("available");
    QTest::addColumn<QStringList>("queries");
    const QString path = kMsinfoKey + "\\PATH";
    const QString location = kLocationKey + "\\MSINFO";
    QTest::newRow("neither") << false << false << false << false << "" << false << QStringList{path, location};
    QTest::newRow("PATH") << true << true << true << true << "/opt/msinfo/bin/msinfo32" << true << QStringList{path};
    QTest::newRow("PATH fails, location not read")
        << true << false << true << true << "/opt/msinfo/bin/msinfo32" << false << QStringList{path};
    QTest::newRow("location with the program")
        << false << false << true << true << "@/MSINFO32.EXE" << true << QStringList{path, location};
    QTest::newRow("location without the program")
        << false << false << true << false << "" << false << QStringList{path, location};
}

void TestHelpWindowsLogic::startSysInfo()
{
    QFETCH(bool, pathValue);
    QFETCH(bool, pathStarts);
    QFETCH(bool, locationValue);
    QFETCH(bool, exeInFolder);
    QFETCH(QString, started);
    QFETCH(bool, available);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (exeInFolder) {
        QFile exe(dir.filePath("MSINFO32.EXE"));
        QVERIFY(exe.open(QIODevice::WriteOnly));
    }
    platform::FakeRegistry registry;
    platform::FakeProgramStarter programs;
    platform::FaultyFileSystem fs;
    if (pathValue)
        registry.values.insert(kMsinfoKey + "\\PATH", sz("/opt/msinfo/bin/msinfo32"));
    if (!pathStarts)
        programs.failing << "/opt/msinfo/bin/msinfo32";
    if (locationValue)
        registry.values.insert(kLocationKey + "\\MSINFO", sz(dir.path().toUtf8()));

    QCOMPARE(helpwindows::startSysInfo(registry, fs, programs), available);
    QTEST(registry.queries, "queries");
    if (started.isEmpty()) {
        QVERIFY(programs.calls.isEmpty());
    } else {
        QCOMPARE(programs.calls.size(), 1);
        QCOMPARE(programs.calls[0].program, started.replace('@', dir.path()));
        QVERIFY(programs.calls[0].arguments.isEmpty());
        QVERIFY(programs.calls[0].detached);
    }
}

KORVANE_TEST_GUILESS_MAIN(TestHelpWindowsLogic)
#include "tst_helpwindows_logic.moc"
