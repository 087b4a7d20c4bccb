// The camera receiver under load: 2,000 small pushes per iteration from 20 concurrent loopback
// clients (in a thread of their own). Reports pushes per second, sockets still open after each
// round, file descriptors gained, and heap in use and resident size after the first and last round.
#include "transport/HttpServer.h"

#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <malloc.h>
#include <unistd.h>

namespace {

int const Clients = 20;
int const Pushes = 2000;

long residentKb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    QList<QByteArray> const fields = statm.readAll().split(' ');
    return fields.value(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024);
}

// Bytes handed out by malloc and not freed: unlike the resident size, blind to fragmentation.
long heapInUseKb()
{
    return static_cast<long>(mallinfo2().uordblks / 1024);
}

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

// Keeps `Clients` connections busy until `Pushes` pushes are answered; one push per connection.
class PushClients : public QObject
{
    Q_OBJECT

public:
    explicit PushClients(quint16 port)
        : m_port(port)
    {
    }

public slots:
    void run()
    {
        m_started = m_answered = m_failed = 0;
        for (int i = 0; i < Clients; ++i)
            next();
    }

    // Frees the client sockets of the last round, so memory figures count only the receiver.
    void flush()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

signals:
    void finished(int answered, int failed);

private:
    void next()
    {
        if (m_started >= Pushes)
            return;
        int const n = m_started++;
        auto *socket = new QTcpSocket(this);
        auto *answer = new QByteArray;
        connect(socket, &QTcpSocket::connected, socket, [socket, n]() {
            QByteArray const body = "{\"camera\":\"Front\",\"plate\":\"ABC" + QByteArray::number(n) + "\",\"confidence\":97}";
            socket->write("POST /result?cam=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
                          + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        });
        connect(socket, &QTcpSocket::readyRead, socket, [socket, answer]() { *answer += socket->readAll(); });
        auto done = [this, socket, answer]() {
            bool const ok = *answer == "HTTP/1.1 200 OK\r\n\r\n";
            delete answer;
            socket->disconnect(this);
            socket->deleteLater();
            ok ? ++m_answered : ++m_failed;
            if (m_answered + m_failed == Pushes)
                emit finished(m_answered, m_failed);
            else
                next();
        };
        connect(socket, &QTcpSocket::disconnected, this, done);
        connect(socket, &QAbstractSocket::errorOccurred, this, [socket, done](QAbstractSocket::SocketError e) {
            if (e != QAbstractSocket::RemoteHostClosedError && socket->state() != QAbstractSocket::ConnectedState)
                done();
        });
        socket->connectToHost(QHostAddress::LocalHost, m_port);
    }

    quint16 m_port;
    int m_started = 0;
    int m_answered = 0;
    int m_failed = 0;
};

void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

void BM_ReceiverPushes(benchmark::State &state)
{
    HttpServer server;
    if (!server.listen(0)) {
        state.SkipWithError("cannot listen");
        return;
    }
    qint64 received = 0;
    QObject::connect(&server, &HttpServer::requestReceived, [&](QHostAddress, HttpServer::Request const &request) {
        if (request.method == QLatin1String("POST") && request.body.endsWith('}'))
            ++received;
    });

    QThread clientThread;
    auto *clients = new PushClients(server.serverPort());
    clients->moveToThread(&clientThread);
    QObject::connect(&clientThread, &QThread::finished, clients, &QObject::deleteLater);
    clientThread.start();

    int answered = 0;
    int failed = 0;
    int openSockets = 0;
    QEventLoop loop;
    QObject::connect(clients, &PushClients::finished, &loop, [&](int ok, int bad) {
        answered += ok;
        failed += bad;
        loop.quit();
    });

    // Warm-up rounds: allocator pools and socket buffers reach their working size.
    for (int i = 0; i < 3; ++i) {
        QMetaObject::invokeMethod(clients, "run", Qt::QueuedConnection);
        loop.exec();
    }
    settle();
    answered = failed = 0;
    received = 0;
    int const fdBefore = openDescriptors();
    long heapFirst = -1, heapLast = -1, rssFirst = -1, rssLast = -1;

    for (auto _ : state) {
        QMetaObject::invokeMethod(clients, "run", Qt::QueuedConnection);
        loop.exec();
        state.PauseTiming();
        QMetaObject::invokeMethod(clients, "flush", Qt::BlockingQueuedConnection);
        settle();
        openSockets = qMax(openSockets, server.findChildren<QTcpSocket *>().size());
        heapLast = heapInUseKb();
        rssLast = residentKb();
        if (heapFirst < 0) {
            heapFirst = heapLast;
            rssFirst = rssLast;
        }
        state.ResumeTiming();
    }

    settle();
    state.counters["pushes_per_s"] = benchmark::Counter(double(answered), benchmark::Counter::kIsRate);
    state.counters["failed"] = failed;
    state.counters["not_announced"] = double(answered - received);
    state.counters["open_sockets_max"] = openSockets;
    state.counters["fd_growth"] = openDescriptors() - fdBefore;
    // Memory after the first and after the last round: equal within noise means no growth.
    state.counters["heap_first_kb"] = double(heapFirst);
    state.counters["heap_last_kb"] = double(heapLast);
    state.counters["rss_first_kb"] = double(rssFirst);
    state.counters["rss_last_kb"] = double(rssLast);
    state.SetItemsProcessed(answered);

    clientThread.quit();
    clientThread.wait();
}

BENCHMARK(BM_ReceiverPushes)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The receiver logs every connection; the figures are about the receiver, not the log.
    qSetMessagePattern(QString());
    qInstallMessageHandler(quietLog);
    return runBenchmarks(argc, argv);
}

#include "HttpServerPushes.moc"
