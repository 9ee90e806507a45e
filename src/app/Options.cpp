// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Application.h"
#include "app/SettingsFile.h"
#include "forward/ForwardCredentials.h"
#include "store/StoreFile.h"

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
#include <vector>

namespace
{

constexpr int MAX_STORE_DAYS = 36500;

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

// A whole number of digits only (no sign), up to `most`; `value` is left alone otherwise.
bool parseWholeNumber(const QString& v, quint64 most, quint64& value)
{
    bool ok = false;
    const quint64 number = v.toULongLong(&ok);
    if (!ok || v.isEmpty() || !v.front().isDigit() || number > most)
        return false;
    value = number;
    return true;
}

// What the options fill in, with what they are checked against together afterwards.
struct Parsed {
    explicit Parsed(AppSettings& into) : settings(into) {}
    AppSettings& settings;
    QString logFile = QStringLiteral("userfile");
    QString store;   // empty: beside the log file
    QString problem; // what is wrong with a value, where an option says more than its form
    QString clientCert;
    QString clientKey;
};

// Every option, filling in `parsed`.
std::vector<Option> makeOptions(Parsed& parsed)
{
    AppSettings& settings = parsed.settings;
    QString& logFile = parsed.logFile;
    QString& problem = parsed.problem;
    QString& clientCert = parsed.clientCert;
    QString& clientKey = parsed.clientKey;
    EndpointSettings& endpoints = settings.endpoints;
    return {
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
         [&](const QString& v) { return parseWholeNumber(v, UINT64_MAX, settings.dialog.maxEventRows); },
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
        {{QStringLiteral("store"),
          QStringLiteral("Keep every event and alert in this SQLite file, or in the PostgreSQL database at "
                         "postgresql://USER@HOST[:PORT]/DB[?sslmode=verify-full] (default: the log file's "
                         "path and .db; none for no store)."),
          QStringLiteral("PATH|URL")},
         [&](const QString& v) {
             if (isServerLocation(v))
                 problem = checkServerLocation(v);
             return !(parsed.store = v).isEmpty() && problem.isEmpty();
         },
         "a file name, none, or postgresql://USER@HOST[:PORT]/DB"},
        {{QStringLiteral("site"),
          QStringLiteral("This monitor's name on every row it stores (default: the host name)."),
          QStringLiteral("NAME")},
         [&](const QString& v) { return !(settings.store.site = v.trimmed()).isEmpty(); },
         "a name"},
        {{QStringLiteral("store-days"),
          QStringLiteral("Days the store keeps an event (default 400, 0 for ever)."), QStringLiteral("N")},
         [&](const QString& v) {
             quint64 days = 0;
             const bool ok = parseWholeNumber(v, MAX_STORE_DAYS, days);
             if (ok)
                 settings.store.keepDays = int(days);
             return ok;
         },
         "a whole number from 0 to 36500"},
        {{QStringLiteral("metrics"),
          QStringLiteral("Serve Prometheus metrics at http://ADDRESS:PORT/metrics (default: none)."),
          QStringLiteral("ADDRESS:PORT")},
         [&](const QString& v) {
             quint32 address = 0;
             quint16 port = 0;
             if (!parseAddressPort(v, address, port, 0, &problem))
                 return false;
             if (port < 1024)
                 problem = QStringLiteral("port %1 is below 1024, which the monitor cannot use once it has "
                                          "given up its privileges")
                               .arg(port);
             else
                 settings.metrics = QStringLiteral("%1:%2")
                                        .arg(QString::fromLatin1(FormatIPAddress(datagramOrder(address))))
                                        .arg(port);
             return port >= 1024;
         },
         "an IPv4 ADDRESS:PORT, the port from 1024 to 65535"},
        {{QStringLiteral("alert-command"),
          QStringLiteral("Run the program at PATH for each alert, with the alert in its environment "
                         "(SORVANE_ALERT_*) and its text on standard input."),
          QStringLiteral("PATH")},
         [&](const QString& v) {
             const QFileInfo program(v);
             settings.alertCommand.path = v;
             if (!program.isAbsolute())
                 problem = QStringLiteral("\"%1\" is not an absolute path").arg(v);
             else if (!program.isFile() || !program.isExecutable())
                 problem = QStringLiteral("%1 is not an executable file").arg(v);
             return problem.isEmpty();
         },
         "an absolute path of an executable file"},
        {{QStringLiteral("headless"),
          QStringLiteral("Run without a window or display: no discovery, status lines on standard error.")},
         [&](const QString& v) { return parseSwitch(v, settings.headless); },
         "true or false (yes or no, on or off, 1 or 0)"},
    };
}

QString nameOf(const Option& o)
{
    return o.option.names().constFirst();
}

// The values of an option in the settings file: a single value with commas reads back as a list.
QStringList fileValues(const Option& o, const QStringList& setting)
{
    return o.list ? setting : QStringList{setting.join(QLatin1Char(','))};
}

// Applies each of `values`; the complaint, naming `where`, about the first that makes no sense.
QString applyValues(const Option& o, const QStringList& values, const QString& where, Parsed& parsed)
{
    for (const QString& value : values) {
        parsed.problem.clear();
        if (o.apply(value))
            continue;
        if (!parsed.problem.isEmpty())
            return QStringLiteral("%1: %2").arg(where, parsed.problem);
        return QStringLiteral("%1 needs %2, not \"%3\"").arg(where, QString::fromLatin1(o.expected), value);
    }
    return {};
}

// What the forwarding options say together: the complaint, and the option it names in `key`.
QString checkTogether(Parsed& parsed, QString& key)
{
    TlsOptions& tls = parsed.settings.forward.tls;
    if (!tls.fingerprints.isEmpty() && !tls.caCertificates.isEmpty()) {
        key = QStringLiteral("forward-fingerprint");
        return QStringLiteral(
            "--forward-fingerprint trusts a collector in place of --forward-ca: give one of them");
    }
    if (parsed.clientCert.isEmpty() && parsed.clientKey.isEmpty())
        return {};
    const QString problem = readClientIdentity(parsed.clientCert, parsed.clientKey, tls);
    const bool ofKey = parsed.clientCert.isEmpty() || problem.startsWith(QLatin1String("--forward-key:"));
    key = ofKey ? QStringLiteral("forward-key") : QStringLiteral("forward-cert");
    return problem;
}

} // namespace

