#include "transport/MqttClient.h"

#include "app/Config.h"
#include "app/LogQuote.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <atomic>

namespace manager {

namespace {
const char Tag[] = "[MqttClient] ";

void logDebug(const QString &text)
{
    qDebug().noquote().nospace() << Tag << text;
}

void logInfo(const QString &text)
{
    qInfo().noquote().nospace() << Tag << text;
}

void logWarning(const QString &text)
{
    qWarning().noquote().nospace() << Tag << text;
}

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

const QString NotConnected = QStringLiteral("Not connected");
const QString SubscriptionFailed = QStringLiteral("Subscription failed");
const QString InvalidResponse = QStringLiteral("Invalid response");
const QString Timeout = QStringLiteral("Timeout");
} // namespace

// One waitTopic call. Its subscription is the connection's, shared with anyone subscribed to
// the same filter; the wait holds one share until it settles.
struct MqttClient::TopicWait
{
    MqttTopicFilter topic;
    Deferred<QJsonValue> result;
    QTimer *timer = nullptr;
    QPointer<MqttSubscription> subscription;
    QMetaObject::Connection messageConnection;
    QMetaObject::Connection stateConnection;
    std::atomic_bool settled{false};
};

MqttClient::MqttClient(QObject *parent) : QObject(parent), m_client(new MqttConnection)
{
    qRegisterMetaType<MqttConnection::ClientState>("ClientState");
    qRegisterMetaType<MqttConnection::ClientError>("ClientError");
}

MqttClient::~MqttClient()
{
    for (const WaitPtr &wait : qAsConst(m_waits)) {
        QObject::disconnect(wait->messageConnection);
        QObject::disconnect(wait->stateConnection);
    }
    m_waits.clear();
    m_watchdog.reset();
    m_client.reset();
}

bool MqttClient::isConnected() const
{
    return m_client && m_client->state() == MqttConnection::Connected;
}

MqttClient::ClientState MqttClient::state() const
{
    return m_client ? m_client->state() : MqttConnection::Disconnected;
}

void MqttClient::connect()
{
    logInfo(QStringLiteral("Connecting to host"));
    initTimer();
    initClient();
    if (m_encrypted)
        logWarning(QStringLiteral("Encryption not yet supported"));
    // Settings no broker can take: an attempt would connect anonymously, reach another port or
    // fail as a misleading transport error, again at every retry.
    const QString refusal = settingsRefusal(m_port, m_username, m_password);
    if (!refusal.isEmpty()) {
        qCritical().noquote().nospace() << Tag << "ERROR: " << refusal << "; not connecting";
        emit error(refusal);
        return;
    }
    m_client->connectToHost();
}

QString MqttClient::settingsRefusal(qint64 port, const QString &username, const QString &password)
{
    // The protocol carries each as a string of at most 65535 bytes.
    const int maxBytes = 65535;
    if (port < 1 || port > 65535)
        return QStringLiteral("Invalid port : %1 (expected a number from 1 to 65535)").arg(port);
    const QByteArray user = username.toUtf8();
    if (user.size() > maxBytes)
        return QStringLiteral("MQTT user name of %1 bytes, more than the %2 the protocol allows").arg(user.size()).arg(maxBytes);
    for (const QChar c : username) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f))
            return QStringLiteral("MQTT user name with a control character, which the protocol does not allow");
    }
    if (Config::refusedByMqtt(username))
        return QStringLiteral("MQTT user name with a noncharacter or a lone surrogate, which the protocol does not allow");
    const int passwordBytes = password.toUtf8().size();
    if (passwordBytes > maxBytes)
        return QStringLiteral("MQTT password of %1 bytes, more than the %2 the protocol allows").arg(passwordBytes).arg(maxBytes);
    if (password.contains(QChar::Null))
        return QStringLiteral("MQTT password with a zero character, which would cut it short");
    return QString();
}

void MqttClient::disconnect()
{
    logInfo(QStringLiteral("Disconnecting from host"));
    m_client->disconnectFromHost();
}

void MqttClient::initTimer()
{
    if (!m_watchdog) {
        m_watchdog.reset(new QTimer);
        m_watchdog->setSingleShot(false);
        QObject::connect(m_watchdog.get(), &QTimer::timeout, this, &MqttClient::onTimeout);
    }
    logDebug(QStringLiteral("Applying client configuration:"));
    logDebug(QStringLiteral("Retry interval millis: ") + QString::number(m_retryMillis));
    m_watchdog->setInterval(int(m_retryMillis));
}

