#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "app/Config.h"
#include "camera/CameraManager.h"
#include "camera/Container.h"
#include "camera/Plate.h"
#include "fakes/DeferredProbe.h"
#include "fakes/EventLoopWait.h"
#include "fakes/FakeCamera.h"
#include "fakes/FreePort.h"
#include "fakes/LogCapture.h"
#include "fakes/MqttPeer.h"
#include "fakes/TestBroker.h"
#include "transport/MqttClient.h"

using Attributes = QMap<QString, QString>;
using Entries = QList<Attributes>;
Q_DECLARE_METATYPE(Entries)
Q_DECLARE_METATYPE(const ZIDReading *)

// Cameras of this test live on 127.76.y.x, y chosen per run.
static QString s_subnet;

static QString cameraHost(int n)
{
    return s_subnet + QString::number(n);
}

static QUrl cameraUrl(int n, quint16 port = 8000)
{
    return QUrl(QStringLiteral("https://vesk:tulp@%1:%2").arg(cameraHost(n)).arg(port));
}

static std::unique_ptr<ZIDCamera> makeCamera(const QString &type, int n)
{
    std::unique_ptr<ZIDCamera> camera;
    if (type.contains("alpr"))
        camera.reset(new Plate(cameraUrl(n)));
    else
        camera.reset(new Container(cameraUrl(n)));
    camera->setType(type);
    return camera;
}

// A camera's device data as its heartbeat leaves them, to see what a
// device-information document overwrites.
static const QByteArray heartbeat = R"({"pending":0,"SoftwareVersion":"hb-sw","BuildNumber":7,"Manufacturer":"hb-brand",
    "SerialNumber":"hb-serial","Model":"hb-model","FirmwareVersion":"hb-fw","Date":"2024-01-01T00:00:00","PID":"hb-pid"})";

// The seven fields a device-information document writes.
static QStringList deviceFields(const ZIDReading *r)
{
    return {r->firmwareVersion(), r->model(), r->serialNumber(), r->manufacturer(), r->pid(), r->softwareVersion(),
            r->date().isNull() ? QStringLiteral("<null>") : r->date().toString(Qt::ISODate)};
}

static const QStringList fakeDeviceFields{"10.4.2", "LO-420", "LO420-000172", "Lane Optics", "SoC-7",
                                          "0000-1F2E-3D4C", "2025-11-20T08:15:00"};

class tst_CameraServices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        s_subnet = FakeCamera::loopbackSubnet(76);
        qRegisterMetaType<const ZIDReading *>();
    }
    void deviceInformation_data();
    void deviceInformation();
    void deviceInformationDocument_data();
    void deviceInformationDocument();
    void deviceInformationFailure_data();
    void deviceInformationFailure();
    void requestBeforeTheFirstTrigger();
    void plateList_data();
    void plateList();
    void plateListFailure_data();
    void plateListFailure();
    void plateListCameraRemoved();
    void settingsUpload_data();
    void settingsUpload();
    void settingsUploadFailure_data();
    void settingsUploadFailure();
    void outsideTextIsQuotedInTheLog();
    void configurationTopicHook();
};

void tst_CameraServices::deviceInformation_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("challenge");

    QTest::newRow("plate camera") << "alpr1" << false;
    QTest::newRow("container camera, no application path") << "ccr2" << false;
    QTest::newRow("camera asking for the credentials") << "alpr2" << true;
}

void tst_CameraServices::deviceInformation()
{
    QFETCH(QString, type);
    QFETCH(bool, challenge);

    FakeCamera fake(QHostAddress(cameraHost(2)));
    if (challenge)
        fake.requireCredentials("vesk", "tulp");
    QVERIFY(fake.listen());
    auto camera = makeCamera(type, 2);

    camera->retrieveCameraInfo();
    WAIT_COMPARE(deviceFields(camera->initialCameraData()), fakeDeviceFields);

    const FakeCamera::Request request = fake.requests().last();
    QVERIFY(request.authorized);
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.path, QByteArray("/axis-cgi/basicdeviceinfo.cgi"));
    QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
    QCOMPARE(QJsonDocument::fromJson(request.body).object(),
             QJsonObject({{"apiVersion", "1.3"}, {"method", "getAllProperties"}}));
    // The result fields stay as they are.
    QVERIFY(camera->initialCameraData()->plate().isEmpty());
    QVERIFY(camera->initialCameraData()->type().isEmpty());
}

