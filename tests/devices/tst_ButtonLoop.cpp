#include "devices/Button.h"
#include "devices/Loop.h"
#include "devices/MIOBoard.h"
#include "devices/SimulatedBoard.h"

#include "fakes/LogCapture.h"
#include "fakes/SignalRecorder.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <climits>

using manager::Button;
using manager::Loop;
using manager::MIOBoard;

namespace {

constexpr int ButtonPin = 0;
constexpr int LoopPin = 1;

// Sets a pin and waits for the board's poll to report it.
bool drive(MIOBoard &board, int pin, int level)
{
    QSignalSpy spy(&board, &MIOBoard::gpioStateChanged);
    SimulatedBoard::setLevel(pin, std::uint32_t(level));
    for (int tries = 0; tries < 20; ++tries) {
        for (const auto &args : qAsConst(spy))
            if (args.at(0).toInt() == pin)
                return true;
        spy.wait(100);
    }
    return false;
}

// The terminal's inputs on one simulated board; both quiet (at 1) unless a test says otherwise.
struct Inputs
{
    explicit Inputs(int buttonLevel = 1, int loopLevel = 1)
    {
        SimulatedBoard::setLevel(ButtonPin, std::uint32_t(buttonLevel));
        SimulatedBoard::setLevel(LoopPin, std::uint32_t(loopLevel));
    }
    MIOBoard board;
    Button button{board, ButtonPin};
    Loop loop{board, LoopPin};
    SignalRecorder buttonSignals{&button};
    SignalRecorder loopSignals{&loop};
};

const QString ButtonTag = QStringLiteral("[Button] ");
const QString LoopTag = QStringLiteral("[Loop] ");

} // namespace

class TestButtonLoop : public QObject
{
    Q_OBJECT

private slots:
    void init() { SimulatedBoard::reset(); }

    void construction_data();
    void construction();
    void transitions_data();
    void transitions();
    void disabledButton();
    void waitPress_data();
    void waitPress();
    void waitsAreIndependent();
    void givenUpWaitsLeaveNothing();
};

void TestButtonLoop::construction_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("readFails");
    QTest::addColumn<bool>("active");

    QTest::newRow("at 0") << 0 << false << false;
    QTest::newRow("at 1") << 1 << false << true;
    QTest::newRow("above 1") << 2 << false << true;
    QTest::newRow("unreadable") << 1 << true << false;
}

void TestButtonLoop::construction()
{
    QFETCH(int, level);
    QFETCH(bool, readFails);
    QFETCH(bool, active);

    SimulatedBoard::setLevel(ButtonPin, std::uint32_t(level));
    SimulatedBoard::setLevel(LoopPin, std::uint32_t(level));
    SimulatedBoard::failLevelReads(ButtonPin, readFails ? 0xFFFFF0F1u : 0u);
    SimulatedBoard::failLevelReads(LoopPin, readFails ? 0xFFFFF0F1u : 0u);
    MIOBoard board;
    QSignalSpy dirSpy(&board, &MIOBoard::gpioDirChanged);
    LogCapture log;
    Button button(board, ButtonPin);
    Loop loop(board, LoopPin);

    QCOMPARE(button.isPressed(), active);
    QCOMPARE(loop.isOccupied(), active);
    QVERIFY(button.isEnabled());
    QVERIFY(button.lastPress().isNull());
    QVERIFY(loop.lastChange().isNull());
    QCOMPARE(log.startingWith(ButtonTag), QStringList());
    QCOMPARE(log.startingWith(LoopTag), QStringList());
    // Both pins were made inputs, which puts them into the poll.
    QCOMPARE(SimulatedBoard::direction(ButtonPin), 1u);
    QCOMPARE(SimulatedBoard::direction(LoopPin), 1u);
    QCOMPARE(dirSpy.count(), 2);
}

void TestButtonLoop::transitions_data()
{
    QTest::addColumn<bool>("isLoop");
    QTest::addColumn<int>("initial");          // level at start-up
    QTest::addColumn<QVector<int>>("levels");  // each awaited through the poll
    QTest::addColumn<QStringList>("expected"); // signals after each level
    QTest::addColumn<QStringList>("lines");    // log line endings after each level

    const QString left = QStringLiteral("isOccupiedChanged vehicleLeft");
    const QString arrived = QStringLiteral("lastChangeChanged isOccupiedChanged vehiclePresent");
    const QString released = QStringLiteral("isPressedChanged released");
    const QString pressed = QStringLiteral("lastPressChanged isPressedChanged pressed");

    // The board's stored level starts at 1, so an input at 0 is reported once by the first poll.
    QTest::newRow("loop free at start, vehicle comes and goes")
        << true << 0 << QVector<int>{0, 1, 0} << QStringList{left, arrived, left}
        << QStringList{"not-occupied", "occupied", "not-occupied"};
    QTest::newRow("loop occupied at start") << true << 1 << QVector<int>{0} << QStringList{left}
                                            << QStringList{"not-occupied"};
    QTest::newRow("button released at start, pressed and let go")
        << false << 0 << QVector<int>{0, 1, 0} << QStringList{released, pressed, released}
        << QStringList{"not pressed", "pressed", "not pressed"};
    QTest::newRow("button held at start") << false << 1 << QVector<int>{0, 2}
                                          << QStringList{released, pressed}
                                          << QStringList{"not pressed", "pressed"};
}

