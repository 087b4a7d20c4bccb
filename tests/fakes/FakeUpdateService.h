#pragma once

#include "fakes/FakeService.h"

// A software update service on the broker. It answers "<base>/status/get"
// with its status document, finds a version made available with
// setAvailable on "<base>/check", downloads on "<base>/trigger" (the version
// becomes pending) and installs on "<base>/install", reporting both on
// "<base>/progress" (101 running, 204 installed) and then in its status.
// refuse("install", 103, "Checksum mismatch") makes a command fail with
// that progress code; silence(command) makes the service ignore it.
class FakeUpdateService : public FakeService
{
    Q_OBJECT

public:
    explicit FakeUpdateService(const QString &base = QStringLiteral("vesk/update"), QObject *parent = nullptr);

    QString version() const { return m_version; }
    void setVersion(const QString &version) { m_version = version; }
    QString pending() const { return m_pending; }
    void setPending(const QString &pending) { m_pending = pending; }
    void setState(const QString &state) { m_state = state; }
    // What the next check finds.
    void setAvailable(const QString &version) { m_available = version; }
    // Down: the status says "service": false; the update manager alone: "updateman": false.
    // Either way commands go unanswered. Each publishes the status.
    void setServiceOnline(bool online);
    void setUpdatemanRunning(bool running);

    void publishStatus();
    // Retained, as a service does whose last word must outlive its listener's restart.
    void publishProgress(int code, int percent, const QString &description, bool retain = false);

protected:
    void handle(const Request &request) override;
    void refused(const Request &request, int code, const QString &description) override;

private:
    QString m_version = QStringLiteral("1.0.0");
    QString m_pending;
    QString m_available;
    QString m_state = QStringLiteral("Idle");
    bool m_online = true;
    bool m_updateman = true;
};
