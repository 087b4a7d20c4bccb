#pragma once

#include "async/Deferred.h"

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QTimer>

#include <functional>

namespace manager {

class MqttClient;

// Base of the clients of the hardware services on the broker. It takes the
// messages under the service's base topic, parses them as JSON, logs what
// does not parse and hands the document to the handler registered for the
// exact topic (base + suffix). Subclasses only map documents to properties.
class MqttDevice : public QObject
{
    Q_OBJECT

public:
    // Characters of a text that readText keeps.
    static constexpr int MaxTextLength = 256;

    using Handler = std::function<void(const QJsonObject &)>;

    // How a payload becomes a document; the services differ in these details.
    struct Parsing
    {
        bool emptyIsObject = true; // an empty payload reads as {} (else a parse error, see emptyMeansCleared)
        bool stopAtZero = true;    // the text ends at the first zero byte
        // The payload is decoded as UTF-8 text before it is parsed, so a stray byte
        // that is no UTF-8 costs one character, not the whole document.
        bool decodeText = false;
    };

    MqttDevice(MqttClient &mqtt, const QString &base, const QString &tag, QObject *parent = nullptr);
    ~MqttDevice() override;

    QString base() const { return m_base; }
    // Ids of this client's requests: "1", "2", ...; every client counts on its own.
    QString nextRpcId();

    // A status document marks its service online only with "service": true.
    static bool serviceOnline(const QJsonObject &status);

    // What this client knows of its service in the current session: nothing yet; that it runs
    // (its status said so, or it published something not empty just now); that it is down (its status
    // said so: "service": false, a cleared status, a will). Forgotten at each new session,
    // since a retained status comes back with it.
    enum class Service { Unknown, Running, Down };
    Service service() const { return m_service; }

signals:
    void serviceChanged();

protected:
    MqttClient &mqtt() const { return m_mqtt; }
    QString tag() const { return m_tag; }

    void setParsing(const Parsing &parsing) { m_parsing = parsing; }
    // Only routed topics are read: a message on any other is dropped unparsed.
    void route(const QString &suffix, Handler handler);
    // A route for events (a card found, a card taken): one the broker kept and hands out again
    // at a new subscription is no news and is dropped, logged.
    void routeEvent(const QString &suffix, Handler handler);
    // A status route with the offline rule applied before the handler; an
    // empty payload there reads as { } (offline), as a cleared retained status.
    // It sets the service running or down.
    void routeStatus(const QString &suffix, Handler online, std::function<void()> offline);
    // An empty payload on base + suffix reads as { } whatever the parsing
    // says: how a service clears its retained status or configuration.
    // With `cleared`, that runs instead of the route's handler.
    void emptyMeansCleared(const QString &suffix, std::function<void()> cleared = nullptr);
    // Base + suffix carries the service's own word on whether it runs: its
    // handler sets the service (routeStatus does so itself). A message the
    // service publishes live on any other route shows that it runs; an empty
    // one (a kept message cleared) never does.
    void statusTopic(const QString &suffix);
    void setService(Service service);
    void subscribeTo(const QString &suffix, quint8 qos = 0);

    // Request/response call on base + suffix with the next id of this client.
    Deferred<QJsonValue> call(const QString &suffix, const QJsonObject &request, int msec);
    bool publishTo(const QString &suffix, const QByteArray &payload);
    // publishTo for what a person asked for: a message that cannot be
    // published is not lost silently but logged as a warning.
    bool publishOrWarn(const QString &suffix, const QByteArray &payload);
    bool mqttConnected() const;
    // The document being handled is one the broker kept and handed out again (retained), not
    // one published just now: for a route that tells news from a replay by what it holds.
    bool handlingKept() const { return m_kept; }

    // Resolves on the next emission of one of this client's own signals
    // (values are read from the client, which has stored them by then);
    // rejects with "Timeout" after msec (never when msec <= 0) and at once
    // with "Not connected" while the session is down. The client's standing
    // subscription carries the message, so nothing can slip past the wait
    // while a fresh subscription would still be on its way to the broker.
    template <typename Signal>
    Deferred<QString> nextEmission(Signal signal, int msec);
    // The same for the next message on base + suffix, whatever it holds: one
    // that does not parse ends the wait too; a kept one replayed on an event route does not.
    Deferred<QString> nextMessage(const QString &suffix, int msec);

    // The line logged for a payload that does not parse; the default reads
    // tag + "ERROR: Failed to parse JSON message (topic=<topic>) : <error>".
    virtual void logParseError(const QString &topic, const QByteArray &payload, const QString &error) const;

    // Lenient readers of document values (a missing key or another JSON type
    // reads as the default) that log a warning for a value of the wrong type,
    // so a service speaking another format shows in the log. A missing key or
    // null is no warning. `where` names the value in the line, e.g. "device.state".
    // Texts are kept and reported (heartbeats, screens): one longer than
    // MaxTextLength is cut to it, with a warning.
    QString readText(const QJsonObject &object, const QString &key, const QString &where) const;
    int readInt(const QJsonObject &object, const QString &key, const QString &where) const;
    bool readFlag(const QJsonObject &object, const QString &key, const QString &where) const;
    QJsonObject readObject(const QJsonObject &object, const QString &key, const QString &where) const;

private:
    void onReceived(const QByteArray &payload, const QByteArray &topic, bool retained);
    void warnUnexpected(const QString &where, const QJsonValue &value) const;

    MqttClient &m_mqtt;
    QString m_base;
    QString m_tag;
    Parsing m_parsing;
    QHash<QString, Handler> m_routes;
    QSet<QString> m_clearedByEmpty; // topics where an empty payload is { }
    QHash<QString, std::function<void()>> m_cleared; // what an empty payload there means instead
    QSet<QString> m_statusTopics;
    QSet<QString> m_eventTopics;
    Service m_service = Service::Unknown;
    int m_rpcId = 0;
    QString m_topic; // of the document being handled, for the log
    bool m_kept = false;
};

template <typename Signal>
Deferred<QString> MqttDevice::nextEmission(Signal signal, int msec)
{
    Deferred<QString> result;
    if (!mqttConnected()) {
        result.reject(QStringLiteral("Not connected"));
        return result;
    }
    using Sender = typename QtPrivate::FunctionPointer<Signal>::Object;
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    auto emission = QSharedPointer<QMetaObject::Connection>::create();
    *emission = connect(static_cast<Sender *>(this), signal, timer, [result, timer, emission] {
        QObject::disconnect(*emission);
        timer->stop();
        timer->deleteLater();
        result.resolve(QString());
    });
    connect(timer, &QTimer::timeout, timer, [result, timer, emission] {
        QObject::disconnect(*emission);
        timer->deleteLater();
        result.reject(QStringLiteral("Timeout"));
    });
    if (msec > 0)
        timer->start(msec);
    return result;
}

} // namespace manager
