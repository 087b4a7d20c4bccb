#include "IssuerRig.h"

#include "fakes/LogCapture.h"

#include <QJsonArray>

using manager::CardIssuer;
using Result = CardIssuer::Result;

class TestCardIssuerIssue : public IssuerTestCase
{
    Q_OBJECT

private slots:
    void prepareCard_data();
    void prepareCard();
    void prepareWithTheReaderHoldingTheCard();
    void dispenseRefusals_data();
    void dispenseRefusals();
    void failedUidReadDisposes_data();
    void failedUidReadDisposes();
    void issueCreatesAndWrites();
    void issuePreparesWhenNoCardIsHeld();
    void failedIssueDisposesOnce_data();
    void failedIssueDisposesOnce();
    void failedPreparationInIssue_data();
    void failedPreparationInIssue();
    void disableAfterWriteOnlyWarns_data();
    void disableAfterWriteOnlyWarns();
    void silentReaderBinsNothing_data();
    void silentReaderBinsNothing();
    void silentReaderTakesTheIssuerOutOfService_data();
    void silentReaderTakesTheIssuerOutOfService();
    void readerFaultsCountOnlyInARow_data();
    void readerFaultsCountOnlyInARow();
    void oneCardOperationAtATime_data();
    void oneCardOperationAtATime();

private:
    QStringList readerCommands() const;
};

QStringList TestCardIssuerIssue::readerCommands() const
{
    QStringList commands;
    for (const FakeService::Request &request : m_rig->fakeRfid().requests())
        commands << request.command;
    return commands;
}

void TestCardIssuerIssue::prepareCard_data()
{
    QTest::addColumn<QString>("place"); // where the card is before
    QTest::addColumn<QString>("uid");
    QTest::addColumn<int>("dispensed");
    QTest::addColumn<int>("pulledIn");

    QTest::newRow("from the stack") << "" << "C0001" << 1 << 0;
    QTest::newRow("in the mouth") << "mouth" << "M1" << 0 << 1;
    QTest::newRow("already on the reader") << "reader" << "R1" << 0 << 0;
    // A card ejected for a driver is theirs until taken: the next one comes from the stack.
    QTest::newRow("given out, waiting in the mouth") << "given out" << "C0001" << 1 << 0;
}

void TestCardIssuerIssue::prepareCard()
{
    QFETCH(QString, place);
    QFETCH(QString, uid);
    QFETCH(int, dispensed);
    QFETCH(int, pulledIn);

    FakeDispenserService &fake = m_rig->fakeDispenser();
    if (place == "mouth") {
        fake.placeInMouth(FakeCard::blank("M1"));
        WAIT_VERIFY(m_rig->dispenser.cardInMouth());
    } else if (place == "reader") {
        fake.placeInRfid(FakeCard::blank("R1"));
        WAIT_VERIFY(m_rig->dispenser.cardInRfid());
    } else if (place == "given out") {
        fake.placeInRfid(FakeCard::blank("G1"));
        WAIT_VERIFY(m_rig->dispenser.cardInRfid());
        DeferredProbe<Result> ejected(m_rig->issuer.eject());
        QVERIFY(ejected.waitSettled());
        QVERIFY(ejected.resolved());
        WAIT_VERIFY(!m_rig->issuer.busy());
    }

    LogCapture log;
    QStringList order;
    QSignalSpy preparedSignal(&m_rig->issuer, &CardIssuer::cardPrepared);
    connect(&m_rig->issuer, &CardIssuer::cardPrepared, this, [&order] { order << "signal"; });
    QSignalSpy settled(&m_rig->issuer, &CardIssuer::settled);
    Deferred<Result> deferred = m_rig->issuer.prepareCard();
    deferred.done([&order](Result) { order << "done"; });
    QVERIFY(m_rig->issuer.busy()); // until the card is read
    DeferredProbe<Result> prepared(deferred);
    QVERIFY(prepared.waitSettled());
    QVERIFY2(prepared.resolved(), qPrintable(prepared.value().error));
    QVERIFY(!m_rig->issuer.busy());
    WAIT_COMPARE(settled.count(), 1);

    const Tag::Ptr card = prepared.value().card;
    QVERIFY(card);
    QCOMPARE(card->uid(), uid);
    QCOMPARE(prepared.value().error, QString());
    QCOMPARE(m_rig->issuer.currCard(), card);
    QCOMPARE(order, QStringList({"done", "signal"}));
    QCOMPARE(preparedSignal.count(), 1);
    QCOMPARE(preparedSignal.at(0).at(0).value<Tag::Ptr>(), card);

    // The card rests on the reader, which is off again.
    QCOMPARE(fake.count("issue"), dispensed);
    QCOMPARE(fake.count("accept"), pulledIn);
    QCOMPARE(fake.cardInRfid()->uid, uid);
    if (place == "given out")
        QCOMPARE(fake.cardInMouth()->uid, QString("G1"));
    QCOMPARE(m_rig->fakeRfid().count("enable"), 1);
    QCOMPARE(m_rig->fakeRfid().requests("enable").at(0).body, QJsonObject({{"autoread", false}}));
    QCOMPARE(m_rig->fakeRfid().count("disable"), 1);
    WAIT_COMPARE(m_rig->rfid.state(), manager::RFID::Idle);
    QCOMPARE(m_rig->issuer.reason(), QString("Card on RFID"));
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Card found : " + uid), 1);
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] RFID disabled"), 1);
    QCOMPARE(log.count(QtCriticalMsg, "[CardIssuer] "), 0);
}

