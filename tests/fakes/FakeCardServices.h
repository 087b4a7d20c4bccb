#pragma once

#include "fakes/FakeDispenserService.h"
#include "fakes/FakeRfidService.h"

class TestBroker;

// The terminal's card hardware together: a fake dispenser and a fake
// reader whose field follows the dispenser's RFID position, on the topics
// the terminal uses by default.
class FakeCardServices
{
public:
    explicit FakeCardServices(const QString &rfidBase = QStringLiteral("vesk/rfid"),
                              const QString &dispenserBase = QStringLiteral("vesk/dispenser"));

    // Loads the cartridge with `cards` blank cards, then starts both services
    // (their info and status documents are retained on the broker).
    bool start(const TestBroker &broker, int cards = 20);
    void stop();

    FakeDispenserService dispenser;
    FakeRfidService rfid;
};
