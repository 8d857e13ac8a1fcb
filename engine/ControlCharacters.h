#pragma once

#include <QString>

// Text from a server or a typed target made safe to show: every C0 control, DEL and C1
// control is written as a visible escape ("\r", "\n", "\t", otherwise "\xHH"), so no
// text can move a terminal's cursor, start an escape sequence or forge a log line.
QString EscapeControlCharacters(const QString &text);
