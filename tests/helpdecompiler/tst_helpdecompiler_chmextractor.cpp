// Extraction: entry names, every entry with the right bytes, bad and hostile files, links
// inside the output folder, and the helper process that isolates the decompressor.
#include "chmfixture.h"
#include "helpdecompiler/chmextractor.h"
#include "helpdecompiler/extractprocess.h"
#include "platform/fakes/fakeservices.h"
#include "platform/qtprogramstarter.h"

#include "support/testmain.h"
#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace korvane::helpdecompiler;
using korvane::platform::FakeProgramStarter;
using korvane::platform::FaultyFileSystem;
using korvane::platform::LocalFileSystem;
using korvane::platform::QtProgramStarter;
using korvane::platform::RunOutcome;
using korvane::testsupport::raw;

namespace {

struct ManifestEntry {
    QByteArray name; ///< raw stored bytes
    QByteArray sha256;
};

/// The normal files of each help file, from the shared test data's manifest.
QMap<QString, QList<ManifestEntry>> readManifest(const QString& folder)
{
    QMap<QString, QList<ManifestEntry>> result;
    QFile file(folder + QStringLiteral("/MANIFEST.tsv"));
    if (!file.open(QIODevice::ReadOnly))
        return result;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().chopped(1);
        if (line.startsWith('#'))
            continue;
        const QList<QByteArray> f = line.split('\t');
        if (f.size() != 6 || f[1] != "normal-file")
            continue;
        const QByteArray name = f[5].startsWith("hex:") ? QByteArray::fromHex(f[5].mid(4)) : f[5];
        result[QString::fromUtf8(f[0])].append({name, f[4]});
    }
    return result;
}

QString reasons(const ExtractReport& report)
{
    QStringList list;
    for (const EntryProblem& p : report.problems)
        list << QString::fromStdString(p.name + " -> " + p.reason);
    return list.join(QLatin1Char('\n'));
}

} // namespace

class TestChmExtractor : public QObject {
    Q_OBJECT
private slots:
    void safeRelativeNames_data();
    void safeRelativeNames();
    void reportRoundTrip();
    void manifestEntriesExtracted();
    void badFiles_data();
    void badFiles();
    void everyListingChunkIsRead();
    void gbkNamesBecomeUtf8();
    void linksInsideOutputAreNotFollowed();
    void outputFolderThatIsALinkIsRefused();
    void totalCapStopsBomb();
    void stoppedMidPageLeavesNoPartialPage_data();
    void stoppedMidPageLeavesNoPartialPage();
    void stopTakesBackWhatTheRunWrote_data();
    void stopTakesBackWhatTheRunWrote();
    void helperFailuresAreReported_data();
    void helperFailuresAreReported();
    void helperDiesWithItsCaller();
};

