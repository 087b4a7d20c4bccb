#include "terminal/EventManager.h"

#include "app/Config.h"
#include "fakes/FreePort.h"
#include "fakes/LogCapture.h"
#include "fakes/StubCommands.h"
#include "terminal/Event.h"
#include "terminal/EventLogin.h"
#include "terminal/EventLogout.h"

#include <QDir>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>

namespace {

struct Stored
{
    Stored(const QString &n, const QDateTime &t) : name(n), timestamp(t) {}

    QString name;
    QDateTime timestamp;
    QString category = QStringLiteral("General");
    QString description;
};

QDateTime at(int daysAgo, const QTime &time)
{
    return QDateTime(QDate::currentDate().addDays(-daysAgo), time);
}

// No file can be opened while it lives: a log that cannot be read, even by root.
class NoFreeDescriptors
{
public:
    NoFreeDescriptors()
    {
        ::getrlimit(RLIMIT_NOFILE, &m_old);
        struct rlimit none = m_old;
        none.rlim_cur = 0;
        ::setrlimit(RLIMIT_NOFILE, &none);
    }
    ~NoFreeDescriptors() { ::setrlimit(RLIMIT_NOFILE, &m_old); }

private:
    struct rlimit m_old;
};

} // namespace

class tst_EventManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void missingFileIsAnEmptyLog();
    void loadsTheLastThousand_data();
    void loadsTheLastThousand();
    void pushKeepsAtMost1001_data();
    void pushKeepsAtMost1001();
    void savedAndLoadedAgain();
    void loadsWhatEarlierVersionsWrote_data();
    void loadsWhatEarlierVersionsWrote();
    void timestampsKeepTheirMoment_data();
    void timestampsKeepTheirMoment();
    void purgeAtStartUp();
    void newestFirst();
    void nameFilter_data();
    void nameFilter();
    void timeBounds();
    void periods_data();
    void periods();
    void periodKeepsNameFilter();
    void clearBefore();
    void clearAll();
    void failedWriteIsLogged();
    void writeKeepsTheFilesPermissions_data();
    void writeKeepsTheFilesPermissions();
    void unusableFileSetAside_data();
    void unusableFileSetAside();
    void unreadableLogLeftInPlace();
    void blockedSetAsideKeepsTheLog_data();
    void blockedSetAsideKeepsTheLog();
    void setAsideLogsKeptUnderOwnNames();
    void linkReplacedNotFollowed();
    void writerNeverReadsWhatTookTheLogsPlace_data();
    void writerNeverReadsWhatTookTheLogsPlace();
    void loginAndLogoutEntries();
    void craftedFilesOnARealStart_data();
    void craftedFilesOnARealStart();

private:
    // Writes the file as the settings library lays out the array.
    void writeFile(const QList<Stored> &events);
    QStringList shownNames(const EventManager &manager) const;
    int storedCount() const { return storedCount(path()); }
    static int storedCount(const QString &file);
    QString path() const { return m_dir->filePath("events.ini"); }
    // The bytes of a file in the temporary folder; null when it cannot be read.
    QByteArray bytes(const QString &name) const;
    // Starts the program copied into `folder` (so that its log is `folder`/events.ini), waits
    // for its first frame or its end, and stops it; its standard error, and whether it ran.
    bool startProgram(const QString &folder, QString *err);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Config> m_config;
};

void tst_EventManager::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_config = std::make_unique<Config>(m_dir->filePath("gui.conf"), QMap<QString, QVariant>{{"gui/locale", "el_GR"}});
}

void tst_EventManager::cleanup()
{
    m_config.reset();
    m_dir.reset();
}

void tst_EventManager::writeFile(const QList<Stored> &events)
{
    QSettings settings(path(), QSettings::IniFormat);
    settings.clear();
    settings.beginWriteArray("events");
    for (int i = 0; i < events.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue("category", events[i].category);
        settings.setValue("name", events[i].name);
        settings.setValue("desc", events[i].description);
        settings.setValue("timestamp", events[i].timestamp);
    }
    settings.endArray();
    settings.sync();
    QCOMPARE(settings.status(), QSettings::NoError);
}

QStringList tst_EventManager::shownNames(const EventManager &manager) const
{
    QStringList names;
    const QList<QObject *> shown = manager.data().value<QList<QObject *>>();
    for (QObject *object : shown)
        names << qobject_cast<Event *>(object)->name();
    return names;
}

int tst_EventManager::storedCount(const QString &file)
{
    QSettings settings(file, QSettings::IniFormat);
    const int size = settings.beginReadArray("events");
    settings.endArray();
    return size;
}

void tst_EventManager::missingFileIsAnEmptyLog()
{
    LogCapture log;
    EventManager manager(*m_config, path());
    QCOMPARE(manager.events().size(), 0);
    QCOMPARE(shownNames(manager), QStringList());
    QVERIFY(!QFile::exists(path()));
    QVERIFY(log.contains(QtInfoMsg, "[EventManager] Loading saved events : from=0 to=0"));
    QVERIFY(log.contains(QtInfoMsg, "[EventManager] Deleted 0 event(s) older than "));

    manager.push(new Event("General", "Application started", "", QDateTime::currentDateTime()));
    QCOMPARE(storedCount(), 1);
}

