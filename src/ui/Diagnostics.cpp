#include "ui/Diagnostics.h"

#include "app/LogQuote.h"
#include "card/RFID.h"
#include "devices/Ethernet.h"
#include "devices/MIOBoard.h"
#include "devices/Network.h"
#include "terminal/Session.h"
#include "terminal/Terminal.h"
#include "ui/QrCodeGenerator.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>

namespace {

const char *const LogTag = "[Diagnostics] ";
const QString Ok = QStringLiteral("OK");
const QString Failed = QStringLiteral("ERROR");
const QString Missing = QStringLiteral("MISSING");

const QString Dispense = QStringLiteral("dispense");
const QString AcceptEject = QStringLiteral("acceptEject");
const QString AcceptDiscard = QStringLiteral("acceptDiscard");
const QString AcceptDispose = QStringLiteral("acceptDispose");

const QString Rule = QString(53, QLatin1Char('-'));

// A report line: the label, then the value right-aligned in 35 characters.
QString line(const char *label, const QString &value)
{
    return QLatin1String(label) + QStringLiteral("%1").arg(value, 35);
}

} // namespace

const QList<Diagnostics::UsbDevice> Diagnostics::m_usbDevices = {
    {QStringLiteral("USB Hub #1"), QStringLiteral("0451:2077"), QStringLiteral("1-1")},
    {QStringLiteral("mPCIE #1"), QStringLiteral("*"), QStringLiteral("1-1.2")},
    {QStringLiteral("RFID"), QStringLiteral("0ab1:0007"), QStringLiteral("1-1.3")},
    {QStringLiteral("USB Host"), QStringLiteral("*"), QStringLiteral("1-1.4")},
    {QStringLiteral("FTDI"), QStringLiteral("0403:6015"), QStringLiteral("1-1.5")},
    {QStringLiteral("Touch"), QStringLiteral("222a:0001"), QStringLiteral("1-1.7")},
};

const QString Diagnostics::DefaultUsbRoot = QStringLiteral("/sys/bus/usb/devices");
const QString Diagnostics::DefaultSdCardPath = QStringLiteral("/dev/mmcblk1p1");

Diagnostics::Diagnostics(Terminal &terminal, QObject *parent)
    : QObject(parent)
    , m_terminal(terminal)
{
    connect(&m_checkTimer, &QTimer::timeout, this, &Diagnostics::check);

    manager::Network *network = m_terminal.network();
    connect(network, &manager::Network::ethernetChanged, this, &Diagnostics::ethernetChanged);
    // The interface object never changes, its state does: the row follows that too.
    connect(network->ethernet(), &manager::Ethernet::stateChanged, this, &Diagnostics::ethernetChanged);

    m_rfidService = rfidService();
    connect(m_terminal.rfid(), &manager::RFID::stateChanged, this, &Diagnostics::onRfidStateChanged);

    m_disposalTimer.setSingleShot(true);
    m_disposalTimer.setInterval(DefaultDisposalTimeoutMs);
    connect(&m_disposalTimer, &QTimer::timeout, this, &Diagnostics::onDisposalTimeout);
    m_pauseTimer.setSingleShot(true);
    connect(&m_pauseTimer, &QTimer::timeout, this, [this] {
        if (!m_running || !m_nextStep)
            return;
        // Cancelled during the pause: no further card is started for the run.
        if (m_test.isCancelled()) {
            m_test.setFail(QStringLiteral("Cancelled"), Tag::Ptr());
            finishRun();
            return;
        }
        (this->*m_nextStep)();
    });
}

Diagnostics::~Diagnostics() = default;

// ---------------------------------------------------------------------------
// Checks and verdicts

QString Diagnostics::ethernet() const
{
    return m_terminal.network()->ethernet()->state() == QLatin1String("Connected") ? Ok : Failed;
}

QString Diagnostics::rfidService() const
{
    return m_terminal.rfid()->active() ? Ok : Failed;
}

