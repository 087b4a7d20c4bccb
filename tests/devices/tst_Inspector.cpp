#include "DeviceRig.h"

#include "devices/Inspector.h"
#include "fakes/CoarseTimer.h"
#include "fakes/FakeSystemService.h"
#include "fakes/LogCapture.h"
#include "fakes/SignalRecorder.h"

#include <QElapsedTimer>
#include <QJsonDocument>

#include <limits>
#include <memory>

using manager::Inspector;

namespace {

const QString ValidSound = "/opt/vesk/vorn-terminal-ui/Valid.wav";

// The system-service client with its fake service, started and in step.
struct InspectorRig
{
    explicit InspectorRig(const TestBroker &broker)
        : rig(broker)
        , base(rig.base("inspector"))
        , fake(base)
        , inspector(rig.mqtt, base)
    {
    }

    bool start(const TestBroker &broker)
    {
        // The answers to the statistics requests sent on connecting are in too: a late one would
        // pass for the document a test delivers on that topic.
        return fake.start(broker) && rig.connectClient()
               && waitUntil([this] {
                      return inspector.status() == QLatin1String("online") && inspector.audioVolume() == 60
                             && !inspector.info().isEmpty() && rig.seen(base + "/stats/memory") >= 1
                             && rig.seen(base + "/stats/disk") >= 1 && rig.seen(base + "/stats/cpu") >= 1;
                  });
    }

    bool deliver(const QString &suffix, const QByteArray &payload)
    {
        const int before = rig.seen(base + suffix);
        return fake.publishRaw(suffix, payload) && rig.waitSeen(base + suffix, before + 1);
    }

    QString properties() const
    {
        return QStringList{inspector.status(), inspector.info().value("version").toString(), QString::number(inspector.audioVolume())}
            .join('|');
    }

    // The power requests the service has received, as "reboot" or "shutdown".
    QStringList powerRequests() const
    {
        QStringList kinds;
        for (const auto &request : fake.requests())
            if (request.command.startsWith("power/"))
                kinds << request.command.mid(6) + "/" + request.id + (request.payload.isEmpty() ? "" : " with a payload");
        return kinds;
    }

    DeviceRig rig;
    QString base;
    FakeSystemService fake;
    Inspector inspector;
};

QStringList warnedValues(const LogCapture &log)
{
    const QString prefix = "[Inspector] WARN: Unexpected value of ";
    QStringList names;
    for (const QString &line : log.texts(QtWarningMsg).filter(prefix))
        names << line.mid(prefix.size()).section(" (topic=", 0, 0);
    return names;
}

} // namespace

class TestInspector : public DeviceTestCase
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void asksOnConnecting();
    void documents_data();
    void documents();
    void badPayloadsChangeNothing_data();
    void badPayloadsChangeNothing();
    void volume();
    void play();
    void powerRequests();
    void powerRequestNotSent();
    void powerRequestWhenTheServiceGoes_data();
    void powerRequestWhenTheServiceGoes();
    void staleDownForgotten_data();
    void staleDownForgotten();
    void scheduledShutdown();
    void powerDelayNeverEarly_data();
    void powerDelayNeverEarly();
    void scheduledShutdownNeverEarly();
    void scheduleRefused_data();
    void scheduleRefused();
    void requestsWhileDisconnected();
    void monitor();
    void askedAgainAfterABrokerRestart();

private:
    std::unique_ptr<InspectorRig> m_rig;
};

void TestInspector::init()
{
    m_rig.reset(new InspectorRig(m_broker));
    QVERIFY(m_rig->start(m_broker));
}

void TestInspector::cleanup()
{
    m_rig.reset();
}

