#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

#include "fakes/DeferredProbe.h"
#include "app/Config.h"
#include "camera/CameraManager.h"
#include "fakes/FakeCamera.h"
#include "fakes/FreePort.h"
#include "fakes/LogCapture.h"
#include "transport/MqttClient.h"

using Readings = QMap<QString, QString>;
Q_DECLARE_METATYPE(Readings)

// Cameras of this test live on 127.73.y.x, y chosen per run; the receiver
// takes a free port.
static QString s_subnet;

static QString cameraHost(int n)
{
    return s_subnet + QString::number(n);
}

// The receiver listens on every address.
static quint16 freePort()
{
    return FreePort::pick(QHostAddress::Any);
}

// One camera of the lane: its name, its fake and what the fake does.
struct CameraSetup
{
    QString name;
    int host = 0;            // last byte of its address
    int status = 200;        // trigger answer
    int delay = 0;           // -1: never answers
    bool challenge = false;  // asks for the configured credentials
    QByteArray path = "/result";
    QByteArray body;         // pushed after an accepted trigger; empty: no push
};
Q_DECLARE_METATYPE(QList<CameraSetup>)

static CameraSetup setup(const QString &name, int host)
{
    CameraSetup s;
    s.name = name;
    s.host = host;
    return s;
}

// A terminal's camera side: configuration, manager and the fake cameras.
class Lane
{
public:
    explicit Lane(const QList<CameraSetup> &setups, int responseTimeout = 3000)
        : port(freePort())
    {
        QMap<QString, QVariant> defaults{
            {"cameras/alpr1", ""},
            {"cameras/alpr2", ""},
            {"cameras/ccr1", ""},
            {"cameras/ccr2", ""},
            {"cameras/numberOfRetries", 3},
            {"cameras/triggerDelayMsec", 10},
            {"cameras/responseTimeoutMsec", responseTimeout},
        };
        for (const CameraSetup &camera : setups) {
            defaults.insert("cameras/" + camera.name, url(camera.host));
            auto *fake = new FakeCamera(QHostAddress(cameraHost(camera.host)));
            fake->setTriggerStatus(camera.status);
            fake->setTriggerDelay(camera.delay);
            if (camera.challenge)
                fake->requireCredentials("vesk", "tu lp");
            fake->setReceiverPort(port);
            fake->setResult(camera.path, camera.body);
            fake->listen();
            fakes.insert(camera.name, fake);
        }
        config.reset(new Config(dir.filePath("gui.conf"), defaults));
        manager.reset(new manager::CameraManager(*config, mqtt));
    }
    ~Lane()
    {
        manager.reset();
        qDeleteAll(fakes);
    }

    QString url(int host) const
    {
        return QStringLiteral("https://vesk:tu%20lp@%1:%2").arg(cameraHost(host)).arg(port);
    }

    DeferredProbe<Readings> cycle(const QString &id = QString())
    {
        return DeferredProbe(manager->cameraProcess(id));
    }

    quint16 port;
    QTemporaryDir dir;
    std::unique_ptr<Config> config;
    manager::MqttClient mqtt;
    std::unique_ptr<manager::CameraManager> manager;
    QMap<QString, FakeCamera *> fakes;
};

class tst_CameraManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { s_subnet = FakeCamera::loopbackSubnet(73); }
    void cycle_data();
    void cycle();
    void triggerId();
    void overlappingCyclesKeepTheirIds();
    void noCameraResolvesAtOnce();
    void urlWithoutPort();
    void receiverOnLastCamerasPort();
    void twoNamesOnOneAddress();
    void unknownPeerIsDropped();
    void pushOutsideACycle();
    void splitPushIsReadWhole();
    void oversizedPushIsDropped();
    void cameraUrlChangeIsApplied();
    void cycleSurvivesCameraReplacement();
    void cycleSettingsReadEachCycle();
    void negativeTimesAreTakenAsZero_data();
    void negativeTimesAreTakenAsZero();
    void parseCameraResults();
};

