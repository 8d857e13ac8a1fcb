#include "ui/TResultsGridModel.h"

#include "ui/ResultTexts.h"
#include "storage/ResultRow.h"
#include "storage/ResultsTable.h"
#include "storage/ResultsTableModel.h"

#include <QDateTime>

TResultsGridModel::TResultsGridModel(QObject* parent)
    : QSortFilterProxyModel(parent)
{
    setDynamicSortFilter(false);
}

bool TResultsGridModel::filterAcceptsColumn(int sourceColumn, const QModelIndex&) const
{
    return sourceColumn >= TResultsTableModel::columnOf(TResultField::Server)
           && sourceColumn <= TResultsTableModel::columnOf(TResultField::Speed);
}

QVariant TResultsGridModel::Value(const QModelIndex& index) const
{
    return QSortFilterProxyModel::data(index, Qt::EditRole);
}

const TResultRow* TResultsGridModel::Row(const QModelIndex& index) const
{
    const auto* table = qobject_cast<const TResultsTableModel*>(sourceModel());
    const int row = mapToSource(index).row();
    if (table && table->table() && row >= 0 && row < table->table()->RecordCount())
        return &table->table()->Row(row);
    return nullptr;
}

QVariant TResultsGridModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    switch (role) {
    case Qt::DisplayRole: {
        const QVariant value = Value(index);
        switch (index.column()) {
        case colServer:
            if (const TResultRow* row = Row(index))
                return ResultTexts::ServerCell(*row);
            return value.toString();
        case colStartTime:
            return ResultTexts::StartTimeCell(value.toDateTime());
        case colDuration:
            return ResultTexts::DurationCell(value.toInt());
        case colBytesRx:
            return ResultTexts::BytesRxCell(value.toDouble());
        case colResult:
            return ResultTexts::ResultCell(value.toDouble());
        default:
            // The speed column is drawn as a bar, with the share of the plan on it where known.
            if (const TResultRow* row = Row(index))
                return ResultTexts::ShareCell(*row);
            return {};
        }
    }
    case Qt::TextAlignmentRole: {
        const bool left = index.column() == colServer || index.column() == colStartTime;
        return QVariant::fromValue(Qt::AlignVCenter | (left ? Qt::AlignLeft : Qt::AlignRight));
    }
    case Qt::EditRole:
        return Value(index);
    default:
        return {};
    }
}

Qt::ItemFlags TResultsGridModel::flags(const QModelIndex& index) const
{
    return QSortFilterProxyModel::flags(index) & ~Qt::ItemIsEditable;
}
