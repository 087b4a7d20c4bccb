#include "fakes/FakeCardServices.h"

#include "fakes/TestBroker.h"

FakeCardServices::FakeCardServices(const QString &rfidBase, const QString &dispenserBase)
    : dispenser(dispenserBase)
    , rfid(rfidBase)
{
    rfid.attach(&dispenser);
}

bool FakeCardServices::start(const TestBroker &broker, int cards)
{
    dispenser.loadCartridge(cards);
    return dispenser.start(broker) && rfid.start(broker);
}

void FakeCardServices::stop()
{
    rfid.stop();
    dispenser.stop();
}
