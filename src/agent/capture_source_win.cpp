#include "agent/capture_source.h"
#include "sensor/etw_session.h"

namespace kx::agent {
namespace {

class EtwCapture : public CaptureSource {
 public:
  void set_message_handler(sensor::MessageHandler handler, void* user) override {
    session_.set_message_handler(handler, user);
  }
  void start() override { session_.start(); }
  void stop() override { session_.stop(); }

 private:
  sensor::EtwSession session_;
};

}  // namespace

// The ETW session reads nothing of the configuration: its name and provider are fixed.
std::unique_ptr<CaptureSource> make_capture_session(const config::Config&, const std::string&) {
  return std::make_unique<EtwCapture>();
}

const char* capture_start_line() { return "Starting ETW session"; }

}  // namespace kx::agent
