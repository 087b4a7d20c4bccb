#pragma once

#include "app/Config.h"
#include "backend/Database.h"
#include "ui/GUIManager.h"

#include "fakes/ConfigHome.h"
#include "fakes/EventLoopWait.h"
#include "fakes/FakeBackOffice.h"
#include "fakes/FakeCamera.h"
#include "fakes/FakeCardServices.h"
#include "fakes/FreePort.h"
#include "fakes/StubCommands.h"
#include "fakes/TestBroker.h"
#include "fakes/TestCertificates.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// What the lane around the program looks like.
struct ProgramSetup
{
    QString model = QStringLiteral("KTV52817");
    int cards = 20;
    bool cameras = true;
    int collectTimeoutSec = 20;
    int heartbeatSec = 30;
    int triggerDelayMsec = 200;
    QString customsId = QStringLiteral("12");
    // The API key of an earlier registration is in the store already.
    bool registered = true;
    // Credentials of the MQTT session, and the user-info of the plate cameras' URLs ("user:password").
    QString mqttUsername;
    QString mqttPassword;
    QString cameraUserInfo;
    // Further gui.conf lines, in sections of their own.
    QString extraConfig;
};

// The real program in a lane of fakes: its own working folder and gui.conf, the
// broker, the card services on the default topics, a plate camera per side on
// loopback addresses of its own, the back office over HTTPS with client
// certificates, the board's inputs in a pins folder, and the system commands and
// the clock's file stubbed. Everything the program writes to stderr is kept for
// the test to search.
class ProgramLane
{
public:
    using Setup = ProgramSetup;

    // Fake cameras of the program tests live on 127.75.y.x.
    static QString cameraSubnet()
    {
        static const QString subnet = FakeCamera::loopbackSubnet(75);
        return subnet;
    }

