#include "IssuerRig.h"

#include "fakes/LogCapture.h"

#include <QJsonArray>

using manager::CardIssuer;
using Result = CardIssuer::Result;

class TestCardIssuerAccept : public IssuerTestCase
{
    Q_OBJECT

private slots:
    void switchAcceptance_data();
    void switchAcceptance();
    void acceptCard_data();
    void acceptCard();
    void insertedCardIsRead();
    void unreadInsertedCardGoesBack_data();
    void unreadInsertedCardGoesBack();
    void returnCard();
    void returnCardFailures_data();
    void returnCardFailures();
    void collectCard_data();
    void collectCard();
    void waitInserted();

private:
    Card::Ptr insert(const FakeCard::Ptr &card);
};

// A driver puts the card in; returns the card the issuer announced.
Card::Ptr TestCardIssuerAccept::insert(const FakeCard::Ptr &card)
{
    QSignalSpy inserted(&m_rig->issuer, &CardIssuer::cardInserted);
    DeferredProbe<Result> enabled(m_rig->issuer.enableAccept());
    if (!enabled.waitSettled() || !enabled.resolved() || !m_rig->fakeDispenser().driverInsertCard(card))
        return {};
    if (!waitUntil([&inserted] { return inserted.count() == 1; }, 5000))
        return {};
    return inserted.at(0).at(0).value<Card::Ptr>();
}

void TestCardIssuerAccept::switchAcceptance_data()
{
    QTest::addColumn<bool>("enable");
    QTest::addColumn<bool>("refused");
    QTest::newRow("enable") << true << false;
    QTest::newRow("enable refused") << true << true;
    QTest::newRow("disable") << false << false;
    QTest::newRow("disable refused") << false << true;
}

void TestCardIssuerAccept::switchAcceptance()
{
    QFETCH(bool, enable);
    QFETCH(bool, refused);

    const QString command = enable ? "accept/enable" : "accept/disable";
    if (refused)
        m_rig->fakeDispenser().refuse(command, 7, "Dispenser not active");
    if (!enable)
        QVERIFY(DeferredProbe<Result>(m_rig->issuer.enableAccept()).waitSettled());

    LogCapture log;
    DeferredProbe<Result> switched(enable ? m_rig->issuer.enableAccept() : m_rig->issuer.disableAccept());
    QVERIFY(switched.waitSettled());
    QCOMPARE(switched.rejected(), refused);
    QCOMPARE(switched.value().error, refused ? QString("Dispenser not active") : QString());
    QVERIFY(switched.value().card.isNull());
    if (!refused)
        QCOMPARE(m_rig->fakeDispenser().acceptEnabled(), enable);
    QCOMPARE(log.count(QtInfoMsg, enable ? "[CardIssuer] Enabling automatic card acceptance"
                                         : "[CardIssuer] Disabling automatic card acceptance"), 1);
}

void TestCardIssuerAccept::acceptCard_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("error");

    QTest::newRow("card inserted") << "insert" << "";
    QTest::newRow("card already in the mouth") << "mouth" << "";
    QTest::newRow("nothing inserted") << "" << "Timeout";
    QTest::newRow("acceptance refused") << "refused" << "Cartridge door open";
}

void TestCardIssuerAccept::acceptCard()
{
    QFETCH(QString, situation);
    QFETCH(QString, error);

    if (situation == "mouth") {
        m_rig->fakeDispenser().placeInMouth(FakeCard::blank("M1"));
        WAIT_VERIFY(m_rig->dispenser.cardInMouth());
    } else if (situation == "refused") {
        m_rig->fakeDispenser().refuse("accept/enable", 6, "Cartridge door open");
    }

    DeferredProbe<Result> accepted(m_rig->issuer.acceptCard(1));
    if (situation == "insert") {
        WAIT_VERIFY(m_rig->fakeDispenser().acceptEnabled());
        QVERIFY(m_rig->fakeDispenser().driverInsertCard(FakeCard::rudi("D1", 12)));
    }
    QVERIFY(accepted.waitSettled());
    QCOMPARE(accepted.rejected(), !error.isEmpty());
    QCOMPARE(accepted.value().error, error);
    QCOMPARE(m_rig->fakeDispenser().count("accept/enable"), 1);
}

