#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "fakes/DeferredProbe.h"
#include "fakes/EventLoopWait.h"
#include "camera/Container.h"
#include "camera/Plate.h"
#include "fakes/FakeCamera.h"
#include "fakes/FakeHttpServer.h"
#include "fakes/LogCapture.h"
#include "fakes/PeakMemory.h"
#include "fakes/WaitingPipe.h"

// Cameras of this test live on 127.72.y.x, y chosen per run.
static QString s_subnet;

static QString cameraHost(int n)
{
    return s_subnet + QString::number(n);
}

static QHostAddress cameraAddress(int n)
{
    return QHostAddress(cameraHost(n));
}

static QUrl cameraUrl(int n, const QString &userInfo = QStringLiteral("vesk:tulp"))
{
    return QUrl(QStringLiteral("https://%1@%2:8000/ignored/path").arg(userInfo, cameraHost(n)));
}

class tst_ZIDCamera : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { s_subnet = FakeCamera::loopbackSubnet(72); }
    void triggerRequest_data();
    void triggerRequest();
    void triggerFailure_data();
    void triggerFailure();
    void answersAuthenticationChallenge();
    void oversizedAnswerAborted_data();
    void oversizedAnswerAborted();
    void packedAnswerRefused_data();
    void packedAnswerRefused();
    void redirectNotFollowed_data();
    void redirectNotFollowed();
    void unusableSettingsFileNotSent_data();
    void unusableSettingsFileNotSent();
    void plateResult();
    void containerResult();
    void hugeValuesReachTheReadingNotTheLog();
    void missingKeysWriteEmptyValues();
    void badPush_data();
    void badPush();
    void heartbeat_data();
    void heartbeat();
    void resultKeepsItsOwnCopy();
    void waitTimesOut();
    void pushBeforeWaitIsNotLost();
    void overlappingCyclesKeepTheirOwnPushes();
    void overlappingCyclesPushedBeforeTheirWaits();
    void pushBeforeTriggerIsNotTaken();
    void onePushSettlesTwoWaits();
    void cameraRemovedWhileBusy();
    void cameraDeletedInItsOwnCallback_data();
    void cameraDeletedInItsOwnCallback();
};

void tst_ZIDCamera::triggerRequest_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QByteArray>("path");

    QTest::newRow("plate camera") << "alpr1" << "5b7d1c1e-0c1f-4b8e-9d3e-2a6f7c8d9e0f"
                                  << QByteArray("/local/Vaxreader/trigger.cgi");
    QTest::newRow("container camera") << "ccr2" << "42" << QByteArray("/local/Vaxcontainer/trigger.cgi");
    QTest::newRow("id needing escapes") << "alpr2" << "a b&c=d" << QByteArray("/local/Vaxreader/trigger.cgi");
}

void tst_ZIDCamera::triggerRequest()
{
    QFETCH(QString, type);
    QFETCH(QString, id);
    QFETCH(QByteArray, path);

    FakeCamera fake(cameraAddress(2));
    QVERIFY(fake.listen());
    Plate camera(cameraUrl(2));
    camera.setType(type);

    auto outcome = DeferredProbe(camera.startCameraProcess(id, 3, 5000));
    QTRY_VERIFY(outcome.settled());
    QVERIFY(outcome.resolved());
    QCOMPARE(outcome.value(), QString());

    QCOMPARE(fake.requests().size(), 1);
    const FakeCamera::Request request = fake.requests().first();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.path, path);
    QCOMPARE(request.query.queryItems(QUrl::FullyDecoded),
             (QList<QPair<QString, QString>>{{QStringLiteral("id"), id}}));
    QCOMPARE(request.headers.value("connection").toLower(), QByteArray("close"));
    // Default HTTP port, whatever the configured URL says.
    QCOMPARE(request.headers.value("host"), cameraAddress(2).toString().toLatin1());
}

void tst_ZIDCamera::triggerFailure_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("delay");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("userInfo");

    QTest::newRow("refused with an HTTP error") << 500 << 0 << true << "vesk:tulp";
    QTest::newRow("nothing listening") << 200 << 0 << false << "vesk:tulp";
    QTest::newRow("answer later than the time-out") << 200 << -1 << true << "vesk:tulp";
    QTest::newRow("wrong credentials") << 200 << 0 << true << "vesk:wrong";
    QTest::newRow("answered with a redirect") << 302 << 0 << true << "vesk:tulp";
    QTest::newRow("answered not modified") << 304 << 0 << true << "vesk:tulp";
}

