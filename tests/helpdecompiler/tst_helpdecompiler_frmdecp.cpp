// The decompiler window: its form, the folder boxes and "存放到源目录", input checks, and whole
// runs over folders of help files compiled with chmcmd.
#include "chmfixture.h"
#include "helpdecompiler/decompilerun.h"
#include "helpdecompiler/extractprocess.h"
#include "helpdecompiler/frmdecp.h"
#include "platform/fakes/fakeservices.h"
#include "platform/localfilesystem.h"
#include "platform/qtprogramstarter.h"
#include "support/runs.h"
#include "support/testtree.h"

#include "support/testmain.h"
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMutex>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using korvane::testsupport::bytesOf;
using korvane::testsupport::TestTree;
using korvane::testsupport::waitForRuns;
using namespace korvane::helpdecompiler;
using namespace korvane::platform;

namespace {

/// The real starter, recording what each helper run was given.
class RecordingStarter final : public ProgramStarter {
public:
    QList<QByteArray> inputs;
    Status startDetached(const QString& program, const QStringList& arguments, const QString& folder) override
    {
        return m_real.startDetached(program, arguments, folder);
    }
    RunOutcome run(const QString& program, const QStringList& arguments, int timeoutMs, const QByteArray& standardInput,
                   qint64 keepOutput) override
    {
        m_mutex.lock(); // helpers run side by side
        inputs.append(standardInput.left(standardInput.indexOf('\0')));
        m_mutex.unlock();
        return m_real.run(program, arguments, timeoutMs, standardInput, keepOutput);
    }
    QString findExecutable(const QString& name) override { return m_real.findExecutable(name); }

private:
    QtProgramStarter m_real;
    QMutex m_mutex;
};

struct Harness {
    FakeServices fake;
    RecordingStarter programs;
    Services services{fake.messages, fake.folders,
                      fake.files,    fake.input,
                      fake.settings, programs,
                      fake.desktop,  fake.fs,
                      fake.registry, QCoreApplication::applicationDirPath(),
                      nullptr,       QCoreApplication::applicationDirPath()};
    Frmdecp window{services};

    template <typename T> T* control(const char* name) { return window.findChild<T*>(QString::fromLatin1(name)); }
    QLineEdit* text1() { return control<QLineEdit>("Text1"); }
};

} // namespace

class TestFrmdecp : public QObject {
    Q_OBJECT
private slots:
    void form_data();
    void form();
    void foldersChosen();
    void storeInSourceCopiesOnce();
    void normalizedTargets_data();
    void normalizedTargets();
    void emptyTargetRefused_data();
    void emptyTargetRefused();
    void missingTargetRefused();
    void folderWithoutHelpFiles();
    void missingHelperRefused();
    void runOverFolderTree();
    void runWithoutSubfoldersOrProjects();
    void sourceWalkedIntoTarget();
    void nonUtf8NamesInTheWalk();
    void sideBySideMatchesOneByOne();
    void stopSaysWhetherFoldersWereLeft_data();
    void stopSaysWhetherFoldersWereLeft();
    void summaryNamesTheFailures();

private:
    QString buildTree(const QString& root);
};

void TestFrmdecp::form_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("Label1") << "Label1"
                            << "源" << QRect(8, 8, 25, 17);
    QTest::newRow("Command4") << "Command4"
                              << "选择一个目录" << QRect(224, 0, 113, 25);
    QTest::newRow("Command5") << "Command5"
                              << "选择当前目录" << QRect(224, 36, 113, 25);
    QTest::newRow("Check1") << "Check1"
                            << "包含子文件夹" << QRect(24, 40, 113, 25);
    QTest::newRow("Label2") << "Label2"
                            << "至" << QRect(8, 72, 25, 17);
    QTest::newRow("Command1") << "Command1"
                              << "选择一个目录" << QRect(224, 72, 113, 25);
    QTest::newRow("Command2") << "Command2"
                              << "选择当前目录" << QRect(224, 104, 113, 25);
    QTest::newRow("Check2") << "Check2"
                            << "存放到源目录" << QRect(24, 112, 113, 25);
    QTest::newRow("Label3") << "Label3"
                            << "注:反编译产生的文件会自动放到以chm文件命名的子目录下" << QRect(24, 144, 312, 12);
    QTest::newRow("Check3") << "Check3"
                            << "生成hhp文件(Microsoft HTML Help Workshop工程文件)" << QRect(24, 168, 337, 25);
    QTest::newRow("Command3") << "Command3"
                              << "反编译" << QRect(56, 208, 81, 25);
    QTest::newRow("Command6") << "Command6"
                              << "关闭" << QRect(192, 208, 81, 25);
    QTest::newRow("Text2") << "Text2"
                           << "" << QRect(24, 24, 185, 18);
    QTest::newRow("Text1") << "Text1"
                           << "" << QRect(24, 88, 185, 18);
}

