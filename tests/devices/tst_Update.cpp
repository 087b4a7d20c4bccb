#include "DeviceRig.h"

#include "devices/Update.h"
#include "fakes/CoarseTimer.h"
#include "fakes/FakeUpdateService.h"
#include "fakes/LogCapture.h"
#include "fakes/SignalRecorder.h"

#include <QElapsedTimer>
#include <QJsonDocument>

#include <functional>
#include <memory>
#include <vector>

using manager::Update;

namespace {

// One update client with its fake service, started and in step.
struct UpdateRig
{
    explicit UpdateRig(const TestBroker &broker)
        : rig(broker)
        , base(rig.base("update"))
        , fake(base)
        , update(rig.mqtt, base)
    {
    }

    bool start(const TestBroker &broker)
    {
        return fake.start(broker) && rig.connectClient()
               && waitUntil([this] { return update.status() == QLatin1String("Idle"); });
    }

    // Publishes raw bytes on base + suffix and returns once the client has handled them.
    bool deliver(const QString &suffix, const QByteArray &payload)
    {
        const int before = rig.seen(base + suffix);
        return fake.publishRaw(suffix, payload) && rig.waitSeen(base + suffix, before + 1);
    }

    QString properties() const
    {
        return QStringList{update.status(), update.current(), update.pending(), update.progressMessage(),
                           QString::number(update.progressPercent())}
            .join('|');
    }

    DeviceRig rig;
    QString base;
    FakeUpdateService fake;
    Update update;
};

QStringList warnedValues(const LogCapture &log)
{
    QStringList names;
    for (const QString &line : log.texts(QtWarningMsg).filter("[Update] WARN: Unexpected value of "))
        names << line.mid(QString("[Update] WARN: Unexpected value of ").size()).section(" (topic=", 0, 0);
    return names;
}

} // namespace

class TestUpdate : public DeviceTestCase
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void asksForTheStatusOnConnecting();
    void statusDocuments_data();
    void statusDocuments();
    void progressDocuments_data();
    void progressDocuments();
    void badPayloadsChangeNothing_data();
    void badPayloadsChangeNothing();
    void checkFindsAVersion();
    void checkTimeOut();
    void install();
    void installRefused();
    void installWithoutPending();
    void commandsWhileServiceDown_data();
    void commandsWhileServiceDown();
    void trigger();
    void commandsWhileDisconnected();
    void askedAgainAfterABrokerRestart();
    void progressKeptByTheBrokerIsNoNews();
    void progressKeptWhileAway_data();
    void progressKeptWhileAway();
    void emptyBaseTopic();
    void emptyBaseReportsOnlyItsOwnTopics();

private:
    std::unique_ptr<UpdateRig> m_rig;
};

void TestUpdate::init()
{
    m_rig.reset(new UpdateRig(m_broker));
    QCOMPARE(m_rig->update.status(), QString("Disconnected"));
    QVERIFY(m_rig->start(m_broker));
}

void TestUpdate::cleanup()
{
    m_rig.reset();
}

void TestUpdate::asksForTheStatusOnConnecting()
{
    const auto asked = m_rig->fake.requests("status/get");
    QCOMPARE(asked.size(), 1);
    QCOMPARE(asked[0].payload, QByteArray());
    QCOMPARE(m_rig->properties(), QString("Idle|1.0.0||Idle|0"));
    // What the settings page and the terminal read.
    QCOMPARE(m_rig->update.property("current").toString(), QString("1.0.0"));
    QCOMPARE(m_rig->update.property("progressPercent").toInt(), 0);
    // The answer finds the subscription in place.
    QVERIFY(subscribedBeforeRequest(m_broker, m_rig->rig.mqtt.clientId(), m_rig->base + "/status", m_rig->base + "/status/get"));
}

