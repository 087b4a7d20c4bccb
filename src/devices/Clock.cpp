#include "devices/Clock.h"

#include "app/LogQuote.h"
#include "app/PropertySetter.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>

#include <fcntl.h>
#include <unistd.h>

#include <limits>

namespace manager {

namespace {
const QString Tag_ = QStringLiteral("[Clock] ");
const int CommandMs = 1000;
const int RefreshMs = 10000;

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
} // namespace

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
    m_commands.clear();
    if (m_process) {
        // Not waited for: it goes once its process has (see startNext).
        m_process->disconnect(this);
        m_process->kill();
    }
}

void Clock::initTimer()
{
    connect(&m_timer, &QTimer::timeout, this, &Clock::refresh);
    m_timer.setSingleShot(false);
    m_timer.start(RefreshMs);
}

void Clock::run(const QString &program, const QStringList &arguments, std::function<void(bool, const QString &)> done)
{
    m_commands.enqueue(Command{program, arguments, std::move(done)});
    if (m_commands.size() == 1)
        startNext();
}

void Clock::startNext()
{
    if (m_process || m_commands.isEmpty())
        return;
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
    const Command command = m_commands.dequeue();
    if (command.done)
        command.done(ok, output);
    startNext();
}

void Clock::commandFailed(const QString &message)
{
    // Once per failure: without systemd the status fails the same way at every refresh.
    const QString line = commandLine(m_commands.head().program, m_commands.head().arguments);
    QString &last = m_failures[line];
    if (last == message)
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
    QFile file(m_configFile);
    QByteArray content;
    QString problem;
    if (!file.open(QIODevice::ReadOnly))
        problem = file.errorString();
    else
        content = file.readAll();
    if (!problem.isEmpty()) {
        // Once per problem, not at every refresh.
        if (problem != m_configProblem)
            qWarning().noquote() << Tag_ + QStringLiteral("WARN: Could not read %1 : %2").arg(m_configFile, problem);
    }
    m_configProblem = problem;

    // The first NTP= line in force: commented-out lines and FallbackNTP= are not the server.
    static const QRegularExpression active(QStringLiteral("^[ \\t]*NTP[ \\t]*=(.*)$"), QRegularExpression::MultilineOption);
    const QString server = active.match(QString::fromUtf8(content)).captured(1).trimmed();
    PropertySetter::set(this, m_ntpServer, server, &Clock::ntpServerChanged, [&] {
        qInfo().noquote() << Tag_ + QStringLiteral("NTP server changed : ") + LogQuote::quote(server);
    });
}

void Clock::setTimezone(const QString &zone)
{
    if (zone == m_timezone)
        return;
    if (zone.isEmpty() || !m_timezones.contains(zone)) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: Unknown time zone : ") + LogQuote::quote(zone);
        return;
    }
    run(QStringLiteral("timedatectl"), {QStringLiteral("set-timezone"), zone});
    refreshStatus();
}

void Clock::setNtpEnabled(bool enable)
{
    if (enable == m_ntpEnabled)
        return;
    qInfo().noquote() << Tag_ + QStringLiteral("Setting NTP : ") + (enable ? QStringLiteral("enabled") : QStringLiteral("disabled"));
    run(QStringLiteral("timedatectl"), {QStringLiteral("set-ntp"), enable ? QStringLiteral("true") : QStringLiteral("false")});
    refreshStatus();
}

void Clock::ntpSync()
{
    qInfo().noquote() << Tag_ + QStringLiteral("Requesting NTP sync");
    setNtpEnabled(true);
    refresh();
}

void Clock::setNtpServer(const QString &server)
{
    if (server == m_ntpServer)
        return;
    if (!isValidNtpServer(server)) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: Refused NTP server : ") + LogQuote::quote(server);
        return;
    }
    qInfo().noquote() << Tag_ + QStringLiteral("Setting NTP server : ") + LogQuote::quote(server);
    writeNtpServer(server);
    refreshConfig();
}

bool Clock::writeNtpServer(const QString &server)
{
    if (!isValidNtpServer(server)) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: Refused NTP server : ") + LogQuote::quote(server);
        return false;
    }

    // A missing file holds only the defaults: it gets a [Time] section.
    QByteArray current;
    QFile file(m_configFile);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            qCritical().noquote() << Tag_ + QStringLiteral("ERROR: Could not read %1 : %2").arg(m_configFile, file.errorString());
            return false;
        }
        current = file.readAll();
        file.close();
    }
    const QByteArray edited = withNtpServer(current, ntpNames(server).join(QLatin1Char(' ')));

    // Written beside the live file, flushed and renamed over it: a failure
    // (disk full) leaves the old file whole, never an empty one.
    QSaveFile out(m_configFile);
    if (!out.open(QIODevice::WriteOnly) || out.write(edited) != edited.size() || !out.flush()) {
        qCritical().noquote() << Tag_ + QStringLiteral("ERROR: Could not write %1 : %2").arg(m_configFile, out.errorString());
        return false;
    }
    // Flushing to disk is best effort, and done here: a sync command stuck
    // on a slow disk must not keep the daemon from its restart.
    ::fsync(out.handle());
    if (!out.commit()) {
        qCritical().noquote() << Tag_ + QStringLiteral("ERROR: Could not write %1 : %2").arg(m_configFile, out.errorString());
        return false;
    }
    const int folder = ::open(QFile::encodeName(QFileInfo(m_configFile).absolutePath()).constData(), O_RDONLY | O_DIRECTORY);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }

    run(QStringLiteral("systemctl"), {QStringLiteral("restart"), QStringLiteral("systemd-timesyncd")});
    return true;
}

} // namespace manager
