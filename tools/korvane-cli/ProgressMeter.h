#pragma once

#include "engine/run/TTestProgress.h"

#include <QString>

#include <cstdio>

// One line on a terminal that shows a running test's figures and is rewritten in place.
class ProgressMeter
{
public:
    // terminal: where the line goes; its width is asked for on every update.
    explicit ProgressMeter(FILE *terminal);
    ~ProgressMeter();
    ProgressMeter(const ProgressMeter &) = delete;
    ProgressMeter &operator=(const ProgressMeter &) = delete;

    void Show(const QString &target, const TTestProgress &progress);
    // Erases the line, so whatever is written next starts on a clean line.
    void Clear();

    // The line for a terminal of the given width: never as wide, so it cannot wrap.
    static QString Line(const QString &target, const TTestProgress &progress, int columns);

private:
    int Columns() const;

    FILE *FTerminal;
    bool FShown = false;
};
