#include "forward/ForwardTarget.h"

#include "events/Address.h"

#include <QHostAddress>

#include <algorithm>
#include <cstring>

namespace
{

bool isHostName(QStringView name)
{
    if (name.isEmpty() || name.size() > 253 || name.startsWith(QLatin1Char('.')) ||
        name.startsWith(QLatin1Char('-')))
        return false;
    for (const QChar c : name) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('.') && c != QLatin1Char('-'))
            return false;
    }
    return true;
}

} // namespace

QString ForwardTarget::url() const
{
    static const char* const schemes[] = {"udp", "tcp", "tls"};
    const QString shownHost =
        host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return QStringLiteral("%1://%2:%3").arg(QLatin1String(schemes[int(transport)]), shownHost).arg(port);
}

std::optional<ForwardTarget> parseForwardUrl(const QString& text)
{
    static const struct {
        const char* prefix;
        Transport transport;
    } schemes[] = {{"udp://", Transport::Udp}, {"tcp://", Transport::Tcp}, {"tls://", Transport::Tls}};
    ForwardTarget target;
    QStringView rest;
    for (const auto& scheme : schemes) {
        if (text.startsWith(QLatin1String(scheme.prefix))) {
            target.transport = scheme.transport;
            rest = QStringView(text).mid(qsizetype(std::strlen(scheme.prefix)));
        }
    }
    const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0 || !parsePort(rest.mid(colon + 1), target.port))
        return std::nullopt;
    const QStringView host = rest.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        const QString address = host.mid(1, host.size() - 2).toString();
        if (QHostAddress(address).protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
        target.host = address;
        return target;
    }
    // All digits and dots: a dotted IPv4 address in full, never a host name.
    quint32 address = 0;
    const bool numeric =
        std::all_of(host.begin(), host.end(), [](QChar c) { return c.isDigit() || c == QLatin1Char('.'); });
    if (numeric ? !parseIPv4(host, address) : !isHostName(host))
        return std::nullopt;
    target.host = host.toString().toLower();
    return target;
}

QList<QSslCertificate> readCaCertificates(const QString& path)
{
    return QSslCertificate::fromPath(path, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
}
