#pragma once

#include "storage/ResultRow.h"

#include <QString>
#include <QVector>

// Reads and writes KorvaneResults.xml: an XML document that names the columns
// and their types, holds one element per row and the next Order value.
class TResultsFile
{
public:
    struct TContent
    {
        QVector<TResultRow> Rows;
        qint64 NextOrder = 1; // above every stored Order; at most 2^31
    };

    // Throws EStorageError naming the file and the fault (with its line) when
    // the file cannot be read or is not a results document of ours.
    static TContent Read(const QString &fileName);
    // Writes through a temporary file renamed over the old one, so a failed
    // write leaves the old file whole. Throws EStorageError on failure.
    static void Write(const QString &fileName, const TContent &content);
    // The document as bytes (what Write puts in the file).
    static QByteArray Serialize(const TContent &content);
    static TContent Parse(const QByteArray &bytes, const QString &fileName);
};
