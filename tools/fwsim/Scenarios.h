// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "fwsim/DemoDay.h"
#include "fwsim/ReplayFormat.h"
#include "fwsim/SimOptions.h"
#include "fwsim/SimSockets.h"

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

// Each scenario runs on the event loop, so discovery is answered between its sends. `finish` gets
// the exit code.
using Finish = std::function<void(int)>;

// Today's date as MM/DD/YYYY and the time as HH:MM:SS, local time.
QByteArray dateText();
QByteArray timeText();

class DemoScenario
{
public:
    DemoScenario(const SimOptions& options, EventSender& sender, Finish finish);
    void start();

private:
    void tick();

    DemoDay m_day;
    double m_speed;
    EventSender& m_sender;
    Finish m_finish;
    bool m_toTerminal;
    QTimer m_timer;
};

class FloodScenario
{
public:
    FloodScenario(const SimOptions& options, EventSender& sender, Finish finish);
    void start();

private:
    void tick();
    QByteArray datagram(qint64 sequence, EventRecord& record) const;

    QVector<quint32> m_servers;
    double m_rate;
    qint64 m_count;
    qint64 m_sent = 0;
    EventSender& m_sender;
    Finish m_finish;
    QElapsedTimer m_clock;
    QTimer m_timer;
    QVector<QByteArray> m_batch;
};

class ReplayScenario
{
public:
    ReplayScenario(QVector<ReplayStep> steps, EventSender& sender, DiscoveryResponder* responder,
                   Finish finish);
    void start();

private:
    void run();

    QVector<ReplayStep> m_steps;
    int m_next = 0;
    qint64 m_datagrams = 0;
    bool m_waitingForDiscover = false;
    EventSender& m_sender;
    DiscoveryResponder* m_responder;
    Finish m_finish;
    QTimer m_timer;
};
