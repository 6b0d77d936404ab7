// Builds the Debian package from this build, checks it with the distribution's tools, unpacks it
// into a temporary root (never installs it) and runs the unpacked korvane as a user who cannot
// write the install tree.
#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "../drawingviewer/dwgsynth.h"
#include "support/unprivileged.h"

#include "support/testmain.h"
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace korvane::testsupport;
using namespace korvane::drawingviewer::testing;

namespace {

struct Result {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Result run(const QString& program, const QStringList& arguments, int timeoutMs = 120000,
           const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, arguments);
    Result r;
    if (!p.waitForFinished(timeoutMs) || p.exitStatus() != QProcess::NormalExit) {
        p.kill();
        p.waitForFinished();
        r.err = "did not finish: " + program.toUtf8();
        return r;
    }
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QString tool(const char* name)
{
    return QStandardPaths::findExecutable(QString::fromLatin1(name));
}

/// Every file under `root` with its size and hash: what "unchanged" means for a tree.
QMap<QString, QByteArray> snapshot(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        QByteArray digest = "dir";
        if (it.fileInfo().isFile() && f.open(QIODevice::ReadOnly)) {
            QCryptographicHash hash(QCryptographicHash::Sha256);
            hash.addData(&f);
            digest = hash.result().toHex();
        }
        files.insert(QDir(root).relativeFilePath(path), digest);
    }
    return files;
}

} // namespace

class TestPackage : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void fileList();
    void control();
    void validators();
    void manualPagesAgree();
    void manualPagesRenderThroughMan();
    void appStreamSpeaksChinese();
    void unpackedProgramAsUser();

private:
    /// Runs the unpacked korvane offscreen with the driver loaded, as an unprivileged user.
    Result runKorvane(const QString& home, const QString& driver, const QStringList& arguments,
                      const QList<std::pair<QString, QString>>& settings);
    // The parts of unpackedProgramAsUser; each leaves the install tree as `before`.
    void recordsIntoTheUsersDatabase(const QString& home, const QString& driver, const QString& folder,
                                     const QList<std::pair<QString, int>>& files,
                                     const QMap<QString, QByteArray>& before);
    void toolsUseTheUsersFolder(const QString& home, const QString& driver, const QMap<QString, QByteArray>& before);
    void viewerOpensTheDrawing(const QString& home, const QString& driver, const QString& folder);

    QTemporaryDir m_dir;
    QString m_deb;
    QString m_root;
};

void TestPackage::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // Reachable by the unprivileged run below.
    QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755) == 0);
    const Result built =
        run(QStringLiteral(KORVANE_CPACK),
            {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"), m_dir.filePath(QStringLiteral("out")),
             QStringLiteral("--config"), QStringLiteral(KORVANE_BUILD_DIR "/CPackConfig.cmake")});
    QVERIFY2(built.exitCode == 0, built.out + built.err);
    const QStringList debs = QDir(m_dir.filePath(QStringLiteral("out"))).entryList({QStringLiteral("*.deb")});
    QCOMPARE(debs.size(), 1);
    const Result arch = run(tool("dpkg"), {QStringLiteral("--print-architecture")});
    QCOMPARE(debs.first(), QStringLiteral("korvane_%1_%2.deb")
                               .arg(QStringLiteral(KORVANE_VERSION), QString::fromLatin1(arch.out.trimmed())));
    m_deb = m_dir.filePath(QStringLiteral("out/") + debs.first());
    m_root = m_dir.filePath(QStringLiteral("root"));
    const Result unpacked = run(tool("dpkg-deb"), {QStringLiteral("-x"), m_deb, m_root});
    QVERIFY2(unpacked.exitCode == 0, unpacked.err);
}

