#include "ControllerRig.h"

#include "terminal/Event.h"

#include "fakes/CoarseTimer.h"
#include "fakes/LogCapture.h"

#include <QSignalSpy>

#include <climits>

namespace {

const QString Vending = QStringLiteral("KTV52817");
const QString Collection = QStringLiteral("KTW4163");
const QString Marker = QStringLiteral("<marker>");

} // namespace

class tst_ScreenFlow : public ControllerTestCase
{
    Q_OBJECT

private slots:
    void screenFlow_data();
    void screenFlow();
    void loginPageTimesOut_data();
    void loginPageTimesOut();
    void sameScreenAgain();
    void displayOffTimer_data();
    void displayOffTimer();
    void brokerLost();
    void sessionAndBrokerOnEveryPath_data();
    void sessionAndBrokerOnEveryPath();
    void operatorScreensLeftWhileStopped_data();
    void operatorScreensLeftWhileStopped();
    void selfTestResultAfterTheRestart_data();
    void selfTestResultAfterTheRestart();
    void powerRequests_data();
    void powerRequests();
    void powerRequestNotSent();
    void powerRequestAndTheServiceState_data();
    void powerRequestAndTheServiceState();
    void logInAndOutAreLogged();
    // Last: once the application has been told to exit, no event loop of this process runs again.
    void exitRequest();

private:
    // The rig with its terminal stopped in Ready, so that nothing but the test moves it.
    bool readyRig(const QString &model, const QString &extraConfig = QString());
    bool readyRig(const ControllerSetup &setup);
};

bool tst_ScreenFlow::readyRig(const QString &model, const QString &extraConfig)
{
    ControllerSetup setup;
    setup.model = model;
    setup.extraConfig = extraConfig;
    return readyRig(setup);
}

bool tst_ScreenFlow::readyRig(const ControllerSetup &setup)
{
    if (!rig(setup).start() || !m_rig->typeKnown())
        return false;
    Terminal &terminal = m_rig->manager->terminal();
    terminal.stop();
    terminal.setState(Terminal::Ready, QString());
    return terminal.state() == Terminal::Ready && terminal.session()->state() == Session::Stopped;
}

