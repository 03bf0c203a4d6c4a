// The agent's forwarding path against the real collector: records pushed into a sensor
// queue as fast as the producer can, forwarded by the SensorQueueProcessor over
// loopback to a collector process, timed until the collector has read every one of them.
// Beside it, in the same iterations, the simplest loop that sends the same stream
// (blocking socket, hello, then two send() calls per record) to the same collector, so
// that the ratio of the two holds under whatever load the machine carries.
//
// Counters: records and bytes per second of both, their ratio, the process's peak and
// current resident memory beside the queue's size, and the CPU time the process spends
// while the processor is connected and waits for data (no polling: it must be about 0).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "net/sensor_queue_processor.h"
#include "net/socket_api.h"
#include "wire/wire_format.h"
#include "sensor/sensor_queue.h"
#include "support/loopback.h"
#include "support/records.h"
#include "support/wait.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPatience(60000);
constexpr uint32_t kMaxRecordsPerRun = 500000;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void fail(const std::string& what) {
  int code = errno;
  throw std::runtime_error(what + " failed: " + strerror(code));
}

bool wait_until(const std::function<bool()>& done) { return kx::test::wait_until(done, kPatience); }

// A DNS packet message of exactly size bytes: a query for a name long enough to fill it.
std::vector<uint8_t> dns_message_of_size(size_t size) { return kx::test::message_of_size(size); }

// The process's CPU time, all threads, user and system.
double process_cpu_seconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A "VmHWM:"-style line of /proc/self/status, in MiB.
double status_mib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size(), field) == 0) {
      return std::strtod(line.c_str() + field.size(), nullptr) / 1024.0;
    }
  }
  return -1;
}

std::string directory_of_this_program() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) fail("readlink(/proc/self/exe)");
  std::string text(path, static_cast<size_t>(n));
  return text.substr(0, text.rfind('/'));
}

// The collector built beside this program, as a child process. Its standard error is
// read for the listening address and, after SIGTERM, for its summary.
class CollectorProcess {
 public:
  explicit CollectorProcess(const std::vector<std::string>& output_args) {
    const std::string program = directory_of_this_program() + "/collector";
    if (access(program.c_str(), X_OK) != 0) fail("access(" + program + ")");
    std::vector<std::string> args = {program, "--listen", "127.0.0.1:0"};
    args.insert(args.end(), output_args.begin(), output_args.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) fail("pipe2()");
    stderr_fd_ = pipe_fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    if (rc != 0) {
      errno = rc;
      fail("posix_spawn(" + program + ")");
    }
    const std::string listening = "listening on ";
    if (!read_until(listening, milliseconds(10000))) {
      throw std::runtime_error("collector did not report its address: " + output_);
    }
    size_t line_end = output_.find('\n', output_.find(listening));
    size_t colon = output_.rfind(':', line_end);
    port_ = static_cast<uint16_t>(std::stoi(output_.substr(colon + 1, line_end - colon - 1)));
  }

  ~CollectorProcess() {
    if (pid_ > 0) stop_and_count_messages();
    close(stderr_fd_);
  }
  CollectorProcess(const CollectorProcess&) = delete;
  CollectorProcess& operator=(const CollectorProcess&) = delete;

  uint16_t port() const { return port_; }

  // User and system time of the collector so far, from /proc/PID/stat.
  double cpu_seconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold blanks; the fields behind it start with the state (3).
    size_t at = text.rfind(") ");
    if (at == std::string::npos) return -1;
    std::istringstream fields(text.substr(at + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
      if (number == 14) utime = std::stod(field);
      if (number == 15) stime = std::stod(field);
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

  // SIGTERM, then the message count of the summary it prints; -1 when none came.
  int64_t stop_and_count_messages() {
    kill(pid_, SIGTERM);
    read_until(" truncated", milliseconds(30000));
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    const std::string marker = " connections, ";
    size_t at = output_.rfind(marker);
    if (at == std::string::npos) return -1;
    return std::stoll(output_.substr(at + marker.size()));
  }

 private:
  // Reads standard error until text appears in it or the time runs out.
  bool read_until(const std::string& text, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    char chunk[4096];
    while (output_.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd entry{stderr_fd_, POLLIN, 0};
      if (poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
      ssize_t n = read(stderr_fd_, chunk, sizeof chunk);
      if (n <= 0) return output_.find(text) != std::string::npos;
      output_.append(chunk, static_cast<size_t>(n));
    }
    return true;
  }

  pid_t pid_ = -1;
  int stderr_fd_ = -1;
  uint16_t port_ = 0;
  std::string output_;
};

// Half-closes the stream and waits until the collector has read it to its end and
// closed its side: only then has it taken in every record.
bool finish_stream(int fd) {
  shutdown(fd, SHUT_WR);
  const auto deadline = Clock::now() + kPatience;
  char byte;
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
    ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0 && errno != EAGAIN && errno != EINTR) return true;  // reset: closed as well
  }
}

void send_fully(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("send()");
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
}

// The plain loop: count records on one blocking connection, timed from the first record
// until the collector has read the last one.
double plain_loop_seconds(uint16_t port, const std::vector<uint8_t>& body, uint32_t count) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket()");
  timeval limit{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    fail("connect(127.0.0.1)");
  }
  uint8_t hello[kx::wire::kHelloRecordSize];
  kx::wire::write_hello_record(hello);
  send_fully(fd, hello, sizeof hello);
  uint8_t header[kx::wire::kRecordHeaderSize];
  kx::wire::store_be32(header, static_cast<uint32_t>(body.size()));

