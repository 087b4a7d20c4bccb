#pragma once

#include "transport/MqttDevice.h"

#include <QString>
#include <QTimer>
#include <QVariantMap>

namespace manager {

// Client of the system service: mirrors its version, whether it runs and the
// internal audio volume; asks it to set the volume, play a sound file, and
// reboot or shut down the machine. A reboot or shutdown is announced at once
// and requested 2000 ms later, so the screens can say so first.
class Inspector : public MqttDevice
{
    Q_OBJECT
    Q_PROPERTY(QVariantMap info READ info NOTIFY infoChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QVariantMap memory READ memory NOTIFY memoryChanged)
    Q_PROPERTY(QVariantMap cpu READ cpu NOTIFY cpuChanged)
    Q_PROPERTY(QVariantMap disks READ disks NOTIFY disksChanged)
    Q_PROPERTY(int audioVolume READ audioVolume WRITE setAudioVolume NOTIFY audioVolumeChanged)

public:
    Inspector(MqttClient &mqtt, const QString &baseTopic, QObject *parent = nullptr);
    ~Inspector() override;

    // {"version": the service's version} once it has reported it.
    QVariantMap info() const { return m_info; }
    // "online", "offline", or empty while nothing is known: before the service's first word
    // in each session (its status, or a live answer, which says it runs).
    QString status() const { return m_status; }
    // The statistics are requested but not kept: these stay empty.
    QVariantMap memory() const { return m_memory; }
    QVariantMap cpu() const { return m_cpu; }
    QVariantMap disks() const { return m_disks; }
    // The internal output's volume in percent, as the service last reported it.
    int audioVolume() const;
    // Whether a request can reach the service now: the session is up and the service has not
    // said in it that it is down. When it has, it is asked again (see refresh), so that a
    // "down" that no longer holds does not refuse the next request too.
    bool serviceReachable();

public slots:
    // Asks for the volume and the statistics (on every connection).
    void refresh();
    // Refreshes every msec milliseconds; 0 (or less) stops.
    void monitor(int msec);
    // Asks the service for the volume; the property follows its report.
    void setAudioVolume(int value);
    void audioPlay(const QString &file);
    void systemReboot();
    void systemShutdown();
    void scheduleShutdown(int sec);
    void abortShutdown();

signals:
    void infoChanged();
    void statusChanged();
    void memoryChanged();
    void cpuChanged();
    void disksChanged();
    void audioVolumeChanged();
    void systemRebootStarted();
    void systemShutdownStarted();
    // A reboot or shutdown request ("reboot", "shutdown") that could not be sent.
    void powerRequestFailed(QString what);

protected:
    void logParseError(const QString &topic, const QByteArray &payload, const QString &error) const override;

private:
    void onInfoReceived(const QJsonObject &document);
    void onAudioReceived(const QJsonObject &document);
    void setStatus(const QString &status);
    void requestPower(const QString &what);

    QVariantMap m_info;
    QString m_status;
    QVariantMap m_memory;
    QVariantMap m_cpu;
    QVariantMap m_disks;
    QVariantMap m_audioVolumes;
    QTimer m_monitorTimer;
    QTimer m_shutdownTimer;
};

} // namespace manager
