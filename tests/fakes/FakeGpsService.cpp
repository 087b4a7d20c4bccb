#include "fakes/FakeGpsService.h"

FakeGpsService::FakeGpsService(const QString &base, QObject *parent)
    : FakeService(base, QStringLiteral("fake-gps"), parent)
{
    takeCommand(QStringLiteral("enable"));
    takeCommand(QStringLiteral("disable"));
}

void FakeGpsService::started()
{
    publishInfo();
    publishStatus();
}

void FakeGpsService::setFix(int fix, int state)
{
    m_fix = fix;
    m_state = state;
    publishStatus();
}

void FakeGpsService::setError(const QJsonValue &error)
{
    m_error = error;
    publishStatus();
}

void FakeGpsService::setSimulation(bool simulation)
{
    m_simulation = simulation;
    publishStatus();
}

void FakeGpsService::setServiceOnline(bool online)
{
    m_online = online;
    publishStatus();
}

void FakeGpsService::setPosition(double latitude, double longitude, double altitude)
{
    const auto text = [](double value) { return QString::number(value, 'f', 6); };
    publish(QStringLiteral("/data"), QJsonObject{
                                         {QStringLiteral("latitude"), text(latitude)},
                                         {QStringLiteral("longitude"), text(longitude)},
                                         {QStringLiteral("altitude"), text(altitude)},
                                         {QStringLiteral("direction"), text(0)},
                                         {QStringLiteral("groundSpeed"), text(0)},
                                         {QStringLiteral("verticalSpeed"), text(0)},
                                         {QStringLiteral("verticalAccuracy"), text(0)},
                                         {QStringLiteral("horizontalAccuracy"), text(0)},
                                         {QStringLiteral("magneticVariation"), text(0)},
                                     });
}

void FakeGpsService::publishInfo()
{
    publish(QStringLiteral("/info"), QJsonObject{
                                         {QStringLiteral("device"), QJsonObject{
                                                                        {QStringLiteral("firmware"), QStringLiteral("EG25GGBR07A08M2G")},
                                                                        {QStringLiteral("manufacturer"), QStringLiteral("Fake GNSS")},
                                                                        {QStringLiteral("model"), QStringLiteral("FG-25")},
                                                                        {QStringLiteral("imei"), QStringLiteral("860000000000001")},
                                                                        {QStringLiteral("assisted"), true},
                                                                    }},
                                         {QStringLiteral("service"), QJsonObject{{QStringLiteral("type"), QStringLiteral("gps")},
                                                                                 {QStringLiteral("version"), QStringLiteral("0.9.4")}}},
                                     },
            true);
}

void FakeGpsService::publishStatus()
{
    if (!m_online) {
        publish(QStringLiteral("/status"), QJsonObject{{QStringLiteral("service"), false}}, true);
        return;
    }
    publish(QStringLiteral("/status"), QJsonObject{
                                           {QStringLiteral("service"), true},
                                           {QStringLiteral("simulation"), m_simulation},
                                           {QStringLiteral("device"), QJsonObject{
                                                                          {QStringLiteral("fix"), m_enabled ? m_fix : 0},
                                                                          {QStringLiteral("state"), m_enabled ? m_state : 0},
                                                                          {QStringLiteral("error"), m_error},
                                                                      }},
                                       },
            true);
}

void FakeGpsService::handle(const Request &request)
{
    if (!m_online)
        return;
    m_enabled = request.command == QLatin1String("enable");
    publishStatus();
}
