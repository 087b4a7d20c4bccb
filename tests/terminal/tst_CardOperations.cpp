#include "TerminalRig.h"

#include "fakes/LogCapture.h"

#include <QJsonArray>

// A lane event that falls while the card issuer still works on a card (a write, a read, a
// preparation): a change of dispenser model, the reset after a session, a re-preparation. The
// card under way is finished first; only then is the card at the reader looked at again.
class tst_CardOperations : public TerminalTestCase
{
    Q_OBJECT

private slots:
    void laneEventDuringACardOperation_data();
    void laneEventDuringACardOperation();

private:
    bool insert(const FakeCard::Ptr &card);
    // Waits for a card in the mouth and takes it; returns it.
    FakeCard::Ptr takeFromTheMouth();
    // Once, when the reader is asked for `command`: `action` on the next turn of the loop.
    void onReaderRequest(const QString &command, std::function<void()> action);
};

bool tst_CardOperations::insert(const FakeCard::Ptr &card)
{
    if (!waitUntil([this] { return m_rig->dispenser().acceptEnabled(); }))
        return false;
    return m_rig->dispenser().driverInsertCard(card);
}

FakeCard::Ptr tst_CardOperations::takeFromTheMouth()
{
    if (!waitUntil([this] { return !m_rig->dispenser().cardInMouth().isNull(); }, 10000))
        return {};
    const FakeCard::Ptr card = m_rig->dispenser().cardInMouth();
    m_rig->dispenser().driverTakeCard();
    return card;
}

void tst_CardOperations::onReaderRequest(const QString &command, std::function<void()> action)
{
    auto done = std::make_shared<bool>(false);
    connect(&m_rig->rfid(), &FakeService::requestReceived, this, [this, command, action, done](const QString &received) {
        if (*done || received != command)
            return;
        *done = true;
        QTimer::singleShot(0, this, action);
    });
}

void tst_CardOperations::laneEventDuringACardOperation_data()
{
    QTest::addColumn<QString>("model");   // the lane at the start
    QTest::addColumn<QString>("story");
    QTest::addColumn<QString>("written"); // the card written, whole
    QTest::addColumn<QString>("mouth");   // the card the driver finds in the mouth at the end
    QTest::addColumn<int>("strays");      // cards given back as belonging to no session

    // The collection lane's card being written back: the engine that follows does not take it
    // for a stray; the write and the return go on, and the driver gets the card written.
    QTest::newRow("write-back, model gone and back") << "KTW4163" << "blip" << "D0001" << "D0001" << 0;
    // A blank card being written on a vending lane that becomes a collection lane: written
    // first, then given back as a card of no session.
    QTest::newRow("vending write, lane becomes collection") << "KTV52817" << "switch" << "C0001" << "C0001" << 1;
    // The driver's card being written back on a collection lane that becomes a vending lane:
    // written and given back; the vending lane's first card comes from the stack, not the mouth.
    QTest::newRow("write-back, lane becomes vending") << "KTW4163" << "switch" << "D0001" << "D0001" << 0;
    // The same once the card written back waits in the mouth for the driver.
    QTest::newRow("card given back, lane becomes vending") << "KTW4163" << "mouth-switch" << "D0001" << "D0001" << 0;
    // The new vending engine's preparation waits for the write instead of switching the field off.
    QTest::newRow("vending write, model gone and back") << "KTV52817" << "blip" << "C0001" << "" << 0;
    // The re-preparation 1000 ms after a disposal still reads (a slow reader) when the session
    // comes to its write: the write waits for it.
    QTest::newRow("re-preparation still reading at the write") << "KTV52817" << "re-preparation" << "C0001"
                                                             << "C0001" << 0;
    // The lane becomes a collection lane while the session's issue waits for that
    // re-preparation: the issue of the stopped engine is withdrawn, and the blank card is given
    // back as one of no session instead of a card written for nobody.
    QTest::newRow("issue waiting, lane becomes collection") << "KTV52817" << "re-preparation-switch" << ""
                                                            << "C0001" << 1;
    // A card inserted in the pause after a session, still being read at the reset: the new
    // session takes it.
    QTest::newRow("card read across the reset") << "KTW4163" << "reset" << "D0002" << "D0002" << 0;
    // The same for the engine that follows a model gone and back during the read.
    QTest::newRow("card read, model gone and back") << "KTW4163" << "read-blip" << "D0001" << "D0001" << 0;
    // The card waits in the mouth for the driver: the new engine's preparation does not pull
    // it back, it dispenses the next card once the driver has taken this one.
    QTest::newRow("card presented, model gone and back") << "KTV52817" << "present-blip" << "C0001" << "" << 0;
}

