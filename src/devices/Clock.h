#pragma once

#include <QHash>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class QProcess;

namespace manager {

// The system's time settings: time zone, NTP on or off, whether the clock is
// synchronised, and the NTP server of the time-synchronisation daemon. There
// is no service to ask: it runs the system's tools (timedatectl, systemctl)
// one at a time and in order, each given up to a second, without ever waiting
// for them on the event loop, and edits the daemon's configuration file
// itself. The writers do not store the new value: they change the system and
// read it back, so a property moves only when the system reports the change.
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
    // Names another file in place of ConfigFile for the whole program (tests,
    // simulated lanes); a terminal leaves it unset.
    static constexpr char ConfigFileVariable[] = "VORN_TIMESYNCD_CONF";

    explicit Clock(QObject *parent = nullptr);
    ~Clock() override;

    // The first capture group of the first match of pattern in text; a null
    // text when nothing matches.
    static QString capture(const QString &text, const QString &pattern);
    // Host names and IP addresses (dotted quads without leading zeros)
    // separated by blanks, or nothing at all; no control character.
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

    // Where the daemon's configuration lives: ConfigFile, or the file
    // ConfigFileVariable names; tests point it into a folder of their own.
    QString configFile() const { return m_configFile; }
    void setConfigFile(const QString &path) { m_configFile = path; }

    // Writes the server into the configuration (replacing the file whole)
    // and has the daemon restarted; false (logged) when the text is refused
    // or the file could not be written, which leaves the old one and
    // restarts nothing.
    bool writeNtpServer(const QString &server);

    // Commands are queued or running.
    bool busy() const { return !m_commands.isEmpty(); }

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
    struct Command
    {
        QString program;
        QStringList arguments;
        std::function<void(bool ok, const QString &output)> done;
    };

    void initTimer();
    void readTimezones();
    void refreshStatus();
    void applyStatus(const QString &output);
    void refreshConfig();
    // Queues a command; done (if any) gets whether it ran and succeeded, and its output.
    void run(const QString &program, const QStringList &arguments,
             std::function<void(bool ok, const QString &output)> done = nullptr);
    void startNext();
    void onFinished(QProcess *process, int exitCode, bool crashed);
    void onFailedToStart(QProcess *process);
    void onLimit();
    void complete(bool ok, const QString &output);
    void commandFailed(const QString &message);

    QStringList m_timezones;
    QString m_timezone;
    QString m_ntpServer;
    bool m_ntpEnabled = false;
    bool m_ntpSynced = false;
    QTimer m_timer;
    QString m_configFile;
    QString m_configProblem; // the last problem reading the configuration, logged once
    QQueue<Command> m_commands; // the first is the one running
    QProcess *m_process = nullptr;
    QTimer m_limit;
    QHash<QString, QString> m_failures; // the last failure of each command line, logged once
};

} // namespace manager
