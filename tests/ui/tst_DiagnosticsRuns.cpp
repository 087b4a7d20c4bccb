#include "ControllerRig.h"

#include "app/LogQuote.h"

#include "fakes/DeferredProbe.h"
#include "fakes/LogCapture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>

// Card self-test runs of Diagnostics against the fake card services, card by card.
class tst_DiagnosticsRuns : public ControllerTestCase
{
    Q_OBJECT

private slots:
    void runsCardByCard_data();
    void runsCardByCard();
    void disposalReportBeforeTheResult();
    void disposalNeverReported();
    void stepFails_data();
    void stepFails();
    void requestRefused_data();
    void requestRefused();
    void secondRequestDuringARun();
    void cancelledMidRun();
    void cancelDuringTheLastCard();
    void nextRunStartedOnTheEnd();
    void cancelDuringThePause();
    void cancelWhileWaitingForACard();
    void runWaitsForTheCardPreparation_data();
    void runWaitsForTheCardPreparation();
    void driversCardLeftInTheMouth_data();
    void driversCardLeftInTheMouth();

private:
    // The rig with the issuer ready and a driver who, whenever the mouth is opened, takes back
    // the card lying there and inserts a card of their own.
    bool startWithDriver();
    void driverAtTheMouth();
    Diagnostics &diagnostics() { return *m_rig->manager->diagnostics(); }
    FakeDispenserService &dispenser() { return m_rig->cards.dispenser; }
    QStringList m_inserted;
};

bool tst_DiagnosticsRuns::startWithDriver()
{
    if (!rig().start())
        return false;
    driverAtTheMouth();
    return waitUntil([this] {
        return m_rig->manager->terminal().cardIssuer()->state() == manager::CardIssuer::Ready;
    });
}

void tst_DiagnosticsRuns::driverAtTheMouth()
{
    m_inserted.clear();
    connect(&dispenser(), &FakeService::requestHandled, this, [this](const QString &command) {
        if (command != QLatin1String("accept/enable"))
            return;
        QTimer::singleShot(0, this, [this] {
            dispenser().driverTakeCard();
            const QString uid = QStringLiteral("D%1").arg(m_inserted.size() + 1);
            if (dispenser().driverInsertCard(FakeCard::rudi(uid, 12)))
                m_inserted << uid;
        });
    });
}

void tst_DiagnosticsRuns::runsCardByCard_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("cards");
    QTest::addColumn<int>("binned");
    QTest::addColumn<int>("inserted"); // cards the driver put in

    QTest::newRow("dispense") << "dispense" << 3 << 3 << 0;
    // The card left in the mouth keeps the issuer from Ready: the next card step takes that
    // card back in and ejects it again.
    QTest::newRow("accept and eject") << "acceptEject" << 2 << 0 << 1;
    QTest::newRow("accept and discard") << "acceptDiscard" << 2 << 2 << 2;
    QTest::newRow("accept and dispose") << "acceptDispose" << 2 << 2 << 2;
}

void tst_DiagnosticsRuns::runsCardByCard()
{
    QFETCH(QString, mode);
    QFETCH(int, cards);
    QFETCH(int, binned);
    QFETCH(int, inserted);
    QVERIFY(startWithDriver());
    Terminal &terminal = m_rig->manager->terminal();
    QSignalSpy started(&diagnostics(), &Diagnostics::testStarted);
    QSignalSpy progressed(&diagnostics(), &Diagnostics::testProgress);
    QSignalSpy finished(&diagnostics(), &Diagnostics::testFinished);

    DeferredProbe<Test> run(diagnostics().performTest(mode, cards, "run-1"));
    QCOMPARE(terminal.state(), Terminal::Stopped);
    QCOMPARE(started.count(), 1);
    QVERIFY(diagnostics().testRunning());
    QVERIFY(run.waitSettled(60000));
    QVERIFY(run.resolved()); // never rejected

    const Test result = run.value();
    QVERIFY2(result.result(), qPrintable(result.error()));
    QCOMPARE(result.error(), QString());
    QCOMPARE(result.id(), QString("run-1"));
    QCOMPARE(result.name(), mode);
    QCOMPARE(result.currCardIndex(), cards);
    QCOMPARE(run.notifications().size(), cards);
    for (int i = 0; i < cards; ++i) {
        const Test step = std::get<0>(run.notifications().at(i));
        QCOMPARE(step.currCardIndex(), i + 1);
        QCOMPARE(step.percent(), (i + 1) * 100 / cards);
        // Disposed cards are gone, and a card taken in is not read: no uid to show.
        QCOMPARE(step.cardId(), QString("<none>"));
    }
    QCOMPARE(progressed.count(), cards);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(dispenser().bin().size(), binned);
    QCOMPARE(m_inserted.size(), inserted);
    QVERIFY(!dispenser().acceptEnabled()); // a card pushed in later is not drawn in
    QVERIFY(!diagnostics().testRunning());
    QCOMPARE(terminal.state(), Terminal::Stopped); // the requester starts it again
}

