#include "devices/Button.h"

#include "async/Utils.h"
#include "devices/MIOBoard.h"

#include <QDebug>

#include <climits>

namespace manager {

namespace {
const char Tag[] = "[Button] ";
} // namespace

Button::Button(MIOBoard &board, int pin, QObject *parent)
    : QObject(parent)
    , m_board(board)
    , m_pin(pin)
{
    init();
}

void Button::init()
{
    connect(&m_board, &MIOBoard::gpioStateChanged, this, &Button::onGpioStateChanged);
    m_board.setGpioDir(m_pin, 1);
    // A failed read (-1) counts as released.
    m_pressed = m_board.gpioState(m_pin) > 0;
}

void Button::onGpioStateChanged(int pin, int state)
{
    if (pin != m_pin || !m_enabled)
        return;
    qInfo().noquote().nospace() << Tag << "User Button state changed : "
                                << (state != 0 ? "pressed" : "not pressed");
    if (state == 0) {
        m_pressed = false;
        emit isPressedChanged();
        emit released();
        return;
    }
    m_pressed = true;
    m_lastPress = QDateTime::currentDateTime();
    emit lastPressChanged();
    emit isPressedChanged();
    emit pressed();
}

void Button::enable()
{
    if (m_enabled)
        return;
    qInfo().noquote().nospace() << Tag << "User button enabled";
    m_enabled = true;
    emit isEnabledChanged();
}

void Button::disable()
{
    if (!m_enabled)
        return;
    qInfo().noquote().nospace() << Tag << "User button disabled";
    m_enabled = false;
    emit isEnabledChanged();
}

Deferred<> Button::waitPress(int sec)
{
    // Each wait holds and cuts only its own connection, so several waits and the other
    // listeners of pressed() do not disturb one another.
    const int ms = sec <= 0 ? 0 : (sec > INT_MAX / 1000 ? INT_MAX : sec * 1000);
    return Utils::waitSignal(this, &Button::pressed, ms);
}

} // namespace manager
