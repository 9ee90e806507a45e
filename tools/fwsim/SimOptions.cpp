// SPDX-License-Identifier: GPL-3.0-or-later
#include "fwsim/SimOptions.h"

#include "fwsim/ReplayFormat.h"

#include <QCommandLineParser>

#include <cmath>

namespace
{

const QString DEFAULT_SERVERS = QStringLiteral("10.0.0.1,10.0.0.2,10.0.0.3");

struct Parser {
    QCommandLineParser parser;
    QCommandLineOption servers{
        QStringLiteral("servers"),
        QStringLiteral("Server addresses played, named in the datagrams (default %1).").arg(DEFAULT_SERVERS),
        QStringLiteral("A,B,...")};
    QCommandLineOption monitor{
        QStringLiteral("monitor"),
        QStringLiteral("Where event datagrams go (default 127.0.0.1:%1).").arg(EVENT_PORT),
        QStringLiteral("ADDRESS:PORT")};
    QCommandLineOption discoveryPort{
        QStringLiteral("discovery-port"),
        QStringLiteral("UDP port bound on 0.0.0.0 to answer Discover packets (default %1; 0: don't answer).")
            .arg(DISCOVERY_PORT),
        QStringLiteral("PORT")};
    QCommandLineOption seed{QStringLiteral("seed"), QStringLiteral("Seed of the demo's choices (default 1)."),
                            QStringLiteral("N")};
    QCommandLineOption record{
        QStringLiteral("record"),
        QStringLiteral(
            "Append a line per Discover packet answered: its source ADDRESS:PORT and its bytes in hex."),
        QStringLiteral("FILE")};
    QCommandLineOption rate{
        QStringLiteral("rate"),
        QStringLiteral("flood: datagrams a second (default 1000; 0: as fast as possible)."),
        QStringLiteral("R")};
    QCommandLineOption count{QStringLiteral("count"),
                             QStringLiteral("flood: datagrams in all (default 1000)."), QStringLiteral("N")};
    QCommandLineOption speed{QStringLiteral("speed"),
                             QStringLiteral("demo: pace factor, 2 runs twice as fast (default 1)."),
                             QStringLiteral("X")};
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")};
    QCommandLineOption version{QStringLiteral("version"), QStringLiteral("Show the version.")};

    Parser()
    {
        parser.setApplicationDescription(
            QStringLiteral("Plays firewall servers: answers Discover packets and sends event datagrams."));
        parser.addOptions({servers, monitor, discoveryPort, seed, record, rate, count, speed, help, version});
        parser.addPositionalArgument(QStringLiteral("scenario"),
                                     QStringLiteral("demo | flood | replay FILE (see below)."),
                                     QStringLiteral("<scenario> [FILE]"));
    }
};

bool parseNumber(const QString& text, double min, double max, double& value)
{
    bool ok = false;
    value = text.toDouble(&ok);
    return ok && std::isfinite(value) && value >= min && value <= max;
}

bool parseInteger(const QString& text, qint64 min, qint64 max, qint64& value)
{
    bool ok = false;
    value = text.toLongLong(&ok, 10);
    return ok && value >= min && value <= max;
}

OptionsResult fail(QString& error, const QString& message)
{
    error = message;
    return OptionsResult::Error;
}

} // namespace