void tst_ScreenFlow::screenFlow_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<QString>("startScreen"); // the screen before the input ("" the idle screen)
    QTest::addColumn<int>("terminalState");   // -1: left Ready
    QTest::addColumn<int>("sessionFrom");     // -1: the session is not moved
    QTest::addColumn<int>("session");
    QTest::addColumn<bool>("buttonPressed");
    QTest::addColumn<QString>("sessionError");
    QTest::addColumn<int>("maintenance"); // clock requests for the maintenance screen
    QTest::addColumn<QString>("screen");
    QTest::addColumn<QString>("message"); // Marker: unchanged
    QTest::addColumn<int>("timer");       // the screen timer's interval, -1 when it does not run

    const int S = Session::Stopped, I = Session::Idle, D = Session::DataCollect, W = Session::WaitUser,
              P = Session::Permission, C = Session::CardProcess, WC = Session::WaitCollect, X = Session::Exit,
              PX = Session::PostExit, E = Session::Error;

    // The terminal's state and type.
    QTest::newRow("Init: busy, again after 30 s") << "" << false << "" << int(Terminal::Init) << -1 << -1 << false << ""
                                                  << 0 << "Busy" << Marker << 30000;
    QTest::newRow("Ready vending") << Vending << false << "Busy" << int(Terminal::Ready) << -1 << -1 << false << ""
                                   << 0 << "DispenseScreen" << Marker << -1;
    QTest::newRow("Ready collection") << Collection << false << "Busy" << int(Terminal::Ready) << -1 << -1 << false
                                      << "" << 0 << "CollectScreen" << Marker << -1;
    QTest::newRow("Ready without a type") << "" << false << "Busy" << int(Terminal::Ready) << -1 << -1 << false << ""
                                          << 0 << "CollectScreen" << Marker << -1;
    QTest::newRow("Error") << Vending << false << "" << int(Terminal::Error) << -1 << -1 << false << "" << 0
                           << "OutOfOrder" << Marker << -1;
    QTest::newRow("Busy leaves the screen") << Vending << false << "" << int(Terminal::Busy) << -1 << -1 << false << ""
                                            << 0 << "DispenseScreen" << Marker << -1;
    QTest::newRow("Stopped leaves the screen") << Vending << false << "" << int(Terminal::Stopped) << -1 << -1 << false
                                               << "" << 0 << "DispenseScreen" << Marker << -1;
    // The log-in page keeps its time-out whatever the terminal does meanwhile.
    QTest::newRow("Error keeps the log-in page") << Vending << false << "Login" << int(Terminal::Error) << -1 << -1
                                                 << false << "" << 0 << "Login" << Marker << 15000;
    QTest::newRow("Busy keeps the log-in page") << Vending << false << "Login" << int(Terminal::Busy) << -1 << -1
                                                << false << "" << 0 << "Login" << Marker << 15000;
    QTest::newRow("Ready leaves the log-in page") << Vending << false << "Login" << int(Terminal::Ready) << -1 << -1
                                                  << false << "" << 0 << "DispenseScreen" << Marker << -1;
    QTest::newRow("operator: Error keeps Settings") << Vending << true << "Settings" << int(Terminal::Error) << -1
                                                    << -1 << false << "" << 0 << "Settings" << Marker << -1;
    QTest::newRow("operator: Init keeps Settings") << Vending << true << "Settings" << int(Terminal::Init) << -1 << -1
                                                   << false << "" << 0 << "Settings" << Marker << -1;

    // The session's state, on a vending terminal in Ready.
    QTest::newRow("Idle") << Vending << false << "Busy" << -1 << S << I << false << "" << 0 << "DispenseScreen" << ""
                          << -1;
    QTest::newRow("Idle on collection") << Collection << false << "Busy" << -1 << S << I << false << "" << 0
                                        << "CollectScreen" << "" << -1;
    QTest::newRow("DataCollect") << Vending << false << "" << -1 << I << D << false << "" << 0 << "DispenseScreen" << ""
                                 << -1;
    QTest::newRow("DataCollect, button pressed") << Vending << false << "" << -1 << I << D << true << "" << 0 << "Busy"
                                                 << "Please wait" << -1;
    QTest::newRow("WaitUser") << Vending << false << "" << -1 << D << W << false << "" << 0 << "DispenseScreen" << ""
                              << -1;
    QTest::newRow("Permission") << Vending << false << "" << -1 << W << P << true << "" << 0 << "Busy" << "Please wait"
                                << -1;
    QTest::newRow("CardProcess") << Vending << false << "" << -1 << P << C << true << "" << 0 << "Busy"
                                 << "Please wait" << -1;
    QTest::newRow("WaitCollect") << Vending << false << "" << -1 << C << WC << true << "" << 0 << "Success"
                                 << "Please collect your card" << -1;
    QTest::newRow("Exit") << Vending << false << "" << -1 << WC << X << true << "" << 0 << "Success" << "Thank you"
                          << -1;
    QTest::newRow("PostExit") << Vending << false << "" << -1 << X << PX << true << "" << 0 << "Success" << "Thank you"
                              << -1;
    QTest::newRow("Error") << Vending << false << "" << -1 << C << E << true << "Card write failed" << 0
                           << "ErrorScreen" << "Card write failed" << -1;
    QTest::newRow("Error without a text") << Vending << false << "" << -1 << C << E << true << "" << 0 << "ErrorScreen"
                                          << "" << -1;
    QTest::newRow("Stopped changes nothing") << Vending << false << "Success" << -1 << WC << S << true << "" << 0
                                             << "Success" << Marker << -1;
    // Busy for Init keeps its time-out when a session asks for Busy again.
    QTest::newRow("Permission during Init's busy") << Vending << false << "" << int(Terminal::Init) << W << P << true
                                                   << "" << 0 << "Busy" << "Please wait" << 30000;
    QTest::newRow("operator: WaitCollect replaces Settings") << Vending << true << "Settings" << -1 << C << WC << true
                                                             << "" << 0 << "Success" << "Please collect your card"
                                                             << -1;
    QTest::newRow("operator: Idle keeps Settings") << Vending << true << "Settings" << -1 << PX << I << true << ""
                                                   << 0 << "Settings" << "" << -1;

    // The maintenance entry (the clock's taps or a held press).
    QTest::newRow("clock: log-in page for 15 s") << Vending << false << "" << -1 << -1 << -1 << false << "" << 1
                                                 << "Login" << Marker << 15000;
    QTest::newRow("clock again: back to idle") << Vending << false << "" << -1 << -1 << -1 << false << "" << 2
                                               << "DispenseScreen" << Marker << -1;
    QTest::newRow("clock, logged in: settings") << Vending << true << "Success" << -1 << -1 << -1 << false << "" << 1
                                                << "Settings" << Marker << -1;
    QTest::newRow("clock on OutOfOrder") << Vending << false << "OutOfOrder" << -1 << -1 << -1 << false << "" << 1
                                         << "Login" << Marker << 15000;
}

void tst_ScreenFlow::screenFlow()
{
    QFETCH(QString, model);
    QFETCH(bool, loggedIn);
    QFETCH(QString, startScreen);
    QFETCH(int, terminalState);
    QFETCH(int, sessionFrom);
    QFETCH(int, session);
    QFETCH(bool, buttonPressed);
    QFETCH(QString, sessionError);
    QFETCH(int, maintenance);
    QFETCH(QString, screen);
    QFETCH(QString, message);
    QFETCH(int, timer);

    QVERIFY(readyRig(model));
    GUIManager &manager = *m_rig->manager;
    Terminal &terminal = manager.terminal();
    Session *record = terminal.session();

    if (loggedIn) {
        manager.settingsLoginRequest(QStringLiteral("8306"));
        QVERIFY(manager.sessionManager().sessionActive());
    }
    // A state to come from, so that the input is a change.
    if (terminalState == Terminal::Ready)
        terminal.setState(Terminal::Busy, QString());
    if (sessionFrom >= 0)
        record->setState(Session::State(sessionFrom));
    manager.setIdleScreen();
    if (startScreen == QLatin1String("Login"))
        manager.setMaintenanceScreen();
    else if (!startScreen.isEmpty())
        manager.setScreen(startScreen);
    if (!startScreen.isEmpty())
        QCOMPARE(manager.screen(), startScreen);

    record->setButtonPressed(buttonPressed);
    record->setError(sessionError);
    manager.setMessage(Marker);

    if (terminalState >= 0)
        terminal.setState(Terminal::State(terminalState), terminalState == Terminal::Ready ? QString() : "reason");
    if (session >= 0)
        record->setState(Session::State(session));
    for (int i = 0; i < maintenance; ++i)
        manager.setMaintenanceScreen();

    QCOMPARE(manager.screen(), screen);
    QCOMPARE(manager.message(), message);
    QCOMPARE(manager.screenTimer().isActive() ? manager.screenTimer().interval() : -1, timer);
}

