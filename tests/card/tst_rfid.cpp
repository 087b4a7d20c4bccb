#include "CardRig.h"

#include "card/RFID.h"
#include "card/RUDIv1Card.h"
#include "fakes/LogCapture.h"

#include <QJsonArray>
#include <QJsonDocument>

using manager::RFID;

class TestRfid : public CardTestCase
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void identityFromInfo();
    void statusDocuments_data();
    void statusDocuments();
    void idleStatusClearsActiveCard();
    void cardFoundAndRemoved();
    void commandRequests();
    void commandReplies_data();
    void commandReplies();
    void successfulCommandReplacesActiveCard();
    void commandWithoutReplyTimesOut();
    void commandsWhileDisconnected();
    void waitCardFoundRefusedWhenFieldIsOff_data();
    void waitCardFoundRefusedWhenFieldIsOff();
    void waitCardFoundWhileSearching();
    void waitCardFoundNeverHandsOutNothing();
    void cardLifeOnTheFakeReader();
    void unreadableAndUndetectableCards();
    void autoread();
    void retainedEventsAreNoNews();
    void badPayloadsChangeNothing_data();
    void badPayloadsChangeNothing();
    void topicsThatOnlyContainTheBase();
    void beeps();

private:
    // Publishes a marker after whatever was sent before and waits until the
    // client has seen it: everything earlier has been handled by then.
    void sync();
    // A card in the field, reported found, with the given uid.
    Tag::Ptr makeActive(const QString &uid);

    CardRig *m_rig = nullptr;
    RFID *m_rfid = nullptr;
    int m_mark = 0;
};

void TestRfid::init()
{
    m_rig = new CardRig(m_broker.port());
    QVERIFY(m_rig->fakeRfid.start(m_broker.port()));
    m_rfid = new RFID(m_rig->mqtt, m_rig->rfidBase);
    QVERIFY(m_rig->connectClient());
    WAIT_COMPARE(m_rfid->state(), RFID::Idle);
    WAIT_COMPARE(m_rfid->model(), QString("FR-100"));
}

void TestRfid::cleanup()
{
    delete m_rfid;
    delete m_rig;
    m_rfid = nullptr;
    m_rig = nullptr;
}

void TestRfid::sync()
{
    const QString marker = QStringLiteral("sync-%1").arg(++m_mark);
    m_rig->fakeRfid.publish("/info", QJsonObject{{"device", QJsonObject{{"uid", "RDR-0001"}, {"manufacturer", "Fake Readers"},
                                                                       {"model", marker}, {"firmware", "2.1"}}},
                                                 {"service", QJsonObject{{"version", "3.0.0"}}}});
    WAIT_COMPARE(m_rfid->model(), marker);
}

Tag::Ptr TestRfid::makeActive(const QString &uid)
{
    m_rig->fakeRfid.publish("/card/found", QJsonObject{{"uid", uid}, {"type", 4}});
    if (!waitUntil([&] { return m_rfid->activeCard() && m_rfid->activeCard()->uid() == uid; }, 5000))
        return {};
    return m_rfid->activeCard();
}

void TestRfid::identityFromInfo()
{
    QCOMPARE(m_rfid->uid(), QString("RDR-0001"));
    QCOMPARE(m_rfid->manufacturer(), QString("Fake Readers"));
    QCOMPARE(m_rfid->firmware(), QString("2.1"));
    QCOMPARE(m_rfid->software(), QString("3.0.0"));

    QSignalSpy uid(m_rfid, &RFID::uidChanged);
    QSignalSpy model(m_rfid, &RFID::modelChanged);
    QSignalSpy software(m_rfid, &RFID::softwareChanged);
    m_rig->fakeRfid.publishInfo(); // the same again: nothing changes
    sync();
    QCOMPARE(uid.count(), 0);
    QCOMPARE(software.count(), 0);
    QCOMPARE(model.count(), 1); // the marker only

    // Wrong types read as empty texts, each named in a warning.
    LogCapture log;
    m_rig->fakeRfid.publishRaw("/info", R"({"device": {"uid": 5, "model": ["x"]}, "service": "1.0"})");
    WAIT_COMPARE(m_rfid->model(), QString());
    QCOMPARE(m_rfid->uid(), QString());
    QCOMPARE(m_rfid->software(), QString());
    const QString topic = m_rig->rfidBase + "/info";
    QCOMPARE(log.texts(QtWarningMsg).filter("[RFID] "),
             QStringList({"[RFID] WARN: Unexpected value of device.uid (topic=" + topic + ") : 5",
                          "[RFID] WARN: Unexpected value of device.model (topic=" + topic + ") : [\"x\"]",
                          "[RFID] WARN: Unexpected value of service (topic=" + topic + ") : \"1.0\""}));
}

