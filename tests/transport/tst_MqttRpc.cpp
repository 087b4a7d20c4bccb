#include "transport/MqttClient.h"

#include "fakes/CoarseTimer.h"
#include "fakes/DeferredProbe.h"
#include "fakes/LogCapture.h"
#include "fakes/MqttPeer.h"
#include "fakes/ScriptedMqttBroker.h"
#include "fakes/TestBroker.h"

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using manager::MqttClient;

namespace {

QJsonObject object(QByteArray const &json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

class TestMqttRpc : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void replies_data();
    void replies();
    void requestFraming_data();
    void requestFraming();
    void notConnected();
    void subscriptionFailed();
    void subscriptionRefusedByBroker();
    void timeoutZeroNeverExpires();
    void defaultTimeout();
    void lateReplyIsIgnored();
    void onlyFirstMessageSettles();
    void concurrentCallsGetTheirOwnReplies();
    void waitOnRecordedFilterKeepsRecordedSubscription();
    void pendingWaitSurvivesReconnection();

private:
    bool connectClient();

    std::unique_ptr<TestBroker> m_broker;
    std::unique_ptr<MqttPeer> m_peer;
    std::unique_ptr<MqttClient> m_client;
};

void TestMqttRpc::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
}

void TestMqttRpc::init()
{
    m_broker.reset(new TestBroker);
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    m_peer.reset(new MqttPeer);
    QVERIFY(m_peer->connectTo(*m_broker));
    m_client.reset(new MqttClient);
    m_client->setHostname(m_broker->host());
    m_client->setPort(m_broker->port());
    m_client->setClientId(QStringLiteral("rpc-client"));
    m_client->setRetryMillis(200);
}

void TestMqttRpc::cleanup()
{
    m_client.reset();
    m_peer.reset();
    m_broker.reset();
}

bool TestMqttRpc::connectClient()
{
    QSignalSpy connected(m_client.get(), &MqttClient::connected);
    m_client->connect();
    return connected.wait(5000);
}

void TestMqttRpc::replies_data()
{
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<QJsonValue>("expected");

    const QJsonValue invalid(QStringLiteral("Invalid response"));
    const QByteArray big = R"({"blob": ")" + QByteArray(1 << 20, 'z') + R"("})";

    QTest::newRow("object") << true << QByteArray(R"({"completed": true, "data": {"uid": "04AB"}})") << true
                            << QJsonValue(object(R"({"completed": true, "data": {"uid": "04AB"}})"));
    QTest::newRow("empty payload") << true << QByteArray() << true << QJsonValue(QJsonObject());
    QTest::newRow("zero byte first") << true << QByteArray("\0{\"a\": 1}", 9) << true << QJsonValue(QJsonObject());
    QTest::newRow("object, zero byte, rest") << true << QByteArray("{\"a\": 1}\0[garbage", 17) << true
                                             << QJsonValue(object(R"({"a": 1})"));
    QTest::newRow("array") << true << QByteArray("[1,2]") << false << invalid;
    QTest::newRow("not json") << true << QByteArray("completed") << false << invalid;
    QTest::newRow("truncated json") << true << QByteArray(R"({"completed": tr)") << false << invalid;
    QTest::newRow("json string") << true << QByteArray(R"("ok")") << false << invalid;
    QTest::newRow("binary") << true << QByteArray("\xff\xfe\x01\x80", 4) << false << invalid;
    QTest::newRow("1 MiB object") << true << big << true << QJsonValue(object(big));
    QTest::newRow("no reply") << false << QByteArray() << false << QJsonValue(QStringLiteral("Timeout"));
}

// The reply's payload decides the outcome; every failure is logged, none crashes.
void TestMqttRpc::replies()
{
    QFETCH(bool, answered);
    QFETCH(QByteArray, reply);
    QFETCH(bool, resolved);
    QFETCH(QJsonValue, expected);

    QVERIFY(m_peer->serve(QStringLiteral("vesk/rfid"), [&](MqttPeer::Request const &) -> std::optional<QByteArray> {
        if (!answered)
            return std::nullopt;
        return reply;
    }));
    QVERIFY(connectClient());
    QSignalSpy received(m_client.get(), &MqttClient::received);
    LogCapture log;

    const auto outcome = DeferredProbe(m_client->executeRpc(QStringLiteral("vesk/rfid/card/read"), QStringLiteral("7"),
                                                    object(R"({"template": "auto"})"), 300));
    QVERIFY(!outcome.settled());
    QTRY_VERIFY_WITH_TIMEOUT(outcome.settled(), 5000);
    QCOMPARE(outcome.resolved(), resolved);
    QCOMPARE(outcome.value(), expected);

    if (resolved) {
        QVERIFY(log.contains(QtDebugMsg, QStringLiteral("[MqttClient] [RPC] Received : vesk/rfid/card/read/response/7")));
        QVERIFY(log.contains(QtDebugMsg, QStringLiteral("[MqttClient] [RPC] Data     : QJsonValue(object")));
    } else {
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[MqttClient] [RPC] ERROR : ") + expected.toString()), 1);
    }
    if (answered) {
        // The reply also reaches every listener of the session.
        QCOMPARE(received.count(), 1);
        QCOMPARE(received.first().at(0).toByteArray(), reply);
        QCOMPARE(received.first().at(1).toByteArray(), QByteArray("vesk/rfid/card/read/response/7"));
    }
    // The wait's own subscription goes once it has settled.
    QVERIFY(m_broker->waitForLog(QStringLiteral("Received UNSUBSCRIBE from rpc-client")));
}

