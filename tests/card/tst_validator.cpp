#include "card/ValidatorRfid.h"

#include <QJsonDocument>
#include <QMetaProperty>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

QJsonObject parse(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad test document: %s", json.constData());
    return doc.object();
}

// Every change signal of an object's properties, to see which ones a
// document fires and how often.
class ChangeRecorder
{
public:
    explicit ChangeRecorder(QObject *object)
    {
        const QMetaObject *meta = object->metaObject();
        for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
            const QMetaMethod notify = meta->property(i).notifySignal();
            if (!notify.isValid() || m_names.contains(notify.name()))
                continue;
            m_names << notify.name();
            m_spies.emplace_back(new QSignalSpy(object, ("2" + notify.methodSignature()).constData()));
        }
    }

    // The signals emitted since the last call, in property order; "x2" and
    // the like when one came more than once.
    QStringList take()
    {
        QStringList fired;
        for (size_t i = 0; i < m_spies.size(); ++i) {
            const int n = m_spies[i]->count();
            if (n == 1)
                fired << m_names.at(int(i));
            else if (n > 1)
                fired << m_names.at(int(i)) + " x" + QString::number(n);
            m_spies[i]->clear();
        }
        return fired;
    }

private:
    QList<QByteArray> m_names;
    std::vector<std::unique_ptr<QSignalSpy>> m_spies;
};

// The properties a row names, read back from the object: "sam" reads as
// whether there is one, "sam.<field>" as that field of the first module.
QVariant readBack(const ValidatorRfid &rfid, const QString &key)
{
    if (key == QLatin1String("sam"))
        return rfid.sam() != nullptr;
    if (key == QLatin1String("slotFlags")) {
        QVariantList flags;
        for (bool flag : rfid.slotFlags())
            flags << flag;
        return flags;
    }
    if (key.startsWith(QLatin1String("sam."))) {
        if (!rfid.sam())
            return QStringLiteral("<no sam>");
        return rfid.sam()->property(key.mid(4).toLatin1().constData());
    }
    return rfid.property(key.toLatin1().constData());
}

const QByteArray infoDoc = R"({"firmware": "2.1.0", "model": "R-300", "manufacturer": "Lane Systems",
                               "uid": "04A1B2C3D4", "software": "3.0.0"})";
const QByteArray statusDoc = R"({"active": true, "error": "", "state": 2, "slots": [true, false, true],
    "sams": [{"slot": 1, "enabled": true, "unlocked": true, "atr": "3B8F80", "batch": "B7", "mode": "AV2",
              "name": "SAM-AV2", "production": "2023-05-17", "uid": "04FF00", "vendor": "NXP", "version": "2.0"},
             {"slot": 3, "name": "second"}]})";

} // namespace

class TestValidator : public QObject
{
    Q_OBJECT

private slots:
    void documents_data();
    void documents();
    void stateNames_data();
    void stateNames();
    void samDocuments_data();
    void samDocuments();
    void samsFollowTheList();
    void versionIsNotFedByDocuments();
};

