#include "ProgramLane.h"

#include <QJsonArray>
#include <QJsonObject>

// The real program as a child process on a card-vending lane of fakes: what
// crosses the wires (MQTT requests, camera triggers, back-office requests) and
// what the program logs, for a whole passage and for the ways one can fail.
class tst_ProgramIssue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void issuePassage();
    void cardNotTaken();
    void cardWriteFails();
    void vehicleLeavesEarly();
    void noCameraConfigured();
    void dispenserJammedMidSession();
    void brokerRestartedMidSession();
    void backOfficeUnreachableAfterRegistration();

private:
    // Starts the fakes and the program; returns once the first card is prepared.
    bool start(const ProgramLane::Setup &setup = ProgramLane::Setup());
    // The next vehicle is served: the button, the card written and taken, the barrier.
    bool nextVehicleServed(const QString &uid);

    std::unique_ptr<TestCertificates> m_certificates;
    std::unique_ptr<ProgramLane> m_lane;
};

void tst_ProgramIssue::initTestCase()
{
    m_certificates = std::make_unique<TestCertificates>();
    QVERIFY2(m_certificates->isValid(), qPrintable(m_certificates->errorString()));
}

void tst_ProgramIssue::cleanup()
{
    if (m_lane && QTest::currentTestFailed())
        qWarning().noquote() << "The program's log:\n" << m_lane->tail(400);
    if (m_lane) {
        if (!QTest::currentTestFailed())
            QVERIFY2(m_lane->stopProgram(), "the program ended on its own");
        m_lane.reset();
    }
}

bool tst_ProgramIssue::start(const ProgramLane::Setup &setup)
{
    m_lane = std::make_unique<ProgramLane>(*m_certificates, setup);
    // An unregistered terminal makes no engine until it is registered when its dispenser
    // announces itself only after the link's first look (a loaded machine starts slowly); the
    // link looks again 30 s later.
    const int firstCardMsec = setup.registered ? 30000 : 75000;
    return m_lane->startFakes() && m_lane->startProgram()
        && m_lane->waitLog("[IssueEngine] Card prepared : C0001", 1, firstCardMsec);
}

bool tst_ProgramIssue::nextVehicleServed(const QString &uid)
{
    const int at = m_lane->mark();
    if (!m_lane->pressButton())
        return false;
    const FakeCard::Ptr card = m_lane->takeCard();
    return card && card->uid == uid
        && m_lane->waitLogSince(at, "[IssueEngine] Card collected successfully : " + uid)
        && m_lane->waitLogSince(at, "[IssueEngine] Opening barrier");
}

void tst_ProgramIssue::issuePassage()
{
    QVERIFY(start());
    ProgramLane &lane = *m_lane;
    // The vending model announced, its engine started, the first card ready before any vehicle.
    QVERIFY(lane.waitLog("[Terminal] WARN: Dispenser model changed : KTV52817"));
    QVERIFY(lane.waitLog("[Terminal] Creating terminal engine for : CARD_VENDING_MACHINE"));
    QCOMPARE(lane.cards.dispenser.cardInRfid()->uid, QString("C0001"));
    QCOMPARE(lane.cards.dispenser.count("issue"), 1);
    // Registered before: the link fetches the reference data and beats.
    QVERIFY(waitUntil([&] { return lane.backOffice.count(FakeBackOffice::Heartbeat) >= 1; }, 15000));
    QCOMPARE(lane.backOffice.count(FakeBackOffice::Register), 0);
    QVERIFY(lane.backOffice.count(FakeBackOffice::UpdateData) >= 1);
    QVERIFY(lane.waitLog("[Terminal] State changed : (2) Ready "));
    QVERIFY(lane.waitLog("[Terminal]  Serial Num : SN-E2E"));

    // The truck on the loop: both cameras triggered and read.
    QVERIFY(lane.vehicleArrives());
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (1)Idle -> (2)DataCollect"));
    QVERIFY(waitUntil([&] { return lane.cameras.at(0)->requests().size() == 1 && lane.cameras.at(1)->requests().size() == 1; }));
    QVERIFY(lane.waitLog("[IssueEngine] Card UID : C0001"));
    QVERIFY(lane.waitLog("[IssueEngine] Cameras  : 2"));
    QVERIFY(lane.waitLog("[IssueEngine]   Front : ABC1234"));
    QVERIFY(lane.waitLog("[IssueEngine]   Rear : XYZ9876"));
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (2)DataCollect -> (3)WaitUser"));

    // The driver's button: entry granted, the card created and written.
    QVERIFY(lane.pressButton());
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (3)WaitUser -> (4)Permission"));
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (4)Permission -> (5)CardProcess"));
    QVERIFY(lane.waitLog("[IssueEngine] Card issued successfully : C0001"));
    const QList<FakeService::Request> created = lane.cards.rfid.requests("card/create");
    QCOMPARE(created.size(), 1);
    QCOMPARE(created.first().body.value("template").toString(), QString("RUDIv1"));
    const QList<FakeService::Request> written = lane.cards.rfid.requests("card/write");
    QCOMPARE(written.size(), 1);
    const QJsonObject data = written.first().body.value("data").toObject();
    QCOMPARE(data.value("info").toObject().value("customsId").toInt(), 12);
    QCOMPARE(data.value("info").toObject().value("status").toString(), QString("active"));
    QCOMPARE(data.value("usageCounter").toInt(), 1);
    const QJsonArray usage = data.value("usageLog").toArray();
    QCOMPARE(usage.size(), 1);
    QCOMPARE(usage.first().toObject().value("type").toString(), QString("entry"));
    QCOMPARE(usage.first().toObject().value("deviceId").toString(), QString("SN-E2E"));
    QCOMPARE(usage.first().toObject().value("locationId").toString(), QString("7"));

    // Ejected and taken by the driver.
    QVERIFY(lane.waitLog("[IssueEngine] Ejecting card for collection (collectTimeout=20 sec)"));
    const FakeCard::Ptr card = lane.takeCard();
    QVERIFY(card);
    QCOMPARE(card->uid, QString("C0001"));
    QCOMPARE(card->data.value("info").toObject().value("customsId").toInt(), 12);
    QVERIFY(lane.waitLog("[IssueEngine] Card collected successfully : C0001"));

    // The barrier's cycle, the close, the reset and the next card.
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (6)WaitCollect -> (7)Exit"));
    QVERIFY(lane.waitLog("[IssueEngine] Opening barrier"));
    QVERIFY(lane.waitLog("[IssueEngine] Barrier closed"));
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (7)Exit -> (8)PostExit"));
    QVERIFY(lane.waitLog("[Engine] ----- Resetting state machine"));
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (8)PostExit -> (1)Idle"));
    QVERIFY(lane.waitLog("[IssueEngine] Card prepared : C0002"));
    QCOMPARE(lane.cards.dispenser.count("issue"), 2);

    // A session stores and sends nothing.
    QCOMPARE(lane.backOffice.count(FakeBackOffice::Transaction), 0);
    QCOMPARE(lane.count("[IssueEngine] ERROR") + lane.count("[Terminal] ERROR"), 0);
}

