// SPDX-License-Identifier: GPL-3.0-or-later
#include "forward/StreamLink.h"

#include "forward/ForwardCredentials.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

// How much the socket may hold before the queue stops feeding it.
constexpr qint64 HIGH_WATER = 256 * 1024;
constexpr std::size_t TAKE = 512;
constexpr int CONNECT_TIMEOUT_MS = 10000;
// Unacknowledged data older than this breaks the connection: a collector gone without a word.
constexpr unsigned USER_TIMEOUT_MS = 30000;
constexpr int GOODBYE_MS = 200;
// A collector that refuses the client drops the connection right after the handshake: what was
// written by then would be acknowledged by its kernel and lost without a trace.
constexpr int SETTLE_MS = 500;
// A collector that takes a connection and drops it at once is still failing: only a connection up
// this long ends the failure and the backoff.
constexpr int STEADY_MS = 10000;

qint64 framedSize(const QByteArray& message)
{
    qint64 digits = 1;
    for (qint64 n = message.size(); n >= 10; n /= 10)
        ++digits;
    return digits + 1 + message.size();
}

} // namespace

StreamLink::StreamLink(const ForwardTarget& target, std::size_t capacity, const TlsOptions& tls)
    : TargetLink(target, capacity), m_tls(tls)
{
}

StreamLink::~StreamLink()
{
    if (m_kernelSide >= 0)
        ::close(m_kernelSide);
}

void StreamLink::start()
{
    m_retry = std::make_unique<QTimer>();
    m_retry->setSingleShot(true);
    connect(m_retry.get(), &QTimer::timeout, this, &StreamLink::connectToCollector);
    m_connectTimeout = std::make_unique<QTimer>();
    m_connectTimeout->setSingleShot(true);
    connect(m_connectTimeout.get(), &QTimer::timeout, this,
            [this] { broken(QStringLiteral("no connection within %1 s").arg(CONNECT_TIMEOUT_MS / 1000)); });
    m_settle = std::make_unique<QTimer>();
    m_settle->setSingleShot(true);
    connect(m_settle.get(), &QTimer::timeout, this, [this] {
        m_ready = true;
        send();
    });
    m_steady = std::make_unique<QTimer>();
    m_steady->setSingleShot(true);
    connect(m_steady.get(), &QTimer::timeout, this, [this] {
        resetBackoff();
        setFailure(QString());
    });
    connectToCollector();
}

void StreamLink::connectToCollector()
{
    const bool tls = target().transport == Transport::Tls;
    if (tls && !QSslSocket::supportsSsl()) {
        setFailure(QStringLiteral("TLS is not available on this system"));
        return;
    }
    m_socket = std::make_unique<QSslSocket>();
    m_sslFailure.clear();
    connect(m_socket.get(), &QSslSocket::bytesWritten, this, &StreamLink::onBytesWritten);
    connect(m_socket.get(), &QSslSocket::errorOccurred, this, &StreamLink::onError);
    if (tls) {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        if (!m_tls.caCertificates.isEmpty())
            config.setCaCertificates(m_tls.caCertificates);
        if (m_tls.clientKey) {
            config.setLocalCertificateChain(m_tls.clientCertificates);
            config.setPrivateKey(*m_tls.clientKey);
        }
        config.setPeerVerifyMode(QSslSocket::VerifyPeer);
        config.setProtocol(QSsl::TlsV1_2OrLater);
        m_socket->setSslConfiguration(config);
        connect(m_socket.get(), &QSslSocket::sslErrors, this, &StreamLink::onSslErrors);
        connect(m_socket.get(), &QSslSocket::encrypted, this, &StreamLink::onReady);
        m_socket->connectToHostEncrypted(target().host, target().port);
    } else {
        connect(m_socket.get(), &QSslSocket::connected, this, &StreamLink::onReady);
        m_socket->connectToHost(target().host, target().port);
    }
    m_connectTimeout->start(CONNECT_TIMEOUT_MS);
}

void StreamLink::onReady()
{
    m_connectTimeout->stop();
    // Errors are ignored for a pinned certificate only, but a certificate without errors must be
    // pinned too.
    if (!m_tls.fingerprints.isEmpty() && !pinned()) {
        broken(unpinned());
        return;
    }
    m_settle->start(SETTLE_MS);
    m_steady->start(STEADY_MS);
    const int fd = int(m_socket->socketDescriptor());
    m_kernelSide = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const unsigned timeout = USER_TIMEOUT_MS;
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
}