void TestButtonLoop::transitions()
{
    QFETCH(bool, isLoop);
    QFETCH(int, initial);
    QFETCH(QVector<int>, levels);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, lines);

    const int pin = isLoop ? LoopPin : ButtonPin;
    Inputs inputs(isLoop ? 1 : initial, isLoop ? initial : 1);
    SignalRecorder &mine = isLoop ? inputs.loopSignals : inputs.buttonSignals;
    SignalRecorder &other = isLoop ? inputs.buttonSignals : inputs.loopSignals;
    const QString tag = isLoop ? LoopTag : ButtonTag;
    const QString prefix = tag + (isLoop ? QStringLiteral("Magnetic Loop state changed : ")
                                         : QStringLiteral("User Button state changed : "));
    QDateTime lastArrival;

    for (int i = 0; i < levels.size(); ++i) {
        LogCapture log;
        const QDateTime before = QDateTime::currentDateTime();
        QVERIFY2(drive(inputs.board, pin, levels[i]), "the poll did not report the input");
        const QDateTime after = QDateTime::currentDateTime();

        QCOMPARE(mine.take(), expected[i]);
        QCOMPARE(log.startingWith(tag, QtInfoMsg), QStringList{prefix + lines[i]});
        const bool active = levels[i] != 0;
        QCOMPARE(isLoop ? inputs.loop.isOccupied() : inputs.button.isPressed(), active);
        const QDateTime stamp = isLoop ? inputs.loop.lastChange() : inputs.button.lastPress();
        if (active) {
            QVERIFY(stamp >= before && stamp <= after);
            lastArrival = stamp;
        } else {
            QCOMPARE(stamp, lastArrival); // a departure leaves the time alone
        }
    }
    // The other input's object heard none of it.
    QCOMPARE(other.take(), QString());
}

void TestButtonLoop::disabledButton()
{
    Inputs inputs(0, 1);
    QVERIFY(drive(inputs.board, ButtonPin, 0)); // the first poll's report
    inputs.buttonSignals.take();

    LogCapture log;
    inputs.button.disable();
    inputs.button.disable();
    QCOMPARE(inputs.buttonSignals.take(), QStringLiteral("isEnabledChanged"));
    QCOMPARE(log.startingWith(ButtonTag), QStringList{ButtonTag + "User button disabled"});
    QVERIFY(!inputs.button.isEnabled());

    log.clear();
    QVERIFY(drive(inputs.board, ButtonPin, 1));
    QVERIFY(!inputs.button.isPressed());
    QVERIFY(inputs.button.lastPress().isNull());
    QCOMPARE(inputs.buttonSignals.take(), QString());
    QCOMPARE(log.startingWith(ButtonTag), QStringList());

    inputs.button.enable();
    inputs.button.enable();
    QCOMPARE(inputs.buttonSignals.take(), QStringLiteral("isEnabledChanged"));
    QCOMPARE(log.startingWith(ButtonTag), QStringList{ButtonTag + "User button enabled"});
    // The press made while disabled was not recorded; the release that follows is heard.
    QVERIFY(!inputs.button.isPressed());
    QVERIFY(drive(inputs.board, ButtonPin, 0));
    QCOMPARE(inputs.buttonSignals.take(), QStringLiteral("isPressedChanged released"));
    QVERIFY(drive(inputs.board, ButtonPin, 1));
    QCOMPARE(inputs.buttonSignals.take(), QStringLiteral("lastPressChanged isPressedChanged pressed"));
}

void TestButtonLoop::waitPress_data()
{
    QTest::addColumn<int>("sec");
    QTest::addColumn<bool>("press");
    QTest::addColumn<int>("expected"); // state after the press or the time-out
    QTest::addColumn<bool>("timerRuns");

    QTest::newRow("pressed in time") << 2 << true << int(DeferredDataBase::Resolved) << true;
    QTest::newRow("time-out") << 1 << false << int(DeferredDataBase::Rejected) << true;
    QTest::newRow("no limit") << 0 << true << int(DeferredDataBase::Resolved) << false;
    QTest::newRow("negative is no limit") << -3 << true << int(DeferredDataBase::Resolved) << false;
    QTest::newRow("huge limit") << INT_MAX << false << int(DeferredDataBase::Pending) << true;
}

