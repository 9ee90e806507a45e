#include "intake/EventIntake.h"

#include "log/UserLog.h"

#include <cerrno>
#include <chrono>

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
    if (m_openError == 0)
        m_openError = RegisterReadNotification(
            m_socket, [this] { takeBatch(); }, true);
    return m_openError;
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
    if (received < 0 || error == EPERM) {
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
    if (appendLogText(m_options.logPath, m_pendingLog, nullptr, &written) != 0)
        m_lostLogLines += m_pendingLines - static_cast<quint64>(m_pendingLog.left(written).count('\n'));
    m_pendingLog.clear();
    m_pendingLines = 0;
}

void EventIntake::takeBatch()
{
    m_batch.events.clear();
    m_batch.arrivalMicros = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    m_batch.arrivalMonotonic = m_monotonic.elapsed();
    for (int i = 0; i < m_options.batchLimit; ++i) {
        EventRecord record;
        int errorCode = 0;
        ReceiveEvent(record, errorCode);
        if (errorCode == EMSGSIZE || errorCode == EPERM)
            continue; // consumed and refused; the next datagram may be fine
        if (errorCode != 0)
            break;
        m_batch.events.push_back(record);
    }
    writeLog();
    emit eventsArrived(m_batch);
}

quint64 EventIntake::droppedBySystem() const
{
    const DatagramQueue* queue = m_socket.queue();
    return queue ? queue->droppedBySystem() : 0;
}
