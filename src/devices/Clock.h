#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

namespace manager {

// The system's time settings: time zone, NTP on or off, whether the clock is
// synchronised, and the NTP server of the time-synchronisation daemon. There
// is no service to ask: it runs the system's tools (timedatectl, cp, sync,
// systemctl) one at a time, each waited for up to a second, and edits the
// daemon's configuration file itself. The writers do not store the new value:
// they change the system and read it back, so a property moves only when the
// system reports the change.
class Clock : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QStringList timezones READ timezones NOTIFY timezonesChanged)
    Q_PROPERTY(QString timezone READ timezone WRITE setTimezone NOTIFY timezoneChanged)
    Q_PROPERTY(QString ntpServer READ ntpServer WRITE setNtpServer NOTIFY ntpServerChanged)
    Q_PROPERTY(bool ntpEnabled READ ntpEnabled WRITE setNtpEnabled NOTIFY ntpEnabledChanged)
    Q_PROPERTY(bool ntpSynced READ ntpSynced NOTIFY ntpSyncedChanged)
    // Seconds between refreshes; below 1 the refresh stops.
    Q_PROPERTY(int refreshInterval READ refreshInterval WRITE setRefreshInterval NOTIFY ntpSyncedChanged)

public:
    static constexpr char ConfigFile[] = "/etc/systemd/timesyncd.conf";
    // Where the private working copy of the configuration is made.
    static constexpr char WorkDir[] = "/tmp";

    explicit Clock(QObject *parent = nullptr);
    ~Clock() override;

    // Runs program with its arguments (never through a shell) and returns its
    // standard output, or an empty text when it could not run in time,
    // crashed or failed; each failure is logged.
    static QString executeCmd(const QString &program, const QStringList &arguments, int msecs);
    // The first capture group of the first match of pattern in text; a null
    // text when nothing matches.
    static QString capture(const QString &text, const QString &pattern);
    static QStringList readTimezones();
    // Host names and IP addresses separated by blanks, or nothing at all.
    static bool isValidNtpServer(const QString &text);
    // The configuration text with its NTP= lines (commented out or not, as the
    // daemon reads them) set to server, or one added to the [Time] section.
    static QByteArray withNtpServer(const QByteArray &config, const QString &server);

    QStringList timezones() const { return m_timezones; }
    QString timezone() const { return m_timezone; }
    QString ntpServer() const { return m_ntpServer; }
    bool ntpEnabled() const { return m_ntpEnabled; }
    bool ntpSynced() const { return m_ntpSynced; }
    int refreshInterval() const;

    void setTimezone(const QString &zone);
    void setNtpEnabled(bool enable);
    void setNtpServer(const QString &server);
    void setRefreshInterval(int sec);

    // Where the daemon's configuration lives and where the working copy is
    // made; tests point them into a folder of their own.
    QString configFile() const { return m_configFile; }
    void setConfigFile(const QString &path) { m_configFile = path; }
    QString workDir() const { return m_workDir; }
    void setWorkDir(const QString &path) { m_workDir = path; }

    // Writes the server into the configuration and restarts the daemon;
    // false (logged) when the text is refused or a step failed, which stops
    // the steps after it.
    bool writeNtpServer(const QString &server);

public slots:
    void ntpSync();
    void refresh();

signals:
    void timezonesChanged();
    void timezoneChanged();
    void ntpServerChanged();
    void ntpEnabledChanged();
    void ntpSyncedChanged();

private:
    void initTimer();
    void refreshStatus();
    void refreshConfig();
    static bool run(const QString &program, const QStringList &arguments, int msecs, QString *output);

    QStringList m_timezones;
    QString m_timezone;
    QString m_ntpServer;
    bool m_ntpEnabled = false;
    bool m_ntpSynced = false;
    QTimer m_timer;
    QString m_configFile = QString::fromLatin1(ConfigFile);
    QString m_workDir = QString::fromLatin1(WorkDir);
    QString m_configProblem; // the last problem reading the configuration, logged once
};

} // namespace manager
