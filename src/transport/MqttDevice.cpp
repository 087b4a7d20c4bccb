#include "transport/MqttDevice.h"

#include "transport/MqttClient.h"

#include "app/JsonRead.h"
#include "app/LogQuote.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace manager {

MqttDevice::MqttDevice(MqttClient &mqtt, const QString &base, const QString &tag, QObject *parent)
    : QObject(parent)
    , m_mqtt(mqtt)
    , m_base(base)
    , m_tag(tag)
{
    connect(&m_mqtt, &MqttClient::received, this, &MqttDevice::onReceived);
    // Before the subclasses' own handlers, and before the new session's first message.
    connect(&m_mqtt, &MqttClient::connected, this, [this] { setService(Service::Unknown); });
}

MqttDevice::~MqttDevice() = default;

QString MqttDevice::nextRpcId()
{
    return QString::number(++m_rpcId);
}

bool MqttDevice::serviceOnline(const QJsonObject &status)
{
    const QJsonValue service = status.value(QStringLiteral("service"));
    return service.isBool() && service.toBool();
}

void MqttDevice::route(const QString &suffix, Handler handler)
{
    m_routes.insert(m_base + suffix, std::move(handler));
}

void MqttDevice::routeEvent(const QString &suffix, Handler handler)
{
    m_eventTopics.insert(m_base + suffix);
    route(suffix, std::move(handler));
}

void MqttDevice::emptyMeansCleared(const QString &suffix, std::function<void()> cleared)
{
    m_clearedByEmpty.insert(m_base + suffix);
    if (cleared)
        m_cleared.insert(m_base + suffix, std::move(cleared));
}

void MqttDevice::statusTopic(const QString &suffix)
{
    m_statusTopics.insert(m_base + suffix);
}

void MqttDevice::setService(Service service)
{
    if (service == m_service)
        return;
    m_service = service;
    emit serviceChanged();
}

void MqttDevice::routeStatus(const QString &suffix, Handler online, std::function<void()> offline)
{
    emptyMeansCleared(suffix);
    statusTopic(suffix);
    route(suffix, [this, online = std::move(online), offline = std::move(offline)](const QJsonObject &doc) {
        if (serviceOnline(doc)) {
            online(doc);
            setService(Service::Running);
        } else {
            offline();
            setService(Service::Down);
        }
    });
}

void MqttDevice::subscribeTo(const QString &suffix, quint8 qos)
{
    m_mqtt.subscribe(m_base + suffix, qos);
}

Deferred<QJsonValue> MqttDevice::call(const QString &suffix, const QJsonObject &request, int msec)
{
    return m_mqtt.executeRpc(m_base + suffix, nextRpcId(), request, msec);
}

bool MqttDevice::publishTo(const QString &suffix, const QByteArray &payload)
{
    return m_mqtt.publish(payload, m_base + suffix, 0, false);
}

bool MqttDevice::publishOrWarn(const QString &suffix, const QByteArray &payload)
{
    if (publishTo(suffix, payload))
        return true;
    qWarning().noquote() << m_tag + QStringLiteral("WARN: Could not publish %1 : %2")
                                        .arg(m_base + suffix, m_mqtt.isConnected() ? QStringLiteral("refused") : QStringLiteral("not connected"));
    return false;
}

bool MqttDevice::mqttConnected() const
{
    return m_mqtt.isConnected();
}

Deferred<QString> MqttDevice::nextMessage(const QString &suffix, int msec)
{
    Deferred<QString> result;
    if (!mqttConnected()) {
        result.reject(QStringLiteral("Not connected"));
        return result;
    }
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    const QByteArray topic = (m_base + suffix).toUtf8();
    const bool event = m_eventTopics.contains(m_base + suffix);
    auto message = QSharedPointer<QMetaObject::Connection>::create();
    *message = connect(&m_mqtt, &MqttClient::received, timer,
                       [result, timer, message, topic, event](const QByteArray &, const QByteArray &from, bool retained) {
                           if (from != topic || (event && retained))
                               return;
                           QObject::disconnect(*message);
                           timer->stop();
                           timer->deleteLater();
                           result.resolve(QString());
                       });
    connect(timer, &QTimer::timeout, timer, [result, timer, message] {
        QObject::disconnect(*message);
        timer->deleteLater();
        result.reject(QStringLiteral("Timeout"));
    });
    if (msec > 0)
        timer->start(msec);
    return result;
}

