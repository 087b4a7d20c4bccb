#pragma once

#include "terminal/Session.h"

#include <QList>
#include <QMap>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <utility>

class Terminal;
class QTimer;

// Runs the vehicle sessions of the terminal: follows the loop, the driver and
// the card issuer and moves the one session record from state to state. The
// base holds what both engines share; IssueEngine and CollectEngine add their
// card handling.
class Engine : public QObject
{
    Q_OBJECT

public:
    // The engines' fixed waits.
    static constexpr int PermissionDelayMs = 500;
    static constexpr int BarrierCycleMs = 3000;
    static constexpr int ResetDelayMs = 3000;
    // The wait for the driver to take a card, when "terminal/collectTimeoutSec" is unusable.
    static constexpr int DefaultCollectTimeoutSec = 60;
    // The longest wait whose milliseconds a timer holds.
    static constexpr int MaxCollectTimeoutSec = 2147483;

    explicit Engine(Terminal *terminal, QObject *parent = nullptr);
    ~Engine() override;

    Session *session() const { return m_session; }
    // Whether the engine is connected to its event sources.
    bool isRunning() const { return m_running; }

    // Connects the engine and puts the session in Idle (stopping it first
    // when the session is not Stopped).
    virtual void start() = 0;
    // Puts the session in Stopped, disconnects the engine and cancels its
    // pending delays and the callbacks of operations it started.
    virtual void stop() = 0;
    virtual void simLoopPresent() = 0;
    virtual void simButtonPressed() = 0;

signals:
    void sessionStarted();
    void sessionFinished();

protected:
    // The log tag of the concrete engine, "[IssueEngine] " for instance.
    virtual QString tag() const = 0;
    // Entry actions of the states each engine handles its own way.
    virtual void onIdle() = 0;
    virtual void collectData() = 0;
    virtual void onCardProcess() = 0;
    // Connections of the engine's own event sources besides the loop.
    virtual void connectSources() = 0;
    // The vehicle leaves a session that is not closed (DataCollect, WaitUser), before the reset.
    virtual void onVehicleLeaving() {}
    // The card issuer can serve again while the engine runs.
    virtual void onIssuerRecovered() {}
    // The card issuer can no longer serve while the engine runs.
    virtual void onIssuerUnable() {}
    // The card issuer's own answer (CardIssuer::canServe): a card can be prepared, written or moved.
    bool issuerCanServe() const;
    // Opens the session for the vehicle or driver that calls in Idle, unless the card issuer
    // cannot serve: then the vehicle waits, held for the recovery, and the screen stays out of order.
    void openSessionWhenServing();
    // A vehicle held while the issuer could not serve, still standing there: its session opens now.
    void openHeldSession();

    void openSession();
    void closeSession(bool result);
    void resetSession();

    void startEngine();
    void stopEngine();

    void onVehiclePresent();
    void onVehicleLeft();
    void onStateChanged(Session::State prev, Session::State curr);
    void requestEntry();
    void presentCard();
    void openBarrier();
    void onBarrierClosed();
    // Replaces the session's readings with those the cameras delivered.
    void storeReadings(const QMap<QString, QString> &readings);
    // The data-collection block, then Permission or WaitUser while still in DataCollect.
    void dataCollected();
    // A failed card operation ends the session: its text becomes the error.
    void fail(const QString &text);
    void refuse() const;
    // "terminal/collectTimeoutSec", or the default when it is no positive number (with a
    // warning); clamped to what the dispenser's millisecond timer holds.
    int collectTimeoutSec() const;

    void logInfo(const QString &text) const;
    void logWarning(const QString &text) const;
    void logError(const QString &text) const;

    Terminal *terminal() const { return m_terminal; }
    // A connection made by the engine, dropped by stop().
    void track(const QMetaObject::Connection &connection) { m_connections.append(connection); }
    // A single-shot step that stop() and the destructor cancel.
    void after(int msec, std::function<void()> action);
    void cancelDelays();

    // Wraps a callback of an operation this engine started: it does nothing
    // once the engine is gone or has been stopped (or restarted) since.
    template <typename F>
    auto guarded(F f)
    {
        QPointer<Engine> self(this);
        const quint64 epoch = m_epoch;
        return [self, epoch, f](auto &&...args) {
            if (self && self->m_epoch == epoch)
                f(std::forward<decltype(args)>(args)...);
        };
    }

    // Whether the engine still runs as it did when this was made: false once it is gone or has
    // been stopped (or restarted) since.
    std::function<bool()> stillCurrent()
    {
        QPointer<Engine> self(this);
        const quint64 epoch = m_epoch;
        return [self, epoch] { return self && self->m_epoch == epoch; };
    }

    // The same, only for the engine's lifetime (the result outlives a stop).
    template <typename F>
    auto alive(F f)
    {
        QPointer<Engine> self(this);
        return [self, f](auto &&...args) {
            if (self)
                f(std::forward<decltype(args)>(args)...);
        };
    }

private:
    void onIssuerStateChanged();

    Terminal *m_terminal;
    Session *m_session;
    bool m_running = false;
    bool m_issuerUnable = false;
    bool m_vehicleHeld = false;
    quint64 m_epoch = 0;
    QList<QMetaObject::Connection> m_connections;
    QList<QTimer *> m_delays;
};
