#include "transport/HttpServer.h"

#include "fakes/EventLoopWait.h"
#include "fakes/FakeCamera.h"
#include "fakes/FreePort.h"
#include "fakes/LogCapture.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <vector>

using Chunks = QList<QByteArray>;

namespace {

QByteArray const okAnswer("HTTP/1.1 200 OK\r\n\r\n");

QByteArray post(QByteArray const &body, QByteArray const &extraHeaders = QByteArray())
{
    return "POST /push HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "Content-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

class TestHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void readsWholeRequest_data();
    void readsWholeRequest();
    void dropsBadRequests_data();
    void dropsBadRequests();
    void sizeLimit_data();
    void sizeLimit();
    void silentConnectionIsDropped_data();
    void silentConnectionIsDropped();
    void everyReadRestartsTheSilenceClock();
    void peerAddressIsPlainIPv4();
    void peerGoneBeforeRequestComplete();
    void listenMovesToNewPort();
    void listenFailureAndClose();
    void attacks_data();
    void attacks();

private:
    // Connects, writes the chunks one by one (checking nothing is announced early) and collects
    // everything the server sends until it closes the connection.
    QByteArray exchange(Chunks const &chunks, QSignalSpy &spy, bool *closed = nullptr);

    // A camera's push from its own address; true when it was answered and announced.
    bool cameraPush(QString const &address);
    // Opens connections from address in batches the listen backlog takes at once; returns when
    // each is either kept open or closed by the receiver.
    void crowd(std::vector<std::unique_ptr<QTcpSocket>> &sockets, QString const &address, int count);
    void slowDrip(QStringList &warnings);
    void crowdFromOneAddress(QStringList &warnings);
    void crowdFromManyAddresses(QStringList &warnings);
    void descriptorsRunOut(LogCapture &log, QStringList &warnings);

    std::unique_ptr<HttpServer> m_server;
    quint16 m_port = 0;
    QString m_subnet; // 127.79.y. of this run: attackers and cameras of their own
};

// Few descriptors: a flood that would exhaust them does so with a few hundred connections.
static const rlim_t descriptorLimit = 300;

void TestHttpServer::initTestCase()
{
    rlimit limit{};
    QVERIFY(getrlimit(RLIMIT_NOFILE, &limit) == 0);
    limit.rlim_cur = qMin(limit.rlim_cur, descriptorLimit);
    QVERIFY(setrlimit(RLIMIT_NOFILE, &limit) == 0);
    m_subnet = FakeCamera::loopbackSubnet(79);
}

void TestHttpServer::init()
{
    m_server = std::make_unique<HttpServer>();
    QVERIFY(m_server->listen(0));
    m_port = m_server->serverPort();
    QVERIFY(m_port != 0);
}

void TestHttpServer::cleanup()
{
    m_server.reset();
}

QByteArray TestHttpServer::exchange(Chunks const &chunks, QSignalSpy &spy, bool *closed)
{
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_port);
    if (!client.waitForConnected(5000))
        return "not connected";
    for (int i = 0; i < chunks.size(); ++i) {
        client.write(chunks.at(i));
        client.flush();
        if (i + 1 < chunks.size()) {
            // Nothing may be announced before the last piece: this also spaces the writes so
            // they reach the server as separate reads.
            if (spy.wait(40))
                return "announced early";
        }
    }
    QByteArray answer;
    QSignalSpy gone(&client, &QTcpSocket::disconnected);
    if (client.state() == QAbstractSocket::ConnectedState)
        gone.wait(5000);
    answer = client.readAll();
    if (closed)
        *closed = client.state() == QAbstractSocket::UnconnectedState;
    return answer;
}

