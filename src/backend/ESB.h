#pragma once

#include "async/Deferred.h"
#include "transport/HttpClient.h"

#include <QDateTime>
#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QUrl>

class Config;

namespace Backend {

// Client of the site's gate-integration service: asks whether a vehicle may enter the lane
// or pass on. Plain requests to `esb/url`, each with the time-out `esb/responseTimeoutMsec`.
class ESB : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QDateTime timestamp;
        QString deviceId;
        QString customsId;
        QString locationId;
        QString cardId;
        QString plateDatabaseId;
    };

    struct Response
    {
        int status = 0; // HTTP status, 0 when no answer came
        QString body;   // a text answer or the failure's text; empty for a JSON object answer
    };

    explicit ESB(Config &config, QObject *parent = nullptr);

    Deferred<Response> requestEntry(const Request &request);
    Deferred<Response> requestExit(const Request &request);

private:
    void initClient();
    QUrl createUrl(const QString &path) const;
    void handleErrorResponse(int status, const QJsonValue &body);
    Deferred<Response> perform(const QString &word, const QString &path, const Request &request);

    Config &m_config;
    HttpClient m_client;
};

} // namespace Backend

Q_DECLARE_METATYPE(Backend::ESB::Response)
