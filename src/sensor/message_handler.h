#pragma once

#include <cstdint>

namespace kx::sensor {

// Receives each framed DNS packet message. The bytes are valid only during the call;
// a handler that keeps them copies them. The result is the handler's own.
using MessageHandler = int32_t (*)(const uint8_t* data, uint32_t length, void* user);

// Told, once and on the capture thread, that the capture ended on an error of its own
// (not through a stop); message is the error's text, valid during the call only.
using CaptureFailureHandler = void (*)(const char* message, void* user);

}  // namespace kx::sensor