void tst_EventManager::loadsTheLastThousand_data()
{
    QTest::addColumn<int>("inFile");
    QTest::addColumn<int>("first");
    QTest::newRow("1500") << 1500 << 500;
    QTest::newRow("1000") << 1000 << 0;
    QTest::newRow("999") << 999 << 0;
}

void tst_EventManager::loadsTheLastThousand()
{
    QFETCH(int, inFile);
    QFETCH(int, first);

    QList<Stored> events;
    const QDateTime base = QDateTime::currentDateTime().addDays(-1);
    for (int i = 0; i < inFile; ++i)
        events << Stored{QString("event %1").arg(i), base.addSecs(i)};
    writeFile(events);

    LogCapture log;
    EventManager manager(*m_config, path());
    QVERIFY(log.contains(QtInfoMsg, QString("[EventManager] Loading saved events : from=%1 to=%2").arg(first).arg(inFile)));
    QCOMPARE(manager.events().size(), inFile - first);
    QCOMPARE(manager.events().first()->name(), QString("event %1").arg(first));
    QCOMPARE(manager.events().last()->name(), QString("event %1").arg(inFile - 1));

    // The next write keeps only what is held.
    manager.push(new Event("General", "Application started", "", QDateTime::currentDateTime()));
    QCOMPARE(storedCount(), inFile - first + 1);
}

void tst_EventManager::pushKeepsAtMost1001_data()
{
    QTest::addColumn<int>("held");
    QTest::addColumn<int>("after");
    QTest::addColumn<QString>("oldest");
    QTest::newRow("1000 held") << 1000 << 1001 << "event 0";
    QTest::newRow("1001 held") << 1001 << 1001 << "event 1";
}

void tst_EventManager::pushKeepsAtMost1001()
{
    QFETCH(int, held);
    QFETCH(int, after);
    QFETCH(QString, oldest);

    QList<Stored> events;
    const QDateTime base = QDateTime::currentDateTime().addDays(-1);
    for (int i = 0; i < 1000; ++i)
        events << Stored{QString("event %1").arg(i), base.addSecs(i)};
    writeFile(events);
    EventManager manager(*m_config, path());
    if (held == 1001)
        manager.push(new Event("General", "event 1000", "", base.addSecs(1000)));
    QCOMPARE(manager.events().size(), held);

    QPointer<Event> dropped = manager.events().first();
    QSignalSpy changed(&manager, &EventManager::dataChanged);
    manager.push(new Event("General", "Application started", "", QDateTime::currentDateTime()));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(manager.events().size(), after);
    QCOMPARE(manager.events().first()->name(), oldest);
    QCOMPARE(storedCount(), after);
    if (held == 1001) {
        // Deleted later: the screen may still hold it during this event.
        QVERIFY(dropped);
        QTRY_VERIFY(!dropped);
    }
}

void tst_EventManager::savedAndLoadedAgain()
{
    const QDateTime stamp(QDate::currentDate().addDays(-2), QTime(10, 11, 12, 345));
    {
        EventManager manager(*m_config, path());
        manager.push(new Event("General", "Maintenance login", "User ID : 0\nFirst name : VESK", stamp));
        manager.push(new Event("Other", "Ünïcode ; = [x]", "", stamp.addSecs(60)));
    }
    EventManager again(*m_config, path());
    QCOMPARE(again.events().size(), 2);
    const Event *first = again.events().at(0);
    QCOMPARE(first->category(), QString("General"));
    QCOMPARE(first->name(), QString("Maintenance login"));
    QCOMPARE(first->description(), QString("User ID : 0\nFirst name : VESK"));
    QCOMPARE(first->timestamp(), stamp);
    const Event *second = again.events().at(1);
    QCOMPARE(second->category(), QString("Other"));
    QCOMPARE(second->name(), QString("Ünïcode ; = [x]"));
    QCOMPARE(second->timestamp(), stamp.addSecs(60));
}

void tst_EventManager::loadsWhatEarlierVersionsWrote_data()
{
    QTest::addColumn<QString>("text"); // as category, name and description

    QTest::newRow("plain") << "Maintenance login";
    QTest::newRow("empty") << "";
    QTest::newRow("at sign first") << "@Variant(\x01)";
    QTest::newRow("zero character") << QString("a") + QChar(0) + "1";
    QTest::newRow("separators and quotes") << "a, b; c = \"d\" \\e [x]";
    QTest::newRow("blanks around") << "  both ends ";
    QTest::newRow("lines and tabs") << "User ID : 0\nFirst name : VESK\r\n\tLast";
    QTest::newRow("greek") << QString::fromUtf8("Σύνδεση συντήρησης");
    QTest::newRow("continued-looking") << "ends in a backslash\\";
}

// Earlier versions wrote the log through the settings library: every such file loads with its
// events, whatever their texts hold.
void tst_EventManager::loadsWhatEarlierVersionsWrote()
{
    QFETCH(QString, text);

    const QDateTime stamp(QDate::currentDate().addDays(-1), QTime(8, 9, 10, 11));
    Stored event(text, stamp);
    event.category = text;
    event.description = text;
    writeFile({Stored("before", stamp.addSecs(-1)), event});
    LogCapture log;
    EventManager manager(*m_config, path());
    QVERIFY2(!log.contains(QtCriticalMsg, "[EventManager] ERROR"), qPrintable(log.texts().join('\n')));
    QCOMPARE(manager.events().size(), 2);
    const Event *loaded = manager.events().last();
    QCOMPARE(loaded->category(), text);
    QCOMPARE(loaded->name(), text);
    QCOMPARE(loaded->description(), text);
    QCOMPARE(loaded->timestamp(), stamp);

    // Written again by us, the settings library reads the same.
    manager.push(new Event("General", "Application started", "", QDateTime::currentDateTime()));
    QSettings settings(path(), QSettings::IniFormat);
    QCOMPARE(settings.beginReadArray("events"), 3);
    settings.setArrayIndex(1);
    QCOMPARE(settings.value("name").toString(), text);
    QCOMPARE(settings.value("desc").toString(), text);
    QCOMPARE(settings.value("timestamp").toDateTime(), stamp);
}

