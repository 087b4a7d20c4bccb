#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTemporaryDir>

// A certificate authority with a server and a client certificate, made with the openssl command
// in a temporary folder that lives as long as the object. RSA keys in PEM (PKCS#1).
// The server certificate is valid for IP 127.0.0.1 and DNS localhost. Each object is its own CA,
// so a second object serves as a "wrong" authority.
class TestCertificates
{
public:
    explicit TestCertificates(QString const &name = QStringLiteral("Vorn Test"));

    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }
    QString dir() const { return m_dir.path(); }

    QString caCertPath() const { return path(QStringLiteral("ca.crt")); }
    QString caKeyPath() const { return path(QStringLiteral("ca.key")); }
    QString serverCertPath() const { return path(QStringLiteral("server.crt")); }
    QString serverKeyPath() const { return path(QStringLiteral("server.key")); }
    QString clientCertPath() const { return path(QStringLiteral("client.crt")); }
    QString clientKeyPath() const { return path(QStringLiteral("client.key")); }

    QSslCertificate caCertificate() const { return certificate(caCertPath()); }
    QSslCertificate serverCertificate() const { return certificate(serverCertPath()); }
    QSslKey serverKey() const { return key(serverKeyPath()); }
    QSslCertificate clientCertificate() const { return certificate(clientCertPath()); }
    QSslKey clientKey() const { return key(clientKeyPath()); }

    // Another certificate signed by this CA, as <baseName>.crt / <baseName>.key; false on failure.
    bool issue(QString const &baseName, QString const &commonName, QString const &subjectAltName = QString());

    static QSslCertificate certificate(QString const &path);
    static QSslKey key(QString const &path);

private:
    QString path(QString const &file) const { return m_dir.filePath(file); }
    bool run(QStringList const &arguments);

    QTemporaryDir m_dir;
    QString m_name;
    QString m_error;
};