  const auto start = Clock::now();
  for (uint32_t i = 0; i < count; ++i) {
    send_fully(fd, header, sizeof header);
    send_fully(fd, body.data(), body.size());
  }
  bool finished = finish_stream(fd);
  double seconds = seconds_since(start);
  close(fd);
  if (!finished) throw std::runtime_error("the collector did not close the plain stream");
  return seconds;
}

using kx::test::WatchedSockets;

// One processor connection's worth of records, timed from the first push until the
// collector has read the last record.
double processor_seconds(kx::net::SensorQueueProcessor& processor, kx::sensor::SensorQueue& queue,
                         WatchedSockets& sockets, const std::vector<uint8_t>& body,
                         uint32_t count) {
  processor.start();
  if (!wait_until([&] { return sockets.bytes_on_newest() >= kx::wire::kHelloRecordSize; })) {
    throw std::runtime_error("the processor did not connect");
  }
  const uint64_t total = kx::wire::kHelloRecordSize + uint64_t{count} * (4 + body.size());
  const auto start = Clock::now();
  for (uint32_t i = 0; i < count; ++i) queue.push(body.data(), static_cast<uint32_t>(body.size()));
  if (!wait_until([&] { return sockets.bytes_on_newest() >= total; })) {
    throw std::runtime_error("the processor did not send every record");
  }
  // The processor waits for data now and never reads, so its socket is free for this.
  bool finished = finish_stream(static_cast<int>(sockets.newest()));
  double seconds = seconds_since(start);
  processor.stop();
  if (!finished) throw std::runtime_error("the collector did not close the processor's stream");
  return seconds;
}

// CPU time of this process over one second in which the processor is connected and
// waits for data, and of the collector over the same second.
void measure_idle(benchmark::State& state, kx::net::SensorQueueProcessor& processor,
                  WatchedSockets& sockets, const CollectorProcess& collector) {
  processor.start();
  if (!wait_until([&] { return sockets.bytes_on_newest() >= kx::wire::kHelloRecordSize; })) {
    throw std::runtime_error("the processor did not connect");
  }
  std::this_thread::sleep_for(milliseconds(100));
  const double before = process_cpu_seconds();
  const double collector_before = collector.cpu_seconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(milliseconds(1000));
  const double elapsed = seconds_since(start);
  state.counters["idle_cpu_ms"] = (process_cpu_seconds() - before) * 1000 / elapsed;
  state.counters["collector_idle_cpu_ms"] = (collector.cpu_seconds() - collector_before) * 1000 /
                                            elapsed;
  processor.stop();
}

// Arguments: record body size in bytes; collector output (0: pcap to /dev/null, 1: JSON
// lines to /dev/null).
void BM_AgentForwarding(benchmark::State& state) {
  const auto body = dns_message_of_size(static_cast<size_t>(state.range(0)));
  const std::vector<std::string> outputs =
      state.range(1) == 0 ? std::vector<std::string>{"--pcap", "/dev/null"}
                          : std::vector<std::string>{"--json", "/dev/null"};
  // The agent's default queue, and no more records per run than it holds: a push into a
  // full ring would drop records, and the comparison would flatter the processor.
  const uint32_t queue_size = kx::config::kDefaultQueueSize;
  const uint32_t count = static_cast<uint32_t>(
      std::min<uint64_t>(kMaxRecordsPerRun, queue_size / (4 + body.size())));
  try {
    CollectorProcess collector(outputs);
    kx::sensor::SensorQueue queue(queue_size);
    std::vector<kx::config::Target> targets(1);
    targets[0].ip = "127.0.0.1";
    targets[0].port = collector.port();
    WatchedSockets sockets;
    kx::net::ProcessorOptions options;
    options.sockets = &sockets;
    options.pause_step = milliseconds(10);
    kx::net::SensorQueueProcessor processor(queue, targets, options);

    measure_idle(state, processor, sockets, collector);
    // One untimed round of each first: the ring's pages are touched for the first time
    // by its first fill, a cost the agent pays once, not per record.
    plain_loop_seconds(collector.port(), body, count);
    processor_seconds(processor, queue, sockets, body, count);
    double plain_total = 0;
    double processor_total = 0;
    int64_t runs = 0;
    for (auto _ : state) {
      plain_total += plain_loop_seconds(collector.port(), body, count);
      double seconds = processor_seconds(processor, queue, sockets, body, count);
      processor_total += seconds;
      state.SetIterationTime(seconds);
      ++runs;
    }
    const int64_t received = collector.stop_and_count_messages();
    const int64_t expected = (runs + 1) * 2 * int64_t{count};
    if (received != expected) {
      state.SkipWithError(("the collector counted " + std::to_string(received) +
                           " messages, not " + std::to_string(expected))
                              .c_str());
      return;
    }
    const double records = static_cast<double>(runs) * count;
    const double record_bytes = static_cast<double>(4 + body.size());
    state.SetItemsProcessed(runs * int64_t{count});
    state.SetBytesProcessed(runs * int64_t{count} * static_cast<int64_t>(4 + body.size()));
    state.counters["records"] = count;
    state.counters["plain_records_per_s"] = records / plain_total;
    state.counters["plain_bytes_per_s"] = records * record_bytes / plain_total;
    state.counters["ratio"] = plain_total / processor_total;
    state.counters["queue_mib"] = queue_size / 1048576.0;
    state.counters["hwm_mib"] = status_mib("VmHWM:");
    state.counters["rss_mib"] = status_mib("VmRSS:");
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
  }
}
BENCHMARK(BM_AgentForwarding)
    ->ArgNames({"body", "json"})
    ->Args({100, 0})
    ->Args({1000, 0})
    ->Args({100, 1})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
