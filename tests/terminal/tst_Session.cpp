#include "terminal/Session.h"

#include <QMetaProperty>
#include <QSignalSpy>
#include <QtTest>

class tst_Session : public QObject
{
    Q_OBJECT

private slots:
    void freshRecord();
    void settersAnnounceRealChanges_data();
    void settersAnnounceRealChanges();
    void stateChanges();
    void readingsReplacedWhole();
    void cardIsNoProperty();
    void stateNames_data();
    void stateNames();
};

void tst_Session::freshRecord()
{
    Session session;
    QCOMPARE(session.state(), Session::Stopped);
    QCOMPARE(session.result(), false);
    QCOMPARE(session.cardReturned(), false);
    QCOMPARE(session.buttonPressed(), false);
    QCOMPARE(session.error(), QString());
    QCOMPARE(session.uuid(), QString());
    QCOMPARE(session.cardId(), QString());
    QVERIFY(session.start().isNull());
    QVERIFY(session.end().isNull());
    QVERIFY(session.card().isNull());
    QCOMPARE(session.readings(), (QVariantMap{{"Front", QString()}, {"Rear", QString()}}));
}

// Every property through the meta-object, as QML reaches it.
void tst_Session::settersAnnounceRealChanges_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("result") << QByteArray("result") << QVariant(true);
    QTest::newRow("error") << QByteArray("error") << QVariant("Card not collected");
    QTest::newRow("start") << QByteArray("start") << QVariant(QDateTime(QDate(2024, 5, 1), QTime(8, 0)));
    QTest::newRow("end") << QByteArray("end") << QVariant(QDateTime(QDate(2024, 5, 1), QTime(8, 1)));
    QTest::newRow("uuid") << QByteArray("uuid") << QVariant("2f1c8a5e-6d4b-4f3e-9a71-0c2b3d4e5f60");
    QTest::newRow("type") << QByteArray("type") << QVariant("CARD_VENDING_MACHINE");
    QTest::newRow("deviceId") << QByteArray("deviceId") << QVariant("SN-1");
    QTest::newRow("customsId") << QByteArray("customsId") << QVariant("12");
    QTest::newRow("locationId") << QByteArray("locationId") << QVariant("7");
    QTest::newRow("readings") << QByteArray("readings") << QVariant(QVariantMap{{"Front", "ABC1234"}});
    QTest::newRow("cardId") << QByteArray("cardId") << QVariant("04A1B2C3");
    QTest::newRow("cardReturned") << QByteArray("cardReturned") << QVariant(true);
    QTest::newRow("buttonPressed") << QByteArray("buttonPressed") << QVariant(true);
}

void tst_Session::settersAnnounceRealChanges()
{
    QFETCH(QByteArray, property);
    QFETCH(QVariant, value);

    Session session;
    const QMetaObject *meta = session.metaObject();
    const QMetaProperty prop = meta->property(meta->indexOfProperty(property));
    QVERIFY(prop.isValid());
    QVERIFY(prop.hasNotifySignal());
    QCOMPARE(prop.notifySignal().name(), property + "Changed");
    QSignalSpy changed(&session, prop.notifySignal());
    QSignalSpy states(&session, &Session::stateChanged);

    const QVariant initial = prop.read(&session);
    QVERIFY(prop.write(&session, initial));
    QCOMPARE(changed.count(), 0);

    QVERIFY(prop.write(&session, value));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(prop.read(&session), value);
    QVERIFY(prop.write(&session, value));
    QCOMPARE(changed.count(), 1);

    QVERIFY(prop.write(&session, initial));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(prop.read(&session), initial);
    QCOMPARE(states.count(), 0);
}

void tst_Session::stateChanges()
{
    Session session;
    QSignalSpy changed(&session, &Session::stateChanged);

    session.setState(Session::Stopped);
    QCOMPARE(changed.count(), 0);

    session.setState(Session::Idle);
    session.setState(Session::Idle);
    session.setState(Session::Error);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(changed.at(0).at(0).value<Session::State>(), Session::Stopped);
    QCOMPARE(changed.at(0).at(1).value<Session::State>(), Session::Idle);
    QCOMPARE(changed.at(1).at(0).value<Session::State>(), Session::Idle);
    QCOMPARE(changed.at(1).at(1).value<Session::State>(), Session::Error);
    QCOMPARE(session.state(), Session::Error);

    // Listeners see the new state from inside the signal.
    Session::State seen = Session::Stopped;
    connect(&session, &Session::stateChanged, this, [&] { seen = session.state(); });
    session.setState(Session::Exit);
    QCOMPARE(seen, Session::Exit);
}

void tst_Session::readingsReplacedWhole()
{
    Session session;
    QSignalSpy changed(&session, &Session::readingsChanged);

    session.setReadings(QVariantMap{{"Rear", QString()}, {"Front", QString()}});
    QCOMPARE(changed.count(), 0);

    session.setReadings(QVariantMap{{"Front", "ABC1234"}});
    QCOMPARE(changed.count(), 1);
    QCOMPARE(session.readings(), (QVariantMap{{"Front", "ABC1234"}}));
    QVERIFY(!session.readings().contains("Rear"));

    session.setReadings(QVariantMap{{"Front", "ABC1234"}, {"Container1", "MSCU1234565"}});
    QCOMPARE(changed.count(), 2);
    session.setReadings(QVariantMap{{"Front", "ABC1235"}, {"Container1", "MSCU1234565"}});
    QCOMPARE(changed.count(), 3);
}

void tst_Session::cardIsNoProperty()
{
    Session session;
    QSignalSpy anySignal(&session, &Session::cardIdChanged);
    auto card = QSharedPointer<RUDIv1Card>::create();
    QWeakPointer<RUDIv1Card> watch = card;

    session.setCard(card);
    QCOMPARE(session.card().data(), card.data());
    QCOMPARE(anySignal.count(), 0);

    // The record is one holder among others.
    card.reset();
    QVERIFY(!watch.isNull());
    session.setCard({});
    QVERIFY(watch.isNull());
    QVERIFY(session.card().isNull());
}

void tst_Session::stateNames_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("name");

    QTest::newRow("0") << 0 << "Stopped";
    QTest::newRow("1") << 1 << "Idle";
    QTest::newRow("2") << 2 << "DataCollect";
    QTest::newRow("3") << 3 << "WaitUser";
    QTest::newRow("4") << 4 << "Permission";
    QTest::newRow("5") << 5 << "CardProcess";
    QTest::newRow("6") << 6 << "WaitCollect";
    QTest::newRow("7") << 7 << "Exit";
    QTest::newRow("8") << 8 << "PostExit";
    QTest::newRow("9") << 9 << "Error";
    QTest::newRow("10") << 10 << "Unknown";
    QTest::newRow("-1") << -1 << "Unknown";
}

void tst_Session::stateNames()
{
    QFETCH(int, state);
    QFETCH(QString, name);
    QCOMPARE(Session::stateToStr(Session::State(state)), name);
    // The enumeration is registered: logs and QML see the same names.
    if (name != "Unknown")
        QCOMPARE(QString(QMetaEnum::fromType<Session::State>().valueToKey(state)), name);
}

QTEST_GUILESS_MAIN(tst_Session)
#include "tst_Session.moc"