void TestRfid::statusDocuments_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("active");
    QTest::addColumn<QString>("warning"); // value named in the warning, empty for none
    QTest::addColumn<QString>("stateName"); // as the state line shows it

    QTest::newRow("searching") << QByteArray(R"({"service": true, "device": {"state": 2}})") << 2 << "" << true << "" << "Searching";
    QTest::newRow("card found, error null") << QByteArray(R"({"service": true, "device": {"state": 3, "error": null}})") << 3 << "" << true << "" << "CardFound";
    QTest::newRow("updating") << QByteArray(R"({"service": true, "device": {"state": 4}})") << 4 << "" << false << "" << "Updating";
    QTest::newRow("reader error") << QByteArray(R"({"service": true, "device": {"state": 5, "error": "Antenna fault"}})") << 5 << "Antenna fault" << false << "" << "Error";
    QTest::newRow("unknown state") << QByteArray(R"({"service": true, "device": {"state": 9}})") << 9 << "" << false << "" << "Unknown";
    QTest::newRow("error not a text") << QByteArray(R"({"service": true, "device": {"state": 2, "error": 17}})") << 2 << "" << true << "device.error" << "Searching";
    QTest::newRow("state as text") << QByteArray(R"({"service": true, "device": {"state": "2"}})") << 0 << "" << false << "device.state" << "Init";
    QTest::newRow("no device") << QByteArray(R"({"service": true})") << 0 << "" << false << "" << "Init";
    QTest::newRow("offline") << QByteArray(R"({"service": false, "device": {"state": 2}})") << 5 << "Service is offline" << false << "" << "Error";
    QTest::newRow("no service flag") << QByteArray(R"({"device": {"state": 2}})") << 5 << "Service is offline" << false << "" << "Error";
    QTest::newRow("service flag as text") << QByteArray(R"({"service": "true", "device": {"state": 2}})") << 5 << "Service is offline" << false << "" << "Error";
    QTest::newRow("array") << QByteArray("[1, 2]") << 5 << "Service is offline" << false << "the document" << "Error";
    QTest::newRow("empty payload: cleared") << QByteArray() << 5 << "Service is offline" << false << "" << "Error";
}

void TestRfid::statusDocuments()
{
    QFETCH(QByteArray, status);
    QFETCH(int, state);
    QFETCH(QString, error);
    QFETCH(bool, active);
    QFETCH(QString, warning);
    QFETCH(QString, stateName);

    LogCapture log;
    QSignalSpy changed(m_rfid, &RFID::stateChanged);
    m_rig->fakeRfid.publishRaw("/status", status);
    sync();
    QCOMPARE(int(m_rfid->state()), state);
    QCOMPARE(m_rfid->error(), error);
    QCOMPARE(m_rfid->active(), active);
    QCOMPARE(changed.count(), state == RFID::Idle ? 0 : 1);
    QCOMPARE(log.count(QtInfoMsg, "[RFID] State changed : " + stateName), 1);
    // A value of the wrong type reads as the default, with a warning naming it.
    const QStringList warnings = log.texts(QtWarningMsg).filter("[RFID] WARN: Unexpected value of ");
    QCOMPARE(warnings.size(), warning.isEmpty() ? 0 : 1);
    if (!warning.isEmpty())
        QVERIFY2(warnings[0].startsWith(QString("[RFID] WARN: Unexpected value of %1 (topic=%2/status) : ").arg(warning, m_rig->rfidBase)),
                 qPrintable(warnings[0]));

    // The same document again changes nothing.
    m_rig->fakeRfid.publishRaw("/status", status);
    sync();
    QCOMPARE(changed.count(), state == RFID::Idle ? 0 : 1);
}

