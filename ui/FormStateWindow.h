#pragma once

#include "settings/PlacementTarget.h"

#include <QString>
#include <QStringList>

#include <exception>

// What the saved-state restore and save need from the main window: the splash, the
// placement, the measurement object's statistics, the results store and the error log.
// The real window implements it; tests use a fake that records the calls.
class IFormStateWindow
{
public:
    virtual ~IFormStateWindow() = default;

    // The version texts the splash shows.
    virtual QString ProductName() const = 0;
    virtual QString Version() const = 0;

    // Opens the one splash with the program name and the status lines, shows it and
    // lets it paint before the work starts.
    virtual void OpenSplash(const QString& programName, const QStringList& statusLines) = 0;
    virtual bool SplashOpen() const = 0;
    // Closes the splash; it is freed when the event queue is next served.
    virtual void ReleaseSplash() = 0;

    virtual IPlacementTarget& PlacementTarget() = 0;

    virtual int AccumulatedTestCount() const = 0;
    virtual double AccumulatedAverageSpeed() const = 0;
    virtual void RestoreAccumulatedResults(int count, double average) = 0;

    virtual bool ResultsStoreExists() const = 0;
    // Creates and opens the results store in the per-user folder (the chart loads its
    // bars) and returns its largest speed.
    virtual double CreateResultsStore() = 0;
    // The speed at which a bar of the grid is full.
    virtual void SetSpeedMaximum(int maximum) = 0;

    // The application-wide handler: the error goes to the log.
    virtual void ReportStateError(const std::exception& error) = 0;
};