OptionsResult parseSimOptions(const QStringList& arguments, SimOptions& options, QString& error)
{
    Parser p;
    if (!p.parser.parse(arguments))
        return fail(error, p.parser.errorText());
    if (p.parser.isSet(p.help))
        return OptionsResult::Help;
    for (const QString& name : p.parser.optionNames()) {
        if (p.parser.values(name).size() > 1)
            return fail(error, QStringLiteral("--%1 given more than once").arg(name));
    }
    if (p.parser.isSet(p.version))
        return OptionsResult::Version;

    const QStringList positional = p.parser.positionalArguments();
    if (positional.isEmpty())
        return fail(error, QStringLiteral("no scenario given: demo, flood or replay FILE"));
    const QString& scenario = positional.front();
    if (scenario == QLatin1String("demo")) {
        options.scenario = SimOptions::Scenario::Demo;
    } else if (scenario == QLatin1String("flood")) {
        options.scenario = SimOptions::Scenario::Flood;
    } else if (scenario == QLatin1String("replay")) {
        options.scenario = SimOptions::Scenario::Replay;
        if (positional.size() < 2)
            return fail(error, QStringLiteral("replay needs a FILE"));
        options.replayFile = positional[1];
    } else {
        return fail(error, QStringLiteral("unknown scenario '%1': demo, flood or replay FILE").arg(scenario));
    }
    const int expected = options.scenario == SimOptions::Scenario::Replay ? 2 : 1;
    if (positional.size() > expected)
        return fail(error, QStringLiteral("unexpected argument '%1'").arg(positional[expected]));

    options.servers.clear();
    const QString servers = p.parser.isSet(p.servers) ? p.parser.value(p.servers) : DEFAULT_SERVERS;
    for (const QString& text : servers.split(QLatin1Char(','))) {
        quint32 address = 0;
        if (!parseIPv4(text.trimmed(), address))
            return fail(error, QStringLiteral("--servers: '%1' is not a dotted IPv4 address").arg(text));
        options.servers.append(datagramOrder(address));
    }

    options.monitorAddress = 0x7F000001;
    options.monitorPort = EVENT_PORT;
    if (p.parser.isSet(p.monitor) &&
        !parseAddressPort(p.parser.value(p.monitor), options.monitorAddress, options.monitorPort))
        return fail(error, QStringLiteral("--monitor: expected ADDRESS:PORT such as 127.0.0.1:1023, got '%1'")
                               .arg(p.parser.value(p.monitor)));

    if (p.parser.isSet(p.discoveryPort) &&
        !parsePort(p.parser.value(p.discoveryPort), options.discoveryPort, 0))
        return fail(error, QStringLiteral("--discovery-port: expected 0 to 65535, got '%1'")
                               .arg(p.parser.value(p.discoveryPort)));
    qint64 number = 0;
    if (p.parser.isSet(p.seed)) {
        if (!parseInteger(p.parser.value(p.seed), 0, 0xFFFFFFFFLL, number))
            return fail(
                error,
                QStringLiteral("--seed: expected 0 to 4294967295, got '%1'").arg(p.parser.value(p.seed)));
        options.seed = static_cast<quint32>(number);
    }
    options.recordFile = p.parser.value(p.record);
    if (p.parser.isSet(p.record) && options.recordFile.isEmpty())
        return fail(error, QStringLiteral("--record: needs a file name"));
    if (!options.recordFile.isEmpty() && options.discoveryPort == 0)
        return fail(error, QStringLiteral("--record needs discovery, but --discovery-port is 0"));

    const bool flood = options.scenario == SimOptions::Scenario::Flood;
    if ((p.parser.isSet(p.rate) || p.parser.isSet(p.count)) && !flood)
        return fail(error, QStringLiteral("--rate and --count are for flood only"));
    if (p.parser.isSet(p.rate) && !parseNumber(p.parser.value(p.rate), 0, 1e9, options.rate))
        return fail(error, QStringLiteral("--rate: expected 0 to 1000000000 datagrams a second, got '%1'")
                               .arg(p.parser.value(p.rate)));
    if (p.parser.isSet(p.count) && !parseInteger(p.parser.value(p.count), 0, 1000000000000LL, options.count))
        return fail(
            error,
            QStringLiteral("--count: expected 0 to 1000000000000, got '%1'").arg(p.parser.value(p.count)));

    if (p.parser.isSet(p.speed) && options.scenario != SimOptions::Scenario::Demo)
        return fail(error, QStringLiteral("--speed is for demo only"));
    if (p.parser.isSet(p.speed) && !parseNumber(p.parser.value(p.speed), 0.01, 1000, options.speed))
        return fail(error,
                    QStringLiteral("--speed: expected 0.01 to 1000, got '%1'").arg(p.parser.value(p.speed)));
    return OptionsResult::Run;
}

QString simHelpText()
{
    Parser p;
    return p.parser.helpText() +
           QStringLiteral("\nScenarios:\n"
                          "  demo                a working day at the servers, 2 to 5 events a second,\n"
                          "                      until killed.\n"
                          "  flood               --count datagrams at --rate; user u<seq> carries the\n"
                          "                      sequence number 0..N-1. Prints the achieved rate.\n"
                          "  replay FILE         the datagrams of FILE, in order; then exits.\n"
                          "Every scenario answers discovery while it runs. Exit codes: 0 done, 1 a socket\n"
                          "or file failed, 2 bad options or an unreadable replay file.\n\n") +
           replayFormatHelp();
}