void TestCardIssuerAccept::insertedCardIsRead()
{
    LogCapture log;
    const Card::Ptr card = insert(FakeCard::rudi("D1", 12, "active", 3));
    QVERIFY(card);
    const auto rudi = card.dynamicCast<RUDIv1Card>();
    QVERIFY(rudi);
    QCOMPARE(rudi->uid(), QString("D1"));
    QCOMPARE(rudi->customsId(), 12);
    QCOMPARE(rudi->usageCounter(), 3);
    QCOMPARE(m_rig->issuer.currCard(), Tag::Ptr(card));

    QCOMPARE(m_rig->fakeRfid().requests("card/read").at(0).body,
             QJsonObject({{"template", "auto"}, {"usageLogs", 1}, {"topupLogs", 0}}));
    // The reader stays on for the write that follows.
    QCOMPARE(m_rig->fakeRfid().count("disable"), 0);
    QVERIFY(m_rig->rfid.active());
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Card inserted"), 1);
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Card read successfully : uid=D1 name=RUDIv1"), 1);
    QCOMPARE(m_rig->issuer.reason(), QString("Card on RFID"));
}

void TestCardIssuerAccept::unreadInsertedCardGoesBack_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("logged");

    QTest::newRow("card unreadable") << "unreadable" << "ERROR: Read card failed : Failed to read card : Card read failed";
    QTest::newRow("card not found") << "undetectable" << "ERROR: Read card failed : Failed to find card : Timeout";
    QTest::newRow("reader refuses") << "enable" << "ERROR: Read card failed : RFID enable failed : Field fault";
    QTest::newRow("unknown template") << "blank" << "ERROR: Invalid card : uid=<none>";
}

// A card the terminal cannot use is handed back, never kept unnoticed.
void TestCardIssuerAccept::unreadInsertedCardGoesBack()
{
    QFETCH(QString, fault);
    QFETCH(QString, logged);

    auto card = fault == "blank" ? FakeCard::blank("B1") : FakeCard::rudi("D1", 12);
    card->readable = fault != "unreadable";
    card->detectable = fault != "undetectable";
    if (fault == "enable")
        m_rig->fakeRfid().refuse("enable", 7, "Field fault", 1);

    LogCapture log;
    QSignalSpy inserted(&m_rig->issuer, &CardIssuer::cardInserted);
    QVERIFY(DeferredProbe<Result>(m_rig->issuer.enableAccept()).waitSettled());
    QVERIFY(m_rig->fakeDispenser().driverInsertCard(card));

    WAIT_COMPARE(m_rig->fakeDispenser().cardInMouth(), card);
    WAIT_COMPARE(m_rig->issuer.reason(), QString("Card in Mouth"));
    QCOMPARE(inserted.count(), 0);
    QCOMPARE(m_rig->fakeDispenser().count("eject"), 1);
    QVERIFY(log.contains(QtCriticalMsg, "[CardIssuer] " + logged));
    QCOMPARE(log.count(QtWarningMsg, "[CardIssuer] WARN: Returning unread card to the mouth"), 1);
}

void TestCardIssuerAccept::returnCard()
{
    const Card::Ptr card = insert(FakeCard::rudi("D1", 12, "active", 1));
    QVERIFY(card);
    const auto rudi = card.dynamicCast<RUDIv1Card>();
    rudi->addUsageLog("exit", "SN-2", "LOC-3");
    rudi->incrUsageCounter(1);

    QSignalSpy ejected(&m_rig->issuer, &CardIssuer::cardEjected);
    DeferredProbe<Result> returned(m_rig->issuer.returnCard(card));
    QVERIFY(returned.waitSettled());
    QVERIFY2(returned.resolved(), qPrintable(returned.value().error));
    QVERIFY(returned.value().card);
    QCOMPARE(returned.value().card->uid(), QString("D1"));
    QCOMPARE(returned.value().card, m_rig->issuer.currCard());
    QCOMPARE(ejected.count(), 1);

    // Written, switched off, and in the driver's reach; nobody waits for the driver.
    const FakeCard::Ptr inMouth = m_rig->fakeDispenser().cardInMouth();
    QVERIFY(inMouth);
    QCOMPARE(inMouth->uid, QString("D1"));
    QCOMPARE(inMouth->data["usageCounter"].toInt(), 2);
    QCOMPARE(inMouth->usageLog().last().toObject()["type"].toString(), QString("exit"));
    QCOMPARE(m_rig->fakeRfid().count("disable"), 1);

    QSignalSpy removed(&m_rig->issuer, &CardIssuer::cardRemoved);
    QVERIFY(m_rig->fakeDispenser().driverTakeCard());
    WAIT_COMPARE(removed.count(), 1);
    QVERIFY(m_rig->issuer.currCard().isNull());
}