void tst_CameraServices::deviceInformationDocument_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QStringList>("fields");

    const QStringList empty{"", "", "", "", "", "", "<null>"};
    const QStringList heartbeatFields{"hb-fw", "hb-model", "hb-serial", "hb-brand", "hb-pid", "hb-sw",
                                      "2024-01-01T00:00:00"};

    QTest::newRow("every property") << FakeCamera::deviceInfoDocument(FakeCamera(QHostAddress()).deviceProperties())
                                    << fakeDeviceFields;
    QTest::newRow("without data") << QByteArray(R"({"apiVersion":"1.3"})") << empty;
    QTest::newRow("without propertyList") << QByteArray(R"({"apiVersion":"1.3","data":{}})") << empty;
    QTest::newRow("an error answer") << QByteArray(R"({"apiVersion":"1.3","error":{"code":2002}})") << empty;
    QTest::newRow("numbers read as text, a date that is no date")
        << QByteArray(R"({"data":{"propertyList":{"Version":10,"SerialNumber":4711,"BuildDate":"Nov 20 2025"}}})")
        << QStringList{"10", "", "4711", "", "", "", "<null>"};
    QTest::newRow("not JSON") << QByteArray("<html>busy</html>") << heartbeatFields;
    QTest::newRow("an array") << QByteArray(R"([{"data":{}}])") << heartbeatFields;
    QTest::newRow("empty") << QByteArray() << heartbeatFields;
}

void tst_CameraServices::deviceInformationDocument()
{
    QFETCH(QByteArray, document);
    QFETCH(QStringList, fields);

    Plate camera(cameraUrl(3));
    camera.setType("alpr1");
    camera.processHeartbeatMessage(heartbeat);

    camera.parseCameraInfo(document);
    QCOMPARE(deviceFields(camera.initialCameraData()), fields);
}

void tst_CameraServices::deviceInformationFailure_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("delay");

    QTest::newRow("error status") << true << 500 << 0;
    QTest::newRow("nothing listening") << false << 200 << 0;
    QTest::newRow("no answer in time") << true << 200 << -1;
}

void tst_CameraServices::deviceInformationFailure()
{
    QFETCH(bool, listening);
    QFETCH(int, status);
    QFETCH(int, delay);

    FakeCamera fake(QHostAddress(cameraHost(4)));
    fake.setAnswer("/axis-cgi/basicdeviceinfo.cgi", status, FakeCamera::deviceInfoDocument(fake.deviceProperties()),
                   delay);
    if (listening)
        QVERIFY(fake.listen());
    Plate camera(cameraUrl(4));
    camera.setType("alpr1");
    camera.processHeartbeatMessage(heartbeat);
    // Only the silent camera needs its time-out to run out.
    camera.setTimeout(delay < 0 ? 300 : 10000);

    LogCapture log;
    camera.retrieveCameraInfo();
    QVERIFY(waitUntil([&] { return log.contains(QtCriticalMsg, "[ZIDCamera] [alpr1] Error : "); }, 10000));
    QCOMPARE(log.contains(QtWarningMsg, "[ZIDCamera] [alpr1] WARN: Cannot get basicdeviceinfo. Timeout value : 300"),
             delay < 0);
    QCOMPARE(camera.initialCameraData()->serialNumber(), QString("hb-serial"));
}

// Requests made before any trigger have the configured time-out, not one of 0
// that would abort them before they are sent.
void tst_CameraServices::requestBeforeTheFirstTrigger()
{
    FakeCamera fake(QHostAddress(cameraHost(5)));
    fake.setAnswer("/axis-cgi/basicdeviceinfo.cgi", 200, FakeCamera::deviceInfoDocument(fake.deviceProperties()),
                   200);
    QVERIFY(fake.listen());

    QTemporaryDir dir;
    Config config(dir.filePath("gui.conf"), {{"cameras/alpr1", cameraUrl(5, FreePort::pick(QHostAddress::Any))},
                                             {"cameras/numberOfRetries", 3},
                                             {"cameras/triggerDelayMsec", 10},
                                             {"cameras/responseTimeoutMsec", 4000}});
    manager::MqttClient mqtt;
    manager::CameraManager manager(config, mqtt);
    ZIDCamera *camera = manager.camera("alpr1");
    QVERIFY(camera);
    QCOMPARE(camera->timeout(), 4000);

    LogCapture log;
    camera->retrieveCameraInfo();
    WAIT_COMPARE(camera->initialCameraData()->serialNumber(), QString("LO420-000172"));
    QVERIFY(!log.contains(QtWarningMsg, "Timeout value"));

    // A changed setting reaches the cameras before their next trigger.
    config.set("cameras/responseTimeoutMsec", 250);
    QCOMPARE(camera->timeout(), 250);
    fake.setAnswer("/axis-cgi/basicdeviceinfo.cgi", 200, "{}", -1);
    camera->retrieveCameraInfo();
    QVERIFY(waitUntil([&] {
        return log.contains(QtWarningMsg, "[ZIDCamera] [alpr1] WARN: Cannot get basicdeviceinfo. Timeout value : 250");
    }));

    // A camera made on its own starts with the setting's default.
    QCOMPARE(Plate(cameraUrl(6)).timeout(), 5000);
}

