// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <cstddef>
#include <optional>
#include <vector>

enum class Transport { Udp, Tcp, Tls };

// One collector that every event goes to.
struct ForwardTarget {
    Transport transport = Transport::Udp;
    QString host; // a name, or an address (IPv6 without its brackets)
    quint16 port = 0;

    // "udp://HOST:PORT", as the status line names it.
    QString url() const;
};

// The registered syslog ports; plain TCP has none.
constexpr quint16 SYSLOG_UDP_PORT = 514;
constexpr quint16 SYSLOG_TLS_PORT = 6514;

// "udp://HOST[:PORT]", "tcp://HOST:PORT" or "tls://HOST[:PORT]", HOST a name, a dotted IPv4 address
// (as parseHost reads them) or a bracketed IPv6 one; nothing else (no user, path or query). Without
// a port, udp:// takes 514 and tls:// 6514. `*problem`, when the host is refused for a reason the
// operator should read.
std::optional<ForwardTarget> parseForwardUrl(const QString& text, QString* problem = nullptr);

// The PEM certificates of `path`; empty when it cannot be read or holds none.
QList<QSslCertificate> readCaCertificates(const QString& path);

// How the TLS collectors are trusted, and how Sorvane shows who it is to them.
struct TlsOptions {
    // TLS collectors are verified against these when set, else against the system's.
    QList<QSslCertificate> caCertificates;
    // SHA-256 digests: a collector whose certificate has one of them is trusted, whatever its issuer
    // and names.
    QList<QByteArray> fingerprints;
    // The client certificate (then its issuers) and its key, for collectors that ask for one. The key
    // is optional so that options can be made before the application, which Qt's TLS needs.
    QList<QSslCertificate> clientCertificates;
    std::optional<QSslKey> clientKey;
};

struct ForwardOptions {
    std::vector<ForwardTarget> targets;
    TlsOptions tls;
    // Messages waiting per target; past it they are counted as not forwarded.
    std::size_t queueCapacity = 100000;
    // Forwarding yields the processor to the window and the event reader: set beside a window,
    // where the window's own work already paces the forwarder.
    bool yieldToWindow = false;
};