void tst_ScreenFlow::loginPageTimesOut_data()
{
    QTest::addColumn<int>("terminalState");
    QTest::addColumn<QString>("screen");
    QTest::newRow("terminal ready throughout") << -1 << "DispenseScreen";
    QTest::newRow("terminal out of order meanwhile") << int(Terminal::Error) << "OutOfOrder";
}

// Without a grant the log-in page leaves when its time is up, to whatever the terminal
// shows then.
void tst_ScreenFlow::loginPageTimesOut()
{
    QFETCH(int, terminalState);
    QFETCH(QString, screen);
    QVERIFY(readyRig(Vending));
    GUIManager &manager = *m_rig->manager;
    manager.setMaintenanceScreen();
    QCOMPARE(manager.screen(), QString("Login"));
    if (terminalState >= 0)
        manager.terminal().setState(Terminal::State(terminalState), "Dispenser jammed");
    QCOMPARE(manager.screen(), QString("Login"));
    QCOMPARE(manager.screenTimer().interval(), 15000);
    QVERIFY(manager.screenTimer().isActive());

    LogCapture log;
    manager.screenTimer().start(1); // its time is up
    WAIT_COMPARE(manager.screen(), screen);
    QVERIFY(log.contains(QtInfoMsg, "[GUIManager] Screen timeout : Login"));
}

void tst_ScreenFlow::sameScreenAgain()
{
    QVERIFY(readyRig(Vending));
    GUIManager &manager = *m_rig->manager;
    QSignalSpy changed(&manager, &GUIManager::screenChanged);

    manager.setScreen("Busy", 30000);
    QCOMPARE(changed.count(), 1);
    // The same screen without a time-out: nothing, and the time-out runs on.
    manager.setScreen(QStringLiteral("Busy"));
    QCOMPARE(changed.count(), 1);
    QVERIFY(manager.screenTimer().isActive());
    // With a time-out: announced again, the timer restarted.
    manager.setScreen("Busy", 5000);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(manager.screenTimer().interval(), 5000);
    // Another screen without a time-out stops it.
    manager.setScreen(QStringLiteral("Success"));
    QCOMPARE(changed.count(), 3);
    QVERIFY(!manager.screenTimer().isActive());
}

void tst_ScreenFlow::displayOffTimer_data()
{
    QTest::addColumn<int>("minutes");
    QTest::addColumn<int>("interval"); // -1: not started
    QTest::addColumn<QString>("warning");

    QTest::newRow("3 minutes") << 3 << 180000 << "";
    QTest::newRow("off") << 0 << -1 << "";
    QTest::newRow("negative is off") << -5 << -1 << "";
    QTest::newRow("the most a timer holds") << 35791 << 35791 * 60000 << "";
    QTest::newRow("beyond: clamped, never wrapped") << 86400 << INT_MAX
                                                    << "[GUIManager] WARN: Display OFF interval of 86400 min(s) is beyond what a timer holds; using 35791 min(s)";
}

void tst_ScreenFlow::displayOffTimer()
{
    QFETCH(int, minutes);
    QFETCH(int, interval);
    QFETCH(QString, warning);
    QVERIFY(readyRig(Vending, QStringLiteral("[gui]\ndisplayOffMin=%1\n").arg(minutes)));
    GUIManager &manager = *m_rig->manager;
    QCOMPARE(manager.displayOffMin(), minutes);
    QTimer &timer = manager.displayOffTimer();

    LogCapture log;
    manager.terminal().setState(Terminal::Error, "Dispenser jammed");
    QCOMPARE(manager.screen(), QString("OutOfOrder"));
    QCOMPARE(timer.isActive() ? timer.interval() : -1, interval);
    if (interval > 0)
        QVERIFY(log.contains(QtInfoMsg, QStringLiteral("[GUIManager] Staring Display OFF timer : %1 min(s)")
                                            .arg(qMin(minutes, 35791))));
    if (!warning.isEmpty())
        QVERIFY(log.contains(QtWarningMsg, warning));

    // Leaving the screen stops it.
    manager.terminal().setState(Terminal::Ready, QString());
    QCOMPARE(manager.screen(), QString("DispenseScreen"));
    QVERIFY(!timer.isActive());
    QCOMPARE(log.contains(QtInfoMsg, "[GUIManager] Stopping Display OFF timer."), interval > 0);

    if (interval > 0) {
        // At the end only the warning: no device is switched off.
        manager.terminal().setState(Terminal::Error, "Dispenser jammed");
        timer.start(1);
        QVERIFY(waitUntil([&] { return log.contains(QtWarningMsg, "WARN: Turning off Display due to inactivity."); }));
        QCOMPARE(manager.screen(), QString("OutOfOrder"));
    }
}

