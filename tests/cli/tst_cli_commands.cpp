// korvane-cli driven as a process on temporary trees: output lines and JSON, exit codes,
// plans against real runs, passwords, and Ctrl-C.

#include "support/samples.h"
#include "support/testtree.h"
#include "support/unprivileged.h"
#include <QBuffer>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include "drawingviewer/dwgsynth.h"
#include "helpdecompiler/chmfixture.h"

#include "support/testmain.h"
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Result {
    int code = -1;
    QStringList out; ///< standard output, line by line
    QString err;
};

QString cliPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/korvane-cli");
}

/// Runs korvane-cli in `folder` without a controlling terminal, so nothing can prompt.
Result runCli(const QStringList& args, const QString& folder = {})
{
    QProcess p;
    p.setWorkingDirectory(folder.isEmpty() ? QDir::tempPath() : folder);
    p.setChildProcessModifier([] { ::setsid(); });
    p.start(cliPath(), args);
    p.closeWriteChannel();
    if (!p.waitForFinished(60000))
        p.kill();
    Result r;
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

/// Runs korvane-cli with arguments and working folder given as raw bytes, as a shell passes
/// them (QProcess would encode them as text). Standard output goes to `out` when given;
/// kClosed starts it with standard input and output closed (`<&- >&-`).
constexpr int kClosed = -2;
Result runRaw(const QList<QByteArray>& args, const QByteArray& folder, int out = -1)
{
    int pipes[2][2];
    if (::pipe(pipes[0]) != 0 || ::pipe(pipes[1]) != 0)
        return {};
    const QByteArray program = QFile::encodeName(cliPath());
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        if (::chdir(folder.constData()) != 0)
            ::_exit(126);
        ::dup2(out >= 0 ? out : pipes[0][1], STDOUT_FILENO);
        ::dup2(pipes[1][1], STDERR_FILENO);
        if (out == kClosed) {
            ::close(STDIN_FILENO);
            ::close(STDOUT_FILENO);
        }
        std::vector<char*> argv{const_cast<char*>(program.constData())};
        for (const QByteArray& a : args)
            argv.push_back(const_cast<char*>(a.constData()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipes[0][1]);
    ::close(pipes[1][1]);
    const QByteArray stdOut = korvane::testsupport::readAllAndClose(pipes[0][0]);
    const QByteArray stdErr = korvane::testsupport::readAllAndClose(pipes[1][0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    Result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = QString::fromUtf8(stdOut).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    r.err = QString::fromUtf8(stdErr);
    return r;
}

QList<QJsonObject> jsonLines(const QStringList& lines)
{
    QList<QJsonObject> objects;
    for (const QString& line : lines)
        objects << QJsonDocument::fromJson(line.toUtf8()).object();
    return objects;
}

using korvane::testsupport::bytesOf;
using korvane::testsupport::treeListing;
using korvane::testsupport::writeFile;

QString emptyDatabase(const QTemporaryDir& dir)
{
    const QString db = dir.filePath(QStringLiteral("db.mdb"));
    QFile::copy(QStringLiteral(KORVANE_EMPTY_DB), db);
    QFile::setPermissions(db, QFile::ReadOwner | QFile::WriteOwner);
    return db;
}

qint64 count(const QString& dbPath, const QString& sql)
{
    qint64 n = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(dbPath);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(sql) && q.next())
                n = q.value(0).toLongLong();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    return n;
}

using korvane::drawingviewer::testing::headerEntry;
using korvane::drawingviewer::testing::makeDib;
using korvane::drawingviewer::testing::securedDrawing;
using korvane::drawingviewer::testing::SynthDrawing;

QByteArray drawingWith(quint8 code, const QByteArray& picture)
{
    SynthDrawing d;
    d.entries = {headerEntry(), {code, picture}};
    return d.build();
}

QByteArray pngOf(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(qRgb(10, 200, 30));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void usage_data();
    void usage();
    void recordLookupAndLog();
    void operandsAreTheBytesGiven();
    void recordStoresOrSaysWhy();
    void filesPlanIsWhatTheRunDoes_data();
    void filesPlanIsWhatTheRunDoes();
    void filesLinesNameEachFile();
    void chmDecompile();
    void dwgInfoAndPreview();
    void docPasswordsComeFromAFileOnly();
    void unwritableOutputIsAnError();
    void compileFailuresHaveAReason();
    void compileRefusesAPipeAndStopsAtTheFirstInterrupt();
    void interruptLeavesWholeRuns_data();
    void interruptLeavesWholeRuns();
    void interruptedCopyLeavesWholeFiles();
};

void TestCli::usage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("says"); // on stderr, or on stdout for help

    QTest::newRow("no command") << QStringList{} << 2 << "缺少命令";
    QTest::newRow("unknown command") << QStringList{"bogus"} << 2 << "未知命令 bogus";
    QTest::newRow("unknown option") << QStringList{"record", "--fast", "x"} << 2 << "未知选项 --fast";
    QTest::newRow("option without value") << QStringList{"record", "x", "--db"} << 2 << "--db 需要一个值";
    QTest::newRow("move without target") << QStringList{"files", "move", "a"} << 2 << "必须先指定源和目标!";
    QTest::newRow("both type options") << QStringList{"files", "copy", "--types", "txt", "--type", ".txt", "a", "b"}
                                       << 2 << "只能选一个";
    QTest::newRow("unknown unit") << QStringList{"lookup", "--unit", "TB", "1"} << 2 << "Byte、KB、MB 或 GB";
    QTest::newRow("password on the command line")
        << QStringList{"doc", "protect", "--password", "secret", "a.doc"} << 2 << "未知选项 --password";
    QTest::newRow("password as value") << QStringList{"doc", "protect", "--password=secret", "a.doc"} << 2
                                       << "未知选项 --password";
    QTest::newRow("no terminal for the prompt") << QStringList{"doc", "protect", "a.doc"} << 2 << "--password-file";
    QTest::newRow("preview without --out") << QStringList{"dwg", "preview", "a.dwg"} << 2 << "--out";
    QTest::newRow("bad size") << QStringList{"dwg", "preview", "--out", ".", "--size", "0", "a.dwg"} << 2 << "--size";
    QTest::newRow("drawing program missing") << QStringList{"dwg", "protect"} << 3 << "AutoCAD";
    QTest::newRow("compiler missing") << QStringList{"compile", "--compiler", "/nonexistent/vb6", "a.vbp"} << 3
                                      << "指定的编译器路径错误!";
    QTest::newRow("help") << QStringList{"--help"} << 0 << "130";
    QTest::newRow("command help") << QStringList{"files", "--help"} << 0 << "--dry-run";
    QTest::newRow("-- ends options") << QStringList{"log", "--", "--clear"} << 2 << "多余的参数 --clear";
    // As rm: the root is no source, however the operand reaches it, unless asked for.
    const QString up = QStringLiteral(".") + QStringLiteral("/..").repeated(40);
    QTest::newRow("root through ..") << QStringList{"files", "delete", "--type", ".zzz", up} << 2
                                     << "--no-preserve-root";
    QTest::newRow("root as copy source") << QStringList{"files", "copy", "//.", "x"} << 2 << "是根目录 /";
    QTest::newRow("root when asked for")
        << QStringList{"files", "delete", "--dry-run", "--no-subfolders", "--no-preserve-root", "--type", ".zzz", "/"}
        << 0 << "";
    QTest::newRow("help on the root") << QStringList{"files", "--help"} << 0 << "--no-preserve-root";
}

void TestCli::usage()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, says);
    const Result r = runCli(args);
    QCOMPARE(r.code, code);
    const QString text = code == 0 ? r.out.join(QLatin1Char('\n')) : r.err;
    QVERIFY2(text.contains(says), qPrintable(text));
    if (code == 2)
        QVERIFY2(r.err.contains(QStringLiteral("用法: korvane-cli")), qPrintable(r.err));
}

