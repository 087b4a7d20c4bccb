#include "devices/Clock.h"

#include "app/LogQuote.h"
#include "app/PropertySetter.h"
#include "app/RegularFile.h"

#include "async/Deferred.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace manager {

namespace {
const QString Tag_ = QStringLiteral("[Clock] ");
const int CommandMs = 1000;
const int RefreshMs = 10000;
// How long a clock going away waits for its write to reach the disk.
const int WriteWaitMs = 5000;
// Far more than any configuration of the daemon; guards the memory against a file gone wrong.
const qint64 MaxConfigBytes = 1 << 20;

QStringList ntpNames(const QString &text)
{
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QString commandLine(const QString &program, const QStringList &arguments)
{
    return (QStringList{program} + arguments).join(QLatin1Char(' '));
}

// The resolver reads an octet with a leading zero as octal ("010" is 8):
// such a text would make the daemon ask another server than the one shown.
bool isIPv4(const QString &name)
{
    static const QRegularExpression dotted(QStringLiteral("\\A(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\z"));
    const QRegularExpressionMatch match = dotted.match(name);
    if (!match.hasMatch())
        return false;
    for (int i = 1; i <= 4; ++i) {
        const QString octet = match.captured(i);
        if (octet.toInt() > 255 || (octet.size() > 1 && octet.startsWith(QLatin1Char('0'))))
            return false;
    }
    return true;
}

bool isIPv6(const QString &name)
{
    static const QRegularExpression chars(QStringLiteral("\\A[0-9A-Fa-f:.]+\\z"));
    return name.contains(QLatin1Char(':')) && chars.match(name).hasMatch()
           && QHostAddress(name).protocol() == QAbstractSocket::IPv6Protocol;
}

bool isHostName(const QString &name)
{
    static const QRegularExpression label(QStringLiteral("\\A[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?\\z"));
    static const QRegularExpression digits(QStringLiteral("\\A[0-9]+\\z"));
    QString host = name;
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    if (host.isEmpty() || host.size() > 253)
        return false;
    const QStringList labels = host.split(QLatin1Char('.'));
    for (const QString &part : labels)
        if (!label.match(part).hasMatch())
            return false;
    // All-digit names are malformed addresses, not host names.
    return !digits.match(labels.last()).hasMatch();
}

QByteArray skipBlanks(const QByteArray &text, int from = 0)
{
    while (from < text.size() && (text.at(from) == ' ' || text.at(from) == '\t'))
        ++from;
    return text.mid(from);
}

// The NTP setting as the daemon reads it (blanks before the key and around
// the equals sign allowed), or the commented-out template of the packaged file.
bool isNtpLine(const QByteArray &line)
{
    const QByteArray text = skipBlanks(line);
    if (text.startsWith("#NTP="))
        return true;
    return text.startsWith("NTP") && skipBlanks(text, 3).startsWith('=');
}

// The configuration as read, or why it could not be.
struct ConfigText
{
    bool ok = false;
    bool missing = false;
    QByteArray content;
    QString error;
    struct stat info = {};
};

// Only a regular file is read, without waiting on it (a FIFO would hold the
// reader until someone writes into it) and only up to MaxConfigBytes (a
// device may never end).
ConfigText readConfig(const QString &path)
{
    ConfigText text;
    const RegularFile::Contents file = RegularFile::read(path, MaxConfigBytes);
    text.ok = file.ok();
    text.content = file.bytes;
    text.info = file.info;
    switch (file.status) {
    case RegularFile::Contents::Read:
        break;
    case RegularFile::Contents::Failed:
        text.missing = file.error == ENOENT;
        text.error = qt_error_string(file.error);
        break;
    case RegularFile::Contents::Irregular:
        text.error = S_ISDIR(file.info.st_mode) ? qt_error_string(EISDIR) : QStringLiteral("Not a regular file");
        break;
    case RegularFile::Contents::TooLarge:
        text.error = QStringLiteral("Larger than %1 bytes").arg(MaxConfigBytes);
        break;
    }
    return text;
}

bool writeAll(int fd, const QByteArray &content, off_t at)
{
    qint64 done = 0;
    while (done < content.size()) {
        const ssize_t put = ::pwrite(fd, content.constData() + done, size_t(content.size() - done), at + done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = EIO;
            return false;
        }
        done += put;
    }
    return true;
}

// The temporary file beside the target: this prefix and six letters or
// digits, a name no other program gives a file.
QString temporaryPrefix(const QFileInfo &target)
{
    return QStringLiteral(".") + target.fileName() + QStringLiteral(".tmp-");
}

// A write cut off between its temporary file and the rename (the program
// killed) leaves that file behind, one per kill: the next write takes them
// away, regular files of the clock's own name only.
void removeLeftovers(const QString &target)
{
    static const QRegularExpression suffix(QStringLiteral("\\A[A-Za-z0-9]{6}\\z"));
    const QFileInfo info(target);
    const QString prefix = temporaryPrefix(info);
    const QDir folder(info.absolutePath());
    const QStringList names = folder.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QString &name : names) {
        if (!name.startsWith(prefix) || !suffix.match(name.mid(prefix.size())).hasMatch())
            continue;
        const QByteArray path = QFile::encodeName(folder.filePath(name));
        struct stat made = {};
        if (::lstat(path.constData(), &made) == 0 && S_ISREG(made.st_mode))
            ::unlink(path.constData());
    }
}

// Written beside the file, given the file's owner, group and mode, flushed
// and renamed over it: a reader sees the old text or the new, whole.
bool replaceFile(const QString &target, const QByteArray &content, const struct stat *old, QString *reason)
{
    const QFileInfo info(target);
    QByteArray temporary = QFile::encodeName(info.absolutePath() + QLatin1Char('/') + temporaryPrefix(info)
                                             + QStringLiteral("XXXXXX"));
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *reason = qt_error_string(errno);
        return false;
    }
    struct stat made = {};
    // Owner first: a change of owner may clear the mode's set-id bits.
    bool ok = writeAll(fd, content, 0) && ::fstat(fd, &made) == 0
              && (!old || (made.st_uid == old->st_uid && made.st_gid == old->st_gid)
                  || ::fchown(fd, old->st_uid, old->st_gid) == 0)
              && ::fchmod(fd, old ? (old->st_mode & 07777) : 0644) == 0 && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(temporary.constData(), QFile::encodeName(target).constData()) == 0) {
        // Best effort: the rename is in place whether the folder reaches the disk now or later.
        const int folder = ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
        return true;
    }
    if (ok)
        error = errno;
    ::unlink(temporary.constData());
    *reason = qt_error_string(error);
    return false;
}

