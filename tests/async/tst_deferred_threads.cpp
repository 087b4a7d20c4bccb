#include "async/Deferred.h"

#include "EventThread.h"

#include <QPointer>
#include <QProcess>
#include <QSemaphore>
#include <QTest>

#include <atomic>

// Delivery of callbacks to the thread that registered them.
class TestDeferredThreads : public QObject
{
    Q_OBJECT

private slots:
    void oneProxyObjectPerThread()
    {
        EventThread worker;
        DeferredProxyObject* mainProxy = DeferredDataBase::getObjectForThread(QThread::currentThread());
        QCOMPARE(DeferredDataBase::getObjectForThread(QThread::currentThread()), mainProxy);

        DeferredProxyObject* workerProxy = nullptr;
        DeferredProxyObject* again = nullptr;
        worker.run([&] {
            workerProxy = DeferredDataBase::getObjectForThread(QThread::currentThread());
            again = DeferredDataBase::getObjectForThread(QThread::currentThread());
        });
        QVERIFY(workerProxy);
        QCOMPARE(again, workerProxy);
        QVERIFY(workerProxy != mainProxy);
        QCOMPARE(workerProxy->thread(), worker.thread());

        QPointer<DeferredProxyObject> watch = workerProxy;
        worker.stop();
        QVERIFY(watch.isNull());
        QCOMPARE(DeferredDataBase::findObjectForThread(worker.thread()), nullptr);
        QCOMPARE(DeferredDataBase::findObjectForThread(QThread::currentThread()), mainProxy);
    }

    void proxyObjectRunsOnlyItsOwnEvents()
    {
        DeferredProxyObject* proxy = DeferredDataBase::getObjectForThread(QThread::currentThread());
        QObject plain;
        for (const QEvent::Type type : { QEvent::MouseButtonPress, QEvent::User, QEvent::Type(QEvent::User + 5) }) {
            QEvent other(type);
            QCOMPARE(proxy->event(&other), plain.event(&other));
        }

        bool ran = false;
        DeferredProxyEvent delivery;
        QCOMPARE(int(delivery.type()), 1123);
        delivery.closure = [&] { ran = true; };
        QVERIFY(proxy->event(&delivery));
        QVERIFY(ran);
    }

    void callbackRunsInItsRegisteringThread_data()
    {
        QTest::addColumn<bool>("registerInWorker");
        QTest::newRow("registered in worker, settled in main") << true;
        QTest::newRow("registered in main, settled in worker") << false;
    }

    void callbackRunsInItsRegisteringThread()
    {
        QFETCH(bool, registerInWorker);
        EventThread worker;
        QThread* const mainThread = QThread::currentThread();
        QThread* const registeringThread = registerInWorker ? worker.thread() : mainThread;

        const Deferred<int, QString> deferred;
        std::atomic<int> doneRuns { 0 };
        std::atomic<int> zeroRuns { 0 };
        QThread* doneThread = nullptr;
        QThread* zeroThread = nullptr;
        int value = 0;
        QString text;

        const auto registerAll = [&] {
            deferred.done([&](int v, QString s) {
                value = v;
                text = s;
                doneThread = QThread::currentThread();
                ++doneRuns;
            });
            deferred.data()->doneZero([&] {
                zeroThread = QThread::currentThread();
                ++zeroRuns;
            }, Qt::AutoConnection);
        };
        const auto settle = [&] { deferred.resolve(8, "eight"); };

        if (registerInWorker) {
            worker.run(registerAll);
            settle();
        } else {
            registerAll();
            worker.run(settle);
        }
        QTRY_COMPARE(doneRuns.load(), 1);
        QTRY_COMPARE(zeroRuns.load(), 1);
        QCOMPARE(doneThread, registeringThread);
        QCOMPARE(zeroThread, registeringThread);
        QCOMPARE(value, 8);
        QCOMPARE(text, QString("eight"));
    }

    void directCallbackRunsInTheSettlingThread()
    {
        EventThread worker;
        const Deferred<> deferred;
        QThread* ranIn = nullptr;
        deferred.done([&] { ranIn = QThread::currentThread(); }, Qt::DirectConnection);
        worker.run([&] {
            deferred.resolve();
            QCOMPARE(ranIn, QThread::currentThread());
        });
        QCOMPARE(ranIn, worker.thread());
    }

