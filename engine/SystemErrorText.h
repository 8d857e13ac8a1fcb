#pragma once

#include <QString>

// Text of an error code: errno codes are positive, name-lookup (getaddrinfo) codes negative.
// Trailing blanks, control characters and full stops are removed.
QString SystemErrorText(int code);
