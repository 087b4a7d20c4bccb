#include "fakes/TestCertificates.h"

#include <QFile>
#include <QProcess>

TestCertificates::TestCertificates(QString const &name)
    : m_name(name)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder");
        return;
    }
    bool const ok = run({"genrsa", "-traditional", "-out", caKeyPath(), "2048"})
        && run({"req", "-x509", "-new", "-key", caKeyPath(), "-sha256", "-days", "2", "-subj",
                "/CN=" + m_name + " CA", "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign", "-out", caCertPath()})
        && issue(QStringLiteral("server"), QStringLiteral("localhost"),
                 QStringLiteral("IP:127.0.0.1,DNS:localhost"))
        && issue(QStringLiteral("client"), m_name + QStringLiteral(" Client"));
    if (!ok && m_error.isEmpty())
        m_error = QStringLiteral("openssl failed");
}

bool TestCertificates::issue(QString const &baseName, QString const &commonName, QString const &subjectAltName)
{
    QString const keyPath = path(baseName + ".key");
    QString const csrPath = path(baseName + ".csr");
    QString const certPath = path(baseName + ".crt");
    QString const extPath = path(baseName + ".ext");

    QFile ext(extPath);
    if (!ext.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("cannot write ") + extPath;
        return false;
    }
    ext.write("basicConstraints=CA:FALSE\n");
    ext.write("keyUsage=digitalSignature,keyEncipherment\n");
    ext.write("extendedKeyUsage=serverAuth,clientAuth\n");
    if (!subjectAltName.isEmpty())
        ext.write("subjectAltName=" + subjectAltName.toUtf8() + "\n");
    ext.close();

    return run({"genrsa", "-traditional", "-out", keyPath, "2048"})
        && run({"req", "-new", "-key", keyPath, "-subj", "/CN=" + commonName, "-out", csrPath})
        && run({"x509", "-req", "-in", csrPath, "-CA", caCertPath(), "-CAkey", caKeyPath(),
                "-CAcreateserial", "-days", "2", "-sha256", "-extfile", extPath, "-out", certPath});
}

bool TestCertificates::run(QStringList const &arguments)
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        m_error = QStringLiteral("openssl %1: %2").arg(arguments.join(' '), QString::fromLocal8Bit(openssl.readAll()));
        return false;
    }
    return true;
}

QSslCertificate TestCertificates::certificate(QString const &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QSslCertificate();
    return QSslCertificate(&file, QSsl::Pem);
}

QSslKey TestCertificates::key(QString const &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QSslKey();
    return QSslKey(&file, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
}
