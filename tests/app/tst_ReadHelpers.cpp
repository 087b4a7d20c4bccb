#include "app/JsonRead.h"
#include "app/PropertySetter.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include <limits>

namespace {

// One member of each kind the device clients keep.
class Record : public QObject
{
    Q_OBJECT
public:
    void setName(const QString &name) { PropertySetter::set(this, m_name, name, &Record::nameChanged); }
    bool setLevel(int level)
    {
        return PropertySetter::set(this, m_level, level, &Record::levelChanged, [this, level] {
            seenBeforeAssign << QString("%1 -> %2").arg(m_level).arg(level);
        });
    }

    QString m_name;
    int m_level = 0;
    QStringList seenBeforeAssign;

signals:
    void nameChanged();
    void levelChanged();
};

QJsonValue member(const char *json)
{
    return QJsonDocument::fromJson(QByteArray("{\"v\": ") + json + "}").object().value("v");
}

} // namespace

class tst_ReadHelpers : public QObject
{
    Q_OBJECT

private slots:
    void integer_data();
    void integer();
    void otherTypesReadAsDefault();
    void setterAnnouncesRealChangesOnly();
};

void tst_ReadHelpers::integer_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("whole number") << member("42") << 42;
    QTest::newRow("negative") << member("-7") << -7;
    QTest::newRow("written as double") << member("3.0") << 3;
    QTest::newRow("fraction") << member("1.5") << 0;
    QTest::newRow("int max") << QJsonValue(double(std::numeric_limits<int>::max())) << std::numeric_limits<int>::max();
    QTest::newRow("above int") << member("2147483648") << 0;
    QTest::newRow("below int") << member("-2147483649") << 0;
    QTest::newRow("huge") << member("1e300") << 0;
    QTest::newRow("text of a number") << member("\"12\"") << 0;
    QTest::newRow("boolean") << member("true") << 0;
    QTest::newRow("null") << member("null") << 0;
    QTest::newRow("missing") << QJsonObject().value("v") << 0;
}

void tst_ReadHelpers::integer()
{
    QFETCH(QJsonValue, value);
    QFETCH(int, expected);
    QCOMPARE(JsonRead::integer(value), expected);
}

void tst_ReadHelpers::otherTypesReadAsDefault()
{
    QCOMPARE(JsonRead::text(member("\"abc\"")), QString("abc"));
    QCOMPARE(JsonRead::text(member("5")), QString());
    QVERIFY(JsonRead::isTrue(member("true")));
    QVERIFY(!JsonRead::isTrue(member("1")));
    QVERIFY(!JsonRead::isTrue(member("\"true\"")));
    QCOMPARE(JsonRead::object(member("{\"a\": 1}")).value("a").toInt(), 1);
    QVERIFY(JsonRead::object(member("[1]")).isEmpty());
    QCOMPARE(JsonRead::array(member("[1, 2]")).size(), 2);
    QVERIFY(JsonRead::array(member("{\"a\": 1}")).isEmpty());
}

void tst_ReadHelpers::setterAnnouncesRealChangesOnly()
{
    Record record;
    QSignalSpy names(&record, &Record::nameChanged);
    QSignalSpy levels(&record, &Record::levelChanged);

    record.setName("a");
    record.setName("a");
    record.setName("b");
    QCOMPARE(names.count(), 2);
    QCOMPARE(record.m_name, QString("b"));

    // The hook sees the old value, and only for a real change.
    QVERIFY(record.setLevel(3));
    QVERIFY(!record.setLevel(3));
    QVERIFY(record.setLevel(1));
    QCOMPARE(levels.count(), 2);
    QCOMPARE(record.seenBeforeAssign, (QStringList{"0 -> 3", "3 -> 1"}));
    QCOMPARE(names.count(), 2);
}

QTEST_GUILESS_MAIN(tst_ReadHelpers)
#include "tst_ReadHelpers.moc"
