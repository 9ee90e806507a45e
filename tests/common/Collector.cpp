// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Collector.h"

#include "common/LoopbackPeer.h"

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

Collector::Collector(const QString& dir)
    : udpPort(freeUdpPort()), tcpPort(freeTcpPort()), tlsPort(freeTcpPort()), pinnedPort(freeTcpPort()),
      m_dir(dir)
{
    QDir().mkpath(m_dir + "/work");
    const QString tls = R"(streamDriver.name="gtls" streamDriver.mode="1" streamDriver.authMode="x509/name"
      permittedPeer=["sorvane-client"])";
    const QString config = R"(
global(workDirectory="%1/work" processInternalMessages="on" defaultNetstreamDriverCAFile="%1/ca.pem"
       defaultNetstreamDriverCertFile="%1/collector.pem" defaultNetstreamDriverKeyFile="%1/collector.key")
# One worker: messages are written in the order taken.
main_queue(queue.workerThreads="1")
module(load="imudp")
module(load="imtcp")
input(type="imudp" address="127.0.0.1" port="%2" ruleset="in")
input(type="imtcp" address="127.0.0.1" port="%3" ruleset="in")
input(type="imtcp" address="127.0.0.1" port="%4" ruleset="in" %6)
input(type="imtcp" address="127.0.0.1" port="%5" ruleset="in" %6
      streamDriver.certFile="%1/self.pem" streamDriver.keyFile="%1/self.key")
template(name="json" type="string" string="%jsonmesg%\n")
ruleset(name="in") { action(type="omfile" file="%1/messages.json" template="json") }
)";
    writeFileBytes(
        file("rsyslog.conf"),
        config.arg(m_dir).arg(udpPort).arg(tcpPort).arg(tlsPort).arg(pinnedPort).arg(tls).toUtf8());
}

QString Collector::start()
{
    if (!QFile::exists(file("ca.pem"))) {
        // A CA, and a certificate it issued for the address 127.0.0.1 only (no host name).
        const QString script =
            R"(cd "$0"; ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
openssl req -x509 $ec -keyout ca.key -out ca.pem -subj "/CN=Sorvane Test CA"
signed="openssl req -x509 $ec -CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE"
$signed -keyout collector.key -out collector.pem -subj /CN=collector -addext subjectAltName=IP:127.0.0.1
$signed -keyout client.key -out client.pem -subj /CN=sorvane-client
openssl req -x509 $ec -keyout self.key -out self.pem -subj /CN=self-signed
chmod 600 client.key)";
        if (QProcess::execute("sh", {"-ec", script, m_dir}) != 0)
            return "openssl failed";
    }
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(m_dir + "/rsyslog.out", QIODevice::Append);
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process->start("/usr/sbin/rsyslogd",
                     {"-n", "-f", m_dir + "/rsyslog.conf", "-i", m_dir + "/rsyslog.pid"});
    auto listening = [this] {
        return bound("udp", udpPort, "07") && bound("tcp", tcpPort, "0A") && bound("tcp", tlsPort, "0A") &&
               bound("tcp", pinnedPort, "0A");
    };
    if (QTest::qWaitFor([&] { return m_process->state() == QProcess::NotRunning || listening(); }, 20000) &&
        listening())
        return {};
    stop();
    return "rsyslogd did not start (scripts/setup.sh installs it): " +
           QString::fromLocal8Bit(fileBytes(file("rsyslog.out")));
}

void Collector::stop(int signal)
{
    if (m_process && m_process->state() == QProcess::Running) {
        ::kill(pid_t(m_process->processId()), signal);
        m_process->waitForFinished(10000);
    }
    m_process.reset(); // kills it if it still runs
}

QList<QJsonObject> Collector::messages() const
{
    QList<QJsonObject> list;
    const QList<QByteArray> lines = written().split('\n');
    // The last piece follows the last line's end: nothing, or a line still being written.
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        // A collector killed mid-line leaves it torn, and the restarted one writes on after it.
        QJsonObject message = parseMessage(lines[i]);
        if (message.isEmpty())
            message = parseMessage(lines[i].mid(lines[i].lastIndexOf('{', lines[i].lastIndexOf("\"msg\""))));
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
