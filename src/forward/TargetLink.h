// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "forward/ForwardTarget.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QTimer;

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

// One collector's end of the forwarder: a bounded queue that any thread fills, and a socket that
// the forwarding thread feeds from it, in order. Nothing here ever waits for the network.
class TargetLink : public QObject
{
    Q_OBJECT
public:
    TargetLink(const ForwardTarget& target, std::size_t capacity);
    ~TargetLink() override;

    // Any thread: queues what fits, in order, and wakes the link; returns how many did not fit
    // (they are counted as not forwarded).
    std::size_t post(const std::vector<QByteArray>& messages);

    const ForwardTarget& target() const { return m_target; }
    quint64 notForwarded() const { return m_notForwarded.load(std::memory_order_relaxed); }
    // Any thread: messages waiting to go, or on their way.
    std::size_t queued() const;
    // "forwarding to URL failed: REASON" while the failure lasts, else empty.
    QString condition() const;
    // Everything queued went out (after finish() was asked for).
    bool drained() const { return m_drained.load(); }

    // The rest runs on the link's thread.
    virtual void start() = 0;
    // Sends what waits without waiting out a backoff, and marks the link drained once all is gone.
    void finish();
    // Closes the socket; what is still queued or unsent counts as not forwarded.
    void shutdown();

signals:
    // The condition or the count changed.
    void changed();

protected:
    static constexpr std::chrono::milliseconds FIRST_BACKOFF{500};
    static constexpr std::chrono::milliseconds LAST_BACKOFF{30000};

    // Sends what waits, as far as the socket takes it now.
    virtual void send() = 0;
    // Nothing left in the socket's buffers.
    virtual bool idle() const = 0;
    // A retry that waits out its backoff should happen now.
    virtual void retryNow() = 0;
    // Drops the socket (`graceful`: closes it as a protocol ends, for the end of the run); returns
    // the messages handed to it that may not have gone, oldest first.
    virtual std::deque<QByteArray> closeSocket(bool graceful) = 0;

    // Up to `most` of the oldest waiting messages, appended to `out`.
    void take(std::vector<QByteArray>& out, std::size_t most);
    // Puts `messages` back before anything waiting, keeping their order.
    void putBack(std::deque<QByteArray>& messages);
    void countNotForwarded(quint64 count);
    // Sets the failure (empty: none) and tells the forwarder when it changed.
    void setFailure(const QString& reason);
    bool finishing() const { return m_finishing; }
    // Messages handed to the socket that may not have arrived yet; they count against the bound.
    void setInFlight(std::size_t count) { m_inFlight.store(count, std::memory_order_relaxed); }
    // The wait before the next retry: 0.5 s doubling up to 30 s, back to 0.5 s once a connection
    // has stayed up.
    std::chrono::milliseconds nextBackoff();
    void resetBackoff() { m_backoff = FIRST_BACKOFF; }

private:
    void onWake();
    void checkDrained();
    std::size_t queuedLocked() const;

    ForwardTarget m_target;
    const QString m_url;
    const std::size_t m_capacity;

    mutable std::mutex m_mutex; // guards the queue, the wake flag and the failure
    std::deque<QByteArray> m_queue;
    // Taken from the queue in one swap, oldest first; only the link's thread touches it, and swaps
    // it under the lock.
    std::deque<QByteArray> m_taken;
    std::atomic<std::size_t> m_takenCount{0}; // its size, for post()'s bound
    std::atomic<std::size_t> m_inFlight{0};
    bool m_wakePosted = false;
    QString m_failure;

    std::atomic<quint64> m_notForwarded{0};
    std::atomic<bool> m_drained{false};
    bool m_finishing = false;
    std::unique_ptr<QTimer> m_drainCheck;
    std::chrono::milliseconds m_backoff = FIRST_BACKOFF;
};
