#pragma once

#include <QString>

// A line after an error that tells a person what to do about it, worded for the front end
// that shows it; empty when there is nothing to add. The error line itself never changes.
namespace FailureHint {

enum class TFrontEnd { Window, Cli };

QString For(const QString &errorMessage, TFrontEnd frontEnd);

} // namespace FailureHint