void TestInspector::asksOnConnecting()
{
    WAIT_COMPARE(m_rig->fake.requests().size(), 4);
    QStringList asked;
    for (const auto &request : m_rig->fake.requests()) {
        asked << request.command;
        QCOMPARE(request.payload, QByteArray("{}"));
    }
    QCOMPARE(asked, QStringList({"audio/get", "stats/memory/get", "stats/disk/get", "stats/cpu/get"}));
    QVERIFY(subscribedBeforeRequest(m_broker, m_rig->rig.mqtt.clientId(), m_rig->base + "/audio", m_rig->base + "/audio/get"));
    QVERIFY(subscribedBeforeRequest(m_broker, m_rig->rig.mqtt.clientId(), m_rig->base + "/stats/cpu", m_rig->base + "/stats/cpu/get"));

    QCOMPARE(m_rig->properties(), QString("online|3.1.0|60"));
    QCOMPARE(m_rig->inspector.info(), QVariantMap({{"version", "3.1.0"}}));
    QCOMPARE(m_rig->inspector.property("audioVolume").toInt(), 60);

    // The statistics arrive and are not kept.
    QVERIFY(m_rig->rig.waitSeen(m_rig->base + "/stats/cpu", 1));
    QVERIFY(m_rig->inspector.memory().isEmpty());
    QVERIFY(m_rig->inspector.cpu().isEmpty());
    QVERIFY(m_rig->inspector.disks().isEmpty());

    QStringList filters;
    for (const auto &subscription : m_rig->rig.mqtt.subscriptions())
        filters << subscription.first.filter().mid(m_rig->base.size());
    QCOMPARE(filters, QStringList({"/info", "/status", "/audio", "/stats/cpu", "/stats/memory", "/stats/disk"}));
}

void TestInspector::documents_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("properties"); // status|version|volume
    QTest::addColumn<QString>("emitted");
    QTest::addColumn<QStringList>("warnings");

    QTest::newRow("service down") << "/status" << QByteArray(R"({"service": false})") << "offline|3.1.0|60" << "statusChanged" << QStringList{};
    QTest::newRow("no service key") << "/status" << QByteArray(R"({"running": true})") << "offline|3.1.0|60" << "statusChanged" << QStringList{};
    QTest::newRow("service as text") << "/status" << QByteArray(R"({"service": "true"})") << "offline|3.1.0|60" << "statusChanged" << QStringList{};
    QTest::newRow("status as an array") << "/status" << QByteArray(R"([{"service": true}])") << "offline|3.1.0|60" << "statusChanged"
                                        << QStringList{"the document"};
    // An empty (retained) message clears the status: the service is gone.
    QTest::newRow("status cleared") << "/status" << QByteArray() << "offline|3.1.0|60" << "statusChanged" << QStringList{};
    QTest::newRow("running again") << "/status" << QByteArray(R"({"service": true})") << "online|3.1.0|60" << "" << QStringList{};
    QTest::newRow("the same version") << "/info" << QByteArray(R"({"service": {"version": "3.1.0"}})") << "online|3.1.0|60" << ""
                                      << QStringList{};
    QTest::newRow("a new version") << "/info" << QByteArray(R"({"service": {"version": "3.2.0", "type": "inspector"}})")
                                   << "online|3.2.0|60" << "infoChanged" << QStringList{};
    QTest::newRow("no version") << "/info" << QByteArray(R"({"device": {}})") << "online||60" << "infoChanged" << QStringList{};
    QTest::newRow("version as a number") << "/info" << QByteArray(R"({"service": {"version": 3.2}})") << "online||60"
                                         << "infoChanged" << QStringList{"service.version"};
    QTest::newRow("the same volume") << "/audio" << QByteArray(R"({"internal": {"volume": 60}})") << "online|3.1.0|60" << ""
                                     << QStringList{};
    QTest::newRow("a new volume") << "/audio" << QByteArray(R"({"internal": {"volume": 75}, "hdmi": {"volume": 10}})")
                                  << "online|3.1.0|75" << "audioVolumeChanged" << QStringList{};
    QTest::newRow("no internal output") << "/audio" << QByteArray(R"({"hdmi": {"volume": 10}})") << "online|3.1.0|0"
                                        << "audioVolumeChanged" << QStringList{};
    QTest::newRow("volume as text") << "/audio" << QByteArray(R"({"internal": {"volume": "75"}})") << "online|3.1.0|0"
                                    << "audioVolumeChanged" << QStringList{"internal.volume"};
    QTest::newRow("fractional volume") << "/audio" << QByteArray(R"({"internal": {"volume": 75.5}})") << "online|3.1.0|0"
                                       << "audioVolumeChanged" << QStringList{"internal.volume"};
    QTest::newRow("statistics") << "/stats/memory" << QByteArray(R"({"total": 1, "free": 0})") << "online|3.1.0|60" << ""
                                << QStringList{};
}

