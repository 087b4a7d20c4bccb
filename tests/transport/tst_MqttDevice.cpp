#include "fakes/LogCapture.h"
#include "fakes/MqttPeer.h"
#include "fakes/TestBroker.h"
#include "transport/MqttClient.h"
#include "transport/MqttDevice.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// The smallest client: records what reaches which route.
class ProbeDevice : public manager::MqttDevice
{
    Q_OBJECT

public:
    ProbeDevice(manager::MqttClient &mqtt, const QString &base, Parsing parsing)
        : MqttDevice(mqtt, base, QStringLiteral("[Probe] "))
    {
        setParsing(parsing);
        route(QStringLiteral("/a"), [this](const QJsonObject &doc) { hits << "a:" + QJsonDocument(doc).toJson(QJsonDocument::Compact); });
        route(QStringLiteral("/b/c"), [this](const QJsonObject &) { hits << "b/c"; });
        routeStatus(QStringLiteral("/status"), [this](const QJsonObject &) { hits << "online"; }, [this] { hits << "offline"; });
        subscribeTo(QStringLiteral("/#"));
    }

    using MqttDevice::call;
    using MqttDevice::setParsing;
    using MqttDevice::nextEmission;
    using MqttDevice::readFlag;
    using MqttDevice::readInt;
    using MqttDevice::readObject;
    using MqttDevice::readText;

    QStringList hits;

signals:
    void poked();
};

} // namespace

class TestMqttDevice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void dispatchOnTheExactTopic();
    void otherTopicsAreNotRead_data();
    void otherTopicsAreNotRead();
    void whatIsKnownOfTheService_data();
    void whatIsKnownOfTheService();
    void parsing_data();
    void parsing();
    void offlineRule_data();
    void offlineRule();
    void requestIdsPerClient();
    void nextEmission();
    void readers_data();
    void readers();

private:
    // Publishes on the peer and waits until the session has passed it on.
    void send(const QString &topic, const QByteArray &payload, bool retain = false);
    // Waits until the session's subscription for topic is in place, with
    // probes that match no route.
    void prime(const QString &topic);

    TestBroker m_broker;
    MqttPeer *m_peer = nullptr;
    manager::MqttClient *m_mqtt = nullptr;
    int m_serial = 0;
};

void TestMqttDevice::initTestCase()
{
    QVERIFY(m_broker.start());
}

void TestMqttDevice::init()
{
    m_peer = new MqttPeer(QStringLiteral("device-peer-%1").arg(++m_serial));
    QVERIFY(m_peer->connectTo(m_broker));
    m_mqtt = new manager::MqttClient;
    m_mqtt->setHostname(m_broker.host());
    m_mqtt->setPort(m_broker.port());
    m_mqtt->setClientId(QStringLiteral("device-%1").arg(m_serial));
    QSignalSpy up(m_mqtt, &manager::MqttClient::connected);
    m_mqtt->connect();
    QVERIFY(up.wait(5000));
}

void TestMqttDevice::cleanup()
{
    delete m_mqtt;
    delete m_peer;
}

void TestMqttDevice::send(const QString &topic, const QByteArray &payload, bool retain)
{
    QSignalSpy received(m_mqtt, &manager::MqttClient::received);
    QVERIFY(m_peer->publish(topic, payload, 1, retain));
    QTRY_VERIFY(std::any_of(received.begin(), received.end(),
                            [&](const QList<QVariant> &args) { return args.at(1).toByteArray() == topic.toUtf8(); }));
}

void TestMqttDevice::prime(const QString &topic)
{
    QSignalSpy received(m_mqtt, &manager::MqttClient::received);
    auto seen = [&] {
        return std::any_of(received.begin(), received.end(),
                           [&](const QList<QVariant> &args) { return args.at(1).toByteArray() == topic.toUtf8(); });
    };
    QTRY_VERIFY_WITH_TIMEOUT([&] { m_peer->publish(topic, "{}"); return QTest::qWaitFor(seen, 100); }(), 5000);
}

void TestMqttDevice::dispatchOnTheExactTopic()
{
    const QString base = QStringLiteral("d%1/dev").arg(m_serial);
    ProbeDevice device(*m_mqtt, base, {});
    m_mqtt->subscribe(base + "x/#");
    m_mqtt->subscribe("pre/" + base + "/#");
    // The subscriptions are on their way: repeat until the first arrives.
    prime(base + "/prime");
    prime(base + "x/prime");
    prime("pre/" + base + "/prime");

    send(base + "x/a", "{}");           // contains the base, not under it
    send("pre/" + base + "/a", "{}");   // contains base + "/a"
    send(base + "/a/more", "{}");       // longer than a route
    send(base + "/b", "{}");            // shorter than a route
    send(base + "/A", "{}");            // letter case counts
    send(base + "/b/c", "{\"x\": 1}");
    send(base + "/a", "{\"n\":1}");
    QCOMPARE(device.hits, QStringList({"b/c", "a:{\"n\":1}"}));
}

