#include "terminal/SessionManager.h"

#include "app/Config.h"
#include "fakes/EventLoopWait.h"
#include "fakes/LogCapture.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class tst_SessionManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startsLoggedOut();
    void rightPin();
    void wrongPin_data();
    void wrongPin();
    void wrongPinKeepsActiveLogin();
    void wrongPinsDelayTheNextTry();
    void rightPinEndsTheDelays();
    void wrongPinsForgottenAfterAnHour_data();
    void wrongPinsForgottenAfterAnHour();
    void secondLoginRestartsCountdown();
    void pinChangeWhileLoggedIn();
    void emptyConfiguredPin();
    void expiry();
    void logout();
    void pinNeverLogged();

private:
    QTimer *loginTimer() { return m_manager->findChild<QTimer *>("loginTimer"); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Config> m_config;
    std::unique_ptr<SessionManager> m_manager;
};

void tst_SessionManager::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_config = std::make_unique<Config>(m_dir->filePath("gui.conf"),
                                        QMap<QString, QVariant>{{"gui/settingsPin", "8306"}, {"gui/locale", "el_GR"}});
    m_manager = std::make_unique<SessionManager>(*m_config);
}

void tst_SessionManager::cleanup()
{
    m_manager.reset();
    m_config.reset();
    m_dir.reset();
}

void tst_SessionManager::startsLoggedOut()
{
    QVERIFY(!m_manager->sessionActive());
    QVERIFY(!m_manager->user());
    QCOMPARE(m_manager->remainingTime(), -1);
}

void tst_SessionManager::rightPin()
{
    LogCapture log;
    QStringList order;
    connect(m_manager.get(), &SessionManager::accessGranted, this, [&] { order << "granted"; });
    connect(m_manager.get(), &SessionManager::sessionActiveChanged, this,
            [&] { order << (m_manager->sessionActive() ? "active" : "inactive"); });
    QSignalSpy denied(m_manager.get(), &SessionManager::accessDenied);

    m_manager->loginRequest("8306");
    QCOMPARE(order, (QStringList{"granted", "active"}));
    QCOMPARE(denied.count(), 0);
    QVERIFY(m_manager->sessionActive());
    QVERIFY(m_manager->remainingTime() > 590000);
    QVERIFY(m_manager->remainingTime() <= 601000); // whole seconds at this length

    const std::optional<User> user = m_manager->user();
    QVERIFY(user);
    QCOMPARE(user->id, 0);
    QCOMPARE(user->firstName, QString("VESK"));
    QCOMPARE(user->lastName, QString("Admin"));
    QCOMPARE(log.texts(QtInfoMsg), (QStringList{"[SessionManager] Login requested with PIN",
                                                "[SessionManager] User logged-in : VESK, Admin"}));
}

void tst_SessionManager::wrongPin_data()
{
    QTest::addColumn<QString>("pin");
    QTest::newRow("trailing space") << "8306 ";
    QTest::newRow("leading space") << " 8306";
    QTest::newRow("empty") << "";
    QTest::newRow("prefix") << "830";
    QTest::newRow("letter O") << "83O6";
}

void tst_SessionManager::wrongPin()
{
    QFETCH(QString, pin);
    LogCapture log;
    QSignalSpy granted(m_manager.get(), &SessionManager::accessGranted);
    QSignalSpy denied(m_manager.get(), &SessionManager::accessDenied);
    QSignalSpy active(m_manager.get(), &SessionManager::sessionActiveChanged);

    m_manager->loginRequest(pin);
    QCOMPARE(denied.count(), 1);
    QCOMPARE(granted.count(), 0);
    QCOMPARE(active.count(), 0);
    QVERIFY(!m_manager->sessionActive());
    QCOMPARE(m_manager->remainingTime(), -1);
    QCOMPARE(log.texts(QtWarningMsg), QStringList{"[SessionManager] WARN: User entered wrong pin"});
}

