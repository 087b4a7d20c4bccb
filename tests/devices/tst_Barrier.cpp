#include "devices/Barrier.h"

#include "app/Config.h"
#include "fakes/DeferredProbe.h"
#include "fakes/LogCapture.h"
#include "fakes/SignalRecorder.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using manager::Barrier;

class TestBarrier : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void constructedDisconnected();
    void setStateOnlyOnChange();
    void statusWords_data();
    void statusWords();
    void loopWords_data();
    void loopWords();
    void stateNames();
    void openResolvesAtOnce();
    void configChanges_data();
    void configChanges();
    void urls_data();
    void urls();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Config> m_config;
    std::unique_ptr<Barrier> m_barrier;
};

void TestBarrier::init()
{
    QVERIFY(m_dir.isValid());
    m_config.reset(new Config(m_dir.filePath("gui.conf"), {{"barrier/timeout", 1000}, {"barrier/unitId", 255}}));
    m_barrier.reset(new Barrier(*m_config));
}

void TestBarrier::cleanup()
{
    m_barrier.reset();
    m_config.reset();
}

void TestBarrier::constructedDisconnected()
{
    LogCapture log;
    Barrier barrier(*m_config);
    QCOMPARE(barrier.state(), Barrier::Init);
    QCOMPARE(barrier.reason(), QString("Disconnected"));
    QVERIFY(!barrier.active());
    QVERIFY(!barrier.isOpen());
    QVERIFY(!barrier.loopA());
    QVERIFY(!barrier.loopB());
    QCOMPARE(barrier.manufacturer(), QString("Magnetic"));
    QCOMPARE(barrier.model(), QString("MGC(MicroDrive)"));
    QCOMPARE(log.texts(QtInfoMsg), QStringList{"[Barrier] State changed : (0) Init (reason=Disconnected)"});
    // What the status document and the screens read.
    QCOMPARE(barrier.property("state").toInt(), 0);
    QCOMPARE(barrier.property("reason").toString(), QString("Disconnected"));
    QCOMPARE(barrier.property("isOpen").toBool(), false);
}

void TestBarrier::setStateOnlyOnChange()
{
    SignalRecorder signalsSeen(m_barrier.get());
    LogCapture log;
    m_barrier->setState(Barrier::Init, "Disconnected");
    QCOMPARE(signalsSeen.take(), QString());
    QVERIFY(log.texts().isEmpty());

    m_barrier->setState(Barrier::Init, "Link down");
    QCOMPARE(signalsSeen.take(), QString("stateChanged"));
    m_barrier->setState(Barrier::Ready, "");
    QCOMPARE(signalsSeen.take(), QString("stateChanged"));
    QVERIFY(m_barrier->active());
    m_barrier->setState(Barrier::Busy, "Opening");
    QVERIFY(m_barrier->active());
    m_barrier->setState(Barrier::Error, "Opening");
    QVERIFY(!m_barrier->active());
    QCOMPARE(log.texts(QtInfoMsg), QStringList({"[Barrier] State changed : (0) Init (reason=Link down)",
                                                "[Barrier] State changed : (2) Ready ",
                                                "[Barrier] State changed : (1) Busy (reason=Opening)",
                                                "[Barrier] State changed : (3) Error (reason=Opening)"}));
}