// Under the base but no route of the client (another client's topics, answers to requests): not
// parsed, so neither reported as unreadable nor counted against the client.
void TestMqttDevice::otherTopicsAreNotRead_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");
    const QList<QPair<const char *, QByteArray>> payloads{
        {"broken", QByteArray("{\"k\":")},
        {"empty", QByteArray()},
        {"megabytes", "[" + QByteArray(3 * 1024 * 1024, '1') + ","},
    };
    for (const char *suffix : {"/a/more", "/other/config", "x/a"})
        for (const auto &payload : payloads)
            QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(QLatin1String(suffix), QLatin1String(payload.first))))
                << QString(suffix) << payload.second;
}

void TestMqttDevice::otherTopicsAreNotRead()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, payload);

    const QString base = QStringLiteral("d%1/dev").arg(m_serial);
    ProbeDevice device(*m_mqtt, base, {false, true}); // strict: an empty payload is no document
    m_mqtt->subscribe(base + "x/#");
    prime(base + "/prime");
    prime(base + "x/prime");

    LogCapture log;
    send(base + suffix, payload);
    send(base + "/a", "{}");
    QCOMPARE(device.hits, QStringList{"a:{}"});
    QCOMPARE(log.texts(QtCriticalMsg), QStringList());
    QCOMPARE(log.texts(QtWarningMsg), QStringList());
}

// What the client knows of its service: its status says so; a document the service publishes
// live elsewhere shows that it runs (a retained one may be older than its going, an empty one
// clears what it kept and says nothing of whether it runs); a new session
// forgets it all, and a retained status comes back with it.
void TestMqttDevice::whatIsKnownOfTheService_data()
{
    QTest::addColumn<QStringList>("steps"); // "<topic suffix> <payload>", "retain <suffix> <payload>", "renew"
    QTest::addColumn<QString>("known");
    QTest::addColumn<int>("changes");

    const QString down = R"(/status {"service": false})";
    QTest::newRow("nothing heard") << QStringList{} << "unknown" << 0;
    QTest::newRow("running") << QStringList{R"(/status {"service": true})"} << "running" << 1;
    QTest::newRow("down") << QStringList{down} << "down" << 1;
    QTest::newRow("status cleared") << QStringList{"/status "} << "down" << 1;
    QTest::newRow("down, then a new session") << QStringList{down, "renew"} << "unknown" << 2;
    QTest::newRow("down and retained, then a new session") << QStringList{"retain " + down, "renew"} << "down" << 3;
    QTest::newRow("down, then a live document") << QStringList{down, "/a {}"} << "running" << 2;
    QTest::newRow("down, then a retained document at a new session")
        << QStringList{"retain /a {}", down, "renew"} << "unknown" << 3; // running, down, forgotten
    QTest::newRow("down, then another client's topic") << QStringList{down, "/other {}"} << "down" << 1;
    QTest::newRow("down, then a document that does not parse") << QStringList{down, "/a {"} << "down" << 1;
    // An empty payload is how a service clears what it keeps, even while it is gone.
    QTest::newRow("down, then an empty payload read as a document") << QStringList{down, "/a "} << "down" << 1;
    QTest::newRow("down, then a kept document cleared") << QStringList{down, "retain /a "} << "down" << 1;
    QTest::newRow("nothing heard, then an empty payload") << QStringList{"/a "} << "unknown" << 0;
}

void TestMqttDevice::whatIsKnownOfTheService()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, known);
    QFETCH(int, changes);

    const QString base = QStringLiteral("d%1/dev").arg(m_serial);
    ProbeDevice device(*m_mqtt, base, {});
    prime(base + "/prime");
    QSignalSpy changed(&device, &manager::MqttDevice::serviceChanged);
    for (const QString &step : steps) {
        if (step == QLatin1String("renew")) {
            QSignalSpy up(m_mqtt, &manager::MqttClient::connected);
            m_mqtt->disconnect();
            QTRY_VERIFY(!m_mqtt->isConnected());
            m_mqtt->connect();
            QVERIFY(up.wait(5000));
            prime(base + "/prime"); // the retained documents come before
            continue;
        }
        // Retained: heard now, and again at the next session.
        const bool retain = step.startsWith(QLatin1String("retain "));
        const QString message = retain ? step.mid(7) : step;
        send(base + message.section(' ', 0, 0), message.section(' ', 1).toUtf8(), retain);
    }
    const auto service = device.service();
    QCOMPARE(QString(service == manager::MqttDevice::Service::Running ? "running"
                     : service == manager::MqttDevice::Service::Down  ? "down"
                                                                      : "unknown"),
             known);
    QCOMPARE(changed.count(), changes);
}

