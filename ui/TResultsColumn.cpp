#include "ui/TResultsColumn.h"

#include <QEvent>
#include <QHeaderView>

TResultsColumn::TResultsColumn(const QString& name, int logicalIndex, QHeaderView* header,
                               QObject* parent)
    : QObject(parent)
    , FIndex(logicalIndex)
    , FHeader(header)
{
    setObjectName(name);
    if (FHeader) {
        FSeenWidth = FHeader->sectionSize(FIndex);
        connect(FHeader, &QHeaderView::sectionResized, this, [this](int logical, int, int size) {
            if (logical == FIndex && HeaderShown())
                FSeenWidth = size;
        });
        FHeader->installEventFilter(this);
    }
}

bool TResultsColumn::HeaderShown() const
{
    return FHeader && FHeader->isVisible();
}

bool TResultsColumn::eventFilter(QObject* watched, QEvent* event)
{
    // What shows when the grid appears, or showed until it was hidden, is what the user saw.
    if (event->type() == QEvent::Show || event->type() == QEvent::Hide) {
        // A header being destroyed is no longer a header; it shows nothing any more.
        auto* header = qobject_cast<QHeaderView*>(watched);
        if (header && header == FHeader)
            FSeenWidth = header->sectionSize(FIndex);
    }
    return QObject::eventFilter(watched, event);
}

int TResultsColumn::Position() const
{
    return FHeader ? FHeader->visualIndex(FIndex) : FIndex;
}

void TResultsColumn::SetPosition(int position)
{
    if (!FHeader || position < 0 || position >= FHeader->count())
        return;
    FHeader->moveSection(FHeader->visualIndex(FIndex), position);
}

int TResultsColumn::Width() const
{
    if (!FHeader)
        return 0;
    return HeaderShown() ? FHeader->sectionSize(FIndex) : FSeenWidth;
}

void TResultsColumn::SetWidth(int width)
{
    if (FHeader && width > 0) {
        FHeader->resizeSection(FIndex, width);
        // A width set on purpose counts as seen, also before the grid first shows.
        FSeenWidth = FHeader->sectionSize(FIndex);
    }
}

bool TResultsColumn::Sorted() const
{
    return FHeader && FHeader->sortIndicatorSection() == FIndex;
}

void TResultsColumn::SetSorted(bool sorted)
{
    if (!FHeader)
        return;
    if (sorted)
        FHeader->setSortIndicator(FIndex, FHeader->sortIndicatorOrder());
    else if (Sorted())
        FHeader->setSortIndicator(-1, Qt::AscendingOrder);
}

void TResultsColumn::SetMax(int maximum)
{
    if (maximum == FMax)
        return;
    FMax = maximum;
    emit MaxChanged(maximum);
}