void TestRfid::idleStatusClearsActiveCard()
{
    m_rig->fakeRfid.publishRaw("/status", R"({"service": true, "device": {"state": 3}})");
    WAIT_COMPARE(m_rfid->state(), RFID::CardFound);
    QVERIFY(makeActive("AA01"));

    // Offline keeps the card.
    m_rig->fakeRfid.setServiceOnline(false);
    WAIT_COMPARE(m_rfid->state(), RFID::Error);
    QCOMPARE(m_rfid->error(), QString("Service is offline"));
    QVERIFY(m_rfid->activeCard());

    LogCapture log;
    m_rig->fakeRfid.setServiceOnline(true); // status Idle
    WAIT_COMPARE(m_rfid->state(), RFID::Idle);
    QVERIFY(!m_rfid->activeCard());
    const QStringList lines = log.texts();
    const int state = lines.indexOf("[RFID] State changed : Idle");
    const int warning = lines.indexOf("[RFID] WARN: RF disabled. Clearing active card");
    const int cleared = lines.indexOf("[RFID] Active tag changed : old=AA01 new=<none>");
    QVERIFY2(state >= 0 && warning > state && cleared > warning, qPrintable(lines.join('\n')));
    QCOMPARE(log.texts(QtWarningMsg).filter("WARN: RF disabled").size(), 1);
}

void TestRfid::cardFoundAndRemoved()
{
    QSignalSpy found(m_rfid, &RFID::cardFound);
    QSignalSpy removed(m_rfid, &RFID::cardRemoved);
    QSignalSpy activeChanged(m_rfid, &RFID::activeCardChanged);
    LogCapture log;

    const Tag::Ptr first = makeActive("BEEF");
    QVERIFY(first);
    QCOMPARE(int(first->type()), 4);
    QVERIFY(!Card::fromTag(first)); // a found tag is no card
    m_rig->fakeRfid.publish("/card/found", QJsonObject{{"uid", "BEEF"}, {"type", 4}});
    WAIT_COMPARE(found.count(), 2);
    const Tag::Ptr second = m_rfid->activeCard();
    QVERIFY(second != first); // equal uids, two objects
    QCOMPARE(found.at(1).at(0).value<Tag::Ptr>(), second);
    QCOMPARE(activeChanged.count(), 2);
    QCOMPARE(log.count(QtInfoMsg, "[RFID] Active tag changed : old=BEEF new=BEEF"), 1);

    // An empty payload is no document: the card stays.
    m_rig->fakeRfid.publishRaw("/card/removed", QByteArray());
    sync();
    QCOMPARE(removed.count(), 0);
    QCOMPARE(m_rfid->activeCard(), second);
    QCOMPARE(log.count(QtCriticalMsg, "[RFID] Failed to parse JSON message: "), 1);

    m_rig->fakeRfid.publishRaw("/card/removed", "{}");
    WAIT_COMPARE(removed.count(), 1);
    QCOMPARE(removed.at(0).at(0).value<Tag::Ptr>(), second);
    QVERIFY(!m_rfid->activeCard());

    // Removed without a card: a null tag is reported, nothing crashes.
    m_rig->fakeRfid.publishRaw("/card/removed", "{}");
    WAIT_COMPARE(removed.count(), 2);
    QVERIFY(removed.at(1).at(0).value<Tag::Ptr>().isNull());
}

void TestRfid::commandRequests()
{
    auto card = QSharedPointer<RUDIv1Card>::create();
    card->setUid("C1");
    card->setType(Tag::MifareClassic1K);
    card->setCustomsId(12);

    QList<DeferredProbe<RFID::Result>> probes{DeferredProbe<RFID::Result>(m_rfid->enable(false)),
                                      DeferredProbe<RFID::Result>(m_rfid->disable()),
                                      DeferredProbe<RFID::Result>(m_rfid->createCard("RUDIv1")),
                                      DeferredProbe<RFID::Result>(m_rfid->readCard("auto", 1)),
                                      DeferredProbe<RFID::Result>(m_rfid->writeCard(card)),
                                      DeferredProbe<RFID::Result>(m_rfid->enable(true))};
    WAIT_COMPARE(m_rig->fakeRfid.requests().size(), 6);
    for (const auto &probe : probes)
        WAIT_VERIFY(probe.settled());

    const QList<FakeService::Request> requests = m_rig->fakeRfid.requests();
    const QStringList commands{"enable", "disable", "card/create", "card/read", "card/write", "enable"};
    const QList<QJsonObject> bodies{
        QJsonObject{{"autoread", false}},
        QJsonObject{},
        QJsonObject{{"template", "RUDIv1"}},
        QJsonObject{{"template", "auto"}, {"usageLogs", 1}, {"topupLogs", 0}},
        QJsonObject{{"uid", "C1"}, {"type", 4}, {"template", "RUDIv1"}, {"data", card->data()}},
        QJsonObject{{"autoread", true}},
    };
    for (int i = 0; i < requests.size(); ++i) {
        QCOMPARE(requests[i].command, commands[i]);
        QCOMPARE(requests[i].id, QString::number(i + 1));
        QCOMPARE(requests[i].body, bodies[i]);
    }
    QCOMPARE(requests[1].payload, QByteArray("{}"));

    // A null card is not sent.
    DeferredProbe<RFID::Result> none(m_rfid->writeCard(Card::Ptr()));
    QVERIFY(none.rejected());
    QCOMPARE(none.value().error, QString("No card to write"));
}

