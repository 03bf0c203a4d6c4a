#include "collector_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "collector_error.h"
#include "net/wire_format.h"
#include "support/test_util.h"

namespace kx::collector {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

constexpr auto kDeadline = 10s;

// Keeps a copy of what it is given; read by the test thread.
class RecordingOutput : public Output {
 public:
  struct Seen {
    std::string agent, version, device;
    uint32_t time;
  };
  void write(const CollectedMessage& m) override {
    if (fail_writes) throw CollectorError("write(test) failed");
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back({std::string(m.agent), std::string(m.version), std::string(m.dns.device),
                     m.dns.time_seconds});
  }
  void flush() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++flushes_;
  }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  int flushes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return flushes_;
  }
  bool fail_writes = false;

 private:
  std::mutex mutex_;
  std::vector<Seen> seen_;
  int flushes_ = 0;
};

void append_record(Bytes& stream, const Bytes& body) {
  uint8_t length[4];
  kx::wire::store_be32(length, static_cast<uint32_t>(body.size()));
  stream.insert(stream.end(), length, length + 4);
  stream.insert(stream.end(), body.begin(), body.end());
}

Bytes hello(const std::string& version = "3.7.3") {
  Bytes stream;
  Bytes body{kx::wire::kHelloMessageType};
  body.insert(body.end(), version.begin(), version.end());
  append_record(stream, body);
  return stream;
}

Bytes message(uint32_t time, const std::string& device) {
  const uint8_t packet[] = {0x12, 0x34, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
  Bytes body(kx::wire::dns_message_size(device.size(), 8, sizeof packet));
  kx::wire::write_dns_message(body.data(), time, device, "10.0.0.1", 0, packet, sizeof packet);
  Bytes stream;
  append_record(stream, body);
  return stream;
}

bool wait_until(const std::function<bool()>& done) {
  auto end = std::chrono::steady_clock::now() + kDeadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A client socket to the server under test.
class Agent {
 public:
  explicit Agent(const std::string& address) {
    SocketAddress target;
    if (!parse_socket_address(address, &target)) throw std::runtime_error("bad " + address);
    fd_ = socket(target.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, target.get(), target.length) != 0) {
      throw std::runtime_error("connect(" + address + ") failed");
    }
    sockaddr_storage local = {};
    socklen_t length = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    name_ = format_socket_address(reinterpret_cast<sockaddr*>(&local));
  }
  ~Agent() { close_now(); }
  void send_bytes(const Bytes& bytes) {
    ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  void close_now() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // Waits for the server to close the connection; returns the bytes it sent before.
  ssize_t bytes_before_close() {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kDeadline).count())) != 1) {
      return -1;
    }
    char buffer[64];
    ssize_t total = 0;
    for (;;) {
      ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return total;
      total += n;
    }
  }
  const std::string& name() const { return name_; }

 private:
  int fd_ = -1;
  std::string name_;
};

// A server on an ephemeral loopback port, run on a thread of its own.
class RunningServer {
 public:
  RunningServer(std::vector<Output*> outputs, const char* listen = "127.0.0.1:0",
                uint32_t max_record = kDefaultMaxRecord)
      : diagnostics_path_(dir_.file("stderr")) {
    diagnostics_ = fopen(diagnostics_path_.c_str(), "w+");
    ServerOptions options;
    if (!parse_socket_address(listen, &options.listen)) throw std::runtime_error(listen);
    options.max_record = max_record;
    server_ = std::make_unique<CollectorServer>(options, std::move(outputs), diagnostics_);
    thread_ = std::thread([this] {
      try {
        server_->run();
      } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = e.what();
      }
      finished_ = true;
    });
  }
  ~RunningServer() {
    stop();
    fclose(diagnostics_);
  }
  CollectorServer& server() { return *server_; }
  void stop() {
    if (!thread_.joinable()) return;
    server_->stop();
    thread_.join();
  }
  bool finished() const { return finished_; }
  std::string failure() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
  }
  // Lines written so far; only read after stop().
  // The problem lines, without the one line each agent's hello gives.
  std::vector<std::string> diagnostics() {
    std::vector<std::string> problems;
    for (const std::string& line : all_diagnostics()) {
      if (line.find(": hello, agent version ") == std::string::npos) problems.push_back(line);
    }
    return problems;
  }
  std::vector<std::string> all_diagnostics() {
    fflush(diagnostics_);
    return kx::test::split_lines(kx::test::read_file(diagnostics_path_));
  }

 private:
  kx::test::TempDir dir_;
  std::string diagnostics_path_;
  FILE* diagnostics_ = nullptr;
  std::unique_ptr<CollectorServer> server_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  std::mutex mutex_;
  std::string failure_;
};

TEST(CollectorServerTest, ServesSeveralAgentsAtOnceKeepingEachOnesIdentity) {
  RecordingOutput output;
  RunningServer running({&output});
  Agent first(running.server().address());
  Agent second(running.server().address());
  first.send_bytes(hello("3.7.3"));
  second.send_bytes(hello("9.9.9"));
  for (uint32_t i = 0; i < 50; ++i) {
    first.send_bytes(message(i, "10.0.0.5"));
    second.send_bytes(message(i, "10.0.0.6"));
  }
  ASSERT_TRUE(wait_until([&] { return output.seen().size() == 100; }));
  for (const auto& seen : output.seen()) {
    if (seen.device == "10.0.0.5") {
      EXPECT_EQ(seen.agent, first.name());
      EXPECT_EQ(seen.version, "3.7.3");
    } else {
      EXPECT_EQ(seen.agent, second.name());
      EXPECT_EQ(seen.version, "9.9.9");
    }
  }
  ServerStats stats = running.server().stats();
  EXPECT_EQ(stats.connections, 2u);
  EXPECT_EQ(stats.messages, 100u);
  EXPECT_EQ(stats.bytes, 2 * (hello().size() + 50 * message(0, "10.0.0.5").size()));
  EXPECT_GT(output.flushes(), 0);
  const std::vector<std::string> lines = running.all_diagnostics();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "collector: " + first.name() + ": hello, agent version 3.7.3"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "collector: " + second.name() + ": hello, agent version 9.9.9"),
            lines.end());
}

