#include "CardRig.h"

#include "card/Dispenser.h"
#include "card/RFID.h"
#include "card/RUDIv1Card.h"
#include "fakes/FakeCardServices.h"
#include "fakes/LogCapture.h"

#include <QJsonDocument>

using manager::Dispenser;

class TestDispenser : public CardTestCase
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void identityFromInfo();
    void statusDocuments_data();
    void statusDocuments();
    void offlineKeepsTheSensorFlags();
    void flagLogsAndRepeats();
    void commandRequests();
    void commandReplies_data();
    void commandReplies();
    void commandsWhileDisconnected();
    void issueEjectAndTake();
    void statusOvertakingTheReply();
    void acceptAndDispose();
    void refusalsOfTheFake_data();
    void refusalsOfTheFake();
    void driverInsertsACard();
    void waitCollect();
    void infoWithAStrayByte();
    void cardEvents();
    void retainedEventsAreNoNews();
    void badPayloadsChangeNothing_data();
    void badPayloadsChangeNothing();
    void leds();
    void readerFollowsTheDispenser();
    void cardServicesOnTheDefaultTopics();

private:
    void sync();

    CardRig *m_rig = nullptr;
    Dispenser *m_dispenser = nullptr;
    int m_mark = 0;
};

void TestDispenser::init()
{
    m_rig = new CardRig(m_broker.port());
    m_rig->fakeDispenser.loadCartridge(50);
    QVERIFY(m_rig->fakeDispenser.start(m_broker.port()));
    m_dispenser = new Dispenser(m_rig->mqtt, m_rig->dispenserBase);
    QVERIFY(m_rig->connectClient());
    WAIT_VERIFY(m_dispenser->active());
    WAIT_COMPARE(m_dispenser->model(), QString("KTV52817"));
}

void TestDispenser::cleanup()
{
    delete m_dispenser;
    delete m_rig;
    m_dispenser = nullptr;
    m_rig = nullptr;
}

// A marker published after everything before it; once seen, all is handled.
void TestDispenser::sync()
{
    const QString marker = QStringLiteral("sync-%1").arg(++m_mark);
    m_rig->fakeDispenser.publish("/info", QJsonObject{{"device", QJsonObject{{"manufacturer", "Fake Dispensers"},
                                                                            {"model", m_dispenser->model()},
                                                                            {"firmware", marker}}},
                                                      {"service", QJsonObject{{"version", "1.0.0"}}}});
    WAIT_COMPARE(m_dispenser->firmware(), marker);
}

void TestDispenser::identityFromInfo()
{
    QCOMPARE(m_dispenser->manufacturer(), QString("Fake Dispensers"));
    QCOMPARE(m_dispenser->software(), QString("1.0.0"));
    QCOMPARE(m_dispenser->cartridge(), QString("normal"));
    QCOMPARE(m_dispenser->cartridgePercent(), 50);

    QSignalSpy model(m_dispenser, &Dispenser::modelChanged);
    QSignalSpy software(m_dispenser, &Dispenser::softwareChanged);
    QString softwareWhenModelChanged = "unset";
    connect(m_dispenser, &Dispenser::modelChanged, this, [&] { softwareWhenModelChanged = m_dispenser->software(); });

    m_rig->fakeDispenser.publishInfo(); // unchanged
    sync();
    QCOMPARE(model.count(), 0);

    // The model is stored before the version: the role is chosen first.
    m_rig->fakeDispenser.publish("/info", QJsonObject{{"device", QJsonObject{{"model", "KTW4163"}}},
                                                      {"service", QJsonObject{{"version", "2.0.0"}}}});
    WAIT_COMPARE(model.count(), 1);
    QCOMPARE(m_dispenser->model(), QString("KTW4163"));
    QCOMPARE(softwareWhenModelChanged, QString("1.0.0"));
    WAIT_COMPARE(m_dispenser->software(), QString("2.0.0"));
    QCOMPARE(m_dispenser->manufacturer(), QString()); // missing: empty
    m_rig->fakeDispenser.publish("/info", QJsonObject{{"device", QJsonObject{{"model", "KTW4163"}}},
                                                      {"service", QJsonObject{{"version", "2.0.0"}}}});
    sync();
    QCOMPARE(model.count(), 1);
}

