#pragma once

#include <QAbstractScrollArea>
#include <QCoreApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QWidget>

namespace korvane::testsupport {

/// Drags files onto a widget and drops them there, as a file manager does: a "text/uri-list" of
/// percent-encoded raw paths. True when the widget accepted the drop.
inline bool dropFiles(QWidget* target, const QList<QByteArray>& paths)
{
    if (auto* area = qobject_cast<QAbstractScrollArea*>(target))
        target = area->viewport();
    QMimeData data;
    QByteArray list;
    for (const QByteArray& path : paths)
        list += "file://" + path.toPercentEncoding("/") + "\r\n";
    data.setData(QStringLiteral("text/uri-list"), list);
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

} // namespace korvane::testsupport
