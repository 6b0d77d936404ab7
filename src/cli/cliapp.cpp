#include "cli/cliapp.h"

#include "cli/commands.h"
#include "platform/datafolder.h"
#include "platform/nativepath.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace korvane::cli {

ParsedArgs parseArgs(const QList<QByteArray>& args, const QList<OptionDef>& defs)
{
    ParsedArgs parsed;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QByteArray& raw = args[i];
        const QString arg = platform::displayPath(raw);
        if (optionsEnded || !raw.startsWith("--")) {
            if (!optionsEnded && raw.startsWith('-') && raw.size() > 1)
                throw UsageError{QStringLiteral("未知选项 %1").arg(arg)};
            parsed.operands << arg;
            parsed.rawOperands << raw;
            continue;
        }
        if (raw == "--") {
            optionsEnded = true;
            continue;
        }
        QByteArray name = raw.mid(2);
        std::optional<QByteArray> inlineValue;
        if (const qsizetype eq = name.indexOf('='); eq >= 0) {
            inlineValue = name.mid(eq + 1);
            name.truncate(eq);
        }
        const QString nameText = platform::displayPath(name);
        const auto def = std::find_if(defs.begin(), defs.end(), [&](const OptionDef& s) { return s.name == nameText; });
        if (def == defs.end())
            throw UsageError{QStringLiteral("未知选项 --%1").arg(nameText)};
        if (!def->takesValue) {
            if (inlineValue)
                throw UsageError{QStringLiteral("选项 --%1 不带值").arg(nameText)};
            parsed.values.insert(nameText, QString());
            parsed.rawValues.insert(nameText, QByteArray());
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size())
                throw UsageError{QStringLiteral("选项 --%1 需要一个值").arg(nameText)};
            inlineValue = args[++i];
        }
        parsed.values.insert(nameText, platform::displayPath(*inlineValue));
        parsed.rawValues.insert(nameText, *inlineValue);
    }
    return parsed;
}

namespace {

std::atomic<platform::RunControl*> g_control{nullptr};
std::atomic<platform::RunControl*> g_item{nullptr};
std::atomic<int> g_promptFd{-1};
termios g_promptSaved{};

/// Takes Ctrl-C from the terminal on a thread of its own: the first asks the run to stop, the
/// second ends the process at once.
void waitForInterrupts(sigset_t set)
{
    for (int interrupts = 0;; ++interrupts) {
        int signal = 0;
        if (::sigwait(&set, &signal) != 0)
            return;
        if (const int fd = g_promptFd.load(); fd >= 0) {
            // Nothing to stop while a password is typed: give the terminal back its echo.
            ::tcsetattr(fd, TCSAFLUSH, &g_promptSaved);
            (void)!::write(fd, "\n", 1);
            ::_exit(kExitCancelled);
        }
        if (interrupts >= 1 || !g_control.load())
            ::_exit(kExitCancelled);
        if (platform::RunControl* c = g_control.load())
            c->requestStop();
        if (platform::RunControl* c = g_item.load())
            c->requestStop();
    }
}

std::atomic<int> g_outputErrno{0};

void writeFd(int fd, const QByteArray& bytes)
{
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (fd == STDOUT_FILENO && g_outputErrno.exchange(errno) == 0) {
                // Nobody reads the results any more (a full disk, a reader that went away):
                // the run stops as after Ctrl-C, and the exit code says so.
                if (platform::RunControl* c = g_control.load())
                    c->requestStop();
                if (platform::RunControl* c = g_item.load())
                    c->requestStop();
            }
            return;
        }
        p += n;
        left -= n;
    }
}

QString statusWord(ItemStatus status)
{
    switch (status) {
    case ItemStatus::Ok: return QStringLiteral("ok");
    case ItemStatus::Failed: return QStringLiteral("failed");
    case ItemStatus::Skipped: return QStringLiteral("skipped");
    }
    return {};
}

/// The middle of a long name gives way, so that the line fits a terminal.
QString elideMiddle(const QString& text, int width)
{
    if (text.size() <= width || width < 5)
        return text;
    const int head = (width - 1) / 2;
    return text.left(head) + QStringLiteral("…") + text.right(width - 1 - head);
}

void installInterruptHandler(platform::RunControl& control)
{
    g_control = &control;
    g_item = nullptr;
}

} // namespace

int outputErrno()
{
    return g_outputErrno.load();
}

