#pragma once

#include <QList>
#include <QStatusBar>
#include <QString>

class QLabel;

// The status bar (StatusPane1): two text panes, 200 and 50 pixels wide; the first grows
// while its text is wider, the last takes whatever width is left, so no text is cut off.
// The widths read and stored are the set ones.
class TStatusPane : public QStatusBar
{
    Q_OBJECT
public:
    explicit TStatusPane(QWidget* parent = nullptr);

    int PanelCount() const { return static_cast<int>(FPanels.size()); }
    // Out-of-range indexes read as empty and are ignored when written.
    QString PanelText(int index) const;
    void SetPanelText(int index, const QString& text);
    int PanelWidth(int index) const;
    void SetPanelWidth(int index, int width);

private:
    void FitPanel(int index);

    QList<QLabel*> FPanels;
    QList<int> FWidths;
};
