#pragma once

#include <QByteArray>
#include <QColor>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QQmlApplicationEngine>
#include <QString>
#include <QTimer>
#include <QTranslator>
#include <QVariant>

#include <optional>

#include "devices/Inspector.h"
#include "terminal/EventManager.h"
#include "terminal/Session.h"
#include "terminal/SessionManager.h"
#include "terminal/Terminal.h"
#include "transport/MqttClient.h"
#include "ui/Diagnostics.h"
#include "ui/Test.h"

class Config;
class QQmlContext;

namespace manager {
class Update;
} // namespace manager

// The operator interface's controller and the root owner of the running
// terminal: builds its members, applies the configuration to them, chooses
// the screen and its message, serves the supervision topics, publishes
// itself to QML as "manager" and loads the window.
class GUIManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString screen READ screen WRITE setScreen NOTIFY screenChanged)
    Q_PROPERTY(QString deviceId READ deviceId NOTIFY deviceIdChanged)
    Q_PROPERTY(QString language READ language WRITE setLanguage NOTIFY languageChanged)
    Q_PROPERTY(QString dynTr READ dynTr NOTIFY languageChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(bool showCursor READ showCursor WRITE setShowCursor NOTIFY showCursorChanged)
    Q_PROPERTY(bool showErrorDesc READ showErrorDesc WRITE setShowErrorDesc NOTIFY showErrorDescChanged)
    Q_PROPERTY(int displayOffMin READ displayOffMin WRITE setDisplayOffMin NOTIFY displayOffMinChanged)
    Q_PROPERTY(int shutdownDelaySec READ shutdownDelaySec WRITE setShutdownDelaySec NOTIFY shutdownDelaySecChanged)
    Q_PROPERTY(QColor screenSaverBg READ screenSaverBg NOTIFY screenSaverBgChanged)
    Q_PROPERTY(QString screenSaverImg READ screenSaverImg NOTIFY screenSaverImgChanged)
    Q_PROPERTY(Diagnostics *diagnostics READ diagnostics NOTIFY diagnosticsChanged)
    Q_PROPERTY(manager::Update *update READ update NOTIFY updateChanged)
    Q_PROPERTY(int animSwitchSec READ animSwitchSec WRITE setAnimSwitchSec NOTIFY animSwitchSecChanged)

public:
    // Every configuration key with its type and default value.
    static const QMap<QString, QVariant> Defaults;

    // The sounds of a passed and a failed card self-test.
    static const QString ValidSound;
    static const QString InvalidSound;
    // The longest display-off interval a timer holds, in minutes.
    static constexpr int MaxDisplayOffMin = 35791;

    explicit GUIManager(Config &config);
    ~GUIManager() override;

    void load();

    QString screen() const { return m_screen; }
    QString deviceId() const;
    QString language() const;
    // Always empty; QML appends it to translated texts so that they are
    // evaluated again on languageChanged.
    QString dynTr() const;
    QString message() const { return m_message; }
    bool showCursor() const;
    bool showErrorDesc() const;
    int displayOffMin() const;
    int shutdownDelaySec() const;
    QColor screenSaverBg() const;
    QString screenSaverImg() const;
    Diagnostics *diagnostics() { return &m_diagnostics; }
    manager::Update *update();
    int animSwitchSec() const;

    void setLanguage(const QString &lang);
    void setShowCursor(bool value);
    void setShowErrorDesc(bool value);
    void setDisplayOffMin(int value);
    void setShutdownDelaySec(int value);
    void setAnimSwitchSec(int value);
    void setMessage(const QString &message);
    // The screen without a time-out; the same screen again changes nothing.
    void setScreen(const QString &value);

    // The documents of the supervision topics, as they are published.
    QJsonObject infoDocument() const;
    QJsonObject statusDocument();
    QJsonObject configDocument() const;

    QQmlApplicationEngine &engine();
    manager::MqttClient &mqtt();
    manager::Inspector &inspector();
    Terminal &terminal();
    SessionManager &sessionManager();
    EventManager &eventManager();
    QTimer &screenTimer() { return m_screenTimer; }
    QTimer &displayOffTimer() { return m_displayOffTimer; }
    // Milliseconds until a PIN is looked at again; the log-in page counts down from it.
    Q_INVOKABLE int loginDelayRemaining() const;

public slots:
    void settingsLoginRequest(QString pin);
    void settingsLogoutRequest();
    void setIdleScreen();
    void setOutOfOrderScreen(QString message);
    void setScreen(QString value, int timeout);
    void setMaintenanceScreen();
    void shutdownRequest();
    void rebootRequest();
    void exitRequest();

signals:
    void screenChanged();
    void deviceIdChanged();
    void languageChanged();
    void settingsAccessGranted();
    void settingsAccessDenied();
    // Too many wrong PINs: the next one is looked at after `seconds`.
    void settingsAccessDelayed(int seconds);
    void messageChanged();
    void showCursorChanged();
    void showErrorDescChanged();
    void displayOffMinChanged();
    void shutdownDelaySecChanged();
    void errorOccured(QString error);
    void diagnosticsChanged();
    void updateChanged();
    void screenSaverBgChanged();
    void screenSaverImgChanged();
    void animSwitchSecChanged();

private:
    void initLog();
    void initConfig();
    void initQml();
    void initMqtt();
    void initManagers();

    void onConfigChanged(const QVariantMap &changes);
    void onConfigFileChanged();

    void onScreenTimeout();
    // What the lane's driver is to see, by one rule: the session's own screen while a session
    // is under way, else out of order while the broker is lost, else the terminal's screen.
    // No screen (Busy or Stopped, nothing under way): the shown one stays.
    struct DriverScreen
    {
        QString screen;
        std::optional<QString> message;
        int timeout = -1;
    };
    DriverScreen driverScreen() const;
    // Whether the session's state calls for a screen of its own.
    bool sessionUnderWay() const;
    // Someone is logged in and sees a screen of theirs: the settings, the PIN page, a card
    // self-test's progress or result, or a screen shown for a while over them (it gives them
    // back when its time is up). No driver's screen replaces it unless a session is under way.
    bool operatorScreenShown() const;
    // A card self-test's screen: its result outlasts the lane's restart for whoever is logged in.
    void showTestScreen(const QString &screen);
    // Shows the driver's screen; out of order never takes the log-in page before its time is up,
    // and the operator's screens never stay once nobody is logged in.
    void showDriverScreen();
    void onScreenChanged();
    void onDisplayOffTimeout();
    void onTerminalSessionStateChanged(Session::State prev, Session::State curr);
    void onSessionActiveChanged();
    void onLoginDelayStarted(int failures, int seconds);
    // A power request the system service cannot take shows why instead of waiting.
    bool systemServiceReachable(const QString &what);
    void onPowerRequestFailed(const QString &what);

    // Supervision topics.
    QString base() const;
    void onMqttConnected();
    void onMqttDisconnected();
    void onMqttError(const QString &error);
    void onMqttMessage(const QByteArray &payload, const QByteArray &topic);
    void subscribeToTopics();
    void publishInfo();
    void publishStatus();
    void publishConfig();
    void publishDocument(const QString &suffix, const QJsonObject &document, bool retain = false);
    void applyConfig(const QByteArray &payload);
    void handleTestRequest(const QByteArray &payload, const QByteArray &topic);
    void handleTestCancel(const QByteArray &payload, const QByteArray &topic);
    void publishTestProgress(const Test &test);
    void publishTestFinished(const Test &test);
    void onTestFinished(const Test &test);
    static QString requestId(const QByteArray &topic);

    // Declaration order is construction order.
    QString m_screen;
    QString m_language;
    QString m_message;
    QQmlApplicationEngine m_engine;
    QQmlContext *m_rootContext;
    QTranslator m_translator;
    Config &m_config;
    manager::MqttClient m_mqtt;
    manager::Inspector m_inspector;
    Terminal m_terminal;
    Diagnostics m_diagnostics;
    QTimer m_screenTimer;
    QTimer m_displayOffTimer;
    SessionManager m_sessionManager;
    EventManager m_eventManager;
    // The status topic the session's will stands for, while connected there.
    QString m_statusTopic;
    // Counts the session's set-ups, so that only the latest opens it.
    int m_mqttRestart = 0;
    // The base the supervision topics were last subscribed under.
    QString m_subscribedBase;
    // The broker connection dropped and has not come back: the lane cannot serve.
    bool m_brokerLost = false;
    // The screen shown is a card self-test's; any other screen set clears it.
    bool m_testScreen = false;
};
