// A whole vehicle passage through the real terminal, in process, against instant fakes: the
// card services (no detection delay), two plate cameras and the back office, over a loopback
// broker. The waits the engines and the cameras are told to make (trigger delay, the 500 ms to
// CardProcess, the barrier cycle, the reset delay) are left out: each iteration's time is the sum
// of the passage's active stretches, taken from the session's state changes.
//   issue:   vehicle -> WaitUser, button -> Permission, CardProcess -> WaitCollect,
//            WaitCollect -> Exit (the driver takes the card at once), Idle -> next card prepared
//   collect: vehicle -> WaitUser, card inserted -> Permission, CardProcess -> Exit,
//            Idle -> acceptance enabled
// Reports the median and the maximum of the totals and the median of each stretch, in ms.
#include "app/Config.h"
#include "backend/Database.h"
#include "devices/SimulatedBoard.h"
#include "terminal/Engine.h"
#include "terminal/Terminal.h"
#include "transport/MqttClient.h"
#include "ui/GUIManager.h"

#include "fakes/ConfigHome.h"
#include "fakes/EventLoopWait.h"
#include "fakes/FakeBackOffice.h"
#include "fakes/FakeCamera.h"
#include "fakes/FakeCardServices.h"
#include "fakes/FreePort.h"
#include "fakes/StubCommands.h"
#include "fakes/TestBroker.h"
#include "fakes/TestCertificates.h"

#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

const int Passages = 5;

// The terminal's log goes nowhere; the line that says acceptance is on is stamped.
QElapsedTimer s_clock;
qint64 s_acceptEnabledAt = -1;

void quietHandler(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (text.endsWith(QLatin1String("Enabled card auto-accept")))
        s_acceptEnabledAt = s_clock.nsecsElapsed();
}

class Lane
{
public:
    explicit Lane(const QString &model)
        : backOffice(certificates)
    {
        cards.dispenser.setModel(model);
        cards.rfid.setDetectDelay(0);
        m_previousDir = QDir::currentPath();
        QDir::setCurrent(m_dir.path());
        m_home = std::make_unique<ConfigHome>(m_dir.filePath("settings"));
        SimulatedBoard::reset();
    }
    ~Lane()
    {
        terminal.reset();
        qDeleteAll(cameras);
        QDir::setCurrent(m_previousDir);
    }

    QString setUp()
    {
        broker.setVerbose(false);
        broker.addConfig("set_tcp_nodelay true");
        if (!broker.start())
            return broker.errorString();
        if (!stubs.isValid())
            return "stub commands";
        if (!certificates.isValid() || !backOffice.start())
            return "back office";
        if (!cards.start(broker, 200))
            return "card services";
        const quint16 receiver = FreePort::pick(QHostAddress::Any);
        const QString subnet = FakeCamera::loopbackSubnet(77);
        QString cameraLines;
        for (const char *name : {"alpr1", "alpr2"}) {
            auto *camera = new FakeCamera(QHostAddress(subnet + QString::number(2 + cameras.size())));
            camera->setReceiverPort(receiver);
            camera->setResult("/result", FakeCamera::plateResult("ABC1234"));
            if (!camera->listen())
                return "camera (port 80 needs root)";
            cameras << camera;
            cameraLines += QStringLiteral("%1=http://%2:%3\n").arg(name, camera->address().toString()).arg(receiver);
        }
        QFile file(m_dir.filePath("gui.conf"));
        file.open(QIODevice::WriteOnly);
        file.write(QStringLiteral("[log]\nstderr=false\nsyslog=false\n[mqtt]\nhost=127.0.0.1\nport=%1\n"
                                  "[cameras]\n%2ccr1=\nccr2=\ntriggerDelayMsec=0\n"
                                  "[terminal]\ndeviceId=SN-1\ncustomsId=12\nlocationId=7\n")
                       .arg(broker.port())
                       .arg(cameraLines)
                       .toUtf8());
        file.close();
        config = std::make_unique<Config>(file.fileName(), GUIManager::Defaults);
        backOffice.configure(*config);
        {
            Backend::Database store(*config);
            store.setParam("apiKey", backOffice.apiKey());
        }
        mqtt.setHostname("127.0.0.1");
        mqtt.setPort(broker.port());
        mqtt.setClientId("bench-terminal");
        terminal = std::make_unique<Terminal>(*config, mqtt);
        QObject::connect(terminal->session(), &Session::stateChanged, terminal.get(),
                         [this](Session::State, Session::State curr) { stamps[curr] = s_clock.nsecsElapsed(); });
        QObject::connect(terminal->session(), &Session::cardIdChanged, terminal.get(), [this] {
            if (!terminal->session()->cardId().isEmpty())
                preparedAt = s_clock.nsecsElapsed();
        });
        terminal->start();
        mqtt.connect();
        if (!waitUntil([this] { return terminal->state() == Terminal::Ready; }, 15000))
            return "terminal not ready: " + terminal->reason();
        return QString();
    }

