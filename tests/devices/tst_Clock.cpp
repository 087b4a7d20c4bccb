#include "devices/Clock.h"

#include "async/ThreadWorker.h"
#include "fakes/HeldWorker.h"

#include "fakes/EventLoopWait.h"
#include "fakes/LogCapture.h"
#include "fakes/SignalRecorder.h"
#include "fakes/StubCommands.h"

#include <QDir>
#include <QFile>
#include <QSemaphore>
#include <QtTest>

#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <limits>
#include <memory>

using manager::Clock;

namespace {

const QByteArray DebianDefault = "#  This file is part of systemd.\n"
                                 "#\n"
                                 "# See timesyncd.conf(5) for details.\n"
                                 "\n"
                                 "[Time]\n"
                                 "#NTP=\n"
                                 "#FallbackNTP=0.debian.pool.ntp.org 1.debian.pool.ntp.org\n"
                                 "#RootDistanceMaxSec=5\n";

QByteArray status(const QString &zone, const QString &synced, const QString &ntp)
{
    return QString("               Local time: Mon 2024-01-15 14:00:00 EET\n"
                   "                Time zone: %1\n"
                   "System clock synchronized: %2\n"
                   "              NTP service: %3\n"
                   "          RTC in local TZ: no\n")
        .arg(zone, synced, ntp)
        .toUtf8();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeAll(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// Mounts made by this program stay in it: set up in main() before any thread, when the
// system allows (as root); the tests that mount skip otherwise.
bool g_ownMounts = false;

bool enterOwnMounts()
{
    if (::unshare(CLONE_NEWNS) != 0)
        return false;
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// While it lives, the calling thread (and every thread it starts) obeys permission bits as
// any other user does, also as root: the system then refuses what it refuses a terminal
// program that is not root.
class WithoutOverride
{
public:
    // chown: nor may it give a file to another owner.
    explicit WithoutOverride(bool chown = false)
    {
        if (::geteuid() != 0)
            return;
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct limited[2];
        std::memcpy(limited, m_saved, sizeof limited);
        for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER, chown ? CAP_CHOWN : CAP_DAC_OVERRIDE})
            limited[cap / 32].effective &= ~(1u << (cap % 32));
        m_active = ::syscall(SYS_capset, &m_header, limited) == 0;
    }
    ~WithoutOverride()
    {
        if (m_active)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    WithoutOverride(const WithoutOverride &) = delete;
    WithoutOverride &operator=(const WithoutOverride &) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_active = false;
};

struct FileStat
{
    uint owner = 0;
    uint group = 0;
    uint mode = 0;
};

FileStat fileStat(const QString &path)
{
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return FileStat{uint(-1), uint(-1), 0};
    return FileStat{st.st_uid, st.st_gid, uint(st.st_mode & 07777)};
}

QStringList folderEntries(const QString &dir)
{
    return QDir(dir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden | QDir::System);
}

} // namespace

class TestClock : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void constructionReadsTheSystem();
    void statusOutputs_data();
    void statusOutputs();
    void timezoneList_data();
    void timezoneList();
    void setTimezone();
    void setTimezoneRefused_data();
    void setTimezoneRefused();
    void ntpSwitch();
    void ntpSync();
    void serverFromTheFile_data();
    void serverFromTheFile();
    void emptyOrUnreadableFileIsNoServer();
    void serverTexts_data();
    void serverTexts();
    void fileEdits_data();
    void fileEdits();
    void setNtpServerRunsTheSteps();
    void refusedServerChangesNothing_data();
    void refusedServerChangesNothing();
    void writeFailures_data();
    void writeFailures();
    void missingCommand();
    void repeatedFailureLoggedOnce();
    void commandLinesLoggedAsRun();
    void hungCommandKeepsTheLoopServing_data();
    void hungCommandKeepsTheLoopServing();
    void refreshInterval();
    void configFileFromTheEnvironment();
    void replacedFileKeepsItsOwner_data();
    void replacedFileKeepsItsOwner();
    void writeFallsBackInPlace_data();
    void writeFallsBackInPlace();
    void linkedFileWrittenAtItsTarget();
    void notARegularFile_data();
    void notARegularFile();
    void slowDiskKeepsTheLoopServing();
    void writeUnderWayOutlivesTheClock();
    void repeatedRequestsMerge_data();
    void repeatedRequestsMerge();
    void lastRequestWins_data();
    void lastRequestWins();
    void operatorCommandsLogEveryFailure_data();
    void operatorCommandsLogEveryFailure();
    void requestsRunInTheOrderAsked_data();
    void requestsRunInTheOrderAsked();
    void leftoverTemporaryFilesGo();

private:
    // The configuration in a folder of its own, so what is left beside it shows.
    QString configDir() const { return m_stubs->dir() + "/etc"; }
    QString configPath() const { return configDir() + "/timesyncd.conf"; }
    // A clock on the stubs, its file in the stubs' folder, idle, calls cleared.
    void makeClock();
    // Until the clock's commands have run.
    bool settle(Clock *clock = nullptr)
    {
        Clock *c = clock ? clock : m_clock.get();
        return waitUntil([c] { return !c->busy(); }, 15000);
    }

    std::unique_ptr<StubCommands> m_stubs;
    std::unique_ptr<Clock> m_clock;
};

void TestClock::init()
{
    m_stubs.reset(new StubCommands(true));
    QVERIFY(m_stubs->isValid());
    QVERIFY(QDir().mkpath(configDir()));
    QVERIFY(writeAll(configPath(), DebianDefault));
}

void TestClock::cleanup()
{
    m_clock.reset();
    m_stubs.reset();
}

void TestClock::makeClock()
{
    m_clock.reset(new Clock);
    m_clock->setRefreshInterval(0); // refreshes only when the test asks
    m_clock->setConfigFile(configPath());
    m_clock->refresh();
    QVERIFY(settle());
    m_stubs->clearCalls();
}

void TestClock::constructionReadsTheSystem()
{
    m_stubs->setTimezone("Europe/Athens");
    m_stubs->setSynced(false);
    LogCapture log;
    Clock clock;
    QVERIFY(settle(&clock));
    QCOMPARE(m_stubs->callLines(), QStringList({"timedatectl --no-pager list-timezones", "timedatectl status"}));
    QCOMPARE(clock.timezones(),
             QStringList({"Africa/Abidjan", "America/New_York", "Etc/UTC", "Europe/Athens", "Europe/Berlin"}));
    QCOMPARE(clock.timezone(), QString("Europe/Athens"));
    QVERIFY(clock.ntpEnabled());
    QVERIFY(!clock.ntpSynced());
    QCOMPARE(clock.refreshInterval(), 10);
    QVERIFY(log.texts(QtInfoMsg).contains("[Clock] Timezone changed : Europe/Athens"));
    QVERIFY(log.texts(QtInfoMsg).contains("[Clock] NTP status changed : enabled"));
    QVERIFY(!log.texts(QtInfoMsg).contains("[Clock] NTP sync changed : not synced"));
    QCOMPARE(log.texts(QtCriticalMsg), QStringList());
}

void TestClock::statusOutputs_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("zone");
    QTest::addColumn<bool>("synced");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("emitted");
    QTest::addColumn<QStringList>("logged");

