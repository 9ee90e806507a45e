// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <netinet/in.h>

// The local port a socket is bound to, or 0.
quint16 boundPort(int fd);

// The test's own end of a UDP conversation: a firewall, a collector or another program. It sends to
// the loopback range only.
class LoopbackPeer
{
public:
    // Bound to `address`:`port` (0: a free port), broadcast allowed, with room for a flood.
    explicit LoopbackPeer(quint16 port = 0, quint32 address = INADDR_LOOPBACK);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    int fd() const { return m_fd; }
    quint16 port() const { return boundPort(m_fd); }
    // To `address` (host order, 127.0.0.0/8 only):`port`.
    bool sendTo(quint16 port, const QByteArray& bytes, quint32 address = INADDR_LOOPBACK) const;
    // One datagram within `timeoutMs` (0: only one already waiting), with its source port.
    bool receive(QByteArray& bytes, int timeoutMs = 0, quint16* fromPort = nullptr) const;

private:
    int m_fd;
};

// A UDP port that was free on 0.0.0.0 a moment ago.
quint16 freeUdpPort();
