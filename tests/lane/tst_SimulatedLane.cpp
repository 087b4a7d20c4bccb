#include "fakes/EventLoopWait.h"
#include "fakes/StubCommands.h"
#include "fakes/TestBroker.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// A first run is unregistered: when the lane's dispenser announces itself only after the link's
// first look (a loaded machine starts slowly), the engine comes with the registration, which
// the link tries again 30 s later.
constexpr int FirstEngineMsec = 75000;

// The simulated lane that scripts/run starts, with the real program beside it, driven by the
// commands the README shows.
class tst_SimulatedLane : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void vendingPassage();
    void collectionPassage();

private:
    bool startLane(const QStringList &extra = {});
    bool startProgram();
    // One of the README's commands, with this test's broker port.
    bool mosquittoPub(const QStringList &args);
    bool waitLog(const QString &fragment, int msec = 20000);
    bool driverTakesTheCard();

    std::unique_ptr<TestBroker> m_broker;
    // The program's clock runs these and writes their file, as the environment says.
    std::unique_ptr<StubCommands> m_stubs;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_lane;
    std::unique_ptr<QProcess> m_program;
    QString m_laneOut;
    QString m_log;
};

void tst_SimulatedLane::init()
{
    m_broker = std::make_unique<TestBroker>();
    m_broker->addConfig(QStringLiteral("set_tcp_nodelay true"));
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    m_stubs = std::make_unique<StubCommands>();
    QVERIFY(m_stubs->isValid());
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir(m_dir->path()).mkpath("gpio"));
    m_laneOut.clear();
    m_log.clear();
}

void tst_SimulatedLane::cleanup()
{
    if (QTest::currentTestFailed())
        qWarning().noquote() << "Lane:\n" << m_laneOut << "\nProgram:\n" << m_log.right(20000);
    for (auto *process : {m_program.get(), m_lane.get()}) {
        if (!process)
            continue;
        process->terminate();
        if (!process->waitForFinished(10000))
            process->kill();
        process->waitForFinished();
    }
    m_program.reset();
    m_lane.reset();
    m_broker.reset();
    m_stubs.reset();
}

bool tst_SimulatedLane::startLane(const QStringList &extra)
{
    m_lane = std::make_unique<QProcess>();
    m_lane->setProcessChannelMode(QProcess::MergedChannels);
    connect(m_lane.get(), &QProcess::readyRead, this, [this] { m_laneOut += QString::fromUtf8(m_lane->readAll()); });
    m_lane->start(VORN_LANE, QStringList{"--port", QString::number(m_broker->port()), "--config",
                                        m_dir->filePath("gui.conf")} + extra);
    return waitUntil([this] { return m_laneOut.contains("lane ready"); }, 20000);
}

bool tst_SimulatedLane::startProgram()
{
    for (const char *pin : {"gpio0", "gpio1"}) {
        QFile file(m_dir->filePath(QStringLiteral("gpio/") + pin));
        if (!file.open(QIODevice::WriteOnly) || file.write("0") != 1)
            return false;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VORN_SIMULATED_GPIO", m_dir->filePath("gpio"));
    env.insert("XDG_CONFIG_HOME", m_dir->filePath("config"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    m_program = std::make_unique<QProcess>();
    m_program->setProcessEnvironment(env);
    m_program->setWorkingDirectory(m_dir->path());
    connect(m_program.get(), &QProcess::readyReadStandardError, this,
            [this] { m_log += QString::fromUtf8(m_program->readAllStandardError()); });
    m_program->start(VORN_PROGRAM, {"--stderr", "-P", QString::number(m_broker->port())});
    return m_program->waitForStarted(10000);
}

bool tst_SimulatedLane::mosquittoPub(const QStringList &args)
{
    QProcess pub;
    pub.start("mosquitto_pub", QStringList{"-h", "127.0.0.1", "-p", QString::number(m_broker->port())} + args);
    return pub.waitForFinished(10000) && pub.exitStatus() == QProcess::NormalExit && pub.exitCode() == 0;
}

// The card may still be on its way to the mouth: the driver reaches again, each time after the
// lane has answered the last try, until the card is taken.
bool tst_SimulatedLane::driverTakesTheCard()
{
    QElapsedTimer elapsed;
    elapsed.start();
    const auto taken = [this] { return m_laneOut.contains("The driver took the card"); };
    const auto missed = [this] { return m_laneOut.count("No card in the mouth"); };
    while (elapsed.elapsed() < 20000) {
        const int before = missed();
        if (!mosquittoPub({"-t", "vesk/sim/driver/take", "-n"})
            || !waitUntil([&] { return taken() || missed() > before; }))
            return false;
        if (taken())
            return true;
    }
    return false;
}

bool tst_SimulatedLane::waitLog(const QString &fragment, int msec)
{
    return waitUntil([&] { return m_log.contains(fragment); }, msec);
}

void tst_SimulatedLane::vendingPassage()
{
    QVERIFY(startLane());
    QVERIFY2(m_laneOut.contains("card-vending lane ready: card services, back office"), qPrintable(m_laneOut));
    QVERIFY(startProgram());
    QVERIFY(waitLog("[IssueEngine] Card prepared : C0001", FirstEngineMsec));

    QVERIFY(mosquittoPub({"-t", "vesk/ui/loop/present", "-n"}));
    QVERIFY(waitLog("[IssueEngine] State changed : (2)DataCollect -> (3)WaitUser"));
    QVERIFY(mosquittoPub({"-t", "vesk/ui/button", "-n"}));
    QVERIFY(waitLog("[IssueEngine] Card issued successfully : C0001"));
    QVERIFY(waitLog("[IssueEngine] State changed : (5)CardProcess -> (6)WaitCollect"));
    QVERIFY(driverTakesTheCard());
    QVERIFY(waitLog("[IssueEngine] Card collected successfully : C0001"));
    QVERIFY(waitLog("[IssueEngine] State changed : (8)PostExit -> (1)Idle"));
    QVERIFY(waitLog("[IssueEngine] Card prepared : C0002"));
}

void tst_SimulatedLane::collectionPassage()
{
    QVERIFY(startLane({"--collection"}));
    QVERIFY(startProgram());
    QVERIFY(waitLog("[CollectEngine] Enabled card auto-accept", FirstEngineMsec));

    QVERIFY(mosquittoPub({"-t", "vesk/ui/loop/present", "-n"}));
    QVERIFY(waitLog("[CollectEngine] State changed : (2)DataCollect -> (3)WaitUser"));
    QVERIFY(mosquittoPub({"-t", "vesk/sim/driver/insert", "-m", "12"}));
    QVERIFY(waitLog("[CollectEngine] Card read successfully : D0001"));
    QVERIFY(waitLog("[CollectEngine] State changed : (5)CardProcess -> (7)Exit"));
    QVERIFY(driverTakesTheCard());
    QVERIFY(waitLog("[CollectEngine] State changed : (8)PostExit -> (1)Idle"));
}

QTEST_GUILESS_MAIN(tst_SimulatedLane)
#include "tst_SimulatedLane.moc"
