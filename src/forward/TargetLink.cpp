// SPDX-License-Identifier: GPL-3.0-or-later
#include "forward/TargetLink.h"

#include <QTimer>

#include <algorithm>
#include <iterator>

TargetLink::TargetLink(const ForwardTarget& target, std::size_t capacity)
    : m_target(target), m_url(target.url()), m_capacity(capacity)
{
}

TargetLink::~TargetLink() = default;

std::size_t TargetLink::queuedLocked() const
{
    return m_queue.size() + m_takenCount.load(std::memory_order_relaxed) +
           m_inFlight.load(std::memory_order_relaxed);
}

std::size_t TargetLink::queued() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return queuedLocked();
}

std::size_t TargetLink::post(const std::vector<QByteArray>& messages)
{
    std::size_t refused = 0;
    bool wake = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const std::size_t queued = queuedLocked();
        const std::size_t room = queued < m_capacity ? m_capacity - queued : 0;
        const std::size_t taken = std::min(room, messages.size());
        m_queue.insert(m_queue.end(), messages.begin(), messages.begin() + std::ptrdiff_t(taken));
        refused = messages.size() - taken;
        if (taken != 0 && !m_wakePosted) {
            m_wakePosted = true;
            wake = true;
        }
    }
    if (wake)
        QMetaObject::invokeMethod(this, &TargetLink::onWake, Qt::QueuedConnection);
    if (refused != 0) {
        m_notForwarded.fetch_add(refused, std::memory_order_relaxed);
        emit changed();
    }
    return refused;
}

QString TargetLink::condition() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure.isEmpty() ? QString()
                               : QStringLiteral("forwarding to %1 failed: %2").arg(m_url, m_failure);
}

void TargetLink::onWake()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_wakePosted = false;
    }
    send();
}

void TargetLink::finish()
{
    m_finishing = true;
    retryNow();
    send();
    // The kernel's acknowledgements come without a notification: look every few milliseconds.
    m_drainCheck = std::make_unique<QTimer>();
    connect(m_drainCheck.get(), &QTimer::timeout, this, &TargetLink::checkDrained);
    m_drainCheck->start(5);
    checkDrained();
}

void TargetLink::checkDrained()
{
    send();
    bool empty = m_taken.empty();
    if (empty) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        empty = m_queue.empty();
    }
    if (empty && idle()) {
        m_drained = true;
        m_drainCheck->stop();
    }
}

void TargetLink::shutdown()
{
    m_drainCheck.reset();
    std::deque<QByteArray> unsent = closeSocket(true);
    std::size_t waiting = m_taken.size();
    m_taken.clear();
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        waiting += m_queue.size();
        m_queue.clear();
        m_takenCount.store(0, std::memory_order_relaxed);
    }
    countNotForwarded(unsent.size() + waiting);
}

void TargetLink::take(std::vector<QByteArray>& out, std::size_t most)
{
    if (m_taken.empty()) {
        // The intake thread posts under the lock: hold it for a swap only, never for a copy.
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_taken.swap(m_queue);
        m_takenCount.store(m_taken.size(), std::memory_order_relaxed);
    }
    const auto end = m_taken.begin() + std::ptrdiff_t(std::min(most, m_taken.size()));
    out.insert(out.end(), std::make_move_iterator(m_taken.begin()), std::make_move_iterator(end));
    m_taken.erase(m_taken.begin(), end);
    m_takenCount.store(m_taken.size(), std::memory_order_relaxed);
}

void TargetLink::putBack(std::deque<QByteArray>& messages)
{
    if (messages.empty())
        return;
    m_taken.insert(m_taken.begin(), std::make_move_iterator(messages.begin()),
                   std::make_move_iterator(messages.end()));
    m_takenCount.store(m_taken.size(), std::memory_order_relaxed);
    messages.clear();
}

void TargetLink::countNotForwarded(quint64 count)
{
    if (count == 0)
        return;
    m_notForwarded.fetch_add(count, std::memory_order_relaxed);
    emit changed();
}

void TargetLink::setFailure(const QString& reason)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failure == reason)
            return;
        m_failure = reason;
    }
    emit changed();
}

std::chrono::milliseconds TargetLink::nextBackoff()
{
    const std::chrono::milliseconds wait = m_backoff;
    m_backoff = std::min(m_backoff * 2, LAST_BACKOFF);
    return wait;
}
