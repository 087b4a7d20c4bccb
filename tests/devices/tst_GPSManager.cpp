#include "DeviceRig.h"

#include "devices/GPSManager.h"
#include "fakes/FakeGpsService.h"
#include "fakes/LogCapture.h"

#include <memory>

using manager::GPSManager;

namespace {

struct GpsRig
{
    explicit GpsRig(const TestBroker &broker)
        : rig(broker)
        , base(rig.base("gps"))
        , fake(base)
        , gps(rig.mqtt, base)
        , info(&gps, &GPSManager::infoChanged)
        , status(&gps, &GPSManager::statusChanged)
        , telemetry(&gps, &GPSManager::telemetryChanged)
    {
    }

    bool start(const TestBroker &broker)
    {
        return fake.start(broker) && rig.connectClient() && waitUntil([this] { return gps.status().fix == 3 && !gps.info().model.isEmpty(); });
    }

    bool deliver(const QString &suffix, const QByteArray &payload)
    {
        const int before = rig.seen(base + suffix);
        return fake.publishRaw(suffix, payload) && rig.waitSeen(base + suffix, before + 1);
    }

    void clearSpies()
    {
        info.clear();
        status.clear();
        telemetry.clear();
    }

    DeviceRig rig;
    QString base;
    FakeGpsService fake;
    GPSManager gps;
    QSignalSpy info;
    QSignalSpy status;
    QSignalSpy telemetry;
};

QString statusText(const GPSManager::Status &s)
{
    return QString("%1|%2|%3|%4").arg(s.fix).arg(s.state).arg(int(s.simulation)).arg(s.error);
}

QString telemetryText(const GPSManager::Telemetry &t)
{
    QStringList values;
    for (double v : {t.latitude, t.longitude, t.altitude, t.direction, t.groundSpeed, t.verticalSpeed, t.verticalAccuracy,
                     t.horizontalAccuracy, t.magneticVariation})
        values << QString::number(v);
    return values.join('|');
}

QStringList warnedValues(const LogCapture &log)
{
    QStringList names;
    for (const QString &line : log.texts(QtWarningMsg).filter("[GPSManager] WARN: ")) {
        if (line.contains("Unexpected value of "))
            names << line.section("Unexpected value of ", 1).section(" (topic=", 0, 0);
        else
            names << line.section("Not a number : ", 1).section('=', 0, 0) + " (no number)";
    }
    return names;
}

} // namespace

class TestGPSManager : public DeviceTestCase
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void recordsFromTheService();
    void statusDocuments_data();
    void statusDocuments();
    void telemetryDocuments_data();
    void telemetryDocuments();
    void infoDocuments_data();
    void infoDocuments();
    void badPayloadsChangeNothing_data();
    void badPayloadsChangeNothing();
    void enableAndDisable();

private:
    std::unique_ptr<GpsRig> m_rig;
};

void TestGPSManager::initTestCase()
{
    qRegisterMetaType<GPSManager::Info>();
    qRegisterMetaType<GPSManager::Status>();
    qRegisterMetaType<GPSManager::Telemetry>();
    DeviceTestCase::initTestCase();
}

void TestGPSManager::init()
{
    m_rig.reset(new GpsRig(m_broker));
    QCOMPARE(statusText(m_rig->gps.status()), QString("0|0|0|"));
    QVERIFY(!m_rig->gps.telemetry().timestamp.isValid());
    QVERIFY(m_rig->start(m_broker));
    m_rig->clearSpies();
}

void TestGPSManager::cleanup()
{
    m_rig.reset();
}

void TestGPSManager::recordsFromTheService()
{
    const GPSManager::Info &info = m_rig->gps.info();
    QCOMPARE(info.manufacturer, QString("Fake GNSS"));
    QCOMPARE(info.model, QString("FG-25"));
    QCOMPARE(info.firmware, QString("EG25GGBR07A08M2G"));
    QCOMPARE(info.imei, QString("860000000000001"));
    QVERIFY(info.assisted);
    QCOMPARE(info.serviceType, QString("gps"));
    QCOMPARE(info.serviceVersion, QString("0.9.4"));
    QCOMPARE(statusText(m_rig->gps.status()), QString("3|2|0|"));

    m_rig->fake.setPosition(37.983810, 23.727539, 70.5);
    QVERIFY(m_rig->telemetry.wait(5000));
    const auto announced = m_rig->telemetry.takeFirst().at(0).value<GPSManager::Telemetry>();
    QCOMPARE(announced.latitude, 37.98381);
    QCOMPARE(announced.longitude, 23.727539);
    QCOMPARE(announced.altitude, 70.5);
    QCOMPARE(telemetryText(m_rig->gps.telemetry()), telemetryText(announced));
    QVERIFY(!m_rig->gps.telemetry().timestamp.isValid());

    // Only the three documents are subscribed.
    QStringList filters;
    for (const auto &subscription : m_rig->rig.mqtt.subscriptions())
        filters << subscription.first.filter().mid(m_rig->base.size());
    QCOMPARE(filters, QStringList({"/info", "/status", "/data"}));
}

