#pragma once

#include "transport/MqttDevice.h"

#include <QString>
#include <QTimer>

namespace manager {

// Client of the software update service: mirrors its installed and pending
// versions, its state and the progress of a running update, and asks it to
// check for, download and install updates. The service does the work.
class Update : public MqttDevice
{
    Q_OBJECT
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString current READ current NOTIFY currentChanged)
    Q_PROPERTY(QString pending READ pending NOTIFY pendingChanged)
    Q_PROPERTY(QString progressMessage READ progressMessage NOTIFY progressMessageChanged)
    Q_PROPERTY(int progressPercent READ progressPercent NOTIFY progressPercentChanged)

public:
    Update(MqttClient &mqtt, const QString &topic, QObject *parent = nullptr);
    ~Update() override;

    QString status() const { return m_status; }
    // The installed version; empty when the service reports none ("0").
    QString current() const { return m_current; }
    QString pending() const { return m_pending; }
    QString progressMessage() const { return m_progressMessage; }
    int progressPercent() const { return m_progressPercent; }
    // The code of the last progress report taken (0: none). Its owner keeps it across restarts
    // and gives it back before the first session: a code the broker kept is news once, and a
    // replay of the one already taken is not, at a later session or after a restart alike.
    int reportedProgress() const { return m_reportedProgress; }
    // The status a progress code ends an install with; empty for one that ends none.
    static QString codeStatus(int code);
    void setReportedProgress(int code);

public slots:
    void check();
    void install();
    void trigger(const QString &version, const QString &uri, const QString &checksum = QString());

signals:
    void statusChanged();
    void currentChanged();
    void pendingChanged();
    void progressMessageChanged();
    void progressPercentChanged();
    void reportedProgressChanged();

protected:
    void logParseError(const QString &topic, const QByteArray &payload, const QString &error) const override;

private:
    void refresh();
    void onMqttDisconnected();
    void onStatusReceived(const QJsonObject &document);
    // Its status said it (or its update manager) stopped, or was cleared.
    void onServiceGone();
    void onProgressReceived(const QJsonObject &document);
    void checkTimerExpired();

    // The service said so in this session (its status, a will, a cleared status).
    bool serviceDown() const;
    void setStatus(const QString &status);
    void setCurrent(const QString &current);
    void setPending(const QString &pending);
    void setProgressMessage(const QString &message);
    void setProgressPercent(int percent);

    QString m_status = QStringLiteral("Disconnected");
    QString m_current;
    QString m_pending;
    QString m_progressMessage;
    int m_progressPercent = 0;
    int m_reportedProgress = 0;
    QTimer m_checkTimer;
    // The service spoke (a status document) since the running check went out.
    bool m_checkAnswered = false;
};

} // namespace manager
