#include "ui/GUIManager.h"

#include "app/Config.h"
#include "app/JsonRead.h"
#include "app/LogQuote.h"
#include "app/Logger.h"
#include "backend/CardBO.h"
#include "backend/Database.h"
#include "devices/Barrier.h"
#include "devices/Button.h"
#include "devices/Connection.h"
#include "devices/IPv4.h"
#include "devices/Loop.h"
#include "devices/MIOBoard.h"
#include "devices/Network.h"
#include "devices/Update.h"
#include "terminal/Event.h"
#include "terminal/EventLogin.h"
#include "terminal/EventLogout.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLocale>
#include <QQmlContext>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSet>
#include <QtQml/qqml.h>

#include <climits>

namespace {

const char *const LogTag = "[GUIManager] ";
const char *const kMainQml = "qrc:/qml/main.qml";
const char *const kTranslationFile = ":/qml/translations/VORNTerminalUI_el_GR.qm";

QString cameraUrl(const char *address)
{
    return QStringLiteral("https://vesk:tulp@%1:8000").arg(QLatin1String(address));
}

} // namespace

const QMap<QString, QVariant> GUIManager::Defaults = {
    {"log/level", 2},
    {"log/syslog", true},
    {"log/stderr", true},
    {"log/color", false},

    {"mqtt/host", "localhost"},
    {"mqtt/port", 1883},
    {"mqtt/username", ""},
    {"mqtt/password", ""},
    {"mqtt/base", "vesk/ui"},

    {"gui/settingsPin", "8306"},
    {"gui/showCursor", true},
    {"gui/locale", "el_GR"},
    {"gui/displayOffMin", 3},
    {"gui/shutdownDelaySec", 60},
    {"gui/showErrorDesc", false},
    {"gui/screenSaverBg", "black"},
    {"gui/screenSaverImg", "qrc:/qml/images/Icons/ulbo-logo-top-gr.svg"},
    {"gui/animSwitchSec", 0},

    {"topics/blm", "vesk/blm"},
    {"topics/board", "vesk/board"},
    {"topics/inspector", "vesk/inspector"},
    {"topics/network", "vesk/network"},
    {"topics/device", "vesk/device"},
    {"topics/rfid", "vesk/rfid"},
    {"topics/dispenser", "vesk/dispenser"},

    {"cameras/alpr1", cameraUrl("192.168.10.11")},
    {"cameras/alpr2", cameraUrl("192.168.10.12")},
    {"cameras/ccr1", cameraUrl("192.168.10.13")},
    {"cameras/ccr2", cameraUrl("192.168.10.14")},
    {"cameras/numberOfRetries", 3},
    {"cameras/triggerDelayMsec", 2000},
    {"cameras/responseTimeoutMsec", 5000},

    {"barrier/address", "tcp://localhost:502"},
    {"barrier/timeout", 1000},
    {"barrier/retries", 3},
    {"barrier/unitId", 255},

    {"card-bo/url", "https://192.168.1.100:9876"},
    {"card-bo/pubCert", "/opt/certs/device.crt"},
    {"card-bo/privKey", "/opt/certs/device.key"},
    {"card-bo/rootCA", "/opt/certs/rootCA.crt"},
    // Verify the back office against card-bo/rootCA: with errors ignored the
    // API key would go to anyone on the path.
    {"card-bo/ignoreSslErrors", false},
    {"card-bo/hbIntervalSec", 30},
    {"card-bo/hbPolicy", "on-change"},
    {"card-bo/respTimeoutMsec", 5000},

    {"terminal/deviceId", "/etc/serialnumber"},
    {"terminal/customsId", "/etc/customsId"},
    {"terminal/locationId", "/etc/locationId"},
    {"terminal/collectTimeoutSec", 60},

    {"esb/responseTimeoutMsec", 5000},
    {"esb/url", ""},
};

const QString GUIManager::ValidSound = QStringLiteral("/opt/vesk/vorn-terminal-ui/Valid.wav");
const QString GUIManager::InvalidSound = QStringLiteral("/opt/vesk/vorn-terminal-ui/Invalid.wav");

namespace {

const QString Busy = QStringLiteral("Busy");
const QString CollectScreen = QStringLiteral("CollectScreen");
const QString DispenseScreen = QStringLiteral("DispenseScreen");
const QString ErrorScreen = QStringLiteral("ErrorScreen");
const QString Login = QStringLiteral("Login");
const QString OutOfOrder = QStringLiteral("OutOfOrder");
const QString OutOfService = QStringLiteral("OutOfService");
const QString Settings = QStringLiteral("Settings");
const QString Success = QStringLiteral("Success");

QJsonValue isoOrNull(const QDateTime &moment)
{
    return moment.isValid() ? QJsonValue(moment.toString(Qt::ISODate)) : QJsonValue(QJsonValue::Null);
}

// Refusals a "/config/set" reply lists and the log shows one by one; the rest are counted.
constexpr int MaxRefusalsShown = 20;

// The settings the MQTT session is made of.
const QStringList SessionKeys = {QStringLiteral("mqtt/port"), QStringLiteral("mqtt/username"),
                                 QStringLiteral("mqtt/password")};

} // namespace

GUIManager::GUIManager(Config &config)
    : QObject(nullptr)
    , m_rootContext(m_engine.rootContext())
    , m_config(config)
    , m_inspector(m_mqtt, config.get("topics/inspector").toString())
    , m_terminal(config, m_mqtt)
    , m_diagnostics(m_terminal)
    , m_sessionManager(config)
    , m_eventManager(config)
{
    initLog();
    initConfig();
    initQml();
    initMqtt();
    initManagers();
}

