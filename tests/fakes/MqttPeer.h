#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <set>

struct mosquitto;
struct mosquitto_message;
class TestBroker;

// A plain MQTT client straight on libmosquitto and its own network thread: the other end of
// the broker for tests and fake services, independent of the program's MQTT session.
// Its signals, the received messages and the request handlers live on the thread that created
// it. After a lost connection the library reconnects about every second, and the peer
// subscribes its filters again.
class MqttPeer : public QObject
{
    Q_OBJECT

public:
    struct Message
    {
        QString topic;
        QByteArray payload;
        int qos = 0;
        bool retained = false;
    };

    // A request published on <topic>/request/<id>.
    struct Request
    {
        QString topic; // the part before "/request/"
        QString id;
        QByteArray payload;

        QJsonObject json() const; // the payload as a JSON object (empty when it is none)
        QString responseTopic() const { return topic + QStringLiteral("/response/") + id; }
    };
    // The reply's payload, or no value to leave the request unanswered.
    using Handler = std::function<std::optional<QByteArray>(Request const &)>;

    explicit MqttPeer(QString const &clientId = QString(), QObject *parent = nullptr);
    ~MqttPeer() override;

    QString clientId() const { return m_clientId; }

    // Before connecting.
    void setCredentials(QString const &username, QString const &password);
    void setWill(QString const &topic, QByteArray const &payload, int qos = 0, bool retain = false);

    // Connects and waits for the CONNACK; true when accepted. The network thread keeps
    // trying after a refusal or a loss.
    bool connectTo(QString const &host, quint16 port, int msec = 5000);
    bool connectTo(TestBroker const &broker, int msec = 5000);
    // Clean DISCONNECT (no will), then stops the network thread.
    void disconnectFrom();
    bool isConnected() const;
    // Waits (event loop running) until connected, after a broker restart say.
    bool waitConnected(int msec = 5000);
    // The CONNACK code of the last attempt (0 accepted, 1-5 refused, -1 none yet).
    int lastConnack() const;

    // Subscribes and waits for the SUBACK; true when granted. Renewed after reconnections.
    bool subscribe(QString const &filter, int qos = 0, int msec = 5000);
    // Publishes and waits until it is written (QoS 0) or acknowledged (QoS 1, 2).
    bool publish(QString const &topic, QByteArray const &payload, int qos = 0, bool retain = false, int msec = 5000);
    bool publish(QString const &topic, QJsonObject const &document, int qos = 0, bool retain = false);

    // Answers every request below base ("<base>/.../request/<id>") with what the handler returns,
    // on the request's response topic. Subscribes base + "/#".
    bool serve(QString const &base, Handler handler);
    // Answers requests below base from the network thread with their own payload (benchmarks).
    bool serveEcho(QString const &base);
    bool reply(Request const &request, QByteArray const &payload);

    // Messages received so far, in order; filter is an MQTT topic filter.
    QList<Message> messages() const { return m_messages; }
    QList<Message> messages(QString const &filter) const;
    QList<Request> requests() const { return m_requests; }
    void clear();
    // Runs the event loop until `count` messages matching filter have arrived.
    bool waitForMessages(QString const &filter, int count = 1, int msec = 5000);
    bool waitForRequests(int count = 1, int msec = 5000);

    static bool matches(QString const &filter, QString const &topic);

signals:
    void connected();
    void disconnected();
    void messageReceived(QString const &topic, QByteArray const &payload);
    void requestReceived(MqttPeer::Request const &request);

private:
    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onMessage(mosquitto *, void *self, mosquitto_message const *message);
    static void onSubscribe(mosquitto *, void *self, int mid, int count, int const *granted);
    static void onPublish(mosquitto *, void *self, int mid);

    bool waitFor(std::function<bool()> const &condition, int msec);
    void deliver(Message const &message);
    void stopLoop();

    QString m_clientId;
    mosquitto *m_mosq = nullptr;
    bool m_loopStarted = false;

    // Shared with the network thread.
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_connected = false;
    int m_connack = -1;
    std::set<int> m_acknowledged;   // finished publications
    std::set<int> m_subacks;        // granted subscriptions
    std::set<int> m_refused;        // refused subscriptions
    QList<QPair<QString, int>> m_filters;
    QStringList m_echoBases;

    // Thread of the object only.
    QList<Message> m_messages;
    QList<Request> m_requests;
    QList<QPair<QString, Handler>> m_handlers;
};

Q_DECLARE_METATYPE(MqttPeer::Request)