void MqttDevice::logParseError(const QString &topic, const QByteArray &payload, const QString &error) const
{
    Q_UNUSED(payload)
    qCritical().noquote() << m_tag + QStringLiteral("ERROR: Failed to parse JSON message (topic=%1) : %2").arg(LogQuote::quote(topic), error);
}

void MqttDevice::warnUnexpected(const QString &where, const QJsonValue &value) const
{
    const QByteArray shown = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    qWarning().noquote() << m_tag + QStringLiteral("WARN: Unexpected value of %1 (topic=%2) : %3")
                                        .arg(where, m_topic, LogQuote::quote(shown));
}

QString MqttDevice::readText(const QJsonObject &object, const QString &key, const QString &where) const
{
    const QJsonValue value = object.value(key);
    if (!value.isString() && !value.isUndefined() && !value.isNull())
        warnUnexpected(where, value);
    const QString text = JsonRead::text(value);
    if (text.size() <= MaxTextLength)
        return text;
    qWarning().noquote() << m_tag + QStringLiteral("WARN: Value of %1 too long (topic=%2) : %3 characters, cut to %4")
                                        .arg(where, m_topic)
                                        .arg(text.size())
                                        .arg(MaxTextLength);
    // Not between the halves of a surrogate pair.
    return text.left(text.at(MaxTextLength - 1).isHighSurrogate() ? MaxTextLength - 1 : MaxTextLength);
}

int MqttDevice::readInt(const QJsonObject &object, const QString &key, const QString &where) const
{
    const QJsonValue value = object.value(key);
    const int result = JsonRead::integer(value);
    if (!value.isUndefined() && !value.isNull() && !(value.isDouble() && double(result) == value.toDouble()))
        warnUnexpected(where, value);
    return result;
}

bool MqttDevice::readFlag(const QJsonObject &object, const QString &key, const QString &where) const
{
    const QJsonValue value = object.value(key);
    if (!value.isBool() && !value.isUndefined() && !value.isNull())
        warnUnexpected(where, value);
    return JsonRead::isTrue(value);
}

QJsonObject MqttDevice::readObject(const QJsonObject &object, const QString &key, const QString &where) const
{
    const QJsonValue value = object.value(key);
    if (!value.isObject() && !value.isUndefined() && !value.isNull())
        warnUnexpected(where, value);
    return JsonRead::object(value);
}

void MqttDevice::onReceived(const QByteArray &payload, const QByteArray &topicBytes, bool retained)
{
    const QString topic = QString::fromUtf8(topicBytes);
    // Before parsing: what lies under the base but is no route of this client (another
    // client's topics, answers to requests) is not its to read, nor to report as unreadable.
    const auto it = m_routes.constFind(topic);
    if (it == m_routes.constEnd())
        return;
    // A copy: a handler may add routes (or the object may change) meanwhile.
    const Handler handler = it.value();
    if (retained && m_eventTopics.contains(topic)) {
        qWarning().noquote() << m_tag + QStringLiteral("WARN: Ignoring retained message on ") + LogQuote::quote(topic);
        return;
    }

    if (payload.isEmpty()) {
        const auto cleared = m_cleared.constFind(topic);
        if (cleared != m_cleared.constEnd()) {
            const std::function<void()> run = cleared.value();
            run();
            return;
        }
    }

    QByteArray text = payload;
    if (m_parsing.stopAtZero) {
        const int zero = text.indexOf('\0');
        if (zero >= 0)
            text.truncate(zero);
    }
    if (m_parsing.decodeText)
        text = QString::fromUtf8(text).toUtf8();
    if (text.isEmpty() && (m_parsing.emptyIsObject || (payload.isEmpty() && m_clearedByEmpty.contains(topic))))
        text = QByteArrayLiteral("{}");

    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || doc.isNull()) {
        logParseError(topic, payload, text.isEmpty() ? QStringLiteral("empty payload") : error.errorString());
        return;
    }

    // Published just now (not kept by the broker from before): the service runs. An empty
    // payload is how a kept message is cleared, by anyone, the service too as it goes.
    if (!retained && !payload.isEmpty() && !m_statusTopics.contains(topic))
        setService(Service::Running);
    m_topic = topic;
    m_kept = retained;
    if (!doc.isObject())
        warnUnexpected(QStringLiteral("the document"), doc.array());
    handler(doc.object());
    m_topic.clear();
    m_kept = false;
}

} // namespace manager
