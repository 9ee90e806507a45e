// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QSocketNotifier>

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// Takes a socket's datagrams out of the kernel as soon as they arrive, in order, so that a burst
// waits in memory instead of overflowing the kernel's buffer while the window is busy. The reader
// thread does nothing else; the datagrams are handled on the window's thread.
class DatagramQueue
{
public:
    // Most datagrams held; past that they wait in the kernel.
    static constexpr std::size_t CAPACITY = 1000000;

    DatagramQueue() = default;
    ~DatagramQueue();
    DatagramQueue(const DatagramQueue&) = delete;
    DatagramQueue& operator=(const DatagramQueue&) = delete;

    // Starts reading `fd`, once per queue; `onWaiting` runs on this thread while a datagram waits.
    // 0, or errno.
    int start(int fd, std::function<void()> onWaiting);
    // Ends the reader, keeping what it took; pop() then also reads what the kernel holds at this
    // moment, and no more, so the end of a run handles a bounded rest.
    void stopReading();

    // The oldest datagram: its length, or -1 with `*error` EWOULDBLOCK when none waits, or
    // EMSGSIZE when it was longer than `capacity` (it is consumed all the same). `*source`, when
    // given, receives its sender's address (host order).
    long pop(char* buffer, std::size_t capacity, int* error, quint32* source = nullptr);

    // Datagrams the kernel dropped on this socket for want of buffer space.
    quint32 droppedBySystem() const;

    // Bytes kept of a datagram: one more than any reader accepts, so a longer one is refused.
    static constexpr std::size_t KEPT = 513;

private:
    static constexpr int BATCH = 64;
    static constexpr int TAKE = 256;

    void run();
    // Up to `most` waiting datagrams onto the queue; how many, or -1 with errno.
    int receiveBatch(int most);
    void signal();
    void clearSignal();

    int m_fd = -1;
    int m_waiting = -1; // eventfd: readable while the queue holds datagrams
    int m_stop = -1;    // eventfd: tells the reader to end
    std::thread m_reader;
    std::mutex m_mutex; // held for every read of the socket too, so the order is the arrival order
    struct Datagram {
        QByteArray bytes;
        quint32 source; // host order
    };
    std::deque<Datagram> m_queue;
    std::deque<Datagram> m_taken; // taken from the queue by the window's thread, not yet handed out
    char m_buffers[BATCH][KEPT];
    sockaddr_in m_sources[BATCH];
    char m_controls[BATCH][64];
    std::atomic<quint32> m_dropped{0};
    std::size_t m_kernelLeft = SIZE_MAX; // datagrams pop() may still read itself
    std::unique_ptr<QSocketNotifier> m_notifier;
};
