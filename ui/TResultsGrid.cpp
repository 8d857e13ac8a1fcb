#include "ui/TResultsGrid.h"

#include "storage/DiskStorage.h"
#include "ui/ResultTexts.h"
#include "storage/ResultsTable.h"
#include "storage/ResultsTableModel.h"
#include "ui/TResultsCellDelegate.h"
#include "ui/TResultsColumn.h"
#include "ui/TResultsGridModel.h"

#include "engine/ApplicationExceptionHandler.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QHeaderView>
#include <QScopedValueRollback>
#include <QMetaObject>


TResultsGrid::TResultsGrid(QWidget* parent)
    : QTableView(parent)
    , FModel(new TResultsGridModel(this))
    , FDelegate(new TResultsCellDelegate(this))
    , FEmptyTable(new TResultsTable(this))
    , FEmptyModel(new TResultsTableModel(FEmptyTable, this))
{
    setObjectName(QStringLiteral("grdResults"));
    setToolTip(QStringLiteral("Test results"));
    setModel(FModel);
    setItemDelegate(FDelegate);
    setShowGrid(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSortingEnabled(false);
    setTabKeyNavigation(false);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);

    QFont small = font();
    small.setPointSize(8);
    setFont(small);

    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(QFontMetrics(small).height() + 6);

    QHeaderView* header = horizontalHeader();
    header->setFont(small);
    header->setSectionsMovable(true);
    header->setSectionsClickable(true);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(false);
    header->setHighlightSections(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setMinimumSectionSize(20);
    // A click marks the column as sorted; the view never sorts (sorting stays disabled).
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);

    static const char* const names[TResultsGridModel::ColumnCount] = {
        "coldbServer", "coldbStartTime", "coldbDuration", "coldbBytesRx", "coldbResult", "coldbSpeed"};
    for (int c = 0; c < TResultsGridModel::ColumnCount; ++c)
        FColumns.append(new TResultsColumn(QString::fromLatin1(names[c]), c, header, this));
    // The header needs its sections before widths can be set: use an empty source now.
    SetStore(nullptr);
    for (int c = 0; c < TResultsGridModel::ColumnCount; ++c)
        FColumns[c]->SetWidth(StartWidth(c, QFontMetrics(small)));
    FPreferredServer = StartWidth(TResultsGridModel::colServer, QFontMetrics(small));
    FPreferredSpeed = StartWidth(TResultsGridModel::colSpeed, QFontMetrics(small));

    connect(coldbSpeed(), &TResultsColumn::MaxChanged, viewport(), qOverload<>(&QWidget::update));
    // Widths the user drags (or the settings restore) are the ones stretching starts from.
    connect(header, &QHeaderView::sectionResized, this, [this](int column, int, int width) {
        if (FStretching)
            return;
        if (column == TResultsGridModel::colServer)
            FPreferredServer = width;
        else if (column == TResultsGridModel::colSpeed)
            FPreferredSpeed = width;
    });
}

TResultsColumn* TResultsGrid::Column(int column) const
{
    return column >= 0 && column < FColumns.size() ? FColumns[column] : nullptr;
}

int TResultsGrid::SpeedMaximum() const
{
    return coldbSpeed()->Max();
}

void TResultsGrid::SetSpeedMaximum(int maximum)
{
    coldbSpeed()->SetMax(maximum);
}

void TResultsGrid::SetStore(TdmDiskStorage* store)
{
    if (FTable)
        disconnect(FTable, nullptr, this, nullptr);
    FTable = store ? store->cdsKorvaneResults() : nullptr;

    // Keep the column layout the user made while the source changes.
    QHeaderView* header = horizontalHeader();
    const QByteArray layout = header->count() == TResultsGridModel::ColumnCount ? header->saveState()
                                                                              : QByteArray();
    if (store) {
        FModel->setSourceModel(store->dsKorvaneResults());
    } else {
        FModel->setSourceModel(FEmptyModel);
    }
    if (!layout.isEmpty())
        header->restoreState(layout);

    if (FTable) {
        connect(FTable, &TResultsTable::CurrentChanged, this, &TResultsGrid::ScheduleFollow);
        connect(FTable, &TResultsTable::AfterReset, this, &TResultsGrid::ScheduleFollow);
        // Each new result may raise the speed bars' scale, never lower it.
        connect(FTable, &TResultsTable::AfterPost, this, [this](int index) {
            SetSpeedMaximum(ResultTexts::RaisedSpeedMaximum(SpeedMaximum(), FTable->Row(index).Speed));
        });
        ScheduleFollow();
    }
}