void tst_ProgramIssue::cardNotTaken()
{
    ProgramLane::Setup setup;
    setup.collectTimeoutSec = 2;
    QVERIFY(start(setup));
    ProgramLane &lane = *m_lane;
    QVERIFY(lane.pressButton());
    QVERIFY(lane.waitLog("[IssueEngine] Ejecting card for collection (collectTimeout=2 sec)"));
    QVERIFY(lane.waitLog("[IssueEngine] ERROR: Card not collected"));
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (6)WaitCollect -> (9)Error"));
    // Ejected, pulled back in, and the very card serves the next vehicle.
    QCOMPARE(lane.cards.dispenser.count("eject"), 1);
    QCOMPARE(lane.cards.dispenser.count("accept"), 1);
    QCOMPARE(lane.cards.dispenser.cardInRfid()->uid, QString("C0001"));
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (9)Error -> (1)Idle"));
    QVERIFY(lane.waitLog("[IssueEngine] Card prepared : C0001", 2));
    QVERIFY(nextVehicleServed("C0001"));
}

void tst_ProgramIssue::cardWriteFails()
{
    QVERIFY(start());
    ProgramLane &lane = *m_lane;
    lane.cards.rfid.refuse("card/write", 9, "Card write failed", 1);
    QVERIFY(lane.pressButton());
    QVERIFY(lane.waitLog("[IssueEngine] ERROR: Write card failed : Card write failed"));
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (5)CardProcess -> (9)Error"));
    // The failed card is binned and the next one prepared.
    QVERIFY(waitUntil([&] { return lane.cards.dispenser.bin().size() == 1; }));
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (9)Error -> (1)Idle"));
    QVERIFY(lane.waitLog("[IssueEngine] Card prepared : C0002"));
    QVERIFY(nextVehicleServed("C0002"));
}

void tst_ProgramIssue::vehicleLeavesEarly()
{
    QVERIFY(start());
    ProgramLane &lane = *m_lane;
    QVERIFY(lane.vehicleArrives());
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (2)DataCollect -> (3)WaitUser"));
    const int at = lane.mark();
    QVERIFY(lane.vehicleLeaves());
    QVERIFY(lane.waitLog("[IssueEngine] Vehicle left"));
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (3)WaitUser -> (1)Idle"));
    // Not closed: no reset delay, the card stays at the reader for the next one.
    QTest::qWait(500);
    QCOMPARE(lane.since(at).filter("Resetting state machine"), QStringList());
    QCOMPARE(lane.cards.dispenser.cardInRfid()->uid, QString("C0001"));
    QCOMPARE(lane.cards.rfid.count("card/write"), 0);
    QVERIFY(nextVehicleServed("C0001"));
}