void TestUpdate::statusDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("properties"); // status|current|pending|message|percent
    QTest::addColumn<QString>("emitted");
    QTest::addColumn<QStringList>("warnings");

    // Before each row: "Downloading|1.0.0||Fetching|40" (a progress report after "Downloading").
    QTest::newRow("versions and state")
        << QByteArray(R"({"service": true, "updateman": true, "version": "1.1.0", "pending": "1.2.0", "state": "Ready"})")
        << "Ready|1.1.0|1.2.0|Idle|0" << "currentChanged pendingChanged statusChanged progressMessageChanged progressPercentChanged"
        << QStringList{};
    QTest::newRow("version 0 is none, pending 0 stays")
        << QByteArray(R"({"version": "0", "pending": "0", "state": "Downloading"})") << "Downloading||0|Idle|0"
        << "currentChanged pendingChanged progressMessageChanged progressPercentChanged" << QStringList{};
    QTest::newRow("service down") << QByteArray(R"({"service": false, "version": "9.9.9", "state": "Idle"})")
                                  << "Service not running|1.0.0||Fetching|40" << "statusChanged" << QStringList{};
    QTest::newRow("update manager down") << QByteArray(R"({"service": true, "updateman": false, "version": "9.9.9"})")
                                         << "Service not running|1.0.0||Fetching|40" << "statusChanged" << QStringList{};
    QTest::newRow("service as text") << QByteArray(R"({"service": "true", "version": "9.9.9"})")
                                     << "Service not running|1.0.0||Fetching|40" << "statusChanged" << QStringList{"service"};
    QTest::newRow("update manager null") << QByteArray(R"({"updateman": null, "version": "9.9.9"})")
                                         << "Service not running|1.0.0||Fetching|40" << "statusChanged" << QStringList{};
    QTest::newRow("no service keys: running") << QByteArray(R"({"version": "1.0.0", "state": "Downloading"})")
                                              << "Downloading|1.0.0||Idle|0"
                                              << "progressMessageChanged progressPercentChanged" << QStringList{};
    QTest::newRow("no state: empty status") << QByteArray(R"({"service": true, "version": "1.0.0"})") << "|1.0.0||Idle|0"
                                            << "statusChanged progressMessageChanged progressPercentChanged" << QStringList{};
    QTest::newRow("wrong types") << QByteArray(R"({"version": 2, "pending": ["1.2"], "state": {"a": 1}})") << "|||Idle|0"
                                 << "currentChanged statusChanged progressMessageChanged progressPercentChanged"
                                 << QStringList{"version", "pending", "state"};
    QTest::newRow("a zero byte ends the text") << QByteArray("{\"state\": \"Zero\"}\x00junk", 22) << "Zero|||Idle|0"
                                               << "currentChanged statusChanged progressMessageChanged progressPercentChanged"
                                               << QStringList{};
    QTest::newRow("an array") << QByteArray("[1, 2]") << "|||Idle|0"
                              << "currentChanged statusChanged progressMessageChanged progressPercentChanged"
                              << QStringList{"the document"};
    // An empty (retained) message clears the status the service left: it is gone, and what it
    // last said about the versions stays (the heartbeat reports the installed one).
    QTest::newRow("empty payload: cleared") << QByteArray() << "Service not running|1.0.0||Fetching|40" << "statusChanged"
                                            << QStringList{};
}

void TestUpdate::statusDocuments()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, properties);
    QFETCH(QString, emitted);
    QFETCH(QStringList, warnings);

    QVERIFY(m_rig->deliver("/status", R"({"state": "Downloading", "version": "1.0.0"})"));
    QVERIFY(m_rig->deliver("/progress", R"({"description": "Fetching", "percent": 40, "progress": 101})"));
    QCOMPARE(m_rig->properties(), QString("Downloading|1.0.0||Fetching|40"));

    SignalRecorder signalsSeen(&m_rig->update);
    LogCapture log;
    QVERIFY(m_rig->deliver("/status", document));
    QCOMPARE(m_rig->properties(), properties);
    QCOMPARE(signalsSeen.take(), emitted);
    QCOMPARE(warnedValues(log), warnings);

    // The same document again changes nothing.
    QVERIFY(m_rig->deliver("/status", document));
    QCOMPARE(signalsSeen.take(), QString());
}