void TestPackage::fileList()
{
    QStringList expected{
        QStringLiteral("usr/bin/korvane"),
        QStringLiteral("usr/bin/korvane-dwg-thumbnailer"),
        QStringLiteral("usr/bin/korvane-cli"),
        QStringLiteral("usr/share/man/man1/korvane-cli.1.gz"),
        QStringLiteral("usr/libexec/korvane/korvane-chmextract"),
        QStringLiteral("usr/libexec/korvane/korvane-dwgexport"),
        QStringLiteral("usr/libexec/korvane/korvane-doccommand"),
        QStringLiteral("usr/share/korvane/db1.mdb"),
        QStringLiteral("usr/share/applications/org.korvane.Korvane.desktop"),
        QStringLiteral("usr/share/applications/org.korvane.Korvane.ViewDwg.desktop"),
        QStringLiteral("usr/share/metainfo/org.korvane.Korvane.metainfo.xml"),
        QStringLiteral("usr/share/thumbnailers/org.korvane.Korvane.thumbnailer"),
        QStringLiteral("usr/share/doc/korvane/copyright"),
        QStringLiteral("usr/share/doc/korvane/changelog.gz"),
        QStringLiteral("usr/share/lintian/overrides/korvane"),
        QStringLiteral("usr/share/man/man1/korvane.1.gz"),
        QStringLiteral("usr/share/man/man1/korvane-dwg-thumbnailer.1.gz"),
        QStringLiteral("usr/share/man/zh_CN/man1/korvane.1.gz"),
        QStringLiteral("usr/share/man/zh_CN/man1/korvane-cli.1.gz"),
        QStringLiteral("usr/share/man/zh_CN/man1/korvane-dwg-thumbnailer.1.gz"),
    };
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256, 512})
        expected << QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/org.korvane.Korvane.png").arg(size);
    if (QFile::exists(QStringLiteral(KORVANE_BUILD_DIR "/bin/korvane-unohelper")))
        expected << QStringLiteral("usr/libexec/korvane/korvane-unohelper");
    QStringList found;
    QDirIterator it(m_root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << QDir(m_root).relativeFilePath(it.next());
    found.sort();
    expected.sort();
    QCOMPARE(found, expected); // nothing missing, no test or build leftovers
    // The command line finds the helpers it hands commands to where the package puts them
    // (exit 3 when it does not).
    const QString cli = m_root + QStringLiteral("/usr/bin/korvane-cli");
    QCOMPARE(run(cli, {QStringLiteral("dwg"), QStringLiteral("info"), QStringLiteral("/nonexistent.dwg")}).exitCode, 1);
    QCOMPARE(run(cli, {QStringLiteral("doc"), QStringLiteral("--help")}).exitCode, 0);

    for (const int size : {16, 48, 256}) {
        const QImage icon(m_root +
                          QStringLiteral("/usr/share/icons/hicolor/%1x%1/apps/org.korvane.Korvane.png").arg(size));
        QCOMPARE(icon.size(), QSize(size, size));
    }
    QCOMPARE(QFileInfo(m_root + QStringLiteral("/usr/bin/korvane")).permissions() & QFile::ExeOther, QFile::ExeOther);
    // The shipped database is the build's empty one.
    QFile shipped(m_root + QStringLiteral("/usr/share/korvane/db1.mdb"));
    QFile built(QStringLiteral(KORVANE_EMPTY_DB));
    QVERIFY(shipped.open(QIODevice::ReadOnly) && built.open(QIODevice::ReadOnly));
    QCOMPARE(shipped.readAll(), built.readAll());
}

void TestPackage::control()
{
    const Result fields = run(tool("dpkg-deb"), {QStringLiteral("-f"), m_deb});
    QCOMPARE(fields.exitCode, 0);
    const QString text = QString::fromUtf8(fields.out);
    QVERIFY2(text.contains(QLatin1String("\nSection: utils\n")), qPrintable(text));
    // Computed from the binaries, plus what is loaded at run time.
    for (const char* dependency : {"libqt6widgets6", "libqt6sql6-sqlite", "libsqlite3-0", "shared-mime-info"})
        QVERIFY2(text.section(QLatin1String("\nDepends:"), 1)
                     .section(QLatin1Char('\n'), 0, 0)
                     .contains(QLatin1String(dependency)),
                 dependency);
    const auto field = [&](const char* name) {
        return text.section(QLatin1String("\n") + QLatin1String(name) + QLatin1Char(':'), 1)
            .section(QLatin1Char('\n'), 0, 0);
    };
    QVERIFY2(field("Recommends").contains(QLatin1String("fonts-noto-cjk")), qPrintable(text));
    // Wine and its 32-bit half weigh gigabytes and serve two tools only, LibreOffice only the Word
    // documents the encryptor cannot handle itself: suggested, not recommended.
    for (const char* suggested : {"wine", "libreoffice-writer"}) {
        QVERIFY2(!field("Recommends").contains(QLatin1String(suggested)), qPrintable(text));
        QVERIFY2(field("Suggests").contains(QLatin1String(suggested)), qPrintable(text));
    }
    QVERIFY2(field("Recommends").contains(QLatin1String("xdg-utils")), qPrintable(text));
}

