#include "fakes/FakeUpdateService.h"

FakeUpdateService::FakeUpdateService(const QString &base, QObject *parent)
    : FakeService(base, QStringLiteral("fake-update"), parent)
{
    for (const char *command : {"status/get", "check", "install", "trigger"})
        takeCommand(QString::fromLatin1(command));
}

void FakeUpdateService::setServiceOnline(bool online)
{
    m_online = online;
    publishStatus();
}

void FakeUpdateService::setUpdatemanRunning(bool running)
{
    m_updateman = running;
    publishStatus();
}

void FakeUpdateService::publishStatus()
{
    if (!m_online) {
        publish(QStringLiteral("/status"), QJsonObject{{QStringLiteral("service"), false}});
        return;
    }
    if (!m_updateman) {
        publish(QStringLiteral("/status"), QJsonObject{{QStringLiteral("service"), true}, {QStringLiteral("updateman"), false}});
        return;
    }
    publish(QStringLiteral("/status"), QJsonObject{
                                           {QStringLiteral("service"), true},
                                           {QStringLiteral("updateman"), true},
                                           {QStringLiteral("version"), m_version},
                                           {QStringLiteral("pending"), m_pending},
                                           {QStringLiteral("state"), m_state},
                                       });
}

void FakeUpdateService::publishProgress(int code, int percent, const QString &description, bool retain)
{
    publish(QStringLiteral("/progress"),
            QJsonObject{
                {QStringLiteral("progress"), code},
                {QStringLiteral("percent"), percent},
                {QStringLiteral("description"), description},
            },
            retain);
}

void FakeUpdateService::handle(const Request &request)
{
    if (!m_online || !m_updateman)
        return;
    const QString &command = request.command;
    if (command == QLatin1String("status/get")) {
        publishStatus();
    } else if (command == QLatin1String("check")) {
        if (!m_available.isEmpty() && m_available != m_version)
            m_pending = m_available;
        publishStatus();
    } else if (command == QLatin1String("trigger")) {
        const QString version = request.body.value(QStringLiteral("v")).toString();
        publishProgress(101, 50, QStringLiteral("Downloading"));
        publishProgress(101, 100, QStringLiteral("Downloading"));
        m_pending = version;
        publishStatus();
    } else if (command == QLatin1String("install")) {
        if (m_pending.isEmpty())
            return;
        publishProgress(101, 50, QStringLiteral("Installing"));
        publishProgress(204, 100, QStringLiteral("Installed"));
        m_version = m_pending;
        m_pending.clear();
        publishStatus();
    }
}

void FakeUpdateService::refused(const Request &, int code, const QString &description)
{
    publishProgress(code, 0, description);
}