void TestGPSManager::statusDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("status"); // fix|state|simulation|error
    QTest::addColumn<QStringList>("warnings");

    QTest::newRow("offline") << QByteArray(R"({"service": false, "device": {"fix": 3, "state": 2}, "simulation": true})")
                             << "0|-1|0|Manager is offline" << QStringList{};
    QTest::newRow("no service key") << QByteArray(R"({"device": {"fix": 3}})") << "0|-1|0|Manager is offline" << QStringList{};
    QTest::newRow("empty payload: cleared") << QByteArray() << "0|-1|0|Manager is offline" << QStringList{};
    QTest::newRow("error null") << QByteArray(R"({"service": true, "device": {"fix": 2, "state": 1, "error": null}})") << "2|1|0|"
                                << QStringList{};
    QTest::newRow("error text, simulated") << QByteArray(R"({"service": true, "simulation": true, "device": {"fix": 0, "state": 4, "error": "Antenna open"}})")
                                           << "0|4|1|Antenna open" << QStringList{};
    QTest::newRow("no device") << QByteArray(R"({"service": true})") << "0|0|0|" << QStringList{};
    QTest::newRow("wrong types") << QByteArray(R"({"service": true, "simulation": "yes", "device": {"fix": "3", "state": 1.5, "error": 7}})")
                                 << "0|0|0|" << QStringList{"device.fix", "device.state", "device.error", "simulation"};
    QTest::newRow("the same again") << QByteArray(R"({"service": true, "device": {"fix": 3, "state": 2, "error": null}})") << "3|2|0|"
                                    << QStringList{};
}

void TestGPSManager::statusDocuments()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, status);
    QFETCH(QStringList, warnings);

    LogCapture log;
    QVERIFY(m_rig->deliver("/status", document));
    QCOMPARE(statusText(m_rig->gps.status()), status);
    // Every status document is announced, with the record.
    QCOMPARE(m_rig->status.count(), 1);
    QCOMPARE(statusText(m_rig->status.first().at(0).value<GPSManager::Status>()), status);
    QCOMPARE(warnedValues(log), warnings);
    QCOMPARE(m_rig->info.count() + m_rig->telemetry.count(), 0);
}

void TestGPSManager::telemetryDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("telemetry");
    QTest::addColumn<QStringList>("warnings");

    QTest::newRow("all nine") << QByteArray(R"({"latitude": "37.5", "longitude": "-23.25", "altitude": "100", "direction": "270.5",
        "groundSpeed": "12.25", "verticalSpeed": "-0.5", "verticalAccuracy": "3", "horizontalAccuracy": "1.5", "magneticVariation": "4.75"})")
                              << "37.5|-23.25|100|270.5|12.25|-0.5|3|1.5|4.75" << QStringList{};
    QTest::newRow("missing keys read as zero") << QByteArray(R"({"latitude": "37.5"})") << "37.5|0|0|0|0|0|0|0|0" << QStringList{};
    QTest::newRow("a number is no text") << QByteArray(R"({"latitude": 37.5, "longitude": null})") << "0|0|0|0|0|0|0|0|0"
                                         << QStringList{"latitude"};
    QTest::newRow("text that is no number") << QByteArray(R"({"latitude": "north", "longitude": "", "altitude": "1e3"})")
                                            << "0|0|1000|0|0|0|0|0|0" << QStringList{"latitude (no number)"};
    QTest::newRow("empty object") << QByteArray("{}") << "0|0|0|0|0|0|0|0|0" << QStringList{};
}

void TestGPSManager::telemetryDocuments()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, telemetry);
    QFETCH(QStringList, warnings);

    // Every document replaces the whole record: nothing of the one before is kept.
    m_rig->fake.setPosition(1, 2, 3);
    QVERIFY(m_rig->telemetry.wait(5000));
    m_rig->clearSpies();
    LogCapture log;
    QVERIFY(m_rig->deliver("/data", document));
    QCOMPARE(telemetryText(m_rig->gps.telemetry()), telemetry);
    QCOMPARE(m_rig->telemetry.count(), 1);
    QCOMPARE(warnedValues(log), warnings);
}

