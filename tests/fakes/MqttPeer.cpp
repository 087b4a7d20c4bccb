#include "fakes/MqttPeer.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

#include <mosquitto.h>

#include <chrono>

#include "fakes/TestBroker.h"

namespace {
constexpr int KeepAliveSeconds = 10;

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

QString nextClientId()
{
    static QAtomicInt counter;
    return QStringLiteral("peer-%1-%2").arg(QCoreApplication::applicationPid()).arg(counter.fetchAndAddRelaxed(1) + 1);
}

// "<topic>/request/<id>"
bool splitRequest(QString const &topic, QString *prefix, QString *id)
{
    static const QRegularExpression pattern(QStringLiteral("^(.+)/request/([^/]+)$"));
    const QRegularExpressionMatch match = pattern.match(topic);
    if (!match.hasMatch())
        return false;
    *prefix = match.captured(1);
    *id = match.captured(2);
    return true;
}

bool below(QString const &base, QString const &topic)
{
    return topic == base || topic.startsWith(base + QLatin1Char('/'));
}
} // namespace

QJsonObject MqttPeer::Request::json() const
{
    return QJsonDocument::fromJson(payload).object();
}

MqttPeer::MqttPeer(QString const &clientId, QObject *parent)
    : QObject(parent), m_clientId(clientId.isEmpty() ? nextClientId() : clientId)
{
    initLibrary();
    qRegisterMetaType<MqttPeer::Request>();
    m_mosq = mosquitto_new(m_clientId.toUtf8().constData(), true, this);
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_reconnect_delay_set(m_mosq, 1, 1, false);
    mosquitto_connect_callback_set(m_mosq, &MqttPeer::onConnect);
    mosquitto_disconnect_callback_set(m_mosq, &MqttPeer::onDisconnect);
    mosquitto_message_callback_set(m_mosq, &MqttPeer::onMessage);
    mosquitto_subscribe_callback_set(m_mosq, &MqttPeer::onSubscribe);
    mosquitto_publish_callback_set(m_mosq, &MqttPeer::onPublish);
}

MqttPeer::~MqttPeer()
{
    stopLoop();
    mosquitto_destroy(m_mosq);
}

void MqttPeer::setCredentials(QString const &username, QString const &password)
{
    mosquitto_username_pw_set(m_mosq, username.toUtf8().constData(), password.toUtf8().constData());
}

void MqttPeer::setWill(QString const &topic, QByteArray const &payload, int qos, bool retain)
{
    mosquitto_will_set(m_mosq, topic.toUtf8().constData(), payload.size(), payload.constData(), qos, retain);
}

bool MqttPeer::connectTo(QString const &host, quint16 port, int msec)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connack = -1;
    }
    mosquitto_connect_async(m_mosq, host.toUtf8().constData(), port, KeepAliveSeconds);
    if (!m_loopStarted)
        m_loopStarted = mosquitto_loop_start(m_mosq) == MOSQ_ERR_SUCCESS;
    waitFor([this] { return m_connack != -1; }, msec);
    return isConnected();
}

bool MqttPeer::connectTo(TestBroker const &broker, int msec)
{
    return connectTo(broker.host(), broker.port(), msec);
}

void MqttPeer::disconnectFrom()
{
    stopLoop();
}

void MqttPeer::stopLoop()
{
    if (!m_loopStarted)
        return;
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, false);
    m_loopStarted = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connected = false;
}

bool MqttPeer::isConnected() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connected;
}

bool MqttPeer::waitConnected(int msec)
{
    return QTest::qWaitFor([this] { return isConnected(); }, msec);
}

int MqttPeer::lastConnack() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connack;
}

bool MqttPeer::waitFor(std::function<bool()> const &condition, int msec)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(msec), condition);
}

bool MqttPeer::subscribe(QString const &filter, int qos, int msec)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_filters.append({filter, qos});
    }
    {
        // Packet ids come round again; only this call's acknowledgement counts.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_subacks.clear();
        m_refused.clear();
    }
    int mid = 0;
    if (!isConnected()
        || mosquitto_subscribe(m_mosq, &mid, filter.toUtf8().constData(), qos) != MOSQ_ERR_SUCCESS)
        return false;
    waitFor([this, mid] { return m_subacks.count(mid) || m_refused.count(mid); }, msec);
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool granted = m_subacks.erase(mid) > 0;
    m_refused.erase(mid);
    return granted;
}

bool MqttPeer::publish(QString const &topic, QByteArray const &payload, int qos, bool retain, int msec)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_acknowledged.clear();
    }
    int mid = 0;
    if (mosquitto_publish(m_mosq, &mid, topic.toUtf8().constData(), payload.size(), payload.constData(), qos, retain)
        != MOSQ_ERR_SUCCESS)
        return false;
    const bool done = waitFor([this, mid] { return m_acknowledged.count(mid) > 0; }, msec);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_acknowledged.erase(mid);
    return done;
}