void tst_EventManager::timestampsKeepTheirMoment_data()
{
    QTest::addColumn<QDateTime>("stamp");
    const QDateTime local(QDate::currentDate().addDays(-1), QTime(8, 9, 10, 11));
    QTest::newRow("local") << local;
    QTest::newRow("UTC") << local.toUTC();
    QTest::newRow("fixed offset") << local.toOffsetFromUtc(-3 * 3600);
    QTest::newRow("named zone") << local.toTimeZone(QTimeZone("UTC+05:30"));
}

// Whatever an event is stamped with is written in a form the next start reads back.
void tst_EventManager::timestampsKeepTheirMoment()
{
    QFETCH(QDateTime, stamp);
    QVERIFY(stamp.isValid());
    {
        EventManager manager(*m_config, path());
        manager.push(new Event("General", "Maintenance login", "", stamp));
    }
    LogCapture log;
    EventManager again(*m_config, path());
    QVERIFY2(!log.contains(QtCriticalMsg, "[EventManager] ERROR"), qPrintable(log.texts().join('\n')));
    QCOMPARE(again.events().size(), 1);
    QCOMPARE(again.events().first()->timestamp().toMSecsSinceEpoch(), stamp.toMSecsSinceEpoch());
    QCOMPARE(again.events().first()->timestamp().offsetFromUtc(), stamp.offsetFromUtc());
}

void tst_EventManager::purgeAtStartUp()
{
    const QDateTime now = QDateTime::currentDateTime();
    writeFile({{"exactly 30 days", now.addDays(-30)},
               {"a second younger", now.addDays(-30).addSecs(1)},
               {"older", now.addDays(-31)},
               {"today", now}});
    LogCapture log;
    EventManager manager(*m_config, path());
    QCOMPARE(shownNames(manager), (QStringList{"today", "a second younger"}));
    QVERIFY(log.contains(QtInfoMsg, "[EventManager] Deleted 2 event(s) older than "));
    QCOMPARE(storedCount(), 2);
}

void tst_EventManager::newestFirst()
{
    const QDateTime now = QDateTime::currentDateTime();
    writeFile({{"b", now.addSecs(-20)}, {"c", now.addSecs(-10)}, {"a", now.addSecs(-30)}});
    EventManager manager(*m_config, path());
    QCOMPARE(shownNames(manager), (QStringList{"c", "b", "a"}));
    manager.push(new Event("General", "d", "", now.addSecs(-25)));
    QCOMPARE(shownNames(manager), (QStringList{"c", "b", "d", "a"}));
}

void tst_EventManager::nameFilter_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("capitals") << "LOG" << QStringList{"Maintenance logout", "Maintenance login"};
    QTest::newRow("login only") << "login" << QStringList{"Maintenance login"};
    QTest::newRow("empty") << "" << QStringList{"Maintenance logout", "Maintenance login", "Application started"};
    QTest::newRow("none") << "Barrier" << QStringList{};
}

void tst_EventManager::nameFilter()
{
    QFETCH(QString, filter);
    QFETCH(QStringList, shown);
    const QDateTime now = QDateTime::currentDateTime();
    writeFile({{"Application started", now.addSecs(-30)},
               {"Maintenance login", now.addSecs(-20)},
               {"Maintenance logout", now.addSecs(-10)}});
    EventManager manager(*m_config, path());
    QSignalSpy changed(&manager, &EventManager::dataChanged);
    LogCapture log;
    manager.applyFilter(filter);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(shownNames(manager), shown);
    QCOMPARE(log.texts(QtInfoMsg), QStringList{"[EventManager] Filtering : name=" + filter});
}

void tst_EventManager::timeBounds()
{
    const QDateTime now = QDateTime::currentDateTime();
    writeFile({{"a", now.addSecs(-300)}, {"b", now.addSecs(-200)}, {"c", now.addSecs(-100)}});
    EventManager manager(*m_config, path());

    manager.applyFilter(now.addSecs(-200));
    QCOMPARE(shownNames(manager), (QStringList{"c", "b"}));
    manager.applyFilter(now.addSecs(-300), now.addSecs(-200));
    QCOMPARE(shownNames(manager), (QStringList{"b", "a"}));
    manager.applyFilter("c");
    QCOMPARE(shownNames(manager), QStringList());
    manager.applyFilter(QDateTime(), now.addSecs(-100));
    QCOMPARE(shownNames(manager), QStringList{"c"});

    // Severity is kept but filters nothing.
    manager.applyFilter(QString());
    manager.applyFilter(3);
    QCOMPARE(shownNames(manager), (QStringList{"c", "b", "a"}));
}

