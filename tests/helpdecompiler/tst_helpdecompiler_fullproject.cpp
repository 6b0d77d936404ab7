// The full project: the help file's own tables (hostile ones too), the project it gives for a
// real help file against that file's original project, and the round trip through chmcmd:
// decompile, compile, decompile again, and the same help file comes back.
#include "chmfixture.h"
#include "helpdecompiler/decompilerun.h"
#include "helpdecompiler/extractprocess.h"
#include "helpdecompiler/fullproject.h"
#include "platform/fakes/fakeservices.h"
#include "platform/localfilesystem.h"
#include "platform/nativepath.h"
#include "platform/qtprogramstarter.h"
#include "support/testmain.h"
#include "support/testtree.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace korvane::helpdecompiler;
using korvane::platform::LocalFileSystem;
using korvane::platform::NativePath;

namespace {

QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}

QByteArray record(quint16 code, const QByteArray& data)
{
    return QByteArray(1, char(code & 0xFF)) + char(code >> 8) + char(data.size() & 0xFF) + char(data.size() >> 8) +
           data;
}

/// Fields of one decompile that the round trip must keep, by name.
using Summary = QMap<QString, QString>;

/// The entries of a sitemap file (.hhc/.hhk): each object's Name and Local values, in order.
QStringList sitemapEntries(const QByteArray& bytes, bool withTargets)
{
    QStringList entries;
    const QString text = QString::fromLatin1(bytes); // byte-exact: the bytes are compared, not their meaning
    static const QRegularExpression object(QStringLiteral("<object[^>]*>(.*?)</object>"),
                                           QRegularExpression::CaseInsensitiveOption |
                                               QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression param(QStringLiteral("<param\\s+name=\"([^\"]*)\"\\s+value=\"([^\"]*)\""),
                                          QRegularExpression::CaseInsensitiveOption);
    for (auto it = object.globalMatch(text); it.hasNext();) {
        QStringList names, targets;
        for (auto p = param.globalMatch(it.next().captured(1)); p.hasNext();) {
            const auto m = p.next();
            if (m.captured(1).compare(QLatin1String("Name"), Qt::CaseInsensitive) == 0)
                names.append(m.captured(2));
            else if (m.captured(1).compare(QLatin1String("Local"), Qt::CaseInsensitive) == 0)
                targets.append(m.captured(2));
        }
        if (!names.isEmpty())
            entries.append(names.join(QLatin1Char('|')) +
                           (withTargets ? QStringLiteral(" -> ") + targets.join(QLatin1Char('|')) : QString()));
    }
    return entries;
}

bool isProjectOutput(const QByteArray& name, const QByteArray& project)
{
    return name.endsWith(".hhp") || name == project + ".h" || name.toLower().endsWith(".chm") || name == "_#_README_#_";
}

/// What a decompile of a help file says about it, field by field.
Summary summarize(const HelpFileOutcome& outcome, const QByteArray& project)
{
    const ChmProjectFacts& f = outcome.extract.project;
    const auto text = [&f](const std::string& s) { return decodeStored(s, f.lcid); };
    Summary s;
    // The title's bytes too: the help viewer reads them in the language's code page.
    s[QStringLiteral("title")] =
        text(f.title) + QLatin1Char(' ') + QString::fromLatin1(QByteArray::fromStdString(f.title).toHex());
    s[QStringLiteral("default topic")] = text(f.defaultTopic);
    s[QStringLiteral("LCID")] = QString::number(f.lcid, 16);
    const ChmWindow* window = nullptr;
    for (const ChmWindow& w : f.windows) {
        if (!window || w.name == f.defaultWindow)
            window = &w;
    }
    if (window) {
        s[QStringLiteral("window name")] = text(window->name);
        s[QStringLiteral("window title")] = text(window->caption);
        s[QStringLiteral("window panes")] = QStringLiteral("%1 %2 %3 %4 %5 %6")
                                                .arg(window->properties)
                                                .arg(window->navigationWidth)
                                                .arg(window->buttons)
                                                .arg(window->defaultPane)
                                                .arg(window->navigationClosed)
                                                .arg(window->tabPosition);
        s[QStringLiteral("window files")] = QStringList{text(window->contentsFile), text(window->indexFile),
                                                        text(window->defaultFile), text(window->homeFile)}
                                                .join(QLatin1Char(','));
    }
    const auto files = treeListing(outcome.outputFolder);
    const FullProject full = [&] {
        LocalFileSystem fs;
        return fullProjectOf(fs, "x.chm", project, outcome.outputFolder, f);
    }();
    s[QStringLiteral("contents")] =
        sitemapEntries(files.value(korvane::platform::nativePath(full.contentsFile)), true).join(QLatin1Char('\n'));
    s[QStringLiteral("index")] =
        sitemapEntries(files.value(korvane::platform::nativePath(full.indexFile)), false).join(QLatin1Char('\n'));
    QStringList pages;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!isProjectOutput(it.key(), project))
            pages.append(QString::fromLatin1(it.key()) + QLatin1Char(' ') +
                         QString::fromLatin1(QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256).toHex()));
    }
    s[QStringLiteral("pages")] = pages.join(QLatin1Char('\n'));
    return s;
}

