#include "devices/IPv4.h"

#include "fakes/SignalRecorder.h"

#include <QtTest>

class TestIPv4 : public QObject
{
    Q_OBJECT

private slots:
    void fresh();
    void fromMap_data();
    void fromMap();
    void setters();
    void sameAs_data();
    void sameAs();
    void problem_data();
    void problem();
    void addressText_data();
    void addressText();
};

namespace {
const QVariantMap Full{{"address", "10.0.0.5"}, {"netmask", "255.255.255.0"}, {"gateway", "10.0.0.1"},
                       {"dns0", "10.0.0.2"}, {"dns1", "8.8.8.8"}};

QString fields(const IPv4 &ip)
{
    return QStringList{ip.address(), ip.mask(), ip.gateway(), ip.dns0(), ip.dns1()}.join('|');
}
} // namespace

void TestIPv4::fresh()
{
    IPv4 ip;
    QCOMPARE(fields(ip), QString("||||"));
    QVERIFY(ip.toMap().isEmpty());
    QCOMPARE(IPv4::keys(), QStringList({"address", "netmask", "gateway", "dns0", "dns1"}));
}

void TestIPv4::fromMap_data()
{
    QTest::addColumn<QVariantMap>("before"); // applied first, unrecorded
    QTest::addColumn<QVariantMap>("map");
    QTest::addColumn<QString>("emitted");
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QVariantMap>("stored");

    const QVariantMap allEmpty{{"address", ""}, {"netmask", ""}, {"gateway", ""}, {"dns0", ""}, {"dns1", ""}};
    QTest::newRow("all five, in order") << QVariantMap{} << Full
                                        << "addressChanged maskChanged gatewayChanged dns0Changed dns1Changed"
                                        << "10.0.0.5|255.255.255.0|10.0.0.1|10.0.0.2|8.8.8.8" << Full;
    QTest::newRow("the same again") << Full << Full << "" << "10.0.0.5|255.255.255.0|10.0.0.1|10.0.0.2|8.8.8.8" << Full;
    QVariantMap noDns1 = Full;
    noDns1.remove("dns1");
    QVariantMap dns1Empty = Full;
    dns1Empty["dns1"] = "";
    QTest::newRow("dns1 missing on a fresh value")
        << QVariantMap{} << noDns1 << "addressChanged maskChanged gatewayChanged dns0Changed"
        << "10.0.0.5|255.255.255.0|10.0.0.1|10.0.0.2|" << dns1Empty;
    QTest::newRow("dns1 missing, then given empty") << noDns1 << dns1Empty << ""
                                                    << "10.0.0.5|255.255.255.0|10.0.0.1|10.0.0.2|" << dns1Empty;
    QVariantMap extra = Full;
    extra["method"] = "manual";
    QTest::newRow("other keys ignored") << QVariantMap{} << extra
                                        << "addressChanged maskChanged gatewayChanged dns0Changed dns1Changed"
                                        << "10.0.0.5|255.255.255.0|10.0.0.1|10.0.0.2|8.8.8.8" << Full;
    QTest::newRow("cleared") << Full << QVariantMap{}
                             << "addressChanged maskChanged gatewayChanged dns0Changed dns1Changed" << "||||" << allEmpty;
    QTest::newRow("any text") << QVariantMap{} << QVariantMap{{"address", "not an address"}, {"gateway", "999.1.2.3"}}
                              << "addressChanged gatewayChanged" << "not an address||999.1.2.3||"
                              << QVariantMap{{"address", "not an address"}, {"netmask", ""}, {"gateway", "999.1.2.3"},
                                             {"dns0", ""}, {"dns1", ""}};
    QTest::newRow("values that are no text") << QVariantMap{}
                                             << QVariantMap{{"address", 5}, {"netmask", QVariantMap{{"a", 1}}},
                                                            {"gateway", QVariant()}}
                                             << "addressChanged" << "5||||"
                                             << QVariantMap{{"address", "5"}, {"netmask", ""}, {"gateway", ""},
                                                            {"dns0", ""}, {"dns1", ""}};
}

