#include "platform/widgets/cutofftips.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QStyledItemDelegate>
#include <QToolTip>

namespace korvane::platform {

namespace {

class CutOffTipDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override
    {
        if (event->type() != QEvent::ToolTip || !view || !index.isValid() ||
            !index.data(Qt::ToolTipRole).toString().isEmpty() || !entryCutOff(*view, index))
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        QToolTip::showText(event->globalPos(), index.data(Qt::DisplayRole).toString(), view->viewport(), option.rect);
        return true;
    }
};

} // namespace

void tipCutOffEntries(QAbstractItemView& view)
{
    view.setItemDelegate(new CutOffTipDelegate(&view));
}

bool entryCutOff(const QAbstractItemView& view, const QModelIndex& index)
{
    QStyleOptionViewItem option;
    option.initFrom(view.viewport());
    option.rect = view.visualRect(index);
    option.features |= QStyleOptionViewItem::HasDisplay;
    option.text = index.data(Qt::DisplayRole).toString();
    if (option.text.isEmpty() || option.rect.isEmpty())
        return false;
    if (const QVariant font = index.data(Qt::FontRole); font.isValid())
        option.fontMetrics = QFontMetrics(qvariant_cast<QFont>(font));
    if (const QVariant icon = index.data(Qt::DecorationRole); icon.isValid()) {
        option.features |= QStyleOptionViewItem::HasDecoration;
        option.decorationSize = view.iconSize().isValid() ? view.iconSize() : QSize(16, 16);
    }
    // The room the style gives the text: the item's text rectangle less the text margins, and
    // of that only what the viewport shows (a list scrolls long entries out of sight).
    const QStyle* style = view.style();
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &view) + 1;
    const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &option, &view);
    const QRect shown = text.adjusted(margin, 0, -margin, 0).intersected(view.viewport()->rect());
    return shown.left() > text.left() + margin || option.fontMetrics.horizontalAdvance(option.text) > shown.width();
}

} // namespace korvane::platform
