#include "transport/MqttConnection.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>

#include <mosquitto.h>

#include <algorithm>
#include <mutex>

#include <poll.h>

#include "transport/MqttSubscription.h"

namespace manager {

namespace {
constexpr int MiscIntervalMs = 1000;
constexpr int MinKeepAlive = 5; // the library refuses 1 to 4 seconds
// How long a disconnect may read what the broker still owes, and the quiet that ends it early.
constexpr int SettleLimitMs = 500;
constexpr int QuietMs = 2;

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

MqttConnection::ClientError closeError(int reason)
{
    switch (reason) {
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
    case MOSQ_ERR_MALFORMED_UTF8:
        return MqttConnection::ProtocolViolation;
    default:
        return MqttConnection::TransportInvalid;
    }
}
} // namespace

MqttConnection::MqttConnection(QObject *parent) : QObject(parent)
{
    initLibrary();
    m_miscTimer.setInterval(MiscIntervalMs);
    QObject::connect(&m_miscTimer, &QTimer::timeout, this, [this] { step(mosquitto_loop_misc); });
}

MqttConnection::~MqttConnection()
{
    if (m_lookupId != -1)
        QHostInfo::abortHostLookup(m_lookupId);
    if (m_mosq) {
        delete m_readNotifier;
        delete m_writeNotifier;
        mosquitto_destroy(m_mosq);
    }
}

void MqttConnection::connectToHost()
{
    if (m_state == Connected && !m_closing)
        return;
    if (m_closing) {
        // DISCONNECT still on its way out: give up on it and start afresh.
        closeHandle();
        dropSubscriptions();
        setState(Disconnected);
        if (m_state != Disconnected)
            return;
    }
    abortAttempt();
    m_refusal = NoError;
    // A new attempt: a failure that repeats the last one's is still a failure to report.
    setError(NoError);
    setState(Connecting);

    QHostAddress literal;
    if (literal.setAddress(m_hostname)) {
        m_addresses = {literal};
        tryNextAddress();
        return;
    }
    m_lookupId = QHostInfo::lookupHost(m_hostname, this, [this](const QHostInfo &info) { onHostLookedUp(info); });
}

void MqttConnection::onHostLookedUp(const QHostInfo &info)
{
    if (info.lookupId() != m_lookupId)
        return;
    m_lookupId = -1;
    m_addresses = info.addresses();
    std::stable_sort(m_addresses.begin(), m_addresses.end(), [](const QHostAddress &a, const QHostAddress &b) {
        return a.protocol() == QAbstractSocket::IPv4Protocol && b.protocol() != QAbstractSocket::IPv4Protocol;
    });
    tryNextAddress();
}

void MqttConnection::tryNextAddress()
{
    while (!m_addresses.isEmpty()) {
        ClientError fatal = NoError;
        if (startHandle(m_addresses.takeFirst(), &fatal))
            return;
        if (fatal != NoError) {
            m_addresses.clear();
            fail(fatal);
            return;
        }
    }
    fail(TransportInvalid);
}

bool MqttConnection::startHandle(const QHostAddress &address, ClientError *fatal)
{
    const QByteArray id = m_clientId.toUtf8();
    m_mosq = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), m_cleanSession, this);
    if (!m_mosq) {
        *fatal = IdRejected; // an empty id needs a clean session
        return false;
    }
    ++m_generation;
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // Small packets (a request is SUBSCRIBE then PUBLISH) go out at once, not held back
    // until the broker acknowledges the previous one.
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(m_mosq, onConnectCallback);
    mosquitto_disconnect_callback_set(m_mosq, onDisconnectCallback);
    mosquitto_message_callback_set(m_mosq, onMessageCallback);
    mosquitto_subscribe_callback_set(m_mosq, onSubscribeCallback);
    mosquitto_unsubscribe_callback_set(m_mosq, onUnsubscribeCallback);

    if (!m_willTopic.isEmpty()) {
        const QByteArray topic = m_willTopic.toUtf8();
        if (mosquitto_will_set(m_mosq, topic.constData(), m_willMessage.size(), m_willMessage.constData(), m_willQoS,
                               m_willRetain)
            != MOSQ_ERR_SUCCESS) {
            closeHandle();
            *fatal = ProtocolViolation;
            return false;
        }
    }
    if (!m_username.isEmpty()) {
        const QByteArray user = m_username.toUtf8();
        const QByteArray password = m_password.toUtf8();
        // Refused credentials would make the attempt anonymous.
        if (mosquitto_username_pw_set(m_mosq, user.constData(), m_password.isEmpty() ? nullptr : password.constData())
            != MOSQ_ERR_SUCCESS) {
            closeHandle();
            *fatal = BadUsernameOrPassword;
            return false;
        }
    }

    const int keepAlive = m_keepAlive == 0 ? 0 : std::max<int>(m_keepAlive, MinKeepAlive);
    const int rc = mosquitto_connect_async(m_mosq, address.toString().toUtf8().constData(), m_port, keepAlive);
    if (rc != MOSQ_ERR_SUCCESS) {
        closeHandle();
        if (rc == MOSQ_ERR_INVAL)
            *fatal = ProtocolViolation;
        return false;
    }
    m_miscTimer.start();
    sync();
    return true;
}

