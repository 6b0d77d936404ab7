// Loaded into an installed korvane with LD_PRELOAD by tst_packaging_package: drives the recorder window as
// a user would, through object names only, and reports on standard output. The program itself
// carries no test hooks.
//   KORVANE_DRIVE_FOLDER  folder to record (typed into Text4, then "记录")
//   KORVANE_DRIVE_SIZE    size in bytes to look up, tolerance 0
//   KORVANE_DRIVE_MODE    "viewer": only report the drawing viewer's path box and the colour
//                         in the middle of its drawing; "tools": the file manager's and the
//                         help decompiler's "当前目录" buttons, a filter added, a decompile run
#include "support/uidriver.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QColor>
#include <QComboBox>
#include <QCoreApplication>
#include <QImage>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

namespace {

using korvane::testsupport::topLevel;

void say(const QString& line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

void click(QWidget* window, const char* button)
{
    QMetaObject::invokeMethod(window->findChild<QAbstractButton*>(QString::fromLatin1(button)), &QAbstractButton::click,
                              Qt::QueuedConnection);
}

void toolsTick(int& step)
{
    static int waited = 0;
    switch (step) {
    case 0:
        if (QWidget* main = topLevel("MDIForm1")) {
            main->findChild<QAction*>(QStringLiteral("menumove"))->trigger();
            ++step;
        }
        break;
    case 1:
        if (QWidget* move = topLevel("frmmove")) {
            move->findChild<QAbstractButton*>(QStringLiteral("Command2"))->click();
            say(QStringLiteral("move-current:") + move->findChild<QLineEdit*>(QStringLiteral("Text1"))->text());
            ++step;
            QMetaObject::invokeMethod(move->findChild<QObject*>(QStringLiteral("Label3")), "clicked",
                                      Qt::QueuedConnection);
        }
        break;
    case 2:
        if (auto* input = qobject_cast<QInputDialog*>(QApplication::activeModalWidget())) {
            input->setTextValue(QStringLiteral("dwg"));
            ++step;
            QMetaObject::invokeMethod(input, &QDialog::accept, Qt::QueuedConnection);
        }
        break;
    case 3: // a write failure would show a box now
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            say(QStringLiteral("message:") + box->text());
            QMetaObject::invokeMethod(box, &QDialog::accept, Qt::QueuedConnection);
        } else if (++waited > 4) {
            topLevel("frmmove")->close();
            topLevel("MDIForm1")->findChild<QAction*>(QStringLiteral("menudecompile"))->trigger();
            ++step;
        }
        break;
    case 4:
        if (QWidget* decompile = topLevel("Frmdecp")) {
            decompile->findChild<QAbstractButton*>(QStringLiteral("Command2"))->click();
            say(QStringLiteral("decompile-target:") +
                decompile->findChild<QLineEdit*>(QStringLiteral("Text1"))->text());
            ++step;
            click(decompile, "Command3");
        }
        break;
    case 5:
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            say(QStringLiteral("message:") + box->text());
            ++step;
            box->done(0);
            QCoreApplication::quit();
        }
        break;
    default: break;
    }
}

/// One step a tick; a step may open a modal loop, inside which the timer keeps ticking.
void tick()
{
    static int step = 0;
    static int ticks = 0;
    if (++ticks > 1200) { // 60 s
        say(QStringLiteral("timeout in step %1").arg(step));
        ::_exit(3);
    }
    if (qEnvironmentVariable("KORVANE_DRIVE_MODE") == QLatin1String("tools")) {
        toolsTick(step);
        return;
    }
    if (qEnvironmentVariable("KORVANE_DRIVE_MODE") == QLatin1String("viewer")) {
        // Once: a tick can come again from a nested event loop before quit() takes effect.
        static bool reported = false;
        // The preview is read on a worker while the window's controls are disabled; a tick inside
        // that wait would see the viewer before its picture.
        QWidget* viewer = topLevel("Frmseedwg");
        auto* path = viewer ? viewer->findChild<QLineEdit*>(QStringLiteral("Text1")) : nullptr;
        if (path && path->isEnabled() && !path->text().isEmpty() && !reported) {
            reported = true;
            say(QStringLiteral("viewer:") + path->text());
            auto* drawing = viewer->findChild<QWidget*>(QStringLiteral("DwgThumbnail1"));
            const QImage shown = drawing->grab().toImage();
            say(QStringLiteral("pixel:") + QColor(shown.pixel(shown.width() / 2, shown.height() / 2)).name());
            QCoreApplication::quit();
        }
        return;
    }
    switch (step) {
    case 0:
        if (QWidget* main = topLevel("MDIForm1")) {
            auto* rec = main->findChild<QAction*>(QStringLiteral("menuRec"));
            if (!rec) {
                say(QStringLiteral("no menuRec"));
                ::_exit(3);
            }
            ++step;
            QMetaObject::invokeMethod(rec, &QAction::trigger, Qt::QueuedConnection);
        }
        break;
    case 1:
        if (QWidget* rec = topLevel("frmrec")) {
            rec->findChild<QLineEdit*>(QStringLiteral("Text4"))->setText(qEnvironmentVariable("KORVANE_DRIVE_FOLDER"));
            ++step;
            QMetaObject::invokeMethod(rec->findChild<QAbstractButton*>(QStringLiteral("Command5")),
                                      &QAbstractButton::click, Qt::QueuedConnection);
        }
        break;
    case 2:
    case 4:
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            say(QStringLiteral("message:") + box->text());
            ++step;
            QMetaObject::invokeMethod(box, &QDialog::accept, Qt::QueuedConnection);
        } else if (step == 4 && QApplication::activeModalWidget()) {
            ++step; // the lookup found rows: no box
        }
        break;
    case 3:
        if (QWidget* rec = topLevel("frmrec")) {
            rec->findChild<QLineEdit*>(QStringLiteral("Text1"))->setText(qEnvironmentVariable("KORVANE_DRIVE_SIZE"));
            rec->findChild<QLineEdit*>(QStringLiteral("Text3"))->setText(QStringLiteral("0"));
            rec->findChild<QComboBox*>(QStringLiteral("Combo1"))->setCurrentIndex(2); // Byte
            QObject* label = rec->findChild<QObject*>(QStringLiteral("Label1"));
            ++step;
            QMetaObject::invokeMethod(label, "clicked", Qt::QueuedConnection);
        }
        break;
    case 5:
        if (QWidget* rec = topLevel("frmrec")) {
            say(QStringLiteral("found:") + rec->findChild<QPlainTextEdit*>(QStringLiteral("Text2"))
                                               ->toPlainText()
                                               .split(QStringLiteral("\n"), Qt::SkipEmptyParts)
                                               .join(QLatin1Char('|')));
            ++step;
            rec->close(); // the window's unload closes its connection
            QCoreApplication::quit();
        }
        break;
    default: break;
    }
}

void start()
{
    korvane::testsupport::startTicking(&tick, 50);
}

} // namespace

// Run when QApplication is constructed.
Q_COREAPP_STARTUP_FUNCTION(start)
