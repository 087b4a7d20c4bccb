#include "devices/Clock.h"

#include "app/LogQuote.h"
#include "app/PropertySetter.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>

#include <limits>

namespace manager {

namespace {
const QString Tag_ = QStringLiteral("[Clock] ");
const int CommandMs = 1000;
const int RefreshMs = 10000;

QStringList ntpNames(const QString &text)
{
    return text.split(QRegularExpression(QStringLiteral("[ \\t]+")), Qt::SkipEmptyParts);
}

bool isIPv4(const QString &name)
{
    static const QRegularExpression dotted(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const QRegularExpressionMatch match = dotted.match(name);
    if (!match.hasMatch())
        return false;
    for (int i = 1; i <= 4; ++i)
        if (match.captured(i).toInt() > 255)
            return false;
    return true;
}

bool isIPv6(const QString &name)
{
    static const QRegularExpression chars(QStringLiteral("^[0-9A-Fa-f:.]+$"));
    return name.contains(QLatin1Char(':')) && chars.match(name).hasMatch()
           && QHostAddress(name).protocol() == QAbstractSocket::IPv6Protocol;
}

bool isHostName(const QString &name)
{
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
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
{
    m_timezones = readTimezones();
    initTimer();
    refresh();
}

Clock::~Clock() = default;

void Clock::initTimer()
{
    connect(&m_timer, &QTimer::timeout, this, &Clock::refresh);
    m_timer.setSingleShot(false);
    m_timer.start(RefreshMs);
}

bool Clock::run(const QString &program, const QStringList &arguments, int msecs, QString *output)
{
    const QString line = (QStringList{program} + arguments).join(QLatin1Char(' '));
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(msecs)) {
        // Not started, or still running: the process object kills it on return.
        qCritical().noquote() << Tag_ + QStringLiteral("ERROR: Could not execute '%1' : error=%2").arg(line, QString::number(int(process.error())));
        return false;
    }
    if (process.exitStatus() == QProcess::CrashExit) {
        qCritical().noquote() << Tag_ + QStringLiteral("ERROR: Command crashed '%1'").arg(line);
        return false;
    }
    if (process.exitCode() != 0) {
        const QString error = QString::fromUtf8(process.readAllStandardError()).trimmed().section(QLatin1Char('\n'), 0, 0);
        qCritical().noquote() << Tag_ + QStringLiteral("ERROR: Command failed '%1' : exitCode=%2 ").arg(line, QString::number(process.exitCode()))
                                     + (error.isEmpty() ? QString() : LogQuote::quote(error));
        return false;
    }
    QByteArray out = process.readAllStandardOutput();
    const int zero = out.indexOf('\0');
    if (zero >= 0)
        out.truncate(zero);
    if (output)
        *output = QString::fromUtf8(out);
    return true;
}

QString Clock::executeCmd(const QString &program, const QStringList &arguments, int msecs)
{
    QString output;
    return run(program, arguments, msecs, &output) ? output : QString();
}

QString Clock::capture(const QString &text, const QString &pattern)
{
    const QRegularExpressionMatch match = QRegularExpression(pattern).match(text);
    return match.hasMatch() ? match.captured(1) : QString();
}

QStringList Clock::readTimezones()
{
    return executeCmd(QStringLiteral("timedatectl"), {QStringLiteral("--no-pager"), QStringLiteral("list-timezones")}, CommandMs)
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool Clock::isValidNtpServer(const QString &text)
{
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9.:\\- \\t]*$"));
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
    const QString output = executeCmd(QStringLiteral("timedatectl"), {QStringLiteral("status")}, CommandMs);
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
        m_configProblem = problem;
        return;
    }
    m_configProblem.clear();
    if (content.isEmpty())
        return;

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
    executeCmd(QStringLiteral("timedatectl"), {QStringLiteral("set-timezone"), zone}, CommandMs);
    refreshStatus();
}

void Clock::setNtpEnabled(bool enable)
{
    if (enable == m_ntpEnabled)
        return;
    qInfo().noquote() << Tag_ + QStringLiteral("Setting NTP : ") + (enable ? QStringLiteral("enabled") : QStringLiteral("disabled"));
    executeCmd(QStringLiteral("timedatectl"), {QStringLiteral("set-ntp"), enable ? QStringLiteral("true") : QStringLiteral("false")}, CommandMs);
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
    qInfo().noquote() << Tag_ + QStringLiteral("Setting NTP server : ") + server;
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

    // The working copy sits in a folder only we can enter, under a name of its own.
    QTemporaryDir work(QDir(m_workDir).filePath(QStringLiteral("timesyncd-XXXXXX")));
    if (!work.isValid()) {
        qCritical().noquote() << Tag_ + QStringLiteral("ERROR: Could not make a working copy in %1 : %2").arg(m_workDir, work.errorString());
        return false;
    }
    const QString copy = work.filePath(QStringLiteral("timesyncd.conf"));
    QSaveFile out(copy);
    if (!out.open(QIODevice::WriteOnly) || out.write(edited) != edited.size() || !out.commit()) {
        qCritical().noquote() << Tag_ + QStringLiteral("ERROR: Could not write %1 : %2").arg(copy, out.errorString());
        return false;
    }

    const QList<QPair<QString, QStringList>> steps{
        {QStringLiteral("cp"), {QStringLiteral("-f"), copy, m_configFile}},
        {QStringLiteral("sync"), {}},
        {QStringLiteral("systemctl"), {QStringLiteral("restart"), QStringLiteral("systemd-timesyncd")}},
    };
    for (const auto &step : steps)
        if (!run(step.first, step.second, CommandMs, nullptr))
            return false;
    return true;
}

} // namespace manager
