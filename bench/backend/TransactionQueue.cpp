// The transaction queue of the local store with 10,000 transactions in it: queueing one more,
// the sender's query for the next due one (with the count of due ones), the full due list and
// the pending count. "all due": every row waits to be sent; "few due": 10,000 delivered rows
// and 10 due ones.
#include "app/Config.h"
#include "backend/Database.h"

#include "fakes/ConfigHome.h"

#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <memory>

namespace {

constexpr int Queued = 10000;

using Backend::Database;
using Backend::Transaction;

Transaction::Ptr make(int n)
{
    auto t = Transaction::create(Transaction::Issuance, QStringLiteral("SN-0042"),
                                 QStringLiteral("04%1").arg(n, 8, 16, QLatin1Char('0')), QString());
    return t;
}

// A store in a folder of its own with `rows` transactions, of which only `due` are left to send.
class Store
{
public:
    Store(int rows, int due)
    {
        QDir::setCurrent(m_dir.path());
        m_home = std::make_unique<ConfigHome>(m_dir.filePath(QStringLiteral("settings")));
        m_config = std::make_unique<Config>(m_dir.filePath(QStringLiteral("gui.conf")), QMap<QString, QVariant>{});
        db = std::make_unique<Database>(*m_config);
        for (int i = 0; i < rows; ++i) {
            auto t = make(i);
            db->transAdd(t);
            if (i >= due) {
                t->sendDetails().sendStatus = QStringLiteral("OK");
                t->sendDetails().sendDate = QDateTime::currentDateTime();
                db->transUpdate(t);
            }
        }
    }

    std::unique_ptr<Database> db;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ConfigHome> m_home;
    std::unique_ptr<Config> m_config;
};

std::unique_ptr<Store> s_allDue;
std::unique_ptr<Store> s_fewDue;

Store &store(const benchmark::State &state)
{
    return state.range(0) == 0 ? *s_allDue : *s_fewDue;
}

void label(benchmark::State &state)
{
    state.SetLabel(state.range(0) == 0 ? "all due" : "few due");
}

void BM_QueueOne(benchmark::State &state)
{
    Database &db = *store(state).db;
    int n = 1000000;
    for (auto _ : state) {
        if (!db.transAdd(make(++n)))
            state.SkipWithError("not stored");
    }
    label(state);
}

void BM_NextDue(benchmark::State &state)
{
    Database &db = *store(state).db;
    for (auto _ : state) {
        int due = 0;
        benchmark::DoNotOptimize(db.transNextDue(&due));
        benchmark::DoNotOptimize(due);
    }
    label(state);
}

void BM_DueForSendList(benchmark::State &state)
{
    Database &db = *store(state).db;
    for (auto _ : state)
        benchmark::DoNotOptimize(db.transDueForSend());
    label(state);
}

void BM_PendingCount(benchmark::State &state)
{
    Database &db = *store(state).db;
    for (auto _ : state)
        benchmark::DoNotOptimize(db.transCount(QStringLiteral("PENDING")));
    label(state);
}

BENCHMARK(BM_QueueOne)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(200);
BENCHMARK(BM_NextDue)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DueForSendList)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PendingCount)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietLog);
    s_allDue = std::make_unique<Store>(Queued, Queued);
    s_fewDue = std::make_unique<Store>(Queued, 10);
    const int result = runBenchmarks(argc, argv);
    s_allDue.reset();
    s_fewDue.reset();
    return result;
}