void Diagnostics::onRfidStateChanged()
{
    const QString value = rfidService();
    if (value == m_rfidService)
        return;
    m_rfidService = value;
    emit rfidServiceChanged();
}

void Diagnostics::setVerdict(QString &stored, const QString &value, void (Diagnostics::*changed)())
{
    if (stored == value)
        return;
    stored = value;
    emit(this->*changed)();
}

void Diagnostics::setBuzzer(const QString &value)
{
    setVerdict(m_buzzer, value, &Diagnostics::buzzerChanged);
}

void Diagnostics::setLeds(const QString &value)
{
    setVerdict(m_leds, value, &Diagnostics::ledsChanged);
}

void Diagnostics::setSpeaker(const QString &value)
{
    setVerdict(m_speaker, value, &Diagnostics::speakerChanged);
}

void Diagnostics::setCardScan(const QString &value)
{
    setVerdict(m_cardScan, value, &Diagnostics::cardScanChanged);
}

void Diagnostics::setLightSensor(const QString &value)
{
    setVerdict(m_lightSensor, value, &Diagnostics::lightSensorChanged);
}

void Diagnostics::setRgbTest(const QString &value)
{
    setVerdict(m_rgbTest, value, &Diagnostics::rgbTestChanged);
}

void Diagnostics::start(int intervalSec)
{
    qInfo().noquote().nospace() << LogTag << "Starting Diagnostic check (interval=" << intervalSec << " sec)";
    check();
    if (intervalSec != 0)
        m_checkTimer.start(qBound(1, intervalSec, 86400) * 1000);
}

void Diagnostics::stop()
{
    qInfo().noquote().nospace() << LogTag << "Stopping Diagnostic check";
    m_checkTimer.stop();
}

void Diagnostics::check()
{
    setVerdict(m_usbHub, testUsb(m_usbDevices.at(0), m_usbRoot), &Diagnostics::usbHubChanged);
    setVerdict(m_mPCIe1, testUsb(m_usbDevices.at(1), m_usbRoot), &Diagnostics::mPCIe1Changed);
    setVerdict(m_rfidUsb, testUsb(m_usbDevices.at(2), m_usbRoot), &Diagnostics::rfidUsbChanged);
    setVerdict(m_usbHost, testUsb(m_usbDevices.at(3), m_usbRoot), &Diagnostics::usbHostChanged);
    setVerdict(m_ftdi, testUsb(m_usbDevices.at(4), m_usbRoot), &Diagnostics::ftdiChanged);
    setVerdict(m_touch, testUsb(m_usbDevices.at(5), m_usbRoot), &Diagnostics::touchChanged);
    setVerdict(m_sdCard, testSdCard(m_sdCardPath), &Diagnostics::sdCardChanged);
}

QString Diagnostics::testUsb(const UsbDevice &device, const QString &root)
{
    const QString dir = QStringLiteral("%1/%2").arg(root, device.port);
    if (!QFileInfo(dir).isDir())
        return Missing;
    const QString vendor = readFile(dir + QStringLiteral("/idVendor"));
    const QString product = readFile(dir + QStringLiteral("/idProduct"));
    const QString name = readFile(dir + QStringLiteral("/product"));
    const QString deviceId = QStringLiteral("%1:%2").arg(vendor, product);
    qDebug().noquote().nospace() << LogTag << "name=" << device.name << " deviceId=" << LogQuote::quote(deviceId)
                                 << " expected=" << device.vidPid << " product=" << LogQuote::quote(name);
    if (device.vidPid == QLatin1String("any") || device.vidPid == QLatin1String("*"))
        return Ok;
    return deviceId.contains(device.vidPid) ? Ok : Failed;
}

QString Diagnostics::testSdCard(const QString &path)
{
    return QFileInfo::exists(path) ? Ok : Missing;
}

QString Diagnostics::readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qCritical().noquote().nospace() << LogTag << "ERROR: Failed to open fle : " << LogQuote::quote(path);
        return QString();
    }
    // sysfs identifiers are a few bytes; more would be no identifier.
    QByteArray bytes = file.read(4096);
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    return QString::fromUtf8(bytes).trimmed();
}