void TResultsGrid::ScheduleFollow()
{
    if (FMovingTable || FFollowPending)
        return;
    // A chart reload walks the whole table; follow only where the cursor ends up.
    FFollowPending = true;
    QMetaObject::invokeMethod(this, &TResultsGrid::FollowTableCursor, Qt::QueuedConnection);
}

void TResultsGrid::FollowTableCursor()
{
    FFollowPending = false;
    if (!FTable || !FTable->Active() || FTable->Inserting())
        return;
    const int row = FTable->RecIndex();
    if (row < 0 || row >= FModel->rowCount())
        return;
    const int column = currentIndex().isValid() ? currentIndex().column() : 0;
    const QModelIndex target = FModel->index(row, column);
    if (currentIndex() != target) {
        FMovingTable = true;
        setCurrentIndex(target);
        FMovingTable = false;
    }
}

void TResultsGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous)
{
    QTableView::currentChanged(current, previous);
    if (FMovingTable || !FTable || !current.isValid())
        return;
    // The selected cell's row is the table's current row.
    dispatchGuarded([&] {
        if (FTable->Active() && !FTable->Inserting() && FTable->RecIndex() != current.row()) {
            FMovingTable = true;
            struct Reset { bool& flag; ~Reset() { flag = false; } } reset{FMovingTable};
            FTable->MoveTo(current.row());
        }
    });
}

int TResultsGrid::StartWidth(int column, const QFontMetrics& metrics)
{
    static const int designed[TResultsGridModel::ColumnCount] = {250, 80, 80, 80, 80, 168};
    if (column < 0 || column >= TResultsGridModel::ColumnCount)
        return 0;
    // The longest text each fixed column can show, in this locale and font.
    QStringList longest;
    switch (column) {
    case TResultsGridModel::colStartTime:
        // Two-digit days and months, a two-digit hour in both halves of the day.
        for (int month : {9, 10, 11, 12})
            for (int hour : {10, 22})
                longest << ResultTexts::StartTimeCell(QDateTime(QDate(2026, month, 28), QTime(hour, 58, 58)));
        break;
    case TResultsGridModel::colDuration:
        longest << ResultTexts::DurationCell(9999999);  // close to three hours
        break;
    case TResultsGridModel::colBytesRx:
        longest << ResultTexts::BytesRxCell(99999999999.0);  // ~100 GB
        break;
    case TResultsGridModel::colResult:
        longest << ResultTexts::ResultCell(9999999.99);  // ~10 GB/s
        break;
    default:
        return designed[column];
    }
    int widest = 0;
    for (const QString& text : std::as_const(longest))
        widest = std::max(widest, metrics.horizontalAdvance(text));
    // The cell keeps 3 pixels each side, and one to spare against rounding.
    return std::max(designed[column], widest + 2 * CellTextMargin + 1);
}

bool TResultsGrid::Stretches(int column)
{
    return column == TResultsGridModel::colServer || column == TResultsGridModel::colSpeed;
}

void TResultsGrid::StretchColumns()
{
    QHeaderView* header = horizontalHeader();
    if (header->count() != TResultsGridModel::ColumnCount)
        return;
    int fixed = 0;
    int stretching = 0;
    for (int c = 0; c < header->count(); ++c) {
        if (header->isSectionHidden(c))
            continue;
        (Stretches(c) ? stretching : fixed) += header->sectionSize(c);
    }
    const int left = viewport()->width() - fixed;
    if (stretching <= 0 || left <= 0)
        return;
    int server, speed;
    if (left < FPreferredServer + FPreferredSpeed) {
        // Too little room: the bar gives up width first, since it reads at any width and a
        // server's name does not.
        speed = std::max(MinimumBarWidth, left - FPreferredServer);
        server = left - speed;
    } else {
        server = ResultTexts::RoundHalfEven(double(left) * FPreferredServer / (FPreferredServer + FPreferredSpeed));
        speed = left - server;
    }
    const QScopedValueRollback<bool> ownResize(FStretching, true);
    header->resizeSection(TResultsGridModel::colServer, std::max(header->minimumSectionSize(), server));
    header->resizeSection(TResultsGridModel::colSpeed, std::max(header->minimumSectionSize(), speed));
}

void TResultsGrid::resizeEvent(QResizeEvent* event)
{
    QTableView::resizeEvent(event);
    StretchColumns();
}

void TResultsGrid::focusInEvent(QFocusEvent* event)
{
    QTableView::focusInEvent(event);
    viewport()->update();
}

void TResultsGrid::focusOutEvent(QFocusEvent* event)
{
    QTableView::focusOutEvent(event);
    viewport()->update();
}
