#include "LinkRig.h"
#include "OtherConnection.h"

#include "app/LogQuote.h"

#include "fakes/CoarseTimer.h"
#include "fakes/DeferredProbe.h"
#include "fakes/TestCertificates.h"
#include "fakes/WaitingPipe.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <memory>

using Backend::CardBO;

namespace {

struct Scripted
{
    QString path;
    FakeHttpResponse response;
};
using Script = QList<Scripted>;

const QString &Register = FakeBackOffice::Register;
const QString &UpdateData = FakeBackOffice::UpdateData;
const QString &Heartbeat = FakeBackOffice::Heartbeat;

QString transition(CardBO &bo)
{
    return QStringLiteral("%1/%2").arg(CardBO::stateToStr(bo.state()), bo.reason());
}

QStringList paths(const QList<FakeBackOffice::Request> &requests)
{
    QStringList out;
    for (const auto &r : requests)
        out << r.path;
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Script)

class tst_CardBO_link : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestCertificates> m_certs;
    std::unique_ptr<TestCertificates> m_stranger;
    std::unique_ptr<LinkRig> m_rig;

private slots:
    void initTestCase()
    {
        m_certs = std::make_unique<TestCertificates>(QStringLiteral("Back Office"));
        QVERIFY2(m_certs->isValid(), qPrintable(m_certs->errorString()));
        m_stranger = std::make_unique<TestCertificates>(QStringLiteral("Stranger"));
        QVERIFY2(m_stranger->isValid(), qPrintable(m_stranger->errorString()));
    }

    void init()
    {
        m_rig = std::make_unique<LinkRig>(*m_certs);
        QVERIFY(m_rig->setUp());
    }

    void cleanup() { m_rig.reset(); }

    void startAndStop()
    {
        CardBO &bo = *m_rig->bo;
        QCOMPARE(bo.state(), CardBO::Stopped);
        QCOMPARE(CardBO::stateToStr(CardBO::Stopped), QStringLiteral("Unknown"));
        QCOMPARE(CardBO::stateToStr(CardBO::NotRegistered), QStringLiteral("Not Registered"));
        QCOMPARE(CardBO::stateToStr(CardBO::Online), QStringLiteral("Online"));

        QSignalSpy changed(&bo, &CardBO::stateChanged);
        bo.stop();
        QCOMPARE(changed.count(), 0);
        QCOMPARE(m_rig->log.count(QtInfoMsg, QStringLiteral("Stopping Card BO engine")), 0);

        // No key: the first tick, half a second after the start, finds the terminal unregistered.
        QElapsedTimer clock;
        clock.start();
        bo.start();
        bo.start();
        QCOMPARE(m_rig->log.count(QtInfoMsg, QStringLiteral("[Backend::CardBO] Starting Card BO engine")), 1);
        QCOMPARE(transition(bo), QStringLiteral("Init/User request"));
        QVERIFY(m_rig->log.contains(QtInfoMsg, QStringLiteral("[Backend::CardBO] State changed : (0) Init (reason=User request)")));
        WAIT_COMPARE(bo.state(), CardBO::NotRegistered);
        QVERIFY(clock.elapsed() >= coarseTimerEarliest(500));
        QCOMPARE(bo.tickInterval(), 30000);
        QCOMPARE(m_rig->backOffice.requests().size(), 0);

        bo.stop();
        QCOMPARE(transition(bo), QStringLiteral("Unknown/User request"));
        QCOMPARE(m_rig->log.count(QtInfoMsg, QStringLiteral("[Backend::CardBO] Stopping Card BO engine")), 1);
        QCOMPARE(changed.count(), 3);

        // The next start keeps the interval the last tick armed.
        bo.start();
        QCOMPARE(bo.tickInterval(), 30000);
        bo.stop();
    }

    // A listener of stateChanged that stops (and maybe starts) the link while its timer's tick
    // runs: the link does what it was last told.
    void stopFromInsideATick_data()
    {
        QTest::addColumn<bool>("restart");
        QTest::addColumn<QStringList>("transitions");
        QTest::newRow("stop") << false
                              << QStringList{"Init/User request", "Error/Missing Device ID", "Unknown/User request"};
        QTest::newRow("stop, then start")
            << true
            << QStringList{"Init/User request", "Error/Missing Device ID", "Unknown/User request", "Init/User request"};
    }
    void stopFromInsideATick()
    {
        QFETCH(bool, restart);
        QFETCH(QStringList, transitions);
        LinkRig &rig = *m_rig;
        CardBO &bo = *rig.bo;
        rig.terminal.serial.clear();
        QStringList seen;
        bool acted = false;
        QMetaObject::Connection listener = connect(&bo, &CardBO::stateChanged, &bo, [&] {
            seen << transition(bo);
            if (bo.state() != CardBO::Error || acted)
                return;
            acted = true;
            bo.stop();
            if (restart)
                bo.start();
        });
        bo.start();
        QVERIFY(waitUntil([&] { return acted; })); // the timer's first tick
        QCOMPARE(seen, transitions);
        disconnect(listener);
        const QString starting = QStringLiteral("[Backend::CardBO] Starting Card BO engine");
        if (restart) {
            // Running: its own next tick finds the id missing again.
            QCOMPARE(rig.log.count(QtInfoMsg, starting), 2);
            WAIT_COMPARE(transition(bo), QStringLiteral("Error/Missing Device ID"));
        } else {
            // Stopped: the next start() starts it.
            QCOMPARE(transition(bo), QStringLiteral("Unknown/User request"));
            bo.start();
            QCOMPARE(rig.log.count(QtInfoMsg, starting), 2);
            QCOMPARE(transition(bo), QStringLiteral("Init/User request"));
        }
        bo.stop();
        QCOMPARE(transition(bo), QStringLiteral("Unknown/User request"));
    }

