#include "ControllerRig.h"

#include "fakes/LogCapture.h"
#include "fakes/QrDecoder.h"

#include <QDir>
#include <QMetaProperty>
#include <QSignalSpy>

#include <csignal>
#include <sys/resource.h>

namespace {

// A USB tree of sysfs's shape: one folder per device, named after its port, holding its
// identifier files.
class UsbTree
{
public:
    QString root() const { return m_dir.path(); }
    // A device on a port; a null text leaves that file out.
    void plug(const QString &port, const QString &vendor, const QString &product, const QString &name = "Device")
    {
        QDir(m_dir.path()).mkpath(port);
        write(port + "/idVendor", vendor);
        write(port + "/idProduct", product);
        write(port + "/product", name);
    }
    void unplug(const QString &port) { QDir(m_dir.filePath(port)).removeRecursively(); }
    // The whole board as it should be.
    void plugAll()
    {
        plug("1-1", "0451", "2077", "TUSB2077 Hub");
        plug("1-1.2", "1e0e", "9001", "Modem");
        plug("1-1.3", "0ab1", "0007", "RFID reader");
        plug("1-1.4", "0781", "5567", "Cruzer Blade");
        plug("1-1.5", "0403", "6015", "FT230X Basic UART");
        plug("1-1.7", "222a", "0001", "ILITEK Multi-Touch");
    }

private:
    void write(const QString &name, const QString &text)
    {
        if (text.isNull())
            return;
        QFile file(m_dir.filePath(name));
        if (file.open(QIODevice::WriteOnly))
            file.write(text.toUtf8() + '\n'); // sysfs ends each value with a line feed
    }
    QTemporaryDir m_dir;
};

const QString Rule = QString(53, '-');

} // namespace

class tst_Diagnostics : public ControllerTestCase
{
    Q_OBJECT

public:
    tst_Diagnostics() { QCoreApplication::setApplicationVersion(QStringLiteral("0.0.2")); }

private slots:
    void usbChecks_data();
    void usbChecks();
    void checksAnnounceChangesOnly();
    void periodicChecks();
    void operatorVerdicts_data();
    void operatorVerdicts();
    void ethernetFollowsTheInterface();
    void rfidServiceFollowsTheReader();
    void reportText();
    void reportSaved();
    void reportInTheSameSecond();
    void reportOnAFullDisk();
    void qrCodeCarriesTheVerdicts();

private:
    Diagnostics &diagnostics() { return *m_rig->manager->diagnostics(); }
};

void tst_Diagnostics::usbChecks_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("vendor"); // null: no such file; "-": no device on the port
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("property");
    QTest::addColumn<QString>("verdict");

    QTest::newRow("hub as expected") << "1-1" << "0451" << "2077" << "usbHub" << "OK";
    QTest::newRow("hub missing") << "1-1" << "-" << "" << "usbHub" << "MISSING";
    QTest::newRow("another device on the hub's port") << "1-1" << "0403" << "6001" << "usbHub" << "ERROR";
    QTest::newRow("identifier inside a longer one") << "1-1" << "0451" << "20771" << "usbHub" << "OK";
    QTest::newRow("upper-case digits differ") << "1-1.3" << "0AB1" << "0007" << "rfidUsb" << "ERROR";
    QTest::newRow("RFID") << "1-1.3" << "0ab1" << "0007" << "rfidUsb" << "OK";
    QTest::newRow("an FTDI of another model") << "1-1.5" << "0403" << "6001" << "ftdi" << "ERROR";
    QTest::newRow("touch") << "1-1.7" << "222a" << "0001" << "touch" << "OK";
    QTest::newRow("mPCIe: any device") << "1-1.2" << "1234" << "5678" << "mPCIe1" << "OK";
    QTest::newRow("mPCIe: none") << "1-1.2" << "-" << "" << "mPCIe1" << "MISSING";
    QTest::newRow("USB host: any device") << "1-1.4" << "ffff" << "ffff" << "usbHost" << "OK";
    QTest::newRow("USB host: unreadable files still any") << "1-1.4" << QString() << QString() << "usbHost" << "OK";
    QTest::newRow("vendor file unreadable") << "1-1.5" << QString() << "6015" << "ftdi" << "ERROR";
}

