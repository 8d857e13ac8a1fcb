#include "storage/ResultsTableModel.h"

#include "storage/DayCountDate.h"
#include "storage/ResultsTable.h"
#include "storage/XLabelText.h"

TResultsTableModel::TResultsTableModel(TResultsTable *table, QObject *parent)
    : QAbstractTableModel(parent), FTable(table)
{
    connect(table, &TResultsTable::AboutToReset, this, [this] { beginResetModel(); });
    connect(table, &TResultsTable::AfterReset, this, [this] { endResetModel(); });
    connect(table, &TResultsTable::AboutToInsertRow, this,
            [this](int index) { beginInsertRows(QModelIndex(), index, index); });
    connect(table, &TResultsTable::AfterPost, this, [this](int) { endInsertRows(); });
}

QString TResultsTableModel::columnName(TResultField field)
{
    switch (field) {
    case TResultField::Order: return QStringLiteral("Order");
    case TResultField::Server: return QStringLiteral("Server");
    case TResultField::StartTime: return QStringLiteral("StartTime");
    case TResultField::Duration: return QStringLiteral("Duration");
    case TResultField::BytesRx: return QStringLiteral("BytesRx");
    case TResultField::Result: return QStringLiteral("Result");
    case TResultField::Speed: return QStringLiteral("Speed");
    case TResultField::XLabel: return QStringLiteral("XLabel");
    }
    return QString();
}

int TResultsTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : FTable->RecordCount();
}

int TResultsTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ResultFieldCount;
}

QVariant TResultsTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= FTable->RecordCount() || index.column() >= ResultFieldCount)
        return QVariant();
    if (role != Qt::DisplayRole && role != Qt::EditRole && role != DayCountRole)
        return QVariant();
    const TResultRow &row = FTable->Row(index.row());
    switch (static_cast<TResultField>(index.column())) {
    case TResultField::Order: return row.Order;
    case TResultField::Server: return row.Server;
    case TResultField::StartTime:
        if (role == DayCountRole)
            return row.StartTime;
        return DayCountDate::toDateTime(row.StartTime);
    case TResultField::Duration: return row.Duration;
    case TResultField::BytesRx: return row.BytesRx;
    case TResultField::Result: return row.Result;
    case TResultField::Speed: return row.Speed;
    case TResultField::XLabel: return XLabelText(row);
    }
    return QVariant();
}

QVariant TResultsTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= ResultFieldCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    return columnName(static_cast<TResultField>(section));
}

Qt::ItemFlags TResultsTableModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