// The file overwritten where it is (its owner, group and mode stay): for a
// folder the program may not write, or a file mounted from elsewhere. On a
// failure the old text is put back; its room was the file's already.
bool writeInPlace(const QString &target, const QByteArray &content, const QByteArray &old, QString *reason)
{
    const int fd = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        *reason = qt_error_string(errno);
        return false;
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *reason = QStringLiteral("Not a regular file");
        return false;
    }
    if (writeAll(fd, content, 0) && ::ftruncate(fd, off_t(content.size())) == 0 && ::fsync(fd) == 0) {
        if (::close(fd) == 0)
            return true;
        *reason = qt_error_string(errno);
        return false;
    }
    *reason = qt_error_string(errno);
    if (writeAll(fd, old, 0) && ::ftruncate(fd, off_t(old.size())) == 0)
        ::fsync(fd);
    ::close(fd);
    return false;
}
} // namespace

// What a write of the configuration came to, with its log lines (said on the clock's thread).
struct Clock::Written
{
    bool ok = false;
    QList<QPair<QtMsgType, QString>> lines;
};

Clock::Clock(QObject *parent)
    : QObject(parent)
    , m_configFile(qEnvironmentVariable(ConfigFileVariable))
{
    if (m_configFile.isEmpty())
        m_configFile = QString::fromLatin1(ConfigFile);
    m_limit.setSingleShot(true);
    m_limit.setTimerType(Qt::PreciseTimer);
    connect(&m_limit, &QTimer::timeout, this, &Clock::onLimit);
    readTimezones();
    initTimer();
    refresh();
}