    bool waitState(Session::State state, qint64 after, int msec = 15000)
    {
        return waitUntil([&] { return stamps.value(state, -1) >= after; }, msec);
    }
    static double ms(qint64 from, qint64 to) { return (to - from) / 1e6; }

    // The terminal's clock on stub commands and a file of its own, not the system's.
    StubCommands stubs;
    TestBroker broker;
    TestCertificates certificates;
    FakeBackOffice backOffice;
    FakeCardServices cards;
    QList<FakeCamera *> cameras;
    std::unique_ptr<Config> config;
    manager::MqttClient mqtt;
    std::unique_ptr<Terminal> terminal;
    QMap<Session::State, qint64> stamps;
    qint64 preparedAt = -1;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ConfigHome> m_home;
    QString m_previousDir;
};

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void report(benchmark::State &state, const std::vector<double> &totals, const QMap<QString, std::vector<double>> &parts)
{
    state.counters["median_ms"] = median(totals);
    state.counters["max_ms"] = totals.empty() ? 0 : *std::max_element(totals.begin(), totals.end());
    for (auto it = parts.cbegin(); it != parts.cend(); ++it)
        state.counters[it.key().toStdString()] = median(it.value());
}

void BM_IssuePassage(benchmark::State &state)
{
    Lane lane("KTV52817");
    const QString error = lane.setUp();
    if (!error.isEmpty()) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    // The driver takes the card the moment it is in the mouth.
    QObject::connect(&lane.cards.dispenser, &FakeService::requestHandled, &lane.cards.dispenser,
                     [&lane](const QString &command) {
                         if (command == QLatin1String("eject"))
                             lane.cards.dispenser.driverTakeCard();
                     });
    if (!waitUntil([&] { return lane.preparedAt >= 0; }, 15000)) {
        state.SkipWithError("no card prepared");
        return;
    }
    qint64 idleAt = lane.stamps.value(Session::Idle);

    std::vector<double> totals;
    QMap<QString, std::vector<double>> parts;
    for (auto _ : state) {
        const double prepare = Lane::ms(idleAt, lane.preparedAt);
        const qint64 arrived = s_clock.nsecsElapsed();
        lane.terminal->engine()->simLoopPresent();
        if (!lane.waitState(Session::WaitUser, arrived)) {
            state.SkipWithError("no WaitUser");
            return;
        }
        const double collect = Lane::ms(arrived, lane.stamps.value(Session::WaitUser));
        const qint64 pressed = s_clock.nsecsElapsed();
        lane.terminal->engine()->simButtonPressed();
        const double permit = Lane::ms(pressed, lane.stamps.value(Session::Permission));
        if (!lane.waitState(Session::Exit, pressed)) {
            state.SkipWithError("no Exit");
            return;
        }
        const double issue = Lane::ms(lane.stamps.value(Session::CardProcess), lane.stamps.value(Session::WaitCollect));
        const double present = Lane::ms(lane.stamps.value(Session::WaitCollect), lane.stamps.value(Session::Exit));
        const qint64 exitAt = lane.stamps.value(Session::Exit);
        lane.preparedAt = -1;
        if (!lane.waitState(Session::Idle, exitAt, 20000)
            || !waitUntil([&] { return lane.preparedAt >= 0; }, 15000)) {
            state.SkipWithError("no reset");
            return;
        }
        idleAt = lane.stamps.value(Session::Idle);

        // The passage's card is the one prepared before it; the next one counts for the next.
        const double total = collect + permit + issue + present + prepare;
        state.SetIterationTime(total / 1e3);
        totals.push_back(total);
        parts["vehicle_to_WaitUser_ms"].push_back(collect);
        parts["button_to_Permission_ms"].push_back(permit);
        parts["CardProcess_to_WaitCollect_ms"].push_back(issue);
        parts["WaitCollect_to_Exit_ms"].push_back(present);
        parts["card_preparation_ms"].push_back(prepare);
    }
    report(state, totals, parts);
}

