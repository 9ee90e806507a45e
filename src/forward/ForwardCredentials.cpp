// SPDX-License-Identifier: GPL-3.0-or-later
#include "forward/ForwardCredentials.h"

#include <QFile>
#include <QRegularExpression>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace
{

template <typename T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;

// Asked for a passphrase: the key is encrypted, and there is nobody to ask.
int refusePassphrase(char*, int, int, void* asked)
{
    *static_cast<bool*>(asked) = true;
    return -1;
}

QString readKey(const QString& path, Key& key, QByteArray& pem)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    if ((info.st_mode & (S_IROTH | S_IWOTH | S_IWGRP)) != 0)
        return QStringLiteral("%1 is open to others (mode %2); a private key must be 0600 or 0640")
            .arg(path)
            .arg(info.st_mode & 0777, 4, 8, QLatin1Char('0'));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    pem = file.readAll();
    bool asked = false;
    const Bio bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassphrase, &asked));
    if (asked)
        return QStringLiteral("%1 is encrypted; give the key without its passphrase (openssl pkey -in %1 "
                              "-out NEW)")
            .arg(path);
    if (!key)
        return QStringLiteral("%1 holds no PEM private key").arg(path);
    return {};
}

} // namespace

QString readClientIdentity(const QString& certPath, const QString& keyPath, TlsOptions& tls)
{
    if (certPath.isEmpty() != keyPath.isEmpty())
        return certPath.isEmpty() ? QStringLiteral("--forward-key needs --forward-cert")
                                  : QStringLiteral("--forward-cert needs --forward-key");
    QFile file(certPath);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("--forward-cert: cannot read %1: %2").arg(certPath, file.errorString());
    const QList<QSslCertificate> chain = readCaCertificates(certPath);
    if (chain.isEmpty())
        return QStringLiteral("--forward-cert: %1 holds no PEM certificate").arg(certPath);
    Key key;
    QByteArray pem;
    const QString problem = readKey(keyPath, key, pem);
    if (!problem.isEmpty())
        return QStringLiteral("--forward-key: ") + problem;
    const QByteArray der = chain.constFirst().toDer();
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.constData());
    const Certificate certificate(d2i_X509(nullptr, &bytes, long(der.size())));
    if (!certificate || X509_check_private_key(certificate.get(), key.get()) != 1)
        return QStringLiteral("--forward-key: %1 is not the key of the certificate in %2")
            .arg(keyPath, certPath);
    const int type = EVP_PKEY_get_base_id(key.get());
    const QSsl::KeyAlgorithm algorithm = type == EVP_PKEY_RSA   ? QSsl::Rsa
                                         : type == EVP_PKEY_EC  ? QSsl::Ec
                                         : type == EVP_PKEY_DSA ? QSsl::Dsa
                                                                : QSsl::Opaque;
    const QSslKey sslKey(pem, algorithm);
    if (sslKey.isNull())
        return QStringLiteral("--forward-key: %1 is not an RSA, EC or DSA key").arg(keyPath);
    tls.clientCertificates = chain;
    tls.clientKey = sslKey;
    return {};
}

QByteArray parseFingerprint(const QString& text)
{
    static const QRegularExpression form(
        QStringLiteral("^(?:SHA256|SHA-256):((?:[0-9A-F]{2}:){31}[0-9A-F]{2}|[0-9A-F]{64})$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(text);
    return match.hasMatch() ? QByteArray::fromHex(match.captured(1).remove(QLatin1Char(':')).toLatin1())
                            : QByteArray();
}

QString fingerprintText(const QSslCertificate& certificate)
{
    return QStringLiteral("SHA256:") +
           QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex().toUpper());
}
