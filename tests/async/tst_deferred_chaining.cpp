#include "async/Deferred.h"

#include "fakes/LogCapture.h"

#include <QStringList>
#include <QTest>
#include <QVector>

#include <vector>

// thenAlias chains and when joins.
class TestDeferredChaining : public QObject
{
    Q_OBJECT

    // A value type with an error text, as the card operations carry.
    struct Result {
        QString error;
        int code = 0;
    };

    struct Watch {
        QStringList events;
        template <typename... T>
        void attach(const Deferred<T...>& d, const QString& name)
        {
            d.done([this, name](T...) { events << name + " done"; });
            d.fail([this, name](T...) { events << name + " fail"; });
            d.data()->failZero([this, name] { events << name + " failZero"; }, Qt::AutoConnection);
        }
    };

private slots:
    void aliasFollowsStepDeferred_data()
    {
        QTest::addColumn<QString>("source");   // how the source settles
        QTest::addColumn<QString>("step");     // how the step's deferred settles
        QTest::addColumn<bool>("stepRuns");
        QTest::addColumn<QStringList>("alias");

        QTest::newRow("resolve, resolve") << "resolve" << "resolve" << true << QStringList { "alias done" };
        QTest::newRow("resolve, reject") << "resolve" << "reject" << true
                                         << QStringList({ "alias fail", "alias failZero" });
        // Forwarded so the alias never hangs.
        QTest::newRow("resolve, rejectZero") << "resolve" << "rejectZero" << true << QStringList { "alias failZero" };
        QTest::newRow("resolve, pending") << "resolve" << "none" << true << QStringList {};
        QTest::newRow("reject") << "reject" << "none" << false << QStringList { "alias failZero" };
        QTest::newRow("rejectZero") << "rejectZero" << "none" << false << QStringList { "alias failZero" };
        QTest::newRow("pending") << "none" << "none" << false << QStringList {};
    }

    void aliasFollowsStepDeferred()
    {
        QFETCH(QString, source);
        QFETCH(QString, step);
        QFETCH(bool, stepRuns);
        QFETCH(QStringList, alias);

        for (const bool settleFirst : { false, true }) {
            LogCapture log;
            const Deferred<QString> head;
            const Deferred<Result> inner;
            const auto settleStep = [&] {
                if (step == "resolve")
                    inner.resolve({ "", 1 });
                else if (step == "reject")
                    inner.reject({ "broken", 2 });
                else if (step == "rejectZero")
                    inner.rejectZero();
            };
            const auto settleSource = [&] {
                if (source == "resolve")
                    head.resolve("in");
                else if (source == "reject")
                    head.reject("bad");
                else if (source == "rejectZero")
                    head.rejectZero();
            };
            if (settleFirst) {
                settleSource();
                settleStep();
            }

            int stepCalls = 0;
            QString stepArgument;
            const Deferred<Result> chained = head.thenAlias([&](QString value) {
                ++stepCalls;
                stepArgument = value;
                return inner;
            });
            Watch watch;
            watch.attach(chained, "alias");

            if (!settleFirst) {
                settleSource();
                settleStep();
            }
            QCOMPARE(stepCalls, stepRuns ? 1 : 0);
            if (stepRuns)
                QCOMPARE(stepArgument, QString("in"));
            QCOMPARE(watch.events, alias);
            QVERIFY2(log.texts(QtWarningMsg).isEmpty(), qPrintable(log.texts(QtWarningMsg).join('\n')));
        }
    }

    void stepRejectionValuesReachTheAlias()
    {
        const Deferred<Result> head;
        const Deferred<Result> inner;
        Result got;
        head.thenAlias([&](Result) { return inner; }).fail([&](Result r) { got = r; });
        head.resolve({});
        inner.reject({ "card jammed", 7 });
        QCOMPARE(got.error, QString("card jammed"));
        QCOMPARE(got.code, 7);
    }

    void sourceFailureReachesAliasOnlyWithoutValues()
    {
        const Deferred<Result> head;
        int withValues = 0;
        int without = 0;
        const auto chained = head.thenAlias([](Result r) {
            Deferred<Result> next;
            next.resolve(r);
            return next;
        });
        chained.fail([&](Result) { ++withValues; });
        chained.data()->failZero([&] { ++without; }, Qt::AutoConnection);
        head.reject({ "bad", 1 });
        chained.fail([&](Result) { ++withValues; });
        QCOMPARE(withValues, 0);
        QCOMPARE(without, 1);
        QCOMPARE(chained.state(), DeferredDataBase::Rejected);
    }

    void progressOfStepIsForwardedNotOfSource()
    {
        const Deferred<int> head;
        const Deferred<int> inner;
        QStringList got;
        const auto chained = head.thenAlias([&](int) { return inner; });
        chained.progress([&](int v) { got << QString("progress %1").arg(v); })
            .done([&](int v) { got << QString("done %1").arg(v); });
        head.notify(99);
        head.resolve(0);
        inner.notify(1);
        inner.notify(2);
        inner.resolve(3);
        QCOMPARE(got, QStringList({ "progress 1", "progress 2", "done 3" }));
    }