void TestUpdate::progressDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("properties");
    QTest::addColumn<QStringList>("warnings");

    QTest::newRow("running") << QByteArray(R"({"progress": 101, "percent": 30, "description": "Downloading"})")
                             << "Idle|1.0.0||Downloading|30" << QStringList{};
    for (int code : {102, 103, 104})
        QTest::addRow("failed %d", code) << QString(R"({"progress": %1, "percent": 70, "description": "Checksum mismatch"})").arg(code).toUtf8()
                                         << "Installation failed|1.0.0||Checksum mismatch|70" << QStringList{};
    QTest::newRow("success") << QByteArray(R"({"progress": 204, "percent": 100, "description": "Done"})")
                             << "Installation success|1.0.0||Done|100" << QStringList{};
    QTest::newRow("205 is no result") << QByteArray(R"({"progress": 205, "percent": 100, "description": "Done"})")
                                      << "Idle|1.0.0||Done|100" << QStringList{};
    QTest::newRow("nothing but a code") << QByteArray(R"({"progress": 204})") << "Installation success|1.0.0|||0" << QStringList{};
    QTest::newRow("numbers as texts") << QByteArray(R"({"progress": "204", "percent": "50", "description": 7})")
                                      << "Idle|1.0.0|||0" << QStringList{"description", "percent", "progress"};
    QTest::newRow("fractional percent") << QByteArray(R"({"percent": 12.5, "description": "x"})") << "Idle|1.0.0||x|0"
                                        << QStringList{"percent"};
}

void TestUpdate::progressDocuments()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, properties);
    QFETCH(QStringList, warnings);

    LogCapture log;
    QVERIFY(m_rig->deliver("/progress", document));
    QCOMPARE(m_rig->properties(), properties);
    QCOMPARE(warnedValues(log), warnings);
}

void TestUpdate::badPayloadsChangeNothing_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");

    const QList<QByteArray> bad{QByteArray("{"), QByteArray("not json"), QByteArray("{\"state\": \"x\",}"),
                                QByteArray("{\"state\": \"x\"} trailing"), QByteArray("{\"st\x00\":1}", 9),
                                QByteArray("\x00{\"state\": \"x\"}", 15), QByteArray("\xff\xfe"), QByteArray()};
    for (const char *suffix : {"/status", "/progress"})
        for (int i = 0; i < bad.size(); ++i)
            if (!bad[i].isEmpty() || QByteArray(suffix) != "/status") // an empty status clears it
                QTest::addRow("%s %d", suffix, i) << QString(suffix) << bad[i];
}

void TestUpdate::badPayloadsChangeNothing()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, payload);

    QVERIFY(m_rig->deliver("/progress", R"({"description": "Fetching", "percent": 40})"));
    const QString before = m_rig->properties();
    SignalRecorder signalsSeen(&m_rig->update);
    LogCapture log;
    QVERIFY(m_rig->deliver(suffix, payload));
    QCOMPARE(m_rig->properties(), before);
    QCOMPARE(signalsSeen.take(), QString());
    const QStringList errors = log.texts(QtCriticalMsg);
    QCOMPARE(errors.size(), 1);
    // The parser's text after the words, nothing else.
    const QString words = "[Update] Failed to parse JSON message: ";
    QVERIFY2(errors[0].startsWith(words) && errors[0].size() > words.size() && !errors[0].contains("topic="), qPrintable(errors[0]));
}

void TestUpdate::checkFindsAVersion()
{
    m_rig->fake.setAvailable("1.1.0");
    LogCapture log;
    m_rig->update.check();
    QCOMPARE(m_rig->update.status(), QString("Checking for updates"));
    QVERIFY(log.texts(QtInfoMsg).contains("[Update] Checking for updates"));
    WAIT_COMPARE(m_rig->update.pending(), QString("1.1.0"));
    QCOMPARE(m_rig->fake.requests("check").size(), 1);
    QCOMPARE(m_rig->fake.requests("check")[0].payload, QByteArray());
    // The service's own state follows; the time-out would only turn it into "Ready to install".
    QCOMPARE(m_rig->update.status(), QString("Idle"));
}

