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

    // Names of the settings whose values never reach a log line: wherever a
    // line quotes one ("name : value", "name=value", "name": "value"), the
    // value is masked. Text that merely equals a secret is left alone.
    // Static, so the settings store can register them before the logger exists.
    static void setSecretNames(const QStringList &names);
    static QString mask(const QString &line);
    // The text with the user-info of every URL in it masked ("https://****@host"): credentials
    // inside a URL (a camera's, a back office's) never show in a log line. Everything between
    // "://" and the last "@" before the next "/", "?" or "#" counts as user-info.
    static QString maskUserInfo(const QString &text);

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
