#include "ui/TResultsCellDelegate.h"

#include "ui/ResultTexts.h"
#include "ui/TResultsColumn.h"
#include "ui/TResultsGrid.h"
#include "ui/TResultsGridModel.h"

#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

#include <cmath>

TResultsCellDelegate::TResultsCellDelegate(TResultsGrid* grid)
    : QStyledItemDelegate(grid)
    , FGrid(grid)
{
}

QRect TResultsCellDelegate::BarFrame(const QRect& cell)
{
    return cell.adjusted(2, 2, -2, -2);
}

QRect TResultsCellDelegate::BarRect(const QRect& cell, double value, int maximum)
{
    const QRect area = BarFrame(cell).adjusted(2, 2, -2, -2);
    if (area.width() <= 0 || area.height() <= 0 || std::isnan(value))
        return {};
    double ratio;
    if (maximum > 0)
        ratio = std::fabs(value) / maximum * 100;
    else
        ratio = value != 0 ? 100 : 0;  // no scale yet: any value fills the bar
    const double wanted = area.width() * ratio / 100;
    const int width = wanted >= area.width() ? area.width() : ResultTexts::RoundHalfEven(wanted);
    return QRect(area.left(), area.top(), width, area.height());
}

bool TResultsCellDelegate::Striped(const QModelIndex& index) const
{
    // Stripes follow the rows as displayed, not the records: count from the top row shown.
    const QHeaderView* rows = FGrid->verticalHeader();
    const int top = rows->visualIndexAt(0);
    const int shown = rows->visualIndex(index.row()) - (top < 0 ? 0 : top);
    return shown >= 0 && shown % 2 == 0;
}

void TResultsCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const
{
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const bool selected = (opt.state & QStyle::State_Selected) && FGrid->hasFocus();
    opt.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);

    QColor background = opt.palette.color(QPalette::Base);
    if (selected)
        background = opt.palette.color(QPalette::Active, QPalette::Highlight);
    else if (Striped(index))
        background = StripeColor();
    painter->fillRect(opt.rect, background);

    const QColor textColor = selected ? opt.palette.color(QPalette::Active, QPalette::HighlightedText)
                                      : opt.palette.color(QPalette::Text);
    if (index.column() == TResultsGridModel::colSpeed) {
        PaintSpeedBar(painter, opt.rect, index.data(Qt::EditRole).toDouble());
        // The share of the plan, where the row had one, at the bar's right end.
        if (!opt.text.isEmpty()) {
            const QRect frame = BarFrame(opt.rect).adjusted(2, 2, -2, -2);
            const QString text = opt.fontMetrics.elidedText(opt.text, Qt::ElideRight, frame.width() - 4);
            // On the row's own background, so the figure reads over a long bar too.
            QRect textRect = frame;
            textRect.setLeft(frame.right() - opt.fontMetrics.horizontalAdvance(text) - 4);
            painter->save();
            painter->fillRect(textRect, background);
            painter->setFont(opt.font);
            painter->setPen(textColor);
            painter->drawText(textRect.adjusted(2, 0, -2, 0), Qt::AlignRight | Qt::AlignVCenter, text);
            painter->restore();
        }
        return;
    }

    const QRect textRect = opt.rect.adjusted(TResultsGrid::CellTextMargin, 0, -TResultsGrid::CellTextMargin, 0);
    const QString shown = opt.fontMetrics.elidedText(opt.text, Qt::ElideRight, textRect.width());
    painter->save();
    painter->setFont(opt.font);
    painter->setPen(textColor);
    painter->drawText(textRect, static_cast<int>(opt.displayAlignment), shown);
    painter->restore();
}

void TResultsCellDelegate::PaintSpeedBar(QPainter* painter, const QRect& cell, double value) const
{
    const QRect frame = BarFrame(cell);
    if (frame.width() < 2 || frame.height() < 2)
        return;
    painter->save();
    painter->setPen(BarFrameColor());
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(frame.adjusted(0, 0, -1, -1));
    const QRect bar = BarRect(cell, value, FGrid->SpeedMaximum());
    if (!bar.isEmpty())
        painter->fillRect(bar, value >= 0 ? FGrid->palette().color(QPalette::Active, QPalette::Highlight)
                                          : QColor(Qt::black));
    painter->restore();
}

bool TResultsCellDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                     const QStyleOptionViewItem& option, const QModelIndex& index)
{
    if (!event || event->type() != QEvent::ToolTip || !index.isValid())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const int column = index.column();
    // Any text cut short by its column shows whole in the tip; the speed column is a bar.
    if (column != TResultsGridModel::colSpeed) {
        const QString text = index.data(Qt::DisplayRole).toString();
        const int room = option.rect.width() - 2 * TResultsGrid::CellTextMargin;
        if (option.fontMetrics.horizontalAdvance(text) > room) {
            QToolTip::showText(event->globalPos(), text, view->viewport(), option.rect);
            return true;
        }
    }
    // Elsewhere the grid's own hint.
    QToolTip::showText(event->globalPos(), FGrid->toolTip(), view->viewport());
    return true;
}