void TestHttpServer::readsWholeRequest_data()
{
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");

    QByteArray const json = R"({"plate":"ABC1234","camera":"Front"})";
    QByteArray const full = "POST /api/result?cam=1&x=2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                            "Content-Length: " + QByteArray::number(json.size()) + "\r\n\r\n" + json;

    QTest::newRow("one write, query left out") << Chunks{full} << "POST" << "/api/result" << json;
    QTest::newRow("head split inside the request line") << Chunks{full.left(7), full.mid(7)} << "POST" << "/api/result" << json;
    QTest::newRow("blank line split") << Chunks{full.left(full.indexOf("\r\n\r\n") + 2), full.mid(full.indexOf("\r\n\r\n") + 2)}
                                     << "POST" << "/api/result" << json;
    QTest::newRow("body in three later writes")
        << Chunks{full.left(full.size() - json.size()), json.left(5), json.mid(5, 10), json.mid(15)}
        << "POST" << "/api/result" << json;
    QByteArray const small = post("{}");
    Chunks bytes;
    for (char c : small)
        bytes << QByteArray(1, c);
    QTest::newRow("byte by byte") << bytes << "POST" << "/push" << QByteArray("{}");
    QTest::newRow("lower-case method kept") << Chunks{"get /heartbeat HTTP/1.1\r\n\r\n"} << "get" << "/heartbeat" << QByteArray();
    QTest::newRow("LF line endings") << Chunks{"PUT /a/b HTTP/1.1\nContent-Length: 3\n\nxyz"} << "PUT" << "/a/b" << QByteArray("xyz");
    // The first blank line ends the head, whatever the body holds.
    QTest::newRow("LF head, CRLF blank line in the body")
        << Chunks{"PUT /a HTTP/1.1\nContent-Length: 6\n\nab\r\n\r\n"} << "PUT" << "/a" << QByteArray("ab\r\n\r\n");
    QTest::newRow("header name in any case") << Chunks{"POST /p HTTP/1.1\r\ncOnTeNt-LeNgTh:  4 \r\n\r\n", "abcd"}
                                            << "POST" << "/p" << QByteArray("abcd");
    QTest::newRow("bytes after the declared body ignored") << Chunks{post("12345") + "GET /next HTTP/1.1\r\n\r\n"}
                                                          << "POST" << "/push" << QByteArray("12345");
    QTest::newRow("no Content-Length: body as sent with the head")
        << Chunks{"POST /p HTTP/1.1\r\n\r\nhello"} << "POST" << "/p" << QByteArray("hello");
    QTest::newRow("binary body with NUL bytes") << Chunks{post(QByteArray("a\0b\r\n\r\nc", 8))}
                                               << "POST" << "/push" << QByteArray("a\0b\r\n\r\nc", 8);
    QTest::newRow("percent-encoding kept") << Chunks{"GET /a%20b?q HTTP/1.1\r\n\r\n"} << "GET" << "/a%20b" << QByteArray();
}

void TestHttpServer::readsWholeRequest()
{
    QFETCH(Chunks, chunks);
    QFETCH(QString, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);

    LogCapture log;
    QSignalSpy spy(m_server.get(), &HttpServer::requestReceived);
    bool closed = false;
    QCOMPARE(exchange(chunks, spy, &closed), okAnswer);
    QVERIFY(closed);
    QCOMPARE(spy.count(), 1);
    auto const request = spy.at(0).at(1).value<HttpServer::Request>();
    QCOMPARE(request.method, method);
    QCOMPARE(request.path, path);
    QCOMPARE(request.body, body);
    QCOMPARE(spy.at(0).at(0).value<QHostAddress>(), QHostAddress(QHostAddress::LocalHost));
    QVERIFY(log.texts(QtDebugMsg).contains(QStringLiteral("[HttpServer] HTTP request received : method=%1, path=%2").arg(method, path)));
    QVERIFY(log.texts(QtWarningMsg).isEmpty());
    // The answered connection is released.
    QTRY_VERIFY(m_server->findChildren<QTcpSocket *>().isEmpty());
}

