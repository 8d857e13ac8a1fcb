#include "tools/korvane-cli/CliOptions.h"

#include "engine/http/Uri.h"

#include <cmath>

QString CliOptions::usage()
{
    return QStringLiteral(
        "Usage: korvane-cli [--web] [--port N] [--json] [--timeout SECONDS] [--interval SECONDS]\n"
        "                   [--quiet] [--metrics-file PATH] [--allow-https [--cacert FILE]]\n"
        "                   [--plan DOWN/UP] TARGET...\n"
        "       korvane-cli [--streams N] [--direction download|upload|both] [--seconds S]\n"
        "                   [--session-port N] [--window BYTES] [--secret-file PATH]\n"
        "                   [--json] [--timeout SECONDS] [--interval SECONDS] [--quiet]\n"
        "                   [--metrics-file PATH] SERVER...\n"
        "       either with [--latency | --no-latency] [--probe-interval MS] [-4 | -6] [--plan DOWN/UP]\n"
        "Runs one download test per target, in order, and reports each result.\n"
        "A server is a name or address, with :PORT after it if wanted (IPv6 in brackets:\n"
        "[::1]:8081); a port written there wins over --port and --session-port.\n"
        "Any of the session options runs a session test on a Korvane server instead:\n"
        "several streams, either direction, with the server's TCP figures.\n"
        "  --web              test web pages (a target without a scheme gets http://)\n"
        "  --port N           port of the Korvane server, 1 to 65535 (default 80)\n"
        "  --json             one JSON object per test instead of the log\n"
        "  --timeout SECONDS  cancel a test that runs longer, and count it as failed\n"
        "  --interval SECONDS report the amount and rate of every interval while a test runs\n"
        "  --quiet            no live meter on the terminal\n"
        "  --metrics-file PATH  after each test, write the results for Prometheus there\n"
        "  --allow-https      web tests may fetch https pages (verified against the system's CAs)\n"
        "  --cacert FILE      with --allow-https: trust the CA certificates in FILE (PEM) as well\n"
        "  --plan DOWN/UP     the rates paid for, in bits per second with k, M or G (100M/20M);\n"
        "                     each result then carries its share of the plan\n"
        "Session tests:\n"
        "  --streams N        parallel TCP connections per direction, 1 to 64 (default 1)\n"
        "  --direction D      download, upload, or both: download then upload (default download)\n"
        "  --seconds S        length of each direction, 0.1 to 86400 (default 10)\n"
        "  --session-port N   session port of the server, 1 to 65535 (default 8082)\n"
        "  --window BYTES     socket buffer of each client connection (default: the kernel's)\n"
        "  --secret-file PATH the server's shared secret, for a server that asks for one\n"
        "Latency under load:\n"
        "  --latency          measure latency before and during the test (default for session tests)\n"
        "  --no-latency       do not measure latency\n"
        "  --probe-interval MS  time between probes during the test, 10 to 10000 (default 100)\n"
        "Address family:\n"
        "  -4, --ipv4         connect over IPv4 only\n"
        "  -6, --ipv6         connect over IPv6 only\n"
        "                     (default: every address of the name, IPv6 first, the first to answer)\n"
        "  -h, --help         show this help and exit\n"
        "  --version          show the version and exit\n"
        "Exit status: 0 every test valid, 1 a test invalid or failed, 2 usage error.\n");
}

