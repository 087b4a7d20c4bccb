#pragma once

#include "devices/Connection.h"
#include "devices/Ethernet.h"
#include "transport/MqttDevice.h"

#include <QString>
#include <QTimer>

namespace manager {

// Mirrors what the network service publishes: whether it runs, the overall
// connection state and connectivity, the host name and the primary
// connection. It only listens; the wired interface, a child of its own under
// the same base topic, is the part that sends requests.
class Network : public MqttDevice
{
    Q_OBJECT
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(QString connectionState READ connectionState NOTIFY connectionStateChanged)
    Q_PROPERTY(QString connectivity READ connectivity NOTIFY connectivityChanged)
    Q_PROPERTY(QString hostname READ hostname NOTIFY hostnameChanged)
    Q_PROPERTY(manager::Connection *primaryConnection READ primaryConnection NOTIFY primaryConnectionChanged)
    Q_PROPERTY(manager::Ethernet *ethernet READ ethernet NOTIFY ethernetChanged)

public:
    Network(MqttClient &mqtt, const QString &baseTopic, QObject *parent = nullptr);
    ~Network() override;

    // Nothing sets it yet: false.
    bool isConnected() const { return m_connected; }
    QString connectionState() const { return m_connectionState; }
    QString connectivity() const { return m_connectivity; }
    QString hostname() const { return m_hostname; }
    // The same objects for the client's whole life.
    Connection *primaryConnection() { return &m_primaryConnection; }
    const Connection *primaryConnection() const { return &m_primaryConnection; }
    Ethernet *ethernet() { return m_ethernet; }
    const Ethernet *ethernet() const { return m_ethernet; }
    // The service's version from its info document.
    QString serviceVersion() const { return m_serviceVersion; }

public slots:
    // The service publishes on its own; this only notes the moment.
    void refresh();
    // Refreshes every msec milliseconds; 0 (or less) stops.
    void monitor(int msec);

signals:
    void isConnectedChanged();
    void connectionStateChanged();
    void connectivityChanged();
    void hostnameChanged();
    void primaryConnectionChanged();
    void ethernetChanged();

protected:
    void logParseError(const QString &topic, const QByteArray &payload, const QString &error) const override;

private:
    void onInfoReceived(const QJsonObject &document);
    void onStatusReceived(const QJsonObject &document);
    void setStatus(const QString &status);

    Ethernet *m_ethernet;
    QTimer m_monitorTimer;
    bool m_connected = false;
    QString m_status;
    QString m_connectionState;
    QString m_connectivity;
    QString m_serviceVersion;
    QString m_hostname;
    Connection m_primaryConnection;
};

} // namespace manager