void TestInspector::documents()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, document);
    QFETCH(QString, properties);
    QFETCH(QString, emitted);
    QFETCH(QStringList, warnings);

    SignalRecorder signalsSeen(&m_rig->inspector);
    LogCapture log;
    QVERIFY(m_rig->deliver(suffix, document));
    QCOMPARE(m_rig->properties(), properties);
    QCOMPARE(signalsSeen.take(), emitted);
    QCOMPARE(warnedValues(log), warnings);
    QCOMPARE(log.texts(QtInfoMsg).filter("Status changed"),
             emitted == "statusChanged" ? QStringList{"[Inspector] Status changed : " + m_rig->inspector.status()} : QStringList{});
    QVERIFY(m_rig->deliver(suffix, document));
    QCOMPARE(signalsSeen.take(), QString());
    QVERIFY(m_rig->inspector.memory().isEmpty());
}

void TestInspector::badPayloadsChangeNothing_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");

    const QList<QByteArray> bad{QByteArray("{"), QByteArray("{\"service\": false,}"), QByteArray("false"),
                                QByteArray("{\"serv\x00\": false}", 16), QByteArray("\x00", 1), QByteArray()};
    for (const char *suffix : {"/info", "/status", "/audio", "/stats/cpu", "/stats/memory", "/stats/disk"})
        for (int i = 0; i < bad.size(); ++i)
            if (!bad[i].isEmpty() || QByteArray(suffix) != "/status") // an empty status clears it
                QTest::addRow("%s %d", suffix, i) << QString(suffix) << bad[i];
}

void TestInspector::badPayloadsChangeNothing()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, payload);

    SignalRecorder signalsSeen(&m_rig->inspector);
    LogCapture log;
    QVERIFY(m_rig->deliver(suffix, payload));
    QCOMPARE(m_rig->properties(), QString("online|3.1.0|60"));
    QCOMPARE(signalsSeen.take(), QString());
    const QStringList errors = log.texts(QtCriticalMsg);
    QCOMPARE(errors.size(), 1);
    // The parser's text after the words, nothing else.
    const QString words = "[Inspector] Failed to parse JSON message: ";
    QVERIFY2(errors[0].startsWith(words) && errors[0].size() > words.size() && !errors[0].contains("topic="), qPrintable(errors[0]));
}

void TestInspector::volume()
{
    SignalRecorder signalsSeen(&m_rig->inspector);
    LogCapture log;
    m_rig->fake.silence("audio/set", 1);
    QVERIFY(m_rig->inspector.setProperty("audioVolume", 70)); // as the audio page writes it
    WAIT_COMPARE(m_rig->fake.count("audio/set"), 1);
    const auto sent = m_rig->fake.requests("audio/set").first();
    QCOMPARE(sent.body, QJsonObject({{"internal", QJsonObject{{"volume", 70}}}}));
    QCOMPARE(sent.payload, QJsonDocument(sent.body).toJson(QJsonDocument::Indented));
    QCOMPARE(log.texts(QtInfoMsg), QStringList{"[Inspector] Setting 'internal' audio volume : 70%"});
    // Unanswered: the volume stays what the service said.
    QCOMPARE(m_rig->inspector.audioVolume(), 60);

    m_rig->inspector.setAudioVolume(85);
    WAIT_COMPARE(m_rig->inspector.audioVolume(), 85);
    QCOMPARE(m_rig->fake.volume(), 85);
    QCOMPARE(signalsSeen.take(), QString("audioVolumeChanged"));

    // Turned elsewhere: the property follows.
    m_rig->fake.setVolume(20);
    WAIT_COMPARE(m_rig->inspector.audioVolume(), 20);
}