// From the fifth wrong PIN in a row on, every wrong PIN makes the next try wait:
// 30 s, doubled each time, at most 15 min. Tries within the wait are refused
// unchecked, the right PIN too, and do not lengthen it.
void tst_SessionManager::wrongPinsDelayTheNextTry()
{
    qint64 now = 1000000;
    m_manager->setClock([&now] { return now; });
    LogCapture log;
    QSignalSpy granted(m_manager.get(), &SessionManager::accessGranted);
    QSignalSpy denied(m_manager.get(), &SessionManager::accessDenied);
    QSignalSpy delayed(m_manager.get(), &SessionManager::accessDelayed);
    QSignalSpy started(m_manager.get(), &SessionManager::loginDelayStarted);

    for (int i = 0; i < 4; ++i)
        m_manager->loginRequest("1111");
    QCOMPARE(denied.count(), 4);
    QCOMPARE(delayed.count(), 0);
    QCOMPARE(m_manager->loginDelayRemaining(), 0);

    const QList<int> waits{30, 60, 120, 240, 480, 900, 900};
    int failures = 4;
    for (int wait : waits) {
        m_manager->loginRequest("1111");
        ++failures;
        QCOMPARE(denied.count(), failures);
        QCOMPARE(started.count(), 1);
        QCOMPARE(started.takeFirst(), (QVariantList{failures, wait}));
        QCOMPARE(delayed.takeLast().at(0).toInt(), wait);
        QCOMPARE(m_manager->loginDelayRemaining(), wait * 1000);
        QVERIFY(log.contains(QtWarningMsg, QString("[SessionManager] WARN: %1 wrong PINs in a row; next try in %2 s")
                                               .arg(failures).arg(wait)));

        // A second before the end: the right PIN is refused unchecked, the wait stays.
        now += wait * 1000 - 1000;
        m_manager->loginRequest("8306");
        QCOMPARE(granted.count(), 0);
        QVERIFY(!m_manager->sessionActive());
        QCOMPARE(denied.count(), failures);
        QCOMPARE(delayed.takeLast().at(0).toInt(), 1);
        QCOMPARE(started.count(), 0);
        QCOMPARE(m_manager->loginDelayRemaining(), 1000);
        now += 1000;
        QCOMPARE(m_manager->loginDelayRemaining(), 0);
    }
    QVERIFY(log.contains(QtWarningMsg, "[SessionManager] WARN: Login refused; next try in 1 s"));
}

// The right PIN once the wait is over logs in and starts the count afresh.
void tst_SessionManager::rightPinEndsTheDelays()
{
    qint64 now = 0;
    m_manager->setClock([&now] { return now; });
    QSignalSpy started(m_manager.get(), &SessionManager::loginDelayStarted);
    for (int i = 0; i < 6; ++i) {
        m_manager->loginRequest("1111");
        now += 60000;
    }
    QCOMPARE(started.count(), 2);
    m_manager->loginRequest("8306");
    QVERIFY(m_manager->sessionActive());
    m_manager->logoutRequest();

    started.clear();
    for (int i = 0; i < 4; ++i)
        m_manager->loginRequest("1111");
    QCOMPARE(started.count(), 0);
    QCOMPARE(m_manager->loginDelayRemaining(), 0);
    m_manager->loginRequest("1111");
    QCOMPARE(started.count(), 1);
    QCOMPARE(started.first().at(1).toInt(), 30);
}

void tst_SessionManager::wrongPinsForgottenAfterAnHour_data()
{
    QTest::addColumn<QList<int>>("pauses"); // ms before each further wrong PIN
    QTest::addColumn<QList<int>>("waits");  // the wait each of them starts, s (0: none)

    QTest::newRow("a millisecond short of the hour") << QList<int>{3599999} << QList<int>{60};
    QTest::newRow("an hour") << QList<int>{3600000} << QList<int>{0};
    QTest::newRow("forgotten, then counted afresh") << QList<int>{3600000, 1000, 1000, 1000, 1000}
                                                    << QList<int>{0, 0, 0, 0, 30};
    QTest::newRow("the hour runs from the latest wrong PIN") << QList<int>{3000000, 3000000}
                                                             << QList<int>{60, 120};
}

// Wrong PINs spread over weeks must not add up: an hour without one forgets the count, and
// the next typo is free again. The doubling and the cap within a burst stay.
void tst_SessionManager::wrongPinsForgottenAfterAnHour()
{
    QFETCH(QList<int>, pauses);
    QFETCH(QList<int>, waits);
    qint64 now = 5000000;
    m_manager->setClock([&now] { return now; });
    QSignalSpy started(m_manager.get(), &SessionManager::loginDelayStarted);
    QSignalSpy denied(m_manager.get(), &SessionManager::accessDenied);
    for (int i = 0; i < 5; ++i)
        m_manager->loginRequest("1111");
    QCOMPARE(started.count(), 1);
    started.clear();

    for (int i = 0; i < pauses.size(); ++i) {
        now += pauses.at(i);
        const int deniedBefore = denied.count();
        m_manager->loginRequest("1111");
        QCOMPARE(denied.count(), deniedBefore + 1); // looked at, not refused unchecked
        if (waits.at(i) == 0) {
            QVERIFY2(started.isEmpty(), qPrintable(QString("wrong PIN %1 started a wait").arg(i + 1)));
            QCOMPARE(m_manager->loginDelayRemaining(), 0);
        } else {
            QCOMPARE(started.count(), 1);
            QCOMPARE(started.takeFirst().at(1).toInt(), waits.at(i));
            QCOMPARE(m_manager->loginDelayRemaining(), waits.at(i) * 1000);
        }
    }
}

