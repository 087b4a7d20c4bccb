#include "fakes/StubCommands.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace {

const char ConfVariable[] = "VORN_TIMESYNCD_CONF";

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// Common head of every stub: records the call (argument count, program and
// arguments, each ended by a zero byte) and applies a rule when one exists
// for "<program>.<sub-command>" or "<program>". The sub-command is the first
// argument that is no option and no path.
const char Head[] = R"SH(#!/bin/sh
PATH=/usr/bin:/bin
d='@DIR@'
n='@NAME@'
printf '%s\0' "$#" "$n" "$@" >> "$d/calls"
sub=
for a in "$@"; do
  case "$a" in
    -*) ;;
    */*) break ;;
    *) sub="$a"; break ;;
  esac
done
for r in "$d/rules/$n.$sub" "$d/rules/$n"; do
  [ -d "$r" ] || continue
  [ -e "$r/hang" ] && exec sleep 600
  [ -e "$r/crash" ] && kill -SEGV $$
  [ -e "$r/script" ] && . "$r/script"
  [ -e "$r/out" ] && cat "$r/out"
  [ -e "$r/err" ] && cat "$r/err" >&2
  rc=0
  [ -e "$r/rc" ] && rc=$(cat "$r/rc")
  exit "$rc"
done
s="$d/state"
)SH";

const char Timedatectl[] = R"SH(case "$sub" in
  list-timezones)
    cat "$s/zones" ;;
  status)
    zone=$(cat "$s/zone")
    if [ "$(cat "$s/ntp")" = yes ]; then ntp=active; else ntp=inactive; fi
    printf '               Local time: Mon 2024-01-15 12:00:00 UTC\n'
    printf '           Universal time: Mon 2024-01-15 12:00:00 UTC\n'
    printf '                 RTC time: Mon 2024-01-15 12:00:00\n'
    printf '                Time zone: %s (UTC, +0000)\n' "$zone"
    printf 'System clock synchronized: %s\n' "$(cat "$s/synced")"
    printf '              NTP service: %s\n' "$ntp"
    printf '          RTC in local TZ: no\n' ;;
  set-timezone)
    shift
    if grep -qxF -- "$1" "$s/zones"; then
      printf '%s' "$1" > "$s/zone"
    else
      echo "Failed to set time zone: Invalid or not installed time zone '$1'" >&2
      exit 1
    fi ;;
  set-ntp)
    shift
    case "$1" in
      true|yes|1|on) echo yes > "$s/ntp" ;;
      false|no|0|off) echo no > "$s/ntp" ;;
      *) echo "Failed to parse argument: $1" >&2; exit 1 ;;
    esac ;;
  *)
    echo "Unknown command verb $sub." >&2
    exit 1 ;;
esac
)SH";

// The time-synchronisation daemon is the NTP service timedatectl reports: a
// start or restart sets it running, a stop ends it, a try-restart leaves it
// as it was.
const char Systemctl[] = R"SH(unit=
for a in "$@"; do
  case "$a" in
    systemd-timesyncd|systemd-timesyncd.service) unit=timesyncd ;;
  esac
done
[ "$unit" = timesyncd ] || exit 0
case "$sub" in
  start|restart) echo yes > "$s/ntp" ;;
  stop) echo no > "$s/ntp" ;;
esac
exit 0
)SH";

} // namespace

StubCommands::StubCommands(bool isolated)
{
    if (!m_dir.isValid())
        return;
    QDir root(m_dir.path());
    if (!root.mkpath(QStringLiteral("bin")) || !root.mkpath(QStringLiteral("rules")) || !root.mkpath(QStringLiteral("state")))
        return;

    const QString realCp = QStandardPaths::findExecutable(QStringLiteral("cp"));
    install(QStringLiteral("timedatectl"), QString::fromLatin1(Timedatectl));
    install(QStringLiteral("cp"), QStringLiteral("exec '%1' \"$@\"\n").arg(realCp.isEmpty() ? QStringLiteral("/bin/cp") : realCp));
    install(QStringLiteral("sync"), QStringLiteral("exit 0\n"));
    install(QStringLiteral("systemctl"), QString::fromLatin1(Systemctl));
    writeFile(m_dir.filePath(QStringLiteral("calls")), QByteArray());
    setTimezones({QStringLiteral("Africa/Abidjan"), QStringLiteral("America/New_York"), QStringLiteral("Etc/UTC"),
                  QStringLiteral("Europe/Athens"), QStringLiteral("Europe/Berlin")});
    setTimezone(QStringLiteral("Etc/UTC"));
    setNtp(true);
    setSynced(true);

    if (!writeFile(timesyncdConf(), "[Time]\n#NTP=\n#FallbackNTP=0.debian.pool.ntp.org 1.debian.pool.ntp.org\n"))
        return;
    m_hadConf = qEnvironmentVariableIsSet(ConfVariable);
    m_savedConf = qgetenv(ConfVariable);
    qputenv(ConfVariable, QFile::encodeName(timesyncdConf()));

    m_hadPath = qEnvironmentVariableIsSet("PATH");
    m_savedPath = qgetenv("PATH");
    QByteArray path = QFile::encodeName(binDir());
    if (!isolated && !m_savedPath.isEmpty())
        path += ':' + m_savedPath;
    qputenv("PATH", path);
    m_valid = true;
}

StubCommands::~StubCommands()
{
    if (!m_valid)
        return;
    if (m_hadPath)
        qputenv("PATH", m_savedPath);
    else
        qunsetenv("PATH");
    if (m_hadConf)
        qputenv(ConfVariable, m_savedConf);
    else
        qunsetenv(ConfVariable);
}

QString StubCommands::timesyncdConf() const
{
    return m_dir.filePath(QStringLiteral("timesyncd.conf"));
}

QString StubCommands::binDir() const
{
    return m_dir.filePath(QStringLiteral("bin"));
}

void StubCommands::install(const QString &program, const QString &body)
{
    QString script = QString::fromLatin1(Head);
    script.replace(QStringLiteral("@DIR@"), m_dir.path()).replace(QStringLiteral("@NAME@"), program);
    const QString path = QDir(binDir()).filePath(program);
    writeFile(path, (script + body).toUtf8());
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                    | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

QList<StubCommands::Call> StubCommands::calls() const
{
    QFile file(m_dir.filePath(QStringLiteral("calls")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> fields = file.readAll().split('\0');
    QList<Call> result;
    // Count, program, arguments; the split leaves one empty field at the end.
    for (int i = 0; i + 1 < fields.size();) {
        const int count = fields.at(i).toInt();
        Call call;
        call.program = QString::fromUtf8(fields.value(i + 1));
        for (int a = 0; a < count; ++a)
            call.arguments << QString::fromUtf8(fields.value(i + 2 + a));
        result << call;
        i += 2 + count;
    }
    return result;
}

QList<StubCommands::Call> StubCommands::calls(const QString &program) const
{
    QList<Call> result;
    for (const Call &call : calls())
        if (call.program == program)
            result << call;
    return result;
}

QStringList StubCommands::callLines() const
{
    QStringList lines;
    for (const Call &call : calls())
        lines << (QStringList{call.program} + call.arguments).join(QLatin1Char(' '));
    return lines;
}

void StubCommands::clearCalls()
{
    writeFile(m_dir.filePath(QStringLiteral("calls")), QByteArray());
}

QString StubCommands::ruleDir(const QString &command) const
{
    return QDir(m_dir.filePath(QStringLiteral("rules"))).filePath(command.simplified().replace(QLatin1Char(' '), QLatin1Char('.')));
}

void StubCommands::setOutput(const QString &command, const QByteArray &output, int exitCode, const QByteArray &error)
{
    clearRule(command);
    const QString dir = ruleDir(command);
    QDir().mkpath(dir);
    writeFile(dir + QStringLiteral("/out"), output);
    writeFile(dir + QStringLiteral("/err"), error);
    writeFile(dir + QStringLiteral("/rc"), QByteArray::number(exitCode));
}

void StubCommands::setHang(const QString &command)
{
    clearRule(command);
    QDir().mkpath(ruleDir(command));
    writeFile(ruleDir(command) + QStringLiteral("/hang"), QByteArray());
}

void StubCommands::setScript(const QString &command, const QByteArray &script)
{
    clearRule(command);
    QDir().mkpath(ruleDir(command));
    writeFile(ruleDir(command) + QStringLiteral("/script"), script);
}

void StubCommands::setCrash(const QString &command)
{
    clearRule(command);
    QDir().mkpath(ruleDir(command));
    writeFile(ruleDir(command) + QStringLiteral("/crash"), QByteArray());
}

void StubCommands::clearRule(const QString &command)
{
    QDir(ruleDir(command)).removeRecursively();
}

void StubCommands::remove(const QString &program)
{
    QFile::remove(QDir(binDir()).filePath(program));
}

void StubCommands::writeState(const QString &name, const QByteArray &content)
{
    writeFile(QDir(m_dir.filePath(QStringLiteral("state"))).filePath(name), content);
}

QByteArray StubCommands::readState(const QString &name) const
{
    QFile file(QDir(m_dir.filePath(QStringLiteral("state"))).filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void StubCommands::setTimezones(const QStringList &zones)
{
    writeState(QStringLiteral("zones"), zones.isEmpty() ? QByteArray() : (zones.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
}

void StubCommands::setTimezone(const QString &zone)
{
    writeState(QStringLiteral("zone"), zone.toUtf8());
}

QString StubCommands::timezone() const
{
    return QString::fromUtf8(readState(QStringLiteral("zone")));
}

void StubCommands::setNtp(bool enabled)
{
    writeState(QStringLiteral("ntp"), enabled ? "yes\n" : "no\n");
}

bool StubCommands::ntp() const
{
    return readState(QStringLiteral("ntp")).trimmed() == "yes";
}

void StubCommands::setSynced(bool synced)
{
    writeState(QStringLiteral("synced"), synced ? "yes\n" : "no\n");
}
