#include "devices/Ethernet.h"

#include "app/LogQuote.h"
#include "app/PropertySetter.h"
#include "transport/MqttClient.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>

namespace manager {

namespace {
const QString Tag_ = QStringLiteral("[Network][Ethernet] ");
const QString UsbInterface = QStringLiteral("usb0");

void logInfo(const QString &text)
{
    qInfo().noquote() << Tag_ + text;
}
} // namespace

Ethernet::Ethernet(MqttClient &mqtt, const QString &baseTopic, QObject *parent)
    : MqttDevice(mqtt, baseTopic + QStringLiteral("/ethernet"), Tag_, parent)
{
    // An empty payload is no document (logged, nothing changes), except on
    // the configuration topic, where it clears a retained configuration.
    setParsing({false, true});
    emptyMeansCleared(QStringLiteral("/config"));
    // Queued: the session renews its subscriptions after telling its listeners,
    // and an answer to a request sent before would find no subscription yet.
    connect(&mqtt, &MqttClient::connected, this, &Ethernet::reset, Qt::QueuedConnection);
    connect(this, &MqttDevice::serviceChanged, this, [this] {
        PropertySetter::set(this, m_serviceOnline, service() != Service::Down, &Ethernet::serviceOnlineChanged);
    });
    route(QStringLiteral("/state"), [this](const QJsonObject &doc) { onStateReceived(doc); });
    route(QStringLiteral("/config"), [this](const QJsonObject &doc) { onConfigReceived(doc); });
    logInfo(QStringLiteral("Subscribing to topics"));
    subscribeTo(QStringLiteral("/state"));
    subscribeTo(QStringLiteral("/config"));
}

Ethernet::~Ethernet() = default;

void Ethernet::reset()
{
    logInfo(QStringLiteral("Refreshing data"));
    publishTo(QStringLiteral("/state/get"), QByteArrayLiteral("{}"));
    publishTo(QStringLiteral("/config/get"), QByteArrayLiteral("{}"));
}

void Ethernet::logParseError(const QString &topic, const QByteArray &payload, const QString &error) const
{
    Q_UNUSED(topic)
    Q_UNUSED(payload)
    qCritical().noquote() << Tag_ + QStringLiteral("Failed to parse JSON message: ") + error;
}

QVariantMap Ethernet::readIPv4(const QJsonObject &object, const QString &where) const
{
    QVariantMap map;
    for (const QString &key : IPv4::keys())
        map.insert(key, readText(object, key, where + key));
    return map;
}

void Ethernet::onStateReceived(const QJsonObject &document)
{
    qDebug().noquote() << Tag_ + QStringLiteral("Processing state topic ") + base() + QStringLiteral("/state");
    const QString interface = readText(document, QStringLiteral("interface"), QStringLiteral("interface"));
    if (interface == UsbInterface)
        return;
    PropertySetter::set(this, m_interface, interface, &Ethernet::interfaceChanged);
    PropertySetter::set(this, m_type, readText(document, QStringLiteral("typeStr"), QStringLiteral("typeStr")), &Ethernet::typeChanged);
    PropertySetter::set(this, m_state, readText(document, QStringLiteral("stateStr"), QStringLiteral("stateStr")), &Ethernet::stateChanged);
    PropertySetter::set(this, m_reason, readText(document, QStringLiteral("reasonStr"), QStringLiteral("reasonStr")), &Ethernet::reasonChanged);
    PropertySetter::set(this, m_mac, readText(document, QStringLiteral("mac"), QStringLiteral("mac")), &Ethernet::macChanged);
    const QVariantMap ipv4 = readIPv4(readObject(document, QStringLiteral("ipv4"), QStringLiteral("ipv4")), QStringLiteral("ipv4."));
    if (!m_ipv4.sameAs(ipv4)) {
        m_ipv4.fromMap(ipv4);
        emit ipv4Changed();
    }
}

void Ethernet::onConfigReceived(const QJsonObject &document)
{
    qDebug().noquote() << Tag_ + QStringLiteral("Processing config topic ") + base() + QStringLiteral("/config");
    if (readText(document, QStringLiteral("interface"), QStringLiteral("interface")) == UsbInterface)
        return;
    m_reportedMethod = readText(document, QStringLiteral("method"), QStringLiteral("method"));
    PropertySetter::set(this, m_method, m_reportedMethod, &Ethernet::methodChanged);
    const QVariantMap config = readIPv4(document, QString());
    m_reportedConfig = config;
    if (!m_config.sameAs(config)) {
        m_config.fromMap(config);
        emit configChanged();
    }
}

void Ethernet::setMethod(const QString &method)
{
    PropertySetter::set(this, m_method, method, &Ethernet::methodChanged, [&] {
        logInfo(QStringLiteral("Method changed : ") + LogQuote::quote(method));
    });
}

void Ethernet::setServiceOnline(bool online)
{
    setService(online ? Service::Running : Service::Down);
}

bool Ethernet::save()
{
    const QString rule = QStringLiteral("-------------------------");
    logInfo(QStringLiteral("Saving configuration"));
    logInfo(rule);
    logInfo(QStringLiteral("Method  : ") + LogQuote::quote(m_method));
    logInfo(QStringLiteral("Address : ") + LogQuote::quote(m_config.address()));
    logInfo(QStringLiteral("Netmask : ") + LogQuote::quote(m_config.mask()));
    logInfo(QStringLiteral("Gateway : ") + LogQuote::quote(m_config.gateway()));
    logInfo(QStringLiteral("DNS     : ") + LogQuote::quote(m_config.dns0()) + QStringLiteral(", ") + LogQuote::quote(m_config.dns1()));
    logInfo(rule);

    // Only a manual configuration carries addresses; "auto" leaves them to DHCP.
    const bool manual = m_method == QLatin1String("manual");
    const QJsonObject document{
        {QStringLiteral("interface"), m_interface},
        {QStringLiteral("method"), m_method},
        {QStringLiteral("address"), manual ? m_config.address() : QString()},
        {QStringLiteral("netmask"), manual ? m_config.mask() : QString()},
        {QStringLiteral("gateway"), manual ? m_config.gateway() : QString()},
        {QStringLiteral("dns0"), manual ? m_config.dns0() : QString()},
        {QStringLiteral("dns1"), manual ? m_config.dns1() : QString()},
    };
    bool sent = false;
    if (!m_serviceOnline) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: Network service offline : configuration not sent");
        // It may run after all (a will that came late): its answer lets the next save pass.
        reset();
    } else
        sent = publishOrWarn(QStringLiteral("/config/set"), QJsonDocument(document).toJson(QJsonDocument::Indented));

    // The edit is over: until the service answers, its last report stands.
    PropertySetter::set(this, m_method, m_reportedMethod, &Ethernet::methodChanged);
    m_config.fromMap(m_reportedConfig);
    return sent;
}

} // namespace manager
