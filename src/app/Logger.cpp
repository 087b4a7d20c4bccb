#include "app/Logger.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QVector>

#include <cstdio>
#include <cstdlib>
#include <syslog.h>

namespace manager {

namespace {

const char *const kPlainPattern =
    "%{if-fatal}%{function} at %{file}:%{line} (%{pid}:%{threadid}:%{qthreadptr}) - %{endif}%{message}";

const char *const kColorPattern =
    "%{if-category}[%{category}] %{endif}"
    "%{if-info}%{message}%{endif}"
    "%{if-warning}\033[33m%{message}\033[39m%{endif}"
    "%{if-debug}\033[35m%{message}\033[39m%{endif}"
    "%{if-critical}\033[31m%{message}\033[39m%{endif}"
    "%{if-fatal}%{function} at %{file}:%{line} (%{pid}:%{threadid}:%{qthreadptr}) - "
    "\033[31m%{message}\033[39m%{endif}";

const char *const kLevelRules[] = {
    "*=true\n*.warning=false\n*.info=false\n*.debug=false\nqt.*=false",
    "*=true\n*.info=false\n*.debug=false\nqt.*=false",
    "*=true\n*.debug=false\nqt.*=false",
    "*=true\nqt.*=false",
    "*=true",
};

const QString kMask = QStringLiteral("****");

struct Secrets
{
    QMutex mutex;
    QRegularExpression byName;
    QVector<QRegularExpression> byValue;
};

Secrets &secrets()
{
    static Secrets s;
    return s;
}

} // namespace

Logger *Logger::mInstance = nullptr;

Logger *Logger::instance()
{
    if (!mInstance)
        mInstance = new Logger;
    return mInstance;
}

Logger::Logger()
{
    m_startTime = double(QDateTime::currentMSecsSinceEpoch());
    m_clock.start();
    setColor(false);
    setLevel(2);
    qInstallMessageHandler(&Logger::handler);
}

void Logger::setLevel(Level level)
{
    if (level < Error || level > All)
        return;
    QMutexLocker lock(&m_mutex);
    QLoggingCategory::setFilterRules(QString::fromLatin1(kLevelRules[level]));
}

void Logger::setLevel(int level)
{
    switch (level) {
    case Error:
    case Warning:
    case Debug:
    case All:
        setLevel(Level(level));
        break;
    default:
        setLevel(Info);
        break;
    }
}

void Logger::setSyslog(bool on)
{
    QMutexLocker lock(&m_mutex);
    m_syslog = on;
}

void Logger::setStderr(bool on)
{
    QMutexLocker lock(&m_mutex);
    m_stderr = on;
}

void Logger::setColor(bool on)
{
    QMutexLocker lock(&m_mutex);
    qSetMessagePattern(QString::fromLatin1(on ? kColorPattern : kPlainPattern));
}

QMutex *Logger::getMutex()
{
    return &m_mutex;
}

bool Logger::getSyslog() const
{
    return m_syslog;
}

bool Logger::getStderr() const
{
    return m_stderr;
}

double Logger::getStartTime() const
{
    return m_startTime;
}

double Logger::elapsedSeconds() const
{
    return double(m_clock.nsecsElapsed()) / 1e9;
}

void Logger::setSecrets(const QStringList &names, const QStringList &values)
{
    QRegularExpression byName;
    QStringList escapedNames;
    for (const QString &name : names) {
        if (!name.isEmpty())
            escapedNames << QRegularExpression::escape(name);
    }
    if (!escapedNames.isEmpty()) {
        // The name, an optional closing quote, ':' or '=', an optional opening
        // quote, then the value up to a blank, quote, comma or brace.
        byName.setPattern(QStringLiteral("((?:") + escapedNames.join('|')
                          + QStringLiteral(")\"?\\s*[:=]\\s*\"?)([^\\s\",}]+)"));
    }

    QVector<QRegularExpression> byValue;
    for (const QString &value : values) {
        if (value.isEmpty())
            continue;
        // Whole occurrences only, so a PIN does not mangle a longer number.
        byValue << QRegularExpression(QStringLiteral("(?<![A-Za-z0-9])")
                                      + QRegularExpression::escape(value)
                                      + QStringLiteral("(?![A-Za-z0-9])"));
    }

    Secrets &s = secrets();
    QMutexLocker lock(&s.mutex);
    s.byName = byName;
    s.byValue = byValue;
}

QString Logger::mask(const QString &line)
{
    Secrets &s = secrets();
    QMutexLocker lock(&s.mutex);
    QString out = line;
    if (!s.byName.pattern().isEmpty())
        out.replace(s.byName, QStringLiteral("\\1") + kMask);
    for (const QRegularExpression &re : qAsConst(s.byValue))
        out.replace(re, kMask);
    return out;
}

void Logger::handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    Logger *self = instance();
    QMutexLocker lock(&self->m_mutex);

    const QByteArray line = qFormatLogMessage(type, context, mask(msg)).toUtf8();
    const double stamp = self->elapsedSeconds();

    if (self->m_syslog) {
        switch (type) {
        case QtDebugMsg:
            syslog(LOG_DEBUG, "[%9.03f] [debug] %s", stamp, line.constData());
            break;
        case QtInfoMsg:
            syslog(LOG_INFO, "[%9.03f] %s", stamp, line.constData());
            break;
        case QtWarningMsg:
            syslog(LOG_WARNING, "[%9.03f] [warning] %s", stamp, line.constData());
            break;
        case QtCriticalMsg:
            syslog(LOG_CRIT, "[%9.03f] [error] %s", stamp, line.constData());
            break;
        case QtFatalMsg:
            syslog(LOG_ERR, "[%9.03f] [fatal] %s", stamp, line.constData());
            break;
        }
    }
    if (self->m_stderr)
        fprintf(stderr, "[%9.03f] %s\n", stamp, line.constData());

    if (type == QtFatalMsg)
        abort();
}

} // namespace manager
