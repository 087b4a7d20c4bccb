#include "fakes/FakeBackOffice.h"

#include "app/Config.h"
#include "fakes/TestCertificates.h"

#include <QJsonDocument>
#include <QSslCertificate>

const QString FakeBackOffice::Register = QStringLiteral("/api/v1/device/register");
const QString FakeBackOffice::UpdateData = QStringLiteral("/api/v1/device/updateData");
const QString FakeBackOffice::Heartbeat = QStringLiteral("/api/v1/device/heartbeat");
const QString FakeBackOffice::Blacklist = QStringLiteral("/api/v1/device/blacklist");
const QString FakeBackOffice::OperationStatus = QStringLiteral("/api/v1/device/operation/status");
const QString FakeBackOffice::Transaction = QStringLiteral("/api/v1/device/transaction");

QByteArray FakeBackOffice::Request::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

FakeBackOffice::FakeBackOffice(const TestCertificates &certificates, QObject *parent)
    : QObject(parent)
    , m_certificates(certificates)
{
    m_server.setTls(m_certificates.serverCertificate(), m_certificates.serverKey(),
                    {m_certificates.caCertificate()}, true);
    m_server.setHandler([this](const FakeHttpRequest &request) { return answer(request); });
}

FakeBackOffice::~FakeBackOffice() = default;

bool FakeBackOffice::start()
{
    return m_server.start();
}

QUrl FakeBackOffice::url() const
{
    return m_server.url(QStringLiteral("/"));
}

void FakeBackOffice::configure(Config &config) const
{
    QUrl base = url();
    base.setPath(QString());
    config.set(QStringLiteral("card-bo/url"), base.toString());
    config.set(QStringLiteral("card-bo/rootCA"), m_certificates.caCertPath());
    config.set(QStringLiteral("card-bo/pubCert"), m_certificates.clientCertPath());
    config.set(QStringLiteral("card-bo/privKey"), m_certificates.clientKeyPath());
}

void FakeBackOffice::setBlacklist(const QString &version, const QStringList &added, const QStringList &removed)
{
    m_blacklists.insert(version, QJsonObject{{QStringLiteral("added"), QJsonArray::fromStringList(added)},
                                             {QStringLiteral("removed"), QJsonArray::fromStringList(removed)}});
}

void FakeBackOffice::queueResponse(const QString &path, const FakeHttpResponse &response)
{
    m_queued[path].enqueue(response);
}

void FakeBackOffice::setResponse(const QString &path, const FakeHttpResponse &response)
{
    m_standing.insert(path, response);
}

void FakeBackOffice::clearResponses()
{
    m_queued.clear();
    m_standing.clear();
}

QList<FakeBackOffice::Request> FakeBackOffice::requests(const QString &path) const
{
    QList<Request> matching;
    for (const Request &request : m_requests) {
        if (request.path == path)
            matching << request;
    }
    return matching;
}

FakeBackOffice::Request FakeBackOffice::last(const QString &path) const
{
    const QList<Request> matching = requests(path);
    return matching.isEmpty() ? Request() : matching.last();
}

FakeHttpResponse FakeBackOffice::answer(const FakeHttpRequest &incoming)
{
    Request request;
    request.method = incoming.method;
    request.path = incoming.path;
    // Read as the web servers of the back office read a query: "+" is a space, every
    // percent escape is decoded.
    QString query = incoming.target.section(QLatin1Char('?'), 1);
    query.replace(QLatin1Char('+'), QLatin1String("%20"));
    request.query = QUrlQuery(query);
    request.headers = incoming.headers;
    request.body = incoming.body;
    request.json = QJsonDocument::fromJson(incoming.body).object();
    if (!incoming.peerCertificate.isNull())
        request.clientSubject = incoming.peerCertificate.subjectInfo(QSslCertificate::CommonName).join(QLatin1Char(','));

    FakeHttpResponse response;
    if (!m_queued.value(request.path).isEmpty())
        response = m_queued[request.path].dequeue();
    else if (m_standing.contains(request.path))
        response = m_standing.value(request.path);
    else
        response = modelAnswer(request);

    request.status = response.kind == FakeHttpResponse::Kind::Answer ? response.status : 0;
    if (request.path == Transaction && (request.status == 200 || request.status == 201))
        m_delivered << request.json.value(QStringLiteral("transactionUid")).toString();
    m_requests << request;
    emit requestReceived(request.path);
    return response;
}

FakeHttpResponse FakeBackOffice::modelAnswer(const Request &request)
{
    if (request.path != Register && request.header("X-API-Key") != m_apiKey.toUtf8())
        return FakeHttpResponse::json(401, QJsonObject{{QStringLiteral("error"), QStringLiteral("Unauthorized")}});

    if (request.path == Register && request.method == QLatin1String("POST"))
        return FakeHttpResponse::json(200, QJsonObject{{QStringLiteral("id"), m_deviceId},
                                                       {QStringLiteral("apiKey"), m_apiKey}});
    if (request.path == UpdateData && request.method == QLatin1String("GET"))
        return FakeHttpResponse::json(200, QJsonObject{{QStringLiteral("customs"), m_customs},
                                                       {QStringLiteral("locations"), m_locations}});
    if (request.path == Heartbeat && request.method == QLatin1String("POST"))
        return FakeHttpResponse::json(200, m_heartbeatAnswer);
    if (request.path == Blacklist && request.method == QLatin1String("GET")) {
        const QString after = request.query.queryItemValue(QStringLiteral("after"), QUrl::FullyDecoded);
        return FakeHttpResponse::json(200, m_blacklists.value(after, QJsonObject{{QStringLiteral("added"), QJsonArray()},
                                                                                 {QStringLiteral("removed"), QJsonArray()}}));
    }
    if (request.path == OperationStatus && (request.method == QLatin1String("PUT") || request.method == QLatin1String("DELETE")))
        return FakeHttpResponse::json(200, QJsonObject());
    if (request.path == Transaction && request.method == QLatin1String("POST")) {
        if (request.json.value(QStringLiteral("transactionUid")).toString().isEmpty())
            return FakeHttpResponse::json(400, QJsonObject{{QStringLiteral("error"), QStringLiteral("No transactionUid")}});
        return FakeHttpResponse::json(m_transactionStatus, QJsonObject{{QStringLiteral("status"), m_transactionStatus}});
    }
    return FakeHttpResponse::json(404, QJsonObject{{QStringLiteral("error"), QStringLiteral("Not found")}});
}