// A card the reader already reports is taken as it is: only the field is switched off.
void TestCardIssuerIssue::prepareWithTheReaderHoldingTheCard()
{
    m_rig->fakeDispenser().placeInRfid(FakeCard::blank("R1"));
    WAIT_VERIFY(m_rig->dispenser.cardInRfid());
    DeferredProbe<manager::RFID::Result> searching(m_rig->rfid.enable(false));
    WAIT_COMPARE(m_rig->rfid.state(), manager::RFID::CardFound);
    WAIT_VERIFY(m_rig->rfid.activeCard());
    m_rig->fakeRfid().clearRequests();

    LogCapture log;
    const Tag::Ptr card = prepare();
    QVERIFY(card);
    QCOMPARE(card->uid(), QString("R1"));
    QCOMPARE(m_rig->fakeRfid().count("enable"), 0);
    QCOMPARE(m_rig->fakeRfid().count("disable"), 1);
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Card already present : R1"), 1);
}

void TestCardIssuerIssue::dispenseRefusals_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("error"); // empty: prepared

    QTest::newRow("14 counts as dispensed") << 14 << "Card already in RFID position" << "";
    QTest::newRow("cartridge empty") << 3 << "Cartridge empty" << "Issue failed : Cartridge empty";
    QTest::newRow("jam") << 5 << "Card jam" << "Issue failed : Card jam";
}

void TestCardIssuerIssue::dispenseRefusals()
{
    QFETCH(int, code);
    QFETCH(QString, description);
    QFETCH(QString, error);

    m_rig->fakeDispenser().refuse("issue", code, description, 1);
    m_rig->fakeRfid().setCardInField(FakeCard::blank("F1")); // found if it comes to reading
    QSignalSpy settled(&m_rig->issuer, &CardIssuer::settled);
    DeferredProbe<Result> prepared(m_rig->issuer.prepareCard());
    QVERIFY(m_rig->issuer.busy());
    QVERIFY(prepared.waitSettled());
    QCOMPARE(prepared.value().error, error);
    // Ended, however it went.
    QVERIFY(!m_rig->issuer.busy());
    WAIT_COMPARE(settled.count(), 1);
    if (error.isEmpty()) {
        QVERIFY(prepared.resolved());
        QCOMPARE(prepared.value().card->uid(), QString("F1"));
    } else {
        QVERIFY(prepared.rejected());
        QVERIFY(prepared.value().card.isNull());
    }
    // A card that never came is neither read nor disposed.
    QVERIFY(m_rig->requestsHandled(m_rig->fakeDispenser()));
    QVERIFY(m_rig->requestsHandled(m_rig->fakeRfid()));
    QCOMPARE(m_rig->fakeDispenser().count("dispose"), 0);
    QCOMPARE(m_rig->fakeRfid().count("enable"), error.isEmpty() ? 1 : 0);
    QCOMPARE(m_rig->issuer.failCount(), 0);
}

