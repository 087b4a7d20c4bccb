#pragma once

#include "transport/MqttDevice.h"

#include <QDateTime>
#include <QMetaType>
#include <QString>

namespace manager {

// Client of a GPS service: its identity, fix state and position come in as
// three documents, each turned into a record and announced with the record.
// It can switch the receiver on and off. Nothing in the terminal uses it yet.
class GPSManager : public MqttDevice
{
    Q_OBJECT

public:
    struct Info
    {
        QString firmware;
        QString manufacturer;
        QString model;
        QString imei;
        bool assisted = false;
        QString serviceType;
        QString serviceVersion;
    };

    struct Status
    {
        int fix = 0;
        int state = 0; // -1 while the service is offline
        bool simulation = false;
        QString error;
    };

    struct Telemetry
    {
        double latitude = 0;
        double longitude = 0;
        double altitude = 0;
        double direction = 0;
        double groundSpeed = 0;
        double verticalSpeed = 0;
        double verticalAccuracy = 0;
        double horizontalAccuracy = 0;
        double magneticVariation = 0;
        QDateTime timestamp; // no document sets it yet
    };

    GPSManager(MqttClient &mqtt, const QString &baseTopic, QObject *parent = nullptr);
    ~GPSManager() override;

    const Info &info() const { return m_info; }
    const Status &status() const { return m_status; }
    const Telemetry &telemetry() const { return m_telemetry; }

    // Whether the request went to the session (false while it is down).
    bool enable();
    bool disable();

signals:
    void infoChanged(const manager::GPSManager::Info &info);
    void statusChanged(const manager::GPSManager::Status &status);
    void telemetryChanged(const manager::GPSManager::Telemetry &data);

protected:
    void logParseError(const QString &topic, const QByteArray &payload, const QString &error) const override;

private:
    void onInfoReceived(const QJsonObject &document);
    void onStatusReceived(const QJsonObject &document);
    void onTelemetryReceived(const QJsonObject &document);
    double readNumberText(const QJsonObject &document, const QString &key);

    Info m_info;
    Status m_status;
    Telemetry m_telemetry;
};

} // namespace manager

Q_DECLARE_METATYPE(manager::GPSManager::Info)
Q_DECLARE_METATYPE(manager::GPSManager::Status)
Q_DECLARE_METATYPE(manager::GPSManager::Telemetry)
