// The LibreOffice backend against the real office, on documents the test makes itself.
// Skips when LibreOffice or the helper is not installed.

#include "wordcrypt/libreofficeword.h"
#include "wordcrypt/worddocfile.h"

#include "platform/fakes/fakeservices.h"
#include "platform/fakes/fakewordprocessor.h"
#include "platform/runcontrol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace korvane;
using platform::Status;
using platform::WordDocument;

namespace {

const char* const kChildEnv = "KORVANE_WORDCRYPT_CHILD";
const QString kMsoffcrypto = QStringLiteral("/usr/bin/msoffcrypto-tool");

/// The application, or null with `error` saying why.
std::shared_ptr<platform::WordApplication> createApp(platform::WordAutomation& word, QString* error)
{
    auto created = word.createObject(QStringLiteral("word.Application"));
    *error = created.status().message();
    return created.valueOr(nullptr);
}

/// Writes a helper of our own that stands in for the office; its first argument (the office
/// program) says what its "store" does.
bool writeFakeHelper(const QString& helper)
{
    QFile script(helper);
    if (!script.open(QIODevice::WriteOnly))
        return false;
    script.write(R"(#!/usr/bin/python3
import sys, time, urllib.parse
mode = sys.argv[1]
path = None
def reply(text):
    print(text, flush=True)
for line in sys.stdin:
    f = line.rstrip('\n').split('\t')
    if f[0] == 'start' and mode == 'diestart':
        import subprocess
        office = subprocess.Popen(['sleep', '300'], start_new_session=True)
        open(sys.argv[0] + '.pid', 'w').write(str(office.pid))
        reply('started\t%d\t' % office.pid)
        sys.exit(1)
    if f[0] == 'start': reply('ok\t0\t')
    elif f[0] == 'load':
        path = urllib.parse.unquote_to_bytes(f[1]); reply('ok\t1\tMS Word 97\t0')
    elif f[0] == 'store':
        target = urllib.parse.unquote_to_bytes(f[2])
        if mode == 'garbage': open(target, 'wb').write(b'not a document')
        elif mode == 'plain': open(target, 'wb').write(open(path, 'rb').read())
        elif mode == 'refuse': reply('err\tstore\t0x4c0c io error'); continue
        elif mode == 'die': open(target, 'wb').write(b'\xd0\xcf'); sys.exit(1)
        elif mode == 'hang': open(target, 'wb').write(b''); time.sleep(60)
        reply('ok')
    elif f[0] in ('close', 'quit'): reply('ok')
)");
    script.close();
    return script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

/// Does what the encryptor window does with each opened document, and records what failed.
class ScriptedSink final : public platform::WordEvents {
public:
    QString password;
    QString writePassword;
    QStringList failures;
    int opened = 0;
    int quits = 0;
    std::function<void()> onSave; ///< called just before Save

    void DocumentOpen(WordDocument& document) override
    {
        ++opened;
        note(QStringLiteral("Password"), document.setPassword(password));
        note(QStringLiteral("WritePassword"), document.setWritePassword(writePassword));
        if (onSave)
            onSave();
        note(QStringLiteral("Save"), document.save());
        note(QStringLiteral("Close"), document.close());
    }
    void Quit() override { ++quits; }

private:
    void note(const QString& step, const Status& r)
    {
        if (!r.ok())
            failures << step + QLatin1Char(':') + r.message();
    }
};

/// Word keeps the sample's text as UTF-16.
bool holdsText(const QByteArray& document, const QString& text)
{
    return document.contains(QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2));
}

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// Exit code of msoffcrypto-tool decrypting `file` with `password` (0: decrypted).
int decrypt(const QString& file, const QString& password, QByteArray* plain = nullptr)
{
    QTemporaryDir out;
    const QString target = out.filePath(QStringLiteral("plain.doc"));
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(kMsoffcrypto, {QStringLiteral("-p") + password, file, target});
    if (!p.waitForFinished(60000))
        return -1;
    if (plain)
        *plain = readBytes(target);
    return p.exitCode();
}

/// Sets FIB flag bits of a Word document in place: the WordDocument stream of the office's
/// samples begins at a (mini) sector boundary with the FIB's magic number and version.
bool setFibFlags(const QString& path, quint16 bits)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = f.readAll();
    const auto u16 = [&](qsizetype at) { return quint16(quint8(bytes.at(at)) | quint8(bytes.at(at + 1)) << 8); };
    for (qsizetype at = 512; at + 64 <= bytes.size(); at += 64) {
        if (u16(at) == 0xA5EC && u16(at + 2) >= 0xC1) {
            const quint16 flags = u16(at + 0x0A) | bits;
            bytes[at + 0x0A] = char(flags & 0xFF);
            bytes[at + 0x0B] = char(flags >> 8);
            return f.seek(0) && f.write(bytes) == bytes.size();
        }
    }
    return false;
}

/// The office processes this test started: descendants of this process only, so offices of
/// other programs on the machine are never touched.
QSet<int> ourOffices()
{
    QHash<int, int> parent;
    QHash<int, QString> name;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const int pid = entry.toInt(&isPid);
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!isPid || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        name[pid] = QString::fromLatin1(line.mid(line.indexOf('(') + 1, close - line.indexOf('(') - 1));
        parent[pid] = line.mid(close + 2).split(' ').value(1).toInt();
    }
    QSet<int> offices;
    for (auto it = name.cbegin(); it != name.cend(); ++it) {
        if (it.value() != QLatin1String("soffice.bin"))
            continue;
        for (int p = parent.value(it.key()); p > 1; p = parent.value(p)) {
            if (p == int(::getpid())) {
                offices.insert(it.key());
                break;
            }
        }
    }
    return offices;
}