void tst_Diagnostics::usbChecks()
{
    QFETCH(QString, port);
    QFETCH(QString, vendor);
    QFETCH(QString, product);
    QFETCH(QString, property);
    QFETCH(QString, verdict);
    QVERIFY(rig().start());

    UsbTree tree;
    tree.plugAll();
    tree.unplug(port);
    if (vendor != "-")
        tree.plug(port, vendor, product);
    diagnostics().setUsbRoot(tree.root());
    LogCapture log;
    diagnostics().check();
    QCOMPARE(diagnostics().property(qPrintable(property)).toString(), verdict);
    // The other rows are untouched by this port.
    for (const char *other : {"usbHub", "mPCIe1", "rfidUsb", "usbHost", "ftdi", "touch"})
        if (property != other)
            QCOMPARE(diagnostics().property(other).toString(), QString("OK"));
    if (vendor.isNull() && vendor != "-")
        QVERIFY(log.contains(QtCriticalMsg, "[Diagnostics] ERROR: Failed to open fle : " + tree.root() + "/" + port
                                                + "/idVendor"));
}

// A change is announced once; checks that find the same say nothing.
void tst_Diagnostics::checksAnnounceChangesOnly()
{
    QVERIFY(rig().start());
    UsbTree tree;
    tree.plugAll();
    QTemporaryDir sd;
    diagnostics().setUsbRoot(tree.root());
    diagnostics().setSdCardPath(sd.filePath("mmcblk1p1"));
    QCOMPARE(Diagnostics::DefaultUsbRoot, QString("/sys/bus/usb/devices"));
    QCOMPARE(Diagnostics::DefaultSdCardPath, QString("/dev/mmcblk1p1"));

    QSignalSpy hub(&diagnostics(), &Diagnostics::usbHubChanged);
    QSignalSpy touch(&diagnostics(), &Diagnostics::touchChanged);
    QSignalSpy sdCard(&diagnostics(), &Diagnostics::sdCardChanged);
    diagnostics().check();
    QCOMPARE(diagnostics().usbHub(), QString("OK"));
    QCOMPARE(diagnostics().sdCard(), QString("MISSING"));
    diagnostics().check();
    QCOMPARE(hub.count(), 1);
    QCOMPARE(touch.count(), 1);
    QCOMPARE(sdCard.count(), 1);

    tree.unplug("1-1.7");
    QFile(sd.filePath("mmcblk1p1")).open(QIODevice::WriteOnly);
    diagnostics().check();
    QCOMPARE(diagnostics().touch(), QString("MISSING"));
    QCOMPARE(diagnostics().sdCard(), QString("OK"));
    QCOMPARE(hub.count(), 1);
    QCOMPARE(touch.count(), 2);
    QCOMPARE(sdCard.count(), 2);
}

// start() checks at once and then every second until stop().
void tst_Diagnostics::periodicChecks()
{
    QVERIFY(rig().start());
    UsbTree tree;
    diagnostics().setUsbRoot(tree.root());
    LogCapture log;

    diagnostics().start(0); // one check, no timer
    QCOMPARE(diagnostics().touch(), QString("MISSING"));
    diagnostics().start();
    QVERIFY(log.contains(QtInfoMsg, "[Diagnostics] Starting Diagnostic check (interval=1 sec)"));
    tree.plug("1-1.7", "222a", "0001");
    QVERIFY(waitUntil([&] { return diagnostics().touch() == QLatin1String("OK"); }, 5000));
    diagnostics().stop();
    QVERIFY(log.contains(QtInfoMsg, "[Diagnostics] Stopping Diagnostic check"));
    QCOMPARE(diagnostics().touch(), QString("OK")); // results stay
}

void tst_Diagnostics::operatorVerdicts_data()
{
    QTest::addColumn<QString>("property");
    for (const char *name : {"buzzer", "leds", "speaker", "cardScan", "lightSensor", "rgbTest"})
        QTest::newRow(name) << name;
}

// Any text is taken; the same text again is no change.
void tst_Diagnostics::operatorVerdicts()
{
    QFETCH(QString, property);
    QVERIFY(rig().start());
    QObject &object = diagnostics();
    const QMetaProperty meta = object.metaObject()->property(object.metaObject()->indexOfProperty(qPrintable(property)));
    QVERIFY(meta.isWritable());
    QSignalSpy changed(&object, meta.notifySignal());
    QCOMPARE(meta.read(&object).toString(), QString());

    QVERIFY(meta.write(&object, "OK"));
    QVERIFY(meta.write(&object, "OK"));
    QCOMPARE(changed.count(), 1);
    QVERIFY(meta.write(&object, "not sure"));
    QCOMPARE(meta.read(&object).toString(), QString("not sure"));
    QCOMPARE(changed.count(), 2);
}

void tst_Diagnostics::ethernetFollowsTheInterface()
{
    QVERIFY(rig().start());
    QVERIFY(waitUntil([&] { return diagnostics().ethernet() == QLatin1String("OK"); }));
    QSignalSpy changed(&diagnostics(), &Diagnostics::ethernetChanged);
    m_rig->network.setEthernetState("Disconnected", "Cable unplugged");
    QVERIFY(waitUntil([&] { return diagnostics().ethernet() == QLatin1String("ERROR"); }));
    QVERIFY(changed.count() >= 1);
    m_rig->network.setEthernetState("Connecting", "None");
    QVERIFY(waitUntil([&] { return changed.count() >= 2; }));
    QCOMPARE(diagnostics().ethernet(), QString("ERROR")); // only "Connected" is OK
}