void TestValidator::documents_data()
{
    QTest::addColumn<QList<QByteArray>>("before");  // documents the reader had sent already
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QVariantMap>("expected");
    QTest::addColumn<QStringList>("fired");

    const QList<QByteArray> none;
    const QList<QByteArray> known{infoDoc, statusDoc};

    QTest::newRow("information")
        << none << infoDoc
        << QVariantMap{{"firmware", "2.1.0"}, {"model", "R-300"}, {"manufacturer", "Lane Systems"},
                       {"deviceUid", "04A1B2C3D4"}, {"state", ""}, {"active", false}, {"sam", false}}
        << QStringList{"firmwareChanged", "manufacturerChanged", "modelChanged", "deviceUidChanged"};
    QTest::newRow("status")
        << none << statusDoc
        << QVariantMap{{"active", true}, {"state", "Searching"}, {"enabled", true}, {"numberOfSlots", 3},
                       {"slotFlags", QVariantList{true, false, true}}, {"sam", true}, {"sam.slot", 1},
                       {"sam.name", "SAM-AV2"}, {"sam.production", QDate(2023, 5, 17)}, {"firmware", ""}}
        << QStringList{"activeChanged", "enabledChanged", "numberOfSlotsChanged", "stateChanged", "samChanged"};
    QTest::newRow("information and status in one")
        << none << QByteArray(R"({"firmware": "9", "state": 3, "active": true})")
        << QVariantMap{{"firmware", "9"}, {"model", ""}, {"state", "CardFound"}, {"enabled", true},
                       {"numberOfSlots", 0}, {"sam", false}}
        << QStringList{"activeChanged", "enabledChanged", "stateChanged", "firmwareChanged", "samChanged"};
    QTest::newRow("unknown state number")
        << none << QByteArray(R"({"state": 7})")
        << QVariantMap{{"state", "Unknown"}, {"enabled", false}, {"active", false}}
        << QStringList{"enabledChanged", "stateChanged", "samChanged"};
    QTest::newRow("empty object changes nothing")
        << known << QByteArray("{}")
        << QVariantMap{{"firmware", "2.1.0"}, {"state", "Searching"}, {"numberOfSlots", 3}, {"sam", true}}
        << QStringList();
    QTest::newRow("information leaves the status alone")
        << known << QByteArray(R"({"firmware": "2.2.0", "model": "R-300"})")
        << QVariantMap{{"firmware", "2.2.0"}, {"manufacturer", ""}, {"deviceUid", ""}, {"state", "Searching"},
                       {"active", true}, {"numberOfSlots", 3}, {"sam.name", "SAM-AV2"}}
        << QStringList{"firmwareChanged", "manufacturerChanged", "deviceUidChanged"};
    QTest::newRow("status leaves the information alone")
        << known << QByteArray(R"({"state": 1, "active": true, "error": "field off", "slots": [true]})")
        << QVariantMap{{"firmware", "2.1.0"}, {"model", "R-300"}, {"state", "Idle"}, {"enabled", false},
                       {"error", "field off"}, {"numberOfSlots", 1}, {"sam", false}}
        << QStringList{"enabledChanged", "numberOfSlotsChanged", "stateChanged", "errorChanged", "samChanged"};
    QTest::newRow("the same status again only renews the modules")
        << known << statusDoc
        << QVariantMap{{"state", "Searching"}, {"numberOfSlots", 3}, {"sam.name", "SAM-AV2"}}
        << QStringList{"samChanged"};
    QTest::newRow("slots of the same number are no count change")
        << known << QByteArray(R"({"active": true, "state": 2, "slots": [false, false, false], "sams": []})")
        << QVariantMap{{"numberOfSlots", 3}, {"slotFlags", QVariantList{false, false, false}}, {"sam", false}}
        << QStringList{"samChanged"};
    QTest::newRow("values of the wrong type read as defaults")
        << known
        << QByteArray(R"({"firmware": 21, "model": null, "state": "3", "active": "true", "error": 5,
                          "slots": {"0": true}, "sams": {"slot": 1}})")
        << QVariantMap{{"firmware", ""}, {"model", ""}, {"state", "Init"}, {"enabled", false}, {"active", false},
                       {"error", ""}, {"numberOfSlots", 0}, {"sam", false}}
        << QStringList{"activeChanged", "enabledChanged", "numberOfSlotsChanged", "stateChanged",
                       "firmwareChanged", "manufacturerChanged", "modelChanged", "deviceUidChanged", "samChanged"};
    QTest::newRow("slot flags that are not JSON true are false")
        << none << QByteArray(R"({"state": 1, "slots": [1, "true", null, true]})")
        << QVariantMap{{"numberOfSlots", 4}, {"slotFlags", QVariantList{false, false, false, true}}}
        << QStringList{"enabledChanged", "numberOfSlotsChanged", "stateChanged", "samChanged"};
    QTest::newRow("module entry that is no object is an empty module")
        << none << QByteArray(R"({"state": 1, "sams": ["SAM-AV2"]})")
        << QVariantMap{{"sam", true}, {"sam.slot", 0}, {"sam.name", ""}, {"sam.production", QDate()}}
        << QStringList{"enabledChanged", "stateChanged", "samChanged"};
}

void TestValidator::documents()
{
    QFETCH(QList<QByteArray>, before);
    QFETCH(QByteArray, document);
    QFETCH(QVariantMap, expected);
    QFETCH(QStringList, fired);

    ValidatorRfid rfid;
    for (const QByteArray &doc : before)
        QCOMPARE(rfid.fromJson(parse(doc)), &rfid);
    ChangeRecorder changes(&rfid);

    QCOMPARE(rfid.fromJson(parse(document)), &rfid);

    QCOMPARE(changes.take(), fired);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(readBack(rfid, it.key()), it.value());
}

void TestValidator::stateNames_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("0") << 0 << "Init" << false;
    QTest::newRow("1") << 1 << "Idle" << false;
    QTest::newRow("2") << 2 << "Searching" << true;
    QTest::newRow("3") << 3 << "CardFound" << true;
    QTest::newRow("4") << 4 << "Updating" << false;
    QTest::newRow("5") << 5 << "Error" << false;
    QTest::newRow("6") << 6 << "Unknown" << false;
    QTest::newRow("-1") << -1 << "Unknown" << false;
}

void TestValidator::stateNames()
{
    QFETCH(int, number);
    QFETCH(QString, name);
    QFETCH(bool, enabled);

    QCOMPARE(ValidatorRfid::mapState(number), name);
    ValidatorRfid rfid;
    rfid.fromJson(QJsonObject{{"state", number}});
    QCOMPARE(rfid.state(), name);
    QCOMPARE(rfid.enabled(), enabled);
}