GUIManager::~GUIManager()
{
    // The members go before this object: none of their last signals may reach it.
    QObject::disconnect(&m_mqtt, nullptr, this, nullptr);
}

void GUIManager::load()
{
    m_engine.load(QUrl(QString::fromLatin1(kMainQml)));
    if (m_engine.rootObjects().isEmpty()) {
        qCritical().noquote().nospace() << LogTag << "ERROR: Failed to load " << kMainQml;
    } else if (auto *window = qobject_cast<QQuickWindow *>(m_engine.rootObjects().first())) {
        // The moment the terminal can be seen: what start-up is measured by.
        auto once = QSharedPointer<QMetaObject::Connection>::create();
        *once = connect(window, &QQuickWindow::frameSwapped, this, [once] {
            QObject::disconnect(*once);
            qInfo().noquote().nospace() << LogTag << "First frame shown";
        });
    }

    setLanguage(m_config.get("gui/locale").toString());

    m_eventManager.push(new Event(QStringLiteral("General"), QStringLiteral("Application started"), QString(),
                                  QDateTime::currentDateTime()));
}

// ---------------------------------------------------------------------------
// Properties

QString GUIManager::deviceId() const
{
    return m_terminal.serialNum();
}

QString GUIManager::language() const
{
    return m_language;
}

QString GUIManager::dynTr() const
{
    return QString();
}

bool GUIManager::showCursor() const
{
    return m_config.get("gui/showCursor").toBool();
}

bool GUIManager::showErrorDesc() const
{
    return m_config.get("gui/showErrorDesc").toBool();
}

int GUIManager::displayOffMin() const
{
    return m_config.get("gui/displayOffMin").toInt();
}

int GUIManager::shutdownDelaySec() const
{
    return m_config.get("gui/shutdownDelaySec").toInt();
}

QColor GUIManager::screenSaverBg() const
{
    QColor color;
    color.setNamedColor(m_config.get("gui/screenSaverBg").toString());
    return color;
}

QString GUIManager::screenSaverImg() const
{
    return m_config.get("gui/screenSaverImg").toString();
}

manager::Update *GUIManager::update()
{
    return m_terminal.update();
}

int GUIManager::animSwitchSec() const
{
    return m_config.get("gui/animSwitchSec").toInt();
}

void GUIManager::setShowCursor(bool value)
{
    if (value != showCursor())
        m_config.set("gui/showCursor", value);
}

void GUIManager::setShowErrorDesc(bool value)
{
    if (value != showErrorDesc())
        m_config.set("gui/showErrorDesc", value);
}

void GUIManager::setDisplayOffMin(int value)
{
    if (value != displayOffMin())
        m_config.set("gui/displayOffMin", value);
}

void GUIManager::setShutdownDelaySec(int value)
{
    if (value != shutdownDelaySec())
        m_config.set("gui/shutdownDelaySec", value);
}

void GUIManager::setAnimSwitchSec(int value)
{
    if (value != animSwitchSec())
        m_config.set("gui/animSwitchSec", value);
}

void GUIManager::setMessage(const QString &message)
{
    if (message == m_message)
        return;
    m_message = message;
    emit messageChanged();
}

void GUIManager::setLanguage(const QString &lang)
{
    if (lang == m_language)
        return;
    qInfo().noquote().nospace() << LogTag << "Language changed : " << LogQuote::quote(lang);

    if (m_translator.isEmpty()) {
        qInfo().noquote().nospace() << LogTag << "Loading translation file : " << kTranslationFile;
        if (!m_translator.load(QString::fromLatin1(kTranslationFile))) {
            qCritical().noquote().nospace() << LogTag << "ERROR: Failed to load translation file";
            return;
        }
    }

    const QLocale locale(lang);
    if (locale.language() == QLocale::English) {
        QCoreApplication::removeTranslator(&m_translator);
    } else if (!QCoreApplication::installTranslator(&m_translator)) {
        qCritical().noquote().nospace() << LogTag << "ERROR: Failed to install translator";
        return;
    }

    QLocale::setDefault(locale);
    m_language = lang;
    m_config.set("gui/locale", lang);
    emit languageChanged();
}

QQmlApplicationEngine &GUIManager::engine()
{
    return m_engine;
}

manager::MqttClient &GUIManager::mqtt()
{
    return m_mqtt;
}

manager::Inspector &GUIManager::inspector()
{
    return m_inspector;
}

Terminal &GUIManager::terminal()
{
    return m_terminal;
}

SessionManager &GUIManager::sessionManager()
{
    return m_sessionManager;
}

EventManager &GUIManager::eventManager()
{
    return m_eventManager;
}

// ---------------------------------------------------------------------------
// Set-up

void GUIManager::initLog()
{
    manager::Logger *logger = manager::Logger::instance();
    logger->setLevel(m_config.get("log/level").toInt());
    logger->setStderr(m_config.get("log/stderr").toBool());
    logger->setSyslog(m_config.get("log/syslog").toBool());
    logger->setColor(m_config.get("log/color").toBool());
}

void GUIManager::initConfig()
{
    connect(&m_config, &Config::configChanged, this, &GUIManager::onConfigChanged);
    connect(&m_config, &Config::configFileChanged, this, &GUIManager::onConfigFileChanged);
    m_config.print();
}

