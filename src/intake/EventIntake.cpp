// SPDX-License-Identifier: GPL-3.0-or-later
#include "intake/EventIntake.h"

#include "log/UserLog.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <cstring>

EventIntake::EventIntake(const IntakeOptions& options, QObject* parent) : QObject(parent), m_options(options)
{
    m_batch.events.reserve(static_cast<std::size_t>(m_options.batchLimit));
    m_monotonic.start();
}

EventIntake::~EventIntake() = default;

int EventIntake::bind()
{
    m_bindTried = true;
    m_openError = InitializeSocket(0, m_socket, m_options.endpoint, HostLookup{});
    return m_openError;
}

int EventIntake::open()
{
    if (!m_bindTried)
        bind();
    m_logError = checkLogWritable(m_options.logPath);
    startTaking();
    if (m_openError != 0 && m_options.rebindPeriodMs > 0) {
        connect(&m_rebind, &QTimer::timeout, this, &EventIntake::retryBind, Qt::UniqueConnection);
        m_rebind.start(m_options.rebindPeriodMs);
    }
    return m_openError;
}

void EventIntake::startTaking()
{
    if (m_openError == 0)
        m_openError = RegisterReadNotification(
            m_socket, [this] { takeBatch(); }, true);
}

void EventIntake::retryBind()
{
    if (InitializeSocket(0, m_socket, m_options.endpoint, HostLookup{}) != 0)
        return;
    m_rebind.stop();
    m_openError = 0;
    startTaking();
    emit stateChanged();
}

int EventIntake::ReceiveEvent(EventRecord& record, int& errorCode)
{
    char buffer[MAX_DATAGRAM_SIZE];
    int error = 0;
    quint32 source = 0;
    const long received = receiveDatagram(m_socket, buffer, sizeof buffer, &error, &source);
    if ((received >= 0 || error == EMSGSIZE) && !m_options.endpoint.allowed.allows(source)) {
        ++m_refused;
        error = EPERM;
    }
    if (received >= 0 && error == 0 && static_cast<std::size_t>(received) < MIN_EVENT_DATAGRAM_SIZE) {
        ++m_tooShort; // read as a log-on with empty fields otherwise: what a port scan sends
        error = EBADMSG;
    }
    if (received < 0 || error != 0) {
        errorCode = error;
        return -1;
    }
    record = decodeEvent(buffer, static_cast<std::size_t>(received));
    // The line joins this batch, written in order with one open, write and close.
    m_pendingLog += formatLogLine(record);
    ++m_pendingLines;
    return 0;
}

void EventIntake::writeLog()
{
    if (m_pendingLines == 0)
        return;
    qsizetype written = 0;
    int error = 0;
    if (appendLogText(m_options.logPath, m_pendingLog, &error, &written) != 0) {
        m_lostLogLines += m_pendingLines - static_cast<quint64>(m_pendingLog.left(written).count('\n'));
        if (error == 0)
            error = EIO; // a write that fell short without a reason
    }
    m_pendingLog.clear();
    m_pendingLines = 0;
    if (error != m_logError) {
        m_logError = error;
        emit stateChanged();
    }
}

int EventIntake::takeBatch()
{
    m_batch.events.clear();
    m_batch.arrivalMicros = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    m_batch.arrivalMonotonic = m_monotonic.elapsed();
    int taken = 0;
    for (; taken < m_options.batchLimit; ++taken) {
        EventRecord record;
        int errorCode = 0;
        ReceiveEvent(record, errorCode);
        if (errorCode == EMSGSIZE || errorCode == EPERM || errorCode == EBADMSG)
            continue; // consumed and refused; the next datagram may be fine
        if (errorCode != 0)
            break;
        m_batch.events.push_back(record);
    }
    writeLog();
    emit eventsArrived(m_batch);
    return taken;
}

void EventIntake::drain()
{
    if (DatagramQueue* queue = m_socket.queue())
        queue->stopReading();
    while (takeBatch() != 0) {
    }
}

void EventIntake::addStatus(StatusReport& report) const
{
    report.addCount(m_lostLogLines, {"log line lost", "log lines lost"});
    report.addCount(droppedBySystem(), {"event dropped by the system", "events dropped by the system"});
    report.addCount(m_refused, REFUSED_SENDERS);
    report.addCount(m_tooShort, {"datagram too short", "datagrams too short"});
    if (m_logError != 0)
        report.addCondition(QStringLiteral("log lines lost: cannot write %1: %2")
                                .arg(QFile::decodeName(m_options.logPath),
                                     QString::fromLocal8Bit(std::strerror(m_logError))));
}

QString EventIntake::statusLine(const StatusReport& report) const
{
    const int error = isOpen() ? 0 : openError();
    return report.text(error == 0 ? QStringLiteral("Listening for events on UDP port %1").arg(port())
                                  : QStringLiteral("Not receiving events: UDP port %1: %2")
                                        .arg(port())
                                        .arg(QString::fromLocal8Bit(std::strerror(error))));
}

quint64 EventIntake::droppedBySystem() const
{
    const DatagramQueue* queue = m_socket.queue();
    return queue ? queue->droppedBySystem() : 0;
}
