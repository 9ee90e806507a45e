// SPDX-License-Identifier: GPL-3.0-or-later
#include "fwsim/Scenarios.h"

#include "SorvaneVersion.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <memory>

namespace
{

int usageError(const QString& message)
{
    std::fprintf(stderr, "sorvane-fwsim: %s (see --help)\n", qPrintable(message));
    return 2;
}

int failure(const QString& message)
{
    std::fprintf(stderr, "sorvane-fwsim: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    SimOptions options;
    QString error;
    switch (parseSimOptions(QCoreApplication::arguments(), options, error)) {
    case OptionsResult::Help:
        std::fputs(qPrintable(simHelpText()), stdout);
        return 0;
    case OptionsResult::Version:
        std::printf("sorvane-fwsim %s\n", SORVANE_VERSION);
        return 0;
    case OptionsResult::Error:
        return usageError(error);
    case OptionsResult::Run:
        break;
    }

    QVector<ReplayStep> steps;
    if (options.scenario == SimOptions::Scenario::Replay) {
        ReplayError replayError;
        if (!loadReplayFile(options.replayFile, steps, replayError)) {
            return usageError(replayError.line > 0 ? QStringLiteral("%1:%2: %3")
                                                         .arg(options.replayFile)
                                                         .arg(replayError.line)
                                                         .arg(replayError.message)
                                                   : replayError.message);
        }
        for (const ReplayStep& step : steps) {
            if (step.kind == ReplayStep::Kind::WaitDiscover && options.discoveryPort == 0)
                return usageError(
                    QStringLiteral("%1:%2: wait-discover needs discovery, but --discovery-port is 0")
                        .arg(options.replayFile)
                        .arg(step.line));
        }
    }

    EventSender sender;
    if (const int e = sender.open(options.monitorAddress, options.monitorPort))
        return failure(QStringLiteral("cannot open a UDP socket to %1: %2")
                           .arg(sender.destination(), QString::fromLocal8Bit(std::strerror(e))));

    std::unique_ptr<DiscoveryResponder> responder;
    if (options.discoveryPort != 0) {
        responder = std::make_unique<DiscoveryResponder>(options.servers);
        if (!responder->open(options.discoveryPort, error) ||
            (!options.recordFile.isEmpty() && !responder->record(options.recordFile, error)))
            return failure(error);
        std::fprintf(stderr, "sorvane-fwsim: answering discovery on 0.0.0.0:%u for %lld servers\n",
                     options.discoveryPort, static_cast<long long>(options.servers.size()));
    }
    std::fprintf(stderr, "sorvane-fwsim: sending events to %s\n", qPrintable(sender.destination()));

    const Finish finish = [](int code) { QCoreApplication::exit(code); };
    std::unique_ptr<DemoScenario> demo;
    std::unique_ptr<FloodScenario> flood;
    std::unique_ptr<ReplayScenario> replay;
    switch (options.scenario) {
    case SimOptions::Scenario::Demo:
        demo = std::make_unique<DemoScenario>(options, sender, finish);
        demo->start();
        break;
    case SimOptions::Scenario::Flood:
        flood = std::make_unique<FloodScenario>(options, sender, finish);
        flood->start();
        break;
    case SimOptions::Scenario::Replay:
        replay = std::make_unique<ReplayScenario>(std::move(steps), sender, responder.get(), finish);
        replay->start();
        break;
    }
    return QCoreApplication::exec();
}
