#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSharedPointer>
#include <QString>

#include <memory>

#include "async/Deferred.h"
#include "transport/MqttConnection.h"
#include "transport/MqttSubscription.h"
#include "transport/MqttTopicFilter.h"

class QTimer;

namespace manager {

// The program's one MQTT session with the local broker: holds the settings, connects, cuts a
// hanging attempt (watchdog), reconnects after every loss, renews its recorded subscriptions at
// each connection, publishes, and hands every incoming message to all listeners (`received`).
// waitTopic and executeRpc turn one message into a deferred JSON result.
//
// Note: the slots connect() and disconnect() hide QObject's static ones inside this class and
// for callers that go through an instance; write QObject::connect / QObject::disconnect.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    using ClientState = MqttConnection::ClientState;
    using ClientError = MqttConnection::ClientError;
    using Subscription = QPair<MqttTopicFilter, int>;

    explicit MqttClient(QObject *parent = nullptr);
    ~MqttClient() override;

    bool isConnected() const;
    ClientState state() const;

    QString hostname() const { return m_hostname; }
    void setHostname(const QString &hostname) { m_hostname = hostname; }
    unsigned int port() const { return m_port; }
    void setPort(unsigned int port) { m_port = port; }
    QString username() const { return m_username; }
    void setUsername(const QString &username) { m_username = username; }
    QString password() const { return m_password; }
    void setPassword(const QString &password) { m_password = password; }
    unsigned int retryMillis() const { return m_retryMillis; }
    void setRetryMillis(unsigned int millis) { m_retryMillis = millis; }
    bool encrypted() const { return m_encrypted; }
    void setEncrypted(bool encrypted) { m_encrypted = encrypted; }
    bool cleanSession() const { return m_cleanSession; }
    void setCleanSession(bool clean) { m_cleanSession = clean; }
    QString clientId() const { return m_clientId; }
    void setClientId(const QString &clientId) { m_clientId = clientId; }
    unsigned char keepAlive() const { return m_keepAlive; }
    void setKeepAlive(unsigned char seconds) { m_keepAlive = seconds; }
    QByteArray willMessage() const { return m_willMessage; }
    void setWillMessage(const QByteArray &message) { m_willMessage = message; }
    unsigned char willQoS() const { return m_willQoS; }
    void setWillQoS(unsigned char qos) { m_willQoS = qos; }
    bool willRetain() const { return m_willRetain; }
    void setWillRetain(bool retain) { m_willRetain = retain; }
    QString willTopic() const { return m_willTopic; }
    void setWillTopic(const QString &topic) { m_willTopic = topic; }

    // The subscription record, one entry per topic filter, in the order of first subscription.
    QList<Subscription> subscriptions() const { return m_subscriptions; }

    // Why these settings cannot make a connection, or an empty text: what connect() refuses.
    static QString settingsRefusal(qint64 port, const QString &username, const QString &password);

public slots:
    void connect();
    void disconnect();
    void subscribe(const QString &topic, uchar qos = 0);
    // Drops the filter from the record, so that no later connection renews it. A live
    // subscription lasts until the session ends.
    void unsubscribe(const QString &topic);
    bool publish(const QByteArray &data, const QString &topic, uchar qos = 0, bool retain = false);

    // The next message on topic as its JSON object; rejected "Not connected", "Subscription
    // failed", "Invalid response" or "Timeout" (msec 0: no time-out).
    Deferred<QJsonValue> waitTopic(const QString &topic, int msec = 3000);
    // Request on topic + "/request/" + rpcId, reply awaited on topic + "/response/" + rpcId.
    Deferred<QJsonValue> executeRpc(const QString &topic, const QString &rpcId, const QJsonObject &request,
                                    int msec = 3000);

signals:
    void connected();
    void disconnected();
    // retained: a message the broker kept from before the subscription (delivered again at
    // every subscription); listeners of the two-argument form still connect.
    void received(QByteArray data, QByteArray from, bool retained);
    void error(QString error);

private slots:
    void onConnected();
    void onDisconnected();
    void onStateChanged(manager::MqttConnection::ClientState state);
    void onError(manager::MqttConnection::ClientError e);
    void onReceived(const QByteArray &message, const QString &topic, bool retained);
    void onTimeout();
    void onReconnect();
    void onSubscriptionStateChanged(manager::MqttSubscription::SubscriptionState state);

private:
    struct TopicWait;
    using WaitPtr = QSharedPointer<TopicWait>;

    void initTimer();
    void initClient();
    void doSubscribe(const MqttTopicFilter &filter, unsigned char qos);
    bool attachWait(const WaitPtr &wait);
    void onWaitMessage(const WaitPtr &wait, const QByteArray &message);
    void onWaitTimeout(const WaitPtr &wait);
    bool finishWait(const WaitPtr &wait);

    std::unique_ptr<MqttConnection> m_client;
    std::unique_ptr<QTimer> m_watchdog;
    QList<Subscription> m_subscriptions;
    bool m_renewalPending = false; // connected, record not yet renewed
    QList<WaitPtr> m_waits;        // pending topic waits

    QString m_hostname = QStringLiteral("127.0.0.1");
    unsigned int m_port = 1883;
    QString m_username;
    QString m_password;
    unsigned int m_retryMillis = 3000;
    bool m_encrypted = false;
    bool m_cleanSession = true;
    QString m_clientId;
    unsigned char m_keepAlive = 5;
    QByteArray m_willMessage;
    unsigned char m_willQoS = 2;
    bool m_willRetain = true;
    QString m_willTopic;
};

} // namespace manager
