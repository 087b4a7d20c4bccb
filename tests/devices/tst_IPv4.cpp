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

QTEST_GUILESS_MAIN(TestIPv4)
#include "tst_IPv4.moc"
