#include "net/DatagramQueue.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr std::size_t LARGEST_KEPT = 65536;
constexpr int BURST = 256; // datagrams read per hold of the lock

} // namespace

int DatagramQueue::start(int fd, std::function<void()> onWaiting)
{
    stop();
    m_waiting = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_waiting < 0 || m_stop < 0) {
        const int error = errno;
        stop();
        return error;
    }
    m_fd = fd;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    m_notifier = std::make_unique<QSocketNotifier>(m_waiting, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                     [onWaiting = std::move(onWaiting)] { onWaiting(); });
    m_reader = std::thread([this] { run(); });
    return 0;
}

void DatagramQueue::stop()
{
    if (m_reader.joinable()) {
        const quint64 one = 1;
        (void)!::write(m_stop, &one, sizeof one);
        m_reader.join();
    }
    m_notifier.reset();
    for (int* fd : {&m_waiting, &m_stop}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_fd = -1;
    m_queue.clear();
}

bool DatagramQueue::receiveOne(QByteArray& out)
{
    char data[LARGEST_KEPT];
    char control[CMSG_SPACE(sizeof(quint32))];
    iovec vector{data, sizeof data};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(m_fd, &message, MSG_DONTWAIT | MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            quint32 dropped;
            std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
            m_dropped.store(dropped, std::memory_order_relaxed);
        }
    }
    // A datagram too long for any reader keeps its length, so the reader can refuse it.
    out = QByteArray(data, static_cast<qsizetype>(std::min<std::size_t>(n, sizeof data)));
    if (static_cast<std::size_t>(n) > sizeof data)
        out.resize(static_cast<qsizetype>(n), '\0');
    return true;
}

void DatagramQueue::signal()
{
    const quint64 one = 1;
    (void)!::write(m_waiting, &one, sizeof one);
}

void DatagramQueue::clearSignal()
{
    quint64 count;
    (void)!::read(m_waiting, &count, sizeof count);
}

void DatagramQueue::run()
{
    pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        bool full = false;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            const bool wasEmpty = m_queue.empty();
            QByteArray datagram;
            for (int i = 0; i < BURST && m_queue.size() < CAPACITY && receiveOne(datagram); ++i)
                m_queue.push_back(std::move(datagram));
            if (wasEmpty && !m_queue.empty())
                signal();
            full = m_queue.size() >= CAPACITY;
        }
        if (full) // let the window catch up; the rest waits in the kernel
            ::poll(&fds[1], 1, 10);
    }
}

long DatagramQueue::pop(char* buffer, std::size_t capacity, int* error)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    QByteArray datagram;
    if (!m_queue.empty()) {
        datagram = std::move(m_queue.front());
        m_queue.pop_front();
        if (m_queue.empty())
            clearSignal();
    } else if (!receiveOne(datagram)) {
        // Nothing queued: a datagram the reader has not reached yet is read here, in order.
        *error = errno;
        return -1;
    }
    if (static_cast<std::size_t>(datagram.size()) > capacity) {
        *error = EMSGSIZE;
        return -1;
    }
    std::memcpy(buffer, datagram.constData(), static_cast<std::size_t>(datagram.size()));
    return datagram.size();
}
