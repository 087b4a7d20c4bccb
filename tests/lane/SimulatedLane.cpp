// The lane around a terminal that runs without its hardware: the card services, a back office
// and a plate camera, all fakes of the test suite, on the broker the terminal uses. It writes the
// settings the terminal needs to meet them into the terminal's configuration file, then stands in
// for the driver on two topics of its own:
//   vesk/sim/driver/take     the driver takes the card from the mouth
//   vesk/sim/driver/insert   the driver inserts a card (payload: its customs id, 12 when empty)
// It is test code: nothing of it goes into the terminal program.
#include "fakes/FakeBackOffice.h"
#include "fakes/FakeCamera.h"
#include "fakes/FakeCardServices.h"
#include "fakes/FreePort.h"
#include "fakes/MqttPeer.h"
#include "fakes/TestCertificates.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString TakeTopic = QStringLiteral("vesk/sim/driver/take");
const QString InsertTopic = QStringLiteral("vesk/sim/driver/insert");

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QString randomPlate()
{
    const QString letters = QStringLiteral("ABEHIKMNOPTXYZ");
    QString plate;
    for (int i = 0; i < 3; ++i)
        plate += letters.at(QRandomGenerator::global()->bounded(letters.size()));
    return plate + QString::number(QRandomGenerator::global()->bounded(1000, 10000));
}

// A signal only writes a byte; the event loop reads it and quits, so the fakes are torn down
// (their temporary certificates removed) as on a normal end.
int s_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(s_signalPipe[0], &byte, 1);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorn-sim-lane"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A simulated lane of fake services for the terminal"));
    parser.addHelpOption();
    const QCommandLineOption port({"P", "port"}, "Broker port on 127.0.0.1", "port", "1883");
    const QCommandLineOption config({"f", "config"}, "The terminal's configuration file to write", "file");
    const QCommandLineOption collection({"c", "collection"}, "A card-collection lane (default: card vending)");
    parser.addOptions({port, config, collection});
    parser.process(app);
    if (!parser.isSet(config)) {
        out() << "vorn-sim-lane: --config is required" << Qt::endl;
        return 1;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, s_signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(s_signalPipe[1], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
    }

    const quint16 brokerPort = quint16(parser.value(port).toUInt());
    const bool collecting = parser.isSet(collection);

    FakeCardServices cards;
    cards.dispenser.setModel(collecting ? QStringLiteral("KTW4163") : QStringLiteral("KTV52817"));
    // A collection lane's cartridge is stocked too: an empty one reads as "No more cards" and
    // puts the terminal out of order.
    cards.dispenser.loadCartridge(50);
    if (!cards.dispenser.start(brokerPort) || !cards.rfid.start(brokerPort)) {
        out() << "vorn-sim-lane: no broker on 127.0.0.1:" << brokerPort << Qt::endl;
        return 1;
    }

    TestCertificates certificates(QStringLiteral("Vorn Simulated Lane"));
    FakeBackOffice backOffice(certificates);
    const bool backOfficeUp = certificates.isValid() && backOffice.start();
    QUrl backOfficeUrl = backOffice.url();
    backOfficeUrl.setPath(QString());

    // A plate camera needs port 80 of an address of its own (root); without it the lane has none.
    const quint16 receiverPort = FreePort::pick(QHostAddress::Any);
    FakeCamera camera(QHostAddress(QStringLiteral("127.0.0.2")));
    camera.setReceiverPort(receiverPort);
    const bool cameraUp = camera.listen();
    QObject::connect(&camera, &FakeCamera::triggerAccepted, &camera,
                     [&camera] { camera.setResult("/result", FakeCamera::plateResult(randomPlate())); });
    camera.setResult("/result", FakeCamera::plateResult(randomPlate()));

    QString settings = QStringLiteral("[terminal]\ndeviceId=SIM-0001\ncustomsId=12\nlocationId=7\n"
                                      "[cameras]\nalpr1=%1\nalpr2=\nccr1=\nccr2=\n")
                           .arg(cameraUp ? QStringLiteral("http://127.0.0.2:%1").arg(receiverPort) : QString());
    if (backOfficeUp) {
        settings += QStringLiteral("[card-bo]\nurl=%1\nrootCA=%2\npubCert=%3\nprivKey=%4\n")
                        .arg(backOfficeUrl.toString(), certificates.caCertPath(), certificates.clientCertPath(),
                             certificates.clientKeyPath());
    }
    QFile file(parser.value(config));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(settings.toUtf8()) < 0) {
        out() << "vorn-sim-lane: cannot write " << file.fileName() << Qt::endl;
        return 1;
    }
    file.close();

    MqttPeer driver(QStringLiteral("vorn-sim-lane-driver"));
    int inserted = 0;
    QObject::connect(&driver, &MqttPeer::messageReceived, &driver,
                     [&](const QString &topic, const QByteArray &payload) {
                         if (topic == TakeTopic) {
                             out() << (cards.dispenser.driverTakeCard() ? "The driver took the card"
                                                                        : "No card in the mouth")
                                   << Qt::endl;
                         } else if (topic == InsertTopic) {
                             bool ok = false;
                             int customs = payload.trimmed().toInt(&ok);
                             if (!ok)
                                 customs = 12;
                             const QString uid = QStringLiteral("D%1").arg(++inserted, 4, 10, QLatin1Char('0'));
                             out() << (cards.dispenser.driverInsertCard(FakeCard::rudi(uid, customs))
                                           ? QStringLiteral("The driver inserted card %1 (customs %2)").arg(uid).arg(customs)
                                           : QStringLiteral("The dispenser takes no card now"))
                                   << Qt::endl;
                         }
                     });
    if (!driver.connectTo(QStringLiteral("127.0.0.1"), brokerPort) || !driver.subscribe(TakeTopic)
        || !driver.subscribe(InsertTopic)) {
        out() << "vorn-sim-lane: cannot subscribe the driver topics" << Qt::endl;
        return 1;
    }

    out() << "Simulated " << (collecting ? "card-collection" : "card-vending") << " lane ready: card services"
          << (backOfficeUp ? ", back office" : "") << (cameraUp ? ", plate camera" : "") << Qt::endl;
    return app.exec();
}