// The check's time-out in every situation at once, so the suite waits out 10 s only once.
// A result ("No pending updates", "Ready to install") only from a service that answered.
void TestUpdate::checkTimeOut()
{
    const QByteArray pending = R"({"version": "1.0.0", "pending": "1.1.0", "state": "Idle"})";
    struct Case
    {
        QString name;
        std::function<bool(UpdateRig &)> before; // ahead of check()
        std::function<bool(UpdateRig &)> during; // right after it
        QString status;                          // 10 s later
    };
    const auto nothing = [](UpdateRig &) { return true; };
    const QList<Case> cases{
        {"answered, nothing new", nothing, nothing, "No pending updates"},
        {"answered, a version found", [](UpdateRig &r) { r.fake.setAvailable("1.1.0"); return true; }, nothing, "Ready to install"},
        {"a silent service", [](UpdateRig &r) { r.fake.silence("check"); return true; }, nothing, "No answer"},
        {"a silent service, a version pending from before",
         [&](UpdateRig &r) { r.fake.silence("check"); return r.deliver("/status", pending); }, nothing, "No answer"},
        {"a progress report first", [](UpdateRig &r) { r.fake.silence("check"); return true; },
         [](UpdateRig &r) { return r.deliver("/progress", R"({"description": "Downloading", "percent": 5, "progress": 101})"); },
         "Checking for updates"},
        {"the session lost while checking", [](UpdateRig &r) { r.fake.silence("check"); return true; },
         [](UpdateRig &r) {
             r.rig.mqtt.disconnect();
             return waitUntil([&] { return r.update.status() == QLatin1String("Disconnected"); });
         },
         "Disconnected"},
        {"the service down while checking", [&](UpdateRig &r) { r.fake.silence("check"); return r.deliver("/status", pending); },
         [](UpdateRig &r) { return r.deliver("/status", R"({"service": false})"); }, "Service not running"},
        // Refused; the status request that follows goes unanswered too.
        {"checked after the service said it is down",
         [&](UpdateRig &r) {
             r.fake.silence("check");
             r.fake.silence("status/get");
             return r.deliver("/status", pending) && r.deliver("/status", R"({"service": false})");
         },
         nothing, "Service not running"},
        {"its status cleared by an empty payload",
         [&](UpdateRig &r) {
             r.fake.silence("status/get");
             return r.deliver("/status", pending) && r.deliver("/status", QByteArray());
         },
         nothing, "Service not running"},
        // The session renewed while the service is down, its status not retained: nothing says
        // so any more, the check goes out and nobody answers.
        {"the session renewed while the service is down",
         [&](UpdateRig &r) {
             r.fake.setPending("1.1.0");
             r.fake.publishStatus();
             if (!waitUntil([&] { return r.update.pending() == QLatin1String("1.1.0"); }))
                 return false;
             r.fake.setServiceOnline(false);
             if (!waitUntil([&] { return r.update.status() == QLatin1String("Service not running"); }))
                 return false;
             r.rig.mqtt.disconnect();
             return waitUntil([&] { return r.update.status() == QLatin1String("Disconnected"); }) && r.rig.connectClient()
                    && waitUntil([&] { return r.fake.count("status/get") == 2; });
         },
         nothing, "No answer"},
    };

    std::vector<std::unique_ptr<UpdateRig>> rigs;
    for (const Case &c : cases) {
        rigs.push_back(std::make_unique<UpdateRig>(m_broker));
        QVERIFY2(rigs.back()->start(m_broker), qPrintable(c.name));
        QVERIFY2(c.before(*rigs.back()), qPrintable(c.name));
    }

    QElapsedTimer clock;
    clock.start();
    qint64 fellBack = -1;
    connect(&rigs[0]->update, &Update::statusChanged, this, [&] { fellBack = clock.elapsed(); });
    for (int i = 0; i < cases.size(); ++i) {
        rigs[i]->update.check();
        QVERIFY2(cases[i].during(*rigs[i]), qPrintable(cases[i].name));
    }

    WAIT_VERIFY_WITH_TIMEOUT(rigs[0]->update.status() == QLatin1String("No pending updates"), 20000);
    QVERIFY2(fellBack >= coarseTimerEarliest(10000), qPrintable(QString::number(fellBack)));
    for (int i = 0; i < cases.size(); ++i)
        waitUntil([&] { return rigs[i]->update.status() == cases[i].status; }, 2000);
    QTest::qWait(500); // every time-out had its chance
    QStringList statuses, expected;
    for (int i = 0; i < cases.size(); ++i) {
        statuses << cases[i].name + ": " + rigs[i]->update.status();
        expected << cases[i].name + ": " + cases[i].status;
    }
    QCOMPARE(statuses, expected);
    // A progress report ends the wait with what it says.
    QCOMPARE(rigs[4]->update.progressMessage(), QString("Downloading"));
}