void TestFrmdecp::form()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);
    Harness h;
    QCOMPARE(h.window.objectName(), QStringLiteral("Frmdecp"));
    QCOMPARE(h.window.windowTitle(), QStringLiteral("chm批量反编译"));
    QCOMPARE(h.window.size(), QSize(348, 245));
    QWidget* widget = h.window.findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(widget->geometry(), geometry);
    QString text;
    if (auto* b = qobject_cast<QAbstractButton*>(widget))
        text = b->text();
    else if (auto* l = qobject_cast<QLabel*>(widget))
        text = l->text();
    else if (auto* e = qobject_cast<QLineEdit*>(widget))
        text = e->text();
    QCOMPARE(text, caption);
    QVERIFY(h.control<QCheckBox>("Check1")->isChecked());
    QVERIFY(!h.control<QCheckBox>("Check2")->isChecked());
    QVERIFY(h.control<QCheckBox>("Check3")->isChecked());
    QCOMPARE(h.control<QLabel>("Label3")->palette().color(QPalette::WindowText), QColor(0, 0, 0xC0));
}

void TestFrmdecp::foldersChosen()
{
    Harness h;
    h.fake.folders.answers.enqueue(QStringLiteral("/data/help"));
    h.fake.folders.answers.enqueue(QStringLiteral("/src/chm"));
    h.control<QPushButton>("Command1")->click();
    QCOMPARE(h.text1()->text(), QStringLiteral("/data/help"));
    h.control<QPushButton>("Command4")->click();
    QCOMPARE(h.control<QLineEdit>("Text2")->text(), QStringLiteral("/src/chm"));
    QCOMPARE(h.fake.folders.prompts, QStringList(2, QStringLiteral("请选择文件夹：")));
    h.control<QPushButton>("Command1")->click(); // cancelled: the box keeps its text
    QCOMPARE(h.text1()->text(), QStringLiteral("/data/help"));
    h.control<QPushButton>("Command2")->click();
    QCOMPARE(h.text1()->text(), QCoreApplication::applicationDirPath());
    h.control<QPushButton>("Command5")->click();
    QCOMPARE(h.control<QLineEdit>("Text2")->text(), QCoreApplication::applicationDirPath());
}

void TestFrmdecp::storeInSourceCopiesOnce()
{
    Harness h;
    h.window.show();
    h.control<QLineEdit>("Text2")->setText(QStringLiteral("/src/chm"));
    h.control<QCheckBox>("Check2")->click();
    QCOMPARE(h.text1()->text(), QStringLiteral("/src/chm"));
    QVERIFY(!h.control<QPushButton>("Command1")->isEnabled());
    QVERIFY(!h.control<QPushButton>("Command2")->isEnabled());
    QVERIFY(h.text1()->isEnabled() && !h.text1()->isReadOnly());
    h.control<QLineEdit>("Text2")->setText(QStringLiteral("/elsewhere"));
    QCOMPARE(h.text1()->text(), QStringLiteral("/src/chm"));
    h.control<QCheckBox>("Check2")->click();
    QVERIFY(h.control<QPushButton>("Command1")->isEnabled());
    QVERIFY(h.control<QPushButton>("Command2")->isEnabled());
    QCOMPARE(h.text1()->text(), QStringLiteral("/src/chm"));
}

void TestFrmdecp::normalizedTargets_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("result");
    QTest::newRow("spaces around") << "  /data/help  "
                                   << "/data/help/";
    QTest::newRow("has separator") << "/data/help/"
                                   << "/data/help/";
    QTest::newRow("root") << "/"
                          << "/";
    QTest::newRow("inner spaces kept") << " /my help/chm files "
                                       << "/my help/chm files/";
    QTest::newRow("only spaces") << "   "
                                 << "";
    QTest::newRow("tab is not trimmed") << "\t/x"
                                        << "\t/x/";
}

