#include "DeviceRig.h"

#include "devices/Network.h"
#include "fakes/FakeNetworkService.h"
#include "fakes/LogCapture.h"
#include "fakes/SignalRecorder.h"

#include <QJsonDocument>

#include <memory>

using manager::Connection;
using manager::Ethernet;
using manager::Network;

namespace {

const QVariantMap Lease{{"address", "192.168.10.23"}, {"netmask", "255.255.255.0"}, {"gateway", "192.168.10.1"},
                        {"dns0", "192.168.10.1"}, {"dns1", "8.8.8.8"}};

QString fields(const IPv4 *ip)
{
    return QStringList{ip->address(), ip->mask(), ip->gateway(), ip->dns0(), ip->dns1()}.join('|');
}

// The network client with its fake service, started and in step.
struct NetworkRig
{
    explicit NetworkRig(const TestBroker &broker)
        : rig(broker)
        , base(rig.base("network"))
        , fake(base)
        , network(rig.mqtt, base)
    {
    }

    bool start(const TestBroker &broker)
    {
        return fake.start(broker) && rig.connectClient()
               && waitUntil([this] {
                      return network.hostname() == QLatin1String("terminal-01") && ethernet()->state() == QLatin1String("Connected")
                             && ethernet()->method() == QLatin1String("auto");
                  });
    }

    Ethernet *ethernet() { return network.ethernet(); }

    // Publishes raw bytes on base + suffix and returns once the clients have handled them.
    bool deliver(const QString &suffix, const QByteArray &payload)
    {
        const int before = rig.seen(base + suffix);
        return fake.publishRaw(suffix, payload) && rig.waitSeen(base + suffix, before + 1);
    }

    QString networkFields()
    {
        const Connection *primary = network.primaryConnection();
        return QStringList{network.connectionState(), network.connectivity(), network.hostname(), primary->interface(),
                           primary->state(), primary->type(), fields(primary->ipv4())}
            .join('|');
    }

    QString ethernetFields()
    {
        const Ethernet *e = ethernet();
        return QStringList{e->interface(), e->type(), e->state(), e->reason(), e->mac(), fields(e->ipv4())}.join('|');
    }

    DeviceRig rig;
    QString base;
    FakeNetworkService fake;
    Network network;
};

QStringList warnedValues(const LogCapture &log, const QString &tag)
{
    const QString prefix = tag + "WARN: Unexpected value of ";
    QStringList names;
    for (const QString &line : log.texts(QtWarningMsg).filter(prefix))
        names << line.mid(prefix.size()).section(" (topic=", 0, 0);
    return names;
}

} // namespace

class TestNetwork : public DeviceTestCase
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void mirrorsTheService();
    void statusDocuments_data();
    void statusDocuments();
    void offlineKeepsTheValues();
    void badPayloadsChangeNothing_data();
    void badPayloadsChangeNothing();
    void monitor();
    void connectionFromAMap();

    void ethernetAsksOnConnecting();
    void requestsFollowTheSubscriptions();
    void ethernetStateDocuments_data();
    void ethernetStateDocuments();
    void ethernetConfigDocuments_data();
    void ethernetConfigDocuments();
    void methodIsLocalUntilSaved();
    void saveSendsTheConfiguration_data();
    void saveSendsTheConfiguration();
    void saveManualIsApplied();
    void saveBeforeAnyState();
    void saveWhileDisconnected();
    void saveAfterAStaleDown_data();
    void saveAfterAStaleDown();
    void saveAfterTheServiceClearedItsConfiguration();
    void askedAgainAfterABrokerRestart();

private:
    std::unique_ptr<NetworkRig> m_rig;
};

void TestNetwork::init()
{
    m_rig.reset(new NetworkRig(m_broker));
    QVERIFY(m_rig->start(m_broker));
}

void TestNetwork::cleanup()
{
    m_rig.reset();
}

