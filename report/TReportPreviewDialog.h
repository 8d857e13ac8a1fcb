#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QPrinter;
class QPrintPreviewWidget;
class QSpinBox;

// "Report Preview": the pages with navigation, zoom, printing and saving.
class TReportPreviewDialog : public QDialog
{
    Q_OBJECT
public:
    struct Actions
    {
        std::function<void(QPrinter *)> paint; // paints every page onto the preview's printer
        std::function<void()> print;
        std::function<void()> save;
    };

    TReportPreviewDialog(QWidget *parent, const QString &title, QPrinter &printer,
                         Actions actions, int zoomPercent);

    QPrintPreviewWidget *Preview() const { return FPreview; }
    int PageCount() const;
    // What the page and zoom indicators show: "2 of 3 ", "72 %".
    QString PageText() const;
    QString ZoomText() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void UpdatePages();

    Actions FActions;
    QPrintPreviewWidget *FPreview;
    QSpinBox *sePage;
    QLabel *lblPages, *lblZoom;
};