void GUIManager::initQml()
{
    QQuickStyle::setStyle(QStringLiteral("Material"));
    qInfo().noquote().nospace() << LogTag << "QtQuick Style name is : " << QQuickStyle::name();

    const QString notCreatable = QStringLiteral("Not creatable in QML");
    qmlRegisterType<manager::Connection>("com.vesk.network.connection", 1, 0, "Connection");
    qmlRegisterType<IPv4>("com.vesk.network.ipv4", 1, 0, "IPv4");
    qmlRegisterUncreatableType<Session>("com.vesk.terminal.session", 1, 0, "Session", notCreatable);
    qmlRegisterUncreatableType<Test>("com.vesk.diagnostics.test", 1, 0, "Test", notCreatable);
    qRegisterMetaType<Test>("Test");

    m_rootContext->setContextProperty(QStringLiteral("manager"), this);
    m_rootContext->setContextProperty(QStringLiteral("board"), m_terminal.board());
    m_rootContext->setContextProperty(QStringLiteral("inspector"), &m_inspector);
    m_rootContext->setContextProperty(QStringLiteral("eventLogManager"), &m_eventManager);
    m_rootContext->setContextProperty(QStringLiteral("network"), m_terminal.network());
    m_rootContext->setContextProperty(QStringLiteral("terminal"), &m_terminal);

    m_screenTimer.setSingleShot(true);
    m_displayOffTimer.setSingleShot(true);
    connect(&m_screenTimer, &QTimer::timeout, this, &GUIManager::onScreenTimeout);

    setMessage(tr("Initializing"));
    setScreen(Busy, 10000);
}

void GUIManager::initMqtt()
{
    // Re-running this must not double the handlers.
    QObject::disconnect(&m_mqtt, &manager::MqttClient::connected, this, nullptr);
    QObject::disconnect(&m_mqtt, &manager::MqttClient::disconnected, this, nullptr);
    QObject::disconnect(&m_mqtt, &manager::MqttClient::error, this, nullptr);
    QObject::disconnect(&m_mqtt, &manager::MqttClient::received, this, nullptr);
    QObject::connect(&m_mqtt, &manager::MqttClient::connected, this, &GUIManager::onMqttConnected);
    QObject::connect(&m_mqtt, &manager::MqttClient::disconnected, this, &GUIManager::onMqttDisconnected);
    QObject::connect(&m_mqtt, &manager::MqttClient::error, this, &GUIManager::onMqttError);
    QObject::connect(&m_mqtt, &manager::MqttClient::received, this, &GUIManager::onMqttMessage);

    m_mqtt.setClientId(QStringLiteral("%1_%2").arg(QCoreApplication::applicationName()).arg(QCoreApplication::applicationPid()));
    m_mqtt.setWillMessage(QByteArrayLiteral(R"({"service": false})"));
    m_mqtt.setWillTopic(base() + QStringLiteral("/status"));
    m_mqtt.setHostname(m_config.get("mqtt/host").toString());
    m_mqtt.setPort(m_config.get("mqtt/port").toUInt());
    m_mqtt.setUsername(m_config.get("mqtt/username").toString());
    m_mqtt.setPassword(m_config.get("mqtt/password").toString());

    const int restart = ++m_mqttRestart;
    if (!m_mqtt.isConnected()) {
        m_statusTopic.clear();
        m_mqtt.connect();
        return;
    }
    // A clean disconnect drops the will: say what it would have said, so the
    // retained status there does not claim a live terminal for ever.
    if (!m_statusTopic.isEmpty())
        m_mqtt.publish(QByteArrayLiteral(R"({"service": false})"), m_statusTopic, 0, true);
    m_statusTopic.clear();
    // Connect again once the old session has closed: a new attempt would drop
    // the status and the DISCONNECT still on their way out.
    const auto reconnect = [this, restart] {
        if (restart != m_mqttRestart)
            return;
        ++m_mqttRestart;
        m_mqtt.connect();
    };
    const auto closed = QSharedPointer<QMetaObject::Connection>::create();
    *closed = connect(&m_mqtt, &manager::MqttClient::disconnected, this, [closed, reconnect] {
        QObject::disconnect(*closed);
        reconnect();
    });
    // Should the close never be confirmed.
    QTimer::singleShot(2000, this, reconnect);
    m_mqtt.disconnect();
}

void GUIManager::initManagers()
{
    connect(&m_sessionManager, &SessionManager::accessGranted, this, &GUIManager::settingsAccessGranted);
    connect(&m_sessionManager, &SessionManager::accessDenied, this, &GUIManager::settingsAccessDenied);
    connect(&m_sessionManager, &SessionManager::accessDelayed, this, &GUIManager::settingsAccessDelayed);
    connect(&m_sessionManager, &SessionManager::loginDelayStarted, this, &GUIManager::onLoginDelayStarted);
    connect(&m_sessionManager, &SessionManager::expired, this, &GUIManager::setIdleScreen);
    connect(&m_sessionManager, &SessionManager::sessionActiveChanged, this, &GUIManager::onSessionActiveChanged);
    connect(&m_displayOffTimer, &QTimer::timeout, this, &GUIManager::onDisplayOffTimeout);
    connect(this, &GUIManager::screenChanged, this, &GUIManager::onScreenChanged);
    connect(&m_inspector, &manager::Inspector::systemRebootStarted, &m_inspector, [this] {
        setMessage(tr("Rebooting"));
        setScreen(Busy, 30000);
    });
    connect(&m_inspector, &manager::Inspector::systemShutdownStarted, &m_inspector, [this] {
        setMessage(tr("Shutting down"));
        setScreen(Busy, 30000);
    });
    connect(&m_inspector, &manager::Inspector::powerRequestFailed, this, &GUIManager::onPowerRequestFailed);
    connect(&m_terminal, &Terminal::serialNumChanged, this, &GUIManager::deviceIdChanged);
    connect(&m_terminal, &Terminal::typeChanged, this, &GUIManager::setIdleScreen);
    connect(&m_terminal, &Terminal::stateChanged, this, &GUIManager::setIdleScreen);
    // Before the terminal starts its engine: the screen for a session state is
    // chosen before the engine acts on it.
    connect(m_terminal.session(), &Session::stateChanged, this, &GUIManager::onTerminalSessionStateChanged);
    // A press (or a card inserted) while the cameras read puts the session under way with no
    // change of its state: the driver is told to wait from then on. In no other state does the
    // press decide the screen.
    connect(m_terminal.session(), &Session::buttonPressedChanged, this, [this] {
        if (m_terminal.session()->state() == Session::DataCollect && sessionUnderWay())
            showDriverScreen();
    });

    m_terminal.start();
}