void TestMqttDevice::parsing_data()
{
    QTest::addColumn<bool>("emptyIsObject");
    QTest::addColumn<bool>("stopAtZero");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("hit"); // empty: dropped with the parse error logged

    QTest::newRow("object") << true << true << QByteArray("{\"k\":\"v\"}") << "a:{\"k\":\"v\"}";
    QTest::newRow("array reads as empty") << true << true << QByteArray("[1,2]") << "a:{}";
    QTest::newRow("empty as object") << true << true << QByteArray() << "a:{}";
    QTest::newRow("empty is an error") << false << true << QByteArray() << "";
    QTest::newRow("cut at zero") << true << true << QByteArray("{\"k\":1}\0garbage", 15) << "a:{\"k\":1}";
    QTest::newRow("zero kept is an error") << true << false << QByteArray("{\"k\":1}\0garbage", 15) << "";
    QTest::newRow("zero first, empty") << true << true << QByteArray("\0{}", 3) << "a:{}";
    QTest::newRow("broken") << true << true << QByteArray("{\"k\":") << "";
    QTest::newRow("scalar") << true << true << QByteArray("42") << "";
    QTest::newRow("trailing text") << true << true << QByteArray("{} x") << "";
}

void TestMqttDevice::parsing()
{
    QFETCH(bool, emptyIsObject);
    QFETCH(bool, stopAtZero);
    QFETCH(QByteArray, payload);
    QFETCH(QString, hit);

    const QString base = QStringLiteral("d%1/dev").arg(m_serial);
    ProbeDevice device(*m_mqtt, base, {emptyIsObject, stopAtZero});
    prime(base + "/prime");

    LogCapture log;
    send(base + "/a", payload);
    QCOMPARE(device.hits, hit.isEmpty() ? QStringList() : QStringList{hit});
    const QStringList errors = log.texts(QtCriticalMsg).filter("[Probe] ");
    if (hit.isEmpty()) {
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].startsWith(QString("[Probe] ERROR: Failed to parse JSON message (topic=%1/a) : ").arg(base)), qPrintable(errors[0]));
    } else {
        QVERIFY(errors.isEmpty());
    }
}

void TestMqttDevice::offlineRule_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<bool>("emptyIsObject"); // the client's parsing elsewhere
    QTest::addColumn<QString>("hit");        // empty: dropped with the parse error logged
    QTest::newRow("true") << QByteArray(R"({"service": true})") << true << "online";
    QTest::newRow("false") << QByteArray(R"({"service": false})") << true << "offline";
    QTest::newRow("missing") << QByteArray(R"({"device": {}})") << true << "offline";
    QTest::newRow("text") << QByteArray(R"({"service": "true"})") << true << "offline";
    QTest::newRow("number") << QByteArray(R"({"service": 1})") << true << "offline";
    QTest::newRow("empty payload") << QByteArray() << true << "offline";
    // An empty (retained) message is how a service's status is cleared, also where empty is no document.
    QTest::newRow("empty payload, strict client") << QByteArray() << false << "offline";
    QTest::newRow("zero byte, strict client") << QByteArray("\0", 1) << false << "";
}

void TestMqttDevice::offlineRule()
{
    QFETCH(QByteArray, status);
    QFETCH(bool, emptyIsObject);
    QFETCH(QString, hit);
    const QString base = QStringLiteral("d%1/dev").arg(m_serial);
    ProbeDevice device(*m_mqtt, base, {emptyIsObject, true});
    prime(base + "/prime");
    LogCapture log;
    send(base + "/status", status);
    QCOMPARE(device.hits, hit.isEmpty() ? QStringList() : QStringList{hit});
    QCOMPARE(log.texts(QtCriticalMsg).filter("[Probe] ").size(), hit.isEmpty() ? 1 : 0);
    QCOMPARE(manager::MqttDevice::serviceOnline(QJsonDocument::fromJson(status).object()), hit == "online");
}