    // The clock starts at Etc/UTC, synchronised, NTP on.
    QTest::newRow("unchanged") << status("Etc/UTC (UTC, +0000)", "yes", "active") << 0 << "Etc/UTC" << true << true
                               << "" << QStringList{};
    QTest::newRow("both no") << status("Etc/UTC (UTC, +0000)", "no", "inactive") << 0 << "Etc/UTC" << false << false
                             << "ntpSyncedChanged ntpEnabledChanged"
                             << QStringList{"[Clock] NTP sync changed : not synced", "[Clock] NTP status changed : disabled"};
    QTest::newRow("service not available") << status("Etc/UTC (UTC, +0000)", "yes", "n/a") << 0 << "Etc/UTC" << true
                                           << false << "ntpEnabledChanged"
                                           << QStringList{"[Clock] NTP status changed : disabled"};
    QTest::newRow("new zone") << status("America/Argentina/Buenos_Aires (-03, -0300)", "yes", "active") << 0
                              << "America/Argentina/Buenos_Aires" << true << true << "timezoneChanged"
                              << QStringList{"[Clock] Timezone changed : America/Argentina/Buenos_Aires"};
    QTest::newRow("systemd 236 wording")
        << QByteArray("                Time zone: Etc/UTC (UTC, +0000)\n"
                      "System clock synchronized: no\n"
                      "systemd-timesyncd.service active: no\n")
        << 0 << "Etc/UTC" << false << false << "ntpSyncedChanged ntpEnabledChanged"
        << QStringList{"[Clock] NTP sync changed : not synced", "[Clock] NTP status changed : disabled"};
    QTest::newRow("no zone line: empty zone") << QByteArray("System clock synchronized: yes\nNTP service: active\n") << 0
                                              << "" << true << true << "timezoneChanged"
                                              << QStringList{"[Clock] Timezone changed : "};
    QTest::newRow("empty output") << QByteArray() << 0 << "Etc/UTC" << true << true << "" << QStringList{};
    QTest::newRow("failed") << status("Europe/Athens (EET, +0200)", "no", "inactive") << 1 << "Etc/UTC" << true << true
                            << "" << QStringList{};
}

void TestClock::statusOutputs()
{
    QFETCH(QByteArray, output);
    QFETCH(int, exitCode);
    QFETCH(QString, zone);
    QFETCH(bool, synced);
    QFETCH(bool, enabled);
    QFETCH(QString, emitted);
    QFETCH(QStringList, logged);

    makeClock();
    SignalRecorder signalsSeen(m_clock.get());
    LogCapture log;
    m_stubs->setOutput("timedatectl status", output, exitCode, "Failed to connect to bus\n");
    m_clock->refresh();
    QVERIFY(settle());
    QCOMPARE(m_clock->timezone(), zone);
    QCOMPARE(m_clock->ntpSynced(), synced);
    QCOMPARE(m_clock->ntpEnabled(), enabled);
    QCOMPARE(signalsSeen.take(), emitted);
    QCOMPARE(log.texts(QtInfoMsg), logged);
    QCOMPARE(log.texts(QtCriticalMsg),
             exitCode ? QStringList{"[Clock] ERROR: Command failed 'timedatectl status' : exitCode=1 Failed to connect to bus"}
                      : QStringList{});
}

void TestClock::timezoneList_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("zones");

    QTest::newRow("listed") << QByteArray("Europe/Athens\nEurope/Berlin\n") << 0 << QStringList{"Europe/Athens", "Europe/Berlin"};
    QTest::newRow("no final line feed") << QByteArray("Europe/Athens\nUTC") << 0 << QStringList{"Europe/Athens", "UTC"};
    QTest::newRow("nothing listed") << QByteArray() << 0 << QStringList{};
    QTest::newRow("failed") << QByteArray("Europe/Athens\n") << 1 << QStringList{};
}

void TestClock::timezoneList()
{
    QFETCH(QByteArray, output);
    QFETCH(int, exitCode);
    QFETCH(QStringList, zones);

    m_stubs->setOutput("timedatectl list-timezones", output, exitCode);
    Clock clock;
    QVERIFY(settle(&clock));
    QCOMPARE(clock.timezones(), zones);
    QCOMPARE(clock.property("timezones").toStringList(), zones);
}

void TestClock::setTimezone()
{
    makeClock();
    SignalRecorder signalsSeen(m_clock.get());
    m_clock->setTimezone("Etc/UTC"); // the current one
    QCOMPARE(m_stubs->callLines(), QStringList());

    QVERIFY(m_clock->setProperty("timezone", "Europe/Athens")); // as the settings page writes it
    QVERIFY(settle());
    QCOMPARE(m_stubs->callLines(), QStringList({"timedatectl set-timezone Europe/Athens", "timedatectl status"}));
    QCOMPARE(m_clock->timezone(), QString("Europe/Athens"));
    QCOMPARE(signalsSeen.take(), QString("timezoneChanged"));

    // Listed here but refused by the system: the property stays.
    m_stubs->setTimezones({"Europe/Athens"});
    m_stubs->clearCalls();
    LogCapture log;
    m_clock->setTimezone("Europe/Berlin");
    QVERIFY(settle());
    QCOMPARE(m_stubs->callLines(), QStringList({"timedatectl set-timezone Europe/Berlin", "timedatectl status"}));
    QCOMPARE(m_clock->timezone(), QString("Europe/Athens"));
    QCOMPARE(signalsSeen.take(), QString());
    QCOMPARE(log.texts(QtCriticalMsg),
             QStringList{"[Clock] ERROR: Command failed 'timedatectl set-timezone Europe/Berlin' : exitCode=1 "
                         "Failed to set time zone: Invalid or not installed time zone 'Europe/Berlin'"});
}

void TestClock::setTimezoneRefused_data()
{
    QTest::addColumn<QString>("zone");
    QTest::addColumn<QString>("logged");

    QTest::newRow("not listed") << "Mars/Olympus_Mons" << "Mars/Olympus_Mons";
    QTest::newRow("an option") << "--help" << "--help";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("line feed") << "Europe/Athens\nx" << "Europe/Athens\\nx";
}

void TestClock::setTimezoneRefused()
{
    QFETCH(QString, zone);
    QFETCH(QString, logged);

    makeClock();
    SignalRecorder signalsSeen(m_clock.get());
    LogCapture log;
    m_clock->setTimezone(zone);
    QCOMPARE(m_stubs->callLines(), QStringList());
    QCOMPARE(m_clock->timezone(), QString("Etc/UTC"));
    QCOMPARE(signalsSeen.take(), QString());
    QCOMPARE(log.texts(QtWarningMsg), QStringList{"[Clock] WARN: Unknown time zone : " + logged});
}

void TestClock::ntpSwitch()
{
    makeClock();
    SignalRecorder signalsSeen(m_clock.get());
    LogCapture log;
    m_clock->setNtpEnabled(true); // already on
    QCOMPARE(m_stubs->callLines(), QStringList());

    QVERIFY(m_clock->setProperty("ntpEnabled", false));
    QVERIFY(settle());
    QCOMPARE(m_stubs->callLines(), QStringList({"timedatectl set-ntp false", "timedatectl status"}));
    QVERIFY(!m_clock->ntpEnabled());
    QVERIFY(!m_stubs->ntp());
    QCOMPARE(signalsSeen.take(), QString("ntpEnabledChanged"));

    // The system refuses: the switch stays off.
    m_stubs->setOutput("timedatectl set-ntp", "", 1, "Failed to set ntp: NTP not supported\n");
    m_stubs->clearCalls();
    m_clock->setNtpEnabled(true);
    QVERIFY(settle());
    QCOMPARE(m_stubs->callLines(), QStringList({"timedatectl set-ntp true", "timedatectl status"}));
    QVERIFY(!m_clock->ntpEnabled());
    QCOMPARE(signalsSeen.take(), QString());
    QCOMPARE(log.texts(QtInfoMsg), QStringList({"[Clock] Setting NTP : disabled", "[Clock] NTP status changed : disabled",
                                                "[Clock] Setting NTP : enabled"}));
}

void TestClock::ntpSync()
{
    makeClock();
    LogCapture log;
    m_clock->ntpSync(); // NTP already on: only the refresh
    QVERIFY(settle());
    QCOMPARE(m_stubs->callLines(), QStringList{"timedatectl status"});
    QCOMPARE(log.texts(QtInfoMsg), QStringList{"[Clock] Requesting NTP sync"});

    m_stubs->setNtp(false);
    m_stubs->setSynced(false);
    m_clock->refresh();
    QVERIFY(settle());
    QVERIFY(!m_clock->ntpEnabled());
    m_stubs->clearCalls();
    m_clock->ntpSync();
    QVERIFY(settle());
    // The switch's status read and the refresh's are one.
    QCOMPARE(m_stubs->callLines(), QStringList({"timedatectl set-ntp true", "timedatectl status"}));
    QVERIFY(m_clock->ntpEnabled());
    QVERIFY(!m_clock->ntpSynced());
}