Clock::~Clock()
{
    const bool writing = m_running && m_commands.head().program.isEmpty();
    // The daemon's restart that waits for the write, if any.
    std::optional<Command> restart;
    if (writing) {
        for (int i = 1; i < m_commands.size() && !restart; ++i)
            if (m_commands.at(i).after == m_commands.head().id)
                restart = m_commands.at(i);
    }
    m_commands.clear();
    if (m_process) {
        // Not waited for: it goes once its process has (see startNext).
        m_process->disconnect(this);
        m_process->kill();
    }
    // A write under way is finished, not cut off; its result goes nowhere.
    // The program may be stopping, which would end its thread half-way: the
    // server asked lost and the temporary file left in the daemon's folder.
    // Once through, the daemon still has to read the file: else it would
    // keep the old server while the file names the new one. Detached, the
    // restart outlives us.
    if (m_worker) {
        m_worker->quitThread();
        if (writing && m_worker->getThread() && m_worker->getThread()->wait(WriteWaitMs) && restart && m_written
            && m_written->load())
            QProcess::startDetached(restart->program, restart->arguments);
    }
}

void Clock::initTimer()
{
    connect(&m_timer, &QTimer::timeout, this, &Clock::refresh);
    m_timer.setSingleShot(false);
    m_timer.start(RefreshMs);
}

void Clock::setWorker(const ThreadWorker &worker)
{
    m_worker = std::make_unique<ThreadWorker>(worker);
}

void Clock::run(const QString &program, const QStringList &arguments, std::function<void(bool, const QString &)> done)
{
    Command command;
    command.program = program;
    command.arguments = arguments;
    command.done = std::move(done);
    enqueue(std::move(command));
}

quint64 Clock::change(const QString &program, const QStringList &arguments, std::function<void(bool, const QString &)> done,
                      quint64 after)
{
    Command command;
    command.program = program;
    command.arguments = arguments;
    command.changes = true;
    command.id = ++m_lastId;
    command.after = after;
    command.done = std::move(done);
    const quint64 id = command.id;
    enqueue(std::move(command));
    return id;
}

bool Clock::readWaits(const Command &command, int before) const
{
    if (command.changes)
        return false;
    for (int i = before - 1; i >= 1; --i) {
        const Command &queued = m_commands.at(i);
        if (queued.changes)
            return false;
        if (queued.program == command.program && queued.arguments == command.arguments)
            return true;
    }
    return false;
}

void Clock::enqueue(Command command)
{
    // Refreshes that pile up (a timer, taps on a button) would keep what the
    // operator asks waiting: one that waits already reads the same, as long
    // as nothing after it changes the system.
    if (readWaits(command, m_commands.size()))
        return;
    if (!command.id)
        command.id = ++m_lastId;
    m_commands.enqueue(std::move(command));
    startNext();
}

int Clock::waitingIndex(quint64 id) const
{
    for (int i = 1; i < m_commands.size(); ++i)
        if (m_commands.at(i).id == id)
            return i;
    return -1;
}

bool Clock::dropWaiting(quint64 id)
{
    const int at = waitingIndex(id);
    if (at < 0)
        return false;
    for (int i = m_commands.size() - 1; i > at; --i)
        if (m_commands.at(i).after == id)
            m_commands.removeAt(i);
    m_commands.removeAt(at);
    // Reads that had it between them now read the same.
    for (int i = m_commands.size() - 1; i >= 2; --i)
        if (readWaits(m_commands.at(i), i))
            m_commands.removeAt(i);
    return true;
}

