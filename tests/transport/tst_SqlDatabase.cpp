#include "transport/SqlDatabase.h"

#include "fakes/LogCapture.h"

#include <QSqlError>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>

class TestSqlDatabase : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void oneConnectionPerThread();
    void twoThreadsWriteTheSameFile();
    void privateCacheWaitsForTheOtherWriter_data();
    void privateCacheWaitsForTheOtherWriter();
    void tableExistsIgnoresCase_data();
    void tableExistsIgnoresCase();
    void userVersion();
    void failedStatementIsLogged();
    void missingFolderLogsOpenFailureAndRetries();
    void connectionReleasedWithItsThread();
    void runningThreadsReleasedWithTheDatabase();

private:
    QString dbPath() const { return m_dir->filePath(QStringLiteral("terminal.db")); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestSqlDatabase::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestSqlDatabase::oneConnectionPerThread()
{
    LogCapture log;
    SqlDatabase db(dbPath());
    QString const creation = QStringLiteral("[SqlDatabase] Creating new Database connection for thread ");

    QString const name = db.database().connectionName();
    QVERIFY(db.database().isOpen());
    QCOMPARE(db.database().connectionName(), name);
    db.execute(QStringLiteral("SELECT 1"));
    QCOMPARE(log.texts(QtInfoMsg).count(creation), 1);
    QVERIFY2(QUuid::fromString(name).toString() == name, qPrintable(name)); // braced UUID

    QString otherName;
    QThread *thread = QThread::create([&]() { otherName = db.database().connectionName(); });
    thread->start();
    QVERIFY(thread->wait(10000));
    delete thread;
    QVERIFY(!otherName.isEmpty());
    QVERIFY(otherName != name);
    QCOMPARE(log.texts(QtInfoMsg).count(creation), 2);
}

// Both threads insert through their own connection; every row lands in the one file.
void TestSqlDatabase::twoThreadsWriteTheSameFile()
{
    SqlDatabase db(dbPath());
    QVERIFY(db.execute(QStringLiteral("CREATE TABLE Transactions (id INTEGER PRIMARY KEY, thread INTEGER, n INTEGER)")).isActive());

    int const rows = 200;
    std::atomic<int> failures{0};
    auto writer = [&](int tag) {
        for (int i = 0; i < rows; ++i) {
            QSqlQuery q = db.query(QStringLiteral("INSERT INTO Transactions (thread, n) VALUES (?, ?)"));
            q.addBindValue(tag);
            q.addBindValue(i);
            // Two writers on one file: SQLite may report the other one's lock; retry as a user would.
            bool ok = false;
            for (int attempt = 0; attempt < 200 && !ok; ++attempt) {
                ok = db.execute(q);
                if (!ok)
                    QThread::msleep(2);
            }
            if (!ok)
                ++failures;
        }
    };
    QThread *a = QThread::create(writer, 1);
    QThread *b = QThread::create(writer, 2);
    a->start();
    b->start();
    QVERIFY(a->wait(60000));
    QVERIFY(b->wait(60000));
    delete a;
    delete b;
    QCOMPARE(failures.load(), 0);

    QSqlQuery count = db.execute(QStringLiteral("SELECT thread, COUNT(*), SUM(n) FROM Transactions GROUP BY thread ORDER BY thread"));
    QVERIFY(count.next());
    QCOMPARE(count.value(0).toInt(), 1);
    QCOMPARE(count.value(1).toInt(), rows);
    QCOMPARE(count.value(2).toInt(), rows * (rows - 1) / 2);
    QVERIFY(count.next());
    QCOMPARE(count.value(0).toInt(), 2);
    QCOMPARE(count.value(1).toInt(), rows);
    QVERIFY(!count.next());
}

// A connection of its own (for long writes on a worker thread) waits for the lane's locks and
// the lane's for its, where two connections of one shared cache refuse each other at once;
// and it opens the same file whatever characters its path holds.
void TestSqlDatabase::privateCacheWaitsForTheOtherWriter_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << "terminal.db";
    QTest::newRow("blank, percent, hash and question mark") << "lane 4 %41 #2 ?x.db";
}

