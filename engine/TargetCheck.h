#pragma once

#include <QString>

// A target is shown in the log and on the wire, so it may hold no control characters:
// a line feed in it would write a line of its own into the log.
namespace TargetCheck {

// Empty when the target can be tested, else why not (the character named as U+XXXX).
QString problem(const QString &target);

} // namespace TargetCheck