// ---------------------------------------------------------------------------
// Report and QR code

QString Diagnostics::report(const QDateTime &now) const
{
    const QStringList lines = {
        Rule,
        QStringLiteral(" DEVICE TEST REPORT"),
        Rule,
        line(" Device UID       ", m_terminal.serialNum()),
        line(" Date             ", now.toString(QStringLiteral("yyyy-MM-dd hh:mm"))),
        line(" MIOBoard Firmware   ", m_terminal.board()->firmware()),
        line(" App Version      ", QCoreApplication::applicationVersion()),
        line(" Bundle Version   ", QStringLiteral("<null>")),
        line(" Image Version    ", QStringLiteral("<null>")),
        Rule,
        line(" RTC              ", rtc()),
        line(" Ethernet         ", ethernet()),
        line(" USB Hub          ", usbHub()),
        line(" USB Host         ", usbHost()),
        line(" FTDI             ", ftdi()),
        line(" mPCIe #1         ", mPCIe1()),
        line(" Touch            ", touch()),
        line(" SD Card          ", sdCard()),
        line(" RFID             ", rfidUsb()),
        line(" Buzzer           ", buzzer()),
        line(" Front LEDs       ", leds()),
        line(" Card Scan        ", cardScan()),
        line(" RFID Manager     ", rfidService()),
        line(" MIOBoard Manager    ", boardService()),
        line(" Light Sensor     ", lightSensor()),
        line(" Display RGB Test ", rgbTest()),
        Rule,
    };
    return lines.join(QLatin1Char('\n'));
}

QString Diagnostics::reportFileName(const QDateTime &now)
{
    // With the seconds: a second report in the same minute is kept beside the first.
    return QStringLiteral("./%1_%2.txt").arg(QStringLiteral("TestReport"), now.toString(QStringLiteral("yyyyMMdd_hhmmss")));
}

void Diagnostics::saveReport()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString text = report(now);
    QString fileName = reportFileName(now);
    // A report of the same second is kept: this one gets a number of its own.
    for (int copy = 2; QFileInfo::exists(fileName); ++copy)
        fileName = reportFileName(now).chopped(4) + QStringLiteral("_%1.txt").arg(copy);
    qInfo().noquote().nospace() << LogTag << "\n" << text;
    qInfo().noquote().nospace() << LogTag << "Saving Diagnostics report to : " << fileName;

    // Written beside and renamed over: a report is whole or not there, and a
    // full disk shows as a failed write rather than a cut-off file.
    QSaveFile file(fileName);
    const QByteArray bytes = text.toUtf8();
    QString error;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        error = file.errorString();
    } else if (file.write(bytes) != bytes.size() || !file.flush()) {
        // Flushed here: commit() renames a file whose last write failed as if it were whole.
        const int cause = errno;
        error = file.error() != QFileDevice::NoError && file.errorString() != QLatin1String("Unknown error")
                    ? file.errorString()
                    : qt_error_string(cause);
    } else if (!file.commit()) {
        error = file.errorString();
    }
    if (error.isEmpty()) {
        emit saveReportFinished(true, QStringLiteral("Test report saved successfully:\n") + fileName);
        return;
    }
    file.cancelWriting();
    qCritical().noquote().nospace() << LogTag << "ERROR: Could not save file : " << error;
    emit saveReportFinished(false, QStringLiteral("Could not save Test Report\nERROR: ") + error);
}

QString Diagnostics::qrText(const QDateTime &now) const
{
    const QStringList values = {
        m_terminal.serialNum(),
        now.toString(QStringLiteral("yyyy-MM-dd hh:mm")),
        m_terminal.board()->firmware(),
        QCoreApplication::applicationVersion(),
        QString(),
        QString(),
        rtc(),
        ethernet(),
        usbHub(),
        mPCIe1(),
        rfidUsb(),
        ftdi(),
        usbHost(),
        touch(),
        sdCard(),
        buzzer(),
        leds(),
        speaker(),
        cardScan(),
        rfidService(),
        boardService(),
        lightSensor(),
        rgbTest(),
    };
    return values.join(QLatin1Char(';'));
}