void TestPackage::validators()
{
    const QString share = m_root + QStringLiteral("/usr/share/");
    for (const char* entry : {"org.korvane.Korvane.desktop", "org.korvane.Korvane.ViewDwg.desktop"}) {
        const Result r =
            run(tool("desktop-file-validate"), {share + QStringLiteral("applications/") + QLatin1String(entry)});
        QVERIFY2(r.exitCode == 0 && r.out.isEmpty(), r.out + r.err);
    }
    const Result appstream =
        run(tool("appstreamcli"), {QStringLiteral("validate"), QStringLiteral("--no-net"),
                                   share + QStringLiteral("metainfo/org.korvane.Korvane.metainfo.xml")});
    QVERIFY2(appstream.exitCode == 0, appstream.out + appstream.err);

    const Result lintian = run(
        tool("lintian"),
        {QStringLiteral("--display-info"), QStringLiteral("--tag-display-limit"), QStringLiteral("0"), m_deb}, 240000);
    QVERIFY2(lintian.exitCode >= 0, lintian.err);
    QStringList errors;
    for (const QByteArray& line : lintian.out.split('\n')) {
        // Hardening tags are only informational, but each is a protection the binaries lack.
        if (line.startsWith("E: ") || line.contains(" hardening-"))
            errors << QString::fromUtf8(line);
        else if (line.startsWith("W: "))
            qInfo("accepted lintian warning: %s", line.constData());
    }
    QVERIFY2(errors.isEmpty(), qPrintable(errors.join(QLatin1Char('\n'))));
}

void TestPackage::manualPagesAgree()
{
    // English by default, Chinese under zh_CN, with the same content: the same options named.
    const auto options = [&](const QString& page) {
        const Result text =
            run(tool("gzip"), {QStringLiteral("-dc"), m_root + QStringLiteral("/usr/share/man/") + page});
        QSet<QString> found;
        static const QRegularExpression option(QStringLiteral(R"((?:\\?-){2}([a-z][a-z-]*))"));
        for (auto it = option.globalMatch(QString::fromUtf8(text.out)); it.hasNext();)
            found.insert(it.next().captured(1));
        return found;
    };
    for (const char* page : {"korvane-cli.1.gz", "korvane.1.gz", "korvane-dwg-thumbnailer.1.gz"}) {
        const QSet<QString> english = options(QStringLiteral("man1/") + QLatin1String(page));
        const QSet<QString> chinese = options(QStringLiteral("zh_CN/man1/") + QLatin1String(page));
        QVERIFY2(english == chinese,
                 qPrintable(QStringLiteral("%1: English only %2, Chinese only %3")
                                .arg(QLatin1String(page), QStringList((english - chinese).values()).join(u' '),
                                     QStringList((chinese - english).values()).join(u' '))));
    }
}

void TestPackage::manualPagesRenderThroughMan()
{
    // man itself, not groff: for a zh_CN folder man-db adds its Chinese setup (zh.tmac, which
    // once made troff loop for ever on a page), and it takes the language from the locale.
    const QString manRoot = m_root + QStringLiteral("/usr/share/man");
    const bool chineseLocale = run(tool("locale"), {QStringLiteral("-a")}).out.contains("zh_CN.utf8");
    QDirIterator it(manRoot, {QStringLiteral("*.1.gz")}, QDir::Files, QDirIterator::Subdirectories);
    int pages = 0;
    while (it.hasNext()) {
        const QString path = it.next();
        const bool chinese = path.contains(QLatin1String("/zh_CN/"));
        if (chinese && !chineseLocale) {
            qWarning("zh_CN.UTF-8 is not installed: %s not read through man", qPrintable(path));
            continue;
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("LC_ALL"));
        env.insert(QStringLiteral("LANG"), chinese ? QStringLiteral("zh_CN.UTF-8") : QStringLiteral("C.UTF-8"));
        env.insert(QStringLiteral("MANPATH"), manRoot);
        const QString name = it.fileName().chopped(5);
        // timeout kills the whole pipeline: a looping troff outlives a killed man.
        const Result r = run(tool("timeout"),
                             {QStringLiteral("-s"), QStringLiteral("KILL"), QStringLiteral("60"), tool("man"),
                              QStringLiteral("-P"), QStringLiteral("cat"), name},
                             90000, env);
        const QString text = QString::fromUtf8(r.out);
        QVERIFY2(r.exitCode == 0, qPrintable(path + QStringLiteral(": ") + QString::fromUtf8(r.err)));
        QVERIFY2(text.contains(chinese ? QStringLiteral("名称") : QStringLiteral("NAME")) &&
                     text.count(QLatin1Char('\n')) > 10,
                 qPrintable(path + QStringLiteral(":\n") + text));
        ++pages;
    }
    QVERIFY(pages >= 3);
}