void TestFrmdecp::normalizedTargets()
{
    QFETCH(QString, typed);
    QFETCH(QString, result);
    QCOMPARE(normalizedTarget(typed), result);
}

void TestFrmdecp::emptyTargetRefused_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("empty") << "";
    QTest::newRow("spaces") << "    ";
}

void TestFrmdecp::emptyTargetRefused()
{
    QFETCH(QString, typed);
    Harness h;
    h.text1()->setText(typed);
    h.control<QPushButton>("Command3")->click();
    QCOMPARE(h.fake.messages.texts(), QStringList{QStringLiteral("请设定目标路径!")});
    QCOMPARE(h.fake.messages.shown[0].icon, MessageIcon::Information);
    QCOMPARE(h.text1()->text(), QString());
    QVERIFY(h.programs.inputs.isEmpty());
}

void TestFrmdecp::missingTargetRefused()
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("plain.chm")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    for (const QString& typed : {dir.filePath(QStringLiteral("missing")), file.fileName()}) {
        Harness h;
        h.text1()->setText(typed);
        h.window.Command3_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(h.fake.messages.texts(), QStringList{QStringLiteral("目标路径不存在或不是文件夹!")});
        QCOMPARE(h.text1()->text(), typed + QLatin1Char('/'));
        QVERIFY(h.programs.inputs.isEmpty());
    }
    QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(), 1);
}

void TestFrmdecp::folderWithoutHelpFiles()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sub/deeper")));
    Harness h;
    h.text1()->setText(dir.path());
    h.window.Command3_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(h.fake.messages.texts(), QStringList{QStringLiteral("全部chm文件反编译完成!")});
    QCOMPARE(h.fake.messages.shown[0].icon, MessageIcon::Information);
    QVERIFY(h.programs.inputs.isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{QStringLiteral("sub")});
}

void TestFrmdecp::missingHelperRefused()
{
    QTemporaryDir dir;
    QFile::copy(QFINDTESTDATA("projects/NOTES/INDEX.HTM"), dir.filePath(QStringLiteral("a.chm")));
    FakeServices fake(dir.path()); // a program folder without the helper
    Frmdecp window(fake.services());
    window.findChild<QLineEdit*>(QStringLiteral("Text1"))->setText(dir.path());
    window.Command3_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(fake.messages.shown.size(), 1);
    QVERIFY(fake.messages.shown[0].text.contains(QStringLiteral("korvane-chmextract")));
    QVERIFY(fake.programs.calls.isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{QStringLiteral("a.chm")});
}

/// target/manual.chm, target/NOTES.CHM, target/readmechm (no "."), target/broken.chm (not a
/// help file) and target/sub/manual.v2.chm (the same project name in a subfolder).
QString TestFrmdecp::buildTree(const QString& root)
{
    const QString manual = chmtest::compileProject(QStringLiteral("manual"), QStringLiteral("manual.hhp"),
                                                   QStringLiteral("manual.chm"), root + QStringLiteral("/src"));
    const QString notes = chmtest::compileProject(QStringLiteral("NOTES"), QStringLiteral("NOTES.HHP"),
                                                  QStringLiteral("NOTES.CHM"), root + QStringLiteral("/src"));
    if (manual.isEmpty() || notes.isEmpty())
        return {};
    const QString target = root + QStringLiteral("/help");
    QDir().mkpath(target + QStringLiteral("/sub"));
    QFile::copy(manual, target + QStringLiteral("/manual.chm"));
    QFile::copy(notes, target + QStringLiteral("/NOTES.CHM"));
    QFile::copy(manual, target + QStringLiteral("/readmechm"));
    QFile::copy(manual, target + QStringLiteral("/sub/manual.v2.chm"));
    const QString data = chmtest::testdataFolder();
    if (!data.isEmpty())
        QFile::copy(data + QStringLiteral("/bad/escape.chm"), target + QStringLiteral("/escape.chm"));
    QFile broken(target + QStringLiteral("/broken.chm"));
    if (!broken.open(QIODevice::WriteOnly))
        return {};
    QByteArray bytes = bytesOf(manual);
    bytes.truncate(bytes.size() / 2); // a download cut short
    broken.write(bytes);
    return target;
}

