#include "ui/TStatusPane.h"

#include <QLabel>

#include <algorithm>

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
        FWidths.append(widths[i]);
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
    if (index < 0 || index >= PanelCount())
        return;
    FPanels[index]->setText(text);
    if (index != PanelCount() - 1)
        FitPanel(index);
}

void TStatusPane::FitPanel(int index)
{
    // A pane keeps its set width and grows while its text needs more (a session's live
    // figures), so no figure is cut off; the last pane gives up the room.
    QLabel* pane = FPanels[index];
    const int margins = 2 * pane->frameWidth() + pane->contentsMargins().left() + pane->contentsMargins().right()
                        + 2 * pane->margin() + pane->fontMetrics().averageCharWidth();
    const int needed = pane->text().isEmpty() ? 0 : pane->fontMetrics().horizontalAdvance(pane->text()) + margins;
    // Live figures change every interval: the pane only grows while they run, so the bar is
    // not laid out again for every digit, and goes back to its set width once the text fits.
    const int current = pane->minimumWidth();
    const int width = needed <= FWidths[index] ? FWidths[index] : std::max(needed, current);
    if (width != current)
        pane->setFixedWidth(width);
}

int TStatusPane::PanelWidth(int index) const
{
    if (index < 0 || index >= PanelCount())
        return 0;
    return FWidths[index];
}

void TStatusPane::SetPanelWidth(int index, int width)
{
    if (index < 0 || index >= PanelCount() || width < 0)
        return;
    FWidths[index] = width;
    if (index == PanelCount() - 1)
        FPanels[index]->setMinimumWidth(width);
    else
        FitPanel(index);
}