// The broker gone: out of order with "Disconnected", never over the log-in page; back: the idle screen.
void tst_ScreenFlow::brokerLost()
{
    TestBroker broker;
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    ControllerSetup setup;
    setup.model = Vending;
    m_rig = std::make_unique<ControllerRig>(broker, setup);
    QVERIFY(m_rig->start());
    QVERIFY(m_rig->typeKnown());
    GUIManager &manager = *m_rig->manager;
    manager.terminal().stop();
    manager.terminal().setState(Terminal::Ready, QString());

    manager.setMaintenanceScreen();
    LogCapture log;
    broker.stop();
    WAIT_VERIFY(!manager.mqtt().isConnected());
    QVERIFY(log.contains(QtWarningMsg, "[GUIManager] WARN: Disconnected from MQTT broker"));
    QCOMPARE(manager.screen(), QString("Login"));

    manager.setIdleScreen();
    QCOMPARE(manager.screen(), QString("Login"));
    // The page's time up: out of order at once, not the idle screen until the next attempt fails.
    manager.screenTimer().start(1);
    WAIT_VERIFY(manager.screen() != QLatin1String("Login"));
    QCOMPARE(manager.screen(), QString("OutOfOrder"));
    QCOMPARE(manager.message(), QString("Disconnected"));
    manager.setOutOfOrderScreen(QStringLiteral("Disconnected"));
    QCOMPARE(manager.screen(), QString("OutOfOrder"));
    QCOMPARE(manager.message(), QString("Disconnected"));

    QVERIFY(broker.start());
    WAIT_VERIFY_WITH_TIMEOUT(manager.mqtt().isConnected(), 15000);
    QCOMPARE(manager.screen(), QString("DispenseScreen"));
    m_rig.reset();
}

void tst_ScreenFlow::sessionAndBrokerOnEveryPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("cardInMouth"); // a session waits for its driver to take the card
    QTest::addColumn<bool>("brokerDown");  // the broker is gone before the path is taken
    QTest::addColumn<QString>("screen");
    QTest::addColumn<QString>("message");

    const QString collect = QStringLiteral("Please collect your card");
    const QStringList paths{"Logout", "log-in period ends", "PIN page times out", "clock again on the PIN page",
                            "terminal out of order", "terminal initialising", "terminal ready again",
                            "terminal type", "broker lost"};
    // Whatever leaves the operator's screens or follows the terminal: the driver with a card
    // in the mouth is still asked to take it.
    for (const QString &path : paths)
        QTest::newRow(qPrintable("card waits: " + path)) << path << true << false << "Success" << collect;
    for (const char *path : {"Logout", "log-in period ends", "PIN page times out", "broker back"})
        QTest::newRow(qPrintable(QStringLiteral("card waits, broker gone: ") + path)) << path << true << true
                                                                                      << "Success" << collect;
    // With nothing under way and the broker gone, out of order at once.
    for (const QString &path : paths) {
        if (path != QLatin1String("broker lost"))
            QTest::newRow(qPrintable("broker gone: " + path)) << path << false << true << "OutOfOrder" << "Disconnected";
    }
    QTest::newRow("broker gone: session over") << "session over" << false << true << "OutOfOrder" << "Disconnected";
    // The driver presses the button (on a collection lane: inserts a card) while the cameras
    // still read: the session is under way from then on, though its state stays.
    QTest::newRow("button pressed while data is collected") << "button while collecting" << false << false << "Busy"
                                                            << "Please wait";
    QTest::newRow("broker gone: button pressed while data is collected")
        << "button while collecting" << false << true << "Busy" << "Please wait";
    QTest::newRow("broker gone: broker back") << "broker back" << false << true << "DispenseScreen" << "Disconnected";
}

