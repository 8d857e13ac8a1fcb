#include "support/AboutForm.h"

#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

namespace {

QFont arial(int pixelHeight, bool bold)
{
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelHeight);
    font.setBold(bold);
    return font;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QRect& bounds, const QFont& font,
                  const QString& designText)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setFont(font);
    // Product texts are shown as they are, never interpreted as markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(false);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setAttribute(Qt::WA_TranslucentBackground);
    label->setGeometry(bounds);
    TAboutForm::setLabelText(label, designText);
    return label;
}

QFrame* makePanel(QWidget* parent, const char* name, const QRect& bounds, const QColor& colour)
{
    auto* panel = new QFrame(parent);
    panel->setObjectName(QLatin1String(name));
    panel->setGeometry(bounds);
    panel->setAutoFillBackground(true);
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, colour);
    panel->setPalette(palette);
    return panel;
}

}  // namespace

TAboutForm::TAboutForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    setWindowTitle(QStringLiteral("About"));
    QFont base = font();
    base.setPointSize(8);
    setFont(base);
    setFixedSize(459, 169);

    const QPalette& pal = palette();
    Panel3 = makePanel(this, "Panel3", QRect(17, 25, 89, 89), pal.color(QPalette::Dark));
    Panel2 = makePanel(this, "Panel2", QRect(8, 16, 90, 89), pal.color(QPalette::Midlight));
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel2->setLineWidth(2);

    Image1 = new QLabel(Panel2);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(11, 11, 64, 64);
    Image1->setAttribute(Qt::WA_TranslucentBackground);
    Image1->setScaledContents(true);

    ProgramName = makeLabel(this, "ProgramName", QRect(112, 16, 329, 18), arial(15, true),
                            QStringLiteral("ProgramName"));
    FullVersion = makeLabel(this, "FullVersion", QRect(112, 41, 329, 17), arial(15, false),
                            QStringLiteral("Version"));
    Copyright = makeLabel(this, "Copyright", QRect(112, 66, 329, 16), arial(13, false),
                          QStringLiteral("Copyright"));
    Label4 = makeLabel(this, "Label4", QRect(112, 91, 329, 16), arial(13, false),
                       QStringLiteral("All Rights Reserved"));

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(16, 120, 424, 2);
    Panel1->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    Panel1->setLineWidth(1);

    CustomLines = makeLabel(this, "CustomLines", QRect(112, 136, 329, 16), arial(13, false), QString());

    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setGeometry(372, 137, 73, 25);
    btnOK->setDefault(true);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
}

int TAboutForm::setLabelText(QLabel* label, const QString& text)
{
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    label->setText(shown);
    // One line per line of text, and at least one line so an empty text keeps
    // the layout as it was.
    const int lines = std::max<qsizetype>(1, shown.count(QLatin1Char('\n')) + 1);
    const QFontMetrics metrics(label->font());
    const int height = metrics.height() + (lines - 1) * metrics.lineSpacing();
    const int change = height - label->height();
    label->resize(label->width(), height);
    return change;
}

void TAboutForm::moveDown(QWidget* control, int d)
{
    control->move(control->x(), control->y() + d);
}

void TAboutForm::growBy(int d)
{
    setFixedSize(width(), height() + d);
}