void TestMqttRpc::requestFraming_data()
{
    QTest::addColumn<QJsonObject>("request");
    QTest::addColumn<QByteArray>("payload");

    QTest::newRow("empty object") << QJsonObject() << QByteArray("{}");
    QTest::newRow("nested") << object(R"({"uid": "04AB", "data": {"log": [1, 2]}, "type": 2})")
                            << QByteArray(R"({"data":{"log":[1,2]},"type":2,"uid":"04AB"})");
}

// Compact JSON with QoS 1, not retained, on <topic>/request/<id>; the id only in the topic.
void TestMqttRpc::requestFraming()
{
    QFETCH(QJsonObject, request);
    QFETCH(QByteArray, payload);
    QVERIFY(m_peer->subscribe(QStringLiteral("vesk/dispenser/#"), 2));
    QVERIFY(connectClient());
    LogCapture log;

    m_client->executeRpc(QStringLiteral("vesk/dispenser/eject"), QStringLiteral("12"), request, 200);
    QVERIFY(m_peer->waitForMessages(QStringLiteral("vesk/dispenser/eject/request/12")));
    const MqttPeer::Message message = m_peer->messages().first();
    QCOMPARE(message.payload, payload);
    QCOMPARE(message.qos, 1);
    QVERIFY(!message.retained);
    QVERIFY(log.contains(QtDebugMsg, QStringLiteral("[MqttClient] [RPC] Sending : vesk/dispenser/eject/request/12")));
    QVERIFY(log.contains(QtDebugMsg, QStringLiteral("[MqttClient] [RPC] Data    : ") + QString::fromUtf8(payload)));
}

// Down: rejected at once, and the request is not kept for the next connection.
void TestMqttRpc::notConnected()
{
    QVERIFY(m_peer->subscribe(QStringLiteral("vesk/#"), 2));
    LogCapture log;
    const auto rpc = DeferredProbe(m_client->executeRpc(QStringLiteral("vesk/rfid/card/write"), QStringLiteral("1"), {}));
    QVERIFY(rpc.settled());
    QVERIFY(!rpc.resolved());
    QCOMPARE(rpc.value(), QJsonValue(QStringLiteral("Not connected")));
    QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[MqttClient] [RPC] ERROR : Not connected")), 1);

    const auto wait = DeferredProbe(m_client->waitTopic(QStringLiteral("vesk/rfid/card/found")));
    QVERIFY(wait.settled());
    QCOMPARE(wait.value(), QJsonValue(QStringLiteral("Not connected")));
    QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[RPC]")), 1); // topic waits log nothing

    QVERIFY(connectClient());
    QVERIFY(m_client->publish("marker", QStringLiteral("vesk/marker"), 1));
    QVERIFY(m_peer->waitForMessages(QStringLiteral("vesk/marker")));
    QCOMPARE(m_peer->messages().size(), 1);
}

void TestMqttRpc::subscriptionFailed()
{
    QVERIFY(m_peer->subscribe(QStringLiteral("#"), 2));
    QVERIFY(connectClient());
    const auto wait = DeferredProbe(m_client->waitTopic(QStringLiteral("vesk/#/found")));
    QVERIFY(wait.settled());
    QCOMPARE(wait.value(), QJsonValue(QStringLiteral("Subscription failed")));

    LogCapture log;
    const auto rpc = DeferredProbe(m_client->executeRpc(QStringLiteral("vesk/rfid"), QStringLiteral("1#"), {}));
    QVERIFY(rpc.settled());
    QCOMPARE(rpc.value(), QJsonValue(QStringLiteral("Subscription failed")));
    QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[MqttClient] [RPC] ERROR : Subscription failed")), 1);
    QVERIFY(m_client->isConnected());
}

