#include "devices/Loop.h"

#include "devices/MIOBoard.h"

#include <QDebug>

namespace manager {

namespace {
const char Tag[] = "[Loop] ";
} // namespace

Loop::Loop(MIOBoard &board, int pin, QObject *parent)
    : QObject(parent)
    , m_board(board)
    , m_pin(pin)
{
    init();
}

void Loop::init()
{
    connect(&m_board, &MIOBoard::gpioStateChanged, this, &Loop::onGpioStateChanged);
    m_board.setGpioDir(m_pin, 1);
    // A failed read (-1) counts as free.
    m_occupied = m_board.gpioState(m_pin) > 0;
}

void Loop::onGpioStateChanged(int pin, int state)
{
    if (pin != m_pin)
        return;
    // Every change the board reports is passed on, even one that matches the flag: the board's
    // first poll reports an input at 0 once, though the flag was read as free at start-up.
    qInfo().noquote().nospace() << Tag << "Magnetic Loop state changed : "
                                << (state != 0 ? "occupied" : "not-occupied");
    if (state == 0) {
        m_occupied = false;
        emit isOccupiedChanged();
        emit vehicleLeft();
        return;
    }
    m_occupied = true;
    m_lastChange = QDateTime::currentDateTime();
    emit lastChangeChanged();
    emit isOccupiedChanged();
    emit vehiclePresent();
}

} // namespace manager