void TestCardIssuerIssue::failedUidReadDisposes_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("error");

    QTest::newRow("card not found") << "undetectable" << "Failed to find card : Timeout";
    QTest::newRow("reader refuses to search") << "enable" << "RFID enable failed : Field fault";
    QTest::newRow("reader refuses to stop") << "disable" << "RFID disable failed : Reader busy";
}

void TestCardIssuerIssue::failedUidReadDisposes()
{
    QFETCH(QString, fault);
    QFETCH(QString, error);

    if (fault == "undetectable") {
        auto card = FakeCard::blank("U1");
        card->detectable = false;
        m_rig->fakeDispenser().loadCartridge({card, FakeCard::blank("C0002")});
    } else if (fault == "enable") {
        m_rig->fakeRfid().refuse("enable", 7, "Field fault", 1);
    } else {
        m_rig->fakeRfid().refuse("disable", 8, "Reader busy", 1);
    }

    LogCapture log;
    QSignalSpy disposed(&m_rig->issuer, &CardIssuer::cardDisposed);
    int disposalsWhenRejected = -1;
    Deferred<Result> deferred = m_rig->issuer.prepareCard();
    deferred.fail([&](Result) { disposalsWhenRejected = m_rig->fakeDispenser().count("dispose"); });
    DeferredProbe<Result> prepared(deferred);
    QVERIFY(prepared.waitSettled());
    QVERIFY(prepared.rejected());
    QCOMPARE(prepared.value().error, error);
    QVERIFY(prepared.value().card.isNull());

    // The rejection waits for the disposal's answer.
    QCOMPARE(disposalsWhenRejected, 1);
    QCOMPARE(m_rig->issuer.failCount(), 1);
    WAIT_COMPARE(disposed.count(), 1);
    QCOMPARE(m_rig->fakeDispenser().bin().size(), 1);
    QVERIFY(m_rig->issuer.currCard().isNull());
    QCOMPARE(log.texts(QtCriticalMsg), QStringList({"[CardIssuer] ERROR: " + error}));
}

void TestCardIssuerIssue::issueCreatesAndWrites()
{
    const Tag::Ptr prepared = prepare();
    QVERIFY(prepared);
    QCOMPARE(prepared->uid(), QString("C0001"));
    m_rig->fakeDispenser().clearRequests();
    m_rig->fakeRfid().clearRequests();

    LogCapture log;
    DeferredProbe<Result> issued(m_rig->issuer.issueCard(IssuerRig::vehicleCard(12)));
    QVERIFY(issued.waitSettled());
    QVERIFY2(issued.resolved(), qPrintable(issued.value().error));

    const auto written = issued.value().card.dynamicCast<RUDIv1Card>();
    QVERIFY(written);
    QCOMPARE(written->uid(), QString("C0001"));
    QCOMPARE(written->customsId(), 12);
    QCOMPARE(written->status(), QString("active"));
    QCOMPARE(m_rig->issuer.currCard(), issued.value().card);

    // The card itself now carries the template and the data.
    const FakeCard::Ptr onReader = m_rig->fakeDispenser().cardInRfid();
    QCOMPARE(onReader->uid, QString("C0001"));
    QCOMPARE(onReader->templateName, QString("RUDIv1"));
    QCOMPARE(onReader->data["info"].toObject()["customsId"].toInt(), 12);
    QCOMPARE(onReader->data["usageCounter"].toInt(), 1);
    QCOMPARE(onReader->usageLog().size(), 1);
    QCOMPARE(onReader->usageLog().at(0).toObject()["type"].toString(), QString("entry"));
    QCOMPARE(onReader->usageLog().at(0).toObject()["deviceId"].toString(), QString("SN-1"));

    QStringList commands;
    for (const FakeService::Request &request : m_rig->fakeRfid().requests())
        commands << request.command;
    QCOMPARE(commands, QStringList({"enable", "card/create", "card/write", "disable"}));
    QCOMPARE(m_rig->fakeRfid().requests("card/create").at(0).body, QJsonObject({{"template", "RUDIv1"}}));
    QCOMPARE(m_rig->fakeDispenser().requests().size(), 0); // nothing dispensed, nothing disposed
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Card present. Creating."), 1);
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Creating card : RUDIv1"), 1);
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Card written successfully : C0001"), 1);
    WAIT_COMPARE(m_rig->rfid.state(), manager::RFID::Idle);
}