void TestNetwork::mirrorsTheService()
{
    Network &network = m_rig->network;
    QCOMPARE(m_rig->networkFields(),
             QString("Connected|Full|terminal-01|eth0|Activated|ethernet|192.168.10.23|255.255.255.0|192.168.10.1|192.168.10.1|8.8.8.8"));
    QCOMPARE(network.serviceVersion(), QString("2.3.1"));
    QVERIFY(!network.isConnected());
    QCOMPARE(network.ethernet()->parent(), &network);

    // What the pages and the heartbeat read.
    auto *primary = network.property("primaryConnection").value<Connection *>();
    QCOMPARE(primary, network.primaryConnection());
    QCOMPARE(primary->property("ipv4").value<IPv4 *>(), primary->ipv4());
    QCOMPARE(network.property("ethernet").value<Ethernet *>(), network.ethernet());
    QCOMPARE(network.ethernet()->ipv4()->gateway(), QString("192.168.10.1"));

    QStringList filters;
    for (const auto &subscription : m_rig->rig.mqtt.subscriptions())
        filters << subscription.first.filter();
    const QString base = m_rig->base;
    QCOMPARE(filters, QStringList({base + "/ethernet/state", base + "/ethernet/config", base + "/info", base + "/status"}));
}

void TestNetwork::statusDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QString>("networkSignals");
    QTest::addColumn<QString>("connectionSignals");
    QTest::addColumn<QStringList>("warnings");

    const QString ip = "192.168.10.23|255.255.255.0|192.168.10.1|192.168.10.1|8.8.8.8";
    const QByteArray same = R"({"service": true, "stateStr": "Connected", "connectivityStr": "Full", "hostname": "terminal-01",
        "primaryConnection": {"interface": "eth0", "stateStr": "Activated", "typeStr": "ethernet",
            "ipv4": {"address": "192.168.10.23", "netmask": "255.255.255.0", "gateway": "192.168.10.1", "dns0": "192.168.10.1", "dns1": "8.8.8.8"}}})";
    QTest::newRow("the same again") << same << "Connected|Full|terminal-01|eth0|Activated|ethernet|" + ip << "" << ""
                                    << QStringList{};
    QByteArray extra = same;
    extra.replace(R"("dns1": "8.8.8.8"})", R"("dns1": "8.8.8.8", "method": "auto", "prefix": 24})");
    QTest::newRow("other keys in ipv4") << extra << "Connected|Full|terminal-01|eth0|Activated|ethernet|" + ip << "" << ""
                                        << QStringList{};
    QTest::newRow("running, nothing else") << QByteArray(R"({"service": true})") << "||||||||||"
                                           << "connectionStateChanged connectivityChanged hostnameChanged primaryConnectionChanged"
                                           << "interfaceChanged stateChanged typeChanged ipv4Changed" << QStringList{};
    QTest::newRow("limited connectivity") << QByteArray(same).replace(R"("Full")", R"("Limited")")
                                          << "Connected|Limited|terminal-01|eth0|Activated|ethernet|" + ip
                                          << "connectivityChanged" << "" << QStringList{};
    QTest::newRow("new gateway") << QByteArray(same).replace(R"("gateway": "192.168.10.1")", R"("gateway": "192.168.10.254")")
                                 << "Connected|Full|terminal-01|eth0|Activated|ethernet|192.168.10.23|255.255.255.0|192.168.10.254|192.168.10.1|8.8.8.8"
                                 << "primaryConnectionChanged" << "ipv4Changed" << QStringList{};
    QTest::newRow("wrong types")
        << QByteArray(R"({"service": true, "stateStr": 4, "connectivityStr": "Full", "hostname": ["x"],
               "primaryConnection": {"interface": "eth0", "stateStr": "Activated", "typeStr": "ethernet", "ipv4": {"address": 10}}})")
        << "|Full||eth0|Activated|ethernet|||||"
        << "connectionStateChanged hostnameChanged primaryConnectionChanged" << "ipv4Changed"
        << QStringList{"stateStr", "hostname", "primaryConnection.ipv4.address"};
    QTest::newRow("connection not an object") << QByteArray(R"({"service": true, "stateStr": "Connected", "connectivityStr": "Full",
                                                  "hostname": "terminal-01", "primaryConnection": "eth0"})")
                                              << "Connected|Full|terminal-01||||||||"
                                              << "primaryConnectionChanged" << "interfaceChanged stateChanged typeChanged ipv4Changed"
                                              << QStringList{"primaryConnection"};
}