void TestChmExtractor::safeRelativeNames_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("folder");
    const int safe = int(NameVerdict::Safe), unsafe = int(NameVerdict::Unsafe);
    QTest::newRow("page") << QByteArray("/index.htm") << safe << QByteArray("index.htm") << false;
    QTest::newRow("nested") << QByteArray("/a/b/c.htm") << safe << QByteArray("a/b/c.htm") << false;
    QTest::newRow("folder") << QByteArray("/images/") << safe << QByteArray("images") << true;
    QTest::newRow("percent literal") << QByteArray("/%2e%2e/x.txt") << safe << QByteArray("%2e%2e/x.txt") << false;
    QTest::newRow("utf8 chinese") << QByteArray("/页面/第一章.htm") << safe << QByteArray("页面/第一章.htm") << false;
    QTest::newRow("gbk") << QByteArray("/\xca\xd7\xd2\xb3.htm") << safe << QByteArray("首页.htm") << false;
    QTest::newRow("gbk trail backslash byte") << QByteArray("/\x95\x5c.htm") << safe << QByteArray("昞.htm") << false;
    QTest::newRow("255 bytes") << "/" + QByteArray(255, 'n') << safe << QByteArray(255, 'n') << false;
    QTest::newRow("root") << QByteArray("/") << int(NameVerdict::Root) << QByteArray() << false;
    QTest::newRow("#system") << QByteArray("/#SYSTEM") << int(NameVerdict::Internal) << QByteArray() << false;
    QTest::newRow("$fts") << QByteArray("/$WWKeywordLinks/BTree") << int(NameVerdict::Internal) << QByteArray()
                          << false;
    QTest::newRow("meta") << QByteArray("::DataSpace/NameList") << int(NameVerdict::Internal) << QByteArray() << false;
    QTest::newRow("dotdot") << QByteArray("/../../evil.txt") << unsafe << QByteArray() << false;
    QTest::newRow("dotdot mid") << QByteArray("/sub/../../x") << unsafe << QByteArray() << false;
    QTest::newRow("dotdot alone") << QByteArray("/..") << unsafe << QByteArray() << false;
    QTest::newRow("dot") << QByteArray("/sub/./dot.txt") << unsafe << QByteArray() << false;
    QTest::newRow("double slash absolute") << QByteArray("//tmp/x.txt") << unsafe << QByteArray() << false;
    QTest::newRow("empty component") << QByteArray("/a//b") << unsafe << QByteArray() << false;
    QTest::newRow("no leading slash") << QByteArray("../evil.txt") << unsafe << QByteArray() << false;
    QTest::newRow("empty") << QByteArray() << unsafe << QByteArray() << false;
    QTest::newRow("backslash") << QByteArray("/..\\..\\evil.txt") << unsafe << QByteArray() << false;
    QTest::newRow("newline") << QByteArray("/a\nb.htm") << unsafe << QByteArray() << false;
    QTest::newRow("control") << QByteArray("/a\x01.htm") << unsafe << QByteArray() << false;
    QTest::newRow("256 bytes") << "/" + QByteArray(256, 'n') << int(NameVerdict::TooLong) << QByteArray() << false;
    QTest::newRow("undecodable") << QByteArray("/\xff\xfe.htm") << int(NameVerdict::BadEncoding) << QByteArray()
                                 << false;
}

void TestChmExtractor::safeRelativeNames()
{
    QFETCH(QByteArray, stored);
    QFETCH(int, verdict);
    QFETCH(QByteArray, path);
    QFETCH(bool, folder);
    const SafeName name = core::safeRelativeName(stored.toStdString());
    QCOMPARE(int(name.verdict), verdict);
    QCOMPARE(QByteArray::fromStdString(name.path), path);
    if (verdict == int(NameVerdict::Safe))
        QCOMPARE(name.folder, folder);
}

void TestChmExtractor::reportRoundTrip()
{
    ExtractReport report;
    report.opened = true;
    report.files = 12;
    report.folders = 3;
    report.bytes = 5000000000ull;
    report.addProblem("/a\tb", "名称过长,已跳过");
    report.addProblem("/页面/x", "r");
    const auto parsed = parseExtractReport(formatExtractReport(report));
    QVERIFY(parsed);
    QVERIFY(parsed->opened);
    QCOMPARE(parsed->files, 12);
    QCOMPARE(parsed->folders, 3);
    QCOMPARE(parsed->bytes, 5000000000ull);
    QCOMPARE(parsed->problems.size(), std::size_t(2));
    QCOMPARE(QString::fromStdString(parsed->problems[0].name), QStringLiteral("/a b"));
    QCOMPARE(QString::fromStdString(parsed->problems[1].name), QStringLiteral("/页面/x"));
    // A report cut short (the helper died) is not taken for a complete one.
    QByteArray cut = formatExtractReport(report);
    cut.truncate(cut.lastIndexOf("done"));
    QVERIFY(!parseExtractReport(cut));

    // A file with a flood of bad entries lists the first ones and counts them all.
    ExtractReport flood;
    for (int i = 0; i < 5000; ++i)
        flood.addProblem("/x" + std::to_string(i), "r");
    const auto floodParsed = parseExtractReport(formatExtractReport(flood));
    QVERIFY(floodParsed);
    QCOMPARE(floodParsed->problems.size(), ExtractReport::kListedProblems);
    QCOMPARE(floodParsed->problemCount, 5000);
}