void TestDispenser::statusDocuments_data()
{
    QTest::addColumn<QByteArray>("status");
    // active, jammed, door, mouth, rfid, cartridge, percent
    QTest::addColumn<QString>("flags");
    QTest::addColumn<QString>("cartridge");
    QTest::addColumn<int>("percent");
    QTest::addColumn<QStringList>("warnings"); // values named in warnings

    QTest::newRow("all set") << QByteArray(R"({"service": true, "device": {"active": true, "isJammed": true, "isCartridgeDoorOpen": true, "cardInMouth": true, "cardInRfid": true, "cartridge": "low", "cartridgePercent": 8}})")
                             << "11111" << "low" << 8 << QStringList{};
    QTest::newRow("all clear") << QByteArray(R"({"service": true, "device": {"active": false, "isJammed": false, "isCartridgeDoorOpen": false, "cardInMouth": false, "cardInRfid": false, "cartridge": "empty", "cartridgePercent": 0}})")
                               << "00000" << "empty" << 0 << QStringList{};
    QTest::newRow("flags not booleans") << QByteArray(R"({"service": true, "device": {"active": 1, "isJammed": "true", "isCartridgeDoorOpen": null, "cardInMouth": [true], "cardInRfid": {}, "cartridge": 5, "cartridgePercent": "50"}})")
                                        << "00000" << "" << 0 << QStringList{"device.active", "device.isJammed", "device.cardInMouth", "device.cardInRfid", "device.cartridge", "device.cartridgePercent"};
    QTest::newRow("fractional percent") << QByteArray(R"({"service": true, "device": {"active": true, "cartridgePercent": 12.5}})")
                                        << "10000" << "" << 0 << QStringList{"device.cartridgePercent"};
    QTest::newRow("device missing") << QByteArray(R"({"service": true})") << "00000" << "" << 0 << QStringList{};
    QTest::newRow("door key is not the door") << QByteArray(R"({"service": true, "device": {"active": true, "isDoorOpen": true}})")
                                              << "10000" << "" << 0 << QStringList{};
}

void TestDispenser::statusDocuments()
{
    QFETCH(QByteArray, status);
    QFETCH(QString, flags);
    QFETCH(QString, cartridge);
    QFETCH(int, percent);
    QFETCH(QStringList, warnings);

    LogCapture log;
    m_rig->fakeDispenser.publishRaw("/status", status);
    sync();
    QStringList warned;
    for (const QString &line : log.texts(QtWarningMsg).filter("[Dispenser] WARN: Unexpected value of "))
        warned << line.section(' ', 5, 5);
    QCOMPARE(warned, warnings);
    const QString actual = QString("%1%2%3%4%5")
                               .arg(int(m_dispenser->active()))
                               .arg(int(m_dispenser->isJammed()))
                               .arg(int(m_dispenser->isDoorOpen()))
                               .arg(int(m_dispenser->cardInMouth()))
                               .arg(int(m_dispenser->cardInRfid()));
    QCOMPARE(actual, flags);
    QCOMPARE(m_dispenser->cartridge(), cartridge);
    QCOMPARE(m_dispenser->cartridgePercent(), percent);
}

void TestDispenser::offlineKeepsTheSensorFlags()
{
    m_rig->fakeDispenser.placeInMouth(FakeCard::blank("M1"));
    m_rig->fakeDispenser.placeInRfid(FakeCard::blank("R1"));
    m_rig->fakeDispenser.setJammed(true);
    m_rig->fakeDispenser.setDoorOpen(true);
    WAIT_VERIFY(m_dispenser->isDoorOpen());
    QVERIFY(m_dispenser->cardInMouth() && m_dispenser->cardInRfid() && m_dispenser->isJammed());

    LogCapture log;
    QSignalSpy active(m_dispenser, &Dispenser::activeChanged);
    for (const QByteArray &offline : {QByteArray(R"({"service": false, "device": {"cardInMouth": false}})"),
                                      QByteArray(R"({"device": {"active": true}})"),
                                      QByteArray(R"({"service": "yes"})")}) {
        m_rig->fakeDispenser.publishRaw("/status", offline);
        sync();
        QVERIFY(!m_dispenser->active());
        QVERIFY(m_dispenser->cardInMouth() && m_dispenser->cardInRfid() && m_dispenser->isJammed() && m_dispenser->isDoorOpen());
    }
    QCOMPARE(active.count(), 1);
    QCOMPARE(log.count(QtInfoMsg, "[Dispenser] Active changed : false"), 1);
}