void tst_ZIDCamera::triggerFailure()
{
    QFETCH(int, status);
    QFETCH(int, delay);
    QFETCH(bool, listening);
    QFETCH(QString, userInfo);

    FakeCamera fake(cameraAddress(3));
    fake.setTriggerStatus(status);
    fake.setTriggerDelay(delay);
    fake.requireCredentials("vesk", "tulp");
    if (listening)
        QVERIFY(fake.listen());
    Plate camera(cameraUrl(3, userInfo));
    camera.setType("alpr1");

    // Only the silent camera needs the time-out to run out; the others get
    // time to answer on a loaded machine, so each row fails its own way.
    const int timeout = delay < 0 ? 300 : 5000;
    if (delay < 0)
        QTest::ignoreMessage(QtWarningMsg, "[ZIDCamera] [alpr1] WARN: Cannot send trigger signal. Timeout value : 300");
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^\\[ZIDCamera\\] \\[alpr1\\] Error : .+"));
    auto outcome = DeferredProbe(camera.startCameraProcess("7", 3, timeout));
    QTRY_VERIFY_WITH_TIMEOUT(outcome.settled(), 10000);
    QVERIFY(outcome.rejected());
    QVERIFY2(outcome.value().startsWith("[alpr1] Trigger HTTP error :"), qPrintable(outcome.value()));
    QVERIFY(outcome.value().size() > int(strlen("[alpr1] Trigger HTTP error :")));
}

void tst_ZIDCamera::answersAuthenticationChallenge()
{
    FakeCamera fake(cameraAddress(4));
    fake.requireCredentials("op erator", "p@ss:w/rd");
    QVERIFY(fake.listen());
    Container camera(cameraUrl(4, "op%20erator:p%40ss%3Aw%2Frd"));
    camera.setType("ccr1");

    auto outcome = DeferredProbe(camera.startCameraProcess("9", 3, 5000));
    QTRY_VERIFY(outcome.settled());
    QVERIFY(outcome.resolved());
    QCOMPARE(fake.requests().size(), 2);
    QVERIFY(!fake.requests().at(0).authorized);
    QVERIFY(fake.requests().at(1).authorized);
    QCOMPARE(fake.requests().at(1).query.queryItemValue("id"), QString("9"));
}

void tst_ZIDCamera::oversizedAnswerAborted_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<FakeHttpResponse>("answer");
    QTest::addColumn<bool>("refused");

    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n";
    // 4 MB without a length, in pieces: it would take seconds to arrive whole.
    const QByteArray stream = head + "\r\n" + QByteArray(4 * 1024 * 1024, 'x');
    const QByteArray big(ZIDCamera::MaxReplySize + 1, 'x');

    QTest::newRow("trigger, body within the bound")
        << "trigger" << FakeHttpResponse::text(200, QByteArray(64 * 1024, 'x')) << false;
    QTest::newRow("trigger, size announced") << "trigger" << FakeHttpResponse::text(200, big) << true;
    QTest::newRow("trigger, endless body")
        << "trigger" << FakeHttpResponse::partial(stream).inPieces(64 * 1024, 50) << true;
    QTest::newRow("plate list, size announced") << "plates" << FakeHttpResponse::text(200, big, "text/xml") << true;
    QTest::newRow("plate list, endless body")
        << "plates" << FakeHttpResponse::partial(stream).inPieces(64 * 1024, 50) << true;
    QTest::newRow("device information, endless body")
        << "info" << FakeHttpResponse::partial(stream).inPieces(64 * 1024, 50) << true;
}

// A camera's answer is taken up to a small bound: beyond it the request is aborted at once,
// long before its time-out, and fails.
void tst_ZIDCamera::oversizedAnswerAborted()
{
    QFETCH(QString, request);
    QFETCH(FakeHttpResponse, answer);
    QFETCH(bool, refused);

    FakeHttpServer server;
    server.setDefaultResponse(answer);
    QVERIFY(server.start(cameraAddress(18), 80));
    Plate camera(cameraUrl(18));
    camera.setType("alpr1");
    camera.setTimeout(120000);

    LogCapture log;
    const QString tooLarge = QStringLiteral("[ZIDCamera] [alpr1] ERROR: Answer larger than %1 bytes. Aborting.")
                                 .arg(ZIDCamera::MaxReplySize);
    if (request == "trigger") {
        auto outcome = DeferredProbe(camera.startCameraProcess("7", 3, 120000));
        QTRY_VERIFY_WITH_TIMEOUT(outcome.settled(), 30000);
        QCOMPARE(outcome.rejected(), refused);
        if (refused)
            QVERIFY2(outcome.value().startsWith("[alpr1] Trigger HTTP error :"), qPrintable(outcome.value()));
    } else if (request == "plates") {
        auto outcome = DeferredProbe(camera.requestDBTriggerData("http://" + cameraHost(18) + "/local/Vaxreader/"));
        QTRY_VERIFY_WITH_TIMEOUT(outcome.settled(), 30000);
        QVERIFY(outcome.rejected());
        QVERIFY(outcome.value().size() < 1024);
    } else {
        camera.retrieveCameraInfo();
        QVERIFY(waitUntil([&] { return log.contains(QtCriticalMsg, "[ZIDCamera] [alpr1] Error : "); }, 30000));
        QCOMPARE(camera.initialCameraData()->serialNumber(), QString());
    }
    QCOMPARE(log.count(QtCriticalMsg, tooLarge), refused ? 1 : 0);
    QVERIFY(!log.contains(QtWarningMsg, "Timeout value"));
    // A body without end: the connection is dropped, and the camera stops sending.
    if (answer.kind == FakeHttpResponse::Kind::Partial)
        QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), 0, 15000);
}