// ---------------------------------------------------------------------------
// Configuration changes

void GUIManager::onConfigChanged(const QVariantMap &changes)
{
    qDebug().noquote().nospace() << LogTag << "Config changed : "
                                 << QJsonDocument(QJsonObject::fromVariantMap(Config::forLog(changes))).toJson(QJsonDocument::Indented);

    // Every group a change touches is applied, however many come together.
    if (changes.contains("gui/showCursor")) {
        qInfo().noquote().nospace() << LogTag << "Cursor changed : " << (showCursor() ? "visible" : "hidden");
        emit showCursorChanged();
    }
    if (changes.contains("gui/displayOffMin")) {
        qInfo().noquote().nospace() << LogTag << "Display OFF interval changed : " << displayOffMin() << " min(s)";
        emit displayOffMinChanged();
    }
    if (changes.contains("gui/shutdownDelaySec")) {
        qInfo().noquote().nospace() << LogTag << "Shutdown delay changed : " << shutdownDelaySec() << " sec(s)";
        emit shutdownDelaySecChanged();
    }
    if (changes.contains("gui/locale"))
        setLanguage(m_config.get("gui/locale").toString());
    if (changes.contains("gui/showErrorDesc")) {
        qInfo().noquote().nospace() << LogTag << "Show Error description changed : " << (showErrorDesc() ? "YES" : "NO");
        emit showErrorDescChanged();
    }
    if (changes.contains("gui/screenSaverBg")) {
        qInfo().noquote().nospace() << LogTag << "Screen-saver background changed : "
                                    << LogQuote::quote(m_config.get("gui/screenSaverBg").toString());
        emit screenSaverBgChanged();
    }
    if (changes.contains("gui/screenSaverImg")) {
        qInfo().noquote().nospace() << LogTag << "Screen-saver image changed : " << LogQuote::quote(screenSaverImg());
        emit screenSaverImgChanged();
    }
    if (changes.contains("gui/animSwitchSec")) {
        qInfo().noquote().nospace() << LogTag << "GIFs animation changed : " << animSwitchSec() << " msec(s)";
        emit animSwitchSecChanged();
    }
    if (Config::contains(changes, "log\\/.+")) {
        qInfo().noquote().nospace() << LogTag << "Log configuration changed. Applying.";
        initLog();
    }
    // Last: the configuration document below goes out before the session moves.
    const bool mqttChanged = Config::contains(changes, "mqtt\\/.+");
    publishConfig();
    if (mqttChanged) {
        qInfo().noquote().nospace() << LogTag << "MQTT configuration changed. Applying.";
        initMqtt();
    }
}

void GUIManager::onConfigFileChanged()
{
    qWarning().noquote().nospace() << LogTag << "WARN: Configuration file changed!";
    m_config.print();
}

// ---------------------------------------------------------------------------
// Screen flow

void GUIManager::setScreen(const QString &value)
{
    m_testScreen = false;
    if (value == m_screen)
        return;
    qInfo().noquote().nospace() << LogTag << "Setting screen : " << LogQuote::quote(value);
    m_screen = value;
    m_screenTimer.stop();
    emit screenChanged();
}

void GUIManager::setScreen(QString value, int timeout)
{
    qInfo().noquote().nospace() << LogTag << "Setting screen : " << LogQuote::quote(value) << " (timeout=" << timeout
                                << " msec)";
    m_testScreen = false;
    m_screenTimer.start(qMax(0, timeout));
    m_screen = value;
    emit screenChanged();
}

void GUIManager::showTestScreen(const QString &screen)
{
    setScreen(screen);
    m_testScreen = true;
}

bool GUIManager::operatorScreenShown() const
{
    return m_sessionManager.sessionActive()
           && (m_screen == Settings || m_screen == Login || m_testScreen || m_screenTimer.isActive());
}

void GUIManager::setIdleScreen()
{
    // The operator's screens stay; a driver's screen follows the rule, whoever is logged in.
    if (operatorScreenShown())
        return;
    // The log-in page keeps its time-out: without a grant it always leaves.
    if (m_screen != Login)
        m_screenTimer.stop();
    showDriverScreen();
}

bool GUIManager::sessionUnderWay() const
{
    const Session *session = m_terminal.session();
    switch (session->state()) {
    case Session::Stopped:
    case Session::Idle:
    case Session::WaitUser:
        return false;
    case Session::DataCollect:
        return session->buttonPressed();
    case Session::Permission:
    case Session::CardProcess:
    case Session::WaitCollect:
    case Session::Exit:
    case Session::PostExit:
    case Session::Error:
        return true;
    }
    return false;
}