void TestCardIssuerIssue::issuePreparesWhenNoCardIsHeld()
{
    LogCapture log;
    QSignalSpy prepared(&m_rig->issuer, &CardIssuer::cardPrepared);
    DeferredProbe<Result> issued(m_rig->issuer.issueCard(IssuerRig::vehicleCard()));
    QVERIFY(issued.waitSettled());
    QVERIFY2(issued.resolved(), qPrintable(issued.value().error));
    QCOMPARE(issued.value().card->uid(), QString("C0001"));
    QCOMPARE(prepared.count(), 1);
    QCOMPARE(m_rig->fakeDispenser().count("issue"), 1);
    QCOMPARE(m_rig->fakeDispenser().cardInRfid()->templateName, QString("RUDIv1"));
    QCOMPARE(log.count(QtWarningMsg, "[CardIssuer] WARN: Card not present. Preparing."), 1);
}

void TestCardIssuerIssue::failedIssueDisposesOnce_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("error");

    QTest::newRow("reader refuses to search") << "enable" << "RFID enable failed : Field fault";
    QTest::newRow("card not found") << "undetectable" << "Card search failed : Timeout";
    QTest::newRow("template not created") << "card/create" << "Create card failed : Create failed";
    QTest::newRow("data not written") << "card/write" << "Write card failed : Write failed";
}

void TestCardIssuerIssue::failedIssueDisposesOnce()
{
    QFETCH(QString, fault);
    QFETCH(QString, error);

    const Tag::Ptr card = prepare();
    QVERIFY(card);
    if (fault == "enable")
        m_rig->fakeRfid().refuse("enable", 7, "Field fault", 1);
    else if (fault == "undetectable")
        m_rig->fakeDispenser().cardInRfid()->detectable = false;
    else
        m_rig->fakeRfid().refuse(fault, 4, fault == "card/create" ? "Create failed" : "Write failed", 1);

    QSignalSpy disposed(&m_rig->issuer, &CardIssuer::cardDisposed);
    DeferredProbe<Result> issued(m_rig->issuer.issueCard(IssuerRig::vehicleCard()));
    QVERIFY(issued.waitSettled());
    QVERIFY(issued.rejected());
    QCOMPARE(issued.value().error, error);
    QVERIFY(issued.value().card.isNull());

    WAIT_COMPARE(disposed.count(), 1);
    QCOMPARE(disposed.at(0).at(0).value<Tag::Ptr>()->uid(), card->uid());
    QVERIFY(m_rig->requestsHandled(m_rig->fakeDispenser()));
    QCOMPARE(m_rig->fakeDispenser().count("dispose"), 1);
    QCOMPARE(m_rig->fakeDispenser().bin().size(), 1);
    QCOMPARE(m_rig->issuer.failCount(), 1);
    // The reader is left as the failure found it: no second disable.
    QCOMPARE(m_rig->fakeRfid().count("disable"), 1);
}

// Without a held card the issue prepares one; whatever the preparation did
// with a card is all that happens to it.
void TestCardIssuerIssue::failedPreparationInIssue_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("disposals");

    QTest::newRow("issuer in error") << "empty" << "No more cards" << 0;
    QTest::newRow("dispense refused") << "dispense" << "Issue failed : Card jam" << 0;
    QTest::newRow("uid not read") << "undetectable" << "Failed to find card : Timeout" << 1;
}

