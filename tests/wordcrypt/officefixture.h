#pragma once

// The real office for the LibreOffice backend's tests: sample documents the office makes from
// plain text, one application every case shares, and helpers that look at what was stored.
// The cases skip when LibreOffice or the helper is not installed.

#include "officesamples.h"
#include "wordcrypt/libreofficeword.h"
#include "wordcrypt/worddocfile.h"

#include "platform/fakes/fakeservices.h"
#include "platform/fakes/fakewordprocessor.h"
#include "platform/runcontrol.h"
#include "support/testtree.h"

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

namespace korvane::testsupport {

using platform::Status;
using platform::WordDocument;

inline const char* const kChildEnv = "KORVANE_WORDCRYPT_CHILD";
inline const QString kMsoffcrypto = QStringLiteral("/usr/bin/msoffcrypto-tool");

/// The application, or null with `error` saying why.
inline std::shared_ptr<platform::WordApplication> createApp(platform::WordAutomation& word, QString* error)
{
    auto created = word.createObject(QStringLiteral("word.Application"));
    *error = created.status().message();
    return created.valueOr(nullptr);
}

/// Writes a helper of our own that stands in for the office; its first argument (the office
/// program) says what its "store" does.
inline bool writeFakeHelper(const QString& helper)
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
    elif f[0] == 'close': reply('ok')
    elif f[0] == 'quit': reply('ok'); sys.exit(0)  # as the real one: a helper that stays is waited for
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
    QStringList notes; ///< savedAs() of each document saved
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
        if (!document.savedAs().isEmpty())
            notes << document.savedAs();
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
inline bool holdsText(const QByteArray& document, const QString& text)
{
    return document.contains(QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2));
}

/// Exit code of msoffcrypto-tool decrypting `file` with `password` (0: decrypted).
inline int decrypt(const QString& file, const QString& password, QByteArray* plain = nullptr)
{
    QTemporaryDir out;
    const QString target = out.filePath(QStringLiteral("plain.doc"));
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(kMsoffcrypto, {QStringLiteral("-p") + password, file, target});
    if (!p.waitForFinished(60000))
        return -1;
    if (plain)
        *plain = bytesOf(target);
    return p.exitCode();
}

/// Sets FIB flag bits of a Word document in place: the WordDocument stream of the office's
/// samples begins at a (mini) sector boundary with the FIB's magic number and version.
inline bool setFibFlags(const QString& path, quint16 bits)
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
inline QSet<int> ourOffices()
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
inline int killOurOffices(const QSet<int>& spared)
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

/// The office, its samples and the application the cases share; each test class adds its cases.
class OfficeTestCase : public QObject {
    Q_OBJECT

protected:
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
    elif f[0] == 'close': reply('ok')
    elif f[0] == 'quit': reply('ok'); sys.exit(0)  # as the real one: a helper that stays is waited for
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
        m_sink.notes.clear();
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

        QVERIFY(officeSamplesInto(m_samples.path()));

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
};

} // namespace korvane::testsupport