void tst_ZIDCamera::packedAnswerRefused_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QByteArray>("method");
    QTest::newRow("trigger") << "trigger" << QByteArray("GET");
    QTest::newRow("plate list") << "plates" << QByteArray("GET");
    QTest::newRow("device information") << "info" << QByteArray("POST");
    QTest::newRow("settings upload") << "settings" << QByteArray("POST");
}

// Every request asks for the answer as it is. A camera that packs it all the same, a gigabyte
// in a megabyte, is refused before a byte of it is unpacked: the terminal's memory stays as it
// was, the trigger that runs for every truck included.
void tst_ZIDCamera::packedAnswerRefused()
{
    QFETCH(QString, request);
    QFETCH(QByteArray, method);

    FakeHttpServer server;
    server.setDefaultResponse(FakeHttpResponse::packed("gzip", qint64(1) << 30));
    QVERIFY(server.start(cameraAddress(19), 80));
    Plate camera(cameraUrl(19));
    camera.setType("alpr1");
    camera.setTimeout(30000);
    QTemporaryDir dir;
    const QString settings = dir.filePath("configuration.json");
    {
        QFile file(settings);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("{}") == 2);
    }
    camera.setConfigurationFile(settings);

    LogCapture log;
    const QString refusal = QStringLiteral("Answer refused (Content-Encoding 'gzip')");
    PeakMemory peak;
    QVERIFY(peak.isValid());
    DeferredProbe<QString> trigger;
    DeferredProbe<QByteArray> plates;
    if (request == "trigger")
        trigger = DeferredProbe<QString>(camera.startCameraProcess("7", 3, 30000));
    else if (request == "plates")
        plates = DeferredProbe<QByteArray>(camera.requestDBTriggerData("http://" + cameraHost(19) + "/local/Vaxreader/"));
    else if (request == "info")
        camera.retrieveCameraInfo();
    else
        camera.uploadCameraConfiguration();
    QVERIFY(waitUntil([&] { return log.contains(QtCriticalMsg, "[ZIDCamera] [alpr1] Error : "); }, 30000));
    QVERIFY2(peak.growth() < 32 * 1024 * 1024, qPrintable(QString::number(peak.growth())));

    QVERIFY(log.contains(QtCriticalMsg, "[ZIDCamera] [alpr1] Error : " + refusal));
    if (request == "trigger") {
        QVERIFY(trigger.waitSettled());
        QVERIFY(trigger.rejected());
        QCOMPARE(trigger.value(), "[alpr1] Trigger HTTP error :" + refusal);
    } else if (request == "plates") {
        QVERIFY(plates.waitSettled());
        QVERIFY(plates.rejected());
        QCOMPARE(plates.value(), ("[alpr1] DB Request error :" + refusal).toUtf8());
    } else {
        QCOMPARE(camera.initialCameraData()->serialNumber(), QString());
    }
    QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[ZIDCamera] [alpr1] ERROR: %1. Aborting.").arg(refusal)), 1);
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(server.lastRequest().method, QString::fromLatin1(method));
    QCOMPARE(server.lastRequest().header("Accept-Encoding"), QByteArray("identity"));
}

void tst_ZIDCamera::redirectNotFollowed_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<int>("status");
    QTest::newRow("trigger, 302") << "trigger" << 302;
    QTest::newRow("plate list, 301") << "plates" << 301;
    QTest::newRow("device information, 307") << "info" << 307;
    QTest::newRow("settings upload, 308") << "settings" << 308;
}