void TestMqttDevice::requestIdsPerClient()
{
    const QString base = QStringLiteral("d%1/dev").arg(m_serial);
    ProbeDevice first(*m_mqtt, base, {});
    ProbeDevice second(*m_mqtt, base + "2", {});
    QVERIFY(m_peer->serve(base, [](const MqttPeer::Request &) -> std::optional<QByteArray> { return QByteArray("{\"ok\":true}"); }));

    QJsonValue reply;
    first.call("/x", QJsonObject{{"q", 1}}, 3000).done([&](QJsonValue v) { reply = v; });
    QTRY_COMPARE(reply.toObject().value("ok").toBool(), true);
    first.call("/y/z", {}, 3000);
    QTRY_COMPARE(m_peer->requests().size(), 2);
    QCOMPARE(m_peer->requests()[0].topic, base + "/x");
    QCOMPARE(m_peer->requests()[0].id, QString("1"));
    QCOMPARE(m_peer->requests()[0].json(), (QJsonObject{{"q", 1}}));
    QCOMPARE(m_peer->requests()[1].topic, base + "/y/z");
    QCOMPARE(m_peer->requests()[1].id, QString("2"));
    QCOMPARE(second.nextRpcId(), QString("1"));
    QCOMPARE(first.nextRpcId(), QString("3"));
}

void TestMqttDevice::nextEmission()
{
    ProbeDevice device(*m_mqtt, QStringLiteral("d%1/dev").arg(m_serial), {});

    QString outcome;
    device.nextEmission(&ProbeDevice::poked, 0).done([&](QString) { outcome = "resolved"; });
    emit device.poked();
    QCOMPARE(outcome, QString("resolved"));
    emit device.poked(); // once only

    QElapsedTimer clock;
    clock.start();
    device.nextEmission(&ProbeDevice::poked, 150).fail([&](QString e) { outcome = e; });
    QTRY_COMPARE(outcome, QString("Timeout"));
    QVERIFY(clock.elapsed() >= 130);
    emit device.poked(); // after the time-out: nothing

    m_mqtt->disconnect();
    QTRY_VERIFY(!m_mqtt->isConnected());
    device.nextEmission(&ProbeDevice::poked, 0).fail([&](QString e) { outcome = e; });
    QCOMPARE(outcome, QString("Not connected"));
}

void TestMqttDevice::readers_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("integer");
    QTest::addColumn<bool>("flag");
    QTest::addColumn<QString>("warned"); // the readers that warn: t, i, f, o

    QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << "" << 0 << false << "";
    QTest::newRow("null") << QJsonValue(QJsonValue::Null) << "" << 0 << false << "";
    QTest::newRow("text") << QJsonValue("12") << "12" << 0 << false << "ifo";
    QTest::newRow("whole number") << QJsonValue(12) << "" << 12 << false << "tfo";
    QTest::newRow("zero") << QJsonValue(0) << "" << 0 << false << "tfo";
    QTest::newRow("fraction") << QJsonValue(1.5) << "" << 0 << false << "tifo";
    QTest::newRow("beyond int") << QJsonValue(3e9) << "" << 0 << false << "tifo";
    QTest::newRow("true") << QJsonValue(true) << "" << 0 << true << "tio";
    QTest::newRow("false") << QJsonValue(false) << "" << 0 << false << "tio";
    QTest::newRow("object") << QJsonValue(QJsonObject{{"k", 1}}) << "" << 0 << false << "tif";
    QTest::newRow("array") << QJsonValue(QJsonArray{true}) << "" << 0 << false << "tifo";
}

void TestMqttDevice::readers()
{
    QFETCH(QJsonValue, value);
    QFETCH(QString, text);
    QFETCH(int, integer);
    QFETCH(bool, flag);
    QFETCH(QString, warned);

    ProbeDevice device(*m_mqtt, QStringLiteral("d%1/dev").arg(m_serial), {});
    QJsonObject doc;
    if (!value.isUndefined())
        doc.insert("k", value);
    LogCapture log;
    QString actual;
    auto check = [&](QChar reader, auto read) {
        const int before = log.texts(QtWarningMsg).size();
        read();
        if (log.texts(QtWarningMsg).size() > before)
            actual += reader;
    };
    check('t', [&] { QCOMPARE(device.readText(doc, "k", "x.k"), text); });
    check('i', [&] { QCOMPARE(device.readInt(doc, "k", "x.k"), integer); });
    check('f', [&] { QCOMPARE(device.readFlag(doc, "k", "x.k"), flag); });
    check('o', [&] { QCOMPARE(device.readObject(doc, "k", "x.k"), value.isObject() ? value.toObject() : QJsonObject()); });
    QCOMPARE(actual, warned);
    for (const QString &line : log.texts(QtWarningMsg))
        QVERIFY2(line.startsWith("[Probe] WARN: Unexpected value of x.k "), qPrintable(line));
}

QTEST_GUILESS_MAIN(TestMqttDevice)
#include "tst_MqttDevice.moc"
