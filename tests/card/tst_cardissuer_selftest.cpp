#include "IssuerRig.h"

#include "fakes/LogCapture.h"

using manager::CardIssuer;
using Result = CardIssuer::Result;

class TestCardIssuerSelfTest : public IssuerTestCase
{
    Q_OBJECT

private slots:
    void dispenseTestPasses_data();
    void dispenseTestPasses();
    void dispenseTestFailures_data();
    void dispenseTestFailures();
    void acceptEjectTest_data();
    void acceptEjectTest();
    void acceptDisposeTest_data();
    void acceptDisposeTest();

private:
    QStringList dispenserCommands(const QStringList &of);
    bool placeCards(const QString &place);
};

// The dispenser commands the terminal sent, in order, among the given ones.
QStringList TestCardIssuerSelfTest::dispenserCommands(const QStringList &of)
{
    QStringList commands;
    for (const FakeService::Request &request : m_rig->fakeDispenser().requests())
        if (of.contains(request.command))
            commands << request.command;
    return commands;
}

// Puts cards where a row wants them: "mouth", "reader" or "both" by hand; a driver's card in the
// mouth the ways a lane gives one back ("written back", "returned unread", "given back"); a driver's
// card taken and another card left there ("taken, another left"); the accept-and-eject test's own
// card ("left by the eject test").
bool TestCardIssuerSelfTest::placeCards(const QString &place)
{
    FakeDispenserService &fake = m_rig->fakeDispenser();
    CardIssuer &issuer = m_rig->issuer;
    auto settled = [](Deferred<Result> operation) {
        DeferredProbe<Result> probe(operation);
        return probe.waitSettled() && probe.resolved();
    };
    if (place == "mouth" || place == "both")
        fake.placeInMouth(FakeCard::blank("M1"));
    if (place == "reader" || place == "both")
        fake.placeInRfid(FakeCard::blank("R1"));
    if (place == "written back") {
        QSignalSpy inserted(&issuer, &CardIssuer::cardInserted);
        if (!settled(issuer.enableAccept()) || !fake.driverInsertCard(FakeCard::rudi("D1", 12)))
            return false;
        if (!waitUntil([&] { return inserted.count() == 1; }, 5000))
            return false;
        if (!settled(issuer.returnCard(inserted.at(0).at(0).value<Card::Ptr>())))
            return false;
    } else if (place == "returned unread") {
        auto card = FakeCard::rudi("D1", 12);
        card->readable = false;
        if (!settled(issuer.enableAccept()) || !fake.driverInsertCard(card))
            return false;
        if (!waitUntil([&] { return fake.cardInMouth() == card; }, 5000))
            return false;
    } else if (place == "given back" || place == "taken, another left") {
        fake.placeInRfid(FakeCard::rudi("D1", 99));
        if (!m_rig->documentsSeen() || !settled(issuer.eject()))
            return false;
        if (place == "taken, another left") {
            QSignalSpy removed(&issuer, &CardIssuer::cardRemoved);
            if (!fake.driverTakeCard() || !waitUntil([&] { return removed.count() == 1; }, 5000))
                return false;
            fake.placeInMouth(FakeCard::blank("M1"));
        }
    } else if (place == "left by the eject test") {
        fake.placeInRfid(FakeCard::blank("T1"));
        if (!m_rig->documentsSeen() || !settled(issuer.testAcceptEject()))
            return false;
    }
    return waitUntil([&] { return !issuer.busy(); }, 5000) && m_rig->documentsSeen();
}

void TestCardIssuerSelfTest::dispenseTestPasses_data()
{
    QTest::addColumn<QString>("statusFirst"); // commands whose status overtakes their reply

    QTest::newRow("status after every reply") << "";
    QTest::newRow("status before every reply") << "*";
    // The eject is confirmed half-way through its status; the card back on the reader is
    // reported before the accept is answered.
    QTest::newRow("status before the accept reply") << "accept";
}

void TestCardIssuerSelfTest::dispenseTestPasses()
{
    QFETCH(QString, statusFirst);
    if (statusFirst == "*")
        m_rig->fakeDispenser().setStatusBeforeReply(true);
    else if (!statusFirst.isEmpty())
        m_rig->fakeDispenser().setStatusBeforeReply(statusFirst);

    // Failures counted before stay as they were: test cards never count.
    QVERIFY(DeferredProbe<Result>(m_rig->issuer.dispose(false)).waitSettled());
    QVERIFY(DeferredProbe<Result>(m_rig->issuer.dispose(false)).waitSettled());
    m_rig->fakeDispenser().clearRequests();

    QSignalSpy ejected(&m_rig->issuer, &CardIssuer::cardEjected);
    QSignalSpy disposed(&m_rig->issuer, &CardIssuer::cardDisposed);
    DeferredProbe<Result> test(m_rig->issuer.testDispense());
    QVERIFY(test.waitSettled());
    QVERIFY2(test.resolved(), qPrintable(test.value().error));
    QVERIFY(test.value().card.isNull());

    QCOMPARE(ejected.count(), 1);
    QCOMPARE(ejected.at(0).at(0).value<Tag::Ptr>()->uid(), QString("C0001"));
    WAIT_COMPARE(disposed.count(), 1);
    QCOMPARE(m_rig->issuer.failCount(), 2);
    QCOMPARE(m_rig->fakeDispenser().bin().size(), 1);
    QCOMPARE(m_rig->fakeDispenser().bin().at(0)->uid, QString("C0001"));
    QCOMPARE(dispenserCommands({"issue", "eject", "accept", "dispose"}),
             QStringList({"issue", "eject", "accept", "dispose"}));
}