QString Diagnostics::generateQr()
{
    const QrCodeGenerator generator;
    return QStringLiteral("data:image/svg,")
           + generator.generateSvgQr(qrText(QDateTime::currentDateTime()), 1, qrcodegen::QrCode::Ecc::MEDIUM);
}

// ---------------------------------------------------------------------------
// Card self-test runs

bool Diagnostics::disposesCards(const QString &mode)
{
    return mode == Dispense || mode == AcceptDiscard || mode == AcceptDispose;
}

Deferred<Test> Diagnostics::performTest(const QString &name, int numberOfCards, const QString &id)
{
    qInfo().noquote().nospace() << LogTag << "Received perform test request : mode=" << LogQuote::quote(name)
                                << ", cards=" << numberOfCards << ", id=" << LogQuote::quote(id);
    const Session::State sessionState = m_terminal.session()->state();
    qWarning().noquote().nospace() << LogTag << "Session state is : " << Session::stateToStr(sessionState);

    QString refusal;
    if (name != Dispense && name != AcceptEject && name != AcceptDiscard && name != AcceptDispose)
        refusal = QStringLiteral("Unknown test mode : ") + name;
    else if (numberOfCards < 1)
        refusal = QStringLiteral("Invalid number of cards : %1").arg(numberOfCards);
    else if (sessionState != Session::Stopped && sessionState != Session::Idle)
        refusal = QStringLiteral("A session is in progress");
    else if (m_running)
        refusal = QStringLiteral("Another test is already in progress");
    else
        refusal = issuerRefusal();
    if (!refusal.isEmpty()) {
        Test refused = Test::create(name, numberOfCards, id);
        refused.setFail(refusal, Tag::Ptr());
        notifyTestFinished(refused);
        return refused.defer();
    }

    m_test = Test::create(name, numberOfCards, id);
    m_running = true;
    ++m_runSerial;
    m_waitingForCard = false;
    m_waitingForIssuer = false;
    m_terminal.stop();
    notifyTestStarted(m_test);
    const Deferred<Test> promise = m_test.defer();
    firstStep();
    return promise;
}

void Diagnostics::firstStep()
{
    // A card operation the engine started (a preparation, a write) goes on after the terminal
    // stopped: beside it, the run's step and that operation would each take the other's card.
    manager::CardIssuer *issuer = m_terminal.cardIssuer();
    if (issuer && issuer->busy()) {
        qInfo().noquote().nospace() << LogTag << "Waiting for the card operation under way to end";
        m_waitingForIssuer = true;
        connect(issuer, &manager::CardIssuer::settled, this, &Diagnostics::onIssuerSettled, Qt::UniqueConnection);
        return;
    }
    // The waited-for operation may have left the issuer unable to serve (a jam, a silent reader)
    // or a driver's card in the mouth.
    const QString refusal = issuerRefusal();
    if (m_test.isCancelled()) {
        m_test.setFail(QStringLiteral("Cancelled"), Tag::Ptr());
        finishRun();
    } else if (!refusal.isEmpty()) {
        m_test.setFail(refusal, Tag::Ptr());
        finishRun();
    } else if (m_test.name() == Dispense) {
        performDispenseTest();
    } else if (m_test.name() == AcceptEject) {
        performAcceptEjectTest();
    } else {
        performAcceptDisposeTest();
    }
}

// A card run at an issuer that cannot serve would bin the cards a refusing reader turns down, or
// pull at a jammed dispenser; a driver's card waiting in the mouth is not the run's to take.
QString Diagnostics::issuerRefusal() const
{
    const manager::CardIssuer *issuer = m_terminal.cardIssuer();
    return issuer ? issuer->selfTestRefusal() : QString();
}

void Diagnostics::onIssuerSettled()
{
    disconnect(m_terminal.cardIssuer(), &manager::CardIssuer::settled, this, &Diagnostics::onIssuerSettled);
    if (!m_waitingForIssuer)
        return;
    m_waitingForIssuer = false;
    if (m_running)
        firstStep();
}