void tst_CameraServices::plateList_data()
{
    QTest::addColumn<bool>("triggered");            // the camera was triggered with "trg-77"
    QTest::addColumn<Attributes>("recognition");  // what the fake lists for that trigger
    QTest::addColumn<Entries>("listed");            // entries of earlier vehicles
    QTest::addColumn<QByteArray>("answer");         // a plate list of its own instead of the fake's
    QTest::addColumn<QStringList>("found");         // plate, id, country, blacklist, whitelist, make, model, colour, image id, date; empty: no match

    const QDateTime seen(QDate(2026, 3, 4), QTime(5, 6, 7));
    const QMap<QString, QString> recognised{{"plate_number", "ABC1234"}, {"id", "912"}, {"country", "GR"},
                                            {"blacklist", "0"}, {"whitelist", "1"}, {"vehicle_make", "Volvo"},
                                            {"vehicle_model", "FH16"}, {"vehicle_color", "white"},
                                            {"date", seen.toString(Qt::TextDate)}};
    const Entries earlier{{{"plate_number", "OLD0001"}, {"image_id", "trg-76"}, {"id", "911"}},
                          {{"plate_number", "OLD0002"}, {"image_id", "trg-77-b"}}};
    const QMap<QString, QString> none;

    QTest::newRow("match among earlier entries")
        << true << recognised << earlier << QByteArray()
        << QStringList{"ABC1234", "912", "GR", "0", "1", "Volvo", "FH16", "white", "trg-77", "2026-03-04T05:06:07"};
    QTest::newRow("no match") << true << none << earlier << QByteArray() << QStringList();
    QTest::newRow("empty list") << true << none << Entries() << QByteArray() << QStringList();
    QTest::newRow("broken XML before the entry")
        << true << none << Entries()
        << QByteArray(R"(<plates><plate image_id="trg-76"/><plate image_id="x" <plate image_id="trg-77" plate_number="ABC1234"/></plates>)")
        << QStringList();
    QTest::newRow("cut off after the entry")
        << true << none << Entries()
        << QByteArray(R"(<?xml version="1.0"?><plates><cam><plate image_id="trg-77" plate_number="XYZ9876" country="BG"/></cam><pla)")
        << QStringList{"XYZ9876", "", "BG", "", "", "", "", "", "trg-77", "<null>"};
    QTest::newRow("element names are case-sensitive")
        << true << none << Entries() << QByteArray(R"(<plates><Plate image_id="trg-77" plate_number="ABC1234"/></plates>)")
        << QStringList();
    QTest::newRow("not XML at all") << true << none << Entries() << QByteArray("{\"plates\":[]}") << QStringList();
    QTest::newRow("never triggered, entry without an image id")
        << false << none << Entries() << QByteArray(R"(<plates><plate plate_number="GHOST01"/></plates>)")
        << QStringList();
}