template <typename Step> int MqttConnection::step(Step &&libraryCall)
{
    if (!m_mosq)
        return MOSQ_ERR_NO_CONN;
    const int rc = libraryCall(m_mosq);
    sync();
    dispatch();
    return rc;
}

// Follows the library's socket after every call: it may have closed it, and packets it queued
// go out only while the write notifier is on.
void MqttConnection::sync()
{
    const int fd = m_mosq ? mosquitto_socket(m_mosq) : -1;
    if (fd != m_fd) {
        for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
            if (notifier) {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        }
        m_readNotifier = m_writeNotifier = nullptr;
        m_fd = fd;
        if (fd >= 0) {
            m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            QObject::connect(m_readNotifier, &QSocketNotifier::activated, this,
                             [this] { step([](mosquitto *m) { return mosquitto_loop_read(m, 1); }); });
            m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
            QObject::connect(m_writeNotifier, &QSocketNotifier::activated, this,
                             [this] { step([](mosquitto *m) { return mosquitto_loop_write(m, 1); }); });
        }
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_mosq));
    if (m_mosq && fd < 0) {
        const bool reported = std::any_of(m_events.begin(), m_events.end(), [this](const Event &e) {
            return e.kind == Event::Closed && e.generation == m_generation;
        });
        if (!reported)
            m_events.push_back({Event::Closed, m_generation, MOSQ_ERR_CONN_LOST, 0, {}, {}});
    }
}

void MqttConnection::dispatch()
{
    if (m_dispatching)
        return; // the outer loop goes on in order
    QPointer<MqttConnection> self(this);
    m_dispatching = true;
    while (!m_events.empty()) {
        const Event event = std::move(m_events.front());
        m_events.pop_front();
        if (event.generation == m_generation)
            handle(event);
        if (!self)
            return;
    }
    m_dispatching = false;
}

void MqttConnection::handle(const Event &event)
{
    switch (event.kind) {
    case Event::Connack:
        if (event.value == 0) {
            setState(Connected);
            if (m_state == Connected)
                setError(NoError);
        } else {
            m_refusal = event.value >= InvalidProtocolVersion && event.value <= NotAuthorized ? ClientError(event.value)
                                                                                               : UnknownError;
        }
        break;
    case Event::Closed:
        handleClosed(event.value);
        break;
    case Event::Message: {
        QPointer<MqttConnection> self(this);
        emit messageReceived(event.payload, event.topic, event.retained);
        if (!self)
            return;
        QList<QPointer<MqttSubscription>> matching;
        for (MqttSubscription *subscription : qAsConst(m_subscriptions)) {
            if (subscription->state() != MqttSubscription::UnsubscriptionPending && subscription->topic().match(event.topic))
                matching.append(subscription);
        }
        for (const QPointer<MqttSubscription> &subscription : qAsConst(matching)) {
            if (subscription && event.generation == m_generation)
                emit subscription->messageReceived(event.payload, event.topic);
        }
        break;
    }
    case Event::Suback:
        for (MqttSubscription *subscription : qAsConst(m_subscriptions)) {
            if (subscription->m_pendingMid == event.value && subscription->state() == MqttSubscription::SubscriptionPending) {
                subscription->m_pendingMid = 0;
                subscription->setState(event.extra >= 0 && event.extra <= 2 ? MqttSubscription::Subscribed
                                                                             : MqttSubscription::Error);
                break;
            }
        }
        break;
    case Event::Unsuback:
        for (MqttSubscription *subscription : qAsConst(m_subscriptions)) {
            if (subscription->m_pendingMid == event.value && subscription->state() == MqttSubscription::UnsubscriptionPending) {
                m_subscriptions.remove(subscription->topic().filter());
                subscription->setState(MqttSubscription::Unsubscribed);
                subscription->deleteLater();
                break;
            }
        }
        break;
    }
}