void TestRfid::commandReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("card"); // uid of the resulting card, "-" for none

    QTest::newRow("card in reply") << QByteArray(R"({"completed": true, "data": {"uid": "R1", "type": 4, "template": "RUDIv1", "data": {"info": {"customsId": 7}}}})") << true << "" << "R1";
    QTest::newRow("other template") << QByteArray(R"({"completed": true, "data": {"uid": "R2", "template": "MIFAREv2"}})") << true << "" << "-";
    QTest::newRow("template in other case") << QByteArray(R"({"completed": true, "data": {"uid": "R3", "template": "rudiv1"}})") << true << "" << "-";
    QTest::newRow("no data") << QByteArray(R"({"completed": true})") << true << "" << "-";
    QTest::newRow("data not an object") << QByteArray(R"({"completed": true, "data": "RUDIv1"})") << true << "" << "-";
    QTest::newRow("refused") << QByteArray(R"({"completed": false, "error": {"what": "No card in field", "code": 2}})") << false << "No card in field" << "keep";
    QTest::newRow("refused, no error") << QByteArray(R"({"completed": false})") << false << "" << "keep";
    QTest::newRow("what not a text") << QByteArray(R"({"completed": false, "error": {"what": 3}})") << false << "" << "keep";
    QTest::newRow("completed as text") << QByteArray(R"({"completed": "true"})") << false << "" << "keep";
    QTest::newRow("completed as number") << QByteArray(R"({"completed": 1})") << false << "" << "keep";
    QTest::newRow("empty payload") << QByteArray() << false << "" << "keep";
    QTest::newRow("array") << QByteArray("[1,2]") << false << "Invalid response" << "keep";
    QTest::newRow("not json") << QByteArray("completed") << false << "Invalid response" << "keep";
}

void TestRfid::commandReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, resolved);
    QFETCH(QString, error);
    QFETCH(QString, card);

    const Tag::Ptr before = makeActive("OLD1");
    QVERIFY(before);
    m_rig->fakeRfid.silence("card/read");
    connect(&m_rig->fakeRfid, &FakeService::requestReceived, this,
            [&](const QString &command, const QString &id) {
                m_rig->fakeRfid.publishRaw("/" + command + "/response/" + id, reply);
            });

    DeferredProbe<RFID::Result> probe(m_rfid->readCard("auto", 1));
    WAIT_VERIFY(probe.settled());
    QCOMPARE(probe.resolved(), resolved);
    QCOMPARE(probe.value().error, error);
    if (card == "keep") {
        QVERIFY(probe.value().card.isNull());
        QCOMPARE(m_rfid->activeCard(), before);
    } else if (card == "-") {
        QVERIFY(probe.value().card.isNull());
        QVERIFY(m_rfid->activeCard().isNull());
    } else {
        const Card::Ptr read = Card::fromTag(probe.value().card);
        QVERIFY(read);
        QCOMPARE(read->uid(), card);
        QCOMPARE(read.dynamicCast<RUDIv1Card>()->customsId(), 7);
        QCOMPARE(m_rfid->activeCard(), probe.value().card);
    }
}

void TestRfid::successfulCommandReplacesActiveCard()
{
    QVERIFY(makeActive("AB12"));
    QSignalSpy changed(m_rfid, &RFID::activeCardChanged);
    LogCapture log;
    DeferredProbe<RFID::Result> enable(m_rfid->enable(false));
    WAIT_VERIFY(enable.resolved());
    QVERIFY(enable.value().card.isNull());
    QVERIFY(!m_rfid->activeCard());
    QCOMPARE(changed.count(), 1);
    QCOMPARE(log.count(QtInfoMsg, "[RFID] Active tag changed : old=AB12 new=<none>"), 1);

    QVERIFY(makeActive("AB13"));
    DeferredProbe<RFID::Result> disable(m_rfid->disable());
    WAIT_VERIFY(disable.resolved());
    QVERIFY(!m_rfid->activeCard());
}

