#include "devices/MIOBoard.h"

#include "devices/BoardIo.h"

#include <QDebug>

#include <cstring>

namespace manager {

namespace {
const char Tag[] = "[MIOBoard] ";
constexpr std::uint32_t BoardStringCapacity = 1000;
} // namespace

MIOBoard::MIOBoard(QObject *parent)
    : QObject(parent)
{
    const boardio::Status status = boardio::initialize();
    if (status != boardio::Success)
        qCritical().noquote().nospace() << Tag << "Failed to initialize Susi4 library, code " << status;
    else
        qDebug().noquote().nospace() << Tag << "SUSI library initialized";

    m_manufacturer = QStringLiteral("Advantech");
    m_model = readBoardString(boardio::BoardModelId);
    m_firmware = readBoardString(boardio::BoardFirmwareId);

    connect(&m_pollTimer, &QTimer::timeout, this, &MIOBoard::onGpiosMonitor);
    m_pollTimer.setInterval(PollIntervalMs);
    m_pollTimer.setSingleShot(false);
    m_pollTimer.start();

    m_monitors.reserve(PinCount);
    for (int i = 0; i < PinCount; ++i)
        m_monitors.append(GPIOMonitor{i, 0, 1});
}

bool MIOBoard::validPin(int pin)
{
    return pin >= 0 && pin < PinCount;
}

QString MIOBoard::readBoardString(std::uint32_t id)
{
    char buffer[BoardStringCapacity];
    std::memset(buffer, 0, sizeof buffer);
    std::uint32_t length = sizeof buffer;
    boardio::boardString(id, buffer, &length);
    // A text that fills the whole buffer has no terminator: never look past the buffer.
    return QString::fromUtf8(buffer, int(qstrnlen(buffer, sizeof buffer)));
}

int MIOBoard::gpioDir(int pin)
{
    std::uint32_t dir = 0;
    if (!validPin(pin) || boardio::gpioDirection(std::uint32_t(pin), 0, &dir) != boardio::Success) {
        qCritical().noquote().nospace() << Tag << "Failed to get mode for GPIO-" << pin;
        return -1;
    }
    qDebug().noquote().nospace() << Tag << "Got direction-" << dir << " for GPIO-" << pin;
    return int(dir);
}

int MIOBoard::gpioState(int pin)
{
    std::uint32_t level = 0;
    if (!validPin(pin) || boardio::gpioLevel(std::uint32_t(pin), 0, &level) != boardio::Success) {
        qCritical().noquote().nospace() << Tag << "Failed to get mode for GPIO-" << pin;
        return -1;
    }
    qDebug().noquote().nospace() << Tag << "Got state-" << level << " for GPIO-" << pin;
    return int(level);
}

void MIOBoard::setGpioDir(int pin, int dir)
{
    if (!validPin(pin)) {
        qCritical().noquote().nospace() << Tag << "No GPIO-" << pin << " on this board";
        return;
    }
    std::uint32_t current = 0;
    const boardio::Status status = boardio::gpioDirection(std::uint32_t(pin), 0, &current);
    if (status != boardio::Success) {
        qCritical().noquote().nospace()
            << Tag << "Failed to get mode for GPIO-" << pin << ", SUSI_STATUS code" << status;
        return;
    }
    if (int(current) == dir) {
        qInfo().noquote().nospace() << Tag << "GPIO-" << pin << " already set to direction " << dir;
        m_monitors[pin].direction = dir;
        return;
    }
    boardio::setGpioDirection(std::uint32_t(pin), 0, dir != 0 ? 1 : 0);
    emit gpioDirChanged(pin, dir);
    m_monitors[pin].direction = dir;
    qInfo().noquote().nospace() << Tag << "Succesfully set GPIO-" << pin << " to direction " << dir;
}

void MIOBoard::setGpioState(int pin, int state)
{
    if (!validPin(pin)) {
        qCritical().noquote().nospace() << Tag << "No GPIO-" << pin << " on this board";
        return;
    }
    std::uint32_t current = 0;
    boardio::Status status = boardio::gpioLevel(std::uint32_t(pin), 0, &current);
    if (status != boardio::Success) {
        qCritical().noquote().nospace()
            << Tag << "Failed to get mode for GPIO-" << pin << ", SUSI_STATUS code " << status;
        return;
    }
    // The pin reads back as 0 or 1, so that is what is compared, stored and announced.
    const int level = state != 0 ? 1 : 0;
    if (int(current) == level) {
        qInfo().noquote().nospace() << Tag << "GPIO-" << pin << " already has state " << state;
        m_monitors[pin].level = level;
        return;
    }
    status = boardio::setGpioLevel(std::uint32_t(pin), 0, std::uint32_t(level));
    if (status != boardio::Success) {
        qCritical().noquote().nospace()
            << Tag << "Failed to set state for GPIO-" << pin << ", SUSI_STATUS code " << status;
        return;
    }
    m_monitors[pin].level = level;
    qInfo().noquote().nospace() << Tag << "Set GPIO-" << pin << " to state " << level;
    emit gpioStateChanged(pin, level);
}

void MIOBoard::onGpiosMonitor()
{
    for (int i = 0; i < PinCount; ++i) {
        GPIOMonitor &monitor = m_monitors[i];
        if (monitor.direction == 0)
            continue;
        std::uint32_t read = 0;
        if (boardio::gpioLevel(std::uint32_t(i), 0, &read) != boardio::Success)
            continue; // a failing pin keeps its last level and stays quiet
        const int level = int(read);
        if (level == monitor.level)
            continue;
        qInfo().noquote().nospace()
            << Tag << "GPIO-" << i << " state change from " << monitor.level << " to " << level;
        // Stored before the signal, so that a handler polling again sees no second change.
        monitor.level = level;
        emit gpioStateChanged(i, level);
    }
}

} // namespace manager
