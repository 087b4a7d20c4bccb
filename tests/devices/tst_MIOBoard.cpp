#include "devices/MIOBoard.h"
#include "devices/SimulatedBoard.h"

#include "fakes/LogCapture.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using manager::MIOBoard;

namespace {

const QString Tag = QStringLiteral("[MIOBoard] ");

// Pin 7 marks the end of a poll pass: it is flipped before each awaited pass, and since a pass
// signals in ascending pin order, its signal is the last one of that pass.
constexpr int Sentinel = 7;

// "pin:level" of every change, in order, without the sentinel.
QString changeList(const QSignalSpy &spy, int from = 0)
{
    QStringList out;
    for (int i = from; i < spy.count(); ++i) {
        const int pin = spy.at(i).at(0).toInt();
        if (pin != Sentinel)
            out << QStringLiteral("%1:%2").arg(pin).arg(spy.at(i).at(1).toInt());
    }
    return out.join(QLatin1Char(' '));
}

// A board whose timer-driven poll can be awaited one pass at a time.
class PolledBoard
{
public:
    PolledBoard()
        : board(std::make_unique<MIOBoard>())
        , spy(board.get(), &MIOBoard::gpioStateChanged)
    {
        SimulatedBoard::setLevel(Sentinel, 0); // stored level starts at 1: the first pass signals
        board->setGpioDir(Sentinel, 1);
    }

    // Waits for the next complete poll pass and returns its changes.
    QString nextPass()
    {
        const int from = spy.count();
        SimulatedBoard::setLevel(Sentinel, m_sentinel);
        const int expected = int(m_sentinel);
        m_sentinel = m_sentinel ? 0 : 1;
        for (int waited = 0; waited < 50; ++waited) {
            for (int i = from; i < spy.count(); ++i)
                if (spy.at(i).at(0).toInt() == Sentinel && spy.at(i).at(1).toInt() == expected)
                    return changeList(spy, from);
            spy.wait(100);
        }
        return QStringLiteral("<no poll>");
    }

    std::unique_ptr<MIOBoard> board;
    QSignalSpy spy;

private:
    std::uint32_t m_sentinel = 0;
};

// Applies one step of a script: "p=l" sets pin p's level, "p=fail" makes its reads fail,
// "p=ok" mends them, "dP=v" calls setGpioDir(P, v).
void apply(MIOBoard &board, const QString &step)
{
    const QStringList actions = step.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &action : actions) {
        const QStringList kv = action.split(QLatin1Char('='));
        QVERIFY2(kv.size() == 2, qPrintable(action));
        if (kv[0].startsWith(QLatin1Char('d'))) {
            board.setGpioDir(kv[0].mid(1).toInt(), kv[1].toInt());
            continue;
        }
        const int pin = kv[0].toInt();
        if (kv[1] == QLatin1String("fail"))
            SimulatedBoard::failLevelReads(pin, 0xFFFFF0F0u);
        else if (kv[1] == QLatin1String("ok"))
            SimulatedBoard::failLevelReads(pin, boardio::Success);
        else
            SimulatedBoard::setLevel(pin, kv[1].toUInt());
    }
}

} // namespace

class TestMIOBoard : public QObject
{
    Q_OBJECT

private slots:
    void init() { SimulatedBoard::reset(); }

    void initialisation_data();
    void initialisation();
    void boardStrings_data();
    void boardStrings();
    void firstPoll_data();
    void firstPoll();
    void changes_data();
    void changes();
    void levelStoredBeforeSignal();
    void pinsFolder();
    void setGpioDir_data();
    void setGpioDir();
    void reads_data();
    void reads();
    void setGpioState_data();
    void setGpioState();
    void pinsOutsideTheBoard();
    void displayBrightnessStaysZero();
};

void TestMIOBoard::initialisation_data()
{
    QTest::addColumn<quint32>("initStatus");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("lineType");

    QTest::newRow("initialised") << 0u << QString::fromLatin1(SimulatedBoard::DefaultModel)
                                 << QString::fromLatin1(SimulatedBoard::DefaultFirmware)
                                 << "SUSI library initialized" << int(QtDebugMsg);
    // The status is printed unsigned.
    QTest::newRow("fails") << 0xFFFFFFF0u << QString() << QString()
                           << "Failed to initialize Susi4 library, code 4294967280" << int(QtCriticalMsg);
}