void tst_EventManager::periods_data()
{
    QTest::addColumn<bool>("days"); // the events around day bounds, else those relative to now
    QTest::addColumn<QString>("period");
    QTest::addColumn<QStringList>("shown");

    const QStringList relative{"in 10 s", "1 s", "59 min", "90 min", "4 h", "6 days", "8 days", "20 days", "40 days"};
    QTest::newRow("Last hour") << false << "Last hour" << QStringList{"1 s", "59 min"};
    QTest::newRow("Last 2 hours") << false << "Last 2 hours" << QStringList{"1 s", "59 min", "90 min"};
    QTest::newRow("Last 5 hours") << false << "Last 5 hours" << QStringList{"1 s", "59 min", "90 min", "4 h"};
    QTest::newRow("Last week") << false << "Last week" << QStringList{"1 s", "59 min", "90 min", "4 h", "6 days"};
    QTest::newRow("Last month") << false << "Last month"
                                << QStringList{"1 s", "59 min", "90 min", "4 h", "6 days", "8 days", "20 days"};
    QTest::newRow("All history") << false << "All history" << relative;
    QTest::newRow("unknown text") << false << "last hour" << relative;

    // Both bounds inclusive, to the whole second.
    QTest::newRow("Today") << true << "Today" << QStringList{"today 23:59:59", "today 00:00"};
    QTest::newRow("Yesterday") << true << "Yesterday" << QStringList{"yesterday 23:59:59", "yesterday 00:00"};
}

void tst_EventManager::periods()
{
    QFETCH(bool, days);
    QFETCH(QString, period);
    QFETCH(QStringList, shown);

    const QDateTime now = QDateTime::currentDateTime();
    if (days) {
        writeFile({{"2 days ago 23:59:59", at(2, QTime(23, 59, 59))},
                   {"yesterday 00:00", at(1, QTime(0, 0))},
                   {"yesterday 23:59:59", at(1, QTime(23, 59, 59))},
                   {"yesterday 23:59:59.500", at(1, QTime(23, 59, 59, 500))},
                   {"today 00:00", at(0, QTime(0, 0))},
                   {"today 23:59:59", at(0, QTime(23, 59, 59))},
                   {"today 23:59:59.500", at(0, QTime(23, 59, 59, 500))},
                   {"tomorrow 00:00", at(-1, QTime(0, 0))}});
    } else {
        writeFile({{"20 days", now.addDays(-20)},
                   {"8 days", now.addDays(-8)},
                   {"6 days", now.addDays(-6)},
                   {"4 h", now.addSecs(-4 * 3600)},
                   {"90 min", now.addSecs(-90 * 60)},
                   {"59 min", now.addSecs(-59 * 60)},
                   {"1 s", now.addSecs(-1)},
                   {"in 10 s", now.addSecs(10)}});
    }
    EventManager manager(*m_config, path());
    if (!days) // older than the purge at start-up
        manager.push(new Event("General", "40 days", "", now.addDays(-40)));
    LogCapture log;
    manager.applyFilterPeriod(period);
    QCOMPARE(shownNames(manager), shown);
    QCOMPARE(log.texts(QtInfoMsg).first(), "[EventManager] Filtering (period) : " + period);
    QVERIFY(log.texts(QtInfoMsg).at(1).startsWith("[EventManager] Filtering : from="));
}

// A period leaves the name filter as it was; any text outside the table drops the bounds only.
void tst_EventManager::periodKeepsNameFilter()
{
    const QDateTime now = QDateTime::currentDateTime();
    writeFile({{"Maintenance login", now.addDays(-3)}, {"Application started", now.addSecs(-60)},
               {"Maintenance logout", now.addSecs(-30)}});
    EventManager manager(*m_config, path());
    manager.applyFilter("maintenance");
    manager.applyFilterPeriod("Last hour");
    QCOMPARE(shownNames(manager), QStringList{"Maintenance logout"});
    manager.applyFilterPeriod("All history");
    QCOMPARE(shownNames(manager), (QStringList{"Maintenance logout", "Maintenance login"}));
}

void tst_EventManager::clearBefore()
{
    writeFile({{"today 00:00", at(0, QTime(0, 0))},
               {"6 days", at(6, QTime(12, 0))},
               {"week start", at(7, QTime(0, 0))},
               {"before week start", at(7, QTime(0, 0)).addSecs(-1)}});
    EventManager manager(*m_config, path());
    LogCapture log;
    QSignalSpy changed(&manager, &EventManager::dataChanged);
    const QDateTime bound = at(7, QTime(0, 0));
    manager.clear(bound);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(storedCount(), 2);
    QCOMPARE(shownNames(manager), (QStringList{"today 00:00", "6 days"}));
    QCOMPARE(log.texts(QtInfoMsg),
             QStringList{"[EventManager] Deleted 2 event(s) older than " + bound.toString("yyyy-MM-dd hh:mm:ss")});

    // Nothing removed: no write, yet the view is rebuilt.
    QFile::remove(path());
    manager.clear(bound);
    QCOMPARE(changed.count(), 2);
    QVERIFY(!QFile::exists(path()));
}

