#pragma once

#include "storage/ResultRow.h"

#include <QAbstractTableModel>

class TResultsTable;

// The data source (dsKorvaneResults) the grid shows: one model row per posted
// table row, one column per table column in table order (TResultField, XLabel
// last). Read-only. Display formatting ("1234 ms.", "12.35 KB/S") is the
// grid's: DisplayRole and EditRole both give the raw typed value:
//   Order, Duration: int; Server, XLabel: QString; StartTime: QDateTime (local);
//   BytesRx, Result, Speed: double.
// DayCountRole gives StartTime as days since 30 Dec 1899 (other columns: as EditRole).
// Header (horizontal, DisplayRole): the column name ("Order", "Server", ...).
class TResultsTableModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    static constexpr int DayCountRole = Qt::UserRole;

    explicit TResultsTableModel(TResultsTable *table, QObject *parent = nullptr);

    static int columnOf(TResultField field) { return static_cast<int>(field); }
    static QString columnName(TResultField field);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    TResultsTable *table() const { return FTable; }

private:
    TResultsTable *FTable;
};