CliOptions::ParseResult CliOptions::parse(const QStringList &arguments, CliOptions &options, QString &error)
{
    bool optionsEnded = false;
    for (int i = 1; i < arguments.size(); ++i) {
        QString arg = arguments.at(i);
        if (optionsEnded || !arg.startsWith(u'-') || arg == u'-') {
            if (arg.isEmpty()) {
                error = QStringLiteral("empty target");
                return ParseResult::Error;
            }
            options.targets << arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help"))
            return ParseResult::Help;
        if (arg == QLatin1String("--version"))
            return ParseResult::Version;
        if (arg == QLatin1String("--web")) {
            options.web = true;
            continue;
        }
        if (arg == QLatin1String("--json")) {
            options.json = true;
            continue;
        }
        if (arg == QLatin1String("--latency") || arg == QLatin1String("--no-latency")) {
            options.latency = arg == QLatin1String("--latency") ? 1 : 0;
            continue;
        }
        if (arg == QLatin1String("--quiet")) {
            options.quiet = true;
            continue;
        }
        if (arg == QLatin1String("--allow-https")) {
            options.allowHttps = true;
            continue;
        }
        if (arg == QLatin1String("-4") || arg == QLatin1String("--ipv4") || arg == QLatin1String("-6")
            || arg == QLatin1String("--ipv6")) {
            const int version = arg.contains(u'4') ? 4 : 6;
            if (options.ipVersion != 0 && options.ipVersion != version) {
                error = QStringLiteral("-4 and -6 cannot be combined");
                return ParseResult::Error;
            }
            options.ipVersion = version;
            continue;
        }

        QString value;
        const qsizetype eq = arg.indexOf(u'=');
        if (eq > 0) {
            value = arg.mid(eq + 1);
            arg.truncate(eq);
        } else if (arg == QLatin1String("--port") || arg == QLatin1String("--timeout")
                   || arg == QLatin1String("--interval") || arg == QLatin1String("--metrics-file")
                   || arg == QLatin1String("--streams") || arg == QLatin1String("--direction")
                   || arg == QLatin1String("--seconds") || arg == QLatin1String("--session-port")
                   || arg == QLatin1String("--window") || arg == QLatin1String("--secret-file")
                   || arg == QLatin1String("--cacert") || arg == QLatin1String("--probe-interval")
                   || arg == QLatin1String("--plan")) {
            if (i + 1 >= arguments.size()) {
                error = QStringLiteral("missing value for %1").arg(arg);
                return ParseResult::Error;
            }
            value = arguments.at(++i);
        }

        if (arg == QLatin1String("--port")) {
            bool ok = false;
            const int port = value.toInt(&ok);
            if (!ok || port < 1 || port > 65535) {
                error = QStringLiteral("port must be a number from 1 to 65535: %1").arg(value);
                return ParseResult::Error;
            }
            options.port = port;
            options.portGiven = true;
        } else if (arg == QLatin1String("--timeout")) {
            bool ok = false;
            const double seconds = value.toDouble(&ok);
            if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > 2e6) {
                error = QStringLiteral("timeout must be a number of seconds above 0: %1").arg(value);
                return ParseResult::Error;
            }
            options.timeoutSeconds = seconds;
        } else if (arg == QLatin1String("--interval")) {
            bool ok = false;
            const double seconds = value.toDouble(&ok);
            // Shorter intervals would flood the output without showing anything new.
            if (!ok || !std::isfinite(seconds) || seconds < 0.01 || seconds > 2e6) {
                error = QStringLiteral("interval must be a number of seconds from 0.01: %1").arg(value);
                return ParseResult::Error;
            }
            options.intervalSeconds = seconds;
        } else if (arg == QLatin1String("--metrics-file")) {
            if (value.isEmpty()) {
                error = QStringLiteral("metrics file name is empty");
                return ParseResult::Error;
            }
            options.metricsFile = value;
        } else if (arg == QLatin1String("--streams")) {
            bool ok = false;
            const int streams = value.toInt(&ok);
            if (!ok || streams < 1 || streams > 64) {
                error = QStringLiteral("streams must be a number from 1 to 64: %1").arg(value);
                return ParseResult::Error;
            }
            options.streams = streams;
        } else if (arg == QLatin1String("--direction")) {
            if (value != QLatin1String("download") && value != QLatin1String("upload") && value != QLatin1String("both")) {
                error = QStringLiteral("direction must be download, upload or both: %1").arg(value);
                return ParseResult::Error;
            }
            options.direction = value;
        } else if (arg == QLatin1String("--seconds")) {
            bool ok = false;
            const double seconds = value.toDouble(&ok);
            if (!ok || !std::isfinite(seconds) || seconds < 0.1 || seconds > 86400) {
                error = QStringLiteral("seconds must be a number from 0.1 to 86400: %1").arg(value);
                return ParseResult::Error;
            }
            options.seconds = seconds;
        } else if (arg == QLatin1String("--session-port")) {
            bool ok = false;
            const int port = value.toInt(&ok);
            if (!ok || port < 1 || port > 65535) {
                error = QStringLiteral("session port must be a number from 1 to 65535: %1").arg(value);
                return ParseResult::Error;
            }
            options.sessionPort = port;
        } else if (arg == QLatin1String("--window")) {
            bool ok = false;
            const qlonglong bytes = value.toLongLong(&ok);
            // The kernel doubles the value and caps it at its own maximum; beyond 1 GiB is a typo.
            if (!ok || bytes < 1 || bytes > (1LL << 30)) {
                error = QStringLiteral("window must be a number of bytes from 1 to 1073741824: %1").arg(value);
                return ParseResult::Error;
            }
            options.window = int(bytes);
        } else if (arg == QLatin1String("--probe-interval")) {
            bool ok = false;
            const int ms = value.toInt(&ok);
            if (!ok || ms < 10 || ms > 10000) {
                error = QStringLiteral("probe interval must be a number of milliseconds from 10 to 10000: %1").arg(value);
                return ParseResult::Error;
            }
            options.probeIntervalMs = ms;
        } else if (arg == QLatin1String("--secret-file")) {
            if (value.isEmpty()) {
                error = QStringLiteral("secret file name is empty");
                return ParseResult::Error;
            }
            options.secretFile = value;
        } else if (arg == QLatin1String("--plan")) {
            if (!TRatePlan::Parse(value, options.ratePlan, error))
                return ParseResult::Error;
        } else if (arg == QLatin1String("--cacert")) {
            if (value.isEmpty()) {
                error = QStringLiteral("CA file name is empty");
                return ParseResult::Error;
            }
            options.caFile = value;
        } else {
            error = QStringLiteral("unknown option: %1").arg(arguments.at(i));
            return ParseResult::Error;
        }
    }
    if (options.session() && options.web) {
        error = QStringLiteral("--web cannot be combined with the session options");
        return ParseResult::Error;
    }
    if (options.session() && options.portGiven) {
        error = QStringLiteral("--port is the stream test's port; a session test uses --session-port");
        return ParseResult::Error;
    }
    if (options.targets.isEmpty()) {
        error = QStringLiteral("no target given");
        return ParseResult::Error;
    }
    // Without https a CA file would be ignored, and its user left wondering why.
    if (!options.caFile.isEmpty() && !options.allowHttps) {
        error = QStringLiteral("--cacert needs --allow-https");
        return ParseResult::Error;
    }
    return ParseResult::Ok;
}

