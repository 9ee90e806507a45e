#include "app/Sorvane.h"
#include "app/WindowSettings.h"

#include "SorvaneVersion.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <cstdio>
#include <functional>
#include <memory>

namespace
{

QString defaultSettingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/sorvane/sorvane.conf");
}

// The settings file, or none when there is none to read; what is wrong with it goes to stderr.
std::unique_ptr<QSettings> openSettings(const QString& path, bool named)
{
    const QFileInfo file(path);
    if (!file.exists() && !named)
        return nullptr;
    if (!file.isFile() || !file.isReadable()) {
        std::fprintf(stderr, "sorvane: cannot read the settings file %s; it is ignored\n", qPrintable(path));
        return nullptr;
    }
    auto settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    if (settings->status() != QSettings::NoError) {
        std::fprintf(stderr, "sorvane: the settings file %s is not in the settings format; it is ignored\n",
                     qPrintable(path));
        return nullptr;
    }
    return settings;
}

struct Option {
    QCommandLineOption option;
    // Takes a value; false when it makes no sense.
    std::function<bool(const QString&)> apply;
    const char* expected; // what a good value looks like, for the error
};

} // namespace

int parseCommandLine(const QStringList& arguments, AppSettings& settings)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Monitors the user-access events of the firewall servers on the local network."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    QString logFile = QStringLiteral("userfile");
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
             return parseAddressPort(v, endpoints.discoveryAddress, endpoints.discoveryPort, DISCOVERY_PORT);
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
        {{QStringLiteral("dump-views"),
          QStringLiteral("Keep a text copy of the window's views in PATH (diagnostics)."),
          QStringLiteral("PATH")},
         [&](const QString& v) {
             if (!v.isEmpty())
                 settings.dumpViewsPath = QFile::encodeName(QFileInfo(v).absoluteFilePath());
             return !v.isEmpty();
         },
         "a file name"},
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
    const std::unique_ptr<QSettings> file = openSettings(settingsPath, named);
    // A file that could not be read is left as it is; a missing one is made when the window closes.
    settings.settingsPath = file || !QFileInfo::exists(settingsPath) ? settingsPath : QString();
    if (file)
        readWindowLayout(*file, settings.dialog.layout);
    for (const Option& o : options) {
        const QString name = o.option.names().constFirst();
        if (parser.isSet(o.option)) {
            if (!o.apply(parser.value(o.option))) {
                std::fprintf(stderr, "sorvane: --%s needs %s, not \"%s\"\n", qPrintable(name), o.expected,
                             qPrintable(parser.value(o.option)));
                return 2;
            }
        } else if (file && file->contains(name)) {
            const QString value = file->value(name).toString();
            if (!o.apply(value))
                std::fprintf(stderr, "sorvane: %s in %s needs %s, not \"%s\"; it is ignored\n",
                             qPrintable(name), qPrintable(file->fileName()), o.expected, qPrintable(value));
        }
    }
    settings.dialog.userFilePath = QFile::encodeName(QFileInfo(logFile).absoluteFilePath());
    return -1;
}
