// Blacklists as the link takes them in: fetched from a fake back office over HTTPS, read and
// written to a disk-backed store while the lane's thread goes on with its event loop. Three
// lengths of new uids: 20,000, a million, and as many as the bound on the answer admits
// (64 MiB of JSON, some four million). The back office answers from a thread of its own, so
// that what the lane's thread does shows alone. Besides the time of the whole apply the bench
// reports the longest the lane's event loop went without turning ("longest_stall_ms"), which
// is what the lane notices (the lane's own writes to the store included: it stores a
// transaction every 20 ms meanwhile, and "longest_lane_write_ms" is the longest of them), and
// the process's peak resident memory during the apply ("peak_rss_mb", the fake back office's
// copy of the answer included).
//
// Two rows more: a blacklist of one-character entries as long as the bound on bytes admits
// (far more entries than uids at the bound: what it takes in memory, "peak_rss_mb", is what
// counts), and reference data at its bound of 4 MiB in three shapes (2.1 million entries of
// 0, 1.4 million of {}, 120,000 whole records), with the longest the lane's event loop went
// without turning while it was taken in ("longest_stall_ms") and the peak memory ("peak_rss_mb").
#include "app/Config.h"
#include "backend/CardBO.h"
#include "backend/Database.h"
#include "backend/LinkRig.h"
#include "fakes/ConfigHome.h"
#include "fakes/FakeBackOffice.h"
#include "fakes/TestCertificates.h"
#include "ui/GUIManager.h"

#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

constexpr qint64 AnswerBound = 64 * 1024 * 1024;
// A uid of 14 hex digits takes 17 bytes in the answer: quotes and a comma.
constexpr int UidsAtTheBound = int((AnswerBound - qint64(sizeof("{\"added\":[],\"removed\":[]}") - 1) + 1) / 17);

// The fake back office on a thread of its own; everything it is asked goes through run().
class BackOfficeThread
{
public:
    explicit BackOfficeThread(const TestCertificates &certificates)
    {
        m_thread.start();
        m_context.moveToThread(&m_thread);
        run([&]() {
            m_backOffice = std::make_unique<FakeBackOffice>(certificates);
            m_ready = m_backOffice->start();
        });
    }
    ~BackOfficeThread()
    {
        run([&]() { m_backOffice.reset(); });
        m_thread.quit();
        m_thread.wait();
    }

    template <typename F>
    void run(F f)
    {
        QMetaObject::invokeMethod(&m_context, f, Qt::BlockingQueuedConnection);
    }
    bool ready() const { return m_ready; }
    // Its configuration and key are read only, and fixed once it runs.
    const FakeBackOffice &backOffice() const { return *m_backOffice; }
    void answerBlacklist(const QByteArray &body) { answer(FakeBackOffice::Blacklist, body); }
    void answer(const QString &path, const QByteArray &body)
    {
        const FakeHttpResponse answer = FakeHttpResponse::text(200, body, "application/json");
        run([&]() { m_backOffice->setResponse(path, answer); });
    }

private:
    QThread m_thread;
    QObject m_context;
    std::unique_ptr<FakeBackOffice> m_backOffice;
    bool m_ready = false;
};

// The link on a store in a folder of its own, pointed at the fake back office.
class Link
{
public:
    explicit Link(const BackOfficeThread &backOffice)
    {
        QDir::setCurrent(m_dir.path());
        m_home = std::make_unique<ConfigHome>(m_dir.filePath(QStringLiteral("settings")));
        config = std::make_unique<Config>(m_dir.filePath(QStringLiteral("gui.conf")), GUIManager::Defaults);
        backOffice.backOffice().configure(*config);
        db = std::make_unique<Backend::Database>(*config);
        db->setParam(QStringLiteral("apiKey"), backOffice.backOffice().apiKey());
        bo = std::make_unique<Backend::CardBO>(*config, *db, terminal);
    }
    ~Link()
    {
        bo.reset();
        db.reset();
    }

    // The link reads nothing of the terminal but its ids while it fetches a blacklist.
    TestTerminal terminal;
    std::unique_ptr<Config> config;
    std::unique_ptr<Backend::Database> db;
    std::unique_ptr<Backend::CardBO> bo;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ConfigHome> m_home;
};

std::unique_ptr<TestCertificates> s_certificates;
std::unique_ptr<BackOfficeThread> s_backOffice;

QString uid(int round, int i)
{
    return QStringLiteral("%1%2").arg(round, 2, 16, QLatin1Char('0')).arg(i, 12, 16, QLatin1Char('0')).toUpper();
}

