#pragma once

#include <QString>

#include <functional>

class QWidget;
class TResultsTable;

// File > Export Results...: saves the results table as CSV or JSON lines, by the
// type of the file chosen.
class TResultsExport
{
public:
    // Asks for the file to write; an empty name means the user cancelled.
    using TFileChooser = std::function<QString(QWidget* parent)>;

    // Replaces the file dialog (tests); returns the previous chooser. An empty
    // chooser restores the dialog.
    static TFileChooser SetFileChooser(TFileChooser chooser);

    // With no rows (or no open table) shows "Sorry, nothing to export." and returns
    // an empty name. Otherwise asks for a file and writes it; returns the name
    // written, empty when cancelled. A failed write throws EStorageError.
    static QString Execute(QWidget* parent, const TResultsTable* table);

private:
    static QString ChooseFile(QWidget* parent);
};
