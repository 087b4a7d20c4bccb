#include "terminal/EventManager.h"

#include "app/Config.h"
#include "app/LogQuote.h"
#include "terminal/Event.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QSettings>

#include <algorithm>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char Tag[] = "[EventManager] ";

void logInfo(const QString &text)
{
    qInfo().noquote().nospace() << Tag << text;
}

// Whether the settings library could read "@Variant(" out of the file: it turns that into
// whatever the bytes announce (a list of 2^31 entries, say), and it resolves escapes first, so
// "@\x56ariant(" counts too. The log's own values are texts and date-times.
bool holdsVariant(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (int i = 0; i < bytes.size(); ++i) {
        const char c = bytes.at(i);
        if (c != '\\' || i + 1 == bytes.size()) {
            text += QChar(uchar(c));
            continue;
        }
        const char next = bytes.at(++i);
        const bool hex = next == 'x';
        if (!hex && (next < '0' || next > '7')) {
            text += QChar(uchar(next));
            continue;
        }
        const auto digit = [hex](char d) {
            if (d >= '0' && d <= (hex ? '9' : '7'))
                return d - '0';
            if (hex && d >= 'a' && d <= 'f')
                return d - 'a' + 10;
            if (hex && d >= 'A' && d <= 'F')
                return d - 'A' + 10;
            return -1;
        };
        // As many digits as follow, as the library reads them.
        uint code = hex ? 0 : uint(next - '0');
        for (; i + 1 < bytes.size() && digit(bytes.at(i + 1)) >= 0; ++i)
            code = (code * (hex ? 16 : 8) + uint(digit(bytes.at(i + 1)))) & 0xffff;
        text += QChar(ushort(code));
    }
    return text.contains(QLatin1String("@Variant("));
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

void EventManager::setAsideUnusable()
{
    const QByteArray name = QFile::encodeName(m_fileName);
    struct stat info;
    // Not the link's target: a link is no log of ours. Missing, or out of reach: nothing to read.
    if (::lstat(name.constData(), &info) != 0)
        return;
    QString reason;
    if (!S_ISREG(info.st_mode)) {
        reason = QStringLiteral("not a regular file");
    } else if (info.st_size > MaxFileSize) {
        reason = QStringLiteral("larger than %1 bytes").arg(MaxFileSize);
    } else {
        QFile file(m_fileName);
        if (!file.open(QIODevice::ReadOnly))
            return;
        if (!holdsVariant(file.read(MaxFileSize + 1)))
            return;
        reason = QStringLiteral("holds values never written here");
    }
    // rename() moves a link or a pipe itself, whatever it points to.
    const QString aside = m_fileName + QStringLiteral(".bad");
    const QByteArray asideName = QFile::encodeName(aside);
    struct stat old;
    if (::lstat(asideName.constData(), &old) == 0 && !S_ISDIR(old.st_mode))
        ::unlink(asideName.constData());
    if (::rename(name.constData(), asideName.constData()) != 0) {
        const QString error = QString::fromLocal8Bit(std::strerror(errno));
        // Still in the way: at least no link is followed and nothing of it is read.
        if (::unlink(name.constData()) != 0) {
            qCritical().noquote().nospace() << Tag << "ERROR: Event log unusable (" << reason
                                            << ") and cannot be moved aside : " << LogQuote::quote(error);
            return;
        }
        qCritical().noquote().nospace() << Tag << "ERROR: Event log unusable (" << reason << "), removed : "
                                        << m_fileName;
        return;
    }
    qCritical().noquote().nospace() << Tag << "ERROR: Event log unusable (" << reason << "), moved aside to "
                                    << aside << "; starting with an empty log";
}

void EventManager::load()
{
    setAsideUnusable();
    QSettings settings(m_fileName, QSettings::NativeFormat);
    const int count = settings.beginReadArray(QStringLiteral("events"));
    const int first = count < MaxLoaded ? 0 : count - MaxLoaded;
    logInfo(QStringLiteral("Loading saved events : from=%1 to=%2").arg(first).arg(count));
    for (int i = first; i < count; ++i) {
        settings.setArrayIndex(i);
        m_events.append(new Event(settings.value(QStringLiteral("category")).toString(),
                                  settings.value(QStringLiteral("name")).toString(),
                                  settings.value(QStringLiteral("desc")).toString(),
                                  settings.value(QStringLiteral("timestamp")).toDateTime()));
    }
    settings.endArray();
}

// The settings library writes through a temporary file that replaces the old
// one only once complete, so a crash mid-write leaves the previous log.
void EventManager::save()
{
    // The settings library reads the file before writing it, and writes through a link to its
    // target: whatever took the log's place since is moved aside first.
    setAsideUnusable();
    QSettings settings(m_fileName, QSettings::NativeFormat);
    settings.clear();
    settings.beginWriteArray(QStringLiteral("events"));
    for (int i = 0; i < m_events.size(); ++i) {
        const Event *event = m_events.at(i);
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("category"), event->category());
        settings.setValue(QStringLiteral("name"), event->name());
        settings.setValue(QStringLiteral("desc"), event->description());
        settings.setValue(QStringLiteral("timestamp"), event->timestamp());
    }
    settings.endArray();
    settings.sync();
    if (settings.status() != QSettings::NoError)
        qCritical().noquote().nospace() << Tag << "ERROR: Could not write event log : " << m_fileName;
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

void EventManager::clear(const QDateTime &before)
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
