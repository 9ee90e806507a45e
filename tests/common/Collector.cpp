// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Collector.h"

#include "common/Files.h"
#include "common/LoopbackPeer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTest>

#include <sys/prctl.h>

namespace
{

// Whether /proc/net/FILE lists a socket on 127.0.0.1:port with no peer, in `state` (TCP listening: 0A).
bool bound(const char* file, quint16 port, const char* state)
{
    return fileBytes(QStringLiteral("/proc/net/") + QLatin1String(file))
        .contains(": 0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') +
                  " 00000000:0000 " + state);
}

QJsonObject parseMessage(const QByteArray& line)
{
    // Escaped, as Qt's fast path for plain strings would drop a byte-order mark at their start.
    return QJsonDocument::fromJson(QByteArray(line).replace("\xEF\xBB\xBF", "\\uFEFF")).object();
}

} // namespace

quint16 freeTcpPort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

Collector::Collector(const QString& dir, bool clientCertificates)
    : udpPort(freeUdpPort()), tcpPort(freeTcpPort()), tlsPort(freeTcpPort()),
      pinnedPort(clientCertificates ? freeTcpPort() : 0), m_dir(dir)
{
    const QString auth = clientCertificates
                             ? R"(streamDriver.authMode="x509/name" permittedPeer=["sorvane-client"])"
                             : R"(streamDriver.authMode="anon")";
    QDir().mkpath(m_dir + "/work");
    writeFileBytes(
        file("rsyslog.conf"),
        QString(R"(global(workDirectory="%1/work" processInternalMessages="on"
       defaultNetstreamDriverCAFile="%1/ca.pem" defaultNetstreamDriverCertFile="%1/collector.pem"
       defaultNetstreamDriverKeyFile="%1/collector.key")
# One worker: messages are written in the order taken.
main_queue(queue.workerThreads="1")
module(load="imudp")
module(load="imtcp")
# Room for a burst of datagrams: UDP has no flow control.
input(type="imudp" address="127.0.0.1" port="%2" ruleset="in" rcvbufSize="4m")
input(type="imtcp" address="127.0.0.1" port="%3" ruleset="in")
input(type="imtcp" address="127.0.0.1" port="%4" ruleset="in" streamDriver.name="gtls"
      streamDriver.mode="1" %5)
%6
template(name="json" type="string" string="%jsonmesg%\n")
ruleset(name="in") { action(type="omfile" file="%1/messages.json" template="json") }
*.* action(type="omfile" file="%1/rsyslog-internal.log")
)")
            .arg(m_dir, QString::number(udpPort), QString::number(tcpPort), QString::number(tlsPort), auth,
                 clientCertificates ? QString(R"(input(type="imtcp" address="127.0.0.1" port="%1" ruleset="in"
      streamDriver.name="gtls" streamDriver.mode="1" %2
      streamDriver.certFile="%3/self.pem" streamDriver.keyFile="%3/self.key"))")
                                          .arg(QString::number(pinnedPort), auth, m_dir)
                                    : QString())
            .toUtf8());
}

QString Collector::start()
{
    if (!QFile::exists(file("ca.pem"))) {
        // A CA, and a certificate it issued for the address 127.0.0.1 only (no host name).
        QProcess openssl;
        openssl.setWorkingDirectory(m_dir);
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start("sh", {"-ec", R"(ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
openssl req -x509 $ec -days 2 -keyout ca.key -out ca.pem -subj "/CN=Sorvane Test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
openssl req $ec -keyout collector.key -out collector.csr -subj /CN=collector
printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' >collector.ext
openssl x509 -req -in collector.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile collector.ext -out collector.pem
# A client certificate of the CA, and a self-signed collector certificate for no name at all.
openssl req $ec -keyout client.key -out client.csr -subj /CN=sorvane-client
printf 'extendedKeyUsage=clientAuth\nbasicConstraints=CA:FALSE\n' >client.ext
openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -days 2 -extfile client.ext -out client.pem
openssl req -x509 $ec -days 2 -keyout self.key -out self.pem -subj /CN=self-signed
chmod 600 client.key)"});
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
            return "openssl failed: " + QString::fromLocal8Bit(openssl.readAll());
    }
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(m_dir + "/rsyslog.out", QIODevice::Append);
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process->start("/usr/sbin/rsyslogd",
                     {"-n", "-f", m_dir + "/rsyslog.conf", "-i", m_dir + "/rsyslog.pid"});
    const QDeadlineTimer deadline(20000);
    while (!bound("udp", udpPort, "07") || !bound("tcp", tcpPort, "0A") || !bound("tcp", tlsPort, "0A") ||
           (pinnedPort != 0 && !bound("tcp", pinnedPort, "0A"))) {
        if (m_process->state() == QProcess::NotRunning || deadline.hasExpired()) {
            stop();
            return "rsyslogd did not start (scripts/setup.sh installs it): " +
                   QString::fromLocal8Bit(fileBytes(file("rsyslog.out")));
        }
        QTest::qWait(20);
    }
    return {};
}

void Collector::stop(int signal)
{
    if (m_process && m_process->state() == QProcess::Running)
        ::kill(pid_t(m_process->processId()), signal);
    if (m_process && !m_process->waitForFinished(10000)) {
        m_process->kill();
        m_process->waitForFinished();
    }
    m_process.reset();
}

QByteArray Collector::written() const
{
    return QFile::exists(file("messages.json")) ? fileBytes(file("messages.json")) : QByteArray();
}

QList<QJsonObject> Collector::messages() const
{
    QList<QJsonObject> list;
    const QList<QByteArray> lines = written().split('\n');
    // The last piece follows the last line's end: nothing, or a line still being written.
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        QJsonObject message = parseMessage(lines[i]);
        // A collector killed in the middle of a line leaves it torn, and the restarted one writes
        // its first message on after it: that message is the line's last object.
        const qsizetype key = message.isEmpty() ? lines[i].lastIndexOf("\"msg\"") : -1;
        const qsizetype start = key > 0 ? lines[i].lastIndexOf('{', key) : -1;
        if (start > 0)
            message = parseMessage(lines[i].mid(start));
        if (!message.isEmpty())
            list << message;
    }
    return list;
}

QList<int> Collector::numbers() const
{
    QList<int> list;
    for (const QJsonObject& message : messages())
        list << message.value("msg").toString().section(' ', 2, 2).mid(1).toInt();
    return list;
}
