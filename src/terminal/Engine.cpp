#include "terminal/Engine.h"

#include "app/Config.h"
#include "app/LogQuote.h"
#include "card/CardIssuer.h"
#include "card/RFID.h"
#include "devices/Loop.h"
#include "terminal/Terminal.h"

#include <QDebug>
#include <QTimer>
#include <QUuid>

Engine::Engine(Terminal *terminal, QObject *parent)
    : QObject(parent)
    , m_terminal(terminal)
    , m_session(terminal->session())
{
}

// Pending delays are children and go with the engine; guarded callbacks see it gone.
Engine::~Engine() = default;

void Engine::logInfo(const QString &text) const
{
    qInfo().noquote().nospace() << tag() << text;
}

void Engine::logWarning(const QString &text) const
{
    qWarning().noquote().nospace() << tag() << text;
}

void Engine::logError(const QString &text) const
{
    qCritical().noquote().nospace() << tag() << text;
}

void Engine::refuse() const
{
    qWarning().noquote().nospace() << tag() << "WARN: Ignoring in current state : " << m_session->state();
}

void Engine::after(int msec, std::function<void()> action)
{
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, timer, action] {
        m_delays.removeOne(timer);
        timer->deleteLater();
        action();
    });
    m_delays.append(timer);
    timer->start(msec);
}

void Engine::cancelDelays()
{
    for (QTimer *timer : qAsConst(m_delays)) {
        timer->stop();
        timer->deleteLater();
    }
    m_delays.clear();
}

void Engine::startEngine()
{
    if (m_session->state() != Session::Stopped)
        stop();
    logInfo(QStringLiteral("Starting engine"));

    // Never twice: whatever is still connected goes first.
    for (const QMetaObject::Connection &connection : qAsConst(m_connections))
        disconnect(connection);
    m_connections.clear();

    manager::Loop *loop = m_terminal->loop();
    track(connect(loop, &manager::Loop::vehiclePresent, this, &Engine::onVehiclePresent));
    track(connect(loop, &manager::Loop::vehicleLeft, this, &Engine::onVehicleLeft));
    connectSources();
    manager::CardIssuer *issuer = m_terminal->cardIssuer();
    m_issuerUnable = !issuerCanServe();
    m_vehicleHeld = false;
    track(connect(issuer, &manager::CardIssuer::stateChanged, this, &Engine::onIssuerStateChanged));
    track(connect(m_session, &Session::stateChanged, this, &Engine::onStateChanged));
    m_running = true;

    m_session->setState(Session::Idle);
}

void Engine::stopEngine()
{
    // The state handler still sees the change to Stopped.
    m_session->setState(Session::Stopped);
    for (const QMetaObject::Connection &connection : qAsConst(m_connections))
        disconnect(connection);
    m_connections.clear();
    m_running = false;

    // A stale step must not move the next session or a card of a stopped terminal.
    cancelDelays();
    ++m_epoch;
}

void Engine::openSession()
{
    m_session->setStart(QDateTime::currentDateTime());
    emit sessionStarted();
}

void Engine::closeSession(bool result)
{
    m_session->setResult(result);
    m_session->setEnd(QDateTime::currentDateTime());
    emit sessionFinished();
    after(ResetDelayMs, [this] {
        qWarning().noquote().nospace() << "[Engine] ----- Resetting state machine";
        m_session->setState(Session::Idle);
    });
}

void Engine::resetSession()
{
    m_session->setResult(false);
    m_session->setError(QString());
    m_session->setStart(QDateTime());
    m_session->setEnd(QDateTime());
    m_session->setUuid(QUuid::createUuid().toString(QUuid::WithoutBraces));
    m_session->setType(m_terminal->type());
    m_session->setDeviceId(m_terminal->serialNum());
    m_session->setCustomsId(m_terminal->customsId());
    m_session->setLocationId(m_terminal->locationId());
    m_session->setCardId(QString());
    m_session->setReadings(Session::emptyReadings());
    m_session->setCard({});
    m_session->setCardReturned(false);
    m_session->setButtonPressed(false);
}

void Engine::onStateChanged(Session::State prev, Session::State curr)
{
    logInfo(QStringLiteral("State changed : (%1)%2 -> (%3)%4")
                .arg(int(prev))
                .arg(Session::stateToStr(prev))
                .arg(int(curr))
                .arg(Session::stateToStr(curr)));

    switch (curr) {
    case Session::Idle:
        onIdle();
        break;
    case Session::DataCollect:
        openSession();
        collectData();
        break;
    case Session::Permission:
        requestEntry();
        break;
    case Session::CardProcess:
        onCardProcess();
        break;
    case Session::WaitCollect:
        presentCard();
        break;
    case Session::Exit:
        openBarrier();
        break;
    case Session::PostExit:
        closeSession(true);
        break;
    case Session::Error:
        closeSession(false);
        break;
    case Session::Stopped:
    case Session::WaitUser:
        break;
    }
}

