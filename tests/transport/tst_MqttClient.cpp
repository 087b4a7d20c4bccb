#include "transport/MqttClient.h"

#include "fakes/EventLoopWait.h"
#include "fakes/FreePort.h"
#include "fakes/LogCapture.h"
#include "fakes/MqttPeer.h"
#include "fakes/ScriptedMqttBroker.h"
#include "fakes/TestBroker.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

using manager::MqttClient;
using manager::MqttConnection;

namespace {

const QByteArray WillMessage(R"({"service": false})");

QByteArray binaryPayload(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + 7) & 0xff);
    return bytes;
}

} // namespace

class TestMqttClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void roundTrip_data();
    void roundTrip();
    void hostNames_data();
    void hostNames();
    void reconnectsAndRenewsSubscriptions();
    void recordKeepsOneEntryPerFilter();
    void retainFlagPassedOn();
    void will_data();
    void will();
    void refusedConnack_data();
    void refusedConnack();
    void everyFailedAttemptIsReported_data();
    void everyFailedAttemptIsReported();
    void brokerFailureWarnings_data();
    void brokerFailureWarnings();
    void publishWhileDown();
    void watchdogCutsSilentBroker();
    void disconnectIsFollowedByReconnection();
    void disconnectWhileAcknowledgementsAreOwed();
    void encryptedFlagOnlyWarns();
    void connectTwiceDoesNotDoubleSignals();
    void settingsApplyAtNextConnect();
    void refusedRequestsReportError_data();
    void refusedRequestsReportError();
    void brokerRefusedSubscriptionIsReported();
    void refusesSettingsNoBrokerTakes_data();
    void refusesSettingsNoBrokerTakes();

private:
    std::unique_ptr<MqttClient> makeClient(QString const &clientId);
    bool connectClient(MqttClient &client);

    std::unique_ptr<TestBroker> m_broker;
};

void TestMqttClient::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
}

void TestMqttClient::init()
{
    m_broker.reset(new TestBroker);
}

void TestMqttClient::cleanup()
{
    m_broker.reset();
}

std::unique_ptr<MqttClient> TestMqttClient::makeClient(QString const &clientId)
{
    std::unique_ptr<MqttClient> client(new MqttClient);
    client->setHostname(m_broker->host());
    client->setPort(m_broker->port());
    client->setClientId(clientId);
    client->setRetryMillis(200);
    return client;
}

bool TestMqttClient::connectClient(MqttClient &client)
{
    QSignalSpy connected(&client, &MqttClient::connected);
    client.connect();
    return connected.count() > 0 || connected.wait(5000);
}

void TestMqttClient::roundTrip_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("qos");

    QTest::newRow("json") << QByteArray(R"({"service": true, "state": 2})") << 0;
    QTest::newRow("json, QoS 1") << QByteArray(R"({"a": [1, 2]})") << 1;
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("zero bytes") << QByteArray("\0\0{}\0x", 6) << 1;
    QTest::newRow("invalid UTF-8") << QByteArray("\xff\xfe\xc3(\x80") << 0;
    QTest::newRow("malformed json") << QByteArray(R"({"a": )") << 0;
    QTest::newRow("1 MiB binary, QoS 2") << binaryPayload(1 << 20) << 2;
}

// Payloads pass untouched both ways; whatever they hold is logged and handed on.
void TestMqttClient::roundTrip()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, qos);
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));

    MqttPeer peer;
    QVERIFY(peer.connectTo(*m_broker));
    QVERIFY(peer.subscribe(QStringLiteral("out/#"), 2));

    auto client = makeClient(QStringLiteral("round-trip"));
    client->subscribe(QStringLiteral("in/#"), uchar(qos));
    QVERIFY(connectClient(*client));
    QVERIFY(client->isConnected());
    QVERIFY(m_broker->waitForLog(QStringLiteral("round-trip %1 in/#").arg(qos)));

    LogCapture log;
    QSignalSpy received(client.get(), &MqttClient::received);
    QVERIFY(peer.publish(QStringLiteral("in/device/status"), payload, qos));
    QVERIFY(received.wait(5000));
    QCOMPARE(received.count(), 1);
    QCOMPARE(received.at(0).at(0).toByteArray(), payload);
    QCOMPARE(received.at(0).at(1).toByteArray(), QByteArray("in/device/status"));
    QVERIFY(log.contains(QtDebugMsg, QStringLiteral("[MqttClient] Received on topic: in/device/status\n")));

    QVERIFY(client->publish(payload, QStringLiteral("out/answer"), uchar(qos)));
    QVERIFY(peer.waitForMessages(QStringLiteral("out/answer")));
    const MqttPeer::Message message = peer.messages(QStringLiteral("out/answer")).first();
    QCOMPARE(message.payload, payload);
    QCOMPARE(message.qos, qos);
    QVERIFY(!message.retained);
    QVERIFY(log.contains(QtDebugMsg,
                         QStringLiteral("[MqttClient] Publishing to topic 'out/answer' with Qos = %1 and Retain = false:\n")
                             .arg(qos)));
}