GUIManager::DriverScreen GUIManager::driverScreen() const
{
    // A driver in the middle of a passage (a card in the mouth, say) is told what to do, whatever
    // else happens to the lane.
    if (sessionUnderWay()) {
        const Session *session = m_terminal.session();
        switch (session->state()) {
        case Session::WaitCollect:
            return {Success, QStringLiteral("Please collect your card")};
        case Session::Exit:
        case Session::PostExit:
            return {Success, QStringLiteral("Thank you")};
        case Session::Error:
            return {ErrorScreen, session->error()};
        default:
            return {Busy, tr("Please wait")};
        }
    }
    if (m_brokerLost) {
        // A stopped terminal's page names its reason, not the message: that stays for the busy
        // screen that follows.
        if (m_terminal.state() == Terminal::Stopped)
            return {OutOfOrder, std::nullopt};
        return {OutOfOrder, QStringLiteral("Disconnected")};
    }
    switch (m_terminal.state()) {
    case Terminal::Init:
        return {Busy, std::nullopt, 30000};
    case Terminal::Ready:
        return {m_terminal.type() == Terminal::VendingType ? DispenseScreen : CollectScreen, std::nullopt};
    case Terminal::Error:
        return {OutOfOrder, std::nullopt};
    case Terminal::Busy:
    case Terminal::Stopped:
        break;
    }
    return {};
}

void GUIManager::showDriverScreen()
{
    DriverScreen shown = driverScreen();
    // A terminal with no screen of its own (stopped for a card self-test) still takes the
    // operator's screens back once nobody is logged in, and out of order once the broker is
    // back: the busy screen, saying what it said.
    if (shown.screen.isEmpty()
        && (m_screen == OutOfOrder
            || (!m_sessionManager.sessionActive()
                && (m_screen == Settings || (m_screen == Login && !m_screenTimer.isActive())))))
        shown.screen = Busy;
    if (shown.screen.isEmpty())
        return;
    // Someone at the PIN page gets their time: without a grant it always leaves.
    if (shown.screen == OutOfOrder && m_screen == Login && m_screenTimer.isActive())
        return;
    // The message before the screen: the page shows it as it appears.
    if (shown.message)
        setMessage(*shown.message);
    if (shown.timeout >= 0)
        setScreen(shown.screen, shown.timeout);
    else
        setScreen(shown.screen);
}

void GUIManager::setOutOfOrderScreen(QString message)
{
    if (m_screen == Login || m_sessionManager.sessionActive())
        return;
    setScreen(OutOfOrder);
    setMessage(message);
}

void GUIManager::setMaintenanceScreen()
{
    if (m_sessionManager.sessionActive()) {
        setScreen(Settings);
    } else if (m_screen == Login) {
        // A second request leaves the page at once, to what the driver is to see.
        m_screenTimer.stop();
        showDriverScreen();
    } else {
        setScreen(Login, 15000);
    }
}

void GUIManager::onScreenTimeout()
{
    qInfo().noquote().nospace() << LogTag << "Screen timeout : " << m_screen;
    // Over an operator's log-in a screen shown for a while gives the settings back, unless a
    // session under way needs the driver's.
    if (m_sessionManager.sessionActive() && !sessionUnderWay())
        setScreen(Settings);
    else
        showDriverScreen();
}

void GUIManager::onTerminalSessionStateChanged(Session::State prev, Session::State curr)
{
    Q_UNUSED(prev)
    if (curr == Session::Stopped)
        return;
    // A session's own screen takes over from anything, the operator's screens included; one
    // that is over or waits for its driver gives way as the idle screen does.
    if (sessionUnderWay()) {
        showDriverScreen();
        return;
    }
    // A card self-test's result kept for the operator keeps its text.
    if (!m_testScreen || !operatorScreenShown())
        setMessage(QString());
    setIdleScreen();
}

void GUIManager::onSessionActiveChanged()
{
    Event *event = nullptr;
    if (m_sessionManager.sessionActive()) {
        event = new EventLogin(m_sessionManager.user().value_or(User()));
    } else {
        setIdleScreen();
        event = new EventLogout();
    }
    m_eventManager.push(event);
    publishStatus();
}

// Someone is guessing the PIN at the lane, or staff have forgotten it: either way worth a line.
void GUIManager::onLoginDelayStarted(int failures, int seconds)
{
    m_eventManager.push(new Event(QStringLiteral("General"), QStringLiteral("Maintenance login delayed"),
                                  QStringLiteral("Wrong PINs in a row : %1\nNext try in : %2 s").arg(failures).arg(seconds),
                                  QDateTime::currentDateTime()));
}

void GUIManager::onScreenChanged()
{
    const int minutes = displayOffMin();
    if (minutes <= 0)
        return;
    if (m_screen == OutOfOrder || m_screen == OutOfService) {
        // A timer holds at most INT_MAX ms; more would wrap to a negative interval.
        const qint64 wanted = qint64(minutes) * 60000;
        const int interval = int(qMin<qint64>(wanted, INT_MAX));
        if (wanted > INT_MAX)
            qWarning().noquote().nospace() << LogTag << "WARN: Display OFF interval of " << minutes
                                           << " min(s) is beyond what a timer holds; using " << interval / 60000
                                           << " min(s)";
        qInfo().noquote().nospace() << LogTag << "Staring Display OFF timer : " << interval / 60000 << " min(s)";
        m_displayOffTimer.start(interval);
    } else if (m_displayOffTimer.isActive()) {
        qInfo().noquote().nospace() << LogTag << "Stopping Display OFF timer.";
        m_displayOffTimer.stop();
    }
}

void GUIManager::onDisplayOffTimeout()
{
    qWarning().noquote().nospace() << LogTag << "WARN: Turning off Display due to inactivity.";
}

// ---------------------------------------------------------------------------
// Operator requests

void GUIManager::settingsLoginRequest(QString pin)
{
    m_sessionManager.loginRequest(pin);
}

void GUIManager::settingsLogoutRequest()
{
    m_sessionManager.logoutRequest();
}

int GUIManager::loginDelayRemaining() const
{
    return m_sessionManager.loginDelayRemaining();
}

