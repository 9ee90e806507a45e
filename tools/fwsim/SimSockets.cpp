// SPDX-License-Identifier: GPL-3.0-or-later
#include "fwsim/SimSockets.h"

#include "events/EventRecord.h"
#include "net/Discovery.h"

#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/udp.h>
#include <sys/socket.h>

namespace
{

// Datagrams a send call carries; also the kernel's limit for one segmented send.
constexpr int BATCH = 64;
// Well inside the 65507-byte payload one segmented send may carry.
constexpr int MAX_SEGMENTED_BYTES = 60000;
constexpr int FULL_QUEUE_PATIENCE_MS = 2000;

QString addressText(const sockaddr_in& address)
{
    return QStringLiteral("%1:%2")
        .arg(QString::fromLatin1(FormatIPAddress(address.sin_addr.s_addr)))
        .arg(ntohs(address.sin_port));
}

} // namespace

int EventSender::open(quint32 address, quint16 port)
{
    m_to.sin_family = AF_INET;
    m_to.sin_addr.s_addr = htonl(address);
    m_to.sin_port = htons(port);
    if (const int error = m_socket.create(UdpSocket::Mode::Blocking))
        return error;
    // Room for a burst, so a flood rarely waits on the queue.
    const int size = 4 << 20;
    ::setsockopt(m_socket.fd(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    // Connected, the kernel keeps the route instead of looking it up for every datagram.
    if (::connect(m_socket.fd(), reinterpret_cast<const sockaddr*>(&m_to), sizeof m_to) != 0)
        return errno;
    return 0;
}

QString EventSender::destination() const
{
    return addressText(m_to);
}

int EventSender::send(const QByteArray* datagrams, int count)
{
    QDeadlineTimer patience(FULL_QUEUE_PATIENCE_MS);
    int done = 0;
    while (done < count) {
        const int n = std::min(BATCH, count - done);
        const int sent = sendChunk(datagrams + done, n);
        if (sent > 0) {
            done += sent;
            patience.setRemainingTime(FULL_QUEUE_PATIENCE_MS);
            continue;
        }
        const int error = sent < 0 ? errno : EAGAIN;
        // ECONNREFUSED reports an earlier datagram that found no listener; this one was not sent yet.
        if (error == EINTR || error == ECONNREFUSED)
            continue;
        if ((error == ENOBUFS || error == EAGAIN) && !patience.hasExpired()) {
            QThread::usleep(100);
            continue;
        }
        return error;
    }
    return 0;
}

int EventSender::sendChunk(const QByteArray* datagrams, int n)
{
    const int length = datagrams[0].size();
    const bool sameLength =
        std::all_of(datagrams, datagrams + n, [length](const QByteArray& d) { return d.size() == length; });
    if (m_segmentation && n > 1 && length > 0 && length * n <= MAX_SEGMENTED_BYTES && sameLength) {
        const int sent = sendSegmented(datagrams, n);
        if (sent >= 0 || (errno != EIO && errno != EINVAL && errno != ENOPROTOOPT && errno != EOPNOTSUPP))
            return sent;
        // The path cannot segment: send one datagram a message from now on.
        m_segmentation = false;
    }
    iovec iov[BATCH];
    mmsghdr messages[BATCH];
    for (int i = 0; i < n; ++i) {
        iov[i].iov_base = const_cast<char*>(datagrams[i].constData());
        iov[i].iov_len = static_cast<std::size_t>(datagrams[i].size());
        std::memset(&messages[i], 0, sizeof messages[i]);
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    return ::sendmmsg(m_socket.fd(), messages, static_cast<unsigned>(n), 0);
}

int EventSender::sendSegmented(const QByteArray* datagrams, int n)
{
    const int length = datagrams[0].size();
    m_segments.resize(length * n);
    for (int i = 0; i < n; ++i)
        std::memcpy(m_segments.data() + i * length, datagrams[i].constData(),
                    static_cast<std::size_t>(length));
    iovec iov = {m_segments.data(), static_cast<std::size_t>(m_segments.size())};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(quint16))] = {};
    msghdr message = {};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_UDP;
    header->cmsg_type = UDP_SEGMENT;
    header->cmsg_len = CMSG_LEN(sizeof(quint16));
    const quint16 segment = static_cast<quint16>(length);
    std::memcpy(CMSG_DATA(header), &segment, sizeof segment);
    return ::sendmsg(m_socket.fd(), &message, 0) < 0 ? -1 : n;
}

bool DiscoveryResponder::open(quint16 port, QString& error)
{
    if (const int e = m_socket.create()) {
        error =
            QStringLiteral("cannot create a UDP socket: %1").arg(QString::fromLocal8Bit(std::strerror(e)));
        return false;
    }
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    if (::bind(m_socket.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int e = errno;
        error = QStringLiteral("cannot bind the discovery port 0.0.0.0:%1: %2")
                    .arg(port)
                    .arg(QString::fromLocal8Bit(std::strerror(e)));
        if (e == EACCES)
            error += QStringLiteral(" (choose a port above 1023 with --discovery-port, or grant "
                                    "cap_net_bind_service)");
        m_socket.close();
        return false;
    }
    ::fcntl(m_socket.fd(), F_SETFL, ::fcntl(m_socket.fd(), F_GETFL) | O_NONBLOCK);
    m_socket.watch([this] { readOne(); });
    return true;
}

bool DiscoveryResponder::record(const QString& path, QString& error)
{
    m_record.setFileName(path);
    if (!m_record.open(QIODevice::WriteOnly | QIODevice::Append)) {
        error = QStringLiteral("cannot open %1 for --record: %2").arg(path, m_record.errorString());
        return false;
    }
    return true;
}

void DiscoveryResponder::readOne()
{
    char buffer[MAX_DATAGRAM_SIZE + 1];
    sockaddr_in from = {};
    socklen_t fromLength = sizeof from;
    const ssize_t received =
        ::recvfrom(m_socket.fd(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received < 0)
        return;
    // Only the Discover packet is a request; anything else reaching the port is not answered.
    if (QByteArray::fromRawData(buffer, static_cast<int>(received)) != DiscoverPacket())
        return;

    // Recorded first, so whoever got a reply finds the line already written.
    if (m_record.isOpen()) {
        m_record.write(addressText(from).toLatin1() + ' ' +
                       QByteArray(buffer, static_cast<int>(received)).toHex() + '\n');
        m_record.flush();
    }
    for (int i = 0; i < m_servers.size(); ++i) {
        const QByteArray reply =
            encodeDiscoveryReply(m_servers[i], QByteArrayLiteral("firewall ") + QByteArray::number(i + 1));
        if (::sendto(m_socket.fd(), reply.constData(), static_cast<std::size_t>(reply.size()), 0,
                     reinterpret_cast<const sockaddr*>(&from), sizeof from) < 0) {
            std::fprintf(stderr, "sorvane-fwsim: cannot answer %s: %s\n", qPrintable(addressText(from)),
                         std::strerror(errno));
        }
    }
    ++m_answered;
    if (m_onAnswered)
        m_onAnswered();
}
