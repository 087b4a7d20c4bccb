#pragma once

#include "fakes/FakeService.h"

#include <QVariantMap>

// A network service with its wired interface on the broker. It publishes its
// info and status (retained) under the base, and under "<base>/ethernet" the
// interface's state and configuration when asked ("ethernet/state/get",
// "ethernet/config/get") or when they change. "ethernet/config/set" applies
// a configuration as the real service does: "manual" takes the addresses
// given, anything else falls back to the DHCP lease; then both documents
// follow. Offline, the status says "service": false and requests go
// unanswered; silence(command) ignores one command.
class FakeNetworkService : public FakeService
{
    Q_OBJECT

public:
    explicit FakeNetworkService(const QString &base = QStringLiteral("vesk/network"), QObject *parent = nullptr);

    // Overall state, each publishing the status.
    void setServiceOnline(bool online);
    void setConnectionState(const QString &state, const QString &connectivity);
    void setHostname(const QString &hostname);

    // The wired interface; each publishes its state.
    void setEthernetState(const QString &state, const QString &reason);
    void setLink(const QString &interface, const QString &mac);
    // The address the DHCP server hands out (used while the method is not "manual").
    void setLease(const QVariantMap &ipv4);
    QString method() const { return m_method; }
    QVariantMap configured() const { return m_configured; }
    // The addresses in force: the configured ones in "manual", else the lease.
    QVariantMap live() const;

    void publishInfo();
    void publishStatus();
    void publishEthernetState();
    void publishEthernetConfig();
    // An empty kept message on "ethernet/config": how the service clears what it keeps, as it
    // does when it stops.
    void clearEthernetConfig();

protected:
    void handle(const Request &request) override;
    void started() override;

private:
    bool m_online = true;
    QString m_version = QStringLiteral("2.3.1");
    QString m_state = QStringLiteral("Connected");
    QString m_connectivity = QStringLiteral("Full");
    QString m_hostname = QStringLiteral("terminal-01");
    QString m_interface = QStringLiteral("eth0");
    QString m_mac = QStringLiteral("00:1b:21:3a:4f:10");
    QString m_ethernetState = QStringLiteral("Connected");
    QString m_reason = QStringLiteral("None");
    QString m_method = QStringLiteral("auto");
    QVariantMap m_lease;
    QVariantMap m_configured;
};
