#pragma once

#include "async/Deferred.h"
#include "card/CardIssuer.h"
#include "card/Tag.h"
#include "ui/Test.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class Terminal;

// The terminal's self-test object: card self-test runs through the card
// issuer's test sequences, automatic checks of the expected USB devices, the
// SD card and the wired network, the operator's verdicts for what only a
// person can judge, the test report file and its QR code.
class Diagnostics : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString rtc READ rtc NOTIFY rtcChanged)
    Q_PROPERTY(QString ethernet READ ethernet NOTIFY ethernetChanged)
    Q_PROPERTY(QString usbHub READ usbHub NOTIFY usbHubChanged)
    Q_PROPERTY(QString mPCIe1 READ mPCIe1 NOTIFY mPCIe1Changed)
    Q_PROPERTY(QString rfidUsb READ rfidUsb NOTIFY rfidUsbChanged)
    Q_PROPERTY(QString ftdi READ ftdi NOTIFY ftdiChanged)
    Q_PROPERTY(QString usbHost READ usbHost NOTIFY usbHostChanged)
    Q_PROPERTY(QString touch READ touch NOTIFY touchChanged)
    Q_PROPERTY(QString sdCard READ sdCard NOTIFY sdCardChanged)
    Q_PROPERTY(QString buzzer READ buzzer WRITE setBuzzer NOTIFY buzzerChanged)
    Q_PROPERTY(QString leds READ leds WRITE setLeds NOTIFY ledsChanged)
    Q_PROPERTY(QString ignition READ ignition NOTIFY ignitionChanged)
    Q_PROPERTY(QString temperature READ temperature NOTIFY temperatureChanged)
    Q_PROPERTY(QString voltage READ voltage NOTIFY voltageChanged)
    Q_PROPERTY(QString speaker READ speaker WRITE setSpeaker NOTIFY speakerChanged)
    Q_PROPERTY(QString cardScan READ cardScan WRITE setCardScan NOTIFY cardScanChanged)
    Q_PROPERTY(QString rfidService READ rfidService NOTIFY rfidServiceChanged)
    Q_PROPERTY(QString boardService READ boardService NOTIFY boardServiceChanged)
    Q_PROPERTY(QString lightSensor READ lightSensor WRITE setLightSensor NOTIFY lightSensorChanged)
    Q_PROPERTY(QString rgbTest READ rgbTest WRITE setRgbTest NOTIFY rgbTestChanged)

public:
    // One expected USB device: its name, "vendor:product" as sysfs holds them
    // (or "*" for any device) and its port, the device's name in the USB tree.
    struct UsbDevice
    {
        QString name;
        QString vidPid;
        QString port;
    };
    static const QList<UsbDevice> m_usbDevices;

    static const QString DefaultUsbRoot;    // "/sys/bus/usb/devices"
    static const QString DefaultSdCardPath; // "/dev/mmcblk1p1"
    // Time a dispensed card's disposal report is waited for once its step has ended.
    static constexpr int DefaultDisposalTimeoutMs = 15000;

    explicit Diagnostics(Terminal &terminal, QObject *parent = nullptr);
    ~Diagnostics() override;

    QString rtc() const { return QString(); }
    QString ethernet() const;
    QString usbHub() const { return m_usbHub; }
    QString mPCIe1() const { return m_mPCIe1; }
    QString rfidUsb() const { return m_rfidUsb; }
    QString ftdi() const { return m_ftdi; }
    QString usbHost() const { return m_usbHost; }
    QString touch() const { return m_touch; }
    QString sdCard() const { return m_sdCard; }
    QString buzzer() const { return m_buzzer; }
    QString leds() const { return m_leds; }
    QString ignition() const { return QString(); }
    QString temperature() const { return QString(); }
    QString voltage() const { return QString(); }
    QString speaker() const { return m_speaker; }
    QString cardScan() const { return m_cardScan; }
    // The card reader service as the terminal sees it: "OK" while it works, else "ERROR".
    QString rfidService() const;
    QString boardService() const { return QString(); }
    QString lightSensor() const { return m_lightSensor; }
    QString rgbTest() const { return m_rgbTest; }

    void setBuzzer(const QString &value);
    void setLeds(const QString &value);
    void setSpeaker(const QString &value);
    void setCardScan(const QString &value);
    void setLightSensor(const QString &value);
    void setRgbTest(const QString &value);

    // Where the checks look: the USB device tree and the SD card's partition.
    QString usbRoot() const { return m_usbRoot; }
    void setUsbRoot(const QString &path) { m_usbRoot = path; }
    QString sdCardPath() const { return m_sdCardPath; }
    void setSdCardPath(const QString &path) { m_sdCardPath = path; }
    void setDisposalTimeout(int msec) { m_disposalTimer.setInterval(msec); }

    static QString testUsb(const UsbDevice &device, const QString &root = DefaultUsbRoot);
    static QString testSdCard(const QString &path = DefaultSdCardPath);
    // The file's text up to its first zero byte, trimmed; a null text when it cannot be read.
    static QString readFile(const QString &path);

    // The report's text for a report taken at `now`.
    QString report(const QDateTime &now) const;
    // The file a report taken at `now` is saved to.
    static QString reportFileName(const QDateTime &now);
    // The values the QR code carries, joined with ";".
    QString qrText(const QDateTime &now) const;

    // A card self-test run is under way: from its acceptance until it has
    // passed or failed, a cancelled run included until it reaches the end of
    // its card.
    bool testRunning() const { return m_running; }
    Test currentTest() const { return m_test; }