// The disposal is reported before the step's result: the run still moves one card at a time.
void tst_DiagnosticsRuns::disposalReportBeforeTheResult()
{
    QVERIFY(startWithDriver());
    dispenser().setDisposedBeforeReply(true);
    DeferredProbe<Test> run(diagnostics().performTest("dispense", 2));
    QVERIFY(run.waitSettled(60000));
    QVERIFY2(run.value().result(), qPrintable(run.value().error()));
    QCOMPARE(run.notifications().size(), 2);
    QCOMPARE(dispenser().count("issue"), 2);
    QCOMPARE(dispenser().bin().size(), 2);
}

// A lost disposal report ends the run instead of leaving it (and the stopped terminal) waiting.
void tst_DiagnosticsRuns::disposalNeverReported()
{
    QVERIFY(startWithDriver());
    dispenser().setDisposalReported(false);
    diagnostics().setDisposalTimeout(1000);
    DeferredProbe<Test> run(diagnostics().performTest("dispense", 3));
    QVERIFY(run.waitSettled(30000));
    QCOMPARE(run.value().result(), false);
    QCOMPARE(run.value().error(), QString("Card disposal not reported"));
    QCOMPARE(run.value().currCardIndex(), 1);
    QCOMPARE(dispenser().count("issue"), 1);
    QVERIFY(!diagnostics().testRunning());
}

void tst_DiagnosticsRuns::stepFails_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("error");
    QTest::newRow("dispense refused") << "dispense" << "issue" << "Issue failed : Cartridge empty";
    QTest::newRow("disposal refused") << "acceptDispose" << "dispose" << "Dispose failed : Cartridge empty";
    QTest::newRow("eject refused") << "acceptEject" << "eject" << "Failed to eject card : Cartridge empty";
}

// The first failing card ends the run with the issuer's text; no further card is tried.
void tst_DiagnosticsRuns::stepFails()
{
    QFETCH(QString, mode);
    QFETCH(QString, command);
    QFETCH(QString, error);
    QVERIFY(startWithDriver());
    dispenser().refuse(command, 3, "Cartridge empty");
    LogCapture log;
    DeferredProbe<Test> run(diagnostics().performTest(mode, 3, "7"));
    QVERIFY(run.waitSettled(60000));
    QCOMPARE(run.value().result(), false);
    QCOMPARE(run.value().error(), error);
    QCOMPARE(run.value().currCardIndex(), 0);
    QCOMPARE(run.notifications().size(), 0);
    QCOMPARE(dispenser().count(command), 1);
    QVERIFY(!dispenser().acceptEnabled());
    QVERIFY(!diagnostics().currentTest().inProgress());
    QVERIFY(log.contains(QtCriticalMsg, QStringLiteral("[Diagnostics] Test failed : name=%1 cards=0/3 id=7 error=%2")
                                            .arg(mode, error)));
}