void TestMIOBoard::initialisation()
{
    QFETCH(quint32, initStatus);
    QFETCH(QString, model);
    QFETCH(QString, firmware);
    QFETCH(QString, line);
    QFETCH(int, lineType);

    SimulatedBoard::setInitStatus(initStatus);
    SimulatedBoard::setLevel(0, 0);
    LogCapture log;
    MIOBoard board;
    QCOMPARE(log.startingWith(Tag), QStringList{Tag + line});
    QCOMPARE(log.startingWith(Tag, QtMsgType(lineType)), QStringList{Tag + line});

    QCOMPARE(board.manufacturer(), QStringLiteral("Advantech"));
    QCOMPARE(board.model(), model);
    QCOMPARE(board.firmware(), firmware);
    QCOMPARE(board.property("model").toString(), model);
    QCOMPARE(board.property("firmware").toString(), firmware);

    // Whatever the library did, the board is usable and its poll quiet until a pin is watched.
    QSignalSpy spy(&board, &MIOBoard::gpioStateChanged);
    log.clear();
    board.onGpiosMonitor();
    board.onGpiosMonitor();
    QCOMPARE(spy.count(), 0);
    QCOMPARE(log.startingWith(Tag), QStringList());
}

void TestMIOBoard::boardStrings_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("short") << QByteArray("UNO-2271G") << QStringLiteral("UNO-2271G");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("utf-8") << QByteArray("Πλακέτα 1") << QStringLiteral("Πλακέτα 1");
    QTest::newRow("stops at zero byte") << QByteArray("V1.2\0garbage", 12) << QStringLiteral("V1.2");
    QTest::newRow("one short of buffer") << QByteArray(999, 'a') << QString(999, QLatin1Char('a'));
    // Text as long as the buffer arrives without a terminator: read up to the buffer's end only.
    QTest::newRow("fills buffer") << QByteArray(1000, 'b') << QString(1000, QLatin1Char('b'));
    QTest::newRow("longer than buffer") << QByteArray(1500, 'c') << QString(1000, QLatin1Char('c'));
}

void TestMIOBoard::boardStrings()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);

    SimulatedBoard::setBoardString(boardio::BoardModelId, text);
    SimulatedBoard::setBoardString(boardio::BoardFirmwareId, text);
    MIOBoard board;
    QCOMPARE(board.model(), expected);
    QCOMPARE(board.firmware(), expected);
}

void TestMIOBoard::firstPoll_data()
{
    QTest::addColumn<QString>("setup");    // before the board is asked to watch pins
    QTest::addColumn<QVector<int>>("watched");
    QTest::addColumn<QString>("expected"); // changes of the first pass

    // The stored level starts at 1: a watched pin at 0 signals once, one at 1 stays quiet.
    QTest::newRow("both released") << "0=0 1=0" << QVector<int>{0, 1} << "0:0 1:0";
    QTest::newRow("button at 1") << "0=1 1=0" << QVector<int>{0, 1} << "1:0";
    QTest::newRow("both at 1") << "0=1 1=1" << QVector<int>{0, 1} << "";
    QTest::newRow("level above 1") << "0=3 1=1" << QVector<int>{0, 1} << "0:3";
    QTest::newRow("unwatched pins stay quiet")
        << "0=0 1=0 2=0 3=0 4=0 5=0 6=0" << QVector<int>{1} << "1:0";
    QTest::newRow("failing read stays quiet") << "0=0 0=fail 1=0" << QVector<int>{0, 1} << "1:0";
}

void TestMIOBoard::firstPoll()
{
    QFETCH(QString, setup);
    QFETCH(QVector<int>, watched);
    QFETCH(QString, expected);

    for (int pin = 0; pin < SimulatedBoard::PinCount; ++pin)
        SimulatedBoard::setLevel(pin, 1);
    LogCapture log;
    PolledBoard polled;
    apply(*polled.board, setup);
    for (int pin : watched)
        polled.board->setGpioDir(pin, 1);

    QCOMPARE(polled.nextPass(), expected);
    QCOMPARE(polled.nextPass(), QString());

    // One info line per change, with the old and new level.
    QStringList lines;
    for (const QString &change : expected.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList pl = change.split(QLatin1Char(':'));
        lines << Tag + QStringLiteral("GPIO-%1 state change from 1 to %2").arg(pl[0], pl[1]);
    }
    const QStringList logged = log.startingWith(Tag + QStringLiteral("GPIO-"), QtInfoMsg).filter(QStringLiteral("state change"));
    QCOMPARE(logged.filter(QRegularExpression(QStringLiteral("^\\[MIOBoard\\] GPIO-[0-6] "))), lines);
}