void TestDispenser::flagLogsAndRepeats()
{
    LogCapture log;
    QSignalSpy door(m_dispenser, &Dispenser::isDoorOpenChanged);
    QSignalSpy jam(m_dispenser, &Dispenser::isJammedChanged);
    QSignalSpy mouth(m_dispenser, &Dispenser::cardInMouthChanged);
    m_rig->fakeDispenser.setDoorOpen(true);
    WAIT_COMPARE(door.count(), 1);
    m_rig->fakeDispenser.publishStatus(); // identical
    m_rig->fakeDispenser.setJammed(true);
    WAIT_COMPARE(jam.count(), 1);
    m_rig->fakeDispenser.setDoorOpen(false);
    WAIT_COMPARE(door.count(), 2);
    m_rig->fakeDispenser.setActive(false);
    WAIT_VERIFY(!m_dispenser->active());
    m_rig->fakeDispenser.setActive(true);
    WAIT_VERIFY(m_dispenser->active());
    sync();

    QCOMPARE(mouth.count(), 0);
    QCOMPARE(log.texts(QtInfoMsg).filter("[Dispenser] "),
             QStringList({"[Dispenser] Door state changed : Open", "[Dispenser] Jammed changed : true",
                          "[Dispenser] Door state changed : Closed", "[Dispenser] Active changed : false",
                          "[Dispenser] Active changed : true"}));
}

void TestDispenser::commandRequests()
{
    QList<DeferredProbe<Dispenser::Result>> probes{
        DeferredProbe<Dispenser::Result>(m_dispenser->accept()),       DeferredProbe<Dispenser::Result>(m_dispenser->issue()),
        DeferredProbe<Dispenser::Result>(m_dispenser->dispose()),      DeferredProbe<Dispenser::Result>(m_dispenser->eject()),
        DeferredProbe<Dispenser::Result>(m_dispenser->collect()),      DeferredProbe<Dispenser::Result>(m_dispenser->enableAccept()),
        DeferredProbe<Dispenser::Result>(m_dispenser->disableAccept()),
    };
    for (const auto &probe : probes)
        WAIT_VERIFY(probe.settled());
    const auto requests = m_rig->fakeDispenser.requests();
    const QStringList commands{"accept", "issue", "dispose", "eject", "collect", "accept/enable", "accept/disable"};
    QCOMPARE(requests.size(), commands.size());
    for (int i = 0; i < requests.size(); ++i) {
        QCOMPARE(requests[i].command, commands[i]);
        QCOMPARE(requests[i].id, QString::number(i + 1));
        QCOMPARE(requests[i].payload, QByteArray("{}"));
    }
}

void TestDispenser::commandReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("description");

    QTest::newRow("completed") << QByteArray(R"({"completed": true})") << true << 0 << "";
    QTest::newRow("refused") << QByteArray(R"({"completed": false, "error": {"code": 14, "description": "Card already in RFID position"}})") << false << 14 << "Card already in RFID position";
    QTest::newRow("refused, no error") << QByteArray(R"({"completed": false})") << false << 0 << "";
    QTest::newRow("code as text") << QByteArray(R"({"completed": false, "error": {"code": "14", "description": 5}})") << false << 0 << "";
    QTest::newRow("completed as text") << QByteArray(R"({"completed": "true"})") << false << 0 << "";
    QTest::newRow("empty payload") << QByteArray() << false << 0 << "";
    QTest::newRow("zero byte after the object") << QByteArray("{\"completed\": true}\0junk", 24) << true << 0 << "";
    QTest::newRow("array") << QByteArray("[]") << false << -1 << "Invalid response";
    QTest::newRow("not json") << QByteArray("ok") << false << -1 << "Invalid response";
}

void TestDispenser::commandReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, resolved);
    QFETCH(int, code);
    QFETCH(QString, description);

    m_rig->fakeDispenser.silence("eject");
    connect(&m_rig->fakeDispenser, &FakeService::requestReceived, this, [&](const QString &command, const QString &id) {
        m_rig->fakeDispenser.publishRaw("/" + command + "/response/" + id, reply);
    });
    DeferredProbe<Dispenser::Result> probe(m_dispenser->eject());
    WAIT_VERIFY(probe.settled());
    QCOMPARE(probe.resolved(), resolved);
    QCOMPARE(probe.value().code, code);
    QCOMPARE(probe.value().description, description);
}

