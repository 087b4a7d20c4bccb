#pragma once

#include "devices/IPv4.h"
#include "transport/MqttDevice.h"

#include <QString>

namespace manager {

// The board's wired interface as the network service reports it: its live
// state and IPv4 value, and its configuration (method and IPv4 value), which
// the settings pages edit and save() sends to the service. The service
// applies it and publishes the result; this client never touches the
// interface. Documents about the USB interface "usb0" are ignored whole.
class Ethernet : public MqttDevice
{
    Q_OBJECT
    Q_PROPERTY(QString interface READ interface NOTIFY interfaceChanged)
    Q_PROPERTY(QString type READ type NOTIFY typeChanged)
    Q_PROPERTY(QString state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString reason READ reason NOTIFY reasonChanged)
    Q_PROPERTY(QString mac READ mac NOTIFY macChanged)
    Q_PROPERTY(QString method READ method WRITE setMethod NOTIFY methodChanged)
    Q_PROPERTY(IPv4 *ipv4 READ ipv4 NOTIFY ipv4Changed)
    Q_PROPERTY(IPv4 *config READ config NOTIFY configChanged)
    Q_PROPERTY(bool serviceOnline READ serviceOnline NOTIFY serviceOnlineChanged)

public:
    // baseTopic is the network service's; the interface's topics lie under
    // baseTopic + "/ethernet".
    Ethernet(MqttClient &mqtt, const QString &baseTopic, QObject *parent = nullptr);
    ~Ethernet() override;

    QString interface() const { return m_interface; }
    QString type() const { return m_type; }
    QString state() const { return m_state; }
    QString reason() const { return m_reason; }
    QString mac() const { return m_mac; }
    // "auto" or "manual"; set by the pages, sent by save().
    QString method() const { return m_method; }
    void setMethod(const QString &method);
    // The live value and the configuration; the same objects for the client's life.
    IPv4 *ipv4() { return &m_ipv4; }
    const IPv4 *ipv4() const { return &m_ipv4; }
    IPv4 *config() { return &m_config; }
    const IPv4 *config() const { return &m_config; }
    // False once the network service has said in this session that it stopped, until it is
    // heard again (its status, or an answer on the interface's topics, shows it runs).
    bool serviceOnline() const { return m_serviceOnline; }
    // What the network service's status says.
    void setServiceOnline(bool online);

public slots:
    // Sends the method and the configuration; false (nothing sent) while the
    // broker or the service is gone. Either way the method and the
    // configuration return to what the service last reported: what was sent
    // shows only once the service publishes it back.
    bool save();
    // Asks the service for the state and the configuration (on every connection).
    void reset();

signals:
    void interfaceChanged();
    void typeChanged();
    void stateChanged();
    void reasonChanged();
    void macChanged();
    void methodChanged();
    void ipv4Changed();
    void configChanged();
    void serviceOnlineChanged();

protected:
    void logParseError(const QString &topic, const QByteArray &payload, const QString &error) const override;

private:
    void onStateReceived(const QJsonObject &document);
    void onConfigReceived(const QJsonObject &document);
    QVariantMap readIPv4(const QJsonObject &object, const QString &where) const;

    QString m_interface;
    QString m_type;
    QString m_state;
    QString m_reason;
    QString m_mac;
    QString m_method;
    IPv4 m_ipv4;
    IPv4 m_config;
    // The last configuration document, to which an edit returns once saved or refused.
    QString m_reportedMethod;
    QVariantMap m_reportedConfig;
    bool m_serviceOnline = true;
};

} // namespace manager