void MqttClient::initClient()
{
    MqttConnection *client = m_client.get();
    QObject::disconnect(client, nullptr, this, nullptr);
    QObject::connect(client, &MqttConnection::connected, this, &MqttClient::connected);
    QObject::connect(client, &MqttConnection::connected, this, &MqttClient::onConnected);
    QObject::connect(client, &MqttConnection::disconnected, this, &MqttClient::disconnected);
    QObject::connect(client, &MqttConnection::disconnected, this, &MqttClient::onDisconnected);
    QObject::connect(client, &MqttConnection::errorChanged, this, &MqttClient::onError);
    QObject::connect(client, &MqttConnection::stateChanged, this, &MqttClient::onStateChanged);
    QObject::connect(client, &MqttConnection::messageReceived, this, &MqttClient::onReceived);

    logDebug(QStringLiteral("Applying client configuration:"));
    logDebug(QStringLiteral("Hostname: ") + LogQuote::quote(m_hostname));
    logDebug(QStringLiteral("Port    : ") + QString::number(m_port));
    logDebug(QStringLiteral("Username: ") + LogQuote::quote(m_username));
    logDebug(QStringLiteral("CleanSession: ") + boolText(m_cleanSession));
    logDebug(QStringLiteral("Client Id   : ") + LogQuote::quote(m_clientId));
    logDebug(QStringLiteral("Keepalive   : ") + QString::number(m_keepAlive));
    logDebug(QStringLiteral("Will Message: ") + LogQuote::quote(m_willMessage));
    logDebug(QStringLiteral("Will QoS    : ") + QString::number(m_willQoS));
    logDebug(QStringLiteral("Will Retain : ") + boolText(m_willRetain));
    logDebug(QStringLiteral("Will Topic  : ") + LogQuote::quote(m_willTopic));

    client->setHostname(m_hostname);
    client->setPort(quint16(m_port));
    client->setUsername(m_username);
    client->setPassword(m_password);
    client->setCleanSession(m_cleanSession);
    client->setClientId(m_clientId);
    client->setKeepAlive(m_keepAlive);
    client->setWillMessage(m_willMessage);
    client->setWillQoS(m_willQoS);
    client->setWillRetain(m_willRetain);
    client->setWillTopic(m_willTopic);
}

void MqttClient::onStateChanged(MqttConnection::ClientState state)
{
    switch (state) {
    case MqttConnection::Connecting:
        logDebug(QStringLiteral("State is Connecting."));
        if (m_watchdog)
            m_watchdog->start();
        break;
    case MqttConnection::Connected:
        logDebug(QStringLiteral("State is Connected."));
        if (m_watchdog)
            m_watchdog->stop();
        // Listeners of connected() may subscribe; the renewal that follows them does it once.
        m_renewalPending = true;
        break;
    case MqttConnection::Disconnected:
        logDebug(QStringLiteral("State is Disconnected."));
        m_renewalPending = false;
        QTimer::singleShot(int(m_retryMillis), this, &MqttClient::onReconnect);
        break;
    }
}

void MqttClient::onTimeout()
{
    m_client->closeTransport();
}

void MqttClient::onReconnect()
{
    if (m_client->state() == MqttConnection::Disconnected)
        connect();
}

void MqttClient::onConnected()
{
    logInfo(QStringLiteral("Connected to broker ") + LogQuote::quote(m_hostname));
    m_renewalPending = false;
    const QList<Subscription> record = m_subscriptions;
    for (const Subscription &entry : record) {
        if (!isConnected())
            return;
        doSubscribe(entry.first, uchar(entry.second));
    }
    // Waits still pending lost their subscription with the old connection.
    const QList<WaitPtr> waits = m_waits;
    for (const WaitPtr &wait : waits) {
        if (!isConnected())
            return;
        if (wait->settled || (wait->subscription && wait->subscription->state() != MqttSubscription::Unsubscribed))
            continue;
        if (!attachWait(wait) && finishWait(wait))
            wait->result.reject(QJsonValue(SubscriptionFailed));
    }
}

void MqttClient::onDisconnected()
{
    logInfo(QStringLiteral("Disconnected from broker ") + LogQuote::quote(m_hostname));
}

void MqttClient::subscribe(const QString &topic, uchar qos)
{
    const MqttTopicFilter filter(topic);
    for (Subscription &entry : m_subscriptions) {
        if (entry.first != filter)
            continue;
        if (entry.second == qos)
            return; // already recorded, and subscribed if connected
        entry.second = qos;
        if (isConnected() && !m_renewalPending)
            doSubscribe(filter, qos);
        return;
    }
    m_subscriptions.append({filter, int(qos)});
    if (isConnected() && !m_renewalPending)
        doSubscribe(filter, qos);
}

