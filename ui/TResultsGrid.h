#pragma once

#include <QFontMetrics>
#include <QPointer>
#include <QTableView>

class TdmDiskStorage;
class TResultsCellDelegate;
class TResultsColumn;
class TResultsGridModel;
class TResultsTable;
class TResultsTableModel;

// The results grid (grdResults): the six columns of the results table, read-only, one
// cell selected at a time. The selected cell's row is the table's current row. Server and
// Speed share whatever width the other columns leave.
class TResultsGrid : public QTableView
{
    Q_OBJECT
public:
    explicit TResultsGrid(QWidget* parent = nullptr);

    // Shows the store's table (nullptr: nothing).
    void SetStore(TdmDiskStorage* store);

    TResultsGridModel* GridModel() const { return FModel; }
    TResultsCellDelegate* CellDelegate() const { return FDelegate; }

    // The named column objects, by grid column (TResultsGridModel::TColumn).
    TResultsColumn* Column(int column) const;
    TResultsColumn* coldbServer() const { return Column(0); }
    TResultsColumn* coldbStartTime() const { return Column(1); }
    TResultsColumn* coldbDuration() const { return Column(2); }
    TResultsColumn* coldbBytesRx() const { return Column(3); }
    TResultsColumn* coldbResult() const { return Column(4); }
    TResultsColumn* coldbSpeed() const { return Column(5); }

    // The value at which a speed bar is full (coldbSpeed's Max).
    int SpeedMaximum() const;
    void SetSpeedMaximum(int maximum);

    // A cell's text keeps this many pixels from each side of the cell.
    static constexpr int CellTextMargin = 3;
    // The narrowest the Speed bar gets when the window is too narrow for every column.
    static constexpr int MinimumBarWidth = 60;
    // Width of a column before the user's stored widths apply: at least the designed
    // width, and for the fixed columns wide enough for the longest text they can show.
    static int StartWidth(int column, const QFontMetrics& metrics);

    static bool Stretches(int column);
    // Shares the width left over by the fixed columns among the stretching ones.
    void StretchColumns();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

private:
    void FollowTableCursor();
    void ScheduleFollow();

    TResultsGridModel* FModel;
    TResultsCellDelegate* FDelegate;
    TResultsTable* FEmptyTable;       // shown while no store is bound
    TResultsTableModel* FEmptyModel;
    QList<TResultsColumn*> FColumns;
    QPointer<TResultsTable> FTable;
    bool FFollowPending = false;
    bool FMovingTable = false;
    // The widths Server and Speed stretch from: their designed ones until the user drags one.
    int FPreferredServer = 0;
    int FPreferredSpeed = 0;
    bool FStretching = false;
};
