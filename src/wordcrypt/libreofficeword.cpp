#include "wordcrypt/libreofficeword.h"

#include "platform/nativepath.h"
#include "platform/runcontrol.h"
#include "wordcrypt/worddocfile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStandardPaths>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <dirent.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace korvane::wordcrypt {

using platform::WordDocument;
using platform::WordResult;

struct LibreOfficeWord::Shared {
    Shared(Options o, platform::DocumentPasswordPrompt& p) : options(std::move(o)), prompt(p) {}
    Options options;
    platform::DocumentPasswordPrompt& prompt;
    std::atomic<platform::RunControl*> control{nullptr};

    bool stopRequested() const
    {
        platform::RunControl* c = control.load();
        return c && c->stopRequested();
    }
};

namespace {

const QString kWord97Filter = QStringLiteral("MS Word 97");
const QString kUntouched = QStringLiteral("，文档未作改动");
/// How often a wait for the helper looks at the stop request.
constexpr int kPollMs = 100;

QByteArray field(const QString& text)
{
    return text.toUtf8().toPercentEncoding();
}

QByteArray urlPath(const QByteArray& path)
{
    return path.toPercentEncoding("/");
}

/// The conversation with one korvane-unohelper process, and through it with one office. Plain
/// POSIX (spawn, socket, poll), so it belongs to no thread.
class Helper {
public:
    struct Reply {
        bool ok = false;
        bool started = false; ///< the office process exists; the outcome of "start" follows
        QString code;         ///< error code when !ok
        QStringList fields;
        QString text; ///< error text when !ok
    };

    explicit Helper(std::shared_ptr<LibreOfficeWord::Shared> shared) : m_shared(std::move(shared)) {}
    ~Helper() { shutDown(); }

    /// Starts the helper and the office. `missing` is set when LibreOffice is not there at all.
    bool start(const QString& office, QString* error, bool* missing)
    {
        *missing = false;
        const QString& program = m_shared->options.helperProgram;
        if (program.isEmpty() || !QFileInfo(program).isExecutable()) {
            *missing = true;
            return false;
        }
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        QByteArray programBytes = QFile::encodeName(program);
        QByteArray officeBytes = QFile::encodeName(office);
        std::vector<char*> argv = {programBytes.data()};
        if (!office.isEmpty())
            argv.push_back(officeBytes.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
        posix_spawn_file_actions_adddup2(&actions, pair[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int spawned = ::posix_spawn(&m_pid, programBytes.constData(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pair[1]);
        if (spawned != 0) {
            ::close(pair[0]);
            m_pid = -1;
            *missing = true; // a helper that cannot run means its LibreOffice libraries are gone
            return false;
        }
        m_socket = pair[0];
        Reply r = call("start", m_shared->options.startLimitMs);
        if (r.started) {
            m_officeGroup = r.fields.value(0).toInt();
            m_profile = r.fields.value(1);
            r = read(QDeadlineTimer(m_shared->options.startLimitMs));
        }
        if (!r.ok) {
            // Exit code 127: the loader could not find the LibreOffice libraries the helper uses.
            *missing = r.code == QLatin1String("nooffice") || m_exitCode == 127;
            *error = r.text;
            kill();
            return false;
        }
        m_officeGroup = r.fields.value(0).toInt();
        m_profile = r.fields.value(1);
        return true;
    }

    bool alive()
    {
        if (m_pid <= 0)
            return false;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            m_pid = -1;
            return false;
        }
        return true;
    }

    const QString& profile() const { return m_profile; }

    Reply call(const QByteArray& line, int limitMs)
    {
        if (!alive())
            return gone(QStringLiteral("LibreOffice 已退出"));
        const QByteArray bytes = line + '\n';
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::send(m_socket, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                kill();
                return gone(QStringLiteral("LibreOffice 意外退出"));
            }
            done += n;
        }
        return read(QDeadlineTimer(limitMs));
    }

    /// Reads one reply line. Kills helper and office when none comes in time or when the run
    /// is asked to stop meanwhile.
    Reply read(QDeadlineTimer deadline)
    {
        for (;;) {
            if (const qsizetype end = m_buffer.indexOf('\n'); end >= 0) {
                const QByteArray line = m_buffer.left(end);
                m_buffer.remove(0, end + 1);
                return parse(line);
            }
            if (m_shared->stopRequested()) {
                kill();
                Reply r = gone(QStringLiteral("已停止"));
                r.code = QStringLiteral("stopped");
                return r;
            }
            if (deadline.hasExpired()) {
                kill();
                return gone(QStringLiteral("LibreOffice 在限定时间内没有响应，已被终止"));
            }
            pollfd p{m_socket, POLLIN, 0};
            const int ready = ::poll(&p, 1, int(qMin<qint64>(kPollMs, qMax<qint64>(1, deadline.remainingTime()))));
            if (ready < 0 && errno != EINTR) {
                kill();
                return gone(QStringLiteral("LibreOffice 意外退出"));
            }
            if (ready <= 0) {
                // The socket may stay open in a child the helper left behind: watch the helper too.
                if (ready == 0 && !alive()) {
                    kill();
                    return gone(QStringLiteral("LibreOffice 意外退出"));
                }
                continue;
            }
            char chunk[4096];
            const ssize_t n = ::recv(m_socket, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                kill();
                return gone(QStringLiteral("LibreOffice 意外退出"));
            }
            m_buffer.append(chunk, n);
        }
    }

    /// Asks the helper to stop the office; kills both when they do not end in time.
    void shutDown()
    {
        if (alive()) {
            call("quit", 20000);
            const QDeadlineTimer deadline(5000);
            while (alive() && !deadline.hasExpired())
                ::usleep(20000);
        }
        kill();
    }

    /// Ends helper and office at once, and removes the office's profile.
    void kill()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            if (::waitpid(m_pid, &status, 0) == m_pid)
                m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            m_pid = -1;
        }
        if (m_officeGroup > 0)
            ::kill(-m_officeGroup, SIGKILL);
        m_officeGroup = 0;
        if (m_profile.startsWith(QLatin1String("/tmp/korvane-office-")))
            QDir(m_profile).removeRecursively();
        m_profile.clear();
        if (m_socket >= 0)
            ::close(m_socket);
        m_socket = -1;
        m_buffer.clear();
    }

private:
    static Reply gone(const QString& text)
    {
        Reply r;
        r.code = QStringLiteral("gone");
        r.text = text;
        return r;
    }

