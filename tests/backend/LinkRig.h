#pragma once

#include "StoreDir.h"
#include "app/Config.h"
#include "backend/CardBO.h"
#include "backend/Database.h"
#include "backend/TerminalView.h"
#include "card/CardIssuer.h"
#include "card/Dispenser.h"
#include "card/RFID.h"
#include "devices/Barrier.h"
#include "devices/Clock.h"
#include "devices/Network.h"
#include "devices/Update.h"
#include "fakes/EventLoopWait.h"
#include "fakes/FakeBackOffice.h"
#include "fakes/LogCapture.h"
#include "fakes/StubCommands.h"
#include "transport/MqttClient.h"
#include "ui/GUIManager.h"

#include <memory>

// A terminal as the back-office link reads it: its ids and type as plain values, its device
// clients real ones on the terminal's MQTT session.
class TestTerminal : public Backend::TerminalView
{
public:
    QString serial = QStringLiteral("SN-0042");
    QString customs = QStringLiteral("12");
    QString location = QStringLiteral("7");
    QString kind = QStringLiteral("CARD_VENDING_MACHINE");
    int up = 4321;

    manager::RFID *rfidClient = nullptr;
    manager::Dispenser *dispenserClient = nullptr;
    manager::CardIssuer *issuerClient = nullptr;
    manager::Network *networkClient = nullptr;
    manager::Update *updateClient = nullptr;
    manager::Barrier *barrierModel = nullptr;
    manager::Clock *clockModel = nullptr;

    QString serialNum() const override { return serial; }
    QString customsId() const override { return customs; }
    QString locationId() const override { return location; }
    QString type() const override { return kind; }
    int uptime() const override { return up; }
    manager::RFID *rfid() override { return rfidClient; }
    manager::Dispenser *dispenser() override { return dispenserClient; }
    manager::CardIssuer *cardIssuer() override { return issuerClient; }
    manager::Network *network() override { return networkClient; }
    manager::Update *update() override { return updateClient; }
    manager::Barrier *barrier() override { return barrierModel; }
    manager::Clock *clock() override { return clockModel; }
};

// The link under test on a store of its own, pointed at a fake back office with the program's
// certificates. The device clients share one MQTT session, unconnected unless a test connects it
// (their topics lie under `topicBase`); the clock runs on stub system commands.
class LinkRig
{
public:
    explicit LinkRig(const TestCertificates &certificates, const QString &topicBase = QStringLiteral("vesk"))
        : rfid(mqtt, topicBase + QStringLiteral("/rfid"))
        , dispenser(mqtt, topicBase + QStringLiteral("/dispenser"))
        , issuer(rfid, dispenser)
        , network(mqtt, topicBase + QStringLiteral("/network"))
        , update(mqtt, topicBase + QStringLiteral("/update"))
        , backOffice(certificates)
    {
        terminal.rfidClient = &rfid;
        terminal.dispenserClient = &dispenser;
        terminal.issuerClient = &issuer;
        terminal.networkClient = &network;
        terminal.updateClient = &update;
    }

    ~LinkRig()
    {
        bo.reset();
        db.reset();
    }

    // Starts the back office and builds the configuration, the barrier and clock, the store and the link.
    bool setUp()
    {
        if (!dir.isValid() || !stubs.isValid() || !backOffice.start())
            return false;
        config = std::make_unique<Config>(dir.filePath(QStringLiteral("gui.conf")), GUIManager::Defaults);
        backOffice.configure(*config);
        barrier = std::make_unique<manager::Barrier>(*config);
        clock = std::make_unique<manager::Clock>();
        clock->setRefreshInterval(0);
        terminal.barrierModel = barrier.get();
        terminal.clockModel = clock.get();
        db = std::make_unique<Backend::Database>(*config);
        bo = std::make_unique<Backend::CardBO>(*config, *db, terminal);
        return true;
    }

    void storeKey(const QString &key = QString())
    {
        db->setParam(QStringLiteral("apiKey"), key.isEmpty() ? backOffice.apiKey() : key);
    }
    QString storedKey() const { return db->param(QStringLiteral("apiKey")).toString(); }

    // Requests the link has sent, and answers (or failures) it has taken in.
    int sent() const { return log.startingWith(QStringLiteral("[HttpClient] Performing ")).size(); }
    int handled() const
    {
        static const QStringList ends{
            QStringLiteral("[Backend::CardBO] ERROR: Operation failed : "),
            QStringLiteral("[Backend::CardBO] UpdateData response received"),
            QStringLiteral("[Backend::CardBO] Heartbeat response received"),
            QStringLiteral("[Backend::CardBO] Update Blacklist response received"),
            QStringLiteral("[Backend::CardBO] ERROR: Blacklist answer holds more than"),
            QStringLiteral("[Backend::CardBO] |      TERMINAL REGISTERED      |"),
            QStringLiteral("[Backend::CardBO] ERROR: Registration answer carries no API key"),
            QStringLiteral("[Backend::CardBO] ERROR: Registration answer carries an API key"),
            QStringLiteral("[Backend::CardBO] ERROR: Could not store the API key"),
            QStringLiteral("[Backend::CardBO] Transaction sent successfully"),
            QStringLiteral("[Backend::CardBO] Ignoring the answer"),
        };
        int n = 0;
        for (const QString &end : ends)
            n += log.startingWith(end).size();
        return n;
    }
    // Waits until every request sent has been answered and its answer taken in (a blacklist
    // and reference data are taken in on a thread of their own, after their answer lines).
    bool settle(int msec = 40000) const
    {
        return waitUntil(
            [this] { return sent() == handled() && !(bo && (bo->blacklistUpdating() || bo->dataUpdating())); }, msec);
    }
    // One step of the state machine and everything it set off.
    bool tick()
    {
        bo->onTick();
        return settle();
    }

    LogCapture log;
    StoreDir dir;
    StubCommands stubs;
    manager::MqttClient mqtt;
    manager::RFID rfid;
    manager::Dispenser dispenser;
    manager::CardIssuer issuer;
    manager::Network network;
    manager::Update update;
    TestTerminal terminal;
    FakeBackOffice backOffice;
    std::unique_ptr<Config> config;
    std::unique_ptr<manager::Barrier> barrier;
    std::unique_ptr<manager::Clock> clock;
    std::unique_ptr<Backend::Database> db;
    std::unique_ptr<Backend::CardBO> bo;
};
