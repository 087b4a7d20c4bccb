#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// One IPv4 configuration of a network interface: address, netmask, gateway
// and two DNS servers, as texts, with the map form the network service's
// documents use ("address", "netmask", "gateway", "dns0", "dns1"). Any text
// is taken and stored; problem() tells whether it makes a sound manual
// configuration, the one rule the settings pages check before saving.
class IPv4 : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString address READ address WRITE setAddress NOTIFY addressChanged)
    Q_PROPERTY(QString gateway READ gateway WRITE setGateway NOTIFY gatewayChanged)
    Q_PROPERTY(QString mask READ mask WRITE setMask NOTIFY maskChanged)
    Q_PROPERTY(QString dns0 READ dns0 WRITE setDns0 NOTIFY dns0Changed)
    Q_PROPERTY(QString dns1 READ dns1 WRITE setDns1 NOTIFY dns1Changed)

public:
    // The map keys, in the order fromMap applies them.
    static const QStringList &keys();

    explicit IPv4(QObject *parent = nullptr);
    ~IPv4() override;

    QString address() const { return value(QStringLiteral("address")); }
    QString mask() const { return value(QStringLiteral("netmask")); }
    QString gateway() const { return value(QStringLiteral("gateway")); }
    QString dns0() const { return value(QStringLiteral("dns0")); }
    QString dns1() const { return value(QStringLiteral("dns1")); }

    void setAddress(const QString &address);
    void setMask(const QString &mask);
    void setGateway(const QString &gateway);
    void setDns0(const QString &dns0);
    void setDns1(const QString &dns1);

    // The keys set so far, each with its text.
    const QVariantMap &toMap() const { return m_values; }
    // Applies the five keys of map (a missing one reads as empty; others are
    // ignored); each field that changes announces itself.
    IPv4 &fromMap(const QVariantMap &map);
    // Whether map holds the same five values, compared as texts.
    bool sameAs(const QVariantMap &map) const;

    // What keeps these values from being a sound manual configuration, naming the field and
    // why (the settings pages show it, translated in their context); empty when it is sound.
    // The address and netmask are needed; an empty gateway or DNS server is none, and so is
    // the gateway 0.0.0.0.
    Q_INVOKABLE QString problem() const;
    // Whether the text is empty or an address as the pages take one: four numbers from 0 to
    // 255, dot-separated, without leading zeros.
    Q_INVOKABLE bool isAddressText(const QString &text) const;
    // The gateway as the network service takes it: none (empty) for 0.0.0.0.
    Q_INVOKABLE QString effectiveGateway() const;

signals:
    void addressChanged();
    void maskChanged();
    void gatewayChanged();
    void dns0Changed();
    void dns1Changed();

private:
    QString value(const QString &key) const { return m_values.value(key).toString(); }
    void set(const QString &key, const QString &text, void (IPv4::*changed)());

    QVariantMap m_values;
};