void TestCli::recordLookupAndLog()
{
    QTemporaryDir dir;
    const QString db = emptyDatabase(dir);
    writeFile(dir.filePath("one/a.txt"), QByteArray(2048, 'a'));
    writeFile(dir.filePath("one/.hidden"), QByteArray(2048, 'h'));
    writeFile(dir.filePath("one/sub/deep.txt"), QByteArray(2048, 'd')); // not recorded: no descent
    writeFile(dir.filePath("two/b.bin"), QByteArray(10, 'b'));
    QDir().mkpath(dir.filePath("empty"));

    Result r = runCli({"record", "--db", db, "one", "two", "empty", "missing"}, dir.path());
    QCOMPARE(r.code, 1);
    QCOMPARE(r.out, (QStringList{dir.filePath("one") + "\t已记录 2 个文件", dir.filePath("two") + "\t已记录 1 个文件",
                                 dir.filePath("empty") + "\t跳过: 目录中没有文件",
                                 dir.filePath("missing") + "\t失败: 目录不存在"}));
    QVERIFY2(r.err.contains("2 个成功, 1 个失败, 1 个跳过"), qPrintable(r.err));

    r = runCli({"record", "--json", "--db", db, "two"}, dir.path());
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out.size(), 1);
    const QJsonObject o = jsonLines(r.out).first();
    QCOMPARE(o.value("path").toString(), dir.filePath("two"));
    QCOMPARE(o.value("status").toString(), QStringLiteral("ok"));
    QCOMPARE(o.value("files").toInt(), 1);
    QCOMPARE(o.value("stored").toInt(), 1);

    r = runCli({"lookup", "--db", db, "--unit", "KB", "--tolerance", "0", "2"});
    QCOMPARE(r.code, 0);
    r.out.sort(); // table order is the folder's listing order
    QCOMPARE(r.out, (QStringList{".hidden", "a.txt"}));
    r = runCli({"lookup", "--db", db, "--unit", "Byte", "--tolerance", "0", "10"});
    QCOMPARE(r.out, (QStringList{"b.bin", "b.bin"}));
    r = runCli({"lookup", "--json", "--db", db, "--unit", "KB", "--tolerance", "0", "2"});
    QCOMPARE(jsonLines(r.out).value(0).value("bytes").toInteger(), 2048);
    // grep's convention: nothing found is 1; a size that is no number is refused, not read as 0.
    r = runCli({"lookup", "--db", db, "--unit", "GB", "5"});
    QCOMPARE(r.code, 1);
    QVERIFY(r.out.isEmpty());
    QVERIFY(r.err.contains("没有记录!"));
    for (const QStringList& bad : {QStringList{"abc"}, QStringList{"--tolerance", "x", "1"}}) {
        r = runCli(QStringList{"lookup", "--db", db} + bad);
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains("不是数字"), qPrintable(r.err));
    }

    r = runCli({"log", "--db", db});
    QCOMPARE(r.out.size(), 3);
    QVERIFY(r.out[0].startsWith(dir.filePath("one") + "\t"));
    r = runCli({"log", "--db", db, "--delete-oldest"});
    QCOMPARE(r.code, 0);
    r = runCli({"log", "--db", db, "--delete-last"}); // the old name still works
    QCOMPARE(r.code, 0);
    r = runCli({"log", "--db", db, "--json"});
    const QList<QJsonObject> rows = jsonLines(r.out);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].value("path").toString(), dir.filePath("two")); // the oldest went
    QCOMPARE(rows[0].value("status").toString(), QStringLiteral("ok"));
    r = runCli({"log", "--db", db, "--clear"});
    QVERIFY(r.err.contains("已清空日志信息"));
    QCOMPARE(count(db, "SELECT COUNT(*) FROM log"), 0);
    r = runCli({"log", "--db", db, "--clear"});
    QVERIFY(r.err.contains("没有记录!"));

    r = runCli({"lookup", "--db", dir.filePath("nope.mdb"), "1"});
    QCOMPARE(r.code, 2);
    QVERIFY(!QFile::exists(dir.filePath("nope.mdb")));
}

