// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/DatagramQueue.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr int BURST = 256; // datagrams read per hold of the lock

// The kernel's accounts of a socket's memory; what it does not report reads as zero.
std::array<quint32, SK_MEMINFO_VARS> memoryInfo(int fd)
{
    std::array<quint32, SK_MEMINFO_VARS> info = {};
    socklen_t length = sizeof info;
    if (fd >= 0)
        ::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info.data(), &length);
    return info;
}

} // namespace

int DatagramQueue::start(int fd, std::function<void()> onWaiting)
{
    m_waiting = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_waiting < 0 || m_stop < 0)
        return errno;
    m_fd = fd;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    m_notifier = std::make_unique<QSocketNotifier>(m_waiting, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                     [onWaiting = std::move(onWaiting)] { onWaiting(); });
    m_reader = std::thread([this] { run(); });
    return 0;
}

void DatagramQueue::stopReading()
{
    if (m_reader.joinable()) {
        const quint64 one = 1;
        (void)!::write(m_stop, &one, sizeof one);
        m_reader.join();
    }
    if (m_notifier)
        m_notifier->setEnabled(false);
    // No datagram is charged less than 256 bytes, so this covers all the kernel holds now.
    m_kernelLeft = memoryInfo(m_fd)[SK_MEMINFO_RMEM_ALLOC] / 256 + 1;
}

DatagramQueue::~DatagramQueue()
{
    stopReading();
    m_notifier.reset();
    for (const int fd : {m_waiting, m_stop})
        if (fd >= 0)
            ::close(fd);
}

int DatagramQueue::receiveBatch(int most)
{
    // Several datagrams per system call: the reader has to outrun a sender on the same machine.
    mmsghdr messages[BATCH];
    iovec vectors[BATCH];
    const int wanted = std::min(most, BATCH);
    for (int i = 0; i < wanted; ++i) {
        vectors[i] = {m_buffers[i], KEPT};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &m_sources[i];
        messages[i].msg_hdr.msg_namelen = sizeof m_sources[i];
        messages[i].msg_hdr.msg_control = m_controls[i];
        messages[i].msg_hdr.msg_controllen = sizeof m_controls[i];
    }
    int n;
    do {
        n = ::recvmmsg(m_fd, messages, static_cast<unsigned>(wanted), MSG_DONTWAIT, nullptr);
    } while (n < 0 && errno == EINTR);
    for (int i = 0; i < n; ++i) {
        msghdr& header = messages[i].msg_hdr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                quint32 dropped;
                std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
                m_dropped.store(dropped, std::memory_order_relaxed);
            }
        }
        // A datagram longer than the kept bytes shows as KEPT bytes, which no reader accepts.
        m_queue.push_back({QByteArray(m_buffers[i], static_cast<qsizetype>(
                                                        std::min<std::size_t>(messages[i].msg_len, KEPT))),
                           ntohl(m_sources[i].sin_addr.s_addr)});
    }
    return n;
}

quint32 DatagramQueue::droppedBySystem() const
{
    // The kernel's own count also covers drops after the last datagram read.
    return std::max(m_dropped.load(std::memory_order_relaxed), memoryInfo(m_fd)[SK_MEMINFO_DROPS]);
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
            for (int i = 0; i < BURST / BATCH && m_queue.size() < CAPACITY && receiveBatch(BATCH) > 0; ++i) {
            }
            if (wasEmpty && !m_queue.empty())
                signal();
            full = m_queue.size() >= CAPACITY;
        }
        if (full) // let the window catch up; the rest waits in the kernel
            ::poll(&fds[1], 1, 10);
    }
}

long DatagramQueue::pop(char* buffer, std::size_t capacity, int* error, quint32* source)
{
    if (m_taken.empty()) {
        // Take many at once, so the window and the reader meet at the lock seldom.
        const std::lock_guard<std::mutex> lock(m_mutex);
        // Nothing queued: a datagram the reader has not reached yet is read here, in order.
        if (m_queue.empty()) {
            if (m_kernelLeft == 0 || receiveBatch(1) <= 0) {
                *error = m_kernelLeft == 0 ? EWOULDBLOCK : errno;
                return -1;
            }
            if (m_kernelLeft != SIZE_MAX)
                --m_kernelLeft;
        }
        for (int i = 0; i < TAKE && !m_queue.empty(); ++i) {
            m_taken.push_back(std::move(m_queue.front()));
            m_queue.pop_front();
        }
    }
    const QByteArray datagram = std::move(m_taken.front().bytes);
    if (source)
        *source = m_taken.front().source;
    m_taken.pop_front();
    if (m_taken.empty()) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.empty())
            clearSignal(); // the notice stays up while anything waits, here or in the queue
    }
    if (static_cast<std::size_t>(datagram.size()) > capacity) {
        *error = EMSGSIZE;
        return -1;
    }
    std::memcpy(buffer, datagram.constData(), static_cast<std::size_t>(datagram.size()));
    return datagram.size();
}
