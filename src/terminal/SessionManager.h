#pragma once

#include "terminal/User.h"

#include <QObject>
#include <QTimer>
#include <QVector>

#include <functional>
#include <optional>

class Config;

// The maintenance log-in: a PIN opens the settings for ten minutes. The one
// built-in operator's PIN is the configured settings PIN, read again on every
// configuration change. From the fifth wrong PIN in a row on, every wrong PIN
// makes the next try wait (30 s, doubled each time, at most 15 min): guessing
// from the lane takes years, while staff still get in. An hour without a
// wrong PIN forgets the count, so stray tries spread over weeks never add up.
class SessionManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool sessionActive READ sessionActive NOTIFY sessionActiveChanged)

public:
    static constexpr int SessionTimeoutMs = 600000;
    static constexpr int FreeTries = 4;
    static constexpr int FirstDelayMs = 30000;
    static constexpr int MaxDelayMs = 900000;
    static constexpr int ForgetFailuresMs = 3600000;
    // Monotonic milliseconds; tests drive the waits with a clock of their own.
    using Clock = std::function<qint64()>;

    explicit SessionManager(Config &config, QObject *parent = nullptr);

    bool sessionActive() const { return m_current.has_value(); }
    // Milliseconds until the log-in expires; -1 while the countdown is off.
    int remainingTime() const { return m_timer.remainingTime(); }
    // A copy of the logged-in operator's record, or none.
    std::optional<User> user() const { return m_current; }
    // Milliseconds until a PIN is looked at again; 0 when it is at once.
    int loginDelayRemaining() const;
    void setClock(Clock clock) { m_clock = std::move(clock); }

public slots:
    void loginRequest(const QString &pin);
    void logoutRequest();
    void resetTimer();

signals:
    void sessionActiveChanged();
    void accessGranted();
    void accessDenied();
    // A try refused: the next PIN is looked at only after `seconds`. Follows
    // accessDenied for the wrong PIN that starts a wait; alone for a try within it.
    void accessDelayed(int seconds);
    // `failures` wrong PINs in a row: the next try waits `seconds`.
    void loginDelayStarted(int failures, int seconds);
    // Declared for listeners; the end of a log-in is announced through sessionActiveChanged.
    void expired();

private slots:
    void loadUsers();
    void onExpired();

private:
    Config &m_config;
    QTimer m_timer;
    // Held by value: the list is rebuilt on every configuration change.
    std::optional<User> m_current;
    QVector<User> m_users;
    Clock m_clock;
    int m_failures = 0; // wrong PINs in a row
    qint64 m_lastFailure = 0;
    qint64 m_delayedUntil = 0;
};
