#include "app/Config.h"
#include "app/Logger.h"
#include "terminal/Event.h"
#include "ui/GUIManager.h"

#include "fakes/EventLoopWait.h"
#include "fakes/FreePort.h"
#include "fakes/LogCapture.h"
#include "fakes/MqttPeer.h"
#include "fakes/StubCommands.h"
#include "fakes/TestBroker.h"

#include <QFontDatabase>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A quiet configuration (no syslog, no stderr) with any further lines.
// No camera either: the receiver of their pushes would take the default cameras' port (8000),
// which a program started by another test may hold.
const QByteArray kQuietLog = "[log]\nstderr=false\nsyslog=false\n[cameras]\nalpr1=\nalpr2=\nccr1=\nccr2=\n";

// The controller connects at once: to a port of its own where no broker listens, never 1883.
QByteArray noBroker()
{
    return "[mqtt]\nport=" + QByteArray::number(FreePort::pick()) + "\n";
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

class tst_GUIManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void defaultsTable_data();
    void defaultsTable();
    void freshFileFromDefaults();
    void loadShowsWindowInConfiguredLanguage();
    void logSettingsFollowTheConfiguration();
    void resourcesAreCompiledIn();
    void mqttSessionFollowsConfiguration();

private:
    QScopedPointer<QTemporaryDir> m_work;
    QScopedPointer<StubCommands> m_stubs;
    QString m_previousDir;
};

// The controller builds the terminal, whose store and clock act on the working folder and the
// system: both are the test's own.
void tst_GUIManager::init()
{
    m_work.reset(new QTemporaryDir);
    m_previousDir = QDir::currentPath();
    QDir::setCurrent(m_work->path());
    m_stubs.reset(new StubCommands);
    QVERIFY(m_stubs->isValid());
}

void tst_GUIManager::cleanup()
{
    m_stubs.reset();
    QDir::setCurrent(m_previousDir);
    m_work.reset();
}

void tst_GUIManager::defaultsTable_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("log/level") << "log/level" << QVariant(2);
    QTest::newRow("log/syslog") << "log/syslog" << QVariant(true);
    QTest::newRow("log/stderr") << "log/stderr" << QVariant(true);
    QTest::newRow("log/color") << "log/color" << QVariant(false);
    QTest::newRow("mqtt/port") << "mqtt/port" << QVariant(1883);
    QTest::newRow("mqtt/password") << "mqtt/password" << QVariant(QString(""));
    QTest::newRow("mqtt/base") << "mqtt/base" << QVariant("vesk/ui");
    QTest::newRow("gui/settingsPin") << "gui/settingsPin" << QVariant("8306");
    QTest::newRow("gui/locale") << "gui/locale" << QVariant("el_GR");
    QTest::newRow("gui/screenSaverImg") << "gui/screenSaverImg"
                                        << QVariant("qrc:/qml/images/Icons/ulbo-logo-top-gr.svg");
    QTest::newRow("topics/inspector") << "topics/inspector" << QVariant("vesk/inspector");
    QTest::newRow("cameras/responseTimeoutMsec") << "cameras/responseTimeoutMsec" << QVariant(5000);
    QTest::newRow("barrier/unitId") << "barrier/unitId" << QVariant(255);
    QTest::newRow("card-bo/ignoreSslErrors verifies") << "card-bo/ignoreSslErrors" << QVariant(false);
    QTest::newRow("card-bo/hbPolicy") << "card-bo/hbPolicy" << QVariant("on-change");
    QTest::newRow("terminal/collectTimeoutSec") << "terminal/collectTimeoutSec" << QVariant(60);
    QTest::newRow("esb/url") << "esb/url" << QVariant(QString(""));
}

void tst_GUIManager::defaultsTable()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QVERIFY(GUIManager::Defaults.contains(key));
    QCOMPARE(GUIManager::Defaults.value(key), value);
    QCOMPARE(GUIManager::Defaults.value(key).type(), value.type());
}