// Requests that do not match the request line: no announcement, but still the answer and the close.
void TestHttpServer::dropsBadRequests_data()
{
    QTest::addColumn<Chunks>("chunks");
    QTest::newRow("blank before the method") << Chunks{" GET /x HTTP/1.1\r\n\r\n"};
    QTest::newRow("empty head") << Chunks{"\r\n\r\n"};
    QTest::newRow("binary garbage") << Chunks{QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\n\n", 13)};
    QTest::newRow("method only") << Chunks{"GET\r\n\r\n"};
    QTest::newRow("NUL in the request line") << Chunks{QByteArray("G\0ET /x HTTP/1.1\r\n\r\n", 20)};
}

void TestHttpServer::dropsBadRequests()
{
    QFETCH(Chunks, chunks);
    LogCapture log;
    QSignalSpy spy(m_server.get(), &HttpServer::requestReceived);
    bool closed = false;
    QCOMPARE(exchange(chunks, spy, &closed), okAnswer);
    QVERIFY(closed);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(log.count(QtDebugMsg, QStringLiteral("HTTP request received")), 0);
}

void TestHttpServer::sizeLimit_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("logged");

    qint64 const limit = HttpServer::MaxRequestSize;
    QByteArray const head = "POST /big HTTP/1.1\r\nContent-Length: ";
    auto exact = [&](qint64 total) {
        // Pads the body so that head plus body are exactly `total` bytes.
        QByteArray h = head + "0000000\r\n\r\n";
        QByteArray const body(int(total - h.size()), 'x');
        return head + QByteArray::number(body.size()).rightJustified(7, '0') + "\r\n\r\n" + body;
    };
    QTest::newRow("exactly the limit") << exact(limit) << true << QString();
    QTest::newRow("one byte over, body sent") << exact(limit + 1) << false << "exceeds 1048576 bytes";
    QTest::newRow("declared too large, body not sent") << QByteArray(head + "5000000\r\n\r\n") << false << "exceeds 1048576 bytes";
    QTest::newRow("head without end over the limit")
        << QByteArray("GET /x HTTP/1.1\r\nX-Filler: " + QByteArray(int(limit), 'y')) << false
        << "without a complete head";
    QTest::newRow("invalid Content-Length") << QByteArray(head + "12abc\r\n\r\n12abc") << false << "invalid Content-Length";
    // Added to the head's length, the largest 64-bit number would wrap below the limit.
    QTest::newRow("Content-Length at the top of 64 bits") << QByteArray(head + "9223372036854775807\r\n\r\n{}") << false
                                                          << "exceeds 1048576 bytes (head of 59 bytes, Content-Length 9223372036854775807)";
    QTest::newRow("Content-Length beyond 64 bits") << QByteArray(head + "18446744073709551616\r\n\r\n{}") << false
                                                   << "invalid Content-Length";
    QTest::newRow("negative Content-Length") << QByteArray(head + "-1\r\n\r\n") << false << "invalid Content-Length";
    QTest::newRow("contradicting Content-Length")
        << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc") << false << "invalid Content-Length";
}

void TestHttpServer::sizeLimit()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, accepted);
    QFETCH(QString, logged);

    LogCapture log;
    QSignalSpy spy(m_server.get(), &HttpServer::requestReceived);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(client.waitForConnected(5000));
    client.write(request);
    QSignalSpy gone(&client, &QTcpSocket::disconnected);
    QVERIFY(gone.wait(10000));
    QByteArray const answer = client.readAll();

    if (accepted) {
        QCOMPARE(answer, okAnswer);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(1).value<HttpServer::Request>().body, request.mid(request.indexOf("\r\n\r\n") + 4));
    } else {
        QVERIFY(answer.isEmpty());
        QCOMPARE(spy.count(), 0);
        QStringList const warnings = log.texts(QtWarningMsg);
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings.at(0).startsWith(QStringLiteral("[HttpServer] WARN: Request from 127.0.0.1 "))
                     && warnings.at(0).contains(logged) && warnings.at(0).endsWith(QStringLiteral(", connection dropped")),
                 qPrintable(warnings.at(0)));
    }
    QTRY_VERIFY(m_server->findChildren<QTcpSocket *>().isEmpty());
}

void TestHttpServer::silentConnectionIsDropped_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("nothing sent") << QByteArray();
    QTest::newRow("head without blank line") << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 3\r\n");
    QTest::newRow("body incomplete") << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 30\r\n\r\nabc");
}