void TestNetwork::statusDocuments()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, fields);
    QFETCH(QString, networkSignals);
    QFETCH(QString, connectionSignals);
    QFETCH(QStringList, warnings);

    SignalRecorder networkSeen(&m_rig->network);
    SignalRecorder connectionSeen(m_rig->network.primaryConnection());
    LogCapture log;
    QVERIFY(m_rig->deliver("/status", document));
    QCOMPARE(m_rig->networkFields(), fields);
    QCOMPARE(networkSeen.take(), networkSignals);
    QCOMPARE(connectionSeen.take(), connectionSignals);
    QCOMPARE(warnedValues(log, "[Network] "), warnings);
    QCOMPARE(log.texts(QtInfoMsg).filter("Status changed"), QStringList());

    QVERIFY(m_rig->deliver("/status", document));
    QCOMPARE(networkSeen.take(), QString());
    QCOMPARE(connectionSeen.take(), QString());
}

void TestNetwork::offlineKeepsTheValues()
{
    const QString before = m_rig->networkFields();
    SignalRecorder networkSeen(&m_rig->network);
    LogCapture log;
    for (const QByteArray &offline : {QByteArray(R"({"service": false, "stateStr": "Disconnected", "hostname": "x"})"),
                                      QByteArray(R"({"stateStr": "Disconnected"})"), QByteArray(R"({"service": "true"})"),
                                      QByteArray(R"({"service": 1})"), QByteArray(R"([{"service": true}])"),
                                      QByteArray() /* a cleared retained status */}) {
        QVERIFY(m_rig->deliver("/status", offline));
        QCOMPARE(m_rig->networkFields(), before);
    }
    QCOMPARE(networkSeen.take(), QString());
    QCOMPARE(log.texts(QtInfoMsg).filter("[Network] Status changed"), QStringList{"[Network] Status changed : offline"});

    m_rig->fake.publishStatus();
    QVERIFY(waitUntil([&] { return log.count(QtInfoMsg, "[Network] Status changed : online") == 1; }));
    QCOMPARE(m_rig->networkFields(), before);
    QCOMPARE(networkSeen.take(), QString());

    // The fake going down says so the same way.
    m_rig->fake.setServiceOnline(false);
    QVERIFY(waitUntil([&] { return log.count(QtInfoMsg, "[Network] Status changed : offline") == 2; }));
    QCOMPARE(m_rig->networkFields(), before);
}

void TestNetwork::badPayloadsChangeNothing_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QStringList>("tags"); // the clients that log it

    const QList<QByteArray> bad{QByteArray("{"), QByteArray("{\"service\": false,}"), QByteArray("{\"service\": false} x"),
                                QByteArray("{\"serv\x00\": false}", 16), QByteArray("\x00{}", 3), QByteArray(), QByteArray("\xc3\x28"),
                                "{\"service\": true, \"pad\": \"" + QByteArray(2 * 1024 * 1024, 'x') + "\""};
    for (const char *suffix : {"/info", "/status", "/ethernet/state", "/ethernet/config"}) {
        // The wired interface's topics are its client's alone: the network client leaves them unread.
        const bool ethernet = QByteArray(suffix).startsWith("/ethernet");
        for (int i = 0; i < bad.size(); ++i) {
            // An empty status or configuration is a cleared one.
            if (bad[i].isEmpty() && (QByteArray(suffix) == "/status" || QByteArray(suffix) == "/ethernet/config"))
                continue;
            QTest::addRow("%s %d", suffix, i) << QString(suffix) << bad[i]
                                              << QStringList{ethernet ? "[Network][Ethernet] " : "[Network] "};
        }
    }
}

