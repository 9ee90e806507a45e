// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Application.h"
#include "app/SettingsFile.h"
#include "forward/ForwardCredentials.h"

#include "SorvaneVersion.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <unistd.h>

namespace
{

struct Option {
    QCommandLineOption option;
    // Takes a value; false when it makes no sense.
    std::function<bool(const QString&)> apply;
    const char* expected; // what a good value looks like, for the error
    // Repeatable on the command line, a list in the settings file.
    bool list = false;
};

// A switch: set alone on the command line; on or off in the settings file.
bool parseSwitch(const QString& value, bool& on)
{
    if (!value.isEmpty())
        return parseOnOff(value, on);
    on = true;
    return true;
}

} // namespace

int parseCommandLine(const QStringList& arguments, AppSettings& settings)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Monitors the user-access events of the firewall servers on the local network."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    QString logFile = QStringLiteral("userfile");
    QString problem; // what is wrong with a value, where an option says more than its form
    QString clientCert, clientKey;
    EndpointSettings& endpoints = settings.endpoints;
    const Option options[] = {
        {{QStringLiteral("event-port"), QStringLiteral("UDP port on which events arrive (default 1023)."),
          QStringLiteral("N")},
         [&](const QString& v) { return parsePort(v, endpoints.eventPort); },
         "a port from 1 to 65535"},
        {{QStringLiteral("discovery-target"),
          QStringLiteral("Where the server discovery request goes (default 255.255.255.255:1019)."),
          QStringLiteral("ADDRESS[:PORT]")},
         [&](const QString& v) {
             return parseAddressPort(v, endpoints.discoveryAddress, endpoints.discoveryPort, DISCOVERY_PORT,
                                     &problem);
         },
         "an IPv4 ADDRESS[:PORT]"},
        {{QStringLiteral("log-file"),
          QStringLiteral("The log file (default: userfile in the current directory)."),
          QStringLiteral("PATH")},
         [&](const QString& v) {
             if (!v.isEmpty())
                 logFile = v;
             return !v.isEmpty();
         },
         "a file name"},
        {{QStringLiteral("max-event-rows"),
          QStringLiteral(
              "Most events the list shows; older ones stay in the log (default 20000000, 0 for no cap)."),
          QStringLiteral("N")},
         [&](const QString& v) {
             bool ok = false;
             const quint64 rows = v.toULongLong(&ok);
             if (ok && !v.isEmpty() && v.front().isDigit())
                 settings.dialog.maxEventRows = rows;
             return ok && !v.isEmpty() && v.front().isDigit();
         },
         "a whole number"},
        {{QStringLiteral("allow-from"),
          QStringLiteral("Accept events and discovery replies only from these senders (default: from any)."),
          QStringLiteral("A.B.C.D[/N],...")},
         [&](const QString& v) {
             QString bad;
             QString why;
             if (endpoints.allowed.parse(v, &bad, &why))
                 return true;
             problem = QStringLiteral("\"%1\" is not an IPv4 address or CIDR block").arg(bad);
             if (!why.isEmpty())
                 problem += QStringLiteral(": ") + why;
             return false;
         },
         "IPv4 addresses and CIDR blocks, comma-separated"},
        {{QStringLiteral("dump-views"),
          QStringLiteral("Keep a text copy of the window's views in PATH (diagnostics)."),
          QStringLiteral("PATH")},
         [&](const QString& v) {
             if (!v.isEmpty())
                 settings.dumpViewsPath = QFile::encodeName(QFileInfo(v).absoluteFilePath());
             return !v.isEmpty();
         },
         "a file name"},
        {{QStringLiteral("forward"),
          QStringLiteral("Also send every event to the syslog collector at URL: udp://HOST:PORT, "
                         "tcp://HOST:PORT or tls://HOST:PORT (repeatable)."),
          QStringLiteral("URL")},
         [&](const QString& v) {
             QString why;
             const std::optional<ForwardTarget> target = parseForwardUrl(v, &why);
             if (target)
                 settings.forward.targets.push_back(*target);
             else if (!why.isEmpty())
                 problem = QStringLiteral("\"%1\": %2").arg(v, why);
             return target.has_value();
         },
         "udp://HOST[:PORT], tcp://HOST:PORT or tls://HOST[:PORT]",
         true},
        {{QStringLiteral("forward-ca"),
          QStringLiteral("Verify tls:// collectors against the CA certificates in FILE (PEM) instead of the "
                         "system's."),
          QStringLiteral("FILE")},
         [&](const QString& v) {
             settings.forward.tls.caCertificates = readCaCertificates(v);
             return !settings.forward.tls.caCertificates.isEmpty();
         },
         "a readable file of PEM certificates"},
        {{QStringLiteral("forward-fingerprint"),
          QStringLiteral("Trust a tls:// collector whose certificate has this SHA-256 fingerprint, whatever "
                         "its issuer and names, instead of the CA and host-name checks (repeatable)."),
          QStringLiteral("SHA256:HEX")},
         [&](const QString& v) {
             const QByteArray digest = parseFingerprint(v);
             if (!digest.isEmpty())
                 settings.forward.tls.fingerprints << digest;
             return !digest.isEmpty();
         },
         "SHA256:HEX or sha-256:HEX, 64 hex digits with or without colons",
         true},
        {{QStringLiteral("forward-cert"),
          QStringLiteral("Show tls:// collectors the client certificate in FILE (PEM, then its issuers)."),
          QStringLiteral("FILE")},
         [&](const QString& v) { return !(clientCert = v).isEmpty(); },
         "a file name"},
        {{QStringLiteral("forward-key"),
          QStringLiteral(
              "The private key of --forward-cert, in FILE (PEM, not encrypted, mode 0600 or 0640)."),
          QStringLiteral("FILE")},
         [&](const QString& v) { return !(clientKey = v).isEmpty(); },
         "a file name"},
        {{QStringLiteral("headless"),
          QStringLiteral("Run without a window or display: no discovery, status lines on standard error.")},
         [&](const QString& v) { return parseSwitch(v, settings.headless); },
         "true or false (yes or no, on or off, 1 or 0)"},
    };
    for (const Option& o : options)
        parser.addOption(o.option);
    const QCommandLineOption settingsFile(
        QStringLiteral("settings"),
        QStringLiteral("The settings file (default ~/.config/sorvane/sorvane.conf)."),
        QStringLiteral("FILE"));
    parser.addOption(settingsFile);

    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "sorvane: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::puts("Sorvane Version " SORVANE_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "sorvane: unexpected argument: %s\n",
                     qPrintable(parser.positionalArguments().first()));
        return 2;
    }

    const bool named = parser.isSet(settingsFile);
    const QString settingsPath = named ? parser.value(settingsFile) : defaultSettingsPath();
    std::unique_ptr<QSettings> file;
    if (!openSettings(settingsPath, named, file))
        return 2;
    // A missing file is made when the window closes.
    settings.settingsPath = settingsPath;
    if (file) {
        QStringList optionKeys;
        for (const Option& o : options)
            optionKeys << o.option.names().constFirst();
        readSettings(*file, optionKeys, settings.dialog.layout, settings.alerts);
    }
    settings.forward.targets.clear();
    settings.forward.tls = TlsOptions();
    for (const Option& o : options) {
        const QString name = o.option.names().constFirst();
        const bool given = parser.isSet(o.option);
        if (!given && !(file && file->contains(name)))
            continue;
        QStringList values;
        if (given) {
            values = o.list ? parser.values(o.option) : QStringList{parser.value(o.option)};
        } else {
            // A single value with commas reads back as a list.
            const QVariant setting = file->value(name);
            values =
                o.list ? setting.toStringList() : QStringList{setting.toStringList().join(QLatin1Char(','))};
        }
        for (const QString& value : values) {
            problem.clear();
            if (o.apply(value))
                continue;
            // What the operator wrote and cannot be applied stops the start, from either place.
            const QString where =
                given ? QStringLiteral("--") + name : QStringLiteral("%1 in %2").arg(name, file->fileName());
            if (!problem.isEmpty())
                std::fprintf(stderr, "sorvane: %s: %s\n", qPrintable(where), qPrintable(problem));
            else
                std::fprintf(stderr, "sorvane: %s needs %s, not \"%s\"\n", qPrintable(where), o.expected,
                             qPrintable(value));
            return 2;
        }
    }
    if (!settings.forward.tls.fingerprints.isEmpty() && !settings.forward.tls.caCertificates.isEmpty()) {
        std::fputs(
            "sorvane: --forward-fingerprint trusts a collector in place of --forward-ca: give one of them\n",
            stderr);
        return 2;
    }
    if (!clientCert.isEmpty() || !clientKey.isEmpty()) {
        problem = readClientIdentity(clientCert, clientKey, settings.forward.tls);
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "sorvane: %s\n", qPrintable(problem));
            return 2;
        }
    }
    settings.dialog.userFilePath = QFile::encodeName(QFileInfo(logFile).absoluteFilePath());
    return -1;
}

QString inForceText(const AppSettings& settings)
{
    QStringList collectors;
    for (const ForwardTarget& target : settings.forward.targets)
        collectors << target.url();
    return QStringLiteral("forwarding to %1; accepting events from %2")
        .arg(collectors.isEmpty() ? QStringLiteral("no collector") : collectors.join(QStringLiteral(", ")),
             settings.endpoints.allowed.text());
}