void tst_CameraServices::plateList()
{
    QFETCH(bool, triggered);
    QFETCH(Attributes, recognition);
    QFETCH(Entries, listed);
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, found);

    FakeCamera fake(QHostAddress(cameraHost(7)));
    for (const auto &entry : listed)
        fake.addPlateListEntry(entry);
    fake.setRecognition(recognition);
    if (!answer.isEmpty())
        fake.setAnswer("/local/Vaxreader/mempl.cgi", 200, answer);
    QVERIFY(fake.listen());
    Plate camera(cameraUrl(7));
    camera.setType("alpr1");
    // A pushed result and a heartbeat before: the list clears the one, not the other.
    camera.handleTCPMessage("/result", FakeCamera::plateResult("PREV111", "DE"));
    camera.processHeartbeatMessage(heartbeat);
    const ZIDReading *r = camera.initialCameraData();
    QCOMPARE(r->plate(), QString("PREV111"));

    if (triggered) {
        auto trigger = DeferredProbe(camera.startCameraProcess("trg-77", 3, 5000));
        QVERIFY(trigger.waitSettled());
        QVERIFY(trigger.resolved());
    }
    auto list = DeferredProbe(camera.requestDBTriggerData("http://" + cameraHost(7) + "/local/Vaxreader/"));
    QVERIFY(list.waitSettled());
    QVERIFY(list.resolved());
    const FakeCamera::Request request = fake.requests().last();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.path, QByteArray("/local/Vaxreader/mempl.cgi"));

    QSignalSpy announced(&camera, &ZIDCamera::retrieveTriggerDataSignal);
    LogCapture log;
    const bool matched = camera.parseCameraXMLData(list.value());

    QCOMPARE(matched, !found.isEmpty());
    if (matched) {
        QCOMPARE(announced.count(), 1);
        QCOMPARE(announced.first().at(0).toString(), QString("alpr1"));
        QCOMPARE(announced.first().at(1).value<const ZIDReading *>(), r);
        QCOMPARE((QStringList{r->plate(), r->id(), r->country(), r->blacklist(), r->whitelist(), r->vehicleMake(),
                              r->vehicleModel(), r->vehicleColor(), r->imageId(),
                              r->date().isNull() ? "<null>" : r->date().toString(Qt::ISODate)}),
                 found);
        QCOMPARE(r->ip(), cameraHost(7));
    } else {
        QCOMPARE(announced.count(), 0);
        QVERIFY(r->plate().isEmpty());
        QVERIFY(r->id().isEmpty());
        QVERIFY(r->country().isEmpty());
        QVERIFY(r->imageId().isEmpty());
        QVERIFY(r->blacklist().isEmpty());
        QVERIFY(r->date().isNull());
        QVERIFY(r->ip().isEmpty());
        QVERIFY(r->type().isEmpty());
        QVERIFY(r->containerCode().isEmpty());
        QCOMPARE(r->containerConfidence(), -1.0);
    }
    // Heartbeat data are no part of a plate.
    QCOMPARE(r->softwareVersion(), QString("hb-sw"));
    const bool broken = QByteArray(QTest::currentDataTag()).contains("XML");
    QCOMPARE(log.contains(QtWarningMsg, "[ZIDCamera] [alpr1] WARN: Plate list unreadable"), broken);
}

void tst_CameraServices::plateListFailure_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("delay");
    QTest::addColumn<QString>("base");

    const QString base = "http://" + cameraHost(8) + "/local/Vaxcontainer/";
    QTest::newRow("no such page") << true << 404 << 0 << base;
    QTest::newRow("error status") << true << 503 << 0 << base;
    QTest::newRow("nothing listening") << false << 200 << 0 << base;
    QTest::newRow("no answer in time") << true << 200 << -1 << base;
    QTest::newRow("base that is no URL") << true << 200 << 0 << QString("::not a url::/");
}

void tst_CameraServices::plateListFailure()
{
    QFETCH(bool, listening);
    QFETCH(int, status);
    QFETCH(int, delay);
    QFETCH(QString, base);

    FakeCamera fake(QHostAddress(cameraHost(8)));
    fake.setAnswer("/local/Vaxcontainer/mempl.cgi", status, "<plates/>", delay);
    if (listening)
        QVERIFY(fake.listen());
    Container camera(cameraUrl(8));
    camera.setType("ccr1");
    camera.setTimeout(delay < 0 ? 300 : 10000);

    LogCapture log;
    auto list = DeferredProbe(camera.requestDBTriggerData(base));
    QVERIFY(list.waitSettled(10000));
    QVERIFY(list.rejected());
    const QByteArray prefix = "[ccr1] DB Request error :";
    QVERIFY2(list.value().startsWith(prefix) && list.value().size() > prefix.size(), list.value().constData());
    QVERIFY(log.contains(QtCriticalMsg, "[ZIDCamera] [ccr1] Error : "));
    QCOMPARE(log.contains(QtWarningMsg, "[ZIDCamera] [ccr1] WARN: Cannot get plateInfo from DB. Timeout value : 300"),
             delay < 0);
    // One settlement only, and no word of a second one.
    QVERIFY(!log.contains(QtWarningMsg, "already processed"));
}

