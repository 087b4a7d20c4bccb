#pragma once

#include "app/Config.h"
#include "backend/CardBO.h"
#include "backend/Database.h"
#include "devices/SimulatedBoard.h"
#include "terminal/Engine.h"
#include "terminal/Terminal.h"
#include "transport/MqttClient.h"
#include "ui/GUIManager.h"

#include "fakes/ConfigHome.h"
#include "fakes/EventLoopWait.h"
#include "fakes/FakeBackOffice.h"
#include "fakes/FakeCamera.h"
#include "fakes/FakeCardServices.h"
#include "fakes/FakeUpdateService.h"
#include "fakes/FreePort.h"
#include "fakes/StubCommands.h"
#include "fakes/TestBroker.h"
#include "fakes/TestCertificates.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Every state a session passed through, so that a test can wait for states
// that last only a moment (Permission, CardProcess).
class StateTrail : public QObject
{
public:
    explicit StateTrail(Session *session)
    {
        connect(session, &Session::stateChanged, this,
                [this](Session::State, Session::State curr) { m_states.append(curr); });
    }

    int size() const { return m_states.size(); }
    // The index of the first entry of `state` at or after `from`, waiting for it; -1 when none came.
    int waitFor(Session::State state, int from = 0, int msec = 10000) const
    {
        int found = -1;
        waitUntil([&] {
            for (int i = from; i < m_states.size(); ++i) {
                if (m_states.at(i) == state) {
                    found = i;
                    return true;
                }
            }
            return false;
        }, msec);
        return found;
    }
    // The names of the states from `from` on, blank-separated.
    QString since(int from) const
    {
        QStringList names;
        for (int i = from; i < m_states.size(); ++i)
            names << Session::stateToStr(m_states.at(i));
        return names.join(QLatin1Char(' '));
    }

private:
    QList<Session::State> m_states;
};

// What a lane looks like for one test.
struct LaneSetup
{
    QString model = QStringLiteral("KTV52817");
    int cards = 20;
    // The cartridge's cards in order, in place of `cards` blank ones.
    QList<FakeCard::Ptr> cartridge;
    QString deviceId = QStringLiteral("SN-1");
    QString customsId = QStringLiteral("12");
    QString locationId = QStringLiteral("7");
    int collectTimeoutSec = 60;
    // Camera name ("alpr1" ...) and what it pushes after its trigger (empty: nothing).
    QList<QPair<QString, QByteArray>> cameras;
    int triggerDelayMsec = 0;
    // The API key is in the store already, so the link needs no registration.
    bool registered = true;
    // Parameters the store holds already, as an earlier run left them.
    QVariantMap storeParams;
    // The reader's service runs from the start; else it is left out.
    bool readerService = true;
};

// A whole terminal in the test process: the real Terminal on its own MQTT
// session, over the fake card services, fake cameras and the fake back office,
// with a working folder of its own (store, API key, configuration) and the
// system commands stubbed.
class TerminalRig
{
public:
    // Fake cameras of these programs live on 127.74.y.x.
    static QString cameraSubnet()
    {
        static const QString subnet = FakeCamera::loopbackSubnet(74);
        return subnet;
    }

    TerminalRig(const TestBroker &broker, const TestCertificates &certificates, const LaneSetup &setup = LaneSetup())
        : setup(setup)
        , m_broker(broker)
        , m_previousDir(QDir::currentPath())
        , id(++s_serial)
        , backOffice(certificates)
        , cards(QStringLiteral("t%1/rfid").arg(id), QStringLiteral("t%1/dispenser").arg(id))
        , updates(QStringLiteral("t%1/update").arg(id))
    {
        QDir::setCurrent(m_dir.path());
        SimulatedBoard::reset();
        cards.dispenser.setModel(setup.model);
    }

    ~TerminalRig()
    {
        terminal.reset();
        qDeleteAll(cameras);
        QDir::setCurrent(m_previousDir);
    }

    // Starts the fakes and the terminal; returns once its engine has run up
    // to its first Idle (on a lane that can get there).
    bool start(bool waitIdle = true)
    {
        if (!backOffice.start() || !startCardServices() || !updates.start(m_broker))
            return false;
        if (!setup.cartridge.isEmpty())
            cards.dispenser.loadCartridge(setup.cartridge);
        writeConfiguration();
        if (setup.registered || !setup.storeParams.isEmpty()) {
            Backend::Database store(*config);
            if (setup.registered)
                store.setParam(QStringLiteral("apiKey"), backOffice.apiKey());
            for (auto it = setup.storeParams.cbegin(); it != setup.storeParams.cend(); ++it)
                store.setParam(it.key(), it.value());
        }

        mqtt.setHostname(m_broker.host());
        mqtt.setPort(m_broker.port());
        mqtt.setClientId(QStringLiteral("terminal-%1").arg(id));
        terminal = std::make_unique<Terminal>(*config, mqtt);
        // The clock on the stubs' file, never the system's.
        if (terminal->clock()->configFile() != stubs.timesyncdConf())
            return false;
        // The board's first poll reports both inputs once; a level set before it would pass unseen.
        QSignalSpy polled(terminal->board(), &manager::MIOBoard::gpioStateChanged);
        trail = std::make_unique<StateTrail>(terminal->session());
        terminal->start();
        const int subscribed = m_broker.count(QStringLiteral("vesk/ui/camera/trigger (QoS 0)"));
        QSignalSpy connected(&mqtt, &manager::MqttClient::connected);
        mqtt.connect();
        if (!connected.wait(5000))
            return false;
        // The simulation topics are the session's last subscriptions.
        if (!m_broker.waitForLog(QStringLiteral("vesk/ui/camera/trigger (QoS 0)"), subscribed + 1))
            return false;
        if (!waitUntil([&] { return polled.count() >= 1; }))
            return false;
        return !waitIdle || trail->waitFor(Session::Idle) >= 0;
    }