/// [OPTIONS] of a project: lower-cased key -> value.
QMap<QString, QString> options(const QString& project)
{
    QMap<QString, QString> values;
    bool inOptions = false;
    for (const QString& line : project.split(QRegularExpression(QStringLiteral("\r?\n")))) {
        if (line.startsWith(QLatin1Char('[')))
            inOptions = line == QLatin1String("[OPTIONS]");
        else if (inOptions && line.contains(QLatin1Char('=')))
            values[line.section(QLatin1Char('='), 0, 0).toLower()] = line.section(QLatin1Char('='), 1);
    }
    return values;
}

QString section(const QString& project, const QString& name)
{
    const QStringList lines = project.split(QRegularExpression(QStringLiteral("\r?\n")));
    const qsizetype start = lines.indexOf(name);
    QStringList body;
    for (qsizetype i = start + 1; start >= 0 && i < lines.size() && !lines[i].startsWith(QLatin1Char('[')); ++i) {
        if (!lines[i].isEmpty())
            body.append(lines[i]);
    }
    return body.join(QLatin1Char('\n'));
}

QString readGbk(const QString& path)
{
    return korvane::platform::decodeText(korvane::testsupport::bytesOf(path), "GBK").value_or(QString());
}

} // namespace

class TestFullProject : public QObject {
    Q_OBJECT
private slots:
    void hostileTables();
    void factsSurviveTheReport();
    void sevenZipMatchesItsOriginalProject();
    void roundTrip_data();
    void roundTrip();
    void contextMapRoundTrip();
    void aliasesAreNotAmplified();
};

void TestFullProject::hostileTables()
{
    // A record claiming more than the table holds: what came before stays, the rest is dropped.
    {
        ChmProjectFacts facts;
        const QByteArray system = le32(3) + record(3, "Title\0"_qba) + QByteArray("\x02\x00\xff\x7f", 4) + "short";
        core::parseSystem(system.toStdString(), facts);
        QCOMPARE(facts.title, std::string("Title"));
        QVERIFY(facts.defaultTopic.empty());
        QVERIFY(facts.truncated);
    }
    // A language record too short for the search flag; a title without its NUL.
    {
        ChmProjectFacts facts;
        core::parseSystem((le32(3) + record(4, le32(0x409)) + record(3, "Open")).toStdString(), facts);
        QVERIFY(facts.hasLanguage && facts.lcid == 0x409 && !facts.fullTextSearch);
        QCOMPARE(facts.title, std::string("Open"));
        QVERIFY(!facts.truncated);
    }
    const QByteArray strings("\0main\0Caption\0unterminated", 26);
    const auto windowEntry = [](quint32 name, quint32 caption) {
        QByteArray e(0xC4, '\0');
        e.replace(0, 4, le32(0xC4));
        e.replace(0x08, 4, le32(name));
        e.replace(0x14, 4, le32(caption));
        e.replace(0x60, 4, le32(0xFFFFFFF0)); // contents file far outside #STRINGS
        e.replace(0x70, 4, le32(0x1046));
        return e;
    };
    // Two definitions announced, one and a half present; string offsets outside or unterminated.
    {
        ChmProjectFacts facts;
        const QByteArray windows = le32(2) + le32(0xC4) + windowEntry(1, 20) + windowEntry(6, 1).left(100);
        core::parseWindows(windows.toStdString(), strings.toStdString(), facts);
        QCOMPARE(facts.windows.size(), std::size_t(1));
        QCOMPARE(facts.windows[0].name, std::string("main"));
        QVERIFY(facts.windows[0].caption.empty());      // "unterminated" has no NUL before the end
        QVERIFY(facts.windows[0].contentsFile.empty()); // outside
        QCOMPARE(facts.windows[0].buttons, 0x1046u);
        QVERIFY(facts.truncated);
    }
    // A definition size too small for the fields, and a count in the billions: nothing, quickly.
    {
        ChmProjectFacts facts;
        core::parseWindows((le32(0xFFFFFFFF) + le32(8) + QByteArray(64, 'x')).toStdString(), strings.toStdString(),
                           facts);
        QVERIFY(facts.windows.empty() && facts.truncated);
        ChmProjectFacts many;
        core::parseWindows((le32(0xFFFFFFFF) + le32(0xC4) + windowEntry(1, 6)).toStdString(), strings.toStdString(),
                           many);
        QCOMPARE(many.windows.size(), std::size_t(1));
    }
    // The context map: its length field lies; pairs past the table are not read.
    {
        ChmProjectFacts facts;
        const QByteArray ivb = le32(1000) + le32(1001) + le32(1) + le32(1002) + le32(6) + le32(7);
        core::parseContextIds(ivb.toStdString(), strings.toStdString(), facts);
        QCOMPARE(facts.contextIds.size(), std::size_t(2));
        QCOMPARE(facts.contextIds[1].id, 1002u);
        QCOMPARE(facts.contextIds[1].topic, std::string("Caption"));
        QVERIFY(facts.truncated);
    }
}

