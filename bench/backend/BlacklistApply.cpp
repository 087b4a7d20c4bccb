// A blacklist of 20,000 new uids as the link takes it in: fetched from a fake back office over
// HTTPS, parsed and written to a disk-backed store, all on the one thread that also runs the
// screens and MQTT. Besides the time of the whole apply it reports the longest the event loop
// went without turning ("longest_stall_ms"), which is what the lane notices.
#include "app/Config.h"
#include "backend/CardBO.h"
#include "backend/Database.h"
#include "backend/LinkRig.h"
#include "fakes/FakeBackOffice.h"
#include "fakes/TestCertificates.h"
#include "ui/GUIManager.h"

#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

constexpr int Uids = 20000;

// The link on a store in a folder of its own, pointed at the fake back office.
class Link
{
public:
    Link()
        : backOffice(certificates)
    {
        QDir::setCurrent(m_dir.path());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath(QStringLiteral("settings")));
        config = std::make_unique<Config>(m_dir.filePath(QStringLiteral("gui.conf")), GUIManager::Defaults);
        ready = certificates.isValid() && backOffice.start();
        backOffice.configure(*config);
        db = std::make_unique<Backend::Database>(*config);
        db->setParam(QStringLiteral("apiKey"), backOffice.apiKey());
        bo = std::make_unique<Backend::CardBO>(*config, *db, terminal);
    }

    TestCertificates certificates{QStringLiteral("Back Office")};
    FakeBackOffice backOffice;
    // The link reads nothing of the terminal but its ids while it fetches a blacklist.
    TestTerminal terminal;
    std::unique_ptr<Config> config;
    std::unique_ptr<Backend::Database> db;
    std::unique_ptr<Backend::CardBO> bo;
    bool ready = false;

private:
    QTemporaryDir m_dir;
};

std::unique_ptr<Link> s_link;

void BM_BlacklistApply(benchmark::State &state)
{
    Link &link = *s_link;
    if (!link.ready) {
        state.SkipWithError("no back office");
        return;
    }
    int round = 0;
    qint64 longestStall = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const QString version = QStringLiteral("v%1").arg(++round);
        QStringList uids;
        uids.reserve(Uids);
        for (int i = 0; i < Uids; ++i)
            uids << QStringLiteral("%1%2").arg(round, 2, 16, QLatin1Char('0')).arg(i, 12, 16, QLatin1Char('0')).toUpper();
        link.backOffice.setBlacklist(version, uids);
        state.ResumeTiming();

        // A timer that should fire every millisecond: the widest gap between two firings is the
        // longest the loop was held.
        QElapsedTimer gap;
        qint64 widest = 0;
        QTimer beat;
        beat.setTimerType(Qt::PreciseTimer);
        beat.setInterval(1);
        QObject::connect(&beat, &QTimer::timeout, [&]() {
            widest = std::max(widest, gap.restart());
        });
        QEventLoop loop;
        bool applied = false;
        gap.start();
        beat.start();
        link.bo->updateBlacklist(version)
            .done([&]() {
                applied = true;
                loop.quit();
            })
            .fail([&]() { loop.quit(); });
        loop.exec();
        widest = std::max(widest, gap.elapsed());
        beat.stop();
        if (!applied || !link.db->isBlacklisted(uids.last())) {
            state.SkipWithError("blacklist not applied");
            return;
        }
        longestStall = std::max(longestStall, widest);
    }
    state.counters["uids"] = Uids;
    state.counters["longest_stall_ms"] = double(longestStall);
}

BENCHMARK(BM_BlacklistApply)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietLog);
    s_link = std::make_unique<Link>();
    const int result = runBenchmarks(argc, argv);
    s_link.reset();
    return result;
}
