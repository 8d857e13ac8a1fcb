#pragma once

#include "report/TPlanReport.h"

#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QString>

// The report layout read from Korvn.layout (the file documents its own format).
struct TReportLayout
{
    enum class ChartPosition { FirstPage, LastPage };
    enum class ChartScale { Fit, Stretch };

    struct Font
    {
        QString family;
        double pointSize;
    };

    QPageSize pageSize = QPageSize(QPageSize::A4);
    QPageLayout::Orientation orientation = QPageLayout::Portrait;
    QMarginsF marginsMm = QMarginsF(18, 15, 18, 15);

    QString title = QStringLiteral("Korvane Speed Test Report");
    Font titleFont{QStringLiteral("Sans Serif"), 18};
    bool showDate = true;
    QString runningHeader = QStringLiteral("Korvane Speed Test Report");

    ChartPosition chartPosition = ChartPosition::FirstPage;
    ChartScale chartScale = ChartScale::Fit;
    double chartMaxHeightMm = 125;
    QString chartCaption = QStringLiteral("Results chart");
    bool chartFrame = true;

    // A second picture, the results history, after the log; only when the layout asks.
    struct History
    {
        bool print = false;
        ChartScale scale = ChartScale::Fit;
        double maxHeightMm = 125;
        QString caption = QStringLiteral("Results history");
        bool frame = true;
    };
    History history;

    // "Results against the plan", chosen in "Output Options": its words on the page.
    struct PlanReport
    {
        QString name = TPlanReport::Title();
        QString title = TPlanReport::Title();
        QString memoHeading = QStringLiteral("Results");
        QString chartCaption = QStringLiteral("Results and the plan");
    };
    PlanReport planReport;

    QString memoHeading = QStringLiteral("Test log");
    Font memoFont{QStringLiteral("Monospace"), 9};

    QString pageNumber = QStringLiteral("Page %p of %n");
    Font footerFont{QStringLiteral("Sans Serif"), 8};

    QPageLayout pageLayout() const;
    // The layout of another report than the default one: the same page, its own words, the
    // picture under the title and no history picture.
    TReportLayout ForReport(const QString &report) const;

    // Throws EReportError naming the file and line of the first fault.
    static TReportLayout Load(const QString &fileName);
    static TReportLayout Parse(const QByteArray &text, const QString &fileName);
};