void TestFrmdecp::runOverFolderTree()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QString target = buildTree(dir.path());
    QVERIFY(!target.isEmpty());
    Harness h;
    h.text1()->setText(QStringLiteral("  ") + target + QStringLiteral(" "));
    h.window.Command3_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(h.text1()->text(), target + QLatin1Char('/'));

    // Files of the target first, the subfolder's after them; "readmechm" is not tried.
    const bool crafted = QFileInfo::exists(target + QStringLiteral("/escape.chm"));
    QCOMPARE(h.programs.inputs.size(), crafted ? 5 : 4);
    QCOMPARE(h.programs.inputs.last(), (target + QStringLiteral("/sub/manual.v2.chm")).toUtf8());
    QVERIFY(!h.programs.inputs.contains((target + QStringLiteral("/readmechm")).toUtf8()));

    // Output folders sit directly under the target; the later help file of a name wins the project file.
    const QByteArray manualProject = bytesOf(target + QStringLiteral("/manual/manual.hhp"));
    QVERIFY(manualProject.contains("\r\nCompiled file=manual.v2.chm\r\n"));
    QVERIFY(manualProject.contains("\r\nContents file=toc.hhc\r\n"));
    QVERIFY(manualProject.contains("\r\npages/intro.htm\r\n"));
    QVERIFY(bytesOf(target + QStringLiteral("/manual/pages/intro.htm")).contains("Introduction"));
    const QByteArray notesProject = bytesOf(target + QStringLiteral("/NOTES/NOTES.hhp"));
    QVERIFY(
        notesProject.contains("\r\nCompiled file=NOTES.CHM\r\nContents file=NOTES.HHC\r\nDefault topic=INDEX.HTM\r\n"));
    QVERIFY(QFileInfo::exists(target + QStringLiteral("/NOTES/SUB/PAGE2.HTM")));
    QVERIFY(!QFileInfo::exists(target + QStringLiteral("/NOTES/NOTES.full.hhp"))); // the .hhp alone by default
    QVERIFY(!QFileInfo::exists(target + QStringLiteral("/broken")));
    QVERIFY(!QFileInfo::exists(target + QStringLiteral("/sub/manual")));

    // One closing message naming the two files that did not go through.
    QCOMPARE(h.fake.messages.shown.size(), 1);
    const QString message = h.fake.messages.shown[0].text;
    QCOMPARE(h.fake.messages.shown[0].icon, MessageIcon::Information);
    QVERIFY(message != QStringLiteral("全部chm文件反编译完成!"));
    QVERIFY(message.contains(target + QStringLiteral("/broken.chm: ")));
    QVERIFY(message.contains(target + QStringLiteral("/readmechm: ")));
    QVERIFY(!message.contains(QStringLiteral("manual.chm:")));
    const QString details = h.fake.messages.shown[0].details;
    QVERIFY(details.contains(target + QStringLiteral("/broken.chm: ")));
    QVERIFY(details.contains(target + QStringLiteral("/readmechm: ")));
    if (crafted) {
        // The hostile names were refused; what was written stays in its own output folder.
        QVERIFY(message.contains(target + QStringLiteral("/escape.chm: ")));
        const auto all = treeListing(dir.path().toUtf8());
        for (auto it = all.cbegin(); it != all.cend(); ++it)
            QVERIFY2(!it.key().contains("evil") || it.key().startsWith("help/escape/"), it.key().constData());
    }
    QVERIFY(h.window.isEnabled());

    // The written projects compile again.
    QVERIFY(
        !chmtest::compile(target + QStringLiteral("/manual/manual.hhp"), QStringLiteral("manual.v2.chm")).isEmpty());
    QVERIFY(!chmtest::compile(target + QStringLiteral("/NOTES/NOTES.hhp"), QStringLiteral("NOTES.CHM")).isEmpty());
}

