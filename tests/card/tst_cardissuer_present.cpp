#include "IssuerRig.h"

#include "fakes/LogCapture.h"

using manager::CardIssuer;
using Result = CardIssuer::Result;

class TestCardIssuerPresent : public IssuerTestCase
{
    Q_OBJECT

private slots:
    void presentedCardTaken();
    void presentedCardNotTaken_data();
    void presentedCardNotTaken();
    void ejectFailures_data();
    void ejectFailures();
    void sensorOvertakingTheReply_data();
    void sensorOvertakingTheReply();
    void retractFailures_data();
    void retractFailures();
    void dispose_data();
    void dispose();
    void disposalReportedBeforeTheReply();
    void waitCardInRfid();
};

void TestCardIssuerPresent::presentedCardTaken()
{
    const Tag::Ptr card = prepare();
    QVERIFY(card);

    LogCapture log;
    QSignalSpy ejected(&m_rig->issuer, &CardIssuer::cardEjected);
    QSignalSpy removed(&m_rig->issuer, &CardIssuer::cardRemoved);
    DeferredProbe<Result> presented(m_rig->issuer.presentCard(10));
    WAIT_COMPARE(ejected.count(), 1);
    QCOMPARE(ejected.at(0).at(0).value<Tag::Ptr>(), card);
    WAIT_COMPARE(m_rig->issuer.reason(), QString("Card in Mouth"));
    QVERIFY(!presented.settled());

    QVERIFY(m_rig->fakeDispenser().driverTakeCard());
    QVERIFY(presented.waitSettled());
    QVERIFY2(presented.resolved(), qPrintable(presented.value().error));
    QCOMPARE(presented.value().card, card);
    WAIT_COMPARE(removed.count(), 1);
    QCOMPARE(removed.at(0).at(0).value<Tag::Ptr>(), card);
    QVERIFY(m_rig->issuer.currCard().isNull());
    WAIT_COMPARE(m_rig->issuer.state(), CardIssuer::Ready);

    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Waiting for card to be collected (timeout=10 sec)"), 2);
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Card ejected successfully"), 1);
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Card collected successfully"), 1);
    QCOMPARE(m_rig->fakeDispenser().count("accept"), 0);
}

void TestCardIssuerPresent::presentedCardNotTaken_data()
{
    QTest::addColumn<bool>("retractRefused");
    QTest::addColumn<QString>("place"); // where the card ends
    QTest::addColumn<QStringList>("errors");

    QTest::newRow("pulled back") << false << "reader"
                                 << QStringList({"[CardIssuer] ERROR: Card not collected",
                                                 "[CardIssuer] ERROR: Card not collected"});
    QTest::newRow("pulling back fails") << true << "mouth"
                                        << QStringList({"[CardIssuer] ERROR: Accept failed : Mouth blocked",
                                                        "[CardIssuer] ERROR: Card not collected and card retract failed",
                                                        "[CardIssuer] ERROR: Card not collected"});
}

void TestCardIssuerPresent::presentedCardNotTaken()
{
    QFETCH(bool, retractRefused);
    QFETCH(QString, place);
    QFETCH(QStringList, errors);

    const Tag::Ptr card = prepare();
    QVERIFY(card);
    if (retractRefused)
        m_rig->fakeDispenser().refuse("accept", 13, "Mouth blocked");

    LogCapture log;
    QSignalSpy removed(&m_rig->issuer, &CardIssuer::cardRemoved);
    DeferredProbe<Result> presented(m_rig->issuer.presentCard(1));
    QVERIFY(presented.waitSettled(8000));
    QVERIFY(presented.rejected());
    QCOMPARE(presented.value().error, QString("Card not collected"));
    QVERIFY(presented.value().card.isNull());

    // The card stays the issuer's: the next preparation finds it in place.
    QCOMPARE(m_rig->issuer.currCard(), card);
    QCOMPARE(removed.count(), 0);
    const FakeCard::Ptr where = place == "reader" ? m_rig->fakeDispenser().cardInRfid() : m_rig->fakeDispenser().cardInMouth();
    QVERIFY(where);
    QCOMPARE(where->uid, card->uid());
    QCOMPARE(log.texts(QtCriticalMsg).filter("[CardIssuer]"), errors);
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Retracted card : " + card->uid()), retractRefused ? 0 : 1);
}

void TestCardIssuerPresent::ejectFailures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("error");

    QTest::newRow("eject refused") << "refused" << "Failed to eject card : Mouth occupied";
    QTest::newRow("mouth sensor never moves") << "frozen" << "Timeout waiting for mouth sensor";
}

void TestCardIssuerPresent::ejectFailures()
{
    QFETCH(QString, fault);
    QFETCH(QString, error);

    QVERIFY(prepare());
    if (fault == "refused")
        m_rig->fakeDispenser().placeInMouth(FakeCard::blank("M1"));
    else
        m_rig->fakeDispenser().setStatusFrozen(true);
    QVERIFY(m_rig->documentsSeen());

    LogCapture log;
    QSignalSpy ejected(&m_rig->issuer, &CardIssuer::cardEjected);
    DeferredProbe<Result> presented(m_rig->issuer.presentCard(10));
    QVERIFY(presented.waitSettled());
    QVERIFY(presented.rejected());
    QCOMPARE(presented.value().error, "Eject failed: " + error);
    QCOMPARE(ejected.count(), 0);
    QCOMPARE(log.texts(QtCriticalMsg).filter("[CardIssuer]"),
             QStringList({"[CardIssuer] ERROR: " + error, "[CardIssuer] ERROR: Eject failed: " + error}));
    QCOMPARE(log.count(QtInfoMsg, "Waiting for card to be collected (timeout=10 sec)"), 1);
}

