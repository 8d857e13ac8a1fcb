#pragma once

#include <QSortFilterProxyModel>

struct TResultRow;

// What the results grid shows of the results table: six columns (Server, StartTime,
// Duration, BytesRx, Result, Speed) in table order, with their display texts and
// alignments. Rows stay in table order; the grid never sorts them. The speed column's text
// is the share of the plan a row reached, drawn on its bar; empty for rows without a plan.
class TResultsGridModel : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    enum TColumn { colServer, colStartTime, colDuration, colBytesRx, colResult, colSpeed, ColumnCount };

    explicit TResultsGridModel(QObject* parent = nullptr);

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The raw value of a cell: QString, QDateTime, int or double.
    QVariant Value(const QModelIndex& index) const;

private:
    // The stored row behind a cell; null when the table is not there.
    const TResultRow* Row(const QModelIndex& index) const;

protected:
    bool filterAcceptsColumn(int sourceColumn, const QModelIndex& sourceParent) const override;
};
