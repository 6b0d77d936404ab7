// Sets and then clears the open password of 100 small documents through the LibreOffice
// backend, one run each, and prints the office start-up time, the totals and the per-document
// median. Target: under 50 ms per document after start-up.

#include "wordcrypt/libreofficeword.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace korvane;

namespace {

constexpr int kDocuments = 100;

class Sink final : public platform::WordEvents {
public:
    QString password;
    int failures = 0;
    void DocumentOpen(platform::WordDocument& d) override {
        failures += !d.setPassword(password).ok;
        failures += !d.setWritePassword(QString()).ok;
        failures += !d.save().ok;
        failures += !d.close().ok;
    }
    void Quit() override {}
};

class KnownPassword final : public platform::DocumentPasswordPrompt {
public:
    QString answer;
    std::optional<QString> askPassword(const QString&) override { return answer; }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QString helper = wordcrypt::LibreOfficeWord::defaultHelper(QCoreApplication::applicationDirPath());
    const QString office = QStandardPaths::findExecutable(QStringLiteral("soffice"));
    if (!QFileInfo(helper).isExecutable() || office.isEmpty()) {
        std::printf("skipped: LibreOffice or korvane-unohelper not installed\n");
        return 0;
    }
    QTemporaryDir dir;
    QTemporaryDir profile;
    {
        QFile text(dir.filePath(QStringLiteral("sample.txt")));
        text.open(QIODevice::WriteOnly);
        text.write("A small document for the benchmark.\n");
    }
    QProcess convert;
    convert.start(office,
                  {QStringLiteral("-env:UserInstallation=file://") + profile.path(),
                   QStringLiteral("--headless"), QStringLiteral("--convert-to"), QStringLiteral("doc"),
                   QStringLiteral("--outdir"), dir.path(), dir.filePath(QStringLiteral("sample.txt"))});
    convert.waitForFinished(180000);
    QStringList docs;
    for (int i = 0; i < kDocuments; ++i) {
        docs << dir.filePath(QStringLiteral("doc%1.doc").arg(i));
        QFile::copy(dir.filePath(QStringLiteral("sample.doc")), docs.last());
    }

    KnownPassword prompt;
    wordcrypt::LibreOfficeWord word({helper, {}}, prompt);
    const struct {
        const char* name;
        QString password;
        QString current;
    } runs[] = {{"set", QStringLiteral("739"), QString()}, {"clear", QString(), QStringLiteral("739")}};
    for (const auto& run : runs) {
        Sink sink;
        sink.password = run.password;
        prompt.answer = run.current;
        QElapsedTimer total;
        total.start();
        QString error;
        auto application = word.createObject(QStringLiteral("word.Application"), &error);
        if (!application) {
            std::printf("cannot start: %s\n", qPrintable(error));
            return 1;
        }
        const double startup = total.nsecsElapsed() / 1e6;
        application->setEvents(&sink);
        std::vector<double> each;
        int failed = 0;
        for (const QString& d : docs) {
            QElapsedTimer t;
            t.start();
            failed += !application->open(QFile::encodeName(d), false).ok;
            each.push_back(t.nsecsElapsed() / 1e6);
        }
        const double documents = total.nsecsElapsed() / 1e6 - startup;
        QElapsedTimer quitTimer;
        quitTimer.start();
        application->quit();
        const double quit = quitTimer.nsecsElapsed() / 1e6;
        std::printf("%-5s %d documents: office start-up %.0f ms, documents %.0f ms, median %.1f ms/document, "
                    "max %.1f ms, quit %.0f ms, failures %d\n",
                    run.name, kDocuments, startup, documents, median(each),
                    *std::max_element(each.begin(), each.end()), quit, failed + sink.failures);
    }
    return 0;
}