// A camera answers for itself: its requests, their credentials and the settings they carry never
// follow a redirect elsewhere, whatever the network layer would do by default. Nor does an answer
// that sends the request elsewhere pass for the camera's own: a trigger is not taken as accepted.
void tst_ZIDCamera::redirectNotFollowed()
{
    QFETCH(QString, request);
    QFETCH(int, status);

    FakeHttpServer elsewhere;
    elsewhere.setDefaultResponse(FakeHttpResponse::text(200, "OK"));
    QVERIFY(elsewhere.start());
    FakeHttpServer server;
    server.setDefaultResponse(FakeHttpResponse::redirect(status, elsewhere.url("/taken").toString()));
    QVERIFY(server.start(cameraAddress(20), 80));
    Plate camera(cameraUrl(20));
    camera.setType("alpr1");
    QTemporaryDir dir;
    const QString settings = dir.filePath("configuration.json");
    {
        QFile file(settings);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(R"({"zone":"lane 4"})") > 0);
    }
    camera.setConfigurationFile(settings);

    LogCapture log;
    const QString refusal = QStringLiteral("Redirect not followed (status %1)").arg(status);
    if (request == "trigger") {
        auto outcome = DeferredProbe(camera.startCameraProcess("7", 3, 5000));
        QVERIFY(outcome.waitSettled(10000));
        QVERIFY(outcome.rejected());
        QCOMPARE(outcome.value(), "[alpr1] Trigger HTTP error :" + refusal);
    } else if (request == "plates") {
        auto outcome = DeferredProbe(camera.requestDBTriggerData("http://" + cameraHost(20) + "/local/Vaxreader/"));
        QVERIFY(outcome.waitSettled(10000));
        QVERIFY(outcome.rejected());
        QCOMPARE(outcome.value(), ("[alpr1] DB Request error :" + refusal).toUtf8());
    } else {
        if (request == "info")
            camera.retrieveCameraInfo();
        else
            camera.uploadCameraConfiguration();
        QVERIFY(waitUntil([&] { return log.contains(QtCriticalMsg, "[ZIDCamera] [alpr1] Error : "); }, 10000));
        QVERIFY(!log.contains(QtWarningMsg, "[ZIDCamera] [alpr1] WARN: Device information is no JSON"));
    }
    QVERIFY2(log.contains(QtCriticalMsg, "[ZIDCamera] [alpr1] Error : " + refusal), qPrintable(log.texts().join('\n')));
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(elsewhere.acceptedConnections(), 0);
}

void tst_ZIDCamera::unusableSettingsFileNotSent_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("why");
    QTest::newRow("a pipe") << "pipe" << "not a regular file";
    QTest::newRow("larger than the bound") << "large" << "larger than 1048576 bytes";
}

// The camera's settings go from a file only when it is a regular file of a size such a file has:
// a pipe would hold the thread in open(), a device would be read without end. Nothing is sent.
void tst_ZIDCamera::unusableSettingsFileNotSent()
{
    QFETCH(QString, kind);
    QFETCH(QString, why);

    FakeHttpServer server;
    server.setDefaultResponse(FakeHttpResponse::json(200, QJsonObject{}));
    QVERIFY(server.start(cameraAddress(21), 80));
    Plate camera(cameraUrl(21));
    camera.setType("alpr1");
    QTemporaryDir dir;
    const QString settings = dir.filePath("configuration.json");
    std::unique_ptr<WaitingPipe> pipe;
    if (kind == "pipe") {
        pipe = std::make_unique<WaitingPipe>(settings);
        QVERIFY(pipe->isValid());
    } else {
        QFile file(settings);
        const QByteArray bytes = "{}" + QByteArray(Plate::MaxReplySize, ' ');
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    camera.setConfigurationFile(settings);

    LogCapture log;
    camera.uploadCameraConfiguration();
    const QString warning = QStringLiteral("[ZIDCamera] [alpr1] Cannot open the file %1 : %2").arg(settings, why);
    // No request was made: none is under way, none arrived.
    QVERIFY(camera.findChildren<QNetworkReply *>().isEmpty());
    QCOMPARE(server.requestCount(), 0);
    QVERIFY2(log.contains(QtWarningMsg, warning), qPrintable(log.texts().join('\n')));
}

void tst_ZIDCamera::plateResult()
{
    Plate camera(cameraUrl(5));
    camera.setType("alpr2");
    QSignalSpy finished(&camera, &ZIDCamera::processDataFinished);
    camera.handleTCPMessage("/push", R"({"plate":"ABC1234","country":"GR","confidence":91.5,"direction":1,
        "directionstr":"approaching","id":"17","imageid":"img-17","blacklist":"0","whitelist":"1",
        "utcdate":"2026-03-04T05:06:07.250Z","code":"IGNORED"})");

    QCOMPARE(finished.count(), 1);
    const auto result = finished.first().first().value<ZIDCamera::Result>();
    QVERIFY(result.error.isEmpty());
    QVERIFY(result.data);
    const ZIDReading &r = *result.data;
    QCOMPARE(r.plate(), QString("ABC1234"));
    QCOMPARE(r.country(), QString("GR"));
    QCOMPARE(r.confidence(), 91.5);
    QCOMPARE(r.direction(), 1);
    QCOMPARE(r.directionStr(), QString("approaching"));
    QCOMPARE(r.id(), QString("17"));
    QCOMPARE(r.imageId(), QString("img-17"));
    QCOMPARE(r.blacklist(), QString("0"));
    QCOMPARE(r.whitelist(), QString("1"));
    QCOMPARE(r.utcDate(), QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 250), Qt::UTC));
    QCOMPARE(r.ip(), cameraHost(5));
    QCOMPARE(r.type(), QString("alpr2"));
    QVERIFY(r.containerCode().isEmpty());
    // The camera's own reading holds the same.
    QCOMPARE(camera.initialCameraData()->plate(), QString("ABC1234"));
}

