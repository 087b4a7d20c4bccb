#include "LinkRig.h"

#include "fakes/TestCertificates.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

using Backend::CardBO;
using Backend::Transaction;

namespace {

const QString &TransactionPath = FakeBackOffice::Transaction;

Transaction::Ptr newTransaction(const QString &uuid)
{
    auto t = Transaction::create(Transaction::Scan, QStringLiteral("SN-0042"), QStringLiteral("CARD-") + uuid, QString());
    t->setUuid(uuid);
    return t;
}

} // namespace

class tst_CardBO_transactions : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestCertificates> m_certs;
    std::unique_ptr<LinkRig> m_rig;

    Transaction::Ptr row(const QString &uuid)
    {
        for (const Transaction::Ptr &t : m_rig->db->transPending())
            if (t->uuid() == uuid)
                return t;
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peek"));
        db.setDatabaseName(m_rig->dir.filePath(QStringLiteral("terminal.db")));
        Transaction::Ptr found;
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare(QStringLiteral("SELECT sendStatus, sendAttempts, respStatus, sendDate, sendSchedDate, respData "
                                     "FROM Transactions WHERE uuid = ?"));
            q.addBindValue(uuid);
            if (q.exec() && q.next()) {
                found = Transaction::Ptr::create();
                found->setUuid(uuid);
                auto &send = found->sendDetails();
                send.sendStatus = q.value(0).toString();
                send.sendAttempts = q.value(1).toInt();
                send.respStatus = q.value(2).toInt();
                send.sendDate = Backend::strToDate(q.value(3).toString());
                send.sendSchedDate = Backend::strToDate(q.value(4).toString());
                send.respData = Backend::strToJson(q.value(5).toByteArray());
            }
        }
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("peek"));
        return found;
    }

    // Runs SQL on the store through a connection of the test's own.
    bool sql(const QString &statement)
    {
        bool ok = false;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw"));
            db.setDatabaseName(m_rig->dir.filePath(QStringLiteral("terminal.db")));
            ok = db.open() && QSqlQuery(db).exec(statement);
        }
        QSqlDatabase::removeDatabase(QStringLiteral("raw"));
        return ok;
    }

    QStringList sentUuids() const
    {
        QStringList out;
        for (const auto &r : m_rig->backOffice.requests(TransactionPath))
            out << r.json.value(QStringLiteral("transactionUid")).toString();
        return out;
    }

