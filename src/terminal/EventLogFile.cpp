#include "terminal/EventLogFile.h"

#include "app/IniFile.h"

#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QVariantMap>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Array = QStringLiteral("events");
const char NeverWritten[] = "holds values never written here";

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Replaced unread by the next write, its events would be lost: it is set aside like any other.
QString cannotRead()
{
    return QStringLiteral("cannot be read: ") + systemError();
}

QString tooLarge()
{
    return QStringLiteral("larger than %1 bytes").arg(EventLogFile::MaxSize);
}

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
    const QByteArray name = QFile::encodeName(fileName);
    struct stat info;
    // A link itself, not its target: a link is no log of ours, nor a pipe, a device or a folder,
    // which are not even opened.
    if (::lstat(name.constData(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? outcome(Status::Missing) : outcome(Status::Unusable, cannotRead());
    if (!S_ISREG(info.st_mode))
        return outcome(Status::Unusable, QStringLiteral("not a regular file"));
    if (info.st_size > MaxSize)
        return outcome(Status::Unusable, tooLarge());

    // Whatever took its place since is not followed and does not block; the descriptor has the
    // last word, and the bytes checked are the bytes read.
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP)
            return outcome(Status::Unusable, QStringLiteral("not a regular file"));
        return errno == ENOENT ? outcome(Status::Missing) : outcome(Status::Unusable, cannotRead());
    }
    QByteArray bytes;
    QString problem;
    if (::fstat(fd, &info) != 0) {
        problem = cannotRead();
    } else if (!S_ISREG(info.st_mode)) {
        problem = QStringLiteral("not a regular file");
    } else {
        // One byte more than the bound tells a file that grew past it.
        bytes.resize(int(MaxSize + 1));
        qint64 total = 0;
        while (total < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + total, size_t(bytes.size() - total));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                problem = cannotRead();
                break;
            }
            if (n == 0)
                break;
            total += n;
        }
        bytes.truncate(int(total));
        if (problem.isEmpty() && total > MaxSize)
            problem = tooLarge();
    }
    ::close(fd);
    if (!problem.isEmpty())
        return outcome(Status::Unusable, problem);
    return parse(bytes, keep);
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
    const QByteArray bytes = format(entries);
    const QByteArray name = QFile::encodeName(fileName);

    // A new file beside it, never one that is already there.
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = name + ".new-" + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        *error = systemError();
        return false;
    }
    // An operator who narrowed the log's permissions keeps them; set-id and sticky bits are
    // not handed on by whoever put the file there.
    struct stat old;
    if (::lstat(name.constData(), &old) == 0 && S_ISREG(old.st_mode))
        static_cast<void>(::fchmod(fd, old.st_mode & 0777));

    bool ok = true;
    qint64 done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        ok = n > 0;
        done += ok ? n : 0;
    }
    // On the disk before it takes the old file's place: a power cut leaves one or the other.
    ok = ok && ::fsync(fd) == 0;
    if (!ok)
        *error = systemError();
    if (::close(fd) != 0 && ok) {
        ok = false;
        *error = systemError();
    }
    // rename() replaces a link or a pipe in its place, never what they point to.
    if (ok && ::rename(temporary.constData(), name.constData()) != 0) {
        ok = false;
        *error = systemError();
    }
    if (!ok)
        ::unlink(temporary.constData());
    return ok;
}