// A camera's 1 MB plate is its business; the log shows a bounded part of it.
void tst_ZIDCamera::hugeValuesReachTheReadingNotTheLog()
{
    const QString plate(1024 * 1024, QChar('P'));
    const QString code(1024 * 1024, QChar('C'));
    LogCapture log;
    Plate plateCamera(cameraUrl(5));
    plateCamera.setType("alpr1");
    QSignalSpy plateDone(&plateCamera, &ZIDCamera::processDataFinished);
    plateCamera.handleTCPMessage("/push", FakeCamera::plateResult(plate, plate));
    Container containerCamera(cameraUrl(6));
    containerCamera.setType("ccr1");
    QSignalSpy containerDone(&containerCamera, &ZIDCamera::processDataFinished);
    containerCamera.handleTCPMessage("/push", FakeCamera::containerResult(code));

    QCOMPARE(plateDone.count(), 1);
    QCOMPARE(plateDone.first().first().value<ZIDCamera::Result>().data->plate(), plate);
    QCOMPARE(containerDone.first().first().value<ZIDCamera::Result>().data->containerCode(), code);
    const QStringList lines = log.texts();
    for (const QString &line : lines)
        QVERIFY2(line.size() < 4000, qPrintable(line.left(120)));
    QVERIFY(log.contains(QtInfoMsg, "Plate : " + plate.left(512) + "[... 1048576 bytes in all], Country : "));
    QVERIFY(log.contains(QtInfoMsg, "Code : " + code.left(512) + "[... 1048576 bytes in all], Date : "));
}

void tst_ZIDCamera::containerResult()
{
    Container camera(cameraUrl(6));
    camera.setType("ccr1");
    QSignalSpy finished(&camera, &ZIDCamera::processDataFinished);
    camera.handleTCPMessage("/", R"({"code":"MSCU1234565","date":"2026-03-04T05:06:07Z","confidence":"88.25",
        "processingtime":"120","sizecode":"22G1","plate":"IGNORED"})");

    QCOMPARE(finished.count(), 1);
    const auto result = finished.first().first().value<ZIDCamera::Result>();
    QVERIFY(result.data);
    const ZIDReading &r = *result.data;
    QCOMPARE(r.containerCode(), QString("MSCU1234565"));
    QCOMPARE(r.containerDate(), QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7), Qt::UTC));
    // Numbers sent as text read as numbers.
    QCOMPARE(r.containerConfidence(), 88.25);
    QCOMPARE(r.containerProcessingTime(), 120);
    QCOMPARE(r.containerSizeCode(), QString("22G1"));
    QCOMPARE(r.ip(), cameraHost(6));
    QCOMPARE(r.type(), QString("ccr1"));
    QVERIFY(r.plate().isEmpty());
}

void tst_ZIDCamera::missingKeysWriteEmptyValues()
{
    Plate camera(cameraUrl(7));
    camera.setType("alpr1");
    camera.handleTCPMessage("/", FakeCamera::plateResult("ABC1234"));
    QSignalSpy finished(&camera, &ZIDCamera::processDataFinished);
    camera.handleTCPMessage("/", "{}");

    QCOMPARE(finished.count(), 1);
    const auto result = finished.first().first().value<ZIDCamera::Result>();
    QVERIFY(result.error.isEmpty());
    QVERIFY(result.data);
    QCOMPARE(result.data->plate(), QString(""));
    QCOMPARE(result.data->country(), QString(""));
    QCOMPARE(result.data->confidence(), 0.0);
    QCOMPARE(result.data->direction(), 0);
    QVERIFY(result.data->utcDate().isNull());
    QCOMPARE(result.data->type(), QString("alpr1"));
}

