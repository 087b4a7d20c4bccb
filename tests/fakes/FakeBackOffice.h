#pragma once

#include "fakes/FakeHttpServer.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

class Config;
class TestCertificates;

// The back office as the terminal meets it: HTTPS on a loopback port that demands a client
// certificate signed by the test CA, 401 without the right "X-API-Key" (registration aside),
// and the device API under "/api/v1/device/". It registers terminals, serves reference data,
// answers heartbeats, serves blacklists by version and takes transactions. Every request is
// recorded; any endpoint's answer can be scripted (status, body, delay, a dropped connection).
class FakeBackOffice : public QObject
{
    Q_OBJECT

public:
    static const QString Register;
    static const QString UpdateData;
    static const QString Heartbeat;
    static const QString Blacklist;
    static const QString OperationStatus;
    static const QString Transaction;

    struct Request
    {
        QString method;
        QString path;
        QUrlQuery query;       // decoded as a web server does: "+" is a space
        FakeHttpHeaders headers;
        QByteArray body;
        QJsonObject json;      // the body when it is a JSON object
        QString clientSubject; // common name of the client certificate, empty without one
        int status = 0;        // what the fake answered; 0 for a scripted non-answer

        QByteArray header(const QByteArray &name) const;
    };

    // The certificates stay with the caller and must outlive the fake.
    explicit FakeBackOffice(const TestCertificates &certificates, QObject *parent = nullptr);
    ~FakeBackOffice() override;

    bool start();
    QUrl url() const;
    // Points the link's settings at this back office with the test CA's client certificate.
    void configure(Config &config) const;
    FakeHttpServer &server() { return m_server; }

    // What registration hands out, and the key every other endpoint demands.
    void setApiKey(const QString &key) { m_apiKey = key; }
    QString apiKey() const { return m_apiKey; }
    void setDeviceId(const QJsonValue &id) { m_deviceId = id; }

    void setCustoms(const QJsonArray &customs) { m_customs = customs; }
    void setLocations(const QJsonArray &locations) { m_locations = locations; }
    // The members every heartbeat answer carries (versions, settings and their time).
    void setHeartbeatAnswer(const QJsonObject &answer) { m_heartbeatAnswer = answer; }
    // The blacklist answer served for "after" = version.
    void setBlacklist(const QString &version, const QStringList &added, const QStringList &removed = {});
    // Status of the answer to every transaction (201 at first).
    void setTransactionStatus(int status) { m_transactionStatus = status; }

    // Scripted answers for a path: one-off ones go first, then the standing one, then the model.
    void queueResponse(const QString &path, const FakeHttpResponse &response);
    void setResponse(const QString &path, const FakeHttpResponse &response);
    void clearResponses();

    QList<Request> requests() const { return m_requests; }
    QList<Request> requests(const QString &path) const;
    int count(const QString &path) const { return requests(path).size(); }
    Request last(const QString &path) const;
    void clearRequests() { m_requests.clear(); }
    // "transactionUid" of every transaction answered with 200 or 201, in order of arrival.
    QStringList delivered() const { return m_delivered; }

signals:
    void requestReceived(const QString &path);

private:
    FakeHttpResponse answer(const FakeHttpRequest &request);
    FakeHttpResponse modelAnswer(const Request &request);

    const TestCertificates &m_certificates;
    FakeHttpServer m_server;
    QString m_apiKey = QStringLiteral("bo-key-0001");
    QJsonValue m_deviceId = 41;
    QJsonArray m_customs;
    QJsonArray m_locations;
    QJsonObject m_heartbeatAnswer;
    QHash<QString, QJsonObject> m_blacklists;
    int m_transactionStatus = 201;
    QHash<QString, QQueue<FakeHttpResponse>> m_queued;
    QHash<QString, FakeHttpResponse> m_standing;
    QList<Request> m_requests;
    QStringList m_delivered;
};