void TestClock::serverFromTheFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("server");

    QTest::newRow("the default file") << DebianDefault << "";
    QTest::newRow("set") << QByteArray("[Time]\nNTP=ntp.example.org 10.0.0.1\n") << "ntp.example.org 10.0.0.1";
    QTest::newRow("blanks around") << QByteArray("[Time]\n  NTP=  ntp.example.org  \n") << "ntp.example.org";
    QTest::newRow("commented out, then set") << QByteArray("#NTP=old.example.org\nNTP=new.example.org\n") << "new.example.org";
    QTest::newRow("fallback is not the server") << QByteArray("[Time]\nFallbackNTP=fallback.example.org\n") << "";
    QTest::newRow("empty setting") << QByteArray("[Time]\nNTP=\nFallbackNTP=fallback.example.org\n") << "";
    QTest::newRow("carriage returns") << QByteArray("[Time]\r\nNTP=ntp.example.org\r\n") << "ntp.example.org";
    QTest::newRow("blanks around the equals sign") << QByteArray("[Time]\nNTP = ntp.example.org\n") << "ntp.example.org";
    QTest::newRow("a longer key") << QByteArray("[Time]\nNTPServers=x.example.org\n") << "";
}

void TestClock::serverFromTheFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, server);

    QVERIFY(writeAll(configPath(), "[Time]\nNTP=before.example.org\n"));
    makeClock();
    QCOMPARE(m_clock->ntpServer(), QString("before.example.org"));
    QVERIFY(writeAll(configPath(), content));
    QSignalSpy changed(m_clock.get(), &Clock::ntpServerChanged);
    m_clock->refresh();
    QCOMPARE(m_clock->ntpServer(), server);
    QCOMPARE(changed.count(), 1);
    m_clock->refresh();
    QCOMPARE(changed.count(), 1);
}

// An empty, missing or unreadable file sets no server, as the daemon reads it; the reason is logged once.
void TestClock::emptyOrUnreadableFileIsNoServer()
{
    QVERIFY(writeAll(configPath(), "[Time]\nNTP=ntp.example.org\n"));
    makeClock();
    QSignalSpy changed(m_clock.get(), &Clock::ntpServerChanged);
    LogCapture log;
    QVERIFY(writeAll(configPath(), ""));
    m_clock->refresh();
    QCOMPARE(m_clock->ntpServer(), QString());
    QCOMPARE(changed.count(), 1);

    QVERIFY(writeAll(configPath(), "[Time]\nNTP=ntp.example.org\n"));
    m_clock->refresh();
    QCOMPARE(m_clock->ntpServer(), QString("ntp.example.org"));
    QVERIFY(QFile::remove(configPath()));
    m_clock->refresh();
    m_clock->refresh();
    QCOMPARE(m_clock->ntpServer(), QString());
    QCOMPARE(changed.count(), 3);
    QCOMPARE(log.count(QtWarningMsg, "[Clock] WARN: Could not read " + configPath()), 1);

    // A folder where the file should be cannot be read either.
    QVERIFY(writeAll(configPath(), "[Time]\nNTP=ntp.example.org\n"));
    m_clock->refresh();
    QVERIFY(QFile::remove(configPath()));
    QVERIFY(QDir().mkpath(configPath()));
    m_clock->refresh();
    QCOMPARE(m_clock->ntpServer(), QString());
    QCOMPARE(log.count(QtWarningMsg, "[Clock] WARN: Could not read " + configPath()), 2);
    QVERIFY(settle());
}

void TestClock::serverTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");

    QTest::newRow("host") << "ntp.example.org" << true;
    QTest::newRow("single label") << "timeserver" << true;
    QTest::newRow("trailing dot") << "ntp.example.org." << true;
    QTest::newRow("hyphen inside") << "ntp-1.example.org" << true;
    QTest::newRow("IPv4") << "192.168.1.10" << true;
    QTest::newRow("IPv6") << "2001:db8::1" << true;
    QTest::newRow("several, blanks") << " 0.pool.ntp.org 1.pool.ntp.org  10.0.0.1 " << true;
    QTest::newRow("zero octets") << "10.0.0.0" << true;
    QTest::newRow("nothing") << "" << true;
    QTest::newRow("semicolon and command") << "ntp.example.org;reboot" << false;
    QTest::newRow("command substitution") << "$(reboot)" << false;
    QTest::newRow("sed delimiter") << "a/e reboot/" << false;
    QTest::newRow("line feed") << "ntp.example.org\nFallbackNTP=evil" << false;
    QTest::newRow("carriage return") << "ntp.example.org\r" << false;
    QTest::newRow("option") << "-f" << false;
    QTest::newRow("leading hyphen label") << "-ntp.example.org" << false;
    QTest::newRow("empty label") << "ntp..example.org" << false;
    QTest::newRow("underscore") << "ntp_1.example.org" << false;
    QTest::newRow("address out of range") << "192.168.1.256" << false;
    QTest::newRow("three numbers") << "10.0.1" << false;
    QTest::newRow("IPv6 nonsense") << "1:2:3:4:5:6:7:8:9" << false;
    QTest::newRow("non-ASCII") << QString::fromUtf8("ntp.εxample.org") << false;
    QTest::newRow("label too long") << QString(64, 'a') + ".org" << false;
    QTest::newRow("zero byte") << QString("ntp") + QChar(0) + "x" << false;
    // Read as octal by the resolver (8.0.0.1): another server than the one shown.
    QTest::newRow("leading zeros") << "010.000.000.001" << false;
    QTest::newRow("one leading zero") << "10.0.0.01" << false;
    QTest::newRow("leading zeros, second name") << "ntp.example.org 192.168.001.10" << false;
    // No control character, not even where a pattern's end would let it pass.
    QTest::newRow("final line feed") << "ntp.example.org\n" << false;
    QTest::newRow("final line feed after an address") << "10.0.0.1\n" << false;
    QTest::newRow("tab") << "0.pool.ntp.org\t1.pool.ntp.org" << false;
    QTest::newRow("delete") << QString("ntp.example.org") + QChar(0x7f) << false;
}

void TestClock::serverTexts()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(Clock::isValidNtpServer(text), valid);
}

void TestClock::fileEdits_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("the default file")
        << DebianDefault << "ntp.example.org"
        << QByteArray(DebianDefault).replace("#NTP=\n", "NTP=ntp.example.org\n");
    QTest::newRow("replaces a setting") << QByteArray("[Time]\nNTP=old.example.org\n#RootDistanceMaxSec=5\n")
                                        << "10.0.0.1 10.0.0.2"
                                        << QByteArray("[Time]\nNTP=10.0.0.1 10.0.0.2\n#RootDistanceMaxSec=5\n");
    QTest::newRow("every NTP line") << QByteArray("[Time]\n#NTP=a.example.org\nNTP=b.example.org\n") << "c.example.org"
                                    << QByteArray("[Time]\nNTP=c.example.org\nNTP=c.example.org\n");
    QTest::newRow("other keys kept") << QByteArray("[Time]\nFallbackNTP=f.example.org\n#FallbackNTP=g\nMyNTP=x\n")
                                     << "ntp.example.org"
                                     << QByteArray("[Time]\nNTP=ntp.example.org\nFallbackNTP=f.example.org\n#FallbackNTP=g\nMyNTP=x\n");
    QTest::newRow("no section") << QByteArray("# comment\n") << "ntp.example.org"
                                << QByteArray("# comment\n[Time]\nNTP=ntp.example.org\n");
    QTest::newRow("no final line feed") << QByteArray("# comment") << "ntp.example.org"
                                        << QByteArray("# comment\n[Time]\nNTP=ntp.example.org\n");
    QTest::newRow("empty file") << QByteArray() << "ntp.example.org" << QByteArray("[Time]\nNTP=ntp.example.org\n");
    QTest::newRow("cleared") << QByteArray("[Time]\nNTP=old.example.org\n") << "" << QByteArray("[Time]\nNTP=\n");
    // Every setting the daemon would read is replaced, so the old server does not stay in force beside the new.
    QTest::newRow("indented setting") << QByteArray("[Time]\n  NTP=old.example.org\n") << "new.example.org"
                                      << QByteArray("[Time]\nNTP=new.example.org\n");
    QTest::newRow("blanks around the equals sign") << QByteArray("[Time]\nNTP\t = old.example.org\n") << "new.example.org"
                                                   << QByteArray("[Time]\nNTP=new.example.org\n");
    QTest::newRow("longer keys kept") << QByteArray("[Time]\nNTPServers=x\n# NTP=y\n") << "new.example.org"
                                      << QByteArray("[Time]\nNTP=new.example.org\nNTPServers=x\n# NTP=y\n");
    QTest::newRow("other bytes kept") << QByteArray("# caf\xe9\n[Time]\r\nNTP=a\n") << "b.example.org"
                                      << QByteArray("# caf\xe9\n[Time]\r\nNTP=b.example.org\n");
}