void tst_EventManager::clearAll()
{
    EventManager manager(*m_config, path());
    QSignalSpy changed(&manager, &EventManager::dataChanged);
    manager.clear();
    QCOMPARE(changed.count(), 0);
    QVERIFY(!QFile::exists(path()));

    manager.push(new Event("General", "Application started", "", QDateTime::currentDateTime()));
    manager.push(new Event("General", "Application started", "", QDateTime::currentDateTime()));
    QPointer<Event> held = manager.events().first();
    changed.clear();
    manager.clear();
    QCOMPARE(changed.count(), 1);
    QCOMPARE(shownNames(manager), QStringList());
    QCOMPARE(manager.events().size(), 0);
    QVERIFY(QFile::exists(path()));
    QCOMPARE(storedCount(), 0);
    QTRY_VERIFY(!held);
}

// A log that cannot be written says so; what is held stays held.
void tst_EventManager::failedWriteIsLogged()
{
    // A plain file where the log's folder should be.
    QFile blocker(m_dir->filePath("logs"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString file = m_dir->filePath("logs/events.ini");
    LogCapture log;
    EventManager manager(*m_config, file);
    manager.push(new Event("General", "Application started", "", QDateTime::currentDateTime()));
    QCOMPARE(manager.events().size(), 1);
    QCOMPARE(shownNames(manager), QStringList{"Application started"});
    QVERIFY2(log.contains(QtCriticalMsg, "[EventManager] ERROR: Could not write event log : " + file),
             qPrintable(log.texts().join('\n')));
}

void tst_EventManager::writeKeepsTheFilesPermissions_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");

    QTest::newRow("narrowed by the operator") << 0600 << 0600;
    // Whoever put the file there does not hand its set-id bits to a file of ours.
    QTest::newRow("set-id and sticky bits") << 07640 << 0640;
}

// The new file that replaces the log takes the old one's permissions, and nothing more.
void tst_EventManager::writeKeepsTheFilesPermissions()
{
    QFETCH(int, before);
    QFETCH(int, after);

    writeFile({Stored("Application started", at(1, QTime(8, 0)))});
    const QByteArray name = QFile::encodeName(path());
    QCOMPARE(::chmod(name.constData(), mode_t(before)), 0);
    EventManager manager(*m_config, path());
    manager.push(new Event("General", "Maintenance login", "", QDateTime::currentDateTime()));
    struct stat info;
    QCOMPARE(::lstat(name.constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), after);
    QCOMPARE(storedCount(), 2);
}

void tst_EventManager::unusableFileSetAside_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QByteArray>("written"); // the file, for kind "written"

    const QString never = "holds values never written here";
    QTest::newRow("list announcing 2^31-1 items") << "variant" << never << QByteArray();
    QTest::newRow("the same behind escapes") << "escaped" << never << QByteArray();
    QTest::newRow("larger than the bound") << "large" << "larger than 1048576 bytes" << QByteArray();
    QTest::newRow("named pipe") << "fifo" << "not a regular file" << QByteArray();
    QTest::newRow("folder") << "folder" << "not a regular file" << QByteArray();
    QTest::newRow("link to a device") << "device" << "not a regular file" << QByteArray();

    // A timestamp is taken only as the log writes it (and as the settings library wrote it before).
    const QByteArray head = "[events]\n1\\category=General\n1\\desc=\n1\\name=Application started\n";
    const QByteArray stamp = "1\\timestamp=@DateTime(\\0\\0\\0\\x10\\0\\0\\0\\0\\0\\0%\\x8a\\xd7\\x2/\\x93Y\\0)\n";
    QTest::newRow("timestamp as a text") << "written" << never
                                         << head + "1\\timestamp=2024-03-05T10:11:12\nsize=1\n";
    QTest::newRow("timestamp as a text with an at sign")
        << "written" << never << head + QByteArray(stamp).replace("=@", "=@@") + "size=1\n";
    QTest::newRow("timestamp in a named zone")
        << "written" << never
        << head + "1\\timestamp=@DateTime(\\0\\0\\0\\x10\\0\\0\\0\\0\\0\\0%\\x8a\\xd7\\x2/\\x92\\0\\x3\\0\\0\\0\\x6\\0\\x61\\0/\\0\\x62)\nsize=1\n";
    QTest::newRow("timestamp of a day without a time")
        << "written" << never << head + "1\\timestamp=@DateTime(\\0\\0\\0\\xe\\0\\0\\0\\0\\0\\0%\\x8a\\xd7)\nsize=1\n";
    QTest::newRow("name as bytes") << "written" << never
                                   << "[events]\n1\\name=@ByteArray(Application started)\n" + stamp + "size=1\n";
    QTest::newRow("name split at a comma") << "written" << never << "[events]\n1\\name=a, b\n" + stamp + "size=1\n";
    QTest::newRow("size not a number") << "written" << never << head + stamp + "size=1x\n";
    QTest::newRow("line that is no setting") << "written" << never << head + stamp + "size=1\n1\\desc\n";
}