void tst_DiagnosticsRuns::requestRefused_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("cards");
    QTest::addColumn<bool>("sessionRuns");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("issuerFault"); // why the card issuer cannot serve, if it cannot

    QTest::newRow("mode of another case") << "Dispense" << 1 << false << "Unknown test mode : Dispense" << "";
    QTest::newRow("no mode") << "" << 1 << false << "Unknown test mode : " << "";
    QTest::newRow("no cards") << "dispense" << 0 << false << "Invalid number of cards : 0" << "";
    QTest::newRow("negative cards") << "acceptEject" << -3 << false << "Invalid number of cards : -3" << "";
    QTest::newRow("a session in progress") << "dispense" << 1 << true << "A session is in progress" << "";
    // Outside text: written as it came, never taken for the log line's places or a line of its own.
    QTest::newRow("mode with places and a line break") << "%2%3\n[Diagnostics] Test success : x" << 1 << false
                                                       << "Unknown test mode : %2%3\n[Diagnostics] Test success : x" << "";
    // A run would bin the cards of a reader that refuses, or pull at a jammed dispenser.
    QTest::newRow("reader updating") << "dispense" << 1 << false << "Card issuer cannot serve : RFID updating"
                                     << "updating";
    QTest::newRow("dispenser jammed") << "acceptDispose" << 1 << false
                                      << "Card issuer cannot serve : Dispenser jammed" << "jam";
}

// Refused at once: a failed record resolved, the terminal left running, nothing in progress.
void tst_DiagnosticsRuns::requestRefused()
{
    QFETCH(QString, mode);
    QFETCH(int, cards);
    QFETCH(bool, sessionRuns);
    QFETCH(QString, error);
    QFETCH(QString, issuerFault);
    QVERIFY(startWithDriver());
    Terminal &terminal = m_rig->manager->terminal();
    if (sessionRuns)
        terminal.session()->setState(Session::WaitUser);
    if (issuerFault == "updating")
        m_rig->cards.rfid.setState(FakeRfidService::Updating);
    else if (issuerFault == "jam")
        dispenser().setJammed(true);
    if (!issuerFault.isEmpty()) {
        const QString reason = error.section(" : ", 1);
        QVERIFY(waitUntil([&] { return terminal.cardIssuer()->reason() == reason; }));
    }
    const Terminal::State before = terminal.state();
    QSignalSpy started(&diagnostics(), &Diagnostics::testStarted);
    QSignalSpy finished(&diagnostics(), &Diagnostics::testFinished);

    LogCapture log;
    DeferredProbe<Test> run(diagnostics().performTest(mode, cards, "9"));
    QVERIFY(run.resolved()); // before the call returned
    QCOMPARE(run.value().result(), false);
    QCOMPARE(run.value().error(), error);
    QCOMPARE(run.value().id(), QString("9"));
    QCOMPARE(started.count(), 0);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(terminal.state(), before);
    QVERIFY(!diagnostics().testRunning());
    QVERIFY(!diagnostics().currentTest().inProgress());
    QVERIFY(dispenser().requests("issue").isEmpty());
    const QString failed = "[Diagnostics] Test failed : name=" + LogQuote::quote(mode) + " cards=0/"
                           + QString::number(cards) + " id=9 error=" + LogQuote::quote(error);
    QVERIFY2(log.contains(QtCriticalMsg, failed), qPrintable(log.texts().join('\n')));
    for (const QString &line : log.texts())
        QVERIFY2(!line.contains('\n'), qPrintable(line));
}

// A request while a run goes on is refused; the run goes on and ends as it would have.
void tst_DiagnosticsRuns::secondRequestDuringARun()
{
    QVERIFY(startWithDriver());
    DeferredProbe<Test> first(diagnostics().performTest("dispense", 2, "1"));
    DeferredProbe<Test> second(diagnostics().performTest("acceptEject", 1, "2"));
    QVERIFY(second.resolved());
    QCOMPARE(second.value().error(), QString("Another test is already in progress"));
    QVERIFY(first.waitSettled(60000));
    QVERIFY2(first.value().result(), qPrintable(first.value().error()));
    QCOMPARE(first.value().currCardIndex(), 2);
    QCOMPARE(first.notifications().size(), 2);
}

