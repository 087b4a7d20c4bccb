// Start-up of the program to its first frame, beside a minimal Qt Quick window of the same size
// on the same display: the wall time from starting the process until the frame is on the
// screen, and the process's resident memory at that moment (the counter "rss_MiB").
// The program runs on a broker of its own with no hardware service, so nothing but its own
// construction is measured. Needs a display, as the tests do:
//   xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=offscreen build-bench/bench/bench_StartupFirstFrame
#include "fakes/FreePort.h"
#include "fakes/StubCommands.h"
#include "fakes/TestBroker.h"

#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace {

const QByteArray FirstFrame = "First frame shown";
const char *const MinimalOption = "--minimal-window";

// The window the program's is compared with: as large, one rectangle and one text.
int runMinimalWindow(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QQmlApplicationEngine engine;
    engine.loadData("import QtQuick 2.15\nimport QtQuick.Window 2.15\n"
                    "Window { width: 1024; height: 600; visible: true\n"
                    "  Rectangle { anchors.fill: parent; color: \"white\"\n"
                    "    Text { anchors.centerIn: parent; text: \"minimal\"; font.pixelSize: 28 } } }\n");
    auto *window = engine.rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(engine.rootObjects().first());
    if (!window)
        return 1;
    QObject::connect(window, &QQuickWindow::frameSwapped, window, [] {
        std::fprintf(stderr, "%s\n", FirstFrame.constData());
        std::fflush(stderr);
    });
    return app.exec();
}

// The resident memory of a process in MiB, from /proc.
double residentMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

// Starts the command, waits for its first frame and ends it; the time to the frame and the
// memory at that moment go to the benchmark.
bool measure(benchmark::State &state, const QString &program, const QStringList &arguments,
             const QString &workDir, double *rss)
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.setReadChannel(QProcess::StandardError);
    QByteArray err;
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return false;
    while (!err.contains(FirstFrame)) {
        if (!process.waitForReadyRead(30000))
            break;
        err += process.readAllStandardError();
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    *rss = residentMiB(process.processId());
    process.kill();
    process.waitForFinished(10000);
    if (!err.contains(FirstFrame)) {
        state.SkipWithError(("no first frame: " + err.right(2000)).constData());
        return false;
    }
    state.SetIterationTime(seconds);
    return true;
}

struct Lane
{
    TestBroker broker;
    QTemporaryDir dir;
    std::unique_ptr<StubCommands> stubs;
    bool ready = false;

    Lane()
    {
        stubs = std::make_unique<StubCommands>();
        broker.setVerbose(false);
        if (!broker.start())
            return;
        QFile config(dir.filePath(QStringLiteral("gui.conf")));
        if (!config.open(QIODevice::WriteOnly))
            return;
        config.write(QStringLiteral("[log]\nstderr=true\nsyslog=false\n"
                                    "[mqtt]\nhost=127.0.0.1\nport=%1\nbase=bench/ui\n"
                                    "[cameras]\nalpr1=\nalpr2=\nccr1=\nccr2=\n"
                                    "[card-bo]\nurl=https://127.0.0.1:%2\n"
                                    "[terminal]\ndeviceId=SN-B\ncustomsId=12\nlocationId=7\n")
                         .arg(broker.port())
                         .arg(FreePort::pick())
                         .toUtf8());
        ready = true;
    }
};

Lane *lane = nullptr;

void ProgramFirstFrame(benchmark::State &state)
{
    double rss = 0;
    double total = 0;
    for (auto _ : state) {
        if (!measure(state, QStringLiteral(VORN_PROGRAM), {"-f", lane->dir.filePath("gui.conf")}, lane->dir.path(), &rss))
            return;
        total += rss;
    }
    state.counters["rss_MiB"] = benchmark::Counter(total / double(state.iterations()));
}

void MinimalWindowFirstFrame(benchmark::State &state)
{
    double rss = 0;
    double total = 0;
    for (auto _ : state) {
        if (!measure(state, QCoreApplication::applicationFilePath(), {MinimalOption}, lane->dir.path(), &rss))
            return;
        total += rss;
    }
    state.counters["rss_MiB"] = benchmark::Counter(total / double(state.iterations()));
}

BENCHMARK(ProgramFirstFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(MinimalWindowFirstFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], MinimalOption) == 0)
            return runMinimalWindow(argc, argv);
    }
    QCoreApplication app(argc, argv);
    Lane shared;
    if (!shared.ready) {
        std::fprintf(stderr, "cannot start the broker: %s\n", qPrintable(shared.broker.errorString()));
        return 1;
    }
    lane = &shared;
    return runBenchmarks(argc, argv);
}