// A file the program did not write the way it writes is not read: it is moved aside whole,
// the log starts empty, and the next entry is written to a new file.
void tst_EventManager::unusableFileSetAside()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QFETCH(QByteArray, written);

    const QString bad = path() + ".bad";
    QByteArray content = written;
    if (kind == "variant") {
        // A QVariantList of 0x7fffffff entries: reading it asks for all of them at once.
        content = QByteArray("[events]\n1\\name=@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\nsize=1\n");
    } else if (kind == "escaped") {
        content = QByteArray("[events]\n1\\name=\\x40\\x56\\x61riant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\nsize=1\n");
    } else if (kind == "large") {
        writeFile({Stored("Application started", QDateTime::currentDateTime())});
        QFile file(path());
        QVERIFY(file.open(QIODevice::Append));
        QVERIFY(file.write(QByteArray(1024 * 1024, ';')) > 0);
    } else if (kind == "fifo") {
        QCOMPARE(mkfifo(QFile::encodeName(path()).constData(), 0600), 0);
    } else if (kind == "folder") {
        QVERIFY(QDir(m_dir->path()).mkdir("events.ini"));
    } else if (kind == "device") {
        QVERIFY(QFile::link("/dev/zero", path()));
    }
    if (!content.isEmpty()) {
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), qint64(content.size()));
    }

    LogCapture log;
    EventManager manager(*m_config, path());
    QCOMPARE(manager.events().size(), 0);
    QVERIFY2(log.contains(QtCriticalMsg, QStringLiteral("[EventManager] ERROR: Event log unusable (%1), moved aside to %2")
                                             .arg(reason, bad)),
             qPrintable(log.texts().join('\n')));
    QFileInfo const aside(bad);
    QVERIFY(aside.exists());
    QVERIFY(!QFileInfo::exists(path()));
    if (!content.isEmpty())
        QCOMPARE(aside.size(), qint64(content.size()));

    manager.push(new Event("General", "Application started", "", QDateTime::currentDateTime()));
    QVERIFY(QFileInfo(path()).isFile());
    QCOMPARE(storedCount(), 1);
    EventManager again(*m_config, path());
    QCOMPARE(again.events().size(), 1);
}

QByteArray tst_EventManager::bytes(const QString &name) const
{
    QFile file(m_dir->filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A log that cannot be read now (no descriptor left, an I/O error) holds events all the same:
// it stays where it is, untouched, and is read again before anything is written over it.
void tst_EventManager::unreadableLogLeftInPlace()
{
    writeFile({Stored("Application started", at(1, QTime(8, 0))), Stored("Maintenance login", at(1, QTime(9, 0)))});
    const QByteArray written = bytes("events.ini");
    QVERIFY(!written.isEmpty());

    LogCapture log;
    std::optional<NoFreeDescriptors> starved(std::in_place);
    EventManager manager(*m_config, path());
    // Still unreadable at the next entry: it is held, the file left alone.
    manager.push(new Event("General", "Maintenance logout", "", at(0, QTime(0, 0))));
    starved.reset();
    QVERIFY2(log.contains(QtCriticalMsg, "[EventManager] ERROR: Event log cannot be read (Too many open files) : " + path()),
             qPrintable(log.texts().join('\n')));
    QVERIFY2(!log.contains(QtCriticalMsg, "unusable"), qPrintable(log.texts().join('\n')));
    QCOMPARE(bytes("events.ini"), written);
    QCOMPARE(QDir(m_dir->path()).entryList({"events.ini*"}, QDir::AllEntries | QDir::System), QStringList{"events.ini"});
    QCOMPARE(shownNames(manager), QStringList{"Maintenance logout"});

    // Readable again: what it held comes first, then what came meanwhile.
    manager.push(new Event("General", "Application started", "", QDateTime::currentDateTime()));
    QCOMPARE(shownNames(manager),
             (QStringList{"Application started", "Maintenance logout", "Maintenance login", "Application started"}));
    EventManager again(*m_config, path());
    QCOMPARE(shownNames(again), shownNames(manager));
    QVERIFY(!QFileInfo::exists(path() + ".bad"));
}

void tst_EventManager::blockedSetAsideKeepsTheLog_data()
{
    QTest::addColumn<QStringList>("folders"); // in the way of the names aside
    QTest::addColumn<bool>("setAside");

    // A folder in the newest place moves along with the files: both are kept.
    QTest::newRow("folder as the last one set aside") << QStringList{"events.ini.bad"} << true;
    QTest::newRow("folders in every place aside")
        << QStringList{"events.ini.bad", "events.ini.bad.1", "events.ini.bad.2"} << false;
    QTest::newRow("folder in the oldest place, the others free") << QStringList{"events.ini.bad.2"} << true;
}

// An unusable log that cannot be moved aside is not deleted: it stays, and no entry is written
// over it, until it can be moved.
void tst_EventManager::blockedSetAsideKeepsTheLog()
{
    QFETCH(QStringList, folders);
    QFETCH(bool, setAside);

    for (const QString &folder : folders) {
        QVERIFY(QDir(m_dir->path()).mkpath(folder + "/inside"));
    }
    const QByteArray crafted("[events]\n1\\name=a, b\nsize=1\n");
    {
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(crafted), qint64(crafted.size()));
    }

    LogCapture log;
    EventManager manager(*m_config, path());
    manager.push(new Event("General", "Application started", "", QDateTime::currentDateTime()));
    QCOMPARE(shownNames(manager), QStringList{"Application started"});
    // Every folder is still there, with what it held, whatever its name now.
    QDir dir(m_dir->path());
    const QStringList folderNames = dir.entryList({"events.ini*"}, QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(folderNames.size(), folders.size());
    for (const QString &folder : folderNames)
        QVERIFY(QFileInfo(m_dir->filePath(folder + "/inside")).isDir());

    if (setAside) {
        QCOMPARE(bytes("events.ini.bad"), crafted);
        QCOMPARE(storedCount(), 1);
        return;
    }
    QVERIFY2(log.contains(QtCriticalMsg, "[EventManager] ERROR: Event log unusable (holds values never written here) "
                                         "and cannot be moved aside (File exists), left in place : " + path()),
             qPrintable(log.texts().join('\n')));
    QVERIFY2(log.contains(QtCriticalMsg, "[EventManager] ERROR: Event log not written over what could not be read or moved aside : "
                                         + path()),
             qPrintable(log.texts().join('\n')));
    QCOMPARE(bytes("events.ini"), crafted);

    // The way is free again: the log goes aside, and the held entry is written.
    QVERIFY(QDir(m_dir->filePath("events.ini.bad.2")).removeRecursively());
    manager.push(new Event("General", "Maintenance login", "", QDateTime::currentDateTime()));
    QCOMPARE(bytes("events.ini.bad"), crafted);
    QCOMPARE(storedCount(), 2);
}

// Each log set aside keeps a name of its own, the last one "events.ini.bad" as it always was,
// the earlier ones numbered after it, oldest last; only the few newest are kept.
void tst_EventManager::setAsideLogsKeptUnderOwnNames()
{
    const auto crafted = [](int n) { return QByteArray("[events]\nsize=x") + QByteArray::number(n) + "\n"; };
    // One an earlier version set aside.
    {
        QFile file(path() + ".bad");
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(crafted(0)) > 0);
    }
    for (int n = 1; n <= 4; ++n) {
        {
            QFile file(path());
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write(crafted(n)) > 0);
        }
        EventManager manager(*m_config, path());
        QCOMPARE(manager.events().size(), 0);
        QVERIFY(!QFileInfo::exists(path()));

        QStringList expected;
        for (int k = n; k >= 0 && k > n - 3; --k)
            expected << (k == n ? QString("events.ini.bad") : QString("events.ini.bad.%1").arg(n - k));
        QCOMPARE(QDir(m_dir->path()).entryList({"events.ini*"}, QDir::AllEntries | QDir::System, QDir::Name), expected);
        for (int i = 0; i < expected.size(); ++i)
            QCOMPARE(bytes(expected.at(i)), crafted(n - i));
    }
}