void TestUpdate::install()
{
    m_rig->fake.setPending("1.1.0");
    m_rig->fake.publishStatus();
    WAIT_COMPARE(m_rig->update.pending(), QString("1.1.0"));

    QStringList statuses;
    QList<int> percents;
    connect(&m_rig->update, &Update::statusChanged, this, [&] { statuses << m_rig->update.status(); });
    connect(&m_rig->update, &Update::progressPercentChanged, this, [&] { percents << m_rig->update.progressPercent(); });
    LogCapture log;
    m_rig->update.install();
    WAIT_COMPARE(m_rig->update.current(), QString("1.1.0"));
    QCOMPARE(m_rig->fake.requests("install").size(), 1);
    QCOMPARE(m_rig->fake.requests("install")[0].payload, QByteArray());
    QCOMPARE(statuses, QStringList({"Installation success", "Idle"}));
    QCOMPARE(percents, QList<int>({50, 100, 0}));
    QCOMPARE(m_rig->update.pending(), QString());
    QVERIFY(log.texts(QtInfoMsg).contains("[Update] Installing pending update : 1.1.0"));
}

void TestUpdate::installRefused()
{
    m_rig->fake.setPending("1.1.0");
    m_rig->fake.publishStatus();
    WAIT_COMPARE(m_rig->update.pending(), QString("1.1.0"));
    m_rig->fake.refuse("install", 103, "Checksum mismatch");
    m_rig->update.install();
    WAIT_COMPARE(m_rig->update.status(), QString("Installation failed"));
    QCOMPARE(m_rig->update.progressMessage(), QString("Checksum mismatch"));
    QCOMPARE(m_rig->update.current(), QString("1.0.0"));
    QCOMPARE(m_rig->update.pending(), QString("1.1.0"));
}

void TestUpdate::installWithoutPending()
{
    LogCapture log;
    m_rig->update.install();
    QCOMPARE(log.texts(QtWarningMsg), QStringList{"[Update] WARN: Cannot install. There are no pending versions"});
    // A later command travels the same way: once it has arrived, nothing came before it.
    m_rig->update.trigger("1.1.0", "http://updates.local/1.1.0");
    WAIT_COMPARE(m_rig->fake.requests("trigger").size(), 1);
    QCOMPARE(m_rig->fake.requests("install").size(), 0);
    QCOMPARE(m_rig->update.status(), QString("Idle"));
}

// A service that said it is down gets neither a check nor an install; the page keeps saying so.
// Each refusal asks for the service's status: one that runs after all (a will that came late,
// after it had started again) answers, and the next command goes out.
void TestUpdate::commandsWhileServiceDown_data()
{
    QTest::addColumn<QByteArray>("down");
    QTest::newRow("service down") << QByteArray(R"({"service": false})");
    QTest::newRow("update manager down") << QByteArray(R"({"service": true, "updateman": false})");
    QTest::newRow("status cleared") << QByteArray();
}

