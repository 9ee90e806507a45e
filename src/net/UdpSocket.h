#pragma once

#include "net/DatagramQueue.h"

#include <QSocketNotifier>

#include <functional>
#include <memory>

// An IPv4 datagram socket that owns its descriptor and its read notifier. The notifier goes before
// the descriptor, so a replaced socket never leaves one watching a closed or reused descriptor.
class UdpSocket
{
public:
    UdpSocket() = default;
    ~UdpSocket() { close(); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // 0, or errno of the failed socket(). The monitor's sockets never block: a read with nothing
    // waiting fails at once. A sender that wants the kernel to wait out a full queue asks to block.
    enum class Mode { NonBlocking, Blocking };
    int create(Mode mode = Mode::NonBlocking);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Level-triggered: `onReadable` runs again after each read while a datagram waits.
    void watch(std::function<void()> onReadable);
    // The same, with a reader thread that takes each datagram out of the kernel at once. 0, or errno.
    int watchQueued(std::function<void()> onReadable);
    DatagramQueue* queue() const { return m_queue.get(); }

private:
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<DatagramQueue> m_queue;
};

// Reads one datagram of at most `capacity` bytes. Returns its length, or -1 with `*error` set:
// EWOULDBLOCK when none waits, EMSGSIZE when it was longer (it is consumed all the same).
// `*source`, when given, receives its sender's address (host order).
long receiveDatagram(const UdpSocket& socket, char* buffer, std::size_t capacity, int* error,
                     quint32* source = nullptr);