// Every path that changes the driver's screen takes it from the one rule: the session's own
// screen while a session is under way, else out of order while the broker is gone, else the
// terminal's screen.
void tst_ScreenFlow::sessionAndBrokerOnEveryPath()
{
    QFETCH(QString, path);
    QFETCH(bool, cardInMouth);
    QFETCH(bool, brokerDown);
    QFETCH(QString, screen);
    QFETCH(QString, message);

    TestBroker broker;
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    ControllerSetup setup;
    setup.model = Vending;
    m_rig = std::make_unique<ControllerRig>(broker, setup);
    QVERIFY(m_rig->start());
    QVERIFY(m_rig->typeKnown());
    GUIManager &manager = *m_rig->manager;
    Terminal &terminal = manager.terminal();
    Session *record = terminal.session();
    terminal.stop();
    terminal.setState(Terminal::Ready, QString());

    const bool operatorIn = path == QLatin1String("Logout") || path == QLatin1String("log-in period ends");
    const bool pinPage = path.startsWith(QLatin1String("PIN page")) || path.contains(QLatin1String("on the PIN page"));
    if (operatorIn) {
        manager.settingsLoginRequest(QStringLiteral("8306"));
        manager.setScreen(QStringLiteral("Settings"));
    }
    if (cardInMouth) {
        record->setButtonPressed(true);
        record->setState(Session::CardProcess);
        record->setState(Session::WaitCollect);
        QCOMPARE(manager.screen(), QString("Success"));
    } else if (path == QLatin1String("session over")) {
        record->setButtonPressed(true);
        record->setState(Session::PostExit);
        QCOMPARE(manager.screen(), QString("Success"));
    } else {
        record->setState(Session::Idle);
    }
    const auto loseBroker = [&] {
        broker.stop();
        return waitUntil([&] { return !manager.mqtt().isConnected(); }, 10000);
    };
    if (brokerDown)
        QVERIFY(loseBroker());
    // The operator back on the settings, or someone at the PIN page.
    if (operatorIn) {
        manager.setMaintenanceScreen();
        QCOMPARE(manager.screen(), QString("Settings"));
    } else if (pinPage) {
        manager.setMaintenanceScreen();
        QCOMPARE(manager.screen(), QString("Login"));
    }

    if (path == QLatin1String("Logout")) {
        manager.settingsLogoutRequest();
    } else if (path == QLatin1String("log-in period ends")) {
        manager.sessionManager().findChild<QTimer *>("loginTimer")->start(1);
        QVERIFY(waitUntil([&] { return !manager.sessionManager().sessionActive(); }));
    } else if (path == QLatin1String("PIN page times out")) {
        manager.screenTimer().start(1);
        QVERIFY(waitUntil([&] { return manager.screen() != QLatin1String("Login"); }));
    } else if (path == QLatin1String("clock again on the PIN page")) {
        manager.setMaintenanceScreen();
    } else if (path == QLatin1String("terminal out of order")) {
        terminal.setState(Terminal::Error, QStringLiteral("Dispenser jammed"));
    } else if (path == QLatin1String("terminal initialising")) {
        terminal.setState(Terminal::Init, QString());
    } else if (path == QLatin1String("terminal ready again")) {
        terminal.setState(Terminal::Busy, QString());
        terminal.setState(Terminal::Ready, QString());
    } else if (path == QLatin1String("terminal type")) {
        // What the terminal announces when the dispenser reports another model.
        emit terminal.typeChanged();
    } else if (path == QLatin1String("broker lost")) {
        QVERIFY(loseBroker());
    } else if (path == QLatin1String("broker back")) {
        QSignalSpy connected(&manager.mqtt(), &manager::MqttClient::connected);
        QVERIFY(broker.start());
        QVERIFY(waitUntil([&] { return connected.count() > 0; }, 15000));
    } else if (path == QLatin1String("session over")) {
        record->setState(Session::Idle);
    } else if (path == QLatin1String("button while collecting")) {
        record->setState(Session::DataCollect);
        QCOMPARE(manager.screen(), QString(brokerDown ? "OutOfOrder" : "DispenseScreen"));
        record->setButtonPressed(true);
    } else {
        QFAIL(qPrintable("no such path: " + path));
    }

    // At once: no later attempt of the session's is waited for.
    QCOMPARE(manager.screen(), screen);
    QCOMPARE(manager.message(), message);
    m_rig.reset();
}

void tst_ScreenFlow::operatorScreensLeftWhileStopped_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("Logout") << "Logout";
    QTest::newRow("log-in period ends") << "log-in period ends";
    QTest::newRow("PIN page times out") << "PIN page times out";
    QTest::newRow("clock again on the PIN page") << "clock again on the PIN page";
    // Out of order while the broker was gone is no screen of the test's either.
    QTest::newRow("broker lost and back") << "broker lost and back";
    QTest::newRow("broker lost and back, an operator logged in") << "broker lost and back, an operator logged in";
}

// A stopped terminal (a card self-test runs) has no idle screen of its own; the operator's
// screens still go when nobody is logged in, and out of order once the broker is back, to the
// busy screen with what it last said.
void tst_ScreenFlow::operatorScreensLeftWhileStopped()
{
    QFETCH(QString, path);
    const bool brokerPath = path.startsWith(QLatin1String("broker"));
    // A broker of its own for the paths that lose it.
    TestBroker broker;
    if (brokerPath) {
        QVERIFY2(broker.start(), qPrintable(broker.errorString()));
        ControllerSetup setup;
        setup.model = Vending;
        m_rig = std::make_unique<ControllerRig>(broker, setup);
        QVERIFY(m_rig->start() && m_rig->typeKnown());
        m_rig->manager->terminal().stop();
    } else {
        QVERIFY(readyRig(Vending));
    }
    GUIManager &manager = *m_rig->manager;
    Terminal &terminal = manager.terminal();
    terminal.setState(Terminal::Stopped, QStringLiteral("User request"));
    manager.setMessage(QStringLiteral("Test 1 of 3 (33%)"));
    manager.setScreen(QStringLiteral("Busy"));

    const bool operatorIn = path == QLatin1String("Logout") || path == QLatin1String("log-in period ends");
    if (operatorIn) {
        manager.settingsLoginRequest(QStringLiteral("8306"));
        manager.setMaintenanceScreen();
        QCOMPARE(manager.screen(), QString("Settings"));
    } else if (path.endsWith(QLatin1String("an operator logged in"))) {
        manager.settingsLoginRequest(QStringLiteral("8306")); // and stays on the test's screen
        QVERIFY(manager.sessionManager().sessionActive());
    } else if (!brokerPath) {
        manager.setMaintenanceScreen();
        QCOMPARE(manager.screen(), QString("Login"));
    }

    if (brokerPath) {
        broker.stop();
        QVERIFY(waitUntil([&] { return !manager.mqtt().isConnected(); }, 10000));
        QCOMPARE(manager.screen(), QString("OutOfOrder"));
        QSignalSpy connected(&manager.mqtt(), &manager::MqttClient::connected);
        QVERIFY(broker.start());
        QVERIFY(waitUntil([&] { return connected.count() > 0; }, 15000));
    } else if (path == QLatin1String("Logout")) {
        manager.settingsLogoutRequest();
    } else if (path == QLatin1String("log-in period ends")) {
        manager.sessionManager().findChild<QTimer *>("loginTimer")->start(1);
        QVERIFY(waitUntil([&] { return !manager.sessionManager().sessionActive(); }));
    } else if (path == QLatin1String("PIN page times out")) {
        manager.screenTimer().start(1);
        QVERIFY(waitUntil([&] { return !manager.screenTimer().isActive(); }));
    } else {
        manager.setMaintenanceScreen();
    }
    QCOMPARE(manager.screen(), QString("Busy"));
    QCOMPARE(manager.message(), QString("Test 1 of 3 (33%)"));
    m_rig.reset();
}