bool GUIManager::systemServiceReachable(const QString &what)
{
    // Only a service known to be down refuses: one whose status was never heard (published
    // before we subscribed, not retained) may well be running. The client checks again when
    // the request is due.
    if (m_inspector.serviceReachable())
        return true;
    onPowerRequestFailed(what);
    return false;
}

void GUIManager::onPowerRequestFailed(const QString &what)
{
    qCritical().noquote().nospace() << LogTag << "ERROR: System " << what << " request cannot reach the system service";
    setMessage(what == QLatin1String("reboot") ? tr("Reboot failed: system service unavailable")
                                               : tr("Shutdown failed: system service unavailable"));
    setScreen(ErrorScreen, 15000);
}

void GUIManager::shutdownRequest()
{
    if (!systemServiceReachable(QStringLiteral("shutdown")))
        return;
    setMessage(tr("Shutting down"));
    setScreen(Busy, 30000);
    m_inspector.systemShutdown();
}

void GUIManager::rebootRequest()
{
    if (!systemServiceReachable(QStringLiteral("reboot")))
        return;
    setMessage(tr("Rebooting"));
    setScreen(Busy, 30000);
    m_inspector.systemReboot();
}

void GUIManager::exitRequest()
{
    setMessage(tr("Exiting"));
    setScreen(Busy, 30000);
    QTimer::singleShot(2000, [] { QCoreApplication::exit(0); });
}

// ---------------------------------------------------------------------------
// Supervision topics

QString GUIManager::base() const
{
    return m_config.get("mqtt/base").toString();
}

void GUIManager::onMqttConnected()
{
    qInfo().noquote().nospace() << LogTag << "Connected to MQTT broker";
    m_statusTopic = base() + QStringLiteral("/status");
    subscribeToTopics();
    publishInfo();
    publishStatus();
    publishConfig();
    m_brokerLost = false;
    setIdleScreen();
}

void GUIManager::onMqttDisconnected()
{
    qWarning().noquote().nospace() << LogTag << "WARN: Disconnected from MQTT broker";
    m_brokerLost = true;
    setIdleScreen();
}

void GUIManager::onMqttError(const QString &error)
{
    qCritical().noquote().nospace() << LogTag << "ERROR: " << LogQuote::quote(error);
}

void GUIManager::subscribeToTopics()
{
    static const char *const suffixes[] = {"/info/get", "/status/get", "/config/get", "/config/set",
                                           "/test/request/+", "/test/cancel/request/+"};
    const QString root = base();
    // The old base's requests are no longer ours: the session would renew them on every connection.
    if (!m_subscribedBase.isEmpty() && m_subscribedBase != root) {
        for (const char *suffix : suffixes)
            m_mqtt.unsubscribe(m_subscribedBase + QLatin1String(suffix));
    }
    m_subscribedBase = root;
    for (const char *suffix : suffixes)
        m_mqtt.subscribe(root + QLatin1String(suffix), 0);
}

void GUIManager::onMqttMessage(const QByteArray &payload, const QByteArray &topic)
{
    const QByteArray root = base().toUtf8();
    if (root.isEmpty() || !topic.contains(root))
        return;
    qInfo().noquote().nospace() << LogTag << "Message received : " << LogQuote::quote(topic);
    qDebug().noquote().nospace() << LogTag << "Data : " << LogQuote::quote(payload);

    if (topic.contains("/info/get"))
        publishInfo();
    else if (topic.contains("/status/get"))
        publishStatus();
    else if (topic.contains("/config/get"))
        publishConfig();
    else if (topic.contains("/config/set"))
        applyConfig(payload);
    else if (topic.contains("/test/request"))
        handleTestRequest(payload, topic);
    else if (topic.contains("/test/cancel/request"))
        handleTestCancel(payload, topic);
}

QString GUIManager::requestId(const QByteArray &topic)
{
    if (!topic.contains("/request/"))
        return QString();
    QByteArray id = topic.mid(topic.lastIndexOf('/') + 1);
    const int zero = id.indexOf('\0');
    if (zero >= 0)
        id.truncate(zero);
    // Topics are UTF-8: the reply must name the same id.
    return QString::fromUtf8(id);
}

void GUIManager::publishDocument(const QString &suffix, const QJsonObject &document, bool retain)
{
    m_mqtt.publish(QJsonDocument(document).toJson(QJsonDocument::Indented), base() + suffix, 0, retain);
}

QJsonObject GUIManager::infoDocument() const
{
    const QJsonObject terminal{
        {QStringLiteral("type"), m_terminal.type()},
        {QStringLiteral("serialNum"), m_terminal.serialNum()},
        {QStringLiteral("customsId"), m_terminal.customsId()},
        {QStringLiteral("customsName"), m_terminal.customsName()},
        {QStringLiteral("locationId"), m_terminal.locationId()},
        {QStringLiteral("locationName"), m_terminal.locationName()},
    };
    return QJsonObject{{QStringLiteral("terminal"), terminal},
                       {QStringLiteral("version"), QCoreApplication::applicationVersion()}};
}

