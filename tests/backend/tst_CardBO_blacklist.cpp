#include "LinkRig.h"
#include "OtherConnection.h"

#include "fakes/DeferredProbe.h"
#include "fakes/TestCertificates.h"

#include <QJsonArray>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTimer>
#include <QtTest>

#include <memory>

using Backend::CardBO;

namespace {

const QString &Blacklist = FakeBackOffice::Blacklist;
const QStringList FiveTables{"Blacklist", "Customs", "Locations", "Parameters", "Transactions"};
// What an apply cut short may leave beside the list; the next apply clears it first.
const QStringList WithUnfinishedList{"Blacklist", "BlacklistNext", "Customs", "Locations", "Parameters", "Transactions"};

// Card uids as a back office lists them: distinct, and in no particular order.
QStringList cardUids(const QString &prefix, int count)
{
    QStringList uids;
    uids.reserve(count);
    for (int i = count; i > 0; --i)
        uids << prefix + QString::number(i, 16).toUpper().rightJustified(12, QLatin1Char('0'));
    return uids;
}

} // namespace

// Blacklist answers of any length are taken in beside the lane: the event loop keeps turning,
// the list changes whole or not at all, and answers that come while one is being applied, or
// after the link was stopped or destroyed, change nothing they should not.
class tst_CardBO_blacklist : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestCertificates> m_certs;
    std::unique_ptr<LinkRig> m_rig;

    bool beat()
    {
        DeferredProbe<> done(m_rig->bo->heartbeat());
        return done.waitSettled(40000) && m_rig->settle() && done.resolved();
    }
    QString storePath() const { return m_rig->dir.filePath(QStringLiteral("terminal.db")); }
    bool answerReceived() const
    {
        return m_rig->log.contains(QtInfoMsg, QStringLiteral("[Backend::CardBO] Update Blacklist response received"));
    }

    // v1 applied: OLD1 and OLD2 listed.
    void seed()
    {
        m_rig->db->setParam(QStringLiteral("blacklistVer"), QStringLiteral("v1"));
        m_rig->db->blacklistAdd(QStringLiteral("OLD1"));
        m_rig->db->blacklistAdd(QStringLiteral("OLD2"));
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

    // Another program holds the store for writing when the answer comes. The answer waits for
    // it beside the lane: timers fire, a heartbeat goes out and is taken in, the old list and
    // version hold, and a newer version announced meanwhile waits its turn.
    void answerWaitsForTheStoreBesideTheLane_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("a few uids") << 3;
        QTest::newRow("more than one write should hold the store for") << 30000;
    }
    void answerWaitsForTheStoreBesideTheLane()
    {
        QFETCH(int, count);
        LinkRig &rig = *m_rig;
        seed();
        const QStringList added = cardUids(QStringLiteral("N"), count);
        rig.backOffice.setBlacklist(QStringLiteral("v2"), added, {"OLD1"});
        rig.backOffice.setBlacklist(QStringLiteral("v3"), {"NEW3"});
        rig.backOffice.setHeartbeatAnswer(QJsonObject{{"blacklistVersion", "v2"}});

        OtherConnection other(storePath());
        QVERIFY(other.exec(QStringLiteral("BEGIN IMMEDIATE")));
        DeferredProbe<> first(rig.bo->heartbeat());
        QVERIFY(waitUntil([&] { return answerReceived(); }, 40000));

        int ticks = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&ticks]() { ++ticks; });
        timer.start(10);
        QVERIFY(waitUntil([&] { return ticks >= 5; }));
        QVERIFY2(!rig.log.contains(QtCriticalMsg, QStringLiteral("Nothing written to Blacklist")),
                 "the answer was given up while the lane waited for it");
        rig.backOffice.setHeartbeatAnswer(QJsonObject{{"blacklistVersion", "v3"}});
        DeferredProbe<> second(rig.bo->heartbeat());
        QVERIFY(second.waitSettled(30000));
        QVERIFY(second.resolved());
        QCOMPARE(rig.backOffice.count(Blacklist), 1);
        QCOMPARE(rig.bo->blacklisVer(), QStringLiteral("v1"));
        QVERIFY(rig.db->isBlacklisted(QStringLiteral("OLD1")));
        QVERIFY(!rig.db->isBlacklisted(added.first()));

        QVERIFY(other.exec(QStringLiteral("ROLLBACK")));
        QVERIFY(waitUntil([&] { return rig.bo->blacklisVer() == QLatin1String("v2"); }, 60000));
        QVERIFY(rig.settle());
        const QStringList listed = other.listed();
        QCOMPARE(listed.size(), count + 1);
        QVERIFY(listed.contains(QStringLiteral("OLD2")));
        QVERIFY(!listed.contains(QStringLiteral("OLD1")));
        QVERIFY(listed.contains(added.first()) && listed.contains(added.last()));
        QCOMPARE(other.tables(), FiveTables);

        // The newer version comes with the next heartbeat.
        QVERIFY(beat());
        QCOMPARE(rig.backOffice.count(Blacklist), 2);
        QCOMPARE(rig.backOffice.last(Blacklist).query.queryItemValue(QStringLiteral("after")), QStringLiteral("v3"));
        QCOMPARE(rig.bo->blacklisVer(), QStringLiteral("v3"));
        QVERIFY(rig.db->isBlacklisted(QStringLiteral("NEW3")));
    }

    // The log tells how much an answer holds, not what: a list of millions would otherwise be
    // written out whole to be cut to its first lines.
    void answerIsLoggedAsCounts()
    {
        LinkRig &rig = *m_rig;
        seed();
        rig.backOffice.setBlacklist(QStringLiteral("v2"), {"NEW1", "NEW2", "NEW3"}, {"OLD1"});
        rig.backOffice.setHeartbeatAnswer(QJsonObject{{"blacklistVersion", "v2"}});
        QVERIFY(beat());
        QCOMPARE(rig.bo->blacklisVer(), QStringLiteral("v2"));
        QVERIFY(rig.log.contains(QtInfoMsg, QStringLiteral("[Backend::CardBO] Update Blacklist response received : status=200")));
        QVERIFY(rig.log.contains(QtInfoMsg, QStringLiteral("[Backend::CardBO] Blacklist answer : 3 uid(s) to add, 1 to remove")));
        for (const QString &line : rig.log.texts())
            QVERIFY2(!line.contains(QLatin1String("NEW2")), qPrintable(line));
    }

    // Entries were sent and none of them is a uid, or the answer is no lists, or holds more
    // entries than any list of card uids within the bound on its bytes (parsed, it would take
    // far more memory than such a list): the back office meant a list the terminal cannot read.
    // The version is not taken as applied, nor fetched again at every heartbeat (up to 64 MiB
    // and seconds each time): only another version announced is fetched. An answer with no
    // entries at all is a version that changes nothing.
    void answerRefused_data()
    {
        QTest::addColumn<FakeHttpResponse>("answer");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("error");
        const QString none = QStringLiteral("[Backend::CardBO] WARN: None of the %1 blacklist entries is a card uid; nothing applied");
        QTest::newRow("uids as numbers")
            << FakeHttpResponse::json(200, QJsonObject{{"added", QJsonArray{4660, 22136}}}) << "v1" << none.arg(2);
        QTest::newRow("empty, null and objects")
            << FakeHttpResponse::json(200, QJsonObject{{"added", QJsonArray{"", QJsonValue::Null}},
                                                       {"removed", QJsonArray{QJsonObject{{"uid", "OLD1"}}}}})
            << "v1" << none.arg(3);
        // Each of them would take a share of the store's time far beyond its own.
        QTest::newRow("texts far longer than any uid")
            << FakeHttpResponse::json(200, QJsonObject{{"added", QJsonArray{QString(7000, QLatin1Char('A')), QString(65, QLatin1Char('B'))}}})
            << "v1" << none.arg(2);
        QTest::newRow("not lists") << FakeHttpResponse::json(200, QJsonObject{{"added", "NEW1"}}) << "v1"
                                   << "[Backend::CardBO] ERROR: Blacklist answer is not lists of card uids; nothing applied";
        // Five million one-character uids: 20 MB, far within the bound on bytes.
        QByteArray many = "{\"added\":[";
        many.reserve(20 * 1000 * 1000 + 32);
        for (int i = 0; i < 5000000; ++i)
            many += i == 0 ? "\"A\"" : ",\"A\"";
        many += "]}";
        QTest::newRow("more entries than a list at the bound") << FakeHttpResponse::text(200, many, "application/json") << "v1"
            << "[Backend::CardBO] ERROR: Blacklist answer holds more than 4194304 entries; nothing applied";
        // Refused for its bytes, the same answer would come again at every heartbeat.
        QByteArray large = "{\"added\":[\"NEW1\"]}";
        large += QByteArray(64 * 1024 * 1024 + 1 - large.size(), ' ');
        QTest::newRow("more bytes than the bound") << FakeHttpResponse::text(200, large, "application/json") << "v1"
            << "[Backend::CardBO] ERROR: Operation failed : (200) Reply larger than 67108864 bytes";
        QTest::newRow("no entries")
            << FakeHttpResponse::json(200, QJsonObject{{"added", QJsonArray{}}, {"removed", QJsonArray{}}}) << "v2" << QString();
    }
    void answerRefused()
    {
        QFETCH(FakeHttpResponse, answer);
        QFETCH(QString, version);
        QFETCH(QString, error);
        LinkRig &rig = *m_rig;
        seed();
        rig.backOffice.setHeartbeatAnswer(QJsonObject{{"blacklistVersion", "v2"}});
        rig.backOffice.queueResponse(Blacklist, answer);
        QVERIFY(beat());
        QCOMPARE(rig.bo->blacklisVer(), version);
        QVERIFY(rig.db->isBlacklisted(QStringLiteral("OLD1")) && rig.db->isBlacklisted(QStringLiteral("OLD2")));
        QStringList said = rig.log.startingWith(QStringLiteral("[Backend::CardBO] WARN: None of "), QtWarningMsg)
            + rig.log.startingWith(QStringLiteral("[Backend::CardBO] ERROR: "), QtCriticalMsg);
        QCOMPARE(said, error.isEmpty() ? QStringList() : QStringList{error});
        QVERIFY(beat());
        QVERIFY(beat());
        QCOMPARE(rig.backOffice.count(Blacklist), 1);

        // Another version is fetched, and applies.
        rig.backOffice.setBlacklist(QStringLiteral("v3"), {"NEW3"});
        rig.backOffice.setHeartbeatAnswer(QJsonObject{{"blacklistVersion", "v3"}});
        QVERIFY(beat());
        QCOMPARE(rig.backOffice.count(Blacklist), 2);
        QCOMPARE(rig.bo->blacklisVer(), QStringLiteral("v3"));
        QVERIFY(rig.db->isBlacklisted(QStringLiteral("NEW3")));
    }

    // A fetch that failed at the server may do better next time: its version is fetched again
    // at the next heartbeat, and applies then. So does one the server failed at length.
    void answerFailedFetchedAgain_data()
    {
        QTest::addColumn<FakeHttpResponse>("answer");
        QTest::newRow("server error") << FakeHttpResponse::json(500, QJsonObject{{"error", "busy"}});
        QByteArray large = "{\"error\":\"busy\"}";
        large += QByteArray(64 * 1024 * 1024 + 1 - large.size(), ' ');
        QTest::newRow("server error over the bound") << FakeHttpResponse::text(500, large, "application/json");
    }
    void answerFailedFetchedAgain()
    {
        QFETCH(FakeHttpResponse, answer);
        LinkRig &rig = *m_rig;
        seed();
        rig.backOffice.setBlacklist(QStringLiteral("v2"), {"NEW2"});
        rig.backOffice.setHeartbeatAnswer(QJsonObject{{"blacklistVersion", "v2"}});
        rig.backOffice.queueResponse(Blacklist, answer);
        QVERIFY(beat());
        QCOMPARE(rig.bo->blacklisVer(), QStringLiteral("v1"));
        QVERIFY(beat());
        QCOMPARE(rig.backOffice.count(Blacklist), 2);
        QCOMPARE(rig.bo->blacklisVer(), QStringLiteral("v2"));
        QVERIFY(rig.db->isBlacklisted(QStringLiteral("NEW2")));
    }

    // stop() while an answer waits for the store: it is given up, nothing of it lands, and the
    // version is fetched again once the link runs again.
    void stopWhileTheAnswerWaits_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("a few uids") << 3;
        QTest::newRow("more than one write should hold the store for") << 30000;
    }
    void stopWhileTheAnswerWaits()
    {
        QFETCH(int, count);
        LinkRig &rig = *m_rig;
        seed();
        rig.config->set(QStringLiteral("card-bo/hbIntervalSec"), 600);
        const QStringList added = cardUids(QStringLiteral("N"), count);
        rig.backOffice.setBlacklist(QStringLiteral("v2"), added, {"OLD1"});
        rig.backOffice.setHeartbeatAnswer(QJsonObject{{"blacklistVersion", "v2"}});
        rig.bo->start();
        QVERIFY(rig.tick());
        QCOMPARE(rig.bo->blacklisVer(), QStringLiteral("v2"));

        // Once more, a version later, with the store held.
        rig.backOffice.setBlacklist(QStringLiteral("v3"), {"NEW3"}, added);
        rig.backOffice.setHeartbeatAnswer(QJsonObject{{"blacklistVersion", "v3"}});
        {
            OtherConnection other(storePath());
            QVERIFY(other.exec(QStringLiteral("BEGIN IMMEDIATE")));
            rig.log.clear();
            rig.bo->onTick();
            QVERIFY(waitUntil([&] { return answerReceived(); }, 40000));
            rig.bo->stop();
            QVERIFY(other.exec(QStringLiteral("ROLLBACK")));
            QVERIFY(rig.settle());
            QCOMPARE(rig.bo->blacklisVer(), QStringLiteral("v2"));
            QVERIFY(!rig.db->isBlacklisted(QStringLiteral("NEW3")));
            QCOMPARE(other.listed().size(), count + 1);
            const QStringList tables = other.tables();
            QVERIFY2(tables == FiveTables || tables == WithUnfinishedList, qPrintable(tables.join(QLatin1Char(','))));
        }

        rig.bo->start();
        QVERIFY(rig.tick());
        QCOMPARE(rig.bo->blacklisVer(), QStringLiteral("v3"));
        QCOMPARE(rig.db->isBlacklisted(QStringLiteral("NEW3")), true);
        QCOMPARE(rig.db->isBlacklisted(added.last()), false);
        QCOMPARE(OtherConnection(storePath()).tables(), FiveTables);
        rig.bo->stop();
    }

    // stop() while the answer is still on its way: the request is given up at once rather
    // than read (up to 64 MiB, parsed) only to be set aside, with the next update waiting for
    // it. Started again, the link fetches the version anew.
    void stopWhileTheAnswerIsOnItsWay()
    {
        LinkRig &rig = *m_rig;
        seed();
        rig.backOffice.setBlacklist(QStringLiteral("v2"), {"NEW1"}, {"OLD1"});
        rig.backOffice.queueResponse(Blacklist, FakeHttpResponse::json(200, QJsonObject{{"added", QJsonArray{"LATE"}}})
                                                    .withDelay(60000));
        rig.bo->start();
        DeferredProbe<> update(rig.bo->updateBlacklist(QStringLiteral("v2")));
        QVERIFY(waitUntil([&] { return rig.backOffice.count(Blacklist) == 1; }, 40000));
        rig.bo->stop();
        QVERIFY(update.waitSettled(20000));
        QVERIFY(!update.resolved());
        QVERIFY(!rig.bo->blacklistUpdating());
        QVERIFY(waitUntil([&] { return rig.backOffice.server().openConnections() == 0; }, 20000));

        rig.bo->start();
        DeferredProbe<> again(rig.bo->updateBlacklist(QStringLiteral("v2")));
        QVERIFY(again.waitSettled(40000));
        QVERIFY(again.resolved());
        QCOMPARE(OtherConnection(storePath()).listed(), (QStringList{"NEW1", "OLD2"}));
        rig.bo->stop();
    }

    // The program killed while it builds a long list (a power cut): started again, the old list
    // is there whole, and the next update applies whole and clears what the killed one left.
    void killedWhileALongListIsBuilt()
    {
        LinkRig &rig = *m_rig;
        seed();
        QProcess child;
        child.setProgram(QStringLiteral(STORE_CHILD));
        child.setArguments({rig.dir.path(), QStringLiteral("--blacklist"), QStringLiteral("300000")});
        child.start();
        QVERIFY(child.waitForStarted(10000));
        OtherConnection other(storePath());
        QVERIFY(waitUntil(
            [&] {
                return child.state() != QProcess::Running
                    || other.column(QStringLiteral("SELECT COUNT(*) FROM BlacklistNext")).value(0).toInt() > 0;
            },
            60000));
        child.kill();
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QVERIFY2(!child.readAllStandardOutput().contains("applied"), "the list was applied before the kill");

        rig.bo.reset();
        rig.db.reset();
        rig.db = std::make_unique<Backend::Database>(*rig.config);
        rig.bo = std::make_unique<CardBO>(*rig.config, *rig.db, rig.terminal);
        QCOMPARE(other.listed(), (QStringList{"OLD1", "OLD2"}));
        QCOMPARE(rig.bo->blacklisVer(), QStringLiteral("v1"));

        rig.backOffice.setBlacklist(QStringLiteral("v2"), {"NEW1"}, {"OLD1"});
        DeferredProbe<> update(rig.bo->updateBlacklist(QStringLiteral("v2")));
        QVERIFY(update.waitSettled(40000));
        QVERIFY(update.resolved());
        QCOMPARE(other.listed(), (QStringList{"NEW1", "OLD2"}));
        QCOMPARE(other.tables(), FiveTables);
    }

    // The link goes while an answer is on its way or being applied: nothing reaches the link
    // that is gone, and the list is either the old one or the new one, whole.
    void destroyedMeanwhile_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("delay");
        QTest::newRow("answer on its way") << 3 << 1000;
        QTest::newRow("long answer being applied") << 30000 << 0;
    }
    void destroyedMeanwhile()
    {
        QFETCH(int, count);
        QFETCH(int, delay);
        LinkRig &rig = *m_rig;
        seed();
        const QStringList added = cardUids(QStringLiteral("N"), count);
        QJsonArray uids;
        for (const QString &uid : added)
            uids << uid;
        rig.backOffice.setResponse(Blacklist, FakeHttpResponse::json(200, QJsonObject{{"added", uids}, {"removed", QJsonArray{"OLD1"}}})
                                                  .withDelay(delay));
        DeferredProbe<> update(rig.bo->updateBlacklist(QStringLiteral("v2")));
        if (delay > 0)
            QVERIFY(waitUntil([&] { return rig.backOffice.count(Blacklist) == 1; }, 40000));
        else
            QVERIFY(waitUntil([&] { return answerReceived(); }, 40000));
        rig.bo.reset();
        // Past the delayed answer: the fake has written it and seen the connection go.
        QVERIFY(waitUntil([&] { return rig.backOffice.server().openConnections() == 0; }, 10000));

        OtherConnection other(storePath());
        const QStringList listed = other.listed();
        const bool old = listed == QStringList{"OLD1", "OLD2"};
        const bool whole = listed.size() == count + 1 && listed.contains(added.first()) && listed.contains(added.last());
        QVERIFY2(old || whole, qPrintable(QStringLiteral("%1 uids listed").arg(listed.size())));
        if (delay > 0)
            QVERIFY(old && !update.resolved());
        if (update.resolved())
            QVERIFY(whole);
        const QStringList tables = other.tables();
        QVERIFY2(tables == FiveTables || tables == WithUnfinishedList, qPrintable(tables.join(QLatin1Char(','))));

        // The next link on the store applies the next list whole, and clears what was left.
        rig.bo = std::make_unique<CardBO>(*rig.config, *rig.db, rig.terminal);
        rig.backOffice.setResponse(Blacklist, FakeHttpResponse::json(200, QJsonObject{{"added", QJsonArray{"NEW9"}}}));
        DeferredProbe<> next(rig.bo->updateBlacklist(QStringLiteral("v3")));
        QVERIFY(next.waitSettled(40000));
        QVERIFY(next.resolved());
        QVERIFY(other.listed().contains(QStringLiteral("NEW9")));
        QCOMPARE(other.tables(), FiveTables);
    }
};

QTEST_GUILESS_MAIN(tst_CardBO_blacklist)
#include "tst_CardBO_blacklist.moc"
