#pragma once

#include "fakes/FakeService.h"

#include <QStringList>

// The system service on the broker: its info and status (retained), the
// internal audio volume ("audio/get" answers it, "audio/set" changes it and
// answers), the statistics on their get requests, played files, and the
// power requests ("<base>/power/reboot/request/1", ".../shutdown/...") that
// it only records. Offline, the status says "service": false and commands
// go unanswered; silence(command) ignores one command.
class FakeSystemService : public FakeService
{
    Q_OBJECT

public:
    explicit FakeSystemService(const QString &base = QStringLiteral("vesk/inspector"), QObject *parent = nullptr);

    int volume() const { return m_volume; }
    // Changed from outside (a knob, another client): publishes the audio document.
    void setVolume(int volume);
    void setServiceOnline(bool online);
    void setVersion(const QString &version);
    // Whether the status is published retained (it is by default).
    void setStatusRetained(bool retained) { m_statusRetained = retained; }
    // The files asked to be played, in order.
    QStringList played() const { return m_played; }

    void publishInfo();
    void publishStatus();
    void publishAudio();

protected:
    void handle(const Request &request) override;
    void started() override;

private:
    bool m_online = true;
    bool m_statusRetained = true;
    QString m_version = QStringLiteral("3.1.0");
    int m_volume = 60;
    QStringList m_played;
};
