#include "fakes/DeferredProbe.h"
#include "fakes/EventLoopWait.h"
#include "fakes/FakeHttpServer.h"
#include "fakes/LogCapture.h"
#include "fakes/MqttPeer.h"
#include "fakes/TestBroker.h"
#include "transport/HttpClient.h"
#include "transport/HttpServer.h"
#include "transport/MqttClient.h"
#include "transport/MqttDevice.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

// Outside input that reaches a log line through the transports, each row one hostile input:
// every line stays short, shows the input's full length when cut, and carries no raw control
// byte from outside.
namespace {

// The longest line an input may make: 512 bytes shown, each escaped as at most six
// characters, plus the line's own text.
const int kLongestLine = 6 * 512 + 400;

class ProbeDevice : public manager::MqttDevice
{
    Q_OBJECT

public:
    ProbeDevice(manager::MqttClient &mqtt, const QString &base)
        : MqttDevice(mqtt, base, QStringLiteral("[Probe] "))
    {
        route(QStringLiteral("/doc"), [this](const QJsonObject &doc) { readText(doc, QStringLiteral("name"), QStringLiteral("name")); });
        subscribeTo(QStringLiteral("/#"));
    }
};

} // namespace

class TestHostileLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void linesStayBounded_data();
    void linesStayBounded();

private:
    void deliverMqtt(const QString &topic, const QByteArray &payload);
    void deliverRpcReply(const QByteArray &reply);
    void deliverToReceiver(const QByteArray &request);
    void deliverRedirect(const QByteArray &location);

    TestBroker m_broker;
    MqttPeer *m_peer = nullptr;
    manager::MqttClient *m_mqtt = nullptr;
    ProbeDevice *m_device = nullptr;
};

void TestHostileLog::initTestCase()
{
    QVERIFY(m_broker.start());
    m_peer = new MqttPeer(QStringLiteral("hostile-peer"));
    QVERIFY(m_peer->connectTo(m_broker));
    m_mqtt = new manager::MqttClient;
    m_mqtt->setHostname(m_broker.host());
    m_mqtt->setPort(m_broker.port());
    m_mqtt->setClientId(QStringLiteral("hostile-session"));
    m_device = new ProbeDevice(*m_mqtt, QStringLiteral("hostile/dev"));
    QSignalSpy up(m_mqtt, &manager::MqttClient::connected);
    m_mqtt->connect();
    QVERIFY(up.wait(5000));
    // The device's subscription is on its way: repeat a probe until it comes through.
    QSignalSpy received(m_mqtt, &manager::MqttClient::received);
    QVERIFY(waitUntil([&] {
        m_peer->publish(QStringLiteral("hostile/dev/prime"), "{}");
        return waitUntil([&] { return !received.isEmpty(); }, 200);
    }, 10000));
}

void TestHostileLog::cleanupTestCase()
{
    delete m_device;
    delete m_mqtt;
    delete m_peer;
}

void TestHostileLog::deliverMqtt(const QString &topic, const QByteArray &payload)
{
    QSignalSpy received(m_mqtt, &manager::MqttClient::received);
    QVERIFY(m_peer->publish(topic, payload, 1, false, 30000));
    WAIT_VERIFY_WITH_TIMEOUT(std::any_of(received.begin(), received.end(),
                                         [&](const QList<QVariant> &args) { return args.at(1).toByteArray() == topic.toUtf8(); }),
                             30000);
}

void TestHostileLog::deliverRpcReply(const QByteArray &reply)
{
    QVERIFY(m_peer->serve(QStringLiteral("hostile/rpc"), [reply](const MqttPeer::Request &) { return reply; }));
    DeferredProbe<QJsonValue> result(m_mqtt->executeRpc(QStringLiteral("hostile/rpc"), QStringLiteral("1"), QJsonObject(), 20000));
    QVERIFY(result.waitSettled(30000));
}

void TestHostileLog::deliverToReceiver(const QByteArray &request)
{
    HttpServer server;
    QVERIFY(server.listen(0));
    QSignalSpy announced(&server, &HttpServer::requestReceived);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(client.waitForConnected(5000));
    client.write(request);
    QVERIFY(announced.wait(10000));
}

