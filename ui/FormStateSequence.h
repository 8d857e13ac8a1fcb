#pragma once

#include "ui/FormStateWindow.h"

#include <QString>

#include <functional>

class TFormStorage;

// Restores the main window's saved state once, at its first show and before it is
// visible, and saves it when the window closes (or, failing that, when it is destroyed).
// Both run behind a splash. The restore always ends with the stored statistics carried
// in, a results store and no splash, whatever step failed; every failure goes to the
// window's error log. Statistics that never came in are not written back.
class TFormStateSequence
{
public:
    TFormStateSequence(TFormStorage& formStore, IFormStateWindow& window);

    static inline const QString LoadingLine = QStringLiteral("Loading program data please wait.");
    static inline const QString SavingLine = QStringLiteral("Saving program data please wait.");

    // Runs once per program run; later calls do nothing.
    void Restore();
    // At an accepted close.
    void Save();
    // At destruction: saves only when no save has run since the restore.
    void SaveIfNotSaved();

    bool Restored() const { return FRestored; }
    bool Saved() const { return FSaved; }

    // The window's four handlers around the recorder's own work.
    void FormStoreBeforeRestorePlacement();
    void FormStoreAfterRestorePlacement();
    void FormStoreBeforeSavePlacement();
    void FormStoreAfterSavePlacement();

    // A store's largest speed as the bar maximum: nearest integer, halves to even,
    // held inside the int range.
    static int SpeedMaximumFor(double maxResult);

private:
    void OpenSplash(const QString& lastLine);
    void ReleaseOpenSplash();
    void EnsureResultsStore();
    // Reads the accumulated statistics (unusable values count as missing) into the window.
    void RestoreStatistics();
    // Runs a step and hands whatever it throws to the window; false when it threw.
    bool Guarded(const std::function<void()>& step);

    TFormStorage& FFormStore;
    IFormStateWindow& FWindow;
    bool FRestored = false;
    bool FSaved = false;
    bool FWindowStateRestored = false;
    bool FStatisticsTried = false;
    bool FStatisticsRestored = false;
};
