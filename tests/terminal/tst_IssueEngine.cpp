#include "TerminalRig.h"

#include "fakes/CoarseTimer.h"
#include "fakes/LogCapture.h"
#include "terminal/IssueEngine.h"

#include <QElapsedTimer>
#include <QJsonArray>

// The sessions of a card-vending lane, against the fake card services and cameras.
class tst_IssueEngine : public TerminalTestCase
{
    Q_OBJECT

private slots:
    void cardPreparedBeforeTheVehicle();
    void passage_data();
    void passage();
    void failedCardOperation_data();
    void failedCardOperation();
    void vehicleLeaves_data();
    void vehicleLeaves();
    void vehicleStillOnTheLoopAtTheReset();
    void unreadableCardDisposedAndPreparedAgain();
    void preparationFailingDuringDataCollect();
    void disposalWhilePreparing();
    void disposalReported_data();
    void disposalReported();
    void retryAfterTheSessionMovedOn_data();
    void retryAfterTheSessionMovedOn();
    void oneIssuerPreparationAtATime();
    void stopCancelsPendingSteps_data();
    void stopCancelsPendingSteps();
    void idUnfitForACard_data();
    void idUnfitForACard();
    void collectTimeout_data();
    void collectTimeout();
    void issuerInErrorWithATruckStanding_data();
    void issuerInErrorWithATruckStanding();
    void simulatedCallsWhileStopped();
    void secondStartStopsFirst();

private:
    // Waits for the card in the mouth and takes it; returns what was written on it.
    FakeCard::Ptr takePresentedCard();
};

FakeCard::Ptr tst_IssueEngine::takePresentedCard()
{
    if (!waitUntil([this] { return !m_rig->dispenser().cardInMouth().isNull(); }, 10000))
        return {};
    const FakeCard::Ptr card = m_rig->dispenser().cardInMouth();
    m_rig->dispenser().driverTakeCard();
    return card;
}

void tst_IssueEngine::cardPreparedBeforeTheVehicle()
{
    LogCapture log;
    TerminalRig &lane = rig();
    QVERIFY(lane.start());
    QVERIFY(lane.cardPrepared("C0001"));
    QCOMPARE(lane.session()->state(), Session::Idle);
    QCOMPARE(lane.dispenser().cardInRfid()->uid, QString("C0001"));
    QCOMPARE(lane.dispenser().count("issue"), 1);
    QVERIFY(qobject_cast<IssueEngine *>(lane.terminal->engine().data()));
    QCOMPARE(log.count(QtInfoMsg, "[Terminal] Creating terminal engine for : CARD_VENDING_MACHINE"), 1);
    QVERIFY(log.contains(QtInfoMsg, "[IssueEngine] Starting engine"));
    QVERIFY(log.contains(QtInfoMsg, "[IssueEngine] State changed : (0)Stopped -> (1)Idle"));
    QVERIFY(log.contains(QtInfoMsg, "[IssueEngine] Card prepared : C0001"));

    // The record of the next vehicle is ready.
    const Session *session = lane.session();
    QCOMPARE(session->type(), QString("CARD_VENDING_MACHINE"));
    QCOMPARE(session->deviceId(), QString("SN-1"));
    QCOMPARE(session->customsId(), QString("12"));
    QCOMPARE(session->locationId(), QString("7"));
    QCOMPARE(session->uuid().size(), 36);
    QVERIFY(!session->uuid().contains('{'));
    QCOMPARE(session->readings(), (QVariantMap{{"Front", QString()}, {"Rear", QString()}}));
    QVERIFY(session->start().isNull());
}

void tst_IssueEngine::passage_data()
{
    QTest::addColumn<QString>("order");   // the driver's and the vehicle's moves
    QTest::addColumn<QString>("states");  // the session's states from the first move on

    QTest::newRow("vehicle, then button") << "vehicle button"
                                          << "DataCollect WaitUser Permission CardProcess WaitCollect Exit PostExit Idle";
    QTest::newRow("button before the vehicle") << "button"
                                               << "DataCollect Permission CardProcess WaitCollect Exit PostExit Idle";
    QTest::newRow("button while the cameras work") << "vehicle button-in-DataCollect"
                                                   << "DataCollect Permission CardProcess WaitCollect Exit PostExit Idle";
}

