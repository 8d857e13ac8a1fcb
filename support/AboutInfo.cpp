#include "support/AboutInfo.h"

#include "support/AboutForm.h"
#include "support/ProgramArt.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>

TAboutInfo::TAboutInfo(QObject* Owner)
    : TVersionInfo(Owner)
{
}

TAboutInfo::TAboutInfo(const TVersionBlock& block, QObject* Owner)
    : TVersionInfo(block, Owner)
{
}

std::unique_ptr<TAboutForm> TAboutInfo::BuildForm(QWidget* centreOn) const
{
    auto form = std::make_unique<TAboutForm>(centreOn);

    // The icon goes through a 32 x 32 picture, stretched to the image's 64 x 64.
    QPixmap small(32, 32);
    small.fill(Qt::transparent);
    {
        QPainter painter(&small);
        const QIcon appIcon = QApplication::windowIcon();
        const QPixmap icon = appIcon.isNull() ? TProgramArt::IconPixmap(32) : appIcon.pixmap(32, 32);
        painter.drawPixmap(0, 0, icon);
    }
    form->Image1->setPixmap(small.scaled(form->Image1->size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));

    // A label that grew pushes everything below it down; CustomLines stays put.
    int d = TAboutForm::setLabelText(form->ProgramName, ProductName());
    if (d != 0) {
        form->growBy(d);
        for (QWidget* control : {static_cast<QWidget*>(form->FullVersion), static_cast<QWidget*>(form->Copyright),
                                 static_cast<QWidget*>(form->Label4), static_cast<QWidget*>(form->Panel1),
                                 static_cast<QWidget*>(form->btnOK)})
            TAboutForm::moveDown(control, d);
    }

    TAboutForm::setLabelText(form->FullVersion, Version());

    d = TAboutForm::setLabelText(form->Copyright, Copyright());
    if (d != 0) {
        form->growBy(d);
        for (QWidget* control : {static_cast<QWidget*>(form->Label4), static_cast<QWidget*>(form->Panel1),
                                 static_cast<QWidget*>(form->btnOK)})
            TAboutForm::moveDown(control, d);
    }

    if (!CustomLines().isEmpty()) {
        TAboutForm::setLabelText(form->CustomLines, CustomLines());
        const int h = form->CustomLines->height();
        form->growBy(h);
        TAboutForm::moveDown(form->btnOK, h);
    }

    const QString product = ProductName();
    const qsizetype lineEnd = product.indexOf(QStringLiteral("\r\n"));
    form->setWindowTitle(QStringLiteral("About ") + (lineEnd >= 0 ? product.left(lineEnd) : product));
    return form;
}

void TAboutInfo::Show(QWidget* centreOn)
{
    if (!centreOn)
        centreOn = QApplication::activeWindow();
    std::unique_ptr<TAboutForm> form = BuildForm(centreOn);
    QPointer<TAboutForm> alive(form.get());
    form->exec();
    // Should the owner window go away meanwhile, it has taken the form with it.
    if (!alive)
        (void)form.release();
}