bool MqttPeer::publish(QString const &topic, QJsonObject const &document, int qos, bool retain)
{
    return publish(topic, QJsonDocument(document).toJson(QJsonDocument::Compact), qos, retain);
}

bool MqttPeer::serve(QString const &base, Handler handler)
{
    m_handlers.append({base, std::move(handler)});
    return subscribe(base + QStringLiteral("/#"));
}

bool MqttPeer::serveEcho(QString const &base)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_echoBases.append(base);
    }
    return subscribe(base + QStringLiteral("/#"));
}

bool MqttPeer::reply(Request const &request, QByteArray const &payload)
{
    return publish(request.responseTopic(), payload);
}

QList<MqttPeer::Message> MqttPeer::messages(QString const &filter) const
{
    QList<Message> out;
    for (Message const &message : m_messages) {
        if (matches(filter, message.topic))
            out.append(message);
    }
    return out;
}

void MqttPeer::clear()
{
    m_messages.clear();
    m_requests.clear();
}

bool MqttPeer::waitForMessages(QString const &filter, int count, int msec)
{
    return QTest::qWaitFor([&] { return messages(filter).size() >= count; }, msec);
}

bool MqttPeer::waitForRequests(int count, int msec)
{
    return QTest::qWaitFor([&] { return m_requests.size() >= count; }, msec);
}

bool MqttPeer::matches(QString const &filter, QString const &topic)
{
    bool result = false;
    return mosquitto_topic_matches_sub(filter.toUtf8().constData(), topic.toUtf8().constData(), &result)
               == MOSQ_ERR_SUCCESS
        && result;
}

void MqttPeer::deliver(Message const &message)
{
    m_messages.append(message);
    emit messageReceived(message.topic, message.payload);

    Request request;
    if (!splitRequest(message.topic, &request.topic, &request.id))
        return;
    for (auto const &handler : qAsConst(m_handlers)) {
        if (!below(handler.first, request.topic))
            continue;
        request.payload = message.payload;
        m_requests.append(request);
        emit requestReceived(request);
        if (const std::optional<QByteArray> answer = handler.second(request))
            reply(request, *answer);
        return;
    }
}

// Network thread from here on.

void MqttPeer::onConnect(mosquitto *mosq, void *self, int rc)
{
    auto *peer = static_cast<MqttPeer *>(self);
    {
        std::lock_guard<std::mutex> lock(peer->m_mutex);
        peer->m_connack = rc;
        peer->m_connected = rc == 0;
        if (rc == 0) {
            for (auto const &filter : qAsConst(peer->m_filters))
                mosquitto_subscribe(mosq, nullptr, filter.first.toUtf8().constData(), filter.second);
        }
    }
    peer->m_changed.notify_all();
    if (rc == 0)
        QMetaObject::invokeMethod(peer, [peer] { emit peer->connected(); }, Qt::QueuedConnection);
}

void MqttPeer::onDisconnect(mosquitto *, void *self, int)
{
    auto *peer = static_cast<MqttPeer *>(self);
    {
        std::lock_guard<std::mutex> lock(peer->m_mutex);
        peer->m_connected = false;
    }
    peer->m_changed.notify_all();
    QMetaObject::invokeMethod(peer, [peer] { emit peer->disconnected(); }, Qt::QueuedConnection);
}

void MqttPeer::onMessage(mosquitto *mosq, void *self, mosquitto_message const *message)
{
    auto *peer = static_cast<MqttPeer *>(self);
    Message copy;
    copy.topic = QString::fromUtf8(message->topic);
    copy.payload = QByteArray(static_cast<char const *>(message->payload), message->payloadlen);
    copy.qos = message->qos;
    copy.retained = message->retain;

    QString prefix;
    QString id;
    if (splitRequest(copy.topic, &prefix, &id)) {
        std::lock_guard<std::mutex> lock(peer->m_mutex);
        for (QString const &base : qAsConst(peer->m_echoBases)) {
            if (below(base, prefix)) {
                const QByteArray topic = (prefix + QStringLiteral("/response/") + id).toUtf8();
                mosquitto_publish(mosq, nullptr, topic.constData(), copy.payload.size(), copy.payload.constData(), 0, false);
                return;
            }
        }
    }
    QMetaObject::invokeMethod(peer, [peer, copy] { peer->deliver(copy); }, Qt::QueuedConnection);
}

void MqttPeer::onSubscribe(mosquitto *, void *self, int mid, int count, int const *granted)
{
    auto *peer = static_cast<MqttPeer *>(self);
    {
        std::lock_guard<std::mutex> lock(peer->m_mutex);
        if (count > 0 && granted[0] >= 0 && granted[0] <= 2)
            peer->m_subacks.insert(mid);
        else
            peer->m_refused.insert(mid);
    }
    peer->m_changed.notify_all();
}

void MqttPeer::onPublish(mosquitto *, void *self, int mid)
{
    auto *peer = static_cast<MqttPeer *>(self);
    {
        std::lock_guard<std::mutex> lock(peer->m_mutex);
        peer->m_acknowledged.insert(mid);
    }
    peer->m_changed.notify_all();
}
