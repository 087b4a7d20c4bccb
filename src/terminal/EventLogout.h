#pragma once

#include "terminal/Event.h"

// A maintenance log-out, stamped now.
class EventLogout : public Event
{
    Q_OBJECT

public:
    explicit EventLogout(QObject *parent = nullptr);

private:
    EventLogout(const QDateTime &now, QObject *parent);
};