void TestSqlDatabase::privateCacheWaitsForTheOtherWriter()
{
    QFETCH(QString, name);
    QString const path = m_dir->filePath(name);
    SqlDatabase lane(path);
    QVERIFY(lane.execute(QStringLiteral("CREATE TABLE Rows (writer TEXT)")).isActive());
    SqlDatabase worker(path, SqlDatabase::Cache::Private);

    std::atomic_bool holding{false};
    bool written = false;
    QThread *thread = QThread::create([&]() {
        QSqlDatabase connection = worker.database();
        connection.transaction();
        QSqlQuery insert = worker.query(QStringLiteral("INSERT INTO Rows VALUES ('worker')"));
        written = worker.execute(insert);
        holding = true;
        // Well within the five seconds a connection waits for a lock.
        QThread::msleep(300);
        written = connection.commit() && written;
    });
    thread->start();
    while (!holding && !thread->isFinished())
        QThread::msleep(1);
    QSqlQuery insert = lane.query(QStringLiteral("INSERT INTO Rows VALUES ('lane')"));
    QVERIFY(lane.execute(insert));
    QVERIFY(thread->wait(10000));
    delete thread;
    QVERIFY(written);

    QStringList writers;
    {
        QSqlDatabase plain = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("plain"));
        plain.setDatabaseName(path);
        QSqlQuery rows(plain);
        if (plain.open() && rows.exec(QStringLiteral("SELECT writer FROM Rows ORDER BY writer")))
            while (rows.next())
                writers << rows.value(0).toString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("plain"));
    QCOMPARE(writers, (QStringList{"lane", "worker"}));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), (QStringList{name}));
}

void TestSqlDatabase::tableExistsIgnoresCase_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("exists");
    QTest::newRow("as created") << "Customs" << true;
    QTest::newRow("lower") << "customs" << true;
    QTest::newRow("upper") << "CUSTOMS" << true;
    QTest::newRow("other table") << "Locations" << false;
    QTest::newRow("view") << "CustomsView" << false;
    QTest::newRow("system table") << "sqlite_master" << false;
    QTest::newRow("empty") << "" << false;
}

void TestSqlDatabase::tableExistsIgnoresCase()
{
    QFETCH(QString, name);
    QFETCH(bool, exists);
    SqlDatabase db(dbPath());
    QVERIFY(db.execute(QStringLiteral("CREATE TABLE Customs (id INTEGER, name TEXT)")).isActive());
    QVERIFY(db.execute(QStringLiteral("CREATE VIEW CustomsView AS SELECT name FROM Customs")).isActive());
    QCOMPARE(db.tableExists(name), exists);
}

void TestSqlDatabase::userVersion()
{
    LogCapture log;
    {
        SqlDatabase db(dbPath());
        QCOMPARE(db.userVersion(), 0);
        QVERIFY(db.setUserVersion(3));
        QCOMPARE(db.userVersion(), 3);
    }
    SqlDatabase reopened(dbPath());
    QCOMPARE(reopened.userVersion(), 3);
    // These run without the query log lines.
    QCOMPARE(log.count(QtDebugMsg, QStringLiteral("Executed query")), 0);
}

void TestSqlDatabase::failedStatementIsLogged()
{
    SqlDatabase db(dbPath());
    db.database();
    LogCapture log;

    QSqlQuery q = db.execute(QStringLiteral("SELEC nonsense FROM"));
    QVERIFY(!q.isActive());
    QVERIFY(q.lastError().isValid());
    QStringList const errors = log.texts(QtCriticalMsg);
    QCOMPARE(errors.size(), 2);
    QCOMPARE(errors.at(0), QStringLiteral("[SqlDatabase] ERROR: Could not execute query : SELEC nonsense FROM"));
    QCOMPARE(errors.at(1), QStringLiteral("[SqlDatabase] ERROR: ") + q.lastError().text());

    log.clear();
    QSqlQuery ok = db.query(QStringLiteral("SELECT ?"));
    ok.addBindValue(7);
    QVERIFY(db.execute(ok));
    QVERIFY(ok.next());
    QCOMPARE(ok.value(0).toInt(), 7);
    QStringList const debug = log.texts(QtDebugMsg);
    QCOMPARE(debug.size(), 2);
    QCOMPARE(debug.at(0), QStringLiteral("[SqlDatabase] Executed query : SELECT ?"));
    QVERIFY(QRegularExpression(QStringLiteral("^\\[SqlDatabase\\] Operation completed in : \\d+ msec\\(s\\)$")).match(debug.at(1)).hasMatch());
    QVERIFY(log.texts(QtCriticalMsg).isEmpty());
}

