#pragma once

#include <cstdint>

namespace kx::sensor {

// Receives each framed DNS packet message. The bytes are valid only during the call;
// a handler that keeps them copies them. The result is the handler's own.
using MessageHandler = int32_t (*)(const uint8_t* data, uint32_t length, void* user);

}  // namespace kx::sensor
