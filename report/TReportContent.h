#pragma once

#include "report/TReportData.h"

#include <QImage>
#include <QString>
#include <QStringList>

// A data row turned back into what the layout prints: the memo text and the pictures.
struct TReportContent
{
    QString memoText;
    QImage picture;
    QImage historyPicture; // null unless the layout prints the history

    // Throws EReportError when a field cannot be read.
    static TReportContent FromRow(const TReportRow &row);

    // The memo split into lines (CR LF, LF or CR); a final line break adds no empty line.
    QStringList memoLines() const;
};
