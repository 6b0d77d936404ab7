#include "platform/widgets/dropfilter.h"

#include "platform/droppedpaths.h"
#include "platform/nativepath.h"

#include <QAbstractScrollArea>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>

namespace korvane::platform {

namespace {

class DropFilter : public QObject {
public:
    DropFilter(QObject* parent, std::function<bool(const DroppedPaths&)> accepts,
               std::function<void(const DroppedPaths&)> take)
        : QObject(parent), m_accepts(std::move(accepts)), m_take(std::move(take))
    {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
            return QObject::eventFilter(watched, event);
        auto* drop = static_cast<QDropEvent*>(event); // DragEnter and DragMove derive from it
        const DroppedPaths paths = drop->mimeData() ? droppedPaths(*drop->mimeData()) : DroppedPaths();
        if (paths.isEmpty())
            return QObject::eventFilter(watched, event); // not files: the widget's own handling
        const bool accepted = m_accepts(paths);
        if (accepted) {
            drop->setDropAction(Qt::CopyAction); // the files stay where they are
            drop->accept();
        } else {
            drop->ignore();
        }
        if (type == QEvent::Drop && accepted)
            m_take(paths);
        return true;
    }

private:
    std::function<bool(const DroppedPaths&)> m_accepts;
    std::function<void(const DroppedPaths&)> m_take;
};

} // namespace

void takeDrops(QWidget* target, std::function<bool(const DroppedPaths&)> accepts,
               std::function<void(const DroppedPaths&)> take)
{
    // A scroll area's events arrive at its viewport.
    QWidget* receiver = target;
    if (auto* area = qobject_cast<QAbstractScrollArea*>(target))
        receiver = area->viewport();
    target->setAcceptDrops(true);
    receiver->setAcceptDrops(true);
    receiver->installEventFilter(new DropFilter(target, std::move(accepts), std::move(take)));
}

void takePathDrops(QLineEdit* box)
{
    takeDrops(
        box, [](const DroppedPaths& paths) { return paths.size() == 1; },
        [box](const DroppedPaths& paths) { box->setText(displayPath(paths.first())); });
}

} // namespace korvane::platform