void tst_IssueEngine::passage()
{
    QFETCH(QString, order);
    QFETCH(QString, states);

    LaneSetup setup;
    setup.cameras = {{"alpr1", FakeCamera::plateResult("ABC1234")}, {"alpr2", FakeCamera::plateResult("XYZ9876")}};
    // Long enough to press the button while the cameras still work.
    setup.triggerDelayMsec = order.contains("in-DataCollect") ? 1500 : 0;
    TerminalRig &lane = rig(setup);
    QVERIFY(lane.start());
    QVERIFY(lane.cardPrepared("C0001"));
    QSignalSpy started(lane.terminal.get(), &Terminal::sessionStarted);
    QSignalSpy finished(lane.terminal.get(), &Terminal::sessionFinished);
    LogCapture log;
    const int from = lane.trail->size();

    for (const QString &move : order.split(' ')) {
        if (move == "vehicle") {
            lane.vehicleArrives();
            QVERIFY(lane.trail->waitFor(Session::DataCollect, from) >= 0);
            if (!order.contains("in-DataCollect"))
                QVERIFY(lane.trail->waitFor(Session::WaitUser, from) >= 0);
        } else if (move == "button") {
            QVERIFY(lane.pressButton());
        } else {
            QCOMPARE(lane.session()->state(), Session::DataCollect);
            QVERIFY(lane.pressButton());
            QCOMPARE(lane.session()->state(), Session::DataCollect);
            QVERIFY(lane.session()->buttonPressed());
            QVERIFY(log.contains(QtWarningMsg, "[IssueEngine] WARN: Ignoring in current state : Session::DataCollect"));
        }
    }
    QVERIFY(lane.trail->waitFor(Session::WaitCollect, from) >= 0);
    const QString uuid = lane.session()->uuid();
    QCOMPARE(lane.session()->cardId(), QString("C0001"));
    QCOMPARE(lane.session()->readings(), (QVariantMap{{"Front", "ABC1234"}, {"Rear", "XYZ9876"}}));
    QVERIFY(lane.session()->start().isValid());
    QCOMPARE(started.count(), 1);

    const FakeCard::Ptr card = takePresentedCard();
    QVERIFY(card);
    if (order.contains("vehicle"))
        lane.vehicleLeaves(); // with its card, through the barrier
    QCOMPARE(card->uid, QString("C0001"));
    QCOMPARE(card->templateName, QString("RUDIv1"));
    const QJsonObject info = card->data.value("info").toObject();
    QCOMPARE(info.value("customsId").toInt(), 12);
    QCOMPARE(info.value("status").toString(), QString("active"));
    QCOMPARE(card->data.value("usageCounter").toInt(), 1);
    const QJsonArray usage = card->usageLog();
    QCOMPARE(usage.size(), 1);
    QCOMPARE(usage.at(0).toObject().value("type").toString(), QString("entry"));
    QCOMPARE(usage.at(0).toObject().value("deviceId").toString(), QString("SN-1"));
    QCOMPARE(usage.at(0).toObject().value("locationId").toString(), QString("7"));
    QCOMPARE(usage.at(0).toObject().value("usageCounter").toInt(), 0);

    QVERIFY(lane.trail->waitFor(Session::PostExit, from) >= 0);
    QCOMPARE(finished.count(), 1);
    QVERIFY(lane.session()->result());
    QVERIFY(lane.session()->end() >= lane.session()->start());
    QCOMPARE(lane.session()->card()->customsId(), 12);
    QVERIFY(lane.trail->waitFor(Session::Idle, from + 1) >= 0);
    QCOMPARE(lane.trail->since(from), states);

    // The reset: a fresh record, and the next card on its way.
    QVERIFY(lane.session()->uuid() != uuid);
    QVERIFY(!lane.session()->result());
    QVERIFY(lane.session()->card().isNull());
    QCOMPARE(lane.session()->readings(), (QVariantMap{{"Front", QString()}, {"Rear", QString()}}));
    QVERIFY(lane.cardPrepared("C0002"));

    const QStringList info_ = log.texts(QtInfoMsg);
    const int block = info_.indexOf("[IssueEngine] --- DATA COLLECTED -----------------");
    QVERIFY(block >= 0);
    QCOMPARE(info_.mid(block, 6), (QStringList{"[IssueEngine] --- DATA COLLECTED -----------------",
                                               "[IssueEngine] Card UID : C0001",
                                               "[IssueEngine] Cameras  : 2",
                                               "[IssueEngine]   Front : ABC1234",
                                               "[IssueEngine]   Rear : XYZ9876",
                                               "[IssueEngine] ------------------------------------"}));
    QVERIFY(info_.contains("[IssueEngine] Card issued successfully : C0001"));
    QVERIFY(info_.contains("[IssueEngine] Ejecting card for collection (collectTimeout=60 sec)"));
    QVERIFY(info_.contains("[IssueEngine] Card collected successfully : C0001"));
    QVERIFY(info_.contains("[IssueEngine] Card collected : C0001"));
    QVERIFY(info_.contains("[IssueEngine] Opening barrier"));
    QVERIFY(info_.contains("[IssueEngine] Barrier closed"));
    QVERIFY(log.contains(QtWarningMsg, "[Engine] ----- Resetting state machine"));
    // A session leaves nothing behind at the back office.
    QCOMPARE(lane.backOffice.count(FakeBackOffice::Transaction), 0);
}

