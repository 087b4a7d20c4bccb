#pragma once

#include <QEventLoop>
#include <QTimer>
#include <QtTest>

// Runs the event loop until the predicate holds, at most msec. QTest::qWaitFor
// and the QTRY_ macros sleep 10 ms between their passes over the pending
// events, and the MQTT session reads one packet a pass: every exchange with
// a fake would cost several sleeps. Here the loop runs on.
template <typename Predicate>
bool waitUntil(Predicate predicate, int msec = 5000)
{
    if (predicate())
        return true;
    QEventLoop loop;
    QTimer poll;
    // Other events of the pass that saw the predicate hold still run before exec() returns;
    // one of them may move the state on again (a timer starting the next request), and the
    // wait was for the moment, not for what follows it.
    bool held = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (predicate()) {
            held = true;
            loop.quit();
        }
    });
    QTimer::singleShot(msec, &loop, &QEventLoop::quit);
    poll.start(1);
    loop.exec();
    return held || predicate();
}

// QTRY_VERIFY and QTRY_COMPARE over waitUntil.
#define WAIT_VERIFY_WITH_TIMEOUT(expr, msec) \
    do { \
        waitUntil([&] { return bool(expr); }, msec); \
        QVERIFY(expr); \
    } while (false)
#define WAIT_VERIFY(expr) WAIT_VERIFY_WITH_TIMEOUT(expr, 5000)
#define WAIT_COMPARE(actual, expected) \
    do { \
        waitUntil([&] { return (actual) == (expected); }); \
        QCOMPARE(actual, expected); \
    } while (false)