void TestFrmdecp::runWithoutSubfoldersOrProjects()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QString target = buildTree(dir.path());
    QVERIFY(!target.isEmpty());
    QFile::remove(target + QStringLiteral("/broken.chm"));
    QFile::remove(target + QStringLiteral("/readmechm"));
    QFile::remove(target + QStringLiteral("/escape.chm"));
    Harness h;
    // The full project chosen in korvane.ini follows the project-file box: nothing without it.
    h.fake.settings.setValue(QString::fromLatin1(kProjectKindSection), QString::fromUtf8(kProjectKindKey),
                             QString::fromUtf8(kFullProjectValue));
    h.control<QCheckBox>("Check1")->setChecked(false);
    h.control<QCheckBox>("Check3")->setChecked(false);
    h.text1()->setText(target);
    h.window.Command3_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(h.fake.messages.texts(), QStringList{QStringLiteral("全部chm文件反编译完成!")});
    QCOMPARE(h.programs.inputs.size(), 2);
    QVERIFY(QFileInfo::exists(target + QStringLiteral("/manual/index.htm")));
    QVERIFY(!QFileInfo::exists(target + QStringLiteral("/manual/manual.hhp")));
    QVERIFY(!QFileInfo::exists(target + QStringLiteral("/NOTES/NOTES.hhp")));
    QVERIFY(!QFileInfo::exists(target + QStringLiteral("/NOTES/NOTES.full.hhp")));

    // With the box: the .hhp as before, and the full project beside it with the file's own options.
    h.control<QCheckBox>("Check3")->setChecked(true);
    h.window.Command3_Click();
    QVERIFY(waitForRuns());
    QVERIFY(bytesOf(target + QStringLiteral("/NOTES/NOTES.hhp")).contains("\r\nLanguage=0x804 "));
    const QByteArray full = bytesOf(target + QStringLiteral("/NOTES/NOTES.full.hhp"));
    QVERIFY(full.contains("\r\nDefault topic=INDEX.HTM\r\n"));
    QVERIFY(full.contains("\r\nLanguage=0x409 English (United States)\r\n"));
    QVERIFY(full.contains("\r\n[FILES]\r\nINDEX.HTM\r\nSUB\\PAGE1.HTM\r\nSUB\\PAGE2.HTM\r\n"));
}

// With 源 filled its tree is walked and every output folder goes into 至; the source is untouched.
void TestFrmdecp::sourceWalkedIntoTarget()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QString notes = chmtest::compileProject(QStringLiteral("NOTES"), QStringLiteral("NOTES.HHP"),
                                                  QStringLiteral("NOTES.CHM"), dir.filePath(QStringLiteral("build")));
    QVERIFY(!notes.isEmpty());
    const QString source = dir.filePath(QStringLiteral("source")), target = dir.filePath(QStringLiteral("target"));
    QVERIFY(QDir().mkpath(source + QStringLiteral("/sub")) && QDir().mkpath(target));
    QVERIFY(QFile::copy(notes, source + QStringLiteral("/a.chm")));
    QVERIFY(QFile::copy(notes, source + QStringLiteral("/sub/b.chm")));
    const auto before = treeListing(source.toUtf8());
    Harness h;
    h.control<QLineEdit>("Text2")->setText(source + QLatin1Char(' '));
    h.text1()->setText(target);
    h.window.Command3_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(h.fake.messages.texts(), QStringList{QStringLiteral("全部chm文件反编译完成!")});
    QCOMPARE(h.programs.inputs.size(), 2);
    QVERIFY(treeListing(source.toUtf8()) == before);
    QVERIFY(bytesOf(target + QStringLiteral("/a/a.hhp")).contains("\r\nCompiled file=a.chm\r\n"));
    QVERIFY(QFileInfo::exists(target + QStringLiteral("/b/SUB/PAGE2.HTM")));

    // A source that is no folder starts nothing.
    h.control<QLineEdit>("Text2")->setText(dir.filePath(QStringLiteral("missing")));
    h.window.Command3_Click();
    QCOMPARE(h.fake.messages.texts().last(), QStringLiteral("源路径不存在或不是文件夹!"));
    QCOMPARE(h.programs.inputs.size(), 2);
}