void TestCli::operandsAreTheBytesGiven()
{
    QTemporaryDir dir;
    using korvane::testsupport::raw;
    const QByteArray root = raw(dir.path());
    const QByteArray invalid = root + "/\xff", replacement = root + "/\xef\xbf\xbd", gbk = root + "/\xd6\xd0\xce\xc4";
    for (const QByteArray& folder : {invalid, replacement, gbk})
        writeFile(folder + "/a.dat", "a");
    const QList<QByteArray> deleteDat{"files", "delete", "--type", ".dat"};

    // A relative operand against the working folder, then the working folder itself.
    Result r = runRaw(deleteDat + QList<QByteArray>{"\xff"}, root);
    QCOMPARE(r.code, 0);
    QVERIFY(!korvane::testsupport::exists(invalid + "/a.dat"));
    QVERIFY(korvane::testsupport::exists(replacement + "/a.dat"));
    writeFile(invalid + "/a.dat", "a");
    r = runRaw(deleteDat + QList<QByteArray>{"."}, invalid);
    QCOMPARE(r.code, 0);
    QVERIFY(!korvane::testsupport::exists(invalid + "/a.dat"));
    QVERIFY(korvane::testsupport::exists(replacement + "/a.dat"));

    // A GBK name from a Windows archive is found, and shown decoded.
    r = runRaw(deleteDat + QList<QByteArray>{"--json", gbk}, root);
    QCOMPARE(r.code, 0);
    QCOMPARE(jsonLines(r.out).value(0).value("path").toString(), dir.filePath(QStringLiteral("中文/a.dat")));
    QVERIFY(!korvane::testsupport::exists(gbk + "/a.dat"));

    // A database that is not named in UTF-8 is that very file, never its decoded look-alike.
    const QByteArray empty = korvane::testsupport::readFile(QByteArray(KORVANE_EMPTY_DB));
    for (const QByteArray& folder : {invalid, replacement})
        writeFile(folder + "/k.mdb", empty);
    r = runRaw({"record", "--db", "\xff/k.mdb", replacement}, root);
    QCOMPARE(r.code, 0);
    QCOMPARE(korvane::testsupport::readFile(replacement + "/k.mdb"), empty);
    r = runRaw({"log", "--db", invalid + "/k.mdb"}, root);
    QCOMPARE(r.out.size(), 1);
    QVERIFY2(r.out.first().startsWith(QString::fromUtf8(replacement) + u'\t'), qPrintable(r.out.first()));
    for (const QByteArray& folder : {invalid, replacement, gbk})
        korvane::testsupport::removeTree(folder);
}

