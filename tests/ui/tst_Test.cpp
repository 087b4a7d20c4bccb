#include "ui/Test.h"

#include "fakes/DeferredProbe.h"

#include <QMetaProperty>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QtTest>

#include <limits>

namespace {

Tag::Ptr card(const QString &uid)
{
    return Tag::Ptr(new Tag(uid, Tag::MifareClassic1K));
}

} // namespace

class tst_Test : public QObject
{
    Q_OBJECT

private slots:
    void createdRecord();
    void defaultRecordIsNotInProgress();
    void progress_data();
    void progress();
    void cardId();
    void passAfterAFailedStep();
    void failOverwritesAFinishedRecord();
    void copiesShareThePromiseOnly();
    void metaObjectProperties();
    void propertyWrites();
    void readFromQml();
};

void tst_Test::createdRecord()
{
    const Test test = Test::create("acceptEject", 3, "req-17");
    QCOMPARE(test.id(), QString("req-17"));
    QCOMPARE(test.name(), QString("acceptEject"));
    QVERIFY(test.error().isNull());
    QCOMPARE(test.currCardIndex(), 0);
    QCOMPARE(test.numberOfCards(), 3);
    QCOMPARE(test.result(), false);
    QVERIFY(!test.card());
    QCOMPARE(test.defer().state(), DeferredDataBase::Pending);
    QVERIFY(!test.isCancelled());
    QVERIFY(!test.isFinished());
    QVERIFY(test.inProgress());

    // Any mode text is kept as it came.
    QCOMPARE(Test::create("Dispense", 1, QString()).name(), QString("Dispense"));
}

void tst_Test::defaultRecordIsNotInProgress()
{
    const Test test;
    QVERIFY(test.id().isEmpty());
    QVERIFY(test.name().isEmpty());
    QCOMPARE(test.numberOfCards(), 0);
    QCOMPARE(test.percent(), 0);
    QVERIFY(test.isFinished());
    QVERIFY(!test.inProgress());
    QCOMPARE(test.defer().state(), DeferredDataBase::Pending);
    // Each record has a promise of its own.
    QVERIFY(Test().defer().data() != test.defer().data());
}

void tst_Test::progress_data()
{
    QTest::addColumn<int>("cards");
    QTest::addColumn<int>("steps");      // incrCardIndex calls
    QTest::addColumn<QString>("ending"); // "", "cancel", "pass", "fail"
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("percent");
    QTest::addColumn<bool>("finished");
    QTest::addColumn<bool>("inProgress");

    QTest::newRow("1 of 3") << 3 << 1 << "" << 1 << 33 << false << true;
    QTest::newRow("2 of 3") << 3 << 2 << "" << 2 << 66 << false << true;
    QTest::newRow("3 of 3") << 3 << 3 << "" << 3 << 100 << true << false;
    QTest::newRow("index stops at the count") << 3 << 5 << "" << 3 << 100 << true << false;
    QTest::newRow("no cards") << 0 << 0 << "" << 0 << 0 << true << false;
    QTest::newRow("no cards, a step") << 0 << 1 << "" << 0 << 0 << true << false;
    QTest::newRow("negative count") << -2 << 1 << "" << 0 << 0 << true << false;
    QTest::newRow("cancelled midway") << 4 << 1 << "cancel" << 1 << 25 << false << false;
    QTest::newRow("cancelled after the last card") << 2 << 2 << "cancel" << 2 << 100 << true << false;
    QTest::newRow("failed on the first card") << 5 << 0 << "fail" << 0 << 0 << true << false;
    QTest::newRow("passed") << 2 << 2 << "pass" << 2 << 100 << true << false;
    const int most = std::numeric_limits<int>::max();
    QTest::newRow("large run") << most << 1 << "" << 1 << 0 << false << true;
    QTest::newRow("large run, nearly done") << most << -1 << "" << most - 1 << 99 << false << true;
}

void tst_Test::progress()
{
    QFETCH(int, cards);
    QFETCH(int, steps);
    QFETCH(QString, ending);
    QFETCH(int, index);
    QFETCH(int, percent);
    QFETCH(bool, finished);
    QFETCH(bool, inProgress);

    Test test = Test::create("dispense", cards, "1");
    if (steps < 0)
        test.setCurrCardIndex(index);  // as a run far along would have it
    for (int i = 0; i < steps; ++i)
        test.incrCardIndex();
    if (ending == "cancel")
        test.cancel();
    else if (ending == "pass")
        test.setPass();
    else if (ending == "fail")
        test.setFail("Dispenser jammed", Tag::Ptr());

    QCOMPARE(test.currCardIndex(), index);
    QCOMPARE(test.percent(), percent);
    QCOMPARE(test.isFinished(), finished);
    QCOMPARE(test.inProgress(), inProgress);
    QCOMPARE(test.isCancelled(), ending == "cancel");
    QCOMPARE(test.result(), ending == "pass");
}

void tst_Test::cardId()
{
    Test test = Test::create("acceptEject", 2, "7");
    QCOMPARE(test.cardId(), QString("<none>"));
    test.setCard(card("04A1B2C3"));
    QCOMPARE(test.cardId(), QString("04A1B2C3"));
    test.setFail("Card read failed", Tag::Ptr());
    QCOMPARE(test.cardId(), QString("<none>"));
    test.setFail("Card write failed", card("0499"));
    QCOMPARE(test.cardId(), QString("0499"));
    QCOMPARE(test.card()->uid(), QString("0499"));
}