void TestFullProject::factsSurviveTheReport()
{
    ExtractReport report;
    report.opened = true;
    ChmProjectFacts& f = report.project;
    f.hasSystem = f.hasLanguage = f.fullTextSearch = f.binaryIndex = true;
    f.systemVersion = 3;
    f.lcid = 0x804;
    f.title = "7-Zip \xb0\xef\xd6\xfa\t\n"; // GBK bytes, and separators of the report itself
    f.defaultFont = std::string("a\0b", 3);
    ChmWindow w;
    w.name = "main";
    w.position[0] = -5;
    w.position[2] = 1019;
    w.buttons = 0x1046;
    w.notifyId = 0xFFFFFFFF;
    f.windows = {w};
    f.contextIds = {{1001, "/tmp/x/one.htm"}};
    const auto parsed = parseExtractReport(formatExtractReport(report));
    QVERIFY(parsed);
    const ChmProjectFacts& g = parsed->project;
    QCOMPARE(g.title, f.title);
    QCOMPARE(g.defaultFont, f.defaultFont);
    QVERIFY(g.hasSystem && g.hasLanguage && g.fullTextSearch && g.binaryIndex && !g.binaryToc && !g.truncated);
    QCOMPARE(g.lcid, 0x804u);
    QCOMPARE(g.windows.size(), std::size_t(1));
    QCOMPARE(g.windows[0].position[0], -5);
    QCOMPARE(g.windows[0].position[2], 1019);
    QCOMPARE(g.windows[0].notifyId, 0xFFFFFFFFu);
    QCOMPARE(g.contextIds.size(), std::size_t(1));
    QCOMPARE(g.contextIds[0].topic, std::string("/tmp/x/one.htm"));
    // A damaged line is ignored, not half taken.
    ChmProjectFacts h;
    QVERIFY(!core::parseFactLine("project\ttext\ttitle\t4g", h));
    QVERIFY(!core::parseFactLine("project\tcontext\t99999999999\t41", h));
    QVERIFY(h.title.empty() && h.contextIds.empty());
}