void TestValidator::samDocuments_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QVariantMap>("expected");
    QTest::addColumn<QStringList>("fired");

    const QByteArray full = R"({"slot": 2, "enabled": true, "unlocked": true, "atr": "3B8F80", "batch": "B7",
        "mode": "AV2", "name": "SAM-AV2", "production": "2023-05-17", "uid": "04FF00", "vendor": "NXP",
        "version": "2.0"})";
    const QStringList all{"slotChanged", "enabledChanged", "unlockedChanged", "atrChanged", "batchChanged",
                          "modeChanged", "nameChanged", "productionChanged", "uidChanged", "vendorChanged",
                          "versionChanged"};

    QTest::newRow("every field")
        << QByteArray() << full
        << QVariantMap{{"slot", 2}, {"enabled", true}, {"unlocked", true}, {"atr", "3B8F80"}, {"batch", "B7"},
                       {"mode", "AV2"}, {"name", "SAM-AV2"}, {"production", QDate(2023, 5, 17)}, {"uid", "04FF00"},
                       {"vendor", "NXP"}, {"version", "2.0"}}
        << all;
    QTest::newRow("the same document again") << full << full << QVariantMap{{"name", "SAM-AV2"}} << QStringList();
    QTest::newRow("missing keys reset the fields")
        << full << QByteArray("{}")
        << QVariantMap{{"slot", 0}, {"enabled", false}, {"unlocked", false}, {"atr", ""}, {"production", QDate()},
                       {"version", ""}}
        << all;
    QTest::newRow("month 13 is no date")
        << QByteArray() << QByteArray(R"({"production": "2023-13-01", "name": "X"})")
        << QVariantMap{{"production", QDate()}, {"name", "X"}} << QStringList{"nameChanged"};
    QTest::newRow("another date format is no date")
        << full << QByteArray(R"({"production": "17.05.2023"})")
        << QVariantMap{{"production", QDate()}, {"slot", 0}}
        << all;
    QTest::newRow("values of the wrong type")
        << QByteArray() << QByteArray(R"({"slot": "2", "enabled": 1, "unlocked": "true", "name": 7,
                                          "production": 20230517, "uid": ["04"]})")
        << QVariantMap{{"slot", 0}, {"enabled", false}, {"unlocked", false}, {"name", ""}, {"production", QDate()},
                       {"uid", ""}}
        << QStringList();
    QTest::newRow("fractional slot") << QByteArray() << QByteArray(R"({"slot": 1.5})") << QVariantMap{{"slot", 0}}
                                     << QStringList();
}

void TestValidator::samDocuments()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, document);
    QFETCH(QVariantMap, expected);
    QFETCH(QStringList, fired);

    SAM sam(before.isEmpty() ? QJsonObject() : parse(before));
    ChangeRecorder changes(&sam);

    QCOMPARE(sam.fromJson(parse(document)), &sam);

    QCOMPARE(changes.take(), fired);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(sam.property(it.key().toLatin1().constData()), it.value());
}

void TestValidator::samsFollowTheList()
{
    ValidatorRfid rfid;
    rfid.fromJson(parse(statusDoc));
    QCOMPARE(rfid.sams().size(), 2);
    QCOMPARE(rfid.sams().at(0)->slot(), 1);
    QCOMPARE(rfid.sams().at(1)->slot(), 3);
    QCOMPARE(rfid.sams().at(1)->name(), QString("second"));
    QCOMPARE(rfid.sams().at(1)->parent(), &rfid);
    QCOMPARE(rfid.sam(), rfid.sams().first());

    // A page may still be bound to the old modules: they go at the next turn
    // of the event loop, not at once.
    const QPointer<SAM> first = rfid.sam();
    const QPointer<SAM> second = rfid.sams().at(1);
    rfid.fromJson(parse(R"({"state": 2, "sams": [{"slot": 4}]})"));
    QVERIFY(first);
    QCOMPARE(rfid.sam()->slot(), 4);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!first);
    QVERIFY(!second);
    QCOMPARE(rfid.sams().size(), 1);
    QCOMPARE(rfid.findChildren<SAM *>().size(), 1);

    // A status without modules empties the list and still announces it.
    QSignalSpy samChanged(&rfid, &ValidatorRfid::samChanged);
    rfid.fromJson(parse(R"({"state": 2})"));
    QCOMPARE(samChanged.count(), 1);
    QCOMPARE(rfid.sam(), nullptr);
    QVERIFY(rfid.sams().isEmpty());
}

void TestValidator::versionIsNotFedByDocuments()
{
    ValidatorRfid rfid;
    QSignalSpy versionChanged(&rfid, &ValidatorRfid::versionChanged);
    rfid.fromJson(parse(R"({"firmware": "1", "version": "7.7", "state": 1})"));
    QCOMPARE(rfid.version(), QString());
    QCOMPARE(versionChanged.count(), 0);

    rfid.setVersion("7.7");
    rfid.setVersion("7.7");
    QCOMPARE(rfid.version(), QString("7.7"));
    QCOMPARE(versionChanged.count(), 1);
}

QTEST_GUILESS_MAIN(TestValidator)
#include "tst_validator.moc"