// The answer as the back office writes it: compact JSON.
QByteArray answer(int round, int count)
{
    QByteArray body;
    body.reserve(qsizetype(count) * 17 + 32);
    body += "{\"added\":[";
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            body += ',';
        body += '"';
        body += uid(round, i).toLatin1();
        body += '"';
    }
    body += "],\"removed\":[]}";
    return body;
}

// The peak resident memory counts from here on.
void resetPeakMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

double peakMemoryMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
    }
    return 0;
}

void BM_BlacklistApply(benchmark::State &state)
{
    if (!s_backOffice->ready()) {
        state.SkipWithError("no back office");
        return;
    }
    const int count = int(state.range(0));
    Link link(*s_backOffice);
    int round = 0;
    qint64 longestStall = 0;
    qint64 longestLaneWrite = 0;
    double peakMemory = 0;
    qint64 bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ++round;
        const QString version = QStringLiteral("v%1").arg(round);
        {
            const QByteArray body = answer(round, count);
            bytes = body.size();
            if (bytes > AnswerBound) {
                state.SkipWithError("answer over the bound");
                return;
            }
            s_backOffice->answerBlacklist(body);
        }
        resetPeakMemory();
        state.ResumeTiming();

        // A timer that should fire every millisecond: the widest gap between two firings is the
        // longest the loop was held.
        QElapsedTimer gap;
        qint64 widest = 0;
        QTimer beat;
        beat.setTimerType(Qt::PreciseTimer);
        beat.setInterval(1);
        QObject::connect(&beat, &QTimer::timeout, [&]() { widest = std::max(widest, gap.restart()); });
        // The lane stores a transaction now and then meanwhile (a truck served): how long the
        // longest of those waited for the store.
        QTimer lane;
        lane.setInterval(20);
        int written = 0;
        QObject::connect(&lane, &QTimer::timeout, [&]() {
            QElapsedTimer write;
            write.start();
            auto transaction = Backend::Transaction::Ptr::create();
            transaction->setUuid(QStringLiteral("r%1-%2").arg(round).arg(++written));
            link.db->transAdd(transaction);
            longestLaneWrite = std::max(longestLaneWrite, write.elapsed());
        });
        lane.start();
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
        lane.stop();

        state.PauseTiming();
        peakMemory = std::max(peakMemory, peakMemoryMb());
        if (!applied || !link.db->isBlacklisted(uid(round, count - 1))) {
            state.SkipWithError("blacklist not applied");
            return;
        }
        longestStall = std::max(longestStall, widest);
        state.ResumeTiming();
    }
    state.counters["uids"] = count;
    state.counters["answer_mb"] = double(bytes) / (1024 * 1024);
    state.counters["longest_stall_ms"] = double(longestStall);
    state.counters["longest_lane_write_ms"] = double(longestLaneWrite);
    state.counters["peak_rss_mb"] = peakMemory;
}

// The longest the loop of the calling thread goes without turning while `operation` runs to
// its end; `ok` tells whether it succeeded.
qint64 longestStallDuring(const std::function<Deferred<>()> &operation, bool *ok)
{
    QElapsedTimer gap;
    qint64 widest = 0;
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    beat.setInterval(1);
    QObject::connect(&beat, &QTimer::timeout, [&]() { widest = std::max(widest, gap.restart()); });
    QEventLoop loop;
    *ok = false;
    gap.start();
    beat.start();
    operation()
        .done([&]() {
            *ok = true;
            loop.quit();
        })
        .fail([&]() { loop.quit(); });
    loop.exec();
    return std::max(widest, gap.elapsed());
}

// A list of one-character entries up to the bound on bytes: some 16.7 million of them.
void BM_BlacklistOneCharacter(benchmark::State &state)
{
    if (!s_backOffice->ready()) {
        state.SkipWithError("no back office");
        return;
    }
    Link link(*s_backOffice);
    const int count = int((AnswerBound - 32) / 4);
    QByteArray body;
    body.reserve(qsizetype(count) * 4 + 32);
    body += "{\"added\":[";
    for (int i = 0; i < count; ++i)
        body += i == 0 ? "\"A\"" : ",\"A\"";
    body += "],\"removed\":[]}";
    s_backOffice->answerBlacklist(body);
    const qint64 bytes = body.size();
    body = QByteArray();
    double peakMemory = 0;
    qint64 longestStall = 0;
    bool applied = false;
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        resetPeakMemory();
        state.ResumeTiming();
        ++round;
        longestStall = std::max(longestStall, longestStallDuring([&]() { return link.bo->updateBlacklist(QStringLiteral("c%1").arg(round)); }, &applied));
        state.PauseTiming();
        peakMemory = std::max(peakMemory, peakMemoryMb());
        state.ResumeTiming();
    }
    state.counters["entries"] = count;
    state.counters["answer_mb"] = double(bytes) / (1024 * 1024);
    state.counters["applied"] = applied ? 1 : 0;
    state.counters["longest_stall_ms"] = double(longestStall);
    state.counters["peak_rss_mb"] = peakMemory;
}