void tst_IssueEngine::failedCardOperation_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("nextCard"); // prepared after the reset

    QTest::newRow("write refused") << "write" << "Write card failed : Card write failed" << "C0002";
    QTest::newRow("card not taken") << "not taken" << "Card not collected" << "C0001";
    QTest::newRow("eject jams") << "jam" << "Eject failed: Failed to eject card : Card jam" << "";
}

void tst_IssueEngine::failedCardOperation()
{
    QFETCH(QString, fault);
    QFETCH(QString, error);
    QFETCH(QString, nextCard);

    LaneSetup setup;
    setup.collectTimeoutSec = 1;
    TerminalRig &lane = rig(setup);
    QVERIFY(lane.start());
    QVERIFY(lane.cardPrepared("C0001"));
    if (fault == "write")
        lane.rfid().refuse("card/write", 9, "Card write failed", 1);
    else if (fault == "jam")
        lane.dispenser().jamOnNext("eject");
    QSignalSpy finished(lane.terminal.get(), &Terminal::sessionFinished);
    LogCapture log;
    const int from = lane.trail->size();

    QVERIFY(lane.pressButton());
    QVERIFY(lane.trail->waitFor(Session::Error, from) >= 0);
    QCOMPARE(lane.session()->error(), error);
    QVERIFY(!lane.session()->result());
    QCOMPARE(finished.count(), 1);
    QVERIFY(log.contains(QtCriticalMsg, "[IssueEngine] ERROR: " + error));

    // The error stays on the screens for the reset delay, then the lane is ready again.
    QElapsedTimer shown;
    shown.start();
    QVERIFY(lane.trail->waitFor(Session::Idle, from) >= 0);
    QVERIFY(shown.elapsed() >= coarseTimerEarliest(Engine::ResetDelayMs) - 100);
    QCOMPARE(lane.session()->error(), QString());
    if (fault == "jam") {
        // The jammed dispenser puts the terminal out of order until it is cleared.
        WAIT_COMPARE(lane.terminal->reason(), QString("Dispenser jammed"));
        QCOMPARE(lane.terminal->state(), Terminal::Error);
        lane.dispenser().setJammed(false);
        WAIT_COMPARE(lane.terminal->state(), Terminal::Ready);
        // The card went nowhere: it is still at the reader for the next vehicle.
        QCOMPARE(lane.dispenser().cardInRfid()->uid, QString("C0001"));
        const int next = lane.trail->size();
        QVERIFY(lane.pressButton());
        QVERIFY(lane.trail->waitFor(Session::WaitCollect, next) >= 0);
        QCOMPARE(takePresentedCard()->uid, QString("C0001"));
        QVERIFY(lane.trail->waitFor(Session::PostExit, next) >= 0);
    } else {
        QVERIFY(lane.cardPrepared(nextCard));
    }
    if (fault == "write")
        QCOMPARE(lane.dispenser().bin().size(), 1);
}

void tst_IssueEngine::vehicleLeaves_data()
{
    QTest::addColumn<Session::State>("leaveIn");
    QTest::addColumn<bool>("endsAtOnce");
    QTest::newRow("DataCollect") << Session::DataCollect << true;
    QTest::newRow("WaitUser") << Session::WaitUser << true;
    QTest::newRow("Permission") << Session::Permission << false;
    QTest::newRow("WaitCollect") << Session::WaitCollect << false;
}