    Reply parse(const QByteArray& line)
    {
        Reply r;
        const QList<QByteArray> parts = line.split('\t');
        r.ok = parts.value(0) == "ok";
        r.started = parts.value(0) == "started";
        for (qsizetype i = 1; i < parts.size(); ++i)
            r.fields << QString::fromUtf8(parts[i]);
        if (!r.ok && !r.started) {
            r.code = r.fields.value(0);
            r.text = r.fields.value(1);
        }
        if (r.code == QLatin1String("crashed"))
            kill(); // the helper has ended the office; a new helper serves the next document
        return r;
    }

    std::shared_ptr<LibreOfficeWord::Shared> m_shared;
    pid_t m_pid = -1;
    int m_socket = -1;
    int m_exitCode = 0;
    QByteArray m_buffer;
    int m_officeGroup = 0;
    QString m_profile;
};

bool isDeath(const Helper::Reply& r)
{
    return r.code == QLatin1String("crashed") ||
           (r.code == QLatin1String("gone") && r.text.contains(QStringLiteral("意外退出")));
}

bool writeAll(int fd, const char* data, qsizetype size)
{
    qsizetype done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

/// Copies the open file `from` into `to` from their starts, in chunks, and syncs `to`.
bool copyFd(int from, int to)
{
    if (::lseek(from, 0, SEEK_SET) != 0 || ::lseek(to, 0, SEEK_SET) != 0)
        return false;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (!writeAll(to, buffer, n))
            return false;
    }
    return ::fsync(to) == 0;
}

/// Copies file `from` into the existing file `to` (same inode: hard links, owner, group and mode
/// stay), or into a new file created with `createMode`.
bool copyFile(const QByteArray& from, const QByteArray& to, int createMode = -1)
{
    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    const int flags = createMode >= 0 ? O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC : O_WRONLY | O_TRUNC | O_CLOEXEC;
    const int out = ::open(to.constData(), flags, createMode >= 0 ? createMode : 0);
    if (out < 0) {
        ::close(in);
        return false;
    }
    const bool ok = copyFd(in, out);
    ::close(in);
    return ::close(out) == 0 && ok;
}

bool sameFile(const QByteArray& a, const QByteArray& b)
{
    // POSIX, not QFile: the path's raw bytes must reach the kernel unchanged.
    const int fa = ::open(a.constData(), O_RDONLY | O_CLOEXEC);
    const int fb = ::open(b.constData(), O_RDONLY | O_CLOEXEC);
    const auto closeBoth = qScopeGuard([&] {
        if (fa >= 0)
            ::close(fa);
        if (fb >= 0)
            ::close(fb);
    });
    if (fa < 0 || fb < 0)
        return false;
    static constexpr size_t kChunk = 65536;
    std::vector<char> x(kChunk), y(kChunk);
    for (;;) {
        const ssize_t n = ::read(fa, x.data(), kChunk);
        if (n < 0)
            return false;
        // Files and pipes of ours: a short read only happens at the end.
        ssize_t m = 0;
        while (m < n) {
            const ssize_t k = ::read(fb, y.data() + m, size_t(n - m));
            if (k <= 0)
                return false;
            m += k;
        }
        if (n == 0) {
            char extra;
            return ::read(fb, &extra, 1) == 0;
        }
        if (std::memcmp(x.data(), y.data(), size_t(n)) != 0)
            return false;
    }
}

QByteArray readHead(const QByteArray& path, qint64 size)
{
    QByteArray bytes(size, '\0');
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    ssize_t n;
    do
        n = ::read(fd, bytes.data(), size_t(size));
    while (n < 0 && errno == EINTR);
    ::close(fd);
    bytes.truncate(qMax<ssize_t>(n, 0));
    return bytes;
}

/// Removes a folder of plain files by its raw path (QDir cannot name a folder whose path is
/// not UTF-8).
void removeFlatFolder(const QByteArray& path)
{
    if (DIR* d = ::opendir(path.constData())) {
        while (const dirent* e = ::readdir(d)) {
            const QByteArray name(e->d_name);
            if (name != "." && name != "..")
                ::unlink((path + '/' + name).constData());
        }
        ::closedir(d);
    }
    ::rmdir(path.constData());
}

/// What a LibreOffice lock file beside a document says about who holds it.
enum class Lock { None, OursStale, Foreign };

QByteArray lockPath(const QByteArray& document)
{
    const int slash = document.lastIndexOf('/');
    return document.left(slash + 1) + ".~lock." + document.mid(slash + 1) + '#';
}

/// A lock whose profile is one of our private office profiles that no longer exists was left by
/// an office of ours that died; any other lock belongs to someone's office.
Lock lockState(const QByteArray& document, const QString& currentProfile)
{
    const QByteArray lock = lockPath(document);
    struct stat st {};
    if (::lstat(lock.constData(), &st) != 0)
        return Lock::None;
    if (!S_ISREG(st.st_mode) || st.st_size > 4096)
        return Lock::Foreign;
    const QString text = QString::fromUtf8(readHead(lock, st.st_size)).trimmed();
    const qsizetype at = text.indexOf(QLatin1String("file:///tmp/korvane-office-"));
    if (at < 0)
        return Lock::Foreign;
    QString profile = text.mid(at + 7);
    profile = profile.left(profile.indexOf(QLatin1Char(';')) < 0 ? profile.size() : profile.indexOf(QLatin1Char(';')));
    if (profile == currentProfile || !QFileInfo::exists(profile))
        return Lock::OursStale;
    return Lock::Foreign; // another Korvane's office, still running
}

class Application;

class Document final : public WordDocument {
public:
    Document(Application& app, int id, QString name, QByteArray realPath, QString filter)
        : m_app(app), m_id(id), m_name(std::move(name)), m_realPath(std::move(realPath)),
          m_filter(std::move(filter))
    {
    }

