#include "wordcrypt/libreofficeword.h"

#include "platform/nativepath.h"
#include "wordcrypt/worddocfile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::wordcrypt {

using platform::WordDocument;
using platform::WordResult;

namespace {

const QString kWord97Filter = QStringLiteral("MS Word 97");

QByteArray field(const QString& text) {
    return text.toUtf8().toPercentEncoding();
}

/// The conversation with one korvane-unohelper process, and through it with one office.
class Helper {
public:
    struct Reply {
        bool ok = false;
        bool started = false; ///< the office process exists; the outcome of "start" follows
        QString code; ///< error code when !ok
        QStringList fields;
        QString text; ///< error text when !ok
    };

    Helper(const LibreOfficeWord::Options& options) : m_options(options) {}
    ~Helper() { shutDown(); }

    /// Starts the helper and the office. `missing` is set when LibreOffice is not there at all.
    bool start(QString* error, bool* missing) {
        *missing = false;
        if (m_options.helperProgram.isEmpty() || !QFileInfo(m_options.helperProgram).isExecutable()) {
            *missing = true;
            return false;
        }
        QStringList arguments;
        if (!m_options.officeProgram.isEmpty())
            arguments << m_options.officeProgram;
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(m_options.helperProgram, arguments);
        if (!m_process.waitForStarted(10000)) {
            *missing = true; // a helper that cannot run means its LibreOffice libraries are gone
            return false;
        }
        Reply r = call("start", m_options.startLimitMs);
        if (r.started) {
            m_officeGroup = r.fields.value(0).toInt();
            m_profile = r.fields.value(1);
            r = read(QDeadlineTimer(m_options.startLimitMs));
        }
        if (!r.ok) {
            // Exit code 127: the loader could not find the LibreOffice libraries the helper uses.
            *missing = r.code == QLatin1String("nooffice") ||
                       (m_process.state() == QProcess::NotRunning &&
                        m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 127);
            *error = r.text;
            shutDown();
            return false;
        }
        m_officeGroup = r.fields.value(0).toInt();
        m_profile = r.fields.value(1);
        return true;
    }

    bool alive() const { return m_process.state() == QProcess::Running; }

    Reply call(const QByteArray& line, int limitMs) {
        Reply r;
        if (!alive()) {
            r.code = QStringLiteral("gone");
            r.text = QStringLiteral("LibreOffice 已退出");
            return r;
        }
        m_process.write(line + '\n');
        return read(QDeadlineTimer(limitMs));
    }

    /// Reads one reply line; kills helper and office when none comes in time.
    Reply read(QDeadlineTimer deadline)
    {
        Reply r;
        while (!m_process.canReadLine()) {
            if (deadline.hasExpired() || m_process.state() != QProcess::Running ||
                !m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
                if (m_process.canReadLine())
                    break;
                const bool timedOut = m_process.state() == QProcess::Running;
                kill();
                r.code = QStringLiteral("gone");
                r.text = timedOut ? QStringLiteral("LibreOffice 在限定时间内没有响应，已被终止")
                                  : QStringLiteral("LibreOffice 意外退出");
                return r;
            }
        }
        const QList<QByteArray> parts = m_process.readLine().chopped(1).split('\t');
        r.ok = parts.value(0) == "ok";
        r.started = parts.value(0) == "started";
        for (qsizetype i = 1; i < parts.size(); ++i)
            r.fields << QString::fromUtf8(parts[i]);
        if (!r.ok && !r.started) {
            r.code = r.fields.value(0);
            r.text = r.fields.value(1);
        }
        return r;
    }

    /// Asks the helper to stop the office; kills both when they do not end in time.
    void shutDown() {
        if (alive()) {
            call("quit", 20000);
            if (!m_process.waitForFinished(5000))
                kill();
        }
        m_process.waitForFinished(1000);
    }

private:
    void kill() {
        m_process.kill();
        m_process.waitForFinished(2000);
        if (m_officeGroup > 0)
            ::kill(-m_officeGroup, SIGKILL);
        if (m_profile.startsWith(QLatin1String("/tmp/korvane-office-")))
            QDir(m_profile).removeRecursively();
        m_officeGroup = 0;
    }

    LibreOfficeWord::Options m_options;
    QProcess m_process;
    int m_officeGroup = 0;
    QString m_profile;
};

QString describeStoreError(const QString& text) {
    if (text.startsWith(QLatin1String("0x4c0c")))
        return QStringLiteral("文档只读或已被锁定，无法保存");
    return QStringLiteral("LibreOffice 保存失败(%1)").arg(text);
}

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return ::fsync(fd) == 0;
}

std::optional<QByteArray> readAll(const QByteArray& path) {
    // POSIX, not QFile: the path's raw bytes must reach the kernel unchanged.
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        bytes.append(buffer, n);
    }
    ::close(fd);
    return bytes;
}

