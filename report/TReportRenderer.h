#pragma once

#include "TReportContent.h"
#include "TReportLayout.h"

#include <QRectF>
#include <QStringList>

#include <functional>

class QPagedPaintDevice;
class QPainter;

// Lays the report out on pages and paints them onto a printer, preview or PDF.
class TReportRenderer
{
public:
    // Told each page number as it is reached; returning false cancels.
    using Progress = std::function<bool(int page)>;

    TReportRenderer(const TReportLayout &layout, const TReportContent &content);

    // Sets the device's page layout, lays the pages out (reporting each to
    // generating), then paints them (reporting each to output). Returns the
    // number of pages, or 0 when cancelled. Throws EReportError when the device
    // cannot be painted on.
    int Render(QPagedPaintDevice &device, const Progress &generating = {},
               const Progress &output = {}) const;

private:
    struct Page
    {
        int firstLine = 0;
        int lineCount = 0;
        bool memoHeading = false;
        bool chart = false;
        double chartTop = 0; // where the chart block starts, below the header
    };

    struct Metrics;

    QStringList wrapMemo(const Metrics &m) const;
    QList<Page> paginate(const Metrics &m, int lineCount, const Progress &generating,
                         bool &cancelled) const;
    void paintPage(QPainter &painter, const Metrics &m, const QStringList &lines,
                   const Page &page, int pageNumber, int pageCount) const;
    QRectF chartRect(const Metrics &m, double top) const;

    const TReportLayout &FLayout;
    const TReportContent &FContent;
};
