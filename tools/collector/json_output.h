// JSON lines: one object per DNS packet message.
#pragma once

#include <cstdio>
#include <string>

#include "dns_decoder.h"
#include "output.h"
#include "text_format.h"

namespace kx::collector {

// Builds the JSON line of one message (with its line feed) into out, replacing what
// out held. Reuses decoder and the time formatters.
class JsonFormatter {
 public:
  void format(const CollectedMessage& message, std::string& out);

 private:
  void append_dns(const uint8_t* packet, size_t size, std::string& out);

  DnsDecoder decoder_;
  UtcSecondsFormatter received_time_;
  UtcSecondsFormatter event_time_;
};

// Appends JSON lines to a file, or writes them to standard output for the path "-".
class JsonOutput : public Output {
 public:
  explicit JsonOutput(const std::string& path);
  ~JsonOutput() override;
  JsonOutput(const JsonOutput&) = delete;
  JsonOutput& operator=(const JsonOutput&) = delete;

  void write(const CollectedMessage& message) override;
  void flush() override;
  void reopen() override;
  const char* kind() const override { return "json"; }

 private:
  void fail(const char* call, int error);

  std::string path_;
  FILE* file_;
  bool owns_file_;
  JsonFormatter formatter_;
  std::string line_;
};

}  // namespace kx::collector