void TestRfid::commandWithoutReplyTimesOut()
{
    m_rig->fakeRfid.silence("card/create");
    QVERIFY(makeActive("T1"));
    QElapsedTimer clock;
    clock.start();
    DeferredProbe<RFID::Result> probe(m_rfid->createCard("RUDIv1"));
    WAIT_VERIFY_WITH_TIMEOUT(probe.settled(), 6000);
    QVERIFY(probe.rejected());
    QCOMPARE(probe.value().error, QString("Timeout"));
    QVERIFY(clock.elapsed() >= 2800);
    QCOMPARE(m_rfid->activeCard()->uid(), QString("T1")); // a failure leaves the card
}

void TestRfid::commandsWhileDisconnected()
{
    m_rig->fakeRfid.publishRaw("/status", R"({"service": true, "device": {"state": 2}})");
    WAIT_COMPARE(m_rfid->state(), RFID::Searching);
    m_rig->mqtt.disconnect();
    WAIT_VERIFY(!m_rig->mqtt.isConnected());

    DeferredProbe<RFID::Result> enable(m_rfid->enable(false));
    WAIT_VERIFY(enable.settled());
    QCOMPARE(enable.value().error, QString("Not connected"));
    DeferredProbe<RFID::Result> wait(m_rfid->waitCardFound(1000));
    QVERIFY(wait.rejected());
    QCOMPARE(wait.value().error, QString("Not connected"));
    QVERIFY(!m_rfid->beepValid());
}

void TestRfid::waitCardFoundRefusedWhenFieldIsOff_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::newRow("init") << QByteArray(R"({"service": true, "device": {"state": 0}})");
    QTest::newRow("idle") << QByteArray(R"({"service": true, "device": {"state": 1}})");
    QTest::newRow("updating") << QByteArray(R"({"service": true, "device": {"state": 4}})");
    QTest::newRow("error") << QByteArray(R"({"service": true, "device": {"state": 5}})");
    QTest::newRow("offline") << QByteArray(R"({"service": false})");
    QTest::newRow("unknown") << QByteArray(R"({"service": true, "device": {"state": 7}})");
}

void TestRfid::waitCardFoundRefusedWhenFieldIsOff()
{
    QFETCH(QByteArray, status);
    m_rig->fakeRfid.publishRaw("/status", status);
    sync();
    DeferredProbe<RFID::Result> probe(m_rfid->waitCardFound(1000));
    QVERIFY(probe.rejected()); // at once
    QCOMPARE(probe.value().error, QString("RF is disabled"));
    QVERIFY(probe.value().card.isNull());
}

void TestRfid::waitCardFoundWhileSearching()
{
    // No card in the field: the wait runs out.
    DeferredProbe<RFID::Result> enable(m_rfid->enable(false));
    WAIT_VERIFY(enable.resolved());
    QCOMPARE(m_rfid->state(), RFID::Searching); // reported before the reply
    QElapsedTimer clock;
    clock.start();
    DeferredProbe<RFID::Result> nothing(m_rfid->waitCardFound(300));
    WAIT_VERIFY(nothing.settled());
    QVERIFY(nothing.rejected());
    QCOMPARE(nothing.value().error, QString("Timeout"));
    QVERIFY(clock.elapsed() >= 250);

    // A card arrives: found with its uid, then known at once.
    DeferredProbe<RFID::Result> wait(m_rfid->waitCardFound(2000));
    m_rig->fakeRfid.setCardInField(FakeCard::blank("F00D"));
    WAIT_VERIFY(wait.settled());
    QVERIFY(wait.resolved());
    QCOMPARE(wait.value().card->uid(), QString("F00D"));
    WAIT_COMPARE(m_rfid->state(), RFID::CardFound);
    DeferredProbe<RFID::Result> again(m_rfid->waitCardFound(1000));
    QVERIFY(again.resolved());
    QCOMPARE(again.value().card, m_rfid->activeCard());

    // Enabling with the card already in the field finds it right after the reply.
    DeferredProbe<RFID::Result> reenable(m_rfid->enable(false));
    WAIT_VERIFY(reenable.resolved());
    DeferredProbe<RFID::Result> refound(m_rfid->waitCardFound(1000));
    WAIT_VERIFY(refound.settled());
    QVERIFY(refound.resolved());
    QCOMPARE(refound.value().card->uid(), QString("F00D"));
}