void TestCli::recordStoresOrSaysWhy()
{
    QTemporaryDir dir;
    using korvane::testsupport::raw;
    ::chmod(raw(dir.path()).constData(), 0755);
    writeFile(dir.filePath("files/a.txt"), "a");

    // A FIFO (or any file that is no regular file) is refused before anything opens it.
    const QString fifo = dir.filePath("fifo");
    QVERIFY(::mkfifo(raw(fifo).constData(), 0644) == 0);
    Result r = runCli({"record", "--db", fifo, "files"}, dir.path());
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains("无法打开数据库文件"), qPrintable(r.err));

    // As a user who may not write it: a read-only database and a folder that cannot be listed
    // store nothing, and say so; a link from a read-only folder to a database the user may
    // write is judged by that database.
    const QString readOnly = emptyDatabase(dir);
    QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    QVERIFY(QDir().mkpath(dir.filePath("locked")));
    ::chmod(raw(dir.filePath("locked")).constData(), 0);
    QVERIFY(QDir().mkpath(dir.filePath("rw")));
    QVERIFY(QFile::copy(QStringLiteral(KORVANE_EMPTY_DB), dir.filePath("rw/db.mdb")));
    korvane::testsupport::giveToUnprivileged(dir.filePath("rw"));
    korvane::testsupport::giveToUnprivileged(dir.filePath("rw/db.mdb"));
    QVERIFY(QDir().mkpath(dir.filePath("ro")));
    QVERIFY(::symlink("../rw/db.mdb", raw(dir.filePath("ro/db1.mdb")).constData()) == 0);
    ::chmod(raw(dir.filePath("ro")).constData(), 0555);
    QByteArray out;
    int code =
        korvane::testsupport::runUnprivileged(cliPath(), {"record", "--db", readOnly, dir.filePath("locked")}, &out);
    QCOMPARE(code, 1);
    QVERIFY2(out.contains("无法保存记录: "), out.constData());
    code = korvane::testsupport::runUnprivileged(
        cliPath(), {"record", "--db", dir.filePath("ro/db1.mdb"), dir.filePath("files")}, &out);
    QCOMPARE(code, 0);
    QCOMPARE(count(dir.filePath("rw/db.mdb"), "SELECT COUNT(*) FROM log"), 1);
}

void TestCli::filesPlanIsWhatTheRunDoes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("actions"); // sorted by path
    QTest::newRow("move") << QStringList{"move", "--types", "txt;doc"}
                          << QStringList{"move", "skip-exists", "move", "move", "skip-exists"};
    QTest::newRow("copy, no overwrite") << QStringList{"copy", "--type", "*.txt", "--no-overwrite"}
                                        << QStringList{"copy", "skip-exists", "copy", "skip-exists"};
    QTest::newRow("copy, top only") << QStringList{"copy", "--types", "txt", "--no-subfolders"}
                                    << QStringList{"copy", "replace", "copy"};
    QTest::newRow("delete") << QStringList{"delete", "--types", "txt"}
                            << QStringList{"delete", "delete", "skip-read-only", "delete"};
}

void TestCli::filesPlanIsWhatTheRunDoes()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, actions);
    QTemporaryDir dir;
    writeFile(dir.filePath("src/a.txt"), "a");
    writeFile(dir.filePath("src/b.txt"), "b");
    writeFile(dir.filePath("src/ro.txt"), "ro");
    ::chmod(QFile::encodeName(dir.filePath("src/ro.txt")).constData(), 0444);
    writeFile(dir.filePath("src/c.doc"), "c");
    writeFile(dir.filePath("src/sub/a.txt"), "sub a");
    writeFile(dir.filePath("dst/b.txt"), "old b");
    const bool withTarget = args.first() == "move" || args.first() == "copy";
    QStringList tail{"src"};
    if (withTarget)
        tail << "dst";
    const auto before = treeListing(dir.path());

    const Result plan = runCli(QStringList{"files", "--json", "--dry-run"} + args + tail, dir.path());
    QCOMPARE(plan.code, 0);
    QCOMPARE(treeListing(dir.path()), before);
    QVERIFY2(plan.err.contains("计划"), qPrintable(plan.err));

    const Result run = runCli(QStringList{"files", "--json"} + args + tail, dir.path());
    QCOMPARE(run.code, 0);
    QList<QJsonObject> planned = jsonLines(plan.out);
    QList<QJsonObject> done = jsonLines(run.out);
    QCOMPARE(done.size(), planned.size());
    QStringList plannedActions;
    for (int i = 0; i < planned.size(); ++i) {
        QCOMPARE(done[i].value("path"), planned[i].value("path"));
        QCOMPARE(done[i].value("target"), planned[i].value("target"));
        QCOMPARE(done[i].value("action"), planned[i].value("action"));
        QCOMPARE(done[i].value("status"), planned[i].value("status"));
        QVERIFY(planned[i].value("planned").toBool());
        QVERIFY(!done[i].contains("planned"));
    }
    std::sort(planned.begin(), planned.end(), [](const QJsonObject& x, const QJsonObject& y) {
        return x.value("path").toString() < y.value("path").toString();
    });
    for (const QJsonObject& o : planned)
        plannedActions << o.value("action").toString();
    QCOMPARE(plannedActions, actions);
    QVERIFY(treeListing(dir.path()) != before);
}

