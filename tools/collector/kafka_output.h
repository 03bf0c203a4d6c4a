// Every DNS packet message as one Kafka message (the JSON object of a --json line, or
// one dnstap protobuf message without Frame Streams framing), keyed by the device
// address so that one client's queries and responses stay in order on one partition.
#pragma once

#include <librdkafka/rdkafka.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "json_output.h"
#include "output.h"

namespace kx::collector {

struct KafkaSettings {
  enum class Format { json, dnstap };
  std::string brokers;  // bootstrap list, HOST:PORT[,HOST:PORT...]
  std::string topic;
  Format format = Format::json;
  std::vector<std::pair<std::string, std::string>> options;  // librdkafka KEY=VALUE
};

// An idempotent producer (nothing lost, nothing twice). Delivery reports are served on
// the collector's loop through event_descriptor(); nothing here blocks but finish().
// When librdkafka's queue is full the messages wait in a backlog of this output and
// accepting() turns false until it has drained; the same holds until a broker has
// answered once, so a collector started before Kafka holds its agents back.
class KafkaOutput : public Output {
 public:
  // Raises CollectorError naming the option for an unknown or invalid librdkafka
  // setting. Unreachable brokers are not an error: they are retried.
  explicit KafkaOutput(KafkaSettings settings, FILE* diagnostics = stderr);
  ~KafkaOutput() override;
  KafkaOutput(const KafkaOutput&) = delete;
  KafkaOutput& operator=(const KafkaOutput&) = delete;

  void write(const CollectedMessage& message) override;
  void flush() override;
  bool accepting() const override;
  int event_descriptor() const override { return wakeup_; }
  void serve_events() override;

  // At the stop: waits up to seconds for everything to be delivered, then gives up on
  // the rest, which is counted as not delivered.
  void finish(double seconds);

  // Safe from any thread while the loop runs.
  uint64_t delivered() const { return delivered_.load(std::memory_order_relaxed); }
  uint64_t not_delivered() const { return not_delivered_.load(std::memory_order_relaxed); }
  const char* kind() const override { return "kafka"; }
  uint64_t dropped() const override { return not_delivered(); }
  uint64_t errors() const override { return errors_.load(std::memory_order_relaxed); }
  // "kafka BROKERS topic TOPIC: N delivered, N not delivered".
  std::string summary() const;

 private:
  static void on_delivery(rd_kafka_t*, const rd_kafka_message_t* message, void* opaque);
  static void on_error(rd_kafka_t*, int error, const char* reason, void* opaque);

  void probe_brokers();
  bool produce(const char* key, size_t key_size, const char* payload, size_t payload_size);
  void hold(const char* key, size_t key_size, const char* payload, size_t payload_size);
  void produce_held();
  struct Note;
  void note(const std::string& what, uint64_t count);
  void report_notes(bool all);
  void print_note(const std::string& what, Note& note, int64_t now);

  KafkaSettings settings_;
  FILE* diagnostics_;
  rd_kafka_t* producer_ = nullptr;
  rd_kafka_topic_t* topic_ = nullptr;
  int wakeup_ = -1;
  std::thread prober_;
  std::atomic<bool> reachable_{false};
  std::atomic<bool> stopping_{false};
  bool fatal_ = false;

  JsonFormatter json_;
  std::string line_;
  std::vector<uint8_t> payload_;

  // Messages librdkafka had no room for, in order: key and payload sizes, then bytes.
  std::vector<std::pair<uint32_t, uint32_t>> held_sizes_;
  std::vector<char> held_bytes_;
  size_t held_next_ = 0;
  size_t held_offset_ = 0;

  uint64_t produced_ = 0;  // handed to librdkafka
  uint64_t answered_ = 0;  // delivery reports, good or bad
  // Written by the loop only.
  std::atomic<uint64_t> delivered_{0};
  std::atomic<uint64_t> not_delivered_{0};
  std::atomic<uint64_t> errors_{0};
  // Failure lines waiting for their second: one line per reason per second, counted.
  struct Note {
    uint64_t pending = 0;
    int64_t last_ms = INT64_MIN / 2;
  };
  std::map<std::string, Note> notes_;
};

}  // namespace kx::collector