void TestFullProject::sevenZipMatchesItsOriginalProject()
{
    const QString data = chmtest::testdataFolder();
    if (data.isEmpty())
        QSKIP(chmtest::missingTestdata());
    QTemporaryDir dir;
    QVERIFY(QFile::copy(data + QStringLiteral("/real/7-zip.chm"), dir.filePath(QStringLiteral("7-zip.chm"))));
    LocalFileSystem fs;
    korvane::platform::QtProgramStarter programs;
    ExtractProcess process(programs, fs, chmtest::helperPath());
    DecompileRun run(fs, [&process](const NativePath& file, const NativePath& folder, const QByteArray& project,
                                    quint64 size) { return process.extract(file, folder, project, size); });
    korvane::platform::FakeSettingsStore settings;
    settings.setValue(QString::fromLatin1(kProjectKindSection), QString::fromUtf8(kProjectKindKey),
                      QString::fromUtf8(kFullProjectValue));
    run.setProjectKind(projectKindSetting(settings));
    const HelpFileOutcome outcome =
        run.runFile(korvane::platform::nativePath(dir.filePath(QStringLiteral("7-zip.chm"))), true);
    QVERIFY2(outcome.clean(), qPrintable(outcomeProblem(outcome).message()));

    const QString ours = readGbk(dir.filePath(QStringLiteral("7-zip/7-zip.full.hhp")));
    const QString original = readGbk(data + QStringLiteral("/real/7-Zip.HHP"));
    QVERIFY(!ours.isEmpty() && !original.isEmpty());
    const auto mine = options(ours);
    const auto theirs = options(original);
    // Keys the compiled file carries. The original names the compiled file with the path of the
    // machine it was compiled on; the help file keeps the name only.
    for (const char* key : {"contents file", "index file", "default topic", "default window", "default font",
                            "full-text search", "binary toc", "binary index", "title"})
        QCOMPARE(mine.value(QString::fromLatin1(key)), theirs.value(QString::fromLatin1(key)));
    QCOMPARE(mine.value(QStringLiteral("compiled file")),
             theirs.value(QStringLiteral("compiled file")).section(QLatin1Char('\\'), -1));
    // The Workshop reads "1.1" and "1.1 or later" as one setting; the language by its number.
    QVERIFY(mine.value(QStringLiteral("compatibility")).startsWith(theirs.value(QStringLiteral("compatibility"))));
    QCOMPARE(mine.value(QStringLiteral("language")).section(QLatin1Char(' '), 0, 0),
             theirs.value(QStringLiteral("language")).section(QLatin1Char(' '), 0, 0));
    const QString window = section(ours, QStringLiteral("[WINDOWS]"));
    const QString originalWindow = section(original, QStringLiteral("[WINDOWS]"));
    QCOMPARE(window.split(QLatin1Char(',')), originalWindow.split(QLatin1Char(',')));
    // The pages the original lists, all of them and no others ("\" as the Workshop writes it).
    QStringList files = section(ours, QStringLiteral("[FILES]")).split(QLatin1Char('\n'));
    QStringList originalFiles = section(original, QStringLiteral("[FILES]")).split(QLatin1Char('\n'));
    files.sort();
    originalFiles.sort();
    QCOMPARE(files, originalFiles);
}

void TestFullProject::roundTrip_data()
{
    QTest::addColumn<QString>("sample");
    for (const char* name :
         {"good/NOTES.CHM", "good/a.b.chm", "good/bare.chm", "good/gbknames.chm", "good/guide.old.chm", "good/many.chm",
          "good/nodefault.chm", "good/sample_en.chm", "good/中文帮助.chm", "real/7-zip.chm", "real/putty.chm"})
        QTest::newRow(name) << QString::fromUtf8(name);
}