void TestCardIssuerIssue::failedPreparationInIssue()
{
    QFETCH(QString, fault);
    QFETCH(QString, error);
    QFETCH(int, disposals);

    if (fault == "empty") {
        m_rig->fakeDispenser().loadCartridge(0);
        WAIT_COMPARE(m_rig->issuer.state(), CardIssuer::Error);
    } else if (fault == "dispense") {
        m_rig->fakeDispenser().refuse("issue", 5, "Card jam", 1);
    } else {
        auto card = FakeCard::blank("U1");
        card->detectable = false;
        m_rig->fakeDispenser().loadCartridge({card, FakeCard::blank("C0002")});
    }

    DeferredProbe<Result> issued(m_rig->issuer.issueCard(IssuerRig::vehicleCard()));
    QVERIFY(issued.waitSettled());
    QVERIFY(issued.rejected());
    QCOMPARE(issued.value().error, error);

    QVERIFY(m_rig->requestsHandled(m_rig->fakeDispenser()));
    QCOMPARE(m_rig->fakeDispenser().count("dispose"), disposals);
    QCOMPARE(m_rig->fakeDispenser().bin().size(), disposals);
    QCOMPARE(m_rig->issuer.failCount(), disposals);
    QCOMPARE(m_rig->fakeRfid().count("card/create"), 0);
}

void TestCardIssuerIssue::disableAfterWriteOnlyWarns_data()
{
    QTest::addColumn<bool>("issue"); // else a plain write
    QTest::newRow("issue") << true;
    QTest::newRow("write") << false;
}

// Once the card carries its data the operation has done its work.
void TestCardIssuerIssue::disableAfterWriteOnlyWarns()
{
    QFETCH(bool, issue);

    Deferred<Result> deferred;
    if (issue) {
        QVERIFY(prepare());
        m_rig->fakeRfid().refuse("disable", 8, "Reader busy", 1);
        deferred = m_rig->issuer.issueCard(IssuerRig::vehicleCard());
    } else {
        m_rig->fakeDispenser().placeInRfid(FakeCard::rudi("R5", 3));
        WAIT_VERIFY(m_rig->dispenser.cardInRfid());
        DeferredProbe<manager::RFID::Result> searching(m_rig->rfid.enable(false));
        WAIT_COMPARE(m_rig->rfid.state(), manager::RFID::CardFound);
        m_rig->fakeRfid().refuse("disable", 8, "Reader busy", 1);
        deferred = m_rig->issuer.writeCard(IssuerRig::vehicleCard(3));
    }

    LogCapture log;
    DeferredProbe<Result> written(deferred);
    QVERIFY(written.waitSettled());
    QVERIFY2(written.resolved(), qPrintable(written.value().error));
    QVERIFY(written.value().card);
    QCOMPARE(m_rig->issuer.currCard(), written.value().card);
    QCOMPARE(log.count(QtWarningMsg, "[CardIssuer] WARN: RFID disable failed : Reader busy"), 1);
    QCOMPARE(log.count(QtCriticalMsg, "[CardIssuer] "), 0);
    QCOMPARE(m_rig->fakeDispenser().count("dispose"), 0);
}

void TestCardIssuerIssue::silentReaderBinsNothing_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("onReader"); // the card at the reader after it, "" for none
    QTest::addColumn<bool>("asked");       // whether the reader was asked anything

    QTest::newRow("preparation, no answer to the search")
        << "prepare" << "enable" << "RFID enable failed : Timeout" << "C0001" << true;
    // An issuer that cannot serve moves no card and asks the reader nothing.
    QTest::newRow("preparation, reader updating") << "prepare" << "updating" << "RFID updating" << "" << false;
    QTest::newRow("preparation, reader refusing while it updates")
        << "prepare" << "updating, refusing" << "RFID updating" << "" << false;
    // A refusal from a reader that has just started updating says nothing against the card.
    QTest::newRow("preparation, the update starts at the search")
        << "prepare" << "update on enable" << "RFID enable failed : Firmware update in progress" << "C0001" << true;
    QTest::newRow("preparation, no answer to the switch-off")
        << "prepare" << "disable" << "RFID disable failed : Timeout" << "C0001" << true;
    QTest::newRow("issue, no answer to the search") << "issue" << "enable" << "RFID enable failed : Timeout" << "C0001"
                                                    << true;
    QTest::newRow("issue, reader updating") << "issue" << "updating, refusing" << "RFID updating" << "C0001" << false;
    QTest::newRow("issue, the update starts at the write")
        << "issue" << "update on card/write" << "Write card failed : Firmware update in progress" << "C0001" << true;
    QTest::newRow("issue, no answer to the write") << "issue" << "card/write" << "Write card failed : Timeout"
                                                   << "C0001" << true;
}