void TestCardIssuerPresent::sensorOvertakingTheReply_data()
{
    QTest::addColumn<bool>("statusFirst");
    QTest::newRow("status after the reply") << false;
    QTest::newRow("status before the reply") << true;
}

// A dispenser may publish the moved sensor before it answers the move; the
// flag already in place confirms the move.
void TestCardIssuerPresent::sensorOvertakingTheReply()
{
    QFETCH(bool, statusFirst);

    const Tag::Ptr card = prepare();
    QVERIFY(card);
    m_rig->fakeDispenser().setStatusBeforeReply(statusFirst);

    QStringList order;
    connect(&m_rig->issuer, &CardIssuer::cardEjected, this, [&order] { order << "signal"; });
    Deferred<Result> ejecting = m_rig->issuer.eject();
    ejecting.done([&order](Result) { order << "done"; });
    DeferredProbe<Result> ejected(ejecting);
    QVERIFY(ejected.waitSettled());
    QVERIFY2(ejected.resolved(), qPrintable(ejected.value().error));
    QCOMPARE(ejected.value().card, card);
    QCOMPARE(order, QStringList({"done", "signal"}));

    DeferredProbe<Result> retracted(m_rig->issuer.retract());
    QVERIFY(retracted.waitSettled());
    QVERIFY2(retracted.resolved(), qPrintable(retracted.value().error));
    QVERIFY(retracted.value().card.isNull());
    QVERIFY(m_rig->dispenser.cardInRfid());
}

void TestCardIssuerPresent::retractFailures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("error");

    QTest::newRow("accept refused") << "refused" << "Accept failed : No card in mouth";
    QTest::newRow("reader sensor never moves") << "frozen" << "Retract timeout";
}

void TestCardIssuerPresent::retractFailures()
{
    QFETCH(QString, fault);
    QFETCH(QString, error);

    if (fault == "frozen") {
        m_rig->fakeDispenser().placeInMouth(FakeCard::blank("M1"));
        WAIT_VERIFY(m_rig->dispenser.cardInMouth());
        m_rig->fakeDispenser().setStatusFrozen(true);
    }
    DeferredProbe<Result> retracted(m_rig->issuer.retract());
    QVERIFY(retracted.waitSettled());
    QVERIFY(retracted.rejected());
    QCOMPARE(retracted.value().error, error);
}

void TestCardIssuerPresent::dispose_data()
{
    QTest::addColumn<bool>("test");
    QTest::addColumn<int>("failCount");
    QTest::newRow("failed card") << false << 1;
    QTest::newRow("test card") << true << 0;
}

void TestCardIssuerPresent::dispose()
{
    QFETCH(bool, test);
    QFETCH(int, failCount);

    const Tag::Ptr card = prepare();
    QVERIFY(card);
    LogCapture log;
    QSignalSpy disposed(&m_rig->issuer, &CardIssuer::cardDisposed);
    DeferredProbe<Result> disposal(m_rig->issuer.dispose(test));
    QVERIFY(disposal.waitSettled());
    QVERIFY(disposal.resolved());
    QVERIFY(disposal.value().card.isNull());
    QCOMPARE(m_rig->issuer.failCount(), failCount);
    QCOMPARE(m_rig->fakeDispenser().bin().size(), 1);
    WAIT_COMPARE(disposed.count(), 1);
    QCOMPARE(disposed.at(0).at(0).value<Tag::Ptr>(), card);
    QVERIFY(m_rig->issuer.currCard().isNull());
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Disposing card : C0001"), 1);
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Card disposed : C0001"), 1);

    // Nothing left to dispose: the refusal is the result.
    DeferredProbe<Result> refused(m_rig->issuer.dispose(test));
    QVERIFY(refused.waitSettled());
    QVERIFY(refused.rejected());
    QCOMPARE(refused.value().error, QString("Dispose failed : No card in RFID position"));
    QCOMPARE(m_rig->issuer.failCount(), failCount * 2);
}

void TestCardIssuerPresent::disposalReportedBeforeTheReply()
{
    QVERIFY(prepare());
    m_rig->fakeDispenser().setDisposedBeforeReply(true);
    LogCapture log;
    DeferredProbe<Result> disposal(m_rig->issuer.dispose(true));
    QVERIFY(disposal.waitSettled());
    QVERIFY(disposal.resolved());
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Card disposed : <none>"), 1);
}

void TestCardIssuerPresent::waitCardInRfid()
{
    // No card anywhere: the next move of the reader-position flag ends the wait.
    DeferredProbe<Result> waiting(m_rig->issuer.waitCardInRfid(5));
    QVERIFY(!waiting.settled());
    m_rig->fakeDispenser().placeInRfid(FakeCard::blank("R1"));
    QVERIFY(waiting.waitSettled());
    QVERIFY(waiting.resolved());

    DeferredProbe<Result> timedOut(m_rig->issuer.waitCardInRfid(1));
    QVERIFY(timedOut.waitSettled());
    QVERIFY(timedOut.rejected());
    QCOMPARE(timedOut.value().error, QString("Timeout"));

    // A card in the mouth ends it at once.
    m_rig->fakeDispenser().placeInMouth(FakeCard::blank("M1"));
    WAIT_VERIFY(m_rig->dispenser.cardInMouth());
    DeferredProbe<Result> atOnce(m_rig->issuer.waitCardInRfid(60));
    QVERIFY(atOnce.resolved());
}

QTEST_MAIN(TestCardIssuerPresent)
#include "tst_cardissuer_present.moc"