void TestFullProject::roundTrip()
{
    QFETCH(QString, sample);
    const QString data = chmtest::testdataFolder();
    if (data.isEmpty())
        QSKIP(chmtest::missingTestdata());
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QString fileName = sample.section(QLatin1Char('/'), -1);
    const QByteArray project = projectNameOf(fileName.toUtf8()).value_or(QByteArray());
    LocalFileSystem fs;
    korvane::platform::QtProgramStarter programs;
    ExtractProcess process(programs, fs, chmtest::helperPath());
    DecompileRun run(fs, [&process](const NativePath& file, const NativePath& folder, const QByteArray& name,
                                    quint64 size) { return process.extract(file, folder, name, size); });
    run.setProjectKind(ProjectKind::Full);
    const auto decompile = [&](const QString& folder, const QString& chm) {
        QDir().mkpath(folder);
        const QString copy = folder + QLatin1Char('/') + fileName;
        if (!QFile::copy(chm, copy))
            return HelpFileOutcome{};
        return run.runFile(korvane::platform::nativePath(copy), true);
    };

    const HelpFileOutcome first = decompile(dir.filePath(QStringLiteral("first")), data + QLatin1Char('/') + sample);
    QVERIFY2(first.clean(), qPrintable(outcomeProblem(first).message()));
    // chmcmd reads the project as bytes and finds pages by their names on disk: the UTF-8 copy
    // when there is one.
    const QString out = QString::fromUtf8(first.outputFolder) + QLatin1Char('/');
    const QString utf8 = out + QString::fromUtf8(project) + QStringLiteral(".full.utf8.hhp");
    const QString hhp = QFile::exists(utf8) ? utf8 : out + QString::fromUtf8(project) + QStringLiteral(".full.hhp");
    const QString compiledName =
        options(QString::fromUtf8(treeListing(first.outputFolder).value(QFileInfo(hhp).fileName().toUtf8())))
            .value(QStringLiteral("compiled file"));
    const QString recompiled = chmtest::compile(hhp, compiledName);
    QVERIFY2(!recompiled.isEmpty(), qPrintable(hhp));
    const HelpFileOutcome second = decompile(dir.filePath(QStringLiteral("second")), recompiled);
    QVERIFY2(second.clean(), qPrintable(outcomeProblem(second).message()));

    const Summary before = summarize(first, project);
    const Summary after = summarize(second, project);
    QStringList table;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        const qsizetype items = it.value().isEmpty() ? 0 : it.value().count(QLatin1Char('\n')) + 1;
        table.append(
            QStringLiteral("%1: %2 (%3)")
                .arg(it.key(), after.value(it.key()) == it.value() ? QStringLiteral("same") : QStringLiteral("differs"))
                .arg(items));
    }
    // Nothing compared is nothing proved: every sample has pages, and a contents file where it names one.
    QVERIFY(!before.value(QStringLiteral("pages")).isEmpty());
    const FullProject named = fullProjectOf(fs, fileName.toUtf8(), project, first.outputFolder, first.extract.project);
    QCOMPARE(before.value(QStringLiteral("contents")).isEmpty(), named.contentsFile.isEmpty());
    qInfo("%s: %s", qPrintable(sample), qPrintable(table.join(QStringLiteral(", "))));
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QCOMPARE(after.value(it.key()), it.value());
    QCOMPARE(after.keys(), before.keys());
}

