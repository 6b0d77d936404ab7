// korvane-cli beside the engine it drives (called in this process) and beside the usual
// shell peer, in one run on the same trees:
//   record          vs  recordFolder()          vs  find -printf | sqlite3 .import
//   files copy      vs  BatchFileManager::run()  vs  find -exec cp {} +
//   chm decompile   vs  DecompileRun::run()      vs  7z x (one per help file)
//   dwg preview     vs  readPreview() + PNG      (no peer)
// Usage: bench_cli [files] [help files] [pages per help file] [record|copy|chm|dwg]; medians of
// 3 rounds, the order of the contenders turned each round. A last argument runs that part only.

#include "benchutil.h"
#include "drawingviewer/dwgpreview.h"
#include "filemanager/batchrun.h"
#include "helpdecompiler/decompilerun.h"
#include "helpdecompiler/extractprocess.h"
#include "platform/localfilesystem.h"
#include "platform/nativepath.h"
#include "platform/qtprogramstarter.h"
#include "recorder/filedatabase.h"
#include "recorder/recording.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <unistd.h>

using namespace korvane;

namespace {

QString g_cli;

bool run(const QString& program, const QStringList& args, const QString& folder = {})
{
    QProcess p;
    if (!folder.isEmpty())
        p.setWorkingDirectory(folder);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(program, args);
    return p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool shell(const QString& script)
{
    return run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
}

void removeTree(const QString& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path.toStdString(), ec);
}

struct Contender {
    const char* name;
    std::function<void()> prepare; ///< untimed: a fresh output
    std::function<bool()> work;
};

/// Times every contender `rounds` times, turning the order each round, and prints the medians.
void compare(const char* what, const std::vector<Contender>& contenders, int rounds = 3)
{
    std::vector<std::vector<double>> times(contenders.size());
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < contenders.size(); ++k) {
            const size_t i = (k + size_t(r)) % contenders.size();
            contenders[i].prepare();
            QElapsedTimer t;
            t.start();
            const bool ok = contenders[i].work();
            times[i].push_back(bench::elapsedSeconds(t));
            if (!ok)
                std::printf("  %s: %s failed\n", what, contenders[i].name);
        }
    }
    const double engine = bench::median(times[0]);
    std::printf("%s\n", what);
    for (size_t i = 0; i < contenders.size(); ++i) {
        const double m = bench::median(times[i]);
        std::printf("  %-24s %8.3f s  (%.2f× the engine)\n", contenders[i].name, m, engine > 0 ? m / engine : 0);
    }
    std::fflush(stdout);
}

void makeFiles(const QString& folder, int count, int size, const QString& prefix = {})
{
    QDir().mkpath(folder);
    const QByteArray bytes(size, 'k');
    for (int i = 0; i < count; ++i) {
        const QByteArray path = QFile::encodeName(folder + QStringLiteral("/%1文件%2.dat").arg(prefix).arg(i));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            if (!bytes.isEmpty())
                (void)!::write(fd, bytes.constData(), size_t(bytes.size()));
            ::close(fd);
        }
    }
}

void benchRecord(const QString& work, int files)
{
    const QString folder = work + QStringLiteral("/record");
    makeFiles(folder, files, 100);
    const QString db = work + QStringLiteral("/db1.mdb");
    const auto freshDb = [db] {
        QFile::remove(db);
        QFile::remove(db + QStringLiteral("-wal"));
        QFile::remove(db + QStringLiteral("-shm"));
        QFile::copy(QStringLiteral(KORVANE_EMPTY_DB), db);
        QFile::setPermissions(db, QFile::ReadOwner | QFile::WriteOwner);
    };
    const QString peerDb = work + QStringLiteral("/peer.db");
    compare(qPrintable(QStringLiteral("record %1 files").arg(files)),
            {{"engine (recordFolder)", freshDb,
              [&] {
                  platform::LocalFileSystem fs;
                  recorder::FileDatabase database(db);
                  recorder::TypeDescriber types;
                  const auto report = recorder::recordFolder(fs, database, platform::nativePath(folder), types);
                  database.appendLogRow(folder, QDateTime::currentDateTime());
                  return report.stored == files;
              }},
             {"engine, fresh process", freshDb,
              [&] {
                  return run(QCoreApplication::applicationFilePath(), {QStringLiteral("--record"), folder, db});
              }},
             {"korvane-cli record", freshDb,
              [&] {
                  return run(g_cli, {QStringLiteral("record"), QStringLiteral("--db"), db, folder});
              }},
             {"find | sqlite3 .import",
              [&] {
                  QFile::remove(peerDb);
                  run(QStringLiteral("sqlite3"),
                      {peerDb, QStringLiteral("CREATE TABLE fileInf(name TEXT, size INTEGER, modified TEXT);")});
              },
              [&] {
                  return shell(QStringLiteral("find '%1' -maxdepth 1 -type f -printf '%f\\t%s\\t%TY-%Tm-%Td %TT\\n' | "
                                              "sqlite3 '%2' '.mode tabs' '.import /dev/stdin fileInf'")
                                   .arg(folder, peerDb));
              }}});
}

