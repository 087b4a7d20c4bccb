#include "transport/HttpClient.h"

#include "app/LogQuote.h"


#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QThread>
#include <QTimer>
#include <QtDebug>

#define CLIENT_TAG "[HttpClient] "

namespace {

char const *verbName(int verb)
{
    static char const *const names[] = {"GET", "DELETE", "PUT", "POST"};
    return names[verb];
}

void forward(HttpClient::Result const &from, HttpClient::Result const &to)
{
    from.progress([to](int percent, QJsonValue text) { to.notify(percent, text); });
    from.done([to](int status, QJsonValue payload) { to.resolve(status, payload); });
    from.fail([to](int status, QJsonValue payload) { to.reject(status, payload); });
}

} // namespace

HttpClient::HttpClient(QObject *parent)
    : QObject(parent)
    , m_managers(QSharedPointer<Managers>::create())
{
    qRegisterMetaType<HttpClient::Result>();
}

HttpClient::~HttpClient()
{
    // Later, never in place: the client may be deleted inside a callback of a reply that one
    // of them is finishing. Each goes through its own thread's event loop (or that thread's
    // end). Holding the lock keeps a manager that is being destroyed in its thread from
    // getting past its clean-up (and freed) while it is still listed here.
    QMutexLocker lock(&m_managers->mutex);
    for (QNetworkAccessManager *manager : qAsConst(m_managers->byThread))
        manager->deleteLater();
    m_managers->byThread.clear();
}

void HttpClient::setHeader(QString const &name, QString const &value)
{
    m_headers.insert(name, value);
}

void HttpClient::setTLSCert(QString const &path)
{
    m_tlsFiles.insert(QStringLiteral("cert"), path);
}

void HttpClient::setTLSKey(QString const &path)
{
    m_tlsFiles.insert(QStringLiteral("key"), path);
}

void HttpClient::setTLSRootCA(QString const &path)
{
    m_tlsFiles.insert(QStringLiteral("rootCA"), path);
}

void HttpClient::setIgnoreSslErrors(bool ignore)
{
    m_ignoreSslErrors = ignore;
}

HttpClient::Result HttpClient::get(QUrl const &url, int timeout)
{
    return send(Verb::Get, url, QJsonValue(), timeout, 0);
}

HttpClient::Result HttpClient::del(QUrl const &url, int timeout)
{
    return send(Verb::Delete, url, QJsonValue(), timeout, 0);
}

HttpClient::Result HttpClient::put(QUrl const &url, QJsonValue const &data, int timeout)
{
    return send(Verb::Put, url, data, timeout, 0);
}

HttpClient::Result HttpClient::post(QUrl const &url, QJsonValue const &data, int timeout)
{
    return send(Verb::Post, url, data, timeout, 0);
}

HttpClient::Result HttpClient::send(Verb verb, QUrl const &url, QJsonValue const &data, int timeout, int hops)
{
    bool const withBody = verb == Verb::Put || verb == Verb::Post;
    // After a redirect the URL is the server's; a body may carry what devices and peers sent.
    qInfo().noquote().nospace() << CLIENT_TAG << "Performing " << verbName(int(verb)) << " request : "
                                << LogQuote::quote(url.toDisplayString());
    if (withBody) {
        QString shown;
        QDebug(&shown).nospace() << data;
        qInfo().noquote().nospace() << CLIENT_TAG << "Data : " << LogQuote::quote(shown);
    }

    if (!url.isValid()) {
        qCritical().noquote().nospace() << CLIENT_TAG << "ERROR: Invalid URL : " << LogQuote::quote(url.toString());
        Result result;
        result.reject(0, QJsonValue(QStringLiteral("Invalid URL")));
        return result;
    }

    QNetworkRequest const request = createRequest(url);
    QNetworkReply *reply = nullptr;
    switch (verb) {
    case Verb::Get:
        reply = qnam()->get(request);
        break;
    case Verb::Delete:
        reply = qnam()->deleteResource(request);
        break;
    case Verb::Put:
        reply = qnam()->put(request, createPayload(data));
        break;
    case Verb::Post:
        reply = qnam()->post(request, createPayload(data));
        break;
    }
    return processReply(reply, verb, withBody ? data : QJsonValue(), timeout, hops);
}

