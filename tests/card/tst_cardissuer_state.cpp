#include "IssuerRig.h"

#include "fakes/LogCapture.h"

using manager::CardIssuer;
using Result = CardIssuer::Result;

class TestCardIssuerState : public IssuerTestCase
{
    Q_OBJECT

public:
    TestCardIssuerState()
        : IssuerTestCase(false) // each test starts the services when it needs them
    {
    }

private slots:
    void initUntilFirstDeviceSignal();
    void stateRules_data();
    void stateRules();
    void changesAreAnnouncedOnce();
    void cartridgeTextIsWatched();
    void emptiedWithAFlagChange();
    void countsUpToTooManyFailures();
    void failCountResets_data();
    void failCountResets();
    void deviceReportsReleaseTheCard_data();
    void deviceReportsReleaseTheCard();
    void readerCardBecomesCurrent();
    void cardLevel_data();
    void cardLevel();
    void destroyedWhileAnOperationRuns();
    void silentServiceIsNoHandledRequest();

private:
    void countFailures(int n);
};

// Failed disposals still count: the dispenser refuses them with no card in place.
void TestCardIssuerState::countFailures(int n)
{
    for (int i = 0; i < n; ++i) {
        DeferredProbe<Result> disposal(m_rig->issuer.dispose(false));
        QVERIFY(disposal.waitSettled());
    }
}

void TestCardIssuerState::initUntilFirstDeviceSignal()
{
    QVERIFY(m_rig->start());
    CardIssuer fresh(m_rig->rfid, m_rig->dispenser);
    QCOMPARE(fresh.state(), CardIssuer::Init);
    QCOMPARE(fresh.reason(), QString());

    m_rig->fakeDispenser().placeInMouth(FakeCard::blank("M1"));
    WAIT_COMPARE(fresh.state(), CardIssuer::Busy);
    QCOMPARE(fresh.reason(), QString("Card in Mouth"));
}

void TestCardIssuerState::stateRules_data()
{
    QTest::addColumn<int>("readerState"); // -1: the reader service offline
    QTest::addColumn<QString>("dispenser"); // o offline, i inactive, j jammed, d door open, e empty, r card at the reader, m card in the mouth
    QTest::addColumn<int>("failures");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("failCount");

    const int idle = FakeRfidService::Idle;
    QTest::newRow("sound") << idle << "" << 0 << int(CardIssuer::Ready) << "" << 0;
    QTest::newRow("reader error before the door") << int(FakeRfidService::Error) << "d" << 0 << int(CardIssuer::Error) << "RFID error" << 0;
    QTest::newRow("reader offline") << -1 << "" << 0 << int(CardIssuer::Error) << "RFID error" << 0;
    QTest::newRow("reader updating, dispenser inactive") << int(FakeRfidService::Updating) << "i" << 0 << int(CardIssuer::Init) << "RFID updating" << 0;
    QTest::newRow("door before inactive, count cleared") << idle << "di" << 3 << int(CardIssuer::Error) << "Cartridge door open" << 0;
    QTest::newRow("inactive before jammed, count cleared") << idle << "ij" << 2 << int(CardIssuer::Error) << "Dispenser error" << 0;
    QTest::newRow("dispenser offline") << idle << "o" << 1 << int(CardIssuer::Error) << "Dispenser error" << 0;
    QTest::newRow("jammed before empty, count kept") << idle << "je" << 2 << int(CardIssuer::Error) << "Dispenser jammed" << 2;
    QTest::newRow("empty before failures") << idle << "e" << 4 << int(CardIssuer::Error) << "No more cards" << 4;
    QTest::newRow("failures before a card") << idle << "r" << 4 << int(CardIssuer::Error) << "Too many failures" << 4;
    QTest::newRow("three failures are not too many") << idle << "m" << 3 << int(CardIssuer::Busy) << "Card in Mouth" << 3;
    QTest::newRow("reader has a card") << int(FakeRfidService::CardFound) << "" << 0 << int(CardIssuer::Busy) << "Card on RFID" << 0;
    QTest::newRow("card at the reader and in the mouth") << idle << "rm" << 0 << int(CardIssuer::Busy) << "Card on RFID" << 0;
    QTest::newRow("card in the mouth") << idle << "m" << 0 << int(CardIssuer::Busy) << "Card in Mouth" << 0;
}

