#include "support/fSplash.h"

#include "support/ProgramArt.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>

QPointer<TfrmSplash> TfrmSplash::FCurrent;

namespace {

QFont tahoma(int pixelHeight)
{
    QFont font(QStringLiteral("Tahoma"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelHeight);
    return font;
}

}  // namespace

TfrmSplash* TfrmSplash::Open(QWidget* mainWindow)
{
    Release();
    FCurrent = new TfrmSplash(mainWindow);
    return FCurrent;
}

TfrmSplash* TfrmSplash::Current()
{
    return FCurrent;
}

void TfrmSplash::Release()
{
    if (!FCurrent)
        return;
    TfrmSplash* splash = FCurrent;
    FCurrent = nullptr;
    splash->close();
    splash->deleteLater();
}

TfrmSplash::TfrmSplash(QWidget* mainWindow)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
    , FMainWindow(mainWindow)
{
    setObjectName(QStringLiteral("frmSplash"));
    setWindowTitle(QStringLiteral("Loading"));
    setAttribute(Qt::WA_DeleteOnClose, false);  // Release() frees it once the queue is served
    setFixedSize(538, 219);
    setFont(tahoma(11));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    const QPixmap logo = TProgramArt::Logo();
    Image1->setPixmap(logo);
    Image1->setGeometry(8, 8, logo.width(), logo.height());

    lblMessage = new QLabel(this);
    lblMessage->setObjectName(QStringLiteral("lblMessage"));
    lblMessage->setTextFormat(Qt::PlainText);
    lblMessage->setWordWrap(false);  // a long name is cut at the right edge
    lblMessage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblMessage->setContentsMargins(0, 2, 0, 2);
    QFont big = tahoma(35);
    big.setBold(true);
    big.setItalic(true);
    lblMessage->setFont(big);
    QPalette black = lblMessage->palette();
    black.setColor(QPalette::WindowText, Qt::black);
    lblMessage->setPalette(black);
    lblMessage->setGeometry(219, 8, 311, 42);
    lblMessage->setText(QStringLiteral("Korvane "));

    mmStatus = new QPlainTextEdit(this);
    mmStatus->setObjectName(QStringLiteral("mmStatus"));
    mmStatus->setFont(tahoma(16));
    mmStatus->setGeometry(219, 56, 311, 155);
    mmStatus->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    mmStatus->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mmStatus->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

TfrmSplash::~TfrmSplash()
{
    if (FCurrent == this)
        FCurrent = nullptr;
}

void TfrmSplash::setProgramName(const QString& text)
{
    lblMessage->setText(text);
}

void TfrmSplash::setStatusUpdt(const QString& line)
{
    mmStatus->appendPlainText(line);
}

void TfrmSplash::showCentred()
{
    QRect area;
    if (FMainWindow)
        area = FMainWindow->frameGeometry();
    if (area.isEmpty()) {
        if (QScreen* screen = QGuiApplication::primaryScreen())
            area = screen->availableGeometry();
    }
    QRect frame(QPoint(0, 0), size());
    frame.moveCenter(area.center());
    move(frame.topLeft());
    show();
    raise();
}