void TestButtonLoop::waitPress()
{
    QFETCH(int, sec);
    QFETCH(bool, press);
    QFETCH(int, expected);
    QFETCH(bool, timerRuns);

    Inputs inputs;
    QVERIFY(drive(inputs.board, ButtonPin, 0));
    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    Deferred<> wait = inputs.button.waitPress(sec);
    int done = 0;
    int failed = 0;
    wait.done([&] { ++done; });
    wait.fail([&] { ++failed; });

    const QList<QTimer *> timers = inputs.button.findChildren<QTimer *>();
    QCOMPARE(timers.size(), 1);
    QCOMPARE(timers.first()->isActive(), timerRuns);
    QCOMPARE(int(wait.state()), int(DeferredDataBase::Pending));

    if (press) {
        QVERIFY(drive(inputs.board, ButtonPin, 1));
        QCOMPARE(int(wait.state()), expected);
    } else if (expected == int(DeferredDataBase::Rejected)) {
        QTRY_COMPARE_WITH_TIMEOUT(int(wait.state()), expected, sec * 1000 + 2000);
        QVERIFY(clock.elapsed() >= sec * 1000 - 100); // not before its time (coarse timers)
        QVERIFY(drive(inputs.board, ButtonPin, 1)); // a late press changes nothing
    } else {
        // Let a few poll passes go by: a limit this large must neither fire nor overflow.
        QVERIFY(drive(inputs.board, LoopPin, 0));
        QVERIFY(drive(inputs.board, LoopPin, 1));
        QCOMPARE(int(wait.state()), expected);
        QVERIFY(timers.first()->isActive());
    }
    QCOMPARE(done, expected == int(DeferredDataBase::Resolved) ? 1 : 0);
    QCOMPARE(failed, expected == int(DeferredDataBase::Rejected) ? 1 : 0);
    // A settled wait leaves no timer behind (so nothing can fire later), and no warnings.
    if (expected != int(DeferredDataBase::Pending))
        QTRY_VERIFY(inputs.button.findChildren<QTimer *>().isEmpty());
    QCOMPARE(log.startingWith(QString(), QtWarningMsg), QStringList());
}

void TestButtonLoop::waitsAreIndependent()
{
    Inputs inputs;
    QVERIFY(drive(inputs.board, ButtonPin, 0));

    // A listener of its own on the button, with the button as context.
    int heard = 0;
    connect(&inputs.button, &Button::pressed, &inputs.button, [&] { ++heard; });

    Deferred<> shortWait = inputs.button.waitPress(1);
    Deferred<> longWait = inputs.button.waitPress(0);
    Deferred<> secondLong = inputs.button.waitPress(60);
    QTRY_COMPARE_WITH_TIMEOUT(int(shortWait.state()), int(DeferredDataBase::Rejected), 3000);

    // The time-out of one wait took nothing from the others.
    QVERIFY(drive(inputs.board, ButtonPin, 1));
    QCOMPARE(int(longWait.state()), int(DeferredDataBase::Resolved));
    QCOMPARE(int(secondLong.state()), int(DeferredDataBase::Resolved));
    QCOMPARE(heard, 1);

    // Nor did their resolution: the listener hears the next press too.
    QVERIFY(drive(inputs.board, ButtonPin, 0));
    QVERIFY(drive(inputs.board, ButtonPin, 1));
    QCOMPARE(heard, 2);
}

void TestButtonLoop::givenUpWaitsLeaveNothing()
{
    Inputs inputs;
    QVERIFY(drive(inputs.board, ButtonPin, 0));
    int heard = 0;
    for (int i = 0; i < 100; ++i) {
        Deferred<> wait = inputs.button.waitPress(60);
        wait.done([&] { ++heard; });
        wait.reject(); // the caller gives up, as a session that ends does
    }
    QTRY_VERIFY(inputs.button.findChildren<QTimer *>().isEmpty());
    QVERIFY(drive(inputs.board, ButtonPin, 1));
    QCOMPARE(heard, 0);

    // A wait after them still works.
    QVERIFY(drive(inputs.board, ButtonPin, 0));
    Deferred<> wait = inputs.button.waitPress(60);
    QVERIFY(drive(inputs.board, ButtonPin, 1));
    QCOMPARE(int(wait.state()), int(DeferredDataBase::Resolved));
}

QTEST_GUILESS_MAIN(TestButtonLoop)
#include "tst_ButtonLoop.moc"