void TestNetwork::badPayloadsChangeNothing()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, payload);
    QFETCH(QStringList, tags);

    const QString network = m_rig->networkFields();
    const QString ethernet = m_rig->ethernetFields();
    SignalRecorder networkSeen(&m_rig->network);
    SignalRecorder ethernetSeen(m_rig->ethernet());
    LogCapture log;
    QVERIFY(m_rig->deliver(suffix, payload));
    QCOMPARE(m_rig->networkFields(), network);
    QCOMPARE(m_rig->ethernetFields(), ethernet);
    QCOMPARE(m_rig->network.serviceVersion(), QString("2.3.1"));
    QCOMPARE(networkSeen.take(), QString());
    QCOMPARE(ethernetSeen.take(), QString());
    QCOMPARE(log.texts(QtInfoMsg).filter("Status changed"), QStringList());
    QStringList logged;
    const QString words = "Failed to parse JSON message: ";
    for (const QString &line : log.texts(QtCriticalMsg)) {
        // The tag, the words and the parser's text, nothing else.
        const int at = line.indexOf(words);
        QVERIFY2(at > 0 && line.size() > at + words.size() && !line.contains("topic="), qPrintable(line));
        logged << line.left(at);
    }
    logged.sort();
    QCOMPARE(logged, tags);
}

void TestNetwork::monitor()
{
    LogCapture log;
    m_rig->network.monitor(0);
    QCOMPARE(log.texts(QtInfoMsg), QStringList{"[Network] Monitor stopped"});
    log.clear();

    m_rig->network.monitor(100);
    QCOMPARE(log.texts(QtInfoMsg), QStringList({"[Network] Monitor started : 100 msec(s)", "[Network] Refreshing data"}));
    QVERIFY(waitUntil([&] { return log.count(QtInfoMsg, "[Network] Refreshing data") >= 3; }));
    m_rig->network.monitor(-1);
    const int refreshed = log.count(QtInfoMsg, "[Network] Refreshing data");
    QVERIFY(log.texts(QtInfoMsg).contains("[Network] Monitor stopped"));
    QTest::qWait(300); // a stopped monitor refreshes no more
    QCOMPARE(log.count(QtInfoMsg, "[Network] Refreshing data"), refreshed);
    // Refreshing publishes nothing: the service speaks on its own.
    QCOMPARE(m_rig->fake.requests().size(), 2); // the wired interface's two requests on connecting
}

void TestNetwork::connectionFromAMap()
{
    const QVariantMap map{{"interface", "wlan0"}, {"stateStr", "Activated"}, {"typeStr", "wifi"}, {"ipv4", Lease}, {"uuid", "x"}};
    Connection connection(map);
    QCOMPARE(connection.interface(), QString("wlan0"));
    QCOMPARE(connection.type(), QString("wifi"));
    QCOMPARE(fields(connection.ipv4()), QString("192.168.10.23|255.255.255.0|192.168.10.1|192.168.10.1|8.8.8.8"));

    SignalRecorder seen(&connection);
    QCOMPARE(&connection.fromMap(map), &connection);
    QCOMPARE(seen.take(), QString());
    QVariantMap other = map;
    other["stateStr"] = "Deactivating";
    QVERIFY(connection.apply(other));
    QVERIFY(!connection.apply(other));
    QCOMPARE(seen.take(), QString("stateChanged"));
    QVERIFY(connection.apply({}));
    QCOMPARE(seen.take(), QString("interfaceChanged stateChanged typeChanged ipv4Changed"));
    QCOMPARE(fields(connection.ipv4()), QString("||||"));
}

void TestNetwork::ethernetAsksOnConnecting()
{
    const auto requests = m_rig->fake.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests[0].command, QString("ethernet/state/get"));
    QCOMPARE(requests[1].command, QString("ethernet/config/get"));
    QCOMPARE(requests[0].payload, QByteArray("{}"));
    QCOMPARE(requests[1].payload, QByteArray("{}"));
    QCOMPARE(m_rig->ethernetFields(),
             QString("eth0|ethernet|Connected|None|00:1b:21:3a:4f:10|192.168.10.23|255.255.255.0|192.168.10.1|192.168.10.1|8.8.8.8"));
    QCOMPARE(m_rig->ethernet()->method(), QString("auto"));
    QCOMPARE(fields(m_rig->ethernet()->config()), QString("||||"));
}

