#pragma once

#include "devices/BoardIo.h"

#include <QByteArray>

// The board the terminal sees when no real I/O library is linked: eight GPIO pins whose
// direction and level are plain values, and the board's identification texts. Tests and
// simulations set pin levels and make calls fail through the static hooks below; the
// boardio:: calls read and write the same state. Process-wide, like the library it stands for.
//
// A simulation outside the process drives the inputs through a pins folder, as sysfs GPIO value
// files are driven: with the environment variable VORN_SIMULATED_GPIO naming a folder, a read of
// pin N takes the number written in its file "gpio<N>" there (`echo 1 > gpio1`) when that file
// exists and holds one; otherwise the stored level stands.
class SimulatedBoard
{
public:
    static constexpr int PinCount = 8;
    static constexpr const char *PinsFolderVariable = "VORN_SIMULATED_GPIO";

    // Status codes of the simulated library (the real one has its own).
    static constexpr boardio::Status NotInitialized = 0xFFFFF000u;
    static constexpr boardio::Status InvalidParameter = 0xFFFFF001u;
    static constexpr boardio::Status Unsupported = 0xFFFFF002u;

    static const QByteArray DefaultModel;
    static const QByteArray DefaultFirmware;

    // Back to a fresh board: not yet initialised, initialisation succeeds, every pin an
    // output (direction 0) at level 0, default identification texts, no injected failures.
    static void reset();

    // Status the next initialize() returns; anything but Success leaves every later call
    // failing with NotInitialized until an initialisation succeeds.
    static void setInitStatus(boardio::Status status);
    static bool isInitialized();

    // Text of a board string; it may be longer than the caller's buffer.
    static void setBoardString(std::uint32_t id, const QByteArray &text);

    static void setLevel(int pin, std::uint32_t level);
    static std::uint32_t level(int pin);
    static void setDirection(int pin, std::uint32_t direction);
    static std::uint32_t direction(int pin);

    // Make reads of a pin's level or direction fail with status (Success: work again).
    static void failLevelReads(int pin, boardio::Status status);
    static void failDirectionReads(int pin, boardio::Status status);

    // How often setGpioDirection was called for a pin since reset().
    static int directionWrites(int pin);
};