bool Diagnostics::cancelTest()
{
    qInfo().noquote().nospace() << LogTag << "Received cancel test request";
    if (m_running && m_test.inProgress()) {
        m_test.cancel();
        if (m_waitingForIssuer) {
            // The run has started no step: nothing of its own is under way to wait for.
            m_waitingForIssuer = false;
            m_test.setFail(QStringLiteral("Cancelled"), Tag::Ptr());
            finishRun();
        } else if (m_waitingForCard) {
            // Nobody may come with a card: the wait is not sat out.
            endCardWait(Result(Tag::Ptr(), QStringLiteral("Cancelled")));
        }
        return true;
    }
    qCritical().noquote().nospace() << LogTag << "ERROR: Cancel test failed: No test in proress";
    return false;
}

void Diagnostics::performDispenseTest()
{
    manager::CardIssuer *issuer = m_terminal.cardIssuer();
    if (!issuer) {
        m_test.setFail(QStringLiteral("No cardIssuer instance"), Tag::Ptr());
        finishRun();
        return;
    }
    m_stepDone = false;
    m_disposed = false;
    m_pauseMs = 500;
    m_nextStep = &Diagnostics::performDispenseTest;
    // Exactly one such connection, however often the step runs.
    disconnect(issuer, &manager::CardIssuer::cardDisposed, this, nullptr);
    connect(issuer, &manager::CardIssuer::cardDisposed, this, &Diagnostics::onCardDisposed);
    issuer->testDispense()
        .done([this](Result result) { stepPassed(result); })
        .fail([this](Result result) { stepFailed(result); });
}

void Diagnostics::performAcceptEjectTest()
{
    manager::CardIssuer *issuer = m_terminal.cardIssuer();
    if (!issuer) {
        m_test.setFail(QStringLiteral("No cardIssuer instance"), Tag::Ptr());
        finishRun();
        return;
    }
    m_stepDone = false;
    m_disposed = true; // an ejected card is not disposed of
    m_nextStep = &Diagnostics::performAcceptEjectTest;
    if (issuer->state() == manager::CardIssuer::Ready) {
        m_pauseMs = 500;
        m_waitingForCard = true;
        const int run = m_runSerial;
        issuer->acceptCard(60)
            .done([this, issuer, run](Result) {
                if (run != m_runSerial || !m_waitingForCard)
                    return;
                m_waitingForCard = false;
                issuer->testAcceptEject()
                    .done([this](Result result) { stepPassed(result); })
                    .fail([this](Result result) { stepFailed(result); });
            })
            .fail([this, run](Result result) {
                if (run == m_runSerial && m_waitingForCard)
                    endCardWait(result);
            });
        return;
    }
    m_pauseMs = 1000;
    issuer->testAcceptEject()
        .done([this](Result result) { stepPassed(result); })
        .fail([this](Result result) { stepFailed(result); });
}

void Diagnostics::performAcceptDisposeTest()
{
    manager::CardIssuer *issuer = m_terminal.cardIssuer();
    if (!issuer) {
        m_test.setFail(QStringLiteral("No cardIssuer instance"), Tag::Ptr());
        finishRun();
        return;
    }
    m_stepDone = false;
    m_disposed = false;
    m_pauseMs = 1000;
    m_nextStep = &Diagnostics::performAcceptDisposeTest;
    disconnect(issuer, &manager::CardIssuer::cardDisposed, this, nullptr);
    connect(issuer, &manager::CardIssuer::cardDisposed, this, &Diagnostics::onCardDisposed);
    issuer->testAcceptDispose()
        .done([this](Result result) { stepPassed(result); })
        .fail([this](Result result) { stepFailed(result); });
}

void Diagnostics::stepPassed(const Result &result)
{
    if (!m_running)
        return;
    m_test.setCard(result.card);
    m_test.incrCardIndex();
    notifyTestProgress(m_test);
    m_stepDone = true;
    cardBoundary();
}

