// Forwarding throughput: records pushed into the sensor queue until a loopback sink has
// read them all from the processor's connection, and TcpConnection::send_all alone.
// Counts the heap allocations made while records flow, which must be none.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "net/sensor_queue_processor.h"
#include "net/tcp_connection.h"
#include "wire/wire_format.h"
#include "sensor/sensor_queue.h"

namespace {

std::atomic<uint64_t> allocations{0};

}  // namespace

// Replaced so that allocations can be counted. g++ sees the inlined malloc and free
// and takes the pair for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t size) {
  ++allocations;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }

namespace {

void* counted_malloc(size_t size) {
  ++allocations;
  return std::malloc(size);
}
void* counted_realloc(void* block, size_t size) {
  ++allocations;
  return std::realloc(block, size);
}

// Accepts one connection on 127.0.0.1 and reads it to the end, counting bytes.
class Sink {
 public:
  Sink() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 4) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("sink listener failed");
    }
    port_ = ntohs(address.sin_port);
    buffer_.resize(1 << 16);
    thread_ = std::thread([this] { drain(); });
  }
  ~Sink() {
    shutdown(listen_fd_, SHUT_RDWR);
    thread_.join();
    close(listen_fd_);
  }
  uint16_t port() const { return port_; }
  uint64_t received() const { return received_.load(std::memory_order_acquire); }
  void wait_for(uint64_t total) const {
    // Sleeping, not spinning: a spinning waiter takes a core from the threads measured.
    while (received() < total) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }

 private:
  void drain() {
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) return;
    for (;;) {
      ssize_t n = recv(fd, buffer_.data(), buffer_.size(), 0);
      if (n <= 0) break;
      received_.fetch_add(static_cast<uint64_t>(n), std::memory_order_release);
    }
    close(fd);
  }

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<uint64_t> received_{0};
  std::vector<char> buffer_;  // allocated before the thread, so it is not counted
  std::thread thread_;
};

// Records of the given body size through queue, processor and connection; a batch of
// 1000 per iteration.
void BM_ForwardRecords(benchmark::State& state) {
  const uint32_t body_size = static_cast<uint32_t>(state.range(0));
  constexpr int kBatch = 1000;
  Sink sink;
  kx::sensor::SensorQueue queue(64 * 1024 * 1024);
  std::vector<kx::config::Target> targets(1);
  targets[0].ip = "127.0.0.1";
  targets[0].port = sink.port();
  kx::net::ProcessorOptions options;
  options.allocator = {counted_malloc, counted_realloc, std::free};
  kx::net::SensorQueueProcessor processor(queue, targets, options);
  std::vector<uint8_t> body(body_size, 0x5a);

  processor.start();
  uint64_t expected = kx::wire::kHelloRecordSize;
  // One record first, so that connecting and growing the buffer are behind us.
  queue.push(body.data(), body_size);
  expected += 4 + body_size;
  sink.wait_for(expected);

  const uint64_t allocations_before = allocations.load();
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) queue.push(body.data(), body_size);
    expected += uint64_t{kBatch} * (4 + body_size);
    sink.wait_for(expected);
  }
  const uint64_t allocated = allocations.load() - allocations_before;
  processor.stop();

  state.SetItemsProcessed(state.iterations() * kBatch);
  state.SetBytesProcessed(state.iterations() * kBatch * int64_t{4 + body_size});
  state.counters["allocations"] = static_cast<double>(allocated);
}
BENCHMARK(BM_ForwardRecords)->Arg(100)->Arg(512)->Arg(4000)->UseRealTime();

void BM_SendAll(benchmark::State& state) {
  const uint32_t chunk_size = static_cast<uint32_t>(state.range(0));
  Sink sink;
  kx::net::TcpConnection connection;
  connection.connect("127.0.0.1", sink.port(), 5);
  std::vector<uint8_t> chunk(chunk_size, 0xa5);
  const uint64_t allocations_before = allocations.load();
  for (auto _ : state) connection.send_all(chunk.data(), chunk_size);
  const uint64_t allocated = allocations.load() - allocations_before;
  connection.close();
  state.SetBytesProcessed(state.iterations() * int64_t{chunk_size});
  state.counters["allocations"] = static_cast<double>(allocated);
}
BENCHMARK(BM_SendAll)->Arg(128)->Arg(4096)->Arg(65536)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
