#pragma once

#include "fakes/EventLoopWait.h"
#include "fakes/TestBroker.h"
#include "transport/MqttClient.h"

#include <QHash>
#include <QSignalSpy>
#include <QtTest>

// Base of the MQTT device test programs: one broker for the whole program.
// The fakes answer with small packets back to back; with Nagle's algorithm
// on, the broker would hold each behind the delayed ACK of the one before.
class DeviceTestCase : public QObject
{
    Q_OBJECT

protected:
    TestBroker m_broker;

protected slots:
    // A program that needs its own set-up first calls this from its own initTestCase.
    void initTestCase()
    {
        m_broker.addConfig(QStringLiteral("set_tcp_nodelay true"));
        QVERIFY2(m_broker.start(), qPrintable(m_broker.errorString()));
    }
};

// The terminal's MQTT session on the test broker. Every rig has topics of its
// own (base("update") is "d<n>/update"), so retained documents of one test
// never reach another. seen() counts the messages the session handed to its
// listeners: once a count is reached, the clients have handled them.
class DeviceRig
{
public:
    explicit DeviceRig(const TestBroker &broker)
        : m_prefix(QStringLiteral("d%1/").arg(++s_serial))
    {
        mqtt.setHostname(broker.host());
        mqtt.setPort(broker.port());
        mqtt.setClientId(QStringLiteral("terminal-d%1").arg(s_serial));
        mqtt.setRetryMillis(60000); // a test that disconnects stays disconnected
        // Queued: it runs after every client connected directly has handled the message.
        QObject::connect(&mqtt, &manager::MqttClient::received, &m_context,
                         [this](const QByteArray &, const QByteArray &topic) { ++m_seen[QString::fromUtf8(topic)]; },
                         Qt::QueuedConnection);
    }

    QString base(const QString &name) const { return m_prefix + name; }

    bool connectClient()
    {
        QSignalSpy up(&mqtt, &manager::MqttClient::connected);
        mqtt.connect();
        return mqtt.isConnected() || up.wait(5000);
    }

    int seen(const QString &topic) const { return m_seen.value(topic); }
    bool waitSeen(const QString &topic, int count, int msec = 5000)
    {
        return waitUntil([&] { return seen(topic) >= count; }, msec);
    }

    manager::MqttClient mqtt;

private:
    static inline int s_serial = 0;
    QString m_prefix;
    QObject m_context;
    QHash<QString, int> m_seen;
};

// Whether, in the broker's log, the nth request of client on requestTopic
// came after the client had subscribed subscribedTopic on that connection
// (the subscription that carries the answer).
inline bool subscribedBeforeRequest(const TestBroker &broker, const QString &client, const QString &subscribedTopic,
                                    const QString &requestTopic, int nth = 1)
{
    const QStringList lines = broker.log().split(QLatin1Char('\n'));
    const QString request = QLatin1Char('\'') + requestTopic + QLatin1Char('\'');
    int subscribed = -1;
    int seen = 0;
    for (int i = 0; i < lines.size(); ++i) {
        if (lines[i].contains(QStringLiteral("Received SUBSCRIBE from ") + client)
            && lines.value(i + 1).contains(subscribedTopic + QStringLiteral(" (QoS")) && seen == nth - 1 && subscribed < 0)
            subscribed = i;
        if (lines[i].contains(QStringLiteral("Received PUBLISH from ") + client) && lines[i].contains(request) && ++seen == nth)
            return subscribed >= 0;
    }
    return false;
}
