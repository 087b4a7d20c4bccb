#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Stand-ins for the system commands the terminal runs (timedatectl, systemctl,
// cp, sync): small shell scripts in a temporary bin folder that goes first on
// PATH while the object lives, so no test ever reaches the real ones. Every
// call is recorded with its exact argument list. The clock's configuration
// file is one of the stubs' own too (VORN_TIMESYNCD_CONF names it while the
// object lives, for a program the test starts as well).
//
// By default they behave like the real thing on a quiet machine:
// - timedatectl keeps a time zone, the NTP switch and the synchronised flag
//   in files: "list-timezones" prints the zones, "status" prints the status
//   block of systemd 252, "set-timezone" (only a listed zone) and "set-ntp"
//   change them;
// - systemctl starts, restarts and stops the time-synchronisation daemon,
//   which is timedatectl's NTP service ("try-restart" leaves it as it is);
//   anything else it is asked succeeds and does nothing;
// - cp copies with the real cp; sync succeeds and does nothing.
// A rule replaces that for one command or one sub-command ("timedatectl
// status", "systemctl restart", "cp"): scripted output and exit code, a hang
// (until killed), a crash or a script of its own.
class StubCommands
{
public:
    struct Call
    {
        QString program;
        QStringList arguments;
    };

    // isolated: PATH holds the stubs' folder only (a removed stub is then a
    // missing command); otherwise the folder is put in front of PATH.
    explicit StubCommands(bool isolated = false);
    ~StubCommands();
    StubCommands(const StubCommands &) = delete;
    StubCommands &operator=(const StubCommands &) = delete;

    bool isValid() const { return m_valid; }
    QString binDir() const;
    // A folder of the stubs' own for the test's files.
    QString dir() const { return m_dir.path(); }
    // The time-synchronisation daemon's configuration in place of the system's:
    // the packaged file at first (no server set).
    QString timesyncdConf() const;

    // Calls so far, oldest first; of one program only.
    QList<Call> calls() const;
    QList<Call> calls(const QString &program) const;
    // The calls as "program arg arg ..." lines, for comparisons.
    QStringList callLines() const;
    void clearCalls();

    // Rules; command is a program or a program and its sub-command.
    void setOutput(const QString &command, const QByteArray &output, int exitCode = 0,
                   const QByteArray &error = QByteArray());
    void setHang(const QString &command);
    // Runs a shell script instead (sourced, with the call's arguments as $1, $2 ...).
    void setScript(const QString &command, const QByteArray &script);
    void setCrash(const QString &command);
    void clearRule(const QString &command);
    // Takes the program away (a missing command when isolated).
    void remove(const QString &program);

    // The fake timedatectl's state.
    void setTimezones(const QStringList &zones);
    void setTimezone(const QString &zone);
    QString timezone() const;
    void setNtp(bool enabled);
    bool ntp() const;
    void setSynced(bool synced);

private:
    QString ruleDir(const QString &command) const;
    void install(const QString &program, const QString &body);
    void writeState(const QString &name, const QByteArray &content);
    QByteArray readState(const QString &name) const;

    QTemporaryDir m_dir;
    QByteArray m_savedPath;
    bool m_hadPath = false;
    QByteArray m_savedConf;
    bool m_hadConf = false;
    bool m_valid = false;
};