void TestCardIssuerSelfTest::dispenseTestFailures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("binned");

    QTest::newRow("dispense refused") << "issue" << "Issue failed : Cartridge empty" << 0;
    QTest::newRow("uid not read") << "undetectable" << "Failed to find card : Timeout" << 1;
    QTest::newRow("eject refused") << "eject" << "Failed to eject card : Refused" << 0;
    QTest::newRow("retract refused") << "accept" << "Accept failed : Refused" << 0;
    QTest::newRow("last disposal refused") << "dispose" << "Dispose failed : Refused" << 0;
}

void TestCardIssuerSelfTest::dispenseTestFailures()
{
    QFETCH(QString, fault);
    QFETCH(QString, error);
    QFETCH(int, binned);

    if (fault == "issue") {
        m_rig->fakeDispenser().refuse("issue", 3, "Cartridge empty");
    } else if (fault == "undetectable") {
        auto card = FakeCard::blank("U1");
        card->detectable = false;
        m_rig->fakeDispenser().loadCartridge({card, FakeCard::blank("C0002")});
    } else {
        m_rig->fakeDispenser().refuse(fault, 8, "Refused");
    }

    int disposalsWhenRejected = -1;
    Deferred<Result> deferred = m_rig->issuer.testDispense();
    deferred.fail([&](Result) { disposalsWhenRejected = m_rig->fakeDispenser().count("dispose"); });
    DeferredProbe<Result> test(deferred);
    QVERIFY(test.waitSettled());
    QVERIFY(test.rejected());
    QCOMPARE(test.value().error, error);
    QVERIFY(test.value().card.isNull());
    QCOMPARE(m_rig->fakeDispenser().bin().size(), binned);
    // An unread card is in the bin before the test reports.
    QCOMPARE(disposalsWhenRejected, fault == "undetectable" || fault == "dispose" ? 1 : 0);
    QCOMPARE(m_rig->issuer.failCount(), 0);
}

// The ways a driver's card comes to wait in the mouth; either accept test refuses it alike, only
// switching acceptance off, and leaves it there.
static void addDriversCardRows()
{
    QTest::newRow("driver's card written back") << "written back" << "" << "Card in mouth waits to be taken"
                                                << QStringList({"accept/disable"}) << "D1";
    QTest::newRow("driver's card returned unread") << "returned unread" << "" << "Card in mouth waits to be taken"
                                                   << QStringList({"accept/disable"}) << "D1";
    QTest::newRow("driver's card given back") << "given back" << "" << "Card in mouth waits to be taken"
                                              << QStringList({"accept/disable"}) << "D1";
}

void TestCardIssuerSelfTest::acceptEjectTest_data()
{
    QTest::addColumn<QString>("place");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QString>("mouthAfter"); // the card in the mouth once the test has ended

    QTest::newRow("card in the mouth") << "mouth" << "" << "" << QStringList({"accept", "eject", "accept/disable"})
                                       << "M1";
    QTest::newRow("card on the reader") << "reader" << "" << "" << QStringList({"eject", "accept/disable"}) << "R1";
    QTest::newRow("both: the mouth first") << "both" << "" << "Accept failed : Card already in RFID position"
                                           << QStringList({"accept", "accept/disable"}) << "M1";
    QTest::newRow("no card") << "" << "" << "No card found" << QStringList({"accept/disable"}) << "";
    QTest::newRow("eject refused") << "reader" << "eject" << "Failed to eject card : Refused"
                                   << QStringList({"eject", "accept/disable"}) << "";
    QTest::newRow("switching off refused") << "reader" << "accept/disable" << "Refused"
                                           << QStringList({"eject", "accept/disable"}) << "R1";
    // A driver's card is no test card: taken in, it would leave the driver's reach, and come
    // back as the test's own, for the next disposal test to bin.
    addDriversCardRows();
    QTest::newRow("driver's card taken, another left") << "taken, another left" << "" << ""
                                                       << QStringList({"accept", "eject", "accept/disable"}) << "M1";
}