    void stateTable_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("customs");
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("key");
        QTest::addColumn<Script>("script");
        QTest::addColumn<QStringList>("transitions"); // every emitted change, after start()
        QTest::addColumn<QList<int>>("intervals");    // armed by each tick
        QTest::addColumn<QStringList>("requests");

        const QString key = QStringLiteral("bo-key-0001");
        const FakeHttpResponse fail500 = FakeHttpResponse::json(500, QJsonObject{{"error", "down"}});

        QTest::newRow("no device id")
            << "" << "12" << "7" << key << Script{}
            << QStringList{"Init/User request", "Error/Missing Device ID", "Init/Recovering from error",
                           "Error/Missing Device ID"}
            << QList<int>{30000, 5000, 30000} << QStringList{};
        QTest::newRow("no customs id")
            << "SN-1" << "" << "7" << key << Script{}
            << QStringList{"Init/User request", "Error/Missing Customs ID"} << QList<int>{30000} << QStringList{};
        QTest::newRow("no location id")
            << "SN-1" << "12" << "" << key << Script{}
            << QStringList{"Init/User request", "Error/Missing Location ID"} << QList<int>{30000} << QStringList{};
        QTest::newRow("no key, no ids")
            << "" << "12" << "7" << "" << Script{}
            << QStringList{"Init/User request", "Error/Missing Device ID"} << QList<int>{30000} << QStringList{};
        QTest::newRow("no key")
            << "SN-1" << "12" << "7" << "" << Script{}
            << QStringList{"Init/User request", "Not Registered/Missing API key"} << QList<int>{30000}
            << QStringList{};
        QTest::newRow("registration")
            << "SN-1" << "12" << "7" << "" << Script{}
            << QStringList{"Init/User request", "Not Registered/Missing API key", "Init/", "Online/"}
            << QList<int>{30000, 30000, 30000} << QStringList{Register, UpdateData, Heartbeat};
        QTest::newRow("registration refused, then taken")
            << "SN-1" << "12" << "7" << "" << Script{{Register, fail500}}
            << QStringList{"Init/User request", "Not Registered/Missing API key", "Init/"}
            << QList<int>{30000, 30000, 30000} << QStringList{Register, Register};
        QTest::newRow("online")
            << "SN-1" << "12" << "7" << key << Script{}
            << QStringList{"Init/User request", "Online/"} << QList<int>{30000} << QStringList{UpdateData, Heartbeat};
        QTest::newRow("reference data fails")
            << "SN-1" << "12" << "7" << key << Script{{UpdateData, fail500}}
            << QStringList{"Init/User request", "Online/"} << QList<int>{30000, 30000}
            << QStringList{UpdateData, UpdateData, Heartbeat};
        QTest::newRow("first heartbeat fails")
            << "SN-1" << "12" << "7" << key << Script{{Heartbeat, FakeHttpResponse::json(503, QJsonObject{})}}
            << QStringList{"Init/User request", "Online/"} << QList<int>{30000, 30000}
            << QStringList{UpdateData, Heartbeat, UpdateData, Heartbeat};
        QTest::newRow("a key the back office does not know")
            << "SN-1" << "12" << "7" << "stale-key" << Script{}
            << QStringList{"Init/User request"} << QList<int>{30000, 30000} << QStringList{UpdateData, UpdateData};
        QTest::newRow("online, heartbeat fails, recovers")
            << "SN-1" << "12" << "7" << key
            << Script{{Heartbeat, FakeHttpResponse::json(200, QJsonObject{})}, {Heartbeat, fail500}}
            << QStringList{"Init/User request", "Online/", "Error/Communication error", "Init/Recovering from error",
                           "Online/"}
            << QList<int>{30000, 2000, 5000, 30000}
            << QStringList{UpdateData, Heartbeat, Heartbeat, UpdateData, Heartbeat};
    }
    void stateTable()
    {
        QFETCH(QString, serial);
        QFETCH(QString, customs);
        QFETCH(QString, location);
        QFETCH(QString, key);
        QFETCH(Script, script);
        QFETCH(QStringList, transitions);
        QFETCH(QList<int>, intervals);
        QFETCH(QStringList, requests);

        LinkRig &rig = *m_rig;
        rig.terminal.serial = serial;
        rig.terminal.customs = customs;
        rig.terminal.location = location;
        if (!key.isEmpty())
            rig.storeKey(key);
        rig.config->set(QStringLiteral("card-bo/hbIntervalSec"), 2);
        for (const Scripted &s : script)
            rig.backOffice.queueResponse(s.path, s.response);

        CardBO &bo = *rig.bo;
        QStringList seen;
        connect(&bo, &CardBO::stateChanged, &bo, [&] { seen << transition(bo); });
        bo.start();
        for (int i = 0; i < intervals.size(); ++i) {
            QVERIFY(rig.tick());
            QCOMPARE(bo.tickInterval(), intervals.at(i));
        }
        QCOMPARE(seen, transitions);
        QCOMPARE(paths(rig.backOffice.requests()), requests);

        // Every request but registration carried the key; each went with the client certificate.
        for (const auto &r : rig.backOffice.requests()) {
            QCOMPARE(r.clientSubject, QStringLiteral("Back Office Client"));
            QCOMPARE(r.header("X-API-Key").isEmpty(), r.path == Register);
        }
        if (requests.contains(Register) && transitions.contains(QStringLiteral("Init/"))) {
            QCOMPARE(rig.storedKey(), rig.backOffice.apiKey());
            QCOMPARE(rig.db->param(QStringLiteral("id")).toInt(), 41);
            const FakeBackOffice::Request reg = rig.backOffice.requests(Register).last();
            QCOMPARE(reg.json, (QJsonObject{{"serialNumber", serial},
                                            {"type", "CARD_VENDING_MACHINE"},
                                            {"name", QJsonValue::Null},
                                            {"customsId", customs},
                                            {"locationId", location}}));
            QVERIFY(rig.log.contains(QtWarningMsg, QStringLiteral("[Backend::CardBO] WARN: API Key changed")));
        }
        // The key never reaches a log line.
        for (const QString &line : rig.log.texts())
            QVERIFY2(!line.contains(rig.backOffice.apiKey()), qPrintable(line));
        bo.stop();
    }

    void heartbeatInterval_data()
    {
        QTest::addColumn<QVariant>("seconds");
        QTest::addColumn<int>("interval");
        QTest::newRow("default") << QVariant() << 30000;
        QTest::newRow("5") << QVariant(5) << 5000;
        QTest::newRow("0") << QVariant(0) << 30000;
        QTest::newRow("negative") << QVariant(-4) << 30000;
        QTest::newRow("not a number") << QVariant("soon") << 30000;
        QTest::newRow("beyond a timer") << QVariant(3000000) << std::numeric_limits<int>::max();
    }
    void heartbeatInterval()
    {
        QFETCH(QVariant, seconds);
        QFETCH(int, interval);
        if (seconds.isValid())
            m_rig->config->set(QStringLiteral("card-bo/hbIntervalSec"), seconds);
        m_rig->storeKey();
        m_rig->bo->start();
        QVERIFY(m_rig->tick());
        QCOMPARE(m_rig->bo->state(), CardBO::Online);
        QVERIFY(m_rig->tick());
        QCOMPARE(m_rig->bo->state(), CardBO::Online);
        QCOMPARE(m_rig->bo->tickInterval(), interval);
        m_rig->bo->stop();
    }

    // Answers that come after stop() leave the link as stop() left it; a registration's key is
    // kept all the same (the back office may hand it out once only).
    void answersAfterStop_data()
    {
        QTest::addColumn<bool>("registered");
        QTest::addColumn<QString>("path");
        QTest::addColumn<FakeHttpResponse>("late");
        QTest::addColumn<bool>("restart");

        const QJsonObject newer{{"blacklistVersion", "v9"},
                                {"configUpdatedAt", QDateTime::currentDateTimeUtc().addDays(1).toString(Qt::ISODate)},
                                {"config", QJsonArray{QJsonObject{{"name", "card-bo/hbIntervalSec"}, {"value", 7}}}}};
        const FakeHttpResponse slowNewer = FakeHttpResponse::json(200, newer).withDelay(1500);
        const FakeHttpResponse lateKey =
            FakeHttpResponse::json(200, QJsonObject{{"id", 5}, {"apiKey", "late-key"}}).withDelay(1500);
        QTest::newRow("registration") << false << Register << lateKey << false;
        QTest::newRow("registration, started again") << false << Register << lateKey << true;
        QTest::newRow("reference data") << true << UpdateData
                                        << FakeHttpResponse::json(200, QJsonObject{{"customs", QJsonArray{QJsonObject{
                                                                                     {"id", 12}, {"name", "Port"}}}}})
                                               .withDelay(1500)
                                        << false;
        QTest::newRow("heartbeat") << true << Heartbeat << slowNewer << false;
        QTest::newRow("heartbeat, started again") << true << Heartbeat << slowNewer << true;
        QTest::newRow("failed heartbeat") << true << Heartbeat
                                          << FakeHttpResponse::json(500, QJsonObject{}).withDelay(1500) << false;
    }
    void answersAfterStop()
    {
        QFETCH(bool, registered);
        QFETCH(QString, path);
        QFETCH(FakeHttpResponse, late);
        QFETCH(bool, restart);

        LinkRig &rig = *m_rig;
        if (registered)
            rig.storeKey();
        CardBO &bo = *rig.bo;
        bo.start();
        if (path == Heartbeat) {
            QVERIFY(rig.tick()); // online first
            QCOMPARE(bo.state(), CardBO::Online);
        } else if (path == Register) {
            QVERIFY(rig.tick());
            QCOMPARE(bo.state(), CardBO::NotRegistered);
        }
        rig.backOffice.queueResponse(path, late);
        const int before = rig.backOffice.requests().size();
        const QDateTime lastComms = bo.lastComms();
        bo.onTick();
        QVERIFY(waitUntil([&] { return rig.backOffice.requests().size() == before + 1; }));
        bo.stop();
        if (restart)
            bo.start();
        QSignalSpy changed(&bo, &CardBO::stateChanged);
        QSignalSpy comms(&bo, &CardBO::lastCommsChanged);
        QVERIFY(rig.settle());

        QCOMPARE(changed.count(), 0);
        QCOMPARE(bo.state(), restart ? CardBO::Init : CardBO::Stopped);
        QCOMPARE(rig.backOffice.requests().size(), before + 1); // nothing followed the late answer
        QCOMPARE(comms.count(), 0);
        QCOMPARE(bo.lastComms(), lastComms);
        if (path == Register) {
            QCOMPARE(rig.storedKey(), QStringLiteral("late-key"));
            QCOMPARE(rig.db->param(QStringLiteral("id")).toInt(), 5);
        } else {
            QCOMPARE(rig.storedKey(), registered ? rig.backOffice.apiKey() : QString());
        }
        QCOMPARE(rig.db->customs().size(), 0);
        QCOMPARE(rig.config->get(QStringLiteral("card-bo/hbIntervalSec")).toInt(), 30);
        QCOMPARE(bo.blacklisVer(), QString());
        if (late.status == 200 && path != Register)
            QVERIFY(rig.log.contains(QtInfoMsg, QStringLiteral("[Backend::CardBO] Ignoring the answer to ")));
        bo.stop();
    }

    void unknownAuthorityIsRefused()
    {
        // A server whose certificate comes from another authority never sees a request.
        FakeHttpServer impostor;
        impostor.setTls(m_stranger->serverCertificate(), m_stranger->serverKey());
        impostor.setDefaultResponse(FakeHttpResponse::json(200, QJsonObject{}));
        QVERIFY(impostor.start());

        LinkRig &rig = *m_rig;
        rig.storeKey();
        rig.bo->start();
        QVERIFY(rig.tick());
        QCOMPARE(rig.bo->state(), CardBO::Online);

        QUrl url = impostor.url();
        url.setPath(QString());
        rig.config->set(QStringLiteral("card-bo/url"), url.toString());
        QVERIFY(rig.tick());
        QCOMPARE(transition(*rig.bo), QStringLiteral("Error/Communication error"));
        QVERIFY(rig.log.contains(QtCriticalMsg, QStringLiteral("[Backend::CardBO] ERROR: Operation failed : (0) ")));
        QVERIFY(rig.log.contains(QtWarningMsg, QStringLiteral("[HttpClient] SSL Error(s) occured")));
        QCOMPARE(impostor.requestCount(), 0);
        rig.bo->stop();
    }

    // gui.conf names the files, and nothing but the operator checks it: a file that is no file
    // fails each request at once, with its name in the log, and the terminal goes on.
    void tlsFileThatIsNoFile_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("kind");
        QTest::newRow("client certificate, a pipe") << "card-bo/pubCert" << "pipe";
        QTest::newRow("client key, a pipe") << "card-bo/privKey" << "pipe";
        QTest::newRow("root CA, /dev/zero") << "card-bo/rootCA" << "/dev/zero";
    }
    void tlsFileThatIsNoFile()
    {
        QFETCH(QString, key);
        QFETCH(QString, kind);

        LinkRig &rig = *m_rig;
        rig.storeKey();
        rig.bo->start();
        QVERIFY(rig.tick());
        QCOMPARE(rig.bo->state(), CardBO::Online);
        const int seen = rig.backOffice.requests().size();

        QString path = kind;
        std::unique_ptr<WaitingPipe> pipe;
        if (kind == "pipe") {
            path = rig.dir.filePath(QStringLiteral("device.pem"));
            pipe = std::make_unique<WaitingPipe>(path);
            QVERIFY(pipe->isValid());
        }
        rig.config->set(key, path);
        QVERIFY(rig.tick());
        QCOMPARE(transition(*rig.bo), QStringLiteral("Error/Communication error"));
        QVERIFY(rig.log.contains(QtCriticalMsg, QStringLiteral("[Backend::CardBO] ERROR: Operation failed : (0) TLS file %1 "
                                                               "refused : not a regular file").arg(path)));
        QCOMPARE(rig.backOffice.requests().size(), seen);
        rig.bo->stop();
    }

    // Certificate errors let through once are not let through for ever: once the setting is back
    // to false, a server of an unknown authority gets no more requests, nor the key.
    void ignoredCertificateErrorsCanBeUndone()
    {
        FakeHttpServer impostor;
        impostor.setTls(m_stranger->serverCertificate(), m_stranger->serverKey());
        impostor.setDefaultResponse(FakeHttpResponse::json(200, QJsonObject{}));
        QVERIFY(impostor.start());

        LinkRig &rig = *m_rig;
        rig.storeKey();
        QUrl url = impostor.url();
        url.setPath(QString());
        rig.config->set(QStringLiteral("card-bo/url"), url.toString());
        rig.config->set(QStringLiteral("card-bo/ignoreSslErrors"), true);
        rig.bo->start();
        QVERIFY(rig.tick());
        QCOMPARE(rig.bo->state(), CardBO::Online);
        const int seen = impostor.requestCount();
        QVERIFY(seen > 0);

        rig.config->set(QStringLiteral("card-bo/ignoreSslErrors"), false);
        QVERIFY(rig.tick());
        QCOMPARE(transition(*rig.bo), QStringLiteral("Error/Communication error"));
        QCOMPARE(impostor.requestCount(), seen);
        rig.bo->stop();
    }

    // The device id comes from outside (a file, a supervisor): in a log line it is quoted, so
    // that an escape sequence or a line break in it cannot write a line of its own.
    void serialNumberQuotedInTheLog()
    {
        LinkRig &rig = *m_rig;
        rig.terminal.serial = QStringLiteral("SN-1\n[Backend::CardBO] State changed : (2) Online\x1b[2K");
        rig.storeKey();
        rig.bo->start();
        QVERIFY(rig.tick());
        const QStringList lines = rig.log.startingWith(QStringLiteral("[Backend::CardBO] Updating Data for terminal : "));
        QVERIFY(!lines.isEmpty());
        for (const QString &line : lines) {
            QCOMPARE(line, QStringLiteral("[Backend::CardBO] Updating Data for terminal : ")
                               + LogQuote::quote(rig.terminal.serial));
            QVERIFY(!line.contains(QLatin1Char('\n')));
            QVERIFY(!line.contains(QChar(0x1b)));
        }
        rig.bo->stop();
    }

    void configurationChanges()
    {
        LinkRig &rig = *m_rig;
        QVERIFY(m_certs->issue(QStringLiteral("second"), QStringLiteral("Second Client")));
        rig.storeKey();

        rig.config->set(QStringLiteral("terminal/collectTimeoutSec"), 90);
        QCOMPARE(rig.log.count(QtWarningMsg, QStringLiteral("Configuration changed")), 0);

        // One change of several keys: all are listed, in key order, secrets masked.
        QJsonObject changes{{"card-bo", QJsonObject{{"pubCert", m_certs->dir() + "/second.crt"},
                                                     {"privKey", m_certs->dir() + "/second.key"}}},
                            {"mqtt", QJsonObject{{"password", "hunter2"}}},
                            {"gui", QJsonObject{{"settingsPin", "9931"}}}};
        rig.config->fromJson(changes);
        QCOMPARE(rig.log.count(QtWarningMsg, QStringLiteral("[Backend::CardBO] WARN: Configuration changed. Applying.")), 1);
        QCOMPARE(rig.log.startingWith(QStringLiteral("[Backend::CardBO]   ")),
                 (QStringList{"[Backend::CardBO]   card-bo/privKey : " + m_certs->dir() + "/second.key",
                              "[Backend::CardBO]   card-bo/pubCert : " + m_certs->dir() + "/second.crt",
                              "[Backend::CardBO]   gui/settingsPin : ****",
                              "[Backend::CardBO]   mqtt/password : ****"}));
        for (const QString &line : rig.log.texts()) {
            QVERIFY2(!line.contains(QLatin1String("hunter2")), qPrintable(line));
            QVERIFY2(!line.contains(QLatin1String("9931")), qPrintable(line));
        }

        // The client took the new certificate.
        DeferredProbe<> done(rig.bo->updateData());
        QVERIFY(done.waitSettled(15000));
        QVERIFY(done.resolved());
        QCOMPARE(rig.backOffice.last(UpdateData).clientSubject, QStringLiteral("Second Client"));
    }

    void referenceData()
    {
        LinkRig &rig = *m_rig;
        rig.storeKey();
        rig.db->setCustoms({{3, QStringLiteral("Old Customs"), QString()}});
        rig.backOffice.setCustoms(QJsonArray{QJsonObject{{"id", 12}, {"name", "Port of Volos"}, {"uuid", "c-12"}},
                                             QJsonObject{{"id", 3}, {"name", "Renamed"}},
                                             QJsonObject{{"id", "13"}, {"name", "id as text"}},
                                             QJsonObject{{"id", 1.5}, {"name", "id not whole"}},
                                             QJsonValue("not an object")});
        rig.backOffice.setLocations(QJsonArray{QJsonObject{{"id", 7}, {"name", 42}}});
        QSignalSpy customs(rig.db.get(), &Backend::Database::customsChanged);
        DeferredProbe<> done(rig.bo->updateData());
        QVERIFY(done.waitSettled(15000));
        QVERIFY(done.resolved());
        QCOMPARE(customs.count(), 1);
        QCOMPARE(rig.db->findCustoms(12).name, QStringLiteral("Port of Volos"));
        QCOMPARE(rig.db->findCustoms(12).uuid, QStringLiteral("c-12"));
        QCOMPARE(rig.db->findCustoms(3).name, QStringLiteral("Renamed"));
        // Entries without a usable id are left out rather than stored under id 0.
        QCOMPARE(rig.db->customs().size(), 2);
        QCOMPARE(rig.db->findLocation(7).name, QString());
        QCOMPARE(rig.db->locations().size(), 1);
        QVERIFY(rig.log.contains(QtInfoMsg, QStringLiteral("[Backend::CardBO] UpdateData response received : status=200")));
        // One line a list, however many entries it skips: each would otherwise write its own.
        QCOMPARE(rig.log.startingWith(QStringLiteral("[Backend::CardBO] WARN: Skipping "), QtWarningMsg),
                 QStringList{QStringLiteral("[Backend::CardBO] WARN: Skipping 3 customs entries without an id, the first : "
                                            "[{\"id\":\"13\",\"name\":\"id as text\"}]")});
    }

    // Another program holds the store for writing when the reference data comes. The answer
    // waits for the store beside the lane: its timers go on firing, and the update ends only
    // once the records are stored.
    void referenceDataWaitsForTheStoreBesideTheLane()
    {
        LinkRig &rig = *m_rig;
        rig.storeKey();
        rig.backOffice.setCustoms(QJsonArray{QJsonObject{{"id", 12}, {"name", "Port of Volos"}}});
        rig.backOffice.setLocations(QJsonArray{QJsonObject{{"id", 7}, {"name", "Gate 7"}}});
        OtherConnection other(rig.dir.filePath(QStringLiteral("terminal.db")));
        QVERIFY(other.exec(QStringLiteral("BEGIN IMMEDIATE")));
        DeferredProbe<> done(rig.bo->updateData());
        QVERIFY(waitUntil([&] { return rig.log.contains(QtInfoMsg, QStringLiteral("[Backend::CardBO] UpdateData response received")); }));

        int ticks = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&ticks]() { ++ticks; });
        QElapsedTimer held;
        held.start();
        timer.start(10);
        QVERIFY(waitUntil([&] { return ticks >= 5; }));
        QVERIFY2(held.elapsed() < 2000, qPrintable(QStringLiteral("the lane was held %1 ms").arg(held.elapsed())));
        QVERIFY(!done.settled());
        QVERIFY(other.exec(QStringLiteral("ROLLBACK")));

        QVERIFY(done.waitSettled(15000));
        QVERIFY(done.resolved());
        QCOMPARE(rig.db->findCustoms(12).name, QStringLiteral("Port of Volos"));
        QCOMPARE(rig.db->findLocation(7).name, QStringLiteral("Gate 7"));
        QCOMPARE(rig.log.count(QtCriticalMsg, QStringLiteral("Nothing written")), 0);
    }

    void registrationWithoutKey_data()
    {
        QTest::addColumn<FakeHttpResponse>("answer");
        QTest::addColumn<QString>("error");
        const QString none = QStringLiteral("ERROR: Registration answer carries no API key");
        const QString unusable = QStringLiteral("ERROR: Registration answer carries an API key no request header can carry");
        QTest::newRow("no apiKey") << FakeHttpResponse::json(200, QJsonObject{{"id", 5}}) << none;
        QTest::newRow("apiKey not a text") << FakeHttpResponse::json(200, QJsonObject{{"id", 5}, {"apiKey", true}}) << none;
        QTest::newRow("empty apiKey") << FakeHttpResponse::json(200, QJsonObject{{"id", 5}, {"apiKey", ""}}) << none;
        QTest::newRow("not JSON") << FakeHttpResponse::text(200, "<html>welcome</html>", "text/html") << none;
        QTest::newRow("JSON array") << FakeHttpResponse::json(200, QJsonArray{"apiKey", "k"}) << none;
        // Sent as it is, a line break would add a header of the answer's choosing to every request.
        QTest::newRow("apiKey with a line break")
            << FakeHttpResponse::json(200, QJsonObject{{"id", 5}, {"apiKey", "k-1\r\nX-Forwarded-For: 10.0.0.1"}})
            << unusable;
        QTest::newRow("apiKey with a zero") << FakeHttpResponse::json(200, QJsonObject{{"id", 5}, {"apiKey", QString::fromLatin1("k-1\0x", 5)}})
                                            << unusable;
        QTest::newRow("apiKey not ASCII") << FakeHttpResponse::json(200, QJsonObject{{"id", 5}, {"apiKey", QStringLiteral("κλειδί")}})
                                          << unusable;
        // A header loses the blanks at its ends: the back office would never see this key.
        QTest::newRow("apiKey with a trailing blank") << FakeHttpResponse::json(200, QJsonObject{{"id", 5}, {"apiKey", "k-1 "}})
                                                      << unusable;
        QTest::newRow("apiKey with a leading blank") << FakeHttpResponse::json(200, QJsonObject{{"id", 5}, {"apiKey", " k-1"}})
                                                   << unusable;
    }
    void registrationWithoutKey()
    {
        QFETCH(FakeHttpResponse, answer);
        QFETCH(QString, error);
        LinkRig &rig = *m_rig;
        rig.backOffice.setResponse(Register, answer);
        rig.bo->start();
        QVERIFY(rig.tick());
        QVERIFY(rig.tick());
        QCOMPARE(transition(*rig.bo), QStringLiteral("Not Registered/Missing API key"));
        QCOMPARE(rig.storedKey(), QString());
        QVERIFY(!rig.db->param(QStringLiteral("id")).isValid());
        QVERIFY(rig.log.contains(QtCriticalMsg, QStringLiteral("[Backend::CardBO] ") + error));
        QCOMPARE(rig.log.count(QtInfoMsg, QStringLiteral("TERMINAL REGISTERED")), 0);
        // A key that is refused reaches neither a request nor a log line.
        rig.bo->onTick();
        QVERIFY(rig.settle());
        QCOMPARE(rig.backOffice.count(Register), 2);
        for (const auto &r : rig.backOffice.requests())
            QVERIFY(r.header("X-API-Key").isEmpty() && r.header("X-Forwarded-For").isEmpty());
        for (const QString &line : rig.log.texts())
            QVERIFY2(!line.contains(QLatin1String("k-1")) && !line.contains(QStringLiteral("κλειδί")), qPrintable(line));
        rig.bo->stop();
    }

    // A key is text, however the answer writes it.
    void registrationKeys_data()
    {
        QTest::addColumn<QJsonValue>("key");
        QTest::addColumn<QString>("stored");
        QTest::newRow("text") << QJsonValue("k-77") << "k-77";
        QTest::newRow("number") << QJsonValue(77) << "77";
        QTest::newRow("long number") << QJsonValue(double(12345678901LL)) << "12345678901";
    }
    void registrationKeys()
    {
        QFETCH(QJsonValue, key);
        QFETCH(QString, stored);
        LinkRig &rig = *m_rig;
        rig.backOffice.setApiKey(stored);
        rig.backOffice.setResponse(Register, FakeHttpResponse::json(200, QJsonObject{{"id", 5}, {"apiKey", key}}));
        rig.bo->start();
        QVERIFY(rig.tick());
        QVERIFY(rig.tick());
        QCOMPARE(transition(*rig.bo), QStringLiteral("Init/"));
        QCOMPARE(rig.storedKey(), stored);
        QVERIFY(rig.tick());
        QCOMPARE(rig.bo->state(), CardBO::Online);
        QCOMPARE(rig.backOffice.last(Heartbeat).header("X-API-Key"), stored.toUtf8());
        rig.bo->stop();
    }

    // A key that cannot be written leaves the terminal unregistered, and says why, rather than
    // registered until the next tick finds no key.
    void unstorableKeyKeepsTheLinkUnregistered()
    {
        LinkRig &rig = *m_rig;
        // Where the settings want a folder there is a file: nothing can be written under it.
        QVERIFY(QDir().mkpath(rig.dir.settingsPath()));
        QFile blocker(QFileInfo(rig.dir.apiKeyFile()).absolutePath());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        rig.bo->start();
        QVERIFY(rig.tick());
        QCOMPARE(transition(*rig.bo), QStringLiteral("Not Registered/Missing API key"));
        QSignalSpy changed(rig.bo.get(), &CardBO::stateChanged);
        QVERIFY(rig.tick());
        QCOMPARE(transition(*rig.bo), QStringLiteral("Not Registered/Could not store the API key"));
        QVERIFY(rig.tick());
        QCOMPARE(transition(*rig.bo), QStringLiteral("Not Registered/Could not store the API key"));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(rig.backOffice.count(Register), 2);
        QCOMPARE(rig.storedKey(), QString());
        QCOMPARE(rig.log.count(QtInfoMsg, QStringLiteral("TERMINAL REGISTERED")), 0);
        QCOMPARE(rig.log.count(QtCriticalMsg, QStringLiteral("[Backend::CardBO] ERROR: Could not store the API key")), 2);
        rig.bo->stop();
    }

    // An update reports far faster than requests go: one report on its way at a time, and of
    // those that came meanwhile only the latest follows; every caller learns the outcome.
    void progressReportsAreCoalesced()
    {
        LinkRig &rig = *m_rig;
        rig.storeKey();
        rig.backOffice.queueResponse(FakeBackOffice::OperationStatus, FakeHttpResponse::json(200, QJsonObject{}).withDelay(300));
        DeferredProbe<> first(rig.bo->sendProgress(QStringLiteral("Downloading"), 0));
        std::unique_ptr<DeferredProbe<>> middle;
        std::unique_ptr<DeferredProbe<>> last;
        for (int i = 1; i <= 5000; ++i) {
            Deferred<> put = rig.bo->sendProgress(i < 5000 ? QStringLiteral("Downloading") : QStringLiteral("Installing"),
                                                  i / 50);
            if (i == 2500)
                middle = std::make_unique<DeferredProbe<>>(put);
            else if (i == 5000)
                last = std::make_unique<DeferredProbe<>>(put);
        }
        QVERIFY(last->waitSettled(30000));
        QVERIFY(first.resolved());
        QVERIFY(middle->resolved());
        QVERIFY(last->resolved());
        const QList<FakeBackOffice::Request> puts = rig.backOffice.requests(FakeBackOffice::OperationStatus);
        QCOMPARE(puts.size(), 2);
        QCOMPARE(puts.at(0).query.queryItemValue("progress"), QStringLiteral("0"));
        QCOMPARE(puts.at(1).query.queryItemValue("progress"), QStringLiteral("100"));
        QCOMPARE(puts.at(1).query.queryItemValue("operation"), QStringLiteral("Installing"));
        QCOMPARE(rig.log.count(QtInfoMsg, QStringLiteral("[Backend::CardBO] Sending progress : ")), 2);

        // Once nothing is on its way, a report goes at once; a failure reaches every caller.
        rig.backOffice.setResponse(FakeBackOffice::OperationStatus, FakeHttpResponse::json(503, QJsonObject{}).withDelay(300));
        DeferredProbe<> refused(rig.bo->sendProgress(QStringLiteral("Installing"), 100));
        DeferredProbe<> alsoRefused(rig.bo->sendProgress(QStringLiteral("Done"), 100));
        QVERIFY(alsoRefused.waitSettled(30000));
        QVERIFY(refused.rejected());
        QVERIFY(alsoRefused.rejected());
        QCOMPARE(rig.backOffice.count(FakeBackOffice::OperationStatus), 4);
    }

    void progressReports()
    {
        LinkRig &rig = *m_rig;
        rig.storeKey();
        DeferredProbe<> put(rig.bo->sendProgress(QStringLiteral("Downloading"), 40));
        QVERIFY(put.waitSettled(15000));
        QVERIFY(put.resolved());
        const FakeBackOffice::Request request = rig.backOffice.last(FakeBackOffice::OperationStatus);
        QCOMPARE(request.method, QStringLiteral("PUT"));
        QCOMPARE(request.query.queryItemValue("progress"), QStringLiteral("40"));
        QCOMPARE(request.query.queryItemValue("operation"), QStringLiteral("Downloading"));
        QVERIFY(request.body.isEmpty());
        QVERIFY(rig.log.contains(QtInfoMsg, QStringLiteral("[Backend::CardBO] Sending progress : [40%%] Downloading")));

        DeferredProbe<> cleared(rig.bo->clearProgress());
        QVERIFY(cleared.waitSettled(15000));
        QVERIFY(cleared.resolved());
        QCOMPARE(rig.backOffice.last(FakeBackOffice::OperationStatus).method, QStringLiteral("DELETE"));
        QVERIFY(rig.backOffice.last(FakeBackOffice::OperationStatus).query.isEmpty());

        rig.backOffice.setResponse(FakeBackOffice::OperationStatus, FakeHttpResponse::json(503, QJsonObject{}));
        DeferredProbe<> refused(rig.bo->sendProgress(QStringLiteral("Installing"), 0));
        QVERIFY(refused.waitSettled(15000));
        QVERIFY(refused.rejected());
        QVERIFY(rig.log.contains(QtCriticalMsg, QStringLiteral("[Backend::CardBO] ERROR: Operation failed : (503) {}")));
    }

    void unsetUrlFailsAtOnce()
    {
        LinkRig &rig = *m_rig;
        rig.config->set(QStringLiteral("card-bo/url"), QString());
        DeferredProbe<> done(rig.bo->heartbeat());
        QVERIFY(done.rejected());
        QVERIFY(rig.log.contains(QtCriticalMsg, QStringLiteral("[Backend::CardBO] ERROR: Operation failed : (0) Invalid URL")));
    }

    void destroyedWithRequestsInFlight()
    {
        LinkRig &rig = *m_rig;
        rig.storeKey();
        rig.backOffice.setResponse(UpdateData, FakeHttpResponse::json(200, QJsonObject{}).withDelay(300));
        rig.bo->start();
        rig.bo->onTick();
        QVERIFY(waitUntil([&] { return rig.backOffice.count(UpdateData) == 1; }));
        rig.bo.reset();
        // The answer goes out to a connection that is gone with the client.
        QVERIFY(waitUntil([&] { return rig.backOffice.server().openConnections() == 0; }));
        QCOMPARE(rig.backOffice.requests().size(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_CardBO_link)
#include "tst_CardBO_link.moc"