// The report's reader line shows the service as the terminal sees it.
void tst_Diagnostics::rfidServiceFollowsTheReader()
{
    QVERIFY(rig().start());
    QVERIFY(waitUntil([&] { return diagnostics().rfidService() == QLatin1String("OK"); }));
    QSignalSpy changed(&diagnostics(), &Diagnostics::rfidServiceChanged);
    m_rig->cards.rfid.setServiceOnline(false);
    QVERIFY(waitUntil([&] { return diagnostics().rfidService() == QLatin1String("ERROR"); }));
    QCOMPARE(changed.count(), 1);
    QVERIFY(diagnostics().report(QDateTime::currentDateTime()).contains(" RFID Manager                                   ERROR"));
}

void tst_Diagnostics::reportText()
{
    ControllerSetup setup;
    setup.services = false; // no reader, no network: both "ERROR"
    QVERIFY(rig(setup).start());
    UsbTree tree;
    tree.plug("1-1", "0451", "2077");
    tree.plug("1-1.5", "0403", "6001");
    diagnostics().setUsbRoot(tree.root());
    QTemporaryDir sd;
    diagnostics().setSdCardPath(sd.path());
    diagnostics().check();
    diagnostics().setBuzzer("OK");
    diagnostics().setLeds("ERROR");
    diagnostics().setCardScan("a verdict longer than the thirty-five characters of its field");

    const QString serial = QStringLiteral("SN-%1").arg(m_rig->id);
    const QString text = diagnostics().report(QDateTime(QDate(2024, 1, 31), QTime(9, 15, 42)));
    const QStringList expected = {
        Rule,
        " DEVICE TEST REPORT",
        Rule,
        " Device UID       " + QString("%1").arg(serial, 35),
        " Date                                2024-01-31 09:15",
        " MIOBoard Firmware                             SIM 1.0.0",
        " App Version                                    0.0.2",
        " Bundle Version                                <null>",
        " Image Version                                 <null>",
        Rule,
        " RTC                                                 ",
        " Ethernet                                       ERROR",
        " USB Hub                                           OK",
        " USB Host                                     MISSING",
        " FTDI                                           ERROR",
        " mPCIe #1                                     MISSING",
        " Touch                                        MISSING",
        " SD Card                                           OK",
        " RFID                                         MISSING",
        " Buzzer                                            OK",
        " Front LEDs                                     ERROR",
        " Card Scan        a verdict longer than the thirty-five characters of its field",
        " RFID Manager                                   ERROR",
        " MIOBoard Manager                                       ",
        " Light Sensor                                        ",
        " Display RGB Test                                    ",
        Rule,
    };
    QCOMPARE(text.split('\n'), expected);
    QVERIFY(!text.endsWith('\n'));
    for (const QString &line : expected)
        if (!line.startsWith(" Card Scan") && !line.startsWith(" DEVICE"))
            QVERIFY2(line.size() == 53 || (line.startsWith(" MIOBoard") && line.size() == 56), qPrintable(line));
}

// Saved whole into the working folder under a name with the seconds, and announced.
void tst_Diagnostics::reportSaved()
{
    QVERIFY(rig().start());
    QSignalSpy finished(&diagnostics(), &Diagnostics::saveReportFinished);
    const QDateTime before = QDateTime::currentDateTime();
    diagnostics().saveReport();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    const QString message = finished.at(0).at(1).toString();
    QVERIFY2(message.startsWith("Test report saved successfully:\n./TestReport_"), qPrintable(message));
    const QString name = message.section('\n', 1);
    QVERIFY(QRegularExpression("^\\./TestReport_\\d{8}_\\d{6}\\.txt$").match(name).hasMatch());
    QVERIFY(name >= Diagnostics::reportFileName(before));
    QFile file(QDir(m_rig->dir()).filePath(name));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString saved = QString::fromUtf8(file.readAll());
    QVERIFY(saved.startsWith(Rule + "\n DEVICE TEST REPORT\n"));
    QVERIFY(saved.endsWith("\n" + Rule));
    // Nothing else was left in the folder.
    QCOMPARE(QDir(m_rig->dir()).entryList({"TestReport*"}, QDir::Files), QStringList{name.mid(2)});

    // Two reports in one minute are two files.
    const QDateTime at(QDate(2024, 1, 31), QTime(9, 15, 0));
    QCOMPARE(Diagnostics::reportFileName(at), QString("./TestReport_20240131_091500.txt"));
    QVERIFY(Diagnostics::reportFileName(at) != Diagnostics::reportFileName(at.addSecs(59)));
}