void takeInterrupts()
{
    // A reader that went away gives EPIPE on the next write instead of killing us in the middle
    // of an item. A handler rather than SIG_IGN: it is reset for the programs we start.
    struct sigaction pipe {};
    pipe.sa_handler = [](int) {};
    sigemptyset(&pipe.sa_mask);
    ::sigaction(SIGPIPE, &pipe, nullptr);

    // Blocked here, before any other thread or program starts, SIGINT stays blocked in every
    // thread and in the programs we start (a mask survives exec): the terminal's Ctrl-C goes to
    // the whole foreground group, and the office or a helper must not die in the middle of a
    // document. Only our own thread takes it, and the run then stops them cleanly.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(waitForInterrupts, set).detach();
}

void setPromptTerminal(int fd, const termios* saved)
{
    if (saved)
        g_promptSaved = *saved;
    g_promptFd = saved ? fd : -1;
}

Reporter::Reporter(bool json, bool progress) : m_json(json), m_progress(progress)
{
    installInterruptHandler(m_control);
    if (m_progress)
        m_progressThread = std::thread([this] { progressLoop(); });
}

Reporter::~Reporter()
{
    m_finished = true;
    if (m_progressThread.joinable())
        m_progressThread.join();
    g_control = nullptr;
    g_item = nullptr;
}

platform::RunControl& Reporter::itemControl()
{
    platform::RunControl& item = m_items.emplace_back();
    g_item = &item;
    m_item = &item;
    // A Ctrl-C that came before the control was published still reaches it.
    if (m_control.stopRequested())
        item.requestStop();
    return item;
}

void Reporter::writeOut(const QByteArray& bytes)
{
    writeFd(STDOUT_FILENO, bytes);
}

void Reporter::clearProgress()
{
    if (m_progressShown) {
        writeFd(STDERR_FILENO, "\r\033[K");
        m_progressShown = false;
    }
}

void Reporter::progressLoop()
{
    QElapsedTimer clock;
    clock.start();
    while (!m_finished) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (m_finished || clock.elapsed() < 300 || g_promptFd.load() >= 0) // short runs show no bar at all
            continue;
        const platform::ProgressSnapshot run = m_control.snapshot();
        const platform::RunControl* item = m_item.load();
        const platform::ProgressSnapshot s = item ? item->snapshot() : run;
        if (s.done == 0 && s.total < 0 && s.current.isEmpty())
            continue; // nothing has begun yet
        const double seconds = double(clock.elapsed()) / 1000.0;
        QString text;
        if (item && run.total > 1)
            text = QStringLiteral("[%1/%2] ").arg(run.done + 1).arg(run.total);
        if (s.total >= 0 && s.totalFinal)
            text += QStringLiteral("已处理 %1 / %2 个").arg(s.done).arg(s.total);
        else if (s.total >= 0)
            text += QStringLiteral("已处理 %1 个, 已找到 %2 个").arg(s.done).arg(s.total);
        else
            text += QStringLiteral("已处理 %1 个").arg(s.done);
        if (!item)
            text += QStringLiteral("  %1 个/秒").arg(double(s.done) / seconds, 0, 'f', 0);
        if (run.stopRequested)
            text += QStringLiteral("  正在停止…");
        else if (!s.current.isEmpty())
            text += QStringLiteral("  ") + elideMiddle(s.current, 50);
        QMutexLocker lock(&m_mutex);
        if (m_finished)
            break;
        writeFd(STDERR_FILENO, "\r\033[K" + text.toUtf8());
        m_progressShown = true;
    }
}

void Reporter::countItem(ItemStatus status)
{
    switch (status) {
    case ItemStatus::Ok: ++m_ok; break;
    case ItemStatus::Failed: ++m_failed; break;
    case ItemStatus::Skipped: ++m_skipped; break;
    }
}