QNetworkAccessManager *HttpClient::qnam()
{
    QThread *const thread = QThread::currentThread();
    {
        QMutexLocker lock(&m_managers->mutex);
        if (QNetworkAccessManager *manager = m_managers->byThread.value(thread))
            return manager;
    }
    qDebug().noquote().nospace() << CLIENT_TAG << "Creating new Network Access Manager for thread ";
    auto *manager = new QNetworkAccessManager;
    connect(manager, &QNetworkAccessManager::sslErrors, this, &HttpClient::onSslErrors);
    connect(manager, &QNetworkAccessManager::authenticationRequired, this, &HttpClient::authRequired);
    // The thread's manager ends with the thread.
    connect(thread, &QThread::finished, manager, &QObject::deleteLater, Qt::DirectConnection);
    QSharedPointer<Managers> const managers = m_managers;
    connect(manager, &QObject::destroyed, [managers, thread, manager]() {
        QMutexLocker lock(&managers->mutex);
        if (managers->byThread.value(thread) == manager)
            managers->byThread.remove(thread);
    });
    QMutexLocker lock(&m_managers->mutex);
    m_managers->byThread.insert(thread, manager);
    return manager;
}

QNetworkRequest HttpClient::createRequest(QUrl const &url)
{
    QNetworkRequest request(url);
    for (auto it = m_headers.cbegin(); it != m_headers.cend(); ++it)
        request.setRawHeader(it.key().toLatin1(), it.value().toLatin1());
    if (!m_tlsFiles.isEmpty())
        request.setSslConfiguration(createSslConfig());
    return request;
}

QSslConfiguration HttpClient::createSslConfig()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(loadCert(m_tlsFiles[QStringLiteral("cert")]));
    config.setPrivateKey(loadPrivKey(m_tlsFiles[QStringLiteral("key")]));
    config.setCaCertificates({loadCert(m_tlsFiles[QStringLiteral("rootCA")])});
    config.setProtocol(QSsl::TlsV1_2);
    return config;
}

QSslCertificate HttpClient::loadCert(QString const &path)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        qCritical().noquote().nospace() << CLIENT_TAG << "ERROR: Could not open file : " << path;
        return QSslCertificate();
    }
    return QSslCertificate(&file, QSsl::Pem);
}

QSslKey HttpClient::loadPrivKey(QString const &path)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        qCritical().noquote().nospace() << CLIENT_TAG << "ERROR: Could not open file : " << path;
        return QSslKey();
    }
    return QSslKey(&file, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
}

QByteArray HttpClient::createPayload(QJsonValue const &value)
{
    switch (value.type()) {
    case QJsonValue::Object:
        return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    case QJsonValue::Array:
        return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
    case QJsonValue::String:
        return value.toString().toUtf8();
    default:
        return QByteArray();
    }
}

