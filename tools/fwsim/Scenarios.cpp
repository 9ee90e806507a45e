// SPDX-License-Identifier: GPL-3.0-or-later
#include "fwsim/Scenarios.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace
{

// Most datagrams one flood tick sends before the event loop gets a turn.
constexpr qint64 FLOOD_BURST = 1024;
// Replay datagrams sent before the event loop gets a turn.
constexpr int REPLAY_BURST = 64;
const char* const FLOOD_GROUPS[] = {"Staff", "Sales", "Engineering", "Students"};

void reportSendFailure(const EventSender& sender, int error)
{
    std::fprintf(stderr, "sorvane-fwsim: cannot send to %s: %s\n", qPrintable(sender.destination()),
                 std::strerror(error));
}

} // namespace

QByteArray dateText()
{
    return QDate::currentDate().toString(QStringLiteral("MM/dd/yyyy")).toLatin1();
}

QByteArray timeText()
{
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss")).toLatin1();
}

DemoScenario::DemoScenario(const SimOptions& options, EventSender& sender, Finish finish)
    : m_day(options.servers, options.seed), m_speed(options.speed), m_sender(sender),
      m_finish(std::move(finish)), m_toTerminal(::isatty(STDOUT_FILENO) == 1)
{
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
}

void DemoScenario::start()
{
    m_timer.start(0);
}

void DemoScenario::tick()
{
    const EventRecord record = m_day.next(dateText(), timeText());
    const QByteArray datagram = encodeEvent(record);
    if (const int error = m_sender.send(&datagram, 1)) {
        reportSendFailure(m_sender, error);
        m_finish(1);
        return;
    }
    // Only for a person at a terminal: a pipe that nobody reads would fill and stop the demo.
    if (m_toTerminal) {
        std::printf("%s  %s  %-15s  %-12s  %-11s  %s\n", record.EventTime,
                    FormatIPAddress(record.ServerIPAddress).constData(),
                    FormatIPAddress(record.IPAddress).constData(), record.Username, record.Groupname,
                    eventKeyword(record.EventCode));
        std::fflush(stdout);
    }
    m_timer.start(static_cast<int>(std::lround(m_day.nextDelayMs() / m_speed)));
}

FloodScenario::FloodScenario(const SimOptions& options, EventSender& sender, Finish finish)
    : m_servers(options.servers), m_rate(options.rate), m_count(options.count), m_sender(sender),
      m_finish(std::move(finish))
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
}

void FloodScenario::start()
{
    m_clock.start();
    m_timer.start(0);
}

QByteArray FloodScenario::datagram(qint64 sequence, EventRecord& record) const
{
    setField(record.Username, USERNAME_WIDTH, 'u' + QByteArray::number(sequence));
    setField(record.Groupname, GROUPNAME_WIDTH, FLOOD_GROUPS[sequence % 4]);
    record.IPAddress = ipAddressFromBytes(10, static_cast<quint8>(64 + (sequence >> 16) % 192),
                                          static_cast<quint8>(sequence >> 8), static_cast<quint8>(sequence));
    record.ServerIPAddress = m_servers[static_cast<int>(sequence % m_servers.size())];
    return encodeEvent(record);
}

void FloodScenario::tick()
{
    const qint64 elapsedNs = m_clock.nsecsElapsed();
    // The datagram numbered k is due k / rate seconds after the start.
    const qint64 due =
        m_rate <= 0 ? m_count : std::min<qint64>(m_count, static_cast<qint64>(elapsedNs * 1e-9 * m_rate) + 1);
    const qint64 burst = std::min(due - m_sent, FLOOD_BURST);
    if (burst > 0) {
        EventRecord record;
        record.EventCode = LoggedOn;
        const QByteArray time = timeText();
        setField(record.Date, DATE_WIDTH, dateText());
        setField(record.EventTime, EVENTTIME_WIDTH, time);
        setField(record.LoginTime, LOGINTIME_WIDTH, time);
        m_batch.resize(static_cast<int>(burst));
        for (int i = 0; i < burst; ++i)
            m_batch[i] = datagram(m_sent + i, record);
        if (const int error = m_sender.send(m_batch.constData(), static_cast<int>(burst))) {
            reportSendFailure(m_sender, error);
            m_finish(1);
            return;
        }
        m_sent += burst;
    }
    if (m_sent >= m_count) {
        const double seconds = m_clock.nsecsElapsed() * 1e-9;
        std::fprintf(stderr, "sorvane-fwsim: sent %lld datagrams in %.3f s (%.0f a second)\n",
                     static_cast<long long>(m_sent), seconds, seconds > 0 ? m_sent / seconds : 0.0);
        m_finish(0);
        return;
    }
    if (m_sent < due || m_rate <= 0) {
        m_timer.start(0);
        return;
    }
    const double waitMs = std::ceil((m_sent * 1e9 / m_rate - m_clock.nsecsElapsed()) * 1e-6);
    // A very slow rate wakes up now and then to look again, rather than overflow the interval.
    m_timer.start(static_cast<int>(std::clamp(waitMs, 0.0, 60000.0)));
}

ReplayScenario::ReplayScenario(QVector<ReplayStep> steps, EventSender& sender, DiscoveryResponder* responder,
                               Finish finish)
    : m_steps(std::move(steps)), m_sender(sender), m_responder(responder), m_finish(std::move(finish))
{
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { run(); });
    if (m_responder) {
        m_responder->setOnAnswered([this] {
            if (m_waitingForDiscover) {
                m_waitingForDiscover = false;
                m_timer.start(0);
            }
        });
    }
}

void ReplayScenario::start()
{
    m_timer.start(0);
}

void ReplayScenario::run()
{
    int sentNow = 0;
    while (m_next < m_steps.size()) {
        const ReplayStep& step = m_steps[m_next];
        if (step.kind == ReplayStep::Kind::Wait) {
            ++m_next;
            m_timer.start(step.waitMs);
            return;
        }
        if (step.kind == ReplayStep::Kind::WaitDiscover) {
            ++m_next;
            if (!m_responder || m_responder->answered() == 0) {
                m_waitingForDiscover = true;
                return;
            }
            continue;
        }
        if (sentNow == REPLAY_BURST) {
            m_timer.start(0);
            return;
        }
        if (const int error = m_sender.send(&step.datagram, 1)) {
            reportSendFailure(m_sender, error);
            m_finish(1);
            return;
        }
        ++m_next;
        ++m_datagrams;
        ++sentNow;
    }
    std::fprintf(stderr, "sorvane-fwsim: replayed %lld datagrams\n", static_cast<long long>(m_datagrams));
    m_finish(0);
}