void tst_CameraManager::cycle_data()
{
    QTest::addColumn<QList<CameraSetup>>("cameras");
    QTest::addColumn<Readings>("expected");
    QTest::addColumn<QString>("logged");  // a warning the cycle must leave

    const QByteArray abc = FakeCamera::plateResult("ABC1234");
    const QByteArray xyz = FakeCamera::plateResult("XYZ9876");
    CameraSetup front = setup("alpr1", 2);
    front.body = abc;

    QTest::newRow("plate read") << QList<CameraSetup>{front} << Readings{{"Front", "ABC1234"}} << "";
    {
        CameraSetup none = front;
        none.body = FakeCamera::plateResult("NONE");
        QTest::newRow("NONE") << QList<CameraSetup>{none} << Readings{} << "";
    }
    {
        CameraSetup empty = setup("alpr2", 3);
        empty.body = FakeCamera::plateResult("");
        QTest::newRow("empty plate") << QList<CameraSetup>{empty} << Readings{{"Rear", ""}} << "";
    }
    {
        CameraSetup refused = front;
        refused.status = 403;
        QTest::newRow("trigger refused") << QList<CameraSetup>{refused} << Readings{}
                                         << "[CameraManager] WARN: Camera " + cameraHost(2) + " failed: [alpr1] Trigger HTTP error :";
    }
    {
        CameraSetup silent = front;
        silent.delay = -1;
        QTest::newRow("trigger time-out") << QList<CameraSetup>{silent} << Readings{}
                                          << "[ZIDCamera] [alpr1] WARN: Cannot send trigger signal. Timeout value : 500";
    }
    {
        CameraSetup mute = front;
        mute.body.clear();
        QTest::newRow("no push") << QList<CameraSetup>{mute} << Readings{}
                                 << "[CameraManager] WARN: Camera " + cameraHost(2) + " data message error : [alpr1] Timeout";
    }
    {
        CameraSetup rear = setup("alpr2", 3);
        rear.body = xyz;
        QTest::newRow("two cameras") << QList<CameraSetup>{front, rear}
                                     << Readings{{"Front", "ABC1234"}, {"Rear", "XYZ9876"}} << "";
        CameraSetup c1 = setup("ccr1", 4), c2 = setup("ccr2", 5);
        c1.body = FakeCamera::containerResult("MSCU1234565");
        c2.body = FakeCamera::containerResult("NONE");
        QTest::newRow("four cameras") << QList<CameraSetup>{front, rear, c1, c2}
                                      << Readings{{"Front", "ABC1234"}, {"Rear", "XYZ9876"},
                                                  {"Container1", "MSCU1234565"}} << "";
        CameraSetup refused = front;
        refused.status = 500;
        QTest::newRow("one refuses, one reads") << QList<CameraSetup>{refused, c1}
                                                << Readings{{"Container1", "MSCU1234565"}}
                                                << "WARN: Camera " + cameraHost(2) + " failed: ";
    }
    {
        CameraSetup guarded = front;
        guarded.challenge = true;
        QTest::newRow("authentication challenge") << QList<CameraSetup>{guarded} << Readings{{"Front", "ABC1234"}}
                                                  << "";
    }
    {
        CameraSetup garbage = front;
        garbage.body = "plate=ABC1234";
        QTest::newRow("push not JSON") << QList<CameraSetup>{garbage} << Readings{}
                                       << "WARN: Camera " + cameraHost(2) + " data message error : Parse Error";
        garbage.body = "[" + abc + "]";
        QTest::newRow("push an array") << QList<CameraSetup>{garbage} << Readings{}
                                       << "WARN: Camera " + cameraHost(2) + " data message error : Parse Error";
        garbage.body = R"({"country":"GR"})";
        QTest::newRow("push without plate") << QList<CameraSetup>{garbage} << Readings{{"Front", ""}} << "";
    }
}

