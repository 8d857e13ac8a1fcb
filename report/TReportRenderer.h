#pragma once

#include "report/TReportContent.h"
#include "report/TReportLayout.h"

#include <QImage>
#include <QRectF>
#include <QStringList>

#include <functional>
#include <memory>

class QPagedPaintDevice;
class QPainter;

// Lays the report out on pages and paints them onto a printer, preview or PDF.
class TReportRenderer
{
public:
    // Told each page number as it is reached; returning false cancels.
    using Progress = std::function<bool(int page)>;

    // Pages laid out for one device; they can be painted any number of times.
    struct Prepared;

    TReportRenderer(const TReportLayout &layout, const TReportContent &content);

    // Sets the device's page layout and lays the pages out for it, reporting each
    // page to generating. Returns null when cancelled; nothing is painted.
    std::shared_ptr<const Prepared> Prepare(QPagedPaintDevice &device,
                                            const Progress &generating = {}) const;
    static int PageCount(const Prepared &pages);

    // Paints prepared pages onto device, which must have the resolution and page
    // layout they were prepared for, reporting each page to output. Returns the
    // number of pages, or 0 when cancelled. Throws EReportError when the device
    // cannot be painted on.
    int Paint(QPagedPaintDevice &device, const Prepared &pages, const Progress &output = {}) const;

    // Prepare, then Paint.
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
        bool history = false;
        double historyTop = 0;
    };

    // What a picture block prints: the chart and the history share the drawing.
    struct Picture
    {
        const QImage &image;
        const QString &caption;
        TReportLayout::ChartScale scale;
        double maxHeightMm;
        bool frame;
        QString missingText;
    };

    struct Metrics;

    void wrapLine(const Metrics &m, const QString &raw, QStringList &wrapped) const;
    QList<Page> paginate(const Metrics &m, QStringList &lines, const Progress &generating,
                         bool &cancelled) const;
    void paintPage(QPainter &painter, const Metrics &m, const QStringList &lines,
                   const Page &page, int pageNumber, int pageCount) const;
    Picture chartPicture() const;
    Picture historyPicture() const;
    QRectF pictureRect(const Metrics &m, const Picture &picture, double top) const;
    void paintPicture(QPainter &painter, const Metrics &m, const Picture &picture, double top) const;

    const TReportLayout &FLayout;
    const TReportContent &FContent;
};
