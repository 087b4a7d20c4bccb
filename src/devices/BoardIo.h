#pragma once

#include <cstdint>

// The few calls the terminal makes into the embedded board's I/O library. The build links either
// the simulated board (default; tests drive its pins through SimulatedBoard) or, with
// VORN_REAL_IOBOARD, a thin forwarder to the vendor library on the board itself. Every call returns
// a status, 0 on success; the library is process-wide, so these are free functions.
namespace boardio {

using Status = std::uint32_t;

constexpr Status Success = 0;

// Board identification texts.
constexpr std::uint32_t BoardModelId = 1;
constexpr std::uint32_t BoardFirmwareId = 7;

Status initialize();

// Fills buffer with the text of board string id. length: capacity in, bytes written out.
// The text need not be zero-terminated when it fills the whole buffer.
Status boardString(std::uint32_t id, char *buffer, std::uint32_t *length);

Status gpioDirection(std::uint32_t pin, std::uint32_t mask, std::uint32_t *direction);
Status setGpioDirection(std::uint32_t pin, std::uint32_t mask, std::uint32_t direction);
Status gpioLevel(std::uint32_t pin, std::uint32_t mask, std::uint32_t *level);
Status setGpioLevel(std::uint32_t pin, std::uint32_t mask, std::uint32_t level);

} // namespace boardio
