#include "terminal/EventLogin.h"

namespace {

QString describe(const User &user, const QDateTime &now)
{
    return QStringLiteral("User ID : %1\nFirst name : %2\nLast name : %3\nDate : %4")
        .arg(user.id)
        .arg(user.firstName, user.lastName, now.toString(Qt::TextDate));
}

} // namespace

EventLogin::EventLogin(const User &user, QObject *parent)
    : EventLogin(user, QDateTime::currentDateTime(), parent)
{
}

EventLogin::EventLogin(const User &user, const QDateTime &now, QObject *parent)
    : Event(QStringLiteral("General"), QStringLiteral("Maintenance login"), describe(user, now), now, parent)
{
}
