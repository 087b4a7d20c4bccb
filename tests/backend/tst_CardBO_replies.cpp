#include "LinkRig.h"

#include "fakes/CoarseTimer.h"
#include "fakes/DeferredProbe.h"
#include "fakes/PeakMemory.h"
#include "fakes/TestCertificates.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <memory>

using Backend::CardBO;
using Backend::Transaction;

// Bad answers on every endpoint of the back office: each is logged, leaves the link in the state
// the rules give, and loses nothing the terminal holds.
class tst_CardBO_replies : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestCertificates> m_certs;
    std::unique_ptr<LinkRig> m_rig;

    static FakeHttpResponse bad(const QString &kind)
    {
        if (kind == QLatin1String("not JSON"))
            return FakeHttpResponse::text(200, "<html><body>Gateway says hello</body></html>", "text/html");
        if (kind == QLatin1String("wrong types"))
            // A key sent as a number is a key written as text: no wrong type.
            return FakeHttpResponse::json(200, QJsonObject{{"apiKey", true},
                                                           {"id", QJsonArray{}},
                                                           {"customs", "Port"},
                                                           {"locations", QJsonObject{{"id", 7}}},
                                                           {"blacklistVersion", true},
                                                           {"configUpdatedAt", QJsonArray{}},
                                                           {"config", 5},
                                                           {"added", QJsonObject{}},
                                                           {"removed", 1}});
        if (kind == QLatin1String("500"))
            return FakeHttpResponse::json(500, QJsonObject{{"error", "internal"}});
        if (kind == QLatin1String("dropped"))
            return FakeHttpResponse::hangUp();
        // 2 MB: a JSON object made of one long member.
        return FakeHttpResponse::json(200, QJsonObject{{"filler", QString(2 * 1024 * 1024, QLatin1Char('x'))}});
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
    }

    void cleanup() { m_rig.reset(); }

    void badReplies_data()
    {
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("outcome"); // link state, or the transaction's send status
        const QStringList kinds{"not JSON", "wrong types", "500", "dropped", "2 MB"};
        const QMap<QString, QStringList> outcomes{
            // An answer without a key is no registration.
            {"register", {"Not Registered", "Not Registered", "Not Registered", "Not Registered", "Not Registered"}},
            // A body that is no object counts as an empty one: nothing stored, still a success.
            {"updateData", {"Online", "Online", "Init", "Init", "Online"}},
            // Heartbeat answers are small: 2 MB is refused unread.
            {"heartbeat", {"Online", "Online", "Error", "Error", "Error"}},
            // Only lists of uids count as a blacklist; the link stays online either way.
            {"blacklist", {"Online", "Online", "Online", "Online", "Online"}},
            // 2 MB is refused unread, but its status says the transaction arrived.
            {"transaction", {"OK", "OK", "PENDING", "PENDING", "OK"}},
        };
        for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
            for (int i = 0; i < kinds.size(); ++i)
                QTest::addRow("%s, %s", qPrintable(it.key()), qPrintable(kinds.at(i)))
                    << it.key() << kinds.at(i) << it.value().at(i);
    }
    void badReplies()
    {
        QFETCH(QString, endpoint);
        QFETCH(QString, kind);
        QFETCH(QString, outcome);
        LinkRig &rig = *m_rig;
        CardBO &bo = *rig.bo;

        // What the terminal holds before the bad answer.
        rig.db->setCustoms({{12, QStringLiteral("Port of Volos"), QStringLiteral("c-12")}});
        rig.db->setLocations({{7, QStringLiteral("Gate 7"), QString()}});
        rig.db->setParam(QStringLiteral("blacklistVer"), QStringLiteral("v1"));
        rig.db->blacklistAdd(QStringLiteral("04BAD"));
        const QString hbBefore = rig.config->get(QStringLiteral("card-bo/hbIntervalSec")).toString();

        const FakeHttpResponse answer = bad(kind);
        bo.start();
        if (endpoint == QLatin1String("register")) {
            QVERIFY(rig.tick());
            QCOMPARE(bo.state(), CardBO::NotRegistered);
            rig.backOffice.setResponse(FakeBackOffice::Register, answer);
            QVERIFY(rig.tick());
        } else if (endpoint == QLatin1String("updateData")) {
            rig.storeKey();
            rig.backOffice.setResponse(FakeBackOffice::UpdateData, answer);
            QVERIFY(rig.tick());
        } else if (endpoint == QLatin1String("heartbeat")) {
            rig.storeKey();
            QVERIFY(rig.tick());
            QCOMPARE(bo.state(), CardBO::Online);
            rig.backOffice.setResponse(FakeBackOffice::Heartbeat, answer);
            QVERIFY(rig.tick());
        } else if (endpoint == QLatin1String("blacklist")) {
            rig.storeKey();
            rig.backOffice.setHeartbeatAnswer(QJsonObject{{"blacklistVersion", "v2"}});
            rig.backOffice.setResponse(FakeBackOffice::Blacklist, answer);
            QVERIFY(rig.tick());
            QVERIFY(rig.backOffice.count(FakeBackOffice::Blacklist) >= 1);
        } else {
            rig.storeKey();
            rig.backOffice.setResponse(FakeBackOffice::Transaction, answer);
            auto t = Transaction::create(Transaction::Collection, QStringLiteral("SN-0042"), QStringLiteral("04AB"), QString());
            t->setUuid(QStringLiteral("t-bad"));
            rig.bo->sendTransaction(t);
            QVERIFY(rig.settle());
        }

        if (endpoint == QLatin1String("transaction")) {
            const QList<Transaction::Ptr> pending = rig.db->transPending();
            QCOMPARE(rig.db->transCount(outcome), 1);
            if (outcome == QLatin1String("PENDING")) {
                QCOMPARE(pending.size(), 1);
                QCOMPARE(pending.first()->sendDetails().sendAttempts, 1);
                QVERIFY(pending.first()->sendDetails().sendSchedDate > QDateTime::currentDateTime());
            }
        } else {
            QCOMPARE(CardBO::stateToStr(bo.state()), outcome);
        }

        // Nothing the terminal held is lost or overwritten by the bad answer.
        QCOMPARE(rig.db->findCustoms(12).name, QStringLiteral("Port of Volos"));
        QCOMPARE(rig.db->customs().size(), 1);
        QCOMPARE(rig.db->findLocation(7).name, QStringLiteral("Gate 7"));
        QCOMPARE(rig.db->locations().size(), 1);
        QCOMPARE(rig.bo->blacklisVer(), QStringLiteral("v1"));
        QVERIFY(rig.db->isBlacklisted(QStringLiteral("04BAD")));
        QCOMPARE(rig.config->get(QStringLiteral("card-bo/hbIntervalSec")).toString(), hbBefore);
        if (endpoint == QLatin1String("register"))
            QCOMPARE(rig.storedKey(), QString());
        else
            QCOMPARE(rig.storedKey(), rig.backOffice.apiKey());

        // Failures are logged, and no log line carries the whole of a big answer.
        const bool failed = (endpoint == QLatin1String("transaction") && outcome != QLatin1String("OK"))
            || outcome == QLatin1String("Error") || outcome == QLatin1String("Init")
            || endpoint == QLatin1String("register") || endpoint == QLatin1String("blacklist");
        if (failed)
            QVERIFY(rig.log.count(QtCriticalMsg, QStringLiteral("[Backend::CardBO] ERROR: ")) > 0);
        for (const QString &line : rig.log.texts())
            QVERIFY2(line.size() < 8192, qPrintable(line.left(120)));
        // Each request has its own bound: reference data and blacklists are allowed more.
        const bool bounded = kind == QLatin1String("2 MB") && endpoint != QLatin1String("updateData")
            && endpoint != QLatin1String("blacklist");
        QCOMPARE(rig.log.count(QtCriticalMsg, QStringLiteral("[HttpClient] ERROR: Reply larger than ")) > 0, bounded);
        bo.stop();
    }

    // The back office packs its answer though asked not to: a gigabyte in a megabyte is refused
    // before a byte of it is unpacked, whatever the endpoint's bound.
    void packedAnswersRefused_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("heartbeat") << FakeBackOffice::Heartbeat;
        QTest::newRow("reference data") << FakeBackOffice::UpdateData;
        QTest::newRow("blacklist") << FakeBackOffice::Blacklist;
    }
    void packedAnswersRefused()
    {
        QFETCH(QString, path);
        LinkRig &rig = *m_rig;
        CardBO &bo = *rig.bo;
        rig.storeKey();
        rig.db->setParam(QStringLiteral("blacklistVer"), QStringLiteral("v1"));
        bo.start();
        QVERIFY(rig.tick());
        QCOMPARE(bo.state(), CardBO::Online);

        rig.backOffice.setResponse(path, FakeHttpResponse::packed("gzip", qint64(1) << 30));
        PeakMemory peak;
        QVERIFY(peak.isValid());
        if (path == FakeBackOffice::Heartbeat) {
            QVERIFY(rig.tick());
            QCOMPARE(bo.state(), CardBO::Error);
        } else {
            DeferredProbe<> done(path == FakeBackOffice::UpdateData ? bo.updateData()
                                                                     : bo.updateBlacklist(QStringLiteral("v2")));
            QVERIFY(done.waitSettled(30000));
            QVERIFY(done.rejected());
        }
        QVERIFY2(peak.growth() < 32 * 1024 * 1024, qPrintable(QString::number(peak.growth())));
        QVERIFY(rig.log.contains(QtCriticalMsg, QStringLiteral("[Backend::CardBO] ERROR: Operation failed : (200) "
                                                               "Reply refused (Content-Encoding 'gzip')")));
        QCOMPARE(rig.backOffice.last(path).header("Accept-Encoding"), QByteArray("identity"));
        QCOMPARE(bo.blacklisVer(), QStringLiteral("v1"));
        bo.stop();
    }

    // A blacklist answer as large as a million uids make is taken whole.
    void blacklistAnswerOfAMillionUids()
    {
        LinkRig &rig = *m_rig;
        rig.storeKey();
        // About 24 bytes a uid, as the list carries them: mostly filler, to spare the store.
        rig.backOffice.setResponse(FakeBackOffice::Blacklist,
                                   FakeHttpResponse::json(200, QJsonObject{{"added", QJsonArray{"04A1B2C3D4E5F6"}},
                                                                           {"filler", QString(24000000, QLatin1Char('x'))}}));
        DeferredProbe<> done(rig.bo->updateBlacklist(QStringLiteral("v2")));
        QVERIFY(done.waitSettled(60000));
        QVERIFY(done.resolved());
        QVERIFY(rig.db->isBlacklisted(QStringLiteral("04A1B2C3D4E5F6")));
    }

    // Requests the back office never answers give up after 30 s, all at once here.
    void timeOuts()
    {
        LinkRig &rig = *m_rig;
        CardBO &bo = *rig.bo;
        rig.storeKey();
        rig.db->setCustoms({{12, QStringLiteral("Port of Volos"), QString()}});
        rig.db->setParam(QStringLiteral("blacklistVer"), QStringLiteral("v1"));
        // No tick of the timer's own meanwhile.
        rig.config->set(QStringLiteral("card-bo/hbIntervalSec"), 600);
        bo.start();
        QVERIFY(rig.tick());
        QCOMPARE(bo.state(), CardBO::Online);

        for (const QString &path : {FakeBackOffice::Register, FakeBackOffice::UpdateData, FakeBackOffice::Heartbeat,
                                    FakeBackOffice::Blacklist, FakeBackOffice::Transaction})
            rig.backOffice.setResponse(path, FakeHttpResponse::noAnswer());
        QElapsedTimer clock;
        clock.start();
        bo.onTick(); // heartbeat
        DeferredProbe<> reg(bo.registerDevice());
        DeferredProbe<> data(bo.updateData());
        DeferredProbe<> list(bo.updateBlacklist(QStringLiteral("v2")));
        auto t = Transaction::create(Transaction::Issuance, QStringLiteral("SN-0042"), QStringLiteral("04AB"), QString());
        bo.sendTransaction(t);
        QVERIFY(rig.settle(60000));
        QVERIFY(clock.elapsed() >= coarseTimerEarliest(30000));

        QVERIFY(reg.rejected() && data.rejected() && list.rejected());
        QCOMPARE(bo.state(), CardBO::Error);
        QCOMPARE(bo.reason(), QStringLiteral("Communication error"));
        QCOMPARE(rig.storedKey(), rig.backOffice.apiKey());
        QCOMPARE(rig.db->findCustoms(12).name, QStringLiteral("Port of Volos"));
        QCOMPARE(bo.blacklisVer(), QStringLiteral("v1"));
        const QList<Transaction::Ptr> pending = rig.db->transPending();
        QCOMPARE(pending.size(), 1);
        QCOMPARE(pending.first()->sendDetails().respStatus, 0);
        QCOMPARE(pending.first()->sendDetails().sendAttempts, 1);
        QCOMPARE(rig.log.count(QtCriticalMsg, QStringLiteral("[Backend::CardBO] ERROR: Operation failed : (0) ")), 5);
        bo.stop();
    }
};

QTEST_GUILESS_MAIN(tst_CardBO_replies)
#include "tst_CardBO_replies.moc"