void tst_GUIManager::freshFileFromDefaults()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("gui.conf");
    Config config(path, GUIManager::Defaults);

    const QStringList keys = config.keys();
    QCOMPARE(keys.size(), 50);
    QCOMPARE(keys.first(), QString("barrier/address"));
    QCOMPARE(keys.last(), QString("topics/rfid"));
    QSettings file(path, QSettings::IniFormat);
    QCOMPARE(file.childGroups(), (QStringList{"barrier", "cameras", "card-bo", "esb", "gui", "log", "mqtt",
                                              "terminal", "topics"}));
    QCOMPARE(file.value("card-bo/ignoreSslErrors"), QVariant("false"));

    const QJsonObject json = config.toJson();
    QCOMPARE(json.size(), 9);
    QCOMPARE(json["log"].toObject(), (QJsonObject{{"color", false}, {"level", 2}, {"stderr", true}, {"syslog", true}}));
    QCOMPARE(json["esb"].toObject(), (QJsonObject{{"responseTimeoutMsec", 5000}, {"url", ""}}));
    QVERIFY(config.get("topics/update").toString().isEmpty());

    // Four cameras at four addresses.
    QSet<QString> hosts;
    for (const char *camera : {"cameras/alpr1", "cameras/alpr2", "cameras/ccr1", "cameras/ccr2"}) {
        const QUrl url(config.get(camera).toString());
        QCOMPARE(url.scheme(), QString("https"));
        QCOMPARE(url.userName(), QString("vesk"));
        QCOMPARE(url.password(), QString("tulp"));
        QCOMPARE(url.port(), 8000);
        hosts << url.host();
    }
    QCOMPARE(hosts.size(), 4);
    QCOMPARE(QUrl(config.get("barrier/address").toString()).port(), 502);
    QCOMPARE(QUrl(config.get("card-bo/url").toString()).port(), 9876);
}

void tst_GUIManager::loadShowsWindowInConfiguredLanguage()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("gui.conf");
    QVERIFY(writeFile(path, kQuietLog + noBroker()));
    Config config(path, GUIManager::Defaults);

    GUIManager manager(config);
    QCOMPARE(QQuickStyle::name(), QString("Material"));
    QCOMPARE(manager.language(), QString());
    QSignalSpy languageChanged(&manager, &GUIManager::languageChanged);

    const QDateTime beforeLoad = QDateTime::currentDateTime();
    LogCapture log;
    manager.load();
    // The window's pages bind to what the controller publishes: not one QML warning.
    QVERIFY(waitUntil([&] { return log.contains(QtInfoMsg, "[GUIManager] First frame shown"); }, 10000));
    for (const LogCapture::Line &line : log.lines())
        QVERIFY2(line.type == QtInfoMsg || line.type == QtDebugMsg || !line.text.contains(".qml"), qPrintable(line.text));

    // The start is the last entry of the event log.
    const QList<Event *> events = manager.eventManager().events();
    QVERIFY(!events.isEmpty());
    QCOMPARE(events.last()->category(), QString("General"));
    QCOMPARE(events.last()->name(), QString("Application started"));
    QCOMPARE(events.last()->description(), QString());
    QVERIFY(events.last()->timestamp() >= beforeLoad);

    QCOMPARE(manager.engine().rootObjects().size(), 1);
    auto *window = qobject_cast<QQuickWindow *>(manager.engine().rootObjects().first());
    QVERIFY(window);
    QCOMPARE(window->size(), QSize(1024, 600));
    QCOMPARE(window->title(), QString("VORNTerminal"));
    QVERIFY(window->isVisible());

    QCOMPARE(manager.language(), QString("el_GR"));
    QCOMPARE(languageChanged.count(), 1);
    QCOMPARE(QCoreApplication::translate("Login", "LOGIN"), QString::fromUtf8("ΕΙΣΟΔΟΣ"));

    // A language change in the configuration reaches the screens...
    config.set("gui/locale", "en_US");
    QCOMPARE(manager.language(), QString("en_US"));
    QCOMPARE(languageChanged.count(), 2);
    QCOMPARE(QCoreApplication::translate("Login", "LOGIN"), QString("LOGIN"));

    // ...and one set from the screens is stored.
    manager.setLanguage("el_GR");
    QCOMPARE(config.get("gui/locale"), QVariant("el_GR"));
    QCOMPARE(QSettings(path, QSettings::IniFormat).value("gui/locale"), QVariant("el_GR"));
    manager.setLanguage("el_GR");
    QCOMPARE(languageChanged.count(), 3);
}

void tst_GUIManager::logSettingsFollowTheConfiguration()
{
    QTemporaryDir dir;
    QFile file(dir.filePath("gui.conf"));
    QVERIFY(writeFile(file.fileName(), kQuietLog + noBroker()));
    Config config(file.fileName(), GUIManager::Defaults);
    config.addOverrides({{"log/syslog", true}});

    GUIManager manager(config);
    manager::Logger *logger = manager::Logger::instance();
    QCOMPARE(logger->getStderr(), false);
    QCOMPARE(logger->getSyslog(), true); // the command line wins over the file

    config.fromJson(QJsonObject{{"log", QJsonObject{{"stderr", true}}}});
    QCOMPARE(logger->getStderr(), true);

    // An outside edit of the file applies as well.
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray text = file.readAll();
    file.close();
    text.replace("stderr=true", "stderr=false");
    QVERIFY(writeFile(file.fileName(), text));
    QTRY_COMPARE(logger->getStderr(), false);
}