void TestClock::fileEdits()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, server);
    QFETCH(QByteArray, after);
    QCOMPARE(Clock::withNtpServer(before, server), after);
}

void TestClock::setNtpServerRunsTheSteps()
{
    makeClock();
    QCOMPARE(m_clock->ntpServer(), QString());
    SignalRecorder signalsSeen(m_clock.get());
    LogCapture log;
    QVERIFY(m_clock->setProperty("ntpServer", "  ntp1.example.org   192.168.1.10 "));
    // The file is written, and read back, before the daemon is restarted to read it.
    QVERIFY(settle());
    QCOMPARE(readAll(configPath()), QByteArray(DebianDefault).replace("#NTP=\n", "NTP=ntp1.example.org 192.168.1.10\n"));
    QCOMPARE(m_clock->ntpServer(), QString("ntp1.example.org 192.168.1.10"));
    QCOMPARE(m_stubs->callLines(), QStringList{"systemctl try-restart systemd-timesyncd"});
    // Nothing left beside it.
    QCOMPARE(QDir(configDir()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden), QStringList{"timesyncd.conf"});
    QCOMPARE(signalsSeen.take(), QString("ntpServerChanged"));
    QCOMPARE(log.texts(QtInfoMsg), QStringList({"[Clock] Setting NTP server : " + QString("  ntp1.example.org   192.168.1.10 "),
                                                "[Clock] NTP server changed : ntp1.example.org 192.168.1.10"}));

    // The current server again, also with other blanks: nothing runs.
    m_stubs->clearCalls();
    m_clock->setNtpServer("ntp1.example.org 192.168.1.10");
    m_clock->setNtpServer(" ntp1.example.org  192.168.1.10 ");
    QVERIFY(settle());
    QCOMPARE(m_stubs->callLines(), QStringList());
    QCOMPARE(log.texts(QtInfoMsg).size(), 2);

    // The file replaced keeps its permissions.
    const QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    QVERIFY(QFile::setPermissions(configPath(), permissions));
    QVERIFY(m_clock->writeNtpServer("ntp3.example.org"));
    QVERIFY(settle());
    QCOMPARE(readAll(configPath()), QByteArray(DebianDefault).replace("#NTP=\n", "NTP=ntp3.example.org\n"));
    QCOMPARE(QFile::permissions(configPath()) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser), permissions);

    // A missing file is made with the one setting.
    QVERIFY(QFile::remove(configPath()));
    QVERIFY(m_clock->writeNtpServer("ntp2.example.org"));
    QVERIFY(settle());
    QCOMPARE(readAll(configPath()), QByteArray("[Time]\nNTP=ntp2.example.org\n"));
}

void TestClock::refusedServerChangesNothing_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("logged");

    QTest::newRow("sed script") << "x/;1e reboot;s/x" << "x/;1e reboot;s/x";
    QTest::newRow("second line") << "ntp.example.org\n[Time]" << "ntp.example.org\\n[Time]";
    QTest::newRow("shell") << "`reboot`" << "`reboot`";
    QTest::newRow("escape sequence") << "\x1b[2Jntp" << "\\x1b[2Jntp";
    QTest::newRow("final line feed") << "ntp.example.org\n" << "ntp.example.org\\n";
    QTest::newRow("leading zeros") << "010.000.000.001" << "010.000.000.001";
    QTest::newRow("long") << QString(600, 'a') + "!" << QString(512, 'a') + "[... 601 bytes in all]";
}

void TestClock::refusedServerChangesNothing()
{
    QFETCH(QString, server);
    QFETCH(QString, logged);

    QVERIFY(writeAll(configPath(), "[Time]\nNTP=ntp.example.org\n"));
    makeClock();
    SignalRecorder signalsSeen(m_clock.get());
    LogCapture log;
    m_clock->setNtpServer(server);
    QVERIFY(!m_clock->writeNtpServer(server));
    QVERIFY(settle());
    QCOMPARE(m_stubs->callLines(), QStringList());
    QCOMPARE(readAll(configPath()), QByteArray("[Time]\nNTP=ntp.example.org\n"));
    QCOMPARE(m_clock->ntpServer(), QString("ntp.example.org"));
    QCOMPARE(signalsSeen.take(), QString());
    QCOMPARE(log.texts(QtWarningMsg), QStringList({"[Clock] WARN: Refused NTP server : " + logged, "[Clock] WARN: Refused NTP server : " + logged}));
    QCOMPARE(log.texts(QtInfoMsg), QStringList());
}

void TestClock::writeFailures_data()
{
    QTest::addColumn<QString>("failing"); // a command, or "disk full" / "unreadable" for the file
    QTest::addColumn<QByteArray>("how");  // a stub script, "hang" or "crash"
    QTest::addColumn<bool>("written");    // the file has the new server (else the old, whole)
    QTest::addColumn<QStringList>("ran");
    QTest::addColumn<QString>("logged"); // the one critical line's start, or nothing

    const QString restart = "systemctl try-restart systemd-timesyncd";
    // A copy over the live file truncates it first: cut off there, the daemon would find it empty.
    QTest::newRow("copy cut off") << "cp" << QByteArray(": > \"$3\"; echo 'cp: error writing: No space left on device' >&2; exit 1\n")
                                  << true << QStringList{restart} << "";
    QTest::newRow("copy killed at its limit") << "cp" << QByteArray(": > \"$3\"; exec sleep 600\n") << true << QStringList{restart} << "";
    // Flushing is best effort: the daemon is restarted all the same.
    QTest::newRow("sync hangs") << "sync" << QByteArray("hang") << true << QStringList{restart} << "";
    QTest::newRow("sync crashes") << "sync" << QByteArray("crash") << true << QStringList{restart} << "";
    QTest::newRow("restart fails") << "systemctl try-restart" << QByteArray("echo 'Unit not found.' >&2; exit 5\n") << true
                                   << QStringList{restart}
                                   << "[Clock] ERROR: Command failed 'systemctl try-restart systemd-timesyncd' : exitCode=5 Unit not found.";
    QTest::newRow("restart hangs") << "systemctl try-restart" << QByteArray("hang") << true << QStringList{restart}
                                   << "[Clock] ERROR: Could not execute 'systemctl try-restart systemd-timesyncd' : error=2";
    // The file itself not written: nothing to restart for.
    QTest::newRow("disk full") << "disk full" << QByteArray() << false << QStringList{} << "[Clock] ERROR: Could not write <config> : ";
    QTest::newRow("configuration unreadable") << "unreadable" << QByteArray() << false << QStringList{}
                                              << "[Clock] ERROR: Could not read <config> : ";
}