void TestCardIssuerState::stateRules()
{
    QFETCH(int, readerState);
    QFETCH(QString, dispenser);
    QFETCH(int, failures);
    QFETCH(int, state);
    QFETCH(QString, reason);
    QFETCH(int, failCount);

    QVERIFY(m_rig->start());
    countFailures(failures);
    QCOMPARE(m_rig->issuer.failCount(), failures);

    FakeDispenserService &fake = m_rig->fakeDispenser();
    if (dispenser.contains('r'))
        fake.placeInRfid(FakeCard::blank("R1"));
    if (dispenser.contains('m'))
        fake.placeInMouth(FakeCard::blank("M1"));
    if (dispenser.contains('e'))
        fake.loadCartridge(0);
    if (dispenser.contains('j'))
        fake.setJammed(true);
    if (dispenser.contains('i'))
        fake.setActive(false);
    if (dispenser.contains('d'))
        fake.setDoorOpen(true);
    if (dispenser.contains('o'))
        fake.setServiceOnline(false);
    if (readerState < 0)
        m_rig->fakeRfid().setServiceOnline(false);
    else if (readerState != FakeRfidService::Idle)
        m_rig->fakeRfid().setState(FakeRfidService::State(readerState), readerState == FakeRfidService::Error ? "Antenna" : "");
    QVERIFY(m_rig->documentsSeen());

    QCOMPARE(int(m_rig->issuer.state()), state);
    QCOMPARE(m_rig->issuer.reason(), reason);
    QCOMPARE(m_rig->issuer.failCount(), failCount);
}

void TestCardIssuerState::changesAreAnnouncedOnce()
{
    QVERIFY(m_rig->start());
    LogCapture log;
    QSignalSpy changed(&m_rig->issuer, &CardIssuer::stateChanged);

    m_rig->fakeDispenser().publishStatus();
    m_rig->fakeDispenser().publishStatus();
    QVERIFY(m_rig->documentsSeen());
    QCOMPARE(changed.count(), 0);

    m_rig->fakeDispenser().setDoorOpen(true);
    m_rig->fakeDispenser().setJammed(true); // still the door
    QVERIFY(m_rig->documentsSeen());
    m_rig->fakeDispenser().setJammed(false);
    m_rig->fakeDispenser().setDoorOpen(false);
    QVERIFY(m_rig->documentsSeen());

    QCOMPARE(changed.count(), 2);
    QCOMPARE(log.texts(QtInfoMsg).filter("State changed"),
             QStringList({"[CardIssuer] State changed : (3) Error (reason=Cartridge door open)",
                          "[CardIssuer] State changed : (2) Ready "}));
}

// The cartridge text alone decides "No more cards", so it is watched on its own.
void TestCardIssuerState::cartridgeTextIsWatched()
{
    QVERIFY(m_rig->start());
    QSignalSpy changed(&m_rig->issuer, &CardIssuer::stateChanged);

    m_rig->fakeDispenser().loadCartridge(0);
    WAIT_COMPARE(m_rig->issuer.reason(), QString("No more cards"));
    QCOMPARE(m_rig->issuer.state(), CardIssuer::Error);

    DeferredProbe<Result> refused(m_rig->issuer.prepareCard());
    QVERIFY(refused.rejected());
    QCOMPARE(refused.value().error, QString("No more cards"));

    m_rig->fakeDispenser().loadCartridge(30);
    WAIT_COMPARE(m_rig->issuer.state(), CardIssuer::Ready);
    QCOMPARE(m_rig->issuer.reason(), QString());
    QCOMPARE(changed.count(), 2);

    // A cartridge text in other letter case is not the empty one.
    m_rig->fakeDispenser().publishRaw("/status", R"({"service": true, "device": {"active": true, "cartridge": "EMPTY"}})");
    QVERIFY(m_rig->documentsSeen());
    QCOMPARE(m_rig->dispenser.cartridge(), QString("EMPTY"));
    QCOMPARE(m_rig->issuer.state(), CardIssuer::Ready);
}

