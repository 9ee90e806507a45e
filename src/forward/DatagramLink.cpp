#include "forward/DatagramLink.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr std::size_t TAKE = 64;
// A failure is shown until sends have gone well for this long.
constexpr qint64 FAILURE_SHOWN_MS = 2000;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

DatagramLink::DatagramLink(const ForwardTarget& target, std::size_t capacity) : TargetLink(target, capacity)
{
}

DatagramLink::~DatagramLink()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void DatagramLink::start()
{
    m_retry = std::make_unique<QTimer>();
    m_retry->setSingleShot(true);
    connect(m_retry.get(), &QTimer::timeout, this, &DatagramLink::resolve);
    resolve();
}

void DatagramLink::resolve()
{
    const QHostAddress address(target().host);
    if (!address.isNull())
        open(address);
    else
        QHostInfo::lookupHost(target().host, this, &DatagramLink::onLookup);
}

void DatagramLink::onLookup(const QHostInfo& info)
{
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty())
        failed(info.errorString());
    else
        open(info.addresses().constFirst());
}

void DatagramLink::failed(const QString& reason)
{
    setFailure(reason);
    m_retry->start(finishing() ? std::chrono::milliseconds(100) : nextBackoff());
}

void DatagramLink::open(const QHostAddress& address)
{
    sockaddr_storage to{};
    socklen_t length = 0;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&to);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(target().port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
        length = sizeof *in6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&to);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(target().port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in4;
    }
    const int fd = ::socket(to.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&to), length) != 0) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        failed(systemError(error));
        return;
    }
    m_fd = fd;
    resetBackoff();
    m_writable = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
    m_writable->setEnabled(false);
    connect(m_writable.get(), &QSocketNotifier::activated, this, [this] {
        m_writable->setEnabled(false);
        send();
    });
    send();
}

void DatagramLink::send()
{
    if (m_fd < 0 || m_writable->isEnabled())
        return;
    mmsghdr headers[TAKE];
    iovec parts[TAKE];
    for (;;) {
        m_batch.clear();
        take(m_batch, TAKE);
        if (m_batch.empty())
            return;
        for (std::size_t i = 0; i < m_batch.size(); ++i) {
            parts[i].iov_base = m_batch[i].data();
            parts[i].iov_len = std::size_t(m_batch[i].size());
            headers[i] = {};
            headers[i].msg_hdr.msg_iov = &parts[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        std::size_t done = 0;
        while (done < m_batch.size()) {
            const int sent = ::sendmmsg(m_fd, headers + done, unsigned(m_batch.size() - done), 0);
            if (sent > 0) {
                done += std::size_t(sent);
                if (m_sinceError.isValid() && m_sinceError.elapsed() > FAILURE_SHOWN_MS) {
                    m_sinceError.invalidate();
                    setFailure(QString());
                }
                continue;
            }
            const int error = errno;
            if (error == EINTR)
                continue;
            if (error == EAGAIN || error == ENOBUFS) {
                // The socket's buffer is full: the rest waits, in order, until it has room.
                std::deque<QByteArray> rest(std::make_move_iterator(m_batch.begin() + std::ptrdiff_t(done)),
                                            std::make_move_iterator(m_batch.end()));
                putBack(rest);
                m_writable->setEnabled(true);
                return;
            }
            // A refusal reports an earlier datagram, lost; this one is tried again. Any other
            // failure is this datagram's, and it is dropped.
            countNotForwarded(1);
            if (error != ECONNREFUSED)
                ++done;
            m_sinceError.start();
            setFailure(systemError(error));
        }
    }
}

std::deque<QByteArray> DatagramLink::closeSocket(bool)
{
    if (m_retry)
        m_retry->stop();
    m_writable.reset();
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    return {};
}

void DatagramLink::retryNow()
{
    if (m_retry && m_retry->isActive()) {
        m_retry->stop();
        resolve();
    }
}
