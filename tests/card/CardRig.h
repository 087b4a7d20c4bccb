#pragma once

#include "fakes/FakeDispenserService.h"
#include "fakes/FakeRfidService.h"
#include "fakes/TestBroker.h"
#include "transport/MqttClient.h"

#include <QEventLoop>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <memory>

// Runs the event loop until the predicate holds, at most msec. QTest::qWaitFor
// and the QTRY_ macros sleep 10 ms between their passes over the pending
// events, and the MQTT session reads one packet a pass: every exchange with
// a fake would cost several sleeps. Here the loop runs on.
template <typename Predicate>
bool waitUntil(Predicate predicate, int msec = 5000)
{
    if (predicate())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (predicate())
            loop.quit();
    });
    QTimer::singleShot(msec, &loop, &QEventLoop::quit);
    poll.start(1);
    loop.exec();
    return predicate();
}

// QTRY_VERIFY and QTRY_COMPARE over waitUntil.
#define WAIT_VERIFY_WITH_TIMEOUT(expr, msec) \
    do { \
        waitUntil([&] { return bool(expr); }, msec); \
        QVERIFY(expr); \
    } while (false)
#define WAIT_VERIFY(expr) WAIT_VERIFY_WITH_TIMEOUT(expr, 5000)
#define WAIT_COMPARE(actual, expected) \
    do { \
        waitUntil([&] { return (actual) == (expected); }); \
        QCOMPARE(actual, expected); \
    } while (false)

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

// Records how a deferred result settled.
template <typename R>
class Probe
{
public:
    explicit Probe(const Deferred<R> &deferred)
        : m_state(std::make_shared<State>())
    {
        auto state = m_state;
        deferred.done([state](R value) { state->resolved = true; state->value = value; })
            .fail([state](R value) { state->rejected = true; state->value = value; });
    }
    bool settled() const { return m_state->resolved || m_state->rejected; }
    bool resolved() const { return m_state->resolved; }
    bool rejected() const { return m_state->rejected; }
    const R &value() const { return m_state->value; }

private:
    struct State
    {
        bool resolved = false;
        bool rejected = false;
        R value{};
    };
    std::shared_ptr<State> m_state;
};