void TestMqttClient::hostNames_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("reachable");

    QTest::newRow("literal") << QStringLiteral("127.0.0.1") << true;
    QTest::newRow("name") << QStringLiteral("localhost") << true;
    QTest::newRow("unusable name") << QStringLiteral("bad..host") << false;
}

// Names are resolved without blocking; a name that does not resolve ends the attempt like a refusal.
void TestMqttClient::hostNames()
{
    QFETCH(QString, host);
    QFETCH(bool, reachable);
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));

    auto client = makeClient(QStringLiteral("host-names"));
    client->setHostname(host);
    QSignalSpy connected(client.get(), &MqttClient::connected);
    QSignalSpy errors(client.get(), &MqttClient::error);
    LogCapture log;
    client->connect();
    if (host != QLatin1String("127.0.0.1"))
        QCOMPARE(client->state(), MqttConnection::Connecting); // the lookup runs in the background

    if (reachable) {
        QVERIFY(connected.count() > 0 || connected.wait(5000));
        QVERIFY(log.contains(QtInfoMsg, QStringLiteral("[MqttClient] Connected to broker ") + host));
        return;
    }
    QVERIFY(errors.wait(5000));
    QCOMPARE(errors.first().first().toString(), QStringLiteral("Mqtt client error"));
    QVERIFY(log.contains(QtWarningMsg, QStringLiteral("[MqttClient] Transport invalid: The underlying transport")));
    QCOMPARE(client->state(), MqttConnection::Disconnected);
    // It keeps trying.
    QTRY_VERIFY_WITH_TIMEOUT(log.count(QtInfoMsg, QStringLiteral("[MqttClient] Connecting to host")) >= 2, 5000);
    QCOMPARE(connected.count(), 0);
}

// The broker goes away and comes back on the same port: the session reconnects by itself and
// subscribes every recorded filter once more, exactly once per connection.
void TestMqttClient::reconnectsAndRenewsSubscriptions()
{
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    auto client = makeClient(QStringLiteral("renewing"));
    client->subscribe(QStringLiteral("dev/a"));
    client->subscribe(QStringLiteral("dev/b/#"), 1);
    // A listener that subscribes on every connection, as the supervision topics do.
    // It also notes how many renewals of "dev/a" were logged when it ran: listeners of
    // connected() come before the renewal of that connection.
    LogCapture log;
    QList<int> renewalsSeen;
    QObject::connect(client.get(), &MqttClient::connected, client.get(), [&] {
        renewalsSeen << log.count(QtInfoMsg, QStringLiteral("[MqttClient] Subscribing to 'dev/a' with QoS = 0"));
        client->subscribe(QStringLiteral("ui/config/set"));
    });
    QSignalSpy connected(client.get(), &MqttClient::connected);
    QSignalSpy disconnected(client.get(), &MqttClient::disconnected);
    QSignalSpy received(client.get(), &MqttClient::received);

    client->connect();
    QVERIFY(connected.wait(5000));

    for (int round = 1; round <= 2; ++round) {
        if (round == 2) {
            m_broker->stop();
            QVERIFY(disconnected.count() > 0 || disconnected.wait(5000));
            QVERIFY(!client->isConnected());
            QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
            QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 2, 5000);
        }
        MqttPeer peer;
        QVERIFY(peer.connectTo(*m_broker));
        received.clear();
        QVERIFY(m_broker->waitForLog(QStringLiteral("renewing 0 ui/config/set"), round));
        for (char const *topic : {"dev/a", "dev/b/c", "ui/config/set"})
            QVERIFY(peer.publish(QString::fromLatin1(topic), "x", 1));
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 3, 5000);
        QCOMPARE(m_broker->count(QStringLiteral("renewing 0 dev/a")), round);
        QCOMPARE(m_broker->count(QStringLiteral("renewing 1 dev/b/#")), round);
        QCOMPARE(m_broker->count(QStringLiteral("renewing 0 ui/config/set")), round);
        QCOMPARE(log.count(QtInfoMsg, QStringLiteral("[MqttClient] Subscribing to 'ui/config/set' with QoS = 0")), round);
    }
    QCOMPARE(renewalsSeen, (QList<int>{0, 1}));
    QCOMPARE(client->subscriptions().size(), 3);
}