void tst_ScreenFlow::selfTestResultAfterTheRestart_data()
{
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<bool>("fails");   // the dispenser refuses the run's card
    QTest::addColumn<QString>("after"); // what happens once the lane has restarted
    QTest::addColumn<QString>("screen");
    QTest::addColumn<QString>("message"); // of the result; the driver's screens are not asked

    const QString passed = QStringLiteral("Success 1 of 1 (100%)");
    const QString failed = QStringLiteral("Failed 0 of 1 (0%)\nFailed to eject card : Cartridge empty");
    // The operator who asked for the run reads its result, however the lane restarts beneath it.
    QTest::newRow("operator: passed") << true << false << "" << "Success" << passed;
    QTest::newRow("operator: failed") << true << true << "" << "ErrorScreen" << failed;
    QTest::newRow("operator: lane lost and back") << true << false << "terminal out of order and back"
                                                  << "Success" << passed;
    // Nobody logged in, or nobody any more: the driver's screen.
    QTest::newRow("nobody logged in") << false << false << "" << "DispenseScreen" << "";
    QTest::newRow("operator logs out") << true << false << "Logout" << "DispenseScreen" << "";
    QTest::newRow("log-in period ends") << true << true << "log-in period ends" << "DispenseScreen" << "";
    // A driver's session takes the lane over as ever, and its end leaves the idle screen.
    QTest::newRow("operator: a driver's passage") << true << false << "driver's passage" << "DispenseScreen" << "";
}

// A card self-test stops the lane and starts it again a second after its result: the result stays
// for whoever is logged in, and only then.
void tst_ScreenFlow::selfTestResultAfterTheRestart()
{
    QFETCH(bool, loggedIn);
    QFETCH(bool, fails);
    QFETCH(QString, after);
    QFETCH(QString, screen);
    QFETCH(QString, message);

    ControllerSetup setup;
    setup.model = Vending;
    QVERIFY(rig(setup).start() && m_rig->typeKnown());
    GUIManager &manager = *m_rig->manager;
    Terminal &terminal = manager.terminal();
    Session *record = terminal.session();
    // The lane serves: a card waits prepared for the next driver.
    const auto laneServes = [&] {
        return waitUntil([&] {
            return terminal.state() == Terminal::Ready && record->state() == Session::Idle
                   && !record->cardId().isEmpty();
        }, 15000);
    };
    QVERIFY(laneServes());
    QCOMPARE(manager.screen(), QString("DispenseScreen"));
    if (loggedIn) {
        manager.settingsLoginRequest(QStringLiteral("8306"));
        manager.setMaintenanceScreen();
        QCOMPARE(manager.screen(), QString("Settings"));
    }
    if (fails)
        m_rig->cards.dispenser.refuse(QStringLiteral("eject"), 3, QStringLiteral("Cartridge empty"), 1);

    QVERIFY(m_rig->request("/test/request/1", R"({"mode": "dispense", "numberOfCards": 1})"));
    QCOMPARE(m_rig->document("/test/response/1", 1, 20000).value("result"), QJsonValue(!fails));
    QCOMPARE(manager.screen(), QString(fails ? "ErrorScreen" : "Success"));
    QCOMPARE(terminal.state(), Terminal::Stopped);

    QStringList screens;
    connect(&manager, &GUIManager::screenChanged, this, [&] { screens << manager.screen(); });
    QVERIFY(waitUntil([&] { return terminal.state() != Terminal::Stopped; }, 5000));
    QVERIFY(laneServes());
    if (loggedIn)
        QCOMPARE(screens.join(QLatin1Char(',')), QString()); // never left, not even for a moment
    else
        QCOMPARE(manager.screen(), QString("DispenseScreen"));

    if (after == QLatin1String("Logout")) {
        manager.settingsLogoutRequest();
    } else if (after == QLatin1String("log-in period ends")) {
        manager.sessionManager().findChild<QTimer *>("loginTimer")->start(1);
        QVERIFY(waitUntil([&] { return !manager.sessionManager().sessionActive(); }));
    } else if (after == QLatin1String("terminal out of order and back")) {
        terminal.setState(Terminal::Error, QStringLiteral("Dispenser jammed"));
        terminal.setState(Terminal::Ready, QString());
    } else if (after == QLatin1String("driver's passage")) {
        // The session moved by hand, the engine out of the way.
        terminal.stop();
        terminal.setState(Terminal::Ready, QString());
        record->setButtonPressed(true);
        record->setState(Session::CardProcess);
        QCOMPARE(manager.screen(), QString("Busy"));
        QCOMPARE(manager.message(), QString("Please wait"));
        record->setState(Session::Idle);
    } else if (!after.isEmpty()) {
        QFAIL(qPrintable("no such path: " + after));
    }
    QCOMPARE(manager.screen(), screen);
    if (!message.isEmpty())
        QCOMPARE(manager.message(), message);
    QCOMPARE(manager.sessionManager().sessionActive(), loggedIn && after != QLatin1String("Logout")
                                                           && after != QLatin1String("log-in period ends"));
}