    void stepMayChangeTheValueTypes()
    {
        const Deferred<Result> head;
        const Deferred<> waited;
        bool done = false;
        const Deferred<> chained = head.thenAlias([&](Result) { return waited; });
        chained.done([&] { done = true; });
        head.resolve({});
        QVERIFY(!done);
        waited.resolve();
        QVERIFY(done);

        // The explicitly typed form, as callers may also write it.
        const Deferred<int> numbers;
        const Deferred<QString> text = numbers.thenAlias<QString>([](int n) {
            Deferred<QString> d;
            d.resolve(QString::number(n));
            return d;
        });
        numbers.resolve(12);
        QString got;
        text.done([&](QString s) { got = s; });
        QCOMPARE(got, QString("12"));
    }

    void longChainRunsInsideTheFirstResolve()
    {
        const Deferred<int> head;
        Deferred<int> link = head;
        for (int i = 0; i < 10; ++i) {
            link = link.thenAlias([](int v) {
                Deferred<int> next;
                next.resolve(v + 1);
                return next;
            });
        }
        int result = 0;
        link.done([&](int v) { result = v; });
        head.resolve(0);
        QCOMPARE(result, 10);

        // A failure at the head rejects every alias down the chain.
        const Deferred<int> failing;
        Deferred<int> tail = failing;
        for (int i = 0; i < 3; ++i)
            tail = tail.thenAlias([](int v) { Deferred<int> d; d.resolve(v); return d; });
        bool heard = false;
        tail.data()->failZero([&] { heard = true; }, Qt::AutoConnection);
        failing.reject(1);
        QVERIFY(heard);
    }

    void whenResolvesAfterEveryInput_data()
    {
        QTest::addColumn<QList<int> >("order"); // indexes settled, in order; negative: reject
        QTest::addColumn<QStringList>("events");

        QTest::newRow("first then second") << QList<int>({ 0, 1 }) << QStringList { "joint done" };
        QTest::newRow("second then first") << QList<int>({ 1, 0 }) << QStringList { "joint done" };
        QTest::newRow("first rejected, second resolved") << QList<int>({ -1, 1 })
                                                        << QStringList({ "joint fail", "joint failZero" });
        QTest::newRow("both rejected") << QList<int>({ -1, -2 }) << QStringList({ "joint fail", "joint failZero" });
        QTest::newRow("only one") << QList<int>({ 1 }) << QStringList {};
    }

    void whenResolvesAfterEveryInput()
    {
        QFETCH(QList<int>, order);
        QFETCH(QStringList, events);

        LogCapture log;
        const Deferred<> a;
        const Deferred<QString> b;
        const Deferred<> joint = Deferred<>::when(a, b);
        Watch watch;
        watch.attach(joint, "joint");
        for (const int step : order) {
            const int index = step < 0 ? -step - 1 : step;
            if (index == 0)
                step < 0 ? a.reject() : a.resolve();
            else
                step < 0 ? b.reject("e") : b.resolve("v");
        }
        QCOMPARE(watch.events, events);
        QVERIFY(log.texts(QtWarningMsg).isEmpty());
    }

    void whenOverSettledInputs()
    {
        const Deferred<> a;
        const Deferred<> b;
        a.resolve();
        b.resolve();
        QCOMPARE(Deferred<>::when(a, b).state(), DeferredDataBase::Resolved);

        const Deferred<> c;
        c.rejectZero();
        QCOMPARE(Deferred<>::when(a, c).state(), DeferredDataBase::Rejected);
    }

    void whenOverContainer()
    {
        QList<Deferred<QString> > inputs { {}, {}, {} };
        inputs[1].resolve("early");
        const Deferred<> joint = Deferred<>::when(inputs);
        QCOMPARE(joint.data()->whenCount, 1);
        inputs[2].resolve("x");
        QCOMPARE(joint.state(), DeferredDataBase::Pending);
        inputs[0].resolve("y");
        QCOMPARE(joint.state(), DeferredDataBase::Resolved);
    }

    void whenCountsARepeatedInputEachTime()
    {
        const Deferred<QString> once;
        const QVector<Deferred<QString> > twice { once, once };
        const Deferred<> joint = Deferred<>::when(twice);
        const Deferred<> again = Deferred<>::when(std::vector<Deferred<QString> > { once, once });
        const Deferred<> arguments = Deferred<>::when(once, once);
        once.resolve("both");
        QCOMPARE(joint.state(), DeferredDataBase::Resolved);
        QCOMPARE(again.state(), DeferredDataBase::Resolved);
        QCOMPARE(arguments.state(), DeferredDataBase::Resolved);
    }

    void whenOverNothingResolvesAtOnce()
    {
        // A session with no camera configured must not wait for ever.
        bool done = false;
        Deferred<>::when(QList<Deferred<QString> >()).done([&] { done = true; });
        QVERIFY(done);
        QCOMPARE(Deferred<>::when(std::vector<Deferred<> >()).state(), DeferredDataBase::Resolved);
    }

    void inputValueCallbacksRunBeforeTheJointHears()
    {
        QStringList order;
        const Deferred<int> input;
        const Deferred<> other;
        other.resolve();
        Deferred<>::when(input, other).done([&] { order << "joint"; });
        input.done([&](int) { order << "input"; });
        input.resolve(1);
        QCOMPARE(order, QStringList({ "input", "joint" }));
    }

    void jointSettledByItsUserWarnsOnCompletion()
    {
        const Deferred<> a;
        const Deferred<> joint = Deferred<>::when(a);
        joint.reject();
        LogCapture log;
        a.resolve();
        QCOMPARE(log.texts(QtWarningMsg), QStringList { "Cannot resolve already processed deferred object." });
    }
};

QTEST_GUILESS_MAIN(TestDeferredChaining)
#include "tst_deferred_chaining.moc"