// The answers to the requests sent on connecting must find the subscriptions in place:
// the broker sees the subscriptions first, at the first connection and after a new one.
void TestNetwork::requestsFollowTheSubscriptions()
{
    const QString client = m_rig->rig.mqtt.clientId();
    const QString base = m_rig->base + "/ethernet";
    QCOMPARE(m_rig->fake.count("ethernet/config/get"), 1);
    QVERIFY(subscribedBeforeRequest(m_broker, client, base + "/state", base + "/state/get", 1));
    QVERIFY(subscribedBeforeRequest(m_broker, client, base + "/config", base + "/config/get", 1));

    m_rig->rig.mqtt.disconnect();
    QVERIFY(m_rig->rig.connectClient());
    WAIT_COMPARE(m_rig->fake.count("ethernet/config/get"), 2);
    QVERIFY(subscribedBeforeRequest(m_broker, client, base + "/state", base + "/state/get", 2));
    QVERIFY(subscribedBeforeRequest(m_broker, client, base + "/config", base + "/config/get", 2));
}

void TestNetwork::ethernetStateDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QString>("emitted");
    QTest::addColumn<QStringList>("warnings");

    const QString ip = "192.168.10.23|255.255.255.0|192.168.10.1|192.168.10.1|8.8.8.8";
    const QString was = "eth0|ethernet|Connected|None|00:1b:21:3a:4f:10|" + ip;
    const QByteArray same = R"({"interface": "eth0", "typeStr": "ethernet", "stateStr": "Connected", "reasonStr": "None",
        "mac": "00:1b:21:3a:4f:10", "ipv4": {"address": "192.168.10.23", "netmask": "255.255.255.0", "gateway": "192.168.10.1",
        "dns0": "192.168.10.1", "dns1": "8.8.8.8"}})";
    QTest::newRow("the same again") << same << was << "" << QStringList{};
    QTest::newRow("the USB interface") << QByteArray(R"({"interface": "usb0", "stateStr": "Disconnected", "ipv4": {}})") << was
                                       << "" << QStringList{};
    QTest::newRow("USB0 in capitals is another")
        << QByteArray(R"({"interface": "USB0", "typeStr": "ethernet", "stateStr": "Connected", "reasonStr": "None", "mac": "00:1b:21:3a:4f:10", "ipv4": {}})")
        << "USB0|ethernet|Connected|None|00:1b:21:3a:4f:10|||||" << "interfaceChanged ipv4Changed" << QStringList{};
    QTest::newRow("cable out") << QByteArray(same).replace(R"("Connected")", R"("Disconnected")").replace(R"("None")", R"("Carrier lost")")
                               << "eth0|ethernet|Disconnected|Carrier lost|00:1b:21:3a:4f:10|" + ip
                               << "stateChanged reasonChanged" << QStringList{};
    QTest::newRow("empty dns1, twice") << QByteArray(same).replace(R"("dns1": "8.8.8.8")", R"("dns1": "")")
                                       << "eth0|ethernet|Connected|None|00:1b:21:3a:4f:10|192.168.10.23|255.255.255.0|192.168.10.1|192.168.10.1|"
                                       << "ipv4Changed" << QStringList{};
    QTest::newRow("nothing") << QByteArray("{}") << "|||||||||"
                             << "interfaceChanged typeChanged stateChanged reasonChanged macChanged ipv4Changed" << QStringList{};
    QTest::newRow("wrong types")
        << QByteArray(R"({"interface": "eth0", "typeStr": 1, "stateStr": true, "reasonStr": "None", "mac": null, "ipv4": [1]})")
        << "eth0|||None||||||" << "typeChanged stateChanged macChanged ipv4Changed" << QStringList{"typeStr", "stateStr", "ipv4"};
}

void TestNetwork::ethernetStateDocuments()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, fields);
    QFETCH(QString, emitted);
    QFETCH(QStringList, warnings);

    SignalRecorder seen(m_rig->ethernet());
    LogCapture log;
    QVERIFY(m_rig->deliver("/ethernet/state", document));
    QCOMPARE(m_rig->ethernetFields(), fields);
    QCOMPARE(seen.take(), emitted);
    QCOMPARE(warnedValues(log, "[Network][Ethernet] "), warnings);
    QVERIFY(m_rig->deliver("/ethernet/state", document));
    QCOMPARE(seen.take(), QString());
    // The network client parses it and leaves it.
    QCOMPARE(m_rig->network.hostname(), QString("terminal-01"));
}