void tst_GUIManager::resourcesAreCompiledIn()
{
    QVERIFY(QFile::exists(":/qml/main.qml"));
    QVERIFY(QFile::exists(":/qtquickcontrols2.conf"));
    QVERIFY(QFile::exists(":/qml/translations/VORNTerminalUI_el_GR.qm"));
    const int id = QFontDatabase::addApplicationFont(":/qml/fonts/DejaVuSans.ttf");
    QVERIFY(id >= 0);
    QVERIFY(QFontDatabase::applicationFontFamilies(id).contains("DejaVu Sans"));
}

// The session starts with the configured broker, client id and will, and moves to another
// broker when the mqtt settings change, leaving the first one cleanly: no will there, but the
// retained status it had published says the terminal is gone.
void tst_GUIManager::mqttSessionFollowsConfiguration()
{
    TestBroker first;
    TestBroker second;
    // Both brokers let only this user in: the session must log in with the configured account.
    first.addUser("terminal", "pw-Secret7");
    second.addUser("terminal", "pw-Secret7");
    QVERIFY2(first.start(), qPrintable(first.errorString()));
    QVERIFY2(second.start(), qPrintable(second.errorString()));
    MqttPeer watcher;
    watcher.setCredentials("terminal", "pw-Secret7");
    QVERIFY(watcher.connectTo(first));
    QVERIFY(watcher.subscribe("test/ui/status", 2));
    QVERIFY(watcher.subscribe("test/ui/info", 2));
    QVERIFY(watcher.subscribe("marker/#", 2));

    QTemporaryDir dir;
    const QString path = dir.filePath("gui.conf");
    QVERIFY(writeFile(path, kQuietLog + QStringLiteral("[mqtt]\nhost=127.0.0.1\nport=%1\nbase=test/ui\n"
                                                       "username=terminal\npassword=pw-Secret7\n")
                                           .arg(first.port())
                                           .toUtf8()));
    Config config(path, GUIManager::Defaults);

    GUIManager manager(config);
    const QString id = QStringLiteral("%1_%2").arg(QCoreApplication::applicationName()).arg(QCoreApplication::applicationPid());
    QVERIFY(first.waitForLog("as " + id));
    QVERIFY(first.log().contains("Will message specified (18 bytes) (r1, q2)."));
    QVERIFY(first.log().contains("\ttest/ui/status"));
    QCOMPARE(manager.mqtt().willMessage(), QByteArray(R"({"service": false})"));
    // Settled on the first broker: its requests subscribed, and an answer to one of them
    // out, so the broker's acknowledgements have been read (a session closed over unread
    // bytes is reset, and the broker may never see its DISCONNECT).
    QVERIFY(first.waitForLog("\ttest/ui/test/cancel/request/+ (QoS 0)"));
    QVERIFY(watcher.publish("test/ui/info/get", QByteArray(), 2));
    QVERIFY(watcher.waitForMessages("test/ui/info", 2));

    LogCapture log;
    QSignalSpy errors(&manager.mqtt(), &manager::MqttClient::error);
    config.set("mqtt/port", second.port());
    QVERIFY(second.waitForLog("as " + id));
    QVERIFY(first.waitForLog("Received DISCONNECT from " + id));
    QTRY_VERIFY(manager.mqtt().isConnected());

    // The handlers were connected again, not twice: every error reaches the log once.
    second.stop();
    QTRY_VERIFY(errors.count() > 0);
    for (const QList<QVariant> &error : qAsConst(errors))
        QCOMPARE(log.count(QtCriticalMsg, "[GUIManager] ERROR: " + error.at(0).toString()), 
                 int(std::count_if(errors.cbegin(), errors.cend(), [&](const QList<QVariant> &other) {
                     return other.at(0) == error.at(0);
                 })));

    // The live status went out retained; leaving said the terminal is gone, as the will would have.
    QVERIFY(watcher.publish("marker/done", "x", 2));
    QVERIFY(watcher.waitForMessages("marker/done"));
    const QList<MqttPeer::Message> statuses = watcher.messages("test/ui/status");
    QCOMPARE(statuses.size(), 2);
    QCOMPARE(QJsonDocument::fromJson(statuses.first().payload).object().value("service"), QJsonValue(true));
    QCOMPARE(statuses.last().payload, QByteArray(R"({"service": false})"));
    QVERIFY(first.log().contains("Received PUBLISH from " + id + " (d0, q0, r1, m0, 'test/ui/status'"));

    // A changed secret is logged by its key, never with its value.
    config.set("log/level", 3);
    config.set("mqtt/password", "pw-Rotated9");
    QVERIFY(log.contains(QtDebugMsg, "\"mqtt/password\": \"****\""));
    QVERIFY(!log.texts().join('\n').contains("pw-Rotated9"));
}

QTEST_MAIN(tst_GUIManager)
#include "tst_GUIManager.moc"
