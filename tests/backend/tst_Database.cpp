#include "backend/Database.h"

#include "StoreDir.h"
#include "app/Config.h"
#include "fakes/EventLoopWait.h"
#include "fakes/LogCapture.h"
#include "fakes/WaitingPipe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

using Backend::Database;
using Backend::Transaction;

namespace {

Transaction::Ptr transaction(const QString &uuid, Transaction::Type type = Transaction::Issuance)
{
    auto t = Transaction::Ptr::create();
    t->setType(type);
    t->setUuid(uuid);
    t->setTimestamp(QDateTime::currentDateTime());
    t->setDeviceSerial(QStringLiteral("SN-1"));
    t->setCardUid(QStringLiteral("CARD-") + uuid);
    t->setKelvoDbId(QStringLiteral("0"));
    return t;
}

// Card uids as a back office lists them: distinct, and in no particular order.
QStringList cardUids(const QString &prefix, int count)
{
    QStringList uids;
    uids.reserve(count);
    for (int i = count; i > 0; --i)
        uids << prefix + QString::number(i, 16).toUpper().rightJustified(12, QLatin1Char('0'));
    return uids;
}

QStringList uuids(const QList<Transaction::Ptr> &list)
{
    QStringList out;
    for (const auto &t : list)
        out << t->uuid();
    return out;
}

} // namespace