void TestFullProject::contextMapRoundTrip()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QByteArray src = korvane::platform::nativePath(dir.filePath(QStringLiteral("src")));
    korvane::testsupport::writeFile(src + "/one.htm", "<html><body>one</body></html>");
    korvane::testsupport::writeFile(src + "/sub/two.htm", "<html><body>two</body></html>");
    korvane::testsupport::writeFile(src + "/ids.h", "#define IDH_ONE 1001\r\n#define IDH_TWO 2002\r\n");
    korvane::testsupport::writeFile(src + "/ctx.hhp",
                                    "[OPTIONS]\r\nCompiled file=ctx.chm\r\nDefault topic=one.htm\r\n"
                                    "Default Window=main\r\nDefault Font=Arial,10,0\r\nTitle=Context help\r\n"
                                    "Language=0x409 English (United States)\r\n\r\n[WINDOWS]\r\n"
                                    "main=\"Caption\",,,\"one.htm\",\"sub\\two.htm\",,,,,0x2120,222,0x1046,"
                                    "[274,335,1019,875],0xB0000,,,,,,0\r\n\r\n[ALIAS]\r\nIDH_ONE=one.htm\r\n"
                                    "IDH_TWO=sub/two.htm\r\n\r\n[MAP]\r\n#include ids.h\r\n\r\n[FILES]\r\n"
                                    "one.htm\r\nsub\\two.htm\r\n");
    QString chm = chmtest::compile(QString::fromUtf8(src + "/ctx.hhp"), QStringLiteral("ctx.chm"));
    QVERIFY(!chm.isEmpty());

    LocalFileSystem fs;
    korvane::platform::QtProgramStarter programs;
    ExtractProcess process(programs, fs, chmtest::helperPath());
    DecompileRun run(fs, [&process](const NativePath& file, const NativePath& folder, const QByteArray& name,
                                    quint64 size) { return process.extract(file, folder, name, size); });
    run.setProjectKind(ProjectKind::Full);
    QList<QMap<QString, QString>> rounds;
    for (const char* folder : {"first", "second"}) {
        const QString copy = dir.filePath(QString::fromLatin1(folder) + QStringLiteral("/ctx.chm"));
        QVERIFY(QDir().mkpath(QFileInfo(copy).absolutePath()) && QFile::copy(chm, copy));
        const HelpFileOutcome outcome = run.runFile(korvane::platform::nativePath(copy), true);
        QVERIFY2(outcome.clean(), qPrintable(outcomeProblem(outcome).message()));
        const auto files = treeListing(outcome.outputFolder);
        const QString project = QString::fromLatin1(files.value("ctx.full.hhp"));
        // chmcmd stores the compiling machine's absolute paths in the map; the project names the pages.
        QCOMPARE(section(project, QStringLiteral("[ALIAS]")),
                 QStringLiteral("IDH_1001=one.htm\nIDH_2002=sub\\two.htm"));
        QCOMPARE(section(project, QStringLiteral("[MAP]")), QStringLiteral("#include ctx.h"));
        QCOMPARE(files.value("ctx.h"), QByteArray("#define IDH_1001 1001\r\n#define IDH_2002 2002\r\n"));
        QCOMPARE(section(project, QStringLiteral("[WINDOWS]")),
                 QStringLiteral("main=\"Caption\",,,\"one.htm\",\"sub\\two.htm\",,,,,0x2120,222,0x1046,"
                                "[274,335,1019,875],0xB0000,,,,,,0"));
        QCOMPARE(section(project, QStringLiteral("[FILES]")), QStringLiteral("one.htm\nsub\\two.htm"));
        rounds.append(options(project));
        // chmcmd needs "/" in [ALIAS]: the copy for it says so.
        QVERIFY(section(QString::fromLatin1(files.value("ctx.full.utf8.hhp")), QStringLiteral("[ALIAS]"))
                    .endsWith(QLatin1String("=sub/two.htm")));
        chm =
            chmtest::compile(QString::fromUtf8(outcome.outputFolder + "/ctx.full.utf8.hhp"), QStringLiteral("ctx.chm"));
        QVERIFY(!chm.isEmpty());
    }
    QCOMPARE(rounds[0].value(QStringLiteral("default font")), QStringLiteral("Arial,10,0"));
    QCOMPARE(rounds[1], rounds[0]);
}

void TestFullProject::aliasesAreNotAmplified()
{
    QByteArray ivb = le32(20000 * 8); // 20,000 IDs share one long topic: naming no page, or a page's path
    for (quint32 id = 1; id <= 20000; ++id)
        ivb += le32(id) + le32(1);
    const QByteArray deep = "C:\\build\\" + QByteArray(9000, 'd') + "\\";
    const core::PageNames pages{"one.htm", "sub/two.htm"};
    for (const auto& [topic, alias] : {std::pair(deep + "gone.htm", QString()),
                                       std::pair(deep + "Sub\\Two.htm#part", QStringLiteral("sub\\two.htm#part"))}) {
        ExtractReport report;
        core::parseContextIds(ivb.toStdString(), ('\0' + topic + '\0').toStdString(), report.project, &pages);
        const QByteArray lines = formatExtractReport(report);
        QVERIFY(lines.size() < 64 * 20000);
        QTemporaryDir dir;
        korvane::testsupport::writeFile(dir.path().toUtf8() + "/p/sub/two.htm", "2");
        LocalFileSystem fs;
        QVERIFY(
            writeFullProject(fs, "p.chm", "p", dir.path().toUtf8() + "/p", parseExtractReport(lines)->project).ok());
        const QByteArray project = korvane::testsupport::bytesOf(dir.path() + QStringLiteral("/p/p.full.hhp"));
        const QStringList aliases =
            section(QString::fromLatin1(project), QStringLiteral("[ALIAS]")).split(QLatin1Char('\n'));
        QVERIFY(project.size() < 64 * 20000);
        QCOMPARE(aliases.size(), alias.isEmpty() ? 1 : 20000); // "" splits into one empty line
        QCOMPARE(aliases.last(), alias.isEmpty() ? QString() : QStringLiteral("IDH_20000=") + alias);
    }
}

KORVANE_TEST_GUILESS_MAIN(TestFullProject)
#include "tst_helpdecompiler_fullproject.moc"