void tst_CameraManager::cycle()
{
    QFETCH(QList<CameraSetup>, cameras);
    QFETCH(Readings, expected);
    QFETCH(QString, logged);

    // Only a camera that never answers needs its trigger time-out to run
    // out; the others get a generous one, time to answer on a loaded machine.
    const bool silent =
        std::any_of(cameras.cbegin(), cameras.cend(), [](const CameraSetup &c) { return c.delay < 0; });
    LogCapture log;
    Lane lane(cameras, silent ? 500 : 5000);
    auto outcome = lane.cycle("cycle-1");
    // The longest road: an accepted trigger and no push within the fixed 10 s wait.
    QTRY_VERIFY_WITH_TIMEOUT(outcome.settled(), 20000);
    QVERIFY(outcome.resolved());
    QCOMPARE(outcome.value(), expected);
    if (!logged.isEmpty())
        QVERIFY2(log.contains(QtWarningMsg, logged), qPrintable(logged));
    QVERIFY(log.contains(QtInfoMsg, "[CameraManager] Received all cameras data. Number of cameras : "
                                        + QString::number(cameras.size())));

    // Every camera was asked once, on its application's trigger URL.
    for (const CameraSetup &camera : cameras) {
        const QList<FakeCamera::Request> requests = lane.fakes[camera.name]->requests();
        QVERIFY(!requests.isEmpty());
        const FakeCamera::Request &last = requests.last();
        QCOMPARE(last.path, camera.name.startsWith("alpr") ? QByteArray("/local/Vaxreader/trigger.cgi")
                                                           : QByteArray("/local/Vaxcontainer/trigger.cgi"));
        QCOMPARE(last.query.queryItemValue("id"), QString("cycle-1"));
        QCOMPARE(requests.size(), camera.challenge ? 2 : 1);
    }
    QCOMPARE(outcome.settlements(), 1);
}

void tst_CameraManager::triggerId()
{
    CameraSetup front = setup("alpr1", 6), rear = setup("alpr2", 7);
    front.body = FakeCamera::plateResult("AAA1111");
    rear.body = FakeCamera::plateResult("BBB2222");
    Lane lane({front, rear});

    QStringList ids;
    for (int i = 0; i < 2; ++i) {
        auto outcome = lane.cycle();
        QTRY_VERIFY(outcome.settled());
        const QString a = lane.fakes["alpr1"]->requests().last().query.queryItemValue("id");
        const QString b = lane.fakes["alpr2"]->requests().last().query.queryItemValue("id");
        QCOMPARE(a, b);
        QVERIFY2(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$").match(a).hasMatch(),
                 qPrintable(a));
        ids << a;
    }
    QVERIFY(ids[0] != ids[1]);
}

// A cycle started during another's delay: each triggers with the id it was started with.
void tst_CameraManager::overlappingCyclesKeepTheirIds()
{
    CameraSetup front = setup("alpr1", 9), rear = setup("ccr1", 10);
    front.body = FakeCamera::plateResult("AAA1111");
    rear.body = FakeCamera::containerResult("MSCU1234565");
    Lane lane({front, rear}, 5000);
    lane.config->set("cameras/triggerDelayMsec", 300);

    auto first = lane.cycle("cycle-A");
    auto second = lane.cycle("cycle-B");
    QTRY_VERIFY_WITH_TIMEOUT(first.settled() && second.settled(), 30000);
    for (const QString &name : {QString("alpr1"), QString("ccr1")}) {
        QStringList ids;
        for (const FakeCamera::Request &request : lane.fakes[name]->requests())
            ids << request.query.queryItemValue("id");
        ids.sort();
        QCOMPARE(ids, QStringList({"cycle-A", "cycle-B"}));
    }
}

void tst_CameraManager::noCameraResolvesAtOnce()
{
    LogCapture log;
    Lane lane({});
    auto outcome = lane.cycle();
    QVERIFY(outcome.resolved());
    QCOMPARE(outcome.value(), Readings{});
    QVERIFY(log.contains(QtWarningMsg, "[CameraManager] WARN: No results received from cameras"));
}

