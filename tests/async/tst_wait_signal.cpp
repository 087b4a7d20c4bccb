#include "async/Utils.h"

#include "fakes/LogCapture.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSharedPointer>
#include <QTest>
#include <QThread>

class Emitter : public QObject
{
    Q_OBJECT
public:
    int pendingTimers() const { return findChildren<QTimer*>().size(); }
    int changedListeners() const { return receivers(SIGNAL(changed())); }
    int destroyedListeners() const { return receivers(SIGNAL(destroyed(QObject*))); }

signals:
    void changed();
    void cardInserted(QSharedPointer<int> card);
};

// Utils::waitSignal: signal, time-out, no time-out, destruction, other threads.
class TestWaitSignal : public QObject
{
    Q_OBJECT

    struct Outcome {
        int done = 0;
        int fail = 0;
        int failZero = 0;
        void attach(const Deferred<>& d)
        {
            d.done([this] { ++done; });
            d.fail([this] { ++fail; });
            d.data()->failZero([this] { ++failZero; }, Qt::AutoConnection);
        }
    };

private slots:
    void signalBeforeTimeout_data()
    {
        QTest::addColumn<int>("timeout");
        QTest::newRow("with time-out") << 10000;
        QTest::newRow("no time-out") << 0;
        QTest::newRow("negative time-out") << -5;
    }

    void signalBeforeTimeout()
    {
        QFETCH(int, timeout);
        LogCapture log;
        Emitter emitter;
        const Deferred<> wait = Utils::waitSignal(&emitter, &Emitter::changed, timeout);
        Outcome outcome;
        outcome.attach(wait);

        QCOMPARE(emitter.pendingTimers(), 1);
        QCOMPARE(emitter.findChild<QTimer*>()->isActive(), timeout > 0);
        QCOMPARE(wait.state(), DeferredDataBase::Pending);

        emit emitter.changed();
        QCOMPARE(outcome.done, 1);
        emit emitter.changed();
        QCOMPARE(outcome.done, 1);
        QCOMPARE(outcome.fail + outcome.failZero, 0);
        QTRY_COMPARE(emitter.pendingTimers(), 0);
        QVERIFY(log.texts(QtWarningMsg).isEmpty());
    }

    void timeoutRejects()
    {
        LogCapture log;
        Emitter emitter;
        QElapsedTimer clock;
        clock.start();
        const Deferred<> wait = Utils::waitSignal(&emitter, &Emitter::changed, 200);
        Outcome outcome;
        outcome.attach(wait);

        QTRY_COMPARE(wait.state(), DeferredDataBase::Rejected);
        QVERIFY(clock.elapsed() >= 190);
        QCOMPARE(outcome.fail, 1);
        QCOMPARE(outcome.failZero, 1);
        QCOMPARE(outcome.done, 0);

        emit emitter.changed();
        QCOMPARE(outcome.done, 0);
        QTRY_COMPARE(emitter.pendingTimers(), 0);
        QVERIFY(log.texts(QtWarningMsg).isEmpty());
    }

    void holderSettlingFirstEndsTheWait_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("timeout");
        for (const QString how : { "resolve", "reject", "rejectZero" }) {
            QTest::newRow(qPrintable(how + " with time-out")) << how << 10000;
            QTest::newRow(qPrintable(how + " no time-out")) << how << 0;
        }
    }

    void holderSettlingFirstEndsTheWait()
    {
        QFETCH(QString, how);
        QFETCH(int, timeout);
        LogCapture log;
        Emitter emitter;
        const int destroyedBefore = emitter.destroyedListeners();
        for (int i = 0; i < 100; ++i) {
            const Deferred<> wait = Utils::waitSignal(&emitter, &Emitter::changed, timeout);
            if (how == "resolve")
                wait.resolve();
            else if (how == "reject")
                wait.reject();
            else
                wait.rejectZero();
        }
        // Nothing of the 100 given-up waits stays on the object.
        QCOMPARE(emitter.changedListeners(), 0);
        QCOMPARE(emitter.destroyedListeners(), destroyedBefore);
        QTRY_COMPARE(emitter.pendingTimers(), 0);
        emit emitter.changed();
        QVERIFY(log.texts(QtWarningMsg).isEmpty());
    }

    void signalArgumentsAreDropped()
    {
        Emitter emitter;
        Outcome outcome;
        outcome.attach(Utils::waitSignal(&emitter, &Emitter::cardInserted, 1000));
        emit emitter.cardInserted(QSharedPointer<int>::create(4));
        QCOMPARE(outcome.done, 1);
    }

    void twoWaitsOnOneSignal()
    {
        Emitter emitter;
        Outcome first;
        Outcome second;
        first.attach(Utils::waitSignal(&emitter, &Emitter::changed, 1000));
        second.attach(Utils::waitSignal(&emitter, &Emitter::changed, 0));
        QCOMPARE(emitter.pendingTimers(), 2);
        emit emitter.changed();
        QCOMPARE(first.done, 1);
        QCOMPARE(second.done, 1);
    }

    void objectDestroyedBeforeSignalRejects_data()
    {
        QTest::addColumn<int>("timeout");
        QTest::newRow("with time-out") << 10000;
        QTest::newRow("no time-out") << 0;
    }

    void objectDestroyedBeforeSignalRejects()
    {
        QFETCH(int, timeout);
        LogCapture log;
        auto* emitter = new Emitter;
        const Deferred<> wait = Utils::waitSignal(emitter, &Emitter::changed, timeout);
        Outcome outcome;
        outcome.attach(wait);
        delete emitter;
        QCOMPARE(wait.state(), DeferredDataBase::Rejected);
        QCOMPARE(outcome.fail, 1);
        QCOMPARE(outcome.failZero, 1);
        QVERIFY(log.texts(QtWarningMsg).isEmpty());
    }

    void destroyingAfterTheSignalChangesNothing()
    {
        LogCapture log;
        auto* emitter = new Emitter;
        Outcome outcome;
        outcome.attach(Utils::waitSignal(emitter, &Emitter::changed, 0));
        emit emitter->changed();
        delete emitter;
        QCOMPARE(outcome.done, 1);
        QCOMPARE(outcome.fail, 0);
        QVERIFY(log.texts(QtWarningMsg).isEmpty());
    }

    void emissionFromAnotherThreadResolvesInObjectThread()
    {
        Emitter emitter;
        QThread* resolvedIn = nullptr;
        const Deferred<> wait = Utils::waitSignal(&emitter, &Emitter::changed, 10000);
        wait.done([&] { resolvedIn = QThread::currentThread(); });

        QScopedPointer<QThread> thread(QThread::create([&emitter] { emit emitter.changed(); }));
        thread->start();
        QVERIFY(thread->wait(10000));
        QTRY_COMPARE(wait.state(), DeferredDataBase::Resolved);
        QCOMPARE(resolvedIn, QThread::currentThread());
    }
};

QTEST_GUILESS_MAIN(TestWaitSignal)
#include "tst_wait_signal.moc"
