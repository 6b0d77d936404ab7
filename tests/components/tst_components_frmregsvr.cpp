#include "components/frmregsvr.h"
#include "components/registration.h"
#include "platform/fakes/fakeservices.h"
#include "platform/qtprogramstarter.h"
#include "platform/widgets/placement.h"
#include "support/pesynth.h"
#include "support/runs.h"
#include "support/testtree.h"

#include "support/testmain.h"
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

using korvane::testsupport::waitForRuns;
using namespace korvane;
using components::Frmregsvr;
using platform::MessageIcon;

namespace {

const QString kWine = QStringLiteral("/opt/wine/bin/wine");

/// The Wine of this machine as the window finds it (its library folders are real).
components::WineEnvironment thisWine()
{
    platform::LocalFileSystem fs;
    platform::FakeProgramStarter programs;
    programs.executables.insert("wine", kWine);
    return components::detectWine(fs, programs);
}

/// Libraries get an image this machine's Wine can register; other files stay empty.
void makeFiles(const QString& folder, const QStringList& names)
{
    const bool is64 = !thisWine().run32;
    for (const QString& name : names)
        testsupport::writeFile(folder + '/' + name,
                               components::isComponentLibrary(QFile::encodeName(name))
                                   ? testsupport::syntheticPe(is64, {"DllRegisterServer"}, {"KERNEL32.dll"})
                                   : QByteArray());
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

/// The Windows paths handed to the registrar, one per start.
QStringList registeredPaths(const platform::FakeProgramStarter& programs)
{
    QStringList paths;
    for (const auto& call : programs.calls)
        paths << call.arguments.last();
    return paths;
}

QPushButton* button(QWidget& window, const QString& name)
{
    auto* b = window.findChild<QPushButton*>(name);
    if (!b)
        qWarning("no button %s", qPrintable(name));
    return b;
}

void click(QWidget& window, const QString& name)
{
    QPushButton* b = button(window, name);
    QVERIFY(b);
    QTest::mouseClick(b, Qt::LeftButton);
    QVERIFY(waitForRuns());
}

} // namespace

class TestFrmregsvr : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void layout_data();
    void layout();
    void centredOverMainWindow();
    void registerButtons_data();
    void registerButtons();
    void cancelDoesNothing();
    void chosenFolderIsNotWrittenIntoText4();
    void command5Problems_data();
    void command5Problems();
    void wineFallback();
    void noRegistrar();
    void failedStartsAreNotCompletion();
    void command3Closes();
    void realRun_data();
    void realRun();

private:
    QByteArray m_path;
    QTemporaryDir m_prefix;
};

void TestFrmregsvr::initTestCase()
{
    m_path = qgetenv("PATH");
    // A prepared prefix of our own: nothing here may touch the user's, nor run wineboot.
    QFile reg(m_prefix.filePath("system.reg"));
    QVERIFY(reg.open(QIODevice::WriteOnly));
    qputenv("WINEPREFIX", QFile::encodeName(m_prefix.path()));
    const components::WineEnvironment wine = thisWine();
    if (!wine.run32 && !wine.run64)
        QSKIP("Wine's libraries are not installed");
}

void TestFrmregsvr::cleanup()
{
    qputenv("PATH", m_path);
}

void TestFrmregsvr::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twipsRect");
    QTest::newRow("Image1") << "Image1"
                            << "" << QRect(120, 0, 1800, 1905);
    QTest::newRow("Command1") << "Command1"
                              << "选择一个目录注册" << QRect(2160, 120, 1695, 375);
    QTest::newRow("Command2") << "Command2"
                              << "当前目录注册" << QRect(2160, 1020, 1695, 375);
    QTest::newRow("Command5") << "Command5"
                              << "注册" << QRect(2160, 1920, 1695, 375);
    QTest::newRow("Text4") << "Text4"
                           << "" << QRect(120, 1965, 1800, 270);
    QTest::newRow("Command3") << "Command3"
                              << "关闭" << QRect(1200, 2400, 1695, 375);
}

