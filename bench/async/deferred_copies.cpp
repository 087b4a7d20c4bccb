// Copies and moves of a value on its way through deferreds, counted rather than timed.
#include "async/Deferred.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QSemaphore>
#include <QThread>

#include "BenchMain.h"

#include <benchmark/benchmark.h>

namespace {

struct Counted {
    static inline long copies = 0;
    static inline long moves = 0;

    Counted() = default;
    Counted(const Counted&) { ++copies; }
    Counted(Counted&&) noexcept { ++moves; }
    Counted& operator=(const Counted&)
    {
        ++copies;
        return *this;
    }
    Counted& operator=(Counted&&) noexcept
    {
        ++moves;
        return *this;
    }

    static void reset() { copies = moves = 0; }
    static void report(benchmark::State& state)
    {
        const double runs = double(state.iterations());
        state.counters["copies"] = double(copies) / runs;
        state.counters["moves"] = double(moves) / runs;
    }
};

void BM_ResolveOneDoneByValue(benchmark::State& state)
{
    Counted::reset();
    for (auto _ : state) {
        const Deferred<Counted> d;
        d.done([](Counted value) { benchmark::DoNotOptimize(&value); });
        d.resolve(Counted());
    }
    Counted::report(state);
}
BENCHMARK(BM_ResolveOneDoneByValue);

void BM_ResolveOneDoneByReference(benchmark::State& state)
{
    Counted::reset();
    for (auto _ : state) {
        const Deferred<Counted> d;
        d.done([](const Counted& value) { benchmark::DoNotOptimize(&value); });
        d.resolve(Counted());
    }
    Counted::report(state);
}
BENCHMARK(BM_ResolveOneDoneByReference);

void BM_DoneOnResolved(benchmark::State& state)
{
    const Deferred<Counted> d;
    d.resolve(Counted());
    Counted::reset();
    for (auto _ : state)
        d.done([](const Counted& value) { benchmark::DoNotOptimize(&value); });
    Counted::report(state);
}
BENCHMARK(BM_DoneOnResolved);

void BM_ThreeStepChain(benchmark::State& state)
{
    // Per run: the head's value and three steps, each resolving its own deferred.
    Counted::reset();
    for (auto _ : state) {
        const Deferred<Counted> head;
        Deferred<Counted> link = head;
        for (int i = 0; i < 3; ++i) {
            link = link.thenAlias([](const Counted& value) {
                Deferred<Counted> next;
                next.resolve(value);
                return next;
            });
        }
        link.done([](const Counted& value) { benchmark::DoNotOptimize(&value); });
        head.resolve(Counted());
    }
    Counted::report(state);
}
BENCHMARK(BM_ThreeStepChain);

void BM_NotifyTwoProgressCallbacks(benchmark::State& state)
{
    const Deferred<Counted> d;
    d.progress([](const Counted& value) { benchmark::DoNotOptimize(&value); });
    d.progress([](const Counted& value) { benchmark::DoNotOptimize(&value); });
    Counted::reset();
    for (auto _ : state)
        d.notify(Counted());
    Counted::report(state);
}
BENCHMARK(BM_NotifyTwoProgressCallbacks);

void BM_ResolveDeliveredToThread(benchmark::State& state)
{
    QThread thread;
    QObject context;
    thread.start();
    context.moveToThread(&thread);
    QSemaphore delivered;
    Counted::reset();
    for (auto _ : state) {
        const Deferred<Counted> d;
        QMetaObject::invokeMethod(&context, [&] {
            d.done([&delivered](const Counted&) { delivered.release(); });
        }, Qt::BlockingQueuedConnection);
        d.resolve(Counted());
        delivered.acquire();
    }
    Counted::report(state);
    thread.quit();
    thread.wait();
}
BENCHMARK(BM_ResolveDeliveredToThread)->Iterations(2000);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    return runBenchmarks(argc, argv);
}