void TestFrmdecp::nonUtf8NamesInTheWalk()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QString manual = chmtest::compileProject(QStringLiteral("manual"), QStringLiteral("manual.hhp"),
                                                   QStringLiteral("manual.chm"), dir.path() + QStringLiteral("/src"));
    QVERIFY(!manual.isEmpty());
    // A folder and a help file named in GBK bytes (资料/手册.chm), as Windows archives unpack.
    const QByteArray target = dir.path().toUtf8() + "/help/";
    const QByteArray folder = target + "\xd7\xca\xc1\xcf";
    QVERIFY(::mkdir(target.constData(), 0777) == 0 && ::mkdir(folder.constData(), 0777) == 0);
    const QByteArray helpFile = folder + "/\xca\xd6\xb2\xe1.chm";
    QVERIFY(::link(manual.toUtf8().constData(), helpFile.constData()) == 0);

    LocalFileSystem fs;
    QtProgramStarter programs;
    ExtractProcess process(programs, fs, chmtest::helperPath());
    DecompileRun run(fs, [&](const NativePath& file, const NativePath& into, const QByteArray& project, quint64 size) {
        return process.extract(file, into, project, size);
    });
    const QList<HelpFileOutcome> outcomes = run.run(target, true, true);
    QCOMPARE(outcomes.size(), 1);
    QVERIFY(outcomes[0].clean());
    QCOMPARE(outcomes[0].helpFile, helpFile);
    const QByteArray output = target + "\xca\xd6\xb2\xe1";
    QCOMPARE(outcomes[0].outputFolder, output);
    const auto written = treeListing(output);
    QVERIFY(written.contains("pages/intro.htm"));
    // The project file is GBK: the help file's name comes back as the same bytes.
    QVERIFY(written.value("\xca\xd6\xb2\xe1.hhp").contains("\r\nCompiled file=\xca\xd6\xb2\xe1.chm\r\n"));
    chmtest::removeTree(target); // QTemporaryDir skips names that are not UTF-8
}

void TestFrmdecp::sideBySideMatchesOneByOne()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QByteArray target = buildTree(dir.path()).toUtf8() + '/';
    QVERIFY(target.size() > 1);
    for (const char* name : {"b.chm", "c.chm", "sub/d.chm", "a.chm", "a.b.chm"})
        QVERIFY(QFile::copy(QString::fromUtf8(target + "NOTES.CHM"), QString::fromUtf8(target + name)));
    // a.chm, a.b.chm: one output folder and page, the first listed larger: waiting leaves the later's.
    const QStringList listed = QDir(QString::fromUtf8(target)).entryList(QDir::Files, QDir::Unsorted); // as readdir
    const bool aFirst = listed.indexOf(QStringLiteral("a.chm")) < listed.indexOf(QStringLiteral("a.b.chm"));
    for (const QByteArray& page : {QByteArray(4 << 20, 'b'), QByteArray("later")})
        korvane::testsupport::writeFile(
            target + ((page == "later") == aFirst ? "a.b.chm" : "a.chm"),
            bytesOf(chmtest::buildHelpFile(dir.path().toUtf8() + '/' + page.left(4), "a.chm", {{"p.htm", page}})));
    LocalFileSystem fs;
    QtProgramStarter programs;
    ExtractProcess process(programs, fs, chmtest::helperPath());
    QStringList texts[2];
    QMap<QByteArray, QByteArray> trees[2];
    for (const int helpers : {1, 4}) {
        DecompileRun run(fs, [&](const NativePath& f, const NativePath& into, const QByteArray& p, quint64 size) {
            return process.extract(f, into, p, size);
        });
        run.setProjectKind(ProjectKind::Full);
        run.setParallelHelpers(helpers);
        const QList<HelpFileOutcome> outcomes = run.run(target, true, true);
        for (const HelpFileOutcome& outcome : outcomes)
            texts[helpers > 1] << QString::fromUtf8(outcome.helpFile + ' ' + outcome.outputFolder);
        texts[helpers > 1] << runSummary(outcomes) << runDetails(outcomes);
        trees[helpers > 1] = treeListing(target);
        for (const HelpFileOutcome& outcome : outcomes)
            chmtest::removeTree(outcome.outputFolder);
    }
    QCOMPARE(texts[1], texts[0]);
    QVERIFY(trees[1] == trees[0]);
    QCOMPARE(trees[1].value("a/p.htm"), QByteArray("later"));
}

void TestFrmdecp::stopSaysWhetherFoldersWereLeft_data()
{
    QTest::addColumn<int>("stopAfter"); // 0: no stop
    QTest::addColumn<bool>("foldersLeft");
    QTest::newRow("among the root's files") << 1 << true;
    QTest::newRow("in the last folder") << 3 << false;
    QTest::newRow("walk ended") << 0 << false;
}

