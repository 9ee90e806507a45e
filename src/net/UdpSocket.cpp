#include "net/UdpSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int UdpSocket::create(Mode mode)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (mode == Mode::NonBlocking ? SOCK_NONBLOCK : 0), 0);
    return m_fd < 0 ? errno : 0;
}

void UdpSocket::close()
{
    m_notifier.reset();
    m_queue.reset();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void UdpSocket::watch(std::function<void()> onReadable)
{
    m_notifier.reset(); // one notifier a descriptor: Qt's Unix dispatcher keeps only one
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                     [onReadable = std::move(onReadable)] { onReadable(); });
}

int UdpSocket::watchQueued(std::function<void()> onReadable)
{
    m_notifier.reset();
    m_queue = std::make_unique<DatagramQueue>();
    const int error = m_queue->start(m_fd, std::move(onReadable));
    if (error)
        m_queue.reset();
    return error;
}

long receiveDatagram(const UdpSocket& socket, char* buffer, std::size_t capacity, int* error, quint32* source)
{
    if (DatagramQueue* queue = socket.queue())
        return queue->pop(buffer, capacity, error, source);
    for (;;) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(socket.fd(), buffer, capacity, MSG_TRUNC | MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &length);
        if (source)
            *source = ntohl(from.sin_addr.s_addr);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = errno;
            return -1;
        }
        if (static_cast<std::size_t>(n) > capacity) {
            *error = EMSGSIZE;
            return -1;
        }
        return n;
    }
}