void tst_ProgramIssue::noCameraConfigured()
{
    ProgramLane::Setup setup;
    setup.cameras = false;
    QVERIFY(start(setup));
    ProgramLane &lane = *m_lane;
    QVERIFY(lane.vehicleArrives());
    QVERIFY(lane.waitLog("[IssueEngine] Cameras  : 0"));
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (2)DataCollect -> (3)WaitUser"));
    QVERIFY(nextVehicleServed("C0001"));
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (8)PostExit -> (1)Idle"));
}

void tst_ProgramIssue::dispenserJammedMidSession()
{
    QVERIFY(start());
    ProgramLane &lane = *m_lane;
    lane.cards.dispenser.jamOnNext("eject");
    QVERIFY(lane.pressButton());
    QVERIFY(lane.waitLog("[IssueEngine] ERROR: Eject failed: Failed to eject card : Card jam"));
    QVERIFY(lane.waitLog("[Terminal] State changed : (3) Error (reason=Dispenser jammed)"));
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (9)Error -> (1)Idle"));

    // The technician clears the jam: the terminal is ready and the same card serves.
    const int at = lane.mark();
    lane.cards.dispenser.setJammed(false);
    QVERIFY(lane.waitLogSince(at, "[Terminal] State changed : (2) Ready "));
    QVERIFY(nextVehicleServed("C0001"));
}

void tst_ProgramIssue::brokerRestartedMidSession()
{
    QVERIFY(start());
    ProgramLane &lane = *m_lane;
    QVERIFY(lane.vehicleArrives());
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (2)DataCollect -> (3)WaitUser"));

    QVERIFY(lane.broker.restart());
    QVERIFY(lane.waitLog("[MqttClient] Connected to broker", 2, 20000));
    // The services announce themselves again on the new broker.
    QVERIFY(waitUntil([&] { return lane.cards.dispenser.isRunning() && lane.cards.rfid.isRunning(); }, 10000));
    lane.cards.dispenser.publishInfo();
    lane.cards.dispenser.publishStatus();
    lane.cards.rfid.publishInfo();
    lane.cards.rfid.publishStatus();
    QVERIFY(lane.broker.waitForLog("Received SUBSCRIBE from vorn-terminal-ui_", 2, 10000));

    // The session goes on where it was.
    QVERIFY(nextVehicleServed("C0001"));
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (7)Exit -> (8)PostExit"));
}

// A new terminal registers (its link ticks every 30 s until it is online); afterwards the lane
// keeps serving while the back office is away, and the link comes back with it.
void tst_ProgramIssue::backOfficeUnreachableAfterRegistration()
{
    ProgramLane::Setup setup;
    setup.heartbeatSec = 1;
    setup.registered = false;
    QVERIFY(start(setup));
    ProgramLane &lane = *m_lane;
    QVERIFY(lane.waitLog("[Terminal] State changed : (3) Error (reason=Terminal not registered)"));
    QVERIFY(waitUntil([&] { return lane.backOffice.count(FakeBackOffice::Register) == 1; }, 45000));
    const FakeBackOffice::Request registration = lane.backOffice.last(FakeBackOffice::Register);
    QCOMPARE(registration.json.value("serialNumber").toString(), QString("SN-E2E"));
    QCOMPARE(registration.json.value("type").toString(), QString("CARD_VENDING_MACHINE"));
    QVERIFY(!registration.clientSubject.isEmpty());
    QVERIFY(waitUntil([&] { return lane.backOffice.count(FakeBackOffice::Heartbeat) >= 1; }, 45000));
    QVERIFY(lane.waitLog("[Terminal] State changed : (2) Ready "));
    const quint16 port = lane.backOffice.url().port();

    lane.backOffice.server().close();
    const int at = lane.mark();
    QVERIFY(lane.vehicleArrives());
    QVERIFY(lane.waitLog("[IssueEngine] State changed : (2)DataCollect -> (3)WaitUser"));
    QVERIFY(nextVehicleServed("C0001"));
    QVERIFY(lane.waitLogSince(at, "[IssueEngine] State changed : (7)Exit -> (8)PostExit"));
    QCOMPARE(lane.since(at).filter("Terminal not registered"), QStringList());
    QCOMPARE(lane.since(at).filter("[Terminal] State changed"), QStringList());

    // Back: heartbeats arrive again.
    const int beats = lane.backOffice.count(FakeBackOffice::Heartbeat);
    QVERIFY(lane.backOffice.server().start(QHostAddress(QHostAddress::LocalHost), port));
    QVERIFY(waitUntil([&] { return lane.backOffice.count(FakeBackOffice::Heartbeat) > beats; }, 30000));
    QCOMPARE(lane.backOffice.count(FakeBackOffice::Register), 1);
}

QTEST_GUILESS_MAIN(tst_ProgramIssue)
#include "tst_ProgramIssue.moc"