// The cancel summary must not hide folders never walked, and a total still growing is no total.
void TestFrmdecp::stopSaysWhetherFoldersWereLeft()
{
    QFETCH(int, stopAfter);
    QFETCH(bool, foldersLeft);
    TestTree tree;
    tree.make({"a.chm", "b.chm", "sub/c.chm", "sub/d.chm"});
    LocalFileSystem fs;
    DecompileRun run(fs,
                     [](const NativePath&, const NativePath&, const QByteArray&, quint64) { return ExtractReport{}; });
    RunControl control;
    if (stopAfter > 0)
        control.stopAfter(stopAfter);
    const QList<HelpFileOutcome> outcomes = run.run(tree.path() + '/', true, false, &control);
    QCOMPARE(outcomes.size(), stopAfter > 0 ? stopAfter : 4);
    QCOMPARE(run.foldersLeft(), foldersLeft);
    QCOMPARE(control.snapshot().totalFinal, stopAfter == 0);
}

void TestFrmdecp::summaryNamesTheFailures()
{
    QList<HelpFileOutcome> outcomes;
    HelpFileOutcome good;
    good.helpFile = "/h/good.chm";
    good.extract.opened = true;
    outcomes << good;
    QCOMPARE(runSummary(outcomes), QStringLiteral("全部chm文件反编译完成!"));
    QCOMPARE(runSummary({}), QStringLiteral("全部chm文件反编译完成!"));

    HelpFileOutcome partial = good;
    partial.helpFile = "/h/partial.chm";
    partial.extract.addProblem("/" + std::string(300, 'N'), "名称过长,已跳过");
    partial.extract.addProblem("/b", "r");
    HelpFileOutcome noProject = good;
    noProject.helpFile = "/h/np.chm";
    noProject.projectError = QStringLiteral("无法写入hhp文件");
    outcomes << partial << noProject;
    for (int i = 0; i < 20; ++i) {
        HelpFileOutcome bad;
        bad.helpFile = "/h/bad" + QByteArray::number(i) + ".chm";
        bad.extract.error = "不是有效的chm文件";
        outcomes << bad;
    }
    const QString text = runSummary(outcomes);
    const QStringList lines = text.split(QLatin1Char('\n'));
    QVERIFY(lines[0].contains(QStringLiteral("22")));
    QVERIFY(text.contains(QStringLiteral("/h/partial.chm: 2 个条目未能提取")));
    QVERIFY(text.contains(QStringLiteral("/h/np.chm: 无法写入hhp文件")));
    QVERIFY(!text.contains(QStringLiteral("good.chm")));
    QVERIFY(!text.contains(QString(61, QLatin1Char('N')))); // a crafted name is cut short
    QVERIFY(lines.size() < 20);                             // and the list does not run off the screen
    QVERIFY(lines.last().contains(QStringLiteral("10")));

    // The details hold every file and every entry, names in full.
    for (int i = 0; i < 10; ++i) {
        HelpFileOutcome many = good;
        many.helpFile = "/h/many" + QByteArray::number(i) + ".chm";
        for (std::size_t e = 0; e < ExtractReport::kListedProblems + 5; ++e)
            many.extract.addProblem("/p" + std::to_string(e) + ".htm", "解压失败,数据已损坏");
        outcomes << many;
    }
    const QStringList details = runDetails(outcomes).split(QLatin1Char('\n'));
    for (int i = 0; i < 20; ++i)
        QVERIFY(details.contains(QStringLiteral("/h/bad%1.chm: 不是有效的chm文件").arg(i)));
    QVERIFY(details.contains(QStringLiteral("    /") + QString(300, QLatin1Char('N')) +
                             QStringLiteral(": 名称过长,已跳过")));
    QVERIFY(details.contains(QStringLiteral("    /b: r")));
    QVERIFY(details.contains(QStringLiteral("/h/np.chm: 无法写入hhp文件")));
    QVERIFY(details.contains(QStringLiteral("/h/many9.chm: 205 个条目未能提取(/p0.htm: 解压失败,数据已损坏)")));
    QVERIFY(details.contains(QStringLiteral("    /p199.htm: 解压失败,数据已损坏")));
    QCOMPARE(details.count(QStringLiteral("    ……另有 5 个条目")), 10);
    QVERIFY(!runDetails(outcomes).contains(QStringLiteral("good.chm")));
    QCOMPARE(runDetails({good}), QString());
}

KORVANE_TEST_MAIN(TestFrmdecp)
#include "tst_helpdecompiler_frmdecp.moc"
