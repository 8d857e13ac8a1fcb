#pragma once

#include <QHash>
#include <QString>
#include <QtGlobal>

// The program's version block: the fixed numbers and the string tables keyed by
// language and code page, as an executable version resource would carry them.
// The shipped block is compiled in from the CMake project version.
struct TVersionBlock
{
    // The only string table the reader consults: U.S. English, code page 1252.
    static inline const QString EnglishKey = QStringLiteral("040904E4");

    bool present = false;  // false: the program carries no version block at all
    quint32 dwSignature = 0;
    quint32 dwFileVersionMS = 0;
    quint32 dwFileVersionLS = 0;
    quint32 dwFileFlagsMask = 0;
    quint32 dwFileFlags = 0;
    // language and code page key -> (string name -> value)
    QHash<QString, QHash<QString, QString>> stringTables;

    // The block this build ships with (ProductName Korvane, FileVersion 2.0.0.69 ...).
    static TVersionBlock Shipped();
};