void TestInspector::play()
{
    LogCapture log;
    m_rig->inspector.audioPlay(ValidSound);
    m_rig->inspector.audioPlay("/tmp/with space\nand a line.wav");
    WAIT_COMPARE(m_rig->fake.played().size(), 2);
    QCOMPARE(m_rig->fake.played(), QStringList({ValidSound, "/tmp/with space\nand a line.wav"}));
    const auto sent = m_rig->fake.requests("audio/play").first();
    QCOMPARE(sent.body, QJsonObject({{"device", "internal"}, {"filepath", ValidSound}}));
    QCOMPARE(sent.payload, QJsonDocument(sent.body).toJson(QJsonDocument::Indented));
    QCOMPARE(log.texts(QtInfoMsg), QStringList({"[Inspector] Playing audio file (card='internal') : " + ValidSound,
                                                "[Inspector] Playing audio file (card='internal') : /tmp/with space\\nand a line.wav"}));
}

void TestInspector::powerRequests()
{
    // A second client that is gone before its delay ends sends nothing.
    DeviceRig otherRig(m_broker);
    auto *gone = new Inspector(otherRig.mqtt, m_rig->base);
    QVERIFY(otherRig.connectClient());
    QSignalSpy goneStarted(gone, &Inspector::systemRebootStarted);
    gone->systemReboot();
    QCOMPARE(goneStarted.count(), 1);
    delete gone;

    SignalRecorder signalsSeen(&m_rig->inspector);
    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    m_rig->inspector.systemReboot();
    QCOMPARE(signalsSeen.take(), QString("systemRebootStarted")); // before the call returns
    m_rig->inspector.systemShutdown();
    QCOMPARE(signalsSeen.take(), QString("systemShutdownStarted"));
    m_rig->inspector.systemReboot(); // a second one: a second request
    QCOMPARE(log.texts(QtInfoMsg), QStringList({"[Inspector] Requesting System reboot", "[Inspector] Requesting System shutdown",
                                                "[Inspector] Requesting System reboot"}));
    QVERIFY(m_rig->powerRequests().isEmpty());

    WAIT_COMPARE(m_rig->powerRequests().size(), 3);
    QVERIFY2(clock.elapsed() >= coarseTimerEarliest(2000), qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(m_rig->powerRequests(), QStringList({"reboot/1", "shutdown/1", "reboot/1"}));
    // Still nothing from the client that is gone; a later request shows the way is clear.
    m_rig->inspector.audioPlay(ValidSound);
    WAIT_COMPARE(m_rig->fake.played().size(), 1);
    QCOMPARE(m_rig->powerRequests().size(), 3);
    QCOMPARE(log.texts(QtWarningMsg), QStringList());
}

// A request that cannot go out when its delay ends is announced, so the screens need not wait.
void TestInspector::powerRequestNotSent()
{
    QSignalSpy failed(&m_rig->inspector, &Inspector::powerRequestFailed);
    m_rig->inspector.systemShutdown();
    m_rig->rig.mqtt.disconnect();
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).toString(), QString("shutdown"));
    QVERIFY(m_rig->powerRequests().isEmpty());
}

// The service's word during the 2 s counts: a request for a service that went meanwhile is
// not sent but reported, so the screens need not wait for a machine that stays up.
void TestInspector::powerRequestWhenTheServiceGoes_data()
{
    QTest::addColumn<QString>("what"); // "reboot", "shutdown", or "scheduled" (a shutdown due at once)
    QTest::addColumn<QString>("how");
    QTest::newRow("reboot, the service says it stopped") << "reboot" << "stopped";
    QTest::newRow("shutdown, its status cleared") << "shutdown" << "cleared";
    QTest::newRow("reboot, a new session brings back its retained status") << "reboot" << "renewed";
    QTest::newRow("scheduled shutdown, the service says it stopped") << "scheduled" << "stopped";
    // The new session forgets the "down", which is not retained, and hears nothing since.
    QTest::newRow("reboot, it stopped, its status not retained, then a new session") << "reboot" << "stopped, renewed";
}