void TestUpdate::commandsWhileServiceDown()
{
    QFETCH(QByteArray, down);

    QVERIFY(m_rig->deliver("/status", R"({"version": "1.0.0", "pending": "1.1.0", "state": "Idle"})"));
    QVERIFY(m_rig->deliver("/status", down));
    QCOMPARE(m_rig->update.status(), QString("Service not running"));
    SignalRecorder signalsSeen(&m_rig->update);
    LogCapture log;
    m_rig->update.check();
    m_rig->update.install();
    QCOMPARE(m_rig->update.status(), QString("Service not running"));
    QCOMPARE(log.texts(QtWarningMsg), QStringList({"[Update] WARN: Cannot check for updates. Service not running",
                                                   "[Update] WARN: Cannot install. Service not running"}));
    QCOMPARE(signalsSeen.take(), QString());
    // The versions it reported stay.
    QCOMPARE(m_rig->update.current(), QString("1.0.0"));
    QCOMPARE(m_rig->update.pending(), QString("1.1.0"));
    // A later command travels the same way: once it has arrived, nothing came before it.
    m_rig->update.trigger("1.1.0", "http://updates.local/1.1.0");
    WAIT_COMPARE(m_rig->fake.requests("trigger").size(), 1);
    QCOMPARE(m_rig->fake.requests("check").size(), 0);
    QCOMPARE(m_rig->fake.requests("install").size(), 0);

    // Each refusal asked for the status (one on connecting before them); the running service answers.
    WAIT_COMPARE(m_rig->fake.count("status/get"), 3);
    WAIT_COMPARE(m_rig->update.status(), QString("Idle"));

    // Back up: a check goes out again.
    QVERIFY(m_rig->deliver("/status", R"({"service": true, "updateman": true, "version": "1.0.0", "pending": "1.1.0", "state": "Idle"})"));
    m_rig->update.check();
    QCOMPARE(m_rig->update.status(), QString("Checking for updates"));
    WAIT_COMPARE(m_rig->fake.requests("check").size(), 1);
}

void TestUpdate::trigger()
{
    LogCapture log;
    m_rig->update.trigger("2.0.0", "https://updates.example.org/terminal-2.0.0.swu", "9e107d9d372bb6826bd81d3542a419d6");
    m_rig->update.trigger("2.0.1", "https://updates.example.org/terminal-2.0.1.swu");
    WAIT_COMPARE(m_rig->fake.requests("trigger").size(), 2);
    const auto sent = m_rig->fake.requests("trigger");
    QCOMPARE(sent[0].body, QJsonObject({{"at", 0}, {"md5", "9e107d9d372bb6826bd81d3542a419d6"},
                                        {"uri", "https://updates.example.org/terminal-2.0.0.swu"}, {"v", "2.0.0"}}));
    QCOMPARE(sent[0].payload, QJsonDocument(sent[0].body).toJson(QJsonDocument::Indented));
    QVERIFY(sent[0].payload.indexOf("\"at\"") < sent[0].payload.indexOf("\"md5\""));
    QVERIFY(sent[0].payload.indexOf("\"uri\"") < sent[0].payload.indexOf("\"v\""));
    QCOMPARE(sent[1].body.value("md5").toString(), QString(""));
    QVERIFY(sent[1].body.value("md5").isString());
    QCOMPARE(log.texts(QtInfoMsg).filter("Triggerring"),
             QStringList({"[Update] Triggerring download : v=2.0.0, uri=https://updates.example.org/terminal-2.0.0.swu, "
                          "checksum=9e107d9d372bb6826bd81d3542a419d6",
                          "[Update] Triggerring download : v=2.0.1, uri=https://updates.example.org/terminal-2.0.1.swu, checksum="}));
    // The download makes the version pending; nothing is set by the trigger itself.
    WAIT_COMPARE(m_rig->update.pending(), QString("2.0.1"));
    QCOMPARE(m_rig->update.progressMessage(), QString("Idle"));

    // What the back office sends is quoted in the log.
    log.clear();
    m_rig->update.trigger("3.0\n[Update] forged", "u");
    QCOMPARE(log.texts(QtInfoMsg).filter("Triggerring"),
             QStringList{"[Update] Triggerring download : v=3.0\\n[Update] forged, uri=u, checksum="});
}

void TestUpdate::commandsWhileDisconnected()
{
    m_rig->fake.setPending("1.1.0");
    m_rig->fake.publishStatus();
    WAIT_COMPARE(m_rig->update.pending(), QString("1.1.0"));
    m_rig->rig.mqtt.disconnect();
    WAIT_COMPARE(m_rig->update.status(), QString("Disconnected"));

    SignalRecorder signalsSeen(&m_rig->update);
    LogCapture log;
    m_rig->update.check();
    m_rig->update.install();
    m_rig->update.trigger("2.0.0", "u");
    const QString base = m_rig->base;
    QCOMPARE(log.texts(QtWarningMsg), QStringList({"[Update] WARN: Could not publish " + base + "/check : not connected",
                                                   "[Update] WARN: Could not publish " + base + "/install : not connected",
                                                   "[Update] WARN: Could not publish " + base + "/trigger : not connected"}));
    QCOMPARE(m_rig->update.status(), QString("Disconnected"));
    QCOMPARE(signalsSeen.take(), QString());
}