void TestHttpServer::silentConnectionIsDropped()
{
    QFETCH(QByteArray, sent);
    QCOMPARE(m_server->idleTimeout(), 10000);
    m_server->setIdleTimeout(300);

    LogCapture log;
    QSignalSpy spy(m_server.get(), &HttpServer::requestReceived);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(client.waitForConnected(5000));
    QElapsedTimer clock;
    clock.start();
    if (!sent.isEmpty())
        client.write(sent);
    QSignalSpy gone(&client, &QTcpSocket::disconnected);
    QVERIFY(gone.wait(5000));
    QVERIFY(clock.elapsed() >= 250);
    QVERIFY(client.readAll().isEmpty());
    QCOMPARE(spy.count(), 0);
    QCOMPARE(log.texts(QtWarningMsg),
             QStringList{QStringLiteral("[HttpServer] WARN: Connection from 127.0.0.1 silent for 300 msec, connection dropped")});
    QTRY_VERIFY(m_server->findChildren<QTcpSocket *>().isEmpty());
}

void TestHttpServer::everyReadRestartsTheSilenceClock()
{
    m_server->setIdleTimeout(400);
    QSignalSpy spy(m_server.get(), &HttpServer::requestReceived);
    QByteArray const request = post("0123456789");
    Chunks chunks;
    for (int i = 0; i < request.size(); i += 8)
        chunks << request.mid(i, 8);
    QVERIFY(chunks.size() > 6);

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(client.waitForConnected(5000));
    QElapsedTimer clock;
    clock.start();
    for (QByteArray const &chunk : chunks) {
        client.write(chunk);
        client.flush();
        if (spy.isEmpty())
            spy.wait(100);
    }
    QTRY_COMPARE(spy.count(), 1);
    QVERIFY(clock.elapsed() > 400); // longer in total than the silence limit
    QCOMPARE(spy.at(0).at(1).value<HttpServer::Request>().body, QByteArray("0123456789"));
}

void TestHttpServer::peerAddressIsPlainIPv4()
{
    LogCapture log;
    QSignalSpy spy(m_server.get(), &HttpServer::requestReceived);
    QTcpSocket client;
    QVERIFY(client.bind(QHostAddress(QStringLiteral("127.0.0.29")), 0));
    client.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(client.waitForConnected(5000));
    client.write("POST /heartbeat HTTP/1.1\r\n\r\n");
    QVERIFY(spy.wait(5000));
    QHostAddress const peer = spy.at(0).at(0).value<QHostAddress>();
    QCOMPARE(peer.protocol(), QAbstractSocket::IPv4Protocol);
    QCOMPARE(peer, QHostAddress(QStringLiteral("127.0.0.29")));
    QVERIFY(log.texts(QtInfoMsg).contains(QStringLiteral("[HttpServer] New connection received from : 127.0.0.29")));
}

void TestHttpServer::peerGoneBeforeRequestComplete()
{
    LogCapture log;
    QSignalSpy spy(m_server.get(), &HttpServer::requestReceived);
    {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(client.waitForConnected(5000));
        client.write("POST /x HTTP/1.1\r\nContent-Length: 100\r\n\r\nonly a part");
        client.flush();
        QVERIFY(!spy.wait(50));
        client.disconnectFromHost();
    }
    QTRY_COMPARE(log.count(QtWarningMsg, QStringLiteral("closed before its request was complete")), 1);
    QCOMPARE(spy.count(), 0);
    QTRY_VERIFY(m_server->findChildren<QTcpSocket *>().isEmpty());
}

void TestHttpServer::listenMovesToNewPort()
{
    LogCapture log;
    quint16 const second = FreePort::pick(QHostAddress::Any);
    QVERIFY(second != 0);

    QVERIFY(m_server->listen(second));
    QCOMPARE(m_server->serverPort(), second);
    QCOMPARE(log.texts(QtInfoMsg), QStringList{QStringLiteral("[HttpServer] Listening for HTTP requests on : 0.0.0.0:%1").arg(second)});

    QTcpSocket old;
    old.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(!old.waitForConnected(2000));

    QSignalSpy spy(m_server.get(), &HttpServer::requestReceived);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, second);
    QVERIFY(client.waitForConnected(5000));
    client.write("GET /x HTTP/1.1\r\n\r\n");
    QVERIFY(spy.wait(5000));
}