void TestInspector::powerRequestWhenTheServiceGoes()
{
    QFETCH(QString, what);
    QFETCH(QString, how);
    Inspector &inspector = m_rig->inspector;
    const QString kind = what == "reboot" ? "reboot" : "shutdown";
    if (how == "stopped, renewed") {
        m_rig->fake.setStatusRetained(false);
        QVERIFY(m_rig->fake.publishRaw("/status", QByteArray(), true)); // none left on the broker
        QVERIFY(waitUntil([&] { return inspector.status() == QLatin1String("offline"); }));
        m_rig->fake.setServiceOnline(true);
        QVERIFY(waitUntil([&] { return inspector.status() == QLatin1String("online"); }));
    }

    QSignalSpy started(&inspector, what == "reboot" ? &Inspector::systemRebootStarted : &Inspector::systemShutdownStarted);
    QSignalSpy failed(&inspector, &Inspector::powerRequestFailed);
    LogCapture log;
    if (what == "reboot")
        inspector.systemReboot();
    else if (what == "shutdown")
        inspector.systemShutdown();
    else
        inspector.scheduleShutdown(0);
    QVERIFY(started.count() == 1 || started.wait(5000));
    QElapsedTimer clock;
    clock.start();

    if (how == "stopped") {
        m_rig->fake.setServiceOnline(false);
    } else if (how == "stopped, renewed") {
        m_rig->fake.setServiceOnline(false);
        QVERIFY(waitUntil([&] { return inspector.status() == QLatin1String("offline"); }));
        m_rig->rig.mqtt.disconnect();
        QVERIFY(waitUntil([&] { return !m_rig->rig.mqtt.isConnected(); }));
        QVERIFY(m_rig->rig.connectClient());
    } else if (how == "cleared") {
        QVERIFY(m_rig->fake.publishRaw("/status", QByteArray(), true));
    } else {
        m_rig->rig.mqtt.disconnect();
        QVERIFY(waitUntil([&] { return !m_rig->rig.mqtt.isConnected(); }));
        m_rig->fake.setServiceOnline(false); // retained
        QVERIFY(m_rig->rig.connectClient());
    }
    const QString known = how == "stopped, renewed" ? QString() : QStringLiteral("offline");
    QVERIFY(waitUntil([&] { return inspector.status() == known; }));
    QVERIFY2(clock.elapsed() < 1900, "the delay ran out before the service was down");

    QVERIFY(failed.wait(5000));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).toString(), kind);
    QVERIFY(log.texts(QtWarningMsg).contains("[Inspector] WARN: Cannot request System " + kind + ". Service not running"));
    // A later message has arrived: the request would have come before it.
    inspector.audioPlay(ValidSound);
    WAIT_COMPARE(m_rig->fake.count("audio/play"), 1);
    QCOMPARE(m_rig->powerRequests(), QStringList());
}

// A "down" that no longer holds does not stay: a new session forgets what the service said (a
// retained status comes back with it), and a request refused for a down service asks it again;
// a service that answers runs, and the next request goes out.
void TestInspector::staleDownForgotten_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("firstRefused");
    QTest::newRow("status not retained, back while the session was down") << "unretained" << false;
    QTest::newRow("a will that came late, after the service had started again") << "late will" << true;
}

void TestInspector::staleDownForgotten()
{
    QFETCH(QString, how);
    QFETCH(bool, firstRefused);
    Inspector &inspector = m_rig->inspector;

    if (how == "unretained") {
        m_rig->fake.setStatusRetained(false);
        QVERIFY(m_rig->fake.publishRaw("/status", QByteArray(), true)); // no retained status left
        QVERIFY(waitUntil([&] { return inspector.status() == QLatin1String("offline"); }));
        m_rig->fake.setServiceOnline(true);
        QVERIFY(waitUntil([&] { return inspector.status() == QLatin1String("online"); }));
        m_rig->fake.setServiceOnline(false);
        QVERIFY(waitUntil([&] { return inspector.status() == QLatin1String("offline"); }));
        m_rig->rig.mqtt.disconnect();
        QVERIFY(waitUntil([&] { return !m_rig->rig.mqtt.isConnected(); }));
        m_rig->fake.setServiceOnline(true); // nobody hears it
        QVERIFY(m_rig->rig.connectClient());
        // Asked for the volume on connecting, the service answers: it runs.
        WAIT_COMPARE(inspector.status(), QString("online"));
    } else {
        // The broker publishes the will of the service's old connection while the new one runs.
        QVERIFY(m_rig->deliver("/status", R"({"service": false})"));
        QCOMPARE(inspector.status(), QString("offline"));
    }

    QSignalSpy failed(&inspector, &Inspector::powerRequestFailed);
    const int asked = m_rig->fake.count("audio/get");
    inspector.systemReboot();
    if (firstRefused) {
        QVERIFY(failed.wait(5000));
        QCOMPARE(m_rig->powerRequests(), QStringList());
        WAIT_COMPARE(m_rig->fake.count("audio/get"), asked + 1);
        WAIT_COMPARE(inspector.status(), QString("online"));
        inspector.systemReboot();
    }
    WAIT_COMPARE(m_rig->powerRequests(), QStringList{"reboot/1"});
    QCOMPARE(failed.count(), firstRefused ? 1 : 0);
}

