#include "report/TReportSetupDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

TReportSetupDialog::TReportSetupDialog(QWidget *parent, const QString &title, QPrinter &printer,
                                       const QStringList &formatNames,
                                       const QStringList &formatFilters, bool printerAvailable)
    : QDialog(parent), FPrinter(printer), FFilters(formatFilters)
{
    setObjectName(u"ReportSetup"_qs);
    setWindowTitle(title);

    auto *destination = new QGroupBox(tr("Report Destination"), this);
    rbPrinter = new QRadioButton(tr("&Printer"), destination);
    rbPreview = new QRadioButton(tr("Pre&view"), destination);
    rbFile = new QRadioButton(tr("&File"), destination);
    rbPrinter->setObjectName(u"rbPrinter"_qs);
    rbPreview->setObjectName(u"rbPreview"_qs);
    rbFile->setObjectName(u"rbFile"_qs);
    rbPreview->setChecked(true);

    cbFormat = new QComboBox(destination);
    cbFormat->setObjectName(u"cbFormat"_qs);
    cbFormat->addItems(formatNames);
    edFileName = new QLineEdit(destination);
    edFileName->setObjectName(u"edFileName"_qs);
    btnBrowse = new QPushButton(tr("..."), destination);
    btnBrowse->setObjectName(u"btnBrowse"_qs);
    auto *fileRow = new QHBoxLayout;
    fileRow->addWidget(edFileName, 1);
    fileRow->addWidget(btnBrowse);
    auto *fileForm = new QFormLayout;
    fileForm->setContentsMargins(24, 0, 0, 0);
    fileForm->addRow(tr("Format:"), cbFormat);
    fileForm->addRow(tr("File name:"), fileRow);

    auto *destinationBox = new QVBoxLayout(destination);
    destinationBox->addWidget(rbPrinter);
    destinationBox->addWidget(rbPreview);
    destinationBox->addWidget(rbFile);
    destinationBox->addLayout(fileForm);

    auto *printing = new QGroupBox(tr("Printer"), this);
    seCopies = new QSpinBox(printing);
    seCopies->setObjectName(u"seCopies"_qs);
    seCopies->setRange(1, 999);
    seCopies->setValue(std::max(1, printer.copyCount()));
    chkCollate = new QCheckBox(tr("&Collate"), printing);
    chkCollate->setObjectName(u"chkCollate"_qs);
    chkCollate->setChecked(printer.collateCopies());
    cbDuplex = new QComboBox(printing);
    cbDuplex->setObjectName(u"cbDuplex"_qs);
    cbDuplex->addItem(tr("None"), int(QPrinter::DuplexNone));
    cbDuplex->addItem(tr("Long side"), int(QPrinter::DuplexLongSide));
    cbDuplex->addItem(tr("Short side"), int(QPrinter::DuplexShortSide));
    cbDuplex->setCurrentIndex(std::max(0, cbDuplex->findData(int(printer.duplex()))));
    btnPrinterSetup = new QPushButton(tr("Printer &Setup..."), printing);
    btnPrinterSetup->setObjectName(u"btnPrinterSetup"_qs);
    auto *printForm = new QFormLayout(printing);
    printForm->addRow(tr("Copies:"), seCopies);
    printForm->addRow(QString(), chkCollate);
    printForm->addRow(tr("Duplex:"), cbDuplex);
    printForm->addRow(QString(), btnPrinterSetup);

    if (!printerAvailable) {
        // Nothing to print to. The file writers need no printer, so a PDF can still be made.
        rbPrinter->setEnabled(false);
        printing->setEnabled(false);
        printing->setToolTip(tr("No printer is installed."));
    }

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &TReportSetupDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TReportSetupDialog::reject);

    auto *columns = new QHBoxLayout;
    columns->addWidget(destination, 3);
    columns->addWidget(printing, 2);
    auto *box = new QVBoxLayout(this);
    box->addLayout(columns);
    box->addWidget(buttons);

    for (QRadioButton *rb : {rbPrinter, rbPreview, rbFile})
        connect(rb, &QRadioButton::toggled, this, &TReportSetupDialog::UpdateEnabled);
    connect(btnBrowse, &QPushButton::clicked, this, &TReportSetupDialog::BrowseFile);
    connect(btnPrinterSetup, &QPushButton::clicked, this, &TReportSetupDialog::SetupPrinter);
    UpdateEnabled();
}

