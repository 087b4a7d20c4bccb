#pragma once

#include "async/Deferred.h"

#include <QDateTime>
#include <QObject>

namespace manager {

class MIOBoard;

// The driver's push-button on one input of the I/O board.
class Button : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isEnabled READ isEnabled NOTIFY isEnabledChanged)
    Q_PROPERTY(bool isPressed READ isPressed NOTIFY isPressedChanged)
    Q_PROPERTY(QDateTime lastPress READ lastPress NOTIFY lastPressChanged)

public:
    Button(MIOBoard &board, int pin, QObject *parent = nullptr);

    bool isEnabled() const { return m_enabled; }
    bool isPressed() const { return m_pressed; }
    QDateTime lastPress() const { return m_lastPress; }

signals:
    void isEnabledChanged();
    void isPressedChanged();
    void lastPressChanged();
    void pressed();
    void released();

public slots:
    void enable();
    void disable();
    // Resolved at the next press, rejected when sec seconds pass first (sec <= 0: no limit).
    // Each call is a wait of its own: several may be pending at once.
    Deferred<> waitPress(int sec = 300);

private:
    void init();
    void onGpioStateChanged(int pin, int state);

    MIOBoard &m_board;
    int m_pin;
    bool m_enabled = true;
    bool m_pressed = false;
    QDateTime m_lastPress;
};

} // namespace manager
