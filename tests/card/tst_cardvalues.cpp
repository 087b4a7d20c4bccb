#include "card/RUDIv1Card.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {

QJsonObject parse(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

QJsonObject entry(const QString &timestamp, const QString &type, int counter)
{
    return QJsonObject{{"timestamp", timestamp}, {"type", type}, {"usageCounter", counter},
                       {"deviceId", "D1"}, {"locationId", "L1"}};
}

// A template whose data can be set from outside, to see the envelope alone.
class BareCard : public Card
{
public:
    QJsonObject content;
    QJsonObject data() const override { return content; }
    void setData(const QJsonObject &d) override { content = d; }
};

} // namespace

class TestCardValues : public QObject
{
    Q_OBJECT

private slots:
    void newCardDocument();
    void issueRoadDocument();
    void readCardKeepsReadEntriesOutOfTheWrite();
    void setDataTwiceAppendsAgain();
    void lenientNumbers_data();
    void lenientNumbers();
    void envelopeWithoutData_data();
    void envelopeWithoutData();
    void typeNames_data();
    void typeNames();
    void tagDocument();
    void cardEnvelope();
    void usageTimestamp_data();
    void usageTimestamp();
    void lastUsage();
    void onlyCardsAreCards();
};

void TestCardValues::newCardDocument()
{
    RUDIv1Card card;
    QCOMPARE(card.name(), QString("RUDIv1"));
    QCOMPARE(card.data(), parse(R"({"info": {"customsId": 0, "status": "available", "version": 0},
                                     "usageCounter": 0, "usageLog": []})"));
}

void TestCardValues::issueRoadDocument()
{
    RUDIv1Card card;
    card.setCustomsId(12);
    card.setStatus("active");
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    card.addUsageLog("entry", "SN-0042", "7");
    card.incrUsageCounter(1);
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);

    const QJsonObject data = card.data();
    QCOMPARE(data["info"].toObject(), parse(R"({"customsId": 12, "status": "active", "version": 0})"));
    QCOMPARE(data["usageCounter"].toInt(), 1);
    const QJsonArray log = data["usageLog"].toArray();
    QCOMPARE(log.size(), 1);
    const QJsonObject e = log[0].toObject();
    QCOMPARE(e["type"].toString(), QString("entry"));
    QCOMPARE(e["usageCounter"].toInt(), 0); // the count before the use
    QCOMPARE(e["deviceId"].toString(), QString("SN-0042"));
    QCOMPARE(e["locationId"].toString(), QString("7"));
    const QDateTime stamp = QDateTime::fromString(e["timestamp"].toString(), "yyyy-MM-ddThh:mm:ss");
    QVERIFY(stamp.isValid());
    QVERIFY(stamp >= before && stamp <= after);
    QVERIFY(card.usageLogs().isEmpty());
}

void TestCardValues::readCardKeepsReadEntriesOutOfTheWrite()
{
    const QJsonObject envelope{
        {"uid", "04A1B2"}, {"type", 4}, {"template", "RUDIv1"},
        {"data", QJsonObject{{"info", QJsonObject{{"version", 3}, {"customsId", 9}, {"status", "active"}}},
                             {"usageCounter", 3},
                             {"usageLog", QJsonArray{entry("2024-01-02T03:04:05", "entry", 0),
                                                     entry("2024-01-03T10:00:00", "exit", 1),
                                                     entry("2024-01-04T23:59:59", "entry", 2)}}}},
    };
    const auto card = RUDIv1Card::fromJson(envelope);
    QCOMPARE(card->uid(), QString("04A1B2"));
    QCOMPARE(int(card->type()), 4);
    QCOMPARE(card->customsId(), 9);
    QCOMPARE(card->status(), QString("active"));
    QCOMPARE(card->usageCounter(), 3);
    QCOMPARE(card->usageLogs().size(), 3);
    QCOMPARE(card->usageLogs()[1].type, QString("exit"));
    QCOMPARE(card->usageLogs()[2].time, QDateTime(QDate(2024, 1, 4), QTime(23, 59, 59)));
    QVERIFY(card->newUsageLogs().isEmpty());

    const QJsonObject data = card->data();
    QCOMPARE(data["usageLog"].toArray(), QJsonArray());
    QCOMPARE(data["info"].toObject()["version"].toInt(), 0);

    // Written back, a read card carries only what was added since.
    card->addUsageLog("exit", "SN-1", "2");
    QCOMPARE(card->data()["usageLog"].toArray().size(), 1);
}

