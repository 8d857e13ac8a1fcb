#pragma once

#include "settings/PlacementTarget.h"

#include <QList>
#include <QString>

// A window that records what the placement rules do to it.
class FakePlacementTarget : public IPlacementTarget
{
public:
    TWindowPlacement Current;
    bool Visible = false;
    bool MainWindow = true;
    bool ApplicationMinimized = false;
    int WindowWidth = 740;
    int WindowHeight = 621;
    int Dpi = 96;
    QSize Screen{1920, 1080};

    QList<TWindowPlacement> Applied;
    QList<TWindowShowState> States;
    int MinimizeCalls = 0;

    TWindowPlacement GetPlacement() const override { return Current; }
    void ApplyPlacement(const TWindowPlacement& placement) override { Applied.append(placement); }
    void SetShowState(TWindowShowState state) override { States.append(state); }
    bool IsVisible() const override { return Visible; }
    bool IsMainWindow() const override { return MainWindow; }
    bool IsApplicationMinimized() const override { return ApplicationMinimized; }
    void MinimizeApplication() override { ++MinimizeCalls; }
    int Width() const override { return WindowWidth; }
    int Height() const override { return WindowHeight; }
    int PixelsPerInch() const override { return Dpi; }
    QSize ScreenSize() const override { return Screen; }
};