// A repeated subscription updates the entry's QoS instead of adding one.
void TestMqttClient::recordKeepsOneEntryPerFilter()
{
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    auto client = makeClient(QStringLiteral("record"));
    client->subscribe(QStringLiteral("x/#"));
    client->subscribe(QStringLiteral("y"));
    client->subscribe(QStringLiteral("x/#"));
    QVERIFY(connectClient(*client));
    QVERIFY(m_broker->waitForLog(QStringLiteral("record 0 y")));

    client->subscribe(QStringLiteral("x/#"), 1);
    QVERIFY(m_broker->waitForLog(QStringLiteral("record 1 x/#")));
    client->subscribe(QStringLiteral("y"));

    const QList<MqttClient::Subscription> record = client->subscriptions();
    QCOMPARE(record.size(), 2);
    QCOMPARE(record.at(0).first.filter(), QStringLiteral("x/#"));
    QCOMPARE(record.at(0).second, 1);
    QCOMPARE(record.at(1).first.filter(), QStringLiteral("y"));
    QCOMPARE(m_broker->count(QStringLiteral("record 0 x/#")), 1);
    QCOMPARE(m_broker->count(QStringLiteral("record 0 y")), 1);
}

// A listener learns which deliveries the broker kept from before the subscription: the
// retained one at subscription time, not the same topic published while subscribed.
void TestMqttClient::retainFlagPassedOn()
{
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    MqttPeer peer;
    QVERIFY(peer.connectTo(*m_broker));
    QVERIFY(peer.publish(QStringLiteral("kept/a"), "old", 1, true));

    auto client = makeClient(QStringLiteral("retain"));
    QSignalSpy received(client.get(), &MqttClient::received);
    // Listeners of the two-argument form still connect and hear every delivery.
    QList<QByteArray> heard;
    QObject::connect(client.get(), &MqttClient::received, client.get(),
                     [&heard](const QByteArray &data, const QByteArray &) { heard << data; });
    client->subscribe(QStringLiteral("kept/#"), 1);
    QVERIFY(connectClient(*client));
    QVERIFY(received.count() > 0 || received.wait(5000));
    QCOMPARE(received.at(0).size(), 3);
    QCOMPARE(received.at(0).at(0).toByteArray(), QByteArray("old"));
    QCOMPARE(received.at(0).at(2).toBool(), true);

    QVERIFY(peer.publish(QStringLiteral("kept/a"), "new", 1, true));
    QVERIFY(peer.publish(QStringLiteral("kept/b"), "live", 1));
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 3, 5000);
    QCOMPARE(received.at(1).at(0).toByteArray(), QByteArray("new"));
    QCOMPARE(received.at(1).at(2).toBool(), false);
    QCOMPARE(received.at(2).at(2).toBool(), false);
    QCOMPARE(heard, (QList<QByteArray>{"old", "new", "live"}));
}

void TestMqttClient::will_data()
{
    QTest::addColumn<bool>("killed");
    QTest::newRow("process killed") << true;
    QTest::newRow("disconnect()") << false;
}

