#include "ui/GUIManager.h"

#include "app/Config.h"
#include "app/LogQuote.h"
#include "app/Logger.h"
#include "terminal/Event.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QQmlContext>
#include <QQuickStyle>

namespace {

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

GUIManager::GUIManager(Config &config)
    : QObject(nullptr)
    , m_rootContext(m_engine.rootContext())
    , m_config(config)
    , m_terminal(config, m_mqtt)
    , m_sessionManager(config)
    , m_eventManager(config)
{
    initLog();
    initConfig();
    initQml();
    initMqtt();
    m_terminal.start();
}

GUIManager::~GUIManager() = default;

void GUIManager::load()
{
    m_engine.load(QUrl(QString::fromLatin1(kMainQml)));
    if (m_engine.rootObjects().isEmpty())
        qCritical().noquote().nospace() << "[GUIManager] ERROR: Failed to load " << kMainQml;

    setLanguage(m_config.get("gui/locale").toString());

    m_eventManager.push(new Event(QStringLiteral("General"), QStringLiteral("Application started"), QString(),
                                  QDateTime::currentDateTime()));
}

QString GUIManager::language() const
{
    return m_language;
}

QString GUIManager::dynTr() const
{
    return QString();
}

void GUIManager::setLanguage(const QString &lang)
{
    if (lang == m_language)
        return;
    qInfo().noquote().nospace() << "[GUIManager] Language changed : " << LogQuote::quote(lang);

    if (m_translator.isEmpty()) {
        qInfo().noquote().nospace() << "[GUIManager] Loading translation file : " << kTranslationFile;
        if (!m_translator.load(QString::fromLatin1(kTranslationFile))) {
            qCritical().noquote().nospace() << "[GUIManager] ERROR: Failed to load translation file";
            return;
        }
    }

    const QLocale locale(lang);
    if (locale.language() == QLocale::English) {
        QCoreApplication::removeTranslator(&m_translator);
    } else if (!QCoreApplication::installTranslator(&m_translator)) {
        qCritical().noquote().nospace() << "[GUIManager] ERROR: Failed to install translator";
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
    qInfo().noquote().nospace() << "[GUIManager] QtQuick Style name is : " << QQuickStyle::name();
    m_rootContext->setContextProperty(QStringLiteral("manager"), this);
}

void GUIManager::onConfigChanged(const QVariantMap &changes)
{
    qDebug().noquote().nospace() << "[GUIManager] Config changed : "
                                 << QJsonDocument(QJsonObject::fromVariantMap(Config::forLog(changes))).toJson(QJsonDocument::Indented);

    // Only the first matching branch runs; the order is part of the behaviour.
    if (changes.contains("gui/locale")) {
        setLanguage(changes.value("gui/locale").toString());
    } else if (Config::contains(changes, "log\\/.+")) {
        qInfo().noquote().nospace() << "[GUIManager] Log configuration changed. Applying.";
        initLog();
    } else if (Config::contains(changes, "mqtt\\/.+")) {
        qInfo().noquote().nospace() << "[GUIManager] MQTT configuration changed. Applying.";
        initMqtt();
    }
}

void GUIManager::onConfigFileChanged()
{
    qWarning().noquote().nospace() << "[GUIManager] WARN: Configuration file changed!";
    m_config.print();
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
    m_mqtt.setWillTopic(m_config.get("mqtt/base").toString() + QStringLiteral("/status"));
    m_mqtt.setHostname(m_config.get("mqtt/host").toString());
    m_mqtt.setPort(m_config.get("mqtt/port").toUInt());
    m_mqtt.setUsername(m_config.get("mqtt/username").toString());
    m_mqtt.setPassword(m_config.get("mqtt/password").toString());

    if (m_mqtt.isConnected())
        m_mqtt.disconnect();
    m_mqtt.connect();
}

void GUIManager::onMqttConnected()
{
}

void GUIManager::onMqttDisconnected()
{
}

void GUIManager::onMqttError(const QString &error)
{
    qCritical().noquote().nospace() << "[GUIManager] ERROR: " << LogQuote::quote(error);
}

void GUIManager::onMqttMessage(const QByteArray &payload, const QByteArray &topic)
{
    Q_UNUSED(payload)
    Q_UNUSED(topic)
}
