#include "QmlFixture.h"

#include "app/Config.h"
#include "card/ValidatorRfid.h"
#include "devices/Ethernet.h"
#include "devices/Network.h"
#include "fakes/EventLoopWait.h"
#include "fakes/FakeNetworkService.h"
#include "fakes/TestBroker.h"
#include "terminal/Event.h"
#include "terminal/EventManager.h"
#include "transport/MqttClient.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QQmlContext>

QmlFixture::QmlFixture(QQmlEngine &engine, const QString &inputMethod, QObject *parent)
    : QObject(parent)
    , m_engine(engine)
    , m_inputMethod(inputMethod)
    , m_config(new Config(m_dir.filePath("gui.conf"), {}))
    , m_eventLog(new EventManager(*m_config, m_dir.filePath("events.ini")))
{
}

QmlFixture::~QmlFixture()
{
    QCoreApplication::removeTranslator(&m_translator);
}

EventManager &QmlFixture::eventLog()
{
    return *m_eventLog;
}

QString QmlFixture::inputMethod() const
{
    return m_inputMethod;
}

void QmlFixture::pushEvent(const QString &name, const QString &description, const QDateTime &timestamp)
{
    m_eventLog->push(new Event(QStringLiteral("General"), name, description, timestamp));
}

void QmlFixture::clearEvents()
{
    m_eventLog->clear();
}

bool QmlFixture::setGreek(bool on)
{
    if (m_translator.isEmpty() && !m_translator.load(QStringLiteral(":/qml/translations/VORNTerminalUI_el_GR.qm")))
        return false;
    if (on)
        QCoreApplication::installTranslator(&m_translator);
    else
        QCoreApplication::removeTranslator(&m_translator);
    return true;
}

QObject *QmlFixture::startNetworkService()
{
    if (m_network)
        return m_network.get();
    m_broker = std::make_unique<TestBroker>();
    if (!m_broker->start())
        return nullptr;
    m_networkService = std::make_unique<FakeNetworkService>();
    if (!m_networkService->start(*m_broker))
        return nullptr;
    m_mqtt = std::make_unique<manager::MqttClient>();
    m_mqtt->setHostname(m_broker->host());
    m_mqtt->setPort(m_broker->port());
    m_mqtt->setClientId(QStringLiteral("terminal-qml"));
    m_network = std::make_unique<manager::Network>(*m_mqtt, QStringLiteral("vesk/network"));
    // Handed to QML from an invokable: without this the engine would own it.
    QQmlEngine::setObjectOwnership(m_network.get(), QQmlEngine::CppOwnership);
    m_mqtt->connect();
    const bool inStep = waitUntil([this] {
        return m_network->hostname() == QLatin1String("terminal-01")
               && m_network->ethernet()->state() == QLatin1String("Connected");
    });
    if (!inStep)
        return nullptr;
    m_engine.rootContext()->setContextProperty(QStringLiteral("network"), m_network.get());
    return m_network.get();
}

QVariantMap QmlFixture::networkServiceConfig() const
{
    if (!m_networkService)
        return {};
    QVariantMap config = m_networkService->configured();
    config.insert(QStringLiteral("method"), m_networkService->method());
    return config;
}

bool QmlFixture::setNetworkServiceOnline(bool online)
{
    if (!m_network)
        return false;
    m_networkService->setServiceOnline(online);
    return waitUntil([this, online] { return m_network->ethernet()->serviceOnline() == online; });
}

bool QmlFixture::setNetworkServiceConfigCleared(bool cleared)
{
    if (!m_network)
        return false;
    // Connected after the client's own handler: seen here, handled there.
    bool seen = false;
    const QByteArray topic = m_networkService->base().toUtf8() + "/ethernet/config";
    const QMetaObject::Connection watch = connect(
        m_mqtt.get(), &manager::MqttClient::received, this, [&seen, topic, cleared](const QByteArray &payload, const QByteArray &from) {
            if (from == topic && payload.isEmpty() == cleared)
                seen = true;
        });
    if (cleared)
        m_networkService->clearEthernetConfig();
    else
        m_networkService->publishEthernetConfig();
    const bool handled = waitUntil([&seen] { return seen; });
    disconnect(watch);
    return handled;
}

bool QmlFixture::setNetworkClientConnected(bool connected)
{
    if (!m_network)
        return false;
    if (!connected) {
        m_mqtt->disconnect();
        return waitUntil([this] { return !m_mqtt->isConnected(); });
    }
    // The client asks for the state and configuration again on connection.
    const int asked = m_networkService->count(QStringLiteral("ethernet/config/get"));
    if (m_mqtt->isConnected())
        return true;
    m_mqtt->connect();
    return waitUntil([this, asked] {
        return m_mqtt->isConnected() && m_networkService->count(QStringLiteral("ethernet/config/get")) > asked;
    });
}

QObject *QmlFixture::validatorRfid(const QVariantMap &document)
{
    m_validators.push_back(std::make_unique<ValidatorRfid>());
    ValidatorRfid *model = m_validators.back().get();
    QQmlEngine::setObjectOwnership(model, QQmlEngine::CppOwnership);
    model->fromJson(QJsonObject::fromVariantMap(document));
    return model;
}

void QmlFixture::feedValidator(QObject *model, const QVariantMap &document)
{
    if (auto *validator = qobject_cast<ValidatorRfid *>(model))
        validator->fromJson(QJsonObject::fromVariantMap(document));
}