// The will (QoS 2, retained) goes out when the link breaks, never after a clean disconnect().
void TestMqttClient::will()
{
    QFETCH(bool, killed);
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    const QString willTopic = QStringLiteral("vesk/ui/status");

    MqttPeer watcher;
    QVERIFY(watcher.connectTo(*m_broker));
    QVERIFY(watcher.subscribe(willTopic, 2));
    QVERIFY(watcher.subscribe(QStringLiteral("marker"), 2));

    QProcess helper;
    helper.start(QStringLiteral(MQTT_WILL_CLIENT),
                 {m_broker->host(), QString::number(m_broker->port()), QStringLiteral("will-client"), willTopic});
    QVERIFY(helper.waitForStarted(5000));
    QByteArray output;
    QVERIFY(QTest::qWaitFor([&] { return (output += helper.readAllStandardOutput()).contains("connected"); }, 10000));
    QVERIFY(m_broker->log().contains(QStringLiteral("Will message specified (18 bytes) (r1, q2).")));

    if (killed) {
        helper.kill();
        QVERIFY(helper.waitForFinished(5000));
        QVERIFY(watcher.waitForMessages(willTopic));
        const MqttPeer::Message will = watcher.messages(willTopic).first();
        QCOMPARE(will.payload, WillMessage);
        QCOMPARE(will.qos, 2);

        MqttPeer late;
        QVERIFY(late.connectTo(*m_broker));
        QVERIFY(late.subscribe(willTopic, 2));
        QVERIFY(late.waitForMessages(willTopic));
        QVERIFY(late.messages(willTopic).first().retained);
        QCOMPARE(late.messages(willTopic).first().payload, WillMessage);
        return;
    }

    helper.write("disconnect\n");
    QVERIFY(helper.waitForFinished(5000));
    QCOMPARE(helper.exitCode(), 0);
    QVERIFY(m_broker->waitForLog(QStringLiteral("Client will-client disconnected.")));
    QVERIFY(watcher.publish(QStringLiteral("marker"), "after", 2));
    QVERIFY(watcher.waitForMessages(QStringLiteral("marker")));
    QCOMPARE(watcher.messages(willTopic).size(), 0);
}

void TestMqttClient::refusedConnack_data()
{
    QTest::addColumn<QString>("clientId");
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");

    QTest::newRow("wrong password") << "allowed-1" << "terminal" << "wrong";
    QTest::newRow("anonymous") << "allowed-2" << "" << "";
    QTest::newRow("client id not allowed") << "stranger" << "terminal" << "secret";
}

// A refusal is logged with the broker's reason and reported; the session keeps trying, and the
// same session gets in once its settings are right.
void TestMqttClient::refusedConnack()
{
    QFETCH(QString, clientId);
    QFETCH(QString, username);
    QFETCH(QString, password);
    m_broker->addUser(QStringLiteral("terminal"), QStringLiteral("secret"));
    m_broker->addConfig(QStringLiteral("clientid_prefixes allowed-"));
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));

    auto client = makeClient(clientId);
    client->setUsername(username);
    client->setPassword(password);
    QSignalSpy errors(client.get(), &MqttClient::error);
    QSignalSpy connected(client.get(), &MqttClient::connected);
    LogCapture log;
    client->connect();
    QVERIFY(errors.wait(5000));
    QCOMPARE(errors.first().first().toString(), QStringLiteral("Mqtt client error"));
    QVERIFY(log.contains(QtWarningMsg, QStringLiteral("[MqttClient] Not authorized: %1. The client is not authorized to connect.")
                                           .arg(clientId)));
    QCOMPARE(client->state(), MqttConnection::Disconnected);
    QVERIFY(m_broker->waitForLog(QStringLiteral("Sending CONNACK to 127.0.0.1 (0, 5)"), 2));
    QCOMPARE(connected.count(), 0);
    for (QString const &line : log.texts())
        QVERIFY2(password.isEmpty() || !line.contains(password), qPrintable(line));

    client->setClientId(QStringLiteral("allowed-3"));
    client->setUsername(QStringLiteral("terminal"));
    client->setPassword(QStringLiteral("secret"));
    QVERIFY(connected.wait(5000));
    // One report per refused attempt; the cleared error of the accepted connection is neither
    // logged nor reported.
    QVERIFY(errors.count() >= 1);
    QCOMPARE(errors.count(), log.count(QtWarningMsg, QStringLiteral("[MqttClient] Not authorized: ")));
    QCOMPARE(log.texts(QtWarningMsg).size(), errors.count());
}

void TestMqttClient::everyFailedAttemptIsReported_data()
{
    QTest::addColumn<QString>("broker");
    QTest::addColumn<QString>("warning");

    QTest::newRow("refused CONNACK") << "refusing" << "[MqttClient] Not authorized: ";
    QTest::newRow("nothing listening") << "none" << "[MqttClient] Transport invalid: ";
    QTest::newRow("silent broker") << "silent" << "[MqttClient] Transport invalid: ";
}