void BM_CollectPassage(benchmark::State &state)
{
    Lane lane("KTW4163");
    const QString error = lane.setUp();
    if (!error.isEmpty()) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    if (!waitUntil([&] { return s_acceptEnabledAt >= 0; }, 15000)) {
        state.SkipWithError("acceptance not enabled");
        return;
    }
    qint64 idleAt = lane.stamps.value(Session::Idle);
    int serial = 0;

    std::vector<double> totals;
    QMap<QString, std::vector<double>> parts;
    for (auto _ : state) {
        const double accept = Lane::ms(idleAt, s_acceptEnabledAt);
        const qint64 arrived = s_clock.nsecsElapsed();
        lane.terminal->engine()->simLoopPresent();
        if (!lane.waitState(Session::WaitUser, arrived)) {
            state.SkipWithError("no WaitUser");
            return;
        }
        const double collect = Lane::ms(arrived, lane.stamps.value(Session::WaitUser));
        const qint64 inserted = s_clock.nsecsElapsed();
        lane.cards.dispenser.driverInsertCard(FakeCard::rudi(QStringLiteral("D%1").arg(++serial), 12));
        if (!lane.waitState(Session::Exit, inserted)) {
            state.SkipWithError("no Exit");
            return;
        }
        const double read = Lane::ms(inserted, lane.stamps.value(Session::Permission));
        const double process = Lane::ms(lane.stamps.value(Session::CardProcess), lane.stamps.value(Session::Exit));
        waitUntil([&] { return !lane.cards.dispenser.cardInMouth().isNull(); });
        lane.cards.dispenser.driverTakeCard();
        const qint64 exitAt = lane.stamps.value(Session::Exit);
        s_acceptEnabledAt = -1;
        if (!lane.waitState(Session::Idle, exitAt, 20000) || !waitUntil([&] { return s_acceptEnabledAt >= 0; }, 15000)) {
            state.SkipWithError("no reset");
            return;
        }

        const double total = accept + collect + read + process;
        idleAt = lane.stamps.value(Session::Idle);
        state.SetIterationTime(total / 1e3);
        totals.push_back(total);
        parts["acceptance_ms"].push_back(accept);
        parts["vehicle_to_WaitUser_ms"].push_back(collect);
        parts["card_to_Permission_ms"].push_back(read);
        parts["CardProcess_to_Exit_ms"].push_back(process);
    }
    report(state, totals, parts);
}

} // namespace

BENCHMARK(BM_IssuePassage)->Iterations(Passages)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CollectPassage)->Iterations(Passages)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    s_clock.start();
    if (qEnvironmentVariableIntValue("BENCH_LOG") == 0)
        qInstallMessageHandler(quietHandler);
    return runBenchmarks(argc, argv);
}
