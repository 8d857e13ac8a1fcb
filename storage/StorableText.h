#pragma once

#include <QString>

// The text with '?' in place of what an XML 1.0 document cannot hold (most control
// characters, lone surrogates, U+FFFE and U+FFFF), so a stored name can never damage
// the results file, whether it came from a test or from the file itself.
QString StorableText(const QString& text);