// The same failure over and over is still reported at each attempt, not once per outage.
void TestMqttClient::everyFailedAttemptIsReported()
{
    QFETCH(QString, broker);
    QFETCH(QString, warning);

    ScriptedMqttBroker scripted;
    scripted.setConnectAnswer(ScriptedMqttBroker::connack(5));
    scripted.setSilent(broker == QLatin1String("silent"));
    quint16 port = 0;
    if (broker == QLatin1String("none")) {
        port = FreePort::pick();
    } else {
        QVERIFY(scripted.start());
        port = scripted.port();
    }

    MqttClient client;
    client.setHostname(QStringLiteral("127.0.0.1"));
    client.setPort(port);
    client.setClientId(QStringLiteral("again"));
    client.setRetryMillis(200);
    QSignalSpy errors(&client, &MqttClient::error);
    LogCapture log;
    client.connect();
    QVERIFY(waitUntil([&] { return errors.count() >= 3; }, 15000));
    QCOMPARE(errors.count(), log.count(QtWarningMsg, warning));
    QVERIFY(log.count(QtInfoMsg, QStringLiteral("[MqttClient] Connecting to host")) >= errors.count());
}

void TestMqttClient::brokerFailureWarnings_data()
{
    QTest::addColumn<QByteArray>("answer"); // what the broker sends back to CONNECT
    QTest::addColumn<QString>("warning");

    QTest::newRow("CONNACK 1") << ScriptedMqttBroker::connack(1)
                               << "Invalid protocol version: 4. Broker does not accept a connection using the "
                                  "specified protocol version.";
    QTest::newRow("CONNACK 2") << ScriptedMqttBroker::connack(2)
                               << "Id rejected: scripted. The client ID is malformed. This might be related to its length.";
    QTest::newRow("CONNACK 3") << ScriptedMqttBroker::connack(3)
                               << "Server unavailable: 127.0.0.1:%1. The network connection has been established, but "
                                  "the service is unavailable on the broker side.";
    QTest::newRow("CONNACK 4") << ScriptedMqttBroker::connack(4)
                               << "Bad username or password. The data in the username or password is malformed.";
    QTest::newRow("CONNACK outside the protocol") << ScriptedMqttBroker::connack(6) << "Unknown error.";
    QTest::newRow("packet not allowed before CONNACK")
        << QByteArray("\xf0\x00", 2)
        << "Protocol violation:The client encountered a protocol violation, and therefore closed the connection.";
}

// Each way a broker can turn the session away logs its own warning, then one "Mqtt client error".
void TestMqttClient::brokerFailureWarnings()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, warning);

    ScriptedMqttBroker scripted;
    scripted.setConnectAnswer(answer);
    QVERIFY(scripted.start());

    MqttClient client;
    client.setHostname(scripted.host());
    client.setPort(scripted.port());
    client.setClientId(QStringLiteral("scripted"));
    client.setRetryMillis(60000);
    QSignalSpy errors(&client, &MqttClient::error);
    QSignalSpy connected(&client, &MqttClient::connected);
    LogCapture log;
    client.connect();
    QVERIFY(errors.wait(5000));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().first().toString(), QStringLiteral("Mqtt client error"));
    if (warning.contains(QLatin1String("%1")))
        warning = warning.arg(scripted.port());
    QCOMPARE(log.texts(QtWarningMsg), QStringList{QStringLiteral("[MqttClient] ") + warning});
    QCOMPARE(client.state(), MqttConnection::Disconnected);
    QCOMPARE(connected.count(), 0);
}

// Nothing is sent or queued while the session is down: not before the first connection, not
// while connecting, not between a loss and the reconnection.
void TestMqttClient::publishWhileDown()
{
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    MqttPeer peer;
    QVERIFY(peer.connectTo(*m_broker));
    QVERIFY(peer.subscribe(QStringLiteral("pub/#"), 2));
    auto client = makeClient(QStringLiteral("publisher"));
    QSignalSpy errors(client.get(), &MqttClient::error);
    LogCapture log;

    QVERIFY(!client->publish("before", QStringLiteral("pub/x"), 1));
    client->setHostname(QStringLiteral("localhost"));
    client->connect();
    QCOMPARE(client->state(), MqttConnection::Connecting);
    QVERIFY(!client->publish("connecting", QStringLiteral("pub/x"), 1));
    QSignalSpy connected(client.get(), &MqttClient::connected);
    QVERIFY(connected.wait(5000));

    QSignalSpy disconnected(client.get(), &MqttClient::disconnected);
    m_broker->stop();
    QVERIFY(disconnected.count() > 0 || disconnected.wait(5000));
    for (int qos = 0; qos <= 2; ++qos)
        QVERIFY(!client->publish("while down", QStringLiteral("pub/x"), uchar(qos)));
    for (QList<QVariant> const &error : qAsConst(errors))
        QCOMPARE(error.first().toString(), QStringLiteral("Mqtt client error")); // the loss, no refused publication
    QCOMPARE(log.count(QtDebugMsg, QStringLiteral("Publishing to topic")), 0);

    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    QVERIFY(connected.wait(5000));
    QVERIFY(m_broker->waitForLog(peer.clientId() + QStringLiteral(" 2 pub/#"), 2)); // the peer is back
    QVERIFY(client->publish("after", QStringLiteral("pub/x"), 1));
    QVERIFY(peer.waitForMessages(QStringLiteral("pub/x")));
    QCOMPARE(peer.messages().size(), 1);
    QCOMPARE(peer.messages().first().payload, QByteArray("after"));
}