void tst_ScreenFlow::powerRequests_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("statusHeard");
    QTest::newRow("reboot") << "reboot" << "Rebooting" << true;
    QTest::newRow("shutdown") << "shutdown" << "Shutting down" << true;
    // The service published its status before the controller subscribed, not retained:
    // nothing says it is down, so the request goes.
    QTest::newRow("reboot, status never heard") << "reboot" << "Rebooting" << false;
    QTest::newRow("shutdown, status never heard") << "shutdown" << "Shutting down" << false;
}

// Busy with the message at once; the request reaches the service 2 s later.
void tst_ScreenFlow::powerRequests()
{
    QFETCH(QString, what);
    QFETCH(QString, message);
    QFETCH(bool, statusHeard);
    ControllerSetup setup;
    setup.model = Vending;
    setup.systemStatusRetained = statusHeard;
    QVERIFY(readyRig(setup));
    GUIManager &manager = *m_rig->manager;
    if (statusHeard)
        QVERIFY(waitUntil([&] { return manager.inspector().status() == QLatin1String("online"); }));
    else // unknown, or running once it answers the requests sent on connecting; never "offline"
        QVERIFY2(manager.inspector().status() != QLatin1String("offline"), qPrintable(manager.inspector().status()));

    QElapsedTimer clock;
    clock.start();
    if (what == QLatin1String("reboot"))
        manager.rebootRequest();
    else
        manager.shutdownRequest();
    QCOMPARE(manager.screen(), QString("Busy"));
    QCOMPARE(manager.message(), message);
    QCOMPARE(manager.screenTimer().interval(), 30000);
    QVERIFY(m_rig->system.requests("power/" + what).isEmpty());
    QVERIFY(waitUntil([&] { return !m_rig->system.requests("power/" + what).isEmpty(); }, 10000));
    QVERIFY(clock.elapsed() >= coarseTimerEarliest(2000));
    QCOMPARE(manager.screen(), QString("Busy"));
}

// A request that cannot reach the system service shows so, instead of waiting on "Busy".
void tst_ScreenFlow::powerRequestNotSent()
{
    QVERIFY(readyRig(Vending));
    GUIManager &manager = *m_rig->manager;
    QVERIFY(waitUntil([&] { return manager.inspector().status() == QLatin1String("online"); }));

    // The service reports itself down: nothing is sent, the error shows at once.
    LogCapture log;
    m_rig->system.setServiceOnline(false);
    QVERIFY(waitUntil([&] { return manager.inspector().status() == QLatin1String("offline"); }));
    manager.rebootRequest();
    QCOMPARE(manager.screen(), QString("ErrorScreen"));
    QCOMPARE(manager.message(), QString("Reboot failed: system service unavailable"));
    QVERIFY(log.contains(QtCriticalMsg, "[GUIManager] ERROR: System reboot request cannot reach the system service"));
    QCOMPARE(manager.screenTimer().interval(), 15000);

    // The service gone with its retained status cleared (an empty message): refused the same way.
    m_rig->system.setServiceOnline(true);
    QVERIFY(waitUntil([&] { return manager.inspector().status() == QLatin1String("online"); }));
    QVERIFY(m_rig->system.publishRaw("/status", QByteArray(), true));
    QVERIFY(waitUntil([&] { return manager.inspector().status() == QLatin1String("offline"); }));
    manager.shutdownRequest();
    QCOMPARE(manager.screen(), QString("ErrorScreen"));
    QCOMPARE(manager.message(), QString("Shutdown failed: system service unavailable"));

    // The session lost during the 2 s before the request goes out.
    m_rig->system.setServiceOnline(true);
    QVERIFY(waitUntil([&] { return manager.inspector().status() == QLatin1String("online"); }));
    manager.shutdownRequest();
    QCOMPARE(manager.screen(), QString("Busy"));
    manager.mqtt().disconnect();
    QVERIFY(waitUntil([&] { return manager.screen() == QLatin1String("ErrorScreen"); }, 10000));
    QCOMPARE(manager.message(), QString("Shutdown failed: system service unavailable"));
    QVERIFY(m_rig->system.requests("power/shutdown").isEmpty());
}

// What the system service last said decides, when the request is made and again when its
// 2 s have passed; a "down" that no longer holds (a new session, a will that came late) does
// not refuse the requests that follow.
void tst_ScreenFlow::powerRequestAndTheServiceState_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("first");  // "sent", "refused" at once, "failed" when the delay ends
    QTest::addColumn<QString>("second"); // a second try's, or empty for none
    QTest::newRow("reboot, the service stops in the delay") << "reboot" << "stops in the delay" << "failed" << "";
    QTest::newRow("shutdown, its status cleared in the delay") << "shutdown" << "cleared in the delay" << "failed" << "";
    QTest::newRow("reboot, status not retained, back while the session was down")
        << "reboot" << "back unheard" << "sent" << "";
    QTest::newRow("shutdown, a will that came late") << "shutdown" << "late will" << "refused" << "sent";
}

