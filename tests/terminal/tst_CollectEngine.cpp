#include "TerminalRig.h"

#include "fakes/LogCapture.h"
#include "terminal/CollectEngine.h"

#include <QJsonArray>

// The sessions of a card-collection lane, against the fake card services and cameras.
class tst_CollectEngine : public TerminalTestCase
{
    Q_OBJECT

private slots:
    void acceptEnabledBetweenVehicles();
    void passage_data();
    void passage();
    void wrongCustomsId();
    void writeBackFails();
    void vehicleLeavesWithTheCardInside();
    void cardInsertedWhileTheCardIsProcessed();
    void cardInsertedAfterTheSessionEnded_data();
    void cardInsertedAfterTheSessionEnded();
    void acceptRefusedIsOnlyLogged();
    void stopSwitchesAcceptanceOff_data();
    void stopSwitchesAcceptanceOff();
    void noCardTakenWhileTheReaderUpdates_data();
    void noCardTakenWhileTheReaderUpdates();
    void strayCardGivenBack_data();
    void strayCardGivenBack();
    void buttonTakesNoPart();
    void customsIdThatIsNoNumber();

private:
    TerminalRig &collectionLane(LaneSetup setup = LaneSetup());
    bool insert(const FakeCard::Ptr &card);
};

TerminalRig &tst_CollectEngine::collectionLane(LaneSetup setup)
{
    setup.model = "KTW4163";
    return rig(setup);
}

bool tst_CollectEngine::insert(const FakeCard::Ptr &card)
{
    if (!waitUntil([this] { return m_rig->dispenser().acceptEnabled(); }))
        return false;
    return m_rig->dispenser().driverInsertCard(card);
}

void tst_CollectEngine::acceptEnabledBetweenVehicles()
{
    LogCapture log;
    TerminalRig &lane = collectionLane();
    QVERIFY(lane.start());
    QVERIFY(qobject_cast<CollectEngine *>(lane.terminal->engine().data()));
    QVERIFY(waitUntil([&] { return log.contains(QtInfoMsg, "[CollectEngine] Enabled card auto-accept"); }));
    QVERIFY(lane.dispenser().acceptEnabled());
    QCOMPARE(lane.session()->type(), QString("CARD_COLLECTION_MACHINE"));
    QCOMPARE(lane.dispenser().count("issue"), 0);
    QCOMPARE(lane.terminal->state(), Terminal::Ready);
}

void tst_CollectEngine::passage_data()
{
    QTest::addColumn<QString>("order");
    QTest::addColumn<QString>("states");

    QTest::newRow("vehicle, then card") << "vehicle card" << "DataCollect WaitUser Permission CardProcess Exit PostExit Idle";
    QTest::newRow("card before the vehicle") << "card" << "DataCollect Permission CardProcess Exit PostExit Idle";
    QTest::newRow("card while the cameras work") << "vehicle card-in-DataCollect"
                                                 << "DataCollect Permission CardProcess Exit PostExit Idle";
}