// A broker that takes the connection but never answers: each attempt is cut after the retry
// interval and the next one follows.
void TestMqttClient::watchdogCutsSilentBroker()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QList<QTcpSocket *> accepted;
    QObject::connect(&silent, &QTcpServer::newConnection, &silent, [&] {
        while (QTcpSocket *socket = silent.nextPendingConnection())
            accepted.append(socket);
    });

    MqttClient client;
    client.setHostname(QStringLiteral("127.0.0.1"));
    client.setPort(silent.serverPort());
    client.setRetryMillis(300);
    QSignalSpy errors(&client, &MqttClient::error);
    QSignalSpy disconnected(&client, &MqttClient::disconnected);
    QElapsedTimer clock;
    clock.start();
    client.connect();
    QVERIFY(disconnected.wait(5000));
    QVERIFY(clock.elapsed() >= 250);
    QCOMPARE(errors.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(accepted.size() >= 2, 5000);
    QCOMPARE(client.state(), MqttConnection::Connecting);
}

// disconnect() closes cleanly; the session comes back by itself after the retry interval.
void TestMqttClient::disconnectIsFollowedByReconnection()
{
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    auto client = makeClient(QStringLiteral("comes-back"));
    QVERIFY(connectClient(*client));

    QSignalSpy disconnected(client.get(), &MqttClient::disconnected);
    QSignalSpy connected(client.get(), &MqttClient::connected);
    LogCapture log;
    client->disconnect();
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(!client->isConnected());
    QCOMPARE(log.texts(QtInfoMsg), (QStringList{QStringLiteral("[MqttClient] Disconnecting from host"),
                                                QStringLiteral("[MqttClient] Disconnected from broker 127.0.0.1")}));
    QVERIFY(m_broker->waitForLog(QStringLiteral("Received DISCONNECT from comes-back")));
    QVERIFY(connected.wait(5000));
    QVERIFY(client->isConnected());
    QVERIFY(log.contains(QtInfoMsg, QStringLiteral("[MqttClient] Connecting to host")));
}

// A session told to disconnect while the broker still owes it acknowledgements (subscriptions
// just sent, their retained messages on the way) must not close with that input unread: the
// kernel would answer with a reset, the broker could lose the end of the stream with DISCONNECT,
// and it would publish the will of a session that ended on purpose.
void TestMqttClient::disconnectWhileAcknowledgementsAreOwed()
{
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    const QString willTopic = QStringLiteral("owed/status");
    MqttPeer watcher;
    QVERIFY(watcher.connectTo(*m_broker));
    QVERIFY(watcher.subscribe(willTopic, 2));
    QVERIFY(watcher.subscribe(QStringLiteral("marker"), 2));
    const QByteArray retained(4096, 'r');
    for (int i = 0; i < 40; ++i)
        QVERIFY(watcher.publish(QStringLiteral("owed/%1").arg(i), retained, 1, true));

    for (int round = 0; round < 10; ++round) {
        auto client = makeClient(QStringLiteral("owed-%1").arg(round));
        client->setWillTopic(willTopic);
        client->setWillMessage(WillMessage);
        QVERIFY(connectClient(*client));
        for (int i = 0; i < 40; ++i)
            client->subscribe(QStringLiteral("owed/%1").arg(i));
        client->disconnect();
        QVERIFY2(m_broker->waitForLog(QStringLiteral("Received DISCONNECT from owed-%1").arg(round)),
                 qPrintable(QStringLiteral("round %1").arg(round)));
    }
    QVERIFY(watcher.publish(QStringLiteral("marker"), "after", 2));
    QVERIFY(watcher.waitForMessages(QStringLiteral("marker")));
    QCOMPARE(watcher.messages(willTopic).size(), 0);
}