void TestGPSManager::infoDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("info"); // firmware|manufacturer|model|imei|assisted|type|version
    QTest::addColumn<QStringList>("warnings");

    QTest::newRow("partial") << QByteArray(R"({"device": {"model": "FG-30", "assisted": false}, "service": {"version": "1.0"}})")
                             << "||FG-30||0||1.0" << QStringList{};
    QTest::newRow("wrong types") << QByteArray(R"({"device": {"imei": 860000000000001, "assisted": "true"}, "service": []})")
                                 << "||||0||" << QStringList{"service", "device.imei", "device.assisted"};
}

void TestGPSManager::infoDocuments()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, info);
    QFETCH(QStringList, warnings);

    LogCapture log;
    QVERIFY(m_rig->deliver("/info", document));
    const GPSManager::Info &i = m_rig->gps.info();
    QCOMPARE(QString("%1|%2|%3|%4|%5|%6|%7").arg(i.firmware, i.manufacturer, i.model, i.imei).arg(int(i.assisted)).arg(i.serviceType, i.serviceVersion),
             info);
    QCOMPARE(m_rig->info.count(), 1);
    QCOMPARE(warnedValues(log), warnings);
}

void TestGPSManager::badPayloadsChangeNothing_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("logged"); // the payload as the line shows it

    const QList<QPair<QByteArray, QString>> bad{
        {QByteArray("{"), "{"},
        {QByteArray("{\"latitude\": \"1\",}"), "{\"latitude\": \"1\",}"},
        {QByteArray(), ""},
        {QByteArray("{\"lat\x00\": \"1\"}", 13), "{\"lat\\x00\": \"1\"}"},
        {QByteArray("\x00", 1), "\\x00"},
        {QByteArray("\xc3\x28"), "\\xc3("},
        {QByteArray("{\"latitude\": 1\n[GPSManager] forged"), "{\"latitude\": 1\\n[GPSManager] forged"},
    };
    for (const char *suffix : {"/info", "/status", "/data"})
        for (int i = 0; i < bad.size(); ++i)
            if (!bad[i].first.isEmpty() || QByteArray(suffix) != "/status") // an empty status clears it
                QTest::addRow("%s %d", suffix, i) << QString(suffix) << bad[i].first << bad[i].second;
}

void TestGPSManager::badPayloadsChangeNothing()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, payload);
    QFETCH(QString, logged);

    m_rig->fake.setPosition(1, 2, 3);
    QVERIFY(m_rig->telemetry.wait(5000));
    m_rig->clearSpies();
    LogCapture log;
    QVERIFY(m_rig->deliver(suffix, payload));
    QCOMPARE(statusText(m_rig->gps.status()), QString("3|2|0|"));
    QCOMPARE(telemetryText(m_rig->gps.telemetry()), QString("1|2|3|0|0|0|0|0|0"));
    QCOMPARE(m_rig->gps.info().model, QString("FG-25"));
    QCOMPARE(m_rig->info.count() + m_rig->status.count() + m_rig->telemetry.count(), 0);
    // The payload itself, quoted, not the parser's text; no class tag.
    QCOMPARE(log.texts(QtCriticalMsg), QStringList{"Failed to parse JSON message: " + logged});
}

void TestGPSManager::enableAndDisable()
{
    LogCapture log;
    QVERIFY(m_rig->gps.disable());
    WAIT_COMPARE(m_rig->gps.status().fix, 0);
    QVERIFY(!m_rig->fake.enabled());
    QVERIFY(m_rig->gps.enable());
    WAIT_COMPARE(m_rig->gps.status().fix, 3);
    QCOMPARE(m_rig->fake.requests("disable").first().payload, QByteArray());
    QCOMPARE(m_rig->fake.requests("enable").first().payload, QByteArray());
    // Our own requests do not come back as documents that fail to parse.
    QCOMPARE(log.texts(QtCriticalMsg), QStringList());

    m_rig->rig.mqtt.disconnect();
    QVERIFY(!m_rig->gps.enable());
    QVERIFY(!m_rig->gps.disable());
    QCOMPARE(log.texts(QtWarningMsg), QStringList());
}

QTEST_GUILESS_MAIN(TestGPSManager)
#include "tst_GPSManager.moc"
