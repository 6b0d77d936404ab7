#pragma once

// The Windows fixtures built with mingw and the Wine prefix prepared once per test run
// (tests/winefixtures). Tests that use them skip when Wine or mingw is not installed.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QtTest>

namespace korvane::testsupport {

/// The fixtures' folder, or "" when they could not be made.
inline QString wineFixtures()
{
    const QString folder = qEnvironmentVariable("KORVANE_WINE_FIXTURES");
    return !folder.isEmpty() && QFile::exists(folder + "/ready") ? folder : QString();
}

#define KORVANE_REQUIRE_WINE()                                                                                         \
    do {                                                                                                               \
        if (korvane::testsupport::wineFixtures().isEmpty())                                                            \
            QSKIP("Wine or mingw-w64 is not installed, or Wine cannot start (see scripts/install-deps.sh --tests)");   \
    } while (false)

/// `wine reg query key` in one registry view (32 or 64): its output, or "" when the key is missing.
inline QString wineRegQuery(const QString& key, int view)
{
    QProcess reg;
    reg.start("wine", {"reg", "query", key, QStringLiteral("/reg:%1").arg(view)});
    if (!reg.waitForFinished(30000) || reg.exitCode() != 0)
        return {};
    return QString::fromLocal8Bit(reg.readAllStandardOutput());
}

} // namespace korvane::testsupport