void tst_CameraServices::plateListCameraRemoved()
{
    FakeCamera fake(QHostAddress(cameraHost(9)));
    fake.setAnswer("/local/Vaxreader/mempl.cgi", 200, "<plates/>", -1);
    QVERIFY(fake.listen());
    auto *camera = new Plate(cameraUrl(9));
    camera->setType("alpr2");

    auto list = DeferredProbe(camera->requestDBTriggerData("http://" + cameraHost(9) + "/local/Vaxreader/"));
    QVERIFY(waitUntil([&] { return fake.requests().size() == 1; }));
    delete camera;
    QVERIFY(list.waitSettled());
    QVERIFY(list.rejected());
    QCOMPARE(list.value(), QByteArray("[alpr2] Camera removed"));
}

void tst_CameraServices::settingsUpload_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QByteArray>("path");

    QTest::newRow("plate camera") << "alpr2" << QByteArray("/local/Vaxreader/alpr.cgi");
    QTest::newRow("container camera") << "ccr1" << QByteArray("/local/Vaxcontainer/alpr.cgi");
}

void tst_CameraServices::settingsUpload()
{
    QFETCH(QString, type);
    QFETCH(QByteArray, path);

    QTemporaryDir dir;
    const QString file = dir.filePath("configuration.json");
    // Sent byte for byte: line ends and UTF-8 as they are in the file.
    const QByteArray settings = "{\r\n  \"zone\": \"\xce\x9b\xce\xb9\xce\xbc\xce\xac\xce\xbd\xce\xb9\",\r\n"
                                "  \"mode\": \"night\"\r\n}\r\n";
    {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(settings);
    }
    FakeCamera fake(QHostAddress(cameraHost(10)));
    QVERIFY(fake.listen());
    auto camera = makeCamera(type, 10);
    QCOMPARE(camera->configurationFile(), QString("/opt/vesk/vorn-terminal-ui/configuration.json"));
    camera->setConfigurationFile(file);

    camera->uploadCameraConfiguration();
    // The camera answers with its device information.
    WAIT_COMPARE(deviceFields(camera->initialCameraData()), fakeDeviceFields);

    QCOMPARE(fake.requests().size(), 1);
    const FakeCamera::Request request = fake.requests().first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.path, path);
    QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
    QCOMPARE(request.body, settings);
}

void tst_CameraServices::settingsUploadFailure_data()
{
    QTest::addColumn<QByteArray>("settings");  // empty: no file
    QTest::addColumn<int>("delay");
    QTest::addColumn<QString>("logged");

    QTest::newRow("missing file") << QByteArray() << 0 << "[ZIDCamera] [alpr1] Cannot open the file ";
    QTest::newRow("refused") << QByteArray("mode=night") << 0 << "[ZIDCamera] [alpr1] Error : ";
    QTest::newRow("no answer in time")
        << QByteArray("{}") << -1
        << "[ZIDCamera] [alpr1] WARN: Cannot update the settings of the camera. Timeout value : 300";
}

void tst_CameraServices::settingsUploadFailure()
{
    QFETCH(QByteArray, settings);
    QFETCH(int, delay);
    QFETCH(QString, logged);

    QTemporaryDir dir;
    const QString file = dir.filePath("configuration.json");
    if (!settings.isEmpty()) {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(settings);
    }
    FakeCamera fake(QHostAddress(cameraHost(11)));
    if (delay < 0)
        fake.setAnswer("/local/Vaxreader/alpr.cgi", 200, "{}", delay);
    QVERIFY(fake.listen());
    Plate camera(cameraUrl(11));
    camera.setType("alpr1");
    camera.setConfigurationFile(file);
    camera.setTimeout(delay < 0 ? 300 : 10000);

    LogCapture log;
    camera.uploadCameraConfiguration();
    QVERIFY(waitUntil([&] { return log.startingWith(logged).size() + log.count(QtCriticalMsg, logged) > 0; }, 10000));
    if (settings.isEmpty()) {
        QVERIFY(log.contains(QtWarningMsg, file));
        // Nothing went out: the next request is the camera's first.
        camera.setTimeout(10000);
        camera.retrieveCameraInfo();
        WAIT_COMPARE(camera.initialCameraData()->model(), QString("LO-420"));
        QCOMPARE(fake.requests().size(), 1);
        QCOMPARE(fake.requests().first().path, QByteArray("/axis-cgi/basicdeviceinfo.cgi"));
        return;
    }
    QVERIFY(waitUntil([&] { return log.contains(QtCriticalMsg, "[ZIDCamera] [alpr1] Error : "); }, 10000));
    QVERIFY(camera.initialCameraData()->model().isEmpty());
}

