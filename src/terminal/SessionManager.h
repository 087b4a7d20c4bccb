#pragma once

#include "terminal/User.h"

#include <QObject>
#include <QTimer>
#include <QVector>

#include <optional>

class Config;

// The maintenance log-in: a PIN opens the settings for ten minutes. The one
// built-in operator's PIN is the configured settings PIN, read again on every
// configuration change.
class SessionManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool sessionActive READ sessionActive NOTIFY sessionActiveChanged)

public:
    static constexpr int SessionTimeoutMs = 600000;

    explicit SessionManager(Config &config, QObject *parent = nullptr);

    bool sessionActive() const { return m_current.has_value(); }
    // Milliseconds until the log-in expires; -1 while the countdown is off.
    int remainingTime() const { return m_timer.remainingTime(); }
    // A copy of the logged-in operator's record, or none.
    std::optional<User> user() const { return m_current; }

public slots:
    void loginRequest(const QString &pin);
    void logoutRequest();
    void resetTimer();

signals:
    void sessionActiveChanged();
    void accessGranted();
    void accessDenied();
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
};
