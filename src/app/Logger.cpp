#include "app/Logger.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QMutexLocker>

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

struct Secrets
{
    QMutex mutex;
    QStringList names;
};

// Never destroyed: the handler stays installed until the process ends, and
// lines still come after static objects are gone (plugins unloading, say).
Secrets &secrets()
{
    static Secrets *const s = new Secrets;
    return *s;
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

void Logger::setSecretNames(const QStringList &names)
{
    QStringList kept;
    for (const QString &name : names) {
        if (!name.isEmpty())
            kept << name;
    }
    Secrets &s = secrets();
    QMutexLocker lock(&s.mutex);
    s.names = kept;
}

// Scanned by hand: a regular expression needs Qt's per-thread match stacks,
// which are gone when the last lines of the process come.
QString Logger::mask(const QString &line)
{
    Secrets &s = secrets();
    QMutexLocker lock(&s.mutex);
    QString out = line;
    const auto isSpace = [&out](int i) { return i < out.size() && out.at(i).isSpace(); };
    const auto is = [&out](int i, char c) { return i < out.size() && out.at(i) == QLatin1Char(c); };
    for (const QString &name : qAsConst(s.names)) {
        int from = 0;
        while ((from = out.indexOf(name, from)) >= 0) {
            // The name, an optional closing quote, ':' or '=', an optional
            // opening quote, then the value up to a blank, quote, comma or brace.
            int i = from + name.size();
            from = i;
            if (is(i, '"'))
                ++i;
            while (isSpace(i))
                ++i;
            if (!is(i, ':') && !is(i, '='))
                continue;
            ++i;
            while (isSpace(i))
                ++i;
            const bool quoted = is(i, '"');
            if (quoted)
                ++i;
            int end = i;
            if (quoted) {
                // A quoted value runs to its closing quote, blanks, commas and braces included.
                while (end < out.size() && !is(end, '"'))
                    end += is(end, '\\') ? 2 : 1;
                end = qMin(end, int(out.size()));
            } else {
                while (end < out.size() && !isSpace(end) && !is(end, '"') && !is(end, ',') && !is(end, '}'))
                    ++end;
            }
            if (end > i)
                out.replace(i, end - i, QStringLiteral("****"));
            from = i;
        }
    }
    return maskUserInfo(out);
}

QString Logger::maskUserInfo(const QString &text)
{
    static const QString Mask = QStringLiteral("****");
    QString out = text;
    int from = 0;
    while ((from = out.indexOf(QLatin1String("://"), from)) >= 0) {
        const int start = from + 3;
        // The authority runs to the path, query or fragment. A password may hold a blank, a quote,
        // a backslash or an "@" (escaped or not, as the line carries it), so the user-info runs to
        // the last "@" before that: a line may lose more than the user-info, never keep part of it.
        int end = start;
        int at = -1;
        while (end < out.size()) {
            const QChar c = out.at(end);
            if (c == QLatin1Char('/') || c == QLatin1Char('?') || c == QLatin1Char('#'))
                break;
            if (c == QLatin1Char('@'))
                at = end;
            ++end;
        }
        if (at > start && out.midRef(start, at - start) != Mask) {
            out.replace(start, at - start, Mask);
            from = start + Mask.size() + 1;
        } else {
            from = start;
        }
    }
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