void tst_Test::passAfterAFailedStep()
{
    Test test = Test::create("acceptDispose", 2, "3");
    test.setFail("Card not taken", card("04CC"));
    QVERIFY(test.isFinished());
    test.setPass();
    QCOMPARE(test.result(), true);
    QVERIFY(test.error().isNull());
    QCOMPARE(test.cardId(), QString("04CC"));
    QCOMPARE(test.currCardIndex(), 0);
    QVERIFY(test.isFinished());
}

void tst_Test::failOverwritesAFinishedRecord()
{
    Test test = Test::create("dispense", 1, "4");
    test.incrCardIndex();
    test.setPass();
    test.setFail("late failure", Tag::Ptr());
    QCOMPARE(test.result(), false);
    QCOMPARE(test.error(), QString("late failure"));
    QVERIFY(test.isFinished());
    test.incrCardIndex();
    QCOMPARE(test.currCardIndex(), 1);
}

void tst_Test::copiesShareThePromiseOnly()
{
    Test record = Test::create("dispense", 2, "req-1");
    record.setCard(card("0411"));
    DeferredProbe<Test> requester(record.defer());

    const Test snapshot = record;
    record.cancel();
    record.incrCardIndex();
    QVERIFY(!snapshot.isCancelled());
    QVERIFY(snapshot.inProgress());
    QCOMPARE(snapshot.currCardIndex(), 0);
    // The card object itself is shared through its handle.
    QCOMPARE(snapshot.card().data(), record.card().data());

    Test progressed = record;
    progressed.setCurrCardIndex(1);
    record.defer().notify(progressed);
    QCOMPARE(requester.notifications().size(), 1);
    QCOMPARE(std::get<0>(requester.notifications().first()).percent(), 50);

    // Settled through the snapshot, seen through the record and the requester.
    Test final = record;
    final.setFail("Cancelled", Tag::Ptr());
    snapshot.defer().resolve(final);
    QVERIFY(requester.resolved());
    QCOMPARE(requester.value().error(), QString("Cancelled"));
    QCOMPARE(requester.value().isCancelled(), true);
    QCOMPARE(record.defer().state(), DeferredDataBase::Resolved);

    QTest::ignoreMessage(QtWarningMsg, "Cannot resolve already processed deferred object.");
    record.defer().resolve(record);
    QCOMPARE(requester.settlements(), 1);
}

void tst_Test::metaObjectProperties()
{
    const QMetaObject &meta = Test::staticMetaObject;
    QStringList names;
    QStringList writable;
    for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i) {
        names << meta.property(i).name();
        if (meta.property(i).isWritable())
            writable << meta.property(i).name();
    }
    QCOMPARE(names, QStringList({"id", "name", "cardId", "error", "currCardIndex", "numberOfCards", "percent",
                                 "result", "inProgress", "isFinished", "isCancelled"}));
    QCOMPARE(writable, QStringList({"id", "name", "error", "currCardIndex", "numberOfCards", "result"}));

    Test test = Test::create("dispense", 3, "9");
    test.incrCardIndex();
    auto read = [&](const char *name) {
        return meta.property(meta.indexOfProperty(name)).readOnGadget(&test);
    };
    QCOMPARE(read("percent"), QVariant(33));
    QCOMPARE(read("cardId"), QVariant("<none>"));
    QCOMPARE(read("inProgress"), QVariant(true));

    const int cancel = meta.indexOfMethod("cancel()");
    QVERIFY(cancel >= 0);
    QVERIFY(meta.method(cancel).invokeOnGadget(&test));
    QCOMPARE(read("isCancelled"), QVariant(true));
    QCOMPARE(read("inProgress"), QVariant(false));
}

void tst_Test::propertyWrites()
{
    const QMetaObject &meta = Test::staticMetaObject;
    Test test = Test::create("dispense", 3, "9");
    auto write = [&](const char *name, const QVariant &value) {
        return meta.property(meta.indexOfProperty(name)).writeOnGadget(&test, value);
    };
    QVERIFY(write("id", "10"));
    QVERIFY(write("numberOfCards", 4));
    QVERIFY(write("currCardIndex", 2));
    QVERIFY(write("result", true));
    QVERIFY(write("error", ""));
    QCOMPARE(test.id(), QString("10"));
    QCOMPARE(test.percent(), 50);
    QCOMPARE(test.result(), true);
    // An equal value leaves the stored one: a null error stays null.
    QVERIFY(test.error().isNull());
    QVERIFY(!write("percent", 10));
    QCOMPARE(test.percent(), 50);
}

void tst_Test::readFromQml()
{
    QQmlEngine engine;
    Test test = Test::create("acceptDispose", 3, "q-1");
    test.incrCardIndex();
    test.incrCardIndex();
    test.setCard(card("04DD"));
    engine.rootContext()->setContextProperty("test", QVariant::fromValue(test));

    QQmlExpression expression(engine.rootContext(), nullptr,
                              "[test.name, test.id, test.cardId, test.percent, test.inProgress, test.isFinished]"
                              ".join(',')");
    bool undefined = false;
    const QVariant value = expression.evaluate(&undefined);
    QVERIFY2(!expression.hasError(), qPrintable(expression.error().toString()));
    QCOMPARE(value.toString(), QString("acceptDispose,q-1,04DD,66,true,false"));
}

QTEST_MAIN(tst_Test)
#include "tst_Test.moc"
