#include "backend/ESB.h"

#include "app/Config.h"
#include "app/LogQuote.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>

namespace Backend {

namespace {

void logInfo(const QString &text) { qInfo().noquote() << QStringLiteral("[Backend::ESB] ") + text; }
void logError(const QString &text) { qCritical().noquote() << QStringLiteral("[Backend::ESB] ") + text; }

constexpr int DefaultTimeout = 5000;

QString bodyText(const QJsonValue &body)
{
    return body.isString() ? body.toString() : QString();
}

} // namespace

ESB::ESB(Config &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
{
    qRegisterMetaType<Backend::ESB::Response>();
    initClient();
}

void ESB::initClient()
{
    m_client.setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
    m_client.setHeader(QStringLiteral("User-Agent"), QStringLiteral("vorn/terminal"));
    m_client.setHeader(QStringLiteral("Connection"), QStringLiteral("keep-alive"));
}

QUrl ESB::createUrl(const QString &path) const
{
    QUrl url(m_config.get(QStringLiteral("esb/url")).toString());
    // Without a host the path alone would pass for a relative URL; the request must fail at once.
    if (!url.isValid() || url.host().isEmpty())
        return QUrl();
    url.setPath(path, QUrl::DecodedMode);
    return url;
}

Deferred<ESB::Response> ESB::requestEntry(const Request &request)
{
    return perform(QStringLiteral("Entry"), QStringLiteral("/integration/internal/cardReader/entrance/entranceRequest"),
                   request);
}

Deferred<ESB::Response> ESB::requestExit(const Request &request)
{
    return perform(QStringLiteral("Exit"), QStringLiteral("/integration/internal/cardReader/intermediate/exitRequest"),
                   request);
}

Deferred<ESB::Response> ESB::perform(const QString &word, const QString &path, const Request &request)
{
    logInfo(QStringLiteral("Performing '%1' request").arg(word));
    // No limit at all would hold the lane for as long as the service stays silent.
    const int setting = m_config.get(QStringLiteral("esb/responseTimeoutMsec")).toInt();
    const int timeout = setting > 0 ? setting : DefaultTimeout;
    const QJsonObject body{
        {QStringLiteral("timestamp"), request.timestamp.toString(Qt::ISODate)},
        {QStringLiteral("deviceId"), request.deviceId},
        {QStringLiteral("customsId"), request.customsId},
        {QStringLiteral("locationId"), request.locationId},
        {QStringLiteral("cardId"), request.cardId},
        {QStringLiteral("plateDatabaseId"), request.plateDatabaseId},
    };

    Deferred<Response> result;
    QPointer<ESB> self(this);
    m_client.post(createUrl(path), body, timeout)
        .done([result](int status, QJsonValue answer) { result.resolve(Response{status, bodyText(answer)}); })
        .fail([self, result](int status, QJsonValue answer) {
            if (self)
                self->handleErrorResponse(status, answer);
            result.reject(Response{status, bodyText(answer)});
        });
    return result;
}

void ESB::handleErrorResponse(int status, const QJsonValue &body)
{
    const QString text = body.isString()
        ? body.toString()
        : QString::fromUtf8(QJsonDocument(body.toObject()).toJson(QJsonDocument::Compact));
    logError(QStringLiteral("ERROR: Operation failed : (%1) %2").arg(status).arg(LogQuote::quote(text, 4096)));
}

} // namespace Backend