void Reporter::item(const QString& path, ItemStatus status, const QString& result, const QString& reason,
                    const QJsonObject& figures)
{
    QMutexLocker lock(&m_mutex);
    countItem(status);
    clearProgress();
    if (m_json) {
        QJsonObject o = figures;
        o.insert(QStringLiteral("path"), path);
        o.insert(QStringLiteral("status"), statusWord(status));
        if (!reason.isEmpty())
            o.insert(QStringLiteral("reason"), reason);
        writeOut(QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n');
        return;
    }
    QString text = path + QLatin1Char('\t') + result;
    if (!reason.isEmpty())
        text += QStringLiteral(": ") + reason;
    writeOut(text.toUtf8() + '\n');
}

void Reporter::itemUtf8(const QByteArray& path, ItemStatus status, const QString& result, const QString& reason)
{
    if (m_json) {
        item(QString::fromUtf8(path), status, result, reason);
        return;
    }
    QByteArray text;
    text.reserve(path.size() + 3 * (result.size() + reason.size()) + 4);
    text += path;
    text += '\t';
    text += result.toUtf8();
    if (!reason.isEmpty()) {
        text += ": ";
        text += reason.toUtf8();
    }
    text += '\n';
    QMutexLocker lock(&m_mutex);
    countItem(status);
    clearProgress();
    writeOut(text);
}

void Reporter::line(const QString& text)
{
    QMutexLocker lock(&m_mutex);
    clearProgress();
    writeOut(text.toUtf8() + '\n');
}

void Reporter::jsonLine(const QJsonObject& object)
{
    QMutexLocker lock(&m_mutex);
    clearProgress();
    writeOut(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

void Reporter::note(const QString& text)
{
    QMutexLocker lock(&m_mutex);
    clearProgress();
    writeFd(STDERR_FILENO, text.toUtf8() + '\n');
}

int Reporter::finish(qint64 notDone)
{
    m_finished = true;
    if (m_progressThread.joinable())
        m_progressThread.join();
    QMutexLocker lock(&m_mutex);
    clearProgress();
    const int handled = m_ok + m_failed + m_skipped;
    QString summary;
    if (m_control.stopRequested()) {
        summary = notDone >= 0 ? QStringLiteral("操作已取消: 已处理 %1 个, 未处理 %2 个").arg(handled).arg(notDone)
                               : QStringLiteral("操作已取消: 已处理 %1 个").arg(handled);
    } else if (m_plan) {
        summary = QStringLiteral("计划(未做任何改动): %1 个将执行, %2 个将跳过").arg(m_ok).arg(m_skipped);
    } else {
        summary = QStringLiteral("完成: %1 个成功, %2 个失败, %3 个跳过").arg(m_ok).arg(m_failed).arg(m_skipped);
    }
    writeFd(STDERR_FILENO, summary.toUtf8() + '\n');
    if (m_control.stopRequested())
        return kExitCancelled;
    return m_failed > 0 ? kExitSomeFailed : kExitOk;
}

platform::NativePath absoluteNative(const QByteArray& operand)
{
    if (operand.isEmpty() || operand.startsWith('/'))
        return operand;
    char* cwd = ::getcwd(nullptr, 0);
    if (!cwd)
        return operand; // the kernel still resolves it against the working folder
    QByteArray path(cwd);
    ::free(cwd);
    if (!path.endsWith('/'))
        path += '/';
    return path + operand;
}

QString absolutePath(const QByteArray& operand)
{
    return platform::displayPath(absoluteNative(operand));
}

QString korvaneFolder()
{
    return platform::korvaneFolder();
}

QString helperProgram(const QString& name)
{
    const QFileInfo helper(QDir(platform::helperFolder()).filePath(name));
    return helper.isFile() && helper.isExecutable() ? helper.absoluteFilePath() : QString();
}

void printError(const QString& text)
{
    writeFd(STDERR_FILENO, text.toUtf8() + '\n');
}

void printOut(const QString& text)
{
    writeFd(STDOUT_FILENO, text.toUtf8() + '\n');
}

int execHelper(const QString& name, const QList<QByteArray>& arguments)
{
    const QString helper = helperProgram(name);
    if (helper.isEmpty()) {
        printError(QStringLiteral("korvane-cli: 找不到程序 %1,请重新安装Korvane。").arg(name));
        return kExitProgramMissing;
    }
    QList<QByteArray> argv{QFile::encodeName(helper)};
    argv += arguments;
    std::vector<char*> pointers;
    for (QByteArray& arg : argv)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    ::execv(pointers.front(), pointers.data());
    printError(QStringLiteral("korvane-cli: 无法启动 %1 (%2)").arg(helper, QString::fromLocal8Bit(::strerror(errno))));
    return kExitProgramMissing;
}

int runInPlaceOf(const QString& name, const ParsedArgs& args, const QList<OptionDef>& options)
{
    QList<QByteArray> again;
    for (const OptionDef& option : options) {
        if (!args.has(option.name))
            continue;
        again << "--" + option.name.toUtf8();
        if (option.takesValue)
            again << args.raw(option.name);
    }
    again << "--";
    again += args.rawOperands;
    return execHelper(name, again);
}

int outputChecked(int code)
{
    if (const int err = outputErrno(); err != 0) {
        printError(QStringLiteral("korvane-cli: 无法写出结果 (%1)").arg(QString::fromLocal8Bit(::strerror(err))));
        return kExitOutputFailed;
    }
    return code;
}

int usageError(const QString& reason, const QString& synopsis)
{
    printError(QStringLiteral("korvane-cli: ") + reason);
    printError(QStringLiteral("用法: korvane-cli ") + synopsis);
    printError(QStringLiteral("详见 korvane-cli --help"));
    return kExitUsage;
}

} // namespace korvane::cli