/// Writes `bytes` back into the file itself (same inode), so hard links keep sharing it.
bool restoreInPlace(const QByteArray& path, const QByteArray& bytes) {
    const int fd = ::open(path.constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = writeAll(fd, bytes);
    return ::close(fd) == 0 && ok;
}

class Document final : public WordDocument {
public:
    Document(Helper& helper, int id, QString name, QByteArray realPath, QString filter, bool readOnly,
             int limitMs)
        : m_helper(helper), m_id(id), m_name(std::move(name)), m_realPath(std::move(realPath)),
          m_filter(std::move(filter)), m_readOnly(readOnly), m_limitMs(limitMs) {}

    QString fullName() const override { return m_name; }

    WordResult setPassword(const QString& password) override {
        m_password = password;
        return {};
    }

    WordResult setWritePassword(const QString& password) override {
        if (!password.isEmpty()) {
            // LibreOffice writes its "password to modify" into .doc files as form protection,
            // which is not a write reservation, so no write password is set at all.
            return WordResult::failure(QStringLiteral("LibreOffice 不支持 Word 97-2003 文档的写密码"));
        }
        return {};
    }

    WordResult save() override {
        if (m_closed)
            return WordResult::failure(QStringLiteral("文档已关闭"));
        const QString untouched = QStringLiteral("，文档未作改动");
        if (m_filter != kWord97Filter)
            return WordResult::failure(QStringLiteral("不是 Word 97-2003 文档") + untouched);
        struct stat st {};
        if (::stat(m_realPath.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            return WordResult::failure(QStringLiteral("文件无法访问") + untouched);
        if (m_readOnly || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            return WordResult::failure(QStringLiteral("文档只读或已被锁定") + untouched);
        const std::optional<QByteArray> original = readAll(m_realPath);
        if (!original)
            return WordResult::failure(QStringLiteral("文件无法读取") + untouched);
        if (!hasCompoundSignature(*original))
            return WordResult::failure(QStringLiteral("不是 Word 97-2003 格式的文件") + untouched);

        // The backup lies beside the document, so it survives a crash of either program.
        const int slash = m_realPath.lastIndexOf('/');
        const QByteArray backup = m_realPath.left(slash + 1) + '.' + m_realPath.mid(slash + 1) + ".korvane-" +
                                  QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".bak";
        const int fd = ::open(backup.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return WordResult::failure(QStringLiteral("无法建立备份") + untouched);
        const bool backedUp = writeAll(fd, *original);
        ::close(fd);
        if (!backedUp) {
            ::unlink(backup.constData());
            return WordResult::failure(QStringLiteral("无法建立备份") + untouched);
        }

        QByteArray line = "store\t" + QByteArray::number(m_id);
        if (!m_password.isEmpty())
            line += '\t' + field(m_password);
        const Helper::Reply r = m_helper.call(line, m_limitMs);
        QString failure;
        if (!r.ok)
            failure = r.code == QLatin1String("gone") ? r.text : describeStoreError(r.text);
        else
            failure = verify();
        if (failure.isEmpty()) {
            ::unlink(backup.constData());
            return {};
        }
        const std::optional<QByteArray> now = readAll(m_realPath);
        if (now == original) {
            ::unlink(backup.constData());
            return WordResult::failure(failure + untouched);
        }
        if (restoreInPlace(m_realPath, *original)) {
            ::unlink(backup.constData());
            return WordResult::failure(failure + QStringLiteral("，已恢复原文档"));
        }
        return WordResult::failure(failure + QStringLiteral("，原文档的备份保留在 ") +
                                   QFile::decodeName(backup));
    }

    WordResult close() override {
        if (m_closed)
            return WordResult::failure(QStringLiteral("文档已关闭"));
        m_closed = true;
        const Helper::Reply r = m_helper.call("close\t" + QByteArray::number(m_id), m_limitMs);
        return r.ok ? WordResult{}
                    : WordResult::failure(QStringLiteral("LibreOffice 无法关闭文档(%1)").arg(r.text));
    }

    bool closed() const { return m_closed; }

private:
    /// "" when the stored file carries exactly the protection asked for.
    QString verify() const {
        const std::optional<QByteArray> stored = readAll(m_realPath);
        QString why;
        const std::optional<WordFileState> state = stored ? inspectWordFile(*stored, &why) : std::nullopt;
        if (!state)
            return QStringLiteral("保存后的文件不是有效的 Word 97-2003 文档");
        if (m_password.isEmpty() && state->encrypted)
            return QStringLiteral("保存后的文档仍需要打开密码");
        if (!m_password.isEmpty() &&
            (!state->encrypted || state->obfuscated || !rc4PasswordMatches(*stored, m_password)))
            return QStringLiteral("保存后的文档未按所给密码加密");
        if (state->writeReserved)
            return QStringLiteral("保存后的文档仍带有写密码");
        return {};
    }

    Helper& m_helper;
    int m_id;
    QString m_name;
    QByteArray m_realPath;
    QString m_filter;
    bool m_readOnly;
    int m_limitMs;
    QString m_password;
    bool m_closed = false;
};

class Application final : public platform::WordApplication {
public:
    Application(std::unique_ptr<Helper> helper, platform::DocumentPasswordPrompt& prompt, int limitMs)
        : m_helper(std::move(helper)), m_prompt(prompt), m_limitMs(limitMs) {}

    void setEvents(platform::WordEvents* sink) override { m_sink = sink; }

    WordResult setVisible(bool) override {
        // The office runs headless: there is never a window to show or hide.
        return m_ended ? WordResult::failure(QStringLiteral("LibreOffice 已退出")) : WordResult{};
    }

    WordResult open(const QByteArray& rawName, bool) override {
        const QString fileName = platform::displayPath(rawName);
        if (m_ended)
            return WordResult::failure(QStringLiteral("LibreOffice 已退出"), false);
        // The office writes the file a symbolic link points to, never the link itself.
        char resolved[PATH_MAX];
        if (!::realpath(rawName.constData(), resolved))
            return WordResult::failure(QStringLiteral("文件不存在或无法访问"), false);
        const QByteArray realPath(resolved);
        struct stat st {};
        if (::stat(resolved, &st) != 0 || !S_ISREG(st.st_mode))
            return WordResult::failure(QStringLiteral("不是文件"), false);

        const QByteArray load = "load\t" + realPath.toPercentEncoding("/");
        // As Word would: ask for the document's current password, then open with it.
        const auto withPassword = [&](Helper::Reply* r) -> WordResult {
            const std::optional<QString> password = m_prompt.askPassword(fileName);
            if (!password)
                return WordResult::failure(QStringLiteral("文档需要打开密码，已取消"), false);
            *r = m_helper->call(load + '\t' + field(*password), m_limitMs);
            if (!r->ok && (r->code == QLatin1String("wrongpassword") || r->code == QLatin1String("password")))
                return WordResult::failure(QStringLiteral("打开密码不正确"), false);
            return {};
        };
        Helper::Reply r;
        // An encrypted Word 97 file is known from its header: ask first and load once.
        const std::optional<QByteArray> bytes = readAll(realPath);
        const std::optional<WordFileState> state =
            bytes && hasCompoundSignature(*bytes) ? inspectWordFile(*bytes) : std::nullopt;
        if (state && state->encrypted) {
            if (const WordResult asked = withPassword(&r); !asked.ok)
                return asked;
        } else {
            r = m_helper->call(load, m_limitMs);
            if (!r.ok && r.code == QLatin1String("password")) {
                if (const WordResult asked = withPassword(&r); !asked.ok)
                    return asked;
            }
        }
        if (!r.ok) {
            if (r.code == QLatin1String("gone"))
                return WordResult::failure(r.text, false);
            if (r.code == QLatin1String("locked"))
                return WordResult::failure(QStringLiteral("文档已被其他程序锁定"));
            return WordResult::failure(QStringLiteral("LibreOffice 无法打开文档(%1)").arg(r.text));
        }
        Document document(*m_helper, r.fields.value(0).toInt(), fileName, realPath, r.fields.value(1),
                          r.fields.value(2) != QLatin1String("0") ||
                              r.fields.value(3) == QLatin1String("locked"),
                          m_limitMs);
        if (m_sink)
            m_sink->DocumentOpen(document);
        if (!document.closed())
            document.close(); // the document object does not outlive the event
        return {};
    }

    WordResult quit() override {
        if (m_ended)
            return WordResult::failure(QStringLiteral("LibreOffice 已退出"));
        m_ended = true;
        m_helper->shutDown();
        if (m_sink)
            m_sink->Quit();
        return {};
    }

private:
    std::unique_ptr<Helper> m_helper;
    platform::DocumentPasswordPrompt& m_prompt;
    int m_limitMs;
    platform::WordEvents* m_sink = nullptr;
    bool m_ended = false;
};

} // namespace

QString libreOfficeMissingText() {
    return QStringLiteral("未找到 LibreOffice Writer，无法处理 Word 文档。请先安装 LibreOffice "
                          "(Debian 软件包 libreoffice-writer-nogui)后再试。");
}

LibreOfficeWord::LibreOfficeWord(Options options, platform::DocumentPasswordPrompt& prompt)
    : m_options(std::move(options)), m_prompt(prompt) {}

QString LibreOfficeWord::defaultHelper(const QString& programFolder) {
    return QDir(programFolder).filePath(QStringLiteral("korvane-unohelper"));
}

std::shared_ptr<platform::WordApplication> LibreOfficeWord::getObject(const QString& pathName,
                                                                      QString* error) {
    if (error)
        *error = QStringLiteral("无法绑定到正在运行的 %1").arg(pathName);
    return nullptr;
}

std::shared_ptr<platform::WordApplication> LibreOfficeWord::createObject(const QString&, QString* error) {
    auto helper = std::make_unique<Helper>(m_options);
    QString why;
    bool missing = false;
    if (!helper->start(&why, &missing)) {
        if (error)
            *error = missing ? libreOfficeMissingText() : QStringLiteral("LibreOffice 无法启动(%1)").arg(why);
        return nullptr;
    }
    return std::make_shared<Application>(std::move(helper), m_prompt, m_options.callLimitMs);
}

} // namespace korvane::wordcrypt