void tst_ZIDCamera::badPush_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("not JSON") << "/" << QByteArray("plate=XYZ999");
    QTest::newRow("array") << "/" << QByteArray(R"([{"plate":"XYZ999"}])");
    QTest::newRow("scalar") << "/" << QByteArray("\"XYZ999\"");
    QTest::newRow("empty") << "/" << QByteArray();
    QTest::newRow("cut short") << "/" << FakeCamera::plateResult("XYZ999").left(20);
    QTest::newRow("binary") << "/" << QByteArray("\x00\xff{\"plate\":\"XYZ999\"}", 20);
    QTest::newRow("upper-case heartbeat path is a result") << "/HEARTBEAT" << QByteArray("nope");
}

void tst_ZIDCamera::badPush()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, body);

    Plate camera(cameraUrl(8));
    camera.setType("alpr1");
    camera.handleTCPMessage("/", FakeCamera::plateResult("ABC1234"));
    QSignalSpy plateChanged(camera.initialCameraData(), &ZIDReading::plateChanged);
    QSignalSpy finished(&camera, &ZIDCamera::processDataFinished);

    camera.handleTCPMessage(path, body);

    QCOMPARE(finished.count(), 1);
    const auto result = finished.first().first().value<ZIDCamera::Result>();
    QCOMPARE(result.error, QString("Parse Error"));
    QVERIFY(!result.data);
    QCOMPARE(plateChanged.count(), 0);
    QCOMPARE(camera.initialCameraData()->plate(), QString("ABC1234"));
}

void tst_ZIDCamera::heartbeat_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("written");

    QTest::newRow("plate camera") << "alpr1" << "/heartbeat" << true;
    QTest::newRow("word inside the path") << "alpr2" << "/cam/heartbeat?x=1" << true;
    QTest::newRow("container camera ignores it") << "ccr1" << "/heartbeat" << false;
}

void tst_ZIDCamera::heartbeat()
{
    QFETCH(QString, type);
    QFETCH(QString, path);
    QFETCH(bool, written);

    std::unique_ptr<ZIDCamera> camera;
    if (type.contains("alpr"))
        camera.reset(new Plate(cameraUrl(9)));
    else
        camera.reset(new Container(cameraUrl(9)));
    camera->setType(type);
    QSignalSpy finished(camera.get(), &ZIDCamera::processDataFinished);

    camera->handleTCPMessage(path, R"({"pending":2,"SoftwareVersion":"4.2","BuildNumber":"311",
        "Manufacturer":"Lane","SerialNumber":"SN-1","Model":"M7","FirmwareVersion":"1.0.9",
        "Date":"2026-02-01T10:00:00Z","PID":"p-5","plate":"NOT-A-RESULT","code":"NOT-A-RESULT"})");

    QCOMPARE(finished.count(), 0);
    const ZIDReading *r = camera->initialCameraData();
    QVERIFY(r->plate().isEmpty());
    QVERIFY(r->containerCode().isEmpty());
    if (!written) {
        QCOMPARE(r->pending(), -1);
        QVERIFY(r->softwareVersion().isEmpty());
        return;
    }
    QCOMPARE(r->pending(), 2);
    QCOMPARE(r->softwareVersion(), QString("4.2"));
    QCOMPARE(r->buildNumber(), 311);
    QCOMPARE(r->manufacturer(), QString("Lane"));
    QCOMPARE(r->serialNumber(), QString("SN-1"));
    QCOMPARE(r->model(), QString("M7"));
    QCOMPARE(r->firmwareVersion(), QString("1.0.9"));
    QCOMPARE(r->date(), QDateTime(QDate(2026, 2, 1), QTime(10, 0), Qt::UTC));
    QCOMPARE(r->pid(), QString("p-5"));

    // A heartbeat that is no JSON object changes nothing.
    camera->handleTCPMessage(path, "[1,2]");
    QCOMPARE(r->softwareVersion(), QString("4.2"));
}

void tst_ZIDCamera::resultKeepsItsOwnCopy()
{
    Plate camera(cameraUrl(10));
    camera.setType("alpr1");
    auto first = DeferredProbe(camera.waitTCPDataMessage(5000));
    camera.handleTCPMessage("/", FakeCamera::plateResult("FIRST11"));
    QVERIFY(first.resolved());

    camera.handleTCPMessage("/", FakeCamera::plateResult("SECOND2"));
    QCOMPARE(camera.initialCameraData()->plate(), QString("SECOND2"));
    QCOMPARE(first.value().data->plate(), QString("FIRST11"));
}