void TestCli::filesLinesNameEachFile()
{
    // The line form writes UTF-8 names as they are and shows a GBK name decoded.
    QTemporaryDir dir;
    const QString root = dir.path();
    writeFile(dir.filePath("src/名单.txt"), "a");
    writeFile(korvane::testsupport::raw(root) + "/src/\xd6\xd0\xce\xc4.txt", "b");
    writeFile(dir.filePath("dst/名单.txt"), "old");
    Result r = runCli({"files", "copy", "--type", "txt", "src", "dst"}, root);
    QCOMPARE(r.code, 0);
    r.out.sort();
    QCOMPARE(r.out, QStringList({root + "/src/中文.txt → " + root + "/dst/中文.txt\t复制",
                                 root + "/src/名单.txt → " + root + "/dst/名单.txt\t复制并替换"}));
    QCOMPARE(bytesOf(dir.filePath("dst/名单.txt")), QByteArray("a"));

    r = runCli({"files", "copy", "--no-overwrite", "--type", "txt", "src", "dst"}, root);
    r.out.sort();
    QCOMPARE(r.out, QStringList({root + "/src/中文.txt → " + root + "/dst/中文.txt\t跳过: 目标中已有同名文件",
                                 root + "/src/名单.txt → " + root + "/dst/名单.txt\t跳过: 目标中已有同名文件"}));
    for (const char* folder : {"/src", "/dst"})
        korvane::testsupport::removeTree(korvane::testsupport::raw(root) + folder);
}

void TestCli::chmDecompile()
{
    if (!chmtest::haveChmcmd())
        QSKIP("chmcmd is not installed");
    QTemporaryDir dir;
    const QByteArray work = QFile::encodeName(dir.filePath("work"));
    const QString built =
        chmtest::buildHelpFile(work, "manual.chm", {{"index.html", "<html>index</html>"}, {"pics/a.txt", "picture"}});
    QVERIFY(!built.isEmpty());
    writeFile(dir.filePath("in/manual.chm"), bytesOf(built));
    writeFile(dir.filePath("in/broken.chm"), "not a help file");
    writeFile(dir.filePath("in/deeper/other.chm"), bytesOf(built));

    Result r = runCli({"chm", "decompile", "in", "missing"}, dir.path());
    QCOMPARE(r.code, 1);
    QCOMPARE(r.out.size(), 3); // deeper/ is not walked without --subfolders
    QCOMPARE(r.out.filter(dir.filePath("in/manual.chm") + "\t已反编译到 " + dir.filePath("in/manual") + " (").size(),
             1);
    QVERIFY(r.out.filter(dir.filePath("in/broken.chm") + "\t失败: ").size() == 1);
    QVERIFY(r.out.contains(dir.filePath("missing") + "\t失败: 目标路径不存在!"));
    QCOMPARE(bytesOf(dir.filePath("in/manual/index.html")), QByteArray("<html>index</html>"));
    QVERIFY(QFile::exists(dir.filePath("in/manual/manual.hhp")));
    QVERIFY(!QFile::exists(dir.filePath("in/manual/manual.full.hhp")));

    // The full project beside the .hhp; an unknown kind is a usage error before anything is done.
    r = runCli({"chm", "decompile", "--project", "all", "in/manual.chm"}, dir.path());
    QCOMPARE(r.code, 2);
    QVERIFY(!QFile::exists(dir.filePath("in/manual/manual.full.hhp")));
    r = runCli({"chm", "decompile", "--project=full", "in/manual.chm"}, dir.path());
    QCOMPARE(r.code, 0);
    QVERIFY(QFile::exists(dir.filePath("in/manual/manual.hhp")));
    QVERIFY(
        bytesOf(dir.filePath("in/manual/manual.full.hhp"))
            .contains("\r\nLanguage=0x409 English (United States)\r\n\r\n[FILES]\r\nindex.html\r\npics\\a.txt\r\n"));

    r = runCli({"chm", "decompile", "--json", "--no-project", "in/deeper/other.chm"}, dir.path());
    QCOMPARE(r.code, 0);
    const QJsonObject o = jsonLines(r.out).value(0);
    QCOMPARE(o.value("status").toString(), QStringLiteral("ok"));
    QCOMPARE(o.value("files").toInt(), treeListing(dir.filePath("in/deeper/other")).size());
    QCOMPARE(o.value("output").toString(), dir.filePath("in/deeper/other"));
    QVERIFY(QFile::exists(dir.filePath("in/deeper/other/pics/a.txt")));
    QVERIFY(!QFile::exists(dir.filePath("in/deeper/other/other.hhp")));
}