void TestDispenser::commandsWhileDisconnected()
{
    m_rig->mqtt.disconnect();
    WAIT_VERIFY(!m_rig->mqtt.isConnected());
    DeferredProbe<Dispenser::Result> issue(m_dispenser->issue());
    WAIT_VERIFY(issue.settled());
    QVERIFY(issue.rejected());
    QCOMPARE(issue.value().code, -1);
    QCOMPARE(issue.value().description, QString("Not connected"));
    DeferredProbe<Dispenser::Result> collect(m_dispenser->waitCollect(10));
    QVERIFY(collect.rejected());
    QCOMPARE(collect.value().code, -1);
    QCOMPARE(collect.value().description, QString("Not connected"));
    QVERIFY(!m_dispenser->setLEDs(1));
}

void TestDispenser::issueEjectAndTake()
{
    FakeDispenserService &fake = m_rig->fakeDispenser;
    QSignalSpy rfid(m_dispenser, &Dispenser::cardInRfidChanged);
    DeferredProbe<Dispenser::Result> issue(m_dispenser->issue());
    WAIT_VERIFY(issue.resolved());
    WAIT_VERIFY(m_dispenser->cardInRfid());
    QCOMPARE(fake.stackCount(), 49);
    QCOMPARE(fake.cardInRfid()->uid, QString("C0001"));
    WAIT_COMPARE(m_dispenser->cartridgePercent(), 49);

    // The mouth sensor moves after the eject reply, as the real dispenser's does.
    bool mouthAtReply = true;
    DeferredProbe<Dispenser::Result> eject(m_dispenser->eject().done([&](Dispenser::Result) { mouthAtReply = m_dispenser->cardInMouth(); }));
    WAIT_VERIFY(eject.resolved());
    QVERIFY(!mouthAtReply);
    WAIT_VERIFY(m_dispenser->cardInMouth());
    QVERIFY(!m_dispenser->cardInRfid());

    QSignalSpy removed(m_dispenser, &Dispenser::cardRemoved);
    DeferredProbe<Dispenser::Result> collected(m_dispenser->waitCollect(5));
    QVERIFY(fake.driverTakeCard());
    WAIT_VERIFY(collected.resolved());
    QCOMPARE(collected.value().code, 0);
    QCOMPARE(removed.count(), 1);
    WAIT_VERIFY(!m_dispenser->cardInMouth());
    QVERIFY(!fake.driverTakeCard()); // nothing left to take
}

void TestDispenser::statusOvertakingTheReply()
{
    m_rig->fakeDispenser.setStatusBeforeReply(true);
    DeferredProbe<Dispenser::Result> issue(m_dispenser->issue());
    WAIT_VERIFY(issue.resolved());
    bool mouthAtReply = false;
    DeferredProbe<Dispenser::Result> eject(m_dispenser->eject().done([&](Dispenser::Result) { mouthAtReply = m_dispenser->cardInMouth(); }));
    WAIT_VERIFY(eject.resolved());
    QVERIFY(mouthAtReply);
}

void TestDispenser::acceptAndDispose()
{
    FakeDispenserService &fake = m_rig->fakeDispenser;
    const FakeCard::Ptr card = FakeCard::blank("M9");
    fake.placeInMouth(card);
    WAIT_VERIFY(m_dispenser->cardInMouth());

    DeferredProbe<Dispenser::Result> accept(m_dispenser->accept());
    WAIT_VERIFY(accept.resolved());
    WAIT_VERIFY(m_dispenser->cardInRfid());
    QVERIFY(!m_dispenser->cardInMouth());
    QCOMPARE(fake.cardInRfid(), card);

    // Disposal: reply, then the report, then the status.
    QSignalSpy disposed(m_dispenser, &Dispenser::cardDisposed);
    int disposedAtReply = -1;
    DeferredProbe<Dispenser::Result> dispose(m_dispenser->dispose().done([&](Dispenser::Result) { disposedAtReply = disposed.count(); }));
    WAIT_VERIFY(dispose.resolved());
    WAIT_COMPARE(disposed.count(), 1);
    QCOMPARE(disposedAtReply, 0);
    WAIT_VERIFY(!m_dispenser->cardInRfid());
    QCOMPARE(fake.bin(), QList<FakeCard::Ptr>{card});

    // And the report ahead of the reply, when scripted.
    fake.setDisposedBeforeReply(true);
    DeferredProbe<Dispenser::Result> issue(m_dispenser->issue());
    WAIT_VERIFY(issue.resolved());
    DeferredProbe<Dispenser::Result> again(m_dispenser->dispose().done([&](Dispenser::Result) { disposedAtReply = disposed.count(); }));
    WAIT_VERIFY(again.resolved());
    QCOMPARE(disposedAtReply, 2);
}