void TestClock::writeFailures()
{
    QFETCH(QString, failing);
    QFETCH(QByteArray, how);
    QFETCH(bool, written);
    QFETCH(QStringList, ran);
    QFETCH(QString, logged);

    const QByteArray before = "[Time]\nNTP=old.example.org\n";
    QVERIFY(writeAll(configPath(), before));
    makeClock();
    if (how == "hang")
        m_stubs->setHang(failing);
    else if (how == "crash")
        m_stubs->setCrash(failing);
    else if (!how.isEmpty())
        m_stubs->setScript(failing, how);
    else if (failing == "unreadable") {
        QVERIFY(QFile::remove(configPath()));
        QVERIFY(QDir().mkpath(configPath())); // a folder where the file should be
    }

    LogCapture log;
    // The text is fine: what fails is the file or a command, after the call.
    bool accepted;
    bool settled;
    if (failing == "disk full") {
        // Room for a few bytes only, until the write is through; it fails (EFBIG) instead of
        // killing the process.
        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 10;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        accepted = m_clock->writeNtpServer("new.example.org");
        settled = settle();
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    } else {
        accepted = m_clock->writeNtpServer("new.example.org");
        settled = settle();
    }
    QVERIFY(accepted);
    QVERIFY(settled);

    QStringList lines = m_stubs->callLines();
    lines.replaceInStrings(configPath(), "<config>");
    QCOMPARE(lines, ran);
    QStringList errors = log.texts(QtCriticalMsg);
    errors.replaceInStrings(configPath(), "<config>");
    QCOMPARE(errors.size(), logged.isEmpty() ? 0 : 1);
    if (!logged.isEmpty())
        QVERIFY2(errors[0].startsWith(logged), qPrintable(errors[0]));
    if (failing != "unreadable") {
        QCOMPARE(readAll(configPath()), written ? QByteArray("[Time]\nNTP=new.example.org\n") : before);
        QCOMPARE(QDir(configDir()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden), QStringList{"timesyncd.conf"});
    }
}

void TestClock::missingCommand()
{
    makeClock();
    m_stubs->remove("timedatectl");
    SignalRecorder signalsSeen(m_clock.get());
    LogCapture log;
    m_clock->refresh();
    m_clock->setNtpEnabled(false);
    QVERIFY(settle());
    // The status fails the same way twice: said once.
    QCOMPARE(log.texts(QtCriticalMsg), QStringList({"[Clock] ERROR: Could not execute 'timedatectl status' : error=0",
                                                    "[Clock] ERROR: Could not execute 'timedatectl set-ntp false' : error=0"}));
    QCOMPARE(m_clock->timezone(), QString("Etc/UTC"));
    QVERIFY(m_clock->ntpEnabled());
    QCOMPARE(signalsSeen.take(), QString());
}

// A machine without systemd fails the status at every refresh: one line, not one every 10 s,
// and a line again when the failure changes or ends.
void TestClock::repeatedFailureLoggedOnce()
{
    makeClock();
    LogCapture log;
    const QByteArray noSystemd = "System has not been booted with systemd as init system (PID 1). Can't operate.\n";
    m_stubs->setOutput("timedatectl status", "", 1, noSystemd);
    for (int i = 0; i < 3; ++i) {
        m_clock->refresh();
        QVERIFY(settle());
    }
    const QString failed = "[Clock] ERROR: Command failed 'timedatectl status' : exitCode=1 "
                           "System has not been booted with systemd as init system (PID 1). Can't operate.";
    QCOMPARE(log.texts(QtCriticalMsg), QStringList{failed});

    // Another failure is a new line, once.
    m_stubs->setOutput("timedatectl status", "", 1, "Failed to connect to bus: No such file or directory\n");
    m_clock->refresh();
    m_clock->refresh();
    QVERIFY(settle());
    const QString other = "[Clock] ERROR: Command failed 'timedatectl status' : exitCode=1 Failed to connect to bus: No such file or directory";
    QCOMPARE(log.texts(QtCriticalMsg), QStringList({failed, other}));

    // Working again: said so, and the next failure shows again.
    m_stubs->clearRule("timedatectl status");
    m_clock->refresh();
    m_clock->refresh();
    QVERIFY(settle());
    QCOMPARE(log.texts(QtInfoMsg), QStringList{"[Clock] Command works again 'timedatectl status'"});
    m_stubs->setOutput("timedatectl status", "", 1, "Failed to connect to bus: No such file or directory\n");
    m_clock->refresh();
    QVERIFY(settle());
    QCOMPARE(log.texts(QtCriticalMsg), QStringList({failed, other, other}));
    // Other commands keep their own.
    m_clock->setNtpEnabled(false);
    QVERIFY(settle());
    QCOMPARE(log.texts(QtCriticalMsg).size(), 3);
}

// A "%" in an argument is shown as it is, not taken for a place of the line's own numbers.
void TestClock::commandLinesLoggedAsRun()
{
    m_stubs->setTimezones({"Etc/UTC", "Etc/%1%2"});
    makeClock();
    LogCapture log;
    m_stubs->setOutput("timedatectl set-timezone", "", 3);
    m_clock->setTimezone("Etc/%1%2");
    QVERIFY(settle());
    QCOMPARE(log.texts(QtCriticalMsg), QStringList{"[Clock] ERROR: Command failed 'timedatectl set-timezone Etc/%1%2' : exitCode=3 "});
}

// A command past its limit is killed and the next one runs; meanwhile the event loop
// goes on serving (here a timer that ends long before the limit).
void TestClock::hungCommandKeepsTheLoopServing_data()
{
    QTest::addColumn<QString>("hanging");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QStringList>("ran");

    QTest::newRow("time-zone list") << "timedatectl list-timezones" << "construct"
                                    << QStringList{"timedatectl --no-pager list-timezones", "timedatectl status"};
    QTest::newRow("status") << "timedatectl status" << "refresh" << QStringList{"timedatectl status"};
    QTest::newRow("NTP switch") << "timedatectl set-ntp" << "ntp off"
                                << QStringList{"timedatectl set-ntp false", "timedatectl status"};
    QTest::newRow("daemon restart") << "systemctl try-restart" << "server"
                                    << QStringList{"systemctl try-restart systemd-timesyncd"};
}

void TestClock::hungCommandKeepsTheLoopServing()
{
    QFETCH(QString, hanging);
    QFETCH(QString, action);
    QFETCH(QStringList, ran);

    makeClock();
    m_stubs->setHang(hanging);
    LogCapture log;
    int servedBeforeTheLimit = -1;
    QTimer::singleShot(100, Qt::PreciseTimer, this, [&] { servedBeforeTheLimit = log.texts(QtCriticalMsg).isEmpty(); });
    std::unique_ptr<Clock> other;
    if (action == "construct")
        other.reset(new Clock);
    else if (action == "refresh")
        m_clock->refresh();
    else if (action == "ntp off")
        m_clock->setNtpEnabled(false);
    else
        m_clock->setNtpServer("new.example.org");
    Clock *clock = other ? other.get() : m_clock.get();
    QVERIFY(settle(clock));
    QCOMPARE(servedBeforeTheLimit, 1);
    QCOMPARE(m_stubs->callLines(), ran);
    QCOMPARE(log.texts(QtCriticalMsg), QStringList{QString("[Clock] ERROR: Could not execute '%1' : error=2").arg(ran.first())});
}

void TestClock::refreshInterval()
{
    makeClock();
    QCOMPARE(m_clock->refreshInterval(), 0);
    QVERIFY(m_stubs->callLines().isEmpty());

    m_clock->setRefreshInterval(1);
    QCOMPARE(m_clock->refreshInterval(), 1);
    QVERIFY(m_clock->busy()); // at once
    WAIT_COMPARE(m_stubs->callLines(), QStringList{"timedatectl status"});
    m_stubs->setTimezone("Europe/Berlin");
    WAIT_COMPARE(m_clock->timezone(), QString("Europe/Berlin")); // then on the timer

    // Longer than a timer holds: the longest period, not a wrapped one.
    LogCapture log;
    m_clock->setRefreshInterval(std::numeric_limits<int>::max());
    QCOMPARE(m_clock->refreshInterval(), std::numeric_limits<int>::max() / 1000);
    QCOMPARE(log.texts(QtWarningMsg), QStringList());

    m_clock->setRefreshInterval(0);
    QCOMPARE(m_clock->refreshInterval(), 0);
    QVERIFY(settle());
    m_stubs->clearCalls();
    QTest::qWait(1500); // a stopped refresh runs no command
    QCOMPARE(m_stubs->callLines(), QStringList());
}

