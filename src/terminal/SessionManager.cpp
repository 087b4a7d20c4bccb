#include "terminal/SessionManager.h"

#include "app/Config.h"

#include <QDebug>
#include <QElapsedTimer>

#include <algorithm>

namespace {
const char Tag[] = "[SessionManager] ";

// Milliseconds of a clock that setting the date does not move.
qint64 monotonicMs()
{
    static const QElapsedTimer started = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return started.elapsed();
}
} // namespace

SessionManager::SessionManager(Config &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_timer(this)
    , m_clock(monotonicMs)
{
    m_timer.setObjectName(QStringLiteral("loginTimer"));
    m_timer.setSingleShot(true);
    m_timer.setInterval(SessionTimeoutMs);
    connect(&m_timer, &QTimer::timeout, this, &SessionManager::onExpired);
    connect(&m_config, &Config::configChanged, this, &SessionManager::loadUsers);
    loadUsers();
}

void SessionManager::loadUsers()
{
    m_users.clear();
    m_users.append(User{0, QStringLiteral("VESK"), QStringLiteral("Admin"),
                        m_config.get(QStringLiteral("gui/settingsPin")).toString()});

    // The log-in goes on; the record follows the rebuilt entry (its new PIN).
    if (m_current) {
        for (const User &user : qAsConst(m_users)) {
            if (user.id == m_current->id) {
                m_current = user;
                break;
            }
        }
    }
}

void SessionManager::loginRequest(const QString &pin)
{
    qInfo().noquote().nospace() << Tag << "Login requested with PIN";
    // The PIN opens the settings: it never goes to the log, not even at debug level.
    qDebug().noquote().nospace() << Tag << "Entered PIN    : ****";

    // Within a wait the PIN is not even compared: the right one would tell a guesser it was right.
    if (const int waitMs = loginDelayRemaining()) {
        const int seconds = (waitMs + 999) / 1000;
        qWarning().noquote().nospace() << Tag << "WARN: Login refused; next try in " << seconds << " s";
        emit accessDelayed(seconds);
        return;
    }

    for (const User &user : qAsConst(m_users)) {
        if (user.pin != pin)
            continue;
        m_timer.start(SessionTimeoutMs);
        m_failures = 0;
        m_current = user;
        qInfo().noquote().nospace() << Tag << "User logged-in : " << user.firstName << ", " << user.lastName;
        emit accessGranted();
        emit sessionActiveChanged();
        return;
    }

    qWarning().noquote().nospace() << Tag << "WARN: User entered wrong pin";
    emit accessDenied();
    const qint64 now = m_clock();
    if (m_failures > 0 && now - m_lastFailure >= ForgetFailuresMs)
        m_failures = 0;
    m_lastFailure = now;
    if (++m_failures <= FreeTries)
        return;
    const int doublings = std::min(m_failures - FreeTries - 1, 5); // 30 s << 5 is beyond the cap already
    const int waitMs = std::min(FirstDelayMs << doublings, MaxDelayMs);
    m_delayedUntil = now + waitMs;
    qWarning().noquote().nospace() << Tag << "WARN: " << m_failures << " wrong PINs in a row; next try in "
                                   << waitMs / 1000 << " s";
    emit loginDelayStarted(m_failures, waitMs / 1000);
    emit accessDelayed(waitMs / 1000);
}

int SessionManager::loginDelayRemaining() const
{
    return int(std::max<qint64>(m_delayedUntil - m_clock(), 0));
}

void SessionManager::logoutRequest()
{
    if (!m_current)
        return;
    qInfo().noquote().nospace() << Tag << "User logged-out : " << m_current->firstName << ", "
                                << m_current->lastName;
    m_timer.stop();
    m_current.reset();
    emit sessionActiveChanged();
}

void SessionManager::resetTimer()
{
    m_timer.start(SessionTimeoutMs);
}

void SessionManager::onExpired()
{
    qWarning().noquote().nospace() << Tag << "Session expired";
    logoutRequest();
}
