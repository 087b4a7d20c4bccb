#include "devices/Network.h"

#include "app/LogQuote.h"
#include "app/PropertySetter.h"
#include "transport/MqttClient.h"

#include <QDebug>
#include <QJsonObject>

namespace manager {

namespace {
const QString Tag_ = QStringLiteral("[Network] ");

void logInfo(const QString &text)
{
    qInfo().noquote() << Tag_ + text;
}
} // namespace

Network::Network(MqttClient &mqtt, const QString &baseTopic, QObject *parent)
    : MqttDevice(mqtt, baseTopic, Tag_, parent)
    , m_ethernet(new Ethernet(mqtt, baseTopic, this))
{
    // An empty payload is no document: logged, nothing changes.
    setParsing({false, true});
    connect(&mqtt, &MqttClient::connected, this, &Network::refresh);
    connect(&m_monitorTimer, &QTimer::timeout, this, &Network::refresh);
    // Forgotten at a new session: the status that comes back is logged again.
    connect(this, &MqttDevice::serviceChanged, this, [this] {
        if (service() == Service::Unknown)
            m_status.clear();
    });

    route(QStringLiteral("/info"), [this](const QJsonObject &doc) { onInfoReceived(doc); });
    routeStatus(QStringLiteral("/status"), [this](const QJsonObject &doc) { onStatusReceived(doc); },
                [this] { setStatus(QStringLiteral("offline")); });
    logInfo(QStringLiteral("Subscribing to topics"));
    subscribeTo(QStringLiteral("/info"));
    subscribeTo(QStringLiteral("/status"));
}

Network::~Network() = default;

void Network::refresh()
{
    logInfo(QStringLiteral("Refreshing data"));
}

void Network::monitor(int msec)
{
    if (msec <= 0) {
        logInfo(QStringLiteral("Monitor stopped"));
        m_monitorTimer.stop();
        return;
    }
    logInfo(QStringLiteral("Monitor started : %1 msec(s)").arg(msec));
    m_monitorTimer.setSingleShot(false);
    m_monitorTimer.start(msec);
    refresh();
}

void Network::logParseError(const QString &topic, const QByteArray &payload, const QString &error) const
{
    Q_UNUSED(topic)
    Q_UNUSED(payload)
    qCritical().noquote() << Tag_ + QStringLiteral("Failed to parse JSON message: ") + error;
}

void Network::onInfoReceived(const QJsonObject &document)
{
    qDebug().noquote() << Tag_ + QStringLiteral("Processing info topic ") + base() + QStringLiteral("/info");
    const QJsonObject service = readObject(document, QStringLiteral("service"), QStringLiteral("service"));
    m_serviceVersion = readText(service, QStringLiteral("version"), QStringLiteral("service.version"));
}

void Network::onStatusReceived(const QJsonObject &document)
{
    qDebug().noquote() << Tag_ + QStringLiteral("Processing status topic ") + base() + QStringLiteral("/status");
    setStatus(QStringLiteral("online"));
    PropertySetter::set(this, m_connectionState, readText(document, QStringLiteral("stateStr"), QStringLiteral("stateStr")),
                        &Network::connectionStateChanged);
    PropertySetter::set(this, m_connectivity, readText(document, QStringLiteral("connectivityStr"), QStringLiteral("connectivityStr")),
                        &Network::connectivityChanged);
    PropertySetter::set(this, m_hostname, readText(document, QStringLiteral("hostname"), QStringLiteral("hostname")),
                        &Network::hostnameChanged);

    const QJsonObject primary = readObject(document, QStringLiteral("primaryConnection"), QStringLiteral("primaryConnection"));
    const QJsonObject ipv4 = readObject(primary, QStringLiteral("ipv4"), QStringLiteral("primaryConnection.ipv4"));
    QVariantMap ipv4Map;
    for (const QString &key : IPv4::keys())
        ipv4Map.insert(key, readText(ipv4, key, QStringLiteral("primaryConnection.ipv4.") + key));
    const QVariantMap connection{
        {QStringLiteral("interface"), readText(primary, QStringLiteral("interface"), QStringLiteral("primaryConnection.interface"))},
        {QStringLiteral("stateStr"), readText(primary, QStringLiteral("stateStr"), QStringLiteral("primaryConnection.stateStr"))},
        {QStringLiteral("typeStr"), readText(primary, QStringLiteral("typeStr"), QStringLiteral("primaryConnection.typeStr"))},
        {QStringLiteral("ipv4"), ipv4Map},
    };
    if (m_primaryConnection.apply(connection))
        emit primaryConnectionChanged();
}

// The service's running state has no property of its own; its changes are logged.
void Network::setStatus(const QString &status)
{
    // The wired interface sends the requests: it must know when nobody takes them. Told at
    // every status, as it may have heard the service answer since the last one.
    m_ethernet->setServiceOnline(status != QLatin1String("offline"));
    if (status == m_status)
        return;
    logInfo(QStringLiteral("Status changed : ") + LogQuote::quote(status));
    m_status = status;
}

} // namespace manager