QJsonObject GUIManager::statusDocument()
{
    Terminal &terminal = m_terminal;
    Backend::CardBO *cardBO = terminal.cardBO();
    Backend::Database *store = terminal.database();
    const QJsonObject cardBo{
        {QStringLiteral("state"), int(cardBO->state())},
        {QStringLiteral("lastComms"), isoOrNull(cardBO->lastComms())},
        {QStringLiteral("blacklist"), cardBO->blacklisVer()},
        {QStringLiteral("pending"), store->transCount(QStringLiteral("PENDING"))},
        {QStringLiteral("failed"), store->transCount(QStringLiteral("FAILED"))},
    };
    const manager::Barrier *barrier = terminal.barrier();
    const QJsonObject barrierState{
        {QStringLiteral("state"), int(barrier->state())},
        {QStringLiteral("isOpen"), barrier->isOpen()},
        {QStringLiteral("lastChange"), QJsonValue(QJsonValue::Null)},
    };
    const manager::Button *button = terminal.button();
    const manager::Loop *loop = terminal.loop();
    return QJsonObject{
        {QStringLiteral("cardBo"), cardBo},
        {QStringLiteral("barrier"), barrierState},
        {QStringLiteral("button"),
         QJsonObject{{QStringLiteral("isPressed"), button->isPressed()},
                     {QStringLiteral("lastChange"), isoOrNull(button->lastPress())}}},
        {QStringLiteral("loop"),
         QJsonObject{{QStringLiteral("isOccupied"), loop->isOccupied()},
                     {QStringLiteral("lastChange"), isoOrNull(loop->lastChange())}}},
        {QStringLiteral("uptime"), m_terminal.uptime()},
        {QStringLiteral("state"), int(m_terminal.state())},
        {QStringLiteral("error"), m_terminal.reason()},
        {QStringLiteral("occupied"), m_terminal.session()->state() != Session::Idle},
        {QStringLiteral("technician"), m_sessionManager.sessionActive()},
        {QStringLiteral("service"), true},
    };
}

QJsonObject GUIManager::configDocument() const
{
    QJsonObject document = m_config.toJson();
    for (auto group = document.begin(); group != document.end(); ++group) {
        QJsonObject members = group.value().toObject();
        bool masked = false;
        for (auto member = members.begin(); member != members.end(); ++member) {
            // A list is a text the settings file split at its commas: masked whole, as the
            // store shows it and takes it back.
            QString text;
            if (member.value().isString()) {
                text = member.value().toString();
            } else if (member.value().isArray()) {
                QStringList items;
                for (const QJsonValue &item : member.value().toArray())
                    items << item.toVariant().toString();
                text = items.join(QLatin1Char(','));
            } else {
                continue;
            }
            // Secrets, and credentials inside a URL (a camera's, a back office's), stay on the terminal.
            const QString shown = Config::masked(group.key() + QLatin1Char('/') + member.key(), text);
            if (shown != text) {
                member.value() = shown;
                masked = true;
            }
        }
        if (masked)
            group.value() = members;
    }
    return document;
}

void GUIManager::publishInfo()
{
    publishDocument(QStringLiteral("/info"), infoDocument());
}

void GUIManager::publishStatus()
{
    // Retained, like the will it stands in for: a supervisor that subscribes
    // later sees the live status, not the last will of an earlier run.
    publishDocument(QStringLiteral("/status"), statusDocument(), true);
}

void GUIManager::publishConfig()
{
    publishDocument(QStringLiteral("/config"), configDocument());
}

void GUIManager::applyConfig(const QByteArray &payload)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &parseError);
    QStringList refused;
    int refusals = 0;
    // A document of a hundred thousand bad groups must not become as many log lines.
    const auto refuse = [&refused, &refusals](const QString &what, const QString &line) {
        if (++refusals > MaxRefusalsShown)
            return;
        qWarning().noquote().nospace() << LogTag << line;
        refused << what;
    };
    if (!document.isObject()) {
        const QString why = parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                                         : QStringLiteral("not an object");
        qCritical().noquote().nospace() << LogTag << "ERROR: Invalid configuration document : " << why;
        refused << QStringLiteral("invalid configuration document (%1)").arg(why);
    }

    const QStringList known = m_config.keys();
    const QSet<QString> knownKeys(known.cbegin(), known.cend());
    QVariantMap changes;
    const QJsonObject groups = document.object();
    for (auto group = groups.begin(); group != groups.end(); ++group) {
        if (!group.value().isObject()) {
            // Names as a log line shows them: a name can be as long as the document.
            refuse(QStringLiteral("%1 (expected an object)").arg(LogQuote::quote(group.key())),
                   QStringLiteral("WARN: Configuration group %1 is not an object; ignored").arg(LogQuote::quote(group.key())));
            continue;
        }
        const QJsonObject members = group.value().toObject();
        for (auto member = members.begin(); member != members.end(); ++member) {
            const QString key = group.key() + QLatin1Char('/') + member.key();
            // The store applies only keys it knows.
            if (!knownKeys.contains(key))
                continue;
            QVariant value;
            const QString why = m_config.refusal(key, member.value(), &value, Config::From::Supervisor);
            if (!why.isEmpty()) {
                refuse(QStringLiteral("%1 (%2)").arg(LogQuote::quote(key), why),
                       QStringLiteral("WARN: Configuration value refused : %1 (%2)").arg(LogQuote::quote(key), why));
                continue;
            }
            if (value != m_config.get(key))
                changes.insert(key, value);
        }
    }

    // The session's own rules, before anything is stored: a saved setting it refuses would keep
    // the terminal off the broker, restart included, and out of reach to mend it.
    QStringList sessionChanges;
    for (const QString &key : SessionKeys) {
        if (changes.contains(key))
            sessionChanges << key;
    }
    if (!sessionChanges.isEmpty()) {
        const auto setting = [this, &changes](const QString &key) { return changes.value(key, m_config.get(key)); };
        const QString why = manager::MqttClient::settingsRefusal(setting(QStringLiteral("mqtt/port")).toLongLong(),
                                                                 setting(QStringLiteral("mqtt/username")).toString(),
                                                                 setting(QStringLiteral("mqtt/password")).toString());
        if (!why.isEmpty()) {
            for (const QString &key : qAsConst(sessionChanges))
                changes.remove(key);
            refuse(QStringLiteral("%1 (%2)").arg(sessionChanges.join(QStringLiteral(", ")), why),
                   QStringLiteral("WARN: Configuration value refused : %1 (%2)")
                       .arg(LogQuote::quote(sessionChanges.join(QStringLiteral(", "))), why));
        }
    }
    if (!changes.isEmpty() && !m_config.fits(changes)) {
        refuse(QStringLiteral("%1 (the configuration file would pass %2 bytes)")
                   .arg(QStringList(changes.keys()).join(QStringLiteral(", ")))
                   .arg(Config::MaxFileSize),
               QStringLiteral("WARN: Configuration document refused : the file would pass %1 bytes").arg(Config::MaxFileSize));
        changes.clear();
    }
    if (refusals > MaxRefusalsShown) {
        qWarning().noquote().nospace() << LogTag << "WARN: " << refusals - MaxRefusalsShown
                                       << " more configuration values refused";
        refused << QStringLiteral("%1 more").arg(refusals - MaxRefusalsShown);
    }

    // Answered before the rest applies: a change of the mqtt group moves the session, and the
    // requester listens where it asked.
    if (!refused.isEmpty())
        publishDocument(QStringLiteral("/config/set/response"),
                        QJsonObject{{QStringLiteral("result"), false},
                                    {QStringLiteral("error"), QStringLiteral("Refused : ") + refused.join(QStringLiteral(", "))}});
    QJsonObject accepted;
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        const QString group = it.key().section(QLatin1Char('/'), 0, 0);
        QJsonObject members = accepted.value(group).toObject();
        members.insert(it.key().section(QLatin1Char('/'), 1), QJsonValue::fromVariant(it.value()));
        accepted.insert(group, members);
    }
    m_config.fromJson(accepted);
}

