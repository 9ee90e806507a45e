#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>

#include <csignal>
#include <memory>

// A CA and a collector certificate issued by it for the address 127.0.0.1 only (no host name),
// made with openssl in `dir`.
struct TlsFiles {
    QString ca, certificate, key;
};
bool makeTlsFiles(const QString& dir, TlsFiles& files);

// A real rsyslogd of the test's own, never the system's: its own configuration, pid file and work
// directory under `dir`, listening on free loopback ports only (UDP, TCP, and TCP with TLS when
// given the files), no /dev/log. Each message it takes becomes one line of JSON (rsyslog's
// %jsonmesg%) in a file. Stopped, and killed if need be, on every way out: a killed test takes it
// along.
class Collector
{
public:
    explicit Collector(const QString& dir, const TlsFiles* tls = nullptr);
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Starts it and waits until every port listens; false with the reason in error().
    bool start();
    // Ends it with `signal` and waits for the end; the ports stay its own for the next start().
    void stop(int signal = SIGTERM);
    // Freezes and thaws the process: its sockets stay open, but nothing is read.
    void pause();
    void resume();

    quint16 udpPort() const { return m_udpPort; }
    quint16 tcpPort() const { return m_tcpPort; }
    quint16 tlsPort() const { return m_tlsPort; }
    QString error() const { return m_error; }

    // What it wrote so far: the messages, parsed, and how many lines there are.
    QList<QJsonObject> messages() const;
    int count() const;
    // The last message written, parsed (empty when none).
    QJsonObject last() const;

private:
    bool listening() const;

    QString m_dir;
    bool m_tls;
    quint16 m_udpPort = 0;
    quint16 m_tcpPort = 0;
    quint16 m_tlsPort = 0;
    std::unique_ptr<QProcess> m_process;
    QString m_error;
};

// A port that was free on 127.0.0.1 a moment ago (TCP or UDP).
quint16 freeLoopbackPort(bool tcp);