QJsonValue HttpClient::parsePayload(QByteArray const &bytes)
{
    if (bytes.startsWith('[') || bytes.startsWith('{')) {
        QJsonDocument const document = QJsonDocument::fromJson(bytes);
        if (document.isArray())
            return document.array();
        return document.object();
    }
    int const nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

QString HttpClient::bytesToStr(qint64 bytes)
{
    if (bytes < 0)
        return QStringLiteral("%1 KB").arg(QStringLiteral("--"));
    double const b = static_cast<double>(bytes);
    if (b / 1e9 > 1)
        return QStringLiteral("%1 GB").arg(b / 1e9, 0, 'f', 1);
    if (b / 1e6 > 1)
        return QStringLiteral("%1 MB").arg(b / 1e6, 0, 'f', 1);
    return QStringLiteral("%1 KB").arg(b / 1000, 0, 'f', 1);
}

HttpClient::Result HttpClient::processReply(QNetworkReply *reply, Verb verb, QJsonValue const &data, int timeout, int hops)
{
    Result result;

    connect(reply, &QNetworkReply::downloadProgress, this, [result](qint64 received, qint64 total) {
        int const percent = total > 0 ? static_cast<int>(received * 100 / total) : 0;
        result.notify(percent, QJsonValue(QStringLiteral("Downloaded %1 / %2").arg(bytesToStr(received), bytesToStr(total))));
    });

    connect(reply, &QNetworkReply::finished, this, [this, reply, result, verb, data, timeout, hops]() {
        qDebug().noquote().nospace() << CLIENT_TAG << "Received response for : " << LogQuote::quote(reply->url().toString());
        if (!reply->attribute(QNetworkRequest::RedirectionTargetAttribute).isNull()) {
            forward(processRedirect(reply, verb, data, timeout, hops), result);
        } else {
            int const status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            // An aborted reply is closed: nothing left to read.
            QJsonValue const payload = parsePayload(reply->isOpen() ? reply->readAll() : QByteArray());
            if (reply->error() == QNetworkReply::NoError)
                result.resolve(status, payload);
            else if (payload.isObject())
                result.reject(status, payload);
            else
                result.reject(status, QJsonValue(reply->errorString()));
        }
        reply->deleteLater();
    });

    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [reply, timeout]() {
        qCritical().noquote().nospace() << CLIENT_TAG << "ERROR: Request timed-out (timeout=" << timeout
                                        << " msec). Aborting.";
        reply->abort();
    });
    if (timeout > 0) {
        timer->setInterval(timeout);
        timer->start();
    }
    return result;
}

HttpClient::Result HttpClient::processRedirect(QNetworkReply *reply, Verb verb, QJsonValue const &data, int timeout, int hops)
{
    QUrl const from = reply->url();
    QUrl const target = from.resolved(reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl());
    QString const scheme = target.scheme().toLower();

    // The API key header and the client certificate must not follow a chain without end,
    // nor leave TLS, nor reach anything but HTTP(S).
    QString refusal;
    if (hops >= MaxRedirects)
        refusal = QStringLiteral("more than %1 redirects").arg(MaxRedirects);
    else if (from.scheme().toLower() == QLatin1String("https") && scheme == QLatin1String("http"))
        refusal = QStringLiteral("https to http");
    else if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        refusal = QStringLiteral("unsupported scheme '%1'").arg(LogQuote::quote(target.scheme()));

    if (!refusal.isEmpty()) {
        int const status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        QString const text = QStringLiteral("Redirect refused (%1) : %2").arg(refusal, LogQuote::quote(target.toDisplayString()));
        qCritical().noquote().nospace() << CLIENT_TAG << "ERROR: " << text;
        Result refused;
        refused.reject(status, QJsonValue(text));
        return refused;
    }

    qWarning().noquote().nospace() << CLIENT_TAG << "WARN: Request was redirected to : " << LogQuote::quote(target.toString());
    return send(verb, target, data, timeout, hops + 1);
}

void HttpClient::onSslErrors(QNetworkReply *reply, QList<QSslError> const &errors)
{
    qWarning().noquote().nospace() << CLIENT_TAG << "SSL Error(s) occured : ";
    for (QSslError const &error : errors)
        qWarning().noquote().nospace() << CLIENT_TAG << " - " << error.errorString();
    if (m_ignoreSslErrors) {
        qWarning().noquote().nospace() << CLIENT_TAG
                                       << "Ignoring SSL Errors ('ignoreSslErrors' is set to 'true' in configuration)";
        reply->ignoreSslErrors(errors);
    }
}