// The program's clock takes the file the environment names: tests (and the programs they
// start) never read or write the system's.
void TestClock::configFileFromTheEnvironment()
{
    QCOMPARE(qEnvironmentVariable("VORN_TIMESYNCD_CONF"), m_stubs->timesyncdConf());
    QVERIFY(writeAll(m_stubs->timesyncdConf(), "[Time]\nNTP=env.example.org\n"));
    Clock clock;
    clock.setRefreshInterval(0);
    QCOMPARE(clock.configFile(), m_stubs->timesyncdConf());
    QVERIFY(settle(&clock));
    QCOMPARE(clock.ntpServer(), QString("env.example.org"));
    clock.setNtpServer("new.example.org");
    QVERIFY(settle(&clock));
    QCOMPARE(readAll(m_stubs->timesyncdConf()), QByteArray("[Time]\nNTP=new.example.org\n"));
    QCOMPARE(m_stubs->callLines().last(), QString("systemctl try-restart systemd-timesyncd"));
}

// A daemon that reads its file through the file's group must still read it once replaced.
void TestClock::replacedFileKeepsItsOwner_data()
{
    QTest::addColumn<uint>("owner");
    QTest::addColumn<uint>("group");
    QTest::addColumn<uint>("mode");

    QTest::newRow("nobody:adm 0640") << 65534u << 4u << 0640u;
    QTest::newRow("root:adm 0640") << 0u << 4u << 0640u;
    QTest::newRow("nobody:nogroup 0604") << 65534u << 65534u << 0604u;
}

void TestClock::replacedFileKeepsItsOwner()
{
    QFETCH(uint, owner);
    QFETCH(uint, group);
    QFETCH(uint, mode);
    if (::geteuid() != 0)
        QSKIP("only root gives a file to another owner");

    QVERIFY(::chown(QFile::encodeName(configPath()).constData(), owner, group) == 0);
    QVERIFY(::chmod(QFile::encodeName(configPath()).constData(), mode) == 0);
    makeClock();
    QVERIFY(m_clock->writeNtpServer("new.example.org"));
    QVERIFY(settle());
    QCOMPARE(readAll(configPath()), QByteArray(DebianDefault).replace("#NTP=\n", "NTP=new.example.org\n"));
    const FileStat after = fileStat(configPath());
    QCOMPARE(after.owner, owner);
    QCOMPARE(after.group, group);
    QCOMPARE(after.mode, mode);
    QCOMPARE(m_stubs->callLines(), QStringList{"systemctl try-restart systemd-timesyncd"});
}

// The file can be written but not replaced: written in place, said so, and the daemon restarted.
void TestClock::writeFallsBackInPlace_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<uint>("mode");
    QTest::addColumn<QString>("reason");

    // The program may write the file, not the folder.
    QTest::newRow("folder not writable") << "folder" << 0640u << "Permission denied";
    // A file mounted from elsewhere cannot be renamed over.
    QTest::newRow("live file bind-mounted") << "mount" << 0640u << "Device or resource busy";
    // A replacement would belong to the program, not to the file's owner.
    QTest::newRow("owner cannot be given") << "owner" << 0666u << "Operation not permitted";
}

void TestClock::writeFallsBackInPlace()
{
    QFETCH(QString, how);
    QFETCH(uint, mode);
    QFETCH(QString, reason);

    const QByteArray folder = QFile::encodeName(configDir());
    const QByteArray file = QFile::encodeName(configPath());
    if (how == "mount" && !g_ownMounts)
        QSKIP("no mount namespace of our own here (needs root)");
    if (how == "owner") {
        if (::geteuid() != 0)
            QSKIP("only root gives a file to another owner");
        QVERIFY(::chown(file.constData(), 65534, 65534) == 0);
    }
    QVERIFY(::chmod(file.constData(), mode) == 0);
    const FileStat before = fileStat(configPath());
    makeClock();

    // Holds the write back the row's way while it lives.
    struct Hindrance
    {
        QString how;
        QByteArray folder;
        QByteArray file;
        std::unique_ptr<WithoutOverride> asAnyUser;
        bool set()
        {
            if (how == "mount")
                return ::mount(file.constData(), file.constData(), nullptr, MS_BIND, nullptr) == 0;
            if (how == "folder") {
                // As root the folder goes to another owner; either way its bits refuse us.
                if (::geteuid() == 0 && ::chown(folder.constData(), 65534, 65534) != 0)
                    return false;
                if (::chmod(folder.constData(), ::geteuid() == 0 ? 0755 : 0555) != 0)
                    return false;
            }
            asAnyUser = std::make_unique<WithoutOverride>(how == "owner");
            return true;
        }
        ~Hindrance()
        {
            asAnyUser.reset();
            if (how == "mount")
                ::umount2(file.constData(), MNT_DETACH);
            ::chmod(folder.constData(), 0755);
        }
    };

    LogCapture log;
    {
        Hindrance hindrance{how, folder, file, nullptr};
        QVERIFY(hindrance.set());
        QVERIFY(m_clock->writeNtpServer("new.example.org"));
        QVERIFY(settle());
    }
    QCOMPARE(readAll(configPath()), QByteArray(DebianDefault).replace("#NTP=\n", "NTP=new.example.org\n"));
    QStringList warnings = log.texts(QtWarningMsg);
    warnings.replaceInStrings(configPath(), "<config>");
    QCOMPARE(warnings, QStringList{"[Clock] WARN: Could not replace <config> : " + reason + "; writing it in place"});
    QCOMPARE(log.texts(QtCriticalMsg), QStringList());
    QCOMPARE(m_stubs->callLines(), QStringList{"systemctl try-restart systemd-timesyncd"});
    const FileStat after = fileStat(configPath());
    QCOMPARE(after.owner, before.owner);
    QCOMPARE(after.group, before.group);
    QCOMPARE(after.mode, mode);
    QCOMPARE(folderEntries(configDir()), QStringList{"timesyncd.conf"});

    // Shorter than before: nothing of the old text is left at the end.
    QVERIFY(writeAll(configPath(), QByteArray(DebianDefault).replace("#NTP=\n", "NTP=a-long-name.example.org b.example.org\n")));
    {
        Hindrance hindrance{how, folder, file, nullptr};
        QVERIFY(hindrance.set());
        QVERIFY(m_clock->writeNtpServer("c.example.org"));
        QVERIFY(settle());
    }
    QCOMPARE(readAll(configPath()), QByteArray(DebianDefault).replace("#NTP=\n", "NTP=c.example.org\n"));
    QCOMPARE(m_clock->ntpServer(), QString("c.example.org"));
}

// A configuration that is a link to a file elsewhere stays a link; the file it names changes.
void TestClock::linkedFileWrittenAtItsTarget()
{
    const QString elsewhere = m_stubs->dir() + "/persist";
    QVERIFY(QDir().mkpath(elsewhere));
    QVERIFY(QFile::rename(configPath(), elsewhere + "/timesyncd.conf"));
    QVERIFY(QFile::link("../persist/timesyncd.conf", configPath()));
    makeClock();
    QVERIFY(m_clock->writeNtpServer("new.example.org"));
    QVERIFY(settle());
    QVERIFY(QFileInfo(configPath()).isSymLink());
    QCOMPARE(readAll(elsewhere + "/timesyncd.conf"), QByteArray(DebianDefault).replace("#NTP=\n", "NTP=new.example.org\n"));
    QCOMPARE(m_clock->ntpServer(), QString("new.example.org"));
    QCOMPARE(folderEntries(elsewhere), QStringList{"timesyncd.conf"});
    QCOMPARE(folderEntries(configDir()), QStringList{"timesyncd.conf"});
}

// Only a regular file is the configuration: a FIFO would hold the event loop until someone
// writes into it, a device may never end. Neither is read, nor replaced.
void TestClock::notARegularFile_data()
{
    QTest::addColumn<QString>("kind");

    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("link to an endless device") << "device";
}

