#pragma once

#include <QDialog>

class QLabel;

// "Report Status": the page being generated or printed, with a Cancel button.
class TReportStatusWindow : public QDialog
{
    Q_OBJECT
public:
    TReportStatusWindow(QWidget *parent, const QString &title);

    // Shows pattern with %p replaced by page and lets the window answer the user.
    // Returns false once Cancel was pressed.
    bool ShowPage(const QString &pattern, int page);
    bool Cancelled() const { return FCancelled; }

signals:
    // A page's text is showing; emitted before the window answers the user.
    void PageShown(int page, const QString &text);

protected:
    void reject() override;

private:
    QLabel *FStatus;
    bool FCancelled = false;
};
