#pragma once

#include <QObject>
#include <QStringList>

class QCompleter;
class QLineEdit;
class QStringListModel;

// The server field's autocompletion list (acServerHistory): the targets tested so far,
// offered as completions while the user types.
class TServerHistory : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QStringList Strings READ Strings WRITE SetStrings)
    Q_PROPERTY(bool Active READ Active WRITE SetActive)
    Q_PROPERTY(bool Sorted READ Sorted WRITE SetSorted)
    Q_PROPERTY(bool IgnoreDuplicates READ IgnoreDuplicates WRITE SetIgnoreDuplicates)
public:
    explicit TServerHistory(QLineEdit* editor, QObject* parent = nullptr);

    QStringList Strings() const;
    // Takes the lines through Add, so sorting and duplicates are honoured.
    void SetStrings(const QStringList& lines);

    // Off: the field offers no completions.
    bool Active() const { return FActive; }
    void SetActive(bool active);

    // Kept in case-insensitive order.
    bool Sorted() const { return FSorted; }
    void SetSorted(bool sorted);

    // A line equal to one in the list (ignoring case) is not added again.
    bool IgnoreDuplicates() const { return FIgnoreDuplicates; }
    void SetIgnoreDuplicates(bool ignore) { FIgnoreDuplicates = ignore; }

    void Add(const QString& line);
    void Clear();

    QCompleter* Completer() const { return FCompleter; }

private:
    QLineEdit* FEditor;
    QStringListModel* FModel;
    QCompleter* FCompleter;
    bool FActive = true;
    bool FSorted = false;
    bool FIgnoreDuplicates = false;
};