void TestClock::notARegularFile()
{
    QFETCH(QString, kind);

    QVERIFY(writeAll(configPath(), "[Time]\nNTP=ntp.example.org\n"));
    makeClock();
    QVERIFY(QFile::remove(configPath()));
    if (kind == "fifo")
        QVERIFY(::mkfifo(QFile::encodeName(configPath()).constData(), 0644) == 0);
    else
        QVERIFY(QFile::link("/dev/zero", configPath()));

    LogCapture log;
    m_clock->refresh();
    m_clock->refresh();
    QCOMPARE(m_clock->ntpServer(), QString());
    QCOMPARE(log.count(QtWarningMsg, "[Clock] WARN: Could not read " + configPath() + " : "), 1);

    QVERIFY(m_clock->writeNtpServer("new.example.org"));
    QVERIFY(settle());
    QCOMPARE(log.count(QtCriticalMsg, "[Clock] ERROR: Could not read " + configPath() + " : "), 1);
    QCOMPARE(m_stubs->callLines(), QStringList({"timedatectl status", "timedatectl status"}));
    if (kind == "fifo") {
        struct stat st{};
        QVERIFY(::lstat(QFile::encodeName(configPath()).constData(), &st) == 0);
        QVERIFY(S_ISFIFO(st.st_mode));
    } else {
        QCOMPARE(QFileInfo(configPath()).symLinkTarget(), QString("/dev/zero"));
    }
    QCOMPARE(folderEntries(configDir()), QStringList{"timesyncd.conf"});
}

// A slow disk holds up the write of the daemon's file, not the event loop: the terminal goes on
// serving, the daemon is restarted only once the file is written, and what was asked after the
// write runs after it.
void TestClock::slowDiskKeepsTheLoopServing()
{
    makeClock();
    HeldWorker disk;
    QVERIFY(disk.isHeld());
    m_clock->setWorker(disk.worker());

    SignalRecorder signalsSeen(m_clock.get());
    m_clock->setNtpServer("new.example.org");
    m_clock->setTimezone("Europe/Athens");
    bool served = false;
    QTimer::singleShot(20, this, [&] { served = true; });
    QVERIFY(waitUntil([&] { return served; }, 5000));
    QCOMPARE(readAll(configPath()), DebianDefault);
    QCOMPARE(m_clock->ntpServer(), QString());
    QCOMPARE(m_stubs->callLines(), QStringList());
    QVERIFY(m_clock->busy());

    disk.release();
    QVERIFY(settle());
    QCOMPARE(readAll(configPath()), QByteArray(DebianDefault).replace("#NTP=\n", "NTP=new.example.org\n"));
    QCOMPARE(m_clock->ntpServer(), QString("new.example.org"));
    QCOMPARE(m_stubs->callLines(), QStringList({"systemctl try-restart systemd-timesyncd", "timedatectl set-timezone Europe/Athens",
                                                "timedatectl status"}));
    QCOMPARE(signalsSeen.take(), QString("ntpServerChanged timezoneChanged"));
}

// A program that stops while the daemon's file is being written (a slow disk) lets the write
// through: cut off, the server asked would be lost and the temporary file left beside the file.
// The daemon is restarted after it all the same, by a command that outlives the clock: else the
// file would name the new server and the daemon go on with the old one.
void TestClock::writeUnderWayOutlivesTheClock()
{
    makeClock();
    ThreadWorker worker;
    auto holding = std::make_shared<QSemaphore>();
    QVERIFY(worker.execInThread([holding] {
        holding->release();
        QThread::msleep(300); // the disk, busy
    }));
    QVERIFY(holding->tryAcquire(1, 5000));
    m_clock->setWorker(worker);
    m_clock->setNtpServer("new.example.org");
    QVERIFY(m_clock->busy());
    m_clock.reset();
    QCOMPARE(readAll(configPath()), QByteArray(DebianDefault).replace("#NTP=\n", "NTP=new.example.org\n"));
    QCOMPARE(folderEntries(configDir()), QStringList{"timesyncd.conf"});
    const QStringList restart{"systemctl try-restart systemd-timesyncd"};
    waitUntil([&] { return !m_stubs->callLines().isEmpty(); });
    QCOMPARE(m_stubs->callLines(), restart);
}

// Requests that pile up while the commands run: a refresh already waiting is not queued again,
// a server not yet written gives way to the next, and nothing that changes the system is lost.
void TestClock::repeatedRequestsMerge_data()
{
    QTest::addColumn<QString>("requests");
    QTest::addColumn<QStringList>("ran");
    QTest::addColumn<QString>("zone");

    const QString status = "timedatectl status";
    const QString restart = "systemctl try-restart systemd-timesyncd";
    QTest::newRow("20 taps on the sync button") << "sync*20" << QStringList{status, status} << "Etc/UTC";
    QTest::newRow("20 refreshes") << "refresh*20" << QStringList{status, status} << "Etc/UTC";
    QTest::newRow("200 servers, then a zone")
        << "server*200 zone" << QStringList{restart, restart, "timedatectl set-timezone Europe/Athens", status} << "Europe/Athens";
    // A zone or a switch still waiting takes the later value: only the last one asked is set
    // (the first runs at once), and the queue does not grow with the picks.
    QTest::newRow("200 zones picked in turn")
        << "zones*200"
        << QStringList{"timedatectl set-timezone Europe/Athens", status, "timedatectl set-timezone Europe/Berlin", status}
        << "Europe/Berlin";
    // The reads between servers given way to read the same: one of them runs.
    QTest::newRow("200 servers, each with a refresh")
        << "server+refresh*200" << QStringList{restart, status, restart, status} << "Etc/UTC";
    QTest::newRow("NTP switch flipped 201 times")
        << "flip*201" << QStringList{"timedatectl set-ntp false", status, "timedatectl set-ntp false", status} << "Etc/UTC";
    // The refresh after the zone change reads the new zone: it is not merged into the one before.
    QTest::newRow("refresh, zone, refreshes")
        << "refresh zone refresh*3" << QStringList{status, "timedatectl set-timezone Europe/Athens", status} << "Europe/Athens";
}

void TestClock::repeatedRequestsMerge()
{
    QFETCH(QString, requests);
    QFETCH(QStringList, ran);
    QFETCH(QString, zone);

    makeClock();
    int servers = 0;
    for (const QString &request : requests.split(' ')) {
        const QString what = request.section('*', 0, 0);
        const int times = request.contains('*') ? request.section('*', 1).toInt() : 1;
        for (int i = 0; i < times; ++i) {
            if (what == "sync")
                m_clock->ntpSync();
            else if (what == "refresh")
                m_clock->refresh();
            else if (what == "server")
                m_clock->setNtpServer(QString("ntp%1.example.org").arg(++servers));
            else if (what == "server+refresh") {
                m_clock->setNtpServer(QString("ntp%1.example.org").arg(++servers));
                m_clock->refresh();
            }
            else if (what == "zone")
                m_clock->setTimezone("Europe/Athens");
            else if (what == "zones")
                m_clock->setTimezone(i % 2 ? "Europe/Berlin" : "Europe/Athens");
            else if (what == "flip")
                m_clock->setNtpEnabled(i % 2);
        }
    }
    QVERIFY(settle());
    QCOMPARE(m_stubs->callLines(), ran);
    QCOMPARE(m_clock->timezone(), zone);
    QCOMPARE(m_clock->ntpEnabled(), !requests.startsWith("flip"));
    if (servers) {
        const QString last = QString("ntp%1.example.org").arg(servers);
        QCOMPARE(m_clock->ntpServer(), last);
        QCOMPARE(readAll(configPath()), QByteArray(DebianDefault).replace("#NTP=\n", "NTP=" + last.toUtf8() + "\n"));
    }
}

// An operator who changes a setting and changes it back before the system has reported the
// first change gets the second: it is compared with what was asked last, not with the value shown.
void TestClock::lastRequestWins_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QStringList>("ran");

    QTest::newRow("NTP switch off and on") << "ntp"
                                           << QStringList{"timedatectl set-ntp false", "timedatectl status",
                                                          "timedatectl set-ntp true", "timedatectl status"};
    QTest::newRow("another zone and back") << "zone"
                                           << QStringList{"timedatectl set-timezone Europe/Athens", "timedatectl status",
                                                          "timedatectl set-timezone Etc/UTC", "timedatectl status"};
    QTest::newRow("another server and back") << "server"
                                             << QStringList{"systemctl try-restart systemd-timesyncd",
                                                            "systemctl try-restart systemd-timesyncd"};
}

