#pragma once

#include <QElapsedTimer>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace manager {

// The process-wide message handler: filters by level, formats every line with
// the seconds since it was created, writes it to syslog and/or stderr.
class Logger
{
public:
    enum Level {
        Error = 0,
        Warning = 1,
        Info = 2,
        Debug = 3,
        All = 4,
    };

    static Logger *instance();

    void setLevel(Level level);
    void setLevel(int level);
    void setSyslog(bool on);
    void setStderr(bool on);
    void setColor(bool on);

    QMutex *getMutex();
    bool getSyslog() const;
    bool getStderr() const;
    double getStartTime() const;

    // Values that never reach a log line, and the names of the settings that
    // hold them ("key : value", "key=value", "key": "value" get masked too).
    // Static, so the settings store can register them before the logger exists.
    static void setSecrets(const QStringList &names, const QStringList &values);
    static QString mask(const QString &line);

private:
    Logger();
    Logger(const Logger &) = delete;
    Logger &operator=(const Logger &) = delete;

    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg);
    double elapsedSeconds() const;

    static Logger *mInstance;

    QMutex m_mutex;
    bool m_syslog = true;
    bool m_stderr = false;
    double m_startTime = 0;
    // Time stamps come from a monotonic clock: a jump of the system time
    // (time synchronisation) must not shift them.
    QElapsedTimer m_clock;
};

} // namespace manager