void TestChmExtractor::manifestEntriesExtracted()
{
    const QString data = chmtest::testdataFolder();
    if (data.isEmpty())
        QSKIP(chmtest::missingTestdata());
    const auto manifest = readManifest(data);
    QVERIFY(manifest.size() >= 10);
    QTemporaryDir dir;
    QtProgramStarter programs;
    LocalFileSystem fs;
    ExtractProcess process(programs, fs, chmtest::helperPath());
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        const QString chm = QFileInfo::exists(data + QStringLiteral("/good/") + it.key())
                                ? data + QStringLiteral("/good/") + it.key()
                                : data + QStringLiteral("/real/") + it.key();
        const QByteArray project = it.key().section(QLatin1Char('.'), 0, 0).toUtf8();
        const ExtractReport report =
            process.extract(raw(chm), raw(dir.path()) + '/', project, quint64(QFileInfo(chm).size()));
        QVERIFY2(report.opened && report.error.empty(), qPrintable(it.key() + QString::fromStdString(report.error)));
        QVERIFY2(report.problems.empty(), qPrintable(reasons(report)));
        const auto written = treeListing(raw(dir.path()) + '/' + project);
        QCOMPARE(report.files, it.value().size());
        for (const ManifestEntry& entry : it.value()) {
            const QByteArray rel = QByteArray::fromStdString(core::safeRelativeName(entry.name.toStdString()).path);
            QVERIFY2(written.contains(rel),
                     qPrintable(it.key() + QStringLiteral(": missing ") + QString::fromUtf8(rel)));
            QCOMPARE(QCryptographicHash::hash(written.value(rel), QCryptographicHash::Sha256).toHex(), entry.sha256);
        }
        // Only the normal files: nothing of the container's own data.
        QCOMPARE(written.size(), it.value().size());
    }
}

void TestChmExtractor::badFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<QStringList>("expected"); ///< files that must be there afterwards
    QTest::newRow("empty") << "x.chm" << false << QStringList();
    QTest::newRow("garbage header") << "header_garbage.chm" << false << QStringList();
    QTest::newRow("truncated directory") << "truncated_dir.chm" << false << QStringList();
    QTest::newRow("truncated content") << "truncated.chm" << false << QStringList();
    QTest::newRow("zero block length") << "zero_blocklen.chm" << false << QStringList();
    QTest::newRow("bad window") << "bad_window.chm" << false << QStringList();
    QTest::newRow("corrupt lzx") << "corrupt_lzx.chm" << true << QStringList();
    QTest::newRow("escape") << "escape.chm" << true
                            << QStringList{"index.htm", "last.htm", "%2e%2e/%2e%2e/evil_pct.txt"};
    QTest::newRow("dotdot entry") << "dotdot_entry.chm" << true << QStringList{"first.htm", "after.htm"};
    QTest::newRow("long names") << "longname.chm" << true << QStringList{"first.htm", "after.htm"};
    QTest::newRow("bad entries") << "badentries.chm" << true << QStringList{"after.htm"};
}

void TestChmExtractor::badFiles()
{
    QFETCH(QString, file);
    QFETCH(bool, opened);
    QFETCH(QStringList, expected);
    const QString data = chmtest::testdataFolder();
    if (data.isEmpty())
        QSKIP(chmtest::missingTestdata());
    ::unlink("/tmp/chm_escape_test_abs.txt");
    QTemporaryDir jail;
    const QByteArray target = raw(jail.path()) + "/target";
    QVERIFY(::mkdir(target.constData(), 0777) == 0);
    QtProgramStarter programs;
    LocalFileSystem fs;
    ExtractProcess process(programs, fs, chmtest::helperPath());
    const QString chm = data + QStringLiteral("/bad/") + file;
    const ExtractReport report = process.extract(raw(chm), target + '/', "out", quint64(QFileInfo(chm).size()));

    QCOMPARE(report.opened, opened);
    const auto inJail = treeListing(raw(jail.path()));
    if (!opened) {
        QVERIFY(!report.error.empty());
        QVERIFY2(inJail.isEmpty(), "a rejected file must leave nothing behind");
        QVERIFY(!QFileInfo::exists(jail.path() + QStringLiteral("/target/out")));
        return;
    }
    QVERIFY2(!report.problems.empty(), "every refused or broken entry is reported");
    for (auto it = inJail.cbegin(); it != inJail.cend(); ++it)
        QVERIFY2(it.key().startsWith("target/out/"), it.key().constData());
    for (const QString& name : expected)
        QVERIFY2(inJail.contains("target/out/" + name.toUtf8()), qPrintable(name));
    QVERIFY(!QFileInfo::exists(QStringLiteral("/tmp/chm_escape_test_abs.txt")));
    QVERIFY(!QFileInfo::exists(jail.path() + QStringLiteral("/evil_noslash.txt")));
    if (file == QLatin1String("corrupt_lzx.chm")) {
        // Pages that fail to decode are not left behind half written.
        QVERIFY(!inJail.contains("target/out/index.htm"));
    }
}

