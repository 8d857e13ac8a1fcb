#pragma once

#include "settings/WindowPlacement.h"

#include <QSize>

// The window side of the placement save and restore: the rules live in TFormStorage,
// a window (or a test's fake) only reports and applies its state through this.
class IPlacementTarget
{
public:
    virtual ~IPlacementTarget() = default;

    // The current record. Its ShowCmd reflects the window's own state (1, 2 or 3).
    virtual TWindowPlacement GetPlacement() const = 0;
    // Moves the window to the record's normal rectangle and minimized position, taking
    // it off any position the window system would choose; a ShowCmd of 0 must not show it.
    virtual void ApplyPlacement(const TWindowPlacement& placement) = 0;
    virtual void SetShowState(TWindowShowState state) = 0;

    virtual bool IsVisible() const = 0;
    virtual bool IsMainWindow() const = 0;
    virtual bool IsApplicationMinimized() const = 0;
    // Minimizes the whole application (asynchronously is fine).
    virtual void MinimizeApplication() = 0;

    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual int PixelsPerInch() const = 0;
    // The primary screen's size in pixels, for the "(WxH)" key variants.
    virtual QSize ScreenSize() const = 0;
};