// The broker refusing the reply's subscription ends the call at once instead of at its time-out.
void TestMqttRpc::subscriptionRefusedByBroker()
{
    ScriptedMqttBroker scripted;
    scripted.refuseFilters(QStringLiteral("vesk/rfid/"));
    QVERIFY(scripted.start());
    MqttClient client;
    client.setHostname(scripted.host());
    client.setPort(scripted.port());
    client.setClientId(QStringLiteral("rpc-client"));
    QSignalSpy connected(&client, &MqttClient::connected);
    client.connect();
    QVERIFY(connected.wait(5000));

    LogCapture log;
    const auto wait = DeferredProbe(client.waitTopic(QStringLiteral("vesk/rfid/card/found"), 0));
    const auto rpc = DeferredProbe(client.executeRpc(QStringLiteral("vesk/rfid/card/read"), QStringLiteral("4"), {}, 0));
    QVERIFY(!wait.settled() && !rpc.settled());
    QTRY_VERIFY_WITH_TIMEOUT(wait.settled() && rpc.settled(), 5000);
    QCOMPARE(wait.value(), QJsonValue(QStringLiteral("Subscription failed")));
    QCOMPARE(rpc.value(), QJsonValue(QStringLiteral("Subscription failed")));
    QVERIFY(!rpc.resolved());
    QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[MqttClient] [RPC] ERROR : Subscription failed")), 1);
    QVERIFY(client.isConnected());
}

// 0 arms no timer: the wait outlasts a shorter one and still takes its message.
void TestMqttRpc::timeoutZeroNeverExpires()
{
    QVERIFY(connectClient());
    const auto untimed = DeferredProbe(m_client->waitTopic(QStringLiteral("vesk/dispenser/card/removed"), 0));
    const auto brief = DeferredProbe(m_client->waitTopic(QStringLiteral("vesk/rfid/card/found"), 100));
    QTRY_VERIFY_WITH_TIMEOUT(brief.settled(), 5000);
    QCOMPARE(brief.value(), QJsonValue(QStringLiteral("Timeout")));
    QVERIFY(!untimed.settled());

    QVERIFY(m_peer->publish(QStringLiteral("vesk/dispenser/card/removed"), R"({"removed": true})", 1));
    QTRY_VERIFY_WITH_TIMEOUT(untimed.settled(), 5000);
    QVERIFY(untimed.resolved());
    QCOMPARE(untimed.value(), QJsonValue(object(R"({"removed": true})")));
}