class tst_Database : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<StoreDir> m_dir;
    std::unique_ptr<Config> m_config;
    std::unique_ptr<Database> m_db;

    // Sets the send columns of a row as the sender would leave them.
    void schedule(const QString &uuid, const QString &status, const QDateTime &when)
    {
        auto t = transaction(uuid);
        t->sendDetails().sendStatus = status;
        t->sendDetails().sendSchedDate = when;
        QVERIFY(m_db->transUpdate(t));
    }

    // A plain SQLite connection of the test on the same file.
    QSqlQuery raw(const QString &statement)
    {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("raw"), false);
        if (!db.isValid()) {
            db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw"));
            db.setDatabaseName(m_dir->filePath(QStringLiteral("terminal.db")));
        }
        // Opened again, it would end a transaction the test holds.
        if (!db.isOpen())
            db.open();
        QSqlQuery q(db);
        q.exec(statement);
        return q;
    }

    QStringList column(const QString &statement)
    {
        QStringList values;
        QSqlQuery q = raw(statement);
        while (q.next())
            values << q.value(0).toString();
        return values;
    }
    QStringList listed() { return column(QStringLiteral("SELECT uid FROM Blacklist ORDER BY uid")); }
    QStringList tables()
    {
        return column(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"));
    }
    const QStringList FiveTables{"Blacklist", "Customs", "Locations", "Parameters", "Transactions"};

private slots:
    void init()
    {
        m_dir = std::make_unique<StoreDir>();
        QVERIFY(m_dir->isValid());
        m_config = std::make_unique<Config>(m_dir->filePath(QStringLiteral("gui.conf")), QMap<QString, QVariant>{});
    }

    void cleanup()
    {
        m_db.reset();
        if (QSqlDatabase::contains(QStringLiteral("raw"))) {
            QSqlDatabase::database(QStringLiteral("raw"), false).close();
            QSqlDatabase::removeDatabase(QStringLiteral("raw"));
        }
        m_config.reset();
        m_dir.reset();
    }

    void freshStoreCreatesItsTablesOnce()
    {
        {
            LogCapture log;
            m_db = std::make_unique<Database>(*m_config);
            QCOMPARE(log.count(QtInfoMsg, QStringLiteral("[Backend::Database] Creating table : ")), 5);
            QCOMPARE(log.startingWith(QStringLiteral("[Backend::Database] Creating table : ")),
                     (QStringList{"[Backend::Database] Creating table : Customs",
                                  "[Backend::Database] Creating table : Locations",
                                  "[Backend::Database] Creating table : Parameters",
                                  "[Backend::Database] Creating table : Blacklist",
                                  "[Backend::Database] Creating table : Transactions"}));
        }
        QVERIFY(QFile::exists(m_dir->filePath(QStringLiteral("terminal.db"))));
        m_db->setParam(QStringLiteral("id"), 7);
        m_db.reset();

        LogCapture log;
        m_db = std::make_unique<Database>(*m_config);
        QCOMPARE(log.count(QtInfoMsg, QStringLiteral("Creating table : ")), 0);
        QCOMPARE(m_db->param(QStringLiteral("id")).toString(), QStringLiteral("7"));

        // The row format is read by position: the column order is part of the file.
        QSqlQuery columns = raw(QStringLiteral("PRAGMA table_info(Transactions)"));
        QStringList names;
        while (columns.next())
            names << columns.value(1).toString();
        QCOMPARE(names, (QStringList{"type", "uuid", "timestamp", "deviceSerial", "cardUid", "kelvoDbId",
                                     "errorDetails", "sendDate", "sendSchedDate", "sendStatus", "sendAttempts",
                                     "respStatus", "respData"}));
    }

    void parameters()
    {
        m_db = std::make_unique<Database>(*m_config);
        QSignalSpy changed(m_db.get(), &Database::paramChanged);

        QVERIFY(!m_db->param(QStringLiteral("blacklistVer")).isValid());
        const QVariant key = m_db->param(QStringLiteral("apiKey"));
        QVERIFY(key.isValid());
        QCOMPARE(key.toString(), QString());
        QCOMPARE(m_db->paramKeys(), QStringList{"apiKey"});

        m_db->setParam(QStringLiteral("blacklistVer"), QStringLiteral("v7"));
        m_db->setParam(QStringLiteral("blacklistVer"), QStringLiteral("v7"));
        m_db->setParam(QStringLiteral("apiKey"), QStringLiteral("k-1"));
        m_db->setParam(QStringLiteral("apiKey"), QStringLiteral("k-1"));
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.at(0).at(0).toString(), QStringLiteral("blacklistVer"));
        QCOMPARE(changed.at(0).at(1).toString(), QStringLiteral("v7"));
        QCOMPARE(changed.at(1).at(0).toString(), QStringLiteral("apiKey"));

        QCOMPARE(m_db->param(QStringLiteral("blacklistVer")).toString(), QStringLiteral("v7"));
        QCOMPARE(m_db->paramKeys(), (QStringList{"blacklistVer", "apiKey"}));
        // The key lives outside the database.
        QCOMPARE(raw(QStringLiteral("SELECT key FROM Parameters WHERE key = 'apiKey'")).next(), false);
    }

    void apiKeyIsOnDiskAtOnce()
    {
        m_db = std::make_unique<Database>(*m_config);
        m_db->setParam(QStringLiteral("apiKey"), QStringLiteral("secret-key-42"));
        // No event loop has run: only an explicit write puts it there.
        QFile file(m_dir->apiKeyFile());
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(m_dir->apiKeyFile()));
        QVERIFY(file.readAll().contains("secret-key-42"));
    }

    void referenceRecords()
    {
        m_db = std::make_unique<Database>(*m_config);
        QSignalSpy customs(m_db.get(), &Database::customsChanged);
        QSignalSpy locations(m_db.get(), &Database::locationsChanged);

        m_db->setCustoms({{1, QStringLiteral("Port"), QStringLiteral("u1")}, {2, QStringLiteral("Airport"), QString()}});
        m_db->setCustoms({{2, QStringLiteral("Airport North"), QStringLiteral("u2")}});
        m_db->setLocations({});
        QCOMPARE(customs.count(), 2);
        QCOMPARE(locations.count(), 1);

        QCOMPARE(m_db->findCustoms(1).name, QStringLiteral("Port"));
        QCOMPARE(m_db->findCustoms(2).name, QStringLiteral("Airport North"));
        QCOMPARE(m_db->findCustoms(2).uuid, QStringLiteral("u2"));
        QCOMPARE(m_db->customs().size(), 2);
        const Database::DataRecord none = m_db->findLocation(1);
        QCOMPARE(none.id, 0);
        QVERIFY(none.name.isEmpty() && none.uuid.isEmpty());
    }

    void blacklist()
    {
        m_db = std::make_unique<Database>(*m_config);
        m_db->blacklistAdd(QStringLiteral("04AA"));
        {
            LogCapture log; // the second insert fails on the key and changes nothing
            m_db->blacklistAdd(QStringLiteral("04AA"));
        }
        QVERIFY(m_db->isBlacklisted(QStringLiteral("04AA")));
        QVERIFY(!m_db->isBlacklisted(QStringLiteral("04BB")));
        {
            QSqlQuery count = raw(QStringLiteral("SELECT COUNT(*) FROM Blacklist"));
            QVERIFY(count.next());
            QCOMPARE(count.value(0).toInt(), 1);
        }
        m_db->blacklistRemove(QStringLiteral("04AA"));
        QVERIFY(!m_db->isBlacklisted(QStringLiteral("04AA")));
    }

    // A list is applied whatever its length: uids listed already or twice count as listed, one
    // both added and removed ends up out, and what an apply cut short by a power cut left
    // beside the list goes.
    void blacklistApplyOfAnyLength_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("short") << 3;
        QTest::newRow("long") << 25000;
    }
    void blacklistApplyOfAnyLength()
    {
        QFETCH(int, count);
        m_db = std::make_unique<Database>(*m_config);
        for (const char *uid : {"OLD1", "OLD2", "OLD3"})
            m_db->blacklistAdd(QLatin1String(uid));
        QVERIFY(raw(QStringLiteral("CREATE TABLE BlacklistNext (uid TEXT, PRIMARY KEY (uid))")).isActive());
        QVERIFY(raw(QStringLiteral("INSERT INTO BlacklistNext VALUES ('STALE')")).isActive());

        const QStringList fresh = cardUids(QStringLiteral("N"), count);
        QStringList added = fresh;
        added << fresh.first() << QStringLiteral("OLD1");
        QStringList expected = fresh;
        expected.removeAt(1);
        expected << QStringLiteral("OLD1") << QStringLiteral("OLD3");
        expected.sort();
        {
            LogCapture log;
            QVERIFY(m_db->blacklistApply(added, {QStringLiteral("OLD2"), QStringLiteral("GONE"), fresh.at(1)}));
            QCOMPARE(log.startingWith(QStringLiteral("[Backend::Database] Blacklist updated : ")),
                     QStringList{QStringLiteral("[Backend::Database] Blacklist updated : %1 uid(s) added, 2 listed "
                                                "already, 2 removed").arg(count)});
        }
        QCOMPARE(listed(), expected);
        QCOMPARE(tables(), FiveTables);
    }

    // Whatever fails on the way, the list stays as it was: a uid the file refuses (a trigger
    // here) in a short list, a long list that cannot take the old one's place (a view the file
    // can no longer read stops any rename).
    void blacklistApplyIsWholeOrNothing_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("short, a uid refused")
            << 3 << "CREATE TRIGGER refuse BEFORE INSERT ON Blacklist WHEN NEW.uid = 'N000000000001' "
                    "BEGIN SELECT RAISE(ABORT, 'refused'); END"
            << "refused";
        QTest::newRow("long, the old list cannot be replaced")
            << 25000 << "CREATE VIEW Broken AS SELECT uid FROM Missing" << "Missing";
    }
    void blacklistApplyIsWholeOrNothing()
    {
        QFETCH(int, count);
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        m_db = std::make_unique<Database>(*m_config);
        m_db->blacklistAdd(QStringLiteral("OLD1"));
        m_db->blacklistAdd(QStringLiteral("OLD2"));
        QVERIFY(raw(fault).isActive());
        {
            LogCapture log;
            QVERIFY(!m_db->blacklistApply(cardUids(QStringLiteral("N"), count), {QStringLiteral("OLD1")}));
            QVERIFY(log.contains(QtCriticalMsg, reason));
            QCOMPARE(log.startingWith(QStringLiteral("[Backend::Database] Blacklist updated")).size(), 0);
        }
        QCOMPARE(listed(), (QStringList{"OLD1", "OLD2"}));
        QCOMPARE(tables(), FiveTables);
    }

    // An apply cut short while it builds the new list (the link stopped, or going at the
    // program's end) gives up at its next step: the old list stands whole, and what was built
    // beside it stays, as a power cut leaves it, for the next apply to clear first. Cleared on
    // the spot, it held the caller, and at the program's end the screen, for seconds.
    void blacklistApplyCutShort()
    {
        m_db = std::make_unique<Database>(*m_config);
        m_db->blacklistAdd(QStringLiteral("OLD1"));
        m_db->blacklistAdd(QStringLiteral("OLD2"));
        const QStringList added = cardUids(QStringLiteral("N"), 200000);
        std::atomic_bool cancelled{false};
        std::atomic_bool done{false};
        bool applied = true;
        LogCapture log;
        std::unique_ptr<QThread> thread(QThread::create([&]() {
            applied = m_db->blacklistApply(added, {QStringLiteral("OLD1")}, &cancelled);
            done = true;
        }));
        thread->start();
        const auto building = [this]() {
            return column(QStringLiteral("SELECT COUNT(*) FROM BlacklistNext")).value(0).toInt() > 0;
        };
        QVERIFY(waitUntil([&] { return done || building(); }, 60000));
        // Held by the test, the file keeps the apply where it is while the cut comes.
        QVERIFY(raw(QStringLiteral("BEGIN IMMEDIATE")).isActive());
        QVERIFY2(!done && listed() == (QStringList{"OLD1", "OLD2"}), "the apply was over before the cut");
        cancelled = true;
        QVERIFY(raw(QStringLiteral("ROLLBACK")).isActive());
        QVERIFY(thread->wait(60000));

        QVERIFY(!applied);
        QCOMPARE(listed(), (QStringList{"OLD1", "OLD2"}));
        QCOMPARE(tables(), (QStringList{"Blacklist", "BlacklistNext", "Customs", "Locations", "Parameters", "Transactions"}));
        // Given up, not failed.
        QCOMPARE(log.startingWith(QStringLiteral("[Backend::Database] "), QtCriticalMsg), QStringList());
        QCOMPARE(log.startingWith(QStringLiteral("[Backend::Database] Blacklist updated")), QStringList());

        QVERIFY(m_db->blacklistApply({QStringLiteral("NEW1")}, {QStringLiteral("OLD1")}));
        QCOMPARE(listed(), (QStringList{"NEW1", "OLD2"}));
        QCOMPARE(tables(), FiveTables);
    }

    // The link applies a list on a thread of its own. The lane's thread meanwhile still writes
    // its transactions and reads the list, which is the old one until the new one is whole.
    void blacklistApplyBesideTheLane()
    {
        m_db = std::make_unique<Database>(*m_config);
        m_db->blacklistAdd(QStringLiteral("OLD1"));
        m_db->blacklistAdd(QStringLiteral("OLD2"));
        const QStringList added = cardUids(QStringLiteral("N"), 40000);
        std::atomic_bool done{false};
        bool applied = false;
        std::unique_ptr<QThread> thread(QThread::create([&]() {
            applied = m_db->blacklistApply(added, {QStringLiteral("OLD1")});
            done = true;
        }));
        thread->start();
        int written = 0;
        int failed = 0;
        QStringList mixed;
        while (!done) {
            if (m_db->transAdd(transaction(QStringLiteral("t%1").arg(written + failed))))
                ++written;
            else
                ++failed;
            const bool old = m_db->isBlacklisted(QStringLiteral("OLD1"));
            const bool first = m_db->isBlacklisted(added.first());
            const bool last = m_db->isBlacklisted(added.last());
            if (!(old && !first && !last) && !(!old && first && last))
                mixed << QStringLiteral("old %1, first %2, last %3").arg(old).arg(first).arg(last);
            // A lane writes now and then, not without end.
            QThread::msleep(2);
        }
        QVERIFY(thread->wait(60000));
        QVERIFY(applied);
        QCOMPARE(failed, 0);
        QVERIFY2(mixed.isEmpty(), qPrintable(mixed.join(QStringLiteral("; "))));
        QCOMPARE(m_db->transCount(QStringLiteral("PENDING")), written);
        QCOMPARE(listed().size(), added.size() + 1);
        QVERIFY(!m_db->isBlacklisted(QStringLiteral("OLD1")));
    }

    // A list is written whole or not at all: a row the file refuses (here a trigger) leaves the
    // table as it was.
    void listsAreWrittenWhole_data()
    {
        QTest::addColumn<QString>("table");
        QTest::newRow("customs") << "Customs";
        QTest::newRow("locations") << "Locations";
    }
    void listsAreWrittenWhole()
    {
        QFETCH(QString, table);
        m_db = std::make_unique<Database>(*m_config);
        auto write = [&](const QList<Database::DataRecord> &records) {
            if (table == QLatin1String("Customs"))
                m_db->setCustoms(records);
            else
                m_db->setLocations(records);
        };
        auto names = [&]() {
            QStringList out;
            const auto records = table == QLatin1String("Customs") ? m_db->customs() : m_db->locations();
            for (const auto &r : records)
                out << r.name;
            return out;
        };
        write({{1, QStringLiteral("Port"), QString()}});
        QVERIFY(raw(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON %1 WHEN NEW.id = 3 "
                                   "BEGIN SELECT RAISE(ABORT, 'refused'); END").arg(table)).isActive());
        {
            LogCapture log;
            write({{1, QStringLiteral("Port North"), QString()}, {2, QStringLiteral("Airport"), QString()},
                   {3, QStringLiteral("Rail"), QString()}, {4, QStringLiteral("Lake"), QString()}});
            QVERIFY(log.contains(QtCriticalMsg, QStringLiteral("refused")));
        }
        QCOMPARE(names(), QStringList{"Port"});
        write({{1, QStringLiteral("Port North"), QString()}, {2, QStringLiteral("Airport"), QString()}});
        QCOMPARE(names(), (QStringList{"Port North", "Airport"}));
    }

    // Another process holds terminal.db locked: the store says so, with the driver's words, and
    // takes the tables it cannot see for neither missing nor there.
    void lockedStoreSaysWhy()
    {
        m_db = std::make_unique<Database>(*m_config);
        m_db->setParam(QStringLiteral("blacklistVer"), QStringLiteral("v3"));
        m_db.reset();
        QVERIFY(raw(QStringLiteral("BEGIN EXCLUSIVE")).isActive());
        {
            LogCapture log;
            m_db = std::make_unique<Database>(*m_config);
            QCOMPARE(log.count(QtInfoMsg, QStringLiteral("Creating table")), 0);
            QVERIFY(log.contains(QtCriticalMsg, QStringLiteral("[Backend::Database] ERROR: Could not read the tables")));
            QVERIFY(!m_db->param(QStringLiteral("blacklistVer")).isValid());
            QVERIFY(log.contains(QtCriticalMsg, QStringLiteral("[SqlDatabase] ERROR: Could not execute query : "
                                                                "SELECT value FROM Parameters WHERE key = ?")));
            QVERIFY(log.contains(QtCriticalMsg, QStringLiteral("database is locked")));
            QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("Parameter count mismatch")), 0);
        }
        QSqlDatabase::database(QStringLiteral("raw"), false).close(); // the other side lets go
        QCOMPARE(m_db->param(QStringLiteral("blacklistVer")).toString(), QStringLiteral("v3"));
    }

    // The key proves who the terminal is: no other user reads it, whatever the file was before.
    void apiKeyFileIsTheUsersAlone_data()
    {
        QTest::addColumn<bool>("existing");
        QTest::addColumn<bool>("newKey");
        QTest::newRow("new file") << false << true;
        QTest::newRow("file readable by all") << true << true;
        // A registered terminal never writes its key again: opening the store mends the file.
        QTest::newRow("file readable by all, key kept") << true << false;
    }
    void apiKeyFileIsTheUsersAlone()
    {
        QFETCH(bool, existing);
        QFETCH(bool, newKey);
        if (existing) {
            QVERIFY(QDir().mkpath(QFileInfo(m_dir->apiKeyFile()).absolutePath()));
            QFile file(m_dir->apiKeyFile());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[General]\napiKey=old-key\n");
            file.close();
            QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                        | QFileDevice::ReadOther));
        }
        m_db = std::make_unique<Database>(*m_config);
        if (newKey)
            m_db->setParam(QStringLiteral("apiKey"), QStringLiteral("secret-key-42"));
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
            | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
        QFile file(m_dir->apiKeyFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains(newKey ? "secret-key-42" : "old-key"));
        QCOMPARE(m_db->param(QStringLiteral("apiKey")).toString(), newKey ? QStringLiteral("secret-key-42") : QStringLiteral("old-key"));
        QCOMPARE(int(file.permissions() & others), 0);
        QVERIFY(file.permissions() & QFileDevice::ReadOwner);
    }

    // A key file behind a link is read through it, but the store does not change the file it
    // points to: its permissions stay as whoever set them left them.
    void apiKeyFileBehindALinkKeepsItsTargetsPermissions()
    {
        const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere.conf"));
        {
            QFile file(elsewhere);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[General]\napiKey=old-key\n");
        }
        const QFileDevice::Permissions shared = QFileDevice::ReadOwner | QFileDevice::WriteOwner
            | QFileDevice::ReadGroup | QFileDevice::ReadOther;
        QVERIFY(QFile::setPermissions(elsewhere, shared));
        QVERIFY(QDir().mkpath(QFileInfo(m_dir->apiKeyFile()).absolutePath()));
        QVERIFY(QFile::link(elsewhere, m_dir->apiKeyFile()));

        m_db = std::make_unique<Database>(*m_config);
        QCOMPARE(m_db->param(QStringLiteral("apiKey")).toString(), QStringLiteral("old-key"));
        // Owner, group and others; not what the current user may do.
        QCOMPARE(QFile::permissions(elsewhere) & QFileDevice::Permissions(0x7077), shared);
    }

    void unusableApiKeyFileRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("content");
        // A list of 0x7fffffff values: the settings library asks for all of them at once.
        const QByteArray list = "\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\n";
        QTest::newRow("@Variant(") << "file" << "[General]\napiKey=@Variant(" + list;
        QTest::newRow("@Variant( behind an unknown escape") << "file" << "[General]\napiKey=@Vari\\zant(" + list;
        QTest::newRow("@Variant( behind doubled quotes") << "file" << "[General]\napiKey=@Vari\"\"ant(" + list;
        QTest::newRow("@Variant( behind a continued line") << "file" << "[General]\napiKey=@Vari\\\nant(" + list;
        QTest::newRow("larger than a key file is")
            << "file" << "[General]\napiKey=old-key\n;" + QByteArray(128 * 1024, 'x') + "\n";
        QTest::newRow("pipe") << "pipe" << QByteArray();
        QTest::newRow("folder") << "folder" << QByteArray();
    }

    // The key file is read as the store writes it, and by nothing that builds other values from
    // its bytes: fifty crafted bytes must not abort the program at every start, nor a pipe hold
    // it, nor a device feed it without end. Such a file is refused with an error (no key, as if
    // unregistered); the next key sets it aside instead of replacing it unread.
    void unusableApiKeyFileRefused()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, content);

        const QString path = m_dir->apiKeyFile();
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        std::unique_ptr<WaitingPipe> pipe;
        // A pipe set aside waits for its reader under its new name: it is let go there.
        const auto releaseAside = qScopeGuard([&pipe, path] {
            const QByteArray aside = QFile::encodeName(path + QStringLiteral(".bad"));
            const int fd = pipe ? ::open(aside.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
            if (fd >= 0)
                ::close(fd);
        });
        if (kind == "file") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(content), content.size());
        } else if (kind == "pipe") {
            pipe = std::make_unique<WaitingPipe>(path);
            QVERIFY(pipe->isValid());
        } else {
            QVERIFY(QDir().mkdir(path));
        }

        LogCapture log;
        m_db = std::make_unique<Database>(*m_config);
        QCOMPARE(m_db->param(QStringLiteral("apiKey")).toString(), QString());
        QVERIFY2(log.contains(QtCriticalMsg, QStringLiteral("[Backend::Database] ERROR: API key file refused : ") + path),
                 qPrintable(log.texts().join('\n')));

        QVERIFY(m_db->setParam(QStringLiteral("apiKey"), QStringLiteral("secret-key-42")));
        QCOMPARE(m_db->param(QStringLiteral("apiKey")).toString(), QStringLiteral("secret-key-42"));
        const QFileInfo written(path);
        QVERIFY(written.isFile() && !written.isSymLink());
        QCOMPARE(written.permissions() & QFileDevice::Permissions(0x7077), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        const QFileInfo aside(path + QStringLiteral(".bad"));
        QVERIFY(aside.exists() || aside.isSymLink());
        if (kind == "file") {
            QFile kept(aside.filePath());
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), content);
        }
    }

    // A board may keep the key file on a partition that outlives a re-flash, linked from where
    // the settings want it. A new key goes into the file the link leads to, when that is a
    // regular file of the user's: a plain file in the link's place would leave the old key there
    // to come back after a reboot. A link to anything else is refused and left as it is.
    void apiKeyFileBehindALink_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("written"); // else refused
        QTest::newRow("link to a file of ours") << "file" << true;
        QTest::newRow("relative link to a link to a file of ours") << "chain" << true;
        QTest::newRow("link to an unusable file of ours") << "unusable" << true;
        QTest::newRow("dangling link") << "dangling" << false;
        QTest::newRow("link to a folder") << "folder" << false;
        QTest::newRow("link to a pipe") << "pipe" << false;
        QTest::newRow("link to a device") << "device" << false;
        QTest::newRow("link to another user's file") << "foreign" << false;
    }
    void apiKeyFileBehindALink()
    {
        QFETCH(QString, kind);
        QFETCH(bool, written);

        const QString path = m_dir->apiKeyFile();
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        const QString persistent = m_dir->filePath(QStringLiteral("persistent"));
        QVERIFY(QDir().mkpath(persistent));
        QString target = persistent + QStringLiteral("/key.conf");
        const QByteArray oldFile = kind == "unusable" ? QByteArray("[General]\napiKey=@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\n")
                                                      : QByteArray("[General]\napiKey=old-key\n");
        std::unique_ptr<WaitingPipe> pipe;
        if (kind == "file" || kind == "chain" || kind == "unusable" || kind == "foreign") {
            QFile file(target);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(oldFile), oldFile.size());
            file.close();
            QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
            if (kind == "foreign") {
                if (::geteuid() != 0)
                    QSKIP("Only root hands a file to another user");
                QCOMPARE(::chown(QFile::encodeName(target).constData(), 65534, 65534), 0);
            }
        } else if (kind == "folder") {
            QVERIFY(QDir().mkdir(target));
        } else if (kind == "pipe") {
            pipe = std::make_unique<WaitingPipe>(target);
            QVERIFY(pipe->isValid());
        } else if (kind == "device") {
            target = QStringLiteral("/dev/zero");
        }
        QString linked = target;
        if (kind == "chain") {
            // The first link's text is relative to its own folder, not to the working one.
            const QString middle = persistent + QStringLiteral("/current.conf");
            QVERIFY(QFile::link(QStringLiteral("key.conf"), middle));
            linked = QDir(QFileInfo(path).absolutePath()).relativeFilePath(middle);
        }
        QCOMPARE(::symlink(QFile::encodeName(linked).constData(), QFile::encodeName(path).constData()), 0);
        const auto entries = [&persistent] {
            return QDir(persistent).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden);
        };
        const QStringList persistentBefore = entries();

        m_db = std::make_unique<Database>(*m_config);
        QSignalSpy changed(m_db.get(), &Database::paramChanged);
        LogCapture log;
        QCOMPARE(m_db->setParam(QStringLiteral("apiKey"), QStringLiteral("new-key")), written);

        // The link stays, whatever became of the key.
        QVERIFY(QFileInfo(path).isSymLink());
        char text[4096] = {};
        QVERIFY(::readlink(QFile::encodeName(path).constData(), text, sizeof text - 1) > 0);
        QCOMPARE(QFile::decodeName(text), linked);
        QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden),
                 QStringList{QFileInfo(path).fileName()});
        if (written) {
            QCOMPARE(changed.count(), 1);
            QCOMPARE(m_db->param(QStringLiteral("apiKey")).toString(), QStringLiteral("new-key"));
            QFile file(target);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY(file.readAll().contains("new-key"));
            QCOMPARE(file.permissions() & QFileDevice::Permissions(0x7077), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
            // Nothing left beside the target but what an unusable file is set aside as.
            QStringList expected = persistentBefore;
            if (kind == "unusable")
                expected << QStringLiteral("key.conf.bad");
            expected.sort();
            QCOMPARE(entries(), expected);
            if (kind == "unusable") {
                QFile aside(target + QStringLiteral(".bad"));
                QVERIFY(aside.open(QIODevice::ReadOnly));
                QCOMPARE(aside.readAll(), oldFile);
            }
        } else {
            QCOMPARE(changed.count(), 0);
            QVERIFY2(log.contains(QtCriticalMsg, QStringLiteral("[Backend::Database] ERROR: Could not write the API key to : ") + path),
                     qPrintable(log.texts().join('\n')));
            QCOMPARE(entries(), persistentBefore);
            if (kind == "foreign") {
                QFile file(target);
                QVERIFY(file.open(QIODevice::ReadOnly));
                QCOMPARE(file.readAll(), oldFile);
            }
            QVERIFY(m_db->param(QStringLiteral("apiKey")).toString() != QStringLiteral("new-key"));
        }
    }

    // Files the settings library wrote for earlier versions keep their key, whatever it holds.
    void apiKeyWrittenByEarlierVersionsIsRead_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("plain") << "k-1f2e3d";
        QTest::newRow("separators and quotes") << "a,b;c=d\"e\\f";
        QTest::newRow("at sign first") << "@Variant(x)";
        QTest::newRow("inner blanks") << "a  b";
    }
    void apiKeyWrittenByEarlierVersionsIsRead()
    {
        QFETCH(QString, key);
        {
            QSettings earlier(m_dir->apiKeyFile(), QSettings::NativeFormat);
            earlier.setValue(QStringLiteral("apiKey"), key);
            earlier.sync();
            QCOMPARE(earlier.status(), QSettings::NoError);
        }
        LogCapture log;
        m_db = std::make_unique<Database>(*m_config);
        QCOMPARE(m_db->param(QStringLiteral("apiKey")).toString(), key);
        QVERIFY2(!log.contains(QtCriticalMsg, QStringLiteral("[Backend::Database] ERROR")), qPrintable(log.texts().join('\n')));
    }

    // A key that did not reach the disk is neither kept nor announced.
    void unwritableApiKeyIsNotKept()
    {
        // Where the settings want a folder there is a file: nothing can be written under it.
        QVERIFY(QDir().mkpath(m_dir->settingsPath()));
        QFile blocker(QFileInfo(m_dir->apiKeyFile()).absolutePath());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        m_db = std::make_unique<Database>(*m_config);
        QSignalSpy changed(m_db.get(), &Database::paramChanged);
        LogCapture log;
        m_db->setParam(QStringLiteral("apiKey"), QStringLiteral("k-1"));
        QVERIFY(log.contains(QtCriticalMsg, QStringLiteral("[Backend::Database] ERROR: Could not write the API key")));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(m_db->param(QStringLiteral("apiKey")).toString(), QString());
    }

    void addedRowIsPendingAndDueWhateverItCarries()
    {
        m_db = std::make_unique<Database>(*m_config);
        auto t = transaction(QStringLiteral("t-1"), Transaction::ErrorReport);
        t->setErrorDetails(QStringLiteral("door open"));
        t->sendDetails().sendStatus = QStringLiteral("FAILED");
        t->sendDetails().sendAttempts = 5;
        t->sendDetails().sendDate = QDateTime::currentDateTime().addDays(-1);
        const QString before = QDateTime::currentDateTime().toString(Qt::ISODate);
        QVERIFY(m_db->transAdd(t));
        const QString after = QDateTime::currentDateTime().toString(Qt::ISODate);

        QSqlQuery row = raw(QStringLiteral("SELECT * FROM Transactions"));
        QVERIFY(row.next());
        QCOMPARE(row.value(0).toString(), QStringLiteral("ERROR_REPORT"));
        QCOMPARE(row.value(1).toString(), QStringLiteral("t-1"));
        QCOMPARE(row.value(6).toString(), QStringLiteral("door open"));
        QVERIFY(row.value(7).isNull());
        QVERIFY(row.value(8).toString() >= before && row.value(8).toString() <= after);
        QCOMPARE(row.value(9).toString(), QStringLiteral("PENDING"));
        QCOMPARE(row.value(10).toInt(), 0);
        QCOMPARE(row.value(11).toInt(), 0);
        QVERIFY(row.value(12).isNull());
        row.finish();

        // A second row with the same id is refused, the first stays.
        LogCapture log;
        QVERIFY(!m_db->transAdd(transaction(QStringLiteral("t-1"))));
        QCOMPARE(m_db->transCount(QStringLiteral("PENDING")), 1);
    }

    void sendDetailsRoundTrip()
    {
        m_db = std::make_unique<Database>(*m_config);
        auto t = transaction(QStringLiteral("t-2"), Transaction::Scan);
        QVERIFY(m_db->transAdd(t));
        const QDateTime sent = QDateTime::fromString(QStringLiteral("2024-03-01T10:00:05"), Qt::ISODate);
        t->sendDetails().sendStatus = QStringLiteral("PENDING");
        t->sendDetails().sendDate = sent;
        t->sendDetails().sendSchedDate = sent.addSecs(900);
        t->sendDetails().sendAttempts = 4;
        t->sendDetails().respStatus = 503;
        t->sendDetails().respData = QJsonObject{{QStringLiteral("error"), QStringLiteral("busy")}};
        QVERIFY(m_db->transUpdate(t));
        QVERIFY(!m_db->transUpdate(transaction(QStringLiteral("no-such-row"))));

        const QList<Transaction::Ptr> rows = m_db->transPending();
        QCOMPARE(rows.size(), 1);
        const Transaction::Ptr back = rows.first();
        QCOMPARE(back->type(), Transaction::Scan);
        QCOMPARE(back->uuid(), QStringLiteral("t-2"));
        QCOMPARE(back->cardUid(), QStringLiteral("CARD-t-2"));
        QCOMPARE(back->timestamp().toString(Qt::ISODate), t->timestamp().toString(Qt::ISODate));
        QCOMPARE(back->sendDetails().sendDate, sent);
        QCOMPARE(back->sendDetails().sendSchedDate, sent.addSecs(900));
        QCOMPARE(back->sendDetails().sendAttempts, 4);
        QCOMPARE(back->sendDetails().respStatus, 503);
        QCOMPARE(back->sendDetails().respData.value("error").toString(), QStringLiteral("busy"));

        QSqlQuery row = raw(QStringLiteral("SELECT sendDate, sendSchedDate FROM Transactions"));
        QVERIFY(row.next());
        QCOMPARE(row.value(0).toString(), QStringLiteral("2024-03-01T10:00:05"));
        QCOMPARE(row.value(1).toString(), QStringLiteral("2024-03-01T10:15:05"));
    }

    void dueForSend()
    {
        m_db = std::make_unique<Database>(*m_config);
        const QDateTime now = QDateTime::currentDateTime();
        for (const char *id : {"late", "early", "now-a", "now-b", "future", "unscheduled", "done", "failed",
                               "longest retry", "clock set back"})
            QVERIFY(m_db->transAdd(transaction(QString::fromLatin1(id))));
        schedule(QStringLiteral("early"), QStringLiteral("PENDING"), now.addSecs(-3600));
        schedule(QStringLiteral("late"), QStringLiteral("PENDING"), now.addSecs(-60));
        schedule(QStringLiteral("now-a"), QStringLiteral("PENDING"), now);
        schedule(QStringLiteral("now-b"), QStringLiteral("PENDING"), now);
        schedule(QStringLiteral("future"), QStringLiteral("PENDING"), now.addSecs(120));
        schedule(QStringLiteral("unscheduled"), QStringLiteral("PENDING"), QDateTime());
        schedule(QStringLiteral("done"), QStringLiteral("OK"), QDateTime());
        schedule(QStringLiteral("failed"), QStringLiteral("FAILED"), QDateTime());
        // No retry waits longer than six hours: a schedule further ahead was made while the
        // clock was ahead of the time it has now, and would hold the row back for as long.
        schedule(QStringLiteral("longest retry"), QStringLiteral("PENDING"), now.addSecs(21600 - 120));
        schedule(QStringLiteral("clock set back"), QStringLiteral("PENDING"), now.addDays(400));

        // Latest schedule first; of two due in the same second the one queued later first.
        QCOMPARE(uuids(m_db->transDueForSend()), (QStringList{"clock set back", "now-b", "now-a", "late", "early"}));
        int due = -1;
        const Transaction::Ptr next = m_db->transNextDue(&due);
        QVERIFY(next);
        QCOMPARE(next->uuid(), QStringLiteral("early"));
        QCOMPARE(due, 5);

        QCOMPARE(m_db->transCount(QStringLiteral("PENDING")), 8);
        QCOMPARE(m_db->transCount(QStringLiteral("OK")), 1);
        QCOMPARE(m_db->transCount(QStringLiteral("FAILED")), 1);
        QCOMPARE(m_db->transCount(QStringLiteral("pending")), 0);
        QCOMPARE(m_db->transPending().size(), 8);
    }

    void queuedInOneSecondLeaveInQueueOrder()
    {
        m_db = std::make_unique<Database>(*m_config);
        for (const char *id : {"c", "a", "b"})
            QVERIFY(m_db->transAdd(transaction(QString::fromLatin1(id))));
        // Rows added in the same second share the schedule text.
        QSqlQuery same = raw(QStringLiteral("UPDATE Transactions SET sendSchedDate = '2020-01-01T00:00:00'"));
        Q_UNUSED(same)
        QCOMPARE(m_db->transNextDue()->uuid(), QStringLiteral("c"));
        QCOMPARE(uuids(m_db->transDueForSend()), (QStringList{"b", "a", "c"}));
    }

    void cleanupCountsWhatItDeletes()
    {
        m_db = std::make_unique<Database>(*m_config);
        const QDateTime now = QDateTime::currentDateTime();
        for (const char *id : {"old-ok", "new-ok", "old-failed", "old-pending"})
            QVERIFY(m_db->transAdd(transaction(QString::fromLatin1(id))));
        auto mark = [&](const char *id, const char *status, const QDateTime &sent) {
            auto t = transaction(QString::fromLatin1(id));
            t->sendDetails().sendStatus = QString::fromLatin1(status);
            t->sendDetails().sendDate = sent;
            QVERIFY(m_db->transUpdate(t));
        };
        mark("old-ok", "OK", now.addDays(-40));
        mark("new-ok", "OK", now.addDays(-1));
        mark("old-failed", "FAILED", now.addDays(-40));
        mark("old-pending", "PENDING", now.addDays(-40));

        QCOMPARE(m_db->transCleanup(now.addDays(-30)), 1);
        QCOMPARE(m_db->transCleanup(now.addDays(-30)), 0);
        QCOMPARE(m_db->transCount(QStringLiteral("OK")), 1);
        QCOMPARE(m_db->transCount(QStringLiteral("FAILED")), 1);
        QCOMPARE(m_db->transCount(QStringLiteral("PENDING")), 1);
    }

    void unreadableStoreIsLeftAlone()
    {
        const QByteArray junk(4096, 'x');
        {
            QFile file(m_dir->filePath(QStringLiteral("terminal.db")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(junk);
        }
        LogCapture log;
        m_db = std::make_unique<Database>(*m_config);
        QVERIFY(log.contains(QtCriticalMsg, QStringLiteral("ERROR: ")));

        QVERIFY(!m_db->transAdd(transaction(QStringLiteral("t-9"))));
        QVERIFY(!m_db->transUpdate(transaction(QStringLiteral("t-9"))));
        QCOMPARE(m_db->transCount(QStringLiteral("PENDING")), 0);
        QVERIFY(m_db->transDueForSend().isEmpty());
        QVERIFY(!m_db->transNextDue());
        QVERIFY(!m_db->param(QStringLiteral("blacklistVer")).isValid());
        QCOMPARE(m_db->paramKeys(), QStringList{"apiKey"});
        QCOMPARE(m_db->findCustoms(1).id, 0);
        QVERIFY(!m_db->isBlacklisted(QStringLiteral("04AA")));
        QSignalSpy changed(m_db.get(), &Database::paramChanged);
        m_db->setParam(QStringLiteral("blacklistVer"), QStringLiteral("v1"));
        QCOMPARE(changed.count(), 0);
        m_db.reset();

        QFile file(m_dir->filePath(QStringLiteral("terminal.db")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), junk);
    }
};

QTEST_GUILESS_MAIN(tst_Database)
#include "tst_Database.moc"