void TestHttpServer::listenFailureAndClose()
{
    LogCapture log;
    HttpServer other;
    QVERIFY(!other.listen(m_port)); // taken by the server of init()
    QVERIFY(!other.isListening());
    QStringList const critical = log.texts(QtCriticalMsg);
    QCOMPARE(critical.size(), 1);
    QVERIFY(critical.at(0).startsWith(QStringLiteral("[HttpServer] ERROR: Failed to listen : ")));
    QVERIFY(critical.at(0).size() > QStringLiteral("[HttpServer] ERROR: Failed to listen : ").size());

    log.clear();
    other.close();
    QVERIFY(log.texts().isEmpty());

    m_server->close();
    QVERIFY(!m_server->isListening());
    QCOMPARE(log.texts(QtInfoMsg), QStringList{QStringLiteral("[HttpServer] Stopped listening for HTTP requests")});
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(!client.waitForConnected(2000));
}

bool TestHttpServer::cameraPush(QString const &address)
{
    QSignalSpy announced(m_server.get(), &HttpServer::requestReceived);
    QTcpSocket camera;
    if (!camera.bind(QHostAddress(address)))
        return false;
    camera.connectToHost(QHostAddress::LocalHost, m_port);
    if (!camera.waitForConnected(5000))
        return false;
    camera.write(post(R"({"plate":"ABC1234"})"));
    QSignalSpy gone(&camera, &QTcpSocket::disconnected);
    if (camera.state() == QAbstractSocket::ConnectedState && !gone.wait(10000))
        return false;
    return camera.readAll() == okAnswer && announced.count() == 1
        && announced.at(0).at(0).value<QHostAddress>() == QHostAddress(address);
}

void TestHttpServer::crowd(std::vector<std::unique_ptr<QTcpSocket>> &sockets, QString const &address, int count)
{
    while (count > 0) {
        std::vector<QTcpSocket *> batch;
        for (int i = 0; i < qMin(count, 20); ++i) {
            sockets.emplace_back(new QTcpSocket);
            QVERIFY2(sockets.back()->bind(QHostAddress(address)), qPrintable(sockets.back()->errorString()));
            sockets.back()->connectToHost(QHostAddress::LocalHost, m_port);
            batch.push_back(sockets.back().get());
        }
        count -= int(batch.size());
        // Kept ones are connected and seen by the receiver; the others are closed by it.
        QVERIFY(waitUntil([&] {
            return std::all_of(batch.begin(), batch.end(), [](QTcpSocket *s) {
                return s->state() == QAbstractSocket::UnconnectedState || s->state() == QAbstractSocket::ConnectedState;
            });
        }, 10000));
    }
}

// A byte every 100 ms never lets the silence limit expire; the request's own deadline does.
void TestHttpServer::slowDrip(QStringList &warnings)
{
    m_server->setIdleTimeout(1000);
    m_server->setRequestTimeout(1500);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(client.waitForConnected(5000));
    QByteArray const head = "POST /x HTTP/1.1\r\nX-Pad: " + QByteArray(400, 'a');
    int sent = 0;
    QTimer drip;
    connect(&drip, &QTimer::timeout, &client, [&] {
        if (sent < head.size())
            client.write(head.mid(sent++, 1));
    });
    drip.start(100);
    QVERIFY2(waitUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }, 20000),
             "the dripping connection was kept");
    QVERIFY(sent > 10); // it was dripping all along
    warnings << "[HttpServer] WARN: Request from 127.0.0.1 not complete within 1500 msec, connection dropped";
}