void TestCli::dwgInfoAndPreview()
{
    QTemporaryDir dir;
    const QByteArray png = pngOf(40, 20);
    const QByteArray dib = makeDib(16, 8, 24);
    writeFile(dir.filePath("in/png.dwg"), drawingWith(6, png));
    writeFile(dir.filePath("in/bmp.dwg"), drawingWith(2, dib));
    writeFile(dir.filePath("other/png.dwg"), drawingWith(6, png)); // same name, other folder
    writeFile(dir.filePath("in/text.dwg"), "not a drawing at all, but long enough for a header............");
    QDir().mkpath(dir.filePath("out"));

    Result r = runCli({"dwg", "info", "--json", "in/png.dwg", "in/bmp.dwg", "in/text.dwg"}, dir.path());
    QCOMPARE(r.code, 1);
    const QList<QJsonObject> info = jsonLines(r.out);
    QCOMPARE(info.size(), 3);
    QCOMPARE(info[0].value("format").toString(), QStringLiteral("png"));
    QCOMPARE(info[0].value("width").toInt(), 40);
    QCOMPARE(info[0].value("height").toInt(), 20);
    QCOMPARE(info[1].value("format").toString(), QStringLiteral("bmp"));
    QCOMPARE(info[1].value("bytes").toInt(), dib.size() + 14);
    QCOMPARE(info[2].value("status").toString(), QStringLiteral("failed"));
    QCOMPARE(info[2].value("reason").toString(), QStringLiteral("不是DWG图纸文件"));

    // A drawing saved without a preview is information, not a failure.
    SynthDrawing bare;
    bare.entries = {headerEntry()};
    writeFile(dir.filePath("in/bare.dwg"), bare.build());
    r = runCli({"dwg", "info", "--json", "in/bare.dwg"}, dir.path());
    QCOMPARE(r.code, 0);
    QCOMPARE(jsonLines(r.out).value(0).value("format").toString(), QStringLiteral("none"));

    // Version and protection; an encrypted preview is a fact, and R2000 has no flags at all.
    // Flags with no security section behind them are damaged, not a password.
    SynthDrawing locked = securedDrawing(3), old, odd;
    old.securityFlags = odd.securityFlags = 3;
    old.version = "AC1015";
    odd.entries = {headerEntry(), {6, png}};
    writeFile(dir.filePath("in/locked.dwg"), locked.build());
    writeFile(dir.filePath("in/old.dwg"), old.build());
    writeFile(dir.filePath("in/odd.dwg"), odd.build());
    r = runCli({"dwg", "info", "--json", "in/locked.dwg", "in/old.dwg", "in/odd.dwg"}, dir.path());
    const QList<QJsonObject> flags = jsonLines(r.out);
    QCOMPARE(flags.value(0).value("securityFlags").toInt(), 3);
    QVERIFY(flags.value(0).value("password").toBool() && !flags.value(1).value("password").toBool(true));
    QCOMPARE(flags.value(1).value("release").toString(), QStringLiteral("R2000"));
    QVERIFY(!flags.value(1).contains("securityFlags"));
    QCOMPARE(flags.value(2).value("securityFlags").toInt(), 3);
    QVERIFY(!flags.value(2).value("password").toBool(true));
    QCOMPARE(flags.value(2).value("protection").toString(), QStringLiteral("安全标志异常(可能已损坏)"));
    QCOMPARE(flags.value(2).value("width").toInt(), 40);
    r = runCli({"dwg", "info", "in/locked.dwg"}, dir.path());
    QCOMPARE(r.code, 0);
    QVERIFY(
        r.out.value(0).endsWith("R2004 (AC1018), 有密码: 数据已加密, 预览和属性已加密; 没有预览 (图纸的预览已加密)"));

    r = runCli({"dwg", "preview", "--out", "out", "in/png.dwg", "other/png.dwg", "in/bmp.dwg", "in/text.dwg"},
               dir.path());
    QCOMPARE(r.code, 1);
    QCOMPARE(bytesOf(dir.filePath("out/png.png")), png); // stored in the wanted form: as it is
    QCOMPARE(bytesOf(dir.filePath("out/png-2.png")), png);
    QCOMPARE(QImage(dir.filePath("out/bmp.png")).size(), QSize(16, 8));
    QVERIFY(!QFile::exists(dir.filePath("out/text.png")));

    r = runCli({"dwg", "preview", "--out", "out", "--format", "bmp", "--size", "10", "in/png.dwg"}, dir.path());
    QCOMPARE(r.code, 0);
    const QImage scaled(dir.filePath("out/png.bmp"), "BMP");
    QCOMPARE(scaled.size(), QSize(10, 5));

    // A stored PNG whose image data is damaged (its signature intact) is written nowhere.
    QByteArray damaged = png;
    damaged.replace(damaged.indexOf("IDAT") + 4, 8, QByteArray(8, '\xA5'));
    writeFile(dir.filePath("in/damaged.dwg"), drawingWith(6, damaged));
    for (const char* action : {"info", "preview"}) {
        r = runCli({"dwg", action, "--json", "--out", "out", "in/damaged.dwg"}, dir.path());
        QCOMPARE(r.code, 1);
        QCOMPARE(jsonLines(r.out).value(0).value("reason").toString(), QStringLiteral("图纸的预览已损坏"));
    }
    QVERIFY(!QFile::exists(dir.filePath("out/damaged.png")));
}