void tst_CollectEngine::passage()
{
    QFETCH(QString, order);
    QFETCH(QString, states);

    LaneSetup setup;
    setup.cameras = {{"alpr2", FakeCamera::plateResult("XYZ9876")}};
    setup.triggerDelayMsec = order.contains("in-DataCollect") ? 2000 : 0;
    TerminalRig &lane = collectionLane(setup);
    QVERIFY(lane.start());
    LogCapture log;
    const int from = lane.trail->size();
    const FakeCard::Ptr card = FakeCard::rudi("D0001", 12, "active", 3);

    for (const QString &move : order.split(' ')) {
        if (move == "vehicle") {
            lane.vehicleArrives();
            QVERIFY(lane.trail->waitFor(Session::DataCollect, from) >= 0);
            if (!order.contains("in-DataCollect"))
                QVERIFY(lane.trail->waitFor(Session::WaitUser, from) >= 0);
        } else {
            QVERIFY(insert(card));
            if (move == "card-in-DataCollect") {
                QVERIFY(waitUntil([&] { return log.contains(QtInfoMsg, "[CollectEngine] Card inserted"); }));
                QCOMPARE(lane.session()->state(), Session::DataCollect);
                QCOMPARE(lane.session()->card()->uid(), QString("D0001"));
            }
        }
    }
    QVERIFY(lane.trail->waitFor(Session::Exit, from) >= 0);
    QVERIFY(lane.session()->buttonPressed());
    QCOMPARE(lane.session()->readings(), (QVariantMap{{"Rear", "XYZ9876"}}));
    QCOMPARE(lane.session()->cardId(), QString());
    // Written back as read, and handed back without waiting for the driver.
    QCOMPARE(lane.rfid().count("card/write"), 1);
    QCOMPARE(lane.rfid().requests("card/write").first().body.value("uid").toString(), QString("D0001"));
    QCOMPARE(card->data.value("info").toObject().value("customsId").toInt(), 12);
    QCOMPARE(card->data.value("usageCounter").toInt(), 3);
    QVERIFY(waitUntil([&] { return lane.dispenser().cardInMouth() == card; }));
    QVERIFY(log.contains(QtInfoMsg, "[CollectEngine] Card read successfully : D0001"));
    QVERIFY(log.contains(QtInfoMsg, "[CollectEngine] Ejecting card for collection (collectTimeout=60 sec)"));

    QVERIFY(lane.trail->waitFor(Session::PostExit, from) >= 0);
    QVERIFY(lane.session()->result());
    QVERIFY(lane.trail->waitFor(Session::Idle, from + 1) >= 0);
    QCOMPARE(lane.trail->since(from), states);
    QVERIFY(lane.session()->card().isNull());
    QVERIFY(!lane.session()->buttonPressed());
    QCOMPARE(lane.backOffice.count(FakeBackOffice::Transaction), 0);

    // The driver takes the card; the next one is taken in.
    lane.dispenser().driverTakeCard();
    QVERIFY(waitUntil([&] { return lane.dispenser().count("accept/enable") == 2; }));
}

// A card of another customs office is not written; it goes back to the driver, so that the
// mouth is free for the next one.
void tst_CollectEngine::wrongCustomsId()
{
    TerminalRig &lane = collectionLane();
    QVERIFY(lane.start());
    LogCapture log;
    const int from = lane.trail->size();
    const FakeCard::Ptr foreign = FakeCard::rudi("F0001", 99);
    QVERIFY(insert(foreign));

    QVERIFY(lane.trail->waitFor(Session::Error, from) >= 0);
    QCOMPARE(lane.session()->error(), QString("Invalid card: wrong customsId"));
    QCOMPARE(lane.rfid().count("card/write"), 0);
    QVERIFY(waitUntil([&] { return lane.dispenser().cardInMouth() == foreign; }));
    QVERIFY(log.contains(QtWarningMsg, "[CollectEngine] WARN: Wrong customs id. Returning card : F0001"));
    QCOMPARE(foreign->data.value("info").toObject().value("customsId").toInt(), 99);

    lane.dispenser().driverTakeCard();
    QVERIFY(lane.trail->waitFor(Session::Idle, from) >= 0);
    const int next = lane.trail->size();
    QVERIFY(insert(FakeCard::rudi("D0002", 12)));
    QVERIFY(lane.trail->waitFor(Session::Exit, next) >= 0);
}

void tst_CollectEngine::writeBackFails()
{
    TerminalRig &lane = collectionLane();
    QVERIFY(lane.start());
    const int from = lane.trail->size();
    lane.rfid().refuse("card/write", 9, "Card write failed", 1);
    const FakeCard::Ptr card = FakeCard::rudi("D0001", 12);
    QVERIFY(insert(card));

    QVERIFY(lane.trail->waitFor(Session::Error, from) >= 0);
    QCOMPARE(lane.session()->error(), QString("Write card failed : Card write failed"));
    QVERIFY(waitUntil([&] { return lane.dispenser().cardInMouth() == card; }));
    lane.dispenser().driverTakeCard();
    QVERIFY(lane.trail->waitFor(Session::Idle, from) >= 0);
    QVERIFY(waitUntil([&] { return lane.dispenser().count("accept/enable") == 2; }));
}

