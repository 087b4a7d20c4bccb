#include "async/ThreadWorker.h"
#include "async/ThreadWorkerData.h"

#include "fakes/LogCapture.h"

#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTest>

#include <atomic>

// ThreadWorker: closures, loops, stopping, quitting and sharing.
class TestThreadWorker : public QObject
{
    Q_OBJECT

    // Waits until the worker thread has run everything posted before this call.
    static void sync(ThreadWorker& worker)
    {
        QSemaphore ran;
        QVERIFY(worker.execInThread([&ran] { ran.release(); }));
        QVERIFY(ran.tryAcquire(1, 10000));
    }

    static void quitAndWait(ThreadWorker& worker)
    {
        QPointer<QThread> thread = worker.getThread();
        const Deferred<> quit = worker.quitThread();
        QTRY_COMPARE(quit.state(), DeferredDataBase::Resolved);
        // The thread object deletes itself through the event loop.
        QTRY_VERIFY(thread.isNull());
    }

private slots:
    void closuresRunInTheWorkerThread()
    {
        ThreadWorker worker;
        std::atomic<int> idleSignals { 0 };
        connect(worker.data()->workerObject(), &ThreadWorkerObjectData::finishedProcessingCallbacks,
                worker.data()->workerObject(), [&] { ++idleSignals; }, Qt::DirectConnection);

        QThread* ranIn = nullptr;
        QSemaphore ran;
        QVERIFY(worker.execInThread([&] {
            ranIn = QThread::currentThread();
            ran.release();
        }));
        QVERIFY(ran.tryAcquire(1, 10000));
        QTRY_COMPARE(idleSignals.load(), 1);
        QCOMPARE(worker.data()->workerObject()->pendingCount(), 0);
        QCOMPARE(ranIn, worker.getThread());
        QVERIFY(ranIn != QThread::currentThread());
        quitAndWait(worker);
    }

    void threadIdNamesTheThreadObject()
    {
        ThreadWorker worker;
        const QString expected = QString::asprintf("QThread(0x%llx)",
            static_cast<unsigned long long>(reinterpret_cast<quintptr>(worker.getThread())));
        QCOMPARE(worker.getThreadId(), expected);
        QVERIFY(!worker.getThreadId().contains(QRegularExpression("[A-F]")));
        quitAndWait(worker);
    }

    void loopsRunUntilStopped()
    {
        ThreadWorker worker;
        std::atomic<int> calls { 0 };
        std::atomic<bool> wrongThread { false };
        QThread* const workerThread = worker.getThread();
        const int first = worker.startLoopInThread([&] {
            if (QThread::currentThread() != workerThread)
                wrongThread = true;
            ++calls;
        }, 10);
        QCOMPARE(first, 1);
        std::atomic<int> otherCalls { 0 };
        const int second = worker.startLoopInThread([&] { ++otherCalls; }, 10);
        QCOMPARE(second, 2);

        QTRY_VERIFY(calls >= 3);
        const Deferred<> stopped = worker.stopLoopInThread(first);
        QTRY_COMPARE(stopped.state(), DeferredDataBase::Resolved);
        const int atStop = calls;
        // The other loop keeps ticking, which shows time passing in the worker thread.
        const int otherAtStop = otherCalls;
        QTRY_VERIFY(otherCalls >= otherAtStop + 3);
        QCOMPARE(calls.load(), atStop);
        QVERIFY(!wrongThread);

        LogCapture log;
        const Deferred<> again = worker.stopLoopInThread(first);
        QTRY_COMPARE(again.state(), DeferredDataBase::Rejected);
        QCOMPARE(log.texts(QtWarningMsg), QStringList { "ThreadWorker::stopLoopInThread : Invalid loop Id." });

        // Ids are never reused.
        QCOMPARE(worker.startLoopInThread([] {}, 1000), 3);
        quitAndWait(worker);
    }

    void stopAllLoops()
    {
        ThreadWorker worker;
        const Deferred<> none = worker.stopAllLoopsInThread();
        QTRY_COMPARE(none.state(), DeferredDataBase::Resolved);

        std::atomic<int> calls { 0 };
        for (int i = 0; i < 3; ++i)
            worker.startLoopInThread([&] { ++calls; }, 5);
        QTRY_VERIFY(calls >= 6);
        int resolvedTimes = 0;
        const Deferred<> all = worker.stopAllLoopsInThread();
        all.done([&] { ++resolvedTimes; });
        QTRY_COMPARE(resolvedTimes, 1);
        sync(worker);
        const int atStop = calls;
        std::atomic<int> probe { 0 };
        worker.startLoopInThread([&] { ++probe; }, 5);
        QTRY_VERIFY(probe >= 3);
        QCOMPARE(calls.load(), atStop);
        QVERIFY(worker.data()->workerObject()->functionTable.size() == 1);
        quitAndWait(worker);
    }

    void copiesShareOneWorker()
    {
        ThreadWorker worker;
        ThreadWorker copy = worker;
        QCOMPARE(copy.getThread(), worker.getThread());
        std::atomic<int> calls { 0 };
        const int id = worker.startLoopInThread([&] { ++calls; }, 5);
        QTRY_VERIFY(calls >= 1);
        const Deferred<> stopped = copy.stopLoopInThread(id);
        QTRY_COMPARE(stopped.state(), DeferredDataBase::Resolved);
        quitAndWait(copy);
    }