void TestIPv4::fromMap()
{
    QFETCH(QVariantMap, before);
    QFETCH(QVariantMap, map);
    QFETCH(QString, emitted);
    QFETCH(QString, fields);
    QFETCH(QVariantMap, stored);

    IPv4 ip;
    if (!before.isEmpty())
        ip.fromMap(before);
    SignalRecorder signalsSeen(&ip);
    QCOMPARE(&ip.fromMap(map), &ip);
    QCOMPARE(signalsSeen.take(), emitted);
    QCOMPARE(::fields(ip), fields);
    QCOMPARE(ip.toMap(), stored);
}

void TestIPv4::setters()
{
    IPv4 ip;
    SignalRecorder signalsSeen(&ip);
    ip.setMask("255.255.0.0");
    QCOMPARE(ip.toMap(), QVariantMap({{"netmask", "255.255.0.0"}}));
    QCOMPARE(ip.mask(), QString("255.255.0.0"));
    ip.setMask("255.255.0.0");
    QCOMPARE(signalsSeen.take(), QString("maskChanged"));

    // As the pages write them.
    QVERIFY(ip.setProperty("address", "192.168.1.20"));
    QVERIFY(ip.setProperty("gateway", "192.168.1.1"));
    QVERIFY(ip.setProperty("dns0", "1.1.1.1"));
    QVERIFY(ip.setProperty("dns1", "9.9.9.9"));
    QVERIFY(ip.setProperty("dns1", "9.9.9.9"));
    QCOMPARE(signalsSeen.take(), QString("addressChanged gatewayChanged dns0Changed dns1Changed"));
    QCOMPARE(fields(ip), QString("192.168.1.20|255.255.0.0|192.168.1.1|1.1.1.1|9.9.9.9"));
    QCOMPARE(ip.property("mask").toString(), QString("255.255.0.0"));
}

void TestIPv4::sameAs_data()
{
    QTest::addColumn<QVariantMap>("map");
    QTest::addColumn<bool>("same");

    QVariantMap extra = Full;
    extra["method"] = "auto";
    QVariantMap other = Full;
    other["dns1"] = "1.1.1.1";
    QVariantMap missing = Full;
    missing.remove("dns1");
    QTest::newRow("equal") << Full << true;
    QTest::newRow("other keys besides") << extra << true;
    QTest::newRow("one differs") << other << false;
    QTest::newRow("one missing") << missing << false;
    QTest::newRow("empty") << QVariantMap{} << false;
}

void TestIPv4::sameAs()
{
    QFETCH(QVariantMap, map);
    QFETCH(bool, same);
    IPv4 ip;
    ip.fromMap(Full);
    QCOMPARE(ip.sameAs(map), same);

    IPv4 empty;
    QVERIFY(empty.sameAs(QVariantMap{}));
    QVERIFY(empty.sameAs(QVariantMap{{"dns1", ""}}));
}

