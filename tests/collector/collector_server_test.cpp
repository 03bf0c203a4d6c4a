#include "collector_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "collector/builders.h"
#include "collector_error.h"
#include "support/test_util.h"
#include "support/wait.h"

namespace kx::collector {
namespace {

using namespace std::chrono_literals;
using ::testing::UnorderedElementsAre;
using kx::test::wait_until;

// Keeps "agent version device" of each message; seen is read only once the run has ended.
class RecordingOutput : public Output {
 public:
  void write(const CollectedMessage& m) override {
    if (fail_writes) throw CollectorError("write(test) failed");
    seen.push_back(std::string(m.agent) + " " + std::string(m.version) + " " +
                   std::string(m.dns.device));
    ++unflushed;
  }
  void flush() override { unflushed = 0; }
  bool accepting() const override { return !holding_back; }
  const char* kind() const override { return "test"; }
  std::vector<std::string> seen;
  std::atomic<bool> holding_back{false};
  std::atomic<size_t> unflushed{0};  // writes that no flush has followed yet
  bool fail_writes = false;
};

// A hello and count messages from device 10.0.0.5.
Bytes agent_stream(uint32_t count) {
  Bytes stream = hello_record();
  for (uint32_t i = 0; i < count; ++i) append_record(stream, message_body(i, "10.0.0.5"));
  return stream;
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
    name = format_socket_address(reinterpret_cast<sockaddr*>(&local));
  }
  ~Agent() { close(fd_); }
  void send_bytes(const Bytes& bytes) {
    ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // True once the server has closed the connection without sending anything.
  bool closed_without_reply() {
    pollfd p = {fd_, POLLIN, 0};
    char byte;
    return poll(&p, 1, 10000) == 1 && recv(fd_, &byte, 1, 0) == 0;
  }
  std::string name;

 private:
  int fd_ = -1;
};

// A server on an ephemeral loopback port, run on a thread of its own.
class RunningServer {
 public:
  explicit RunningServer(Output& output, ServerOptions options = {},
                         const char* listen = "127.0.0.1:0")
      : diagnostics_(fopen(dir_.file("stderr").c_str(), "w+")) {
    if (!parse_socket_address(listen, &options.listen)) throw std::runtime_error(listen);
    server_ =
        std::make_unique<CollectorServer>(options, std::vector<Output*>{&output}, diagnostics_);
    run = std::async(std::launch::async, [this] { server_->run(); });
  }
  ~RunningServer() {
    stop();
    fclose(diagnostics_);
  }
  CollectorServer& server() { return *server_; }
  // Ends the run; false when it did not end in time.
  bool stop() {
    server_->stop();
    return !run.valid() || run.wait_for(10s) == std::future_status::ready;
  }
  std::vector<std::string> diagnostics() {
    return kx::test::split_lines(kx::test::read_file(dir_.file("stderr")));
  }
  std::future<void> run;

