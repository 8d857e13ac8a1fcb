#include "report/TReportStatusWindow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TReportStatusWindow::TReportStatusWindow(QWidget *parent, const QString &title)
    : QDialog(parent), FStatus(new QLabel(this))
{
    setObjectName(u"ReportStatus"_qs);
    setWindowTitle(title);
    setWindowModality(Qt::ApplicationModal);
    FStatus->setObjectName(u"lblStatus"_qs);
    FStatus->setMinimumWidth(260);
    FStatus->setAlignment(Qt::AlignCenter);
    auto *cancel = new QPushButton(tr("Cancel"), this);
    cancel->setObjectName(u"btnCancel"_qs);
    connect(cancel, &QPushButton::clicked, this, &TReportStatusWindow::reject);
    auto *box = new QVBoxLayout(this);
    box->addWidget(FStatus);
    box->addWidget(cancel, 0, Qt::AlignHCenter);
}

bool TReportStatusWindow::ShowPage(const QString &pattern, int page)
{
    FStatus->setText(QString(pattern).replace(u"%p"_qs, QString::number(page)));
    if (!isVisible())
        show();
    emit PageShown(page, FStatus->text());
    // Pages come quickly; serve what is pending so the text shows and Cancel works.
    QCoreApplication::processEvents();
    return !FCancelled;
}

void TReportStatusWindow::reject()
{
    FCancelled = true;
}
