#include "fakes/FakeNetworkService.h"

#include <QJsonObject>

namespace {
const QStringList IPv4Keys{QStringLiteral("address"), QStringLiteral("netmask"), QStringLiteral("gateway"),
                           QStringLiteral("dns0"), QStringLiteral("dns1")};

QJsonObject ipv4Object(const QVariantMap &map)
{
    QJsonObject object;
    for (const QString &key : IPv4Keys)
        object.insert(key, map.value(key).toString());
    return object;
}
} // namespace

FakeNetworkService::FakeNetworkService(const QString &base, QObject *parent)
    : FakeService(base, QStringLiteral("fake-network"), parent)
    , m_lease{{QStringLiteral("address"), QStringLiteral("192.168.10.23")},
              {QStringLiteral("netmask"), QStringLiteral("255.255.255.0")},
              {QStringLiteral("gateway"), QStringLiteral("192.168.10.1")},
              {QStringLiteral("dns0"), QStringLiteral("192.168.10.1")},
              {QStringLiteral("dns1"), QStringLiteral("8.8.8.8")}}
{
    for (const char *command : {"ethernet/state/get", "ethernet/config/get", "ethernet/config/set"})
        takeCommand(QString::fromLatin1(command));
    for (const QString &key : IPv4Keys)
        m_configured.insert(key, QString());
}

void FakeNetworkService::started()
{
    publishInfo();
    publishStatus();
}

QVariantMap FakeNetworkService::live() const
{
    return m_method == QLatin1String("manual") ? m_configured : m_lease;
}

void FakeNetworkService::setServiceOnline(bool online)
{
    m_online = online;
    publishStatus();
}

void FakeNetworkService::setConnectionState(const QString &state, const QString &connectivity)
{
    m_state = state;
    m_connectivity = connectivity;
    publishStatus();
}

void FakeNetworkService::setHostname(const QString &hostname)
{
    m_hostname = hostname;
    publishStatus();
}

void FakeNetworkService::setEthernetState(const QString &state, const QString &reason)
{
    m_ethernetState = state;
    m_reason = reason;
    publishEthernetState();
    publishStatus();
}

void FakeNetworkService::setLink(const QString &interface, const QString &mac)
{
    m_interface = interface;
    m_mac = mac;
    publishEthernetState();
}

void FakeNetworkService::setLease(const QVariantMap &ipv4)
{
    m_lease = ipv4;
    publishEthernetState();
    publishStatus();
}

void FakeNetworkService::publishInfo()
{
    publish(QStringLiteral("/info"), QJsonObject{{QStringLiteral("service"), QJsonObject{{QStringLiteral("type"), QStringLiteral("network")},
                                                                                         {QStringLiteral("version"), m_version}}}},
            true);
}

void FakeNetworkService::publishStatus()
{
    if (!m_online) {
        publish(QStringLiteral("/status"), QJsonObject{{QStringLiteral("service"), false}}, true);
        return;
    }
    const bool up = m_ethernetState == QLatin1String("Connected");
    publish(QStringLiteral("/status"),
            QJsonObject{
                {QStringLiteral("service"), true},
                {QStringLiteral("stateStr"), m_state},
                {QStringLiteral("connectivityStr"), m_connectivity},
                {QStringLiteral("hostname"), m_hostname},
                {QStringLiteral("primaryConnection"), QJsonObject{
                                                          {QStringLiteral("interface"), up ? m_interface : QString()},
                                                          {QStringLiteral("stateStr"), up ? QStringLiteral("Activated") : QString()},
                                                          {QStringLiteral("typeStr"), up ? QStringLiteral("ethernet") : QString()},
                                                          {QStringLiteral("ipv4"), ipv4Object(up ? live() : QVariantMap())},
                                                      }},
            },
            true);
}

void FakeNetworkService::publishEthernetState()
{
    publish(QStringLiteral("/ethernet/state"), QJsonObject{
                                                   {QStringLiteral("interface"), m_interface},
                                                   {QStringLiteral("typeStr"), QStringLiteral("ethernet")},
                                                   {QStringLiteral("stateStr"), m_ethernetState},
                                                   {QStringLiteral("reasonStr"), m_reason},
                                                   {QStringLiteral("mac"), m_mac},
                                                   {QStringLiteral("ipv4"), ipv4Object(live())},
                                               });
}

void FakeNetworkService::publishEthernetConfig()
{
    QJsonObject document = ipv4Object(m_configured);
    document.insert(QStringLiteral("interface"), m_interface);
    document.insert(QStringLiteral("method"), m_method);
    publish(QStringLiteral("/ethernet/config"), document);
}

void FakeNetworkService::clearEthernetConfig()
{
    publishRaw(QStringLiteral("/ethernet/config"), QByteArray(), true);
}

void FakeNetworkService::handle(const Request &request)
{
    if (!m_online)
        return;
    const QString &command = request.command;
    if (command == QLatin1String("ethernet/state/get")) {
        publishEthernetState();
    } else if (command == QLatin1String("ethernet/config/get")) {
        publishEthernetConfig();
    } else if (command == QLatin1String("ethernet/config/set")) {
        m_method = request.body.value(QStringLiteral("method")).toString();
        for (const QString &key : IPv4Keys)
            m_configured.insert(key, request.body.value(key).toString());
        publishEthernetConfig();
        publishEthernetState();
        publishStatus();
    }
}