void TestDispenser::refusalsOfTheFake_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("description");

    QTest::newRow("issue onto a card") << "card in rfid" << "issue" << 14 << "Card already in RFID position";
    QTest::newRow("issue from an empty cartridge") << "empty" << "issue" << 3 << "Cartridge empty";
    QTest::newRow("issue while jammed") << "jam" << "issue" << 5 << "Card jam";
    QTest::newRow("eject with the door open") << "door" << "eject" << 6 << "Cartridge door open";
    QTest::newRow("issue while inactive") << "inactive" << "issue" << 7 << "Dispenser not active";
    QTest::newRow("eject without a card") << "" << "eject" << 10 << "No card in RFID position";
    QTest::newRow("dispose without a card") << "" << "dispose" << 10 << "No card in RFID position";
    QTest::newRow("accept without a card") << "" << "accept" << 11 << "No card in mouth";
    QTest::newRow("scripted refusal") << "script" << "issue" << 42 << "Motor stalled";
    QTest::newRow("jam during the eject") << "jam on eject" << "eject" << 5 << "Card jam";
}

void TestDispenser::refusalsOfTheFake()
{
    QFETCH(QString, setup);
    QFETCH(QString, command);
    QFETCH(int, code);
    QFETCH(QString, description);

    FakeDispenserService &fake = m_rig->fakeDispenser;
    if (setup == "card in rfid")
        fake.placeInRfid(FakeCard::blank("X"));
    else if (setup == "empty")
        fake.loadCartridge(0);
    else if (setup == "jam")
        fake.setJammed(true);
    else if (setup == "door")
        fake.setDoorOpen(true);
    else if (setup == "inactive")
        fake.setActive(false);
    else if (setup == "script")
        fake.refuse("issue", 42, "Motor stalled", 1);
    else if (setup == "jam on eject") {
        fake.placeInRfid(FakeCard::blank("J"));
        fake.jamOnNext("eject");
    }

    const QMap<QString, std::function<Deferred<Dispenser::Result>()>> commands{
        {"issue", [&] { return m_dispenser->issue(); }},
        {"eject", [&] { return m_dispenser->eject(); }},
        {"dispose", [&] { return m_dispenser->dispose(); }},
        {"accept", [&] { return m_dispenser->accept(); }},
    };
    DeferredProbe<Dispenser::Result> probe(commands[command]());
    WAIT_VERIFY(probe.settled());
    QVERIFY(probe.rejected());
    QCOMPARE(probe.value().code, code);
    QCOMPARE(probe.value().description, description);

    if (setup == "script") { // once only
        DeferredProbe<Dispenser::Result> next(m_dispenser->issue());
        WAIT_VERIFY(next.resolved());
    }
    if (setup == "empty")
        WAIT_COMPARE(m_dispenser->cartridge(), QString("empty"));
    if (setup == "jam on eject") {
        WAIT_VERIFY(m_dispenser->isJammed());
        QVERIFY(m_dispenser->cardInRfid());
        QVERIFY(!m_dispenser->cardInMouth());
    }
}

void TestDispenser::driverInsertsACard()
{
    FakeDispenserService &fake = m_rig->fakeDispenser;
    QVERIFY(!fake.driverInsertCard(FakeCard::rudi("D1", 7))); // the mouth is shut

    DeferredProbe<Dispenser::Result> enable(m_dispenser->enableAccept());
    WAIT_VERIFY(enable.resolved());
    QVERIFY(fake.acceptEnabled());

    QSignalSpy inserted(m_dispenser, &Dispenser::cardInserted);
    bool rfidAtInsert = false;
    connect(m_dispenser, &Dispenser::cardInserted, this, [&] { rfidAtInsert = m_dispenser->cardInRfid(); });
    QVERIFY(fake.driverInsertCard(FakeCard::rudi("D1", 7)));
    WAIT_COMPARE(inserted.count(), 1);
    QVERIFY(rfidAtInsert); // the status comes first
    QVERIFY(!fake.driverInsertCard(FakeCard::rudi("D2", 7))); // occupied

    DeferredProbe<Dispenser::Result> disable(m_dispenser->disableAccept());
    WAIT_VERIFY(disable.resolved());
    QVERIFY(!fake.acceptEnabled());
}