void TestBarrier::statusWords_data()
{
    QTest::addColumn<QList<uint>>("words");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("open");
    QTest::addColumn<QString>("emitted");
    QTest::addColumn<QStringList>("logged");

    const uint opening = 1u << 22, closing = 1u << 21, closed = 1u << 20, opened = 1u << 23;
    QTest::newRow("ready") << QList<uint>{0x1} << int(Barrier::Ready) << "" << false << "stateChanged"
                           << QStringList{"State changed : (2) Ready "};
    QTest::newRow("error overrides ready in one word")
        << QList<uint>{0x3} << int(Barrier::Error) << "Error present" << false << "stateChanged stateChanged"
        << QStringList{"State changed : (2) Ready ", "State changed : (3) Error (reason=Error present)"};
    QTest::newRow("the last error bit wins")
        << QList<uint>{0x16} << int(Barrier::Error) << "Control temperature exceeded" << false
        << "stateChanged stateChanged stateChanged"
        << QStringList{"State changed : (3) Error (reason=Error present)",
                       "State changed : (3) Error (reason=Homing not performed)",
                       "State changed : (3) Error (reason=Control temperature exceeded)"};
    QTest::newRow("opening at 45 degrees")
        << QList<uint>{(45u << 24) | opening} << int(Barrier::Busy) << "Opening" << false << "stateChanged"
        << QStringList{"State changed : (1) Busy (reason=Opening)", "Boom is opening : 45 degrees"};
    QTest::newRow("closing at 255 degrees")
        << QList<uint>{(255u << 24) | closing | 0x1} << int(Barrier::Busy) << "Closing" << false
        << "stateChanged stateChanged"
        << QStringList{"State changed : (2) Ready ", "State changed : (1) Busy (reason=Closing)",
                       "Boom is closing : 255 degrees"};
    QTest::newRow("boom open")
        << QList<uint>{opened | 0x1} << int(Barrier::Ready) << "" << true
        << "stateChanged isOpenChanged barrierOpened" << QStringList{"State changed : (2) Ready "};
    QTest::newRow("open, then closed")
        << QList<uint>{opened | 0x1, closed | 0x1} << int(Barrier::Ready) << "" << false
        << "stateChanged isOpenChanged barrierOpened isOpenChanged barrierClosed"
        << QStringList{"State changed : (2) Ready "};
    QTest::newRow("closed and open bits: open wins")
        << QList<uint>{closed | opened} << int(Barrier::Init) << "Disconnected" << true
        << "isOpenChanged barrierOpened" << QStringList{};
    QTest::newRow("closed while closed") << QList<uint>{closed} << int(Barrier::Init) << "Disconnected" << false
                                         << "" << QStringList{};
    QTest::newRow("the same word twice") << QList<uint>{0x3, 0x3} << int(Barrier::Error) << "Error present" << false
                                         << "stateChanged stateChanged"
                                         << QStringList{"State changed : (2) Ready ",
                                                        "State changed : (3) Error (reason=Error present)"};
    QTest::newRow("the error clears") << QList<uint>{0x2, 0x1} << int(Barrier::Ready) << "" << false
                                      << "stateChanged stateChanged"
                                      << QStringList{"State changed : (3) Error (reason=Error present)",
                                                     "State changed : (2) Ready "};
    QTest::newRow("unused bits") << QList<uint>{0x8 | 0xFFFE0} << int(Barrier::Init) << "Disconnected" << false
                                 << "" << QStringList{};
    QTest::newRow("zero after a word") << QList<uint>{0x1, 0x0} << int(Barrier::Ready) << "" << false
                                       << "stateChanged" << QStringList{"State changed : (2) Ready "};
}

void TestBarrier::statusWords()
{
    QFETCH(QList<uint>, words);
    QFETCH(int, state);
    QFETCH(QString, reason);
    QFETCH(bool, open);
    QFETCH(QString, emitted);
    QFETCH(QStringList, logged);

    SignalRecorder signalsSeen(m_barrier.get());
    LogCapture log;
    for (uint word : words)
        m_barrier->setStatus(word);
    QCOMPARE(int(m_barrier->state()), state);
    QCOMPARE(m_barrier->reason(), reason);
    QCOMPARE(m_barrier->isOpen(), open);
    QCOMPARE(signalsSeen.take(), emitted);
    QStringList expected;
    for (const QString &line : logged)
        expected << "[Barrier] " + line;
    QCOMPARE(log.texts(QtInfoMsg), expected);
}

void TestBarrier::loopWords_data()
{
    QTest::addColumn<bool>("loopB");
    QTest::addColumn<QList<uint>>("words");
    QTest::addColumn<bool>("occupied");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("emitted");
    QTest::addColumn<QStringList>("logged");

    QTest::newRow("A occupied and short-circuit")
        << false << QList<uint>{0x1001} << true << int(Barrier::Error) << "Loop A short-circuit"
        << "loopAChanged stateChanged"
        << QStringList{"Loop A changed : 1001", "State changed : (3) Error (reason=Loop A short-circuit)"};
    QTest::newRow("A error, free") << false << QList<uint>{0x8000} << false << int(Barrier::Error) << "Loop A error"
                                   << "stateChanged"
                                   << QStringList{"Loop A changed : 8000", "State changed : (3) Error (reason=Loop A error)"};
    QTest::newRow("A both faults: error last")
        << false << QList<uint>{0x9000} << false << int(Barrier::Error) << "Loop A error" << "stateChanged stateChanged"
        << QStringList{"Loop A changed : 9000", "State changed : (3) Error (reason=Loop A short-circuit)",
                       "State changed : (3) Error (reason=Loop A error)"};
    QTest::newRow("A other bits keep the occupancy")
        << false << QList<uint>{0x1, 0x3, 0x2} << false << int(Barrier::Init) << "Disconnected"
        << "loopAChanged loopAChanged"
        << QStringList{"Loop A changed : 1", "Loop A changed : 3", "Loop A changed : 2"};
    QTest::newRow("A the same word twice") << false << QList<uint>{0x1, 0x1} << true << int(Barrier::Init)
                                           << "Disconnected" << "loopAChanged" << QStringList{"Loop A changed : 1"};
    QTest::newRow("A zero at first") << false << QList<uint>{0x0} << false << int(Barrier::Init) << "Disconnected"
                                     << "" << QStringList{};
    QTest::newRow("B occupied and short-circuit")
        << true << QList<uint>{0x1001} << true << int(Barrier::Error) << "Loop B short-circuit"
        << "loopBChanged stateChanged"
        << QStringList{"Loop B changed : 1001", "State changed : (3) Error (reason=Loop B short-circuit)"};
    QTest::newRow("B error") << true << QList<uint>{0xffff} << true << int(Barrier::Error) << "Loop B error"
                             << "loopBChanged stateChanged stateChanged"
                             << QStringList{"Loop B changed : ffff",
                                            "State changed : (3) Error (reason=Loop B short-circuit)",
                                            "State changed : (3) Error (reason=Loop B error)"};
}