// Encryption is not offered: the flag only warns, and the session connects in plain text.
void TestMqttClient::encryptedFlagOnlyWarns()
{
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    auto client = makeClient(QStringLiteral("plain"));
    client->setEncrypted(true);
    LogCapture log;
    QVERIFY(connectClient(*client));
    QCOMPARE(log.texts(QtWarningMsg), QStringList{QStringLiteral("[MqttClient] Encryption not yet supported")});
}

void TestMqttClient::connectTwiceDoesNotDoubleSignals()
{
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    auto client = makeClient(QStringLiteral("twice"));
    client->subscribe(QStringLiteral("t"));
    QSignalSpy connected(client.get(), &MqttClient::connected);
    client->connect();
    client->connect();
    QVERIFY(connected.wait(5000));
    QVERIFY(m_broker->waitForLog(QStringLiteral("twice 0 t")));
    client->connect(); // while connected: nothing changes

    QSignalSpy received(client.get(), &MqttClient::received);
    MqttPeer peer;
    QVERIFY(peer.connectTo(*m_broker));
    QVERIFY(peer.publish(QStringLiteral("t"), "one", 1));
    QVERIFY(peer.publish(QStringLiteral("t"), "two", 1));
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 2, 5000);
    QCOMPARE(received.at(0).at(0).toByteArray(), QByteArray("one"));
    QCOMPARE(received.at(1).at(0).toByteArray(), QByteArray("two"));
    QCOMPARE(connected.count(), 1);
}

// Setters store; the running connection keeps its settings until the next connect().
void TestMqttClient::settingsApplyAtNextConnect()
{
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    auto client = makeClient(QStringLiteral("first-id"));
    client->setWillTopic(QStringLiteral("vesk/ui/status"));
    client->setWillMessage(WillMessage);
    client->setPassword(QStringLiteral("hidden-word"));
    LogCapture log;
    QVERIFY(connectClient(*client));
    QVERIFY(log.contains(QtDebugMsg, QStringLiteral("[MqttClient] Will Message: {\"service\": false}")));
    QVERIFY(log.contains(QtDebugMsg, QStringLiteral("[MqttClient] Keepalive   : 5")));
    QVERIFY(log.contains(QtDebugMsg, QStringLiteral("[MqttClient] Will QoS    : 2")));
    for (QString const &line : log.texts())
        QVERIFY2(!line.contains(QStringLiteral("hidden-word")), qPrintable(line));

    client->setClientId(QStringLiteral("second-id"));
    client->setPort(1);
    QVERIFY(client->publish("still", QStringLiteral("s"))); // the running connection is unchanged
    QVERIFY(m_broker->log().contains(QStringLiteral("as first-id")));

    client->setPort(m_broker->port());
    client->disconnect();
    QVERIFY(connectClient(*client));
    QVERIFY(m_broker->waitForLog(QStringLiteral("as second-id")));
}

void TestMqttClient::refusedRequestsReportError_data()
{
    QTest::addColumn<bool>("publication");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QString>("error");

    QTest::newRow("subscription, wildcard inside") << false << "a/#/b" << "Subscription to a/#/b failed.";
    QTest::newRow("publication, wildcard topic") << true << "a/+/b" << "Publish to a/+/b failed.";
    QTest::newRow("publication, multi-level wildcard") << true << "a/#" << "Publish to a/# failed.";
}

// Requests the library refuses are reported; the session stays up.
void TestMqttClient::refusedRequestsReportError()
{
    QFETCH(bool, publication);
    QFETCH(QString, topic);
    QFETCH(QString, error);
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    auto client = makeClient(QStringLiteral("filters"));
    QVERIFY(connectClient(*client));
    QSignalSpy errors(client.get(), &MqttClient::error);
    if (publication)
        QVERIFY(!client->publish("x", topic));
    else
        client->subscribe(topic);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().first().toString(), error);
    QVERIFY(client->isConnected());
}