void TestIPv4::problem_data()
{
    // Address, netmask, gateway, DNS #0 and DNS #1 as typed ("|"-joined), and the first problem.
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("problem");

    const auto row = [](const char *tag, const char *typed, const char *problem) {
        QTest::newRow(tag) << QString(typed) << QString(problem);
    };
    row("sound", "192.168.1.20|255.255.255.0|192.168.1.1|1.1.1.1|8.8.8.8", "");
    row("no gateway, no DNS", "192.168.1.20|255.255.255.0|||", "");
    row("gateway 0.0.0.0 is none", "192.168.1.20|255.255.255.0|0.0.0.0||", "");
    row("/32 with its gateway", "10.9.8.7|255.255.255.255|10.9.8.1||", "");
    row("/32 with a gateway far away", "203.0.113.9|255.255.255.255|198.51.100.1||", "");
    row("/31 with its peer", "10.9.8.6|255.255.255.254|10.9.8.7||", "");
    row("/31 gateway outside", "10.9.8.6|255.255.255.254|10.9.8.9||", "IPv4 gateway is outside the subnet");
    row("local resolver", "192.168.1.20|255.255.255.0|192.168.1.1|127.0.0.53|", "");

    row("address empty", "|255.255.255.0|||", "IPv4 address cannot be empty in 'manual' mode");
    row("netmask empty", "192.168.1.20||||", "IPv4 netmask cannot be empty in 'manual' mode");
    row("address no address", "192.168.1.256|255.255.255.0|||", "IPv4 address is not a valid IP address");
    row("netmask no address", "192.168.1.20|255.255.255.01|||", "IPv4 netmask is not a valid IP address");
    row("gateway no address", "192.168.1.20|255.255.255.0|192.168.1||", "IPv4 gateway is not a valid IP address");
    row("DNS #0 no address", "192.168.1.20|255.255.255.0||1.1.1.1.|", "IPv4 DNS #0 is not a valid IP address");
    row("DNS #1 no address", "192.168.1.20|255.255.255.0|||dns.example", "IPv4 DNS #1 is not a valid IP address");

    row("netmask with a hole", "192.168.1.20|255.0.255.0|||", "IPv4 netmask is not a valid netmask");
    row("netmask of nothing", "192.168.1.20|0.0.0.0|||", "IPv4 netmask is not a valid netmask");
    row("host 0.0.0.0", "0.0.0.0|255.255.255.255|||", "IPv4 address cannot be 0.0.0.0");
    row("loopback host", "127.0.0.5|255.0.0.0|||", "IPv4 address cannot be a loopback address (127.0.0.0/8)");
    row("multicast host", "224.0.0.9|255.255.255.0|||", "IPv4 address cannot be a multicast address (224.0.0.0/4)");
    row("last multicast host", "239.255.255.254|255.255.255.0|||",
        "IPv4 address cannot be a multicast address (224.0.0.0/4)");
    row("all-ones host", "255.255.255.255|255.255.255.255|||", "IPv4 address cannot be 255.255.255.255");
    row("host is the network", "192.168.1.0|255.255.255.0|||", "IPv4 address cannot be the network or broadcast address");
    row("host is the broadcast", "192.168.1.255|255.255.255.0|||",
        "IPv4 address cannot be the network or broadcast address");

    row("gateway is the host", "192.168.1.20|255.255.255.0|192.168.1.20||",
        "IPv4 gateway cannot be the terminal's own address");
    row("gateway is the /32 host", "10.9.8.7|255.255.255.255|10.9.8.7||",
        "IPv4 gateway cannot be the terminal's own address");
    row("loopback gateway", "10.9.8.7|255.255.255.255|127.0.0.1||",
        "IPv4 gateway cannot be a loopback address (127.0.0.0/8)");
    row("multicast gateway", "10.9.8.7|255.255.255.255|224.0.0.1||",
        "IPv4 gateway cannot be a multicast address (224.0.0.0/4)");
    row("all-ones gateway", "10.9.8.7|255.255.255.255|255.255.255.255||", "IPv4 gateway cannot be 255.255.255.255");
    row("gateway outside", "192.168.1.20|255.255.255.0|192.168.2.1||", "IPv4 gateway is outside the subnet");
    row("gateway is the broadcast", "192.168.1.20|255.255.255.0|192.168.1.255||",
        "IPv4 gateway cannot be the network or broadcast address");

    row("DNS #0 0.0.0.0", "192.168.1.20|255.255.255.0||0.0.0.0|", "IPv4 DNS #0 cannot be 0.0.0.0");
    row("DNS #1 0.0.0.0", "192.168.1.20|255.255.255.0||1.1.1.1|0.0.0.0", "IPv4 DNS #1 cannot be 0.0.0.0");
    row("DNS #0 all ones", "192.168.1.20|255.255.255.0||255.255.255.255|", "IPv4 DNS #0 cannot be 255.255.255.255");
    row("DNS #1 all ones", "192.168.1.20|255.255.255.0|||255.255.255.255", "IPv4 DNS #1 cannot be 255.255.255.255");
    row("DNS #0 multicast", "192.168.1.20|255.255.255.0||224.0.0.251|",
        "IPv4 DNS #0 cannot be a multicast address (224.0.0.0/4)");
    row("DNS #1 multicast", "192.168.1.20|255.255.255.0|||239.255.255.250",
        "IPv4 DNS #1 cannot be a multicast address (224.0.0.0/4)");
    // The subnet's own broadcast (the resolver may not send there) or network address is no server.
    row("DNS #0 the subnet's broadcast", "192.168.1.20|255.255.255.0|192.168.1.1|192.168.1.255|",
        "IPv4 DNS #0 cannot be the network or broadcast address");
    row("DNS #1 the subnet's network", "192.168.1.20|255.255.255.0|192.168.1.1|1.1.1.1|192.168.1.0",
        "IPv4 DNS #1 cannot be the network or broadcast address");
    row("DNS #1 the subnet's broadcast", "10.1.2.3|255.255.0.0||1.1.1.1|10.1.255.255",
        "IPv4 DNS #1 cannot be the network or broadcast address");
    row("DNS the other subnet's broadcast", "192.168.1.20|255.255.255.0||192.168.2.255|", "");
    row("DNS the peer of a /31", "10.9.8.6|255.255.255.254||10.9.8.7|", "");

    // The first problem in the fields' order: every text first, then the host, the gateway, DNS.
    row("texts before the mask", "192.168.1.20|255.0.255.0|192.168.1.300||", "IPv4 gateway is not a valid IP address");
    row("host before gateway", "127.0.0.5|255.0.0.0|0.0.0.1||", "IPv4 address cannot be a loopback address (127.0.0.0/8)");
    row("gateway before DNS", "192.168.1.20|255.255.255.0|192.168.1.20|0.0.0.0|",
        "IPv4 gateway cannot be the terminal's own address");
}