void TestCli::docPasswordsComeFromAFileOnly()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("pw.txt"), "open\nmodify\n");
    // Missing documents fail one by one, before any office is started.
    Result r = runCli({"doc", "protect", "--password-file", "pw.txt", "gone.doc", "--json"}, dir.path());
    QCOMPARE(r.code, 1);
    QCOMPARE(jsonLines(r.out).value(0).value("status").toString(), QStringLiteral("failed"));
    r = runCli({"doc", "protect", "--password-file", "nofile.txt", "gone.doc"}, dir.path());
    QCOMPARE(r.code, 2);
    QVERIFY(r.err.contains("无法读取密码文件"));
    writeFile(dir.filePath("blank.txt"), "\n\n");
    r = runCli({"doc", "protect", "--password-file", "blank.txt", "gone.doc"}, dir.path());
    QCOMPARE(r.code, 2);
    // Only a short regular file or a pipe: a device is refused unread, a long file after 4 KB.
    writeFile(dir.filePath("long.txt"), QByteArray(5000, 'p'));
    for (const char* file : {"/dev/zero", "long.txt"}) {
        r = runCli({"doc", "protect", "--password-file", file, "gone.doc"}, dir.path());
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains("无法读取密码文件"), qPrintable(r.err));
    }
    r = runCli({"doc", "protect", "--password-file", "/dev/stdin", "gone.doc"}, dir.path()); // a pipe, empty
    QVERIFY2(r.err.contains("两个密码都是空的"), qPrintable(r.err));
    // unprotect takes the current password from a file, so it runs without a terminal.
    writeFile(dir.filePath("current.txt"), "old\n");
    writeFile(dir.filePath("three.txt"), "\n\nold\n");
    for (const QStringList& given :
         {QStringList{"--current-password-file", "current.txt"}, QStringList{"--password-file", "three.txt"}}) {
        r = runCli(QStringList{"doc", "unprotect"} + given + QStringList{"gone.doc"}, dir.path());
        QCOMPARE(r.code, 1);
        QVERIFY2(r.out.value(0).endsWith("文件不存在"), qPrintable(r.out.join('\n')));
    }
    r = runCli({"doc", "unprotect", "--password-file", "three.txt", "--current-password-file", "current.txt", "x.doc"},
               dir.path());
    QCOMPARE(r.code, 2);
    // A loop of links is named; a modify password alone is not called encryption.
    QVERIFY(QFile::link(QStringLiteral("loop.doc"), dir.filePath("loop.doc")));
    r = runCli({"doc", "protect", "--password-file", "pw.txt", "loop.doc"}, dir.path());
    QVERIFY2(r.code == 1 && r.out.value(0).endsWith("符号链接循环"), qPrintable(r.out.join('\n')));
    const QString word = korvane::testsupport::sampleFile(QStringLiteral("doc"), QStringLiteral("plain.doc"));
    if (word.isEmpty())
        QSKIP(korvane::testsupport::missingSamples(QStringLiteral("doc"), QStringLiteral("plain.doc")));
    writeFile(dir.filePath("m.doc"), korvane::testsupport::bytesOf(word));
    writeFile(dir.filePath("modify.txt"), "\nmodify\n");
    r = runCli({"doc", "protect", "--password-file", "modify.txt", "m.doc"}, dir.path());
    QVERIFY2(r.code == 0 && r.out.value(0).endsWith("已设置修改密码"), qPrintable(r.out.join('\n')));
}

void TestCli::unwritableOutputIsAnError()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("src/a.txt"), "a");
    const QList<QByteArray> plan{"files", "delete", "--dry-run", "--type", ".txt", "src"};
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    QVERIFY(full >= 0);
    QCOMPARE(runRaw(plan, QFile::encodeName(dir.path()), full).code, 4);
    ::close(full);
    int ends[2];
    QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
    ::close(ends[0]); // nobody will read
    const Result r = runRaw({"--help"}, QFile::encodeName(dir.path()), ends[1]);
    ::close(ends[1]);
    QCOMPARE(r.code, 4);
    QVERIFY2(r.err.contains("无法写出结果"), qPrintable(r.err));
    // Closed by the caller is like /dev/null: a descriptor the program opens must not stand in.
    const Result closed = runRaw(plan, QFile::encodeName(dir.path()), kClosed);
    QVERIFY2(closed.code == 0 && !closed.err.contains("无法写出结果"), qPrintable(closed.err));
}

void TestCli::compileFailuresHaveAReason()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("a.vbp"), "Type=Exe\r\n");
    // `yes` floods its output and never ends; `false` fails without a line of its own.
    Result r = runCli({"compile", "--json", "--time-limit", "1", "--compiler", "/usr/bin/yes", "a.vbp"}, dir.path());
    QCOMPARE(r.code, 1);
    QList<QJsonObject> items = jsonLines(r.out);
    QCOMPARE(items.size(), 1);
    QCOMPARE(items[0]["status"].toString(), "failed");
    QCOMPARE(items[0]["reason"].toString(), "编译超过1秒没有结束, 已停止");
    r = runCli({"compile", "--json", "--compiler", "/bin/false", "a.vbp"}, dir.path());
    items = jsonLines(r.out);
    QCOMPARE(items.size(), 1);
    QCOMPARE(items[0]["reason"].toString(), "编译失败(退出码 1)");
    // The text form says it once.
    r = runCli({"compile", "--compiler", "/bin/false", "a.vbp"}, dir.path());
    QCOMPARE(r.out, QStringList{dir.filePath("a.vbp") + "\t编译失败(退出码 1)"});
}