// A cancel ends the run at the end of the card under way; until then the run still holds
// the card hardware, and a new request is refused.
void tst_DiagnosticsRuns::cancelledMidRun()
{
    QVERIFY(startWithDriver());
    LogCapture log;
    DeferredProbe<Test> run(diagnostics().performTest("dispense", 5, "1"));
    QVERIFY(waitUntil([&] { return run.notifications().size() == 1; }, 30000));
    QVERIFY(diagnostics().cancelTest());
    QVERIFY(!diagnostics().cancelTest()); // already marked
    QVERIFY(log.contains(QtCriticalMsg, "[Diagnostics] ERROR: Cancel test failed: No test in proress"));

    if (!run.settled()) {
        DeferredProbe<Test> meanwhile(diagnostics().performTest("dispense", 1, "2"));
        QCOMPARE(meanwhile.value().error(), QString("Another test is already in progress"));
    }
    QVERIFY(run.waitSettled(30000));
    QCOMPARE(run.value().result(), false);
    QCOMPARE(run.value().error(), QString("Cancelled"));
    QVERIFY(run.value().currCardIndex() <= 2);
    QCOMPARE(dispenser().count("issue"), run.value().currCardIndex());
    QVERIFY(!diagnostics().testRunning());

    // Free again, once the dispenser has reported the last card gone from the reader.
    QVERIFY(waitUntil([this] {
        return m_rig->manager->terminal().cardIssuer()->state() == manager::CardIssuer::Ready;
    }));
    DeferredProbe<Test> next(diagnostics().performTest("dispense", 1, "3"));
    QVERIFY(next.waitSettled(30000));
    QVERIFY2(next.value().result(), qPrintable(next.value().error()));
}

// Cancelled while the last card is under way: the card completes and the run passes; no
// second run can start beside it meanwhile.
void tst_DiagnosticsRuns::cancelDuringTheLastCard()
{
    QVERIFY(startWithDriver());
    DeferredProbe<Test> run(diagnostics().performTest("dispense", 1, "1"));
    QVERIFY(diagnostics().cancelTest());
    DeferredProbe<Test> second(diagnostics().performTest("dispense", 1, "2"));
    QCOMPARE(second.value().error(), QString("Another test is already in progress"));
    QVERIFY(run.waitSettled(30000));
    QVERIFY2(run.value().result(), qPrintable(run.value().error()));
    QCOMPARE(dispenser().count("issue"), 1);
}

// A listener of the end starts the next run at once: the run that ended still reports itself,
// not the record of the run that replaced it.
void tst_DiagnosticsRuns::nextRunStartedOnTheEnd()
{
    QVERIFY(startWithDriver());
    std::unique_ptr<DeferredProbe<Test>> next;
    connect(&diagnostics(), &Diagnostics::testFinished, this, [&] {
        if (!next)
            next = std::make_unique<DeferredProbe<Test>>(diagnostics().performTest("acceptDispose", 1, "2"));
    });
    DeferredProbe<Test> run(diagnostics().performTest("dispense", 1, "1"));
    QVERIFY(run.waitSettled(30000));
    QCOMPARE(run.value().id(), QString("1"));
    QCOMPARE(run.value().name(), QString("dispense"));
    QVERIFY2(run.value().result(), qPrintable(run.value().error()));
    QCOMPARE(run.value().currCardIndex(), 1);

    QVERIFY(next);
    QVERIFY(next->waitSettled(30000));
    // Its own record, however its card went.
    QCOMPARE(next->value().id(), QString("2"));
    QCOMPARE(next->value().name(), QString("acceptDispose"));
}

// Cancelled while the run pauses between two cards: the run ends there, no further card.
void tst_DiagnosticsRuns::cancelDuringThePause()
{
    QVERIFY(startWithDriver());
    manager::CardIssuer *issuer = m_rig->manager->terminal().cardIssuer();
    DeferredProbe<Test> run(diagnostics().performTest("dispense", 3, "1"));
    // Heard after the run's own handler: the first card has reached its end and the pause begun.
    bool paused = false;
    connect(issuer, &manager::CardIssuer::cardDisposed, this, [&] {
        if (paused || run.notifications().size() != 1)
            return;
        paused = true;
        QVERIFY(diagnostics().cancelTest());
    });
    QVERIFY(run.waitSettled(30000));
    QVERIFY(paused);
    QCOMPARE(run.value().result(), false);
    QCOMPARE(run.value().error(), QString("Cancelled"));
    QCOMPARE(run.value().currCardIndex(), 1);
    QCOMPARE(dispenser().count("issue"), 1);
    QCOMPARE(dispenser().bin().size(), 1);
    QVERIFY(!diagnostics().testRunning());
}