void TestCardValues::setDataTwiceAppendsAgain()
{
    const QJsonObject data{{"usageLog", QJsonArray{entry("2024-01-02T03:04:05", "a", 0),
                                                   entry("2024-01-02T03:04:06", "b", 1),
                                                   entry("2024-01-02T03:04:07", "c", 2)}}};
    RUDIv1Card card;
    card.setData(data);
    card.setData(data);
    QCOMPARE(card.usageLogs().size(), 6);
    QCOMPARE(card.usageLogs()[3].type, QString("a"));
}

void TestCardValues::lenientNumbers_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("whole") << QJsonValue(7) << 7;
    QTest::newRow("negative") << QJsonValue(-2) << -2;
    QTest::newRow("fraction") << QJsonValue(2.5) << 0;
    QTest::newRow("string") << QJsonValue("3") << 0;
    QTest::newRow("bool") << QJsonValue(true) << 0;
    QTest::newRow("object") << QJsonValue(QJsonObject{{"n", 1}}) << 0;
    QTest::newRow("null") << QJsonValue(QJsonValue::Null) << 0;
    QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << 0;
    QTest::newRow("beyond int") << QJsonValue(1e12) << 0;
}

void TestCardValues::lenientNumbers()
{
    QFETCH(QJsonValue, value);
    QFETCH(int, expected);

    QJsonObject info{{"status", "active"}};
    QJsonObject data;
    if (!value.isUndefined()) {
        info.insert("customsId", value);
        data.insert("usageCounter", value);
    }
    data.insert("info", info);
    data.insert("usageLog", QJsonArray{QJsonObject{{"usageCounter", value}}});

    RUDIv1Card card;
    card.setData(data);
    QCOMPARE(card.customsId(), expected);
    QCOMPARE(card.usageCounter(), expected);
    QCOMPARE(card.usageLogs().value(0).usageCounter, expected);

    const auto tag = Tag::fromJson(QJsonObject{{"uid", "X"}, {"type", value}});
    QCOMPARE(int(tag->type()), expected);
}

void TestCardValues::envelopeWithoutData_data()
{
    QTest::addColumn<QJsonValue>("data");
    QTest::newRow("null") << QJsonValue(QJsonValue::Null);
    QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined);
    QTest::newRow("array") << QJsonValue(QJsonArray{1, 2});
    QTest::newRow("string") << QJsonValue("RUDIv1");
    QTest::newRow("info not an object") << QJsonValue(QJsonObject{{"info", 5}, {"usageLog", "x"}});
}

void TestCardValues::envelopeWithoutData()
{
    QFETCH(QJsonValue, data);
    QJsonObject envelope{{"uid", "AB"}, {"type", 8}, {"template", "RUDIv1x"}};
    if (!data.isUndefined())
        envelope.insert("data", data);

    const auto card = RUDIv1Card::fromJson(envelope);
    QCOMPARE(card->uid(), QString("AB"));
    QCOMPARE(int(card->type()), 8);
    QCOMPARE(card->name(), QString("RUDIv1x"));
    QCOMPARE(card->status(), QString("available"));
    QCOMPARE(card->customsId(), 0);
    QCOMPARE(card->usageCounter(), 0);
    QVERIFY(card->usageLogs().isEmpty());
}

void TestCardValues::typeNames_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("name");
    QTest::newRow("0") << 0 << "Unknown";
    QTest::newRow("1") << 1 << "ISO14443-4A";
    QTest::newRow("2") << 2 << "ISO14443-4B";
    QTest::newRow("4") << 4 << "MIFARE Classic 1K";
    QTest::newRow("8") << 8 << "MIFARE Classic 4K";
    QTest::newRow("16") << 16 << "MIFARE Plus 2K";
    QTest::newRow("32") << 32 << "MIFARE Plus 4K";
    QTest::newRow("64") << 64 << "MIFARE Ultralight";
    QTest::newRow("128") << 128 << "MIFARE Mini";
    QTest::newRow("256") << 256 << "MIFARE DESFire";
    QTest::newRow("512") << 512 << "EMV";
    QTest::newRow("32768") << 32768 << "Other";
    QTest::newRow("combination") << 3 << "Unknown";
    QTest::newRow("unlisted bit") << 1024 << "Unknown";
    QTest::newRow("negative") << -1 << "Unknown";
}

void TestCardValues::typeNames()
{
    QFETCH(int, type);
    QFETCH(QString, name);
    QCOMPARE(Tag::typeToStr(Tag::Type(type)), name);
}