// A link in the log's place is replaced by a file of its own; what it pointed to is untouched.
void tst_EventManager::linkReplacedNotFollowed()
{
    QFile target(m_dir->filePath("precious.conf"));
    QVERIFY(target.open(QIODevice::WriteOnly));
    QVERIFY(target.write("[mqtt]\npassword=keep\n") > 0);
    target.close();
    QVERIFY(QFile::link(target.fileName(), path()));

    LogCapture log;
    EventManager manager(*m_config, path());
    QCOMPARE(manager.events().size(), 0);
    QVERIFY(log.contains(QtCriticalMsg, "[EventManager] ERROR: Event log unusable (not a regular file)"));
    manager.push(new Event("General", "Application started", "", QDateTime::currentDateTime()));

    QFileInfo const log_(path());
    QVERIFY(!log_.isSymLink());
    QVERIFY(log_.isFile());
    QCOMPARE(storedCount(), 1);
    QVERIFY(target.open(QIODevice::ReadOnly));
    QCOMPARE(target.readAll(), QByteArray("[mqtt]\npassword=keep\n"));
}

void tst_EventManager::writerNeverReadsWhatTookTheLogsPlace_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("crafted file") << "crafted";
    QTest::newRow("link") << "link";
    QTest::newRow("named pipe") << "fifo";
}

// Between two writes something else takes the log's place: the next write replaces it with the
// held events, without reading it, following it or writing into it.
void tst_EventManager::writerNeverReadsWhatTookTheLogsPlace()
{
    QFETCH(QString, kind);

    EventManager manager(*m_config, path());
    manager.push(new Event("General", "Application started", "", QDateTime::currentDateTime()));
    QVERIFY(QFile::remove(path()));
    const QString target = m_dir->filePath("precious.conf");
    const QByteArray precious("[mqtt]\npassword=keep\n");
    if (kind == "crafted") {
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[events]\n1\\name=@Vari\\zant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\nsize=1\n");
    } else if (kind == "link") {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(precious);
        file.close();
        QVERIFY(QFile::link(target, path()));
    } else {
        QCOMPARE(mkfifo(QFile::encodeName(path()).constData(), 0600), 0);
    }

    manager.push(new Event("General", "Maintenance login", "", QDateTime::currentDateTime()));
    const QFileInfo written(path());
    QVERIFY(written.isFile() && !written.isSymLink());
    QCOMPARE(storedCount(), 2);
    EventManager again(*m_config, path());
    QCOMPARE(again.events().size(), 2);
    QCOMPARE(again.events().last()->name(), QString("Maintenance login"));
    if (kind == "link") {
        QFile file(target);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), precious);
    }
}

void tst_EventManager::loginAndLogoutEntries()
{
    const QDateTime before = QDateTime::currentDateTime();
    EventLogin login(User{0, "VESK", "Admin", "8306"});
    EventLogout logout;
    const QDateTime after = QDateTime::currentDateTime();

    QCOMPARE(login.category(), QString("General"));
    QCOMPARE(login.name(), QString("Maintenance login"));
    QVERIFY(login.timestamp() >= before && login.timestamp() <= after);
    QCOMPARE(login.description(), "User ID : 0\nFirst name : VESK\nLast name : Admin\nDate : "
                                      + login.timestamp().toString(Qt::TextDate));
    QVERIFY(!login.description().contains("8306"));

    QCOMPARE(logout.category(), QString("General"));
    QCOMPARE(logout.name(), QString("Maintenance logout"));
    QVERIFY(logout.timestamp() >= before && logout.timestamp() <= after);
    QCOMPARE(logout.description(), "Date : " + logout.timestamp().toString(Qt::TextDate));
}