void GUIManager::handleTestRequest(const QByteArray &payload, const QByteArray &topic)
{
    const QString id = requestId(topic);
    const QJsonObject request = QJsonDocument::fromJson(payload).object();
    const QString mode = JsonRead::text(request.value(QStringLiteral("mode")));
    const int numberOfCards = JsonRead::integer(request.value(QStringLiteral("numberOfCards")));

    bool accepted = false;
    const QMetaObject::Connection started =
        connect(&m_diagnostics, &Diagnostics::testStarted, this, [this, &accepted, mode] {
            accepted = true;
            setMessage(mode == QLatin1String("dispense") ? tr("Dispensing card") : tr("Insert card"));
            showTestScreen(Busy);
        });
    const Deferred<Test> run = m_diagnostics.performTest(mode, numberOfCards, id);
    disconnect(started);

    if (!accepted) {
        // Refused: only the requester hears of it; a driver's screen and the
        // running terminal stay as they are.
        run.done([this](Test test) { publishTestFinished(test); });
        return;
    }
    run.progress([this](Test test) {
           publishTestProgress(test);
           setMessage(tr("Test %1 of %2 (%3%)").arg(test.currCardIndex()).arg(test.numberOfCards()).arg(test.percent()));
           showTestScreen(Busy);
       })
        .done([this](Test test) { onTestFinished(test); });
}

void GUIManager::onTestFinished(const Test &test)
{
    publishTestFinished(test);
    const QString counts = QStringLiteral("%1 of %2 (%3%)").arg(test.currCardIndex()).arg(test.numberOfCards()).arg(test.percent());
    if (test.result()) {
        setMessage(QStringLiteral("Success ") + counts);
        showTestScreen(Success);
        m_inspector.audioPlay(ValidSound);
    } else {
        setMessage(QStringLiteral("Failed ") + counts + QLatin1Char('\n') + test.error());
        showTestScreen(ErrorScreen);
        m_inspector.audioPlay(InvalidSound);
    }
    // Only the end of the run that stopped the terminal starts it again, and
    // not while a run accepted in the meantime moves cards.
    QTimer::singleShot(1000, &m_terminal, [this] {
        if (!m_diagnostics.testRunning())
            m_terminal.start();
    });
}

void GUIManager::handleTestCancel(const QByteArray &payload, const QByteArray &topic)
{
    Q_UNUSED(payload)
    const QString id = requestId(topic);
    const bool cancelled = m_diagnostics.cancelTest();
    QString replyTopic = QStringLiteral("/test/cancel/response");
    if (!id.isEmpty())
        replyTopic += QLatin1Char('/') + id;
    publishDocument(replyTopic,
                    QJsonObject{{QStringLiteral("result"), cancelled},
                                {QStringLiteral("error"), cancelled ? QJsonValue(QJsonValue::Null)
                                                                    : QJsonValue(QStringLiteral("No test in progress"))}});
}

void GUIManager::publishTestProgress(const Test &test)
{
    publishDocument(QStringLiteral("/test/progress"),
                    QJsonObject{{QStringLiteral("id"), test.id()},
                                {QStringLiteral("mode"), test.name()},
                                {QStringLiteral("currCardIndex"), test.currCardIndex()},
                                {QStringLiteral("numberOfCards"), test.numberOfCards()},
                                {QStringLiteral("percent"), test.percent()},
                                {QStringLiteral("cardId"), test.cardId()},
                                {QStringLiteral("error"), QJsonValue(QJsonValue::Null)}});
}

void GUIManager::publishTestFinished(const Test &test)
{
    QString replyTopic = QStringLiteral("/test/response");
    if (!test.id().isEmpty())
        replyTopic += QLatin1Char('/') + test.id();
    publishDocument(replyTopic,
                    QJsonObject{{QStringLiteral("mode"), test.name()},
                                {QStringLiteral("result"), test.result()},
                                {QStringLiteral("numberOfCards"), test.result() ? test.numberOfCards() : test.currCardIndex()},
                                {QStringLiteral("error"), test.result() ? QJsonValue(QJsonValue::Null) : QJsonValue(test.error())}});
}
