#pragma once

#include <cstdint>

namespace kx::sensor {

// Receives each framed DNS packet message. The bytes are valid only during the call;
// a handler that keeps them copies them. The result is the handler's own.
using MessageHandler = int32_t (*)(const uint8_t* data, uint32_t length, void* user);

// Told, once and on the capture thread, that the capture ended on an error of its own
// (not through a stop); message is the error's text, valid during the call only.
using CaptureFailureHandler = void (*)(const char* message, void* user);

// A handler with its user pointer: where a source sends its messages.
struct MessageSink {
  MessageHandler handler = nullptr;
  void* user = nullptr;
};

// Hands one message to the sink's handler; 0 while there is none.
inline int32_t send_message(const MessageSink& sink, const uint8_t* data, uint32_t length) {
  return sink.handler == nullptr ? 0 : sink.handler(data, length, sink.user);
}

}  // namespace kx::sensor
