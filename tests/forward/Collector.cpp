#include "Collector.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

const char RSYSLOGD[] = "/usr/sbin/rsyslogd";

bool run(const QString& program, const QStringList& arguments, const QString& dir)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), process.readAll().constData());
        return false;
    }
    return true;
}

// Whether /proc/net/FILE lists a socket bound to 127.0.0.1:port (TCP: listening).
bool bound(const char* file, quint16 port, bool listen)
{
    QFile table(QStringLiteral("/proc/net/") + QLatin1String(file));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local = "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1] == local && (!listen || fields[3] == "0A"))
            return true;
    }
    return false;
}

} // namespace

quint16 freeLoopbackPort(bool tcp)
{
    const int fd = ::socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    ::close(fd);
    return ntohs(local.sin_port);
}

bool makeTlsFiles(const QString& dir, TlsFiles& files)
{
    files.ca = dir + QStringLiteral("/ca.pem");
    files.certificate = dir + QStringLiteral("/collector.pem");
    files.key = dir + QStringLiteral("/collector.key");
    const QString openssl = QStringLiteral("openssl");
    const QStringList ec = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    QFile extensions(dir + QStringLiteral("/collector.ext"));
    if (!extensions.open(QIODevice::WriteOnly))
        return false;
    extensions.write("subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n");
    extensions.close();
    return run(openssl,
               QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec +
                   QStringList{QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                               files.ca, QStringLiteral("-days"), QStringLiteral("2"),
                               QStringLiteral("-subj"), QStringLiteral("/CN=Sorvane Test CA"),
                               QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
                               QStringLiteral("-addext"),
                               QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")},
               dir) &&
           run(openssl,
               QStringList{QStringLiteral("req")} + ec +
                   QStringList{QStringLiteral("-keyout"), files.key, QStringLiteral("-out"),
                               QStringLiteral("collector.csr"), QStringLiteral("-subj"),
                               QStringLiteral("/CN=collector")},
               dir) &&
           run(openssl,
               {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                QStringLiteral("collector.csr"), QStringLiteral("-CA"), files.ca, QStringLiteral("-CAkey"),
                QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"), QStringLiteral("-days"),
                QStringLiteral("2"), QStringLiteral("-extfile"), QStringLiteral("collector.ext"),
                QStringLiteral("-out"), files.certificate},
               dir);
}

Collector::Collector(const QString& dir, const TlsFiles* tls) : m_dir(dir), m_tls(tls != nullptr)
{
    QDir().mkpath(m_dir + QStringLiteral("/work"));
    m_udpPort = freeLoopbackPort(false);
    m_tcpPort = freeLoopbackPort(true);
    m_tlsPort = m_tls ? freeLoopbackPort(true) : 0;
    QString global =
        QStringLiteral("global(workDirectory=\"%1/work\" processInternalMessages=\"on\"").arg(m_dir);
    if (m_tls)
        global += QStringLiteral(
                      "\n       defaultNetstreamDriverCAFile=\"%1\" defaultNetstreamDriverCertFile=\"%2\""
                      "\n       defaultNetstreamDriverKeyFile=\"%3\"")
                      .arg(tls->ca, tls->certificate, tls->key);
    QString config =
        global + QStringLiteral(")\n"
                                // One worker: messages are written in the order taken.
                                "main_queue(queue.workerThreads=\"1\")\n"
                                "module(load=\"imudp\")\n"
                                "module(load=\"imtcp\")\n"
                                "input(type=\"imudp\" address=\"127.0.0.1\" port=\"%1\" ruleset=\"in\")\n"
                                "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"%2\" ruleset=\"in\")\n")
                     .arg(m_udpPort)
                     .arg(m_tcpPort);
    if (m_tls)
        config += QStringLiteral("input(type=\"imtcp\" address=\"127.0.0.1\" port=\"%1\" ruleset=\"in\"\n"
                                 "      streamDriver.name=\"gtls\" streamDriver.mode=\"1\" "
                                 "streamDriver.authMode=\"anon\")\n")
                      .arg(m_tlsPort);
    config += QStringLiteral("template(name=\"json\" type=\"string\" string=\"%jsonmesg%\\n\")\n"
                             "ruleset(name=\"in\") {\n"
                             "    action(type=\"omfile\" file=\"%1/messages.json\" template=\"json\")\n"
                             "}\n"
                             "*.* action(type=\"omfile\" file=\"%1/rsyslog-internal.log\")\n")
                  .arg(m_dir);
    QFile file(m_dir + QStringLiteral("/rsyslog.conf"));
    if (file.open(QIODevice::WriteOnly))
        file.write(config.toUtf8());
}

Collector::~Collector()
{
    stop();
}

bool Collector::start()
{
    if (!QFile::exists(QLatin1String(RSYSLOGD))) {
        m_error = QStringLiteral("rsyslogd is not installed (scripts/setup.sh installs it)");
        return false;
    }
    m_process = std::make_unique<QProcess>();
    m_process->setWorkingDirectory(m_dir);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(m_dir + QStringLiteral("/rsyslog.out"), QIODevice::Append);
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process->start(QLatin1String(RSYSLOGD),
                     {QStringLiteral("-n"), QStringLiteral("-f"), m_dir + QStringLiteral("/rsyslog.conf"),
                      QStringLiteral("-i"), m_dir + QStringLiteral("/rsyslog.pid")});
    const QDeadlineTimer deadline(20000);
    while (!listening()) {
        if (m_process->state() == QProcess::NotRunning || deadline.hasExpired()) {
            QFile out(m_dir + QStringLiteral("/rsyslog.out"));
            out.open(QIODevice::ReadOnly);
            m_error = QStringLiteral("rsyslogd did not start: ") + QString::fromLocal8Bit(out.readAll());
            stop();
            return false;
        }
        QTest::qWait(20);
    }
    return true;
}

bool Collector::listening() const
{
    return bound("udp", m_udpPort, false) && bound("tcp", m_tcpPort, true) &&
           (!m_tls || bound("tcp", m_tlsPort, true));
}

void Collector::stop(int signal)
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        resume();
        ::kill(pid_t(m_process->processId()), signal);
        if (!m_process->waitForFinished(10000)) {
            m_process->kill();
            m_process->waitForFinished();
        }
    }
    m_process.reset();
}

void Collector::pause()
{
    if (m_process && m_process->state() == QProcess::Running)
        ::kill(pid_t(m_process->processId()), SIGSTOP);
}

void Collector::resume()
{
    if (m_process && m_process->state() == QProcess::Running)
        ::kill(pid_t(m_process->processId()), SIGCONT);
}

namespace
{

QJsonObject parseMessage(const QByteArray& line)
{
    // Escaped, as Qt's fast path for plain strings would drop a byte-order mark at their start.
    return QJsonDocument::fromJson(QByteArray(line).replace("\xEF\xBB\xBF", "\\uFEFF")).object();
}

} // namespace

QList<QJsonObject> Collector::messages() const
{
    QList<QJsonObject> list;
    QFile file(m_dir + QStringLiteral("/messages.json"));
    if (!file.open(QIODevice::ReadOnly))
        return list;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            list << parseMessage(line);
    }
    return list;
}

int Collector::count() const
{
    QFile file(m_dir + QStringLiteral("/messages.json"));
    return file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) : 0;
}

QJsonObject Collector::last() const
{
    QFile file(m_dir + QStringLiteral("/messages.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.readAll();
    const qsizetype end = text.lastIndexOf('\n');
    return end < 0 ? QJsonObject() : parseMessage(text.mid(text.lastIndexOf('\n', end - 1) + 1, end));
}