// A reader that does not answer, or refuses because it updates, is a reader fault, not a bad
// card: the card stays where it is and counts as no failure, where a card the reader searched and
// did not see, or refused, is binned. An issuer that already knows it cannot serve moves nothing.
void TestCardIssuerIssue::silentReaderBinsNothing()
{
    QFETCH(QString, operation);
    QFETCH(QString, fault);
    QFETCH(QString, error);
    QFETCH(QString, onReader);
    QFETCH(bool, asked);

    if (operation == "issue")
        QVERIFY(prepare());
    FakeRfidService &fakeRfid = m_rig->fakeRfid();
    fakeRfid.setRefusesWhileUpdating(fault.contains("refusing") || fault.startsWith("update on "));
    if (fault.startsWith("updating")) {
        fakeRfid.setState(FakeRfidService::Updating);
        WAIT_COMPARE(m_rig->issuer.reason(), QString("RFID updating"));
    } else if (fault.startsWith("update on ")) {
        fakeRfid.updateOnNext(fault.mid(10));
    } else {
        fakeRfid.silence(fault, 1);
    }
    fakeRfid.clearRequests();
    const int dispensed = m_rig->fakeDispenser().count("issue");

    QSignalSpy disposed(&m_rig->issuer, &CardIssuer::cardDisposed);
    DeferredProbe<Result> result(operation == "issue" ? m_rig->issuer.issueCard(IssuerRig::vehicleCard())
                                                      : m_rig->issuer.prepareCard());
    QVERIFY(result.waitSettled(10000));
    QVERIFY(result.rejected());
    QCOMPARE(result.value().error, error);

    QVERIFY(m_rig->requestsHandled(m_rig->fakeDispenser()));
    QCOMPARE(m_rig->fakeDispenser().count("dispose"), 0);
    QVERIFY(m_rig->fakeDispenser().bin().isEmpty());
    QCOMPARE(disposed.count(), 0);
    QCOMPARE(m_rig->issuer.failCount(), 0);
    const FakeCard::Ptr atReader = m_rig->fakeDispenser().cardInRfid();
    QCOMPARE(atReader ? atReader->uid : QString(), onReader);
    QCOMPARE(!readerCommands().isEmpty(), asked);
    if (!asked)
        QCOMPARE(m_rig->fakeDispenser().count("issue"), dispensed);
}

void TestCardIssuerIssue::silentReaderTakesTheIssuerOutOfService_data()
{
    QTest::addColumn<QString>("heard"); // how the reader is heard again

    QTest::newRow("its service back online") << "online";
    QTest::newRow("its update ended") << "update";
    QTest::newRow("the periodic re-check") << "re-check";
}