bool Clock::amendWaiting(quint64 id, const QStringList &arguments)
{
    const int at = waitingIndex(id);
    if (at < 0)
        return false;
    // Amended in place, it would run before what was asked after it.
    for (int i = at + 1; i < m_commands.size(); ++i) {
        if (m_commands.at(i).changes) {
            dropWaiting(id);
            return false;
        }
    }
    m_commands[at].arguments = arguments;
    return true;
}

void Clock::startNext()
{
    if (m_running || m_commands.isEmpty())
        return;
    m_running = true;
    if (m_commands.head().program.isEmpty()) {
        startWrite();
        return;
    }
    const QString program = m_commands.head().program;
    const QStringList arguments = m_commands.head().arguments;
    // No parent, and deleted only once its process has ended: destroying a
    // QProcess that still runs waits for it, and a command stuck on a slow
    // disk would hold the event loop with it.
    auto *process = new QProcess;
    m_process = process;
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), process, &QObject::deleteLater);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, process](int exitCode, QProcess::ExitStatus status) { onFinished(process, exitCode, status == QProcess::CrashExit); });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            onFailedToStart(process);
    });
    m_limit.start(CommandMs);
    process->start(program, arguments);
}

void Clock::startWrite()
{
    // The file and its folder are flushed to disk, which may take seconds:
    // done on the worker, not on the event loop. The queue waits for it, so
    // that the daemon's restart and whatever was asked after it follow the
    // file written. No limit: a thread cannot be stopped half-way.
    if (!m_worker)
        m_worker = std::make_unique<ThreadWorker>();
    const quint64 id = m_commands.head().id;
    const QString path = m_configFile;
    const QString server = m_commands.head().server;
    const Deferred<Written> result;
    const QPointer<Clock> self(this);
    result.done([self, id](Written written) {
        if (self)
            self->onWritten(id, written);
    });
    // Read by a clock going away while the write is under way, which gets no result.
    const auto written = std::make_shared<std::atomic<bool>>(false);
    m_written = written;
    if (!m_worker->execInThread([result, path, server, written] {
            Written outcome = writeConfig(path, server);
            written->store(outcome.ok);
            result.resolve(outcome);
        })) {
        Written refused;
        refused.lines << qMakePair(QtCriticalMsg, QStringLiteral("ERROR: Could not write %1 : no thread to write it on").arg(path));
        onWritten(id, refused);
    }
}

void Clock::onWritten(quint64 id, const Written &written)
{
    if (!m_running || m_commands.isEmpty() || m_commands.head().id != id)
        return;
    for (const auto &line : written.lines) {
        if (line.first == QtCriticalMsg)
            qCritical().noquote() << Tag_ + line.second;
        else
            qWarning().noquote() << Tag_ + line.second;
    }
    if (!written.ok) {
        // Nothing new for the daemon to read.
        for (int i = m_commands.size() - 1; i >= 1; --i)
            if (m_commands.at(i).after == id)
                m_commands.removeAt(i);
    }
    complete(written.ok, QString());
}

Clock::Written Clock::writeConfig(const QString &path, const QString &server)
{
    Written written;
    // A link names the file to change: the link stays.
    QString target = path;
    const QFileInfo info(path);
    if (info.isSymLink())
        target = info.exists() ? info.canonicalFilePath() : info.symLinkTarget();

    // A missing file holds only the defaults: it gets a [Time] section.
    const ConfigText current = readConfig(target);
    if (!current.ok && !current.missing) {
        written.lines << qMakePair(QtCriticalMsg, QStringLiteral("ERROR: Could not read %1 : %2").arg(path, current.error));
        return written;
    }
    const QByteArray edited = withNtpServer(current.content, server);
    removeLeftovers(target);
    QString reason;
    if (replaceFile(target, edited, current.missing ? nullptr : &current.info, &reason)) {
        written.ok = true;
        return written;
    }
    // The daemon's file must change all the same: a folder the program may
    // not write, a file mounted from elsewhere or given to an owner the
    // program cannot give a file to.
    written.lines << qMakePair(QtWarningMsg, QStringLiteral("WARN: Could not replace %1 : %2; writing it in place").arg(path, reason));
    if (writeInPlace(target, edited, current.content, &reason)) {
        written.ok = true;
        return written;
    }
    written.lines << qMakePair(QtCriticalMsg, QStringLiteral("ERROR: Could not write %1 : %2").arg(path, reason));
    return written;
}