    QString fullName() const override { return m_name; }

    WordResult setPassword(const QString& password) override
    {
        m_password = password;
        m_tooLong = m_tooLong || password.size() > kMaxPasswordLength;
        return m_tooLong ? WordResult::failure(tooLong()) : WordResult{};
    }

    WordResult setWritePassword(const QString& password) override
    {
        m_writePassword = password;
        m_tooLong = m_tooLong || password.size() > kMaxPasswordLength;
        return m_tooLong ? WordResult::failure(tooLong()) : WordResult{};
    }

    WordResult save() override;
    WordResult close() override;

    bool closed() const { return m_closed; }

private:
    static QString tooLong() { return QStringLiteral("密码不能超过15个字符"); }
    QString checkOfficeOutput(const QByteArray& path) const;

    Application& m_app;
    int m_id;
    QString m_name;
    QByteArray m_realPath;
    QString m_filter;
    QString m_password;
    QString m_writePassword;
    bool m_tooLong = false; ///< a password the format cannot hold was asked for: nothing is saved
    bool m_closed = false;
};

class Application final : public platform::WordApplication {
public:
    Application(std::shared_ptr<LibreOfficeWord::Shared> shared, QString office, std::unique_ptr<Helper> helper)
        : m_shared(std::move(shared)), m_office(std::move(office)), m_helper(std::move(helper))
    {
    }