// A filter the broker refuses in its SUBACK is reported like one the library refuses; the
// others stand, and the session stays up.
void TestMqttClient::brokerRefusedSubscriptionIsReported()
{
    ScriptedMqttBroker scripted;
    scripted.refuseFilters(QStringLiteral("denied/"));
    QVERIFY(scripted.start());
    MqttClient client;
    client.setHostname(scripted.host());
    client.setPort(scripted.port());
    client.setClientId(QStringLiteral("scripted"));
    client.subscribe(QStringLiteral("denied/status"));
    client.subscribe(QStringLiteral("allowed/status"));
    QSignalSpy errors(&client, &MqttClient::error);
    QSignalSpy connected(&client, &MqttClient::connected);
    client.connect();
    QVERIFY(connected.wait(5000));
    QVERIFY(errors.count() > 0 || errors.wait(5000));
    QTRY_COMPARE(scripted.subscriptions(), (QStringList{"denied/status", "allowed/status"}));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().first().toString(), QStringLiteral("Subscription to denied/status failed."));
    QVERIFY(client.isConnected());
}

void TestMqttClient::refusesSettingsNoBrokerTakes_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("port"); // 0: the broker's
    QTest::addColumn<QString>("refusal");

    QTest::newRow("user name over 65535 bytes") << QString(70000, 'u') << "pw" << -1
                                                << "MQTT user name of 70000 bytes, more than the 65535 the protocol allows";
    QTest::newRow("user name of 65536 bytes in Greek") << QString(32768, QChar(0x3b1)) << "" << -1
                                                       << "MQTT user name of 65536 bytes, more than the 65535 the protocol allows";
    QTest::newRow("password over 65535 bytes") << "terminal" << QString(70000, 'p') << -1
                                               << "MQTT password of 70000 bytes, more than the 65535 the protocol allows";
    QTest::newRow("control character in the user name") << "terminal" << "pw" << -1
                                                        << "MQTT user name with a control character, which the protocol does not allow";
    QTest::newRow("noncharacter in the user name") << QStringLiteral("termin\ufffeal") << "pw" << -1
        << "MQTT user name with a noncharacter or a lone surrogate, which the protocol does not allow";
    QTest::newRow("lone surrogate in the user name") << QString("terminal") + QChar(0xdc00) << "pw" << -1
        << "MQTT user name with a noncharacter or a lone surrogate, which the protocol does not allow";
    QTest::newRow("zero in the password") << "terminal" << QString("pw") + QChar(0) + "x" << -1
                                          << "MQTT password with a zero character, which would cut it short";
    QTest::newRow("port 0") << "" << "" << 0 << "Invalid port : 0 (expected a number from 1 to 65535)";
    QTest::newRow("port beyond 65535") << "" << "" << 99999 << "Invalid port : 99999 (expected a number from 1 to 65535)";
}

// Settings no broker can take are refused before any attempt, with what is wrong, instead of an
// anonymous connection, another port, or a "Transport invalid" at every retry. The broker here
// lets anonymous clients in: an attempt would have succeeded.
void TestMqttClient::refusesSettingsNoBrokerTakes()
{
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(int, port);
    QFETCH(QString, refusal);
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));

    auto client = makeClient(QStringLiteral("refused-settings"));
    client->setUsername(username);
    client->setPassword(password);
    if (port >= 0)
        client->setPort(uint(port));
    QSignalSpy errors(client.get(), &MqttClient::error);
    LogCapture log;
    client->connect();

    QCOMPARE(client->state(), MqttConnection::Disconnected); // no attempt
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().first().toString(), refusal);
    QVERIFY(log.contains(QtCriticalMsg, "[MqttClient] ERROR: " + refusal + "; not connecting"));
    for (const QString &line : log.texts())
        QVERIFY2(line.size() < 2000, qPrintable(line.left(200)));

    // Once the settings are right, the same session gets in.
    client->setUsername(QString());
    client->setPassword(QString());
    client->setPort(m_broker->port());
    QVERIFY(connectClient(*client));
    QCOMPARE(m_broker->count(QStringLiteral("New client connected")), 1);

    // Credentials the client library refuses would make an attempt anonymous: the connection
    // below the session fails it instead.
    MqttConnection connection;
    connection.setHostname(m_broker->host());
    connection.setPort(m_broker->port());
    connection.setClientId(QStringLiteral("refused-credentials"));
    connection.setUsername(QStringLiteral("ter\x01minal"));
    connection.connectToHost();
    QCOMPARE(connection.state(), MqttConnection::Disconnected);
    QCOMPARE(connection.error(), MqttConnection::BadUsernameOrPassword);
}

QTEST_GUILESS_MAIN(TestMqttClient)
#include "tst_MqttClient.moc"
