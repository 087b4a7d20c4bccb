#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <cstdint>

namespace manager {

// The general-purpose I/O of the embedded board: identification texts read once, and a poll
// every 100 ms of the pins given a non-zero direction, announcing each level change.
class MIOBoard : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(QString firmware READ firmware NOTIFY firmwareChanged)
    Q_PROPERTY(int displayBrightness READ displayBrightness WRITE setDisplayBrightness NOTIFY displayBrightnessChanged)

public:
    struct GPIOMonitor
    {
        std::int32_t pin;
        std::int32_t direction; // 0: not polled
        std::int32_t level;     // last level read
    };

    static constexpr int PinCount = 8;
    static constexpr int PollIntervalMs = 100;

    explicit MIOBoard(QObject *parent = nullptr);

    QString manufacturer() const { return m_manufacturer; }
    QString model() const { return m_model; }
    QString firmware() const { return m_firmware; }
    int displayBrightness() const { return m_displayBrightness; }
    void setDisplayBrightness(int) {}

    // Read the hardware; -1 when the read fails (or the pin does not exist).
    int gpioDir(int pin);
    int gpioState(int pin);

    // A non-zero direction makes the pin an input and puts it into the poll; 0 takes it out.
    void setGpioDir(int pin, int dir);
    void setGpioState(int pin, int state);

    // One pass of the poll; the timer runs it every PollIntervalMs.
    void onGpiosMonitor();

signals:
    void manufacturerChanged();
    void modelChanged();
    void firmwareChanged();
    void gpioStateChanged(int pin, int state);
    void gpioDirChanged(int pin, int dir);
    void displayBrightnessChanged();

private:
    static bool validPin(int pin);
    static QString readBoardString(std::uint32_t id);

    QVector<GPIOMonitor> m_monitors;
    QString m_manufacturer;
    QString m_model;
    QString m_firmware;
    int m_displayBrightness = 0;
    QTimer m_pollTimer;
};

} // namespace manager