    void postedProgressKeepsEachNotifiedValue()
    {
        EventThread worker;
        const Deferred<int> deferred;
        QList<int> seen;
        deferred.progress([&](int v) { seen << v; });
        deferred.done([&](int v) { seen << -v; });
        worker.run([&] {
            deferred.notify(1);
            deferred.notify(2);
            deferred.notify(3);
            deferred.resolve(4);
        });
        QTRY_COMPARE(seen, QList<int>({ 1, 2, 3, -4 }));
    }

    void eachRegisteringThreadGetsItsOwnSet()
    {
        EventThread worker;
        const Deferred<> deferred;
        deferred.done([] {});
        deferred.fail([] {});
        worker.run([&] { deferred.done([] {}); });
        QCOMPARE(deferred.data()->threadCallbacks.size(), 2);
        QCOMPARE(deferred.data()->proxyConnections.size(), 2);
        QVERIFY(deferred.data()->threadCallbacks.contains(worker.thread()));
    }

    void callbacksOfAFinishedThreadAreDropped()
    {
        auto token = QSharedPointer<int>::create(0);
        QWeakPointer<int> watch = token;
        std::atomic<int> runs { 0 };
        const Deferred<int> deferred;
        {
            EventThread worker;
            worker.run([&] {
                const auto count = [&runs, token](int) { ++runs; };
                deferred.done(count);
                deferred.done(count, Qt::DirectConnection);
                deferred.data()->doneZero([&runs, token] { ++runs; }, Qt::AutoConnection);
            });
            token.reset();
            QThread* const gone = worker.thread();
            worker.stop();

            // The set left the deferred with the thread's proxy object; nothing was recreated.
            QVERIFY(!deferred.data()->threadCallbacks.contains(gone));
            deferred.resolve(1);
            QCOMPARE(DeferredDataBase::findObjectForThread(gone), nullptr);
            QVERIFY(!watch.isNull());
        }
        // With the thread object gone, so are the callbacks it left behind.
        QVERIFY(watch.isNull());
        QCoreApplication::processEvents();
        QCOMPARE(runs.load(), 0);
    }

    void endingThreadGetsNoNewProxyFromSettling()
    {
        // Settled while the ending thread's proxy has left the registry but still exists:
        // its callbacks must not run in the settling thread through some new proxy.
        EventThread worker;
        QThread* const ending = worker.thread();
        const Deferred<int> deferred;
        std::atomic<int> runs { 0 };
        worker.run([&] {
            deferred.done([&](int) { ++runs; });
            deferred.done([&](int) { ++runs; }, Qt::QueuedConnection);
        });

        QSemaphore finishing;
        QSemaphore settled;
        connect(ending, &QThread::finished, ending, [&] {
            finishing.release();
            settled.acquire();
        }, Qt::DirectConnection);
        ending->quit();
        finishing.acquire();

        QCOMPARE(DeferredDataBase::findObjectForThread(ending), nullptr);
        QVERIFY(deferred.data()->threadCallbacks.contains(ending));
        deferred.resolve(1);
        QCOMPARE(DeferredDataBase::findObjectForThread(ending), nullptr);
        settled.release();
        worker.stop();

        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCOMPARE(runs.load(), 0);
        QVERIFY(!deferred.data()->threadCallbacks.contains(ending));
    }

    void exitMessageOnlyWhenUsed_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("expected");
        QTest::newRow("callbacks registered") << "register" << 1;
        QTest::newRow("never used") << "none" << 0;
    }

    void exitMessageOnlyWhenUsed()
    {
        QFETCH(QString, mode);
        QFETCH(int, expected);
        QProcess probe;
        probe.setProgram(QStringLiteral(DEFERRED_EXIT_PROBE));
        probe.setArguments({ mode });
        probe.start();
        QVERIFY(probe.waitForFinished(30000));
        QCOMPARE(probe.exitCode(), 0);
        const QString output = QString::fromUtf8(probe.readAllStandardError());
        QCOMPARE(output.count("DeferredDataBase was deleted."), expected);
    }
};

QTEST_GUILESS_MAIN(TestDeferredThreads)
#include "tst_deferred_threads.moc"
