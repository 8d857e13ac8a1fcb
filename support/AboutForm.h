#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

// The about box's fixed layout (client area 459 x 169). TAboutInfo fills the
// texts and moves the controls below a label that grew; children carry their
// names as objectName (ProgramName, FullVersion, Copyright, Label4, Panel1,
// CustomLines, btnOK, Image1, Panel2, Panel3).
class TAboutForm : public QDialog
{
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* parent = nullptr);

    // Sets a label's text and sizes its height to the text, one line per line
    // (no wrapping, width kept). Returns how many pixels the height changed by.
    static int setLabelText(QLabel* label, const QString& text);

    // Moves a control down (or up, for negative d) by d pixels.
    static void moveDown(QWidget* control, int d);

    // Grows the client area by d pixels in height.
    void growBy(int d);

    QFrame* Panel3 = nullptr;
    QFrame* Panel2 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* ProgramName = nullptr;
    QLabel* FullVersion = nullptr;
    QLabel* Copyright = nullptr;
    QLabel* Label4 = nullptr;  // "All Rights Reserved"
    QFrame* Panel1 = nullptr;
    QLabel* CustomLines = nullptr;
    QPushButton* btnOK = nullptr;
};
