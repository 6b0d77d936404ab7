#pragma once

#include "platform/runcontrol.h"

#include <QHash>
#include <QJsonObject>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <atomic>
#include <deque>
#include <functional>
#include <thread>

struct termios;

namespace korvane::cli {

/// Exit codes, as `--help` documents them.
enum ExitCode {
    kExitOk = 0,
    kExitSomeFailed = 1,
    kExitUsage = 2,
    kExitProgramMissing = 3,
    kExitOutputFailed = 4, ///< standard output could not be written
    kExitNoneFound = 1,    ///< lookup: nothing in range, as grep
    kExitLookupFailed = 2, ///< lookup: the database could not be read, as grep

    kExitCancelled = 130,
};

/// One option a command accepts.
struct OptionDef {
    QString name; ///< without the leading "--"
    bool takesValue = false;
};

/// A command line after parsing: options by name and the remaining operands in order. Each
/// argument is kept as the kernel gave it (a path must name the very bytes typed, which need not
/// be UTF-8) beside the text shown for it.
struct ParsedArgs {
    QHash<QString, QString> values;       ///< a flag maps to ""
    QHash<QString, QByteArray> rawValues; ///< the same, as given
    QStringList operands;
    QList<QByteArray> rawOperands;
    bool has(const QString& name) const { return values.contains(name); }
    QString value(const QString& name, const QString& fallback = {}) const { return values.value(name, fallback); }
    QByteArray raw(const QString& name) const { return rawValues.value(name); }
};

/// Thrown for a bad command line: the reason, shown on one line above the usage.
struct UsageError {
    QString reason;
};

/// GNU-style parsing: "--name value", "--name=value", "--" ends the options, "-" alone is an
/// operand. Options and operands may be mixed.
ParsedArgs parseArgs(const QList<QByteArray>& args, const QList<OptionDef>& defs);

enum class ItemStatus { Ok, Failed, Skipped };

/// Writes what a run does: one line (or one JSON object) per item on standard output, a
/// progress line on a terminal's standard error, and the summary on standard error. Ctrl-C
/// asks the run to stop; a second Ctrl-C ends the process at once.
class Reporter {
public:
    Reporter(bool json, bool progress);
    ~Reporter();
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    /// The whole run: one count per item of the command line.
    platform::RunControl& control() { return m_control; }
    /// A fresh control for the engine working on one item, stopped together with the run;
    /// the progress line shows its counts while it is the latest.
    platform::RunControl& itemControl();
    bool stopRequested() const { return m_control.stopRequested(); }

    /// One item's result. `result` is the text form's words; `reason` why it failed or was
    /// skipped; `figures` go into the JSON object as they are.
    void item(const QString& path, ItemStatus status, const QString& result, const QString& reason = {},
              const QJsonObject& figures = {});
    /// The same in the line form, for a path that is UTF-8 already: written as it is, without
    /// decoding and encoding it again (the command line reports every file of a batch).
    void itemUtf8(const QByteArray& path, ItemStatus status, const QString& result, const QString& reason = {});
    /// A line of plain output that is not an item (a listing, a lookup's names).
    void line(const QString& text);
    void jsonLine(const QJsonObject& object);
    /// A message on standard error, above the progress line.
    void note(const QString& text);
    bool json() const { return m_json; }
    /// The items are a plan, not results: the summary says so.
    void setPlan(bool plan) { m_plan = plan; }

    /// Writes the summary and gives the exit code: cancelled, some failed or all done;
    /// `notDone` counts items a stop left untouched, when the command knows them.
    int finish(qint64 notDone = -1);

    int okCount() const { return m_ok; }
    int failedCount() const { return m_failed; }
    int skippedCount() const { return m_skipped; }

private:
    /// Adds an item to the summary counts; the caller holds m_mutex.
    void countItem(ItemStatus status);
    void writeOut(const QByteArray& bytes);
    void clearProgress();
    void progressLoop();

    bool m_json;
    bool m_progress;
    platform::RunControl m_control;
    QMutex m_mutex; ///< one writer at a time: items and the progress line share a terminal
    bool m_progressShown = false;
    bool m_plan = false;
    std::atomic<bool> m_finished{false};
    std::thread m_progressThread;
    std::deque<platform::RunControl> m_items; ///< kept to the end: the progress thread may still read one
    std::atomic<platform::RunControl*> m_item{nullptr};
    int m_ok = 0;
    int m_failed = 0;
    int m_skipped = 0;
};

/// The errno of the first write to standard output that failed; 0 when all went out.
int outputErrno();

/// Call first in main(): from then on Ctrl-C reaches only the running Reporter's controls (the
/// first asks them to stop, the second exits with 130), never the programs the run starts.
void takeInterrupts();

/// While a prompt with echo off reads from terminal `fd`, Ctrl-C restores `saved` and ends the
/// process; null `saved` ends the prompt.
void setPromptTerminal(int fd, const termios* saved);

/// Korvane's folder: where the database and the helper programs are found.
QString korvaneFolder();
/// A helper program of Korvane's (korvane-chmextract, korvane-unohelper); "" when missing.
QString helperProgram(const QString& name);

/// Writes text to standard error followed by a line feed.
void printError(const QString& text);
void printOut(const QString& text);

/// Replaces this process with Korvane's helper `name`, given `arguments`, for a command that
/// needs what korvane-cli does not load: to the caller it is the same process (streams,
/// terminal, Ctrl-C, exit code). Returns only when the helper cannot be started: the reason on
/// standard error and kExitProgramMissing.
int execHelper(const QString& name, const QList<QByteArray>& arguments);
/// execHelper() with `args` again as the kernel gave them: each of `options` that was given,
/// then "--" and the operands.
int runInPlaceOf(const QString& name, const ParsedArgs& args, const QList<OptionDef>& options);

/// A run whose results could not all be written out did not do its job, whatever it did: the
/// reason on standard error and kExitOutputFailed; otherwise `code`.
int outputChecked(int code);
/// A bad command line: the reason, the usage line and where to read more; kExitUsage.
int usageError(const QString& reason, const QString& synopsis);

} // namespace korvane::cli
