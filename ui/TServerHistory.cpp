#include "ui/TServerHistory.h"

#include <QCompleter>
#include <QLineEdit>
#include <QStringListModel>

#include <algorithm>

namespace {

bool LessIgnoringCase(const QString& a, const QString& b)
{
    return QString::compare(a, b, Qt::CaseInsensitive) < 0;
}

}  // namespace

TServerHistory::TServerHistory(QLineEdit* editor, QObject* parent)
    : QObject(parent)
    , FEditor(editor)
    , FModel(new QStringListModel(this))
    , FCompleter(new QCompleter(FModel, this))
{
    setObjectName(QStringLiteral("acServerHistory"));
    FCompleter->setCaseSensitivity(Qt::CaseInsensitive);
    FCompleter->setCompletionMode(QCompleter::PopupCompletion);
    FEditor->setCompleter(FCompleter);
}

QStringList TServerHistory::Strings() const
{
    return FModel->stringList();
}

void TServerHistory::SetStrings(const QStringList& lines)
{
    Clear();
    for (const QString& line : lines)
        Add(line);
}

void TServerHistory::SetActive(bool active)
{
    FActive = active;
    FEditor->setCompleter(active ? FCompleter : nullptr);
}

void TServerHistory::SetSorted(bool sorted)
{
    FSorted = sorted;
    if (sorted) {
        QStringList lines = FModel->stringList();
        std::stable_sort(lines.begin(), lines.end(), LessIgnoringCase);
        FModel->setStringList(lines);
    }
}

void TServerHistory::Add(const QString& line)
{
    QStringList lines = FModel->stringList();
    if (FIgnoreDuplicates && lines.contains(line, Qt::CaseInsensitive))
        return;
    if (FSorted)
        lines.insert(std::upper_bound(lines.begin(), lines.end(), line, LessIgnoringCase), line);
    else
        lines.append(line);
    FModel->setStringList(lines);
}

void TServerHistory::Clear()
{
    FModel->setStringList({});
}