    void setEvents(platform::WordEvents* sink) override { m_sink = sink; }

    WordResult setVisible(bool) override
    {
        // The office runs headless: there is never a window to show or hide.
        return m_ended ? WordResult::failure(QStringLiteral("LibreOffice 已退出")) : WordResult{};
    }

    WordResult open(const QByteArray& rawName, bool) override;

    WordResult quit() override
    {
        if (m_ended)
            return WordResult::failure(QStringLiteral("LibreOffice 已退出"));
        m_ended = true;
        m_helper.reset(); // ends the office and removes its profile
        if (m_sink)
            m_sink->Quit();
        return {};
    }

    /// One call to the helper; a helper lost to a crash is started again for the next one
    /// unless `mayRestart` is false.
    Helper::Reply call(const QByteArray& line, bool mayRestart = true)
    {
        QString why;
        if (!mayRestart && !(m_helper && m_helper->alive())) {
            Helper::Reply r;
            r.code = QStringLiteral("gone");
            r.text = QStringLiteral("LibreOffice 已退出");
            return r;
        }
        if (!ensureHelper(&why)) {
            Helper::Reply r;
            r.code = QStringLiteral("gone");
            r.text = why;
            return r;
        }
        Helper::Reply r = m_helper->call(line, m_shared->options.callLimitMs);
        if (!r.ok && !m_helper->alive())
            m_helper.reset();
        return r;
    }

    bool stopRequested() const { return m_shared->stopRequested(); }

private:
    bool ensureHelper(QString* why)
    {
        if (m_helper && m_helper->alive())
            return true;
        m_helper = std::make_unique<Helper>(m_shared);
        bool missing = false;
        QString error;
        if (!m_helper->start(m_office, &error, &missing)) {
            m_helper.reset();
            *why = QStringLiteral("LibreOffice 无法重新启动(%1)").arg(error);
            return false;
        }
        return true;
    }

    WordResult load(const QByteArray& realPath, const QString* password, Helper::Reply* r);

