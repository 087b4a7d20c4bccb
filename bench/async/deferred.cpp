// Cost of deferred results against the Qt mechanisms they stand beside.
#include "async/Deferred.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QSemaphore>
#include <QThread>

#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <vector>

class Emitter : public QObject
{
    Q_OBJECT
signals:
    void fired(int value);
};

namespace {

// (a) same thread: one resolution with one done callback against one signal emission.

void BM_SignalEmit(benchmark::State& state)
{
    Emitter emitter;
    int sum = 0;
    QObject::connect(&emitter, &Emitter::fired, [&sum](int v) { sum += v; });
    for (auto _ : state)
        emit emitter.fired(1);
    benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_SignalEmit);

void BM_DeferredResolve(benchmark::State& state)
{
    // Only the resolve is timed; the deferreds are created and registered outside it.
    constexpr int batch = 1000;
    int sum = 0;
    std::vector<Deferred<int> > deferreds(batch);
    while (state.KeepRunningBatch(batch)) {
        state.PauseTiming();
        deferreds.assign(batch, Deferred<int>());
        for (Deferred<int>& d : deferreds) {
            d = Deferred<int>();
            d.done([&sum](int v) { sum += v; });
        }
        state.ResumeTiming();
        for (const Deferred<int>& d : deferreds)
            d.resolve(1);
    }
    benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_DeferredResolve);

void BM_SignalOneShotCycle(benchmark::State& state)
{
    // A one-shot notification by signal: connect, emit, disconnect.
    Emitter emitter;
    int sum = 0;
    for (auto _ : state) {
        const QMetaObject::Connection c =
            QObject::connect(&emitter, &Emitter::fired, [&sum](int v) { sum += v; });
        emit emitter.fired(1);
        QObject::disconnect(c);
    }
    benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_SignalOneShotCycle);

void BM_DeferredCycle(benchmark::State& state)
{
    // Create, register one done callback, resolve, release.
    int sum = 0;
    for (auto _ : state) {
        const Deferred<int> d;
        d.done([&sum](int v) { sum += v; });
        d.resolve(1);
    }
    benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_DeferredCycle);

// (b) a chain of ten thenAlias steps, built and run to its end.

void BM_ThenAliasChain10(benchmark::State& state)
{
    int result = 0;
    for (auto _ : state) {
        const Deferred<int> head;
        Deferred<int> link = head;
        for (int i = 0; i < 10; ++i) {
            link = link.thenAlias([](int v) {
                Deferred<int> next;
                next.resolve(v + 1);
                return next;
            });
        }
        link.done([&result](int v) { result = v; });
        head.resolve(0);
    }
    if (result != 10)
        state.SkipWithError("chain did not run to its end");
    benchmark::DoNotOptimize(result);
}
BENCHMARK(BM_ThenAliasChain10);

// (c) delivery to another thread's event loop, per item of a batch of 1000.

class Receiver
{
public:
    Receiver()
    {
        m_thread.start();
        m_context.moveToThread(&m_thread);
    }
    ~Receiver()
    {
        m_thread.quit();
        m_thread.wait();
    }
    template <typename F>
    void runBlocking(F f)
    {
        QMetaObject::invokeMethod(&m_context, f, Qt::BlockingQueuedConnection);
    }
    QObject* context() { return &m_context; }

private:
    QThread m_thread;
    QObject m_context;
};

constexpr int crossBatch = 1000;

void BM_QueuedInvokeToThread(benchmark::State& state)
{
    Receiver receiver;
    std::atomic<int> received { 0 };
    QSemaphore all;
    while (state.KeepRunningBatch(crossBatch)) {
        received = 0;
        for (int i = 0; i < crossBatch; ++i) {
            QMetaObject::invokeMethod(receiver.context(), [&received, &all] {
                if (++received == crossBatch)
                    all.release();
            }, Qt::QueuedConnection);
        }
        all.acquire();
    }
}
BENCHMARK(BM_QueuedInvokeToThread)->UseRealTime();

void BM_DeferredResolveToThread(benchmark::State& state)
{
    Receiver receiver;
    std::atomic<int> received { 0 };
    QSemaphore all;
    std::vector<Deferred<int> > deferreds(crossBatch);
    while (state.KeepRunningBatch(crossBatch)) {
        state.PauseTiming();
        received = 0;
        receiver.runBlocking([&] {
            for (Deferred<int>& d : deferreds) {
                d = Deferred<int>();
                d.done([&received, &all](int) {
                    if (++received == crossBatch)
                        all.release();
                });
            }
        });
        state.ResumeTiming();
        for (const Deferred<int>& d : deferreds)
            d.resolve(1);
        all.acquire();
    }
}
BENCHMARK(BM_DeferredResolveToThread)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    return runBenchmarks(argc, argv);
}

#include "deferred.moc"