 private:
  kx::test::TempDir dir_;
  FILE* diagnostics_;
  std::unique_ptr<CollectorServer> server_;
};

std::string line(const std::string& peer, const std::string& text) {
  return "collector: " + peer + ": " + text;
}

// Two agents at once on IPv6 loopback, each message keeping its own connection's identity
// and version; each read batch is flushed while the run goes on. On loopback the bytes are
// in the collector's receive buffer once send returns, so a stop right after must still
// deliver them, flush, and close the connections.
TEST(CollectorServerTest, ServesAgentsAtOnceAndAStopDeliversWhatHadArrived) {
  RecordingOutput output;
  RunningServer running(output, ServerOptions{}, "[::1]:0");
  ASSERT_EQ(running.server().address().rfind("[::1]:", 0), 0u);
  Agent first(running.server().address());
  Agent second(running.server().address());
  first.send_bytes(hello_record());
  second.send_bytes(hello_record("10.0.12"));
  for (uint32_t i = 0; i < 50; ++i) {
    first.send_bytes(message_record(i, "10.0.0.5"));
    second.send_bytes(message_record(i, "10.0.0.6"));
  }
  ASSERT_TRUE(wait_until(
      [&] { return running.server().stats().messages == 100 && output.unflushed == 0; }));
  for (uint32_t i = 0; i < 20; ++i) first.send_bytes(message_record(i, "10.0.0.5"));
  ASSERT_TRUE(running.stop());
  EXPECT_EQ(output.unflushed, 0u);
  EXPECT_TRUE(first.closed_without_reply());
  EXPECT_TRUE(second.closed_without_reply());
  std::map<std::string, int> per_sender;
  for (const std::string& seen : output.seen) ++per_sender[seen];
  EXPECT_EQ(per_sender, (std::map<std::string, int>{{first.name + " 3.7.3 10.0.0.5", 70},
                                                    {second.name + " 10.0.12 10.0.0.6", 50}}));
  size_t bytes = hello_record().size() + hello_record("10.0.12").size() +
                 120 * message_record(0, "10.0.0.5").size();
  EXPECT_EQ(running.server().summary(), "2 connections, 120 messages, " + std::to_string(bytes) +
                                            " bytes, 0 malformed, 0 truncated");
  EXPECT_THAT(running.diagnostics(),
              UnorderedElementsAre(line(first.name, "hello, agent version 3.7.3"),
                                   line(second.name, "hello, agent version 10.0.12")));
}

// Takes nothing until released, as the Kafka output while librdkafka's queue is full.
class HoldingOutput : public RecordingOutput {
 public:
  ~HoldingOutput() override { close(event); }
  bool accepting() const override { return open; }
  int event_descriptor() const override { return event; }
  void serve_events() override {
    uint64_t count;
    EXPECT_EQ(read(event, &count, sizeof count), 8);
  }
  void release() {
    open = true;
    uint64_t one = 1;
    ASSERT_EQ(::write(event, &one, sizeof one), 8);
  }
  std::atomic<bool> open{false};
  int event = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
};

// Meanwhile the agents' data waits unread in the kernel; the output's event resumes it.
TEST(CollectorServerTest, LeavesAgentsUnreadWhileAnOutputDoesNotAccept) {
  HoldingOutput output;
  RunningServer running(output);
  Agent agent(running.server().address());
  agent.send_bytes(agent_stream(20));
  ASSERT_TRUE(wait_until([&] { return running.server().stats().connections == 1; }));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(running.server().stats().bytes, 0u);
  output.release();
  ASSERT_TRUE(wait_until([&] { return running.server().stats().messages == 20; }));
}

TEST(CollectorServerTest, FailingOutputEndsTheRunWithItsError) {
  RecordingOutput output;
  output.fail_writes = true;
  RunningServer running(output);
  Agent agent(running.server().address());
  agent.send_bytes(agent_stream(1));
  ASSERT_EQ(running.run.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(error_of([&] { running.run.get(); }), "write(test) failed");
}

// Hello and the first bytes of a record of body_size bytes, of which held are sent.
Bytes unfinished_record(uint32_t body_size, size_t held) {
  Bytes stream = hello_record();
  append_length(stream, body_size);
  stream.resize(stream.size() + held, 0x02);
  return stream;
}

// Past --max-buffered the connection holding the most goes; the others stay and finish
// their records.
TEST(CollectorServerTest, ClosesTheConnectionHoldingTheMostOncePartialRecordsPassTheCap) {
  RecordingOutput output;
  ServerOptions options;
  options.max_buffered = 1000;
  RunningServer running(output, options);
  Bytes body = message_body(1, "10.0.0.5", "10.0.0.1", 0, std::string(600, 'p'));
  Agent small(running.server().address());
  Bytes start = hello_record();
  append_length(start, static_cast<uint32_t>(body.size()));
  start.insert(start.end(), body.begin(), body.begin() + 300);
  small.send_bytes(start);
  ASSERT_TRUE(wait_until([&] { return running.server().stats().bytes == start.size(); }));
  Agent large(running.server().address());
  large.send_bytes(unfinished_record(5000, 800));
  EXPECT_TRUE(large.closed_without_reply());
  small.send_bytes(Bytes(body.begin() + 300, body.end()));
  ASSERT_TRUE(wait_until([&] { return running.server().stats().messages == 1; }));
  ASSERT_TRUE(running.stop());
  EXPECT_EQ(running.server().stats().truncated, 1u);
  EXPECT_THAT(running.diagnostics(),
              testing::Contains(line(large.name,
                                     "unfinished records hold 1108 bytes, above the limit of "
                                     "1000; this one holds 804; connection closed")));
}

// The stall rule counts reading time only: while an output holds the agents back, a
// connection inside a record is left alone; once reading resumes it has the whole limit
// again before it is closed. So is one that never says hello.
TEST(CollectorServerTest, ClosesAConnectionThatStallsInsideARecordOnlyWhileReading) {
  RecordingOutput output;
  ServerOptions options;
  options.stall_milliseconds = 300;
  RunningServer running(output, options);
  Agent stalled(running.server().address());
  Bytes partial = unfinished_record(100, 10);
  stalled.send_bytes(partial);
  ASSERT_TRUE(wait_until([&] { return running.server().stats().bytes == partial.size(); }));
  output.holding_back = true;
  Agent silent(running.server().address());
  std::this_thread::sleep_for(900ms);
  EXPECT_EQ(running.server().stats().open, 2u);
  auto resumed = std::chrono::steady_clock::now();
  output.holding_back = false;
  EXPECT_TRUE(stalled.closed_without_reply());
  EXPECT_TRUE(silent.closed_without_reply());
  EXPECT_GE(std::chrono::steady_clock::now() - resumed, 250ms);
  ASSERT_TRUE(running.stop());
  EXPECT_THAT(running.diagnostics(),
              testing::IsSupersetOf(
                  {line(stalled.name, "no progress for 300 ms inside a record (14 bytes held); "
                                      "connection closed"),
                   line(silent.name, "no progress for 300 ms before a hello; connection closed")}));
  EXPECT_EQ(running.server().stats().truncated, 1u);
}

}  // namespace
}  // namespace kx::collector
