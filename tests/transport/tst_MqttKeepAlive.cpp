#include "transport/MqttClient.h"

#include "fakes/LogCapture.h"
#include "fakes/ScriptedMqttBroker.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

using manager::MqttClient;

// Kept apart from the other session tests: it waits out the keep-alive (about two periods).
class TestMqttKeepAlive : public QObject
{
    Q_OBJECT

private slots:
    void hangingBrokerIsDetected();
};

// A broker that stops answering while the connection stays open is noticed by the keep-alive
// alone; the session then reconnects once the broker answers again.
void TestMqttKeepAlive::hangingBrokerIsDetected()
{
    ScriptedMqttBroker broker;
    QVERIFY(broker.start());
    MqttClient client;
    client.setHostname(broker.host());
    client.setPort(broker.port());
    client.setClientId(QStringLiteral("keep-alive"));
    client.setRetryMillis(500);
    QSignalSpy connected(&client, &MqttClient::connected);
    QSignalSpy disconnected(&client, &MqttClient::disconnected);
    QSignalSpy errors(&client, &MqttClient::error);
    client.connect();
    QVERIFY(connected.wait(5000));

    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    broker.setSilent(true);
    QVERIFY(disconnected.wait(20000));
    QVERIFY2(clock.elapsed() >= 4000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(errors.count(), 1);
    QVERIFY(log.contains(QtWarningMsg, QStringLiteral("[MqttClient] Transport invalid: ")));

    broker.setSilent(false);
    QVERIFY(connected.wait(10000));
    QVERIFY(client.isConnected());
}

QTEST_GUILESS_MAIN(TestMqttKeepAlive)
#include "tst_MqttKeepAlive.moc"