// A reader whose service stays up but answers nothing bins no card, yet after a few faults in a
// row the issuer cannot serve: "RFID not answering" until the reader is heard again. Heard once,
// it is on trial: the next fault takes it out again at once.
void TestCardIssuerIssue::silentReaderTakesTheIssuerOutOfService()
{
    QFETCH(QString, heard);

    CardIssuer &issuer = m_rig->issuer;
    FakeRfidService &fakeRfid = m_rig->fakeRfid();
    fakeRfid.silence("enable"); // the re-check gets no answer either
    for (int i = 0; i < 4; ++i) {
        QVERIFY(issuer.state() != CardIssuer::Error); // Busy from the second on: the card stays at the reader
        DeferredProbe<Result> prepared(issuer.prepareCard());
        QVERIFY(prepared.waitSettled(10000));
        QCOMPARE(prepared.value().error, QString("RFID enable failed : Timeout"));
    }
    QCOMPARE(issuer.state(), CardIssuer::Error);
    QCOMPARE(issuer.reason(), QString("RFID not answering"));
    QCOMPARE(issuer.failCount(), 0);
    QVERIFY(m_rig->fakeDispenser().bin().isEmpty());
    QCOMPARE(m_rig->fakeDispenser().count("issue"), 1);

    // Refused at once, the reader not asked.
    fakeRfid.clearRequests();
    DeferredProbe<Result> refused(issuer.prepareCard());
    QVERIFY(refused.waitSettled(1000));
    QCOMPARE(refused.value().error, QString("RFID not answering"));
    QCOMPARE(readerCommands().count("enable"), 0);

    if (heard == "online") {
        fakeRfid.setServiceOnline(false);
        WAIT_COMPARE(issuer.reason(), QString("RFID error"));
        fakeRfid.setServiceOnline(true);
    } else if (heard == "update") {
        fakeRfid.setState(FakeRfidService::Updating);
        WAIT_COMPARE(issuer.reason(), QString("RFID updating"));
        fakeRfid.setState(FakeRfidService::Idle);
    } else {
        // A re-check that gets no answer changes nothing.
        QTest::qWait(CardIssuer::ReaderRecheckMs + 3500);
        QCOMPARE(issuer.reason(), QString("RFID not answering"));
        fakeRfid.clearFailures();
    }
    WAIT_VERIFY_WITH_TIMEOUT(issuer.state() == CardIssuer::Busy, 20000); // the card left at the reader
    QCOMPARE(issuer.reason(), QString("Card on RFID"));
    fakeRfid.clearFailures();

    fakeRfid.silence("enable", 1);
    DeferredProbe<Result> again(issuer.prepareCard());
    QVERIFY(again.waitSettled(10000));
    QCOMPARE(issuer.reason(), QString("RFID not answering"));

    // A reader that works again serves again.
    WAIT_VERIFY_WITH_TIMEOUT(issuer.reason() == "Card on RFID", 20000);
    QVERIFY(prepare());
    QVERIFY(m_rig->fakeDispenser().bin().isEmpty());
    QCOMPARE(issuer.failCount(), 0);
}

void TestCardIssuerIssue::readerFaultsCountOnlyInARow_data()
{
    QTest::addColumn<bool>("detectable"); // the card at the reader between the faults
    QTest::addColumn<QString>("error");   // of the preparation the reader answered

    QTest::newRow("card found") << true << "";
    QTest::newRow("reader searched, card not found") << false << "Failed to find card : Timeout";
}

// A reader that answered and searched has worked, whatever the card: faults before it are not in
// a row with the next one, and one more silence leaves the issuer serving.
void TestCardIssuerIssue::readerFaultsCountOnlyInARow()
{
    QFETCH(bool, detectable);
    QFETCH(QString, error);

    CardIssuer &issuer = m_rig->issuer;
    auto first = FakeCard::blank("U1");
    first->detectable = detectable;
    m_rig->fakeDispenser().loadCartridge({first, FakeCard::blank("C0002"), FakeCard::blank("C0003")});
    m_rig->fakeRfid().silence("enable", CardIssuer::ReaderFaultLimit - 1);
    for (int i = 1; i < CardIssuer::ReaderFaultLimit; ++i) {
        DeferredProbe<Result> prepared(issuer.prepareCard());
        QVERIFY(prepared.waitSettled(10000));
        QCOMPARE(prepared.value().error, QString("RFID enable failed : Timeout"));
    }
    QCOMPARE(issuer.readerFaults(), CardIssuer::ReaderFaultLimit - 1);

    DeferredProbe<Result> answered(issuer.prepareCard());
    QVERIFY(answered.waitSettled(10000));
    QCOMPARE(answered.value().error, error);
    QCOMPARE(issuer.readerFaults(), 0);

    m_rig->fakeRfid().silence("enable", 1);
    DeferredProbe<Result> silent(issuer.prepareCard());
    QVERIFY(silent.waitSettled(10000));
    QVERIFY(issuer.canServe());
    QVERIFY(m_rig->fakeDispenser().bin().size() == (detectable ? 0 : 1));
}