void Clock::onFinished(QProcess *process, int exitCode, bool crashed)
{
    if (process != m_process)
        return;
    const QString line = commandLine(m_commands.head().program, m_commands.head().arguments);
    if (crashed) {
        commandFailed(QStringLiteral("ERROR: Command crashed '%1'").arg(line));
        complete(false, QString());
        return;
    }
    if (exitCode != 0) {
        const QString error = QString::fromUtf8(process->readAllStandardError()).trimmed().section(QLatin1Char('\n'), 0, 0);
        commandFailed(QStringLiteral("ERROR: Command failed '%1' : exitCode=%2 ").arg(line, QString::number(exitCode))
                      + (error.isEmpty() ? QString() : LogQuote::quote(error)));
        complete(false, QString());
        return;
    }
    QByteArray out = process->readAllStandardOutput();
    const int zero = out.indexOf('\0');
    if (zero >= 0)
        out.truncate(zero);
    if (m_failures.remove(line))
        qInfo().noquote() << Tag_ + QStringLiteral("Command works again '%1'").arg(line);
    complete(true, QString::fromUtf8(out));
}

void Clock::onFailedToStart(QProcess *process)
{
    if (process != m_process)
        return;
    const Command &command = m_commands.head();
    commandFailed(QStringLiteral("ERROR: Could not execute '%1' : error=%2")
                      .arg(commandLine(command.program, command.arguments), QString::number(int(process->error()))));
    // It never ran, so no finished() will delete it.
    process->deleteLater();
    complete(false, QString());
}

void Clock::onLimit()
{
    QProcess *process = m_process;
    if (!process)
        return;
    const Command &command = m_commands.head();
    commandFailed(QStringLiteral("ERROR: Could not execute '%1' : error=%2")
                      .arg(commandLine(command.program, command.arguments), QString::number(int(QProcess::Timedout))));
    // Killed, not waited for: its finished() deletes it whenever it comes.
    process->disconnect(this);
    process->kill();
    complete(false, QString());
}

void Clock::complete(bool ok, const QString &output)
{
    m_limit.stop();
    m_process = nullptr;
    m_running = false;
    const Command command = m_commands.dequeue();
    if (command.done)
        command.done(ok, output);
    // A status read after a change reports it, or that the system refused it:
    // from here on the writers compare with what the system says.
    if (command.program == QLatin1String("timedatectl") && command.arguments == QStringList{QStringLiteral("status")}) {
        if (m_askedZone && m_askedZone->first < command.id)
            m_askedZone.reset();
        if (m_askedNtp && m_askedNtp->first < command.id)
            m_askedNtp.reset();
    }
    startNext();
}

void Clock::commandFailed(const QString &message)
{
    // Once per failure for the clock's own reading of the system: without
    // systemd the status fails the same way at every refresh. What an
    // operator asked for is said every time it fails.
    const Command &command = m_commands.head();
    const QString line = commandLine(command.program, command.arguments);
    QString &last = m_failures[line];
    if (last == message && !command.changes)
        return;
    last = message;
    qCritical().noquote() << Tag_ + message;
}

QString Clock::capture(const QString &text, const QString &pattern)
{
    const QRegularExpressionMatch match = QRegularExpression(pattern).match(text);
    return match.hasMatch() ? match.captured(1) : QString();
}

void Clock::readTimezones()
{
    run(QStringLiteral("timedatectl"), {QStringLiteral("--no-pager"), QStringLiteral("list-timezones")},
        [this](bool, const QString &output) {
            PropertySetter::set(this, m_timezones, output.split(QLatin1Char('\n'), Qt::SkipEmptyParts), &Clock::timezonesChanged);
        });
}