void TestChmExtractor::everyListingChunkIsRead()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    QList<QPair<QByteArray, QByteArray>> files{{"index.htm", "<html>index</html>"}};
    for (int i = 1; i <= 300; ++i) {
        const QByteArray n = QByteArray::number(i).rightJustified(3, '0');
        files.append({"p/page" + n + ".htm", "<html><body>Page " + n + "</body></html>"});
    }
    const QString chm = chmtest::buildHelpFile(raw(dir.path()) + "/src", "many.chm", files);
    QVERIFY(!chm.isEmpty());
    const ExtractReport report = extractChm(raw(chm), raw(dir.path()), "many", {1ull << 30});
    QVERIFY2(report.problems.empty(), qPrintable(reasons(report)));
    const auto written = treeListing(raw(dir.path()) + "/many");
    for (const auto& [name, content] : files)
        QCOMPARE(written.value(name), content);
    QCOMPARE(report.files, files.size() + 1); // and the compiler's own read-me file
}

void TestChmExtractor::gbkNamesBecomeUtf8()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    // 首页.htm, 资料/甲.htm, 资料/乙.htm as GBK bytes, as a Chinese Windows compiler stores them.
    const QList<QPair<QByteArray, QByteArray>> files{{"\xca\xd7\xd2\xb3.htm", "home"},
                                                     {"\xd7\xca\xc1\xcf/\xbc\xd7.htm", "jia"},
                                                     {"\xd7\xca\xc1\xcf/\xd2\xd2.htm", "yi"}};
    const QString chm = chmtest::buildHelpFile(raw(dir.path()) + "/src", "gbk.chm", files);
    QVERIFY(!chm.isEmpty());
    const ExtractReport report = extractChm(raw(chm), raw(dir.path()), "gbk", {1ull << 30});
    QVERIFY2(report.problems.empty(), qPrintable(reasons(report)));
    const auto written = treeListing(raw(dir.path()) + "/gbk");
    QCOMPARE(written.value("首页.htm"), QByteArray("home"));
    QCOMPARE(written.value("资料/甲.htm"), QByteArray("jia"));
    QCOMPARE(written.value("资料/乙.htm"), QByteArray("yi"));
    chmtest::removeTree(raw(dir.path()) + "/src"); // QTemporaryDir skips names that are not UTF-8
}

void TestChmExtractor::linksInsideOutputAreNotFollowed()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QString chm = chmtest::compileProject(QStringLiteral("manual"), QStringLiteral("manual.hhp"),
                                                QStringLiteral("manual.chm"), dir.path() + QStringLiteral("/src"));
    QVERIFY(!chm.isEmpty());
    const QByteArray outside = raw(dir.path()) + "/outside";
    QVERIFY(::mkdir(outside.constData(), 0777) == 0);
    QFile keep(QString::fromUtf8(outside + "/keep.txt"));
    QVERIFY(keep.open(QIODevice::WriteOnly));
    keep.write("untouched");
    keep.close();
    const QByteArray out = raw(dir.path()) + "/target/manual";
    QVERIFY(QDir().mkpath(QString::fromUtf8(out)));
    // A folder link, a file link and a hard link, all pointing outside.
    QVERIFY(::symlink(outside.constData(), (out + "/pages").constData()) == 0);
    QVERIFY(::symlink((outside + "/keep.txt").constData(), (out + "/index.htm").constData()) == 0);
    QVERIFY(::link((outside + "/keep.txt").constData(), (out + "/style.css").constData()) == 0);

    const ExtractReport report = extractChm(raw(chm), raw(dir.path()) + "/target", "manual", {1ull << 30});
    QVERIFY(report.opened);
    const auto outsideNow = treeListing(outside);
    QCOMPARE(outsideNow.size(), 1);
    QCOMPARE(outsideNow.value("keep.txt"), QByteArray("untouched"));
    // The linked folder and the two pages below it are refused, the rest replaced by real files.
    QVERIFY2(report.problems.size() == 3u, qPrintable(reasons(report)));
    const auto written = treeListing(out);
    QVERIFY(written.value("index.htm").startsWith("<html>"));
    QVERIFY(written.value("style.css").startsWith("body"));
    QVERIFY(written.contains("images/logo.png"));
}