private slots:
    void initTestCase()
    {
        m_certs = std::make_unique<TestCertificates>(QStringLiteral("Back Office"));
        QVERIFY2(m_certs->isValid(), qPrintable(m_certs->errorString()));
    }

    void init()
    {
        m_rig = std::make_unique<LinkRig>(*m_certs);
        QVERIFY(m_rig->setUp());
        m_rig->storeKey();
    }

    void cleanup() { m_rig.reset(); }

    // What each answer makes of a transaction, and whether the run goes on to the next one.
    void answers_data()
    {
        QTest::addColumn<FakeHttpResponse>("answer");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("respStatus");
        QTest::addColumn<int>("delay"); // seconds to the next attempt, -1 for none
        QTest::addColumn<bool>("next"); // the second due transaction goes out in the same run

        const QJsonObject body{{"result", "taken"}};
        QTest::newRow("200") << FakeHttpResponse::json(200, body) << "OK" << 200 << -1 << true;
        QTest::newRow("201") << FakeHttpResponse::json(201, body) << "OK" << 201 << -1 << true;
        QTest::newRow("200, not JSON") << FakeHttpResponse::text(200, "fine") << "OK" << 200 << -1 << true;
        QTest::newRow("204") << FakeHttpResponse::text(204, "") << "FAILED" << 204 << -1 << true;
        QTest::newRow("400") << FakeHttpResponse::json(400, body) << "FAILED" << 400 << -1 << false;
        QTest::newRow("404") << FakeHttpResponse::json(404, body) << "FAILED" << 404 << -1 << false;
        QTest::newRow("409") << FakeHttpResponse::text(409, "duplicate") << "FAILED" << 409 << -1 << false;
        QTest::newRow("401") << FakeHttpResponse::json(401, body) << "PENDING" << 401 << 60 << false;
        QTest::newRow("403") << FakeHttpResponse::json(403, body) << "PENDING" << 403 << 60 << false;
        // Try later: the same as a server error.
        QTest::newRow("408") << FakeHttpResponse::json(408, body) << "PENDING" << 408 << 60 << false;
        QTest::newRow("425") << FakeHttpResponse::text(425, "too early") << "PENDING" << 425 << 60 << false;
        QTest::newRow("429") << FakeHttpResponse::json(429, body) << "PENDING" << 429 << 60 << false;
        QTest::newRow("500") << FakeHttpResponse::json(500, body) << "PENDING" << 500 << 60 << false;
        QTest::newRow("503, not JSON") << FakeHttpResponse::text(503, "busy") << "PENDING" << 503 << 60 << false;
        QTest::newRow("599") << FakeHttpResponse::json(599, body) << "PENDING" << 599 << 60 << false;
        QTest::newRow("dropped connection") << FakeHttpResponse::hangUp() << "PENDING" << 0 << 60 << false;
        QTest::newRow("not HTTP") << FakeHttpResponse::raw("SSH-2.0-OpenSSH\r\n") << "PENDING" << 0 << 60 << false;
        // A redirect the client does not follow: the back office has not taken it.
        QTest::newRow("redirect to another server")
            << FakeHttpResponse::redirect(307, "https://127.0.0.1:1/api/v1/device/transaction") << "PENDING" << 307 << 60 << false;
        QTest::newRow("redirect leaving TLS")
            << FakeHttpResponse::redirect(301, "http://127.0.0.1:1/api/v1/device/transaction") << "PENDING" << 301 << 60 << false;
    }
    void answers()
    {
        QFETCH(FakeHttpResponse, answer);
        QFETCH(QString, status);
        QFETCH(int, respStatus);
        QFETCH(int, delay);
        QFETCH(bool, next);

        LinkRig &rig = *m_rig;
        QVERIFY(rig.db->transAdd(newTransaction(QStringLiteral("first"))));
        rig.backOffice.setResponse(TransactionPath, answer);
        // After a success the next transaction meets the back office's own answer. (A dropped
        // connection is not scripted away: the network layer sends the request again at once.)
        connect(&rig.backOffice, &FakeBackOffice::requestReceived, &rig.backOffice,
                [&rig, next](const QString &path) {
                    if (path == TransactionPath && next)
                        rig.backOffice.clearResponses();
                });
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        rig.bo->sendTransaction(newTransaction(QStringLiteral("second")));
        QVERIFY(rig.settle());
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);

        const Transaction::Ptr first = row(QStringLiteral("first"));
        QVERIFY(first);
        const auto &send = first->sendDetails();
        QCOMPARE(send.sendStatus, status);
        QCOMPARE(send.sendAttempts, 1);
        QCOMPARE(send.respStatus, respStatus);
        QVERIFY(send.sendDate >= before && send.sendDate <= after);
        if (delay < 0) {
            QVERIFY(send.sendSchedDate.isNull());
        } else {
            const qint64 gap = send.sendDate.secsTo(send.sendSchedDate);
            QVERIFY2(gap >= delay && gap <= delay + 1, qPrintable(QString::number(gap)));
        }
        if (answer.kind == FakeHttpResponse::Kind::Answer && answer.body.startsWith('{'))
            QCOMPARE(send.respData.value("result").toString(), QStringLiteral("taken"));
        else
            QVERIFY(send.respData.isEmpty());

        QCOMPARE(sentUuids().contains(QStringLiteral("second")), next);
        QCOMPARE(row(QStringLiteral("second"))->sendDetails().sendStatus, next ? QStringLiteral("OK") : QStringLiteral("PENDING"));
        if (status == QLatin1String("FAILED"))
            QVERIFY(rig.log.contains(QtWarningMsg, QStringLiteral("[Backend::CardBO] WARN: Transaction will not be re-transmitted : first (type=SCAN")));
        if (status == QLatin1String("PENDING"))
            QVERIFY(rig.log.contains(QtInfoMsg, QStringLiteral("[Backend::CardBO] Scheduling re-transmit at %1 (attempts=1) : first")
                                                    .arg(send.sendSchedDate.toString(Qt::ISODate))));

        // A final row is never sent again; a rescheduled one waits for its time.
        const int posts = sentUuids().count(QStringLiteral("first"));
        rig.bo->processPendingTransactions();
        QVERIFY(rig.settle());
        QCOMPARE(sentUuids().count(QStringLiteral("first")), posts);
        QCOMPARE(row(QStringLiteral("first"))->sendDetails().sendAttempts, 1);
    }

    // The delay before the next attempt, checked through the stored dates.
    void retrySchedule_data()
    {
        QTest::addColumn<int>("attemptsBefore");
        QTest::addColumn<int>("delay");
        const int delays[] = {60, 60, 60, 900, 900, 900, 3600, 3600, 3600, 21600, 21600, 21600};
        for (int before = 0; before < 12; ++before)
            QTest::addRow("attempt %d", before + 1) << before << delays[before];
        QTest::newRow("attempt 58") << 57 << 21600;
    }
    void retrySchedule()
    {
        QFETCH(int, attemptsBefore);
        QFETCH(int, delay);
        LinkRig &rig = *m_rig;
        auto t = newTransaction(QStringLiteral("retry"));
        QVERIFY(rig.db->transAdd(t));
        t->sendDetails().sendStatus = QStringLiteral("PENDING");
        t->sendDetails().sendAttempts = attemptsBefore;
        t->sendDetails().sendSchedDate = QDateTime::currentDateTime().addSecs(-5);
        QVERIFY(rig.db->transUpdate(t));
        rig.backOffice.setResponse(TransactionPath, FakeHttpResponse::json(503, QJsonObject{}));

        rig.bo->processPendingTransactions();
        QVERIFY(rig.settle());
        const auto send = row(QStringLiteral("retry"))->sendDetails();
        QCOMPARE(send.sendStatus, QStringLiteral("PENDING"));
        QCOMPARE(send.sendAttempts, attemptsBefore + 1);
        const qint64 gap = send.sendDate.secsTo(send.sendSchedDate);
        QVERIFY2(gap >= delay && gap <= delay + 1, qPrintable(QString::number(gap)));
    }

    void dueTransactionsLeaveOneAfterAnother()
    {
        LinkRig &rig = *m_rig;
        const QDateTime now = QDateTime::currentDateTime();
        const QList<QPair<QString, int>> queue{{"t-a", -10}, {"t-b", -300}, {"t-c", -60}, {"t-later", 600}};
        for (const auto &entry : queue) {
            auto t = newTransaction(entry.first);
            QVERIFY(rig.db->transAdd(t));
            t->sendDetails().sendStatus = QStringLiteral("PENDING");
            t->sendDetails().sendSchedDate = now.addSecs(entry.second);
            QVERIFY(rig.db->transUpdate(t));
        }
        rig.backOffice.setResponse(TransactionPath, FakeHttpResponse::json(201, QJsonObject{}).withDelay(100));

        rig.bo->processPendingTransactions();
        QVERIFY(rig.settle());
        QCOMPARE(sentUuids(), (QStringList{"t-b", "t-c", "t-a"}));
        QCOMPARE(rig.backOffice.delivered(), (QStringList{"t-b", "t-c", "t-a"}));
        // Each goes out once the one before has been answered.
        QStringList steps;
        for (const QString &line : rig.log.texts()) {
            if (line.startsWith(QLatin1String("[Backend::CardBO] Sending transaction")))
                steps << line.section(QLatin1String(" : "), 0, 0).section(QLatin1Char(' '), 3) + QLatin1Char(' ')
                             + line.section(QLatin1String(" : "), 1).section(QLatin1Char(' '), 0, 0);
            else if (line.startsWith(QLatin1String("[Backend::CardBO] Transaction sent successfully : ")))
                steps << QStringLiteral("ok ") + line.section(QLatin1String(" : "), 1).section(QLatin1Char(' '), 0, 0);
        }
        QCOMPARE(steps, (QStringList{"(remaining=2) t-b", "ok t-b", "(remaining=1) t-c", "ok t-c", "(remaining=0) t-a",
                                     "ok t-a"}));
        const auto doc = rig.backOffice.requests(TransactionPath).first().json;
        QCOMPARE(doc.value("type").toString(), QStringLiteral("SCAN"));
        QCOMPARE(doc.value("cardUid").toString(), QStringLiteral("CARD-t-b"));
        QCOMPARE(doc.value("kelvoDbRecordId").toString(), QStringLiteral("0"));
        QCOMPARE(row(QStringLiteral("t-later"))->sendDetails().sendStatus, QStringLiteral("PENDING"));
    }

    // Rescheduled while the clock ran a year ahead, then the clock was put right: the
    // transaction goes out at the next run, not a year later.
    void scheduledByAClockSetBack()
    {
        LinkRig &rig = *m_rig;
        auto t = newTransaction(QStringLiteral("stranded"));
        QVERIFY(rig.db->transAdd(t));
        t->sendDetails().sendStatus = QStringLiteral("PENDING");
        t->sendDetails().sendAttempts = 3;
        t->sendDetails().sendSchedDate = QDateTime::currentDateTime().addYears(1);
        QVERIFY(rig.db->transUpdate(t));
        rig.bo->processPendingTransactions();
        QVERIFY(rig.settle());
        QCOMPARE(rig.backOffice.delivered(), QStringList{"stranded"});
        QCOMPARE(row(QStringLiteral("stranded"))->sendDetails().sendStatus, QStringLiteral("OK"));
    }

    // The card uid comes from the reader's documents: in a log line it cannot start a line
    // of its own.
    void cardUidQuotedInLogLines_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("sent") << 201;
        QTest::newRow("rescheduled") << 503;
        QTest::newRow("refused") << 409;
    }
    void cardUidQuotedInLogLines()
    {
        QFETCH(int, status);
        LinkRig &rig = *m_rig;
        rig.backOffice.setTransactionStatus(status);
        auto t = newTransaction(QStringLiteral("forging"));
        t->setCardUid(QStringLiteral("04AB\n[Backend::CardBO] Transaction sent successfully : forged\x1b[2K"));
        rig.bo->sendTransaction(t);
        QVERIFY(rig.settle());
        QCOMPARE(rig.backOffice.count(TransactionPath), 1);
        const QStringList lines = rig.log.startingWith(QStringLiteral("[Backend::CardBO] "));
        QVERIFY(lines.size() >= 2);
        for (const QString &line : lines) {
            QVERIFY2(!line.contains(QLatin1Char('\n')) && !line.contains(QLatin1Char('\x1b')), qPrintable(line));
            if (line.contains(QLatin1String("forging")))
                QVERIFY2(line.contains(QLatin1String("cardUid=04AB\\n[Backend::CardBO]")), qPrintable(line));
        }
    }

    void oneRunAtATime()
    {
        LinkRig &rig = *m_rig;
        rig.backOffice.setResponse(TransactionPath, FakeHttpResponse::json(201, QJsonObject{}).withDelay(500));
        rig.bo->sendTransaction(newTransaction(QStringLiteral("slow")));
        QVERIFY(waitUntil([&] { return rig.backOffice.count(TransactionPath) == 1; }));
        const QString dueQuery = QStringLiteral("Executed query : SELECT * FROM Transactions WHERE sendStatus = 'PENDING' AND (sendSchedDate");
        const int reads = rig.log.count(QtDebugMsg, dueQuery);
        QVERIFY(reads > 0); // the query is the one the sender runs
        rig.bo->processPendingTransactions();
        QCOMPARE(rig.log.count(QtDebugMsg, dueQuery), reads);
        QVERIFY(rig.settle());
        QCOMPARE(rig.backOffice.count(TransactionPath), 1);

        // With nothing due a run ends at once and the next one can send.
        rig.bo->processPendingTransactions();
        QCOMPARE(rig.backOffice.count(TransactionPath), 1);
        rig.bo->sendTransaction(newTransaction(QStringLiteral("next")));
        QVERIFY(rig.settle());
        QCOMPARE(sentUuids(), (QStringList{"slow", "next"}));
    }

    void sentWhileStopped()
    {
        LinkRig &rig = *m_rig;
        QCOMPARE(rig.bo->state(), CardBO::Stopped);
        rig.bo->sendTransaction(newTransaction(QStringLiteral("stopped")));
        QVERIFY(rig.settle());
        QCOMPARE(rig.backOffice.delivered(), QStringList{"stopped"});
    }

    void unrecordableSuccessEndsTheRun()
    {
        LinkRig &rig = *m_rig;
        QVERIFY(rig.db->transAdd(newTransaction(QStringLiteral("stuck"))));
        QVERIFY(rig.db->transAdd(newTransaction(QStringLiteral("behind"))));
        QVERIFY(sql(QStringLiteral("CREATE TRIGGER refuseUpdates BEFORE UPDATE ON Transactions "
                                   "BEGIN SELECT RAISE(ABORT, 'disk full'); END")));
        rig.bo->processPendingTransactions();
        QVERIFY(rig.settle());
        QCOMPARE(sentUuids(), QStringList{"stuck"});
        QVERIFY(rig.log.contains(QtCriticalMsg, QStringLiteral("[Backend::CardBO] ERROR: Could not record the answer for transaction : stuck")));
        QCOMPARE(rig.db->transCount(QStringLiteral("PENDING")), 2);
    }

    void unstorableTransactionIsReported()
    {
        LinkRig &rig = *m_rig;
        QVERIFY(rig.db->transAdd(newTransaction(QStringLiteral("twice"))));
        QVERIFY(sql(QStringLiteral("UPDATE Transactions SET sendStatus = 'OK', sendSchedDate = NULL")));
        rig.bo->sendTransaction(newTransaction(QStringLiteral("twice")));
        QVERIFY(rig.settle());
        QVERIFY(rig.log.contains(QtCriticalMsg, QStringLiteral("[Backend::CardBO] ERROR: Could not queue transaction : twice")));
        QCOMPARE(rig.backOffice.count(TransactionPath), 0);
    }

    void nothingLostAcrossACrash()
    {
        LinkRig &rig = *m_rig;
        const QString uuid = Transaction::createUid();
        QProcess child;
        child.setProgram(QStringLiteral(STORE_CHILD));
        child.setArguments({rig.dir.path(), uuid, QStringLiteral("child-key-77")});
        child.start();
        QVERIFY(child.waitForStarted(10000));
        QVERIFY(waitUntil([&] { return child.canReadLine() || child.state() != QProcess::Running; }, 20000));
        QCOMPARE(child.readLine(), QByteArray("queued\n"));
        child.kill();
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        // Started again on the same store: the key is there and the transaction goes out once.
        rig.bo.reset();
        rig.db.reset();
        rig.db = std::make_unique<Backend::Database>(*rig.config);
        rig.bo = std::make_unique<CardBO>(*rig.config, *rig.db, rig.terminal);
        QCOMPARE(rig.storedKey(), QStringLiteral("child-key-77"));
        rig.backOffice.setApiKey(QStringLiteral("child-key-77"));
        rig.bo->processPendingTransactions();
        QVERIFY(rig.settle());
        rig.bo->processPendingTransactions();
        QVERIFY(rig.settle());
        QCOMPARE(rig.backOffice.delivered(), QStringList{uuid});
        QCOMPARE(rig.backOffice.count(TransactionPath), 1);
        QCOMPARE(rig.db->transCount(QStringLiteral("OK")), 1);
    }
};

QTEST_GUILESS_MAIN(tst_CardBO_transactions)
#include "tst_CardBO_transactions.moc"
