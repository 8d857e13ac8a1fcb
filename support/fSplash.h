#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QPlainTextEdit;

// Borderless "busy loading / saving" window, 538 x 219, always on top, centred
// on the main window. Only one exists at a time: Open() releases any earlier
// one first. Children: Image1 (logo), lblMessage, mmStatus.
class TfrmSplash : public QWidget
{
    Q_OBJECT
public:
    // Creates the single splash (releasing a previous one at once) without
    // showing it; the caller sets the texts, then calls showCentred().
    static TfrmSplash* Open(QWidget* mainWindow = nullptr);
    // The open splash, or null.
    static TfrmSplash* Current();
    // Closes the open splash and frees it when the event queue is next served.
    static void Release();

    // Puts the program name into lblMessage (cut at the label's edge, not wrapped).
    void setProgramName(const QString& text);
    // Appends one status line at the end of mmStatus.
    void setStatusUpdt(const QString& line);

    // Shows the window centred on the main window given to Open() (the screen
    // when there is none).
    void showCentred();

    ~TfrmSplash() override;

private:
    explicit TfrmSplash(QWidget* mainWindow);

    QPointer<QWidget> FMainWindow;
    QLabel* Image1 = nullptr;
    QLabel* lblMessage = nullptr;
    QPlainTextEdit* mmStatus = nullptr;

    static QPointer<TfrmSplash> FCurrent;
};