void tst_IssueEngine::vehicleLeaves()
{
    QFETCH(Session::State, leaveIn);
    QFETCH(bool, endsAtOnce);

    LaneSetup setup;
    setup.cameras = {{"alpr1", FakeCamera::plateResult("ABC1234")}};
    setup.triggerDelayMsec = leaveIn == Session::DataCollect ? 2000 : 0;
    TerminalRig &lane = rig(setup);
    QVERIFY(lane.start());
    QVERIFY(lane.cardPrepared("C0001"));
    QSignalSpy finished(lane.terminal.get(), &Terminal::sessionFinished);
    LogCapture log;
    const int from = lane.trail->size();

    lane.vehicleArrives();
    QVERIFY(lane.trail->waitFor(Session::DataCollect, from) >= 0);
    if (leaveIn != Session::DataCollect) {
        QVERIFY(lane.trail->waitFor(Session::WaitUser, from) >= 0);
        if (leaveIn != Session::WaitUser)
            QVERIFY(lane.pressButton());
    }
    QVERIFY(lane.trail->waitFor(leaveIn, from) >= 0);
    const QString uuid = lane.session()->uuid();
    QSignalSpy left(lane.terminal->loop(), &manager::Loop::vehicleLeft);
    lane.vehicleLeaves();
    QVERIFY(left.wait(3000));
    QVERIFY(log.contains(QtInfoMsg, "[IssueEngine] Vehicle left"));

    if (endsAtOnce) {
        QCOMPARE(lane.session()->state(), Session::Idle);
        QVERIFY(lane.session()->uuid() != uuid);
        QVERIFY(lane.session()->end().isNull());
        QCOMPARE(finished.count(), 0);
        // The card stays for the next vehicle, and a late camera result reaches no session.
        QVERIFY(lane.cardPrepared("C0001"));
        QTest::qWait(leaveIn == Session::DataCollect ? 2500 : 0);
        QCOMPARE(lane.session()->readings(), (QVariantMap{{"Front", QString()}, {"Rear", QString()}}));
        QCOMPARE(lane.session()->state(), Session::Idle);
        QCOMPARE(lane.dispenser().count("issue"), 1);
    } else {
        QVERIFY(log.contains(QtWarningMsg, "[IssueEngine] WARN: Ignoring in current state : Session::"
                                               + Session::stateToStr(leaveIn)));
        QCOMPARE(lane.session()->uuid(), uuid);
        QVERIFY(takePresentedCard());
        QVERIFY(lane.trail->waitFor(Session::PostExit, from) >= 0);
    }
}

// A truck still standing on the loop at the reset opens the next session at once.
void tst_IssueEngine::vehicleStillOnTheLoopAtTheReset()
{
    TerminalRig &lane = rig();
    QVERIFY(lane.start());
    QVERIFY(lane.cardPrepared("C0001"));
    const int from = lane.trail->size();
    lane.vehicleArrives();
    QVERIFY(lane.trail->waitFor(Session::WaitUser, from) >= 0);
    QVERIFY(lane.pressButton());
    QVERIFY(takePresentedCard());
    const int reset = lane.trail->waitFor(Session::Idle, from + 1);
    QVERIFY(reset >= 0);
    QCOMPARE(lane.trail->since(reset).split(' ').value(1), QString("DataCollect"));
    QVERIFY(!lane.session()->buttonPressed());
    QVERIFY(lane.trail->waitFor(Session::WaitUser, reset) >= 0);
    QCOMPARE(lane.session()->cardId(), QString("C0002"));
}

// A card whose uid cannot be read is binned; the engine prepares another 1000 ms after the
// disposal is reported.
void tst_IssueEngine::unreadableCardDisposedAndPreparedAgain()
{
    auto unreadable = FakeCard::blank("U0001");
    unreadable->detectable = false;
    LaneSetup setup;
    setup.cartridge = {unreadable, FakeCard::blank("C0002")};
    TerminalRig &lane = rig(setup);
    LogCapture log;
    QVERIFY(lane.start());

    QVERIFY(waitUntil([&] { return log.contains(QtInfoMsg, "[IssueEngine] Card disposed : uid=<none>"); }, 10000));
    QVERIFY(log.contains(QtCriticalMsg, "[IssueEngine] ERROR: Failed to prepare card : Failed to find card : "));
    QElapsedTimer retry;
    retry.start();
    QVERIFY(lane.cardPrepared("C0002"));
    QVERIFY(retry.elapsed() >= coarseTimerEarliest(IssueEngine::PrepareRetryDelayMs) - 100);
    QCOMPARE(lane.dispenser().bin().size(), 1);
    QCOMPARE(lane.session()->state(), Session::Idle);
    QCOMPARE(lane.session()->error(), QString());
}

// A vehicle waiting on a card that is not coming ends in Error with the issuer's text.
void tst_IssueEngine::preparationFailingDuringDataCollect()
{
    auto unreadable = FakeCard::blank("U0001");
    unreadable->detectable = false;
    LaneSetup setup;
    setup.cartridge = {unreadable, FakeCard::blank("C0002")};
    TerminalRig &lane = rig(setup);
    // The vehicle is on the loop before the first card is ready.
    lane.vehicleArrives();
    LogCapture log;
    QVERIFY(lane.start());

    QVERIFY(lane.trail->waitFor(Session::DataCollect) >= 0);
    QVERIFY(lane.trail->waitFor(Session::Error) >= 0);
    QVERIFY(lane.session()->error().startsWith("Failed to find card : "));
    QVERIFY(lane.trail->since(0).startsWith("Idle DataCollect Error"));
    // The reset brings the truck that still stands there a fresh session with the next card.
    QVERIFY(lane.trail->waitFor(Session::WaitUser, 3, 15000) >= 0);
    QCOMPARE(lane.session()->cardId(), QString("C0002"));
}

