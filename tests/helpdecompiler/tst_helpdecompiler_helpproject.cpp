// The help project file: which contents, default and index files it names, its file list,
// its bytes (GBK, CR LF), and that chmcmd compiles the written project back into the pages.
#include "chmfixture.h"
#include "helpdecompiler/extractprocess.h"
#include "helpdecompiler/helpproject.h"
#include "platform/fakes/fakeservices.h"
#include "platform/localfilesystem.h"
#include "platform/nativepath.h"
#include "platform/qtprogramstarter.h"
#include "support/testtree.h"

#include "support/testmain.h"
#include <QTemporaryDir>
#include <QTest>

using namespace korvane::helpdecompiler;
using korvane::platform::FaultyFileSystem;
using korvane::platform::LocalFileSystem;
using korvane::testsupport::filesIn;
using korvane::testsupport::raw;
using korvane::testsupport::TestTree;

namespace {

QList<QByteArray> readLines(const QString& path)
{
    const QByteArray bytes = korvane::testsupport::bytesOf(path);
    if (bytes.isEmpty())
        return {};
    QList<QByteArray> lines = bytes.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

/// The value of "key=" in the lines, or nullopt when no line has the key.
std::optional<QByteArray> value(const QList<QByteArray>& lines, const QByteArray& key)
{
    for (const QByteArray& line : lines) {
        if (line.startsWith(key + '='))
            return line.mid(key.size() + 1);
    }
    return std::nullopt;
}

QList<QByteArray> fileSection(const QList<QByteArray>& lines)
{
    const qsizetype start = lines.indexOf("[FILES]");
    const qsizetype end = lines.indexOf("[INFOTYPES]");
    if (start < 0 || end < start)
        return {};
    return lines.mid(start + 1, end - start - 1);
}

QByteArray gbk(const char* utf8)
{
    return korvane::platform::encodeText(QString::fromUtf8(utf8), "GBK").value_or(QByteArray());
}

} // namespace

class TestHelpProject : public QObject {
    Q_OBJECT
private slots:
    void namedFiles_data();
    void namedFiles();
    void linesAndBytes();
    void listsItselfDepthFirst();
    void replacesOldProject();
    void writeFailureIsReported();
    void recompiles_data();
    void recompiles();
    void chineseNamesInGbk();
};

void TestHelpProject::namedFiles_data()
{
    QTest::addColumn<QByteArray>("helpFile");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QByteArray>("topic"); ///< "-" when the line must be missing
    QTest::addColumn<QByteArray>("index");

    QTest::newRow("stem files and 主页") << QByteArray("guide.old.chm")
                                         << QStringList{"guide.old.hhc", "guide.old.hhk", "主页.htm", "other.hhc"}
                                         << QByteArray("guide.old.hhc") << gbk("主页.htm")
                                         << QByteArray("guide.old.hhk");
    QTest::newRow("toc without index") << QByteArray("sample.chm") << QStringList{"toc.hhc", "index.htm"}
                                       << QByteArray("toc.hhc") << QByteArray("index.htm") << QByteArray();
    QTest::newRow("no default topic") << QByteArray("a.b.chm") << QStringList{"a.b.hhc", "default.htm", "sub/index.htm"}
                                      << QByteArray("a.b.hhc") << QByteArray("-") << QByteArray();
    QTest::newRow("主页 before index") << QByteArray("x.chm") << QStringList{"index.htm", "主页.htm"} << QByteArray()
                                       << gbk("主页.htm") << QByteArray();
    QTest::newRow("stem page first") << QByteArray("guide.chm") << QStringList{"guide.htm", "主页.htm", "index.htm"}
                                     << QByteArray() << QByteArray("guide.htm") << QByteArray();
    QTest::newRow("upper case names") << QByteArray("NOTES.CHM")
                                      << QStringList{"NOTES.HHC", "NOTES.HHK", "INDEX.HTM", "SUB/PAGE1.HTM"}
                                      << QByteArray("NOTES.HHC") << QByteArray("INDEX.HTM") << QByteArray("NOTES.HHK");
    QTest::newRow("wildcard only in the folder itself")
        << QByteArray("m.chm") << QStringList{"sub/deep.hhc", "sub/deep.hhk", "lone.hhk"} << QByteArray()
        << QByteArray("-") << QByteArray("lone.hhk");
    QTest::newRow("folder named like a contents file")
        << QByteArray("m.chm") << QStringList{"toc.hhc/"} << QByteArray() << QByteArray("-") << QByteArray();
    QTest::newRow("empty folder") << QByteArray("empty.chm") << QStringList{} << QByteArray() << QByteArray("-")
                                  << QByteArray();
}

void TestHelpProject::namedFiles()
{
    QFETCH(QByteArray, helpFile);
    QFETCH(QStringList, files);
    QFETCH(QByteArray, contents);
    QFETCH(QByteArray, topic);
    QFETCH(QByteArray, index);
    TestTree tree;
    tree.make(files);
    LocalFileSystem fs;
    const QByteArray project = helpFile.left(helpFile.indexOf('.'));
    QVERIFY(writeHelpProject(fs, helpFile, project, tree.path()).ok());
    const auto lines = readLines(tree.text() + QLatin1Char('/') + QString::fromUtf8(project) + QStringLiteral(".hhp"));
    QCOMPARE(value(lines, "Compiled file"), std::optional<QByteArray>(helpFile));
    QCOMPARE(value(lines, "Contents file"), std::optional<QByteArray>(contents));
    QCOMPARE(value(lines, "Index file"), std::optional<QByteArray>(index));
    if (topic == "-")
        QVERIFY(!value(lines, "Default topic"));
    else
        QCOMPARE(value(lines, "Default topic"), std::optional<QByteArray>(topic));
}

void TestHelpProject::linesAndBytes()
{
    TestTree tree;
    tree.make({"guide.old.hhc", "主页.htm", "页面/第一章.htm"});
    LocalFileSystem fs;
    QVERIFY(writeHelpProject(fs, "guide.old.chm", "guide", tree.path()).ok());
    QFile f(tree.text("guide.hhp"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    // No byte-order mark, every line (the last one too) ends in CR LF, no bare LF.
    QVERIFY(bytes.startsWith("[OPTIONS]\r\n"));
    QVERIFY(bytes.endsWith("\r\n[INFOTYPES]\r\n"));
    QCOMPARE(bytes.count('\n'), bytes.count("\r\n"));
    const QByteArray head = "[OPTIONS]\r\n"
                            "Compatibility=1.1 or later\r\n"
                            "\r\n"
                            "Compiled file=guide.old.chm\r\n"
                            "Contents file=guide.old.hhc\r\n"
                            "Default topic=\xd6\xf7\xd2\xb3.htm\r\n"
                            "Display compile progress=No\r\n"
                            "Index file=\r\n"
                            "Language=0x804 \xd6\xd0\xce\xc4(\xd6\xd0\xb9\xfa)\r\n"
                            "\r\n"
                            "[FILES]\r\n";
    QCOMPARE(bytes.left(head.size()), head);
    QList<QByteArray> listed = fileSection(readLines(f.fileName()));
    std::sort(listed.begin(), listed.end());
    QList<QByteArray> expected{"guide.hhp", "guide.old.hhc", gbk("主页.htm"), gbk("页面/第一章.htm")};
    std::sort(expected.begin(), expected.end());
    QCOMPARE(listed, expected);
}

void TestHelpProject::listsItselfDepthFirst()
{
    TestTree tree;
    tree.make({"a.htm", "b.htm", "sub/c.htm", "sub/deeper/d.htm", "sub/e.htm", "sub2/f.htm", "empty/"});
    QVERIFY(::symlink("/usr", tree.path("link").constData()) == 0);
    LocalFileSystem fs;
    QVERIFY(writeHelpProject(fs, "guide.chm", "guide", tree.path()).ok());
    const QList<QByteArray> files = fileSection(readLines(tree.text("guide.hhp")));
    QCOMPARE(files.size(), 7);
    QVERIFY(files.contains("guide.hhp"));
    // The folder's own files first, then each subfolder's whole tree in one block.
    const auto at = [&](const char* name) { return files.indexOf(QByteArray(name)); };
    for (const char* top : {"a.htm", "b.htm", "guide.hhp"})
        QVERIFY(at(top) >= 0 && at(top) < 3);
    QVERIFY(at("sub/c.htm") < at("sub/deeper/d.htm") && at("sub/e.htm") < at("sub/deeper/d.htm"));
    const qsizetype firstSub = std::min(at("sub/c.htm"), at("sub/e.htm"));
    QVERIFY(at("sub2/f.htm") < firstSub || at("sub2/f.htm") > at("sub/deeper/d.htm"));
}

void TestHelpProject::replacesOldProject()
{
    TestTree tree;
    tree.make({"index.htm"});
    LocalFileSystem fs;
    QVERIFY(writeHelpProject(fs, "a.chm", "a", tree.path()).ok());
    tree.make({"later.htm"});
    QVERIFY(writeHelpProject(fs, "a.b.chm", "a", tree.path()).ok());
    const auto lines = readLines(tree.text("a.hhp"));
    QCOMPARE(lines.count("[OPTIONS]"), 1);
    QCOMPARE(value(lines, "Compiled file"), std::optional<QByteArray>("a.b.chm"));
    QList<QByteArray> files = fileSection(lines);
    std::sort(files.begin(), files.end());
    QCOMPARE(files, (QList<QByteArray>{"a.hhp", "index.htm", "later.htm"}));
    QCOMPARE(filesIn(tree.text()).size(), 3); // no temporary left over
}

void TestHelpProject::writeFailureIsReported()
{
    QTemporaryDir dir;
    FaultyFileSystem fs;
    fs.failOn(FaultyFileSystem::Op::WriteFile, [](const QByteArray&) { return true; });
    QVERIFY(!writeHelpProject(fs, "a.chm", "a", raw(dir.path())).ok());
}

void TestHelpProject::recompiles_data()
{
    QTest::addColumn<QString>("project");
    QTest::addColumn<QString>("hhp");
    QTest::addColumn<QString>("chm");
    QTest::newRow("manual") << "manual"
                            << "manual.hhp"
                            << "manual.chm";
    QTest::newRow("upper case") << "NOTES"
                                << "NOTES.HHP"
                                << "NOTES.CHM";
    QTest::newRow("many pages") << ""
                                << ""
                                << "many.chm";
}

void TestHelpProject::recompiles()
{
    QFETCH(QString, project);
    QFETCH(QString, hhp);
    QFETCH(QString, chm);
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    QString original;
    if (project.isEmpty()) {
        QList<QPair<QByteArray, QByteArray>> files{{"index.htm", "<html>index</html>"}};
        for (int i = 1; i <= 200; ++i)
            files.append(
                {"p/page" + QByteArray::number(i) + ".htm", "<html>Page " + QByteArray::number(i) + "</html>"});
        original = chmtest::buildHelpFile(raw(dir.path()) + "/src", chm.toUtf8(), files);
    } else {
        original = chmtest::compileProject(project, hhp, chm, dir.path() + QStringLiteral("/src"));
    }
    QVERIFY(!original.isEmpty());

    korvane::platform::QtProgramStarter programs;
    LocalFileSystem fs;
    ExtractProcess process(programs, fs, chmtest::helperPath());
    const QByteArray name = chm.section(QLatin1Char('.'), 0, 0).toUtf8();
    const QByteArray target = raw(dir.path()) + "/out/";
    QVERIFY(QDir().mkpath(QString::fromUtf8(target)));
    const ExtractReport first = process.extract(raw(original), target, name, 1 << 20);
    QVERIFY(first.opened && first.problems.empty());
    QVERIFY(writeHelpProject(fs, chm.toUtf8(), name, target + name).ok());
    const auto pages = treeListing(target + name);

    // chmcmd compiles the written project inside the output folder; the result holds the same pages.
    const QString recompiled = chmtest::compile(QString::fromUtf8(target + name + "/" + name + ".hhp"), chm);
    QVERIFY(!recompiled.isEmpty());
    const QByteArray again = raw(dir.path()) + "/again/";
    QVERIFY(QDir().mkpath(QString::fromUtf8(again)));
    const ExtractReport second = process.extract(raw(recompiled), again, name, 1 << 20);
    QVERIFY(second.opened && second.problems.empty());
    const auto recompiledPages = treeListing(again + name);
    for (auto it = pages.cbegin(); it != pages.cend(); ++it) {
        if (it.key() == chm.toUtf8())
            continue; // the recompiled file itself, written next to the project
        QVERIFY2(recompiledPages.contains(it.key()), it.key().constData());
        if (!it.key().endsWith(".hhp")) // the project lists itself, so it differs by that one line
            QCOMPARE(recompiledPages.value(it.key()), it.value());
    }
}

void TestHelpProject::chineseNamesInGbk()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QString original =
        chmtest::compileProject(QStringLiteral("zhguide"), QStringLiteral("zhguide.old.hhp"),
                                QStringLiteral("zhguide.old.chm"), dir.path() + QStringLiteral("/src"));
    QVERIFY(!original.isEmpty());
    korvane::platform::QtProgramStarter programs;
    LocalFileSystem fs;
    ExtractProcess process(programs, fs, chmtest::helperPath());
    const QByteArray target = raw(dir.path()) + "/";
    QVERIFY(process.extract(raw(original), target, "zhguide", 1 << 20).problems.empty());
    QVERIFY(writeHelpProject(fs, "zhguide.old.chm", "zhguide", target + "zhguide").ok());
    const auto lines = readLines(dir.path() + QStringLiteral("/zhguide/zhguide.hhp"));
    QCOMPARE(value(lines, "Contents file"), std::optional<QByteArray>("zhguide.old.hhc"));
    QCOMPARE(value(lines, "Index file"), std::optional<QByteArray>("zhguide.old.hhk"));
    QCOMPARE(value(lines, "Default topic"), std::optional<QByteArray>(gbk("主页.htm")));
    const auto files = fileSection(lines);
    QVERIFY(files.contains(gbk("页面/第一章.htm")));
    QVERIFY(files.contains(gbk("页面/第二章.htm")));
}

KORVANE_TEST_GUILESS_MAIN(TestHelpProject)
#include "tst_helpdecompiler_helpproject.moc"
