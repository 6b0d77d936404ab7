#pragma once

// The main of every test: Qt Test's own, except that any Qt warning or critical message, from
// any thread, ends the test with a failure. A cross-thread misuse ("Cannot create children for
// a parent that is in a different thread", a timer started from another thread) only warns, so
// it would otherwise pass.

#include <QByteArray>
#include <QCoreApplication>
#include <QTest>
#ifdef QT_WIDGETS_LIB
#include <QApplication>
#endif
#ifdef QT_GUI_LIB
#include <QGuiApplication>
#endif

#include <cstdlib>
#include <type_traits>

namespace korvane::testsupport {

inline QtMessageHandler& qtestHandler()
{
    static QtMessageHandler handler = nullptr;
    return handler;
}

/// Messages of the offscreen platform that say nothing about the program.
inline bool platformNoise(const QString& message)
{
    return message.startsWith(QLatin1String("This plugin does not support"));
}

inline void failOnQtWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if ((type == QtWarningMsg || type == QtCriticalMsg) && !platformNoise(message)) {
        // Qt Test reports a fatal message as the running test's failure and closes its log.
        qtestHandler()(QtFatalMsg, context, QStringLiteral("Qt warning: ") + message);
        std::abort();
    }
    qtestHandler()(type, context, message);
}

template <typename App, typename Test> int runTests(int argc, char** argv)
{
    App app(argc, argv);
    if constexpr (!std::is_same_v<App, QCoreApplication>)
        app.setAttribute(Qt::AA_Use96Dpi, true);
    Test test;
    QTest::qInit(&test, argc, argv);
    qtestHandler() = qInstallMessageHandler(failOnQtWarnings);
    const int failed = QTest::qRun();
    qInstallMessageHandler(qtestHandler());
    QTest::qCleanup();
    return failed;
}

} // namespace korvane::testsupport

#define KORVANE_TEST_MAIN(Test)                                                                                        \
    int main(int argc, char** argv)                                                                                    \
    {                                                                                                                  \
        return korvane::testsupport::runTests<QApplication, Test>(argc, argv);                                         \
    }
#define KORVANE_TEST_GUI_MAIN(Test)                                                                                    \
    int main(int argc, char** argv)                                                                                    \
    {                                                                                                                  \
        return korvane::testsupport::runTests<QGuiApplication, Test>(argc, argv);                                      \
    }
#define KORVANE_TEST_GUILESS_MAIN(Test)                                                                                \
    int main(int argc, char** argv)                                                                                    \
    {                                                                                                                  \
        return korvane::testsupport::runTests<QCoreApplication, Test>(argc, argv);                                     \
    }
