#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>

#include "transport/MqttTopicFilter.h"

struct mosquitto;
struct mosquitto_message;
class QHostInfo;
class QSocketNotifier;

namespace manager {

class MqttSubscription;

// One MQTT 3.1.1 client connection on libmosquitto, driven by the Qt event loop of its thread:
// socket notifiers feed the library's read and write steps and a timer its keep-alive step. The
// library's callbacks only queue what happened; the signals are emitted after the library call
// returns, so listeners may call back into the connection (even connect or disconnect) safely.
//
// Settings apply at the next connectToHost(). Host names are resolved with QHostInfo (the
// library would resolve synchronously); IPv4 addresses are tried first. Every connection starts
// on a fresh library handle, so nothing published or subscribed while down is replayed later:
// publish() and subscribe() refuse while not Connected.
class MqttConnection : public QObject
{
    Q_OBJECT

public:
    enum ClientState { Disconnected = 0, Connecting = 1, Connected = 2 };
    Q_ENUM(ClientState)

    enum ClientError {
        NoError = 0,
        InvalidProtocolVersion = 1,
        IdRejected = 2,
        ServerUnavailable = 3,
        BadUsernameOrPassword = 4,
        NotAuthorized = 5,
        TransportInvalid = 256,
        ProtocolViolation = 257,
        UnknownError = 258,
        Mqtt5SpecificError = 259
    };
    Q_ENUM(ClientError)

    enum ProtocolVersion { MQTT_3_1 = 3, MQTT_3_1_1 = 4 };

    explicit MqttConnection(QObject *parent = nullptr);
    ~MqttConnection() override;

    QString hostname() const { return m_hostname; }
    void setHostname(const QString &hostname) { m_hostname = hostname; }
    quint16 port() const { return m_port; }
    void setPort(quint16 port) { m_port = port; }
    QString clientId() const { return m_clientId; }
    void setClientId(const QString &clientId) { m_clientId = clientId; }
    QString username() const { return m_username; }
    void setUsername(const QString &username) { m_username = username; }
    QString password() const { return m_password; }
    void setPassword(const QString &password) { m_password = password; }
    bool cleanSession() const { return m_cleanSession; }
    void setCleanSession(bool clean) { m_cleanSession = clean; }
    quint16 keepAlive() const { return m_keepAlive; }
    void setKeepAlive(quint16 seconds) { m_keepAlive = seconds; }
    QByteArray willMessage() const { return m_willMessage; }
    void setWillMessage(const QByteArray &message) { m_willMessage = message; }
    quint8 willQoS() const { return m_willQoS; }
    void setWillQoS(quint8 qos) { m_willQoS = qos; }
    bool willRetain() const { return m_willRetain; }
    void setWillRetain(bool retain) { m_willRetain = retain; }
    QString willTopic() const { return m_willTopic; }
    void setWillTopic(const QString &topic) { m_willTopic = topic; }
    ProtocolVersion protocolVersion() const { return MQTT_3_1_1; }

    ClientState state() const { return m_state; }
    ClientError error() const { return m_error; }

    // Starts an attempt with the current settings. Ignored while Connected; while Connecting
    // the running attempt is dropped for a new one.
    void connectToHost();
    // Sends DISCONNECT (the broker drops the will) and closes; a running attempt is dropped.
    void disconnectFromHost();
    // Closes the socket without DISCONNECT, as a broken link would (the broker sends the will).
    void closeTransport();

    // Null when not Connected, for an invalid filter or QoS above 2.
    MqttSubscription *subscribe(const MqttTopicFilter &topic, quint8 qos = 0);
    // The message id (0 for QoS 0), or -1 when refused (not Connected, invalid topic or QoS).
    int publish(const QString &topic, const QByteArray &message = QByteArray(), quint8 qos = 0, bool retain = false);

signals:
    void connected();
    void disconnected();
    void stateChanged(manager::MqttConnection::ClientState state);
    void errorChanged(manager::MqttConnection::ClientError error);
    // retained: the broker kept the message from before this subscription.
    void messageReceived(const QByteArray &message, const QString &topic, bool retained);

private:
    friend class MqttSubscription;

    struct Event
    {
        enum Kind { Connack, Closed, Message, Suback, Unsuback } kind;
        quint64 generation;
        int value;  // CONNACK code, close reason or packet id
        int extra;  // granted QoS of a SUBACK
        QString topic;
        QByteArray payload;
        bool retained = false; // of a Message
    };

    static void onConnectCallback(mosquitto *, void *self, int rc);
    static void onDisconnectCallback(mosquitto *, void *self, int rc);
    static void onMessageCallback(mosquitto *, void *self, const mosquitto_message *message);
    static void onSubscribeCallback(mosquitto *, void *self, int mid, int count, const int *granted);
    static void onUnsubscribeCallback(mosquitto *, void *self, int mid);

    template <typename Step> int step(Step &&libraryCall);
    void sync();
    void dispatch();
    void handle(const Event &event);
    void onHostLookedUp(const QHostInfo &info);
    void tryNextAddress();
    bool startHandle(const QHostAddress &address, ClientError *fatal);
    void abortAttempt();
    // Reads what the broker still owes before a disconnect, for a bounded time.
    void settleInput();
    void closeHandle();
    void handleClosed(int reason);
    void dropSubscriptions();
    void release(MqttSubscription *subscription);
    void setState(ClientState state);
    void setError(ClientError error);
    void fail(ClientError error);

    QString m_hostname = QStringLiteral("127.0.0.1");
    quint16 m_port = 1883;
    QString m_clientId;
    QString m_username;
    QString m_password;
    bool m_cleanSession = true;
    quint16 m_keepAlive = 60;
    QByteArray m_willMessage;
    quint8 m_willQoS = 0;
    bool m_willRetain = false;
    QString m_willTopic;

    ClientState m_state = Disconnected;
    ClientError m_error = NoError;
    ClientError m_refusal = NoError; // CONNACK code of the running attempt
    bool m_closing = false;          // DISCONNECT sent, waiting for the socket to close

    mosquitto *m_mosq = nullptr;
    quint64 m_generation = 0;
    int m_fd = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer m_miscTimer;
    int m_lookupId = -1;
    QList<QHostAddress> m_addresses;

    std::deque<Event> m_events;
    bool m_dispatching = false;
    QHash<QString, MqttSubscription *> m_subscriptions;
};

} // namespace manager