// A driver who drives off before the card was checked gets it back.
void tst_CollectEngine::vehicleLeavesWithTheCardInside()
{
    LaneSetup setup;
    setup.cameras = {{"alpr2", FakeCamera::plateResult("XYZ9876")}};
    setup.triggerDelayMsec = 2500;
    TerminalRig &lane = collectionLane(setup);
    QVERIFY(lane.start());
    LogCapture log;
    const int from = lane.trail->size();
    lane.vehicleArrives();
    QVERIFY(lane.trail->waitFor(Session::DataCollect, from) >= 0);
    const FakeCard::Ptr card = FakeCard::rudi("D0001", 12);
    QVERIFY(insert(card));
    QVERIFY(waitUntil([&] { return !lane.session()->card().isNull(); }));
    QCOMPARE(lane.session()->state(), Session::DataCollect);

    lane.vehicleLeaves();
    QVERIFY(lane.trail->waitFor(Session::Idle, from) >= 0);
    QVERIFY(log.contains(QtWarningMsg, "[CollectEngine] WARN: Vehicle left with its card inside. Returning card : D0001"));
    QVERIFY(waitUntil([&] { return lane.dispenser().cardInMouth() == card; }));
    // Returned once: the Idle that follows finds the return on its way.
    QCOMPARE(log.count(QtWarningMsg, "[CollectEngine] WARN: Card at the reader belongs to no session"), 0);
    QVERIFY(!log.contains(QtCriticalMsg, "[CollectEngine] ERROR: Failed to return card"));
    QVERIFY(lane.session()->card().isNull());
    QCOMPARE(lane.rfid().count("card/write"), 0);
    // The late readings reach no session.
    QTest::qWait(setup.triggerDelayMsec);
    QCOMPARE(lane.session()->readings(), (QVariantMap{{"Front", QString()}, {"Rear", QString()}}));
    QCOMPARE(lane.session()->state(), Session::Idle);
}

// The card of the session stays the session's card while it is checked and written.
void tst_CollectEngine::cardInsertedWhileTheCardIsProcessed()
{
    TerminalRig &lane = collectionLane();
    QVERIFY(lane.start());
    LogCapture log;
    const int from = lane.trail->size();
    lane.vehicleArrives();
    QVERIFY(lane.trail->waitFor(Session::WaitUser, from) >= 0);
    lane.rfid().delay("card/write", 1500, 1);
    QVERIFY(insert(FakeCard::rudi("D0001", 12)));
    QVERIFY(lane.trail->waitFor(Session::CardProcess, from) >= 0);

    auto other = QSharedPointer<RUDIv1Card>::create();
    other->setUid("X0001");
    other->setCustomsId(12);
    emit lane.terminal->cardIssuer()->cardInserted(other);
    QCOMPARE(lane.session()->card()->uid(), QString("D0001"));
    QVERIFY(log.contains(QtWarningMsg, "[CollectEngine] WARN: Card inserted while the session's card is processed : X0001"));
    QVERIFY(log.contains(QtWarningMsg, "[CollectEngine] WARN: Ignoring in current state : Session::CardProcess"));
    QVERIFY(lane.trail->waitFor(Session::Exit, from) >= 0);
    QCOMPARE(lane.rfid().requests("card/write").first().body.value("uid").toString(), QString("D0001"));
}

void tst_CollectEngine::cardInsertedAfterTheSessionEnded_data()
{
    QTest::addColumn<int>("customsId"); // of the session's card
    QTest::addColumn<Session::State>("insertIn");
    QTest::newRow("Exit") << 12 << Session::Exit;
    QTest::newRow("PostExit") << 12 << Session::PostExit;
    QTest::newRow("Error") << 99 << Session::Error;
}

// A card taken in after the session's card went back out belongs to no session: it is handed
// back, or it would stay inside where no later driver could insert one.
void tst_CollectEngine::cardInsertedAfterTheSessionEnded()
{
    QFETCH(int, customsId);
    QFETCH(Session::State, insertIn);

    TerminalRig &lane = collectionLane();
    QVERIFY(lane.start());
    LogCapture log;
    const int from = lane.trail->size();
    QVERIFY(insert(FakeCard::rudi("D0001", customsId)));
    QVERIFY(waitUntil([&] { return !lane.dispenser().cardInMouth().isNull(); }));
    lane.dispenser().driverTakeCard();
    QVERIFY(lane.trail->waitFor(insertIn, from) >= 0);

    const FakeCard::Ptr late = FakeCard::rudi("D0002", 12);
    QVERIFY(insert(late));
    QVERIFY(waitUntil([&] { return lane.dispenser().cardInMouth() == late; }));
    QVERIFY(log.contains(QtWarningMsg, "[CollectEngine] WARN: Card inserted after the session ended. Returning card : D0002"));
    QCOMPARE(lane.rfid().requests("card/write").size(), customsId == 12 ? 1 : 0);

    // The driver inserts it again once the lane is ready, and it is served.
    const int reset = lane.trail->waitFor(Session::Idle, from + 1);
    QVERIFY(reset >= 0);
    QVERIFY(lane.session()->card().isNull());
    lane.dispenser().driverTakeCard();
    QVERIFY(insert(late));
    QVERIFY(lane.trail->waitFor(Session::Exit, reset) >= 0);
    QCOMPARE(lane.rfid().requests("card/write").last().body.value("uid").toString(), QString("D0002"));
}