void tst_CardOperations::laneEventDuringACardOperation()
{
    QFETCH(QString, model);
    QFETCH(QString, story);
    QFETCH(QString, written);
    QFETCH(QString, mouth);
    QFETCH(int, strays);

    LaneSetup setup;
    setup.model = model;
    if (story.startsWith("re-preparation")) {
        // The readings come after the re-preparation has begun.
        setup.cameras = {{"alpr1", FakeCamera::plateResult("ABC1234")}};
        setup.triggerDelayMsec = 1500;
    }
    TerminalRig &lane = rig(setup);
    QVERIFY(lane.start());
    const bool vending = model == "KTV52817";
    if (vending)
        QVERIFY(lane.cardPrepared("C0001"));
    LogCapture log;
    const int from = lane.trail->size();
    // The card the driver took, when the story has them take it.
    FakeCard::Ptr taken;

    const QString otherModel = vending ? "KTW4163" : "KTV52817";
    if (story == "blip" || story == "switch") {
        // Each reader request is answered well within its time limit.
        lane.rfid().delay("card/write", 1500, 1);
        onReaderRequest("card/write", [&lane, story, model, otherModel] {
            if (story == "blip")
                lane.dispenser().setModel("");
            lane.dispenser().setModel(story == "switch" ? otherModel : model);
        });
        if (vending)
            QVERIFY(lane.pressButton());
        else
            QVERIFY(insert(FakeCard::rudi("D0001", 12)));
        QVERIFY(waitUntil([&] { return log.contains(QtWarningMsg, "[Terminal] WARN: Terminal type changed"); }));
        const QString type = Terminal::modelToType(story == "switch" ? otherModel : model);
        QVERIFY(waitUntil([&] { return lane.terminal->type() == type && lane.terminal->state() == Terminal::Ready; }));
        QVERIFY(waitUntil([&] { return log.contains(QtInfoMsg, "[CardIssuer] Card written successfully"); }, 10000));
        if (story == "blip" && vending) {
            // The card stays at the reader, ready for the next vehicle.
            QVERIFY(lane.cardPrepared("C0001"));
            QCOMPARE(lane.dispenser().cardInRfid()->uid, QString("C0001"));
        }
        if (story == "switch" && !vending) {
            // The driver's card is not taken back in to be issued as the next blank one.
            QVERIFY(lane.cardPrepared());
            QCOMPARE(lane.session()->cardId(), QString("C0001"));
            QCOMPARE(lane.dispenser().count("accept"), 0);
        }
    } else if (story == "mouth-switch") {
        QVERIFY(insert(FakeCard::rudi("D0001", 12)));
        QVERIFY(lane.trail->waitFor(Session::Exit, from) >= 0);
        QVERIFY(waitUntil([&] { return !lane.dispenser().cardInMouth().isNull(); }));
        lane.dispenser().setModel(otherModel);
        QVERIFY(waitUntil([&] { return lane.terminal->type() == Terminal::VendingType; }));
        QVERIFY(lane.cardPrepared());
        QCOMPARE(lane.session()->cardId(), QString("C0001"));
        QCOMPARE(lane.dispenser().count("accept"), 0);
    } else if (story == "read-blip") {
        lane.rfid().delay("card/read", 1500, 1);
        onReaderRequest("card/read", [&lane, model] {
            lane.dispenser().setModel("");
            lane.dispenser().setModel(model);
        });
        QVERIFY(insert(FakeCard::rudi("D0001", 12)));
        QVERIFY(waitUntil([&] { return log.contains(QtWarningMsg, "[Terminal] WARN: Terminal type changed"); }));
        const int restarted = lane.trail->waitFor(Session::Stopped, from);
        QVERIFY(restarted >= 0);
        QVERIFY(lane.trail->waitFor(Session::Exit, restarted) >= 0);
        QCOMPARE(lane.trail->since(restarted).section(' ', 0, 2), QString("Stopped Idle DataCollect"));
    } else if (story == "present-blip") {
        QVERIFY(lane.pressButton());
        QVERIFY(lane.trail->waitFor(Session::WaitCollect, from) >= 0);
        QVERIFY(waitUntil([&] { return !lane.dispenser().cardInMouth().isNull(); }));
        lane.dispenser().setModel("");
        lane.dispenser().setModel(model);
        const int restarted = lane.trail->waitFor(Session::Stopped, from);
        QVERIFY(restarted >= 0);
        QVERIFY(lane.trail->waitFor(Session::Idle, restarted) >= 0);
        QVERIFY(waitUntil([&] { return log.contains(QtInfoMsg, "[IssueEngine] Preparing card"); }));
        // The driver takes a moment; nothing reaches for the card meanwhile.
        QTest::qWait(500);
        QCOMPARE(lane.dispenser().count("accept"), 0);
        taken = lane.dispenser().cardInMouth();
        QCOMPARE(taken->uid, QString("C0001"));
        QVERIFY(lane.dispenser().driverTakeCard());
        QVERIFY(lane.cardPrepared("C0002"));
    } else if (story == "re-preparation") {
        // The re-preparation switches the field off only after a while.
        lane.rfid().delay("disable", 1500, 1);
        lane.rfid().delay("card/write", 1500, 1);
        emit lane.terminal->cardIssuer()->cardDisposed(Tag::Ptr());
        lane.terminal->engine()->simButtonPressed();
        QVERIFY(lane.trail->waitFor(Session::DataCollect, from) >= 0);
        QVERIFY(waitUntil([&] { return log.contains(QtInfoMsg, "[IssueEngine] Preparing card"); }, 3000));
        QCOMPARE(lane.session()->state(), Session::DataCollect);
        QVERIFY(lane.trail->waitFor(Session::WaitCollect, from) >= 0);
        QVERIFY2(!lane.trail->since(from).contains("Error"), qPrintable(lane.session()->error()));
    } else if (story == "re-preparation-switch") {
        lane.rfid().delay("disable", 1500, 1);
        emit lane.terminal->cardIssuer()->cardDisposed(Tag::Ptr());
        lane.terminal->engine()->simButtonPressed();
        QVERIFY(lane.trail->waitFor(Session::CardProcess, from) >= 0);
        QVERIFY(waitUntil([&] { return log.contains(QtInfoMsg, "[CardIssuer] Waiting for the card operation under way"); }));
        lane.dispenser().setModel(otherModel);
        QVERIFY(waitUntil([&] { return lane.terminal->type() == Terminal::CollectionType; }));
    } else {
        // A slow read: answered 2 s after it was asked, well within its time limit.
        const FakeCard::Ptr first = FakeCard::rudi("D0001", 12);
        QVERIFY(insert(first));
        QVERIFY(lane.trail->waitFor(Session::Exit, from) >= 0);
        QCOMPARE(takeFromTheMouth(), first);
        lane.rfid().delay("card/read", 2000, 1);
        // 1700 ms into the 3000 ms pause: the read ends about 800 ms after the reset.
        QVERIFY(lane.trail->waitFor(Session::PostExit, from) >= 0);
        QTest::qWait(1700);
        QCOMPARE(lane.session()->state(), Session::PostExit);
        const int pause = lane.trail->size();
        QVERIFY(insert(FakeCard::rudi("D0002", 12)));
        const int reset = lane.trail->waitFor(Session::Idle, pause);
        QVERIFY(reset >= 0);
        QVERIFY(lane.trail->waitFor(Session::Exit, reset) >= 0);
        QCOMPARE(lane.trail->since(reset).section(' ', 0, 1), QString("Idle DataCollect"));
        QVERIFY(!log.contains(QtCriticalMsg, "[CardIssuer] ERROR: Read card failed"));
    }

    if (!mouth.isEmpty())
        QVERIFY(waitUntil([&] { return !lane.dispenser().cardInMouth().isNull(); }, 10000));
    QCOMPARE(lane.dispenser().cardInMouth() ? lane.dispenser().cardInMouth()->uid : QString(), mouth);
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Card written successfully : " + written), written.isEmpty() ? 0 : 1);
    QCOMPARE(log.count(QtCriticalMsg, "[CardIssuer] ERROR: Write card failed"), 0);
    QCOMPARE(log.count(QtWarningMsg, "[CollectEngine] WARN: Card at the reader belongs to no session"), strays);
    if (strays > 0 && !written.isEmpty()) {
        // Given back once its write had ended.
        const QStringList lines = log.texts();
        const int write = lines.indexOf("[CardIssuer] Card written successfully : " + written);
        const int stray = lines.indexOf("[CollectEngine] WARN: Card at the reader belongs to no session. Returning card : "
                                        + written);
        QVERIFY2(write >= 0 && stray > write, qPrintable(lines.join('\n')));
    }
    if (vending) {
        // What the issue wrote is on the card.
        FakeCard::Ptr card = taken ? taken : lane.dispenser().cardInMouth();
        if (!card)
            card = lane.dispenser().cardInRfid();
        QVERIFY(card);
        QCOMPARE(card->templateName, QString(written.isEmpty() ? "" : "RUDIv1"));
        if (!written.isEmpty())
            QCOMPARE(card->data.value("info").toObject().value("customsId").toInt(), 12);
    }
    // No good card went to the bin.
    QVERIFY(lane.dispenser().bin().isEmpty());
    QCOMPARE(lane.terminal->cardIssuer()->failCount(), 0);
}

QTEST_MAIN(tst_CardOperations)
#include "tst_CardOperations.moc"
