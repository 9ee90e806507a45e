// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "net/UdpSocket.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QVector>

#include <functional>
#include <netinet/in.h>

// Sends event datagrams to the one monitor address it was opened for, and nowhere else.
class EventSender
{
public:
    // 0, or errno.
    int open(quint32 address, quint16 port); // host order
    // Sends all `count` datagrams in order; waits out a full send queue. 0, or errno.
    int send(const QByteArray* datagrams, int count);
    QString destination() const;

private:
    // Datagrams sent by one call, or -1 with errno.
    int sendChunk(const QByteArray* datagrams, int n);
    // Equal-length datagrams in one buffer that the kernel cuts apart (UDP segmentation offload).
    int sendSegmented(const QByteArray* datagrams, int n);

    UdpSocket m_socket;
    sockaddr_in m_to = {};
    bool m_segmentation = true;
    QByteArray m_segments;
};

// Answers each Discover packet that reaches its port with one reply per server played, sent back
// to the packet's source address and port.
class DiscoveryResponder
{
public:
    explicit DiscoveryResponder(const QVector<quint32>& servers) : m_servers(servers) {}

    // Binds 0.0.0.0:port and starts answering. False with a message.
    bool open(quint16 port, QString& error);
    // Appends a line per answered packet to `path`. False with a message.
    bool record(const QString& path, QString& error);

    qint64 answered() const { return m_answered; }
    void setOnAnswered(std::function<void()> onAnswered) { m_onAnswered = std::move(onAnswered); }

private:
    void readOne();

    QVector<quint32> m_servers;
    UdpSocket m_socket;
    QFile m_record;
    qint64 m_answered = 0;
    std::function<void()> m_onAnswered;
};