bool Clock::isValidNtpServer(const QString &text)
{
    // Blanks separate the names; anything else outside these (a tab, a line feed) is refused.
    static const QRegularExpression allowed(QStringLiteral("\\A[A-Za-z0-9.: \\-]*\\z"));
    if (!allowed.match(text).hasMatch())
        return false;
    for (const QString &name : ntpNames(text))
        if (!isIPv4(name) && !isIPv6(name) && !isHostName(name))
            return false;
    return true;
}

QByteArray Clock::withNtpServer(const QByteArray &config, const QString &server)
{
    const QByteArray setting = "NTP=" + server.toLatin1();
    QList<QByteArray> lines = config.split('\n');
    bool replaced = false;
    int timeSection = -1;
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        if (isNtpLine(line)) {
            lines[i] = setting;
            replaced = true;
        } else if (timeSection < 0 && line.trimmed() == "[Time]") {
            timeSection = i;
        }
    }
    if (!replaced) {
        if (timeSection >= 0) {
            lines.insert(timeSection + 1, setting);
        } else {
            if (lines.last().isEmpty())
                lines.removeLast();
            lines << QByteArray("[Time]") << setting << QByteArray();
        }
    }
    return lines.join('\n');
}

int Clock::refreshInterval() const
{
    return m_timer.interval() / 1000;
}

void Clock::setRefreshInterval(int sec)
{
    if (sec < 1) {
        m_timer.stop();
        m_timer.setInterval(0);
        return;
    }
    // Capped at the longest period a timer holds rather than wrapped round.
    m_timer.setInterval(qMin(sec, std::numeric_limits<int>::max() / 1000) * 1000);
    m_timer.setSingleShot(false);
    m_timer.start();
    refresh();
}

void Clock::refresh()
{
    refreshStatus();
    refreshConfig();
}

void Clock::refreshStatus()
{
    run(QStringLiteral("timedatectl"), {QStringLiteral("status")}, [this](bool, const QString &output) { applyStatus(output); });
}

void Clock::applyStatus(const QString &output)
{
    if (output.isEmpty())
        return;

    const QString zone = capture(output, QStringLiteral("Time zone:\\s(.+)\\s\\("));
    PropertySetter::set(this, m_timezone, zone, &Clock::timezoneChanged, [&] {
        qInfo().noquote() << Tag_ + QStringLiteral("Timezone changed : ") + zone;
    });

    const bool synced = capture(output, QStringLiteral("System clock synchronized:\\s(.+)\\s")).contains(QLatin1String("yes"));
    PropertySetter::set(this, m_ntpSynced, synced, &Clock::ntpSyncedChanged, [&] {
        qInfo().noquote() << Tag_ + QStringLiteral("NTP sync changed : ") + (synced ? QStringLiteral("synced") : QStringLiteral("not synced"));
    });

    // systemd 236 to 238 print "systemd-timesyncd.service active: yes",
    // later ones "NTP service: active".
    const QString older = capture(output, QStringLiteral(".+\\.service active:\\s(.+)\\s"));
    const bool enabled = older.isNull()
                             ? capture(output, QStringLiteral("NTP service:\\s(.+)\\s")).trimmed() == QLatin1String("active")
                             : older.contains(QLatin1String("yes"));
    PropertySetter::set(this, m_ntpEnabled, enabled, &Clock::ntpEnabledChanged, [&] {
        qInfo().noquote() << Tag_ + QStringLiteral("NTP status changed : ") + (enabled ? QStringLiteral("enabled") : QStringLiteral("disabled"));
    });
}