void tst_CameraManager::urlWithoutPort()
{
    LogCapture log;
    Lane lane({});
    lane.config->set("cameras/alpr1", "https://vesk:tulp@" + cameraHost(8));
    QVERIFY(lane.manager->camera("alpr1"));
    QVERIFY(log.contains(QtCriticalMsg, "[CameraManager] ERROR: Camera url without port"));
    QVERIFY(!log.contains(QtCriticalMsg, "tulp"));
    QCOMPARE(lane.manager->port(), 0);
    QVERIFY(!log.contains(QtInfoMsg, "Listening for HTTP requests on : 0.0.0.0:65535"));
    QVERIFY(!log.contains(QtInfoMsg, "Listening for HTTP requests on : 0.0.0.0:-1"));
}

void tst_CameraManager::receiverOnLastCamerasPort()
{
    const quint16 first = freePort();
    Lane lane({});
    QSignalSpy portChanged(lane.manager.get(), &manager::CameraManager::portChanged);
    lane.config->fromJson(QJsonObject{{"cameras", QJsonObject{
        {"alpr1", QStringLiteral("https://vesk:tulp@%1:%2").arg(cameraHost(9)).arg(first)},
        {"ccr2", QStringLiteral("https://vesk:tulp@%1:%2").arg(cameraHost(10)).arg(lane.port)},
    }}});
    QCOMPARE(lane.manager->port(), int(lane.port));
    QVERIFY(portChanged.count() >= 1);

    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, lane.port);
    QVERIFY(probe.waitForConnected(2000));
    QTcpSocket other;
    other.connectToHost(QHostAddress::LocalHost, first);
    QVERIFY(!other.waitForConnected(2000));
}

void tst_CameraManager::twoNamesOnOneAddress()
{
    CameraSetup container = setup("ccr1", 11);
    container.body = FakeCamera::containerResult("TGHU7654321");
    // One fake serves the address; the container camera owns it.
    Lane lane({container});
    lane.config->set("cameras/alpr1", lane.url(11));
    QTRY_VERIFY(!lane.manager->camera("alpr1"));
    QVERIFY(lane.manager->camera("ccr1"));

    auto outcome = lane.cycle("dup");
    QTRY_VERIFY(outcome.settled());
    QCOMPARE(outcome.value(), (Readings{{"Container1", "TGHU7654321"}}));
    QCOMPARE(lane.fakes["ccr1"]->requests().size(), 1);
    QCOMPARE(lane.fakes["ccr1"]->requests().first().path, QByteArray("/local/Vaxcontainer/trigger.cgi"));
}

void tst_CameraManager::unknownPeerIsDropped()
{
    LogCapture log;
    CameraSetup front = setup("alpr1", 12);
    Lane lane({front});
    FakeCamera stranger(QHostAddress(cameraHost(99)));
    stranger.setReceiverPort(lane.port);
    QSignalSpy answered(&stranger, &FakeCamera::pushFinished);
    stranger.push("/result", FakeCamera::plateResult("EVIL666"));
    QVERIFY(answered.wait());
    QTRY_VERIFY(log.contains(QtWarningMsg, "[CameraManager] Unknown peer address : " + cameraHost(99)));
    QVERIFY(lane.manager->camera("alpr1")->initialCameraData()->plate().isEmpty());
}

void tst_CameraManager::pushOutsideACycle()
{
    CameraSetup front = setup("alpr1", 13);
    front.body = FakeCamera::plateResult("CYCLE13");
    Lane lane({front});
    FakeCamera *fake = lane.fakes["alpr1"];

    // Between cycles: the reading moves, no cycle takes it.
    QSignalSpy answered(fake, &FakeCamera::pushFinished);
    fake->push("/result", FakeCamera::plateResult("BETWEEN"));
    QVERIFY(answered.wait());
    QCOMPARE(lane.manager->camera("alpr1")->initialCameraData()->plate(), QString("BETWEEN"));

    // A heartbeat during the cycle does not end the camera's wait.
    QSignalSpy accepted(fake, &FakeCamera::triggerAccepted);
    fake->setResult("/heartbeat", R"({"SoftwareVersion":"9.1"})");
    auto outcome = lane.cycle();
    QVERIFY(accepted.wait());
    QTRY_COMPARE(lane.manager->camera("alpr1")->initialCameraData()->softwareVersion(), QString("9.1"));
    QVERIFY(!outcome.settled());
    fake->push("/result", FakeCamera::plateResult("CYCLE13"));
    QTRY_VERIFY(outcome.settled());
    QCOMPARE(outcome.value(), (Readings{{"Front", "CYCLE13"}}));
}

