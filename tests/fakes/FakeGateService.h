#pragma once

#include "fakes/FakeHttpServer.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QUrl>

class Config;

// The site's gate-integration service: plain HTTP on loopback, the entry and exit requests of
// the lane's card reader. It allows or denies (200 "ALLOWED" or 403 "DENIED"); any answer can be
// scripted per request kind. Every request is recorded.
class FakeGateService : public QObject
{
    Q_OBJECT

public:
    static const QString EntryPath;
    static const QString ExitPath;

    struct Request
    {
        QString path;
        QByteArray body;
        QJsonObject json;
        FakeHttpHeaders headers;
        bool encrypted = false;
        QByteArray header(const QByteArray &name) const;
    };

    explicit FakeGateService(QObject *parent = nullptr);

    bool start();
    QUrl url() const;
    // Points `esb/url` at this service.
    void configure(Config &config) const;

    void setAllowed(bool allowed) { m_allowed = allowed; }
    // Standing answer for one path (EntryPath or ExitPath), in place of allow or deny.
    void setResponse(const QString &path, const FakeHttpResponse &response);
    void clearResponses();

    QList<Request> requests() const { return m_requests; }
    int count(const QString &path) const;

private:
    FakeHttpResponse answer(const FakeHttpRequest &request);

    FakeHttpServer m_server;
    bool m_allowed = true;
    QHash<QString, FakeHttpResponse> m_standing;
    QList<Request> m_requests;
};