void TestMIOBoard::changes_data()
{
    QTest::addColumn<QStringList>("steps");    // applied before each awaited pass
    QTest::addColumn<QStringList>("expected"); // changes of each pass

    // Start: pins 0 and 1 watched, both at 0 and already seen by a first pass.
    QTest::newRow("press and release") << QStringList{"0=1", "0=0"} << QStringList{"0:1", "0:0"};
    QTest::newRow("same interval, ascending pins")
        << QStringList{"1=1 0=1", "1=0 0=0"} << QStringList{"0:1 1:1", "0:0 1:0"};
    QTest::newRow("change and back within one interval") << QStringList{"0=1 0=0", ""}
                                                         << QStringList{"", ""};
    QTest::newRow("failing pin keeps last level")
        << QStringList{"0=fail 0=1 1=1", "0=0", "0=1 0=ok"} << QStringList{"1:1", "", "0:1"};
    QTest::newRow("failing pin recovers at the same level")
        << QStringList{"0=fail 0=1", "0=0 0=ok"} << QStringList{"", ""};
    QTest::newRow("direction 0 leaves the poll")
        << QStringList{"d0=0 0=1 1=1", "d0=1"} << QStringList{"1:1", "0:1"};
    QTest::newRow("any non-zero direction is polled")
        << QStringList{"d2=4 2=0", "2=1"} << QStringList{"2:0", "2:1"};
}

void TestMIOBoard::changes()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, expected);
    QCOMPARE(steps.size(), expected.size());

    PolledBoard polled;
    polled.board->setGpioDir(0, 1);
    polled.board->setGpioDir(1, 1);
    QCOMPARE(polled.nextPass(), QStringLiteral("0:0 1:0"));

    for (int i = 0; i < steps.size(); ++i) {
        apply(*polled.board, steps[i]);
        QCOMPARE(polled.nextPass(), expected[i]);
    }
}

