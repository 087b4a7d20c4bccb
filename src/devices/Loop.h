#pragma once

#include <QDateTime>
#include <QObject>

namespace manager {

class MIOBoard;

// The magnetic vehicle-detection loop of the lane, on one input of the I/O board.
class Loop : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isOccupied READ isOccupied NOTIFY isOccupiedChanged)
    Q_PROPERTY(QDateTime lastChange READ lastChange NOTIFY lastChangeChanged)

public:
    Loop(MIOBoard &board, int pin, QObject *parent = nullptr);

    bool isOccupied() const { return m_occupied; }
    // When a vehicle last arrived; a departure leaves it alone.
    QDateTime lastChange() const { return m_lastChange; }

signals:
    void isOccupiedChanged();
    void lastChangeChanged();
    void vehiclePresent();
    void vehicleLeft();

private:
    void init();
    void onGpioStateChanged(int pin, int state);

    MIOBoard &m_board;
    int m_pin;
    bool m_occupied = false;
    QDateTime m_lastChange;
};

} // namespace manager
