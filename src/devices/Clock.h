#pragma once

#include "async/ThreadWorker.h"

#include <QHash>
#include <QObject>
#include <QPair>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QProcess;

namespace manager {

// The system's time settings: time zone, NTP on or off, whether the clock is
// synchronised, and the NTP server of the time-synchronisation daemon. There
// is no service to ask: it runs the system's tools (timedatectl, systemctl)
// one at a time and in order, each given up to a second, without ever waiting
// for them on the event loop, and edits the daemon's configuration file
// itself, on a thread of its own (a slow disk must not hold the screen). The
// writers do not store the new value: they change the system and read it
// back, so a property moves only when the system reports the change.
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
    // The server as the file gets it: the names separated by one blank.
    static QString normalizedNtpServer(const QString &text);
    // The configuration text with its NTP= lines (commented out or not, as the
    // daemon reads them) set to server, or one added to the [Time] section.
    static QByteArray withNtpServer(const QByteArray &config, const QString &server);

    // Whether setNtpServer takes the text (the settings page asks before it writes).
    Q_INVOKABLE bool acceptsNtpServer(const QString &text) const { return isValidNtpServer(text); }

    QStringList timezones() const { return m_timezones; }
    QString timezone() const { return m_timezone; }
    QString ntpServer() const { return m_ntpServer; }
    bool ntpEnabled() const { return m_ntpEnabled; }
    bool ntpSynced() const { return m_ntpSynced; }
    int refreshInterval() const;

    // Each compares with the value asked last while that is still on its way
    // to the system, otherwise with the value the system reports. A change
    // still waiting to run takes a later value in its place when nothing
    // that changes the system was asked between them; otherwise the later
    // one goes to the end of the queue in its stead.
    void setTimezone(const QString &zone);
    void setNtpEnabled(bool enable);
    void setNtpServer(const QString &server);
    void setRefreshInterval(int sec);

    // Where the daemon's configuration lives: ConfigFile, or what
    // ConfigFileVariable names; tests point it into a folder of their own.
    QString configFile() const { return m_configFile; }
    void setConfigFile(const QString &path) { m_configFile = path; }

    // Queues the server's write into the configuration and the daemon's
    // restart after it (only if the daemon runs: NTP off stays off); false
    // (logged) when the text is refused. The write replaces the file (keeping
    // its owner, group and mode) or, when that cannot be done, writes it in
    // place; a failed write (logged) leaves the old text and restarts
    // nothing. A write still waiting gives way to a later one. A write that
    // the clock's end finds under way still restarts the daemon once through.
    bool writeNtpServer(const QString &server);

    // The thread the configuration is written on: one of the clock's own
    // unless given (tests hold one up to stand for a slow disk).
    void setWorker(const ThreadWorker &worker);

    // Commands or a write are queued or running.
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
        QString program; // empty: the write of server into the configuration
        QStringList arguments;
        QString server;
        // Changes the system: never merged with another, every failure logged.
        bool changes = false;
        quint64 id = 0;
        // Runs only when the write of this id has succeeded (the daemon's restart).
        quint64 after = 0;
        std::function<void(bool ok, const QString &output)> done;
    };
    struct Written;

    void initTimer();
    void readTimezones();
    void refreshStatus();
    void applyStatus(const QString &output);
    void refreshConfig();
    // Queues a command; done (if any) gets whether it ran and succeeded, and its output.
    void run(const QString &program, const QStringList &arguments,
             std::function<void(bool ok, const QString &output)> done = nullptr);
    // Queues a command that changes the system; its id.
    quint64 change(const QString &program, const QStringList &arguments,
                   std::function<void(bool ok, const QString &output)> done = nullptr, quint64 after = 0);
    // Whether a waiting command before index before reads the same as command
    // with nothing that changes the system between them.
    bool readWaits(const Command &command, int before) const;
    // Queues the command unless the same reading waits already with nothing
    // that changes the system after it.
    void enqueue(Command command);
    // Where the command of this id waits in the queue; -1 when it has started or is through.
    int waitingIndex(quint64 id) const;
    // Takes a command still waiting out of the queue, with those that run only
    // after it; false when it has started or is through.
    bool dropWaiting(quint64 id);
    // A change of a setting still waiting takes the value asked later in its
    // place (the status read queued after it reports it), unless something
    // that changes the system was asked after it: then it is dropped, and the
    // later value queued at the end as a change of its own. False when a new
    // change is to be queued.
    bool amendWaiting(quint64 id, const QStringList &arguments);
    void startNext();
    void startWrite();
    // On the worker: reads the configuration, sets the server and writes it back.
    static Written writeConfig(const QString &path, const QString &server);
    void onWritten(quint64 id, const Written &written);
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
    bool m_running = false; // the first of the queue has started
    QProcess *m_process = nullptr;
    QTimer m_limit;
    QHash<QString, QString> m_failures; // the last failure of each command line
    std::unique_ptr<ThreadWorker> m_worker; // made at the first write
    std::shared_ptr<std::atomic<bool>> m_written; // the last write started has succeeded
    quint64 m_lastId = 0;
    // What was asked last and is not yet through (the command's id with it).
    std::optional<QPair<quint64, QString>> m_askedZone;
    std::optional<QPair<quint64, bool>> m_askedNtp;
    std::optional<QPair<quint64, QString>> m_askedServer;
};

} // namespace manager
