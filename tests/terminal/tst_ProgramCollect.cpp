#include "ProgramLane.h"

#include <QJsonObject>

// The real program as a child process on a card-collection lane of fakes.
class tst_ProgramCollect : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void collectPassage();
    void wrongCustomsId();
    void vehicleLeavesWithTheCardInside();

private:
    bool start(ProgramLane::Setup setup = ProgramLane::Setup());
    // The next driver's card is taken in, checked, written back and returned.
    bool nextVehicleServed(const QString &uid);

    std::unique_ptr<TestCertificates> m_certificates;
    std::unique_ptr<ProgramLane> m_lane;
};

void tst_ProgramCollect::initTestCase()
{
    m_certificates = std::make_unique<TestCertificates>();
    QVERIFY2(m_certificates->isValid(), qPrintable(m_certificates->errorString()));
}

void tst_ProgramCollect::cleanup()
{
    if (m_lane && QTest::currentTestFailed())
        qWarning().noquote() << "The program's log:\n" << m_lane->tail(400);
    if (m_lane) {
        if (!QTest::currentTestFailed())
            QVERIFY2(m_lane->stopProgram(), "the program ended on its own");
        m_lane.reset();
    }
}

bool tst_ProgramCollect::start(ProgramLane::Setup setup)
{
    setup.model = "KTW4163";
    m_lane = std::make_unique<ProgramLane>(*m_certificates, setup);
    return m_lane->startFakes() && m_lane->startProgram()
        && m_lane->waitLog("[CollectEngine] Enabled card auto-accept", 1, 30000);
}

bool tst_ProgramCollect::nextVehicleServed(const QString &uid)
{
    const int at = m_lane->mark();
    return m_lane->insertCard(FakeCard::rudi(uid, 12))
        && m_lane->waitLogSince(at, "[CollectEngine] Card read successfully : " + uid)
        && m_lane->waitLogSince(at, "[CollectEngine] Opening barrier") && m_lane->takeCard();
}

void tst_ProgramCollect::collectPassage()
{
    QVERIFY(start());
    ProgramLane &lane = *m_lane;
    // The collection model announced and acceptance switched on.
    QVERIFY(lane.waitLog("[Terminal] WARN: Dispenser model changed : KTW4163"));
    QVERIFY(lane.waitLog("[Terminal] Creating terminal engine for : CARD_COLLECTION_MACHINE"));
    QCOMPARE(lane.cards.dispenser.count("accept/enable"), 1);
    QCOMPARE(lane.cards.dispenser.count("issue"), 0);
    QVERIFY(lane.waitLog("[Terminal] State changed : (2) Ready "));

    QVERIFY(lane.vehicleArrives());
    QVERIFY(lane.waitLog("[CollectEngine] State changed : (2)DataCollect -> (3)WaitUser"));
    QVERIFY(lane.waitLog("[CollectEngine]   Rear : XYZ9876"));

    // The driver's card: read, its customs office checked, written back and handed back.
    const FakeCard::Ptr card = FakeCard::rudi("D0001", 12, "active", 2);
    QVERIFY(lane.insertCard(card));
    QVERIFY(lane.waitLog("[CollectEngine] Card inserted"));
    QVERIFY(lane.waitLog("[CollectEngine] State changed : (3)WaitUser -> (4)Permission"));
    QVERIFY(lane.waitLog("[CollectEngine] State changed : (4)Permission -> (5)CardProcess"));
    QVERIFY(lane.waitLog("[CollectEngine] Card read successfully : D0001"));
    QCOMPARE(lane.cards.rfid.requests("card/read").size(), 1);
    QCOMPARE(lane.cards.rfid.requests("card/read").first().body.value("template").toString(), QString("auto"));
    QCOMPARE(lane.cards.rfid.requests("card/write").size(), 1);
    const QJsonObject written = lane.cards.rfid.requests("card/write").first().body;
    QCOMPARE(written.value("uid").toString(), QString("D0001"));
    QCOMPARE(written.value("data").toObject().value("info").toObject().value("customsId").toInt(), 12);
    QVERIFY(waitUntil([&] { return lane.cards.dispenser.cardInMouth() == card; }));
    QVERIFY(lane.waitLog("[CollectEngine] State changed : (5)CardProcess -> (7)Exit"));
    QVERIFY(lane.takeCard());

    QVERIFY(lane.waitLog("[CollectEngine] Barrier closed"));
    QVERIFY(lane.waitLog("[CollectEngine] State changed : (7)Exit -> (8)PostExit"));
    QVERIFY(lane.waitLog("[CollectEngine] State changed : (8)PostExit -> (1)Idle"));
    QVERIFY(lane.waitLog("[CollectEngine] Enabled card auto-accept", 2));
    QCOMPARE(lane.backOffice.count(FakeBackOffice::Transaction), 0);
    QCOMPARE(lane.count("[CollectEngine] ERROR") + lane.count("[Terminal] ERROR"), 0);
}

void tst_ProgramCollect::wrongCustomsId()
{
    QVERIFY(start());
    ProgramLane &lane = *m_lane;
    const FakeCard::Ptr foreign = FakeCard::rudi("F0001", 99);
    QVERIFY(lane.insertCard(foreign));
    QVERIFY(lane.waitLog("[CollectEngine] WARN: Wrong customs id. Returning card : F0001"));
    QVERIFY(lane.waitLog("[CollectEngine] State changed : (5)CardProcess -> (9)Error"));
    QCOMPARE(lane.cards.rfid.count("card/write"), 0);
    QVERIFY(lane.takeCard() == foreign);
    QVERIFY(lane.waitLog("[CollectEngine] State changed : (9)Error -> (1)Idle"));
    QVERIFY(nextVehicleServed("D0002"));
}

void tst_ProgramCollect::vehicleLeavesWithTheCardInside()
{
    ProgramLane::Setup setup;
    setup.triggerDelayMsec = 4000;
    QVERIFY(start(setup));
    ProgramLane &lane = *m_lane;
    QVERIFY(lane.vehicleArrives());
    QVERIFY(lane.waitLog("[CollectEngine] State changed : (1)Idle -> (2)DataCollect"));
    const FakeCard::Ptr card = FakeCard::rudi("D0001", 12);
    QVERIFY(lane.insertCard(card));
    QVERIFY(lane.waitLog("[CollectEngine] WARN: Ignoring in current state : Session::DataCollect"));

    QVERIFY(lane.vehicleLeaves());
    QVERIFY(lane.waitLog("[CollectEngine] WARN: Vehicle left with its card inside. Returning card : D0001"));
    QVERIFY(lane.waitLog("[CollectEngine] State changed : (2)DataCollect -> (1)Idle"));
    QVERIFY(lane.takeCard() == card);
    QCOMPARE(lane.cards.rfid.count("card/write"), 0);
    QVERIFY(nextVehicleServed("D0002"));
}

QTEST_GUILESS_MAIN(tst_ProgramCollect)
#include "tst_ProgramCollect.moc"