/// Kills our offices except those in `spared`; returns how many.
int killOurOffices(const QSet<int>& spared)
{
    int killed = 0;
    for (int pid : ourOffices() - spared) {
        ::kill(pid, SIGKILL);
        ++killed;
    }
    return killed;
}

/// A password prompt that kills the office while it is being asked, as a crash would.
class CrashingPrompt final : public platform::DocumentPasswordPrompt {
public:
    QString answer;
    QSet<int> spared = ourOffices(); ///< the offices that were there before
    int killed = 0;
    std::optional<QString> askPassword(const QString&) override
    {
        killed += killOurOffices(spared);
        return answer;
    }
};

/// A password prompt that asks the run to stop while it is being asked.
class StoppingPrompt final : public platform::DocumentPasswordPrompt {
public:
    platform::RunControl* control = nullptr;
    std::optional<QString> askPassword(const QString&) override
    {
        control->requestStop();
        return QStringLiteral("739");
    }
};

/// Talks to korvane-unohelper directly, to ask the office how it opens a document by itself.
class Probe {
public:
    bool start(const QString& helper)
    {
        m_process.start(helper, {});
        return m_process.waitForStarted() && call("start").startsWith("started") && readLine().startsWith("ok");
    }
    /// "1": the office opens the document read-only; "0": for editing.
    QByteArray readOnly(const QString& path, const QString& password)
    {
        QByteArray line = "probe\t" + QFile::encodeName(path).toPercentEncoding("/");
        if (!password.isEmpty())
            line += '\t' + password.toUtf8().toPercentEncoding();
        return call(line).split('\t').value(1);
    }
    ~Probe()
    {
        if (m_process.state() == QProcess::Running) {
            call("quit");
            m_process.waitForFinished(20000);
        }
    }

private:
    QByteArray call(const QByteArray& line)
    {
        m_process.write(line + '\n');
        return readLine();
    }
    QByteArray readLine()
    {
        while (!m_process.canReadLine() && m_process.waitForReadyRead(120000)) {
        }
        return m_process.readLine().trimmed();
    }
    QProcess m_process;
};

} // namespace

class TestLibreOfficeWord : public QObject {
    Q_OBJECT

private:
    QString m_helper;
    QString m_office;
    QTemporaryDir m_samples;
    wordcrypt::LibreOfficeWord::Options m_options;
    platform::FakeDocumentPasswordPrompt m_prompt;
    std::unique_ptr<wordcrypt::LibreOfficeWord> m_word;
    std::shared_ptr<platform::WordApplication> m_app;
    ScriptedSink m_sink;
    std::unique_ptr<Probe> m_probe;

    /// A helper of our own in place of korvane-unohelper: "crash" documents take the office down,
    /// every other one is stored as a plain copy. Each start is recorded in `<script>.starts`.
    static QString fakeHelper(const QTemporaryDir& dir)
    {
        const QString helper = dir.filePath(QStringLiteral("fakehelper"));
        QFile script(helper);
        if (!script.open(QIODevice::WriteOnly))
            return {};
        script.write(R"(#!/usr/bin/python3
import sys, time, urllib.parse
open(sys.argv[0] + '.starts', 'a').write('x')
path = None
def reply(text):
    print(text, flush=True)
for line in sys.stdin:
    f = line.rstrip('\n').split('\t')
    if f[0] == 'start': reply('ok\t0\t')
    elif f[0] == 'load':
        path = urllib.parse.unquote_to_bytes(f[1])
        if b'crash' in path:
            reply('err\tcrashed\tBinary URP bridge disposed during call'); sys.exit(0)
        reply('ok\t1\tMS Word 97\t1')
    elif f[0] == 'store':
        if b'hang' in path: time.sleep(300)
        open(urllib.parse.unquote_to_bytes(f[2]), 'wb').write(open(path, 'rb').read()); reply('ok')
    elif f[0] in ('close', 'quit'): reply('ok')
)");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return helper;
    }

    /// A fresh copy of a sample in its own folder.
    QString sample(const QTemporaryDir& dir, const QString& name, const QString& as = {})
    {
        const QString target = dir.filePath(as.isEmpty() ? name : as);
        QFile::copy(m_samples.filePath(name), target);
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        return target;
    }