void TestDispenser::waitCollect()
{
    QElapsedTimer clock;
    clock.start();
    DeferredProbe<Dispenser::Result> timeout(m_dispenser->waitCollect(1));
    WAIT_VERIFY_WITH_TIMEOUT(timeout.settled(), 3000);
    QVERIFY(timeout.rejected());
    QCOMPARE(timeout.value().code, -1);
    QCOMPARE(timeout.value().description, QString("Timeout"));
    QVERIFY(clock.elapsed() >= 900);

    // 0 seconds: no end but the card taken, whatever the payload holds.
    DeferredProbe<Dispenser::Result> endless(m_dispenser->waitCollect(0));
    m_rig->fakeDispenser.publishRaw("/card/removed", R"({"anything": [1, 2]})");
    WAIT_VERIFY(endless.resolved());

    // A note that does not parse still says the card is gone: no signal, but the wait ends.
    QSignalSpy removed(m_dispenser, &Dispenser::cardRemoved);
    LogCapture log;
    DeferredProbe<Dispenser::Result> taken(m_dispenser->waitCollect(60));
    m_rig->fakeDispenser.publishRaw("/card/removed", "taken");
    WAIT_VERIFY(taken.settled());
    QVERIFY(taken.resolved());
    QCOMPARE(taken.value().code, 0);
    QCOMPARE(removed.count(), 0);
    QCOMPARE(log.count(QtCriticalMsg, "[Dispenser] ERROR: Failed to parse JSON message"), 1);
}

// One byte that is no UTF-8 costs a character, not the document: the role still arrives.
void TestDispenser::infoWithAStrayByte()
{
    QSignalSpy model(m_dispenser, &Dispenser::modelChanged);
    LogCapture log;
    m_rig->fakeDispenser.publishRaw(
        "/info", "{\"device\": {\"manufacturer\": \"Fake\xff Dispensers\", \"model\": \"KTW4163\"},"
                 " \"service\": {\"version\": \"2.0.0\"}}");
    WAIT_COMPARE(model.count(), 1);
    QCOMPARE(m_dispenser->model(), QString("KTW4163"));
    QCOMPARE(m_dispenser->manufacturer(), QString("Fake\uFFFD Dispensers"));
    QCOMPARE(m_dispenser->software(), QString("2.0.0"));
    QVERIFY(log.texts(QtCriticalMsg).isEmpty());
}

void TestDispenser::cardEvents()
{
    QSignalSpy inserted(m_dispenser, &Dispenser::cardInserted);
    QSignalSpy removed(m_dispenser, &Dispenser::cardRemoved);
    QSignalSpy disposed(m_dispenser, &Dispenser::cardDisposed);
    m_rig->fakeDispenser.publishRaw("/card/inserted", QByteArray()); // empty counts as {}
    m_rig->fakeDispenser.publishRaw("/card/removed", "[1]");
    m_rig->fakeDispenser.publishRaw("/card/disposed", "{\"uid\": 5}");
    sync();
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(disposed.count(), 1);
}