void TestChmExtractor::outputFolderThatIsALinkIsRefused()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QString chm = chmtest::compileProject(QStringLiteral("manual"), QStringLiteral("manual.hhp"),
                                                QStringLiteral("manual.chm"), dir.path() + QStringLiteral("/src"));
    const QByteArray outside = raw(dir.path()) + "/outside";
    const QByteArray target = raw(dir.path()) + "/target";
    QVERIFY(::mkdir(outside.constData(), 0777) == 0 && ::mkdir(target.constData(), 0777) == 0);
    QVERIFY(::symlink(outside.constData(), (target + "/manual").constData()) == 0);
    const ExtractReport report = extractChm(raw(chm), target, "manual", {1ull << 30});
    QVERIFY(!report.opened);
    QVERIFY(!report.error.empty());
    QVERIFY(treeListing(outside).isEmpty());
}

void TestChmExtractor::totalCapStopsBomb()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QList<QPair<QByteArray, QByteArray>> files{{"a.htm", QByteArray(200000, 'a')},
                                                     {"b.htm", QByteArray(200000, 'b')}};
    const QString chm = chmtest::buildHelpFile(raw(dir.path()) + "/src", "bomb.chm", files);
    QVERIFY(!chm.isEmpty());
    const ExtractReport report = extractChm(raw(chm), raw(dir.path()), "bomb", {250000});
    QVERIFY(report.opened);
    QVERIFY(!report.problems.empty());
    qint64 total = 0;
    for (const QByteArray& content : treeListing(raw(dir.path()) + "/bomb"))
        total += content.size();
    QVERIFY(total <= 250000);
    QVERIFY(report.files < 3);
}

void TestChmExtractor::stoppedMidPageLeavesNoPartialPage_data()
{
    QTest::addColumn<bool>("existed");
    QTest::newRow("new output folder: pages under their own names") << false;
    QTest::newRow("the user's folder: pages under the partial name") << true;
}

void TestChmExtractor::stoppedMidPageLeavesNoPartialPage()
{
    QFETCH(bool, existed);
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QList<QPair<QByteArray, QByteArray>> files{
        {"a.htm", QByteArray(30000, 'a')}, {"b.htm", QByteArray(400000, 'b')}, {"c.htm", QByteArray(30000, 'c')}};
    const QString chm = chmtest::buildHelpFile(raw(dir.path()) + "/src", "stopped.chm", files);
    QVERIFY(!chm.isEmpty());
    const QByteArray out = raw(dir.path()) + "/stopped";
    if (existed) {
        QVERIFY(::mkdir(out.constData(), 0777) == 0);
        korvane::testsupport::writeFile(out + "/a.htm", "user's");
        korvane::testsupport::writeFile(out + "/notes.txt", "user's");
    }
    // The kernel stops the helper in the middle of the large page, as a limit would: it inherits
    // the file size limit.
    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const rlimit small{200000, saved.rlim_max};
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
    QtProgramStarter programs;
    LocalFileSystem fs;
    ExtractProcess process(programs, fs, chmtest::helperPath());
    const ExtractReport report = process.extract(raw(chm), raw(dir.path()) + '/', "stopped", 100000);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &saved) == 0);
    QVERIFY(!report.error.empty());

    // Nothing half-written is left under any name, and what the run added goes again; a page
    // it replaced keeps its new content.
    if (existed) {
        const QMap<QByteArray, QByteArray> kept{{"a.htm", files[0].second}, {"notes.txt", "user's"}};
        QCOMPARE(treeListing(out), kept);
    } else {
        QVERIFY(!QFileInfo::exists(QString::fromUtf8(out)));
    }
}

