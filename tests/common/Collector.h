// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/Files.h"

#include <QJsonObject>
#include <QProcess>

#include <csignal>
#include <memory>

// A real rsyslogd of the test's own, never the system's: its files under `dir`, free loopback ports
// only (UDP, TCP, TLS with a CA of its own), no /dev/log. Each message it takes becomes one line of
// JSON. Killed along with a killed test. Both TLS ports take only a client with the CA's certificate
// for "sorvane-client" (client.pem, client.key); the pinned port shows a self-signed one (self.pem).
class Collector
{
public:
    explicit Collector(const QString& dir);
    ~Collector() { stop(); }

    // Starts it and waits until every port listens; the reason when it does not (empty when it does).
    QString start();
    // Ends it with `signal`; the ports stay its own for the next start().
    void stop(int signal = SIGTERM);

    const quint16 udpPort, tcpPort, tlsPort, pinnedPort;
    QString file(const QString& name) const { return m_dir + '/' + name; }

    // The messages written so far, parsed, and their count.
    QList<QJsonObject> messages() const;
    int count() const { return int(written().count('\n')); }
    // The N of each user uN in the messages, in the order written.
    QList<int> numbers() const;

private:
    QByteArray written() const { return fileBytes(file("messages.json")); }

    QString m_dir;
    std::unique_ptr<QProcess> m_process;
};

// A TCP port that was free on 127.0.0.1 a moment ago.
quint16 freeTcpPort();