void TestNetwork::ethernetConfigDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("emitted");

    const QByteArray manual = R"({"interface": "eth0", "method": "manual", "address": "10.1.2.3", "netmask": "255.0.0.0",
        "gateway": "10.0.0.1", "dns0": "10.0.0.2", "dns1": ""})";
    QTest::newRow("manual") << manual << "manual" << "10.1.2.3|255.0.0.0|10.0.0.1|10.0.0.2|" << "methodChanged configChanged";
    QTest::newRow("the USB interface") << QByteArray(manual).replace("eth0", "usb0") << "auto" << "||||" << "";
    QTest::newRow("no interface named") << QByteArray(R"({"method": "manual", "address": "10.1.2.3"})") << "manual"
                                        << "10.1.2.3||||" << "methodChanged configChanged";
    QTest::newRow("auto, addresses kept") << QByteArray(R"({"interface": "eth0", "method": "auto", "address": "10.1.2.3"})")
                                          << "auto" << "10.1.2.3||||" << "configChanged";
    QTest::newRow("nothing") << QByteArray("{}") << "" << "||||" << "methodChanged";
    QTest::newRow("empty payload: cleared") << QByteArray() << "" << "||||" << "methodChanged";
}

void TestNetwork::ethernetConfigDocuments()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, method);
    QFETCH(QString, config);
    QFETCH(QString, emitted);

    SignalRecorder seen(m_rig->ethernet());
    LogCapture log;
    QVERIFY(m_rig->deliver("/ethernet/config", document));
    QCOMPARE(log.texts(QtCriticalMsg), QStringList());
    QCOMPARE(m_rig->ethernet()->method(), method);
    QCOMPARE(fields(m_rig->ethernet()->config()), config);
    QCOMPARE(seen.take(), emitted);
    // Repeats say nothing, so a page showing the configuration is not disturbed.
    QVERIFY(m_rig->deliver("/ethernet/config", document));
    QCOMPARE(seen.take(), QString());
    // The interface name is taken from the state only.
    QCOMPARE(m_rig->ethernet()->interface(), QString("eth0"));
}

void TestNetwork::methodIsLocalUntilSaved()
{
    Ethernet *ethernet = m_rig->ethernet();
    SignalRecorder seen(ethernet);
    LogCapture log;
    QVERIFY(ethernet->setProperty("method", "manual")); // as the mode box writes it
    ethernet->setMethod("manual");
    QCOMPARE(seen.take(), QString("methodChanged"));
    QCOMPARE(log.texts(QtInfoMsg), QStringList{"[Network][Ethernet] Method changed : manual"});
    // Nothing went out; the service's next configuration document sets it back.
    m_rig->fake.publishEthernetConfig();
    WAIT_COMPARE(ethernet->method(), QString("auto"));
    QCOMPARE(m_rig->fake.count("ethernet/config/set"), 0);
    QCOMPARE(m_rig->fake.method(), QString("auto"));
}

void TestNetwork::saveSendsTheConfiguration_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QJsonObject>("sent");

    const QJsonObject none{{"interface", "eth0"}, {"address", ""}, {"netmask", ""}, {"gateway", ""}, {"dns0", ""}, {"dns1", ""}};
    QJsonObject manual{{"interface", "eth0"}, {"method", "manual"}, {"address", "10.1.2.3"}, {"netmask", "255.0.0.0"},
                       {"gateway", "10.0.0.1"}, {"dns0", "10.0.0.2"}, {"dns1", "10.0.0.3"}};
    QJsonObject autoSent = none;
    autoSent["method"] = "auto";
    QJsonObject capital = none;
    capital["method"] = "Manual";
    QTest::newRow("manual") << "manual" << manual;
    QTest::newRow("auto sends no addresses") << "auto" << autoSent;
    QTest::newRow("Manual is not manual") << "Manual" << capital;
}