QString checkSettingValues(const QMap<QString, QStringList>& values, const QMap<QString, QString>& where,
                           QString& key)
{
    AppSettings settings;
    Parsed parsed(settings);
    for (const Option& o : makeOptions(parsed)) {
        key = nameOf(o);
        if (values.value(key).isEmpty()) // none leaves the file
            continue;
        const QString complaint =
            applyValues(o, fileValues(o, values.value(key)), where.value(key, key), parsed);
        if (!complaint.isEmpty())
            return complaint;
    }
    const QString complaint = checkTogether(parsed, key);
    return complaint.isEmpty() ? complaint : where.value(key, key) + QStringLiteral(": ") + complaint;
}

int parseCommandLine(const QStringList& arguments, AppSettings& settings)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Monitors the user-access events of the firewall servers on the local network.\n"
                       "The event store's commands: sorvane sessions, sorvane events and sorvane import "
                       "(each with --help)."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    Parsed parsed(settings);
    const std::vector<Option> options = makeOptions(parsed);
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
            optionKeys << nameOf(o);
        readSettings(*file, optionKeys, settings.dialog.layout, settings.alerts);
    }
    settings.forward.targets.clear();
    settings.forward.tls = TlsOptions();
    for (const Option& o : options) {
        const QString name = nameOf(o);
        const bool given = parser.isSet(o.option);
        if (!given && !(file && file->contains(name)))
            continue;
        QStringList values;
        if (given) {
            values = o.list ? parser.values(o.option) : QStringList{parser.value(o.option)};
        } else {
            values = fileValues(o, file->value(name).toStringList());
        }
        // What the operator wrote and cannot be applied stops the start, from either place.
        const QString where =
            given ? QStringLiteral("--") + name : QStringLiteral("%1 in %2").arg(name, file->fileName());
        const QString complaint = applyValues(o, values, where, parsed);
        if (!complaint.isEmpty()) {
            std::fprintf(stderr, "sorvane: %s\n", qPrintable(complaint));
            return 2;
        }
    }
    QString key;
    const QString complaint = checkTogether(parsed, key);
    if (!complaint.isEmpty()) {
        std::fprintf(stderr, "sorvane: %s\n", qPrintable(complaint));
        return 2;
    }
    settings.dialog.userFilePath = QFile::encodeName(QFileInfo(parsed.logFile).absoluteFilePath());
    if (isServerLocation(parsed.store))
        settings.store.path = parsed.store;
    else if (parsed.store != QLatin1String("none"))
        settings.store.path =
            QFileInfo(parsed.store.isEmpty() ? parsed.logFile + QStringLiteral(".db") : parsed.store)
                .absoluteFilePath();
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