void TestBarrier::loopWords()
{
    QFETCH(bool, loopB);
    QFETCH(QList<uint>, words);
    QFETCH(bool, occupied);
    QFETCH(int, state);
    QFETCH(QString, reason);
    QFETCH(QString, emitted);
    QFETCH(QStringList, logged);

    SignalRecorder signalsSeen(m_barrier.get());
    LogCapture log;
    for (uint word : words) {
        if (loopB)
            m_barrier->setLoopB(ushort(word));
        else
            m_barrier->setLoopA(ushort(word));
    }
    QCOMPARE(loopB ? m_barrier->loopB() : m_barrier->loopA(), occupied);
    QVERIFY(!(loopB ? m_barrier->loopA() : m_barrier->loopB()));
    QCOMPARE(int(m_barrier->state()), state);
    QCOMPARE(m_barrier->reason(), reason);
    QCOMPARE(signalsSeen.take(), emitted);
    QStringList expected;
    for (const QString &line : logged)
        expected << "[Barrier] " + line;
    QCOMPARE(log.texts(QtInfoMsg), expected);
}

void TestBarrier::stateNames()
{
    QCOMPARE(Barrier::stateToStr(Barrier::Init), QString("Init"));
    QCOMPARE(Barrier::stateToStr(Barrier::Busy), QString("Busy"));
    QCOMPARE(Barrier::stateToStr(Barrier::Ready), QString("Ready"));
    QCOMPARE(Barrier::stateToStr(Barrier::Error), QString("Error"));
    QCOMPARE(Barrier::stateToStr(4), QString("Unknown"));
    QCOMPARE(Barrier::stateToStr(-1), QString("Unknown"));

    LogCapture log;
    m_barrier->setState(Barrier::State(7), "odd");
    QCOMPARE(log.texts(QtInfoMsg), QStringList{"[Barrier] State changed : (7) Unknown (reason=odd)"});
}

void TestBarrier::openResolvesAtOnce()
{
    DeferredProbe<> opened(m_barrier->open());
    QVERIFY(opened.resolved());
    QCOMPARE(m_barrier->state(), Barrier::Init);
    QVERIFY(!m_barrier->isOpen());
}

void TestBarrier::configChanges_data()
{
    QTest::addColumn<QVariantMap>("changes");
    QTest::addColumn<bool>("applied");

    QTest::newRow("barrier key") << QVariantMap{{"barrier/timeout", 2000}} << true;
    QTest::newRow("among others") << QVariantMap{{"cameras/front", "x"}, {"barrier/unitId", 1}} << true;
    QTest::newRow("other group") << QVariantMap{{"cameras/front", "x"}} << false;
    QTest::newRow("group name only") << QVariantMap{{"barrier/", 1}} << false;
    QTest::newRow("empty") << QVariantMap{} << false;
}

void TestBarrier::configChanges()
{
    QFETCH(QVariantMap, changes);
    QFETCH(bool, applied);

    SignalRecorder signalsSeen(m_barrier.get());
    LogCapture log;
    m_barrier->onConfigChanged(changes);
    QCOMPARE(log.texts(QtWarningMsg),
             applied ? QStringList{"[Barrier] WARN: Configuration changed. Applying."} : QStringList{});
    QCOMPARE(signalsSeen.take(), QString());
    QCOMPARE(m_barrier->state(), Barrier::Init);
}

void TestBarrier::urls_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("url");

    QTest::newRow("host and port") << "localhost:502" << "tcp://localhost:502";
    QTest::newRow("full url") << "tcp://10.0.0.5:502" << "tcp://10.0.0.5:502";
    QTest::newRow("other scheme kept") << "udp://gate:1502" << "udp://gate:1502";
}

void TestBarrier::urls()
{
    QFETCH(QString, text);
    QFETCH(QString, url);
    QCOMPARE(Barrier::parseUrl(text).toString(), url);
}

QTEST_GUILESS_MAIN(TestBarrier)
#include "tst_Barrier.moc"
