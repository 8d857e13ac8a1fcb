#pragma once

#include "support/VersionInfo.h"

#include <memory>

class QWidget;
class TAboutForm;

// The version reader with an about box on top. The main window's AboutInfo1.
class TAboutInfo : public TVersionInfo
{
    Q_OBJECT
    Q_PROPERTY(QString CustomLines READ CustomLines WRITE setCustomLines)
public:
    explicit TAboutInfo(QObject* Owner = nullptr);
    TAboutInfo(const TVersionBlock& block, QObject* Owner = nullptr);

    // Extra text shown under the copyright; empty unless set.
    QString CustomLines() const { return strCuStom; }
    void setCustomLines(const QString& text) { strCuStom = text; }

    // Builds a fresh about box, shows it modally centred over `centreOn`
    // (the active window when null) and frees it when the user closes it.
    void Show(QWidget* centreOn = nullptr);

    // Builds the about box with its texts set and its layout adjusted, without
    // showing it. Show uses this; tests inspect the result.
    std::unique_ptr<TAboutForm> BuildForm(QWidget* centreOn = nullptr) const;

private:
    QString strCuStom;
};
