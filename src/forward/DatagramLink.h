#pragma once

#include "forward/TargetLink.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>

#include <memory>

class QTimer;

// A UDP collector (RFC 5426): one message per datagram, from a socket connected to the collector so
// that the kernel reports a refusal.
class DatagramLink : public TargetLink
{
    Q_OBJECT
public:
    DatagramLink(const ForwardTarget& target, std::size_t capacity);
    ~DatagramLink() override;

    void start() override;

protected:
    void send() override;
    bool idle() const override { return !m_writable || !m_writable->isEnabled(); }
    void retryNow() override;
    std::deque<QByteArray> closeSocket(bool graceful) override;

private:
    void resolve();
    void onLookup(const QHostInfo& info);
    void open(const QHostAddress& address);
    void failed(const QString& reason);

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_writable;
    std::unique_ptr<QTimer> m_retry;
    QElapsedTimer m_sinceError; // invalid while no send has failed
    std::vector<QByteArray> m_batch;
};
