#include "batchlist/batchrun.h"

#include "platform/runcontrol.h"

namespace korvane::batchlist {

namespace {

/// Processes entries until the end or a stop; returns how many were finished.
size_t processEntries(BatchRunHooks& hooks, const BatchRunInput& input, const std::vector<BatchEntry>& entries,
                      BatchRunContext& context)
{
    size_t done = 0;
    for (const BatchEntry& entry : entries) {
        if (context.control.stopRequested())
            break;
        context.control.begin(entry.text);
        const QString line = input.logPrefix + entry.text;
        QStringList failures;
        if (input.logOrder == LogOrder::LogThenComp) {
            context.info.append(line);
            context.info.flush(); // the line is in the box while its entry is processed
            failures = hooks.comp(context, entry);
        } else {
            failures = hooks.comp(context, entry);
            context.info.append(line);
        }
        for (const QString& failure : failures)
            context.info.append(failure);
        // An entry given up because of the stop was left as it was: it counts as not
        // processed and stays listed.
        if (context.control.stopRequested() && !failures.isEmpty())
            break;
        ++done;
        context.control.advance();
    }
    return done;
}

} // namespace

BatchRunResult runBatch(BatchRunHooks& hooks, const BatchRunInput& input, BatchRunContext& context)
{
    BatchRunResult result;
    const auto ended = [&] {
        result.afterRun = std::move(context.afterRun);
        result.endBox = std::move(context.endBox);
        return result;
    };
    if (!hooks.beforeListCheck(context))
        return ended();
    if (input.entries.empty()) {
        context.say(input.emptyListMessage, platform::MessageIcon::Information);
        return ended();
    }
    std::vector<BatchEntry> entries;
    entries.reserve(input.entries.size());
    for (const BatchEntry& entry : input.entries)
        entries.push_back(trimmed(entry));
    if (!hooks.prepareRun(context, entries))
        return ended();

    context.control.setTotal(qint64(entries.size()));
    result.done = processEntries(hooks, input, entries, context);
    result.end = result.done == entries.size() ? BatchRunResult::End::Completed : BatchRunResult::End::Stopped;
    // A stopped run still ends what it started (the application quits, backups go).
    entries.resize(result.done);
    hooks.completeRun(context, entries);
    return ended();
}

} // namespace korvane::batchlist
