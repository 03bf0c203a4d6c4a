#include "collector_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "support/records.h"
#include "support/test_util.h"
#include "support/wait.h"

namespace kx::collector {
namespace {

using namespace kx::test;
using namespace std::chrono_literals;
using ::testing::UnorderedElementsAre;

// Counts the messages of each "agent version device", read once the run has ended.
class RecordingOutput : public Output {
 public:
  void write(const CollectedMessage& m) override {
    ++seen[std::string(m.agent) + " " + std::string(m.version) + " " + std::string(m.dns.device)];
    ++unflushed;
  }
  void flush() override { unflushed = 0; }
  const char* kind() const override { return "test"; }
  std::map<std::string, int> seen;
  std::atomic<size_t> unflushed{0};  // writes that no flush has followed yet
};

// A client socket to the server under test, named by its own address.
struct Agent {
  explicit Agent(const std::string& address) {
    SocketAddress target;
    EXPECT_TRUE(parse_socket_address(address, &target));
    fd = FileDescriptor(socket(target.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(connect(fd.get(), target.get(), target.length), 0) << address;
    sockaddr_storage local = {};
    socklen_t length = sizeof local;
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &length);
    name = format_socket_address(reinterpret_cast<sockaddr*>(&local));
  }
  void send_bytes(const Bytes& bytes) {
    ASSERT_EQ(send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // True once the server has closed the connection without sending anything.
  bool closed_without_reply() {
    pollfd p = {fd.get(), POLLIN, 0};
    char byte;
    return poll(&p, 1, 10000) == 1 && recv(fd.get(), &byte, 1, 0) == 0;
  }
  std::string line(const std::string& text) const { return "collector: " + name + ": " + text; }
  FileDescriptor fd;
  std::string name;
};

// A server on an ephemeral loopback port with one recording output, run on a thread of
// its own.
struct RunningServer {
  explicit RunningServer(ServerOptions options, const char* listen = "127.0.0.1:0") {
    EXPECT_TRUE(parse_socket_address(listen, &options.listen));
    server = std::make_unique<CollectorServer>(options, std::vector<Output*>{&output}, stderr_file);
    run = std::async(std::launch::async, [this] { server->run(); });
  }
  ~RunningServer() {
    stop();
    fclose(stderr_file);
  }
  // Ends the run; false when it did not end in time.
  bool stop() {
    server->stop();
    return run.wait_for(10s) == std::future_status::ready;
  }
  std::vector<std::string> diagnostics() {
    return split_lines(read_file(dir.file("stderr")));
  }
  ServerStats stats() const { return server->stats(); }
  RecordingOutput output;
  TempDir dir;
  FILE* stderr_file = fopen(dir.file("stderr").c_str(), "w+");
  std::unique_ptr<CollectorServer> server;
  std::future<void> run;
};

// A hello, then the length of body and its first sent bytes.
Bytes hello_and_partial(const Bytes& body, size_t sent) {
  Bytes stream = hello_record();
  append_length(stream, static_cast<uint32_t>(body.size()));
  stream.insert(stream.end(), body.begin(), body.begin() + static_cast<ptrdiff_t>(sent));
  return stream;
}

// Two agents at once on IPv6 loopback, each message keeping its own connection's identity
// and version; each read batch is flushed while the run goes on. On loopback the bytes are
// in the collector's receive buffer once send returns, so a stop right after must still
// deliver them, flush, and close the connections.
TEST(CollectorServerTest, ServesAgentsAtOnceAndAStopDeliversWhatHadArrived) {
  RunningServer running({}, "[::1]:0");
  ASSERT_EQ(running.server->address().rfind("[::1]:", 0), 0u);
  Agent first(running.server->address());
  Agent second(running.server->address());
  first.send_bytes(hello_record());
  second.send_bytes(hello_record("10.0.12"));
  for (uint32_t i = 0; i < 50; ++i) {
    first.send_bytes(message_record(i, "10.0.0.5"));
    second.send_bytes(message_record(i, "10.0.0.6"));
  }
  ASSERT_TRUE(wait_until(
      [&] { return running.stats().messages == 100 && running.output.unflushed == 0; }));
  for (uint32_t i = 0; i < 20; ++i) first.send_bytes(message_record(i, "10.0.0.5"));
  ASSERT_TRUE(running.stop());
  EXPECT_EQ(running.output.unflushed, 0u);
  EXPECT_TRUE(first.closed_without_reply() && second.closed_without_reply());
  EXPECT_EQ(running.output.seen,
            (std::map<std::string, int>{{first.name + " 3.7.3 10.0.0.5", 70},
                                        {second.name + " 10.0.12 10.0.0.6", 50}}));
  size_t bytes = hello_record().size() + hello_record("10.0.12").size() +
                 120 * message_record(0, "10.0.0.5").size();
  EXPECT_EQ(running.server->summary(), "2 connections, 120 messages, " + std::to_string(bytes) +
                                           " bytes, 0 malformed, 0 truncated");
  EXPECT_THAT(running.diagnostics(),
              UnorderedElementsAre(first.line("hello, agent version 3.7.3"),
                                   second.line("hello, agent version 10.0.12")));
}

// Limits against peers that would hold the collector's memory or descriptors: past
// --max-buffered the connection holding the most goes while the others stay and finish
// their records; one inside a record, or one that never says hello, goes once it has
// gone the stall limit without a byte.
TEST(CollectorServerTest, ClosesTheLargestPastTheCapAndThoseThatStall) {
  ServerOptions options;
  options.max_buffered = 1000;
  options.stall_milliseconds = 1500;
  RunningServer running(options);
  Bytes body = message_body(1, "10.0.0.5", "10.0.0.1", 0, std::string(600, 'p'));
  Agent small(running.server->address());
  Bytes start = hello_and_partial(body, 300);
  small.send_bytes(start);
  ASSERT_TRUE(wait_until([&] { return running.stats().bytes == start.size(); }));
  Agent large(running.server->address());
  large.send_bytes(hello_and_partial(Bytes(5000), 800));
  EXPECT_TRUE(large.closed_without_reply());
  small.send_bytes(Bytes(body.begin() + 300, body.end()));
  ASSERT_TRUE(wait_until([&] { return running.stats().messages == 1; }));
  Agent stalled(running.server->address());
  stalled.send_bytes(hello_and_partial(Bytes(100), 10));
  Agent silent(running.server->address());
  EXPECT_TRUE(stalled.closed_without_reply() && silent.closed_without_reply());
  ASSERT_TRUE(running.stop());
  EXPECT_EQ(running.stats().truncated, 2u);
  EXPECT_THAT(running.diagnostics(),
              testing::IsSupersetOf(
                  {large.line("unfinished records hold 1108 bytes, above the limit of 1000; this "
                              "one holds 804; connection closed"),
                   stalled.line("no progress for 1500 ms inside a record (14 bytes held); "
                                "connection closed"),
                   silent.line("no progress for 1500 ms before a hello; connection closed")}));
}

}  // namespace
}  // namespace kx::collector