void TestChmExtractor::stopTakesBackWhatTheRunWrote_data()
{
    QTest::addColumn<bool>("existed");
    QTest::addColumn<bool>("snapshotFails");
    QTest::newRow("new output folder") << false << false;
    QTest::newRow("output folder with the user's files") << true << false;
    QTest::newRow("folder that could not be walked") << true << true;
}

void TestChmExtractor::stopTakesBackWhatTheRunWrote()
{
    QFETCH(bool, existed);
    QFETCH(bool, snapshotFails);
    korvane::testsupport::TestTree tree;
    if (existed) {
        tree.file("a/index.htm", "user's");
        tree.file("a/mine/notes.txt", "user's");
    }
    FakeProgramStarter programs;
    programs.onRun = [&](const FakeProgramStarter::Call&) {
        // What a helper has written by the time the stop kills it.
        tree.file("a/index.htm", "new");
        tree.file("a/pics/a.gif", "new");
        tree.file("a/mine/more.htm", "new");
        tree.file(QByteArray("a/") + core::kPartialFileName, "half");
        RunOutcome outcome;
        outcome.started = true;
        outcome.stopped = true;
        return outcome;
    };
    FaultyFileSystem fs;
    if (snapshotFails)
        fs.failOn(FaultyFileSystem::Op::Snapshot, tree.path("a"));
    ExtractProcess process(programs, fs, QStringLiteral("/opt/k/korvane-chmextract"));
    process.extract("/x/a.chm", tree.path() + '/', "a", 1000);
    if (snapshotFails) { // without knowing what was there before, nothing may go
        const QMap<QByteArray, QByteArray> all{
            {"index.htm", "new"}, {"mine/notes.txt", "user's"}, {"mine/more.htm", "new"}, {"pics/a.gif", "new"}};
        QCOMPARE(tree.listing("a"), all);
        QVERIFY(fs.pathsOf(FaultyFileSystem::Op::RemoveAllBut).isEmpty());
    } else if (existed) { // a page it replaced keeps the new content: the old one is gone either way
        const QMap<QByteArray, QByteArray> kept{{"index.htm", "new"}, {"mine/notes.txt", "user's"}};
        QCOMPARE(tree.listing("a"), kept);
        QVERIFY(!korvane::testsupport::exists(tree.path("a/pics")));
    } else {
        QVERIFY(!korvane::testsupport::exists(tree.path("a")));
    }
}

void TestChmExtractor::helperFailuresAreReported_data()
{
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("finished");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<bool>("opened");
    QTest::newRow("not started") << false << false << QByteArray() << false;
    QTest::newRow("killed after time limit") << true << false << QByteArray() << false;
    QTest::newRow("crashed after opening") << true << false << QByteArray("opened\t1\n") << true;
    QTest::newRow("ended without report") << true << true << QByteArray("opened\t1\n") << true;
}

void TestChmExtractor::helperFailuresAreReported()
{
    QFETCH(bool, started);
    QFETCH(bool, finished);
    QFETCH(QByteArray, output);
    QFETCH(bool, opened);
    FakeProgramStarter programs;
    programs.onRun = [&](const FakeProgramStarter::Call&) {
        RunOutcome outcome;
        outcome.started = started;
        outcome.finished = finished;
        outcome.output = output;
        outcome.status =
            korvane::platform::Status::failure(korvane::platform::ErrorKind::Failed, QStringLiteral("fault"));
        return outcome;
    };
    // A partial page the helper may have left behind goes when it did not end normally.
    QTemporaryDir target;
    QVERIFY(QDir(target.path()).mkpath(QStringLiteral("a")));
    const QString partial = target.filePath(QStringLiteral("a/") + QString::fromLatin1(core::kPartialFileName));
    QFile left(partial);
    QVERIFY(left.open(QIODevice::WriteOnly));
    left.close();
    LocalFileSystem fs;
    ExtractProcess process(programs, fs, QStringLiteral("/opt/k/korvane-chmextract"));
    const ExtractReport report = process.extract("/x/a.chm", raw(target.path()) + '/', "a", 1000);
    QVERIFY(!report.error.empty());
    QVERIFY(!QFile::exists(partial)); // also when no helper ran: one killed with its caller left it
    QCOMPARE(report.opened, opened);
    QCOMPARE(programs.calls.size(), 1);
    QCOMPARE(programs.calls[0].program, QStringLiteral("/opt/k/korvane-chmextract"));
    QVERIFY(programs.calls[0].arguments.isEmpty()); // paths go on standard input, never as text
}