void Clock::refreshConfig()
{
    // An empty, missing or unreadable file sets no server: the daemon then has none of ours either.
    const ConfigText text = readConfig(m_configFile);
    const QString problem = text.ok ? QString() : text.error;
    // Once per problem, not at every refresh.
    if (!problem.isEmpty() && problem != m_configProblem)
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: Could not read %1 : %2").arg(m_configFile, problem);
    m_configProblem = problem;

    // The first NTP= line in force: commented-out lines and FallbackNTP= are not the server.
    static const QRegularExpression active(QStringLiteral("^[ \\t]*NTP[ \\t]*=(.*)$"), QRegularExpression::MultilineOption);
    const QString server = text.ok ? active.match(QString::fromUtf8(text.content)).captured(1).trimmed() : QString();
    PropertySetter::set(this, m_ntpServer, server, &Clock::ntpServerChanged, [&] {
        qInfo().noquote() << Tag_ + QStringLiteral("NTP server changed : ") + LogQuote::quote(server);
    });
}

void Clock::setTimezone(const QString &zone)
{
    if (zone == (m_askedZone ? m_askedZone->second : m_timezone))
        return;
    if (zone.isEmpty() || !m_timezones.contains(zone)) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: Unknown time zone : ") + LogQuote::quote(zone);
        return;
    }
    const QStringList arguments{QStringLiteral("set-timezone"), zone};
    if (m_askedZone && amendWaiting(m_askedZone->first, arguments)) {
        m_askedZone->second = zone;
        return;
    }
    m_askedZone = qMakePair(change(QStringLiteral("timedatectl"), arguments), zone);
    refreshStatus();
}

void Clock::setNtpEnabled(bool enable)
{
    if (enable == (m_askedNtp ? m_askedNtp->second : m_ntpEnabled))
        return;
    qInfo().noquote() << Tag_ + QStringLiteral("Setting NTP : ") + (enable ? QStringLiteral("enabled") : QStringLiteral("disabled"));
    const QStringList arguments{QStringLiteral("set-ntp"), enable ? QStringLiteral("true") : QStringLiteral("false")};
    if (m_askedNtp && amendWaiting(m_askedNtp->first, arguments)) {
        m_askedNtp->second = enable;
        return;
    }
    m_askedNtp = qMakePair(change(QStringLiteral("timedatectl"), arguments), enable);
    refreshStatus();
}

void Clock::ntpSync()
{
    qInfo().noquote() << Tag_ + QStringLiteral("Requesting NTP sync");
    setNtpEnabled(true);
    refresh();
}

QString Clock::normalizedNtpServer(const QString &text)
{
    return ntpNames(text).join(QLatin1Char(' '));
}

void Clock::setNtpServer(const QString &server)
{
    const QString current = m_askedServer ? m_askedServer->second : m_ntpServer;
    if (server == current)
        return;
    if (!isValidNtpServer(server)) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: Refused NTP server : ") + LogQuote::quote(server);
        return;
    }
    // The same names with other blanks are the same server.
    if (normalizedNtpServer(server) == current)
        return;
    qInfo().noquote() << Tag_ + QStringLiteral("Setting NTP server : ") + LogQuote::quote(server);
    writeNtpServer(server);
}

bool Clock::writeNtpServer(const QString &server)
{
    if (!isValidNtpServer(server)) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: Refused NTP server : ") + LogQuote::quote(server);
        return false;
    }

    // Only the last server asked matters: a write still waiting gives way,
    // and the restart for it goes with it.
    QList<quint64> superseded;
    for (int i = 1; i < m_commands.size(); ++i)
        if (m_commands.at(i).program.isEmpty())
            superseded << m_commands.at(i).id;
    for (const quint64 id : qAsConst(superseded))
        dropWaiting(id);

    Command write;
    write.server = normalizedNtpServer(server);
    write.changes = true;
    write.id = ++m_lastId;
    const quint64 id = write.id;
    write.done = [this, id](bool, const QString &) {
        if (m_askedServer && m_askedServer->first == id)
            m_askedServer.reset();
        refreshConfig();
    };
    m_askedServer = qMakePair(id, write.server);
    enqueue(std::move(write));
    // Only a daemon that runs: a plain restart would start one that NTP switched off.
    change(QStringLiteral("systemctl"), {QStringLiteral("try-restart"), QStringLiteral("systemd-timesyncd")}, nullptr, id);
    return true;
}

} // namespace manager
