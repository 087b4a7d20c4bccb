#pragma once

#include "terminal/Event.h"
#include "terminal/User.h"

// A maintenance log-in, stamped now.
class EventLogin : public Event
{
    Q_OBJECT

public:
    explicit EventLogin(const User &user, QObject *parent = nullptr);

private:
    // One reading of the clock for the text and the stamp.
    EventLogin(const User &user, const QDateTime &now, QObject *parent);
};
