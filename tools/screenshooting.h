#pragma once
// What the picture-taking tools share: where the pictures go, taking one of the whole screen,
// and letting the window manager and Qt settle in between.

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QScreen>
#include <QTextStream>
#include <QTimer>

namespace korvane::shots {

inline int g_failures = 0; ///< pictures that could not be written; the tool's exit code says so
inline QString g_out;      ///< the folder the pictures go into

inline void waitFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

/// Saves the whole screen as `name` in g_out, after `settleMs` of the event loop (or at least
/// the pending events), and prints the path.
inline void saveScreen(const QString& name, int settleMs = 0)
{
    if (settleMs > 0)
        waitFor(settleMs);
    else
        QApplication::processEvents();
    const QString path = QDir(g_out).filePath(name);
    if (QGuiApplication::primaryScreen()->grabWindow(0).save(path)) {
        QTextStream(stdout) << path << '\n';
    } else {
        QTextStream(stderr) << "cannot write " << path << '\n';
        ++g_failures;
    }
}

} // namespace korvane::shots