constexpr qint64 ReferenceBound = 4 * 1024 * 1024;

// Reference data at its bound: 0 entries of 0, 1 entries of {}, 2 whole records.
QByteArray referenceAnswer(int shape)
{
    QByteArray body;
    body.reserve(ReferenceBound);
    body += "{\"customs\":[";
    const QByteArray tail = "],\"locations\":[]}";
    for (int i = 0;; ++i) {
        QByteArray entry = shape == 0 ? QByteArray("0") : shape == 1 ? QByteArray("{}")
            : "{\"id\":" + QByteArray::number(i + 1) + ",\"name\":\"C" + QByteArray::number(i + 1) + "\"}";
        if (i > 0)
            entry.prepend(',');
        if (body.size() + entry.size() + tail.size() > ReferenceBound || (shape == 2 && i == 120000))
            break;
        body += entry;
    }
    return body + tail;
}

void BM_ReferenceDataApply(benchmark::State &state)
{
    if (!s_backOffice->ready()) {
        state.SkipWithError("no back office");
        return;
    }
    const int shape = int(state.range(0));
    const QByteArray body = referenceAnswer(shape);
    s_backOffice->answer(FakeBackOffice::UpdateData, body);
    Link link(*s_backOffice);
    qint64 longestStall = 0;
    double peakMemory = 0;
    for (auto _ : state) {
        state.PauseTiming();
        resetPeakMemory();
        state.ResumeTiming();
        bool done = false;
        longestStall = std::max(longestStall, longestStallDuring([&]() { return link.bo->updateData(); }, &done));
        if (!done) {
            state.SkipWithError("reference data not taken in");
            return;
        }
        state.PauseTiming();
        peakMemory = std::max(peakMemory, peakMemoryMb());
        state.ResumeTiming();
    }
    if (shape == 2 && link.db->findCustoms(120000).name != QLatin1String("C120000")) {
        state.SkipWithError("records not stored");
        return;
    }
    state.counters["answer_mb"] = double(body.size()) / (1024 * 1024);
    state.counters["longest_stall_ms"] = double(longestStall);
    state.counters["peak_rss_mb"] = peakMemory;
}

// The link goes (the program ends) while a list at the bound is half built: what the lane's
// thread then waits for in the link's end is the time measured.
void BM_BlacklistLinkEnd(benchmark::State &state)
{
    if (!s_backOffice->ready()) {
        state.SkipWithError("no back office");
        return;
    }
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ++round;
        s_backOffice->answerBlacklist(answer(round, UidsAtTheBound));
        auto link = std::make_unique<Link>(*s_backOffice);
        const QString name = QStringLiteral("bench-reader");
        bool building = false;
        {
            QSqlDatabase reader = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            reader.setDatabaseName(QDir::current().filePath(QStringLiteral("terminal.db")));
            reader.open();
            // The update settles after the link is gone, in a later round.
            const auto settled = std::make_shared<bool>(false);
            link->bo->updateBlacklist(QStringLiteral("v%1").arg(round)).done([settled]() { *settled = true; }).fail([settled]() {
                *settled = true;
            });
            QElapsedTimer waited;
            waited.start();
            while (!*settled && !building && waited.elapsed() < 120000) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
                QSqlQuery count(reader);
                building = count.exec(QStringLiteral("SELECT COUNT(*) FROM BlacklistNext")) && count.next()
                    && count.value(0).toInt() >= UidsAtTheBound / 2;
            }
        }
        QSqlDatabase::removeDatabase(name);
        if (!building) {
            state.SkipWithError("the list was not being built");
            return;
        }
        state.ResumeTiming();
        link->bo.reset();
        state.PauseTiming();
        link.reset();
        state.ResumeTiming();
    }
    state.counters["uids"] = UidsAtTheBound;
}

BENCHMARK(BM_BlacklistApply)->Arg(20000)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_BlacklistApply)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_BlacklistApply)->Arg(UidsAtTheBound)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_BlacklistLinkEnd)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BlacklistOneCharacter)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ReferenceDataApply)->ArgName("shape")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietLog);
    s_certificates = std::make_unique<TestCertificates>(QStringLiteral("Back Office"));
    s_backOffice = std::make_unique<BackOfficeThread>(*s_certificates);
    const int result = runBenchmarks(argc, argv);
    s_backOffice.reset();
    s_certificates.reset();
    return result;
}