void MqttClient::unsubscribe(const QString &topic)
{
    const MqttTopicFilter filter(topic);
    for (int i = 0; i < m_subscriptions.size(); ++i) {
        if (m_subscriptions.at(i).first == filter) {
            m_subscriptions.removeAt(i);
            return;
        }
    }
}

void MqttClient::doSubscribe(const MqttTopicFilter &filter, unsigned char qos)
{
    logInfo(QStringLiteral("Subscribing to '") + LogQuote::quote(filter.filter()) + QStringLiteral("' with QoS = ") + QString::number(qos));
    MqttSubscription *subscription = m_client->subscribe(filter, qos);
    if (!subscription) {
        emit error(QStringLiteral("Subscription to ") + filter.filter() + QStringLiteral(" failed."));
        return;
    }
    QObject::connect(subscription, &MqttSubscription::stateChanged, this, &MqttClient::onSubscriptionStateChanged,
                     Qt::UniqueConnection);
}

// The broker refusing a recorded filter (SUBACK failure) is reported like a refused request.
void MqttClient::onSubscriptionStateChanged(MqttSubscription::SubscriptionState state)
{
    auto *subscription = qobject_cast<MqttSubscription *>(sender());
    if (state != MqttSubscription::Error || !subscription)
        return;
    for (const Subscription &entry : qAsConst(m_subscriptions)) {
        if (entry.first == subscription->topic()) {
            emit error(QStringLiteral("Subscription to ") + entry.first.filter() + QStringLiteral(" failed."));
            return;
        }
    }
}

bool MqttClient::publish(const QByteArray &data, const QString &topic, uchar qos, bool retain)
{
    if (!isConnected())
        return false;
    logDebug(QStringLiteral("Publishing to topic '") + LogQuote::quote(topic) + QStringLiteral("' with Qos = ") + QString::number(qos)
             + QStringLiteral(" and Retain = ") + boolText(retain) + QStringLiteral(":\n") + LogQuote::quote(data));
    if (m_client->publish(topic, data, qos, retain) == -1) {
        emit error(QStringLiteral("Publish to ") + topic + QStringLiteral(" failed."));
        return false;
    }
    return true;
}

void MqttClient::onReceived(const QByteArray &message, const QString &topic, bool retained)
{
    logDebug(QStringLiteral("Received on topic: ") + LogQuote::quote(topic) + QStringLiteral("\n") + LogQuote::quote(message));
    emit received(message, topic.toUtf8(), retained);
}

void MqttClient::onError(MqttConnection::ClientError e)
{
    const MqttConnection *client = m_client.get();
    switch (e) {
    case MqttConnection::NoError:
        return;
    case MqttConnection::InvalidProtocolVersion:
        logWarning(QStringLiteral("Invalid protocol version: ") + QString::number(int(client->protocolVersion()))
                   + QStringLiteral(". ") + QStringLiteral("Broker does not accept a connection using the ")
                   + QStringLiteral("specified protocol version."));
        break;
    case MqttConnection::IdRejected:
        logWarning(QStringLiteral("Id rejected: ") + LogQuote::quote(client->clientId()) + QStringLiteral(". ")
                   + QStringLiteral("The client ID is malformed. This might be related to ")
                   + QStringLiteral("its length."));
        break;
    case MqttConnection::ServerUnavailable:
        logWarning(QStringLiteral("Server unavailable: ") + LogQuote::quote(client->hostname()) + QStringLiteral(":")
                   + QString::number(client->port()) + QStringLiteral(". ")
                   + QStringLiteral("The network connection has been established, but the ")
                   + QStringLiteral("service is unavailable on the broker side."));
        break;
    case MqttConnection::BadUsernameOrPassword:
        logWarning(QStringLiteral("Bad username or password. The data in the username or ")
                   + QStringLiteral("password is malformed."));
        break;
    case MqttConnection::NotAuthorized:
        logWarning(QStringLiteral("Not authorized: ") + LogQuote::quote(client->clientId()) + QStringLiteral(". ")
                   + QStringLiteral("The client is not authorized to connect."));
        break;
    case MqttConnection::TransportInvalid:
        logWarning(QStringLiteral("Transport invalid: ") + QStringLiteral("The underlying transport caused an error. For ")
                   + QStringLiteral("example, the connection might have been interrupted ")
                   + QStringLiteral("unexpectedly."));
        break;
    case MqttConnection::ProtocolViolation:
        logWarning(QStringLiteral("Protocol violation:") + QStringLiteral("The client encountered a protocol violation, and ")
                   + QStringLiteral("therefore closed the connection."));
        break;
    default:
        logWarning(QStringLiteral("Unknown error."));
        break;
    }
    emit error(QStringLiteral("Mqtt client error"));
}