void TestRfid::waitCardFoundNeverHandsOutNothing()
{
    // The reader says CardFound, but a reply without a card cleared the active one.
    m_rig->fakeRfid.setCardInField(FakeCard::blank("CAFE"));
    DeferredProbe<RFID::Result> enable(m_rfid->enable(false));
    WAIT_VERIFY(enable.resolved());
    WAIT_COMPARE(m_rfid->state(), RFID::CardFound);
    m_rig->fakeRfid.silence("card/read", 1);
    connect(&m_rig->fakeRfid, &FakeService::requestReceived, this, [&](const QString &command, const QString &id) {
        m_rig->fakeRfid.publish("/" + command + "/response/" + id, QJsonObject{{"completed", true}});
    });
    DeferredProbe<RFID::Result> read(m_rfid->readCard("auto", 1));
    WAIT_VERIFY(read.resolved());
    QCOMPARE(m_rfid->state(), RFID::CardFound);
    QVERIFY(!m_rfid->activeCard());

    // Nothing to hand out: the wait runs out rather than resolving with nothing.
    DeferredProbe<RFID::Result> timeout(m_rfid->waitCardFound(200));
    QVERIFY(!timeout.settled());
    WAIT_VERIFY(timeout.settled());
    QVERIFY(timeout.rejected());
    QCOMPARE(timeout.value().error, QString("Timeout"));

    // ... or ends with the next card-found report.
    DeferredProbe<RFID::Result> wait(m_rfid->waitCardFound(3000));
    QVERIFY(!wait.settled());
    m_rig->fakeRfid.publish("/card/found", QJsonObject{{"uid", "CAFE"}, {"type", 4}});
    WAIT_VERIFY(wait.settled());
    QVERIFY(wait.resolved());
    QVERIFY(wait.value().card);
    QCOMPARE(wait.value().card->uid(), QString("CAFE"));
}

void TestRfid::cardLifeOnTheFakeReader()
{
    const FakeCard::Ptr physical = FakeCard::blank("04A1");
    m_rig->fakeRfid.setCardInField(physical);
    DeferredProbe<RFID::Result> enable(m_rfid->enable(false));
    WAIT_VERIFY(enable.resolved());
    DeferredProbe<RFID::Result> found(m_rfid->waitCardFound(1000));
    WAIT_VERIFY(found.resolved());

    DeferredProbe<RFID::Result> created(m_rfid->createCard("RUDIv1"));
    WAIT_VERIFY(created.resolved());
    QCOMPARE(created.value().card->uid(), QString("04A1"));
    QVERIFY(Card::fromTag(created.value().card));

    auto card = QSharedPointer<RUDIv1Card>::create();
    card->setCustomsId(12);
    card->setStatus("active");
    card->addUsageLog("entry", "SN-1", "L-3");
    card->incrUsageCounter(1);
    DeferredProbe<RFID::Result> written(m_rfid->writeCard(card)); // no uid: the card in the field
    WAIT_VERIFY(written.resolved());
    QCOMPARE(written.value().card->uid(), QString("04A1"));
    QCOMPARE(m_rfid->activeCard(), written.value().card);
    QCOMPARE(physical->templateName, QString("RUDIv1"));

    DeferredProbe<RFID::Result> read(m_rfid->readCard("auto", 1));
    WAIT_VERIFY(read.resolved());
    const auto back = read.value().card.dynamicCast<RUDIv1Card>();
    QVERIFY(back);
    QCOMPARE(back->customsId(), 12);
    QCOMPARE(back->status(), QString("active"));
    QCOMPARE(back->usageCounter(), 1);
    QCOMPARE(back->usageLogs().size(), 1);
    QCOMPARE(back->usageLogs()[0].deviceId, QString("SN-1"));

    // A write for another card is refused by the reader.
    card->setUid("FFFF");
    DeferredProbe<RFID::Result> wrong(m_rfid->writeCard(card));
    WAIT_VERIFY(wrong.rejected());
    QCOMPARE(wrong.value().error, QString("Card mismatch"));

    DeferredProbe<RFID::Result> disable(m_rfid->disable());
    WAIT_VERIFY(disable.resolved());
    WAIT_COMPARE(m_rfid->state(), RFID::Idle);
    QVERIFY(!m_rfid->activeCard());
}