void TestPackage::appStreamSpeaksChinese()
{
    // Software centres under a Chinese locale match the language tags the way appstreamcli does.
    // It reads only the system's folder: it is shown ours in a mount namespace of its own.
    if (::geteuid() != 0)
        QSKIP("needs root to show appstreamcli the unpacked metainfo folder");
    const QByteArray metainfo = QFile::encodeName(m_root + QStringLiteral("/usr/share/metainfo"));
    QTemporaryDir cache;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("LC_ALL"));
    env.insert(QStringLiteral("LANG"), QStringLiteral("zh_CN.UTF-8"));
    const auto ask = [&](const QStringList& query) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.setChildProcessModifier([&metainfo] {
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount(metainfo.constData(), "/usr/share/metainfo", nullptr, MS_BIND, nullptr) != 0)
                ::_exit(125);
        });
        p.start(tool("appstreamcli"),
                query + QStringList{QStringLiteral("--no-cache"), QStringLiteral("--cachepath"), cache.path()});
        p.waitForFinished(60000);
        return std::pair(p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()));
    };
    const auto [code, shown] = ask({QStringLiteral("get"), QStringLiteral("org.korvane.Korvane")});
    if (code == 125)
        QSKIP("no mount namespace here");
    QVERIFY2(shown.contains(QStringLiteral("Korvane 文件批量工具")) &&
                 shown.contains(QStringLiteral("一次处理大量文件的批量工具")),
             qPrintable(shown));
    const QString found = ask({QStringLiteral("search"), QStringLiteral("批量")}).second;
    QVERIFY2(found.contains(QStringLiteral("org.korvane.Korvane")), qPrintable(found));
}

void TestPackage::unpackedProgramAsUser()
{
    // A folder to record, readable by the unprivileged user.
    const QString folder = m_dir.filePath(QStringLiteral("记录 目录"));
    QVERIFY(QDir().mkpath(folder));
    const QList<std::pair<QString, int>> files{{QStringLiteral("a.txt"), 1000},
                                               {QStringLiteral("中文.txt"), 1000},
                                               {QStringLiteral("big.dat"), 5000},
                                               {QStringLiteral(".hidden"), 1000}};
    for (const auto& [name, size] : files) {
        QFile f(QDir(folder).filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(size, 'x')) == size);
    }
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    const QString home = m_dir.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    giveToUnprivileged(home);
    // The preloaded driver must be readable by that user wherever this build lives.
    const QString driver = m_dir.filePath(QStringLiteral("installdriver.so"));
    QVERIFY(QFile::copy(QStringLiteral(KORVANE_INSTALL_DRIVER), driver));
    const QMap<QString, QByteArray> before = snapshot(m_root);

    recordsIntoTheUsersDatabase(home, driver, folder, files, before);
    if (QTest::currentTestFailed())
        return;
    toolsUseTheUsersFolder(home, driver, before);
    if (QTest::currentTestFailed())
        return;
    viewerOpensTheDrawing(home, driver, folder);
}