void TestCardValues::tagDocument()
{
    const Tag tag("04FF", Tag::Type(Tag::MifareClassic1K | Tag::Iso14443_4A));
    QCOMPARE(tag.toJson(), parse(R"({"uid": "04FF", "type": 5})"));
    const auto back = Tag::fromJson(tag.toJson());
    QCOMPARE(back->uid(), QString("04FF"));
    QCOMPARE(int(back->type()), 5);

    const auto junk = Tag::fromJson(parse(R"({"uid": 12, "type": "4"})"));
    QCOMPARE(junk->uid(), QString());
    QCOMPARE(int(junk->type()), 0);
}

void TestCardValues::cardEnvelope()
{
    BareCard bare;
    bare.setUid("U1");
    bare.setType(Tag::Emv);
    bare.setName("T");
    QCOMPARE(bare.toJson(), parse(R"({"uid": "U1", "type": 512, "template": "T", "data": null})"));
    bare.content = QJsonObject{{"k", 1}};
    QCOMPARE(bare.toJson()["data"].toObject(), bare.content);

    RUDIv1Card card;
    card.setUid("U2");
    const QJsonObject json = card.toJson();
    QCOMPARE(json["template"].toString(), QString("RUDIv1"));
    QCOMPARE(json["data"].toObject(), card.data());
    // The envelope reads back into an equal card.
    QCOMPARE(RUDIv1Card::fromJson(json)->data(), card.data());
}

void TestCardValues::usageTimestamp_data()
{
    QTest::addColumn<QJsonValue>("timestamp");
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("written");
    QTest::newRow("valid") << QJsonValue("2025-06-30T18:45:00")
                           << QDateTime(QDate(2025, 6, 30), QTime(18, 45)) << "2025-06-30T18:45:00";
    QTest::newRow("month 13") << QJsonValue("2025-13-01T00:00:00") << QDateTime() << "";
    QTest::newRow("with zone") << QJsonValue("2025-06-30T18:45:00Z") << QDateTime() << "";
    QTest::newRow("number") << QJsonValue(1700000000) << QDateTime() << "";
    QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << QDateTime() << "";
}

void TestCardValues::usageTimestamp()
{
    QFETCH(QJsonValue, timestamp);
    QFETCH(QDateTime, time);
    QFETCH(QString, written);

    QJsonObject json = entry(QString(), "exit", 4);
    json.remove("timestamp");
    if (!timestamp.isUndefined())
        json.insert("timestamp", timestamp);
    RUDIv1Card::_Usage usage;
    usage.fromJson(json);
    QCOMPARE(usage.time, time);
    QCOMPARE(usage.type, QString("exit"));
    QCOMPARE(usage.usageCounter, 4);
    QCOMPARE(usage.toJson()["timestamp"].toString(), written);
    QCOMPARE(usage.toJson()["deviceId"].toString(), QString("D1"));
}

void TestCardValues::lastUsage()
{
    RUDIv1Card card;
    QVERIFY(!card.lastUsage());
    card.addUsageLog("entry", "D", "L"); // new entries are not read entries
    QVERIFY(!card.lastUsage());
    card.setData(QJsonObject{{"usageLog", QJsonArray{entry("2024-01-01T00:00:00", "a", 0),
                                                     entry("2024-01-01T00:00:01", "b", 1)}}});
    QVERIFY(card.lastUsage());
    QCOMPARE(card.lastUsage()->type, QString("b"));

    RUDIv1Card::_Usage kept;
    kept.type = "manual";
    card.addUsageLog(kept);
    QCOMPARE(card.newUsageLogs().last().type, QString("manual"));
    QVERIFY(!card.newUsageLogs().last().time.isValid());
}

void TestCardValues::onlyCardsAreCards()
{
    QVERIFY(Card::fromTag(Tag::Ptr()).isNull());
    QVERIFY(Card::fromTag(Tag::Ptr::create("AA", Tag::MifareMini)).isNull());
    const Tag::Ptr card = RUDIv1Card::fromJson(parse(R"({"uid": "BB", "template": "RUDIv1"})"));
    const Card::Ptr asCard = Card::fromTag(card);
    QVERIFY(!asCard.isNull());
    QCOMPARE(asCard->uid(), QString("BB"));
    QCOMPARE(asCard.data(), static_cast<Card *>(static_cast<RUDIv1Card *>(card.data())));
}

QTEST_GUILESS_MAIN(TestCardValues)
#include "tst_cardvalues.moc"
