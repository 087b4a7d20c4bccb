#include "devices/GPSManager.h"

#include "app/LogQuote.h"

#include <QDebug>
#include <QJsonObject>

namespace manager {

namespace {
const QString Tag_ = QStringLiteral("[GPSManager] ");
} // namespace

GPSManager::GPSManager(MqttClient &mqtt, const QString &baseTopic, QObject *parent)
    : MqttDevice(mqtt, baseTopic, Tag_, parent)
{
    // An empty payload is no document: logged, nothing changes.
    setParsing({false, true});
    route(QStringLiteral("/info"), [this](const QJsonObject &doc) { onInfoReceived(doc); });
    routeStatus(QStringLiteral("/status"), [this](const QJsonObject &doc) { onStatusReceived(doc); },
                [this] {
                    m_status = Status{0, -1, false, QStringLiteral("Manager is offline")};
                    emit statusChanged(m_status);
                });
    route(QStringLiteral("/data"), [this](const QJsonObject &doc) { onTelemetryReceived(doc); });
    // The three documents only: a wildcard would bring back our own enable and
    // disable requests, which are no documents.
    for (const char *suffix : {"/info", "/status", "/data"})
        subscribeTo(QString::fromLatin1(suffix));
}

GPSManager::~GPSManager() = default;

bool GPSManager::enable()
{
    return publishTo(QStringLiteral("/enable"), QByteArray());
}

bool GPSManager::disable()
{
    return publishTo(QStringLiteral("/disable"), QByteArray());
}

// Unlike the other clients' line: the payload rather than the parser's text, and no tag.
void GPSManager::logParseError(const QString &topic, const QByteArray &payload, const QString &error) const
{
    Q_UNUSED(topic)
    Q_UNUSED(error)
    qCritical().noquote() << QStringLiteral("Failed to parse JSON message: ") + LogQuote::quote(payload);
}

void GPSManager::onInfoReceived(const QJsonObject &document)
{
    const QJsonObject device = readObject(document, QStringLiteral("device"), QStringLiteral("device"));
    const QJsonObject service = readObject(document, QStringLiteral("service"), QStringLiteral("service"));
    m_info.firmware = readText(device, QStringLiteral("firmware"), QStringLiteral("device.firmware"));
    m_info.manufacturer = readText(device, QStringLiteral("manufacturer"), QStringLiteral("device.manufacturer"));
    m_info.model = readText(device, QStringLiteral("model"), QStringLiteral("device.model"));
    m_info.imei = readText(device, QStringLiteral("imei"), QStringLiteral("device.imei"));
    m_info.assisted = readFlag(device, QStringLiteral("assisted"), QStringLiteral("device.assisted"));
    m_info.serviceType = readText(service, QStringLiteral("type"), QStringLiteral("service.type"));
    m_info.serviceVersion = readText(service, QStringLiteral("version"), QStringLiteral("service.version"));
    emit infoChanged(m_info);
}

void GPSManager::onStatusReceived(const QJsonObject &document)
{
    const QJsonObject device = readObject(document, QStringLiteral("device"), QStringLiteral("device"));
    m_status.fix = readInt(device, QStringLiteral("fix"), QStringLiteral("device.fix"));
    m_status.state = readInt(device, QStringLiteral("state"), QStringLiteral("device.state"));
    m_status.error = readText(device, QStringLiteral("error"), QStringLiteral("device.error"));
    m_status.simulation = readFlag(document, QStringLiteral("simulation"), QStringLiteral("simulation"));
    emit statusChanged(m_status);
}

// The service writes every number as the text of a decimal number.
double GPSManager::readNumberText(const QJsonObject &document, const QString &key)
{
    const QString text = readText(document, key, key);
    if (text.isEmpty())
        return 0;
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: Not a number : %1=%2").arg(key, LogQuote::quote(text));
        return 0;
    }
    return value;
}

void GPSManager::onTelemetryReceived(const QJsonObject &document)
{
    m_telemetry.latitude = readNumberText(document, QStringLiteral("latitude"));
    m_telemetry.longitude = readNumberText(document, QStringLiteral("longitude"));
    m_telemetry.altitude = readNumberText(document, QStringLiteral("altitude"));
    m_telemetry.direction = readNumberText(document, QStringLiteral("direction"));
    m_telemetry.groundSpeed = readNumberText(document, QStringLiteral("groundSpeed"));
    m_telemetry.magneticVariation = readNumberText(document, QStringLiteral("magneticVariation"));
    m_telemetry.verticalSpeed = readNumberText(document, QStringLiteral("verticalSpeed"));
    m_telemetry.verticalAccuracy = readNumberText(document, QStringLiteral("verticalAccuracy"));
    m_telemetry.horizontalAccuracy = readNumberText(document, QStringLiteral("horizontalAccuracy"));
    emit telemetryChanged(m_telemetry);
}

} // namespace manager