void TestInspector::scheduledShutdown()
{
    SignalRecorder signalsSeen(&m_rig->inspector);
    LogCapture log;
    m_rig->inspector.scheduleShutdown(1);
    m_rig->inspector.abortShutdown();
    QElapsedTimer clock;
    clock.start();
    m_rig->inspector.scheduleShutdown(60);
    m_rig->inspector.scheduleShutdown(1); // a running schedule starts again
    QSignalSpy started(&m_rig->inspector, &Inspector::systemShutdownStarted);
    QVERIFY(started.wait(5000));
    QVERIFY(clock.elapsed() >= coarseTimerEarliest(1000));
    WAIT_COMPARE(m_rig->powerRequests(), QStringList{"shutdown/1"});
    QVERIFY(clock.elapsed() >= coarseTimerEarliest(3000));
    QCOMPARE(signalsSeen.take(), QString("systemShutdownStarted"));
    QCOMPARE(log.texts(QtInfoMsg), QStringList({"[Inspector] Scheduling System shutdown in : 1 sec(s)",
                                                "[Inspector] Aborting System shutdown",
                                                "[Inspector] Scheduling System shutdown in : 60 sec(s)",
                                                "[Inspector] Scheduling System shutdown in : 1 sec(s)",
                                                "[Inspector] Requesting System shutdown"}));
}

// A coarse timer may fire up to 5 % early, depending on where in the second it ends; requests
// started at spread moments meet that for sure, and a precise timer is never early for any.
void TestInspector::powerDelayNeverEarly_data()
{
    QTest::addColumn<QString>("what");
    QTest::newRow("reboot") << "reboot";
    QTest::newRow("shutdown") << "shutdown";
}

void TestInspector::powerDelayNeverEarly()
{
    QFETCH(QString, what);
    const int count = 8;
    QElapsedTimer clock;
    clock.start();
    QList<qint64> asked, arrived;
    connect(&m_rig->fake, &FakeService::requestReceived, this, [&](const QString &command) {
        if (command == "power/" + what)
            arrived << clock.nsecsElapsed();
    });
    for (int i = 0; i < count; ++i)
        QTimer::singleShot(61 * i, Qt::PreciseTimer, this, [&] {
            asked << clock.nsecsElapsed();
            if (what == "reboot")
                m_rig->inspector.systemReboot();
            else
                m_rig->inspector.systemShutdown();
        });
    WAIT_VERIFY_WITH_TIMEOUT(arrived.size() == count, 15000);
    for (int i = 0; i < count; ++i)
        QVERIFY2(arrived[i] - asked[i] >= 2000 * 1000000LL, qPrintable(QString::number((arrived[i] - asked[i]) / 1000) + " us"));
}

void TestInspector::scheduledShutdownNeverEarly()
{
    QSignalSpy started(&m_rig->inspector, &Inspector::systemShutdownStarted);
    for (int i = 0; i < 5; ++i) {
        QTest::qWait(67 * i); // another moment within the second each time
        QElapsedTimer clock;
        clock.start();
        m_rig->inspector.scheduleShutdown(1);
        QVERIFY(started.wait(5000));
        QVERIFY2(clock.nsecsElapsed() >= 1000 * 1000000LL, qPrintable(QString::number(clock.nsecsElapsed() / 1000) + " us"));
    }
}