void tst_ZIDCamera::waitTimesOut()
{
    Plate camera(cameraUrl(11));
    camera.setType("alpr2");
    QTest::ignoreMessage(QtInfoMsg, "[ZIDCamera] [alpr2] Timeout");
    auto outcome = DeferredProbe(camera.waitTCPDataMessage(100));
    QTRY_VERIFY(outcome.settled());
    QVERIFY(outcome.rejected());
    QCOMPARE(outcome.value().error, QString("[alpr2] Timeout"));
    QVERIFY(!outcome.value().data);

    // A push after the time-out settles nothing more.
    camera.handleTCPMessage("/", FakeCamera::plateResult("LATE123"));
    QCOMPARE(outcome.settlements(), 1);
}

// A fast camera may push before the answer to its trigger has been handled.
void tst_ZIDCamera::pushBeforeWaitIsNotLost()
{
    FakeCamera fake(cameraAddress(12));
    QVERIFY(fake.listen());
    Plate camera(cameraUrl(12));
    camera.setType("alpr1");

    auto trigger = DeferredProbe(camera.startCameraProcess("1", 3, 5000));
    camera.handleTCPMessage("/", FakeCamera::plateResult("EARLY12"));
    QTRY_VERIFY(trigger.resolved());

    auto wait = DeferredProbe(camera.waitTCPDataMessage(5000));
    QVERIFY(wait.resolved());
    QCOMPARE(wait.value().data->plate(), QString("EARLY12"));

    // Taken once: another wait waits for a push of its own.
    auto again = DeferredProbe(camera.waitTCPDataMessage(5000));
    QVERIFY(!again.settled());
}

// The previous vehicle's push answers the previous wait only, even when it comes after the
// next trigger went out.
void tst_ZIDCamera::overlappingCyclesKeepTheirOwnPushes()
{
    FakeCamera fake(cameraAddress(16));
    QVERIFY(fake.listen());
    Plate camera(cameraUrl(16));
    camera.setType("alpr1");

    auto firstTrigger = DeferredProbe(camera.startCameraProcess("1", 3, 5000));
    QTRY_VERIFY(firstTrigger.resolved());
    auto firstWait = DeferredProbe(camera.waitTCPDataMessage(5000));

    auto secondTrigger = DeferredProbe(camera.startCameraProcess("2", 3, 5000));
    camera.handleTCPMessage("/", FakeCamera::plateResult("FIRST16"));
    QVERIFY(firstWait.resolved());
    QCOMPARE(firstWait.value().data->plate(), QString("FIRST16"));
    QTRY_VERIFY(secondTrigger.resolved());

    auto secondWait = DeferredProbe(camera.waitTCPDataMessage(5000));
    QVERIFY(!secondWait.settled());
    camera.handleTCPMessage("/", FakeCamera::plateResult("SECOND6"));
    QVERIFY(secondWait.resolved());
    QCOMPARE(secondWait.value().data->plate(), QString("SECOND6"));
}

// Two cycles whose triggers went out together: both pushes come before either
// wait starts, and each wait gets one, in the order they came.
void tst_ZIDCamera::overlappingCyclesPushedBeforeTheirWaits()
{
    FakeCamera fake(cameraAddress(17));
    QVERIFY(fake.listen());
    Plate camera(cameraUrl(17));
    camera.setType("alpr1");

    auto firstTrigger = DeferredProbe(camera.startCameraProcess("1", 3, 5000));
    auto secondTrigger = DeferredProbe(camera.startCameraProcess("2", 3, 5000));
    camera.handleTCPMessage("/", FakeCamera::plateResult("FIRST17"));
    camera.handleTCPMessage("/", FakeCamera::plateResult("SECOND7"));
    QTRY_VERIFY(firstTrigger.resolved() && secondTrigger.resolved());

    auto firstWait = DeferredProbe(camera.waitTCPDataMessage(5000));
    auto secondWait = DeferredProbe(camera.waitTCPDataMessage(5000));
    QVERIFY(firstWait.resolved());
    QCOMPARE(firstWait.value().data->plate(), QString("FIRST17"));
    QVERIFY(secondWait.resolved());
    QCOMPARE(secondWait.value().data->plate(), QString("SECOND7"));

    // A camera pushing on its own leaves a few at most for later waits.
    for (int i = 0; i < 20; ++i)
        camera.handleTCPMessage("/", FakeCamera::plateResult(QStringLiteral("OWN%1").arg(i)));
    int kept = 0;
    for (;;) {
        auto wait = DeferredProbe(camera.waitTCPDataMessage(5000));
        if (!wait.settled())
            break;
        ++kept;
        QCOMPARE(wait.value().data->plate(), QStringLiteral("OWN%1").arg(20 - 4 + kept - 1));
    }
    QCOMPARE(kept, 4);
}