void TestCardIssuerIssue::oneCardOperationAtATime_data()
{
    QTest::addColumn<QString>("first");  // under way
    QTest::addColumn<QString>("second"); // asked meanwhile
    QTest::addColumn<QStringList>("reader"); // the reader's requests, in order

    QTest::newRow("issue asked while a preparation reads")
        << "prepare" << "issue" << QStringList{"enable", "disable", "enable", "card/create", "card/write", "disable"};
    QTest::newRow("preparation asked while an issue writes")
        << "issue" << "prepare" << QStringList{"enable", "card/create", "card/write", "disable", "enable", "disable"};
    QTest::newRow("preparation asked while a card is presented") << "present" << "prepare"
                                                                  << QStringList{"enable", "disable"};
}

// Card operations never run beside each other: the field is not switched off under a write, a
// presented card is not pulled back from the driver. The second starts once the first has ended.
void TestCardIssuerIssue::oneCardOperationAtATime()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QStringList, reader);

    QVERIFY(prepare());
    CardIssuer &issuer = m_rig->issuer;
    FakeRfidService &fakeRfid = m_rig->fakeRfid();
    FakeDispenserService &fakeDispenser = m_rig->fakeDispenser();
    if (first == "present") {
        DeferredProbe<Result> issued(issuer.issueCard(IssuerRig::vehicleCard()));
        QVERIFY(issued.waitSettled());
        QVERIFY(issued.resolved());
    }
    fakeRfid.clearRequests();
    fakeDispenser.clearRequests();
    QSignalSpy settled(&issuer, &CardIssuer::settled);

    // Each slow step is answered well within its time limit.
    std::unique_ptr<DeferredProbe<Result>> firstDone;
    if (first == "prepare") {
        fakeRfid.delay("disable", 1000, 1);
        fakeRfid.delay("card/write", 1500, 1);
        firstDone = std::make_unique<DeferredProbe<Result>>(issuer.prepareCard());
        QVERIFY(waitUntil([&] { return fakeRfid.count("disable") == 1; }));
    } else if (first == "issue") {
        fakeRfid.delay("card/write", 1500, 1);
        firstDone = std::make_unique<DeferredProbe<Result>>(issuer.issueCard(IssuerRig::vehicleCard()));
        QVERIFY(waitUntil([&] { return fakeRfid.count("card/write") == 1; }));
    } else {
        firstDone = std::make_unique<DeferredProbe<Result>>(issuer.presentCard(30));
        QVERIFY(waitUntil([&] { return !fakeDispenser.cardInMouth().isNull(); }));
        QVERIFY(waitUntil([&] { return issuer.state() == CardIssuer::Busy && issuer.reason() == "Card in Mouth"; }));
    }
    QVERIFY(issuer.busy());
    DeferredProbe<Result> secondDone(second == "issue" ? issuer.issueCard(IssuerRig::vehicleCard())
                                                       : issuer.prepareCard());
    if (first == "present") {
        // The driver takes the card a moment later; nothing reached for it before.
        QTest::qWait(300);
        QCOMPARE(fakeDispenser.count("accept"), 0);
        QVERIFY(fakeDispenser.driverTakeCard());
    }

    QVERIFY(firstDone->waitSettled(10000));
    QVERIFY2(firstDone->resolved(), qPrintable(firstDone->value().error));
    QVERIFY(secondDone.waitSettled(10000));
    QVERIFY2(secondDone.resolved(), qPrintable(secondDone.value().error));
    QVERIFY(!issuer.busy());
    WAIT_COMPARE(settled.count(), 1);
    QCOMPARE(readerCommands(), reader);
    QCOMPARE(fakeDispenser.count("dispose"), 0);
    QCOMPARE(fakeDispenser.count("accept"), 0);
    QCOMPARE(issuer.failCount(), 0);
    if (second == "issue") {
        QCOMPARE(secondDone.value().card->uid(), QString("C0001"));
        QCOMPARE(fakeDispenser.cardInRfid()->templateName, QString("RUDIv1"));
    } else {
        // The card at the reader when the preparation came to it.
        QCOMPARE(secondDone.value().card->uid(), QString(first == "present" ? "C0002" : "C0001"));
    }
}

QTEST_MAIN(TestCardIssuerIssue)
#include "tst_cardissuer_issue.moc"