void tst_ScreenFlow::powerRequestAndTheServiceState()
{
    QFETCH(QString, what);
    QFETCH(QString, how);
    QFETCH(QString, first);
    QFETCH(QString, second);
    ControllerSetup setup;
    setup.model = Vending;
    setup.systemStatusRetained = how != QLatin1String("back unheard");
    QVERIFY(readyRig(setup));
    GUIManager &manager = *m_rig->manager;
    FakeSystemService &system = m_rig->system;
    if (setup.systemStatusRetained) {
        QVERIFY(waitUntil([&] { return manager.inspector().status() == QLatin1String("online"); }));
    } else {
        system.setServiceOnline(true);
        QVERIFY(waitUntil([&] { return manager.inspector().status() == QLatin1String("online"); }));
    }
    const QString busy = what == QLatin1String("reboot") ? "Rebooting" : "Shutting down";
    const QString error = what == QLatin1String("reboot") ? "Reboot failed: system service unavailable"
                                                          : "Shutdown failed: system service unavailable";

    if (how == QLatin1String("back unheard")) {
        system.setServiceOnline(false);
        QVERIFY(waitUntil([&] { return manager.inspector().status() == QLatin1String("offline"); }));
        manager.mqtt().disconnect();
        QVERIFY(waitUntil([&] { return !manager.mqtt().isConnected(); }));
        system.setServiceOnline(true); // nobody hears it
        QVERIFY(waitUntil([&] { return manager.mqtt().isConnected(); }, 15000));
        QVERIFY(m_rig->subscribed(2));
        manager.setIdleScreen();
    } else if (how == QLatin1String("late will")) {
        QVERIFY(system.publishRaw("/status", R"({"service": false})"));
        QVERIFY(waitUntil([&] { return manager.inspector().status() == QLatin1String("offline"); }));
    }

    auto request = [&] {
        if (what == QLatin1String("reboot"))
            manager.rebootRequest();
        else
            manager.shutdownRequest();
    };
    auto outcome = [&](const QString &expected) {
        if (expected == QLatin1String("refused")) {
            QCOMPARE(manager.screen(), QString("ErrorScreen"));
            QCOMPARE(manager.message(), error);
            return;
        }
        QCOMPARE(manager.screen(), QString("Busy"));
        QCOMPARE(manager.message(), busy);
        if (how == QLatin1String("stops in the delay"))
            system.setServiceOnline(false);
        else if (how == QLatin1String("cleared in the delay"))
            QVERIFY(system.publishRaw("/status", QByteArray(), true));
        if (expected == QLatin1String("failed")) {
            QVERIFY(waitUntil([&] { return manager.screen() == QLatin1String("ErrorScreen"); }, 10000));
            QCOMPARE(manager.message(), error);
            // A later message has arrived: the request would have come before it.
            manager.inspector().audioPlay("marker.wav");
            QVERIFY(waitUntil([&] { return system.count("audio/play") == 1; }));
            QCOMPARE(system.count("power/" + what), 0);
        } else {
            QVERIFY(waitUntil([&] { return system.count("power/" + what) == 1; }, 10000));
            QCOMPARE(manager.screen(), QString("Busy"));
        }
    };

    request();
    outcome(first);
    if (QTest::currentTestFailed() || second.isEmpty())
        return;
    // The refusal asked the service, which answers: it runs.
    QVERIFY(waitUntil([&] { return manager.inspector().status() == QLatin1String("online"); }));
    manager.setIdleScreen();
    request();
    outcome(second);
}

// Busy with "Exiting", then the event loop ends with 0 two seconds later.
void tst_ScreenFlow::exitRequest()
{
    QVERIFY(readyRig(Vending));
    GUIManager &manager = *m_rig->manager;
    QElapsedTimer clock;
    clock.start();
    manager.exitRequest();
    QCOMPARE(manager.screen(), QString("Busy"));
    QCOMPARE(manager.message(), QString("Exiting"));
    QCOMPARE(manager.screenTimer().interval(), 30000);
    QEventLoop loop;
    QTimer::singleShot(10000, &loop, [&loop] { loop.exit(99); });
    QCOMPARE(loop.exec(), 0);
    QVERIFY(clock.elapsed() >= coarseTimerEarliest(2000));
}

// Log-in and log-out are events of the log, and each publishes the status with the technician flag.
void tst_ScreenFlow::logInAndOutAreLogged()
{
    QVERIFY(readyRig(Vending));
    GUIManager &manager = *m_rig->manager;
    QSignalSpy granted(&manager, &GUIManager::settingsAccessGranted);
    QSignalSpy denied(&manager, &GUIManager::settingsAccessDenied);
    const int statuses = m_rig->documents("/status").size();

    manager.settingsLoginRequest(QStringLiteral("1111"));
    QCOMPARE(denied.count(), 1);
    manager.setMaintenanceScreen();
    manager.settingsLoginRequest(QStringLiteral("8306"));
    QCOMPARE(granted.count(), 1);
    manager.setScreen(QStringLiteral("Settings")); // what the log-in page does on the grant
    QVERIFY(!manager.screenTimer().isActive());
    QCOMPARE(manager.eventManager().events().last()->name(), QString("Maintenance login"));
    QVERIFY(manager.eventManager().events().last()->description().startsWith("User ID : "));
    QCOMPARE(m_rig->document("/status", statuses + 1).value("technician"), QJsonValue(true));

    manager.settingsLogoutRequest();
    QCOMPARE(manager.screen(), QString("DispenseScreen"));
    QCOMPARE(manager.eventManager().events().last()->name(), QString("Maintenance logout"));
    QCOMPARE(m_rig->document("/status", statuses + 2).value("technician"), QJsonValue(false));
}

QTEST_MAIN(tst_ScreenFlow)
#include "tst_ScreenFlow.moc"
