#pragma once

#include <QObject>
#include <QQmlEngine>
#include <QScopedPointer>
#include <QTemporaryDir>
#include <QTranslator>
#include <QVariantMap>

#include <memory>
#include <vector>

class Config;
class EventManager;
class FakeNetworkService;
class TestBroker;
class ValidatorRfid;
namespace manager {
class MqttClient;
class Network;
}

// What the QML tests need from C++: the real event log on a temporary file,
// the Greek translation switched on and off, the input method in use, and on
// request the real network client beside a fake network service on a broker
// of its own.
class QmlFixture : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString inputMethod READ inputMethod CONSTANT)

public:
    QmlFixture(QQmlEngine &engine, const QString &inputMethod, QObject *parent = nullptr);
    ~QmlFixture() override;

    EventManager &eventLog();
    QString inputMethod() const;

    Q_INVOKABLE void pushEvent(const QString &name, const QString &description, const QDateTime &timestamp);
    Q_INVOKABLE void clearEvents();
    // Installs the Greek translation (or removes it). The texts follow once the
    // test's manager changes its dynTr, as the controller's languageChanged does.
    Q_INVOKABLE bool setGreek(bool on);

    // Publishes the network client as "network" once it is in step with the
    // fake service; null when the broker or the service does not start.
    Q_INVOKABLE QObject *startNetworkService();
    // The wired interface's method and addresses as the fake service holds them.
    Q_INVOKABLE QVariantMap networkServiceConfig() const;
    // Stops or restarts the fake service; true once the client has seen it.
    Q_INVOKABLE bool setNetworkServiceOnline(bool online);
    // The fake service clears the configuration it keeps (an empty message), or publishes it
    // again; true once the client has handled it.
    Q_INVOKABLE bool setNetworkServiceConfigCleared(bool cleared);
    // Drops or restores the client's broker connection; true once it is so
    // (back in step with the service when restored).
    Q_INVOKABLE bool setNetworkClientConnected(bool connected);

    // A validator model filled from a reader document (information, status or both).
    Q_INVOKABLE QObject *validatorRfid(const QVariantMap &document);
    // Another reader document for a model made by validatorRfid.
    Q_INVOKABLE void feedValidator(QObject *model, const QVariantMap &document);

private:
    QQmlEngine &m_engine;
    QString m_inputMethod;
    QTemporaryDir m_dir;
    QScopedPointer<Config> m_config;
    QScopedPointer<EventManager> m_eventLog;
    QTranslator m_translator;
    std::unique_ptr<TestBroker> m_broker;
    std::unique_ptr<manager::MqttClient> m_mqtt;
    std::unique_ptr<FakeNetworkService> m_networkService;
    std::unique_ptr<manager::Network> m_network;
    std::vector<std::unique_ptr<ValidatorRfid>> m_validators;
};