void TestRfid::unreadableAndUndetectableCards()
{
    const FakeCard::Ptr unreadable = FakeCard::rudi("BAD1", 3);
    unreadable->readable = false;
    m_rig->fakeRfid.setCardInField(unreadable);
    DeferredProbe<RFID::Result> enable(m_rfid->enable(false));
    WAIT_VERIFY(enable.resolved());
    DeferredProbe<RFID::Result> found(m_rfid->waitCardFound(1000));
    WAIT_VERIFY(found.resolved());
    DeferredProbe<RFID::Result> read(m_rfid->readCard("auto", 1));
    WAIT_VERIFY(read.rejected());
    QCOMPARE(read.value().error, QString("Card read failed"));

    const FakeCard::Ptr hidden = FakeCard::blank("GONE");
    hidden->detectable = false;
    m_rig->fakeRfid.setCardInField(hidden);
    WAIT_COMPARE(m_rfid->state(), RFID::Searching);
    DeferredProbe<RFID::Result> none(m_rfid->waitCardFound(300));
    WAIT_VERIFY(none.rejected());
    QCOMPARE(none.value().error, QString("Timeout"));
}

void TestRfid::autoread()
{
    QSignalSpy read(m_rfid, &RFID::cardAutoread);
    QSignalSpy failed(m_rfid, &RFID::cardAutoreadFailed);
    m_rig->fakeRfid.setCardInField(FakeCard::rudi("A1", 5));
    DeferredProbe<RFID::Result> enable(m_rfid->enable(true));
    WAIT_COMPARE(read.count(), 1);
    const Card::Ptr card = read.at(0).at(0).value<Card::Ptr>();
    QVERIFY(card);
    QCOMPARE(card->uid(), QString("A1"));
    QCOMPARE(card.dynamicCast<RUDIv1Card>()->customsId(), 5);
    QCOMPARE(m_rfid->activeCard(), card.staticCast<Tag>());

    const FakeCard::Ptr bad = FakeCard::rudi("A2", 5);
    bad->readable = false;
    m_rig->fakeRfid.setCardInField(bad);
    WAIT_COMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).toString(), QString("Card read failed"));

    // A card of another template: reported as no card.
    m_rig->fakeRfid.publish("/card/autoread", QJsonObject{{"uid", "A3"}, {"template", "OTHER"}});
    WAIT_COMPARE(read.count(), 2);
    QVERIFY(read.at(1).at(0).value<Card::Ptr>().isNull());
    QVERIFY(!m_rfid->activeCard());
}

// A card event kept by the broker (published retained, by a peer or a service set up so) is
// news when it happens, not again at each new session: a replayed "found" would hand a card
// search a card that has long left the field, a replayed autoread would present it again.
void TestRfid::retainedEventsAreNoNews()
{
    QSignalSpy found(m_rfid, &RFID::cardFound);
    QSignalSpy removed(m_rfid, &RFID::cardRemoved);
    QSignalSpy read(m_rfid, &RFID::cardAutoread);
    QVERIFY(m_rig->fakeRfid.publish("/card/autoread", QJsonObject{{"uid", "A3"}, {"template", "OTHER"}}, true));
    QVERIFY(m_rig->fakeRfid.publish("/card/removed", QJsonObject{}, true));
    QVERIFY(m_rig->fakeRfid.publish("/card/found", QJsonObject{{"uid", "BEEF"}, {"type", 4}}, true));
    WAIT_VERIFY(read.count() == 1 && removed.count() == 1 && found.count() == 1);
    QCOMPARE(RFID::uidOf(m_rfid->activeCard()), QString("BEEF"));

    // The field searches, with no card in it, when the session is renewed.
    DeferredProbe<RFID::Result> enable(m_rfid->enable(false));
    WAIT_VERIFY(enable.resolved());
    QCOMPARE(m_rfid->state(), RFID::Searching);
    QVERIFY(!m_rfid->activeCard());
    DeferredProbe<RFID::Result> search(m_rfid->waitCardFound(60000));

    m_rig->mqtt.disconnect();
    WAIT_VERIFY(!m_rig->mqtt.isConnected());
    QSignalSpy replayed(&m_rig->mqtt, &manager::MqttClient::received);
    QVERIFY(m_rig->connectClient());
    // Handed out again with the new subscription; this spy hears each after the client.
    const QStringList events{"/card/autoread", "/card/removed", "/card/found"};
    WAIT_VERIFY(std::all_of(events.begin(), events.end(), [&](const QString &suffix) {
        return std::any_of(replayed.begin(), replayed.end(), [&](const QList<QVariant> &args) {
            return args.at(1).toByteArray() == (m_rig->rfidBase + suffix).toUtf8() && args.at(2).toBool();
        });
    }));
    QCOMPARE(read.count(), 1);
    QCOMPARE(found.count(), 1);
    QVERIFY(!m_rfid->activeCard());
    QVERIFY(!search.settled());
}