// The accept-and-eject run waits up to 60 s for a card; a cancel ends the wait at once and
// stops the mouth taking cards in. The wait it left does not reach the next run.
void tst_DiagnosticsRuns::cancelWhileWaitingForACard()
{
    QVERIFY(rig().start());
    manager::CardIssuer *issuer = m_rig->manager->terminal().cardIssuer();
    QVERIFY(waitUntil([&] { return issuer->state() == manager::CardIssuer::Ready; }));
    LogCapture log;
    DeferredProbe<Test> run(diagnostics().performTest("acceptEject", 2, "1"));
    QVERIFY(waitUntil([this] { return dispenser().acceptEnabled(); }));
    QVERIFY(diagnostics().cancelTest());
    QVERIFY(run.waitSettled(10000));
    QCOMPARE(run.value().result(), false);
    QCOMPARE(run.value().error(), QString("Cancelled"));
    QCOMPARE(run.value().currCardIndex(), 0);
    QVERIFY(!dispenser().acceptEnabled());
    QVERIFY(!diagnostics().testRunning());
    QVERIFY(log.contains(QtCriticalMsg, "[Diagnostics] Test failed : name=acceptEject cards=0/2 id=1 error=Cancelled"));

    // The next run's card also ends the earlier wait: only the next run acts on it.
    driverAtTheMouth();
    DeferredProbe<Test> next(diagnostics().performTest("acceptEject", 1, "2"));
    QVERIFY(next.waitSettled(60000));
    QVERIFY2(next.value().result(), qPrintable(next.value().error()));
    QCOMPARE(m_inserted.size(), 1);
    QCOMPARE(dispenser().count("eject"), 1);
    QVERIFY(!dispenser().acceptEnabled());
    QCOMPARE(run.settlements(), 1);
}

void tst_DiagnosticsRuns::runWaitsForTheCardPreparation_data()
{
    QTest::addColumn<bool>("cancel"); // while the run waits
    QTest::newRow("preparation ends") << false;
    QTest::newRow("cancelled meanwhile") << true;
}

// A run accepted while the vending engine's card preparation is under way (it goes on after
// the terminal stopped) starts its card once that preparation has ended: the run takes the
// prepared card, the preparation never meets the run's card. A cancel meanwhile ends the run at
// once: it has started nothing to wait for.
void tst_DiagnosticsRuns::runWaitsForTheCardPreparation()
{
    QFETCH(bool, cancel);

    ControllerSetup setup;
    setup.model = "KTV52817";
    rig(setup);
    dispenser().delay("issue", cancel ? 6000 : 2000, 1);
    std::unique_ptr<DeferredProbe<Test>> run;
    connect(&dispenser(), &FakeService::requestReceived, this, [&](const QString &command) {
        if (command != QLatin1String("issue") || run)
            return;
        QCOMPARE(m_rig->manager->terminal().session()->state(), Session::Idle);
        run = std::make_unique<DeferredProbe<Test>>(diagnostics().performTest("dispense", 1, "1"));
    });
    LogCapture log;
    QVERIFY(m_rig->start());
    QVERIFY(waitUntil([&] { return bool(run); }, 20000));
    QCOMPARE(log.count(QtInfoMsg, "[Diagnostics] Waiting for the card operation under way to end"), 1);
    manager::CardIssuer *issuer = m_rig->manager->terminal().cardIssuer();
    if (cancel) {
        QVERIFY(!run->settled());
        QVERIFY(diagnostics().cancelTest());
        QVERIFY(run->settled());
        QCOMPARE(run->value().result(), false);
        QCOMPARE(run->value().error(), QString("Cancelled"));
        QCOMPARE(run->value().currCardIndex(), 0);
        QVERIFY(!diagnostics().testRunning());
        QVERIFY(issuer->busy()); // the preparation itself goes on
        // Once it has ended, the run has moved no card of its own.
        QVERIFY(waitUntil([&] { return !issuer->busy(); }, 20000));
        QCOMPARE(dispenser().count("issue"), 1);
        QCOMPARE(dispenser().count("eject"), 0);
        QVERIFY(dispenser().bin().isEmpty());
        QCOMPARE(run->settlements(), 1);
        return;
    }
    QVERIFY(run->waitSettled(60000));
    QVERIFY2(run->value().result(), qPrintable(run->value().error()));
    QCOMPARE(dispenser().count("issue"), 1);
    QCOMPARE(dispenser().bin().size(), 1);
    QCOMPARE(issuer->failCount(), 0);
}