void tst_CollectEngine::acceptRefusedIsOnlyLogged()
{
    TerminalRig &lane = collectionLane();
    lane.dispenser().refuse("accept/enable", 7, "Dispenser not active", 1);
    LogCapture log;
    QVERIFY(lane.start());
    QVERIFY(waitUntil([&] { return log.contains(QtCriticalMsg, "[CollectEngine] Failed to enable card auto-accept"); }));
    QCOMPARE(lane.session()->state(), Session::Idle);
    QCOMPARE(lane.session()->error(), QString());
    const int from = lane.trail->size();
    lane.vehicleArrives();
    QVERIFY(lane.trail->waitFor(Session::WaitUser, from) >= 0);
}

void tst_CollectEngine::stopSwitchesAcceptanceOff_data()
{
    QTest::addColumn<QString>("way"); // how the collection engine ends
    QTest::newRow("terminal stopped") << "stopped";
    QTest::newRow("lane becomes vending") << "vending";
}

// A stopped lane (a card self-test is about to run) takes no card in: no engine would read it or
// give it back, and left at the reader it would keep every later card out. The same once the
// lane has become a vending lane, whose engine takes no card at all.
void tst_CollectEngine::stopSwitchesAcceptanceOff()
{
    QFETCH(QString, way);

    TerminalRig &lane = collectionLane();
    QVERIFY(lane.start());
    QVERIFY(waitUntil([&] { return lane.dispenser().acceptEnabled(); }));
    LogCapture log;
    if (way == "stopped") {
        lane.terminal->stop();
    } else {
        lane.dispenser().setModel("KTV52817");
        WAIT_COMPARE(lane.terminal->type(), Terminal::VendingType);
    }
    QVERIFY(waitUntil([&] { return !lane.dispenser().acceptEnabled(); }));
    QVERIFY(!lane.dispenser().driverInsertCard(FakeCard::rudi("D0001", 12)));
    if (way == "vending") {
        QVERIFY(lane.cardPrepared("C0001"));
        return;
    }

    QVERIFY(waitUntil([&] { return log.contains(QtInfoMsg, "[CollectEngine] Disabled card auto-accept"); }));
    lane.terminal->start();
    const int from = lane.trail->size();
    QVERIFY(insert(FakeCard::rudi("D0001", 12)));
    QVERIFY(lane.trail->waitFor(Session::Exit, from) >= 0);
}

void tst_CollectEngine::noCardTakenWhileTheReaderUpdates_data()
{
    QTest::addColumn<bool>("truck"); // a truck arrives while the reader updates
    QTest::newRow("no truck") << false;
    QTest::newRow("a truck arrives meanwhile") << true;
}

// While the reader updates its firmware the lane is out of order: a card taken in could not be
// read, only given back after the reader's time-outs, and no session opens for a truck, which
// waits. The mouth takes cards again once it is done, and the waiting truck's session opens.
void tst_CollectEngine::noCardTakenWhileTheReaderUpdates()
{
    QFETCH(bool, truck);

    TerminalRig &lane = collectionLane();
    QVERIFY(lane.start());
    QVERIFY(waitUntil([&] { return lane.dispenser().acceptEnabled(); }));
    lane.rfid().setState(FakeRfidService::Updating);
    WAIT_COMPARE(lane.terminal->reason(), QString("RFID updating"));
    QVERIFY(waitUntil([&] { return !lane.dispenser().acceptEnabled(); }));
    QVERIFY(!lane.dispenser().driverInsertCard(FakeCard::rudi("D0001", 12)));
    const int from = lane.trail->size();
    LogCapture log;
    if (truck) {
        lane.vehicleArrives();
        QTest::qWait(1500); // a session would open at once
        QCOMPARE(lane.trail->since(from), QString());
        QCOMPARE(log.count(QtInfoMsg, "[CameraManager] cameraProcess"), 0);
        QCOMPARE(lane.terminal->state(), Terminal::Error);
    }

    lane.rfid().setState(FakeRfidService::Idle);
    WAIT_COMPARE(lane.terminal->state(), Terminal::Ready);
    if (truck) {
        QVERIFY(lane.trail->waitFor(Session::WaitUser, from) >= 0);
        QCOMPARE(lane.trail->since(from), QString("DataCollect WaitUser"));
    }
    QVERIFY(insert(FakeCard::rudi("D0001", 12)));
    QVERIFY(lane.trail->waitFor(Session::Exit, from) >= 0);
    QCOMPARE(lane.dispenser().cardInMouth()->uid, QString("D0001"));
}