bool tst_EventManager::startProgram(const QString &folder, QString *err)
{
    // A hard link where it can (a symbolic one would put the program beside its target).
    const QString program = folder + "/vorn-terminal-ui";
    if (!QFile::exists(program) && ::link(VORN_PROGRAM, QFile::encodeName(program).constData()) != 0
        && !QFile::copy(VORN_PROGRAM, program))
        return false;
    QProcess process;
    process.setWorkingDirectory(m_dir->path());
    // Its MQTT connection goes to a port of its own where nothing listens.
    process.start(program, {"-P", QString::number(FreePort::pick())});
    const auto collect = [&] { *err += QString::fromUtf8(process.readAllStandardError()); };
    connect(&process, &QProcess::readyReadStandardError, this, collect);
    const auto shownOrEnded = [&] {
        return err->contains("[GUIManager] First frame shown") || process.state() == QProcess::NotRunning;
    };
    static_cast<void>(QTest::qWaitFor(shownOrEnded, 60000));
    const bool running = process.state() == QProcess::Running;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
    }
    collect();
    if (!running) {
        // What a failed check shows first.
        const QStringList lines = err->split('\n');
        err->prepend(QString("The program ended (%1, exit code %2); its last lines:\n%3\n---\n")
                         .arg(process.exitStatus() == QProcess::CrashExit ? "crashed" : "exited")
                         .arg(process.exitCode())
                         .arg(lines.mid(qMax(0, lines.size() - 4)).join('\n')));
    }
    return running;
}

void tst_EventManager::craftedFilesOnARealStart_data()
{
    QTest::addColumn<QByteArray>("file"); // events.ini beside the program; empty: the one it wrote itself
    QTest::addColumn<int>("loaded");     // events loaded; -1: the file is set aside

    // A QVariantList of 0x7fffffff entries in the stream of each prefix: reading it asks for
    // all of them at once.
    const QByteArray list = "\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)";
    const QByteArray stamp = "1\\timestamp=@DateTime(\\0\\0\\0\\x10\\0\\0\\0\\0\\0\\0%\\x8a\\xd7\\x2/\\x93Y\\0)\n";
    QTest::newRow("@Variant(") << "[events]\n1\\name=@Variant(" + list + "\n" + stamp + "size=1\n" << -1;
    QTest::newRow("@DateTime( with crafted bytes")
        << QByteArray("[events]\n1\\name=a\n1\\timestamp=@DateTime(\\0\\0\\0\\t\\0\\x7f\\xff\\xff\\xff)\nsize=1\n") << -1;
    QTest::newRow("@Variant( behind an unknown escape") << "[events]\n1\\name=@Vari\\zant(" + list + "\n" + stamp + "size=1\n" << -1;
    QTest::newRow("@Variant( behind doubled quotes") << "[events]\n1\\name=@Vari\"\"ant(" + list + "\n" + stamp + "size=1\n" << -1;
    QTest::newRow("@Variant( behind a continued line") << "[events]\n1\\name=@Vari\\\nant(" + list + "\n" + stamp + "size=1\n" << -1;
    QTest::newRow("written by the program itself") << QByteArray() << 1;
}

// The whole program started beside each file: it starts, and a file it did not write is moved
// aside whole, with an error, while its own file keeps its events.
void tst_EventManager::craftedFilesOnARealStart()
{
    QFETCH(QByteArray, file);
    QFETCH(int, loaded);

    StubCommands commands; // the clock asks timedatectl at start
    QVERIFY(commands.isValid());
    const QString folder = m_dir->filePath("bin");
    QVERIFY(QDir().mkpath(folder));
    const QString log = folder + "/events.ini";
    QString err;
    if (file.isEmpty()) {
        QVERIFY2(startProgram(folder, &err), qPrintable(err.left(1000)));
        QCOMPARE(storedCount(log), 1);
        err.clear();
    } else {
        QFile f(log);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(file), qint64(file.size()));
    }

    QVERIFY2(startProgram(folder, &err), qPrintable(err.left(1000)));
    const QString events = err.split('\n').filter("[EventManager]").join('\n');
    const QString aside = "[EventManager] ERROR: Event log unusable (holds values never written here), moved aside to "
                          + log + ".bad; starting with an empty log";
    if (loaded < 0) {
        QVERIFY2(events.contains(aside), qPrintable(events));
        QVERIFY2(events.contains("[EventManager] Loading saved events : from=0 to=0"), qPrintable(events));
        QFile bad(log + ".bad");
        QVERIFY(bad.open(QIODevice::ReadOnly));
        QCOMPARE(bad.readAll(), file);
    } else {
        QVERIFY2(!events.contains("ERROR"), qPrintable(events));
        QVERIFY2(events.contains(QString("[EventManager] Loading saved events : from=0 to=%1").arg(loaded)),
                 qPrintable(events));
        QVERIFY(!QFileInfo::exists(log + ".bad"));
    }
    // "Application started" follows what was kept.
    QCOMPARE(storedCount(log), qMax(loaded, 0) + 1);
}

QTEST_GUILESS_MAIN(tst_EventManager)
#include "tst_EventManager.moc"