void TestSqlDatabase::missingFolderLogsOpenFailureAndRetries()
{
    QString const folder = m_dir->filePath(QStringLiteral("later"));
    SqlDatabase db(folder + QStringLiteral("/terminal.db"));
    LogCapture log;

    QVERIFY(!db.database().isOpen());
    QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[SqlDatabase] ERROR: Database open failed : ")), 1);
    QSqlQuery q = db.execute(QStringLiteral("CREATE TABLE Customs (id INTEGER)"));
    QVERIFY(!q.isActive());

    // Once the folder exists, the next use opens the same connection.
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(db.database().isOpen());
    QVERIFY(db.execute(QStringLiteral("CREATE TABLE Customs (id INTEGER)")).isActive());
    QVERIFY(db.tableExists(QStringLiteral("customs")));
}

void TestSqlDatabase::connectionReleasedWithItsThread()
{
    SqlDatabase db(dbPath());
    QString name;
    QThread *thread = QThread::create([&]() {
        name = db.database().connectionName();
        db.execute(QStringLiteral("SELECT 1"));
    });
    thread->start();
    QVERIFY(thread->wait(10000));
    delete thread;
    QVERIFY(!name.isEmpty());
    QVERIFY(!QSqlDatabase::connectionNames().contains(name));
}

// A worker that outlives one database keeps none of its connections, and a later database on
// another file writes to that file.
void TestSqlDatabase::runningThreadsReleasedWithTheDatabase()
{
    QThread worker;
    worker.start();
    QObject context;
    context.moveToThread(&worker);
    auto const onWorker = [&context](auto const &work) {
        return QMetaObject::invokeMethod(&context, work, Qt::BlockingQueuedConnection);
    };

    QString const firstPath = m_dir->filePath(QStringLiteral("first.db"));
    QString const secondPath = m_dir->filePath(QStringLiteral("second.db"));
    QString firstName;
    {
        SqlDatabase first(firstPath);
        QVERIFY(first.execute(QStringLiteral("CREATE TABLE Customs (name TEXT)")).isActive());
        QVERIFY(onWorker([&]() { firstName = first.database().connectionName(); }));
        QVERIFY(QSqlDatabase::connectionNames().contains(firstName));
    }
    // The worker's event loop closes it.
    QVERIFY(onWorker([]() {}));
    QVERIFY(!QSqlDatabase::connectionNames().contains(firstName));

    SqlDatabase second(secondPath);
    QVERIFY(second.execute(QStringLiteral("CREATE TABLE Customs (name TEXT)")).isActive());
    QString usedFile;
    bool inserted = false;
    QVERIFY(onWorker([&]() {
        usedFile = second.database().databaseName();
        inserted = second.execute(QStringLiteral("INSERT INTO Customs VALUES ('second')")).isActive();
    }));
    QCOMPARE(usedFile, secondPath);
    QVERIFY(inserted);
    QSqlQuery rows = second.execute(QStringLiteral("SELECT name FROM Customs"));
    QVERIFY(rows.next());
    QCOMPARE(rows.value(0).toString(), QStringLiteral("second"));

    SqlDatabase first(firstPath);
    QVERIFY(!first.execute(QStringLiteral("SELECT name FROM Customs")).next());

    worker.quit();
    QVERIFY(worker.wait(10000));
}

QTEST_GUILESS_MAIN(TestSqlDatabase)
#include "tst_SqlDatabase.moc"
