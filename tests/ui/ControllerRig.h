#pragma once

#include "app/Config.h"
#include "backend/Database.h"
#include "devices/SimulatedBoard.h"
#include "ui/GUIManager.h"

#include "fakes/ConfigHome.h"
#include "fakes/EventLoopWait.h"
#include "fakes/FakeCardServices.h"
#include "fakes/FakeNetworkService.h"
#include "fakes/FakeSystemService.h"
#include "fakes/FreePort.h"
#include "fakes/MqttPeer.h"
#include "fakes/StubCommands.h"
#include "fakes/TestBroker.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// What the terminal around the controller looks like for one test.
struct ControllerSetup
{
    // The dispenser's model: "KTV52817" vending, "KTW4163" collection, empty for none
    // (the terminal then has no type and runs no engine).
    QString model;
    int cards = 20;
    // Further gui.conf lines.
    QString extraConfig;
    // Start the fake card, network and system services.
    bool services = true;
    // The system service keeps its status on the broker; if not, it is gone before the
    // controller subscribes, and the controller never hears it.
    bool systemStatusRetained = true;
};

// The whole controller in the test process, as start-up builds it: its own MQTT session on the
// test broker, the terminal over the fake card, network and system services (each rig on topics
// of its own, so retained documents of an earlier rig never reach it), a working folder of its
// own for the store and the configuration, the system commands stubbed, no camera and the back
// office on a closed loopback port (registered, so its absence is no terminal error).
class ControllerRig
{
public:
    ControllerRig(const TestBroker &broker, const ControllerSetup &setup = ControllerSetup())
        : setup(setup)
        , id(++s_serial)
        , m_broker(broker)
        , m_previousDir(QDir::currentPath())
        , cards(QStringLiteral("c%1/rfid").arg(id), QStringLiteral("c%1/dispenser").arg(id))
        , network(QStringLiteral("c%1/network").arg(id))
        , system(QStringLiteral("c%1/inspector").arg(id))
        , supervisor(QStringLiteral("supervisor-%1").arg(id))
    {
        QDir::setCurrent(m_dir.path());
        SimulatedBoard::reset();
        cards.dispenser.setModel(setup.model);
        system.setStatusRetained(setup.systemStatusRetained);
    }

    ~ControllerRig()
    {
        manager.reset();
        config.reset();
        QDir::setCurrent(m_previousDir);
    }

    QString base() const { return QStringLiteral("c%1/ui").arg(id); }
    QString dir() const { return m_dir.path(); }

    // Starts the fakes and the controller; returns once its session is connected and the
    // supervisor listens to everything the controller publishes.
    bool start()
    {
        if (setup.services
            && (!cards.start(m_broker, setup.cards) || !network.start(m_broker) || !system.start(m_broker)))
            return false;
        if (!supervisor.connectTo(m_broker) || !supervisor.subscribe(base() + QStringLiteral("/#")))
            return false;
        writeConfiguration();
        {
            Backend::Database store(*config);
            store.setParam(QStringLiteral("apiKey"), QStringLiteral("rig-key"));
        }
        manager = std::make_unique<GUIManager>(*config);
        // The clock on the stubs' file, never the system's.
        if (manager->terminal().clock()->configFile() != stubs.timesyncdConf())
            return false;
        if (!waitUntil([this] { return manager->mqtt().isConnected(); }, 10000))
            return false;
        return supervisor.waitForMessages(base() + QStringLiteral("/status"), 1, 10000) && subscribed();
    }

    // The controller's requests are subscribed (the session renews its subscriptions after the
    // documents of a new connection have gone out): the last of them is in the broker's log.
    // A broker that has served several connections holds a line for each: wait for the times-th.
    bool subscribed(int times = 1) const
    {
        return m_broker.waitForLog(lastSubscription(), times, 10000);
    }
    int subscriptions() const { return m_broker.count(lastSubscription()); }
    QString lastSubscription() const { return QStringLiteral("\t%1/test/cancel/request/+ (QoS 0)").arg(base()); }

    // The model is known and the terminal has taken its type.
    bool typeKnown()
    {
        return waitUntil([this] { return manager->terminal().type() == Terminal::modelToType(setup.model); }, 10000);
    }

    // Publishes a request as a supervisor would and returns once the controller has taken it.
    bool request(const QString &suffix, const QByteArray &payload = QByteArray())
    {
        return supervisor.publish(base() + suffix, payload, 1);
    }

    // The last document on a topic below the base, waiting for `count` of them.
    QJsonObject document(const QString &suffix, int count = 1, int msec = 10000)
    {
        const QString topic = base() + suffix;
        if (!supervisor.waitForMessages(topic, count, msec))
            return QJsonObject();
        return QJsonDocument::fromJson(supervisor.messages(topic).last().payload).object();
    }
    QList<QJsonObject> documents(const QString &suffix) const
    {
        QList<QJsonObject> list;
        for (const MqttPeer::Message &message : supervisor.messages(base() + suffix))
            list << QJsonDocument::fromJson(message.payload).object();
        return list;
    }

    ControllerSetup setup;
    const int id;

private:
    // First: the folder outlives everything that writes into it.
    QTemporaryDir m_dir;
    const TestBroker &m_broker;
    QString m_previousDir;
    // The user's settings (the API key) in the folder, never the user's own.
    ConfigHome m_home{m_dir.filePath(QStringLiteral("settings"))};

public:
    StubCommands stubs;
    FakeCardServices cards;
    FakeNetworkService network;
    FakeSystemService system;
    MqttPeer supervisor;
    std::unique_ptr<Config> config;
    std::unique_ptr<GUIManager> manager;

private:
    void writeConfiguration()
    {
        const QString text = QStringLiteral("[log]\nstderr=false\nsyslog=false\n"
                                            "[mqtt]\nhost=%1\nport=%2\nbase=%3\n"
                                            "[topics]\nrfid=%4\ndispenser=%5\nnetwork=%6\ninspector=%7\n"
                                            "[cameras]\nalpr1=\nalpr2=\nccr1=\nccr2=\n"
                                            "[card-bo]\nurl=https://127.0.0.1:%8\nrespTimeoutMsec=2000\n"
                                            "[terminal]\ndeviceId=SN-%9\ncustomsId=12\nlocationId=7\n")
                                 .arg(m_broker.host())
                                 .arg(m_broker.port())
                                 .arg(base(), cards.rfid.base(), cards.dispenser.base(), network.base(), system.base())
                                 .arg(FreePort::pick())
                                 .arg(id)
                             + setup.extraConfig;
        QFile file(m_dir.filePath(QStringLiteral("gui.conf")));
        if (file.open(QIODevice::WriteOnly))
            file.write(text.toUtf8());
        file.close();
        config = std::make_unique<Config>(file.fileName(), GUIManager::Defaults);
    }

    static inline int s_serial = 0;
};

// Base of the controller test programs: one broker for the whole program, a rig of its own
// for each test function.
class ControllerTestCase : public QObject
{
    Q_OBJECT

protected:
    TestBroker m_broker;
    std::unique_ptr<ControllerRig> m_rig;

    ControllerRig &rig(const ControllerSetup &setup = ControllerSetup())
    {
        m_rig.reset();
        m_rig = std::make_unique<ControllerRig>(m_broker, setup);
        return *m_rig;
    }

private slots:
    void initTestCase()
    {
        // The fakes answer in several small packets; Nagle would hold each back.
        m_broker.addConfig(QStringLiteral("set_tcp_nodelay true"));
        QVERIFY2(m_broker.start(), qPrintable(m_broker.errorString()));
    }
    void cleanup() { m_rig.reset(); }
};
