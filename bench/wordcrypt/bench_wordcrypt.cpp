// Sets both passwords (739 / 7591, the window's defaults) of 100 small documents through the
// LibreOffice backend, then clears them, one run each, and prints the office start-up time, the
// totals and the per-document median. Target: under 50 ms per document after start-up.
//
// The native backend does the same with the open password only (739), in three rounds
// interleaved with the office's runs. Target: 5 ms per document, no office started.
//
// Then runs the set on a worker thread, as the window's run does, asks it to stop part-way and
// prints the time from the request to the end of the run (office ended included). Target: < 1 s.

#include "benchutil.h"
#include "platform/runcontrol.h"
#include "wordcrypt/libreofficeword.h"
#include "wordcrypt/nativeword.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

using namespace korvane;

namespace {

constexpr int kDocuments = 100;

class Sink final : public platform::WordEvents {
public:
    QString password;
    QString writePassword;
    int failures = 0;
    void DocumentOpen(platform::WordDocument& d) override
    {
        failures += !d.setPassword(password).ok();
        failures += !d.setWritePassword(writePassword).ok();
        failures += !d.save().ok();
        failures += !d.close().ok();
    }
    void Quit() override {}
};

class KnownPassword final : public platform::DocumentPasswordPrompt {
public:
    QString answer;
    std::optional<QString> askPassword(const QString&) override { return answer; }
};

/// The mean of the two middle values for an even count (unlike bench::median).
double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

/// Converts a line of text to .doc once and copies it to every document of the run.
QStringList makeDocuments(const QString& office, const QTemporaryDir& dir)
{
    QTemporaryDir profile;
    {
        QFile text(dir.filePath(QStringLiteral("sample.txt")));
        text.open(QIODevice::WriteOnly);
        text.write("A small document for the benchmark.\n");
    }
    QProcess convert;
    convert.start(office, {QStringLiteral("-env:UserInstallation=file://") + profile.path(),
                           QStringLiteral("--headless"), QStringLiteral("--convert-to"), QStringLiteral("doc"),
                           QStringLiteral("--outdir"), dir.path(), dir.filePath(QStringLiteral("sample.txt"))});
    convert.waitForFinished(180000);
    QStringList docs;
    for (int i = 0; i < kDocuments; ++i) {
        docs << dir.filePath(QStringLiteral("doc%1.doc").arg(i));
        QFile::copy(dir.filePath(QStringLiteral("sample.doc")), docs.last());
    }
    return docs;
}

struct PasswordRun {
    const char* name;
    QString password;
    QString writePassword;
    QString current;
};

/// One office session over every document; false when the office does not start.
bool timePasswordRun(platform::WordAutomation& word, KnownPassword& prompt, const QStringList& docs,
                     const PasswordRun& run)
{
    Sink sink;
    sink.password = run.password;
    sink.writePassword = run.writePassword;
    prompt.answer = run.current;
    QElapsedTimer total;
    total.start();
    auto created = word.createObject(QStringLiteral("word.Application"));
    if (!created) {
        std::printf("cannot start: %s\n", qPrintable(created.status().message()));
        return false;
    }
    std::shared_ptr<platform::WordApplication> application = std::move(created).value();
    const double startup = bench::elapsedMs(total);
    application->setEvents(&sink);
    std::vector<double> each;
    int failed = 0;
    // This process's CPU time: what the native backend costs apart from waiting for the disk.
    const std::clock_t cpuStart = std::clock();
    for (const QString& d : docs) {
        QElapsedTimer t;
        t.start();
        failed += !application->open(QFile::encodeName(d), false).ok();
        each.push_back(bench::elapsedMs(t));
    }
    const double documents = bench::elapsedMs(total) - startup;
    const double cpuPerDocument = 1000.0 * double(std::clock() - cpuStart) / CLOCKS_PER_SEC / double(docs.size());
    QElapsedTimer quitTimer;
    quitTimer.start();
    application->quit();
    const double quit = bench::elapsedMs(quitTimer);
    std::printf("%-12s %d documents: office start-up %.0f ms, documents %.0f ms, median %.1f ms/document, "
                "max %.1f ms, our CPU %.1f ms/document, quit %.0f ms, failures %d\n",
                run.name, kDocuments, startup, documents, median(each), *std::max_element(each.begin(), each.end()),
                cpuPerDocument, quit, failed + sink.failures);
    return true;
}

/// The set on its own thread, as the window runs it, stopped `afterMs` into the documents.
void timeCancel(wordcrypt::LibreOfficeWord& word, const QStringList& docs, int afterMs)
{
    platform::RunControl control;
    word.setRunControl(&control);
    Sink sink;
    sink.password = QStringLiteral("739");
    sink.writePassword = QStringLiteral("7591");
    std::atomic<bool> started{false};
    int done = 0;
    std::thread worker([&] {
        auto application = word.createObject(QStringLiteral("word.Application")).valueOr(nullptr);
        started = true;
        if (!application)
            return;
        application->setEvents(&sink);
        for (const QString& d : docs) {
            if (control.stopRequested())
                break;
            if (application->open(QFile::encodeName(d), false).ok())
                ++done;
        }
        application->quit();
    });
    while (!started)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    QElapsedTimer latency;
    latency.start();
    control.requestStop();
    worker.join();
    std::printf("stop after %4d ms: run ended %.0f ms after the request, %d documents done\n", afterMs,
                bench::elapsedMs(latency), done);
    word.setRunControl(nullptr);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QString helper = wordcrypt::LibreOfficeWord::defaultHelper(QCoreApplication::applicationDirPath());
    const QString office = QStandardPaths::findExecutable(QStringLiteral("soffice"));
    if (!QFileInfo(helper).isExecutable() || office.isEmpty()) {
        std::printf("skipped: LibreOffice or korvane-unohelper not installed\n");
        return 0;
    }
    QTemporaryDir dir;
    const QStringList docs = makeDocuments(office, dir);

    KnownPassword prompt;
    wordcrypt::LibreOfficeWord word({helper, {}}, prompt);
    wordcrypt::NativeWord native(prompt);
    const PasswordRun runs[] = {{"set", QStringLiteral("739"), QStringLiteral("7591"), QString()},
                                {"clear", QString(), QString(), QStringLiteral("739")}};
    const PasswordRun nativeRuns[] = {{"native set", QStringLiteral("739"), QString(), QString()},
                                      {"native clear", QString(), QString(), QStringLiteral("739")}};
    for (int round = 0; round < 3; ++round) {
        for (const PasswordRun& run : nativeRuns)
            timePasswordRun(native, prompt, docs, run);
        for (const PasswordRun& run : runs) {
            if (!timePasswordRun(word, prompt, docs, run))
                return 1;
        }
    }

    prompt.answer = QString();
    for (const int afterMs : {500, 1500, 3000}) {
        timeCancel(word, docs, afterMs);
        // Back to plain documents for the next trial.
        for (const QString& d : docs) {
            QFile::remove(d);
            QFile::copy(dir.filePath(QStringLiteral("sample.doc")), d);
        }
    }
    return 0;
}
