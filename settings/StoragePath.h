#pragma once

#include <QString>
#include <QStringList>

// Paths into the settings store: elements separated by backslashes, the last element is
// the key and the ones before it name the section.
class TStoragePath
{
public:
    // Drops empty elements and ".", lets ".." (and each further dot) remove one preceding
    // element; the result has no leading or trailing backslash.
    static QString Normalize(const QString& path);

    // Joins paths with backslashes; an element starting with a backslash is absolute and
    // discards everything before it. The result is normalised.
    static QString Concat(const QStringList& paths);

    // Splits a normalised path into its section (all but the last element) and key.
    static void Split(const QString& path, QString& section, QString& key);
};
