#include "TResultsColumn.h"

#include <QHeaderView>

TResultsColumn::TResultsColumn(const QString& name, int logicalIndex, QHeaderView* header,
                               QObject* parent)
    : QObject(parent)
    , FIndex(logicalIndex)
    , FHeader(header)
{
    setObjectName(name);
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
    return FHeader ? FHeader->sectionSize(FIndex) : 0;
}

void TResultsColumn::SetWidth(int width)
{
    if (FHeader && width > 0)
        FHeader->resizeSection(FIndex, width);
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
