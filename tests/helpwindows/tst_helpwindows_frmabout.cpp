#include "helpwindows/frmabout.h"
#include "platform/fakes/fakeservices.h"

#include "support/testmain.h"
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace korvane;
using helpwindows::frmAbout;

namespace {
const QString kMsinfoPath = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO\\PATH");
const QString kLocation = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location\\MSINFO");

QString labelText(frmAbout& about, const char* name)
{
    auto* label = about.findChild<QLabel*>(name);
    return label ? label->text() : QStringLiteral("<no %1>").arg(QLatin1String(name));
}
} // namespace

class TestFrmAbout : public QObject {
    Q_OBJECT
private slots:
    void captionsAfterLoad();
    void centredOverMainWindow();
    void sysInfoButton_data();
    void sysInfoButton();
    void linkOpensThePage();
    void okCloses();
};

void TestFrmAbout::captionsAfterLoad()
{
    platform::FakeServices fake;
    frmAbout about(fake.services());
    QCOMPARE(about.objectName(), QStringLiteral("frmAbout"));
    QCOMPARE(about.windowTitle(), QStringLiteral("关于 Korvane"));
    QCOMPARE(labelText(about, "lblTitle"), QStringLiteral("Korvane"));
    QCOMPARE(labelText(about, "lblVersion"), QStringLiteral("版本 1.0.0"));
    QCOMPARE(labelText(about, "lblDescription"), QStringLiteral("精巧的文件管理工具,批量执行各种文件操作,省时省心!"));
    QCOMPARE(labelText(about, "Label2"), QStringLiteral("我的博客"));
    QCOMPARE(about.findChild<QPushButton*>("cmdOK")->text(), QStringLiteral("确定"));
    QCOMPARE(about.findChild<QPushButton*>("cmdSysInfo")->text(), QStringLiteral("系统信息(&S)"));
    QVERIFY(!about.findChild<QLabel*>("Image1")->pixmap().isNull());
    QCOMPARE(about.size(), QSize(6435 / 15, 4650 / 15));
    QVERIFY(about.minimumSize() == about.maximumSize()); // fixed frame
}

void TestFrmAbout::centredOverMainWindow()
{
    platform::FakeServices fake;
    QWidget main;
    main.setGeometry(100, 80, 700, 500);
    fake.services().mainWindow = &main;
    frmAbout about(fake.services());
    const QRect theirs = main.frameGeometry();
    const auto centred = [&] {
        const QRect mine = about.frameGeometry();
        return qAbs(mine.center().x() - theirs.center().x()) <= 1 && qAbs(mine.center().y() - theirs.center().y()) <= 1;
    };
    QVERIFY(centred());
    // Once shown, it has a frame: centred again by its outer size, not left half a title bar low.
    main.show();
    about.show();
    QTRY_VERIFY(about.frameGeometry() != about.geometry());
    QTRY_VERIFY(centred());
}

void TestFrmAbout::sysInfoButton_data()
{
    QTest::addColumn<bool>("path");
    QTest::addColumn<bool>("location");
    QTest::addColumn<bool>("exe");
    QTest::addColumn<bool>("failStart");
    QTest::addColumn<QString>("started"); // "@": the temporary folder
    QTest::addColumn<QStringList>("messages");
    const QStringList unavailable{"此时系统信息不可用"};
    QTest::newRow("no registry values") << false << false << false << false << "" << unavailable;
    QTest::newRow("PATH") << true << true << true << false << "/usr/bin/msinfo" << QStringList();
    QTest::newRow("PATH cannot start") << true << true << true << true << "/usr/bin/msinfo" << unavailable;
    QTest::newRow("location holds MSINFO32.EXE") << false << true << true << false << "@/MSINFO32.EXE" << QStringList();
    QTest::newRow("location lacks it") << false << true << false << false << "" << unavailable;
}

void TestFrmAbout::sysInfoButton()
{
    QFETCH(bool, path);
    QFETCH(bool, location);
    QFETCH(bool, exe);
    QFETCH(bool, failStart);
    QFETCH(QString, started);
    QFETCH(QStringList, messages);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (exe) {
        QFile file(dir.filePath("MSINFO32.EXE"));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    platform::FakeServices fake;
    if (path)
        fake.registry.values.insert(kMsinfoPath, {1, QByteArray("/usr/bin/msinfo\0", 16)});
    if (location)
        fake.registry.values.insert(kLocation, {1, dir.path().toUtf8() + '\0'});
    if (failStart)
        fake.programs.failing << "/usr/bin/msinfo";

    frmAbout about(fake.services());
    QTest::mouseClick(about.findChild<QPushButton*>("cmdSysInfo"), Qt::LeftButton);

    QCOMPARE(fake.messages.texts(), messages);
    for (const auto& shown : fake.messages.shown)
        QCOMPARE(shown.icon, platform::MessageIcon::None);
    if (started.isEmpty()) {
        QVERIFY(fake.programs.calls.isEmpty());
    } else {
        QCOMPARE(fake.programs.calls.size(), 1);
        QCOMPARE(fake.programs.calls[0].program, started.replace('@', dir.path()));
    }
    // With PATH present the second key is never read.
    QCOMPARE(fake.registry.queries.contains(kLocation), !path);
}

void TestFrmAbout::linkOpensThePage()
{
    platform::FakeServices fake;
    fake.desktop.openSucceeds = false; // no browser: the user is told
    frmAbout about(fake.services());
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QTest::mouseClick(about.findChild<QLabel*>("Label2"), Qt::LeftButton);
    QCOMPARE(fake.desktop.opened, QList<QUrl>{QUrl(QStringLiteral("https://korvane.github.io/"))});
    QVERIFY(fake.desktop.opened.first().isValid());
    QCOMPARE(fake.messages.shown.size(), 1);
    QVERIFY(fake.messages.shown[0].text.startsWith(QStringLiteral("无法启动浏览器")));
}

void TestFrmAbout::okCloses()
{
    platform::FakeServices fake;
    frmAbout about(fake.services());
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QTest::keyClick(&about, Qt::Key_Return);
    QVERIFY(!about.isVisible());
    about.show();
    QTest::keyClick(&about, Qt::Key_Escape);
    QVERIFY(!about.isVisible());
}

KORVANE_TEST_MAIN(TestFrmAbout)
#include "tst_helpwindows_frmabout.moc"
