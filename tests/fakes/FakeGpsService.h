#pragma once

#include "fakes/FakeService.h"

#include <QJsonObject>

// A GPS service on the broker: info, status and position documents under its
// base, every number of the position written as text, as the real service
// does. "enable" and "disable" switch the receiver: disabled, it has no fix.
// Offline, the status says "service": false.
class FakeGpsService : public FakeService
{
    Q_OBJECT

public:
    explicit FakeGpsService(const QString &base = QStringLiteral("vesk/gps"), QObject *parent = nullptr);

    bool enabled() const { return m_enabled; }
    void setFix(int fix, int state);
    // A null error is no error.
    void setError(const QJsonValue &error);
    void setSimulation(bool simulation);
    void setServiceOnline(bool online);
    // Publishes a position (latitude, longitude, altitude; the rest zero).
    void setPosition(double latitude, double longitude, double altitude);

    void publishInfo();
    void publishStatus();

protected:
    void handle(const Request &request) override;
    void started() override;

private:
    bool m_online = true;
    bool m_enabled = true;
    bool m_simulation = false;
    int m_fix = 3;
    int m_state = 2;
    QJsonValue m_error = QJsonValue::Null;
};
