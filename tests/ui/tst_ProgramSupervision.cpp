#include "fakes/EventLoopWait.h"
#include "fakes/FreePort.h"
#include "fakes/MqttPeer.h"
#include "fakes/StubCommands.h"
#include "fakes/TestBroker.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The real program on the test's broker, killed and started again: what a supervisor that
// subscribes late sees of it.
class tst_ProgramSupervision : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void retainedStatusAcrossAKill();

private:
    bool startProgram();
    // A supervisor that subscribes now: the retained status, if any.
    QJsonObject lateStatus(const QString &name);

    TestBroker m_broker;
    QTemporaryDir m_dir;
    std::unique_ptr<StubCommands> m_stubs;
    std::unique_ptr<QProcess> m_program;
    QByteArray m_err;
    const QString m_base = QStringLiteral("prog/ui");
};

void tst_ProgramSupervision::initTestCase()
{
    QVERIFY2(m_broker.start(), qPrintable(m_broker.errorString()));
    m_stubs = std::make_unique<StubCommands>(); // the clock's commands, for the program too
    QVERIFY(m_stubs->isValid());
    QFile config(m_dir.filePath("gui.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("[log]\nstderr=true\nsyslog=false\n"
                                "[mqtt]\nhost=127.0.0.1\nport=%1\nbase=%2\n"
                                "[topics]\nrfid=prog/rfid\ndispenser=prog/dispenser\nnetwork=prog/network\n"
                                "inspector=prog/inspector\n"
                                "[cameras]\nalpr1=\nalpr2=\nccr1=\nccr2=\n"
                                "[card-bo]\nurl=https://127.0.0.1:%3\n"
                                "[terminal]\ndeviceId=SN-P\ncustomsId=12\nlocationId=7\n")
                     .arg(m_broker.port())
                     .arg(m_base)
                     .arg(FreePort::pick())
                     .toUtf8());
}

bool tst_ProgramSupervision::startProgram()
{
    m_err.clear();
    m_program = std::make_unique<QProcess>();
    m_program->setWorkingDirectory(m_dir.path());
    connect(m_program.get(), &QProcess::readyReadStandardError, this,
            [this] { m_err += m_program->readAllStandardError(); });
    m_program->start(VORN_PROGRAM, {"-f", m_dir.filePath("gui.conf")});
    if (!m_program->waitForStarted(10000))
        return false;
    return waitUntil([this] { return m_err.contains("[GUIManager] Connected to MQTT broker")
                                     && m_err.contains("[GUIManager] First frame shown"); },
                     30000);
}

QJsonObject tst_ProgramSupervision::lateStatus(const QString &name)
{
    MqttPeer late(name);
    if (!late.connectTo(m_broker) || !late.subscribe(m_base + "/status") || !late.waitForMessages(m_base + "/status"))
        return QJsonObject();
    const MqttPeer::Message message = late.messages(m_base + "/status").first();
    if (!message.retained)
        return QJsonObject{{"not retained", true}};
    return QJsonDocument::fromJson(message.payload).object();
}

void tst_ProgramSupervision::retainedStatusAcrossAKill()
{
    // The first frame can come before the live status has reached the broker: a late subscriber
    // then gets it live rather than retained, and asks again.
    QVERIFY2(startProgram(), m_err.constData());
    QJsonObject status;
    QVERIFY(waitUntil([&] { return (status = lateStatus("late-1")).value("service") == QJsonValue(true); }, 10000));
    QCOMPARE(status.value("error"), QJsonValue("Missing Terminal type"));

    // Killed: the broker gives its will, and keeps it for whoever comes later.
    m_program->kill();
    QVERIFY(m_program->waitForFinished(10000));
    QVERIFY(waitUntil([this] { return lateStatus("late-2") == QJsonObject{{"service", false}}; }, 10000));

    // Back: the live status replaces it.
    QVERIFY2(startProgram(), m_err.constData());
    QVERIFY(waitUntil([&] { return (status = lateStatus("late-3")).value("service") == QJsonValue(true); }, 10000));
    QVERIFY(status.contains("uptime"));

    // And it answers on its topics.
    MqttPeer supervisor("supervisor");
    QVERIFY(supervisor.connectTo(m_broker));
    QVERIFY(supervisor.subscribe(m_base + "/info"));
    QVERIFY(m_broker.waitForLog("\t" + m_base + "/test/cancel/request/+ (QoS 0)", 2));
    QVERIFY(supervisor.publish(m_base + "/info/get", QByteArray(), 1));
    QVERIFY(supervisor.waitForMessages(m_base + "/info"));
    const QJsonObject info = QJsonDocument::fromJson(supervisor.messages().last().payload).object();
    QCOMPARE(info.value("version"), QJsonValue("0.0.2"));
    QCOMPARE(info.value("terminal").toObject().value("serialNum"), QJsonValue("SN-P"));

    m_program->terminate();
    QVERIFY(m_program->waitForFinished(10000));
}

QTEST_MAIN(tst_ProgramSupervision)
#include "tst_ProgramSupervision.moc"
