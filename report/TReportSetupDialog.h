#pragma once

#include "report/TReportOutputChoice.h"

#include <QDate>
#include <QDialog>
#include <QStringList>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDateEdit;
class QLineEdit;
class QPrinter;
class QPushButton;
class QRadioButton;
class QSpinBox;

// "Output Options": printer, preview or file, and the printer's copies,
// collation and duplex. Edits the printer's settings on OK.
class TReportSetupDialog : public QDialog
{
    Q_OBJECT
public:
    // formats: the file formats' display names and dialog filters, in the
    // order of TReportOutputChoice::FileFormat.
    TReportSetupDialog(QWidget *parent, const QString &title, QPrinter &printer,
                       const QStringList &formatNames, const QStringList &formatFilters,
                       bool printerAvailable);
    // Offers, beside the default report (named first), the reports given, each over a period
    // of days that starts as from..to.
    void OfferReports(const QString &defaultReport, const QStringList &reports, const QDate &from, const QDate &to);

    TReportOutputChoice Choice() const;

    void accept() override;

private:
    void UpdateEnabled();
    void BrowseFile();
    void SetupPrinter();

    QPrinter &FPrinter;
    QStringList FFilters;
    QRadioButton *rbPrinter, *rbPreview, *rbFile;
    QComboBox *cbFormat, *cbDuplex;
    QLineEdit *edFileName;
    QPushButton *btnBrowse, *btnPrinterSetup;
    QSpinBox *seCopies;
    QCheckBox *chkCollate;
    QComboBox *cbReport = nullptr;
    QDateEdit *deFrom = nullptr;
    QDateEdit *deTo = nullptr;
};