    void quitRunsQueuedClosuresFirst()
    {
        ThreadWorker worker;
        QSemaphore entered;
        QSemaphore release;
        QStringList order;
        QMutex orderLock;
        const auto note = [&](const QString& what) {
            QMutexLocker locker(&orderLock);
            order << what;
        };
        worker.execInThread([&] {
            entered.release();
            release.acquire();
        });
        QVERIFY(entered.tryAcquire(1, 10000));
        worker.execInThread([&] { note("first"); });
        worker.execInThread([&] { note("second"); });

        connect(worker.getThread(), &QThread::finished, this, [&] { note("finished"); }, Qt::DirectConnection);
        const Deferred<> quit = worker.quitThread();
        quit.done([&] { note("resolved"); });
        release.release();
        QTRY_COMPARE(quit.state(), DeferredDataBase::Resolved);
        QTRY_COMPARE(order, QStringList({ "first", "second", "finished", "resolved" }));
    }

    void quitWithNothingPendingEndsAtOnce()
    {
        // Repeated: the worker may run its stop closure before quitThread has returned.
        for (int i = 0; i < 20; ++i) {
            ThreadWorker worker;
            if (i % 2)
                sync(worker);
            quitAndWait(worker);
        }
    }

    void quitFromAThreadThatEndsFirst()
    {
        ThreadWorker worker;
        QPointer<QThread> workerThread = worker.getThread();
        QSemaphore entered;
        QSemaphore release;
        QVERIFY(worker.execInThread([&] {
            entered.release();
            release.acquire();
        }));
        QVERIFY(entered.tryAcquire(1, 10000));

        // The caller quits and is gone (with its deferred callbacks) before the worker
        // gets to the stop.
        Deferred<> quit;
        QScopedPointer<QThread> caller(QThread::create([&] {
            ThreadWorker handle = worker;
            quit = handle.quitThread();
            quit.done([] {});
        }));
        caller->start();
        QVERIFY(caller->wait(10000));
        caller.reset();
        release.release();

        QTRY_COMPARE(quit.state(), DeferredDataBase::Resolved);
        QTRY_VERIFY(workerThread.isNull());
    }

    void quitOnAThreadThatNeverStarted()
    {
        QProcess probe;
        probe.setProgram(QStringLiteral(WORKER_START_PROBE));
        probe.start();
        QVERIFY(probe.waitForFinished(30000));
        const QString output = QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
        if (output != "quit resolved" && output != "quit pending")
            QSKIP(qPrintable("could not keep the worker thread from starting: " + output
                             + QString::fromUtf8(probe.readAllStandardError())));
        QCOMPARE(output, QStringLiteral("quit resolved"));
        QCOMPARE(probe.exitCode(), 0);
    }

    void refusesEverythingAfterQuit()
    {
        ThreadWorker worker;
        QPointer<QThread> thread = worker.getThread();
        const QString id = worker.getThreadId();
        const Deferred<> quit = worker.quitThread();

        QObject object;
        QVERIFY(!worker.execInThread([] {}));
        QCOMPARE(worker.startLoopInThread([] {}, 10), -1);
        QCOMPARE(worker.stopLoopInThread(1).state(), DeferredDataBase::Rejected);
        QCOMPARE(worker.stopAllLoopsInThread().state(), DeferredDataBase::Rejected);
        QVERIFY(!worker.moveQObjectToThread(&object));
        QCOMPARE(object.thread(), QThread::currentThread());
        QCOMPARE(worker.quitThread().state(), DeferredDataBase::Resolved);

        QTRY_COMPARE(quit.state(), DeferredDataBase::Resolved);
        QTRY_VERIFY(thread.isNull());
        // Still answers after the thread object is gone.
        QCOMPARE(worker.getThreadId(), id);
        QCOMPARE(worker.quitThread().state(), DeferredDataBase::Resolved);
        QVERIFY(!worker.execInThread([] {}));
    }

    void movesObjectsIntoTheThread()
    {
        ThreadWorker worker;
        auto* object = new QObject;
        QVERIFY(worker.moveQObjectToThread(object));
        QCOMPARE(object->thread(), worker.getThread());
        QVERIFY(worker.execInThread([object] { delete object; }));
        quitAndWait(worker);
    }

    void lastHandleGoneEndsTheThread()
    {
        QPointer<QThread> thread;
        {
            ThreadWorker worker;
            thread = worker.getThread();
            sync(worker);
        }
        QTRY_VERIFY(thread.isNull());
    }

    void deferredFromWorkerReachesCaller()
    {
        ThreadWorker worker;
        const Deferred<int> answer;
        QThread* heardIn = nullptr;
        int value = 0;
        answer.done([&](int v) {
            heardIn = QThread::currentThread();
            value = v;
        });
        worker.execInThread([answer] { answer.resolve(42); });
        QTRY_COMPARE(value, 42);
        QCOMPARE(heardIn, QThread::currentThread());
        quitAndWait(worker);
    }
};

QTEST_GUILESS_MAIN(TestThreadWorker)
#include "tst_thread_worker.moc"