// One status moves a card into the mouth and empties the cartridge: the flag
// is handled before the text arrives, and the text must still be seen.
void TestCardIssuerState::emptiedWithAFlagChange()
{
    QVERIFY(m_rig->start());
    m_rig->fakeDispenser().publishRaw("/status", R"({"service": true, "device": {"active": true, "cardInMouth": true, "cartridge": "empty"}})");
    QVERIFY(m_rig->documentsSeen());
    QCOMPARE(m_rig->issuer.state(), CardIssuer::Error);
    QCOMPARE(m_rig->issuer.reason(), QString("No more cards"));
}

void TestCardIssuerState::countsUpToTooManyFailures()
{
    QVERIFY(m_rig->start());
    LogCapture log;
    QSignalSpy changed(&m_rig->issuer, &CardIssuer::stateChanged);

    countFailures(3);
    QCOMPARE(m_rig->issuer.state(), CardIssuer::Ready);
    countFailures(1);
    QCOMPARE(m_rig->issuer.state(), CardIssuer::Error);
    QCOMPARE(m_rig->issuer.reason(), QString("Too many failures"));
    countFailures(1);
    QCOMPARE(m_rig->issuer.failCount(), 4);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(log.texts(QtInfoMsg).filter("fail counter"),
             QStringList({"[CardIssuer] Incremented fail counter : 1", "[CardIssuer] Incremented fail counter : 2",
                          "[CardIssuer] Incremented fail counter : 3", "[CardIssuer] Incremented fail counter : 4"}));
    // Uncounted, the fifth disposal is still asked for.
    QVERIFY(m_rig->requestsHandled(m_rig->fakeDispenser()));
    QCOMPARE(m_rig->fakeDispenser().count("dispose"), 5);

    // Refused at once, nothing moved.
    DeferredProbe<Result> refused(m_rig->issuer.prepareCard());
    QVERIFY(refused.rejected());
    QCOMPARE(refused.value().error, QString("Too many failures"));
    QVERIFY(refused.value().card.isNull());
    QVERIFY(m_rig->requestsHandled(m_rig->fakeDispenser()));
    QCOMPARE(m_rig->fakeDispenser().count("issue"), 0);
    QCOMPARE(m_rig->fakeDispenser().count("dispose"), 5);

    // Test disposals never count.
    m_rig->issuer.dispose(true);
    QVERIFY(m_rig->requestsHandled(m_rig->fakeDispenser()));
    QCOMPARE(m_rig->fakeDispenser().count("dispose"), 6);
    QCOMPARE(m_rig->issuer.failCount(), 4);
}

void TestCardIssuerState::failCountResets_data()
{
    QTest::addColumn<QString>("cause");
    QTest::newRow("cartridge door opened") << "door";
    QTest::newRow("dispenser inactive") << "inactive";
    QTest::newRow("held card not written meanwhile") << "written";
}

