// Messages per second the collector ingests from one agent connection over loopback:
// socket, stream parser and outputs, with no output, with JSON lines to /dev/null, and
// with JSON into Kafka (three mock brokers in this process, counted when delivered).
#include <benchmark/benchmark.h>
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "collector_server.h"
#include "json_output.h"
#include "kafka_output.h"
#include "wire/wire_format.h"
#include "support/records.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMessagesPerBatch = 10000;
constexpr size_t kMessageSize = 100;

// A real query (RD set, one question of type A for a name of 9-letter labels) framed into
// a message of exactly kMessageSize bytes.
Bytes message_record(uint16_t id) {
  return kx::test::record(kx::test::message_of_size(kMessageSize - 4, id, 9));
}

Bytes batch() {
  Bytes stream;
  for (size_t i = 0; i < kMessagesPerBatch; ++i) {
    Bytes record = message_record(static_cast<uint16_t>(i));
    stream.insert(stream.end(), record.begin(), record.end());
  }
  return stream;
}

void send_all(int fd, const Bytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0) throw std::runtime_error("send() failed");
    sent += static_cast<size_t>(n);
  }
}

// done counts the messages that have gone all the way; by default those handed to the
// outputs. Each iteration sends the batch rounds times before it waits for them.
void ingest(benchmark::State& state, std::vector<kx::collector::Output*> outputs,
            std::function<uint64_t()> done = nullptr, int rounds = 1) {
  kx::collector::ServerOptions options;
  kx::collector::parse_socket_address("127.0.0.1:0", &options.listen);
  kx::collector::CollectorServer server(options, outputs);
  std::thread loop([&] { server.run(); });
  if (!done) done = [&] { return server.stats().messages; };

  kx::collector::SocketAddress address;
  kx::collector::parse_socket_address(server.address(), &address);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, address.get(), address.length) != 0) {
    state.SkipWithError("connect() failed");
  } else {
    uint8_t hello[kx::wire::kHelloRecordSize];
    kx::wire::write_hello_record(hello);
    send_all(fd, Bytes(hello, hello + sizeof hello));
    const Bytes stream = batch();
    uint64_t expected = 0;
    for (auto _ : state) {
      for (int round = 0; round < rounds; ++round) send_all(fd, stream);
      expected += kMessagesPerBatch * rounds;
      while (done() < expected) std::this_thread::yield();
    }
    state.SetItemsProcessed(static_cast<int64_t>(expected));
    state.SetBytesProcessed(static_cast<int64_t>(expected * (kMessageSize + 4)));
  }
  close(fd);
  server.stop();
  loop.join();
}

void BM_IngestWithoutOutput(benchmark::State& state) { ingest(state, {}); }
BENCHMARK(BM_IngestWithoutOutput)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_IngestWithJsonToDevNull(benchmark::State& state) {
  kx::collector::JsonOutput json("/dev/null");
  ingest(state, {&json});
}
BENCHMARK(BM_IngestWithJsonToDevNull)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_IngestWithJsonToKafka(benchmark::State& state) {
  char reason[256];
  rd_kafka_t* handle = rd_kafka_new(RD_KAFKA_PRODUCER, rd_kafka_conf_new(), reason, sizeof reason);
  rd_kafka_mock_cluster_t* cluster = rd_kafka_mock_cluster_new(handle, 3);
  rd_kafka_mock_topic_create(cluster, "bench", 16, 3);
  {
    kx::collector::KafkaSettings settings;
    settings.brokers = rd_kafka_mock_cluster_bootstraps(cluster);
    settings.topic = "bench";
    kx::collector::KafkaOutput kafka(settings);
    // Batches of 100,000, so that the wait for the last acknowledgements (linger and a
    // round trip) weighs little against the stream.
    ingest(state, {&kafka}, [&] { return kafka.delivered(); }, 10);
    kafka.finish(10);
  }
  rd_kafka_mock_cluster_destroy(cluster);
  rd_kafka_destroy(handle);
}
BENCHMARK(BM_IngestWithJsonToKafka)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
