#pragma once

#include <QString>

// A URL split into the parts an HTTP client needs, and the client's current URI
// that every request URL and redirect target is merged into.
struct TUri
{
    QString Protocol;  // lower case; "http", "https" or whatever scheme was given
    QString Host;      // name or numeric address, IPv6 without brackets
    QString Port;      // as written (decimal digits expected), may be empty
    QString Path;      // directory part: starts and ends with "/" once merged
    QString Document;  // last path segment, fragment cut off
    QString Query;     // after the "?", without it; may hold a "#"
    QString Username;
    QString Password;
    int IPVersion = 4; // 6 when the host was written in brackets

    // The parts the text gives, each possibly empty. Never throws.
    static TUri ParseURL(const QString &text);

    // Parses text and merges it into this URI. Throws EHttpInvalidUrl for a host that no
    // host name can be (see IsValidHostName), EHttpUnknownProtocol when no port can be
    // determined; this URI is then left unchanged.
    void MergeURL(const QString &text);

    // Path + Document, then "?" + Query when the query is not empty. Bytes that may
    // not stand in a request line (controls, blanks, non-ASCII) are percent-encoded.
    QString RequestTarget() const;

    // Host alone on the scheme's default port, else host ":" port; IPv6 in brackets.
    QString HostHeaderValue() const;

    // Port as a number 1..65535, or -1 when the port text is not one.
    int PortNumber() const;

    // A typed web target as a URL: "http://" is put in front unless it starts with a
    // scheme and "://" ("host/p?u=http://x" is a page on host).
    static QString WebTarget(const QString &typed);

    bool operator==(const TUri &) const = default;
};
