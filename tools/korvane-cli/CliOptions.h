#pragma once

#include <QString>
#include <QStringList>

// Command line of korvane-cli.
struct CliOptions
{
    enum class ParseResult { Ok, Help, Version, Error };

    bool web = false;
    int port = 80;
    bool json = false;
    double timeoutSeconds = 0; // 0: no limit
    double intervalSeconds = 0; // 0: no interval reports
    bool quiet = false;         // no meter on the terminal
    QString metricsFile;       // empty: none written
    bool allowHttps = false;   // web tests may fetch https pages
    QString caFile;            // trusted for https besides the system's CAs
    QStringList targets;

    static ParseResult parse(const QStringList &arguments, CliOptions &options, QString &error);
    static QString usage();
};