    Status run(const QString& path, const QString& password, const QString& writePassword = {})
    {
        m_sink.password = password;
        m_sink.writePassword = writePassword;
        m_sink.failures.clear();
        return m_app->open(QFile::encodeName(path), false);
    }

private slots:
    void initTestCase()
    {
        m_helper = wordcrypt::LibreOfficeWord::defaultHelper(QCoreApplication::applicationDirPath());
        m_office = QStandardPaths::findExecutable(QStringLiteral("soffice"));
        if (!QFileInfo(m_helper).isExecutable() || m_office.isEmpty())
            QSKIP("LibreOffice or korvane-unohelper is not installed");
        m_options.helperProgram = m_helper;
        m_options.startLimitMs = 120000;
        m_word = std::make_unique<wordcrypt::LibreOfficeWord>(m_options, m_prompt);
        if (qEnvironmentVariableIsSet(kChildEnv))
            return; // the unprivileged child only needs the office

        // Sample documents, made by the office from plain text.
        QTemporaryDir profile;
        const QStringList texts = {QStringLiteral("one"), QStringLiteral("two")};
        QStringList sources;
        for (const QString& t : texts) {
            QFile f(m_samples.filePath(t + QStringLiteral(".txt")));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("Korvane sample " + t.toUtf8() + "\n");
            sources << f.fileName();
        }
        for (const QString& format : {QStringLiteral("doc"), QStringLiteral("docx")}) {
            QProcess convert;
            convert.setProcessChannelMode(QProcess::MergedChannels);
            convert.start(m_office, QStringList{QStringLiteral("-env:UserInstallation=file://") + profile.path(),
                                                QStringLiteral("--headless"), QStringLiteral("--convert-to"), format,
                                                QStringLiteral("--outdir"), m_samples.path()} +
                                        sources);
            QVERIFY(convert.waitForFinished(180000));
        }
        QVERIFY(QFile::exists(m_samples.filePath(QStringLiteral("one.doc"))));
        QVERIFY(QFile::exists(m_samples.filePath(QStringLiteral("two.docx"))));

        QString error;
        m_app = createApp(*m_word, &error);
        QVERIFY2(m_app, qPrintable(error));
        m_app->setEvents(&m_sink);
        m_probe = std::make_unique<Probe>();
        QVERIFY(m_probe->start(m_helper));
    }

    void cleanupTestCase()
    {
        m_probe.reset();
        if (m_app) {
            QVERIFY(m_app->quit().ok());
            QCOMPARE(m_sink.quits, 1);
            QVERIFY(!m_app->quit().ok()); // a second quit fails: the office has ended
        }
    }

