#pragma once

#include <QString>

namespace manager {
class RFID;
class Dispenser;
class CardIssuer;
class Network;
class Update;
class Barrier;
class Clock;
} // namespace manager

namespace Backend {

// What the back-office client reads of the terminal that owns it. The terminal
// implements it (its own getters have these very signatures); keeping the
// client on this narrow view lets it be built and tested without the whole
// terminal. Every pointer is the terminal's own object, never null.
class TerminalView
{
public:
    virtual ~TerminalView() = default;

    virtual QString serialNum() const = 0;
    virtual QString customsId() const = 0;
    virtual QString locationId() const = 0;
    // "CARD_VENDING_MACHINE", "CARD_COLLECTION_MACHINE" or empty.
    virtual QString type() const = 0;
    // Whole seconds of the monotonic clock.
    virtual int uptime() const = 0;

    virtual manager::RFID *rfid() = 0;
    virtual manager::Dispenser *dispenser() = 0;
    virtual manager::CardIssuer *cardIssuer() = 0;
    virtual manager::Network *network() = 0;
    virtual manager::Update *update() = 0;
    virtual manager::Barrier *barrier() = 0;
    virtual manager::Clock *clock() = 0;
};

} // namespace Backend