    Session *session() const { return terminal->session(); }
    FakeDispenserService &dispenser() { return cards.dispenser; }
    FakeRfidService &rfid() { return cards.rfid; }

    void vehicleArrives() { SimulatedBoard::setLevel(1, 1); }
    void vehicleLeaves() { SimulatedBoard::setLevel(1, 0); }
    // A press and release of the driver's button, as the board's poll sees it.
    bool pressButton()
    {
        QSignalSpy pressed(terminal->button(), &manager::Button::pressed);
        SimulatedBoard::setLevel(0, 1);
        const bool seen = pressed.wait(3000);
        SimulatedBoard::setLevel(0, 0);
        return seen;
    }

    // The card at the reader once the engine has it ready.
    bool cardPrepared(const QString &uid = QString())
    {
        return waitUntil([&] {
            return !session()->cardId().isEmpty() && (uid.isEmpty() || session()->cardId() == uid);
        }, 10000);
    }

    QString cameraHost(int index) const { return cameraSubnet() + QString::number(index + 2); }

    LaneSetup setup;

private:
    // First: the folder outlives everything that writes into it.
    QTemporaryDir m_dir;
    bool startCardServices()
    {
        if (setup.readerService)
            return cards.start(m_broker, setup.cards);
        cards.dispenser.loadCartridge(setup.cards);
        return cards.dispenser.start(m_broker);
    }

    const TestBroker &m_broker;
    QString m_previousDir;
    // The user's settings (the API key) in the folder, never the user's own.
    ConfigHome m_home{m_dir.filePath(QStringLiteral("settings"))};

public:
    int id;
    StubCommands stubs;
    std::unique_ptr<Config> config;
    FakeBackOffice backOffice;
    FakeCardServices cards;
    FakeUpdateService updates;
    QList<FakeCamera *> cameras;
    quint16 receiverPort = 0;
    manager::MqttClient mqtt;
    std::unique_ptr<Terminal> terminal;
    std::unique_ptr<StateTrail> trail;

private:
    void writeConfiguration()
    {
        QString cameraLines;
        const QStringList names{"alpr1", "alpr2", "ccr1", "ccr2"};
        QMap<QString, QString> urls;
        if (!setup.cameras.isEmpty())
            receiverPort = FreePort::pick(QHostAddress::Any);
        for (int i = 0; i < setup.cameras.size(); ++i) {
            auto *camera = new FakeCamera(QHostAddress(cameraHost(i)));
            camera->setReceiverPort(receiverPort);
            camera->setResult("/result", setup.cameras.at(i).second);
            camera->listen();
            cameras << camera;
            urls.insert(setup.cameras.at(i).first, QStringLiteral("http://%1:%2").arg(cameraHost(i)).arg(receiverPort));
        }
        for (const QString &name : names)
            cameraLines += name + QLatin1Char('=') + urls.value(name) + QLatin1Char('\n');

        const QString text =
            QStringLiteral("[log]\nstderr=false\nsyslog=false\n"
                           "[mqtt]\nhost=%1\nport=%2\n"
                           "[topics]\nrfid=%3\ndispenser=%4\nnetwork=t%5/network\nupdate=t%5/update\n"
                           "[cameras]\n%6triggerDelayMsec=%7\nresponseTimeoutMsec=3000\n"
                           "[terminal]\ndeviceId=%8\ncustomsId=%9\nlocationId=%10\ncollectTimeoutSec=%11\n")
                .arg(m_broker.host())
                .arg(m_broker.port())
                .arg(cards.rfid.base(), cards.dispenser.base())
                .arg(id)
                .arg(cameraLines)
                .arg(setup.triggerDelayMsec)
                .arg(setup.deviceId, setup.customsId, setup.locationId)
                .arg(setup.collectTimeoutSec);
        QFile file(m_dir.filePath(QStringLiteral("gui.conf")));
        if (file.open(QIODevice::WriteOnly))
            file.write(text.toUtf8());
        file.close();
        config = std::make_unique<Config>(file.fileName(), GUIManager::Defaults);
        backOffice.configure(*config);
    }

    static inline int s_serial = 0;
};

// Base of the terminal test programs: one broker and one set of certificates
// for the whole program, a rig of its own for each test function.
class TerminalTestCase : public QObject
{
    Q_OBJECT

protected:
    TestBroker m_broker;
    std::unique_ptr<TestCertificates> m_certificates;
    std::unique_ptr<TerminalRig> m_rig;

    TerminalRig &rig(const LaneSetup &setup = LaneSetup())
    {
        m_rig = std::make_unique<TerminalRig>(m_broker, *m_certificates, setup);
        return *m_rig;
    }

private slots:
    void initTestCase()
    {
        // The fakes answer in several small packets; Nagle would hold each back.
        m_broker.addConfig(QStringLiteral("set_tcp_nodelay true"));
        QVERIFY2(m_broker.start(), qPrintable(m_broker.errorString()));
        m_certificates = std::make_unique<TestCertificates>();
        QVERIFY2(m_certificates->isValid(), qPrintable(m_certificates->errorString()));
    }
    void cleanup() { m_rig.reset(); }
};
