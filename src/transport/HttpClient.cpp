#include "transport/HttpClient.h"

#include "app/LogQuote.h"
#include "app/RegularFile.h"


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

#include <memory>

#define CLIENT_TAG "[HttpClient] "

namespace {

char const *verbName(int verb)
{
    static char const *const names[] = {"GET", "DELETE", "PUT", "POST"};
    return names[verb];
}

// Bytes of an answer the network layer reads ahead of the client at most.
constexpr qint64 ReadAhead = 1024 * 1024;

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
    for (QNetworkAccessManager *manager : qAsConst(m_managers->retired))
        manager->deleteLater();
    m_managers->byThread.clear();
    m_managers->retired.clear();
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

HttpClient::Result HttpClient::get(QUrl const &url, int timeout, qint64 maxReplySize, qint64 maxValues)
{
    Exchange exchange{Verb::Get, QJsonValue(), timeout, maxReplySize, url};
    exchange.maxValues = maxValues;
    return send(exchange, url);
}

HttpClient::Result HttpClient::del(QUrl const &url, int timeout, qint64 maxReplySize)
{
    return send({Verb::Delete, QJsonValue(), timeout, maxReplySize, url}, url);
}

HttpClient::Result HttpClient::put(QUrl const &url, QJsonValue const &data, int timeout, qint64 maxReplySize)
{
    return send({Verb::Put, data, timeout, maxReplySize, url}, url);
}

HttpClient::Result HttpClient::post(QUrl const &url, QJsonValue const &data, int timeout, qint64 maxReplySize)
{
    return send({Verb::Post, data, timeout, maxReplySize, url}, url);
}

HttpClient::Result HttpClient::send(Exchange const &exchange, QUrl const &url)
{
    Verb const verb = exchange.verb;
    bool const withBody = verb == Verb::Put || verb == Verb::Post;
    // After a redirect the URL is the server's; a body may carry what devices and peers sent.
    qInfo().noquote().nospace() << CLIENT_TAG << "Performing " << verbName(int(verb)) << " request : "
                                << LogQuote::quote(url.toDisplayString());
    if (withBody) {
        QString shown;
        QDebug(&shown).nospace() << exchange.data;
        qInfo().noquote().nospace() << CLIENT_TAG << "Data : " << LogQuote::quote(shown);
    }

    if (!url.isValid()) {
        qCritical().noquote().nospace() << CLIENT_TAG << "ERROR: Invalid URL : " << LogQuote::quote(url.toString());
        Result result;
        result.reject(0, QJsonValue(QStringLiteral("Invalid URL")));
        return result;
    }

    QByteArray tlsSetUp;
    QString refusal;
    QNetworkRequest const request = createRequest(url, sameOrigin(url, exchange.origin), &tlsSetUp, &refusal);
    if (!refusal.isEmpty()) {
        qCritical().noquote().nospace() << CLIENT_TAG << "ERROR: " << refusal;
        Result result;
        result.reject(0, QJsonValue(refusal));
        return result;
    }
    QNetworkAccessManager *const manager = qnam(tlsSetUp);
    QNetworkReply *reply = nullptr;
    switch (verb) {
    case Verb::Get:
        reply = manager->get(request);
        break;
    case Verb::Delete:
        reply = manager->deleteResource(request);
        break;
    case Verb::Put:
        reply = manager->put(request, createPayload(exchange.data));
        break;
    case Verb::Post:
        reply = manager->post(request, createPayload(exchange.data));
        break;
    }
    Exchange watched = exchange;
    if (!withBody)
        watched.data = QJsonValue();
    return processReply(reply, watched);
}

QNetworkAccessManager *HttpClient::qnam(QByteArray const &tlsSetUp)
{
    static char const SetUpProperty[] = "tlsSetUp";
    QThread *const thread = QThread::currentThread();
    {
        QMutexLocker lock(&m_managers->mutex);
        if (QNetworkAccessManager *manager = m_managers->byThread.value(thread)) {
            if (manager->property(SetUpProperty).toByteArray() == tlsSetUp)
                return manager;
            // Its cached connections keep the certificates, authorities and ignored errors they
            // were opened with. Clearing them would break the replies still under way: those
            // finish on the old manager, which then goes.
            m_managers->byThread.remove(thread);
            m_managers->retired.append(manager);
            QList<QNetworkReply *> const replies = manager->findChildren<QNetworkReply *>(QString(), Qt::FindDirectChildrenOnly);
            if (replies.isEmpty()) {
                manager->deleteLater();
            } else {
                auto const left = QSharedPointer<int>::create(replies.size());
                for (QNetworkReply *reply : replies) {
                    connect(reply, &QObject::destroyed, manager, [manager, left]() {
                        if (--*left == 0)
                            manager->deleteLater();
                    });
                }
            }
            qDebug().noquote().nospace() << CLIENT_TAG << "TLS set-up changed : cached connections dropped";
        }
    }
    qDebug().noquote().nospace() << CLIENT_TAG << "Creating new Network Access Manager for thread ";
    auto *manager = new QNetworkAccessManager;
    manager->setProperty(SetUpProperty, tlsSetUp);
    // Redirects are the client's to follow or refuse (processRedirect), never the network layer's.
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    connect(manager, &QNetworkAccessManager::sslErrors, this, &HttpClient::onSslErrors);
    connect(manager, &QNetworkAccessManager::authenticationRequired, this, &HttpClient::authRequired);
    // The thread's manager ends with the thread.
    connect(thread, &QThread::finished, manager, &QObject::deleteLater, Qt::DirectConnection);
    QSharedPointer<Managers> const managers = m_managers;
    connect(manager, &QObject::destroyed, [managers, thread, manager]() {
        QMutexLocker lock(&managers->mutex);
        if (managers->byThread.value(thread) == manager)
            managers->byThread.remove(thread);
        managers->retired.removeOne(manager);
    });
    QMutexLocker lock(&m_managers->mutex);
    m_managers->byThread.insert(thread, manager);
    return manager;
}

QNetworkRequest HttpClient::createRequest(QUrl const &url, bool credentials, QByteArray *tlsSetUp, QString *refusal)
{
    QNetworkRequest request(url);
    for (auto it = m_headers.cbegin(); it != m_headers.cend(); ++it) {
        if (credentials || !isCredentialHeader(it.key()))
            request.setRawHeader(it.key().toLatin1(), it.value().toLatin1());
    }
    // After the owner's headers: none of them asks for packed answers.
    askForIdentity(request);
    *tlsSetUp = m_ignoreSslErrors ? QByteArrayLiteral("ignore;") : QByteArrayLiteral("verify;");
    if (!m_tlsFiles.isEmpty())
        request.setSslConfiguration(createSslConfig(credentials, tlsSetUp, refusal));
    return request;
}

void HttpClient::askForIdentity(QNetworkRequest &request)
{
    request.setRawHeader("Accept-Encoding", "identity");
}

QByteArray HttpClient::packedEncoding(QNetworkReply const *reply)
{
    // Repeated headers come joined with commas.
    QByteArray const encoding = reply->rawHeader("Content-Encoding");
    for (QByteArray const &part : encoding.split(',')) {
        QByteArray const coding = part.trimmed();
        if (!coding.isEmpty() && coding.toLower() != "identity")
            return encoding.trimmed();
    }
    return QByteArray();
}

QSslConfiguration HttpClient::createSslConfig(bool credentials, QByteArray *tlsSetUp, QString *refusal)
{
    QSslCertificate const cert = loadCert(m_tlsFiles[QStringLiteral("cert")], refusal);
    QSslKey const key = refusal->isEmpty() ? loadPrivKey(m_tlsFiles[QStringLiteral("key")], refusal) : QSslKey();
    QSslCertificate const rootCA = refusal->isEmpty() ? loadCert(m_tlsFiles[QStringLiteral("rootCA")], refusal)
                                                      : QSslCertificate();
    // What the files hold, not their names: renewed files are a new set-up too.
    for (QByteArray const &part : {cert.toDer(), key.toDer(), rootCA.toDer()})
        *tlsSetUp += QByteArray::number(part.size()) + ':' + part;

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    if (credentials) {
        config.setLocalCertificate(cert);
        config.setPrivateKey(key);
    }
    config.setCaCertificates({rootCA});
    config.setProtocol(QSsl::TlsV1_2);
    return config;
}

bool HttpClient::sameOrigin(QUrl const &a, QUrl const &b)
{
    auto const defaultPort = [](QUrl const &url) {
        QString const scheme = url.scheme().toLower();
        return scheme == QLatin1String("https") ? 443 : scheme == QLatin1String("http") ? 80 : -1;
    };
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0
           && a.host(QUrl::FullyDecoded).compare(b.host(QUrl::FullyDecoded), Qt::CaseInsensitive) == 0
           && a.port(defaultPort(a)) == b.port(defaultPort(b));
}

// Headers that identify the terminal to a server: they stay with the server they were set for.
bool HttpClient::isCredentialHeader(QString const &name)
{
    static QStringList const names{QStringLiteral("X-API-Key"), QStringLiteral("Authorization"),
                                   QStringLiteral("Proxy-Authorization"), QStringLiteral("Cookie")};
    return names.contains(name, Qt::CaseInsensitive);
}

QSslCertificate HttpClient::loadCert(QString const &path, QString *refusal)
{
    QByteArray const bytes = readTlsFile(path, refusal);
    return bytes.isEmpty() ? QSslCertificate() : QSslCertificate(bytes, QSsl::Pem);
}

QSslKey HttpClient::loadPrivKey(QString const &path, QString *refusal)
{
    QByteArray const bytes = readTlsFile(path, refusal);
    return bytes.isEmpty() ? QSslKey() : QSslKey(bytes, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
}

QByteArray HttpClient::readTlsFile(QString const &path, QString *refusal)
{
    // The files are read at every request on the caller's thread.
    RegularFile::Contents const file =
        path.isEmpty() ? RegularFile::Contents() : RegularFile::read(path, MaxTlsFileSize);
    // A file refused for what it is was there to be opened.
    if (!file.opened && file.status == RegularFile::Contents::Failed) {
        qCritical().noquote().nospace() << CLIENT_TAG << "ERROR: Could not open file : " << LogQuote::quote(path);
        return QByteArray();
    }
    if (!file.ok())
        *refusal = QStringLiteral("TLS file %1 refused : %2").arg(LogQuote::quote(path), file.why(MaxTlsFileSize));
    return file.bytes;
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

qint64 HttpClient::countValues(QByteArray const &bytes)
{
    // The first value of a list or object follows its opening, every other one a comma.
    qint64 values = 0;
    bool inText = false;
    bool opened = false;
    for (char const *c = bytes.constData(), *end = c + bytes.size(); c != end; ++c) {
        if (inText) {
            if (*c == '\\' && c + 1 != end)
                ++c;
            else if (*c == '"')
                inText = false;
            continue;
        }
        switch (*c) {
        case ' ':
        case '\t':
        case '\n':
        case '\r':
            continue;
        case ']':
        case '}':
            opened = false;
            continue;
        case ',':
            ++values;
            break;
        case '"':
            inText = true;
            break;
        default:
            break;
        }
        if (opened || values == 0) {
            ++values;
            opened = false;
        }
        if (*c == '[' || *c == '{')
            opened = true;
    }
    return values;
}

QString HttpClient::tooManyValues(qint64 maxValues)
{
    return QStringLiteral("Reply holds more than %1 JSON values").arg(maxValues);
}

QString HttpClient::tooLarge(qint64 maxReplySize)
{
    return QStringLiteral("Reply larger than %1 bytes").arg(maxReplySize);
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

HttpClient::Result HttpClient::processReply(QNetworkReply *reply, Exchange const &exchange)
{
    Result result;

    // The body is taken as it comes, so that the network layer holds no more than the bound.
    struct Body {
        QByteArray bytes;
        QString refusal; // why the answer was aborted
    };
    auto const body = std::make_shared<Body>();
    qint64 const maxSize = exchange.maxReplySize;
    // Nor does the network layer read far ahead of what has been taken.
    reply->setReadBufferSize(qBound<qint64>(1, maxSize + 1, ReadAhead));
    auto const refuse = [reply, body](QString const &why) {
        if (!body->refusal.isEmpty())
            return;
        body->refusal = why;
        // What it held goes now, not with the reply.
        body->bytes = QByteArray();
        qCritical().noquote().nospace() << CLIENT_TAG << "ERROR: " << why << ". Aborting.";
        reply->abort();
    };
    // A packed answer is refused before a byte of it is read: the bound counts what arrives.
    auto const refuseIfPacked = [reply, refuse]() {
        QByteArray const packed = packedEncoding(reply);
        if (!packed.isEmpty())
            refuse(QStringLiteral("Reply refused (Content-Encoding '%1')").arg(LogQuote::quote(packed)));
    };
    auto const refuseIfLarger = [refuse, maxSize](qint64 size) {
        if (size > maxSize)
            refuse(tooLarge(maxSize));
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply, body, refuseIfPacked, refuseIfLarger]() {
        refuseIfPacked();
        QVariant const announced = reply->header(QNetworkRequest::ContentLengthHeader);
        if (body->refusal.isEmpty() && announced.isValid())
            refuseIfLarger(announced.toLongLong());
    });
    connect(reply, &QNetworkReply::readyRead, this, [reply, body, refuseIfPacked, refuseIfLarger]() {
        refuseIfPacked();
        if (!body->refusal.isEmpty())
            return;
        refuseIfLarger(body->bytes.size() + reply->bytesAvailable());
        if (body->refusal.isEmpty())
            body->bytes += reply->readAll();
    });

    connect(reply, &QNetworkReply::downloadProgress, this, [result](qint64 received, qint64 total) {
        int const percent = total > 0 ? static_cast<int>(received * 100 / total) : 0;
        result.notify(percent, QJsonValue(QStringLiteral("Downloaded %1 / %2").arg(bytesToStr(received), bytesToStr(total))));
    });

    connect(reply, &QNetworkReply::finished, this, [this, reply, result, exchange, body, refuseIfPacked, refuseIfLarger]() {
        qDebug().noquote().nospace() << CLIENT_TAG << "Received response for : " << LogQuote::quote(reply->url().toString());
        // An aborted reply is closed, and keeps nothing of its body.
        if (!reply->isOpen()) {
            body->bytes = QByteArray();
        } else if (body->refusal.isEmpty()) {
            refuseIfPacked();
            if (body->refusal.isEmpty())
                refuseIfLarger(body->bytes.size() + reply->bytesAvailable());
        }
        if (body->refusal.isEmpty() && reply->isOpen())
            body->bytes += reply->readAll();
        int const status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (!body->refusal.isEmpty()) {
            result.reject(status, QJsonValue(body->refusal));
        } else if (!reply->attribute(QNetworkRequest::RedirectionTargetAttribute).isNull()) {
            forward(processRedirect(reply, exchange), result);
        } else {
            qint64 const maxValues = exchange.maxValues;
            bool const parsed = body->bytes.startsWith('[') || body->bytes.startsWith('{');
            if (maxValues >= 0 && parsed && countValues(body->bytes) > maxValues) {
                body->refusal = tooManyValues(maxValues);
                body->bytes = QByteArray();
                qCritical().noquote().nospace() << CLIENT_TAG << "ERROR: " << body->refusal;
                result.reject(status, QJsonValue(body->refusal));
                reply->deleteLater();
                return;
            }
            QJsonValue const payload = parsePayload(body->bytes);
            if (reply->error() == QNetworkReply::NoError)
                result.resolve(status, payload);
            else if (payload.isObject())
                result.reject(status, payload);
            else
                result.reject(status, QJsonValue(reply->errorString()));
        }
        body->bytes = QByteArray();
        reply->deleteLater();
    });

    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    int const timeout = exchange.timeout;
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

HttpClient::Result HttpClient::processRedirect(QNetworkReply *reply, Exchange const &exchange)
{
    QUrl const from = reply->url();
    QUrl const target = from.resolved(reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl());
    QString const scheme = target.scheme().toLower();

    // The API key header and the client certificate must not follow a chain without end,
    // nor leave TLS, nor reach anything but HTTP(S). Another server gets neither (send); nor
    // does it get a body, which holds what devices and peers sent (a transaction's card uid,
    // the cameras' URLs in a heartbeat): a request with one stays with the server it was
    // meant for, whatever the status of the redirect.
    bool const withBody = exchange.verb == Verb::Put || exchange.verb == Verb::Post;
    QString refusal;
    if (exchange.hops >= MaxRedirects)
        refusal = QStringLiteral("more than %1 redirects").arg(MaxRedirects);
    else if (from.scheme().toLower() == QLatin1String("https") && scheme == QLatin1String("http"))
        refusal = QStringLiteral("https to http");
    else if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        refusal = QStringLiteral("unsupported scheme '%1'").arg(LogQuote::quote(target.scheme()));
    else if (withBody && !sameOrigin(target, exchange.origin))
        refusal = QStringLiteral("another server, request with a body");

    if (!refusal.isEmpty()) {
        int const status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        QString const text = QStringLiteral("Redirect refused (%1) : %2").arg(refusal, LogQuote::quote(target.toDisplayString()));
        qCritical().noquote().nospace() << CLIENT_TAG << "ERROR: " << text;
        Result refused;
        refused.reject(status, QJsonValue(text));
        return refused;
    }

    qWarning().noquote().nospace() << CLIENT_TAG << "WARN: Request was redirected to : " << LogQuote::quote(target.toString());
    if (!sameOrigin(target, exchange.origin))
        qWarning().noquote().nospace() << CLIENT_TAG << "WARN: Redirected to another server : sent without credentials";
    Exchange next = exchange;
    ++next.hops;
    return send(next, target);
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
