#pragma once

#include <QColor>
#include <QRect>
#include <QStyledItemDelegate>

class TResultsGrid;

// Draws the cells of the results grid: the stripes on every other displayed row, the
// selected cell only while the grid has the focus, elided texts (with the whole text as
// tooltip in the Server and StartTime columns) and the speed column as a bar.
class TResultsCellDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit TResultsCellDelegate(TResultsGrid* grid);

    static QColor StripeColor() { return QColor(205, 250, 255); }
    static QColor BarFrameColor() { return QColor(128, 128, 128); }

    // The grey frame of a speed bar inside its cell.
    static QRect BarFrame(const QRect& cell);
    // The filled part: starts at the left of the frame's inside, never past it.
    static QRect BarRect(const QRect& cell, double value, int maximum);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view,
                   const QStyleOptionViewItem& option, const QModelIndex& index) override;

private:
    bool Striped(const QModelIndex& index) const;
    void PaintSpeedBar(QPainter* painter, const QRect& cell, double value) const;

    TResultsGrid* FGrid;
};
