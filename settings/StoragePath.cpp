#include "settings/StoragePath.h"

namespace {

const QChar Separator = QLatin1Char('\\');

bool IsOnlyDots(const QString& element)
{
    for (QChar c : element)
        if (c != QLatin1Char('.'))
            return false;
    return !element.isEmpty();
}

} // namespace

QString TStoragePath::Normalize(const QString& path)
{
    QStringList kept;
    for (const QString& element : path.split(Separator, Qt::SkipEmptyParts)) {
        if (IsOnlyDots(element)) {
            // "." stays put, ".." goes up one, "..." two, and so on.
            for (qsizetype up = element.size() - 1; up > 0 && !kept.isEmpty(); --up)
                kept.removeLast();
            continue;
        }
        kept.append(element);
    }
    return kept.join(Separator);
}

QString TStoragePath::Concat(const QStringList& paths)
{
    qsizetype first = 0;
    for (qsizetype i = 0; i < paths.size(); ++i)
        if (paths[i].startsWith(Separator))
            first = i;
    return Normalize(paths.mid(first).join(Separator));
}

void TStoragePath::Split(const QString& path, QString& section, QString& key)
{
    const qsizetype last = path.lastIndexOf(Separator);
    section = last < 0 ? QString() : path.left(last);
    key = last < 0 ? path : path.mid(last + 1);
}