// The reasons themselves are the parser's; here: the server's part in a bad stream.
TEST(CollectorServerTest, BadConnectionIsClosedWhileTheOthersCarryOn) {
  RecordingOutput output;
  RunningServer running({&output}, "127.0.0.1:0", 1000);
  Agent good(running.server().address());
  good.send_bytes(hello());
  good.send_bytes(message(1, "10.0.0.5"));
  Agent bad(running.server().address());
  Bytes stream = hello();
  // A length above the limit is refused before its body arrives.
  stream.insert(stream.end(), {0x00, 0x10, 0x00, 0x00});
  bad.send_bytes(stream);
  EXPECT_EQ(bad.bytes_before_close(), 0) << "closed without a reply";
  good.send_bytes(message(2, "10.0.0.5"));
  ASSERT_TRUE(wait_until([&] { return output.seen().size() == 2; }));
  running.stop();
  for (const auto& seen : output.seen()) EXPECT_EQ(seen.agent, good.name());
  EXPECT_EQ(running.server().stats().malformed, 1u);
  EXPECT_EQ(running.diagnostics(),
            std::vector<std::string>{"collector: " + bad.name() +
                                     ": record length 1048576 above the limit of 1000 bytes; "
                                     "connection closed"});
}

TEST(CollectorServerTest, PartialRecordAtTheEndIsCountedAndDropped) {
  RecordingOutput output;
  RunningServer running({&output});
  {
    Agent agent(running.server().address());
    Bytes stream = hello();
    Bytes whole = message(1, "10.0.0.5");
    stream.insert(stream.end(), whole.begin(), whole.end());
    stream.insert(stream.end(), whole.begin(), whole.end() - 5);
    agent.send_bytes(stream);
  }
  ASSERT_TRUE(wait_until([&] { return running.server().stats().truncated == 1; }));
  running.stop();
  EXPECT_EQ(output.seen().size(), 1u);
  EXPECT_EQ(running.server().stats().malformed, 0u);
  std::vector<std::string> lines = running.diagnostics();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("connection ended inside a record"), std::string::npos) << lines[0];
}

TEST(CollectorServerTest, StopEndsTheRunWithAgentsStillConnectedAndFlushes) {
  RecordingOutput output;
  RunningServer running({&output});
  Agent agent(running.server().address());
  agent.send_bytes(hello());
  agent.send_bytes(message(1, "10.0.0.5"));
  ASSERT_TRUE(wait_until([&] { return output.seen().size() == 1; }));
  int flushes = output.flushes();
  running.stop();
  EXPECT_TRUE(running.finished());
  EXPECT_GT(output.flushes(), flushes);
  EXPECT_EQ(agent.bytes_before_close(), 0);
  EXPECT_EQ(running.server().summary(),
            "1 connections, 1 messages, " + std::to_string(running.server().stats().bytes) +
                " bytes, 0 malformed, 0 truncated");
}

TEST(CollectorServerTest, WhatArrivedBeforeTheStopIsStillDelivered) {
  RecordingOutput output;
  RunningServer running({&output});
  Agent agent(running.server().address());
  Bytes stream = hello();
  for (uint32_t i = 0; i < 20; ++i) {
    Bytes m = message(i, "10.0.0.5");
    stream.insert(stream.end(), m.begin(), m.end());
  }
  // On loopback the bytes are in the collector's receive buffer once send returns.
  agent.send_bytes(stream);
  running.stop();
  EXPECT_EQ(output.seen().size(), 20u);
}

TEST(CollectorServerTest, FailingOutputEndsTheRunWithItsError) {
  RecordingOutput output;
  output.fail_writes = true;
  RunningServer running({&output});
  Agent agent(running.server().address());
  agent.send_bytes(hello());
  agent.send_bytes(message(1, "10.0.0.5"));
  ASSERT_TRUE(wait_until([&] { return running.finished(); }));
  EXPECT_EQ(running.failure(), "write(test) failed");
}

TEST(CollectorServerTest, ListensOnIpv6Loopback) {
  RecordingOutput output;
  std::unique_ptr<RunningServer> running;
  try {
    running = std::make_unique<RunningServer>(std::vector<Output*>{&output}, "[::1]:0");
  } catch (const CollectorError& e) {
    GTEST_SKIP() << "no IPv6 loopback: " << e.what();
  }
  ASSERT_EQ(running->server().address().rfind("[::1]:", 0), 0u);
  Agent agent(running->server().address());
  agent.send_bytes(hello());
  agent.send_bytes(message(1, "10.0.0.5"));
  ASSERT_TRUE(wait_until([&] { return output.seen().size() == 1; }));
  EXPECT_EQ(output.seen()[0].agent.rfind("[::1]:", 0), 0u);
}

TEST(CollectorServerTest, AddressInUseNamesTheCall) {
  RecordingOutput output;
  RunningServer running({&output});
  ServerOptions options;
  ASSERT_TRUE(parse_socket_address(running.server().address(), &options.listen));
  try {
    CollectorServer second(options, {&output});
    FAIL() << "second bind succeeded";
  } catch (const CollectorError& e) {
    EXPECT_EQ(std::string(e.what()),
              "bind(" + running.server().address() + ") failed: Address already in use");
  }
}

}  // namespace
}  // namespace kx::collector
