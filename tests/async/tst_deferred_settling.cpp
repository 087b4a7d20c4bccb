#include "async/Deferred.h"

#include "fakes/LogCapture.h"

#include <QStringList>
#include <QTest>

#include <optional>

// resolve, reject, rejectZero and notify: order, refusal, re-entrant callbacks.
class TestDeferredSettling : public QObject
{
    Q_OBJECT

private slots:
    void secondSettlementIsRefused_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<QString>("warning");

        const QString resolveText = "Cannot resolve already processed deferred object.";
        const QString rejectText = "Cannot reject already processed deferred object.";
        const QString notifyText = "Cannot notify already processed deferred object.";
        QTest::newRow("resolve twice") << "resolve" << "resolve" << resolveText;
        QTest::newRow("reject after resolve") << "resolve" << "reject" << rejectText;
        QTest::newRow("rejectZero after reject") << "reject" << "rejectZero" << rejectText;
        QTest::newRow("resolve after rejectZero") << "rejectZero" << "resolve" << resolveText;
        QTest::newRow("notify after resolve") << "resolve" << "notify" << notifyText;
        QTest::newRow("notify after rejectZero") << "rejectZero" << "notify" << notifyText;
    }

    void secondSettlementIsRefused()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(QString, warning);

        const auto apply = [](const Deferred<int>& d, const QString& op, int value) {
            if (op == "resolve")
                d.resolve(value);
            else if (op == "reject")
                d.reject(value);
            else if (op == "rejectZero")
                d.rejectZero();
            else
                d.notify(value);
        };

        QStringList ran;
        const Deferred<int> deferred;
        deferred.done([&](int v) { ran << QString("done %1").arg(v); })
            .fail([&](int v) { ran << QString("fail %1").arg(v); })
            .progress([&](int v) { ran << QString("progress %1").arg(v); });
        deferred.data()->doneZero([&] { ran << "doneZero"; }, Qt::AutoConnection);
        deferred.data()->failZero([&] { ran << "failZero"; }, Qt::AutoConnection);

        LogCapture log;
        apply(deferred, first, 1);
        const QStringList afterFirst = ran;
        const DeferredDataBase::State state = deferred.state();
        QVERIFY(log.texts(QtWarningMsg).isEmpty());

        apply(deferred, second, 2);
        QCOMPARE(log.texts(QtWarningMsg), QStringList { warning });
        QCOMPARE(ran, afterFirst);
        QCOMPARE(deferred.state(), state);

        // The first values stay stored.
        if (first != "rejectZero") {
            int stored = 0;
            if (first == "resolve")
                deferred.done([&](int v) { stored = v; });
            else
                deferred.fail([&](int v) { stored = v; });
            QCOMPARE(stored, 1);
        }
    }

    void callbackOrderWithinOneThread()
    {
        QStringList order;
        const Deferred<int> deferred;
        deferred.data()->doneZero([&] { order << "Z"; }, Qt::AutoConnection);
        deferred.done([&](int) { order << "A"; });
        deferred.done([&](int) { order << "B"; });
        deferred.resolve(1);
        QCOMPARE(order, QStringList({ "A", "B", "Z" }));

        order.clear();
        const Deferred<int> rejected;
        rejected.data()->failZero([&] { order << "Z"; }, Qt::AutoConnection);
        rejected.fail([&](int) { order << "A"; });
        rejected.fail([&](int) { order << "B"; });
        rejected.reject(1);
        QCOMPARE(order, QStringList({ "A", "B", "Z" }));
    }

    void settlementEmptiesListsButKeepsProgress()
    {
        const Deferred<int> deferred;
        deferred.done([](int) {}).fail([](int) {}).progress([](int) {});
        deferred.data()->doneZero([] {}, Qt::AutoConnection);
        deferred.data()->failZero([] {}, Qt::AutoConnection);
        deferred.reject(1);
        const auto* set = deferred.data()->threadCallbacks.first();
        QCOMPARE(set->doneList.size(), 0);
        QCOMPARE(set->failList.size(), 0);
        QCOMPARE(set->doneZeroList.size(), 0);
        QCOMPARE(set->failZeroList.size(), 0);
        QCOMPARE(set->progressList.size(), 1);
    }

    void rejectZeroKeepsValueCallbacksStored()
    {
        int failRuns = 0;
        int zeroRuns = 0;
        const Deferred<int> deferred;
        deferred.fail([&](int) { ++failRuns; });
        deferred.data()->failZero([&] { ++zeroRuns; }, Qt::AutoConnection);
        deferred.rejectZero();
        deferred.fail([&](int) { ++failRuns; });
        deferred.data()->failZero([&] { ++zeroRuns; }, Qt::AutoConnection);
        QCOMPARE(failRuns, 0);
        QCOMPARE(zeroRuns, 2);
        QCOMPARE(deferred.data()->threadCallbacks.first()->failList.size(), 2);
        QVERIFY(!deferred.data()->hasSettledValues());
    }

    void notifyRunsEveryProgressCallbackInOrder()
    {
        QStringList got;
        const Deferred<int, QString> deferred;
        deferred.notify(0, "nobody listens");
        deferred.progress([&](int n, QString s) { got << QString("a%1%2").arg(n).arg(s); });
        deferred.progress([&](int n, QString s) { got << QString("b%1%2").arg(n).arg(s); });
        deferred.notify(1, "x");
        deferred.notify(2, "y");
        QCOMPARE(got, QStringList({ "a1x", "b1x", "a2y", "b2y" }));
        QCOMPARE(deferred.state(), DeferredDataBase::Pending);
    }

    void doneRegisteredDuringResolveRunsAtOnce()
    {
        QStringList order;
        const Deferred<int> deferred;
        deferred.done([&](int) {
            order << "first";
            deferred.done([&](int w) { order << QString("nested %1").arg(w); });
            deferred.fail([&](int) { order << "nested fail"; });
            order << "first end";
        });
        deferred.done([&](int) { order << "second"; });
        deferred.resolve(3);
        QCOMPARE(order, QStringList({ "first", "nested 3", "first end", "second" }));
    }

    void progressRegisteredDuringNotifyJoinsTheWalk()
    {
        QStringList order;
        const Deferred<> deferred;
        bool added = false;
        deferred.progress([&] {
            order << "outer";
            if (!added) {
                added = true;
                deferred.progress([&] { order << "inner"; });
            }
        });
        deferred.notify();
        QCOMPARE(order, QStringList({ "outer", "inner" }));
    }

    void progressCallbackThatResolves()
    {
        QStringList order;
        const Deferred<int> deferred;
        deferred.progress([&](int v) {
            order << QString("p1 %1").arg(v);
            deferred.resolve(v * 10);
        });
        deferred.progress([&](int v) { order << QString("p2 %1").arg(v); });
        deferred.done([&](int v) { order << QString("done %1").arg(v); });
        deferred.notify(4);
        QCOMPARE(order, QStringList({ "p1 4", "done 40", "p2 4" }));
        QCOMPARE(deferred.state(), DeferredDataBase::Resolved);
    }

    void callbackSettlingAnotherDeferredRunsNested()
    {
        QStringList order;
        const Deferred<> first;
        const Deferred<> second;
        second.done([&] { order << "second done"; });
        first.done([&] {
            order << "first a";
            second.resolve();
            order << "first a end";
        });
        first.done([&] { order << "first b"; });
        first.resolve();
        QCOMPARE(order, QStringList({ "first a", "second done", "first a end", "first b" }));
    }

    void droppingLastHandleInsideCallback()
    {
        // The settling call keeps the state alive until it returns.
        std::optional<Deferred<QString>> holder;
        holder.emplace();
        QStringList got;
        holder->done([&](QString v) {
            got << v;
            holder.reset();
        });
        holder->done([&](QString v) { got << v + "2"; });
        holder->resolve("v");
        QCOMPARE(got, QStringList({ "v", "v2" }));
        QVERIFY(!holder.has_value());
    }

    void callbackHoldingItsOwnHandleIsReleased()
    {
        auto token = QSharedPointer<int>::create(1);
        QWeakPointer<int> watch = token;
        {
            const Deferred<int> deferred;
            deferred.done([deferred, token](int) {});
            token.reset();
            deferred.resolve(1);
        }
        // Settling drops the done list, which breaks the cycle through the callback.
        QVERIFY(watch.isNull());
    }

    void exceptionFromCallbackLeavesSettlement()
    {
        const Deferred<int> deferred;
        int later = 0;
        deferred.done([](int) { throw std::runtime_error("boom"); });
        deferred.done([&](int) { ++later; });
        QVERIFY_EXCEPTION_THROWN(deferred.resolve(1), std::runtime_error);
        QCOMPARE(deferred.state(), DeferredDataBase::Resolved);
        QCOMPARE(later, 0);
        // The lock was released on the way out: registration still works.
        int value = 0;
        deferred.done([&](int v) { value = v; });
        QCOMPARE(value, 1);
    }

    void queuedCallbackRunsFromTheEventLoop()
    {
        QStringList order;
        const Deferred<int> deferred;
        deferred.done([&](int v) { order << QString("queued %1").arg(v); }, Qt::QueuedConnection);
        deferred.done([&](int v) { order << QString("auto %1").arg(v); });
        deferred.progress([&](int v) { order << QString("progress %1").arg(v); }, Qt::QueuedConnection);
        deferred.notify(1);
        deferred.notify(2);
        deferred.resolve(3);
        QCOMPARE(order, QStringList { "auto 3" });
        QTRY_COMPARE(order, QStringList({ "auto 3", "progress 1", "progress 2", "queued 3" }));
    }
};

QTEST_GUILESS_MAIN(TestDeferredSettling)
#include "tst_deferred_settling.moc"