    explicit ProgramLane(const TestCertificates &certificates, const Setup &setup = Setup())
        : setup(setup)
        , backOffice(certificates)
        , m_certificates(certificates)
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("gpio"));
        QDir(m_dir.path()).mkpath(QStringLiteral("config"));
        setPin(0, 0);
        setPin(1, 0);
    }

    ~ProgramLane()
    {
        stopProgram();
        qDeleteAll(cameras);
    }

    bool startFakes()
    {
        broker.addConfig(QStringLiteral("set_tcp_nodelay true"));
        if (!broker.start())
            return false;
        cards.dispenser.setModel(setup.model);
        if (!cards.start(broker, setup.cards) || !backOffice.start())
            return false;
        if (setup.cameras) {
            receiverPort = FreePort::pick(QHostAddress::Any);
            for (const QByteArray &plate : {QByteArray("ABC1234"), QByteArray("XYZ9876")}) {
                auto *camera = new FakeCamera(QHostAddress(cameraSubnet() + QString::number(2 + cameras.size())));
                camera->setReceiverPort(receiverPort);
                camera->setResult("/result", FakeCamera::plateResult(QString::fromLatin1(plate)));
                if (!camera->listen())
                    return false;
                cameras << camera;
            }
        }
        return true;
    }

    QString configuration() const
    {
        QUrl url = backOffice.url();
        url.setPath(QString());
        QString alpr1, alpr2;
        const QString userInfo = setup.cameraUserInfo.isEmpty() ? QString() : setup.cameraUserInfo + QLatin1Char('@');
        if (setup.cameras) {
            alpr1 = QStringLiteral("http://%1%2:%3").arg(userInfo, cameras.at(0)->address().toString()).arg(receiverPort);
            alpr2 = QStringLiteral("http://%1%2:%3").arg(userInfo, cameras.at(1)->address().toString()).arg(receiverPort);
        }
        return QStringLiteral("[log]\nlevel=2\nstderr=true\nsyslog=false\n"
                              "[mqtt]\nhost=%1\nport=%2\nusername=@MQTTUSER@\npassword=@MQTTPASSWORD@\n"
                              "[cameras]\nalpr1=@ALPR1@\nalpr2=@ALPR2@\nccr1=\nccr2=\ntriggerDelayMsec=%3\nresponseTimeoutMsec=3000\n"
                              "[terminal]\ndeviceId=SN-E2E\ncustomsId=%4\nlocationId=7\ncollectTimeoutSec=%5\n"
                              "[card-bo]\nurl=%6\nrootCA=%7\npubCert=%8\nprivKey=%9\nhbIntervalSec=%10\n")
            .arg(broker.host())
            .arg(broker.port())
            .arg(setup.triggerDelayMsec)
            .arg(setup.customsId)
            .arg(setup.collectTimeoutSec)
            .arg(url.toString(), m_certificates.caCertPath(), m_certificates.clientCertPath(),
                 m_certificates.clientKeyPath())
            .arg(setup.heartbeatSec)
            .replace(QStringLiteral("@ALPR1@"), alpr1)
            .replace(QStringLiteral("@ALPR2@"), alpr2)
            .replace(QStringLiteral("@MQTTUSER@"), setup.mqttUsername)
            .replace(QStringLiteral("@MQTTPASSWORD@"), setup.mqttPassword)
            + setup.extraConfig;
    }

    bool startProgram()
    {
        // Without the stubs the program would run the system's commands on the system's file.
        if (!stubs.isValid())
            return false;
        QFile file(m_dir.filePath(QStringLiteral("gui.conf")));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        file.write(configuration().toUtf8());
        file.close();
        if (setup.registered && !storeApiKey())
            return false;

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VORN_SIMULATED_GPIO"), m_dir.filePath(QStringLiteral("gpio")));
        // The API key goes to the user's settings: a folder of this lane's own.
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process = std::make_unique<QProcess>();
        m_process->setProcessEnvironment(env);
        m_process->setWorkingDirectory(m_dir.path());
        QObject::connect(m_process.get(), &QProcess::readyReadStandardError, [this] { collect(); });
        m_process->start(QStringLiteral(VORN_PROGRAM), {QStringLiteral("-f"), QStringLiteral("gui.conf")});
        // The board's first poll reports the free loop once; a level set before it would pass unseen.
        return m_process->waitForStarted(10000)
            && waitLog(QStringLiteral("[Loop] Magnetic Loop state changed : not-occupied"), 1, 30000);
    }

    // Ends the program; false when it was no longer running (it crashed or quit).
    bool stopProgram()
    {
        if (!m_process)
            return true;
        const bool running = m_process->state() == QProcess::Running;
        m_process->terminate();
        if (!m_process->waitForFinished(10000)) {
            m_process->kill();
            m_process->waitForFinished();
        }
        collect();
        m_process.reset();
        return running;
    }

    bool isRunning() const { return m_process && m_process->state() == QProcess::Running; }

    // Lines of the program's log that contain the fragment.
    int count(const QString &fragment) const
    {
        int n = 0;
        for (const QString &line : m_lines)
            n += line.contains(fragment) ? 1 : 0;
        return n;
    }
    // Waits until the log holds `times` lines with the fragment (counted from `from`).
    bool waitLog(const QString &fragment, int times = 1, int msec = 15000)
    {
        const bool found = waitUntil([&] { return count(fragment) >= times; }, msec);
        if (!found)
            qWarning().noquote() << "Not in the program's log:" << fragment << "\n" << tail(40);
        return found;
    }
    // Marks the log; since() then counts only what came after.
    int mark() const { return m_lines.size(); }
    QStringList since(int mark) const { return m_lines.mid(mark); }
    bool waitLogSince(int mark, const QString &fragment, int msec = 15000)
    {
        auto seen = [&] {
            for (int i = mark; i < m_lines.size(); ++i)
                if (m_lines.at(i).contains(fragment))
                    return true;
            return false;
        };
        const bool found = waitUntil(seen, msec);
        if (!found)
            qWarning().noquote() << "Not in the program's log:" << fragment << "\n" << tail(40);
        return found;
    }
    QStringList lines() const { return m_lines; }
    QString tail(int n) const { return m_lines.mid(qMax(0, m_lines.size() - n)).join(QLatin1Char('\n')); }

    // The board's inputs: pin 0 the driver's button, pin 1 the vehicle loop.
    void setPin(int pin, int level)
    {
        QFile file(m_dir.filePath(QStringLiteral("gpio/gpio%1").arg(pin)));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(QByteArray::number(level));
    }
    bool vehicleArrives()
    {
        const int at = mark();
        setPin(1, 1);
        return waitLogSince(at, QStringLiteral("[Loop] Magnetic Loop state changed : occupied"));
    }
    bool vehicleLeaves()
    {
        const int at = mark();
        setPin(1, 0);
        return waitLogSince(at, QStringLiteral("[Loop] Magnetic Loop state changed : not-occupied"));
    }
    bool pressButton()
    {
        const int at = mark();
        setPin(0, 1);
        const bool pressed = waitLogSince(at, QStringLiteral("[Button] User Button state changed : pressed"));
        setPin(0, 0);
        return pressed && waitLogSince(at, QStringLiteral("[Button] User Button state changed : not pressed"));
    }
    // The driver takes the card once it is in the mouth.
    FakeCard::Ptr takeCard(int msec = 15000)
    {
        if (!waitUntil([this] { return !cards.dispenser.cardInMouth().isNull(); }, msec))
            return {};
        const FakeCard::Ptr card = cards.dispenser.cardInMouth();
        cards.dispenser.driverTakeCard();
        return card;
    }
    bool insertCard(const FakeCard::Ptr &card)
    {
        return waitUntil([this] { return cards.dispenser.acceptEnabled(); }) && cards.dispenser.driverInsertCard(card);
    }

    QString dir() const { return m_dir.path(); }

    Setup setup;
    // The program's clock runs these and writes their file, as the test's environment says.
    StubCommands stubs;
    TestBroker broker;
    FakeCardServices cards;
    FakeBackOffice backOffice;
    QList<FakeCamera *> cameras;
    quint16 receiverPort = 0;

private:
    // Writes the back office's key where the program keeps it: its store in the working folder
    // and the user settings under its XDG_CONFIG_HOME.
    bool storeApiKey()
    {
        const QString previous = QDir::currentPath();
        QDir::setCurrent(m_dir.path());
        QString stored;
        {
            ConfigHome home(m_dir.filePath(QStringLiteral("config")));
            Config config(QStringLiteral("gui.conf"), GUIManager::Defaults);
            Backend::Database store(config);
            store.setParam(QStringLiteral("apiKey"), backOffice.apiKey());
            stored = store.param(QStringLiteral("apiKey")).toString();
        }
        QDir::setCurrent(previous);
        return stored == backOffice.apiKey();
    }

    void collect()
    {
        if (!m_process)
            return;
        m_pending += m_process->readAllStandardError();
        int end;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            m_lines << QString::fromUtf8(m_pending.left(end));
            m_pending.remove(0, end + 1);
        }
    }

    const TestCertificates &m_certificates;
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_pending;
    QStringList m_lines;
};
