#include "ui/TStatusPane.h"

#include <QLabel>

TStatusPane::TStatusPane(QWidget* parent)
    : QStatusBar(parent)
{
    setSizeGripEnabled(true);
    const int widths[] = {200, 50};
    for (int i = 0; i < 2; ++i) {
        auto* pane = new QLabel(this);
        pane->setObjectName(QStringLiteral("StatusPane1Panel%1").arg(i));
        pane->setFrameShape(QFrame::Panel);
        pane->setFrameShadow(QFrame::Sunken);
        pane->setTextFormat(Qt::PlainText);
        FPanels.append(pane);
        const bool last = i == 1;
        if (last)
            pane->setMinimumWidth(widths[i]);
        else
            pane->setFixedWidth(widths[i]);
        addPermanentWidget(pane, last ? 1 : 0);
    }
}

QString TStatusPane::PanelText(int index) const
{
    return index >= 0 && index < PanelCount() ? FPanels[index]->text() : QString();
}

void TStatusPane::SetPanelText(int index, const QString& text)
{
    if (index >= 0 && index < PanelCount())
        FPanels[index]->setText(text);
}

int TStatusPane::PanelWidth(int index) const
{
    if (index < 0 || index >= PanelCount())
        return 0;
    return index == PanelCount() - 1 ? FPanels[index]->minimumWidth() : FPanels[index]->width();
}

void TStatusPane::SetPanelWidth(int index, int width)
{
    if (index < 0 || index >= PanelCount() || width < 0)
        return;
    if (index == PanelCount() - 1)
        FPanels[index]->setMinimumWidth(width);
    else
        FPanels[index]->setFixedWidth(width);
}