void StreamLink::send()
{
    while (m_ready && m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite() < HIGH_WATER) {
        m_batch.clear();
        take(m_batch, TAKE);
        if (m_batch.empty())
            break;
        QByteArray chunk;
        qsizetype size = 0;
        for (const QByteArray& message : m_batch)
            size += message.size() + 6;
        chunk.reserve(size);
        for (QByteArray& message : m_batch) {
            chunk += QByteArray::number(message.size());
            chunk += ' ';
            chunk += message;
            m_sentBytes += framedSize(message);
            m_sent.push_back(std::move(message));
        }
        m_handed += chunk.size();
        m_socket->write(chunk);
    }
    setInFlight(m_sent.size());
}

void StreamLink::onBytesWritten(qint64 bytes)
{
    m_written += bytes;
    trimSent();
    send();
}

qint64 StreamLink::unacknowledged() const
{
    // Not yet written by the socket, plus what the kernel holds unacknowledged. Over TLS the
    // kernel's count is of encrypted bytes, a little more than the messages they carry: the bound
    // then errs towards sending a message twice, never towards losing it.
    qint64 pending = m_handed - m_written;
    if (m_socket)
        pending += m_socket->encryptedBytesToWrite();
    int queued = 0;
    if (m_kernelSide >= 0 && ::ioctl(m_kernelSide, SIOCOUTQ, &queued) == 0)
        pending += queued;
    else
        return m_sentBytes;
    return pending;
}

void StreamLink::trimSent()
{
    const qint64 pending = unacknowledged();
    while (!m_sent.empty() && m_sentBytes - framedSize(m_sent.front()) >= pending) {
        m_sentBytes -= framedSize(m_sent.front());
        m_sent.pop_front();
    }
}

bool StreamLink::idle() const
{
    return m_ready && unacknowledged() == 0;
}

bool StreamLink::pinned() const
{
    return m_tls.fingerprints.contains(m_socket->peerCertificate().digest(QCryptographicHash::Sha256));
}

QString StreamLink::unpinned() const
{
    return QStringLiteral("the collector's certificate %1 matches no --forward-fingerprint")
        .arg(fingerprintText(m_socket->peerCertificate()));
}

void StreamLink::onSslErrors(const QList<QSslError>& errors)
{
    // The first reason is the one shown, with the option that chose whom to trust.
    if (!m_tls.fingerprints.isEmpty()) {
        if (pinned())
            m_socket->ignoreSslErrors();
        else
            m_sslFailure = unpinned();
    } else if (!errors.isEmpty()) {
        m_sslFailure = errors.first().errorString() +
                       (m_tls.caCertificates.isEmpty() ? QStringLiteral(" (checked against the system's CAs, "
                                                                        "as no --forward-ca is given)")
                                                       : QStringLiteral(" (checked against --forward-ca)"));
    }
}

void StreamLink::onError()
{
    if (m_settle->isActive() && target().transport == Transport::Tls)
        broken(
            !m_tls.clientKey
                ? QStringLiteral("the collector closed the connection after the TLS handshake: it may want "
                                 "a client certificate (--forward-cert, --forward-key)")
                : QStringLiteral("the collector closed the connection after the TLS handshake: it may not "
                                 "take the certificate of --forward-cert"));
    else
        broken(m_sslFailure.isEmpty() ? m_socket->errorString() : m_sslFailure);
}

void StreamLink::broken(const QString& reason)
{
    std::deque<QByteArray> again = closeSocket(false);
    putBack(again);
    setFailure(reason);
    // While finishing, the last seconds are better spent trying than waiting.
    m_retry->start(finishing() ? std::chrono::milliseconds(100) : nextBackoff());
}

std::deque<QByteArray> StreamLink::closeSocket(bool graceful)
{
    if (m_connectTimeout)
        m_connectTimeout->stop();
    if (m_retry)
        m_retry->stop();
    if (m_steady) {
        m_settle->stop();
        m_steady->stop();
    }
    trimSent();
    if (m_kernelSide >= 0) {
        ::close(m_kernelSide);
        m_kernelSide = -1;
    }
    if (m_socket) {
        m_socket->disconnect(this);
        if (graceful && m_ready) {
            // A TLS collector wants its close notification; this thread is the forwarder's own.
            m_socket->disconnectFromHost();
            if (m_socket->state() != QAbstractSocket::UnconnectedState)
                m_socket->waitForDisconnected(GOODBYE_MS);
        }
        m_socket->abort();
        // Deleted from the event loop: this may run inside one of its signals.
        m_socket.release()->deleteLater();
    }
    m_ready = false;
    m_handed = m_written = 0;
    m_sentBytes = 0;
    setInFlight(0);
    return std::exchange(m_sent, {});
}

void StreamLink::retryNow()
{
    if (m_retry && m_retry->isActive()) {
        m_retry->stop();
        connectToCollector();
    }
}