void benchCopy(const QString& work, int files)
{
    const QString source = work + QStringLiteral("/tree");
    for (int d = 0; d < 10; ++d)
        makeFiles(source + QStringLiteral("/d%1").arg(d), files / 10, 4096, QStringLiteral("d%1-").arg(d));
    const QString target = work + QStringLiteral("/copy");
    const auto fresh = [target] {
        removeTree(target);
        QDir().mkpath(target);
    };
    compare(qPrintable(QStringLiteral("files copy %1 files of 4 KB").arg(files)),
            {{"engine (BatchFileManager)", fresh,
              [&] {
                  platform::LocalFileSystem fs;
                  filemanager::BatchFileManager manager(fs);
                  filemanager::RunRequest request;
                  request.source = QFile::encodeName(source);
                  request.target = QFile::encodeName(target);
                  request.operation = filemanager::Operation::Copy;
                  request.singleType = QStringLiteral("dat");
                  return manager.run(request).done == files;
              }},
             {"korvane-cli files copy", fresh,
              [&] {
                  return run(g_cli, {QStringLiteral("files"), QStringLiteral("copy"), QStringLiteral("--type"),
                                     QStringLiteral("dat"), source, target});
              }},
             {"find -exec cp {} +", fresh, [&] {
                  return run(QStringLiteral("find"),
                             {source, QStringLiteral("-type"), QStringLiteral("f"), QStringLiteral("-name"),
                              QStringLiteral("*dat"), QStringLiteral("-exec"), QStringLiteral("cp"),
                              QStringLiteral("-t"), target, QStringLiteral("{}"), QStringLiteral("+")});
              }}});
}

QString buildHelpFile(const QString& folder, int pages)
{
    QDir().mkpath(folder);
    QByteArray hhp = "[OPTIONS]\r\nCompatibility=1.1 or later\r\nCompiled file=bench.chm\r\nDefault topic=index.htm\r\n"
                     "Display compile progress=No\r\nLanguage=0x409 English (United States)\r\n\r\n[FILES]\r\n";
    for (int i = 0; i < pages; ++i) {
        const QByteArray name = "page" + QByteArray::number(i) + ".htm";
        QByteArray body = "<html><body><p>";
        for (int w = 0; w < 600; ++w)
            body += "help page words " + QByteArray::number((i * 31 + w) % 977) + ' ';
        body += "</p></body></html>";
        QFile f(folder + QLatin1Char('/') + QString::fromLatin1(name));
        f.open(QIODevice::WriteOnly);
        f.write(body);
        hhp += name + "\r\n";
    }
    QFile project(folder + QStringLiteral("/bench.hhp"));
    project.open(QIODevice::WriteOnly);
    project.write(hhp);
    project.close();
    if (!run(QStringLiteral("chmcmd"), {QStringLiteral("--no-html-scan"), QStringLiteral("bench.hhp")}, folder))
        return {};
    return folder + QStringLiteral("/bench.chm");
}