// A report whose name is taken by an earlier one of the same second is saved
// beside it, never over it.
void tst_Diagnostics::reportInTheSameSecond()
{
    QVERIFY(rig().start());
    QSignalSpy finished(&diagnostics(), &Diagnostics::saveReportFinished);
    // Earlier reports of this second and the next few, whichever the save falls in.
    const QDateTime now = QDateTime::currentDateTime();
    QStringList earlier;
    for (int second = 0; second < 5; ++second) {
        const QString name = Diagnostics::reportFileName(now.addSecs(second));
        QFile file(QDir(m_rig->dir()).filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("earlier report");
        earlier << name.mid(2);
    }
    diagnostics().saveReport();
    diagnostics().saveReport();
    QCOMPARE(finished.count(), 2);
    QStringList saved;
    for (const QList<QVariant> &result : finished) {
        QVERIFY(result.at(0).toBool());
        saved << result.at(1).toString().section('\n', 1).mid(2);
    }
    QVERIFY2(saved.at(0) != saved.at(1), qPrintable(saved.join(' ')));
    for (const QString &name : saved) {
        QVERIFY2(QRegularExpression("^TestReport_\\d{8}_\\d{6}_\\d+\\.txt$").match(name).hasMatch(), qPrintable(name));
        QFile file(QDir(m_rig->dir()).filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().startsWith(Rule.toUtf8()));
    }
    for (const QString &name : earlier) {
        QFile file(QDir(m_rig->dir()).filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("earlier report"));
    }
    QCOMPARE(QDir(m_rig->dir()).entryList({"TestReport*"}, QDir::Files).size(), 7);
}

// A disk that takes no more bytes: the failure is reported, and no cut-off report is left.
void tst_Diagnostics::reportOnAFullDisk()
{
    QVERIFY(rig().start());
    QSignalSpy finished(&diagnostics(), &Diagnostics::saveReportFinished);
    LogCapture log;

    // The file size limit stands for the full disk: writes beyond it fail with EFBIG.
    struct rlimit previous;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tight = previous;
    tight.rlim_cur = 100;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
    diagnostics().saveReport();
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QVERIFY2(finished.at(0).at(1).toString().startsWith("Could not save Test Report\nERROR: "),
             qPrintable(finished.at(0).at(1).toString()));
    QVERIFY(log.contains(QtCriticalMsg, "[Diagnostics] ERROR: Could not save file : "));
    QCOMPARE(QDir(m_rig->dir()).entryList({"TestReport*"}, QDir::Files), QStringList());
}

// The QR code of the diagnostics page carries the 23 values, in their order.
void tst_Diagnostics::qrCodeCarriesTheVerdicts()
{
    QVERIFY(rig().start());
    QVERIFY(waitUntil([&] { return diagnostics().rfidService() == QLatin1String("OK"); }));
    QVERIFY(waitUntil([&] { return diagnostics().ethernet() == QLatin1String("OK"); }));
    UsbTree tree;
    tree.plugAll();
    tree.unplug("1-1.4");
    diagnostics().setUsbRoot(tree.root());
    diagnostics().setSdCardPath(tree.root());
    diagnostics().check();
    diagnostics().setBuzzer("OK");
    diagnostics().setLeds("ERROR");
    diagnostics().setSpeaker("OK");
    diagnostics().setCardScan("OK");
    diagnostics().setLightSensor("ERROR");
    diagnostics().setRgbTest("OK");

    const QDateTime before = QDateTime::currentDateTime();
    const QString url = diagnostics().generateQr();
    const QDateTime after = QDateTime::currentDateTime();
    QVERIFY(url.startsWith("data:image/svg,<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
    QString error;
    const QString decoded = QrDecoder::decodeSvg(url.mid(QString("data:image/svg,").size()), &error);
    QVERIFY2(!decoded.isNull(), qPrintable(error));

    const QStringList values = decoded.split(';');
    QCOMPARE(values.size(), 23);
    const QStringList dates = {before.toString("yyyy-MM-dd hh:mm"), after.toString("yyyy-MM-dd hh:mm")};
    QVERIFY(dates.contains(values.at(1)));
    QStringList expected = {QStringLiteral("SN-%1").arg(m_rig->id), values.at(1), "SIM 1.0.0", "0.0.2", "", "", "",
                            "OK", "OK", "OK", "OK", "OK", "MISSING", "OK", "OK", "OK", "ERROR", "OK", "OK",
                            "OK", "", "ERROR", "OK"};
    QCOMPARE(values, expected);
}

QTEST_MAIN(tst_Diagnostics)
#include "tst_Diagnostics.moc"