void TestFrmregsvr::layout()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, twipsRect);
    platform::FakeServices fake;
    Frmregsvr window(fake.services());
    QCOMPARE(window.objectName(), QStringLiteral("Frmregsvr"));
    QCOMPARE(window.windowTitle(), QStringLiteral("DLL,OCX批量注册工具"));
    QCOMPARE(window.size(), QSize(platform::twips(3945), platform::twips(2850)));

    QWidget* control = window.findChild<QWidget*>(name);
    QVERIFY(control);
    using platform::twips;
    QCOMPARE(control->geometry(),
             QRect(twips(twipsRect.x()), twips(twipsRect.y()), twips(twipsRect.width()), twips(twipsRect.height())));
    if (auto* b = qobject_cast<QPushButton*>(control))
        QCOMPARE(b->text(), caption);
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        QVERIFY(edit->text().isEmpty());
    if (auto* image = qobject_cast<QLabel*>(control)) {
        QVERIFY(image->hasScaledContents());
        const QImage picture = image->pixmap().toImage();
        QVERIFY(!picture.isNull());
        // A picture, not a blank: it has many colours.
        QSet<QRgb> colours;
        for (int y = 0; y < picture.height(); y += 4)
            for (int x = 0; x < picture.width(); x += 4)
                colours.insert(picture.pixel(x, y));
        QVERIFY2(colours.size() > 50, qPrintable(QString::number(colours.size())));
    }
}

void TestFrmregsvr::centredOverMainWindow()
{
    platform::FakeServices fake;
    QWidget main;
    main.setGeometry(200, 150, 600, 400);
    fake.services().mainWindow = &main;
    Frmregsvr window(fake.services());
    const QRect frame = window.frameGeometry();
    QCOMPARE(frame.center().x() / 2, main.frameGeometry().center().x() / 2);
    QVERIFY(qAbs(frame.left() - (main.frameGeometry().left() + 300 - frame.width() / 2)) <= 1);
    QVERIFY(qAbs(frame.top() - (main.frameGeometry().top() + 200 - frame.height() / 2)) <= 1);
}

void TestFrmregsvr::registerButtons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("registered");
    QTest::addColumn<QStringList>("messages");

    const QStringList mixed{"a.dll", "b.OCX", "c.txt"};
    const QStringList textOnly{"c.txt", "notes.md"};
    const QStringList onlySubfolder{"sub/inner.dll"};
    const QString done1 = "所选目录全部dll或ocx文件注册完毕!";
    const QString done2 = "当前目录全部dll或ocx文件注册完毕!";
    const QString done5 = "该目录全部dll或ocx文件注册完毕!";

    QTest::newRow("1 mixed") << "Command1" << mixed << QStringList{"a.dll", "b.OCX"} << QStringList{done1};
    QTest::newRow("1 text only") << "Command1" << textOnly << QStringList() << QStringList{done1};
    QTest::newRow("1 empty") << "Command1" << QStringList() << QStringList() << QStringList{"所选目录下面没有文件!"};
    QTest::newRow("1 subfolders never looked at")
        << "Command1" << onlySubfolder << QStringList() << QStringList{"所选目录下面没有文件!"};
    QTest::newRow("2 mixed") << "Command2" << mixed << QStringList{"a.dll", "b.OCX"} << QStringList{done2};
    QTest::newRow("2 text only") << "Command2" << textOnly << QStringList() << QStringList{done2};
    QTest::newRow("2 empty is silent") << "Command2" << QStringList() << QStringList() << QStringList();
    QTest::newRow("5 mixed") << "Command5" << mixed << QStringList{"a.dll", "b.OCX"} << QStringList{done5};
    QTest::newRow("5 text only") << "Command5" << textOnly << QStringList() << QStringList{done5};
    QTest::newRow("5 empty") << "Command5" << QStringList() << QStringList() << QStringList{"该目录下面没有文件!"};
    QTest::newRow("5 xdll counts") << "Command5" << QStringList{"readme.xdll", "x.ocx.txt"}
                                   << QStringList{"readme.xdll"} << QStringList{done5};
    QTest::newRow("5 awkward names") << "Command5" << QStringList{"My Control.ocx", "-s.dll", "组件.DLL"}
                                     << QStringList{"My Control.ocx", "-s.dll", "组件.DLL"} << QStringList{done5};
}