void tst_ZIDCamera::pushBeforeTriggerIsNotTaken()
{
    FakeCamera fake(cameraAddress(13));
    QVERIFY(fake.listen());
    Plate camera(cameraUrl(13));
    camera.setType("alpr1");

    camera.handleTCPMessage("/", FakeCamera::plateResult("STALE13"));
    auto trigger = DeferredProbe(camera.startCameraProcess("2", 3, 5000));
    QTRY_VERIFY(trigger.resolved());

    auto wait = DeferredProbe(camera.waitTCPDataMessage(5000));
    QVERIFY(!wait.settled());
    camera.handleTCPMessage("/", FakeCamera::plateResult("FRESH13"));
    QVERIFY(wait.resolved());
    QCOMPARE(wait.value().data->plate(), QString("FRESH13"));
}

void tst_ZIDCamera::onePushSettlesTwoWaits()
{
    Container camera(cameraUrl(14));
    camera.setType("ccr2");
    auto a = DeferredProbe(camera.waitTCPDataMessage(5000));
    auto b = DeferredProbe(camera.waitTCPDataMessage(5000));
    camera.handleTCPMessage("/", "not json");
    QVERIFY(a.rejected());
    QVERIFY(b.rejected());
    QCOMPARE(a.value().error, QString("Parse Error"));
    QCOMPARE(b.value().error, QString("Parse Error"));
    QCOMPARE(a.settlements() + b.settlements(), 2);
}

void tst_ZIDCamera::cameraRemovedWhileBusy()
{
    FakeCamera fake(cameraAddress(15));
    fake.setTriggerDelay(-1);
    QVERIFY(fake.listen());
    auto *camera = new Plate(cameraUrl(15));
    camera->setType("alpr1");

    auto trigger = DeferredProbe(camera->startCameraProcess("3", 3, 60000));
    auto wait = DeferredProbe(camera->waitTCPDataMessage(60000));
    QTRY_COMPARE(fake.requests().size(), 1);
    delete camera;

    QTRY_VERIFY(trigger.settled() && wait.settled());
    QVERIFY(trigger.rejected());
    QVERIFY(wait.rejected());
    QCOMPARE(wait.value().error, QString("[alpr1] Camera removed"));
    QCOMPARE(trigger.value(), QString("[alpr1] Camera removed"));
}

void tst_ZIDCamera::cameraDeletedInItsOwnCallback_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("delay");

    QTest::newRow("trigger accepted") << "trigger" << 200 << 0;
    QTest::newRow("trigger refused") << "trigger" << 500 << 0;
    QTest::newRow("trigger not answered in time") << "trigger" << 200 << -1;
    QTest::newRow("plate list") << "plate list" << 200 << 0;
    QTest::newRow("plate list refused") << "plate list" << 404 << 0;
    QTest::newRow("push answering a wait") << "push" << 200 << 0;
    QTest::newRow("push that does not parse") << "bad push" << 200 << 0;
}

// An owner may drop a camera as soon as it has its answer, inside the callback.
void tst_ZIDCamera::cameraDeletedInItsOwnCallback()
{
    QFETCH(QString, operation);
    QFETCH(int, status);
    QFETCH(int, delay);

    FakeCamera fake(cameraAddress(16));
    fake.setTriggerStatus(status);
    fake.setTriggerDelay(delay);
    fake.setAnswer("/local/Vaxreader/mempl.cgi", status, "<plates/>");
    QVERIFY(fake.listen());
    auto *camera = new Plate(cameraUrl(16));
    camera->setType("alpr1");
    const QPointer<ZIDCamera> watch(camera);
    int answers = 0;
    const auto drop = [&] {
        ++answers;
        delete camera;
    };

    if (operation == "trigger") {
        camera->startCameraProcess("5", 3, 300).done([&](const QString &) { drop(); }).fail([&](const QString &) {
            drop();
        });
    } else if (operation == "plate list") {
        camera->setTimeout(10000);
        camera->requestDBTriggerData("http://" + cameraHost(16) + "/local/Vaxreader/")
            .done([&](const QByteArray &) { drop(); })
            .fail([&](const QByteArray &) { drop(); });
    } else {
        camera->waitTCPDataMessage(10000)
            .done([&](const ZIDCamera::Result &) { drop(); })
            .fail([&](const ZIDCamera::Result &) { drop(); });
        camera->handleTCPMessage("/result", operation == "push" ? FakeCamera::plateResult("ABC1234", "GR") : "no json");
    }
    QVERIFY(waitUntil([&] { return answers > 0; }, 10000));
    QVERIFY(!watch);
    // What the request left behind goes at the next turns of the event loop, touching nothing freed.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTest::qWait(50);
    QCOMPARE(answers, 1);
}

QTEST_GUILESS_MAIN(tst_ZIDCamera)
#include "tst_ZIDCamera.moc"