void MqttConnection::handleClosed(int reason)
{
    if (!m_mosq)
        return;
    const bool requested = m_closing;
    const ClientError error = m_refusal != NoError ? m_refusal : (requested ? NoError : closeError(reason));
    closeHandle();
    dropSubscriptions();
    setState(Disconnected);
    if (error != NoError)
        setError(error);
}

// Closing a socket with input still unread makes the kernel answer with a reset instead of an
// orderly end, and the broker may then lose the end of the stream, DISCONNECT included, and
// publish the will of a session that ended on purpose. So before saying goodbye, read what the
// broker still owes: the acknowledgements of subscriptions just sent and what follows them.
void MqttConnection::settleInput()
{
    auto owed = [this] {
        for (MqttSubscription *subscription : qAsConst(m_subscriptions)) {
            if (subscription->state() == MqttSubscription::SubscriptionPending
                || subscription->state() == MqttSubscription::UnsubscriptionPending)
                return true;
        }
        return false;
    };
    QElapsedTimer spent;
    spent.start();
    while (m_mosq && mosquitto_socket(m_mosq) >= 0 && spent.elapsed() < SettleLimitMs) {
        pollfd readable{mosquitto_socket(m_mosq), POLLIN, 0};
        // While acknowledgements are owed, wait for them; afterwards only take what has arrived.
        if (::poll(&readable, 1, owed() ? 10 : QuietMs) <= 0) {
            if (owed())
                continue;
            return;
        }
        if (step([](mosquitto *m) { return mosquitto_loop_read(m, 1); }) != MOSQ_ERR_SUCCESS)
            return;
    }
}

void MqttConnection::disconnectFromHost()
{
    if (m_state == Connected && m_mosq && !m_closing) {
        m_closing = true;
        settleInput();
        if (!m_mosq)
            return; // the connection ended while it was read
        if (step(mosquitto_disconnect) != MOSQ_ERR_SUCCESS && m_mosq)
            handleClosed(MOSQ_ERR_SUCCESS);
        // Otherwise the socket closes once DISCONNECT is written, at once or from the write notifier.
        return;
    }
    if (m_state == Connecting) {
        abortAttempt();
        dropSubscriptions();
        setState(Disconnected);
    }
}

void MqttConnection::closeTransport()
{
    abortAttempt();
    if (m_state != Disconnected) {
        dropSubscriptions();
        setState(Disconnected);
        setError(TransportInvalid);
    }
}

void MqttConnection::abortAttempt()
{
    if (m_lookupId != -1) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    m_addresses.clear();
    closeHandle();
}

void MqttConnection::closeHandle()
{
    if (!m_mosq)
        return;
    for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_readNotifier = m_writeNotifier = nullptr;
    m_fd = -1;
    m_miscTimer.stop();
    mosquitto_destroy(m_mosq); // closes the socket without DISCONNECT
    m_mosq = nullptr;
    m_closing = false;
    ++m_generation; // what the old handle queued is dropped
}

void MqttConnection::dropSubscriptions()
{
    const auto subscriptions = m_subscriptions;
    m_subscriptions.clear();
    for (MqttSubscription *subscription : subscriptions) {
        subscription->m_shares = 0;
        subscription->setState(MqttSubscription::Unsubscribed);
        subscription->deleteLater();
    }
}

void MqttConnection::fail(ClientError error)
{
    closeHandle();
    dropSubscriptions();
    setState(Disconnected);
    setError(error);
}

void MqttConnection::setState(ClientState state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
    if (m_state != state)
        return; // a listener moved on already
    if (state == Connected)
        emit connected();
    else if (state == Disconnected)
        emit disconnected();
}

void MqttConnection::setError(ClientError error)
{
    if (m_error == error)
        return;
    m_error = error;
    emit errorChanged(error);
}