TTestPlan CliOptions::plan(const QString &target) const
{
    TTestPlan plan;
    plan.Kind = session() ? TTestKind::Session : web ? TTestKind::WebPage : TTestKind::ServerStream;
    // Web targets without a scheme get "http://" in front.
    plan.Target = web && !session() ? TUri::WebTarget(target) : target;
    plan.Port = port;
    if (sessionPort > 0)
        plan.SessionPort = sessionPort;
    plan.Direction = direction == QLatin1String("upload") ? TSessionRequest::Upload
                     : direction == QLatin1String("both") ? TSessionRequest::Both
                                                          : TSessionRequest::Download;
    if (streams > 0)
        plan.Streams = streams;
    if (seconds > 0)
        plan.Seconds = seconds;
    plan.Window = std::max(0, window);
    plan.IpVersion = ipVersion == 4 ? TIpVersion::IPv4Only : ipVersion == 6 ? TIpVersion::IPv6Only : TIpVersion::Automatic;
    plan.Latency = latencyOn();
    plan.ProbeIntervalMs = probeIntervalMs;
    plan.AllowHttps = allowHttps;
    plan.TrustedCaFile = caFile;
    plan.TimeLimitSeconds = timeoutSeconds;
    plan.RatePlan = ratePlan;
    return plan;
}