void TestCli::compileRefusesAPipeAndStopsAtTheFirstInterrupt()
{
    QTemporaryDir dir;
    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath("pipe.vbp")).constData(), 0644) == 0);
    writeFile(dir.filePath("a.vbp"), "Type=Exe\r\n");
    // The stand-in compiler says that it runs, then never ends.
    const QString compiler = dir.filePath("slow");
    writeFile(compiler, "#!/bin/sh\n: > \"$0.started\"\nexec sleep 60\n");
    QVERIFY(::chmod(QFile::encodeName(compiler).constData(), 0755) == 0);
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.setChildProcessModifier([] { ::setsid(); });
    p.start(cliPath(), {"compile", "--compiler", compiler, "pipe.vbp", "a.vbp"});
    const auto reap = qScopeGuard([&p] {
        p.kill();
        p.waitForFinished();
    });
    // A run held in the pipe's open() never gets to the compiler: the wait fails.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(compiler + ".started"), 30000);
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitCode(), 130);
    QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()),
             dir.filePath("pipe.vbp") + "\t未编译: 工程不是普通文件(命名管道)\n");
    QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains("操作已取消"));
}

void TestCli::interruptLeavesWholeRuns_data()
{
    QTest::addColumn<int>("interrupts");
    QTest::newRow("once: stop after the folder in hand") << 1;
    QTest::newRow("twice: stop at once") << 2;
}

void TestCli::interruptLeavesWholeRuns()
{
    QFETCH(int, interrupts);
    QTemporaryDir dir;
    const QString db = emptyDatabase(dir);
    constexpr int kFolders = 300;
    constexpr int kFiles = 8;
    QStringList args{"record", "--db", db};
    for (int f = 0; f < kFolders; ++f) {
        const QString folder = dir.filePath(QStringLiteral("f%1").arg(f));
        QDir().mkpath(folder);
        for (int i = 0; i < kFiles; ++i) {
            const int fd = ::open(QFile::encodeName(folder + QStringLiteral("/%1.txt").arg(i)).constData(),
                                  O_WRONLY | O_CREAT, 0644);
            QVERIFY(fd >= 0 && ::write(fd, "x", 1) == 1);
            ::close(fd);
        }
        args << folder;
    }
    QProcess p;
    p.setChildProcessModifier([] { ::setsid(); });
    p.start(cliPath(), args);
    QVERIFY(p.waitForReadyRead(30000));
    for (int i = 0; i < interrupts; ++i)
        ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitCode(), 130);
    const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QVERIFY2(lines.size() < kFolders, "the run ended before the interrupt");
    if (interrupts == 1)
        QVERIFY2(QString::fromUtf8(p.readAllStandardError()).contains("操作已取消"), "no cancel summary");
    // Whole folders only: every recorded folder has all its rows, and its log row.
    const qint64 logged = count(db, "SELECT COUNT(*) FROM log");
    const qint64 rows = count(db, "SELECT COUNT(*) FROM fileInf");
    QCOMPARE(rows % kFiles, 0);
    if (interrupts == 1) {
        QCOMPARE(logged, qint64(lines.size()));
        QCOMPARE(rows, logged * kFiles);
    } else {
        // At once may fall between a folder's commit and its log row, as a killed window would.
        QVERIFY(logged >= lines.size() && logged <= lines.size() + 1);
        QVERIFY(rows / kFiles >= logged && rows / kFiles <= logged + 1);
    }
    QCOMPARE(count(db, "SELECT COUNT(*) FROM pragma_integrity_check WHERE integrity_check = 'ok'"), 1);
}

void TestCli::interruptedCopyLeavesWholeFiles()
{
    QTemporaryDir dir;
    constexpr int kFiles = 3000;
    const QByteArray content(3000, 'c');
    QDir().mkpath(dir.filePath("src"));
    QDir().mkpath(dir.filePath("dst"));
    for (int i = 0; i < kFiles; ++i) {
        const int fd = ::open(QFile::encodeName(dir.filePath(QStringLiteral("src/%1.txt").arg(i))).constData(),
                              O_WRONLY | O_CREAT, 0644);
        QVERIFY(fd >= 0 && ::write(fd, content.constData(), size_t(content.size())) == content.size());
        ::close(fd);
    }
    QProcess p;
    p.setChildProcessModifier([] { ::setsid(); });
    p.start(cliPath(), {"files", "copy", "--types", "txt", dir.filePath("src"), dir.filePath("dst")});
    QVERIFY(p.waitForReadyRead(30000));
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitCode(), 130);
    const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QVERIFY2(lines.size() < kFiles, "the run ended before the interrupt");
    // Every file reported is there whole, and nothing else is: no partial copy, no temporary.
    const QStringList copied = QDir(dir.filePath("dst")).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(copied.size(), lines.size());
    for (const QString& name : copied)
        QCOMPARE(bytesOf(dir.filePath("dst/") + name), content);
}

KORVANE_TEST_GUILESS_MAIN(TestCli)
#include "tst_cli_commands.moc"
