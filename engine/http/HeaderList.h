#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// An ordered list of header fields. Names compare without regard to case;
// lookups take the first field of a name.
class THeaderList
{
public:
    struct Field
    {
        QString Name;
        QString Value;
        bool operator==(const Field &) const = default;
    };

    // Builds the list from raw header lines (without line ends): "Name: value";
    // a line starting with a blank or tab continues the previous value, joined
    // with one blank; values are trimmed. Lines without ":" are ignored.
    static THeaderList FromRawLines(const QStringList &lines);

    void Add(const QString &name, const QString &value);
    void Clear();
    bool IsEmpty() const { return FFields.isEmpty(); }
    qsizetype Count() const { return FFields.size(); }
    const QList<Field> &Fields() const { return FFields; }

    bool Contains(const QString &name) const;
    QString Value(const QString &name) const;        // first value of the name, or ""
    QStringList Values(const QString &name) const;   // every value of the name, in order
    QStringList Lines() const;                       // "Name: Value" each

private:
    QList<Field> FFields;
};