void TestNetwork::saveSendsTheConfiguration()
{
    QFETCH(QString, method);
    QFETCH(QJsonObject, sent);

    Ethernet *ethernet = m_rig->ethernet();
    m_rig->fake.silence("ethernet/config/set");
    ethernet->setMethod(method);
    IPv4 *config = ethernet->config();
    config->setAddress("10.1.2.3");
    config->setMask("255.0.0.0");
    config->setGateway("10.0.0.1");
    config->setDns0("10.0.0.2");
    config->setDns1("10.0.0.3");
    LogCapture log;
    ethernet->save();
    WAIT_COMPARE(m_rig->fake.count("ethernet/config/set"), 1);
    const auto request = m_rig->fake.requests("ethernet/config/set").first();
    QCOMPARE(request.body, sent);
    QCOMPARE(request.payload, QJsonDocument(sent).toJson(QJsonDocument::Indented));
    QCOMPARE(log.texts(QtInfoMsg), QStringList({"[Network][Ethernet] Saving configuration",
                                                "[Network][Ethernet] -------------------------",
                                                "[Network][Ethernet] Method  : " + method,
                                                "[Network][Ethernet] Address : 10.1.2.3",
                                                "[Network][Ethernet] Netmask : 255.0.0.0",
                                                "[Network][Ethernet] Gateway : 10.0.0.1",
                                                "[Network][Ethernet] DNS     : 10.0.0.2, 10.0.0.3",
                                                "[Network][Ethernet] -------------------------"}));
    // Nothing changes until the service answers.
    QCOMPARE(ethernet->ipv4()->address(), QString("192.168.10.23"));
}

void TestNetwork::saveManualIsApplied()
{
    Ethernet *ethernet = m_rig->ethernet();
    SignalRecorder seen(ethernet);
    ethernet->setMethod("manual");
    ethernet->config()->fromMap({{"address", "172.16.0.9"}, {"netmask", "255.255.0.0"}, {"gateway", "172.16.0.1"}, {"dns0", "172.16.0.1"}});
    ethernet->save();
    WAIT_COMPARE(ethernet->ipv4()->address(), QString("172.16.0.9"));
    QCOMPARE(fields(ethernet->ipv4()), QString("172.16.0.9|255.255.0.0|172.16.0.1|172.16.0.1|"));
    QCOMPARE(ethernet->method(), QString("manual"));
    QCOMPARE(fields(ethernet->config()), QString("172.16.0.9|255.255.0.0|172.16.0.1|172.16.0.1|"));
    // The edit returns to the service's report once sent; the answer brings the new values.
    QCOMPARE(seen.take(), QString("methodChanged methodChanged methodChanged configChanged ipv4Changed"));
    WAIT_COMPARE(m_rig->network.primaryConnection()->ipv4()->address(), QString("172.16.0.9"));

    // Back to automatic: the lease returns.
    ethernet->setMethod("auto");
    ethernet->save();
    WAIT_COMPARE(ethernet->ipv4()->address(), QString("192.168.10.23"));
    WAIT_COMPARE(fields(ethernet->config()), QString("||||"));
}

void TestNetwork::saveBeforeAnyState()
{
    DeviceRig rig(m_broker);
    const QString base = rig.base("network");
    FakeNetworkService fake(base);
    fake.silence("ethernet/state/get");
    fake.silence("ethernet/config/get");
    fake.silence("ethernet/config/set");
    QVERIFY(fake.start(m_broker));
    Network network(rig.mqtt, base);
    QVERIFY(rig.connectClient());
    network.ethernet()->setMethod("auto");
    network.ethernet()->save();
    WAIT_COMPARE(fake.count("ethernet/config/set"), 1);
    QCOMPARE(fake.requests("ethernet/config/set").first().body.value("interface"), QJsonValue(""));
}

void TestNetwork::saveWhileDisconnected()
{
    Ethernet *ethernet = m_rig->ethernet();
    m_rig->rig.mqtt.disconnect();
    ethernet->setMethod("manual");
    LogCapture log;
    ethernet->save();
    QCOMPARE(log.texts(QtWarningMsg),
             QStringList{"[Network][Ethernet] WARN: Could not publish " + m_rig->base + "/ethernet/config/set : not connected"});
    QCOMPARE(m_rig->fake.count("ethernet/config/set"), 0);
}

// A "down" that no longer holds does not keep the configuration from the service: a new
// session forgets what it said, and a save refused for a down service asks it again; the
// service that answers runs, and the next save goes out.
void TestNetwork::saveAfterAStaleDown_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("firstRefused");
    QTest::newRow("status not retained, back while the session was down") << "unretained" << false;
    QTest::newRow("a will that came late, after the service had started again") << "late will" << true;
}

