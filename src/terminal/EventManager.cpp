#include "terminal/EventManager.h"

#include "app/Config.h"
#include "app/LogQuote.h"
#include "terminal/Event.h"
#include "terminal/EventLogFile.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>

#include <algorithm>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char Tag[] = "[EventManager] ";

void logInfo(const QString &text)
{
    qInfo().noquote().nospace() << Tag << text;
}

bool exists(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

// A folder is left: what it holds is not ours to remove.
void removeUnlessFolder(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (::lstat(name.constData(), &info) == 0 && !S_ISDIR(info.st_mode))
        ::unlink(name.constData());
}

// False with errno set (EEXIST when something is at `to`).
bool moveWithoutReplacing(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system that cannot refuse by itself: looked at first.
    struct stat info;
    if (::lstat(target.constData(), &info) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(source.constData(), target.constData()) == 0;
}

} // namespace

EventManager::EventManager(Config &config, QObject *parent)
    : EventManager(config, defaultFileName(), parent)
{
}

EventManager::EventManager(Config &config, const QString &fileName, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_fileName(fileName)
{
    load();
    clear(QDateTime::currentDateTime().addDays(-RetentionDays));
}

EventManager::~EventManager()
{
    qDeleteAll(m_events);
}

QString EventManager::defaultFileName()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/events.ini");
}

QVariant EventManager::data() const
{
    return QVariant::fromValue(m_filtered);
}

bool EventManager::setAside(const QString &reason)
{
    const auto aside = [this](int n) {
        return m_fileName + QStringLiteral(".bad") + (n > 0 ? QStringLiteral(".%1").arg(n) : QString());
    };
    // Room at "<file>.bad": each earlier one a number up. Nothing is moved onto anything: a
    // folder in the way stops the shift there, and the log then stays where it is.
    for (int n = KeptAside - 1; n > 0; --n) {
        if (!exists(aside(n - 1)))
            continue;
        if (n == KeptAside - 1)
            removeUnlessFolder(aside(n));
        moveWithoutReplacing(aside(n - 1), aside(n));
    }
    // rename() moves a link or a pipe itself, whatever it points to.
    if (!moveWithoutReplacing(m_fileName, aside(0))) {
        const QString error = QString::fromLocal8Bit(std::strerror(errno));
        qCritical().noquote().nospace() << Tag << "ERROR: Event log unusable (" << reason << ") and cannot be moved aside ("
                                        << error << "), left in place : "
                                        << m_fileName;
        return false;
    }
    qCritical().noquote().nospace() << Tag << "ERROR: Event log unusable (" << reason << "), moved aside to "
                                    << aside(0) << "; starting with an empty log";
    return true;
}

bool EventManager::load()
{
    const EventLogFile::Contents contents = EventLogFile::read(m_fileName, MaxLoaded);
    switch (contents.status) {
    case EventLogFile::Status::Unreadable:
        qCritical().noquote().nospace() << Tag << "ERROR: Event log cannot be read (" << contents.reason << ") : "
                                        << m_fileName;
        m_unsettled = true;
        return false;
    case EventLogFile::Status::Unusable:
        if (!setAside(contents.reason)) {
            m_unsettled = true;
            return false;
        }
        break;
    case EventLogFile::Status::Missing:
    case EventLogFile::Status::Read:
        break;
    }
    m_unsettled = false;
    logInfo(QStringLiteral("Loading saved events : from=%1 to=%2").arg(contents.first).arg(contents.count));
    // Before those held: those came later.
    QList<Event *> loaded;
    for (const EventLogFile::Entry &entry : contents.entries)
        loaded.append(new Event(entry.category, entry.name, entry.description, entry.timestamp));
    m_events = loaded + m_events;
    while (m_events.size() > MaxLoaded + 1)
        release(m_events.takeFirst());
    return true;
}

void EventManager::save()
{
    if (m_unsettled) {
        if (!load()) {
            qCritical().noquote().nospace() << Tag
                                            << "ERROR: Event log not written over what could not be read or moved aside : "
                                            << m_fileName;
            return;
        }
        purge(QDateTime::currentDateTime().addDays(-RetentionDays));
    }
    // A link, a pipe or a folder that took the log's place is moved aside as at start-up (or,
    // when it cannot be, left there and looked at again next time); a file there is replaced
    // without being read.
    struct stat info;
    if (::lstat(QFile::encodeName(m_fileName).constData(), &info) == 0 && !S_ISREG(info.st_mode)
        && !setAside(QStringLiteral("not a regular file")))
        return;
    QList<EventLogFile::Entry> entries;
    entries.reserve(m_events.size());
    for (const Event *event : qAsConst(m_events))
        entries.append({event->category(), event->name(), event->description(), event->timestamp()});
    QString error;
    if (!EventLogFile::write(m_fileName, entries, &error))
        qCritical().noquote().nospace() << Tag << "ERROR: Could not write event log : " << m_fileName << " ("
                                        << error << ")";
}

// The screen may still show the event until control returns to the loop.
void EventManager::release(Event *event)
{
    event->deleteLater();
}

void EventManager::push(Event *event)
{
    if (!event)
        return;
    if (m_events.size() > MaxLoaded)
        release(m_events.takeFirst());
    event->setParent(nullptr);
    m_events.append(event);
    save();
    update();
}

int EventManager::purge(const QDateTime &before)
{
    int count = 0;
    for (auto it = m_events.begin(); it != m_events.end();) {
        if ((*it)->timestamp() <= before) {
            release(*it);
            it = m_events.erase(it);
            ++count;
        } else {
            ++it;
        }
    }
    return count;
}

void EventManager::clear(const QDateTime &before)
{
    const int count = purge(before);
    logInfo(QStringLiteral("Deleted %1 event(s) older than %2")
                .arg(count)
                .arg(before.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))));
    if (count > 0)
        save();
    update();
}