void TReportSetupDialog::OfferReports(const QString &defaultReport, const QStringList &reports, const QDate &from,
                                      const QDate &to)
{
    if (reports.isEmpty() || cbReport)
        return;
    auto *box = new QGroupBox(tr("Report"), this);
    cbReport = new QComboBox(box);
    cbReport->setObjectName(u"cbReport"_qs);
    cbReport->addItem(defaultReport);
    cbReport->addItems(reports);
    deFrom = new QDateEdit(from, box);
    deFrom->setObjectName(u"deFrom"_qs);
    deTo = new QDateEdit(to, box);
    deTo->setObjectName(u"deTo"_qs);
    for (QDateEdit *edit : {deFrom, deTo}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(u"yyyy-MM-dd"_qs);
        edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance(u"0000-00-00"_qs) + 48);
    }
    auto *period = new QHBoxLayout;
    period->addWidget(deFrom);
    period->addWidget(new QLabel(tr("to"), box));
    period->addWidget(deTo);
    period->addStretch();
    auto *form = new QFormLayout(box);
    form->addRow(tr("&Report:"), cbReport);
    auto *periodLabel = new QLabel(tr("Pe&riod:"), box);
    periodLabel->setBuddy(deFrom);
    form->addRow(periodLabel, period);
    // Above the destination: what to print comes before where to.
    static_cast<QVBoxLayout *>(layout())->insertWidget(0, box);
    const auto periodShown = [this] {
        deFrom->setEnabled(cbReport->currentIndex() > 0);
        deTo->setEnabled(cbReport->currentIndex() > 0);
    };
    connect(cbReport, &QComboBox::currentIndexChanged, this, periodShown);
    periodShown();
}

void TReportSetupDialog::UpdateEnabled()
{
    const bool toFile = rbFile->isChecked();
    cbFormat->setEnabled(toFile);
    edFileName->setEnabled(toFile);
    btnBrowse->setEnabled(toFile);
}

void TReportSetupDialog::BrowseFile()
{
    QString selected = FFilters.value(cbFormat->currentIndex());
    const QString name = QFileDialog::getSaveFileName(this, tr("Save Report As"), edFileName->text(),
                                                      FFilters.join(u";;"_qs), &selected);
    if (name.isEmpty())
        return;
    edFileName->setText(name);
    if (const qsizetype index = FFilters.indexOf(selected); index >= 0)
        cbFormat->setCurrentIndex(int(index));
}

void TReportSetupDialog::SetupPrinter()
{
    QPrintDialog dialog(&FPrinter, this);
    dialog.setOption(QAbstractPrintDialog::PrintToFile, false);
    if (dialog.exec() == QDialog::Accepted) {
        seCopies->setValue(std::max(1, FPrinter.copyCount()));
        chkCollate->setChecked(FPrinter.collateCopies());
        cbDuplex->setCurrentIndex(std::max(0, cbDuplex->findData(int(FPrinter.duplex()))));
    }
}

void TReportSetupDialog::accept()
{
    if (rbFile->isChecked() && edFileName->text().trimmed().isEmpty()) {
        QMessageBox::information(this, windowTitle(), tr("Please enter the name of the file to write."));
        edFileName->setFocus();
        return;
    }
    if (cbReport && cbReport->currentIndex() > 0 && deFrom->date() > deTo->date()) {
        QMessageBox::information(this, windowTitle(), tr("The period ends before it starts."));
        deTo->setFocus();
        return;
    }
    if (rbPrinter->isChecked()) {
        FPrinter.setCopyCount(seCopies->value());
        FPrinter.setCollateCopies(chkCollate->isChecked());
        FPrinter.setDuplex(QPrinter::DuplexMode(cbDuplex->currentData().toInt()));
    }
    QDialog::accept();
}

TReportOutputChoice TReportSetupDialog::Choice() const
{
    TReportOutputChoice choice;
    if (rbPrinter->isChecked())
        choice.destination = TReportOutputChoice::Destination::Printer;
    else if (rbFile->isChecked())
        choice.destination = TReportOutputChoice::Destination::File;
    choice.format = TReportOutputChoice::FileFormat(cbFormat->currentIndex());
    choice.fileName = edFileName->text().trimmed();
    if (cbReport && cbReport->currentIndex() > 0) {
        choice.report = cbReport->currentText();
        choice.from = deFrom->date();
        choice.to = deTo->date();
    }
    return choice;
}
