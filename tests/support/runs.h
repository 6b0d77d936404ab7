#pragma once

#include "platform/widgets/backgroundrun.h"

#include <QTest>

namespace korvane::testsupport {

/// A run's handler returns as soon as its job has started: waits until every run in the program
/// has ended and its window has taken the outcome (message box, lines, list).
[[nodiscard]] inline bool waitForRuns(int timeoutMs = 60000)
{
    return QTest::qWaitFor([] { return platform::BackgroundRun::runsInFlight().isEmpty(); }, timeoutMs);
}

} // namespace korvane::testsupport