    void setChangeAndRemoveOpenPassword_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("latin") << QStringLiteral("739") << QStringLiteral("new secret");
        QTest::newRow("chinese and space") << QStringLiteral("密码 1") << QStringLiteral(" ");
    }
    void setChangeAndRemoveOpenPassword()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));

        // Set.
        QVERIFY(run(doc, first).ok());
        QCOMPARE(m_sink.failures, QStringList());
        QByteArray bytes = readBytes(doc);
        auto state = wordcrypt::inspectWordFile(bytes);
        QVERIFY(state && state->encrypted && !state->obfuscated && !state->writeReserved);
        QVERIFY(wordcrypt::rc4PasswordMatches(bytes, first));
        QVERIFY(!wordcrypt::rc4PasswordMatches(bytes, first + QLatin1Char('x')));
        QByteArray plain;
        QCOMPARE(decrypt(doc, first, &plain), 0);
        QVERIFY(holdsText(plain, QStringLiteral("Korvane sample one")));
        QVERIFY(decrypt(doc, QStringLiteral("wrong")) != 0);

        // Change: opening asks for the current password, as Word would.
        m_prompt.asked.clear();
        m_prompt.answers.clear();
        m_prompt.answers.enqueue(first);
        QVERIFY(run(doc, second).ok());
        QCOMPARE(m_prompt.asked, QStringList{doc});
        QCOMPARE(m_sink.failures, QStringList());
        bytes = readBytes(doc);
        QVERIFY(wordcrypt::rc4PasswordMatches(bytes, second));
        QVERIFY(decrypt(doc, first) != 0);
        QCOMPARE(decrypt(doc, second, &plain), 0);
        QVERIFY(holdsText(plain, QStringLiteral("Korvane sample one")));

        // Remove.
        m_prompt.answers.clear();
        m_prompt.answers.enqueue(second);
        QVERIFY(run(doc, QString()).ok());
        QCOMPARE(m_sink.failures, QStringList());
        bytes = readBytes(doc);
        state = wordcrypt::inspectWordFile(bytes);
        QVERIFY(state && !state->encrypted && !state->writeReserved);
        QVERIFY(holdsText(bytes, QStringLiteral("Korvane sample one")));
    }

    void encryptedDocumentNeedsTheRightPassword()
    {
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        QVERIFY(run(doc, QStringLiteral("right")).ok());
        const QByteArray encrypted = readBytes(doc);

        m_prompt.answers.clear();
        m_prompt.answers.enqueue(QStringLiteral("wrong"));
        Status r = run(doc, QString());
        QVERIFY(!r.ok());
        QVERIFY(!platform::retryHelps(r)); // asking again would only show the same prompt
        QCOMPARE(readBytes(doc), encrypted);

        m_prompt.answers.clear(); // the user cancels the prompt
        r = run(doc, QString());
        QVERIFY(!r.ok());
        QVERIFY(!platform::retryHelps(r));
        QCOMPARE(readBytes(doc), encrypted);
    }

    void writePasswordIsWrittenAndVerified()
    {
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("two.doc"));
        // Another user's document keeps its owner and group when root runs the encryptor.
        const bool root = ::getuid() == 0;
        if (root)
            QCOMPARE(::chown(QFile::encodeName(doc).constData(), 65534, 65534), 0);
        QVERIFY(run(doc, QStringLiteral("739"), QStringLiteral("7591")).ok());
        QCOMPARE(m_sink.failures, QStringList());
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(doc).constData(), &st), 0);
        if (root)
            QVERIFY(st.st_uid == 65534 && st.st_gid == 65534);
        const QByteArray bytes = readBytes(doc);
        const auto state = wordcrypt::inspectWordFile(bytes);
        QVERIFY(state && state->encrypted && state->writeReserved);
        QCOMPARE(decrypt(doc, QStringLiteral("739")), 0);
        const auto stored = wordcrypt::readWriteReservation(QFile::encodeName(doc), QStringLiteral("739"));
        QVERIFY(stored && stored->flag);
        QCOMPARE(stored->password, QStringLiteral("7591"));
    }

    void passwordsRoundTrip_data()
    {
        QTest::addColumn<QString>("before"); ///< plain, both (739/7591), reserved (by another tool), recommended
        QTest::addColumn<QString>("read");
        QTest::addColumn<QString>("write");
        const QString fifteen = QStringLiteral("abcdefghijklmn5");
        QTest::newRow("7591 with open password") << "plain" << QStringLiteral("739") << QStringLiteral("7591");
        QTest::newRow("no open password") << "plain" << QString() << QStringLiteral("7591");
        QTest::newRow("remove both") << "both" << QString() << QString();
        QTest::newRow("change modify, keep open") << "both" << QStringLiteral("739") << QStringLiteral("new");
        QTest::newRow("change open, keep modify") << "both" << QStringLiteral("x1") << QStringLiteral("7591");
        QTest::newRow("chinese modify password")
            << "plain" << QStringLiteral("739") << QStringLiteral("写密码七五九一");
        QTest::newRow("15 characters") << "plain" << fifteen << fifteen;
        QTest::newRow("write-reserved by another tool")
            << "reserved" << QStringLiteral("739") << QStringLiteral("7591");
        QTest::newRow("write-reserved, cleared") << "reserved" << QStringLiteral("739") << QString();
        QTest::newRow("read-only recommended") << "recommended" << QStringLiteral("739") << QStringLiteral("7591");
    }
    void passwordsRoundTrip()
    {
        QFETCH(QString, before);
        QFETCH(QString, read);
        QFETCH(QString, write);
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        m_prompt.answers.clear();
        if (before == QLatin1String("both")) {
            QVERIFY(run(doc, QStringLiteral("739"), QStringLiteral("7591")).ok());
            m_prompt.answers.enqueue(QStringLiteral("739"));
        } else if (before == QLatin1String("reserved")) {
            QTemporaryDir other;
            const QString reserved = other.filePath(QStringLiteral("r.doc"));
            QVERIFY(wordcrypt::writeWriteReservation(QFile::encodeName(doc), QFile::encodeName(reserved), {},
                                                     QStringLiteral("other")));
            QVERIFY(QFile::remove(doc) && QFile::copy(reserved, doc));
            QFile::setPermissions(doc, QFile::ReadOwner | QFile::WriteOwner);
            QCOMPARE(m_probe->readOnly(doc, {}), QByteArray("1")); // the office opens it read-only
        } else if (before == QLatin1String("recommended")) {
            QVERIFY(setFibFlags(doc, 0x0400));
            QVERIFY(wordcrypt::inspectWordFile(readBytes(doc))->readOnlyRecommended);
        }
        QVERIFY(run(doc, read, write).ok());
        QCOMPARE(m_sink.failures, QStringList());

        const auto stored = wordcrypt::readWriteReservation(QFile::encodeName(doc), read);
        QVERIFY(stored);
        QCOMPARE(stored->flag, !write.isEmpty());
        QCOMPARE(stored->password, write);
        QByteArray plain = readBytes(doc);
        const auto state = wordcrypt::inspectWordFile(plain);
        QVERIFY(state);
        QCOMPARE(state->encrypted, !read.isEmpty());
        if (!read.isEmpty())
            QCOMPARE(decrypt(doc, read, &plain), 0);
        QVERIFY(holdsText(plain, QStringLiteral("Korvane sample one")));
        if (before != QLatin1String("recommended"))
            QCOMPARE(m_probe->readOnly(doc, read), QByteArray(write.isEmpty() ? "0" : "1"));
        // Nothing of the work is left beside the document.
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("one.doc")});
    }

    void sixteenCharactersAreRefused()
    {
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        const QByteArray before = readBytes(doc);
        QVERIFY(run(doc, QStringLiteral("739"), QString(16, u'x')).ok());
        QCOMPARE(m_sink.failures.size(), 2); // the modify password, and the save it prevents
        QVERIFY(m_sink.failures.at(0).contains(QStringLiteral("密码不能超过15个字符")));
        QVERIFY(m_sink.failures.at(1).startsWith(QLatin1String("Save:")));
        QCOMPARE(readBytes(doc), before);
    }

    void officeKilledWhileOpening()
    {
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        const QString next = sample(dir, QStringLiteral("two.doc"));
        QVERIFY(run(doc, QStringLiteral("739")).ok());
        CrashingPrompt prompt; // kills the office just before the document is loaded
        prompt.answer = QStringLiteral("739");
        wordcrypt::LibreOfficeWord word(m_options, prompt);
        QString error;
        auto app = createApp(word, &error);
        QVERIFY2(app, qPrintable(error));
        ScriptedSink sink;
        sink.password = QStringLiteral("new");
        sink.writePassword = QStringLiteral("7591");
        app->setEvents(&sink);
        QVERIFY(app->open(QFile::encodeName(doc), false).ok());
        QVERIFY(prompt.killed > 0);
        QCOMPARE(sink.failures, QStringList());
        QVERIFY(wordcrypt::rc4PasswordMatches(readBytes(doc), QStringLiteral("new")));
        // The restarted office serves the rest of the run.
        QVERIFY(app->open(QFile::encodeName(next), false).ok());
        QCOMPARE(sink.failures, QStringList());
        QVERIFY(wordcrypt::rc4PasswordMatches(readBytes(next), QStringLiteral("new")));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({QStringLiteral("one.doc"), QStringLiteral("two.doc")}));
        QVERIFY(app->quit().ok());
    }

    void crashesAndLocksAreReportedAndTheRunGoesOn()
    {
        QTemporaryDir dir;
        const QString helper = fakeHelper(dir);
        const QString crash = sample(dir, QStringLiteral("one.doc"), QStringLiteral("crash.doc"));
        const QString stale = sample(dir, QStringLiteral("one.doc"), QStringLiteral("stale.doc"));
        const QString live = sample(dir, QStringLiteral("one.doc"), QStringLiteral("live.doc"));
        const auto lock = [&](const QString& name, const QByteArray& profile) {
            QFile f(dir.filePath(QStringLiteral(".~lock.") + name + u'#'));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(",root,host,08.12.2026 01:00," + profile + ";");
        };
        lock(QStringLiteral("stale.doc"), "file:///tmp/korvane-office-gone00");
        lock(QStringLiteral("live.doc"), "file:///home/someone/.config/libreoffice/4");
        const QByteArray crashBefore = readBytes(crash);
        const QByteArray liveBefore = readBytes(live);

        wordcrypt::LibreOfficeWord::Options options;
        options.helperProgram = helper;
        options.officeProgram = QStringLiteral("/bin/true");
        wordcrypt::LibreOfficeWord word(options, m_prompt);
        QString error;
        auto app = createApp(word, &error);
        QVERIFY2(app, qPrintable(error));
        ScriptedSink sink;
        app->setEvents(&sink);
        const auto starts = [&] { return readBytes(helper + QStringLiteral(".starts")).size(); };

        // Restarted once for the document, which then is reported and skipped.
        Status r = app->open(QFile::encodeName(crash), false);
        QVERIFY(!r.ok() && !platform::retryHelps(r));
        QVERIFY2(r.message().startsWith(QStringLiteral("LibreOffice 在处理此文档时意外退出")), qPrintable(r.message()));
        QCOMPARE(starts(), 2);
        QCOMPARE(readBytes(crash), crashBefore);

        // A lock left by a dead office of ours goes; the document is processed by a new office.
        r = app->open(QFile::encodeName(stale), false);
        QVERIFY(r.ok());
        QCOMPARE(sink.failures, QStringList());
        QCOMPARE(starts(), 3);
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral(".~lock.stale.doc#"))));

        // Someone else's lock is never touched.
        r = app->open(QFile::encodeName(live), false);
        QVERIFY(!r.ok() && !platform::retryHelps(r));
        QCOMPARE(r.message(), QStringLiteral("文档正被其他程序打开，文档未作改动"));
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral(".~lock.live.doc#"))));
        QCOMPARE(readBytes(live), liveBefore);
        app->quit();
    }

    void hugeFilesAreRefusedWithinAMemoryLimit()
    {
        if (qEnvironmentVariableIsSet(kChildEnv)) {
            // Child, under an address-space limit smaller than either file.
            QTemporaryDir dir;
            wordcrypt::LibreOfficeWord::Options options;
            options.helperProgram = fakeHelper(dir);
            options.officeProgram = QStringLiteral("/bin/true");
            wordcrypt::LibreOfficeWord word(options, m_prompt);
            QString error;
            auto app = createApp(word, &error);
            QVERIFY2(app, qPrintable(error));
            const QStringList files = qEnvironmentVariable(kChildEnv).split(u'|');
            const Status over = app->open(QFile::encodeName(files.at(0)), false);
            QVERIFY(!over.ok() && !platform::retryHelps(over));
            QVERIFY2(over.message().contains(QStringLiteral("512 MB")), qPrintable(over.message()));
            const Status hollow = app->open(QFile::encodeName(files.at(1)), false);
            QVERIFY(!hollow.ok() && !platform::retryHelps(hollow));
            QVERIFY2(hollow.message().contains(QStringLiteral("不是有效的 Word 97-2003 文档")),
                     qPrintable(hollow.message()));
            app->quit();
            return;
        }
#ifdef __SANITIZE_ADDRESS__
        QSKIP("the sanitizer's shadow memory does not fit under an address-space limit");
#endif
        if (QStandardPaths::findExecutable(QStringLiteral("prlimit")).isEmpty())
            QSKIP("needs prlimit");
        QTemporaryDir dir;
        const auto sparse = [&](const QString& name, qint64 size) {
            QFile f(dir.filePath(name));
            if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray::fromHex("D0CF11E0A1B11AE1")) != 8 ||
                !f.resize(size))
                return QString();
            return f.fileName();
        };
        const QString over = sparse(QStringLiteral("over.doc"), 3ll << 30);
        const QString hollow = sparse(QStringLiteral("hollow.doc"), 500ll << 20);
        QVERIFY(!over.isEmpty() && !hollow.isEmpty());
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildEnv), over + u'|' + hollow);
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QStringLiteral("prlimit"),
                    {QStringLiteral("--as=%1").arg(400ll << 20), QStringLiteral("--"),
                     QCoreApplication::applicationFilePath(), QStringLiteral("hugeFilesAreRefusedWithinAMemoryLimit")});
        QVERIFY(child.waitForFinished(120000));
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitCode() == 0 &&
                     output.contains("PASS   : TestLibreOfficeWord::hugeFilesAreRefusedWithinAMemoryLimit"),
                 output.constData());
    }

    void stopOnAWorkerThreadEndsTheOffice()
    {
        // The whole run on a worker thread, as the window's run does; the stop request arrives
        // while the office is about to load the document.
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        QVERIFY(run(doc, QStringLiteral("739")).ok());
        const QByteArray bytes = readBytes(doc);
        platform::RunControl control;
        StoppingPrompt prompt;
        prompt.control = &control;
        wordcrypt::LibreOfficeWord word(m_options, prompt);
        word.setRunControl(&control);
        ScriptedSink sink;
        sink.password = QStringLiteral("new");
        Status first, second;
        const QSet<int> before = ourOffices();
        std::shared_ptr<platform::WordApplication> app;
        std::thread worker([&] {
            QString error;
            app = createApp(word, &error);
            if (!app)
                return;
            app->setEvents(&sink);
            first = app->open(QFile::encodeName(doc), false);
            second = app->open(QFile::encodeName(doc), false);
        });
        worker.join();
        QVERIFY(app);
        QTRY_COMPARE(ourOffices(), before); // the office went with the stop, before any quit
        app->quit();
        QVERIFY2(!first.ok() && !platform::retryHelps(first), qPrintable(first.message()));
        QCOMPARE(first.message(), QStringLiteral("运行已停止，文档未作改动"));
        QVERIFY(!second.ok() && !platform::retryHelps(second)); // nothing starts again after a stop
        QCOMPARE(sink.opened, 0);
        QCOMPARE(readBytes(doc), bytes);
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("one.doc")});
    }

    void stopEndsAWaitThatWouldTakeMinutes()
    {
        // A store that never answers: the stop, not the call limit, ends the wait.
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"), QStringLiteral("hang.doc"));
        const QByteArray before = readBytes(doc);
        wordcrypt::LibreOfficeWord::Options options;
        options.helperProgram = fakeHelper(dir);
        options.officeProgram = QStringLiteral("/bin/true");
        options.callLimitMs = 600000;
        wordcrypt::LibreOfficeWord word(options, m_prompt);
        platform::RunControl control;
        word.setRunControl(&control);
        QString error;
        auto app = createApp(word, &error);
        QVERIFY2(app, qPrintable(error));
        ScriptedSink sink;
        sink.password = QStringLiteral("739");
        std::thread stopper;
        sink.onSave = [&] {
            stopper = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                control.requestStop();
            });
        };
        app->setEvents(&sink);
        QVERIFY(app->open(QFile::encodeName(doc), false).ok());
        stopper.join();
        QCOMPARE(sink.failures.filter(QStringLiteral("Save:")),
                 QStringList{QStringLiteral("Save:运行已停止，文档未作改动")});
        QCOMPARE(readBytes(doc), before);
        app->quit();
    }

    void othersAreLeftUntouched_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("text file named .doc") << QStringLiteral("text");
        QTest::newRow("empty file") << QStringLiteral("empty");
        QTest::newRow("renamed .docx") << QStringLiteral("docx");
        QTest::newRow("mode 0444") << QStringLiteral("readonly");
        QTest::newRow("locked by another office") << QStringLiteral("locked");
    }
    void othersAreLeftUntouched()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QString doc = dir.filePath(QStringLiteral("x.doc"));
        if (kind == QLatin1String("text")) {
            QFile f(doc);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("plain text, not a document\n");
        } else if (kind == QLatin1String("empty")) {
            QFile f(doc);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else if (kind == QLatin1String("docx")) {
            sample(dir, QStringLiteral("one.docx"), QStringLiteral("x.doc"));
        } else {
            sample(dir, QStringLiteral("one.doc"), QStringLiteral("x.doc"));
            if (kind == QLatin1String("readonly")) {
                QVERIFY(QFile::setPermissions(doc, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
            } else {
                QFile lock(dir.filePath(QStringLiteral(".~lock.x.doc#")));
                QVERIFY(lock.open(QIODevice::WriteOnly));
                lock.write(",someone,otherhost,08.12.2026 01:00,file:///home/someone/.config/libreoffice/4;");
            }
        }
        const QByteArray before = readBytes(doc);
        const Status r = run(doc, QStringLiteral("739"));
        // Either the office refuses to open it, or saving refuses: never a replaced file.
        QVERIFY(!r.ok() || m_sink.failures.filter(QStringLiteral("Save:")).size() == 1);
        QCOMPARE(readBytes(doc), before);
        const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        QVERIFY2(left.filter(QStringLiteral(".bak")).isEmpty(),
                 qPrintable(left.join(u' '))); // no backup left behind
    }

    void linksKeepPointingAtTheDocument()
    {
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        const QString symlink = dir.filePath(QStringLiteral("link.doc"));
        const QString hardlink = dir.filePath(QStringLiteral("hard.doc"));
        QVERIFY(QFile::link(doc, symlink));
        QCOMPARE(::link(QFile::encodeName(doc).constData(), QFile::encodeName(hardlink).constData()), 0);

        QVERIFY(run(symlink, QStringLiteral("s")).ok());
        QCOMPARE(m_sink.failures, QStringList());
        QVERIFY(QFileInfo(symlink).isSymLink());
        QVERIFY(wordcrypt::rc4PasswordMatches(readBytes(doc), QStringLiteral("s")));

        m_prompt.answers.clear();
        m_prompt.answers.enqueue(QStringLiteral("s"));
        QVERIFY(run(hardlink, QStringLiteral("h")).ok());
        QCOMPARE(m_sink.failures, QStringList());
        // Both names are one file, whichever way the office replaced it.
        QVERIFY(wordcrypt::rc4PasswordMatches(readBytes(hardlink), QStringLiteral("h")));
    }

    void nameThatIsNotUtf8()
    {
        QTemporaryDir dir;
        const QByteArray folder = QFile::encodeName(dir.path()) + "/\xce\xc4\xbc\xfe"; // "文件" in GBK
        const QByteArray raw = folder + "/\xb1\xa8\xb8\xe6.doc";                       // "报告" in GBK
        QCOMPARE(::mkdir(folder.constData(), 0755), 0);
        QVERIFY(QFile::copy(m_samples.filePath(QStringLiteral("one.doc")), dir.filePath(QStringLiteral("tmp.doc"))));
        QCOMPARE(::rename(QFile::encodeName(dir.filePath(QStringLiteral("tmp.doc"))).constData(), raw.constData()), 0);
        // QDir cannot remove a name that is not UTF-8.
        const auto cleanup = qScopeGuard([&] {
            ::unlink(raw.constData());
            ::rmdir(folder.constData());
        });
        m_sink.password = QStringLiteral("gbk");
        m_sink.writePassword = QStringLiteral("写");
        m_sink.failures.clear();
        QVERIFY(m_app->open(raw, false).ok());
        QCOMPARE(m_sink.failures, QStringList());
        QFile f;
        const int fd = ::open(raw.constData(), O_RDONLY);
        QVERIFY(fd >= 0);
        QVERIFY(f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
        const QByteArray stored = f.readAll();
        QVERIFY(wordcrypt::rc4PasswordMatches(stored, QStringLiteral("gbk")));
        QCOMPARE(wordcrypt::readWriteReservation(raw, QStringLiteral("gbk"))->password, QStringLiteral("写"));
        // The work folder beside the document is gone too.
        QCOMPARE(::rmdir(folder.constData()), -1);
        QCOMPARE(::unlink(raw.constData()), 0);
        QCOMPARE(::rmdir(folder.constData()), 0);
    }

    void missingFileFailsWithoutRetry()
    {
        QTemporaryDir dir;
        const int openedBefore = m_sink.opened;
        const Status r = run(dir.filePath(QStringLiteral("none.doc")), QStringLiteral("x"));
        QVERIFY(!r.ok());
        QVERIFY(!platform::retryHelps(r));
        QCOMPARE(m_sink.opened, openedBefore); // no event for a document that never opened
    }

    void readOnlyForAnotherUser()
    {
        if (qEnvironmentVariableIsSet(kChildEnv)) {
            // Child, running as nobody: the document belongs to root.
            const QString doc = qEnvironmentVariable(kChildEnv);
            QString error;
            m_app = createApp(*m_word, &error);
            QVERIFY2(m_app, qPrintable(error));
            m_app->setEvents(&m_sink);
            const QByteArray before = readBytes(doc);
            const Status r = run(doc, QStringLiteral("739"));
            QVERIFY(!r.ok() || m_sink.failures.filter(QStringLiteral("Save:")).size() == 1);
            QCOMPARE(readBytes(doc), before);
            return;
        }
        if (::getuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("needs root and setpriv to run a part as nobody");
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                      QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup |
                                                      QFile::ExeGroup));
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        const QByteArray before = readBytes(doc);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildEnv), doc);
        env.insert(QStringLiteral("HOME"), QStringLiteral("/tmp"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QStringLiteral("setpriv"),
                    {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                     QStringLiteral("--clear-groups"), QStringLiteral("--"), QCoreApplication::applicationFilePath(),
                     QStringLiteral("readOnlyForAnotherUser")});
        QVERIFY(child.waitForFinished(180000));
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitCode() == 0 && output.contains("PASS   : TestLibreOfficeWord::readOnlyForAnotherUser"),
                 output.constData());
        QCOMPARE(readBytes(doc), before);
    }

    void failedStoresAreUndone_data()
    {
        QTest::addColumn<QString>("store"); ///< what the scripted helper does on "store"
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("garbage written") << QStringLiteral("garbage") << QStringLiteral("不是有效的 Word 97-2003 文档")
                                         << QStringLiteral("文档未作改动");
        QTest::newRow("stored without the password")
            << QStringLiteral("plain") << QStringLiteral("未按所给密码加密") << QStringLiteral("文档未作改动");
        QTest::newRow("refused as read-only")
            << QStringLiteral("refuse") << QStringLiteral("文档只读或已被锁定") << QStringLiteral("文档未作改动");
        QTest::newRow("office dies mid-write")
            << QStringLiteral("die") << QStringLiteral("意外退出") << QStringLiteral("文档未作改动");
        QTest::newRow("helper dies while connecting") << QStringLiteral("diestart") << QString() << QString();
        QTest::newRow("office hangs") << QStringLiteral("hang") << QStringLiteral("没有响应")
                                      << QStringLiteral("文档未作改动");
    }
    void failedStoresAreUndone()
    {
        QFETCH(QString, store);
        QFETCH(QString, reason);
        QFETCH(QString, outcome);
        // A helper of our own stands in for the office, to make the store go wrong on purpose.
        QTemporaryDir dir;
        const QString helper = dir.filePath(QStringLiteral("fakehelper"));
        QVERIFY(writeFakeHelper(helper));

        const QString doc = sample(dir, QStringLiteral("one.doc"));
        const QByteArray before = readBytes(doc);
        wordcrypt::LibreOfficeWord::Options options;
        options.helperProgram = helper;
        options.officeProgram = store; // handed to the helper as its first argument
        options.callLimitMs = 3000;
        wordcrypt::LibreOfficeWord word(options, m_prompt);
        QString error;
        auto app = createApp(word, &error);
        if (store == QLatin1String("diestart")) {
            // The helper died while connecting: the office it had started goes too.
            QVERIFY(!app);
            QVERIFY2(error.contains(QStringLiteral("意外退出")), qPrintable(error));
            const QByteArray pid = readBytes(helper + QStringLiteral(".pid"));
            QVERIFY(!pid.isEmpty());
            QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(pid)));
            QTRY_VERIFY(!stat.exists() || (stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z ")));
            return;
        }
        QVERIFY2(app, qPrintable(error));
        ScriptedSink sink;
        sink.password = QStringLiteral("739");
        app->setEvents(&sink);
        app->open(QFile::encodeName(doc), false);
        const QStringList saves = sink.failures.filter(QStringLiteral("Save:"));
        QCOMPARE(saves.size(), 1);
        QVERIFY2(saves.first().contains(reason) && saves.first().contains(outcome), qPrintable(saves.first()));
        QCOMPARE(readBytes(doc), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".bak")), QStringList());
        app->quit();
    }

    void documentIsLookedAtThroughTheFileSystem_data()
    {
        QTest::addColumn<int>("op"); ///< the FaultyFileSystem operation that fails on the document
        QTest::addColumn<QString>("reason");
        QTest::newRow("signature unreadable")
            << int(platform::FaultyFileSystem::Op::ReadFile) << QStringLiteral("不是 Word 97-2003 格式的文件");
        QTest::newRow("no file information") << int(platform::FaultyFileSystem::Op::Info) << QStringLiteral("不是文件");
    }
    void documentIsLookedAtThroughTheFileSystem()
    {
        QFETCH(int, op);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString helper = dir.filePath(QStringLiteral("fakehelper"));
        QVERIFY(writeFakeHelper(helper));
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        const QByteArray before = readBytes(doc);
        platform::FaultyFileSystem fs;
        const auto failing = platform::FaultyFileSystem::Op(op);
        fs.failOn(failing, QFile::encodeName(QFileInfo(doc).canonicalFilePath()));
        wordcrypt::LibreOfficeWord::Options options;
        options.helperProgram = helper;
        options.officeProgram = QStringLiteral("plain");
        options.callLimitMs = 3000;
        options.fileSystem = &fs;
        wordcrypt::LibreOfficeWord word(options, m_prompt);
        QString error;
        auto app = createApp(word, &error);
        QVERIFY2(app, qPrintable(error));
        ScriptedSink sink;
        sink.password = QStringLiteral("739");
        app->setEvents(&sink);
        const Status opened = app->open(QFile::encodeName(doc), false);
        QVERIFY(!opened.ok() && !platform::retryHelps(opened));
        QVERIFY2(opened.message().startsWith(reason), qPrintable(opened.message()));
        QCOMPARE(sink.opened, 0); // the office never saw the document
        QCOMPARE(readBytes(doc), before);
        app->quit();
    }

    void missingOfficeIsReportedClearly_data()
    {
        QTest::addColumn<QString>("helper");
        QTest::addColumn<QString>("office");
        QTest::newRow("no helper") << QStringLiteral("/nonexistent/korvane-unohelper") << QString();
        QTest::newRow("no office") << QString() << QStringLiteral("/nonexistent/soffice");
        QTest::newRow("helper without its libraries") << QStringLiteral("exit 127") << QString();
    }
    void missingOfficeIsReportedClearly()
    {
        QFETCH(QString, helper);
        QFETCH(QString, office);
        wordcrypt::LibreOfficeWord::Options options = m_options;
        QTemporaryDir dir;
        if (helper == QLatin1String("exit 127")) {
            // What the loader does when the UNO libraries are gone.
            helper = dir.filePath(QStringLiteral("korvane-unohelper"));
            QFile script(helper);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\nexit 127\n");
            script.close();
            QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        if (!helper.isEmpty())
            options.helperProgram = helper;
        options.officeProgram = office;
        wordcrypt::LibreOfficeWord word(options, m_prompt);
        QString error;
        QVERIFY(!word.getObject(QStringLiteral("word.Application")));
        QVERIFY(!createApp(word, &error));
        QCOMPARE(error, wordcrypt::libreOfficeMissingText());
    }
};

QTEST_GUILESS_MAIN(TestLibreOfficeWord)
#include "tst_wordcrypt_libreoffice.moc"
