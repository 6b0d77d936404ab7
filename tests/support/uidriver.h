#pragma once

// Shared by the libraries preloaded into the real program to drive it as a user would, through
// object names only: the program itself carries no test hooks.

#include <QApplication>
#include <QTimer>
#include <QWidget>

namespace korvane::testsupport {

/// The shown top-level window of that object name, or null.
inline QWidget* topLevel(const char* name)
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(name) && w->isVisible())
            return w;
    return nullptr;
}

/// Calls `tick` every `ms` from the program's event loop, nested loops included.
inline void startTicking(void (*tick)(), int ms)
{
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, tick);
    timer->start(ms);
}

} // namespace korvane::testsupport