// Whatever the test gives, the mouth stops taking cards in at its end: a card pushed in
// afterwards would be drawn in and kept.
void TestCardIssuerSelfTest::acceptEjectTest()
{
    QFETCH(QString, place);
    QFETCH(QString, fault);
    QFETCH(QString, error);
    QFETCH(QStringList, commands);
    QFETCH(QString, mouthAfter);

    FakeDispenserService &fake = m_rig->fakeDispenser();
    QVERIFY(placeCards(place));
    if (!fault.isEmpty())
        fake.refuse(fault, 8, "Refused");
    QVERIFY(DeferredProbe<Result>(m_rig->issuer.enableAccept()).waitSettled()); // the run's wait left it on
    fake.clearRequests();

    LogCapture log;
    DeferredProbe<Result> test(m_rig->issuer.testAcceptEject());
    QVERIFY(test.waitSettled());
    QCOMPARE(test.rejected(), !error.isEmpty());
    QCOMPARE(test.value().error, error);
    if (error.isEmpty()) {
        QCOMPARE(test.value().card, m_rig->issuer.currCard());
        QVERIFY(fake.cardInMouth());
    }
    QVERIFY(!fake.acceptEnabled() || fault == "accept/disable");
    QVERIFY(m_rig->requestsHandled(fake));
    QCOMPARE(dispenserCommands({"accept", "eject", "dispose", "issue", "accept/enable", "accept/disable"}), commands);
    QCOMPARE(fake.cardInMouth() ? fake.cardInMouth()->uid : QString(), mouthAfter);
    if (place == "mouth")
        QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Card in mouth. Retracting."), 1);
    if (place.isEmpty())
        QCOMPARE(log.texts(QtCriticalMsg), QStringList({"[CardIssuer] ERROR: No card found"}));
}

void TestCardIssuerSelfTest::acceptDisposeTest_data()
{
    QTest::addColumn<QString>("place");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QString>("mouthAfter"); // the card in the mouth once the test has ended

    QTest::newRow("card in the mouth") << "mouth" << "" << ""
                                       << QStringList({"accept", "dispose", "accept/disable"}) << "";
    QTest::newRow("card on the reader") << "reader" << "" << "" << QStringList({"dispose", "accept/disable"}) << "";
    QTest::newRow("card inserted") << "" << "" << ""
                                   << QStringList({"accept/enable", "dispose", "accept/disable"}) << "";
    QTest::newRow("both: the mouth first") << "both" << "" << "Accept failed : Card already in RFID position"
                                           << QStringList({"accept", "accept/disable"}) << "M1";
    QTest::newRow("disposal refused") << "reader" << "dispose" << "Dispose failed : Refused"
                                      << QStringList({"dispose", "accept/disable"}) << "";
    QTest::newRow("switching off refused") << "reader" << "accept/disable" << "Refused"
                                           << QStringList({"dispose", "accept/disable"}) << "";
    // A card given back to a driver waits in the mouth as theirs: the test neither takes it in
    // nor bins it.
    addDriversCardRows();
    // Once the driver has taken theirs, a card left in the mouth is nobody's, as is the card
    // the accept-and-eject test gave out.
    QTest::newRow("driver's card taken, another left") << "taken, another left" << "" << ""
                                                       << QStringList({"accept", "dispose", "accept/disable"}) << "";
    QTest::newRow("left by the eject test") << "left by the eject test" << "" << ""
                                            << QStringList({"accept", "dispose", "accept/disable"}) << "";
}

// Whatever the test gives, the mouth stops taking cards in at its end.
void TestCardIssuerSelfTest::acceptDisposeTest()
{
    QFETCH(QString, place);
    QFETCH(QString, fault);
    QFETCH(QString, error);
    QFETCH(QStringList, commands);
    QFETCH(QString, mouthAfter);

    FakeDispenserService &fake = m_rig->fakeDispenser();
    QVERIFY(placeCards(place));
    if (!fault.isEmpty())
        fake.refuse(fault, 8, "Refused");
    QVERIFY(DeferredProbe<Result>(m_rig->issuer.enableAccept()).waitSettled()); // left on by an earlier run
    fake.clearRequests();

    QSignalSpy disposed(&m_rig->issuer, &CardIssuer::cardDisposed);
    DeferredProbe<Result> test(m_rig->issuer.testAcceptDispose());
    if (place.isEmpty()) {
        WAIT_COMPARE(fake.count("accept/enable"), 1);
        QVERIFY(fake.driverInsertCard(FakeCard::rudi("D1", 12)));
    }
    QVERIFY(test.waitSettled());
    QCOMPARE(test.rejected(), !error.isEmpty());
    QCOMPARE(test.value().error, error);
    QVERIFY(test.value().card.isNull());

    QVERIFY(!fake.acceptEnabled() || fault == "accept/disable");
    QCOMPARE(dispenserCommands({"accept", "dispose", "accept/enable", "accept/disable", "eject"}), commands);
    QCOMPARE(fake.cardInMouth() ? fake.cardInMouth()->uid : QString(), mouthAfter);
    const bool binned = error.isEmpty() || fault == "accept/disable";
    QCOMPARE(fake.bin().size(), binned ? 1 : 0);
    if (binned)
        WAIT_COMPARE(disposed.count(), 1);
    QCOMPARE(m_rig->issuer.failCount(), 0);
}

QTEST_MAIN(TestCardIssuerSelfTest)
#include "tst_cardissuer_selftest.moc"