// The one rule of a sound manual configuration, field by field.
void TestIPv4::problem()
{
    QFETCH(QString, typed);
    QFETCH(QString, problem);
    const QStringList texts = typed.split('|');
    QCOMPARE(texts.size(), 5);
    IPv4 ip;
    ip.setAddress(texts.at(0));
    ip.setMask(texts.at(1));
    ip.setGateway(texts.at(2));
    ip.setDns0(texts.at(3));
    ip.setDns1(texts.at(4));
    QCOMPARE(ip.problem(), problem);
    // Asking changes nothing.
    QCOMPARE(::fields(ip), typed);
}

void TestIPv4::addressText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("empty") << "" << true;
    QTest::newRow("dotted quad") << "10.0.0.255" << true;
    QTest::newRow("zeros") << "0.0.0.0" << true;
    QTest::newRow("above 255") << "10.0.0.256" << false;
    QTest::newRow("leading zero") << "10.0.0.01" << false;
    QTest::newRow("three numbers") << "10.0.0" << false;
    QTest::newRow("five numbers") << "10.0.0.1.2" << false;
    QTest::newRow("trailing dot") << "10.0.0.1." << false;
    QTest::newRow("empty number") << "10..0.1" << false;
    QTest::newRow("sign") << "+10.0.0.1" << false;
    QTest::newRow("blank") << " 10.0.0.1" << false;
    QTest::newRow("other digits") << QString::fromUtf8("10.0.0.\u0661") << false;
    QTest::newRow("one number") << "167772161" << false;
}

void TestIPv4::addressText()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(IPv4().isAddressText(text), valid);
}

QTEST_GUILESS_MAIN(TestIPv4)
#include "tst_IPv4.moc"