public slots:
    void start(int intervalSec = 1);
    void stop();
    void check();
    void saveReport();
    QString generateQr();

    // Starts a run of `numberOfCards` cards in the mode `name`, or refuses it;
    // the promise is resolved in either case (a refusal at once, failed).
    Deferred<Test> performTest(const QString &name, int numberOfCards, const QString &id = QString());
    bool cancelTest();

signals:
    void rtcChanged();
    void ethernetChanged();
    void usbHubChanged();
    void mPCIe1Changed();
    void rfidUsbChanged();
    void ftdiChanged();
    void usbHostChanged();
    void touchChanged();
    void sdCardChanged();
    void buzzerChanged();
    void ledsChanged();
    void ignitionChanged();
    void temperatureChanged();
    void voltageChanged();
    void speakerChanged();
    void cardScanChanged();
    void saveReportFinished(bool result, QString message);
    void rfidServiceChanged();
    void boardServiceChanged();
    void lightSensorChanged();
    void rgbTestChanged();
    void testStarted(Test test);
    void testProgress(Test test);
    void testFinished(Test test);

private:
    using Result = manager::CardIssuer::Result;

    void setVerdict(QString &stored, const QString &value, void (Diagnostics::*changed)());
    void onRfidStateChanged();

    // The run's first card, once the card issuer has no card operation under way.
    void firstStep();
    // Why a card self-test cannot run now, empty when it can.
    QString issuerRefusal() const;
    void onIssuerSettled();
    void performDispenseTest();
    void performAcceptEjectTest();
    void performAcceptDisposeTest();
    void onCardDisposed(Tag::Ptr card);
    void onDisposalTimeout();
    // A card step has ended well: the card is counted and reported.
    void stepPassed(const Result &result);
    void stepFailed(const Result &result);
    // Both the step's result and (for the modes that dispose cards) its
    // disposal report are in: the run passes, ends cancelled or goes on.
    void cardBoundary();
    void scheduleNext(int msec, void (Diagnostics::*member)());
    // The accept-and-eject card's wait for a card has ended without one (or was cancelled):
    // acceptance is switched off before the run ends with the result's error.
    void endCardWait(const Result &result);
    void finishRun();

    // Each takes a snapshot: a listener may start the next run, which replaces m_test.
    void notifyTestStarted(Test test);
    void notifyTestProgress(Test test);
    void notifyTestFinished(Test test);

    static bool disposesCards(const QString &mode);

    Terminal &m_terminal;
    QTimer m_checkTimer;
    QString m_usbRoot = DefaultUsbRoot;
    QString m_sdCardPath = DefaultSdCardPath;
    QString m_usbHub;
    QString m_mPCIe1;
    QString m_rfidUsb;
    QString m_ftdi;
    QString m_usbHost;
    QString m_touch;
    QString m_sdCard;
    QString m_buzzer;
    QString m_leds;
    QString m_speaker;
    QString m_cardScan;
    QString m_lightSensor;
    QString m_rgbTest;
    QString m_rfidService;

    Test m_test;
    bool m_running = false;
    // Counts the accepted runs: a wait left by an earlier run must not act on a later one.
    int m_runSerial = 0;
    // The accept-and-eject card waits for a card to be pushed in (up to a minute).
    bool m_waitingForCard = false;
    // The run waits for a card operation of the engine to end before its first card.
    bool m_waitingForIssuer = false;
    // The card under way: its step has ended, its disposal has been reported.
    bool m_stepDone = false;
    bool m_disposed = false;
    int m_pauseMs = 0;
    void (Diagnostics::*m_nextStep)() = nullptr;
    QTimer m_disposalTimer;
    QTimer m_pauseTimer;
};