void TestInspector::scheduleRefused_data()
{
    QTest::addColumn<int>("sec");

    QTest::newRow("negative") << -1;
    QTest::newRow("an hour ago") << -3600;
    QTest::newRow("longer than a timer holds") << std::numeric_limits<int>::max() / 1000 + 1;
    QTest::newRow("the largest number") << std::numeric_limits<int>::max();
}

void TestInspector::scheduleRefused()
{
    QFETCH(int, sec);

    QSignalSpy started(&m_rig->inspector, &Inspector::systemShutdownStarted);
    LogCapture log;
    m_rig->inspector.scheduleShutdown(sec);
    // A shutdown due at once would have been announced before a later request went round.
    m_rig->inspector.audioPlay(ValidSound);
    WAIT_COMPARE(m_rig->fake.played().size(), 1);
    QCOMPARE(started.count(), 0);
    QCOMPARE(log.texts(QtWarningMsg),
             QStringList{QString("[Inspector] WARN: Cannot schedule System shutdown in : %1 sec(s)").arg(sec)});
    QCOMPARE(log.texts(QtInfoMsg).filter("Shutdown", Qt::CaseInsensitive), QStringList());
}

void TestInspector::requestsWhileDisconnected()
{
    m_rig->rig.mqtt.disconnect();
    SignalRecorder signalsSeen(&m_rig->inspector);
    LogCapture log;
    m_rig->inspector.setAudioVolume(30);
    m_rig->inspector.audioPlay(ValidSound);
    m_rig->inspector.systemReboot();
    QCOMPARE(signalsSeen.take(), QString("systemRebootStarted")); // the screens say so all the same
    const QString base = m_rig->base;
    QVERIFY(waitUntil([&] { return log.texts(QtWarningMsg).size() == 3; }));
    QCOMPARE(log.texts(QtWarningMsg), QStringList({"[Inspector] WARN: Could not publish " + base + "/audio/set : not connected",
                                                   "[Inspector] WARN: Could not publish " + base + "/audio/play : not connected",
                                                   "[Inspector] WARN: Could not publish " + base + "/power/reboot/request/1 : not connected"}));
    QCOMPARE(m_rig->inspector.audioVolume(), 60);
}

void TestInspector::monitor()
{
    LogCapture log;
    m_rig->fake.clearRequests();
    m_rig->inspector.monitor(100);
    QCOMPARE(log.texts(QtInfoMsg).mid(0, 2), QStringList({"[Inspector] Monitor started : 100 msec(s)", "[Inspector] Refreshing data"}));
    WAIT_VERIFY(m_rig->fake.count("stats/cpu/get") >= 3);
    m_rig->inspector.monitor(0);
    QVERIFY(log.texts(QtInfoMsg).contains("[Inspector] Monitor stopped"));
    // Once the stop has travelled (a later request arrived), no more refreshes come.
    m_rig->inspector.audioPlay(ValidSound);
    WAIT_COMPARE(m_rig->fake.played().size(), 1);
    const int asked = m_rig->fake.count("audio/get");
    QTest::qWait(300);
    QCOMPARE(m_rig->fake.count("audio/get"), asked);
}

void TestInspector::askedAgainAfterABrokerRestart()
{
    WAIT_COMPARE(m_rig->fake.count("stats/cpu/get"), 1);
    m_rig->fake.stop();
    m_broker.stop();
    QVERIFY(waitUntil([&] { return !m_rig->rig.mqtt.isConnected(); }));
    QVERIFY2(m_broker.start(), qPrintable(m_broker.errorString()));
    QVERIFY(m_rig->fake.start(m_broker));
    QVERIFY(m_rig->rig.connectClient());
    WAIT_COMPARE(m_rig->fake.count("stats/cpu/get"), 2);
    QCOMPARE(m_rig->fake.count("audio/get"), 2);
    QVERIFY(subscribedBeforeRequest(m_broker, m_rig->rig.mqtt.clientId(), m_rig->base + "/audio", m_rig->base + "/audio/get", 2));
    m_rig->fake.setVolume(45);
    WAIT_COMPARE(m_rig->inspector.audioVolume(), 45);
}

QTEST_GUILESS_MAIN(TestInspector)
#include "tst_Inspector.moc"