MqttSubscription *MqttConnection::subscribe(const MqttTopicFilter &topic, quint8 qos)
{
    if (m_state != Connected || m_closing || !m_mosq || qos > 2 || !topic.isValid())
        return nullptr;
    MqttSubscription *subscription = m_subscriptions.value(topic.filter());
    const bool active = subscription
        && (subscription->state() == MqttSubscription::SubscriptionPending
            || subscription->state() == MqttSubscription::Subscribed);
    if (active && subscription->qos() == qos) {
        ++subscription->m_shares;
        return subscription;
    }
    int mid = 0;
    const QByteArray filter = topic.filter().toUtf8();
    if (step([&](mosquitto *m) { return mosquitto_subscribe(m, &mid, filter.constData(), qos); }) != MOSQ_ERR_SUCCESS)
        return nullptr;
    if (m_state != Connected)
        return nullptr; // the link broke while sending
    subscription = m_subscriptions.value(topic.filter());
    if (!subscription) {
        subscription = new MqttSubscription(topic, qos, this);
        m_subscriptions.insert(topic.filter(), subscription);
    }
    subscription->m_qos = qos;
    ++subscription->m_shares;
    subscription->m_pendingMid = mid;
    subscription->setState(MqttSubscription::SubscriptionPending);
    return subscription;
}

void MqttConnection::release(MqttSubscription *subscription)
{
    if (subscription->m_shares > 0)
        --subscription->m_shares;
    if (subscription->m_shares > 0 || !m_subscriptions.contains(subscription->topic().filter())
        || subscription->state() == MqttSubscription::UnsubscriptionPending)
        return;
    int mid = 0;
    const QByteArray filter = subscription->topic().filter().toUtf8();
    if (subscription->state() != MqttSubscription::Error && m_state == Connected && !m_closing
        && step([&](mosquitto *m) { return mosquitto_unsubscribe(m, &mid, filter.constData()); }) == MOSQ_ERR_SUCCESS
        && m_subscriptions.value(subscription->topic().filter()) == subscription && subscription->m_shares == 0) {
        subscription->m_pendingMid = mid;
        subscription->setState(MqttSubscription::UnsubscriptionPending);
        return;
    }
    if (m_subscriptions.value(subscription->topic().filter()) == subscription && subscription->m_shares == 0) {
        m_subscriptions.remove(subscription->topic().filter());
        subscription->setState(MqttSubscription::Unsubscribed);
        subscription->deleteLater();
    }
}

int MqttConnection::publish(const QString &topic, const QByteArray &message, quint8 qos, bool retain)
{
    if (m_state != Connected || m_closing || !m_mosq || qos > 2)
        return -1;
    int mid = 0;
    const QByteArray name = topic.toUtf8();
    const int rc = step([&](mosquitto *m) {
        return mosquitto_publish(m, &mid, name.constData(), message.size(), message.constData(), qos, retain);
    });
    if (rc != MOSQ_ERR_SUCCESS)
        return -1;
    return qos == 0 ? 0 : mid;
}

void MqttConnection::onConnectCallback(mosquitto *, void *self, int rc)
{
    auto *connection = static_cast<MqttConnection *>(self);
    connection->m_events.push_back({Event::Connack, connection->m_generation, rc, 0, {}, {}});
}

void MqttConnection::onDisconnectCallback(mosquitto *, void *self, int rc)
{
    auto *connection = static_cast<MqttConnection *>(self);
    connection->m_events.push_back({Event::Closed, connection->m_generation, rc, 0, {}, {}});
}

void MqttConnection::onMessageCallback(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *connection = static_cast<MqttConnection *>(self);
    connection->m_events.push_back({Event::Message, connection->m_generation, message->mid, 0,
                                    QString::fromUtf8(message->topic),
                                    QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
                                    message->retain});
}

void MqttConnection::onSubscribeCallback(mosquitto *, void *self, int mid, int count, const int *granted)
{
    auto *connection = static_cast<MqttConnection *>(self);
    connection->m_events.push_back({Event::Suback, connection->m_generation, mid, count > 0 ? granted[0] : 0x80, {}, {}});
}

void MqttConnection::onUnsubscribeCallback(mosquitto *, void *self, int mid)
{
    auto *connection = static_cast<MqttConnection *>(self);
    connection->m_events.push_back({Event::Unsuback, connection->m_generation, mid, 0, {}, {}});
}

} // namespace manager