void EventManager::clear()
{
    if (m_events.isEmpty())
        return;
    for (Event *event : qAsConst(m_events))
        release(event);
    m_events.clear();
    save();
    update();
}

void EventManager::update()
{
    if (!m_period.isEmpty()) {
        const QPair<QDateTime, QDateTime> bounds = periodBounds(m_period);
        m_from = bounds.first;
        m_to = bounds.second;
    }
    m_filtered.clear();
    // Latest arrival first among equal stamps.
    for (auto it = m_events.crbegin(); it != m_events.crend(); ++it) {
        Event *event = *it;
        const QDateTime stamp = event->timestamp();
        if (m_from.isValid() && stamp < m_from)
            continue;
        if (m_to.isValid() && m_to < stamp)
            continue;
        if (!m_nameFilter.isEmpty() && !event->name().contains(m_nameFilter, Qt::CaseInsensitive))
            continue;
        m_filtered.append(event);
    }
    std::stable_sort(m_filtered.begin(), m_filtered.end(), [](QObject *a, QObject *b) {
        return static_cast<Event *>(a)->timestamp() > static_cast<Event *>(b)->timestamp();
    });
    emit dataChanged();
}

void EventManager::applyFilter(const QString &name)
{
    logInfo(QStringLiteral("Filtering : name=") + LogQuote::quote(name));
    m_nameFilter = name;
    update();
}

void EventManager::applyFilter(int severity)
{
    logInfo(QStringLiteral("Filtering : severity=") + QString::number(severity));
    m_severity = severity;
    update();
}

void EventManager::applyFilter(const QDateTime &from, const QDateTime &to)
{
    logInfo(QStringLiteral("Filtering : from=") + from.toString(Qt::TextDate) + QStringLiteral(" to=")
            + to.toString(Qt::TextDate));
    m_from = from;
    m_to = to;
    m_period.clear();
    update();
}

void EventManager::applyFilterPeriod(const QString &period)
{
    logInfo(QStringLiteral("Filtering (period) : ") + LogQuote::quote(period));
    const QPair<QDateTime, QDateTime> bounds = periodBounds(period);
    applyFilter(bounds.first, bounds.second);
    // "Last hour" stays the last hour: events that come later are not cut off by a frozen end.
    m_period = period;
}

QPair<QDateTime, QDateTime> EventManager::periodBounds(const QString &period)
{
    QDateTime from;
    QDateTime to;
    const QDateTime now = QDateTime::currentDateTime();
    const QDate today = now.date();
    const QTime lastSecond(23, 59, 59);
    if (period == QLatin1String("Last hour")) {
        from = now.addSecs(-3600);
        to = now;
    } else if (period == QLatin1String("Last 2 hours")) {
        from = now.addSecs(-7200);
        to = now;
    } else if (period == QLatin1String("Last 5 hours")) {
        from = now.addSecs(-18000);
        to = now;
    } else if (period == QLatin1String("Today")) {
        from = QDateTime(today, QTime(0, 0));
        to = QDateTime(today, lastSecond);
    } else if (period == QLatin1String("Yesterday")) {
        from = QDateTime(today.addDays(-1), QTime(0, 0));
        to = QDateTime(today.addDays(-1), lastSecond);
    } else if (period == QLatin1String("Last week")) {
        from = QDateTime(today.addDays(-7), QTime(0, 0));
        to = now;
    } else if (period == QLatin1String("Last month")) {
        from = QDateTime(today.addMonths(-1), QTime(0, 0));
        to = now;
    }
    return qMakePair(from, to);
}
