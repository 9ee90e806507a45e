// SPDX-License-Identifier: GPL-3.0-or-later
#include "forward/ForwardTarget.h"

#include "events/Address.h"

#include <QHostAddress>

#include <cstring>

QString ForwardTarget::url() const
{
    static const char* const schemes[] = {"udp", "tcp", "tls"};
    const QString shownHost =
        host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return QStringLiteral("%1://%2:%3").arg(QLatin1String(schemes[int(transport)]), shownHost).arg(port);
}

std::optional<ForwardTarget> parseForwardUrl(const QString& text, QString* problem)
{
    static const struct {
        const char* prefix;
        Transport transport;
        quint16 defaultPort;
    } schemes[] = {{"udp://", Transport::Udp, SYSLOG_UDP_PORT},
                   {"tcp://", Transport::Tcp, 0},
                   {"tls://", Transport::Tls, SYSLOG_TLS_PORT}};
    ForwardTarget target;
    QStringView rest;
    quint16 defaultPort = 0;
    for (const auto& scheme : schemes) {
        if (text.startsWith(QLatin1String(scheme.prefix))) {
            target.transport = scheme.transport;
            defaultPort = scheme.defaultPort;
            rest = QStringView(text).mid(qsizetype(std::strlen(scheme.prefix)));
        }
    }
    // The port's colon is the last one outside an IPv6 address's brackets.
    const qsizetype colon = rest.endsWith(QLatin1Char(']')) ? -1 : rest.lastIndexOf(QLatin1Char(':'));
    QStringView host = rest;
    if (colon >= 0) {
        host = rest.left(colon);
        if (!parsePort(rest.mid(colon + 1), target.port))
            return std::nullopt;
    } else if (defaultPort == 0) {
        return std::nullopt;
    } else {
        target.port = defaultPort;
    }
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        const QString address = host.mid(1, host.size() - 2).toString();
        if (QHostAddress(address).protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
        target.host = address;
        return target;
    }
    if (!parseHost(host, target.host, problem))
        return std::nullopt;
    return target;
}

QList<QSslCertificate> readCaCertificates(const QString& path)
{
    return QSslCertificate::fromPath(path, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
}