void benchChm(const QString& work, int helpFiles, int pages)
{
    if (QStandardPaths::findExecutable(QStringLiteral("chmcmd")).isEmpty()) {
        std::printf("chm decompile: skipped, chmcmd is not installed\n");
        return;
    }
    const QString built = buildHelpFile(work + QStringLiteral("/chmsrc"), pages);
    if (built.isEmpty()) {
        std::printf("chm decompile: skipped, chmcmd failed\n");
        return;
    }
    const QString input = work + QStringLiteral("/chm");
    QDir().mkpath(input);
    QStringList chms;
    for (int i = 0; i < helpFiles; ++i) {
        chms << input + QStringLiteral("/help%1.chm").arg(i);
        QFile::copy(built, chms.last());
    }
    const auto clean = [input] {
        for (const QString& sub : QDir(input).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            removeTree(input + QLatin1Char('/') + sub);
    };
    const QString helper = QCoreApplication::applicationDirPath() + QStringLiteral("/korvane-chmextract");
    std::vector<Contender> contenders{
        {"engine (DecompileRun)", clean,
         [&] {
             platform::LocalFileSystem fs;
             platform::QtProgramStarter programs;
             helpdecompiler::ExtractProcess process(programs, fs, helper);
             helpdecompiler::DecompileRun r(fs, [&](const platform::NativePath& f, const platform::NativePath& t,
                                                    const QByteArray& p,
                                                    quint64 s) { return process.extract(f, t, p, s); });
             const auto outcomes = r.run(platform::nativePath(input + QLatin1Char('/')), false, true);
             return std::all_of(outcomes.begin(), outcomes.end(), [](const auto& o) { return o.clean(); });
         }},
        {"korvane-cli chm decompile", clean, [&] {
             return run(g_cli, {QStringLiteral("chm"), QStringLiteral("decompile"), input});
         }}};
    if (!QStandardPaths::findExecutable(QStringLiteral("7z")).isEmpty()) {
        contenders.push_back({"7z x", clean, [&] {
                                  bool ok = true;
                                  for (const QString& chm : chms)
                                      ok &= run(QStringLiteral("7z"), {QStringLiteral("x"), QStringLiteral("-y"),
                                                                       QStringLiteral("-o") + chm.chopped(4), chm});
                                  return ok;
                              }});
    }
    compare(qPrintable(QStringLiteral("chm decompile %1 help files of %2 pages").arg(helpFiles).arg(pages)),
            contenders);
}

void benchDwg(const QString& work)
{
    const QString samples = qEnvironmentVariable("KORVANE_TESTDATA") + QStringLiteral("/dwg");
    QStringList drawings;
    for (const QString& name : QDir(samples).entryList({QStringLiteral("*.dwg")}, QDir::Files))
        drawings << samples + QLatin1Char('/') + name;
    if (drawings.isEmpty()) {
        std::printf("dwg preview: skipped, no samples (set KORVANE_TESTDATA)\n");
        return;
    }
    const QString out = work + QStringLiteral("/previews");
    const auto fresh = [out] {
        removeTree(out);
        QDir().mkpath(out);
    };
    compare(qPrintable(QStringLiteral("dwg preview %1 sample drawings to PNG").arg(drawings.size())),
            {{"engine (readPreview)", fresh,
              [&] {
                  for (const QString& d : drawings) {
                      const drawingviewer::DwgPreview p = dwgformat::readPreview(d);
                      if (p.format == drawingviewer::PreviewFormat::Png) {
                          QFile f(out + QLatin1Char('/') + QFileInfo(d).completeBaseName() + QStringLiteral(".png"));
                          f.open(QIODevice::WriteOnly);
                          f.write(p.bytes);
                      } else if (p.ok()) {
                          drawingviewer::decodePreview(p).save(
                              out + QLatin1Char('/') + QFileInfo(d).completeBaseName() + QStringLiteral(".png"));
                      }
                  }
                  return true;
              }},
             {"korvane-cli dwg preview", fresh,
              [&] {
                  run(g_cli,
                      QStringList{QStringLiteral("dwg"), QStringLiteral("preview"), QStringLiteral("--out"), out} +
                          drawings);
                  return true; // samples without a preview make the exit code 1
              }}},
            5);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    g_cli = QCoreApplication::applicationDirPath() + QStringLiteral("/korvane-cli");
    if (argc == 4 && qstrcmp(argv[1], "--record") == 0) {
        // The engine in a process of its own: what a window pays on its first recording too
        // (the type descriptions' MIME database is loaded once per process).
        platform::LocalFileSystem fs;
        recorder::FileDatabase database(QString::fromLocal8Bit(argv[3]));
        recorder::TypeDescriber types;
        const auto report = recorder::recordFolder(fs, database, QByteArray(argv[2]), types);
        database.appendLogRow(QString::fromLocal8Bit(argv[2]), QDateTime::currentDateTime());
        return report.recorded ? 0 : 1;
    }
    const int files = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int helpFiles = argc > 2 ? std::atoi(argv[2]) : 10;
    const int pages = argc > 3 ? std::atoi(argv[3]) : 500;
    const QString only = argc > 4 ? QString::fromLocal8Bit(argv[4]) : QString();
    const auto wanted = [&only](const char* part) { return only.isEmpty() || only == QLatin1String(part); };
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/bench_cli-XXXXXX"));
    if (wanted("record"))
        benchRecord(work.path(), files);
    if (wanted("copy"))
        benchCopy(work.path(), files);
    if (wanted("chm"))
        benchChm(work.path(), helpFiles, pages);
    if (wanted("dwg"))
        benchDwg(work.path());
    return 0;
}