// A card event kept by the broker (published retained, by a peer or a service set up so) is
// news when it happens, not again at each new session: a replayed "removed" would end the wait
// for a driver who has not taken the card.
void TestDispenser::retainedEventsAreNoNews()
{
    QSignalSpy inserted(m_dispenser, &Dispenser::cardInserted);
    QSignalSpy removed(m_dispenser, &Dispenser::cardRemoved);
    QSignalSpy disposed(m_dispenser, &Dispenser::cardDisposed);
    const QStringList events{"/card/inserted", "/card/removed", "/card/disposed"};
    for (const QString &suffix : events)
        QVERIFY(m_rig->fakeDispenser.publishRaw(suffix, "{}", true));
    WAIT_VERIFY(inserted.count() == 1 && removed.count() == 1 && disposed.count() == 1);

    DeferredProbe<Dispenser::Result> collect(m_dispenser->waitCollect(60));
    m_rig->mqtt.disconnect();
    WAIT_VERIFY(!m_rig->mqtt.isConnected());
    QSignalSpy replayed(&m_rig->mqtt, &manager::MqttClient::received);
    LogCapture log;
    QVERIFY(m_rig->connectClient());
    // Handed out again with the new subscriptions; this spy hears each after the client.
    WAIT_VERIFY(std::all_of(events.begin(), events.end(), [&](const QString &suffix) {
        return std::any_of(replayed.begin(), replayed.end(), [&](const QList<QVariant> &args) {
            return args.at(1).toByteArray() == (m_rig->dispenserBase + suffix).toUtf8() && args.at(2).toBool();
        });
    }));
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(disposed.count(), 1);
    QVERIFY(!collect.settled());
    QCOMPARE(log.count(QtWarningMsg, "[Dispenser] WARN: Ignoring retained message on "), 3);

    // The driver takes the card now.
    QVERIFY(m_rig->fakeDispenser.publishRaw("/card/removed", "{}"));
    WAIT_VERIFY(collect.resolved());
    QCOMPARE(removed.count(), 2);
}

void TestDispenser::badPayloadsChangeNothing_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("logged");
    const QList<QByteArray> bad{QByteArray("{"), QByteArray("not json"), QByteArray("{\"service\": false,}"),
                                QByteArray("{\"a\":1} trailing"), QByteArray("{\"a\x00\":1}", 9)};
    const QStringList logged{"{", "not json", "{\"service\": false,}", "{\"a\":1} trailing", "{\"a"};
    for (const char *suffix : {"/info", "/status", "/card/inserted", "/card/removed", "/card/disposed"}) {
        for (int i = 0; i < bad.size(); ++i)
            QTest::addRow("%s %d", suffix, i) << QString(suffix) << bad[i] << logged[i];
    }
}

void TestDispenser::badPayloadsChangeNothing()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, payload);
    QFETCH(QString, logged);

    m_rig->fakeDispenser.placeInMouth(FakeCard::blank("K"));
    WAIT_VERIFY(m_dispenser->cardInMouth());
    sync();
    QList<QSignalSpy *> spies;
    for (const char *signal : {SIGNAL(activeChanged()), SIGNAL(modelChanged()), SIGNAL(cardInMouthChanged()),
                               SIGNAL(isJammedChanged()), SIGNAL(cartridgeChanged()), SIGNAL(cardInserted()),
                               SIGNAL(cardRemoved()), SIGNAL(cardDisposed())})
        spies << new QSignalSpy(m_dispenser, signal);
    LogCapture log;

    m_rig->fakeDispenser.publishRaw(suffix, payload);
    const QString line = QString("[Dispenser] ERROR: Failed to parse JSON message (topic=%1%2) :%3 )")
                             .arg(m_rig->dispenserBase, suffix, logged);
    WAIT_COMPARE(log.texts(QtCriticalMsg).filter("[Dispenser]"), QStringList{line});
    sync();
    for (QSignalSpy *spy : spies)
        QCOMPARE(spy->count(), 0);
    qDeleteAll(spies);
    QVERIFY(m_dispenser->active());
    QVERIFY(m_dispenser->cardInMouth());
    QCOMPARE(m_dispenser->model(), QString("KTV52817"));
}

void TestDispenser::leds()
{
    m_rig->mqtt.subscribe(m_rig->dispenserBase + "/led/#");
    QSignalSpy received(&m_rig->mqtt, &manager::MqttClient::received);
    auto documents = [&] {
        QList<QJsonObject> docs;
        for (const auto &args : received)
            if (args.at(1).toByteArray().endsWith("/led/set"))
                docs << QJsonDocument::fromJson(args.at(0).toByteArray()).object();
        return docs;
    };
    WAIT_VERIFY_WITH_TIMEOUT([&] { m_dispenser->setLEDs(0x1); return waitUntil([&] { return !documents().isEmpty(); }, 200); }(), 5000);
    QCOMPARE(documents().first(), (QJsonObject{{"red", true}, {"green", false}}));
    QVERIFY(received.first().at(0).toByteArray().contains('\n')); // indented
    QVERIFY(m_dispenser->setLEDs(0x2));
    WAIT_VERIFY(documents().contains(QJsonObject{{"red", false}, {"green", true}}));
}

