#pragma once

#include "settings/PlacementTarget.h"

#include <QPointer>
#include <QWidget>

// The placement side of a real top-level widget: geometry and window state, the screen
// it is on (or the primary screen) for the size and logical pixels per inch.
class TWidgetPlacementTarget : public IPlacementTarget
{
public:
    explicit TWidgetPlacementTarget(QWidget* window);

    TWindowPlacement GetPlacement() const override;
    void ApplyPlacement(const TWindowPlacement& placement) override;
    void SetShowState(TWindowShowState state) override;

    bool IsVisible() const override;
    bool IsMainWindow() const override;
    bool IsApplicationMinimized() const override;
    void MinimizeApplication() override;

    int Width() const override;
    int Height() const override;
    int PixelsPerInch() const override;
    QSize ScreenSize() const override;

private:
    QPointer<QWidget> FWindow;
};