void Diagnostics::stepFailed(const Result &result)
{
    if (!m_running)
        return;
    m_test.setFail(result.error, result.card);
    finishRun();
}

void Diagnostics::onCardDisposed(Tag::Ptr card)
{
    Q_UNUSED(card)
    if (!m_running || !disposesCards(m_test.name()) || m_disposed)
        return;
    m_disposed = true;
    cardBoundary();
}

void Diagnostics::onDisposalTimeout()
{
    if (!m_running || !m_stepDone || m_disposed)
        return;
    m_test.setFail(QStringLiteral("Card disposal not reported"), m_test.card());
    finishRun();
}

void Diagnostics::cardBoundary()
{
    if (!m_stepDone)
        return;
    if (!m_disposed) {
        m_disposalTimer.start();
        return;
    }
    m_disposalTimer.stop();
    scheduleNext(m_pauseMs, m_nextStep);
}

void Diagnostics::scheduleNext(int msec, void (Diagnostics::*member)())
{
    if (m_test.isFinished()) {
        m_test.setPass();
        finishRun();
    } else if (m_test.isCancelled()) {
        m_test.setFail(QStringLiteral("Cancelled"), Tag::Ptr());
        finishRun();
    } else {
        m_nextStep = member;
        m_pauseTimer.start(msec);
    }
}

void Diagnostics::endCardWait(const Result &result)
{
    m_waitingForCard = false;
    manager::CardIssuer *issuer = m_terminal.cardIssuer();
    const int run = m_runSerial;
    auto end = [this, run, result] {
        if (run != m_runSerial || !m_running)
            return;
        m_test.setFail(result.error, result.card);
        finishRun();
    };
    // The wait switched acceptance on; a failing switch-off leaves the run's own error.
    issuer->disableAccept().done([end](Result) { end(); }).fail([end](Result) { end(); });
}

void Diagnostics::finishRun()
{
    m_running = false;
    m_waitingForIssuer = false;
    m_disposalTimer.stop();
    m_pauseTimer.stop();
    disconnect(m_terminal.cardIssuer(), nullptr, this, nullptr);
    notifyTestFinished(m_test);
}

void Diagnostics::notifyTestStarted(Test test)
{
    qInfo().noquote().nospace() << LogTag << "Test started : mode=" << LogQuote::quote(test.name())
                                << " cards=" << test.numberOfCards() << " id=" << LogQuote::quote(test.id());
    emit testStarted(test);
}

void Diagnostics::notifyTestProgress(Test test)
{
    qInfo().noquote().nospace() << LogTag << "Test progress : name=" << test.name() << " card=" << test.currCardIndex()
                                << '/' << test.numberOfCards() << " cardId=" << LogQuote::quote(test.cardId());
    const Deferred<Test> promise = test.defer();
    if (promise.state() != DeferredDataBase::Pending) {
        qWarning().noquote().nospace() << LogTag << "WARN: Test defer has already been resolved";
        return;
    }
    emit testProgress(test);
    promise.notify(test);
}

void Diagnostics::notifyTestFinished(Test test)
{
    // Joined, not filled into a pattern: a mode holding "%2" must not take the counts' places.
    const QString summary = QStringLiteral("name=") + LogQuote::quote(test.name()) + QStringLiteral(" cards=")
                            + QString::number(test.currCardIndex()) + QLatin1Char('/')
                            + QString::number(test.numberOfCards()) + QStringLiteral(" id=") + LogQuote::quote(test.id());
    if (test.result())
        qInfo().noquote().nospace() << LogTag << "Test success : " << summary;
    else
        qCritical().noquote().nospace() << LogTag << "Test failed : " << summary << " error="
                                        << LogQuote::quote(test.error());
    const Deferred<Test> promise = test.defer();
    if (promise.state() != DeferredDataBase::Pending) {
        qWarning().noquote().nospace() << LogTag << "WARN: Test defer has already been resolved";
        return;
    }
    emit testFinished(test);
    promise.resolve(test);
}