void TestPackage::recordsIntoTheUsersDatabase(const QString& home, const QString& driver, const QString& folder,
                                              const QList<std::pair<QString, int>>& files,
                                              const QMap<QString, QByteArray>& before)
{
    const Result r = runKorvane(home, driver, {},
                                {{QStringLiteral("KORVANE_DRIVE_FOLDER"), folder},
                                 {QStringLiteral("KORVANE_DRIVE_SIZE"), QStringLiteral("1000")}});
    QVERIFY2(r.exitCode == 0, r.out + r.err);
    const QStringList lines = QString::fromUtf8(r.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(lines.contains(QStringLiteral("message:该目录文件信息记录完毕!")),
             qPrintable(lines.join(QLatin1Char('\n'))));
    QStringList found;
    for (const QString& line : lines)
        if (line.startsWith(QLatin1String("found:")))
            found = line.mid(6).split(QLatin1Char('|'));
    found.sort();
    QCOMPARE(found, (QStringList{QStringLiteral(".hidden"), QStringLiteral("a.txt"), QStringLiteral("中文.txt")}));

    // The rows are in the user's own database; the install tree is as unpacked.
    const QString userFolder = home + QStringLiteral("/.local/share/korvane");
    const QString database = userFolder + QStringLiteral("/db1.mdb");
    QVERIFY(QFile::exists(database));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(database);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("SELECT FileName, filesize FROM fileInf")));
        QMap<QString, int> rows;
        while (q.next())
            rows.insert(q.value(0).toString(), q.value(1).toInt());
        QMap<QString, int> want;
        for (const auto& [name, size] : files)
            want.insert(name, size);
        QCOMPARE(rows, want);
        QVERIFY(q.exec(QStringLiteral("SELECT folder FROM log")));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), folder);
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    // The tip window writes its file into the same folder.
    QVERIFY(QFile::exists(userFolder + QStringLiteral("/readme.txt")));
    QCOMPARE(snapshot(m_root), before);
}

void TestPackage::toolsUseTheUsersFolder(const QString& home, const QString& driver,
                                         const QMap<QString, QByteArray>& before)
{
    // The other tools' use of Korvane's folder and of the installed helper.
    const QString userFolder = home + QStringLiteral("/.local/share/korvane");
    const Result tools =
        runKorvane(home, driver, {}, {{QStringLiteral("KORVANE_DRIVE_MODE"), QStringLiteral("tools")}});
    QVERIFY2(tools.exitCode == 0, tools.out + tools.err);
    QCOMPARE(
        QString::fromUtf8(tools.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
        (QStringList{QStringLiteral("move-current:") + userFolder, QStringLiteral("decompile-target:") + userFolder,
                     QStringLiteral("message:全部chm文件反编译完成!")}));
    QVERIFY(QFile::exists(userFolder + QStringLiteral("/setting.txt")));
    QCOMPARE(snapshot(m_root), before);
}

void TestPackage::viewerOpensTheDrawing(const QString& home, const QString& driver, const QString& folder)
{
    // What "Open with Korvane" runs: the viewer opens on the drawing, as if chosen there.
    SynthDrawing drawing;
    QImage red(30, 20, QImage::Format_RGB32);
    red.fill(qRgb(255, 0, 0));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(red.save(&buffer, "PNG"));
    drawing.entries = {headerEntry(), {6, png}};
    const QString dwg = QDir(folder).filePath(QStringLiteral("图 纸.dwg"));
    QFile f(dwg);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(drawing.build()) > 0);
    f.close();
    const Result viewed = runKorvane(home, driver, {QStringLiteral("--view-dwg"), dwg},
                                     {{QStringLiteral("KORVANE_DRIVE_MODE"), QStringLiteral("viewer")}});
    QVERIFY2(viewed.exitCode == 0, viewed.out + viewed.err);
    QCOMPARE(QString::fromUtf8(viewed.out), QStringLiteral("viewer:%1\npixel:#ff0000\n").arg(dwg));
}

Result TestPackage::runKorvane(const QString& home, const QString& driver, const QStringList& arguments,
                               const QList<std::pair<QString, QString>>& settings)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("LD_PRELOAD"), driver);
    for (const auto& [name, value] : settings)
        env.insert(name, value);
    const QString korvane = m_root + QStringLiteral("/usr/bin/korvane");
    if (::geteuid() != 0)
        return run(korvane, arguments, 90000, env);
    return run(tool("setpriv"),
               QStringList{QStringLiteral("--reuid=%1").arg(kNobody), QStringLiteral("--regid=%1").arg(kNobody),
                           QStringLiteral("--clear-groups"), QStringLiteral("--"), korvane} +
                   arguments,
               90000, env);
}

KORVANE_TEST_GUILESS_MAIN(TestPackage)
#include "tst_packaging_package.moc"
