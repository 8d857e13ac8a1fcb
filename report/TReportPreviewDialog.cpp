#include "report/TReportPreviewDialog.h"

#include <QAction>
#include <QEvent>
#include <QGraphicsView>
#include <QScrollBar>
#include <QLabel>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QScreen>
#include <QSpinBox>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>

#include <cmath>

TReportPreviewDialog::TReportPreviewDialog(QWidget *parent, const QString &title, QPrinter &printer,
                                           Actions actions, int zoomPercent)
    : QDialog(parent), FActions(std::move(actions))
{
    setObjectName(u"ReportPreview"_qs);
    setWindowTitle(title);
    setWindowFlag(Qt::WindowMaximizeButtonHint);

    FPreview = new QPrintPreviewWidget(&printer, this);
    FPreview->setObjectName(u"pvPages"_qs);
    connect(FPreview, &QPrintPreviewWidget::paintRequested, this,
            [this](QPrinter *p) { FActions.paint(p); });

    auto *bar = new QToolBar(this);
    bar->setObjectName(u"tbPreview"_qs);
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    QStyle *st = style();
    // Navigation and zoom show icons only, so Print, Save and Close stay in view.
    auto add = [&](QStyle::StandardPixmap icon, const QString &text, const char *name, auto slot,
                   const QKeySequence &key = {}, bool iconOnly = false) {
        QAction *action = bar->addAction(st->standardIcon(icon), iconOnly ? QString() : text);
        action->setObjectName(QString::fromLatin1(name));
        action->setToolTip(key.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, key.toString()));
        action->setShortcut(key);
        connect(action, &QAction::triggered, this, slot);
        // The preview signals nothing when only its page or zoom moves.
        connect(action, &QAction::triggered, this, &TReportPreviewDialog::UpdatePages);
        return action;
    };

    add(QStyle::SP_MediaSkipBackward, tr("First"), "actFirst", [this] { FPreview->setCurrentPage(1); },
        QKeySequence(Qt::CTRL | Qt::Key_Home), true);
    add(QStyle::SP_MediaSeekBackward, tr("Previous"), "actPrevious",
        [this] { FPreview->setCurrentPage(FPreview->currentPage() - 1); }, QKeySequence::MoveToPreviousPage, true);
    sePage = new QSpinBox(bar);
    sePage->setObjectName(u"sePage"_qs);
    sePage->setMinimum(1);
    bar->addWidget(sePage);
    lblPages = new QLabel(bar);
    bar->addWidget(lblPages);
    add(QStyle::SP_MediaSeekForward, tr("Next"), "actNext",
        [this] { FPreview->setCurrentPage(FPreview->currentPage() + 1); }, QKeySequence::MoveToNextPage, true);
    add(QStyle::SP_MediaSkipForward, tr("Last"), "actLast", [this] { FPreview->setCurrentPage(PageCount()); },
        QKeySequence(Qt::CTRL | Qt::Key_End), true);
    bar->addSeparator();
    add(QStyle::SP_ArrowDown, tr("Zoom Out"), "actZoomOut", [this] { FPreview->zoomOut(); }, QKeySequence::ZoomOut, true);
    lblZoom = new QLabel(bar);
    lblZoom->setMinimumWidth(48);
    lblZoom->setAlignment(Qt::AlignCenter);
    bar->addWidget(lblZoom);
    add(QStyle::SP_ArrowUp, tr("Zoom In"), "actZoomIn", [this] { FPreview->zoomIn(); }, QKeySequence::ZoomIn, true);
    add(QStyle::SP_FileDialogDetailedView, tr("Actual Size"), "actActualSize", [this] {
        FPreview->setZoomMode(QPrintPreviewWidget::CustomZoom);
        FPreview->setZoomFactor(1.0);
    });
    add(QStyle::SP_TitleBarMaxButton, tr("Fit Width"), "actFitWidth", [this] { FPreview->fitToWidth(); });
    add(QStyle::SP_DesktopIcon, tr("Whole Page"), "actWholePage", [this] { FPreview->fitInView(); });
    bar->addSeparator();
    add(QStyle::SP_DialogYesButton, tr("Print..."), "actPrint", [this] { FActions.print(); }, QKeySequence::Print);
    add(QStyle::SP_DialogSaveButton, tr("Save..."), "actSave", [this] { FActions.save(); }, QKeySequence::Save);
    add(QStyle::SP_DialogCloseButton, tr("Close"), "actClose", [this] { accept(); });

    connect(sePage, &QSpinBox::valueChanged, this, [this](int page) {
        if (page != FPreview->currentPage())
            FPreview->setCurrentPage(page);
    });
    connect(FPreview, &QPrintPreviewWidget::previewChanged, this, &TReportPreviewDialog::UpdatePages);
    // Scrolling or Ctrl+wheel in the pages moves the current page and the zoom too.
    if (auto *view = FPreview->findChild<QGraphicsView *>()) {
        connect(view->verticalScrollBar(), &QScrollBar::valueChanged, this, &TReportPreviewDialog::UpdatePages);
        connect(view->horizontalScrollBar(), &QScrollBar::valueChanged, this, &TReportPreviewDialog::UpdatePages);
        view->viewport()->installEventFilter(this);
    }

    auto *box = new QVBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    box->setSpacing(0);
    box->addWidget(bar);
    box->addWidget(FPreview, 1);

    FPreview->setZoomMode(QPrintPreviewWidget::CustomZoom);
    FPreview->setZoomFactor(zoomPercent / 100.0);

    // A page at 100 % wants most of the screen.
    if (const QScreen *screen = this->screen()) {
        const QRect available = screen->availableGeometry();
        resize(std::min(available.width(), 1000), available.height() * 9 / 10);
    }
}

int TReportPreviewDialog::PageCount() const
{
    return FPreview->pageCount();
}

bool TReportPreviewDialog::eventFilter(QObject *watched, QEvent *event)
{
    const bool result = QDialog::eventFilter(watched, event);
    if (event->type() == QEvent::Wheel)
        QMetaObject::invokeMethod(this, &TReportPreviewDialog::UpdatePages, Qt::QueuedConnection);
    return result;
}

QString TReportPreviewDialog::PageText() const
{
    return QStringLiteral("%1%2").arg(sePage->value()).arg(lblPages->text());
}

QString TReportPreviewDialog::ZoomText() const
{
    return lblZoom->text();
}

void TReportPreviewDialog::UpdatePages()
{
    const int count = PageCount();
    sePage->setMaximum(std::max(1, count));
    sePage->setValue(FPreview->currentPage());
    lblPages->setText(tr(" of %1 ").arg(count));
    lblZoom->setText(QStringLiteral("%1 %").arg(std::lround(FPreview->zoomFactor() * 100)));
}
