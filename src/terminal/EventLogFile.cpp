#include "terminal/EventLogFile.h"

#include "app/IniFile.h"
#include "app/RegularFile.h"

#include <QRegularExpression>
#include <QVariantMap>

#include <cerrno>

namespace {

const QString Array = QStringLiteral("events");
const char NeverWritten[] = "holds values never written here";

EventLogFile::Contents outcome(EventLogFile::Status status, const QString &reason = QString())
{
    EventLogFile::Contents contents;
    contents.status = status;
    contents.reason = reason;
    return contents;
}

// A value only in the form the log writes it: a text as a text, the timestamp as "@DateTime(" in
// the settings library's layout (a text that merely reads as a date is no timestamp of ours).
// Missing reads as empty, or null for the timestamp, as it always did; the purge at start-up
// drops a null timestamp.
template <typename T>
bool take(const QVariantMap &entries, const QString &key, T *value)
{
    const auto it = entries.constFind(key);
    if (it == entries.cend())
        return true;
    if (it->userType() != qMetaTypeId<T>())
        return false;
    *value = it->value<T>();
    return true;
}

EventLogFile::Contents parse(const QByteArray &bytes, int keep)
{
    const IniFile::Parsed parsed = IniFile::parse(bytes);
    // The reader refuses values it will not build (and lines that are no setting): nothing this
    // log wrote.
    if (!parsed.unreadable.isEmpty())
        return outcome(EventLogFile::Status::Unusable, QLatin1String(NeverWritten));

    int count = 0;
    const auto size = parsed.entries.constFind(Array + QStringLiteral("/size"));
    if (size != parsed.entries.cend()) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,10}$"));
        bool ok = size->userType() == QMetaType::QString && digits.match(size->toString()).hasMatch();
        count = ok ? size->toString().toInt(&ok, 10) : 0;
        if (!ok)
            return outcome(EventLogFile::Status::Unusable, QLatin1String(NeverWritten));
    }

    EventLogFile::Contents contents = outcome(EventLogFile::Status::Read);
    contents.count = count;
    contents.first = count < keep ? 0 : count - keep;
    for (int i = contents.first; i < count; ++i) {
        const QString prefix = QStringLiteral("%1/%2/").arg(Array).arg(i + 1);
        EventLogFile::Entry entry;
        if (!take(parsed.entries, prefix + QStringLiteral("category"), &entry.category)
            || !take(parsed.entries, prefix + QStringLiteral("name"), &entry.name)
            || !take(parsed.entries, prefix + QStringLiteral("desc"), &entry.description)
            || !take(parsed.entries, prefix + QStringLiteral("timestamp"), &entry.timestamp))
            return outcome(EventLogFile::Status::Unusable, QLatin1String(NeverWritten));
        contents.entries.append(entry);
    }
    return contents;
}

} // namespace

EventLogFile::Contents EventLogFile::read(const QString &fileName, int keep)
{
    // A link itself, not its target: a link is no log of ours, nor a pipe, a device or a folder,
    // which are not even opened.
    const RegularFile::Contents file = RegularFile::read(fileName, MaxSize, RegularFile::RefuseLinks);
    switch (file.status) {
    case RegularFile::Contents::Read:
        return parse(file.bytes, keep);
    case RegularFile::Contents::Failed:
        if (file.missing || file.error == ENOENT)
            return outcome(Status::Missing);
        // No descriptor left, an I/O error: nothing is known of its content.
        return outcome(Status::Unreadable, file.why(MaxSize));
    case RegularFile::Contents::Irregular:
    case RegularFile::Contents::TooLarge:
        break;
    }
    return outcome(Status::Unusable, file.why(MaxSize));
}

QByteArray EventLogFile::format(const QList<Entry> &entries)
{
    QVariantMap values;
    for (int i = 0; i < entries.size(); ++i) {
        const Entry &entry = entries.at(i);
        const QString prefix = QStringLiteral("%1/%2/").arg(Array).arg(i + 1);
        values.insert(prefix + QStringLiteral("category"), entry.category);
        values.insert(prefix + QStringLiteral("name"), entry.name);
        values.insert(prefix + QStringLiteral("desc"), entry.description);
        // A named zone is never read back (it would be looked up by a name from the file): the
        // same moment with its offset is.
        const QDateTime stamp = entry.timestamp.timeSpec() == Qt::TimeZone
            ? entry.timestamp.toOffsetFromUtc(entry.timestamp.offsetFromUtc())
            : entry.timestamp;
        values.insert(prefix + QStringLiteral("timestamp"), stamp);
    }
    values.insert(Array + QStringLiteral("/size"), entries.size());
    return IniFile::format(values);
}

bool EventLogFile::write(const QString &fileName, const QList<Entry> &entries, QString *error)
{
    // An operator who narrowed the log's permissions keeps them.
    return RegularFile::replace(fileName, format(entries), RegularFile::KeepMode, error);
}