void TestUpdate::askedAgainAfterABrokerRestart()
{
    QCOMPARE(m_rig->fake.count("status/get"), 1);
    m_rig->fake.stop();
    m_broker.stop();
    WAIT_COMPARE(m_rig->update.status(), QString("Disconnected"));

    QVERIFY2(m_broker.start(), qPrintable(m_broker.errorString()));
    QVERIFY(m_rig->fake.start(m_broker));
    QVERIFY(m_rig->rig.connectClient());
    WAIT_COMPARE(m_rig->update.status(), QString("Idle"));
    QCOMPARE(m_rig->fake.count("status/get"), 2);
    QVERIFY(subscribedBeforeRequest(m_broker, m_rig->rig.mqtt.clientId(), m_rig->base + "/status", m_rig->base + "/status/get", 2));

    // The subscriptions came back too.
    QVERIFY(m_rig->deliver("/progress", R"({"description": "After", "percent": 1})"));
    QCOMPARE(m_rig->update.progressMessage(), QString("After"));
}

// A progress report kept by the broker (published retained) is news when it happens, not again
// at each new session: replayed, a final code would announce the end of an install once more
// (and the terminal would report it to the back office again).
void TestUpdate::progressKeptByTheBrokerIsNoNews()
{
    QVERIFY(m_rig->fake.publishRaw("/progress", R"({"progress": 204, "percent": 100, "description": "Done"})", true));
    WAIT_COMPARE(m_rig->update.status(), QString("Installation success"));
    m_rig->rig.mqtt.disconnect();
    WAIT_COMPARE(m_rig->update.status(), QString("Disconnected"));

    QStringList statuses;
    connect(&m_rig->update, &Update::statusChanged, this, [&] { statuses << m_rig->update.status(); });
    const int before = m_rig->rig.seen(m_rig->base + "/progress");
    QVERIFY(m_rig->rig.connectClient());
    QVERIFY(m_rig->rig.waitSeen(m_rig->base + "/progress", before + 1)); // handed out again
    WAIT_COMPARE(m_rig->fake.count("status/get"), 2);
    WAIT_COMPARE(m_rig->update.status(), QString("Idle"));
    QCOMPARE(statuses, QStringList{"Idle"});
}

void TestUpdate::progressKeptWhileAway_data()
{
    QTest::addColumn<int>("reported"); // the code last reported before the restart; 0: none
    QTest::addColumn<int>("kept");     // the code the broker kept meanwhile
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("taken");

    QTest::newRow("none reported yet") << 0 << 204 << "Installation success" << true;
    QTest::newRow("the install's start reported") << 101 << 204 << "Installation success" << true;
    QTest::newRow("a failure after the start") << 101 << 103 << "Installation failed" << true;
    QTest::newRow("an earlier failure reported") << 103 << 204 << "Installation success" << true;
    QTest::newRow("success already reported") << 204 << 204 << "Installation success" << false;
    QTest::newRow("failure already reported") << 103 << 103 << "Installation failed" << false;
}

