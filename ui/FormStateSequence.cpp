#include "ui/FormStateSequence.h"

#include "settings/FormStorage.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

const QString FormVersionKey = QStringLiteral("FormVersion");
const QString TestCountKey = QStringLiteral("AccumulatedTestCount");
const QString AverageSpeedKey = QStringLiteral("AccumulatedAverageSpeed");

// The window's design version; a file written by a newer design is not applied.
constexpr int FormVersion = 0;

} // namespace

TFormStateSequence::TFormStateSequence(TFormStorage& formStore, IFormStateWindow& window)
    : FFormStore(formStore)
    , FWindow(window)
{
}

void TFormStateSequence::Restore()
{
    if (FRestored)
        return;
    // Marked first: the splash lets events run, and nothing in them may start a second restore.
    FRestored = true;
    FSaved = false;
    Guarded([this] {
        if (FFormStore.ReadInteger(FormVersionKey, FormVersion) < FormVersion)
            return;
        FormStoreBeforeRestorePlacement();
        FFormStore.RestorePlacement(FWindow.PlacementTarget());
        FWindowStateRestored = true;
        FFormStore.RestoreStoredProps();
        FormStoreAfterRestorePlacement();
    });
    // Whatever failed above, the rest of the program needs its results store, and the
    // loading splash must not stay up until the close. The statistics come in too:
    // otherwise the close would write this run's count over the stored history.
    if (!FStatisticsTried)
        Guarded([this] { RestoreStatistics(); });
    Guarded([this] { EnsureResultsStore(); });
    Guarded([this] { ReleaseOpenSplash(); });
}

void TFormStateSequence::Save()
{
    const bool completed = Guarded([this] {
        FormStoreBeforeSavePlacement();
        FFormStore.WriteInteger(FormVersionKey, FormVersion);
        // A window state that was never applied is not written back over the stored one.
        if (FWindowStateRestored) {
            FFormStore.SavePlacement(FWindow.PlacementTarget());
            FFormStore.SaveStoredProps();
        }
        FormStoreAfterSavePlacement();
    });
    if (!completed) {
        Guarded([this] { ReleaseOpenSplash(); });
        return;
    }
    FSaved = true;
}

void TFormStateSequence::SaveIfNotSaved()
{
    if (!FSaved)
        Save();
}

void TFormStateSequence::FormStoreBeforeRestorePlacement()
{
    OpenSplash(LoadingLine);
}

void TFormStateSequence::FormStoreAfterRestorePlacement()
{
    RestoreStatistics();
    EnsureResultsStore();
    FWindow.ReleaseSplash();
}

void TFormStateSequence::RestoreStatistics()
{
    double average = FFormStore.ReadFloat(AverageSpeedKey, 0);
    int count = FFormStore.ReadInteger(TestCountKey, 0);
    // Values no run can produce (a hand-edited or damaged file) count as missing: they
    // would poison every later average.
    if (count < 0 || !std::isfinite(average) || average < 0) {
        count = 0;
        average = 0;
    }
    FStatisticsTried = true;   // a failing window is not asked twice
    FWindow.RestoreAccumulatedResults(count, average);
    FStatisticsRestored = true;
}

void TFormStateSequence::FormStoreBeforeSavePlacement()
{
    ReleaseOpenSplash();
    OpenSplash(SavingLine);
}

void TFormStateSequence::FormStoreAfterSavePlacement()
{
    // Statistics that never came in from the file would overwrite the stored ones with
    // this run's alone.
    if (FStatisticsRestored) {
        FFormStore.WriteInteger(TestCountKey, FWindow.AccumulatedTestCount());
        FFormStore.WriteFloat(AverageSpeedKey, FWindow.AccumulatedAverageSpeed());
    }
    FWindow.ReleaseSplash();
}

int TFormStateSequence::SpeedMaximumFor(double maxResult)
{
    if (std::isnan(maxResult))
        return 1;
    constexpr double lowest = std::numeric_limits<int>::min();
    constexpr double highest = std::numeric_limits<int>::max();
    if (maxResult <= lowest)
        return std::numeric_limits<int>::min();
    if (maxResult >= highest)
        return std::numeric_limits<int>::max();
    const double below = std::floor(maxResult);
    const double fraction = maxResult - below;
    double rounded = below;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(below, 2.0) != 0))
        rounded = below + 1;
    return static_cast<int>(rounded);
}

void TFormStateSequence::OpenSplash(const QString& lastLine)
{
    const QString productName = FWindow.ProductName();
    FWindow.OpenSplash(productName,
                       {productName + QStringLiteral(" v.") + FWindow.Version(), lastLine});
}

void TFormStateSequence::ReleaseOpenSplash()
{
    if (FWindow.SplashOpen())
        FWindow.ReleaseSplash();
}

void TFormStateSequence::EnsureResultsStore()
{
    if (FWindow.ResultsStoreExists())
        return;
    FWindow.SetSpeedMaximum(SpeedMaximumFor(FWindow.CreateResultsStore()));
}

bool TFormStateSequence::Guarded(const std::function<void()>& step)
{
    try {
        step();
        return true;
    } catch (const std::exception& error) {
        FWindow.ReportStateError(error);
    } catch (...) {
        FWindow.ReportStateError(std::runtime_error("Unknown error while restoring or saving the program state"));
    }
    return false;
}