void TestRfid::badPayloadsChangeNothing_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");
    const QList<QByteArray> bad{QByteArray(), QByteArray("{"), QByteArray("not json"), QByteArray("{\"service\": tru}"),
                                QByteArray("{}\0{}", 5), QByteArray("\0", 1), QByteArray("{\"a\":1} trailing")};
    for (const char *suffix : {"/info", "/status", "/card/found", "/card/removed", "/card/autoread"}) {
        for (int i = 0; i < bad.size(); ++i)
            if (!bad[i].isEmpty() || QByteArray(suffix) != "/status") // an empty status clears it
                QTest::addRow("%s %d", suffix, i) << QString(suffix) << bad[i];
    }
}

void TestRfid::badPayloadsChangeNothing()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, payload);

    m_rig->fakeRfid.publishRaw("/status", R"({"service": true, "device": {"state": 3, "error": null}})");
    WAIT_COMPARE(m_rfid->state(), RFID::CardFound);
    const Tag::Ptr card = makeActive("KEEP");
    QVERIFY(card);
    sync();
    const QString model = m_rfid->model();

    QSignalSpy state(m_rfid, &RFID::stateChanged);
    QSignalSpy active(m_rfid, &RFID::activeCardChanged);
    QSignalSpy found(m_rfid, &RFID::cardFound);
    QSignalSpy removed(m_rfid, &RFID::cardRemoved);
    QSignalSpy autoread(m_rfid, &RFID::cardAutoread);
    QSignalSpy autoreadFailed(m_rfid, &RFID::cardAutoreadFailed);
    QSignalSpy uid(m_rfid, &RFID::uidChanged);
    LogCapture log;

    m_rig->fakeRfid.publishRaw(suffix, payload);
    WAIT_COMPARE(log.count(QtCriticalMsg, "[RFID] Failed to parse JSON message: "), 1);
    sync();
    QCOMPARE(m_rfid->state(), RFID::CardFound);
    QCOMPARE(m_rfid->activeCard(), card);
    QCOMPARE(m_rfid->uid(), QString("RDR-0001"));
    QCOMPARE(state.count() + active.count() + found.count() + removed.count() + autoread.count()
                 + autoreadFailed.count() + uid.count(), 0);
}

void TestRfid::topicsThatOnlyContainTheBase()
{
    // Messages the session receives for others, whose topics contain the base.
    m_rig->mqtt.subscribe(m_rig->rfidBase + "x/#");
    m_rig->mqtt.subscribe("other/" + m_rig->rfidBase + "/#");
    QSignalSpy received(&m_rig->mqtt, &manager::MqttClient::received);
    WAIT_VERIFY_WITH_TIMEOUT([&] {
        m_rig->mqtt.publish("{}", m_rig->rfidBase + "x/probe");
        return waitUntil([&] { return received.count() > 0; }, 200);
    }(), 5000);

    QSignalSpy state(m_rfid, &RFID::stateChanged);
    m_rig->mqtt.publish(R"({"service": false})", m_rig->rfidBase + "x/status");
    m_rig->mqtt.publish(R"({"service": false})", "other/" + m_rig->rfidBase + "/status");
    m_rig->mqtt.publish(R"({"uid": "X"})", m_rig->rfidBase + "/card/found/extra");
    sync();
    QCOMPARE(state.count(), 0);
    QCOMPARE(m_rfid->state(), RFID::Idle);
    QVERIFY(!m_rfid->activeCard());
}

void TestRfid::beeps()
{
    m_rig->mqtt.subscribe(m_rig->rfidBase + "/beep/#");
    QSignalSpy received(&m_rig->mqtt, &manager::MqttClient::received);
    auto beepTopics = [&] {
        QStringList topics;
        for (const auto &args : received)
            if (args.at(1).toByteArray().contains("/beep/"))
                topics << QString::fromUtf8(args.at(1).toByteArray()) + "=" + QString::fromUtf8(args.at(0).toByteArray());
        return topics;
    };
    // The session's subscription is on its way: beep until one comes back.
    WAIT_VERIFY_WITH_TIMEOUT([&] { m_rfid->beepValid(); return waitUntil([&] { return !beepTopics().isEmpty(); }, 200); }(), 5000);
    QVERIFY(m_rfid->beepInvalid());
    WAIT_VERIFY(beepTopics().contains(m_rig->rfidBase + "/beep/invalid="));
}

QTEST_GUILESS_MAIN(TestRfid)
#include "tst_rfid.moc"
