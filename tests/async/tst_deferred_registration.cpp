#include "async/Deferred.h"

#include <QJsonValue>
#include <QStringList>
#include <QTest>

#include <optional>

// Registration of done, fail, progress and the value-less forms, before and after settling.
class TestDeferredRegistration : public QObject
{
    Q_OBJECT

    using Values = Deferred<int, QString>;

    struct Seen {
        int runs = 0;
        int number = -1;
        QString text;
    };

    static void registerCallback(const Values& deferred, const QString& op, Seen& seen)
    {
        const auto withValues = [&seen](int number, QString text) {
            ++seen.runs;
            seen.number = number;
            seen.text = text;
        };
        const auto zero = [&seen] { ++seen.runs; };
        if (op == "done")
            deferred.done(withValues);
        else if (op == "fail")
            deferred.fail(withValues);
        else if (op == "progress")
            deferred.progress(withValues);
        else if (op == "doneZero")
            deferred.data()->doneZero(zero, Qt::AutoConnection);
        else if (op == "failZero")
            deferred.data()->failZero(zero, Qt::AutoConnection);
        else
            QFAIL("unknown operation");
    }

    static void settle(const Values& deferred, const QString& how)
    {
        if (how == "resolve")
            deferred.resolve(7, "seven");
        else if (how == "reject")
            deferred.reject(7, "seven");
        else
            deferred.rejectZero();
    }

private slots:
    void newHandleIsPending()
    {
        const Deferred<> deferred;
        QCOMPARE(deferred.state(), DeferredDataBase::Pending);
    }

    void matrix_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("before");
        QTest::addColumn<bool>("runs");
        QTest::addColumn<bool>("withValues");

