#pragma once

#include "batchlist/batchlist.h"
#include "platform/messageboxes.h"

#include <QString>
#include <QStringList>
#include <vector>

class QWidget;

namespace korvane::platform {
class RunControl;
}

namespace korvane::batchlist {

/// Whether a run writes an entry's log line before or after processing it.
enum class LogOrder { CompThenLog, LogThenComp };

/// Where a run's information lines go. The run appends from its worker; whoever shows the
/// lines writes them on its own thread.
class InfoSink {
public:
    virtual ~InfoSink() = default;
    virtual void append(const QString& line) = 0;
    /// Returns once every line appended so far is shown.
    virtual void flush() = 0;
};

/// A box the window shows after the run's end line: what the run could not do, the reasons in
/// its details. Empty text: no box.
struct EndBox {
    QString text;
    QString details;
};

/// What a run's hooks reach, all of it safe on the run's worker.
struct BatchRunContext {
    platform::MessageBoxes& messages; ///< shows each box on the user-interface thread and waits
    QWidget* owner;                   ///< the boxes' parent: handed on, never touched by the run
    InfoSink& info;
    platform::RunControl& control;
    QStringList afterRun = {}; ///< lines that follow the run's end line
    EndBox endBox = {};        ///< set by completeRun(): the box after the end line

    void say(const QString& text, platform::MessageIcon icon) { messages.show(owner, text, icon); }
};

/// The steps in which the batch list tools differ, called on the run's worker in this order.
/// An implementation holds only what it took from its window before the run (never a widget).
class BatchRunHooks {
public:
    virtual ~BatchRunHooks() = default;
    /// Before the empty-list test (the document encryptor obtains its server here); false ends the run.
    virtual bool beforeListCheck(BatchRunContext& run)
    {
        Q_UNUSED(run);
        return true;
    }
    /// After the empty-list test, with the entries (spaces trimmed); false ends the run, the list stays.
    virtual bool prepareRun(BatchRunContext& run, const std::vector<BatchEntry>& entries)
    {
        Q_UNUSED(run);
        Q_UNUSED(entries);
        return true;
    }
    /// Processes one entry (spaces trimmed). The returned lines follow the entry's log line:
    /// failures that the run reports before it goes on with the next entry.
    virtual QStringList comp(BatchRunContext& run, const BatchEntry& entry) = 0;
    /// After the last entry, or the last one done before a stop: `entries` are those processed.
    virtual void completeRun(BatchRunContext& run, const std::vector<BatchEntry>& entries)
    {
        Q_UNUSED(run);
        Q_UNUSED(entries);
    }
};

/// What a window hands to its run: taken on the user-interface thread before the start.
struct BatchRunInput {
    std::vector<BatchEntry> entries; ///< as listed
    QString logPrefix;               ///< "编译工程 "
    LogOrder logOrder = LogOrder::CompThenLog;
    QString emptyListMessage;
};

/// How a run ended, for the window to write on the user-interface thread.
struct BatchRunResult {
    enum class End {
        EndedEarly, ///< a check ended it before the first entry; the list stays
        Completed,  ///< every entry was processed
        Stopped,    ///< a stop came first: the entries from `done` on were not processed
    };
    End end = End::EndedEarly;
    size_t done = 0;      ///< entries processed
    QStringList afterRun; ///< lines after the end line
    EndBox endBox;        ///< the box after the end line
};

/// Runs the hooks over the entries (on the calling thread, normally a run's worker): the
/// checks, each entry with its log line in the configured order, then completeRun(). A stop is
/// seen before each entry; an entry that comp() gave up because of the stop (it returned
/// lines) counts as not processed.
[[nodiscard]] BatchRunResult runBatch(BatchRunHooks& hooks, const BatchRunInput& input, BatchRunContext& context);

} // namespace korvane::batchlist
