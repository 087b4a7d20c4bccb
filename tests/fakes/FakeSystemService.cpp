#include "fakes/FakeSystemService.h"

#include <QJsonObject>

FakeSystemService::FakeSystemService(const QString &base, QObject *parent)
    : FakeService(base, QStringLiteral("fake-system"), parent)
{
    for (const char *command : {"audio/get", "audio/set", "audio/play", "stats/memory/get", "stats/disk/get", "stats/cpu/get"})
        takeCommand(QString::fromLatin1(command));
}

void FakeSystemService::started()
{
    publishInfo();
    publishStatus();
}

void FakeSystemService::setVolume(int volume)
{
    m_volume = volume;
    publishAudio();
}

void FakeSystemService::setServiceOnline(bool online)
{
    m_online = online;
    publishStatus();
}

void FakeSystemService::setVersion(const QString &version)
{
    m_version = version;
    publishInfo();
}

void FakeSystemService::publishInfo()
{
    publish(QStringLiteral("/info"), QJsonObject{{QStringLiteral("service"), QJsonObject{{QStringLiteral("type"), QStringLiteral("inspector")},
                                                                                         {QStringLiteral("version"), m_version}}}},
            true);
}

void FakeSystemService::publishStatus()
{
    publish(QStringLiteral("/status"), QJsonObject{{QStringLiteral("service"), m_online}}, m_statusRetained);
}

void FakeSystemService::publishAudio()
{
    publish(QStringLiteral("/audio"), QJsonObject{{QStringLiteral("internal"), QJsonObject{{QStringLiteral("volume"), m_volume}}}});
}

void FakeSystemService::handle(const Request &request)
{
    if (!m_online)
        return;
    const QString &command = request.command;
    if (command == QLatin1String("audio/get")) {
        publishAudio();
    } else if (command == QLatin1String("audio/set")) {
        const QJsonValue volume = request.body.value(QStringLiteral("internal")).toObject().value(QStringLiteral("volume"));
        if (volume.isDouble())
            m_volume = qBound(0, volume.toInt(), 100);
        publishAudio();
    } else if (command == QLatin1String("audio/play")) {
        m_played << request.body.value(QStringLiteral("filepath")).toString();
    } else if (command == QLatin1String("stats/memory/get")) {
        publish(QStringLiteral("/stats/memory"), QJsonObject{{QStringLiteral("total"), 2048}, {QStringLiteral("free"), 1024}});
    } else if (command == QLatin1String("stats/disk/get")) {
        publish(QStringLiteral("/stats/disk"), QJsonObject{{QStringLiteral("/"), QJsonObject{{QStringLiteral("used"), 41}}}});
    } else if (command == QLatin1String("stats/cpu/get")) {
        publish(QStringLiteral("/stats/cpu"), QJsonObject{{QStringLiteral("load"), 0.25}});
    }
    // Power requests ("power/reboot", "power/shutdown") are only recorded.
}
