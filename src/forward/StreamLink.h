// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "forward/TargetLink.h"

#include <QList>
#include <QSslCertificate>
#include <QSslError>

#include <memory>

class QSslSocket;
class QTimer;

// A TCP collector (RFC 6587 octet counting: "LEN SP MSG"), in the clear or over TLS (RFC 5425) with
// the collector's certificate and host name verified, or its fingerprint pinned. A broken
// connection is made again after a backoff, and what it may not have delivered goes again first,
// in order; the failure shows until a connection has stayed up.
class StreamLink : public TargetLink
{
    Q_OBJECT
public:
    StreamLink(const ForwardTarget& target, std::size_t capacity, const TlsOptions& tls);
    ~StreamLink() override;

    void start() override;

protected:
    void send() override;
    bool idle() const override;
    void retryNow() override;
    std::deque<QByteArray> closeSocket(bool graceful) override;

private:
    void connectToCollector();
    void onReady();
    void onBytesWritten(qint64 bytes);
    void onError();
    void onSslErrors(const QList<QSslError>& errors);
    // The collector's certificate has a pinned fingerprint.
    bool pinned() const;
    QString unpinned() const; // the failure when it is not
    // Forgets the sent messages that the collector's end has acknowledged.
    void trimSent();
    // Bytes handed to the socket that the collector's end has not acknowledged (an upper bound).
    qint64 unacknowledged() const;
    void broken(const QString& reason);

    TlsOptions m_tls;
    std::unique_ptr<QSslSocket> m_socket;
    std::unique_ptr<QTimer> m_retry;
    std::unique_ptr<QTimer> m_connectTimeout;
    std::unique_ptr<QTimer> m_settle; // the collector kept the connection: messages may go
    std::unique_ptr<QTimer> m_steady; // it has stayed up: the failure is over
    bool m_ready = false;
    int m_kernelSide = -1; // a second descriptor of the connection, to ask the kernel what it still holds
    QString m_sslFailure;

    // Messages handed to the socket, oldest first, that may not have reached the collector yet.
    std::deque<QByteArray> m_sent;
    qint64 m_sentBytes = 0; // their framed size
    qint64 m_handed = 0;    // bytes given to the socket on this connection
    qint64 m_written = 0;   // of which the socket reported written
    std::vector<QByteArray> m_batch;
};
