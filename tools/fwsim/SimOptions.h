// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/Address.h"

#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

struct SimOptions {
    enum class Scenario { Demo, Flood, Replay };
    Scenario scenario = Scenario::Demo;
    QVector<quint32> servers;   // datagram order, as the event and reply fields hold them
    quint32 monitorAddress = 0; // host order
    quint16 monitorPort = EVENT_PORT;
    quint16 discoveryPort = DISCOVERY_PORT; // 0: don't answer discovery
    quint32 seed = 1;
    QString recordFile;
    double rate = 1000;  // flood datagrams a second; 0: as fast as possible
    qint64 count = 1000; // flood datagrams in all
    double speed = 1;    // demo pace factor
    QString replayFile;
};

enum class OptionsResult { Run, Help, Version, Error };

// Parses the arguments (program name first). On Error `error` holds a one-line message.
OptionsResult parseSimOptions(const QStringList& arguments, SimOptions& options, QString& error);

// The --help text.
QString simHelpText();