void TestFrmregsvr::registerButtons()
{
    QFETCH(QString, button);
    QFETCH(QStringList, files);
    QFETCH(QStringList, registered);
    QFETCH(QStringList, messages);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    makeFiles(dir.path(), files);
    platform::FakeServices fake(dir.path());
    fake.programs.executables.insert("wine", kWine);
    Frmregsvr window(fake.services());
    if (button == "Command1")
        fake.folders.answers.enqueue(dir.path());
    else if (button == "Command5")
        window.findChild<QLineEdit*>("Text4")->setText(dir.path());

    click(window, button);

    QStringList expected;
    for (const QString& name : registered)
        expected << platform::wineWindowsPath(dir.path() + '/' + name);
    QCOMPARE(sorted(registeredPaths(fake.programs)), sorted(expected));
    for (const auto& call : fake.programs.calls) {
        QCOMPARE(call.program, kWine);
        QCOMPARE(call.arguments.size(), 3);
        QCOMPARE(call.arguments[1], QStringLiteral("/s"));
        QVERIFY(!call.detached); // waited for
    }
    QCOMPARE(fake.messages.texts(), messages);
    for (const auto& shown : fake.messages.shown)
        QCOMPARE(shown.icon, MessageIcon::None);
}

void TestFrmregsvr::cancelDoesNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    makeFiles(dir.path(), {"a.dll"});
    platform::FakeServices fake(dir.path());
    fake.programs.executables.insert("wine", kWine);
    Frmregsvr window(fake.services());
    window.findChild<QLineEdit*>("Text4")->setText("typed");

    click(window, "Command1");

    QCOMPARE(fake.folders.prompts, QStringList{"请选择包含想注册的dll,ocx文件的文件夹："});
    QVERIFY(fake.programs.calls.isEmpty());
    QVERIFY(fake.messages.shown.isEmpty());
    QCOMPARE(window.findChild<QLineEdit*>("Text4")->text(), QStringLiteral("typed"));
}

void TestFrmregsvr::chosenFolderIsNotWrittenIntoText4()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    makeFiles(dir.path(), {"a.dll"});
    platform::FakeServices fake;
    fake.programs.executables.insert("wine", kWine);
    fake.folders.answers.enqueue(dir.path());
    Frmregsvr window(fake.services());
    click(window, "Command1");
    QCOMPARE(fake.programs.calls.size(), 1);
    QVERIFY(window.findChild<QLineEdit*>("Text4")->text().isEmpty());
}

void TestFrmregsvr::command5Problems_data()
{
    QTest::addColumn<QString>("typed"); // "@" stands for the temporary folder
    QTest::addColumn<QString>("message");
    QTest::newRow("empty box") << ""
                               << "请先输入要注册的目录!";
    QTest::newRow("missing folder") << "@/missing"
                                    << "目录\"@/missing\"不存在!";
    QTest::newRow("a file, not a folder") << "@/a.dll"
                                          << "目录\"@/a.dll\"不存在!";
    QTest::newRow("not trimmed") << "@ "
                                 << "目录\"@ \"不存在!";
}

void TestFrmregsvr::command5Problems()
{
    QFETCH(QString, typed);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    makeFiles(dir.path(), {"a.dll"});
    platform::FakeServices fake;
    fake.programs.executables.insert("wine", kWine);
    Frmregsvr window(fake.services());
    window.findChild<QLineEdit*>("Text4")->setText(typed.replace('@', dir.path()));

    click(window, "Command5");

    QVERIFY(fake.programs.calls.isEmpty());
    QCOMPARE(fake.messages.texts(), QStringList{message.replace('@', dir.path())});
    QCOMPARE(fake.messages.shown[0].icon, MessageIcon::None);
}

void TestFrmregsvr::wineFallback()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    makeFiles(dir.path(), {"a.dll", "b.txt"});
    platform::FakeServices fake(dir.path());
    fake.programs.executables.insert("wine", kWine);
    Frmregsvr window(fake.services());
    click(window, "Command2");

    const components::WineEnvironment wine = thisWine();
    QCOMPARE(fake.programs.calls.size(), 1);
    QCOMPARE(fake.programs.calls[0].program, kWine);
    QCOMPARE(fake.programs.calls[0].arguments,
             components::registrationArguments(wine, !wine.run32, dir.path() + "/a.dll"));
    QCOMPARE(fake.messages.texts(), QStringList{"当前目录全部dll或ocx文件注册完毕!"});
}

void TestFrmregsvr::noRegistrar()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    makeFiles(dir.path(), {"a.dll"});
    platform::FakeServices fake(dir.path());
    Frmregsvr window(fake.services());
    click(window, "Command2");
    QVERIFY(fake.programs.calls.isEmpty());
    QCOMPARE(fake.messages.texts(), QStringList{"找不到wine, 无法注册dll或ocx文件!请安装wine(32位组件还需要wine32)。"});
    QCOMPARE(fake.messages.shown[0].icon, MessageIcon::None);
}