void tst_CameraManager::splitPushIsReadWhole()
{
    CameraSetup front = setup("alpr1", 14);
    Lane lane({front});
    FakeCamera *fake = lane.fakes["alpr1"];
    QSignalSpy accepted(fake, &FakeCamera::triggerAccepted);
    auto outcome = lane.cycle();
    QVERIFY(accepted.wait());

    const QByteArray request = FakeCamera::postRequest("/result", FakeCamera::plateResult("SPLIT14"));
    const int head = request.indexOf("\r\n\r\n") + 4;
    fake->pushChunks({request.left(head - 3), request.mid(head - 3, 10), request.mid(head + 7)});
    QTRY_VERIFY(outcome.settled());
    QCOMPARE(outcome.value(), (Readings{{"Front", "SPLIT14"}}));
}

void tst_CameraManager::oversizedPushIsDropped()
{
    LogCapture log;
    CameraSetup front = setup("alpr1", 15);
    Lane lane({front});
    FakeCamera *fake = lane.fakes["alpr1"];
    QSignalSpy accepted(fake, &FakeCamera::triggerAccepted);
    auto outcome = lane.cycle();
    QVERIFY(accepted.wait());

    QByteArray huge = FakeCamera::plateResult("HUGE15");
    huge.insert(1, "\"padding\":\"" + QByteArray(3 * 1024 * 1024, 'x') + "\",");
    QSignalSpy finished(fake, &FakeCamera::pushFinished);
    fake->push("/result", huge);
    QVERIFY(finished.wait(10000));
    QVERIFY(log.contains(QtWarningMsg, "[HttpServer] WARN: Request from " + cameraHost(15) + " exceeds"));
    QVERIFY(!outcome.settled());
    QVERIFY(lane.manager->camera("alpr1")->initialCameraData()->plate().isEmpty());

    fake->push("/result", FakeCamera::plateResult("AFTER15"));
    QTRY_VERIFY(outcome.settled());
    QCOMPARE(outcome.value(), (Readings{{"Front", "AFTER15"}}));
}

void tst_CameraManager::cameraUrlChangeIsApplied()
{
    CameraSetup front = setup("alpr1", 16), rear = setup("alpr2", 17);
    front.body = FakeCamera::plateResult("OLD1616");
    rear.body = FakeCamera::plateResult("REAR177");
    Lane lane({front, rear});
    ZIDCamera *rearCamera = lane.manager->camera("alpr2");

    FakeCamera moved(QHostAddress(cameraHost(18)));
    moved.setReceiverPort(lane.port);
    moved.setResult("/result", FakeCamera::plateResult("NEW1818"));
    QVERIFY(moved.listen());
    lane.config->set("cameras/alpr1", lane.url(18));

    QCOMPARE(lane.manager->camera("alpr1")->url().host(), cameraHost(18));
    QCOMPARE(lane.manager->camera("alpr2"), rearCamera);  // untouched camera stays
    auto outcome = lane.cycle();
    QTRY_VERIFY(outcome.settled());
    QCOMPARE(outcome.value(), (Readings{{"Front", "NEW1818"}, {"Rear", "REAR177"}}));
    QCOMPARE(lane.fakes["alpr1"]->requests().size(), 0);

    // A camera taken out of the configuration is no longer triggered.
    lane.config->set("cameras/alpr2", "");
    QVERIFY(!lane.manager->camera("alpr2"));
    auto second = lane.cycle();
    QTRY_VERIFY(second.settled());
    QCOMPARE(second.value(), (Readings{{"Front", "NEW1818"}}));
    QCOMPARE(lane.fakes["alpr2"]->requests().size(), 1);
}

