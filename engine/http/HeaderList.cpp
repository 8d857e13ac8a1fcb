#include "engine/http/HeaderList.h"

THeaderList THeaderList::FromRawLines(const QStringList &lines)
{
    THeaderList list;
    bool lastWasField = false;
    for (const QString &line : lines) {
        if (!line.isEmpty() && (line[0] == u' ' || line[0] == u'\t')) {
            if (lastWasField) {
                Field &last = list.FFields.last();
                const QString more = line.trimmed();
                if (!more.isEmpty())
                    last.Value = last.Value.isEmpty() ? more : last.Value + u' ' + more;
            }
            continue;
        }
        const qsizetype colon = line.indexOf(u':');
        lastWasField = colon > 0;
        if (lastWasField)
            list.Add(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
    }
    return list;
}

void THeaderList::Add(const QString &name, const QString &value)
{
    FFields.append({name, value});
}

void THeaderList::Clear()
{
    FFields.clear();
}

bool THeaderList::Contains(const QString &name) const
{
    for (const Field &field : FFields)
        if (field.Name.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QString THeaderList::Value(const QString &name) const
{
    for (const Field &field : FFields)
        if (field.Name.compare(name, Qt::CaseInsensitive) == 0)
            return field.Value;
    return {};
}

QStringList THeaderList::Values(const QString &name) const
{
    QStringList values;
    for (const Field &field : FFields)
        if (field.Name.compare(name, Qt::CaseInsensitive) == 0)
            values.append(field.Value);
    return values;
}

QStringList THeaderList::Lines() const
{
    QStringList lines;
    for (const Field &field : FFields)
        lines.append(field.Name + QStringLiteral(": ") + field.Value);
    return lines;
}