void tst_DiagnosticsRuns::driversCardLeftInTheMouth_data()
{
    QTest::addColumn<QString>("door"); // "diagnostics": asked in the controller; "mqtt": a supervisor's request
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("customsId"); // of the driver's card: 12 is written back, 99 refused

    QTest::newRow("written back, accept and dispose") << "diagnostics" << "acceptDispose" << 12;
    QTest::newRow("wrong customs id, accept and dispose over MQTT") << "mqtt" << "acceptDispose" << 99;
    QTest::newRow("written back, accept and discard over MQTT") << "mqtt" << "acceptDiscard" << 12;
    QTest::newRow("wrong customs id, accept and eject") << "diagnostics" << "acceptEject" << 99;
    QTest::newRow("written back, dispense over MQTT") << "mqtt" << "dispense" << 12;
    QTest::newRow("wrong customs id, dispense") << "diagnostics" << "dispense" << 99;
}

// On a collection lane the driver's card, written back or refused, waits in the mouth after the
// session is over. It is the driver's: a card self-test neither takes it in nor bins it, and says
// why it did not run, before it stops the lane.
void tst_DiagnosticsRuns::driversCardLeftInTheMouth()
{
    QFETCH(QString, door);
    QFETCH(QString, mode);
    QFETCH(int, customsId);

    ControllerSetup setup;
    setup.model = "KTW4163";
    QVERIFY(rig(setup).start());
    QVERIFY(m_rig->typeKnown());
    Session *session = m_rig->manager->terminal().session();
    manager::CardIssuer *issuer = m_rig->manager->terminal().cardIssuer();
    QVERIFY(waitUntil([&] { return session->state() == Session::Idle && dispenser().acceptEnabled(); }, 10000));

    QStringList states;
    connect(session, &Session::stateChanged, this, [&] { states << Session::stateToStr(session->state()); });
    const FakeCard::Ptr card = FakeCard::rudi("D1", customsId);
    QVERIFY(dispenser().driverInsertCard(card));
    QVERIFY(waitUntil([&] { return states.size() > 1 && session->state() == Session::Idle; }, 20000));
    QVERIFY(waitUntil([&] { return !issuer->busy(); }));
    QCOMPARE(dispenser().cardInMouth(), card);
    QCOMPARE(states.contains("Exit"), customsId == 12);
    dispenser().clearRequests();
    const Terminal::State before = m_rig->manager->terminal().state();
    QSignalSpy started(&diagnostics(), &Diagnostics::testStarted);
    QSignalSpy terminalStates(&m_rig->manager->terminal(), &Terminal::stateChanged);

    const QString refusal = "Card in mouth waits to be taken";
    if (door == "diagnostics") {
        DeferredProbe<Test> run(diagnostics().performTest(mode, 1, "1"));
        QVERIFY(run.waitSettled(30000));
        QCOMPARE(run.value().result(), false);
        QCOMPARE(run.value().error(), refusal);
        QCOMPARE(run.value().currCardIndex(), 0);
    } else {
        const QJsonObject request{{"mode", mode}, {"numberOfCards", 1}};
        QVERIFY(m_rig->request("/test/request/4", QJsonDocument(request).toJson(QJsonDocument::Compact)));
        const QJsonObject response = m_rig->document("/test/response/4", 1, 30000);
        QCOMPARE(response, (QJsonObject{{"mode", mode}, {"result", false}, {"numberOfCards", 0}, {"error", refusal}}));
    }

    // Refused up front: the lane was never stopped for it.
    QCOMPARE(started.count(), 0);
    QCOMPARE(terminalStates.count(), 0);
    QCOMPARE(m_rig->manager->terminal().state(), before);
    // Never taken in, never binned: still in the driver's reach.
    QVERIFY(!diagnostics().testRunning());
    QCOMPARE(dispenser().count("accept"), 0);
    QCOMPARE(dispenser().count("dispose"), 0);
    QVERIFY(dispenser().bin().isEmpty());
    QCOMPARE(dispenser().cardInMouth(), card);
    QVERIFY(dispenser().driverTakeCard());
}

QTEST_MAIN(tst_DiagnosticsRuns)
#include "tst_DiagnosticsRuns.moc"