void TestClock::lastRequestWins()
{
    QFETCH(QString, setting);
    QFETCH(QStringList, ran);

    QVERIFY(writeAll(configPath(), "[Time]\nNTP=old.example.org\n"));
    makeClock();
    if (setting == "ntp") {
        m_clock->setNtpEnabled(false);
        m_clock->setNtpEnabled(true);
        m_clock->setNtpEnabled(true); // asked already
    } else if (setting == "zone") {
        m_clock->setTimezone("Europe/Athens");
        m_clock->setTimezone("Etc/UTC");
        m_clock->setTimezone("Etc/UTC");
    } else {
        m_clock->setNtpServer("new.example.org");
        m_clock->setNtpServer("old.example.org");
        m_clock->setNtpServer("old.example.org ");
    }
    QVERIFY(settle());
    QCOMPARE(m_stubs->callLines(), ran);
    QVERIFY(m_clock->ntpEnabled());
    QCOMPARE(m_clock->timezone(), QString("Etc/UTC"));
    QCOMPARE(m_clock->ntpServer(), QString("old.example.org"));
    QCOMPARE(readAll(configPath()), QByteArray("[Time]\nNTP=old.example.org\n"));
}

// What an operator started is said every time it fails, also the same way as before; only the
// clock's own reading of the system is said once.
void TestClock::operatorCommandsLogEveryFailure_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("logged");

    QTest::newRow("daemon restart") << "systemctl try-restart"
                                    << "[Clock] ERROR: Command failed 'systemctl try-restart systemd-timesyncd' : exitCode=1 Failed";
    QTest::newRow("time zone") << "timedatectl set-timezone"
                               << "[Clock] ERROR: Command failed 'timedatectl set-timezone Europe/Athens' : exitCode=1 Failed";
    QTest::newRow("NTP switch") << "timedatectl set-ntp"
                                << "[Clock] ERROR: Command failed 'timedatectl set-ntp false' : exitCode=1 Failed";
}

void TestClock::operatorCommandsLogEveryFailure()
{
    QFETCH(QString, command);
    QFETCH(QString, logged);

    makeClock();
    m_stubs->setOutput(command, "", 1, "Failed\n");
    LogCapture log;
    for (int i = 0; i < 2; ++i) {
        if (command == "systemctl try-restart")
            m_clock->setNtpServer(QString("ntp%1.example.org").arg(i));
        else if (command == "timedatectl set-timezone")
            m_clock->setTimezone("Europe/Athens");
        else
            m_clock->setNtpEnabled(false);
        QVERIFY(settle());
    }
    QCOMPARE(log.texts(QtCriticalMsg), QStringList({logged, logged}));
}

// Requests run in the order the operator gave them, a later value of a setting taking an earlier
// one's place only when nothing was asked between them; a server saved restarts the daemon only
// when it runs, so NTP ends as the operator last set it. The stub's daemon starts on a restart
// and is the NTP service the status reports.
void TestClock::requestsRunInTheOrderAsked_data()
{
    QTest::addColumn<bool>("ntpBefore");
    QTest::addColumn<QString>("requests");
    QTest::addColumn<QStringList>("ran");
    QTest::addColumn<bool>("ntpAfter");
    QTest::addColumn<QString>("zone");

    const QString status = "timedatectl status";
    const QString on = "timedatectl set-ntp true";
    const QString off = "timedatectl set-ntp false";
    const QString restart = "systemctl try-restart systemd-timesyncd";
    const QString athens = "timedatectl set-timezone Europe/Athens";
    const QString berlin = "timedatectl set-timezone Europe/Berlin";
    QTest::newRow("server with NTP off, quiet queue") << false << "server" << QStringList{restart} << false << "Etc/UTC";
    QTest::newRow("server with NTP on, quiet queue") << true << "server" << QStringList{restart} << true << "Etc/UTC";
    QTest::newRow("on, off, server") << false << "on off server" << QStringList{on, status, off, status, restart} << false
                                     << "Etc/UTC";
    // The switch still waiting takes the later value: nothing was asked between them.
    QTest::newRow("on, off, server behind a refresh")
        << false << "refresh on off server" << QStringList{status, off, status, restart} << false << "Etc/UTC";
    // The server was asked between: the switch goes after it.
    QTest::newRow("on, server, off behind a refresh")
        << false << "refresh on server off" << QStringList{status, status, restart, off, status} << false << "Etc/UTC";
    QTest::newRow("off, server, on behind a refresh")
        << true << "refresh off server on" << QStringList{status, status, restart, on, status} << true << "Etc/UTC";
    QTest::newRow("zone, switch, zone behind a refresh")
        << true << "refresh athens off berlin" << QStringList{status, status, off, status, berlin, status} << false
        << "Europe/Berlin";
    QTest::newRow("zone, zone, switch behind a refresh")
        << true << "refresh athens berlin off" << QStringList{status, berlin, status, off, status} << false << "Europe/Berlin";
}

void TestClock::requestsRunInTheOrderAsked()
{
    QFETCH(bool, ntpBefore);
    QFETCH(QString, requests);
    QFETCH(QStringList, ran);
    QFETCH(bool, ntpAfter);
    QFETCH(QString, zone);

    m_stubs->setNtp(ntpBefore);
    makeClock();
    QCOMPARE(m_clock->ntpEnabled(), ntpBefore);
    for (const QString &request : requests.split(' ')) {
        if (request == "refresh")
            m_clock->refresh();
        else if (request == "on" || request == "off")
            m_clock->setNtpEnabled(request == "on");
        else if (request == "server")
            m_clock->setNtpServer("ntp.example.org");
        else
            m_clock->setTimezone(request == "athens" ? "Europe/Athens" : "Europe/Berlin");
    }
    QVERIFY(settle());
    QCOMPARE(m_stubs->callLines(), ran);
    QCOMPARE(m_stubs->ntp(), ntpAfter);
    m_clock->refresh();
    QVERIFY(settle());
    QCOMPARE(m_clock->ntpEnabled(), ntpAfter);
    QCOMPARE(m_clock->timezone(), zone);
    if (requests.contains("server"))
        QCOMPARE(m_clock->ntpServer(), QString("ntp.example.org"));
}

// A write cut off between its temporary file and the rename (the program killed) leaves that
// file beside the daemon's; the next write takes it away, and only what is the clock's own.
void TestClock::leftoverTemporaryFilesGo()
{
    makeClock();
    const QStringList leftovers{".timesyncd.conf.tmp-a1B2c3", ".timesyncd.conf.tmp-ZZZZZZ"};
    for (const QString &name : leftovers)
        QVERIFY(writeAll(configDir() + "/" + name, "[Time]\nNTP=half"));
    const QStringList others{".timesyncd.conf.backup", ".timesyncd.conf.tmp-", ".timesyncd.conf.tmp-abcdefg",
                             "timesyncd.conf.tmp-a1B2c3", ".other.conf.tmp-a1B2c3", "timesyncd.conf.d"};
    for (const QString &name : others)
        QVERIFY(writeAll(configDir() + "/" + name, name.toUtf8()));
    QVERIFY(QDir(configDir()).mkdir(".timesyncd.conf.tmp-folder"));
    QVERIFY(QFile::link(configDir() + "/timesyncd.conf.d", configDir() + "/.timesyncd.conf.tmp-linked"));

    m_clock->setNtpServer("ntp.example.org");
    QVERIFY(settle());
    QCOMPARE(readAll(configPath()), QByteArray(DebianDefault).replace("#NTP=\n", "NTP=ntp.example.org\n"));
    QStringList expected = others + QStringList{".timesyncd.conf.tmp-folder", ".timesyncd.conf.tmp-linked", "timesyncd.conf"};
    expected.sort();
    QStringList entries = folderEntries(configDir());
    entries.sort();
    QCOMPARE(entries, expected);
    for (const QString &name : others)
        QCOMPARE(readAll(configDir() + "/" + name), name.toUtf8());
}

int main(int argc, char *argv[])
{
    // Before the application starts any thread.
    g_ownMounts = ::geteuid() == 0 && enterOwnMounts();
    QCoreApplication app(argc, argv);
    TestClock test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_Clock.moc"