// A simulation outside the process writes the input levels into the pins folder.
void TestMIOBoard::pinsFolder()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    qputenv(SimulatedBoard::PinsFolderVariable, folder.path().toUtf8());
    auto write = [&](const QByteArray &text) {
        QFile file(folder.filePath("gpio1"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    };

    PolledBoard polled;
    polled.board->setGpioDir(1, 1);
    QCOMPARE(polled.nextPass(), QStringLiteral("1:0"));

    write("1\n");
    QCOMPARE(polled.nextPass(), QStringLiteral("1:1"));
    write("0");
    QCOMPARE(polled.nextPass(), QStringLiteral("1:0"));
    write("high"); // no number: the level stands
    QCOMPARE(polled.nextPass(), QString());
    SimulatedBoard::setLevel(1, 1); // the file wins while it holds a number
    write("0");
    QCOMPARE(polled.nextPass(), QString());
    QCOMPARE(SimulatedBoard::level(1), 0u);

    QVERIFY(QFile::remove(folder.filePath("gpio1")));
    SimulatedBoard::setLevel(1, 1);
    QCOMPARE(polled.nextPass(), QStringLiteral("1:1"));
    qunsetenv(SimulatedBoard::PinsFolderVariable);
}

void TestMIOBoard::levelStoredBeforeSignal()
{
    // A handler that polls again from inside the signal must not see the same change twice.
    MIOBoard board;
    board.setGpioDir(0, 1);
    board.setGpioDir(1, 1);
    SimulatedBoard::setLevel(0, 0);
    SimulatedBoard::setLevel(1, 0);
    QSignalSpy spy(&board, &MIOBoard::gpioStateChanged);
    int depth = 0;
    connect(&board, &MIOBoard::gpioStateChanged, &board, [&] {
        if (depth++ < 3)
            board.onGpiosMonitor();
        --depth;
    });
    board.onGpiosMonitor();
    QCOMPARE(changeList(spy), QStringLiteral("0:0 1:0"));
}

void TestMIOBoard::setGpioDir_data()
{
    QTest::addColumn<quint32>("hardware");     // direction the pin has
    QTest::addColumn<quint32>("readFailure");  // status of reading it
    QTest::addColumn<int>("requested");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("lineType");
    QTest::addColumn<bool>("signalled");
    QTest::addColumn<int>("writes");
    QTest::addColumn<quint32>("hardwareAfter");
    QTest::addColumn<bool>("polled");

    QTest::newRow("already input") << 1u << 0u << 1 << "GPIO-3 already set to direction 1"
                                   << int(QtInfoMsg) << false << 0 << 1u << true;
    QTest::newRow("output to input") << 0u << 0u << 1 << "Succesfully set GPIO-3 to direction 1"
                                     << int(QtInfoMsg) << true << 1 << 1u << true;
    // The library gets 0 or 1; the board keeps the caller's value.
    QTest::newRow("other non-zero") << 0u << 0u << 5 << "Succesfully set GPIO-3 to direction 5"
                                    << int(QtInfoMsg) << true << 1 << 1u << true;
    QTest::newRow("input to output") << 1u << 0u << 0 << "Succesfully set GPIO-3 to direction 0"
                                     << int(QtInfoMsg) << true << 1 << 0u << false;
    QTest::newRow("direction unreadable")
        << 0u << 0xFFFFFFF1u << 1 << "Failed to get mode for GPIO-3, SUSI_STATUS code4294967281"
        << int(QtCriticalMsg) << false << 0 << 0u << false;
}

void TestMIOBoard::setGpioDir()
{
    QFETCH(quint32, hardware);
    QFETCH(quint32, readFailure);
    QFETCH(int, requested);
    QFETCH(QString, line);
    QFETCH(int, lineType);
    QFETCH(bool, signalled);
    QFETCH(int, writes);
    QFETCH(quint32, hardwareAfter);
    QFETCH(bool, polled);

    SimulatedBoard::setDirection(3, hardware);
    SimulatedBoard::failDirectionReads(3, readFailure);
    SimulatedBoard::setLevel(3, 0);
    PolledBoard polled3;
    QSignalSpy dirSpy(polled3.board.get(), &MIOBoard::gpioDirChanged);
    LogCapture log;
    polled3.board->setGpioDir(3, requested);

    QCOMPARE(log.startingWith(Tag), QStringList{Tag + line});
    QCOMPARE(log.startingWith(Tag, QtMsgType(lineType)).size(), 1);
    QCOMPARE(dirSpy.count(), signalled ? 1 : 0);
    if (signalled)
        QCOMPARE(dirSpy.at(0), (QList<QVariant>{3, requested}));
    QCOMPARE(SimulatedBoard::directionWrites(3), writes);
    QCOMPARE(SimulatedBoard::direction(3), hardwareAfter);
    // Pin 3 reads 0 against a stored 1: it signals on the next pass exactly when it is polled.
    QCOMPARE(polled3.nextPass(), polled ? QStringLiteral("3:0") : QString());
}

void TestMIOBoard::reads_data()
{
    QTest::addColumn<bool>("direction"); // gpioDir, else gpioState
    QTest::addColumn<int>("pin");
    QTest::addColumn<quint32>("value");
    QTest::addColumn<bool>("fails");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("line");

    QTest::newRow("direction") << true << 4 << 1u << false << 1 << "Got direction-1 for GPIO-4";
    QTest::newRow("direction fails") << true << 4 << 1u << true << -1 << "Failed to get mode for GPIO-4";
    QTest::newRow("level") << false << 5 << 1u << false << 1 << "Got state-1 for GPIO-5";
    QTest::newRow("level 0") << false << 5 << 0u << false << 0 << "Got state-0 for GPIO-5";
    QTest::newRow("level fails") << false << 5 << 1u << true << -1 << "Failed to get mode for GPIO-5";
}

void TestMIOBoard::reads()
{
    QFETCH(bool, direction);
    QFETCH(int, pin);
    QFETCH(quint32, value);
    QFETCH(bool, fails);
    QFETCH(int, expected);
    QFETCH(QString, line);

    SimulatedBoard::setLevel(pin, 1);
    MIOBoard board;
    board.setGpioDir(pin, 1);
    board.onGpiosMonitor();
    if (direction) {
        SimulatedBoard::setDirection(pin, value);
        SimulatedBoard::failDirectionReads(pin, fails ? 0xFFFFFFF2u : 0u);
    } else {
        SimulatedBoard::setLevel(pin, value);
        SimulatedBoard::failLevelReads(pin, fails ? 0xFFFFFFF2u : 0u);
    }
    QSignalSpy spy(&board, &MIOBoard::gpioStateChanged);
    LogCapture log;
    QCOMPARE(direction ? board.gpioDir(pin) : board.gpioState(pin), expected);
    QCOMPARE(log.startingWith(Tag, fails ? QtCriticalMsg : QtDebugMsg), QStringList{Tag + line});
    // A read of the hardware leaves the poll's stored level alone.
    SimulatedBoard::failLevelReads(pin, 0);
    board.onGpiosMonitor();
    QCOMPARE(changeList(spy), (!direction && value == 0) ? QStringLiteral("%1:0").arg(pin) : QString());
}

void TestMIOBoard::setGpioState_data()
{
    QTest::addColumn<quint32>("hardware");
    QTest::addColumn<bool>("readFails");
    QTest::addColumn<int>("requested");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("signalled");
    QTest::addColumn<quint32>("hardwareAfter");

    QTest::newRow("already there") << 0u << false << 0 << "GPIO-2 already has state 0" << "" << 0u;
    QTest::newRow("driven") << 0u << false << 1 << "Set GPIO-2 to state 1" << "2:1" << 1u;
    QTest::newRow("driven low") << 1u << false << 0 << "Set GPIO-2 to state 0" << "2:0" << 0u;
    // Any non-zero request means high, the only other level the pin reads back.
    QTest::newRow("non-zero driven high") << 0u << false << 5 << "Set GPIO-2 to state 1" << "2:1" << 1u;
    QTest::newRow("non-zero already high") << 1u << false << 5 << "GPIO-2 already has state 5" << "" << 1u;
    QTest::newRow("level unreadable")
        << 0u << true << 1 << "Failed to get mode for GPIO-2, SUSI_STATUS code 4294967283" << "" << 0u;
}

void TestMIOBoard::setGpioState()
{
    QFETCH(quint32, hardware);
    QFETCH(bool, readFails);
    QFETCH(int, requested);
    QFETCH(QString, line);
    QFETCH(QString, signalled);
    QFETCH(quint32, hardwareAfter);

    SimulatedBoard::setLevel(2, hardware);
    MIOBoard board;
    board.setGpioDir(2, 1);
    board.onGpiosMonitor(); // the poll now holds the hardware level
    SimulatedBoard::failLevelReads(2, readFails ? 0xFFFFFFF3u : 0u);

    QSignalSpy spy(&board, &MIOBoard::gpioStateChanged);
    LogCapture log;
    board.setGpioState(2, requested);
    QCOMPARE(log.startingWith(Tag), QStringList{Tag + line});
    QCOMPARE(changeList(spy), signalled);
    QCOMPARE(SimulatedBoard::level(2), hardwareAfter);

    // The level set is the level stored: the next pass sees no change.
    SimulatedBoard::failLevelReads(2, 0);
    board.onGpiosMonitor();
    QCOMPARE(changeList(spy), signalled);
}

void TestMIOBoard::pinsOutsideTheBoard()
{
    MIOBoard board;
    QSignalSpy stateSpy(&board, &MIOBoard::gpioStateChanged);
    QSignalSpy dirSpy(&board, &MIOBoard::gpioDirChanged);
    LogCapture log;
    for (int pin : {-1, 8, 1000}) {
        QCOMPARE(board.gpioDir(pin), -1);
        QCOMPARE(board.gpioState(pin), -1);
        board.setGpioDir(pin, 1);
        board.setGpioState(pin, 1);
    }
    board.onGpiosMonitor();
    QCOMPARE(stateSpy.count(), 0);
    QCOMPARE(dirSpy.count(), 0);
    QCOMPARE(log.startingWith(Tag, QtCriticalMsg).size(), 12);
}

void TestMIOBoard::displayBrightnessStaysZero()
{
    MIOBoard board;
    QSignalSpy spy(&board, &MIOBoard::displayBrightnessChanged);
    QVERIFY(board.setProperty("displayBrightness", 80));
    board.setDisplayBrightness(30);
    QCOMPARE(board.property("displayBrightness").toInt(), 0);
    QCOMPARE(board.displayBrightness(), 0);
    QCOMPARE(spy.count(), 0);
}

QTEST_GUILESS_MAIN(TestMIOBoard)
#include "tst_MIOBoard.moc"
