#include <QMetaMethod>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <limits>

#include "camera/ZIDReading.h"

class tst_ZIDReading : public QObject
{
    Q_OBJECT

private slots:
    void declaresEveryFieldInOrder();
    void initialValues();
    void setterEmitsOnlyOnChange_data();
    void setterEmitsOnlyOnChange();
    void nanAlwaysStoresAndEmits();
    void clearValuesResetsResultFieldsOnly();
    void snapshotIsIndependent();
};

// The field list as the cameras' documents and the terminal know it.
static const QStringList kFields = {
    "absConfidence", "absoluteBottom", "absoluteLeft", "absoluteRight", "absoluteTop", "charHeight",
    "confidence", "latitude", "latitudeMin", "longitude", "longitudeMin", "processingTime", "date",
    "localDate", "localDateYMD", "utcDate", "bottom", "buildNumber", "day", "direction", "dWellTime",
    "height", "hour", "left", "millisecond", "minute", "month", "multiPlate", "pending", "right",
    "roiId", "second", "sha1", "signalEd", "tag", "top", "vehicleAbsSpeed", "vehicleAccess",
    "vehicleSpeed", "width", "year", "jpegSize", "overviewJpegSize", "plateJpegSize",
    "charConfidence", "blacklist", "blacklistDescription", "category", "country", "countryCode",
    "directionStr", "directionStr2", "directionStr3", "epoch", "firmwareVersion", "formatted", "id",
    "imageId", "imagePath", "ip", "manufacturer", "model", "pid", "plate", "plateImagePath",
    "plateUtf8", "safeDate", "serial", "serialNumber", "softwareVersion", "state", "stateCode", "type",
    "uuid", "vehicleClass", "vehicleColor", "vehicleGenClass", "vehicleMake", "vehicleModel",
    "whitelist", "whitelistDescription", "localTime", "containerConfidence",
    "containerProcessingTime", "containerDate", "containerCode", "containerSizeCode",
};

void tst_ZIDReading::declaresEveryFieldInOrder()
{
    const QMetaObject &mo = ZIDReading::staticMetaObject;
    QStringList signalNames;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
        const QMetaMethod m = mo.method(i);
        if (m.methodType() == QMetaMethod::Signal) {
            QCOMPARE(m.parameterCount(), 0);
            signalNames << QString::fromLatin1(m.name());
        }
    }
    QStringList expected;
    for (const QString &f : kFields)
        expected << f + "Changed";
    QCOMPARE(signalNames, expected);
}

void tst_ZIDReading::initialValues()
{
    ZIDReading r;
    // The odd ones out of each run.
    QCOMPARE(r.vehicleSpeed(), -3);
    QCOMPARE(r.vehicleAccess(), -1);
    QCOMPARE(r.width(), -1);
    QCOMPARE(r.year(), -1);
    QCOMPARE(r.dWellTime(), -1);
    QCOMPARE(r.latitude(), 0.0);
    QCOMPARE(r.latitudeMin(), 0.0);
    QCOMPARE(r.longitude(), 0.0);
    QCOMPARE(r.longitudeMin(), 0.0);
    QCOMPARE(r.absConfidence(), -1.0);
    QCOMPARE(r.confidence(), -1.0);
    QCOMPARE(r.processingTime(), -1.0);
    QCOMPARE(r.containerConfidence(), -1.0);
    QCOMPARE(r.containerProcessingTime(), -1);
    QCOMPARE(r.jpegSize(), qint64(-1));
    QCOMPARE(r.plateJpegSize(), qint64(-1));
    QVERIFY(r.date().isNull());
    QVERIFY(r.utcDate().isNull());
    QVERIFY(r.containerDate().isNull());
    QVERIFY(r.localTime().isNull());
    QVERIFY(r.charConfidence().isEmpty());
    QVERIFY(r.plate().isEmpty());
    QVERIFY(r.containerCode().isEmpty());
    QVERIFY(r.whitelistDescription().isEmpty());
}

// Each case: a field of one type set again to the value it holds (no signal),
// then to a different one (one signal), then to that one again (no signal).
using Step = std::function<void(ZIDReading &)>;
Q_DECLARE_METATYPE(Step)

