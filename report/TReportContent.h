#pragma once

#include "TReportData.h"

#include <QImage>
#include <QString>
#include <QStringList>

// A data row turned back into what the layout prints: the memo text and the picture.
struct TReportContent
{
    QString memoText;
    QImage picture;

    // Throws EReportError when a field cannot be read.
    static TReportContent FromRow(const TReportRow &row);

    // The memo split into lines (CR LF, LF or CR); a final line break adds no empty line.
    QStringList memoLines() const;
};