// An install that restarts the program ends while no client listens: its last progress code
// reaches the client only as the broker kept it. One not reported yet is news, once; one
// reported already (before this restart or the one after) is a replay.
void TestUpdate::progressKeptWhileAway()
{
    QFETCH(int, reported);
    QFETCH(int, kept);
    QFETCH(QString, status);
    QFETCH(bool, taken);

    const QString progress = m_rig->base + "/progress";
    m_rig->fake.publishProgress(kept, 100, "Done", true);
    QVERIFY(m_rig->rig.waitSeen(progress, 1));

    // A client as a restarted program has it: the code last reported given back before it connects.
    struct Session
    {
        QStringList statuses;
        int reported = 0;
        int remembered = 0; // announcements of a new code
        bool ignored = false;
    };
    const auto restart = [&](int before) {
        Session session;
        DeviceRig rig(m_broker);
        Update update(rig.mqtt, m_rig->base);
        update.setReportedProgress(before);
        connect(&update, &Update::statusChanged, &update, [&] { session.statuses << update.status(); });
        connect(&update, &Update::reportedProgressChanged, &update, [&] { ++session.remembered; });
        LogCapture log;
        const int asked = m_rig->fake.count("status/get");
        if (!rig.connectClient() || !rig.waitSeen(progress, 1)
            || !waitUntil([&] { return m_rig->fake.count("status/get") > asked && update.status() == QLatin1String("Idle"); })) {
            session.statuses << "<no session>";
            return session;
        }
        session.reported = update.reportedProgress();
        session.ignored = log.contains(QtWarningMsg, "[Update] WARN: Ignoring retained message on " + progress);
        return session;
    };

    const Session first = restart(reported);
    QCOMPARE(first.statuses.contains(status), taken);
    QCOMPARE(first.ignored, !taken);
    QCOMPARE(first.reported, kept);
    QCOMPARE(first.remembered, taken ? 1 : 0);

    // Restarted again with what the first reported: the same code is no news.
    const Session second = restart(first.reported);
    QVERIFY2(!second.statuses.contains(status), qPrintable(second.statuses.join(", ")));
    QVERIFY(second.ignored);
    QCOMPARE(second.reported, kept);
    QCOMPARE(second.remembered, 0);
}

void TestUpdate::emptyBaseTopic()
{
    // Without topics/update the base is empty: "/status" and "/progress" exactly.
    DeviceRig rig(m_broker);
    FakeUpdateService fake(QString(), this);
    fake.setVersion("4.0.0");
    QVERIFY(fake.start(m_broker));
    Update update(rig.mqtt, QString());
    QVERIFY(rig.connectClient());
    QCOMPARE(rig.mqtt.subscriptions().size(), 2);
    QCOMPARE(rig.mqtt.subscriptions()[0].first.filter(), QString("/status"));
    QCOMPARE(rig.mqtt.subscriptions()[1].first.filter(), QString("/progress"));

    WAIT_COMPARE(update.current(), QString("4.0.0"));
    QCOMPARE(fake.count("status/get"), 1);
    QVERIFY(fake.publishRaw("/progress", R"({"description": "Empty base", "percent": 3})"));
    WAIT_COMPARE(update.progressMessage(), QString("Empty base"));
}

// The default configuration has no topics/update: the client then sees every
// message of the session, and the others' payloads are not its parse failures.
void TestUpdate::emptyBaseReportsOnlyItsOwnTopics()
{
    DeviceRig rig(m_broker);
    FakeUpdateService fake(QString(), this);
    QVERIFY(fake.start(m_broker));
    Update update(rig.mqtt, QString());
    // Topics of the controller's and the terminal's, whose payloads are ignored.
    const QStringList others{rig.base("ui") + "/status/get", rig.base("ui") + "/button"};
    for (const QString &topic : others)
        rig.mqtt.subscribe(topic, 0);
    QVERIFY(rig.connectClient());
    WAIT_COMPARE(update.status(), QString("Idle"));

    SignalRecorder signalsSeen(&update);
    LogCapture log;
    for (const QString &topic : others) {
        QVERIFY(fake.publishRaw(topic, QByteArray()));
        QVERIFY(fake.publishRaw(topic, "press"));
        QVERIFY(rig.waitSeen(topic, 2));
    }
    QCOMPARE(log.texts(QtCriticalMsg), QStringList());

    // Its own topics still are.
    QVERIFY(fake.publishRaw("/status", "not json"));
    QVERIFY(fake.publishRaw("/progress", "{"));
    QVERIFY(rig.waitSeen("/status", 2) && rig.waitSeen("/progress", 1));
    const QStringList errors = log.texts(QtCriticalMsg);
    QCOMPARE(errors.size(), 2);
    for (const QString &line : errors)
        QVERIFY2(line.startsWith("[Update] Failed to parse JSON message: "), qPrintable(line));
    QCOMPARE(update.status(), QString("Idle"));
    QCOMPARE(signalsSeen.take(), QString());
}

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_Update.moc"
