#pragma once

#include <QMap>
#include <QObject>
#include <QQmlApplicationEngine>
#include <QString>
#include <QTranslator>
#include <QVariant>

#include "terminal/EventManager.h"
#include "terminal/SessionManager.h"
#include "terminal/Terminal.h"
#include "transport/MqttClient.h"

class Config;
class QQmlContext;

// The operator interface's controller and the root owner of the running
// terminal: builds its members, applies the configuration to them, publishes
// itself to QML as "manager" and loads the window.
class GUIManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString language READ language WRITE setLanguage NOTIFY languageChanged)
    Q_PROPERTY(QString dynTr READ dynTr NOTIFY languageChanged)

public:
    // Every configuration key with its type and default value.
    static const QMap<QString, QVariant> Defaults;

    explicit GUIManager(Config &config);
    ~GUIManager() override;

    void load();

    QString language() const;
    // Always empty; QML appends it to translated texts so that they are
    // evaluated again on languageChanged.
    QString dynTr() const;
    void setLanguage(const QString &lang);

    QQmlApplicationEngine &engine();
    manager::MqttClient &mqtt();
    Terminal &terminal();
    SessionManager &sessionManager();
    EventManager &eventManager();

signals:
    void languageChanged();

private:
    void initLog();
    void initConfig();
    void initQml();
    void initMqtt();

    void onConfigChanged(const QVariantMap &changes);
    void onConfigFileChanged();

    void onMqttConnected();
    void onMqttDisconnected();
    void onMqttError(const QString &error);
    void onMqttMessage(const QByteArray &payload, const QByteArray &topic);

    // Declaration order is construction order; members that other classes
    // bring (MQTT session, system service, terminal, diagnostics, timers,
    // log-in, event log) join after m_config, in that order.
    QString m_language;
    QQmlApplicationEngine m_engine;
    QQmlContext *m_rootContext;
    QTranslator m_translator;
    Config &m_config;
    manager::MqttClient m_mqtt;
    Terminal m_terminal;
    SessionManager m_sessionManager;
    EventManager m_eventManager;
};