void TestHostileLog::deliverRedirect(const QByteArray &location)
{
    FakeHttpServer peer;
    QVERIFY(peer.start());
    peer.setResponse("GET", "/start", FakeHttpResponse::redirect(302, peer.url().toString() + QString::fromLatin1(location)));
    HttpClient client;
    DeferredProbe<int, QJsonValue> result(client.get(peer.url("/start"), 10000));
    QVERIFY(result.waitSettled(15000));
}

void TestHostileLog::linesStayBounded_data()
{
    QTest::addColumn<QString>("surface");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("shown");     // a line holds this
    QTest::addColumn<QByteArray>("raw");    // no line holds these bytes as they came

    const QByteArray tenMegabytes(10 * 1024 * 1024, '{');
    QTest::newRow("10 MB malformed MQTT payload") << "mqtt" << "hostile/dev/doc" << tenMegabytes
                                                 << "[... 10485760 bytes in all]" << QByteArray(600, '{');
    QTest::newRow("binary MQTT payload") << "mqtt" << "hostile/dev/doc" << QByteArray("\x00\x01\x1b[31mred\xff", 11)
                                        << R"(\x00\x01\x1b[31mred\xff)" << QByteArray("\x1b[31m");
    // The broker refuses control characters in topics, but not a line separator.
    QTest::newRow("MQTT topic forging a log line")
        << "mqtt" << QString::fromUtf8("hostile/dev/x\u2028[   1.000] ERROR: forged") << QByteArray("{}")
        << R"(hostile/dev/x\u2028[   1.000] ERROR: forged)" << QByteArray("\xe2\x80\xa8[   1.000] ERROR");
    QTest::newRow("1 MB text in a device field")
        << "mqtt" << "hostile/dev/doc" << QByteArray(R"({"name": [")") + QByteArray(1024 * 1024, 'n') + "\"]}"
        << "bytes in all]" << QByteArray(600, 'n');
    QTest::newRow("1 MB request/response reply") << "rpc" << ""
                                                << QByteArray(R"({"v": ")") + QByteArray(1024 * 1024, 'r') + "\"}"
                                                << "bytes in all]" << QByteArray(600, 'r');
    QTest::newRow("512 KB path pushed to the receiver")
        << "receiver" << "" << "POST /" + QByteArray(512 * 1024, 'p') + " HTTP/1.1\r\nContent-Length: 0\r\n\r\n"
        << "[... 524289 bytes in all]" << QByteArray(600, 'p');
    QTest::newRow("terminal escape in a pushed path")
        << "receiver" << "" << QByteArray("GET /a\x1b]0;owned\x07 HTTP/1.1\r\n\r\n") << R"(path=/a\x1b]0;owned\x07)"
        << QByteArray("\x1b]0;");
    QTest::newRow("64 KB redirect location") << "redirect" << "" << QByteArray(64 * 1024, 'l') << "bytes in all]"
                                            << QByteArray(600, 'l');
}

void TestHostileLog::linesStayBounded()
{
    QFETCH(QString, surface);
    QFETCH(QString, topic);
    QFETCH(QByteArray, input);
    QFETCH(QString, shown);
    QFETCH(QByteArray, raw);

    LogCapture log;
    if (surface == "mqtt")
        deliverMqtt(topic, input);
    else if (surface == "rpc")
        deliverRpcReply(input);
    else if (surface == "receiver")
        deliverToReceiver(input);
    else
        deliverRedirect(input);
    if (QTest::currentTestFailed())
        return;

    const QStringList lines = log.texts();
    QVERIFY(!lines.isEmpty());
    bool found = false;
    for (const QString &line : lines) {
        QVERIFY2(line.size() <= kLongestLine, qPrintable(QStringLiteral("%1 characters: %2").arg(line.size()).arg(line.left(200))));
        QVERIFY2(!line.toUtf8().contains(raw), qPrintable(line.left(200)));
        found = found || line.contains(shown);
    }
    QVERIFY2(found, qPrintable(lines.join('\n').left(4000)));
}

QTEST_GUILESS_MAIN(TestHostileLog)
#include "tst_HostileLog.moc"