// Fields of the camera's documents reach the log escaped: a camera cannot
// forge a line of its own.
void tst_CameraServices::outsideTextIsQuotedInTheLog()
{
    FakeCamera fake(QHostAddress(cameraHost(13)));
    fake.setTriggerStatus(200);
    QVERIFY(fake.listen());
    Plate camera(cameraUrl(13));
    camera.setType("alpr1");
    auto trigger = DeferredProbe(camera.startCameraProcess("trg-1", 3, 5000));
    QVERIFY(trigger.waitSettled());

    LogCapture log;
    camera.parseCameraInfo(R"({"data":{"propertyList":{"Brand":"Lane\n[ZIDCamera] forged","SerialNumber":"\u0007"}}})");
    QVERIFY(camera.parseCameraXMLData(
        R"(<plates><plate image_id="trg-1" plate_number="AB&#10;[ZIDCamera] forged" country="G&#13;R"/></plates>)"));
    QCOMPARE(camera.initialCameraData()->plate(), QString("AB\n[ZIDCamera] forged"));
    for (const QString &line : log.texts()) {
        QVERIFY2(!line.contains('\n') && !line.contains('\r') && !line.contains(QChar(7)), qPrintable(line));
    }
    QVERIFY(log.contains(QtInfoMsg, "Manufacturer / Brand : Lane\\n[ZIDCamera] forged"));
    QVERIFY(log.contains(QtInfoMsg, "Plate : AB\\n[ZIDCamera] forged, Country : G\\rR"));
}

// The manager's configuration topic: it can be subscribed, and a document
// handed to it is applied as a change; nothing connects the session's
// messages to it.
void tst_CameraServices::configurationTopicHook()
{
    TestBroker broker;
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    QTemporaryDir dir;
    Config config(dir.filePath("gui.conf"), {{"cameras/alpr1", cameraUrl(12, FreePort::pick(QHostAddress::Any))},
                                             {"cameras/triggerDelayMsec", 10},
                                             {"cameras/responseTimeoutMsec", 4000}});
    manager::MqttClient mqtt;
    mqtt.setHostname(broker.host());
    mqtt.setPort(broker.port());
    mqtt.setClientId("camera-hook");
    QSignalSpy up(&mqtt, &manager::MqttClient::connected);
    mqtt.connect();
    QVERIFY(mqtt.isConnected() || up.wait(5000));
    manager::CameraManager manager(config, mqtt);

    LogCapture log;
    manager.subscribeToTopics();
    QVERIFY(log.contains(QtInfoMsg, "[CameraManager] subscribeToTopics"));
    QVERIFY(broker.waitForLog("ui/config (QoS 0)"));

    // A document on the topic reaches the session, not the manager.
    MqttPeer peer("camera-hook-peer");
    QVERIFY(peer.connectTo(broker));
    QSignalSpy received(&mqtt, &manager::MqttClient::received);
    QVERIFY(peer.publish("ui/config", QJsonObject{{"cameras/triggerDelayMsec", 20}}));
    QVERIFY(waitUntil([&] { return received.count() > 0; }));
    QCOMPARE(received.first().at(1).toByteArray(), QByteArray("ui/config"));
    QVERIFY(log.startingWith("[CameraManager] onConfigChanged").isEmpty());

    // Handed over, a document is a change map; a camera URL in it rebuilds the table.
    const QString url = cameraUrl(12, 8000).toString();
    manager.onMqttMessageReceived(R"({"cameras/alpr1":")" + url.toUtf8() + R"("})", "ui/config");
    QCOMPARE(log.startingWith("[CameraManager] onConfigChanged to map : ").size(), 1);
    QVERIFY(log.contains(QtWarningMsg, "[CameraManager] WARN: Configuration changed. Applying."));
    QVERIFY(!log.texts().join('\n').contains("tulp"));

    log.clear();
    manager.onMqttMessageReceived(R"({"cameras/alpr1":"x"})", "ui/config/more");
    manager.onMqttMessageReceived(R"({"cameras/alpr1":"x"})", "UI/config");
    QVERIFY(log.texts().isEmpty());
    manager.onMqttMessageReceived("[1,2]", "ui/config");
    manager.onMqttMessageReceived("{\"cameras/alpr1\":", "ui/config");
    QCOMPARE(log.count(QtWarningMsg, "[CameraManager] WARN: ui/config document is no JSON object : "), 2);
    QVERIFY(log.startingWith("[CameraManager] onConfigChanged").isEmpty());
}

QTEST_GUILESS_MAIN(tst_CameraServices)
#include "tst_CameraServices.moc"