void tst_CollectEngine::strayCardGivenBack_data()
{
    QTest::addColumn<QString>("way"); // how a card came to stay at the reader without a session
    QTest::newRow("stopped before its check") << "stopped";
    QTest::newRow("eject jammed, then cleared") << "jammed";
}

// A card at the reader that no session holds goes back to the mouth once the lane can serve
// again, or the lane would report Ready while no driver can insert a card.
void tst_CollectEngine::strayCardGivenBack()
{
    QFETCH(QString, way);

    LaneSetup setup;
    if (way == "stopped") {
        setup.cameras = {{"alpr2", FakeCamera::plateResult("XYZ9876")}};
        setup.triggerDelayMsec = 2500;
    }
    TerminalRig &lane = collectionLane(setup);
    QVERIFY(lane.start());
    LogCapture log;
    const int from = lane.trail->size();
    FakeCard::Ptr card;
    if (way == "stopped") {
        card = FakeCard::rudi("D0001", 12);
        lane.vehicleArrives();
        QVERIFY(lane.trail->waitFor(Session::DataCollect, from) >= 0);
        QVERIFY(insert(card));
        QVERIFY(waitUntil([&] { return !lane.session()->card().isNull(); }));
        lane.terminal->stop();
        QCOMPARE(lane.dispenser().cardInRfid(), card);
        lane.terminal->start();
    } else {
        card = FakeCard::rudi("F0001", 99);
        lane.dispenser().jamOnNext("eject");
        QVERIFY(insert(card));
        const int error = lane.trail->waitFor(Session::Error, from);
        QVERIFY(error >= 0);
        WAIT_COMPARE(lane.terminal->reason(), QString("Dispenser jammed"));
        QVERIFY(lane.trail->waitFor(Session::Idle, error) >= 0);
        // Nothing is tried while the dispenser is jammed.
        QCOMPARE(lane.dispenser().cardInRfid(), card);
        lane.dispenser().setJammed(false);
    }
    QVERIFY(waitUntil([&] { return lane.dispenser().cardInMouth() == card; }, 10000));
    QCOMPARE(log.count(QtWarningMsg, "[CollectEngine] WARN: Card at the reader belongs to no session. Returning card : "), 1);
    QCOMPARE(lane.rfid().count("card/write"), 0);

    // The mouth is free again for the next driver.
    lane.dispenser().driverTakeCard();
    const int next = lane.trail->size();
    QVERIFY(insert(FakeCard::rudi("D0002", 12)));
    QVERIFY(lane.trail->waitFor(Session::Exit, next) >= 0);
}

void tst_CollectEngine::buttonTakesNoPart()
{
    TerminalRig &lane = collectionLane();
    LogCapture log;
    QVERIFY(lane.start());
    // The engine's own start-up lines come first; after them the button must add none.
    QVERIFY(waitUntil([&] { return log.contains(QtInfoMsg, "[CollectEngine] Enabled card auto-accept"); }));
    log.clear();
    const int from = lane.trail->size();
    lane.terminal->engine()->simButtonPressed();
    QVERIFY(lane.pressButton());
    QCOMPARE(lane.trail->since(from), QString());
    QVERIFY(!lane.session()->buttonPressed());
    QCOMPARE(log.texts().filter("[CollectEngine]"), QStringList());
}

void tst_CollectEngine::customsIdThatIsNoNumber()
{
    TerminalRig &lane = collectionLane();
    QVERIFY(lane.start());
    lane.config->set("terminal/customsId", "12a");
    QCOMPARE(lane.terminal->reason(), QString("Invalid Customs id"));
    const int from = lane.trail->size();
    // A card of office 0 must not pass as a match for an unreadable id.
    const FakeCard::Ptr card = FakeCard::rudi("D0001", 0);
    QVERIFY(insert(card));
    QVERIFY(lane.trail->waitFor(Session::Error, from) >= 0);
    QCOMPARE(lane.session()->error(), QString("Invalid Customs id : 12a"));
    QCOMPARE(lane.rfid().count("card/write"), 0);
    QVERIFY(waitUntil([&] { return lane.dispenser().cardInMouth() == card; }));
}

QTEST_MAIN(tst_CollectEngine)
#include "tst_CollectEngine.moc"