// A disposal reported while a preparation runs starts no second one.
void tst_IssueEngine::disposalWhilePreparing()
{
    TerminalRig &lane = rig();
    lane.dispenser().delay("issue", 2500, 1); // keeps the first preparation pending
    QVERIFY(lane.start());
    LogCapture log;
    emit lane.terminal->cardIssuer()->cardDisposed(Tag::Ptr());
    QVERIFY(waitUntil([&] { return log.contains(QtWarningMsg, "[IssueEngine] WARN: Card preparation already in progress. Skipping"); }, 3000));
    QVERIFY(lane.cardPrepared("C0001"));
    QCOMPARE(lane.dispenser().count("issue"), 1);
}

void tst_IssueEngine::disposalReported_data()
{
    QTest::addColumn<Session::State>("in");
    QTest::addColumn<bool>("preparedAgain");
    QTest::newRow("Idle") << Session::Idle << true;
    QTest::newRow("DataCollect") << Session::DataCollect << true;
    QTest::newRow("WaitUser") << Session::WaitUser << false;
}

// A disposal while the vehicle's card may still be missing is followed by a new preparation
// 1000 ms later; once the session has its card, it is refused.
void tst_IssueEngine::disposalReported()
{
    QFETCH(Session::State, in);
    QFETCH(bool, preparedAgain);

    LaneSetup setup;
    setup.cameras = {{"alpr1", FakeCamera::plateResult("ABC1234")}};
    setup.triggerDelayMsec = in == Session::DataCollect ? 3000 : 0;
    TerminalRig &lane = rig(setup);
    QVERIFY(lane.start());
    QVERIFY(lane.cardPrepared("C0001"));
    const int from = lane.trail->size();
    if (in != Session::Idle) {
        lane.vehicleArrives();
        QVERIFY(lane.trail->waitFor(in, from) >= 0);
    }
    LogCapture log;
    emit lane.terminal->cardIssuer()->cardDisposed(Tag::Ptr());
    QVERIFY(log.contains(QtInfoMsg, "[IssueEngine] Card disposed : uid=<none>"));
    QCOMPARE(log.contains(QtWarningMsg, "[IssueEngine] WARN: Ignoring in current state : Session::WaitUser"),
             !preparedAgain);
    QTest::qWait(IssueEngine::PrepareRetryDelayMs + 500);
    QCOMPARE(log.count(QtInfoMsg, "[IssueEngine] Preparing card"), preparedAgain ? 1 : 0);
    QCOMPARE(lane.session()->state(), in);
}

void tst_IssueEngine::retryAfterTheSessionMovedOn_data()
{
    QTest::addColumn<Session::State>("firesIn");
    QTest::newRow("CardProcess") << Session::CardProcess;
    QTest::newRow("WaitCollect") << Session::WaitCollect;
}

// The preparation due 1000 ms after a disposal reported in Idle finds the session moved on to
// its card: that card is neither switched off under its write nor pulled back from the driver.
void tst_IssueEngine::retryAfterTheSessionMovedOn()
{
    QFETCH(Session::State, firesIn);

    TerminalRig &lane = rig();
    QVERIFY(lane.start());
    QVERIFY(lane.cardPrepared("C0001"));
    if (firesIn == Session::CardProcess)
        lane.rfid().delay("card/write", 1500, 1); // within the reader's time limit
    const int from = lane.trail->size();
    LogCapture log;
    emit lane.terminal->cardIssuer()->cardDisposed(Tag::Ptr());
    // Without cameras the session is in Permission at once, in CardProcess 500 ms later.
    lane.terminal->engine()->simButtonPressed();
    QVERIFY(lane.trail->waitFor(firesIn, from) >= 0);
    QVERIFY(waitUntil([&] {
        return log.contains(QtInfoMsg, "[IssueEngine] Preparing card")
               || log.contains(QtWarningMsg, "[IssueEngine] WARN: Ignoring in current state : Session::");
    }, 5000));
    QCOMPARE(log.count(QtInfoMsg, "[IssueEngine] Preparing card"), 0);

    const FakeCard::Ptr card = takePresentedCard();
    QVERIFY(card);
    QCOMPARE(card->uid, QString("C0001"));
    QVERIFY(lane.trail->waitFor(Session::PostExit, from) >= 0);
    QVERIFY2(!lane.trail->since(from).contains("Error"), qPrintable(lane.trail->since(from)));
    QCOMPARE(lane.dispenser().count("issue"), 1);
    QVERIFY(lane.dispenser().bin().isEmpty());
}

