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
};

void TestCardIssuerIssue::prepareCard_data()
{
    QTest::addColumn<QString>("place"); // where the card is before
    QTest::addColumn<QString>("uid");
    QTest::addColumn<int>("dispensed");
    QTest::addColumn<int>("pulledIn");

    QTest::newRow("from the stack") << "" << "C0001" << 1 << 0;
    QTest::newRow("in the mouth") << "mouth" << "M1" << 0 << 1;
    QTest::newRow("already on the reader") << "reader" << "R1" << 0 << 0;
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
    }

    LogCapture log;
    QStringList order;
    QSignalSpy preparedSignal(&m_rig->issuer, &CardIssuer::cardPrepared);
    connect(&m_rig->issuer, &CardIssuer::cardPrepared, this, [&order] { order << "signal"; });
    QSignalSpy settled(&m_rig->issuer, &CardIssuer::preparationSettled);
    Deferred<Result> deferred = m_rig->issuer.prepareCard();
    deferred.done([&order](Result) { order << "done"; });
    QVERIFY(m_rig->issuer.preparing()); // until the card is read
    DeferredProbe<Result> prepared(deferred);
    QVERIFY(prepared.waitSettled());
    QVERIFY2(prepared.resolved(), qPrintable(prepared.value().error));
    QVERIFY(!m_rig->issuer.preparing());
    QCOMPARE(settled.count(), 1);

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
    QSignalSpy settled(&m_rig->issuer, &CardIssuer::preparationSettled);
    DeferredProbe<Result> prepared(m_rig->issuer.prepareCard());
    QVERIFY(m_rig->issuer.preparing());
    QVERIFY(prepared.waitSettled());
    QCOMPARE(prepared.value().error, error);
    // Ended, however it went.
    QVERIFY(!m_rig->issuer.preparing());
    QCOMPARE(settled.count(), 1);
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

QTEST_MAIN(TestCardIssuerIssue)
#include "tst_cardissuer_issue.moc"