    std::shared_ptr<LibreOfficeWord::Shared> m_shared;
    QString m_office;
    std::unique_ptr<Helper> m_helper;
    platform::WordEvents* m_sink = nullptr;
    bool m_ended = false;
};

WordResult Application::load(const QByteArray& realPath, const QString* password, Helper::Reply* r)
{
    QByteArray line = "load\t" + urlPath(realPath);
    if (password)
        line += '\t' + field(*password);
    // A document that takes the office down gets one more chance with a fresh office.
    for (int attempt = 0; attempt < 2; ++attempt) {
        *r = call(line);
        if (r->ok || !isDeath(*r))
            break;
    }
    if (r->ok)
        return {};
    if (isDeath(*r))
        return WordResult::failure(QStringLiteral("LibreOffice 在处理此文档时意外退出") + kUntouched, false);
    if (r->code == QLatin1String("stopped"))
        return WordResult::failure(QStringLiteral("运行已停止") + kUntouched, false);
    if (password && (r->code == QLatin1String("wrongpassword") || r->code == QLatin1String("password")))
        return WordResult::failure(QStringLiteral("打开密码不正确"), false);
    if (r->code == QLatin1String("password"))
        return {}; // the caller asks for it
    return WordResult::failure(describeOfficeFailure(r->code, r->text), r->code != QLatin1String("locked"));
}

WordResult Application::open(const QByteArray& rawName, bool)
{
    const QString fileName = platform::displayPath(rawName);
    if (m_ended)
        return WordResult::failure(QStringLiteral("LibreOffice 已退出"), false);
    if (stopRequested())
        return WordResult::failure(QStringLiteral("运行已停止") + kUntouched, false);
    // The office writes the file a symbolic link points to, never the link itself.
    char resolved[PATH_MAX];
    if (!::realpath(rawName.constData(), resolved))
        return WordResult::failure(QStringLiteral("文件不存在或无法访问"), false);
    const QByteArray realPath(resolved);
    struct stat st {};
    if (::stat(resolved, &st) != 0 || !S_ISREG(st.st_mode))
        return WordResult::failure(QStringLiteral("不是文件"), false);
    if (st.st_size > LibreOfficeWord::kMaxDocumentBytes)
        return WordResult::failure(QStringLiteral("文件大于 512 MB，不是可处理的 Word 97-2003 文档") + kUntouched, false);
    if (!hasCompoundSignature(readHead(realPath, 8)))
        return WordResult::failure(QStringLiteral("不是 Word 97-2003 格式的文件") + kUntouched, false);
    QString why;
    const std::optional<WordFileState> state = inspectWordPath(realPath, &why);
    if (!state)
        return WordResult::failure(QStringLiteral("不是有效的 Word 97-2003 文档(%1)").arg(why) + kUntouched, false);

    switch (lockState(realPath, m_helper ? m_helper->profile() : QString())) {
    case Lock::None:
        break;
    case Lock::OursStale:
        ::unlink(lockPath(realPath).constData()); // left by an office of ours that died
        break;
    case Lock::Foreign:
        return WordResult::failure(QStringLiteral("文档正被其他程序打开") + kUntouched, false);
    }

    // As Word would: ask for the document's current password, then open with it. An encrypted
    // Word 97 file is known from its header, so it is asked for first and loaded once.
    Helper::Reply r;
    std::optional<QString> password;
    const auto ask = [&]() -> WordResult {
        password = m_shared->prompt.askPassword(fileName);
        if (!password)
            return WordResult::failure(QStringLiteral("文档需要打开密码，已取消"), false);
        return load(realPath, &*password, &r);
    };
    WordResult loaded = state->encrypted ? ask() : load(realPath, nullptr, &r);
    if (loaded.ok && !r.ok && r.code == QLatin1String("password"))
        loaded = ask();
    if (!loaded.ok)
        return loaded;

    Document document(*this, r.fields.value(0).toInt(), fileName, realPath, r.fields.value(1));
    if (m_sink)
        m_sink->DocumentOpen(document);
    if (!document.closed())
        document.close(); // the document object does not outlive the event
    return {};
}

QString Document::checkOfficeOutput(const QByteArray& path) const
{
    QString why;
    const std::optional<WordFileState> state = inspectWordPath(path, &why);
    if (!state)
        return QStringLiteral("保存后的文件不是有效的 Word 97-2003 文档(%1)").arg(why);
    if (m_password.isEmpty() && state->encrypted)
        return QStringLiteral("保存后的文档仍需要打开密码");
    if (!m_password.isEmpty() && (!state->encrypted || state->obfuscated || !rc4PasswordMatchesPath(path, m_password)))
        return QStringLiteral("保存后的文档未按所给密码加密");
    return {};
}

WordResult Document::save()
{
    if (m_closed)
        return WordResult::failure(QStringLiteral("文档已关闭"));
    if (m_tooLong)
        return WordResult::failure(tooLong() + kUntouched);
    if (m_filter != kWord97Filter)
        return WordResult::failure(QStringLiteral("不是 Word 97-2003 文档") + kUntouched);
    struct stat st {};
    if (::stat(m_realPath.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return WordResult::failure(QStringLiteral("文件无法访问") + kUntouched);
    // Write access is checked on the file itself, as the final write needs it.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return WordResult::failure(QStringLiteral("文档只读或已被锁定") + kUntouched);
    if (const int fd = ::open(m_realPath.constData(), O_WRONLY | O_CLOEXEC); fd >= 0)
        ::close(fd);
    else
        return WordResult::failure(QStringLiteral("文档只读或已被锁定(%1)").arg(QString::fromLocal8Bit(std::strerror(errno))) +
                                   kUntouched);

    // A private folder beside the document for the office's export and our rewrite of it:
    // same file system, and nobody else can read a copy that may be unencrypted.
    const int slash = m_realPath.lastIndexOf('/');
    const QByteArray folder = m_realPath.left(slash + 1);
    const QByteArray base = m_realPath.mid(slash + 1);
    QByteArray work = folder + ".korvane-XXXXXX";
    if (!::mkdtemp(work.data()))
        return WordResult::failure(QStringLiteral("无法在文档所在文件夹建立临时文件") + kUntouched);
    const auto removeWork = qScopeGuard([&] { removeFlatFolder(work); });
    const QByteArray exported = work + "/office.doc";
    const QByteArray rewritten = work + "/final.doc";

    QByteArray line = "store\t" + QByteArray::number(m_id) + '\t' + urlPath(exported);
    if (!m_password.isEmpty())
        line += '\t' + field(m_password);
    // The document lives in the office that loaded it: a new office could not store it.
    const Helper::Reply r = m_app.call(line, false);
    if (!r.ok) {
        if (isDeath(r))
            return WordResult::failure(QStringLiteral("LibreOffice 在处理此文档时意外退出") + kUntouched);
        if (r.code == QLatin1String("stopped"))
            return WordResult::failure(QStringLiteral("运行已停止") + kUntouched);
        return WordResult::failure(describeOfficeFailure(r.code, r.text) + kUntouched);
    }
    if (const QString bad = checkOfficeOutput(exported); !bad.isEmpty())
        return WordResult::failure(bad + kUntouched);

    // The modify password is ours to write: the office writes none into Word 97 files.
    QByteArray result = exported;
    const std::optional<WriteReservation> present = readWriteReservation(exported, m_password);
    if (!present || present->flag || !present->password.isEmpty() || !m_writePassword.isEmpty()) {
        QString why;
        if (!writeWriteReservation(exported, rewritten, m_password, m_writePassword, &why))
            return WordResult::failure(QStringLiteral("无法写入写密码(%1)").arg(why) + kUntouched);
        if (const QString differs = compareAfterReservation(exported, rewritten, m_password, m_writePassword);
            !differs.isEmpty())
            return WordResult::failure(QStringLiteral("写密码写入后校验失败(%1)").arg(differs) + kUntouched);
        if (const QString bad = checkOfficeOutput(rewritten); !bad.isEmpty())
            return WordResult::failure(bad + kUntouched);
        result = rewritten;
    }
    if (m_app.stopRequested())
        return WordResult::failure(QStringLiteral("运行已停止") + kUntouched);

    // The backup lies beside the document, so it survives a crash of either program.
    const QByteArray backup = folder + '.' + base + ".korvane-" +
                              QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".bak";
    if (!copyFile(m_realPath, backup, 0600)) {
        ::unlink(backup.constData());
        return WordResult::failure(QStringLiteral("无法建立备份") + kUntouched);
    }
    QString failure;
    if (!copyFile(result, m_realPath))
        failure = QStringLiteral("写入文档失败");
    else if (!sameFile(result, m_realPath))
        failure = QStringLiteral("写入后的文档与校验过的结果不符");
    if (failure.isEmpty()) {
        ::unlink(backup.constData());
        return {};
    }
    if (copyFile(backup, m_realPath) && sameFile(backup, m_realPath)) {
        ::unlink(backup.constData());
        return WordResult::failure(failure + QStringLiteral("，已恢复原文档"));
    }
    return WordResult::failure(failure + QStringLiteral("，原文档的备份保留在 ") + QFile::decodeName(backup));
}

WordResult Document::close()
{
    if (m_closed)
        return WordResult::failure(QStringLiteral("文档已关闭"));
    m_closed = true;
    const Helper::Reply r = m_app.call("close\t" + QByteArray::number(m_id), false);
    if (r.ok || r.code == QLatin1String("gone") || isDeath(r) || r.code == QLatin1String("stopped"))
        return {}; // a dead office holds no document any more
    return WordResult::failure(QStringLiteral("LibreOffice 无法关闭文档(%1)").arg(r.text));
}

} // namespace

QString describeOfficeFailure(const QString& code, const QString& text)
{
    QString reason;
    if (code == QLatin1String("locked"))
        reason = QStringLiteral("文档正被其他程序打开");
    else if (code == QLatin1String("load"))
        reason = QStringLiteral("LibreOffice 无法打开此文档");
    else if (code == QLatin1String("store"))
        reason = text.startsWith(QLatin1String("0x4c0c")) ? QStringLiteral("文档只读或已被锁定")
                                                          : QStringLiteral("LibreOffice 无法保存此文档");
    else if (code == QLatin1String("close"))
        reason = QStringLiteral("LibreOffice 无法关闭文档");
    else if (code == QLatin1String("crashed"))
        reason = QStringLiteral("LibreOffice 在处理此文档时意外退出");
    else if (code == QLatin1String("gone"))
        return text; // already ours
    else
        reason = QStringLiteral("与 LibreOffice 的通信出错");
    return text.isEmpty() ? reason : reason + QStringLiteral("(%1)").arg(text);
}

QStringList LibreOfficeWord::officeSearchPlaces()
{
    return {QStringLiteral("PATH 中的 soffice、libreoffice"), QStringLiteral("/usr/lib/libreoffice"),
            QStringLiteral("/usr/local/lib/libreoffice"), QStringLiteral("/opt/libreoffice*")};
}

QString LibreOfficeWord::findOffice()
{
    for (const QString& name : {QStringLiteral("soffice"), QStringLiteral("libreoffice")}) {
        const QString found = QStandardPaths::findExecutable(name);
        if (!found.isEmpty())
            return QFileInfo(found).canonicalFilePath();
    }
    QStringList candidates = {QStringLiteral("/usr/lib/libreoffice/program/soffice"),
                              QStringLiteral("/usr/local/lib/libreoffice/program/soffice")};
    // The newest of the vendor's own packages first.
    QStringList opt = QDir(QStringLiteral("/opt")).entryList({QStringLiteral("libreoffice*")}, QDir::Dirs, QDir::Name);
    std::reverse(opt.begin(), opt.end());
    for (const QString& dir : opt)
        candidates << QStringLiteral("/opt/%1/program/soffice").arg(dir);
    for (const QString& c : candidates) {
        if (QFileInfo(c).isExecutable())
            return c;
    }
    return {};
}

QString libreOfficeMissingText()
{
    return QStringLiteral("未找到 LibreOffice Writer，无法处理 Word 文档。请先安装 LibreOffice "
                          "(Debian 软件包 libreoffice-writer-nogui)后再试。(已查找: %1)")
        .arg(LibreOfficeWord::officeSearchPlaces().join(QStringLiteral("、")));
}

LibreOfficeWord::LibreOfficeWord(Options options, platform::DocumentPasswordPrompt& prompt)
    : m_shared(std::make_shared<Shared>(std::move(options), prompt))
{
}

LibreOfficeWord::~LibreOfficeWord() = default;

void LibreOfficeWord::setRunControl(platform::RunControl* control)
{
    m_shared->control.store(control);
}

QString LibreOfficeWord::defaultHelper(const QString& programFolder)
{
    return QDir(programFolder).filePath(QStringLiteral("korvane-unohelper"));
}

std::shared_ptr<platform::WordApplication> LibreOfficeWord::getObject(const QString& pathName, QString* error)
{
    if (error)
        *error = QStringLiteral("无法绑定到正在运行的 %1").arg(pathName);
    return nullptr;
}

std::shared_ptr<platform::WordApplication> LibreOfficeWord::createObject(const QString&, QString* error)
{
    QString office = m_shared->options.officeProgram;
    if (office.isEmpty())
        office = findOffice();
    if (office.isEmpty()) {
        if (error)
            *error = libreOfficeMissingText();
        return nullptr;
    }
    auto helper = std::make_unique<Helper>(m_shared);
    QString why;
    bool missing = false;
    if (!helper->start(office, &why, &missing)) {
        if (error)
            *error = missing ? libreOfficeMissingText() : QStringLiteral("LibreOffice 无法启动(%1)").arg(why);
        return nullptr;
    }
    return std::make_shared<Application>(m_shared, office, std::move(helper));
}

} // namespace korvane::wordcrypt