void TestChmExtractor::helperDiesWithItsCaller()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QString chm = chmtest::buildHelpFile(raw(dir.path()) + "/src", "orphan.chm", {{"a.htm", "<p>a</p>"}});
    QVERIFY(!chm.isEmpty());
    const QByteArray helper = raw(chmtest::helperPath()); // made before fork(): the child may not allocate
    // Killed while the helper waits; one that sends "1" (not the parent) died before the helper's first line.
    for (const QByteArray& callerId : {QByteArray(), QByteArray("1\0", 2)}) {
        const QByteArray input = raw(chm) + '\0' + raw(dir.path()) + '\0' + "orphan" + '\0' + callerId;
        int toHelper[2], pidPipe[2];
        QVERIFY(::pipe(toHelper) == 0 && ::pipe(pidPipe) == 0);
        const pid_t caller = ::fork();
        if (caller == 0) {
            const pid_t helperPid = ::fork();
            if (helperPid == 0) {
                ::dup2(toHelper[0], STDIN_FILENO);
                ::close(toHelper[1]);
                char* const argv[] = {const_cast<char*>(helper.constData()), nullptr};
                ::execv(argv[0], argv);
                ::_exit(127);
            }
            if (::write(pidPipe[1], &helperPid, sizeof helperPid) > 0 &&
                ::write(toHelper[1], input.data(), size_t(input.size())) > 0 && !callerId.isEmpty())
                ::close(toHelper[1]);
            for (;;)
                ::pause();
        }
        // The input's write end stays open here too: the caller's death closes its copy before the
        // kernel sends the death signal, and an end of input must not be what stops the helper.
        for (const int fd : {toHelper[0], pidPipe[1]})
            ::close(fd);
        if (!callerId.isEmpty())
            ::close(toHelper[1]); // this helper is to see its whole input
        pid_t pid = 0;
        QCOMPARE(::read(pidPipe[0], &pid, sizeof pid), ssize_t(sizeof pid));
        ::close(pidPipe[0]);
        // 'S' sleeping (in its read), 'Z' ended, '?' gone.
        const auto state = [pid] {
            const QByteArray stat = korvane::testsupport::readFile("/proc/" + QByteArray::number(pid) + "/stat");
            const qsizetype end = stat.lastIndexOf(") ");
            return end < 0 ? '?' : stat.contains("(korvane-chmextr)") ? stat.at(end + 2) : '-';
        };
        // Waiting means blocked in its read of the input, so past asking for the death signal;
        // asleep while still loading it is not.
        const auto readingInput = [pid] {
            return korvane::testsupport::readFile("/proc/" + QByteArray::number(pid) + "/syscall")
                .startsWith(QByteArray::number(SYS_read) + " 0x0 ");
        };
        QTRY_VERIFY_WITH_TIMEOUT(callerId.isEmpty() ? state() == 'S' && readingInput() : state() == 'Z', 10000);
        QVERIFY(::kill(caller, SIGKILL) == 0 && ::waitpid(caller, nullptr, 0) == caller);
        // Living on, it would read the end of its input and write the page.
        QTRY_VERIFY_WITH_TIMEOUT(state() == 'Z' || state() == '?', 10000);
        if (callerId.isEmpty())
            ::close(toHelper[1]);
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("orphan"))));
    }
}

KORVANE_TEST_GUILESS_MAIN(TestChmExtractor)
#include "tst_helpdecompiler_chmextractor.moc"