void Engine::onVehiclePresent()
{
    logInfo(QStringLiteral("Vehicle present"));
    if (m_session->state() == Session::Idle)
        openSessionWhenServing();
    else
        refuse();
}

void Engine::openSessionWhenServing()
{
    if (!issuerCanServe()) {
        logWarning(QStringLiteral("WARN: Card issuer cannot serve. Vehicle waits : ")
                   + LogQuote::quote(m_terminal->cardIssuer()->reason()));
        m_vehicleHeld = true;
        return;
    }
    m_vehicleHeld = false;
    m_session->setState(Session::DataCollect);
}

void Engine::openHeldSession()
{
    const bool held = m_vehicleHeld;
    m_vehicleHeld = false;
    if (held && m_session->state() == Session::Idle && m_terminal->loop()->isOccupied())
        m_session->setState(Session::DataCollect);
}

void Engine::onVehicleLeft()
{
    logInfo(QStringLiteral("Vehicle left"));
    m_vehicleHeld = false;
    const Session::State state = m_session->state();
    if (state == Session::DataCollect || state == Session::WaitUser) {
        onVehicleLeaving();
        m_session->setState(Session::Idle);
    } else {
        refuse();
    }
}

bool Engine::issuerCanServe() const
{
    return m_terminal->cardIssuer()->canServe();
}

void Engine::onIssuerStateChanged()
{
    const bool unable = !issuerCanServe();
    const bool recovered = m_issuerUnable && !unable;
    const bool lost = !m_issuerUnable && unable;
    m_issuerUnable = unable;
    if (recovered)
        onIssuerRecovered();
    else if (lost)
        onIssuerUnable();
}

void Engine::requestEntry()
{
    logInfo(QStringLiteral("Requesting permission for entry"));
    after(PermissionDelayMs, [this] { m_session->setState(Session::CardProcess); });
}

void Engine::openBarrier()
{
    logInfo(QStringLiteral("Opening barrier"));
    after(BarrierCycleMs, [this] { onBarrierClosed(); });
}

void Engine::onBarrierClosed()
{
    logInfo(QStringLiteral("Barrier closed"));
    if (m_session->state() == Session::Exit)
        m_session->setState(Session::PostExit);
    else
        refuse();
}

void Engine::presentCard()
{
    const int timeout = collectTimeoutSec();
    logInfo(QStringLiteral("Ejecting card for collection (collectTimeout=%1 sec)").arg(timeout));
    m_terminal->cardIssuer()
        ->presentCard(timeout)
        .done(guarded([this](manager::CardIssuer::Result result) {
            logInfo(QStringLiteral("Card collected successfully : ")
                    + (result.card ? LogQuote::quote(result.card->uid()) : QStringLiteral("<null>")));
            m_session->setState(Session::Exit);
        }))
        .fail(guarded([this](manager::CardIssuer::Result result) { fail(result.error); }));
}

int Engine::collectTimeoutSec() const
{
    static const QString key = QStringLiteral("terminal/collectTimeoutSec");
    const QString text = m_terminal->config().get(key).toString().trimmed();
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok, 10);
    // No limit at all would keep the lane in WaitCollect for a card never taken, for the next driver.
    if (!ok || value <= 0) {
        logWarning(QStringLiteral("WARN: %1 is no positive number (%2), taken as %3")
                       .arg(key, LogQuote::quote(text))
                       .arg(DefaultCollectTimeoutSec));
        return DefaultCollectTimeoutSec;
    }
    // Beyond it the dispenser's wait in milliseconds overflows and never times out.
    if (value > MaxCollectTimeoutSec) {
        logWarning(QStringLiteral("WARN: %1 is more than a timer holds (%2), taken as %3")
                       .arg(key, LogQuote::quote(text))
                       .arg(MaxCollectTimeoutSec));
        return MaxCollectTimeoutSec;
    }
    return int(value);
}

void Engine::storeReadings(const QMap<QString, QString> &readings)
{
    QVariantMap map;
    for (auto it = readings.cbegin(); it != readings.cend(); ++it)
        map.insert(it.key(), it.value());
    m_session->setReadings(map);
}

void Engine::dataCollected()
{
    const QVariantMap readings = m_session->readings();
    logInfo(QStringLiteral("--- DATA COLLECTED -----------------"));
    logInfo(QStringLiteral("Card UID : ") + LogQuote::quote(m_session->cardId()));
    logInfo(QStringLiteral("Cameras  : ") + QString::number(readings.size()));
    for (auto it = readings.cbegin(); it != readings.cend(); ++it)
        logInfo(QStringLiteral("  ") + LogQuote::quote(it.key()) + QStringLiteral(" : ")
                + LogQuote::quote(it.value().toString()));
    logInfo(QStringLiteral("------------------------------------"));

    if (m_session->state() != Session::DataCollect)
        return;
    m_session->setState(m_session->buttonPressed() ? Session::Permission : Session::WaitUser);
}

void Engine::fail(const QString &text)
{
    logError(QStringLiteral("ERROR: ") + LogQuote::quote(text));
    m_session->setError(text);
    m_session->setState(Session::Error);
}