        // Which registrations learn of which settlement; the same whether registered
        // before the settlement or after it.
        const struct {
            const char* op;
            bool resolve, reject, rejectZero, values;
        } table[] = {
            { "done", true, false, false, true },
            { "fail", false, true, false, true },
            { "doneZero", true, false, false, false },
            { "failZero", false, true, true, false },
            { "progress", false, false, false, true },
        };
        for (const auto& row : table) {
            for (const char* how : { "resolve", "reject", "rejectZero" }) {
                const bool runs = QByteArray(how) == "resolve" ? row.resolve
                                : QByteArray(how) == "reject"  ? row.reject
                                                               : row.rejectZero;
                for (const bool before : { true, false }) {
                    QTest::addRow("%s %s %s", row.op, before ? "before" : "after", how)
                        << row.op << how << before << runs << row.values;
                }
            }
        }
    }

    void matrix()
    {
        QFETCH(QString, op);
        QFETCH(QString, how);
        QFETCH(bool, before);
        QFETCH(bool, runs);
        QFETCH(bool, withValues);

        Seen seen;
        const Values deferred;
        if (before) {
            registerCallback(deferred, op, seen);
            QCOMPARE(seen.runs, 0);
            settle(deferred, how);
        } else {
            settle(deferred, how);
            registerCallback(deferred, op, seen);
        }
        // Synchronous: the callback has run (or not) when the later call returns.
        QCOMPARE(seen.runs, runs ? 1 : 0);
        QCOMPARE(deferred.state(), how == "resolve" ? DeferredDataBase::Resolved : DeferredDataBase::Rejected);
        if (runs && withValues) {
            QCOMPARE(seen.number, 7);
            QCOMPARE(seen.text, QString("seven"));
        }

        // Nothing runs late either.
        QCoreApplication::processEvents();
        QCOMPARE(seen.runs, runs ? 1 : 0);
    }

    void copiesShareOneState()
    {
        const Deferred<QString> original;
        const Deferred<QString> copy = original;
        Deferred<QString> assigned;
        assigned = copy;
        assigned = assigned;

        QStringList got;
        original.done([&](QString value) { got << "original:" + value; });
        assigned.done([&](QString value) { got << "assigned:" + value; });
        copy.resolve("x");

        QCOMPARE(got, QStringList({ "original:x", "assigned:x" }));
        QCOMPARE(original.state(), DeferredDataBase::Resolved);
        QCOMPARE(assigned.state(), DeferredDataBase::Resolved);
    }

    void chainedRegistrationOnReturnedCopy()
    {
        for (const bool resolve : { true, false }) {
            QStringList got;
            const Deferred<int> deferred;
            deferred.done([&](int v) { got << QString("done %1").arg(v); })
                .fail([&](int v) { got << QString("fail %1").arg(v); });
            if (resolve)
                deferred.resolve(1);
            else
                deferred.reject(2);
            QCOMPARE(got, QStringList { resolve ? "done 1" : "fail 2" });
        }
    }

    void callbacksGetTheirOwnCopies()
    {
        const Deferred<QStringList> deferred;
        QStringList second;
        deferred.done([](QStringList list) { list << "changed"; });
        deferred.done([&](QStringList list) { second = list; });
        deferred.resolve({ "a" });
        QCOMPARE(second, QStringList { "a" });
        // A late registration sees the stored values, untouched by earlier callbacks.
        deferred.done([&](QStringList list) { second = list; });
        QCOMPARE(second, QStringList { "a" });
    }

    void callbacksTakingReferencesCannotChangeOthersValues_data()
    {
        QTest::addColumn<QString>("op");
        QTest::newRow("done") << "done";
        QTest::newRow("fail") << "fail";
        QTest::newRow("progress") << "progress";
    }

    void callbacksTakingReferencesCannotChangeOthersValues()
    {
        QFETCH(QString, op);
        using Pair = Deferred<int, QStringList>;
        const Pair deferred;
        QList<QPair<int, QStringList> > seen;
        const auto changer = [](int& number, QStringList& list) {
            number = -1;
            list << "changed";
        };
        const auto recorder = [&seen](int& number, QStringList& list) { seen << qMakePair(number, list); };
        const auto reg = [&](const auto& callback) {
            if (op == "done")
                deferred.done(callback);
            else if (op == "fail")
                deferred.fail(callback);
            else
                deferred.progress(callback);
        };
        reg(changer);
        reg(recorder);
        if (op == "done")
            deferred.resolve(7, { "a" });
        else if (op == "fail")
            deferred.reject(7, { "a" });
        else
            deferred.notify(7, { "a" });
        // Registered once settled: runs at once on the stored values.
        reg(recorder);

        const QPair<int, QStringList> untouched(7, { "a" });
        const QList<QPair<int, QStringList> > expected =
            op == "progress" ? QList<QPair<int, QStringList> > { untouched }
                             : QList<QPair<int, QStringList> > { untouched, untouched };
        QCOMPARE(seen, expected);
    }

    void queuedRegistrationOnSettledRunsAtOnce()
    {
        const Deferred<int> deferred;
        deferred.resolve(5);
        int got = 0;
        deferred.done([&](int v) { got = v; }, Qt::QueuedConnection);
        QCOMPARE(got, 5);
    }

    void progressOnlyHearsLaterNotifications()
    {
        const Deferred<int> deferred;
        QList<int> early;
        QList<int> late;
        deferred.progress([&](int v) { early << v; });
        deferred.notify(1);
        deferred.progress([&](int v) { late << v; });
        deferred.notify(2);
        deferred.resolve(3);
        QCOMPARE(early, QList<int>({ 1, 2 }));
        QCOMPARE(late, QList<int> { 2 });
    }

    void oneThreadSharesOneCallbackSet()
    {
        const Deferred<int> deferred;
        deferred.done([](int) {});
        deferred.fail([](int) {});
        deferred.progress([](int) {});
        QCOMPARE(deferred.data()->threadCallbacks.size(), 1);
        QCOMPARE(deferred.data()->proxyConnections.size(), 1);
        QCOMPARE(deferred.data()->threadCallbacks.first()->doneList.size(), 1);
        QCOMPARE(deferred.data()->threadCallbacks.first()->failList.size(), 1);
        QCOMPARE(deferred.data()->threadCallbacks.first()->progressList.size(), 1);
    }

    void droppingPendingDeferredRunsNothingAndReleasesCallbacks()
    {
        auto token = QSharedPointer<int>::create(0);
        QWeakPointer<int> watch = token;
        int runs = 0;
        {
            const Deferred<int> deferred;
            deferred.done([token, &runs](int) { ++runs; });
            deferred.fail([token, &runs](int) { ++runs; });
            deferred.data()->failZero([token, &runs] { ++runs; }, Qt::AutoConnection);
            token.reset();
            QVERIFY(!watch.isNull());
        }
        QVERIFY(watch.isNull());
        QCOMPARE(runs, 0);
    }
};

QTEST_GUILESS_MAIN(TestDeferredRegistration)
#include "tst_deferred_registration.moc"