void tst_CameraManager::cycleSurvivesCameraReplacement()
{
    CameraSetup front = setup("alpr1", 19), rear = setup("alpr2", 20);
    front.delay = -1;  // holds the trigger until the camera is gone
    rear.body = FakeCamera::plateResult("STAY200");
    Lane lane({front, rear}, 60000);
    QSignalSpy asked(lane.fakes["alpr1"], &FakeCamera::requestReceived);
    auto outcome = lane.cycle();
    QVERIFY(asked.wait());

    lane.config->set("cameras/alpr1", lane.url(21));
    QTRY_VERIFY(outcome.settled());
    QCOMPARE(outcome.value(), (Readings{{"Rear", "STAY200"}}));
}

void tst_CameraManager::cycleSettingsReadEachCycle()
{
    LogCapture log;
    CameraSetup silent = setup("alpr1", 22);
    silent.delay = -1;
    Lane lane({silent});
    // Changed while running: the next cycle takes them, no restart needed.
    lane.config->set("cameras/triggerDelayMsec", 400);
    lane.config->set("cameras/responseTimeoutMsec", 200);

    QSignalSpy asked(lane.fakes["alpr1"], &FakeCamera::requestReceived);
    QElapsedTimer clock;
    clock.start();
    auto outcome = lane.cycle();
    QVERIFY(asked.wait());
    QVERIFY2(clock.elapsed() >= 390, qPrintable(QString::number(clock.elapsed())));
    QTRY_VERIFY(outcome.settled());
    QCOMPARE(outcome.value(), Readings{});
    QVERIFY(log.contains(QtWarningMsg, "[ZIDCamera] [alpr1] WARN: Cannot send trigger signal. Timeout value : 200"));
}

void tst_CameraManager::negativeTimesAreTakenAsZero_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("answers");
    QTest::addColumn<Readings>("expected");

    QTest::newRow("trigger delay") << "cameras/triggerDelayMsec" << true << Readings{{"Front", "NEG2323"}};
    // A trigger given no time at all fails at once instead of waiting for good.
    QTest::newRow("response time-out") << "cameras/responseTimeoutMsec" << false << Readings{};
}

void tst_CameraManager::negativeTimesAreTakenAsZero()
{
    QFETCH(QString, key);
    QFETCH(bool, answers);
    QFETCH(Readings, expected);

    LogCapture log;
    CameraSetup front = setup("alpr1", 23);
    front.body = FakeCamera::plateResult("NEG2323");
    if (!answers)
        front.delay = -1;
    Lane lane({front});
    lane.config->set(key, -1);

    auto outcome = lane.cycle();
    QTRY_VERIFY(outcome.settled());
    QCOMPARE(outcome.value(), expected);
    QVERIFY(log.contains(QtWarningMsg, "[CameraManager] WARN: " + key + " is negative (-1), taken as 0"));
}

void tst_CameraManager::parseCameraResults()
{
    auto result = [](const QString &type, const QString &plate, const QString &code) {
        auto *reading = new ZIDReading;
        reading->setType(type);
        reading->setPlate(plate);
        reading->setContainerCode(code);
        return ZIDCamera::Result{QString(), QSharedPointer<const ZIDReading>(reading)};
    };
    const QList<ZIDCamera::Result> results{
        result("alpr1", "FIRST11", "IGNORED"),
        result("alpr1", "LATER11", ""),   // a later one of a type replaces the earlier
        result("alpr2", "NONE", ""),
        result("ccr1", "IGNORED", "CODE111"),
        result("ccr2", "", "NONE"),
        result("ALPR1", "WRONGCASE", ""),
        ZIDCamera::Result{"[alpr2] Timeout", {}},
    };
    QCOMPARE(manager::CameraManager::parseCameraResults(results),
             (Readings{{"Front", "LATER11"}, {"Container1", "CODE111"}}));
}

QTEST_GUILESS_MAIN(tst_CameraManager)
#include "tst_CameraManager.moc"
