// Loaded into korvane with LD_PRELOAD by tst_shell_quit: starts a copy in the file manager as a
// user would, through object names only, and ends the program while the copy is in hand.
//   KORVANE_QUIT_SOURCE, KORVANE_QUIT_TARGET  the copy's folders (files "*.dat")
//   KORVANE_QUIT_HOW  "exit": 退出 from the menu; "close": the main window's close box;
//                     "signal": only report, the test sends the signal
// Prints "copying" once the run is under way.
#include "support/uidriver.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

namespace {

using korvane::testsupport::topLevel;

void tick()
{
    static int step = 0;
    static int ticks = 0;
    if (++ticks > 1200) { // 60 s
        std::printf("timeout in step %d\n", step);
        std::fflush(stdout);
        ::_exit(3);
    }
    switch (step) {
    case 0:
        if (QWidget* main = topLevel("MDIForm1")) {
            main->findChild<QAction*>(QStringLiteral("menumove"))->trigger();
            ++step;
        }
        break;
    case 1:
        if (QWidget* move = topLevel("frmmove")) {
            move->findChild<QLineEdit*>(QStringLiteral("Text1"))->setText(qEnvironmentVariable("KORVANE_QUIT_SOURCE"));
            move->findChild<QLineEdit*>(QStringLiteral("Text2"))->setText(qEnvironmentVariable("KORVANE_QUIT_TARGET"));
            for (auto* option : move->findChildren<QRadioButton*>(QStringLiteral("Option1")))
                if (option->property("Index").toInt() == 1)
                    option->click();
            move->findChild<QComboBox*>(QStringLiteral("Combo1"))->setEditText(QStringLiteral("*.dat"));
            ++step;
            QMetaObject::invokeMethod(move->findChild<QAbstractButton*>(QStringLiteral("Command3")),
                                      &QAbstractButton::click, Qt::QueuedConnection);
        }
        break;
    case 2:
        // The run has begun once its window's controls are disabled.
        if (QWidget* move = topLevel("frmmove");
            move && !move->findChild<QAbstractButton*>(QStringLiteral("Command3"))->isEnabled()) {
            ++step;
            std::printf("copying\n");
            std::fflush(stdout);
            const QString how = qEnvironmentVariable("KORVANE_QUIT_HOW");
            QWidget* main = topLevel("MDIForm1");
            if (how == QLatin1String("exit"))
                main->findChild<QAction*>(QStringLiteral("menuexit"))->trigger();
            else if (how == QLatin1String("close"))
                main->close();
        }
        break;
    default: break;
    }
}

void start()
{
    korvane::testsupport::startTicking(&tick, 20);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(start)