void TestCardIssuerState::failCountResets()
{
    QFETCH(QString, cause);
    QVERIFY(m_rig->start());
    FakeDispenserService &fake = m_rig->fakeDispenser();

    if (cause == "written") {
        DeferredProbe<Result> prepared(m_rig->issuer.prepareCard());
        QVERIFY(prepared.waitSettled());
        QVERIFY(prepared.resolved());
        fake.refuse("dispose", 9, "Bin full", 4); // counted all the same
    }
    countFailures(4);
    QCOMPARE(m_rig->issuer.reason(), QString("Too many failures"));

    LogCapture log;
    if (cause == "door") {
        fake.setDoorOpen(true);
        WAIT_COMPARE(m_rig->issuer.failCount(), 0);
        QCOMPARE(m_rig->issuer.reason(), QString("Cartridge door open"));
        fake.setDoorOpen(false);
    } else if (cause == "inactive") {
        fake.setActive(false);
        WAIT_COMPARE(m_rig->issuer.failCount(), 0);
        QCOMPARE(m_rig->issuer.reason(), QString("Dispenser error"));
        fake.setActive(true);
    } else {
        // An issuer that cannot serve writes no card, not even one it holds: the count stays
        // until the cartridge is seen to.
        m_rig->fakeRfid().clearRequests();
        DeferredProbe<Result> issued(m_rig->issuer.issueCard(IssuerRig::vehicleCard()));
        QVERIFY(issued.waitSettled());
        QCOMPARE(issued.value().error, QString("Too many failures"));
        QVERIFY(m_rig->fakeRfid().requests().isEmpty());
        QCOMPARE(m_rig->issuer.failCount(), 4);
        fake.setDoorOpen(true);
        WAIT_COMPARE(m_rig->issuer.failCount(), 0);
        fake.setDoorOpen(false);
        WAIT_COMPARE(m_rig->issuer.reason(), QString("Card on RFID"));
    }
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Reset fail counter : 0"), 1);
    if (cause != "written")
        WAIT_COMPARE(m_rig->issuer.state(), CardIssuer::Ready);
}

void TestCardIssuerState::deviceReportsReleaseTheCard_data()
{
    QTest::addColumn<QString>("report");
    QTest::addColumn<bool>("holding");
    QTest::newRow("disposed, card held") << "/card/disposed" << true;
    QTest::newRow("disposed, none held") << "/card/disposed" << false;
    QTest::newRow("removed, card held") << "/card/removed" << true;
    QTest::newRow("removed, none held") << "/card/removed" << false;
}

void TestCardIssuerState::deviceReportsReleaseTheCard()
{
    QFETCH(QString, report);
    QFETCH(bool, holding);
    QVERIFY(m_rig->start());

    Tag::Ptr held;
    if (holding) {
        DeferredProbe<Result> prepared(m_rig->issuer.prepareCard());
        QVERIFY(prepared.waitSettled());
        held = m_rig->issuer.currCard();
        QVERIFY(held);
        QCOMPARE(held->uid(), QString("C0001"));
    }

    QSignalSpy disposed(&m_rig->issuer, &CardIssuer::cardDisposed);
    QSignalSpy removed(&m_rig->issuer, &CardIssuer::cardRemoved);
    m_rig->fakeDispenser().publish(report, QJsonObject{});
    QSignalSpy &spy = report == "/card/disposed" ? disposed : removed;
    WAIT_COMPARE(spy.count(), 1);
    QCOMPARE(disposed.count() + removed.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<Tag::Ptr>(), held);
    QVERIFY(m_rig->issuer.currCard().isNull());
}

// With no card held, the card the reader holds becomes the issuer's at the
// next evaluation; a held card is kept.
void TestCardIssuerState::readerCardBecomesCurrent()
{
    QVERIFY(m_rig->start());
    m_rig->fakeDispenser().placeInRfid(FakeCard::rudi("R77", 12));
    WAIT_VERIFY(m_rig->dispenser.cardInRfid());
    DeferredProbe<manager::RFID::Result> searching(m_rig->rfid.enable(false));
    WAIT_COMPARE(m_rig->rfid.state(), manager::RFID::CardFound);
    WAIT_VERIFY(m_rig->rfid.activeCard());

    CardIssuer fresh(m_rig->rfid, m_rig->dispenser);
    QVERIFY(fresh.currCard().isNull());
    m_rig->fakeDispenser().setJammed(true);
    WAIT_VERIFY(fresh.currCard());
    QCOMPARE(fresh.currCard(), m_rig->rfid.activeCard());
    QCOMPARE(fresh.currCard()->uid(), QString("R77"));

    const Tag::Ptr held = fresh.currCard();
    DeferredProbe<manager::RFID::Result> read(m_rig->rfid.readCard("auto", 1));
    QVERIFY(read.waitSettled());
    QVERIFY(read.resolved());
    QVERIFY(m_rig->rfid.activeCard() != held);
    m_rig->fakeDispenser().setJammed(false);
    WAIT_VERIFY(!m_rig->dispenser.isJammed());
    QCOMPARE(fresh.currCard(), held);
}