// Without a time-out of its own a call gives up after 3000 ms.
void TestMqttRpc::defaultTimeout()
{
    QVERIFY(connectClient());
    QElapsedTimer clock;
    clock.start();
    const auto rpc = DeferredProbe(m_client->executeRpc(QStringLiteral("vesk/rfid/card/read"), QStringLiteral("9"), {}));
    QTRY_VERIFY_WITH_TIMEOUT(rpc.settled(), 10000);
    QVERIFY2(clock.elapsed() >= coarseTimerEarliest(3000), qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(rpc.value(), QJsonValue(QStringLiteral("Timeout")));
}

void TestMqttRpc::lateReplyIsIgnored()
{
    QVERIFY(m_peer->serve(QStringLiteral("vesk/rfid"), [](MqttPeer::Request const &) { return std::nullopt; }));
    m_client->subscribe(QStringLiteral("vesk/rfid/#"));
    QVERIFY(connectClient());
    QVERIFY(m_broker->waitForLog(QStringLiteral("rpc-client 0 vesk/rfid/#")));
    QSignalSpy received(m_client.get(), &MqttClient::received);
    LogCapture log;

    const auto rpc = DeferredProbe(m_client->executeRpc(QStringLiteral("vesk/rfid/enable"), QStringLiteral("3"), {}, 100));
    QVERIFY(m_peer->waitForRequests());
    QTRY_VERIFY_WITH_TIMEOUT(rpc.settled(), 5000);
    QCOMPARE(rpc.value(), QJsonValue(QStringLiteral("Timeout")));

    received.clear();
    QVERIFY(m_peer->reply(m_peer->requests().first(), R"({"completed": true})"));
    QTRY_VERIFY_WITH_TIMEOUT(received.count() >= 1, 5000);
    QCOMPARE(received.first().at(1).toByteArray(), QByteArray("vesk/rfid/enable/response/3"));
    QCOMPARE(rpc.settlements(), 1);
    QCOMPARE(rpc.value(), QJsonValue(QStringLiteral("Timeout")));
    QCOMPARE(log.texts(QtWarningMsg), QStringList());
}

void TestMqttRpc::onlyFirstMessageSettles()
{
    QVERIFY(connectClient());
    LogCapture log;
    const auto wait = DeferredProbe(m_client->waitTopic(QStringLiteral("vesk/rfid/card/found"), 0));
    QVERIFY(m_broker->waitForLog(QStringLiteral("rpc-client 1 vesk/rfid/card/found")));
    QSignalSpy received(m_client.get(), &MqttClient::received);
    QVERIFY(m_peer->publish(QStringLiteral("vesk/rfid/card/found"), R"({"n": 1})"));
    QVERIFY(m_peer->publish(QStringLiteral("vesk/rfid/card/found"), R"({"n": 2})"));
    QTRY_VERIFY_WITH_TIMEOUT(wait.settled(), 5000);
    QCOMPARE(wait.value(), QJsonValue(object(R"({"n": 1})")));
    QVERIFY(m_client->publish("marker", QStringLiteral("vesk/marker")));
    QVERIFY(m_broker->waitForLog(QStringLiteral("Received UNSUBSCRIBE from rpc-client")));
    QCOMPARE(wait.settlements(), 1);
    QCOMPARE(log.texts(QtWarningMsg), QStringList());
}

void TestMqttRpc::concurrentCallsGetTheirOwnReplies()
{
    QVERIFY(m_peer->serve(QStringLiteral("vesk/rfid"), [](MqttPeer::Request const &) { return std::nullopt; }));
    QVERIFY(connectClient());
    QList<DeferredProbe<QJsonValue>> outcomes;
    for (int id = 1; id <= 3; ++id)
        outcomes << DeferredProbe(m_client->executeRpc(QStringLiteral("vesk/rfid/card/read"), QString::number(id), {}, 5000));
    QVERIFY(m_peer->waitForRequests(3));
    const QList<MqttPeer::Request> requests = m_peer->requests();
    for (int i = requests.size() - 1; i >= 0; --i)
        QVERIFY(m_peer->reply(requests.at(i), QJsonDocument(QJsonObject{{"id", requests.at(i).id}}).toJson()));
    for (int id = 1; id <= 3; ++id) {
        QTRY_VERIFY_WITH_TIMEOUT(outcomes.at(id - 1).settled(), 5000);
        QCOMPARE(outcomes.at(id - 1).value(), QJsonValue(QJsonObject{{"id", QString::number(id)}}));
    }
}

// A wait on a filter the session has recorded must not take the recorded subscription with it.
void TestMqttRpc::waitOnRecordedFilterKeepsRecordedSubscription()
{
    m_client->subscribe(QStringLiteral("vesk/dispenser/status"));
    QVERIFY(connectClient());
    QVERIFY(m_broker->waitForLog(QStringLiteral("rpc-client 0 vesk/dispenser/status")));
    const auto wait = DeferredProbe(m_client->waitTopic(QStringLiteral("vesk/dispenser/status")));
    QVERIFY(m_peer->publish(QStringLiteral("vesk/dispenser/status"), R"({"service": true})", 1));
    QTRY_VERIFY_WITH_TIMEOUT(wait.settled(), 5000);
    QVERIFY(wait.resolved());

    QSignalSpy received(m_client.get(), &MqttClient::received);
    QVERIFY(m_peer->publish(QStringLiteral("vesk/dispenser/status"), R"({"service": false})", 1));
    QVERIFY(received.wait(5000));
    QCOMPARE(received.first().at(0).toByteArray(), QByteArray(R"({"service": false})"));
    QCOMPARE(m_broker->count(QStringLiteral("Received UNSUBSCRIBE from rpc-client")), 0);
}

// A pending wait subscribes again after a reconnection instead of waiting for nothing.
void TestMqttRpc::pendingWaitSurvivesReconnection()
{
    QVERIFY(connectClient());
    const auto wait = DeferredProbe(m_client->waitTopic(QStringLiteral("vesk/dispenser/card/removed"), 0));
    QVERIFY(m_broker->waitForLog(QStringLiteral("rpc-client 1 vesk/dispenser/card/removed")));
    QSignalSpy connected(m_client.get(), &MqttClient::connected);
    QSignalSpy disconnected(m_client.get(), &MqttClient::disconnected);
    m_broker->stop();
    QVERIFY(disconnected.count() > 0 || disconnected.wait(5000));
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    QVERIFY(connected.wait(5000));
    QVERIFY(m_broker->waitForLog(QStringLiteral("rpc-client 1 vesk/dispenser/card/removed"), 2));
    QVERIFY(!wait.settled());

    QVERIFY(m_peer->waitConnected());
    QVERIFY(m_peer->publish(QStringLiteral("vesk/dispenser/card/removed"), "", 1));
    QTRY_VERIFY_WITH_TIMEOUT(wait.settled(), 5000);
    QVERIFY(wait.resolved());
    QCOMPARE(wait.value(), QJsonValue(QJsonObject()));
}

QTEST_GUILESS_MAIN(TestMqttRpc)
#include "tst_MqttRpc.moc"
