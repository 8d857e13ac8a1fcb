#pragma once

#include <QPoint>

// A window's placement record, in the units the settings file stores.
// ShowCmd: 0 hidden, 1 normal, 2 minimized, 3 maximized (other values read as normal).
// The normal rectangle is left, top, right, bottom (right and bottom exclusive).
struct TWindowPlacement
{
    int ShowCmd = 0;
    int Flags = 0;
    QPoint MinPosition;
    QPoint MaxPosition;
    int NormalLeft = 0;
    int NormalTop = 0;
    int NormalRight = 0;
    int NormalBottom = 0;

    bool operator==(const TWindowPlacement&) const = default;
};

enum class TWindowShowState { Normal, Minimized, Maximized };