void TestCardIssuerState::cardLevel_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("cards");
    QTest::addColumn<QString>("level");
    QTest::newRow("vending, full") << "KTV52817" << 100 << "full";
    QTest::newRow("vending, normal") << "KTV52817" << 50 << "normal";
    QTest::newRow("vending, reserve") << "KTV52817" << 5 << "reserve";
    QTest::newRow("vending, empty") << "KTV52817" << 0 << "empty";
    QTest::newRow("collecting") << "KTW4163" << 50 << "empty";
    QTest::newRow("other model") << "ktv52817" << 50 << "missing";
    QTest::newRow("no model") << "" << 50 << "missing";
}

void TestCardIssuerState::cardLevel()
{
    QFETCH(QString, model);
    QFETCH(int, cards);
    QFETCH(QString, level);

    QCOMPARE(m_rig->issuer.cardLevel(), QString("missing")); // before any info document
    QVERIFY(m_rig->start());
    m_rig->fakeDispenser().loadCartridge(cards);
    m_rig->fakeDispenser().setModel(model);
    QVERIFY(m_rig->documentsSeen());
    QCOMPARE(m_rig->dispenser.model(), model);
    QCOMPARE(m_rig->issuer.cardLevel(), level);
}

// The terminal may go while a card operation waits for a device; the late
// answers then reach nothing.
void TestCardIssuerState::destroyedWhileAnOperationRuns()
{
    QVERIFY(m_rig->start());
    auto *issuer = new CardIssuer(m_rig->rfid, m_rig->dispenser);
    // Until it has heard a device the new issuer cannot serve: a jam and its clearing are heard.
    m_rig->fakeDispenser().setJammed(true);
    WAIT_COMPARE(issuer->reason(), QString("Dispenser jammed"));
    m_rig->fakeDispenser().setJammed(false);
    WAIT_VERIFY(issuer->canServe());
    // Gone once the dispense request has reached the dispenser, before its answer.
    connect(&m_rig->fakeDispenser(), &FakeService::requestReceived, this, [&issuer](const QString &command) {
        if (command == "issue") {
            delete issuer;
            issuer = nullptr;
        }
    });
    DeferredProbe<Result> prepared(issuer->prepareCard());
    WAIT_VERIFY(!issuer);

    QVERIFY(m_rig->requestsHandled(m_rig->fakeDispenser()));
    QVERIFY(m_rig->documentsSeen());
    WAIT_VERIFY(m_rig->dispenser.cardInRfid());
    QVERIFY(!prepared.settled());
    QCOMPARE(m_rig->fakeRfid().count("enable"), 0);
}

// The rig's barrier must not take a service's silence for an answer.
void TestCardIssuerState::silentServiceIsNoHandledRequest()
{
    QVERIFY(m_rig->start());
    QVERIFY(m_rig->requestsHandled(m_rig->fakeDispenser()));
    m_rig->fakeDispenser().silence(QStringLiteral("barrier"), 1);
    QVERIFY(!m_rig->requestsHandled(m_rig->fakeDispenser(), 500));
    QVERIFY(m_rig->requestsHandled(m_rig->fakeDispenser()));
}

QTEST_MAIN(TestCardIssuerState)
#include "tst_cardissuer_state.moc"
