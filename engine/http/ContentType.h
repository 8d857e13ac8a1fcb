#pragma once

#include <QString>

// What a Content-Type header value says about the body's text.
struct TContentType
{
    QString ContentType; // media type without parameters, e.g. "text/html"; "" when none
    QString CharSet;     // the charset parameter; "ISO-8859-1" for a text/* type without one; "" otherwise

    // A missing or empty value gives both parts empty.
    static TContentType Parse(const QString &headerValue);
};