void tst_SessionManager::wrongPinKeepsActiveLogin()
{
    m_manager->loginRequest("8306");
    QTimer *timer = loginTimer();
    QVERIFY(timer);
    timer->start(400000); // a countdown a wrong PIN must not restart
    QSignalSpy active(m_manager.get(), &SessionManager::sessionActiveChanged);

    m_manager->loginRequest("0000");
    QVERIFY(m_manager->sessionActive());
    QCOMPARE(active.count(), 0);
    QVERIFY(m_manager->remainingTime() <= 401000); // whole seconds at this length
}

void tst_SessionManager::secondLoginRestartsCountdown()
{
    QSignalSpy granted(m_manager.get(), &SessionManager::accessGranted);
    QSignalSpy active(m_manager.get(), &SessionManager::sessionActiveChanged);
    m_manager->loginRequest("8306");
    loginTimer()->start(1000);
    QVERIFY(m_manager->remainingTime() < 2000); // coarse timers may end a little late

    m_manager->loginRequest("8306");
    QCOMPARE(granted.count(), 2);
    QCOMPARE(active.count(), 2);
    QVERIFY(m_manager->remainingTime() > 590000);
}

// The log-in survives the rebuild of the user list, and the operator record
// stays whole (held by value, not pointing into the old list).
void tst_SessionManager::pinChangeWhileLoggedIn()
{
    m_manager->loginRequest("8306");
    QSignalSpy active(m_manager.get(), &SessionManager::sessionActiveChanged);

    m_config->set("gui/settingsPin", "4711");
    m_config->set("gui/locale", "en_US"); // any change rebuilds the list
    QVERIFY(m_manager->sessionActive());
    QCOMPARE(active.count(), 0);
    const std::optional<User> user = m_manager->user();
    QVERIFY(user);
    QCOMPARE(user->firstName, QString("VESK"));
    QCOMPARE(user->lastName, QString("Admin"));
    QCOMPARE(user->pin, QString("4711"));

    QSignalSpy denied(m_manager.get(), &SessionManager::accessDenied);
    QSignalSpy granted(m_manager.get(), &SessionManager::accessGranted);
    m_manager->loginRequest("8306");
    QCOMPARE(denied.count(), 1);
    m_manager->loginRequest("4711");
    QCOMPARE(granted.count(), 1);
}

void tst_SessionManager::emptyConfiguredPin()
{
    m_config->set("gui/settingsPin", "");
    QSignalSpy granted(m_manager.get(), &SessionManager::accessGranted);
    m_manager->loginRequest("8306");
    QCOMPARE(granted.count(), 0);
    m_manager->loginRequest("");
    QCOMPARE(granted.count(), 1);
}

void tst_SessionManager::expiry()
{
    LogCapture log;
    QSignalSpy expired(m_manager.get(), &SessionManager::expired);
    QSignalSpy active(m_manager.get(), &SessionManager::sessionActiveChanged);
    m_manager->loginRequest("8306");
    QCOMPARE(loginTimer()->interval(), 600000);
    QVERIFY(loginTimer()->isSingleShot());

    loginTimer()->start(50); // the ten minutes, shortened
    QVERIFY(active.wait(5000));
    QCOMPARE(active.count(), 2);
    QVERIFY(!m_manager->sessionActive());
    QVERIFY(!m_manager->user());
    QCOMPARE(m_manager->remainingTime(), -1);
    QCOMPARE(expired.count(), 0);
    QVERIFY(log.contains(QtWarningMsg, "[SessionManager] Session expired"));
    QVERIFY(log.contains(QtInfoMsg, "[SessionManager] User logged-out : VESK, Admin"));
}

void tst_SessionManager::logout()
{
    QSignalSpy active(m_manager.get(), &SessionManager::sessionActiveChanged);
    m_manager->logoutRequest();
    QCOMPARE(active.count(), 0);

    m_manager->loginRequest("8306");
    m_manager->logoutRequest();
    QCOMPARE(active.count(), 2);
    QVERIFY(!m_manager->sessionActive());
    QCOMPARE(m_manager->remainingTime(), -1);
    m_manager->logoutRequest();
    QCOMPARE(active.count(), 2);
}

// Neither the typed PIN nor the configured one reaches any log line.
void tst_SessionManager::pinNeverLogged()
{
    m_config->set("gui/settingsPin", "271828");
    LogCapture log;
    m_manager->loginRequest("314159");
    m_manager->loginRequest("271828");
    m_manager->logoutRequest();
    const QString all = log.texts().join('\n');
    QVERIFY2(!all.contains("314159"), qPrintable(all));
    QVERIFY2(!all.contains("271828"), qPrintable(all));
    QVERIFY(log.contains(QtDebugMsg, "[SessionManager] Entered PIN    : ****"));
}

QTEST_GUILESS_MAIN(tst_SessionManager)
#include "tst_SessionManager.moc"
