#pragma once

#include "CardRig.h"

#include "card/CardIssuer.h"
#include "card/Dispenser.h"
#include "card/RFID.h"
#include "card/RUDIv1Card.h"

#include <QJsonObject>
#include <QtTest>

#include <memory>

// The terminal's card side (reader and dispenser clients, the issuer over
// them) on the test broker, with the fake reader following the fake
// dispenser's RFID position.
class IssuerRig
{
public:
    using Result = manager::CardIssuer::Result;

    explicit IssuerRig(quint16 port)
        : fakes(port)
        , rfid(fakes.mqtt, fakes.rfidBase)
        , dispenser(fakes.mqtt, fakes.dispenserBase)
        , issuer(rfid, dispenser)
    {
    }

    // Loads the cartridge, starts the services and the session, and returns
    // once the issuer has seen sound devices.
    bool start(int cards = 20)
    {
        fakes.fakeRfid.attach(&fakes.fakeDispenser);
        fakes.fakeDispenser.loadCartridge(cards);
        if (!fakes.startFakes() || !fakes.connectClient())
            return false;
        return waitUntil([this] { return issuer.state() == manager::CardIssuer::Ready; }, 5000);
    }

    FakeDispenserService &fakeDispenser() { return fakes.fakeDispenser; }
    FakeRfidService &fakeRfid() { return fakes.fakeRfid; }

    // Returns once the service has handled every request the terminal sent
    // before: a request of no meaning travels the same way and is answered.
    // False when no answer came (a time-out, no connection).
    bool requestsHandled(FakeService &service, int msec = 5000)
    {
        const QString id = QStringLiteral("barrier-%1").arg(++m_barrier);
        auto settled = std::make_shared<bool>(false);
        auto answered = std::make_shared<bool>(false);
        fakes.mqtt.executeRpc(service.base() + QStringLiteral("/barrier"), id, QJsonObject{}, msec)
            .done([settled, answered](QJsonValue) { *settled = *answered = true; })
            .fail([settled, answered](QJsonValue error) {
                *settled = true;
                *answered = error.toString() == QLatin1String("Invalid response"); // a reply, if no document
            });
        waitUntil([settled] { return *settled; }, msec + 1000);
        return *answered;
    }

    // Returns once the clients have taken in every document the services published before.
    bool documentsSeen()
    {
        const QString marker = QStringLiteral("sync-%1").arg(++m_barrier);
        fakes.fakeDispenser.publish(QStringLiteral("/info"),
                                    QJsonObject{{QStringLiteral("device"),
                                                 QJsonObject{{QStringLiteral("model"), fakes.fakeDispenser.model()},
                                                             {QStringLiteral("firmware"), marker}}}});
        fakes.fakeRfid.publish(QStringLiteral("/info"),
                               QJsonObject{{QStringLiteral("device"), QJsonObject{{QStringLiteral("firmware"), marker}}}});
        return waitUntil([&] { return dispenser.firmware() == marker && rfid.firmware() == marker; }, 5000);
    }

    // The product card as the issue road fills it.
    static QSharedPointer<RUDIv1Card> vehicleCard(int customsId = 12)
    {
        auto card = QSharedPointer<RUDIv1Card>::create();
        card->setCustomsId(customsId);
        card->setStatus(QStringLiteral("active"));
        card->addUsageLog(QStringLiteral("entry"), QStringLiteral("SN-1"), QStringLiteral("LOC-7"));
        card->incrUsageCounter(1);
        return card;
    }

    CardRig fakes;
    manager::RFID rfid;
    manager::Dispenser dispenser;
    manager::CardIssuer issuer;

private:
    int m_barrier = 0;
};

// Base of the issuer test programs: for each test function a rig of its own,
// started unless the program starts it in its tests.
class IssuerTestCase : public CardTestCase
{
    Q_OBJECT

public:
    explicit IssuerTestCase(bool startRig = true)
        : m_startRig(startRig)
    {
    }

protected:
    // The card a preparation reports; null when it failed.
    Tag::Ptr prepare()
    {
        DeferredProbe<IssuerRig::Result> prepared(m_rig->issuer.prepareCard());
        if (!prepared.waitSettled() || !prepared.resolved())
            return {};
        return prepared.value().card;
    }

    std::unique_ptr<IssuerRig> m_rig;

private slots:
    void init()
    {
        m_rig = std::make_unique<IssuerRig>(m_broker.port());
        if (m_startRig)
            QVERIFY(m_rig->start());
    }
    void cleanup() { m_rig.reset(); }

private:
    bool m_startRig;
};