void TestCardIssuerAccept::returnCardFailures_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("error");
    QTest::newRow("write refused") << "card/write" << "Write card failed : Refused";
    QTest::newRow("eject refused") << "eject" << "Failed to eject card : Refused";
}

void TestCardIssuerAccept::returnCardFailures()
{
    QFETCH(QString, command);
    QFETCH(QString, error);

    const Card::Ptr card = insert(FakeCard::rudi("D1", 12));
    QVERIFY(card);
    FakeService &service = command == "eject" ? static_cast<FakeService &>(m_rig->fakeDispenser())
                                              : static_cast<FakeService &>(m_rig->fakeRfid());
    service.refuse(command, 5, "Refused");

    DeferredProbe<Result> returned(m_rig->issuer.returnCard(card));
    QVERIFY(returned.waitSettled());
    QVERIFY(returned.rejected());
    QCOMPARE(returned.value().error, error);
    QVERIFY(m_rig->requestsHandled(m_rig->fakeDispenser()));
    QCOMPARE(m_rig->fakeDispenser().count("eject"), command == "eject" ? 1 : 0);
    QCOMPARE(m_rig->fakeDispenser().cardInRfid()->uid, QString("D1"));
}

void TestCardIssuerAccept::collectCard_data()
{
    QTest::addColumn<QString>("refusedService");
    QTest::addColumn<QString>("error");
    QTest::newRow("collected") << "" << "";
    QTest::newRow("dispose refused") << "dispenser" << "Bin full";
    QTest::newRow("reader refuses to stop") << "reader" << "RFID disable failed : Bin full";
}

void TestCardIssuerAccept::collectCard()
{
    QFETCH(QString, refusedService);
    QFETCH(QString, error);

    QVERIFY(insert(FakeCard::rudi("D1", 12)));
    if (refusedService == "dispenser")
        m_rig->fakeDispenser().refuse("dispose", 9, "Bin full");
    else if (refusedService == "reader")
        m_rig->fakeRfid().refuse("disable", 9, "Bin full");

    LogCapture log;
    DeferredProbe<Result> collected(m_rig->issuer.collectCard());
    QVERIFY(collected.waitSettled());
    QCOMPARE(collected.rejected(), !error.isEmpty());
    QCOMPARE(collected.value().error, error);
    QCOMPARE(m_rig->fakeDispenser().bin().size(), refusedService == "dispenser" ? 0 : 1);
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Collecting card : uid=D1"), 1);
    QCOMPARE(m_rig->issuer.failCount(), 0);
}

void TestCardIssuerAccept::waitInserted()
{
    QVERIFY(DeferredProbe<Result>(m_rig->issuer.enableAccept()).waitSettled());
    DeferredProbe<Result> waiting(m_rig->issuer.waitInserted(5));
    QVERIFY(m_rig->fakeDispenser().driverInsertCard(FakeCard::rudi("D1", 12)));
    QVERIFY(waiting.waitSettled());
    QVERIFY(waiting.resolved());
    QCOMPARE(waiting.value().card->uid(), QString("D1"));

    DeferredProbe<Result> timedOut(m_rig->issuer.waitInserted(1));
    QVERIFY(timedOut.waitSettled());
    QVERIFY(timedOut.rejected());
    QCOMPARE(timedOut.value().error, QString("Timeout"));
}

QTEST_MAIN(TestCardIssuerAccept)
#include "tst_cardissuer_accept.moc"
