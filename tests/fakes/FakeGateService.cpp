#include "fakes/FakeGateService.h"

#include "app/Config.h"

#include <QJsonDocument>

const QString FakeGateService::EntryPath = QStringLiteral("/integration/internal/cardReader/entrance/entranceRequest");
const QString FakeGateService::ExitPath = QStringLiteral("/integration/internal/cardReader/intermediate/exitRequest");

QByteArray FakeGateService::Request::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

FakeGateService::FakeGateService(QObject *parent)
    : QObject(parent)
{
    m_server.setHandler([this](const FakeHttpRequest &request) { return answer(request); });
}

bool FakeGateService::start()
{
    return m_server.start();
}

QUrl FakeGateService::url() const
{
    QUrl base = m_server.url(QStringLiteral("/"));
    base.setPath(QString());
    return base;
}

void FakeGateService::configure(Config &config) const
{
    config.set(QStringLiteral("esb/url"), url().toString());
}

void FakeGateService::setResponse(const QString &path, const FakeHttpResponse &response)
{
    m_standing.insert(path, response);
}

void FakeGateService::clearResponses()
{
    m_standing.clear();
}

int FakeGateService::count(const QString &path) const
{
    int n = 0;
    for (const Request &request : m_requests)
        n += request.path == path ? 1 : 0;
    return n;
}

FakeHttpResponse FakeGateService::answer(const FakeHttpRequest &incoming)
{
    m_requests << Request{incoming.path, incoming.body, QJsonDocument::fromJson(incoming.body).object(),
                          incoming.headers, incoming.encrypted};
    if (m_standing.contains(incoming.path))
        return m_standing.value(incoming.path);
    if (incoming.method != QLatin1String("POST") || (incoming.path != EntryPath && incoming.path != ExitPath))
        return FakeHttpResponse::text(404, "Not Found");
    return m_allowed ? FakeHttpResponse::text(200, "ALLOWED") : FakeHttpResponse::text(403, "DENIED");
}