void TestFrmregsvr::failedStartsAreNotCompletion()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    makeFiles(dir.path(), {"a.dll", "b.dll"});
    QFile text(dir.filePath("c.dll"));
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("text") == 4);
    text.close();
    platform::FakeServices fake(dir.path());
    fake.programs.executables.insert("wine", kWine);
    fake.programs.onRun = [](const platform::FakeProgramStarter::Call& call) {
        return platform::RunOutcome{true, true, call.arguments.last().endsWith("b.dll") ? 5 : 0, {}, {}};
    };
    Frmregsvr window(fake.services());
    click(window, "Command2");
    QCOMPARE(fake.programs.calls.size(), 2); // not the text file
    QCOMPARE(fake.messages.shown.size(), 1);
    const auto& shown = fake.messages.shown[0];
    QVERIFY2(shown.text.startsWith("已注册1个文件, 以下2个文件未能注册:"), qPrintable(shown.text));
    QVERIFY(!shown.text.contains("注册完毕"));
    // Those refused before starting come first.
    QCOMPARE(shown.details, dir.path() + "/c.dll: 不是Windows程序库\n" + dir.path() +
                                "/b.dll: 组件的DllRegisterServer执行失败(退出码 5)");
}

void TestFrmregsvr::command3Closes()
{
    platform::FakeServices fake;
    Frmregsvr window(fake.services());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    click(window, "Command3");
    QVERIFY(!window.isVisible());
}

void TestFrmregsvr::realRun_data()
{
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("registered") << 0 << "该目录全部dll或ocx文件注册完毕!";
    QTest::newRow("DllRegisterServer fails") << 5 << "已注册0个文件, 以下3个文件未能注册:";
}

void TestFrmregsvr::realRun()
{
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString bin = dir.path() + "/bin";
    const QString calls = dir.path() + "/calls";
    const QString libs = dir.path() + "/my libs";
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(QDir().mkpath(calls));
    makeFiles(libs, {"a.dll", "My Control.ocx", "-u.dll", "notes.txt"});

    // Records its arguments NUL-separated, one file per run, renamed into place when complete.
    QFile recorder(bin + "/wine");
    QVERIFY(recorder.open(QIODevice::WriteOnly));
    recorder.write("#!/bin/sh\n"
                   "out='" +
                   QFile::encodeName(calls) +
                   "'\n"
                   "printf '%s\\0' \"$@\" > \"$out/$$.tmp\" && /bin/mv \"$out/$$.tmp\" \"$out/$$.args\"\n"
                   "exit " +
                   QByteArray::number(exitCode) + "\n");
    recorder.close();
    QVERIFY(recorder.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    // Only our recorder is found, whatever the machine has installed.
    qputenv("PATH", QFile::encodeName(bin));

    platform::FakeServices fake;
    platform::QtProgramStarter real;
    platform::Services services{fake.messages, fake.folders, fake.files,    fake.input, fake.settings, real,
                                fake.desktop,  fake.fs,      fake.registry, QString(),  nullptr};
    Frmregsvr window(services);
    window.findChild<QLineEdit*>("Text4")->setText(libs);
    click(window, "Command5");
    QCOMPARE(fake.messages.shown.size(), 1);
    QVERIFY2(fake.messages.shown[0].text.startsWith(message), qPrintable(fake.messages.shown[0].text));

    // Waited for: every registration has ended when the message is shown.
    const QDir callDir(calls);
    QCOMPARE(callDir.entryList({"*.args"}, QDir::Files).size(), 3);
    QStringList recorded;
    for (const QString& name : callDir.entryList({"*.args"}, QDir::Files)) {
        QFile file(callDir.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList arguments;
        for (const QByteArray& arg : file.readAll().split('\0'))
            arguments << QString::fromUtf8(arg);
        arguments.removeLast(); // after the last NUL
        recorded << arguments.join('|');
    }
    QStringList expected;
    const components::WineEnvironment wine = thisWine();
    for (const QString name : {"a.dll", "My Control.ocx", "-u.dll"})
        expected << components::registrationArguments(wine, !wine.run32, libs + '/' + name).join('|');
    QCOMPARE(sorted(recorded), sorted(expected));
}

KORVANE_TEST_MAIN(TestFrmregsvr)
#include "tst_components_frmregsvr.moc"
