#include "devices/SimulatedBoard.h"

#include <QFile>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

struct Pin
{
    std::uint32_t direction = 0;
    std::uint32_t level = 0;
    boardio::Status levelFailure = boardio::Success;
    boardio::Status directionFailure = boardio::Success;
    int directionWrites = 0;
};

struct Board
{
    bool initialized = false;
    boardio::Status initStatus = boardio::Success;
    QMap<std::uint32_t, QByteArray> strings;
    std::array<Pin, SimulatedBoard::PinCount> pins{};
};

QMutex mutex;

Board &board()
{
    static Board b = [] {
        Board fresh;
        fresh.strings.insert(boardio::BoardModelId, SimulatedBoard::DefaultModel);
        fresh.strings.insert(boardio::BoardFirmwareId, SimulatedBoard::DefaultFirmware);
        return fresh;
    }();
    return b;
}

bool validPin(int pin)
{
    return pin >= 0 && pin < SimulatedBoard::PinCount;
}

// The level written in the pin's file of the pins folder, if there is one.
void readPinFile(std::uint32_t pin, Pin &p)
{
    const QString folder = qEnvironmentVariable(SimulatedBoard::PinsFolderVariable);
    if (folder.isEmpty())
        return;
    QFile file(folder + QStringLiteral("/gpio") + QString::number(pin));
    if (!file.open(QIODevice::ReadOnly))
        return;
    bool ok = false;
    const std::uint32_t level = file.read(16).trimmed().toUInt(&ok);
    if (ok)
        p.level = level;
}

// Common checks of every GPIO call; Success when the call may go on.
boardio::Status gpioCheck(std::uint32_t pin, std::uint32_t mask)
{
    if (!board().initialized)
        return SimulatedBoard::NotInitialized;
    if (pin >= std::uint32_t(SimulatedBoard::PinCount))
        return SimulatedBoard::InvalidParameter;
    // Only single-pin access (mask 0) is simulated.
    if (mask != 0)
        return SimulatedBoard::Unsupported;
    return boardio::Success;
}

} // namespace

const QByteArray SimulatedBoard::DefaultModel = QByteArrayLiteral("SIM-IO8");
const QByteArray SimulatedBoard::DefaultFirmware = QByteArrayLiteral("SIM 1.0.0");

void SimulatedBoard::reset()
{
    QMutexLocker lock(&mutex);
    Board &b = board();
    b.initialized = false;
    b.initStatus = boardio::Success;
    b.strings.clear();
    b.strings.insert(boardio::BoardModelId, DefaultModel);
    b.strings.insert(boardio::BoardFirmwareId, DefaultFirmware);
    b.pins.fill(Pin{});
}

void SimulatedBoard::setInitStatus(boardio::Status status)
{
    QMutexLocker lock(&mutex);
    board().initStatus = status;
}

bool SimulatedBoard::isInitialized()
{
    QMutexLocker lock(&mutex);
    return board().initialized;
}

void SimulatedBoard::setBoardString(std::uint32_t id, const QByteArray &text)
{
    QMutexLocker lock(&mutex);
    board().strings.insert(id, text);
}

void SimulatedBoard::setLevel(int pin, std::uint32_t level)
{
    QMutexLocker lock(&mutex);
    if (validPin(pin))
        board().pins[pin].level = level;
}

std::uint32_t SimulatedBoard::level(int pin)
{
    QMutexLocker lock(&mutex);
    return validPin(pin) ? board().pins[pin].level : 0;
}

void SimulatedBoard::setDirection(int pin, std::uint32_t direction)
{
    QMutexLocker lock(&mutex);
    if (validPin(pin))
        board().pins[pin].direction = direction;
}

std::uint32_t SimulatedBoard::direction(int pin)
{
    QMutexLocker lock(&mutex);
    return validPin(pin) ? board().pins[pin].direction : 0;
}

void SimulatedBoard::failLevelReads(int pin, boardio::Status status)
{
    QMutexLocker lock(&mutex);
    if (validPin(pin))
        board().pins[pin].levelFailure = status;
}

void SimulatedBoard::failDirectionReads(int pin, boardio::Status status)
{
    QMutexLocker lock(&mutex);
    if (validPin(pin))
        board().pins[pin].directionFailure = status;
}

int SimulatedBoard::directionWrites(int pin)
{
    QMutexLocker lock(&mutex);
    return validPin(pin) ? board().pins[pin].directionWrites : 0;
}

namespace boardio {

Status initialize()
{
    QMutexLocker lock(&mutex);
    Board &b = board();
    if (b.initStatus != Success)
        return b.initStatus;
    b.initialized = true;
    return Success;
}

Status boardString(std::uint32_t id, char *buffer, std::uint32_t *length)
{
    QMutexLocker lock(&mutex);
    Board &b = board();
    if (!b.initialized)
        return SimulatedBoard::NotInitialized;
    if (!buffer || !length)
        return SimulatedBoard::InvalidParameter;
    const auto it = b.strings.constFind(id);
    if (it == b.strings.constEnd())
        return SimulatedBoard::Unsupported;
    // Like a terse C library: copy what fits, terminate only when there is room left.
    const std::uint32_t copied = std::min<std::uint32_t>(*length, std::uint32_t(it->size()));
    std::memcpy(buffer, it->constData(), copied);
    if (copied < *length)
        buffer[copied] = '\0';
    *length = copied;
    return Success;
}

Status gpioDirection(std::uint32_t pin, std::uint32_t mask, std::uint32_t *direction)
{
    QMutexLocker lock(&mutex);
    if (const Status s = gpioCheck(pin, mask))
        return s;
    if (!direction)
        return SimulatedBoard::InvalidParameter;
    const Pin &p = board().pins[pin];
    if (p.directionFailure != Success)
        return p.directionFailure;
    *direction = p.direction;
    return Success;
}

Status setGpioDirection(std::uint32_t pin, std::uint32_t mask, std::uint32_t direction)
{
    QMutexLocker lock(&mutex);
    if (const Status s = gpioCheck(pin, mask))
        return s;
    Pin &p = board().pins[pin];
    ++p.directionWrites;
    p.direction = direction;
    return Success;
}

Status gpioLevel(std::uint32_t pin, std::uint32_t mask, std::uint32_t *level)
{
    QMutexLocker lock(&mutex);
    if (const Status s = gpioCheck(pin, mask))
        return s;
    if (!level)
        return SimulatedBoard::InvalidParameter;
    Pin &p = board().pins[pin];
    if (p.levelFailure != Success)
        return p.levelFailure;
    readPinFile(pin, p);
    *level = p.level;
    return Success;
}

Status setGpioLevel(std::uint32_t pin, std::uint32_t mask, std::uint32_t level)
{
    QMutexLocker lock(&mutex);
    if (const Status s = gpioCheck(pin, mask))
        return s;
    board().pins[pin].level = level;
    return Success;
}

} // namespace boardio