// A session that ends while the next card is still being prepared does not make the issuer
// prepare a second one: its preparation goes on for the next vehicle.
void tst_IssueEngine::oneIssuerPreparationAtATime()
{
    TerminalRig &lane = rig();
    QVERIFY(lane.start());
    QVERIFY(lane.cardPrepared("C0001"));
    const int from = lane.trail->size();
    QVERIFY(lane.pressButton());
    QVERIFY(takePresentedCard());
    QVERIFY(lane.trail->waitFor(Session::PostExit, from) >= 0);

    lane.dispenser().delay("issue", 4000, 1); // the next preparation outlives a short session
    lane.vehicleArrives();
    QVERIFY(lane.trail->waitFor(Session::Idle, from + 1) >= 0);
    QVERIFY(lane.trail->waitFor(Session::DataCollect, from + 1) >= 0);
    LogCapture log;
    lane.vehicleLeaves(); // back to Idle while the preparation runs
    QVERIFY(lane.trail->waitFor(Session::Idle, lane.trail->size() - 1) >= 0);
    QVERIFY(waitUntil([&] { return log.contains(QtWarningMsg, "[IssueEngine] WARN: Card preparation already in progress. Skipping"); }, 3000));
    QVERIFY(lane.cardPrepared("C0002"));
    QCOMPARE(lane.dispenser().count("issue"), 2);
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Preparing card"), 0);
}

void tst_IssueEngine::stopCancelsPendingSteps_data()
{
    QTest::addColumn<Session::State>("stopIn");
    QTest::newRow("Permission") << Session::Permission;
    QTest::newRow("WaitCollect") << Session::WaitCollect;
    QTest::newRow("Exit") << Session::Exit;
    QTest::newRow("PostExit") << Session::PostExit;
}

// Nothing of a stopped terminal's session acts later: no card moves, no stale reset wipes the
// session of the next start.
void tst_IssueEngine::stopCancelsPendingSteps()
{
    QFETCH(Session::State, stopIn);

    TerminalRig &lane = rig();
    QVERIFY(lane.start());
    QVERIFY(lane.cardPrepared("C0001"));
    const int from = lane.trail->size();
    QVERIFY(lane.pressButton());
    if (stopIn == Session::Exit || stopIn == Session::PostExit)
        QVERIFY(takePresentedCard());
    QVERIFY(lane.trail->waitFor(stopIn, from) >= 0);
    if (stopIn == Session::WaitCollect)
        QVERIFY(waitUntil([&] { return !lane.dispenser().cardInMouth().isNull(); }));

    lane.terminal->stop();
    QCOMPARE(lane.session()->state(), Session::Stopped);
    const int stopped = lane.trail->size();
    if (stopIn == Session::WaitCollect)
        lane.dispenser().driverTakeCard(); // too late for the stopped session
    QTest::qWait(Engine::ResetDelayMs + 700);
    QCOMPARE(lane.trail->since(stopped), QString());
    QCOMPARE(lane.dispenser().count("issue"), 1);
    QCOMPARE(lane.rfid().count("card/write"), stopIn == Session::Permission ? 0 : 1);

    // The next start begins a session that no leftover reset can end.
    lane.terminal->start();
    QCOMPARE(lane.session()->state(), Session::Idle);
    const QString uuid = lane.session()->uuid();
    const int restarted = lane.trail->size();
    QVERIFY(lane.pressButton());
    QVERIFY(lane.trail->waitFor(Session::WaitCollect, restarted) >= 0);
    QCOMPARE(lane.session()->uuid(), uuid);
}

void tst_IssueEngine::idUnfitForACard_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("reason"); // the terminal's
    QTest::addColumn<QString>("error");  // the session's
    QTest::newRow("customs id no number") << "terminal/customsId" << "ATH-12" << "Invalid Customs id"
                                          << "Invalid Customs id : ATH-12";
    QTest::newRow("no device id") << "terminal/deviceId" << "" << "Missing Device id" << "Missing Device id";
    QTest::newRow("no location id") << "terminal/locationId" << "" << "Missing Location id" << "Missing Location id";
}

// An id that went bad under a running engine: reported by the terminal, and never written on a
// card (as 0, or as an empty entry record).
void tst_IssueEngine::idUnfitForACard()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, reason);
    QFETCH(QString, error);

    TerminalRig &lane = rig();
    QVERIFY(lane.start());
    QVERIFY(lane.cardPrepared("C0001"));
    lane.config->set(key, value);
    QCOMPARE(lane.terminal->state(), Terminal::Error);
    QCOMPARE(lane.terminal->reason(), reason);
    const int from = lane.trail->size();

    QVERIFY(lane.pressButton());
    QVERIFY(lane.trail->waitFor(Session::Error, from) >= 0);
    QCOMPARE(lane.session()->error(), error);
    QCOMPARE(lane.rfid().count("card/create") + lane.rfid().count("card/write"), 0);
    QVERIFY(lane.dispenser().cardInMouth().isNull());
    QCOMPARE(lane.dispenser().cardInRfid()->uid, QString("C0001"));
}