void tst_ZIDReading::setterEmitsOnlyOnChange_data()
{
    QTest::addColumn<QByteArray>("signal");
    QTest::addColumn<Step>("sameValue");
    QTest::addColumn<Step>("newValue");

    QTest::newRow("text: null over empty") << QByteArray(SIGNAL(plateChanged()))
        << Step([](ZIDReading &r) { r.setPlate(QString()); r.setPlate(QLatin1String("")); })
        << Step([](ZIDReading &r) { r.setPlate("ABC123"); });
    QTest::newRow("int") << QByteArray(SIGNAL(vehicleSpeedChanged()))
        << Step([](ZIDReading &r) { r.setVehicleSpeed(-3); })
        << Step([](ZIDReading &r) { r.setVehicleSpeed(42); });
    QTest::newRow("double") << QByteArray(SIGNAL(latitudeChanged()))
        << Step([](ZIDReading &r) { r.setLatitude(0.0); })
        << Step([](ZIDReading &r) { r.setLatitude(37.98); });
    QTest::newRow("64-bit") << QByteArray(SIGNAL(jpegSizeChanged()))
        << Step([](ZIDReading &r) { r.setJpegSize(-1); })
        << Step([](ZIDReading &r) { r.setJpegSize(Q_INT64_C(5000000000)); });
    QTest::newRow("date-time") << QByteArray(SIGNAL(utcDateChanged()))
        << Step([](ZIDReading &r) { r.setUtcDate(QDateTime()); })
        << Step([](ZIDReading &r) { r.setUtcDate(QDateTime::fromString("2026-01-02T03:04:05Z", Qt::ISODate)); });
    QTest::newRow("time") << QByteArray(SIGNAL(localTimeChanged()))
        << Step([](ZIDReading &r) { r.setLocalTime(QTime()); })
        << Step([](ZIDReading &r) { r.setLocalTime(QTime(12, 30)); });
    QTest::newRow("list: element by element") << QByteArray(SIGNAL(charConfidenceChanged()))
        << Step([](ZIDReading &r) { r.setCharConfidence({}); })
        << Step([](ZIDReading &r) { r.setCharConfidence({90, 80, 70}); });
    QTest::newRow("list: one element differs") << QByteArray(SIGNAL(charConfidenceChanged()))
        << Step([](ZIDReading &r) { r.setCharConfidence({90, 80, 70}); })
        << Step([](ZIDReading &r) { r.setCharConfidence({90, 81, 70}); });
}

void tst_ZIDReading::setterEmitsOnlyOnChange()
{
    QFETCH(QByteArray, signal);
    QFETCH(Step, sameValue);
    QFETCH(Step, newValue);

    ZIDReading r;
    // The value that counts as "the same" is stored first where it is not the initial one.
    sameValue(r);
    QSignalSpy spy(&r, signal.constData());
    QVERIFY(spy.isValid());

    sameValue(r);
    QCOMPARE(spy.count(), 0);
    newValue(r);
    QCOMPARE(spy.count(), 1);
    newValue(r);
    QCOMPARE(spy.count(), 1);
}

void tst_ZIDReading::nanAlwaysStoresAndEmits()
{
    ZIDReading r;
    QSignalSpy spy(&r, &ZIDReading::confidenceChanged);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    r.setConfidence(nan);
    r.setConfidence(nan);
    QCOMPARE(spy.count(), 2);
    QVERIFY(std::isnan(r.confidence()));
}

void tst_ZIDReading::clearValuesResetsResultFieldsOnly()
{
    ZIDReading r;
    {
        // A new reading already holds the cleared values.
        QSignalSpy plate(&r, &ZIDReading::plateChanged);
        QSignalSpy code(&r, &ZIDReading::containerCodeChanged);
        r.clearValues();
        QCOMPARE(plate.count() + code.count(), 0);
    }
    r.setPlate("ABC123");
    r.setVehicleMake("Volvo");
    r.setDate(QDateTime::currentDateTimeUtc());
    r.setIp("127.0.0.2");
    r.setType("alpr1");
    r.setContainerCode("MSCU1234565");
    r.setContainerConfidence(97.5);
    r.setContainerProcessingTime(120);
    r.setSoftwareVersion("2.1");
    r.setPending(3);
    r.setConfidence(88.0);

    QSignalSpy plate(&r, &ZIDReading::plateChanged);
    QSignalSpy software(&r, &ZIDReading::softwareVersionChanged);
    r.clearValues();
    QCOMPARE(plate.count(), 1);
    QCOMPARE(software.count(), 0);
    QVERIFY(r.plate().isEmpty());
    QVERIFY(r.vehicleMake().isEmpty());
    QVERIFY(r.date().isNull());
    QVERIFY(r.ip().isEmpty());
    QVERIFY(r.type().isEmpty());
    QVERIFY(r.containerCode().isEmpty());
    QCOMPARE(r.containerConfidence(), -1.0);
    QCOMPARE(r.containerProcessingTime(), -1);
    // Heartbeat fields and plate fields it does not know stay.
    QCOMPARE(r.softwareVersion(), QString("2.1"));
    QCOMPARE(r.pending(), 3);
    QCOMPARE(r.confidence(), 88.0);
}

void tst_ZIDReading::snapshotIsIndependent()
{
    ZIDReading r;
    r.setPlate("ABC123");
    r.setCharConfidence({90, 91});
    r.setVehicleSpeed(50);
    r.setUtcDate(QDateTime::fromString("2026-01-02T03:04:05Z", Qt::ISODate));

    const QSharedPointer<const ZIDReading> copy = r.snapshot();
    QVERIFY(copy->parent() == nullptr);
    r.setPlate("XYZ999");
    r.setCharConfidence({});
    r.setVehicleSpeed(60);

    QCOMPARE(copy->plate(), QString("ABC123"));
    QCOMPARE(copy->charConfidence(), QList<int>({90, 91}));
    QCOMPARE(copy->vehicleSpeed(), 50);
    QCOMPARE(copy->utcDate(), r.utcDate());
    QCOMPARE(copy->latitude(), 0.0);
}

QTEST_GUILESS_MAIN(tst_ZIDReading)
#include "tst_ZIDReading.moc"