void TestDispenser::readerFollowsTheDispenser()
{
    FakeDispenserService &fakeDispenser = m_rig->fakeDispenser;
    FakeRfidService &fakeRfid = m_rig->fakeRfid;
    fakeRfid.attach(&fakeDispenser);
    QVERIFY(fakeRfid.start(m_broker.port()));
    manager::RFID rfid(m_rig->mqtt, m_rig->rfidBase);
    WAIT_COMPARE(rfid.state(), manager::RFID::Idle);

    // A dispensed card lands in the reader's field and is found once the field is on.
    DeferredProbe<Dispenser::Result> issue(m_dispenser->issue());
    WAIT_VERIFY(issue.resolved());
    QCOMPARE(fakeRfid.cardInField(), fakeDispenser.cardInRfid());
    DeferredProbe<manager::RFID::Result> enable(rfid.enable(false));
    WAIT_VERIFY(enable.resolved());
    DeferredProbe<manager::RFID::Result> found(rfid.waitCardFound(1000));
    WAIT_VERIFY(found.resolved());
    QCOMPARE(found.value().card->uid(), QString("C0001"));
    WAIT_COMPARE(rfid.state(), manager::RFID::CardFound);

    // Written, ejected: the reader loses it and searches again.
    auto card = QSharedPointer<RUDIv1Card>::create();
    card->setCustomsId(4);
    DeferredProbe<manager::RFID::Result> created(rfid.createCard(RUDIv1Card::Name));
    WAIT_VERIFY(created.resolved());
    DeferredProbe<manager::RFID::Result> written(rfid.writeCard(card));
    WAIT_VERIFY(written.resolved());
    QSignalSpy removed(&rfid, &manager::RFID::cardRemoved);
    DeferredProbe<Dispenser::Result> eject(m_dispenser->eject());
    WAIT_VERIFY(eject.resolved());
    WAIT_COMPARE(removed.count(), 1);
    WAIT_COMPARE(rfid.state(), manager::RFID::Searching);
    QVERIFY(!fakeRfid.cardInField());

    // Taken back in, it is found again with what was written on it.
    DeferredProbe<Dispenser::Result> accept(m_dispenser->accept());
    WAIT_VERIFY(accept.resolved());
    WAIT_COMPARE(rfid.state(), manager::RFID::CardFound);
    DeferredProbe<manager::RFID::Result> read(rfid.readCard("auto", 1));
    WAIT_VERIFY(read.resolved());
    const auto back = read.value().card.dynamicCast<RUDIv1Card>();
    QVERIFY(back);
    QCOMPARE(back->uid(), QString("C0001"));
    QCOMPARE(back->customsId(), 4);

    // Disposed: gone from the field, in the bin.
    DeferredProbe<Dispenser::Result> dispose(m_dispenser->dispose());
    WAIT_VERIFY(dispose.resolved());
    WAIT_COMPARE(removed.count(), 2);
    QCOMPARE(fakeDispenser.bin().size(), 1);
    QCOMPARE(fakeDispenser.bin().first()->templateName, QString("RUDIv1"));
}

void TestDispenser::cardServicesOnTheDefaultTopics()
{
    FakeCardServices services;
    QVERIFY(services.start(m_broker, 3));
    manager::Dispenser dispenser(m_rig->mqtt, "vesk/dispenser");
    manager::RFID rfid(m_rig->mqtt, "vesk/rfid");
    WAIT_VERIFY(dispenser.active());
    WAIT_COMPARE(rfid.state(), manager::RFID::Idle);
    QCOMPARE(dispenser.cartridgePercent(), 3);

    DeferredProbe<Dispenser::Result> issue(dispenser.issue());
    WAIT_VERIFY(issue.resolved());
    QCOMPARE(services.rfid.cardInField()->uid, QString("C0001"));
    DeferredProbe<manager::RFID::Result> enable(rfid.enable(false));
    WAIT_VERIFY(enable.resolved());
    DeferredProbe<manager::RFID::Result> found(rfid.waitCardFound(1000));
    WAIT_VERIFY(found.resolved());
    QCOMPARE(found.value().card->uid(), QString("C0001"));
}

QTEST_GUILESS_MAIN(TestDispenser)
#include "tst_dispenser.moc"