Deferred<QJsonValue> MqttClient::waitTopic(const QString &topic, int msec)
{
    const Deferred<QJsonValue> result;
    if (!isConnected()) {
        result.reject(QJsonValue(NotConnected));
        return result;
    }
    const WaitPtr wait = WaitPtr::create();
    wait->topic = MqttTopicFilter(topic);
    wait->result = result;
    if (!attachWait(wait)) {
        result.reject(QJsonValue(SubscriptionFailed));
        return result;
    }
    wait->timer = new QTimer(this);
    wait->timer->setSingleShot(true);
    wait->timer->setInterval(msec);
    QObject::connect(wait->timer, &QTimer::timeout, this, [this, wait] { onWaitTimeout(wait); });
    m_waits.append(wait);
    if (msec > 0)
        wait->timer->start();
    return result;
}

bool MqttClient::attachWait(const WaitPtr &wait)
{
    QObject::disconnect(wait->messageConnection);
    QObject::disconnect(wait->stateConnection);
    MqttSubscription *subscription = m_client->subscribe(wait->topic, 1);
    wait->subscription = subscription;
    if (!subscription)
        return false;
    wait->messageConnection = QObject::connect(subscription, &MqttSubscription::messageReceived, this,
                                               [this, wait](const QByteArray &message) { onWaitMessage(wait, message); });
    wait->stateConnection = QObject::connect(subscription, &MqttSubscription::stateChanged, this,
                                             [this, wait](MqttSubscription::SubscriptionState state) {
                                                 if (state == MqttSubscription::Error && finishWait(wait))
                                                     wait->result.reject(QJsonValue(SubscriptionFailed));
                                             });
    return true;
}

// Ends the wait once: whichever of message and time-out comes first settles it.
bool MqttClient::finishWait(const WaitPtr &wait)
{
    if (wait->settled.exchange(true))
        return false;
    m_waits.removeOne(wait);
    if (wait->timer) {
        wait->timer->stop();
        wait->timer->deleteLater();
        wait->timer = nullptr;
    }
    QObject::disconnect(wait->messageConnection);
    QObject::disconnect(wait->stateConnection);
    if (wait->subscription)
        wait->subscription->unsubscribe();
    return true;
}

void MqttClient::onWaitMessage(const WaitPtr &wait, const QByteArray &message)
{
    // `wait` lives in the connection that finishWait drops.
    const WaitPtr keep = wait;
    if (!finishWait(keep))
        return;
    const int zero = message.indexOf('\0');
    QString text = QString::fromUtf8(zero >= 0 ? message.left(zero) : message);
    if (text.isEmpty())
        text = QStringLiteral("{}");
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    const Deferred<QJsonValue> result = keep->result;
    if (parseError.error == QJsonParseError::NoError && document.isObject())
        result.resolve(QJsonValue(document.object()));
    else
        result.reject(QJsonValue(InvalidResponse));
}

void MqttClient::onWaitTimeout(const WaitPtr &wait)
{
    const WaitPtr keep = wait;
    if (finishWait(keep)) {
        const Deferred<QJsonValue> result = keep->result;
        result.reject(QJsonValue(Timeout));
    }
}

Deferred<QJsonValue> MqttClient::executeRpc(const QString &topic, const QString &rpcId, const QJsonObject &request,
                                            int msec)
{
    const Deferred<QJsonValue> outer;
    const QString requestTopic = topic + QStringLiteral("/request/") + rpcId;
    const QString replyTopic = topic + QStringLiteral("/response/") + rpcId;
    const QByteArray payload = QJsonDocument(request).toJson(QJsonDocument::Compact);

    const Deferred<QJsonValue> wait = waitTopic(replyTopic, msec);
    wait.fail([outer](QJsonValue value) {
        qCritical().noquote().nospace() << Tag << "[RPC] ERROR : " << LogQuote::quote(value.toString());
        outer.reject(value);
    });
    wait.done([outer, replyTopic](QJsonValue value) {
        qDebug().noquote().nospace() << Tag << "[RPC] Received : " << LogQuote::quote(replyTopic);
        QString shown;
        QDebug(&shown).nospace() << value;
        qDebug().noquote().nospace() << Tag << "[RPC] Data     : " << LogQuote::quote(shown);
        outer.resolve(value);
    });

    logDebug(QStringLiteral("[RPC] Sending : ") + LogQuote::quote(requestTopic));
    logDebug(QStringLiteral("[RPC] Data    : ") + LogQuote::quote(payload));
    // A request whose reply cannot be awaited is not sent: the caller already has its failure.
    if (wait.state() == DeferredDataBase::Pending)
        m_client->publish(requestTopic, payload, 1, false);
    return outer;
}

} // namespace manager
