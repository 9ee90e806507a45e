// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "forward/ForwardTarget.h"

#include <QByteArray>
#include <QString>

// Reads the client certificate `certPath` (PEM: the certificate, then any issuers) and its private
// key `keyPath` into `tls`. The problem, naming the option, when either cannot be used: a key file
// that others may read or that group or others may write, an encrypted key, a key that is not the
// certificate's; empty when both are fine.
QString readClientIdentity(const QString& certPath, const QString& keyPath, TlsOptions& tls);

// "SHA256:HEX" or "sha-256:HEX" (RFC 5425), HEX with or without colons between its bytes: the
// 32-byte digest, or empty when the text is not one.
QByteArray parseFingerprint(const QString& text);

// The SHA-256 digest of `certificate` as the options write it: "SHA256:" and upper-case hex.
QString fingerprintText(const QSslCertificate& certificate);
