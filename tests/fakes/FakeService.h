#pragma once

#include "fakes/MqttPeer.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

class TestBroker;

// Common part of the fake hardware services: an MQTT connection of its own
// to the test broker, the requests under "<base>/<command>/request/<id>"
// answered on "<base>/<command>/response/<id>", a log of what was asked, and
// scriptable failures per command (refused with a code and a text, or no
// reply at all). Services that take plain messages as commands ("<base>/check")
// name them with takeCommand; those come to handle() with an empty id.
class FakeService : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QString command; // the suffix without the leading slash, e.g. "accept/enable"
        QString id;      // empty for a plain command
        QJsonObject body;
        QByteArray payload;
    };

    FakeService(const QString &base, const QString &clientId, QObject *parent = nullptr);
    ~FakeService() override;

    // Connects and returns once the request topics are subscribed.
    bool start(const TestBroker &broker);
    bool start(quint16 port, const QString &host = QStringLiteral("127.0.0.1"));
    void stop();
    bool isRunning() const;
    QString base() const { return m_base; }
    // The service's own connection: what the terminal published under the
    // base (beeps, LED documents ...) is in its messages().
    MqttPeer &peer() { return m_peer; }

    // Failures, per command ("issue", "card/read", ...): the next `times`
    // requests, or every one until cleared when times <= 0.
    void refuse(const QString &command, int code, const QString &description, int times = 0);
    void silence(const QString &command, int times = 0);
    // A slow device: the next `times` such requests (every one when times <= 0)
    // are carried out msec after they arrive.
    void delay(const QString &command, int msec, int times = 0);
    void clearFailures();

    QList<Request> requests() const { return m_requests; }
    QList<Request> requests(const QString &command) const;
    int count(const QString &command) const { return requests(command).size(); }
    void clearRequests() { m_requests.clear(); }

    // Publishing under the base topic, for documents and raw (bad) payloads.
    bool publish(const QString &suffix, const QJsonObject &doc, bool retain = false);
    bool publishRaw(const QString &suffix, const QByteArray &payload, bool retain = false);

signals:
    // After the request was logged, before it is answered.
    void requestReceived(const QString &command, const QString &id, const QJsonObject &body);
    // After the reply (or its scripted absence) and whatever followed it.
    void requestHandled(const QString &command, const QString &id);

protected:
    // Carries out a request that is not scripted to fail; answers with reply().
    virtual void handle(const Request &request) = 0;
    // Runs once connected and serving: the service announces itself.
    virtual void started() {}

    // "<base>/<command>" is a plain command of this service.
    void takeCommand(const QString &command);
    // A plain command scripted to be refused: what the service does instead
    // of its work (a request is answered with the refusal). Default: nothing.
    virtual void refused(const Request &request, int code, const QString &description);

    void reply(const Request &request, const QJsonObject &doc);
    void replyCompleted(const Request &request, const QJsonObject &data = {});
    void replyRefused(const Request &request, int code, const QString &description);

private:
    struct Failure
    {
        bool silent = false;
        int code = 0;
        QString description;
        int times = 0;
    };

    void onRequest(const MqttPeer::Request &request);
    void onMessage(const QString &topic, const QByteArray &payload);
    void dispatch(const Request &request);
    void process(const Request &request);

    QString m_base;
    MqttPeer m_peer;
    QHash<QString, Failure> m_failures;
    QStringList m_commands;
    QHash<QString, QPair<int, int>> m_delays; // command: msec, times
    QList<Request> m_requests;
};