void TestNetwork::saveAfterAStaleDown()
{
    QFETCH(QString, how);
    QFETCH(bool, firstRefused);
    Ethernet *ethernet = m_rig->ethernet();

    if (how == "unretained") {
        QVERIFY(m_rig->fake.publishRaw("/status", QByteArray(), true)); // no retained status left
        QVERIFY(m_rig->fake.publishRaw("/status", R"({"service": true})"));
        QVERIFY(waitUntil([&] { return m_rig->rig.seen(m_rig->base + "/status") >= 3; }));
        QVERIFY(m_rig->fake.publishRaw("/status", R"({"service": false})"));
        QVERIFY(waitUntil([&] { return !ethernet->serviceOnline(); }));
        m_rig->rig.mqtt.disconnect();
        QVERIFY(waitUntil([&] { return !m_rig->rig.mqtt.isConnected(); }));
        QVERIFY(m_rig->fake.publishRaw("/status", R"({"service": true})")); // nobody hears it
        QVERIFY(m_rig->rig.connectClient());
        // Asked for the interface's state on connecting, the service answers: it runs.
        WAIT_VERIFY(ethernet->serviceOnline());
    } else {
        QVERIFY(m_rig->deliver("/status", R"({"service": false})"));
        QVERIFY(!ethernet->serviceOnline());
    }

    const int asked = m_rig->fake.count("ethernet/state/get");
    ethernet->setMethod("auto");
    QCOMPARE(ethernet->save(), !firstRefused);
    if (firstRefused) {
        WAIT_COMPARE(m_rig->fake.count("ethernet/state/get"), asked + 1);
        WAIT_VERIFY(ethernet->serviceOnline());
        QVERIFY(ethernet->save());
    }
    WAIT_COMPARE(m_rig->fake.count("ethernet/config/set"), 1);
}

// A service going down clears the configuration it kept: that empty message comes from it but
// says nothing of its running, so a save after it is refused, and nothing is sent.
void TestNetwork::saveAfterTheServiceClearedItsConfiguration()
{
    Ethernet *ethernet = m_rig->ethernet();
    m_rig->fake.setServiceOnline(false);
    WAIT_VERIFY(!ethernet->serviceOnline());
    const QString topic = m_rig->base + "/ethernet/config";
    const int before = m_rig->rig.seen(topic);
    m_rig->fake.clearEthernetConfig();
    QVERIFY(m_rig->rig.waitSeen(topic, before + 1));
    QVERIFY(!ethernet->serviceOnline());

    ethernet->setMethod("auto");
    const int asked = m_rig->fake.count("ethernet/state/get");
    LogCapture log;
    QVERIFY(!ethernet->save());
    QCOMPARE(log.texts(QtWarningMsg),
             QStringList{"[Network][Ethernet] WARN: Network service offline : configuration not sent"});
    // What it sent instead: a question, in case the service runs after all.
    WAIT_COMPARE(m_rig->fake.count("ethernet/state/get"), asked + 1);
    QCOMPARE(m_rig->fake.count("ethernet/config/set"), 0);
}

void TestNetwork::askedAgainAfterABrokerRestart()
{
    m_rig->fake.stop();
    m_broker.stop();
    QVERIFY(waitUntil([&] { return !m_rig->rig.mqtt.isConnected(); }));
    QVERIFY2(m_broker.start(), qPrintable(m_broker.errorString()));
    QVERIFY(m_rig->fake.start(m_broker));
    LogCapture log;
    QVERIFY(m_rig->rig.connectClient());
    WAIT_COMPARE(m_rig->fake.count("ethernet/config/get"), 2);
    QCOMPARE(m_rig->fake.count("ethernet/state/get"), 2);
    QVERIFY(log.texts(QtInfoMsg).contains("[Network] Refreshing data"));
    QVERIFY(log.texts(QtInfoMsg).contains("[Network][Ethernet] Refreshing data"));

    // The subscriptions came back: new documents arrive.
    m_rig->fake.setHostname("terminal-02");
    m_rig->fake.setEthernetState("Disconnected", "Carrier lost");
    WAIT_COMPARE(m_rig->network.hostname(), QString("terminal-02"));
    WAIT_COMPARE(m_rig->ethernet()->state(), QString("Disconnected"));
}

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_Network.moc"
