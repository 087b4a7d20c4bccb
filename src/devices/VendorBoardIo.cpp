// boardio:: on the real board: forwards each call to the vendor's I/O library, linked with
// -DVORN_REAL_IOBOARD=ON. Only the calls the terminal makes are declared, as it uses them:
// 32-bit unsigned ids, masks and values, a 32-bit status (0 = success).
#include "devices/BoardIo.h"

extern "C" {
std::uint32_t SusiLibInitialize(void);
std::uint32_t SusiBoardGetStringA(std::uint32_t id, char *buffer, std::uint32_t *length);
std::uint32_t SusiGPIOGetDirection(std::uint32_t pin, std::uint32_t mask, std::uint32_t *direction);
std::uint32_t SusiGPIOSetDirection(std::uint32_t pin, std::uint32_t mask, std::uint32_t direction);
std::uint32_t SusiGPIOGetLevel(std::uint32_t pin, std::uint32_t mask, std::uint32_t *level);
std::uint32_t SusiGPIOSetLevel(std::uint32_t pin, std::uint32_t mask, std::uint32_t level);
}

namespace boardio {

Status initialize()
{
    return SusiLibInitialize();
}

Status boardString(std::uint32_t id, char *buffer, std::uint32_t *length)
{
    return SusiBoardGetStringA(id, buffer, length);
}

Status gpioDirection(std::uint32_t pin, std::uint32_t mask, std::uint32_t *direction)
{
    return SusiGPIOGetDirection(pin, mask, direction);
}

Status setGpioDirection(std::uint32_t pin, std::uint32_t mask, std::uint32_t direction)
{
    return SusiGPIOSetDirection(pin, mask, direction);
}

Status gpioLevel(std::uint32_t pin, std::uint32_t mask, std::uint32_t *level)
{
    return SusiGPIOGetLevel(pin, mask, level);
}

Status setGpioLevel(std::uint32_t pin, std::uint32_t mask, std::uint32_t level)
{
    return SusiGPIOSetLevel(pin, mask, level);
}

} // namespace boardio