void tst_IssueEngine::collectTimeout_data()
{
    QTest::addColumn<QString>("value"); // of terminal/collectTimeoutSec
    QTest::addColumn<int>("seconds");   // the driver is waited for
    QTest::addColumn<QString>("warning");

    const QString notPositive = "[IssueEngine] WARN: terminal/collectTimeoutSec is no positive number (%1), taken as 60";
    const QString tooLarge = "[IssueEngine] WARN: terminal/collectTimeoutSec is more than a timer holds (%1), taken as 2147483";
    QTest::newRow("1") << "1" << 1 << "";
    QTest::newRow("the largest") << "2147483" << 2147483 << "";
    QTest::newRow("no number") << "sixty" << 60 << notPositive.arg("sixty");
    QTest::newRow("0") << "0" << 60 << notPositive.arg("0");
    QTest::newRow("negative") << "-1" << 60 << notPositive.arg("-1");
    QTest::newRow("beyond a timer") << "2147484" << 2147483 << tooLarge.arg("2147484");
    QTest::newRow("beyond an int") << "99999999999" << 2147483 << tooLarge.arg("99999999999");
}

// The wait for the driver always has a limit the dispenser's timer can hold: else a card never
// taken keeps the lane in WaitCollect and the next driver takes it.
void tst_IssueEngine::collectTimeout()
{
    QFETCH(QString, value);
    QFETCH(int, seconds);
    QFETCH(QString, warning);

    TerminalRig &lane = rig();
    QVERIFY(lane.start());
    QVERIFY(lane.cardPrepared("C0001"));
    lane.config->set("terminal/collectTimeoutSec", value);
    LogCapture log;
    const int from = lane.trail->size();
    QVERIFY(lane.pressButton());
    QVERIFY(lane.trail->waitFor(Session::WaitCollect, from) >= 0);
    QVERIFY(takePresentedCard());
    QVERIFY(lane.trail->waitFor(Session::Exit, from) >= 0);

    QVERIFY(log.contains(QtInfoMsg, QString("[IssueEngine] Ejecting card for collection (collectTimeout=%1 sec)").arg(seconds)));
    QVERIFY(log.contains(QtInfoMsg, QString("[CardIssuer] Waiting for card to be collected (timeout=%1 sec)").arg(seconds)));
    const QStringList warnings = log.startingWith("[IssueEngine] WARN: terminal/collectTimeoutSec", QtWarningMsg);
    QCOMPARE(warnings, warning.isEmpty() ? QStringList() : QStringList{warning});
}

void tst_IssueEngine::issuerInErrorWithATruckStanding_data()
{
    QTest::addColumn<QString>("fault"); // why the card issuer cannot serve
    QTest::addColumn<QString>("then");
    QTest::newRow("jam, vehicle reported again") << "jam" << "vehicle";
    QTest::newRow("jam, button pressed") << "jam" << "button";
    QTest::newRow("jam cleared") << "jam" << "cleared";
    QTest::newRow("reader updating, vehicle reported again") << "update" << "vehicle";
    QTest::newRow("reader update ends") << "update" << "cleared";
    QTest::newRow("reader refusing while it updates, vehicle reported again") << "update, refusing" << "vehicle";
    QTest::newRow("reader refusing while it updates, update ends") << "update, refusing" << "cleared";
    QTest::newRow("reader not answering, vehicle reported again") << "silent" << "vehicle";
    QTest::newRow("reader heard again") << "silent" << "cleared";
}