// One address opens far more connections than the descriptors allow and sends nothing. It keeps
// a few; the rest are closed at once, and a camera still gets through.
void TestHttpServer::crowdFromOneAddress(QStringList &warnings)
{
    QString const attacker = m_subnet + "10";
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    crowd(sockets, attacker, 200);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(waitUntil([&] { return m_server->connectionCount() == HttpServer::DefaultMaxConnectionsPerPeer; }));
    QVERIFY(waitUntil([&] {
        return std::count_if(sockets.begin(), sockets.end(), [](auto const &s) {
                   return s->state() == QAbstractSocket::UnconnectedState;
               }) == 200 - HttpServer::DefaultMaxConnectionsPerPeer;
    }));
    QVERIFY(cameraPush(m_subnet + "20"));
    warnings << "[HttpServer] WARN: " + attacker + " holds 8 connections, the most one address may; further ones are closed at once";
}

// Many addresses take every slot: the address holding the most gives one up for the camera.
void TestHttpServer::crowdFromManyAddresses(QStringList &warnings)
{
    m_server->setMaxConnections(16);
    m_server->setMaxConnectionsPerPeer(4);
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int address = 0; address < 8; ++address)
        crowd(sockets, m_subnet + QString::number(30 + address), 4);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(waitUntil([&] { return m_server->connectionCount() == 16; }));
    QVERIFY(cameraPush(m_subnet + "20"));
    QCOMPARE(m_server->connectionCount(), 15); // one crowd connection gave way; the camera's is done
    warnings << "[HttpServer] WARN: 16 connections open, the most the receiver keeps; further ones are closed at once";
    warnings << "closed to make room for " + m_subnet + "20 (16 connections open), connection dropped";
}

// Something else in the process used up every descriptor: accepting fails for a while, and
// starts again once there are descriptors, instead of never.
void TestHttpServer::descriptorsRunOut(LogCapture &log, QStringList &warnings)
{
    QTcpSocket camera;
    QVERIFY(camera.bind(QHostAddress(m_subnet + "21")));
    camera.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(camera.waitForConnected(5000));
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        fillers.push_back(fd);
    bool const refused = waitUntil([&] { return log.contains(QtCriticalMsg, "[HttpServer] ERROR: Cannot accept connections"); }, 10000);
    for (int fd : fillers)
        ::close(fd);
    QVERIFY(refused);
    QSignalSpy announced(m_server.get(), &HttpServer::requestReceived);
    camera.write(post("{}"));
    QSignalSpy gone(&camera, &QTcpSocket::disconnected);
    QVERIFY(gone.wait(10000));
    QCOMPARE(camera.readAll(), okAnswer);
    QCOMPARE(announced.count(), 1);
    warnings << "[HttpServer] ERROR: Cannot accept connections : ";
}

// Each row one attack from the lane network, with the descriptor limit lowered for the whole
// program; the receiver keeps its descriptors bounded and the cameras' pushes get through.
void TestHttpServer::attacks_data()
{
    QTest::addColumn<QString>("attack");
    QTest::newRow("a byte a second, for ever") << "drip";
    QTest::newRow("hundreds of silent connections from one address") << "one address";
    QTest::newRow("every slot taken by many addresses") << "many addresses";
    QTest::newRow("descriptors used up elsewhere in the process") << "descriptors";
}

void TestHttpServer::attacks()
{
    QFETCH(QString, attack);
    LogCapture log;
    QStringList expected;
    if (attack == "drip")
        slowDrip(expected);
    else if (attack == "one address")
        crowdFromOneAddress(expected);
    else if (attack == "many addresses")
        crowdFromManyAddresses(expected);
    else
        descriptorsRunOut(log, expected);
    if (QTest::currentTestFailed())
        return;
    QString const all = log.texts().join('\n');
    for (QString const &line : expected)
        QVERIFY2(all.contains(line), qPrintable(line + "\n---\n" + all.left(3000)));
    // Refused connections are reported once, not one line each.
    QVERIFY(log.count(QtWarningMsg, "the most one address may") <= 1);
    QVERIFY(log.count(QtWarningMsg, "the most the receiver keeps") <= 1);
}

QTEST_GUILESS_MAIN(TestHttpServer)
#include "tst_HttpServer.moc"
