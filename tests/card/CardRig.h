#pragma once

#include "fakes/DeferredProbe.h"
#include "fakes/EventLoopWait.h"
#include "fakes/FakeDispenserService.h"
#include "fakes/FakeRfidService.h"
#include "fakes/TestBroker.h"
#include "transport/MqttClient.h"

#include <QSignalSpy>
#include <QtTest>

// Base of the card test programs: one broker for the whole program. The
// fakes answer with several small packets back to back; with Nagle's
// algorithm on, the broker would hold each behind the delayed ACK of the
// one before (some 40 ms a packet).
class CardTestCase : public QObject
{
    Q_OBJECT

protected:
    TestBroker m_broker;

private slots:
    void initTestCase()
    {
        m_broker.addConfig(QStringLiteral("set_tcp_nodelay true"));
        QVERIFY2(m_broker.start(), qPrintable(m_broker.errorString()));
    }
};

// One MQTT session of the terminal side on the test broker, connected and
// ready; every rig gets base topics of its own so retained documents of one
// test never reach another.
class CardRig
{
public:
    explicit CardRig(quint16 port)
        : rfidBase(QStringLiteral("t%1/rfid").arg(++s_serial))
        , dispenserBase(QStringLiteral("t%1/dispenser").arg(s_serial))
        , fakeRfid(rfidBase)
        , fakeDispenser(dispenserBase)
        , m_port(port)
    {
        mqtt.setHostname(QStringLiteral("127.0.0.1"));
        mqtt.setPort(port);
        mqtt.setClientId(QStringLiteral("terminal-%1").arg(s_serial));
        mqtt.setRetryMillis(60000); // a test that disconnects stays disconnected
    }

    bool connectClient()
    {
        QSignalSpy up(&mqtt, &manager::MqttClient::connected);
        mqtt.connect();
        return mqtt.isConnected() || up.wait(5000);
    }

    bool startFakes()
    {
        return fakeRfid.start(m_port) && fakeDispenser.start(m_port);
    }

    static inline int s_serial = 0;
    QString rfidBase;
    QString dispenserBase;
    manager::MqttClient mqtt;
    FakeRfidService fakeRfid;
    FakeDispenserService fakeDispenser;

private:
    quint16 m_port;
};