// A jam ends the session in Error, the reader starts updating its firmware, or it stops
// answering; back in Idle with the truck still standing there, no session opens and no card is
// moved while the card issuer cannot serve (each would fail and trigger the cameras again), however
// the vehicle or the driver calls. The terminal is out of order meanwhile. Once the issuer can
// serve again, the card is prepared and the session opens for the truck.
void tst_IssueEngine::issuerInErrorWithATruckStanding()
{
    QFETCH(QString, fault);
    QFETCH(QString, then);

    TerminalRig &lane = rig();
    QVERIFY(lane.start());
    QVERIFY(lane.cardPrepared("C0001"));
    lane.rfid().setRefusesWhileUpdating(fault == "update, refusing");
    if (fault == "jam")
        lane.dispenser().jamOnNext("eject");
    else if (fault == "silent")
        lane.rfid().silence("enable");
    const int from = lane.trail->size();
    lane.vehicleArrives();
    QVERIFY(lane.trail->waitFor(Session::WaitUser, from) >= 0);
    QVERIFY(lane.pressButton());
    QString reason = "Dispenser jammed";
    if (fault == "jam") {
        QVERIFY(lane.trail->waitFor(Session::Error, from) >= 0);
    } else if (fault == "silent") {
        reason = "RFID not answering";
        QVERIFY(lane.trail->waitFor(Session::Error, from) >= 0);
        QCOMPARE(lane.session()->error(), QString("RFID enable failed : Timeout"));
    } else {
        reason = "RFID updating";
        QVERIFY(takePresentedCard());
        QVERIFY(lane.trail->waitFor(Session::PostExit, from) >= 0);
        lane.rfid().setState(FakeRfidService::Updating);
    }
    WAIT_VERIFY_WITH_TIMEOUT(lane.terminal->reason() == reason, 40000);
    QCOMPARE(lane.terminal->state(), Terminal::Error);
    const int idle = lane.trail->waitFor(Session::Idle, lane.trail->size() - 1);
    QVERIFY(idle >= 0);
    LogCapture log;
    const int dispensed = lane.dispenser().count("issue");
    QTest::qWait(1500); // a session would open at once, a card come from the stack
    QCOMPARE(lane.trail->since(idle), QString("Idle"));
    QCOMPARE(lane.dispenser().count("issue"), dispensed);

    if (then == "vehicle") {
        lane.terminal->engine()->simLoopPresent();
        QTest::qWait(1500);
    } else if (then == "button") {
        QVERIFY(lane.pressButton());
        QTest::qWait(1500);
    }
    if (then != "cleared") {
        QCOMPARE(lane.trail->since(idle), QString("Idle"));
        QCOMPARE(log.count(QtInfoMsg, "[CameraManager] cameraProcess"), 0);
        QCOMPARE(lane.dispenser().count("issue"), dispensed);
        QCOMPARE(lane.terminal->state(), Terminal::Error);
        QCOMPARE(lane.terminal->reason(), reason);
    } else {
        if (fault == "jam")
            lane.dispenser().setJammed(false);
        else if (fault == "silent")
            lane.rfid().clearFailures();
        else
            lane.rfid().setState(FakeRfidService::Idle);
        QVERIFY(lane.trail->waitFor(Session::WaitUser, idle, 20000) >= 0);
        QCOMPARE(lane.trail->since(idle), QString("Idle DataCollect WaitUser"));
        QCOMPARE(lane.session()->cardId(), QString(fault.startsWith("update") ? "C0002" : "C0001"));
        WAIT_COMPARE(lane.terminal->state(), Terminal::Ready);
        QCOMPARE(log.count(QtInfoMsg, "[CameraManager] cameraProcess"), 1);
    }
    QVERIFY(lane.dispenser().bin().isEmpty());
    QCOMPARE(lane.terminal->cardIssuer()->failCount(), 0);
}

// Only the simulation reaches a stopped engine, and it is refused; the button is still recorded.
void tst_IssueEngine::simulatedCallsWhileStopped()
{
    TerminalRig &lane = rig();
    QVERIFY(lane.start());
    lane.terminal->stop();
    LogCapture log;
    lane.terminal->engine()->simButtonPressed();
    lane.terminal->engine()->simLoopPresent();
    QCOMPARE(lane.session()->state(), Session::Stopped);
    QVERIFY(lane.session()->buttonPressed());
    QCOMPARE(log.count(QtWarningMsg, "[IssueEngine] WARN: Ignoring in current state : Session::Stopped"), 2);
    // The real button is not heard at all.
    log.clear();
    QVERIFY(lane.pressButton());
    QVERIFY(!log.contains(QtInfoMsg, "[IssueEngine] Button pressed"));
}

void tst_IssueEngine::secondStartStopsFirst()
{
    TerminalRig &lane = rig();
    QVERIFY(lane.start());
    QVERIFY(lane.cardPrepared("C0001"));
    const QString uuid = lane.session()->uuid();
    LogCapture log;
    lane.terminal->engine()->start();
    QCOMPARE(lane.session()->state(), Session::Idle);
    QVERIFY(lane.session()->uuid() != uuid);
    QCOMPARE(lane.trail->since(lane.trail->size() - 2), QString("Stopped Idle"));

    // Connected once: one press, one line.
    log.clear();
    QVERIFY(lane.pressButton());
    QCOMPARE(log.count(QtInfoMsg, "[IssueEngine] Button pressed"), 1);
}

QTEST_MAIN(tst_IssueEngine)
#include "tst_IssueEngine.moc"
